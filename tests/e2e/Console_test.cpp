// The console radio through the real program, without a sound card: a named
// pipe or a WAV file as the sound input, a pseudo-terminal as the console
// (and another as the output device), the partner's side and the remote
// control's reply port on sockets of the test. What the loop does block by
// block is tested without the program (tests/console).
#include "DaemonFixture.h"
#include "PseudoTerminal.h"
#include "TlvPartner.h"
#include "TlvProtocol.h"
#include "WavWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <sys/stat.h>
#include <thread>

namespace halvane {

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// A named pipe as the sound input: the test writes a block every 10 ms, so
// the loop runs paced, as on a sound card. Block k holds one value
// throughout, 100 + 10 * (k % 50).
class MicFeed {
public:
    explicit MicFeed(const std::string& path)
    {
        mkfifo(path.c_str(), 0600);
        // Read-write: opening does not wait for the program, and a write
        // never fails for want of a reader.
        fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    ~MicFeed()
    {
        stop();
        close(fd_);
    }
    MicFeed(const MicFeed&) = delete;
    MicFeed& operator=(const MicFeed&) = delete;

    void start()
    {
        feeding_ = true;
        thread_ = std::thread([this] {
            for (int k = 0; feeding_; ++k) {
                std::array<short, 160> block;
                block.fill(static_cast<short>(100 + 10 * (k % 50)));
                // A full pipe (the program stopped reading) drops the block.
                [[maybe_unused]] const ssize_t written = write(fd_, block.data(), 320);
                std::this_thread::sleep_for(10ms);
            }
        });
    }
    void stop()
    {
        feeding_ = false;
        if (thread_.joinable())
            thread_.join();
    }

private:
    int fd_ = -1;
    std::atomic_bool feeding_{false};
    std::thread thread_;
};

class ConsoleRig {
public:
    // Starts Halvane in P25 mode (software IMBE: one record per block, no
    // chip needed) with the microphone loop; `console` is its standard input.
    bool start(const std::string& console, const std::string& general = "", const std::string& ambe = "ambeMode = P25\n")
    {
        std::string error;
        if (!partner.open({"127.0.0.1", d.ports.tlvTx, "127.0.0.1", d.ports.tlvRx}, error))
            return false;
        d.console = console;
        d.start(d.ini("useMicrophone = true\ninputAudioDevice = " + micPath +
                          "\nremoteControlPort = " + std::to_string(remotePort) +
                          "\nremoteControlReplyPort = " + std::to_string(replies.port()) + "\n" + general,
                      ambe));
        return d.waitForLog("Begin reading audio from microphone");
    }
    bool running() { return d.waitForLog("Starting USRP --> Halvane (encoder) -> TLV thread"); }

