#include "EmulatorLink.h"

#include "ChildProcess.h"
#include "LogCapture.h"
#include "UdpSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace halvane {

namespace {

// A stand-in emulator: answers every PCM block with a 7-byte frame made from
// its first sample, and every frame with 160 samples equal to its first
// byte, each reply to the request's sender.
class FakeEmulator {
public:
    FakeEmulator() : thread_([this] { serve(); }) {}
    ~FakeEmulator()
    {
        running_ = false;
        thread_.join();
    }
    int port() const { return socket_.port(); }
    std::atomic_bool answering{true};

private:
    void serve()
    {
        while (running_) {
            const auto got = socket_.receiveFrom(std::chrono::milliseconds(20));
            if (!got || !answering)
                continue;
            const std::vector<std::uint8_t>& in = got->first;
            if (static_cast<int>(in.size()) == EmulatorLink::PCM_BYTES) {
                socket_.sendTo(got->second, std::vector<std::uint8_t>(7, in[0])); // the first sample's low byte
            } else {
                std::vector<std::uint8_t> pcm(320, 0);
                for (std::size_t i = 0; i < pcm.size(); i += 2)
                    pcm[i] = in[0];
                socket_.sendTo(got->second, pcm);
            }
        }
    }
    UdpSocket socket_;
    std::atomic_bool running_{true};
    std::thread thread_;
};

} // namespace

// A command is started with the port appended and reaped when it ends.
TEST(EmulatorLink, CommandIsStartedAndReaped)
{
    LogCapture capture(2);
    const std::string script =
        capture.dir().write("emulator.sh", "echo \"$@\" > " + capture.dir().file("emulator.args") + "\n");
    EmulatorLink link("sh " + script, std::chrono::milliseconds(0));
    EXPECT_TRUE(capture.has('M', "Starting emulator with arguments: sh " + script + " -S 2470"));
    EXPECT_TRUE(capture.has('M', "Wait..."));
    EXPECT_TRUE(capture.has('I', "Connecting to emulator on host 127.0.0.1:2470"));
    EXPECT_TRUE(eventually([&] { return capture.contains("Emulator done, result = 0"); }));
    EXPECT_EQ(readFile(capture.dir().file("emulator.args")), "-S 2470\n");
}

TEST(EmulatorLink, AddressIsHostPortOrACommand)
{
    auto running = EmulatorLink::parseAddress("10.0.0.5:2471");
    EXPECT_FALSE(running.startCommand);
    EXPECT_EQ(running.host, "10.0.0.5");
    EXPECT_EQ(running.port, 2471);
    for (const char* command : {"/usr/local/bin/emu", "emu:0", ":2470", "host:", "emu --fast"}) {
        auto started = EmulatorLink::parseAddress(command);
        EXPECT_TRUE(started.startCommand) << command;
        EXPECT_EQ(started.host, "127.0.0.1");
        EXPECT_EQ(started.port, 2470);
    }
}

// Encode and decode run on two threads at once; each must only ever get
// the reply to its own request.
TEST(EmulatorLink, DirectionsNeverTakeEachOthersReplies)
{
    FakeEmulator emulator;
    LogCapture capture;
    EmulatorLink link("127.0.0.1:" + std::to_string(emulator.port()));
    std::atomic<int> wrong{0};
    std::thread encoder([&] {
        for (int i = 0; i < 300; ++i) {
            short pcm[160] = {};
            pcm[0] = static_cast<short>(i & 0x7f);
            unsigned char frame[7] = {};
            if (!link.encode(pcm, frame) || frame[0] != (i & 0x7f) || frame[6] != (i & 0x7f))
                ++wrong;
        }
    });
    std::thread decoder([&] {
        for (int i = 0; i < 300; ++i) {
            unsigned char frame[7] = {static_cast<unsigned char>(i & 0xff)};
            short pcm[160];
            if (!link.decode(frame, pcm) || pcm[0] != (i & 0xff) || pcm[159] != (i & 0xff))
                ++wrong;
        }
    });
    encoder.join();
    decoder.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(capture.has('I', "Connecting to emulator on host 127.0.0.1:" + std::to_string(emulator.port())));
}

TEST(EmulatorLink, RunOfTimeOutsLogsOnceAndAnAnswerClearsIt)
{
    FakeEmulator emulator;
    LogCapture capture;
    EmulatorLink link("127.0.0.1:" + std::to_string(emulator.port()));
    link.setReplyTimeout(std::chrono::milliseconds(50));
    emulator.answering = false;

    short pcm[160] = {1};
    unsigned char frame[7] = {9, 9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(link.encode(pcm, frame));
    EXPECT_EQ(frame[0], 9);
    short out[160] = {7};
    EXPECT_FALSE(link.decode(frame, out));
    EXPECT_EQ(out[0], 0);
    EXPECT_TRUE(link.timedOut());
    EXPECT_TRUE(capture.has('E', "Emulator timed out on encode!"));
    EXPECT_FALSE(capture.contains("Emulator timed out on decode!"));

    emulator.answering = true;
    // A late reply to the earlier request must not answer this one.
    pcm[0] = 5;
    EXPECT_TRUE(link.encode(pcm, frame));
    EXPECT_EQ(frame[0], 5);
    EXPECT_FALSE(link.timedOut());
}

} // namespace halvane