    void command(const std::string& text, const char* host = "127.0.0.1") const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(remotePort));
        inet_pton(AF_INET, host, &to.sin_addr);
        sendto(panel, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    std::string reply(std::chrono::milliseconds wait = 5s) const
    {
        const auto datagram = replies.receive(wait);
        return datagram ? std::string(datagram->begin(), datagram->end()) : "(nothing)";
    }
    std::string ask(const std::string& text)
    {
        command(text);
        return reply();
    }

    ~ConsoleRig() { close(panel); }
    ConsoleRig() = default;
    ConsoleRig(const ConsoleRig&) = delete;
    ConsoleRig& operator=(const ConsoleRig&) = delete;

    Daemon d;
    std::string micPath = d.dir.file("mic");
    MicFeed feed{micPath};
    PseudoTerminal console;
    UdpSocket replies;
    int remotePort = freeUdpPort();
    int panel = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    TlvPartner partner;
};

bool wholeBlocks(const Bytes& heard)
{
    if (heard.size() % 320 != 0)
        return false;
    for (std::size_t at = 0; at < heard.size(); at += 320) {
        const auto block = heard.begin() + static_cast<long>(at);
        if (!std::equal(block, block + 318, block + 2))
            return false;
    }
    return true;
}

} // namespace

// A key at the console keys the microphone through the bridge to the
// partner, another unkeys; the output device plays every block the bridge
// took from the microphone and every frame it decoded, each whole; Ctrl-C
// ends the program with the console as it was.
TEST(Console, KeyPressTransmitsAndTheSpeakerMonitorsBothWays)
{
    ConsoleRig rig;
    PseudoTerminal speaker;
    ASSERT_TRUE(rig.console.ok() && speaker.ok());
    speaker.makeRaw();
    ASSERT_TRUE(rig.console.echoAndLinesOn());
    ASSERT_TRUE(rig.start(rig.console.slavePath(), "monitorASLAudio = true\noutputAudioDevice = " +
                                                       speaker.slavePath() + "\n"));
    ASSERT_TRUE(rig.running());
    EXPECT_TRUE(eventually([&] { return !rig.console.echoAndLinesOn(); }, 5s));

    rig.feed.start();
    rig.console.type("k");
    EXPECT_EQ(rig.reply(), "reply ptt true");
    std::this_thread::sleep_for(300ms);
    rig.console.type(" ");
    EXPECT_EQ(rig.reply(), "reply ptt false");
    const SavedCall call = rig.partner.receiveCall(10s);
    ASSERT_TRUE(call.ended());
    EXPECT_GE(call.voiceFrames(), 10);
    EXPECT_TRUE(rig.d.waitForLog("Mic PTT OFF"));
    EXPECT_TRUE(rig.d.hasLog("Mic PTT ON"));
    EXPECT_TRUE(rig.d.hasLog("PTT off (keyed for"));
    rig.feed.stop();

    Bytes heard = speaker.read(500ms);
    EXPECT_EQ(heard.size(), 320u * static_cast<std::size_t>(call.voiceFrames()));
    EXPECT_TRUE(wholeBlocks(heard));

    ASSERT_TRUE(rig.partner.sendBegin(CallRecord{3100123, 3100456, 91, 1, 1, ""}));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(rig.partner.sendValue(TAG_IMBE, Bytes(11, static_cast<std::uint8_t>(i * 37))));
    ASSERT_TRUE(rig.partner.sendEnd(1));
    heard = speaker.read(1s);
    EXPECT_EQ(heard.size(), 5u * 320);

    rig.console.type("\x03");
    EXPECT_EQ(rig.d.process->wait(), 0);
    EXPECT_TRUE(rig.console.echoAndLinesOn());
}

// VOX keys on a WAV file's speech and drops in its silence; the end of the
// file ends the program normally, with the console restored.
TEST(Console, VoxOnAWavFileAndTheNormalExitAtItsEnd)
{
    ConsoleRig rig;
    const std::string wav = rig.d.dir.file("speech.wav");
    {
        WavWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(wav, error)) << error;
        std::vector<std::int16_t> pcm(160 * 20);
        for (std::size_t i = 0; i < pcm.size(); ++i)
            pcm[i] = i % 2 == 0 ? 1000 : -1000;
        pcm.resize(pcm.size() + 160 * 150, 0);
        ASSERT_TRUE(writer.write(pcm));
    }
    ASSERT_TRUE(rig.console.ok());
    ASSERT_TRUE(rig.start(rig.console.slavePath(),
                          "inputAudioDevice = " + wav + "\nuseVox = true\nvoxTrigger = 200\nvoxDecay = 2\n"));
    EXPECT_EQ(rig.d.process->wait(), 0);
    EXPECT_EQ(rig.reply(), "reply ptt true");
    EXPECT_EQ(rig.reply(), "reply ptt false");
    EXPECT_TRUE(rig.d.hasLog("Begin reading audio from microphone vox enabled"));
    EXPECT_TRUE(rig.d.hasLog("Mic PTT OFF"));
    EXPECT_TRUE(rig.d.hasLog("End of audio input file " + wav));
    EXPECT_TRUE(rig.console.echoAndLinesOn());
}

// Every command of the remote control and its reply; "set ptt" keys with
// the identity "set info" gave; what would stop the bridge or half-apply is
// refused; only loopback is listened on. Standard input is no terminal here.
TEST(Console, RemoteControlCommandsAndReplies)
{
    ConsoleRig rig;
    ASSERT_TRUE(rig.start("/dev/null"));
    ASSERT_TRUE(rig.running());
    rig.feed.start();
    EXPECT_TRUE(rig.d.hasLog("keyboard PTT off"));

    EXPECT_EQ(rig.ask("get ptt"), "reply ptt toggle");
    EXPECT_EQ(rig.ask("get vox"), "reply vox false");
    EXPECT_EQ(rig.ask("get vox_threshold"), "reply vox_threshold 200");
    EXPECT_EQ(rig.ask("get vox_delay"), "reply vox_delay 100");
    EXPECT_EQ(rig.ask("get info"), "reply dmr_info BM 3100002 3100001 Q9ZZZ");
    EXPECT_EQ(rig.ask("get foo"), "reply foo unknown");

    rig.command("set info 5 5 9 2 1");
    rig.command("set info 7 8 91");
    EXPECT_EQ(rig.ask("get info"), "reply dmr_info BM 3100002 3100001 Q9ZZZ");
    EXPECT_TRUE(rig.d.hasLog("Repeater ID (5) can not be the same as subscriber ID (5)"));
    EXPECT_TRUE(rig.d.hasLog("set info needs five numbers"));
    rig.command("set info 7 8 91 1 1");
    EXPECT_EQ(rig.ask("get info"), "reply dmr_info BM 8 7 Q9ZZZ");

    rig.command("set ptt");
    EXPECT_EQ(rig.reply(), "reply ptt true");
    std::this_thread::sleep_for(200ms);
    rig.command("set ptt");
    EXPECT_EQ(rig.reply(), "reply ptt false");
    const SavedCall call = rig.partner.receiveCall(10s);
    ASSERT_TRUE(call.callRecord().has_value());
    EXPECT_EQ(call.callRecord()->source, 7u);
    EXPECT_EQ(call.callRecord()->repeater, 8u);
    EXPECT_EQ(call.callRecord()->destination, 91u);
    EXPECT_EQ(call.callRecord()->slot, 1);
    EXPECT_TRUE(call.ended());

    rig.command("set vox true");
    EXPECT_EQ(rig.ask("get vox"), "reply vox true");
    rig.command("set vox TRUE");
    EXPECT_EQ(rig.ask("get vox"), "reply vox false");
    rig.command("set vox_threshold 300");
    EXPECT_EQ(rig.ask("get vox_threshold"), "reply vox_threshold 300");
    rig.command("set vox_delay 50");
    EXPECT_EQ(rig.ask("get vox_delay"), "reply vox_delay 50");

    rig.command("get vox", "127.0.0.2");
    EXPECT_EQ(rig.reply(300ms), "(nothing)");
    EXPECT_EQ(rig.d.process->wait(0ms), -1);
}

// The console comes back however the program ends: a partner's "exit=" and
// a fatal error on the bridge's thread (no DV3000 where one is required).
TEST(Console, ExitCommandAndFatalErrorRestoreTheConsole)
{
    {
        ConsoleRig rig;
        ASSERT_TRUE(rig.start(rig.console.slavePath()));
        ASSERT_TRUE(rig.running());
        ASSERT_TRUE(eventually([&] { return !rig.console.echoAndLinesOn(); }, 5s));
        ASSERT_TRUE(rig.partner.sendCommand("exit=7 3"));
        EXPECT_EQ(rig.d.process->wait(), 7);
        EXPECT_TRUE(rig.console.echoAndLinesOn());
    }
    ConsoleRig rig;
    ASSERT_TRUE(rig.start(rig.console.slavePath(), "", "ambeMode = DMR\n"));
    EXPECT_EQ(rig.d.process->wait(), 252);
    EXPECT_TRUE(rig.console.echoAndLinesOn());
}

} // namespace halvane
