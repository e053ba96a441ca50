// The console radio through the real program, without a sound card: a named
// pipe or a WAV file as the sound input, pseudo-terminals as the console and
// as the output device, the partner and the remote control's reply port on
// sockets of the test. The loop block by block: tests/console.
#include "DaemonFixture.h"
#include "PseudoTerminal.h"
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

class ConsoleRig {
public:
    ConsoleRig()
    {
        mkfifo(mic.c_str(), 0600);
        // Read-write: opening waits for no reader, and writing never fails for
        // want of one; a full pipe drops the block.
        micFd = open(mic.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    ~ConsoleRig()
    {
        feeding = false;
        if (feeder.joinable())
            feeder.join();
        close(micFd);
        close(panel);
    }
    ConsoleRig(const ConsoleRig&) = delete;
    ConsoleRig& operator=(const ConsoleRig&) = delete;

    // Halvane in P25 mode (software IMBE: one record per block) with the
    // microphone loop on the pipe; `console` is its standard input.
    bool start(const std::string& console, const std::string& general = "", const std::string& ambe = "ambeMode = P25\n")
    {
        std::string error;
        d.console = console;
        d.start(d.ini("useMicrophone = true\ninputAudioDevice = " + mic + "\nremoteControlPort = " +
                          std::to_string(remotePort) + "\nremoteControlReplyPort = " + std::to_string(replies.port()) +
                          "\n" + general,
                      ambe));
        return partner.open({"127.0.0.1", d.ports.tlvTx, "127.0.0.1", d.ports.tlvRx}, error) &&
               d.waitForLog("Begin reading audio from microphone");
    }
    bool running() const { return d.waitForLog("Starting USRP --> Halvane (encoder) -> TLV thread"); }

    // A block every 10 ms, as a sound card would deliver them faster; block k
    // holds one value throughout (with `speech`; otherwise silence, which VOX
    // leaves alone).
    void feed(bool speech = true)
    {
        feeding = true;
        feeder = std::thread([this, speech] {
            for (short k = 0; feeding; k = static_cast<short>((k + 1) % 50)) {
                std::array<short, 160> block;
                block.fill(speech ? static_cast<short>(100 + 10 * k) : 0);
                [[maybe_unused]] const ssize_t written = write(micFd, block.data(), 320);
                std::this_thread::sleep_for(10ms);
            }
        });
    }

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
    std::string ask(const std::string& text) const
    {
        command(text);
        return reply();
    }

    Daemon d;
    std::string mic = d.dir.file("mic");
    int micFd = -1;
    std::atomic_bool feeding{false};
    std::thread feeder;
    PseudoTerminal console;
    UdpSocket replies;
    int remotePort = freeUdpPort();
    int panel = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    TlvPartner partner;
};

} // namespace

// A key at the console keys the microphone through the bridge to the
// partner, another unkeys; the output device plays every block the bridge
// took from the microphone and every frame it decoded, each whole; Ctrl-C
// ends the program with the console as it was.
TEST(Console, KeyPressTransmitsAndTheSpeakerMonitorsBothWays)
{
    ConsoleRig rig;
    PseudoTerminal speaker;
    ASSERT_TRUE(rig.console.echoAndLinesOn() && speaker.ok());
    speaker.makeRaw();
    ASSERT_TRUE(rig.start(rig.console.slavePath(),
                          "monitorASLAudio = true\noutputAudioDevice = " + speaker.slavePath() + "\n"));
    ASSERT_TRUE(rig.running());
    EXPECT_TRUE(eventually([&] { return !rig.console.echoAndLinesOn(); }, 5s));

    rig.feed();
    rig.console.type("k");
    EXPECT_EQ(rig.reply(), "reply ptt true");
    std::this_thread::sleep_for(300ms);
    rig.console.type("\x1b[A"); // an arrow key: one toggle, not three
    EXPECT_EQ(rig.reply(), "reply ptt false");
    const SavedCall call = rig.partner.receiveCall(10s);
    ASSERT_TRUE(call.ended());
    EXPECT_GE(call.voiceFrames(), 10);
    EXPECT_EQ(rig.reply(500ms), "(nothing)");
    EXPECT_TRUE(rig.d.hasLog("Mic PTT ON") && rig.d.hasLog("Mic PTT OFF"));

    Bytes heard = speaker.read(500ms);
    EXPECT_EQ(heard.size(), 320u * static_cast<std::size_t>(call.voiceFrames()));
    for (auto block = heard.begin(); block + 320 <= heard.end(); block += 320)
        ASSERT_TRUE(std::equal(block, block + 318, block + 2)) << "block at " << block - heard.begin();

    ASSERT_TRUE(rig.partner.sendBegin(CallRecord{3100123, 3100456, 91, 1, 1, ""}));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(rig.partner.sendValue(TAG_IMBE, Bytes(11, static_cast<std::uint8_t>(i * 37))));
    ASSERT_TRUE(rig.partner.sendEnd(1));
    EXPECT_EQ(speaker.read(1s).size(), 5u * 320);

    rig.console.type("\x03");
    EXPECT_EQ(rig.d.process->wait(), 0);
    EXPECT_TRUE(rig.console.echoAndLinesOn());
}

// VOX keys on a WAV file's tone and drops in its silence; the end of the
// file ends the program normally, with the console restored.
TEST(Console, VoxOnAWavFileAndTheNormalExitAtItsEnd)
{
    ConsoleRig rig;
    const std::string wav = rig.d.dir.file("speech.wav");
    {
        WavWriter writer;
        std::string error;
        std::vector<std::int16_t> pcm(160 * 170, 0);
        for (std::size_t i = 0; i < 160 * 20; ++i)
            pcm[i] = i % 2 == 0 ? 1000 : -1000;
        ASSERT_TRUE(writer.open(wav, error) && writer.write(pcm)) << error;
    }
    ASSERT_TRUE(rig.start(rig.console.slavePath(),
                          "inputAudioDevice = " + wav + "\nuseVox = true\nvoxTrigger = 200\nvoxDecay = 2\n"));
    EXPECT_EQ(rig.d.process->wait(), 0);
    EXPECT_EQ(rig.reply(), "reply ptt true");
    EXPECT_EQ(rig.reply(), "reply ptt false");
    EXPECT_TRUE(rig.d.hasLog("Begin reading audio from microphone vox enabled"));
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
    rig.feed(false);
    EXPECT_TRUE(rig.d.waitForLog("keyboard PTT off"));

    for (const char* ignored : {"set", "get", "set vox", "hello world", "SET vox true", "get\x1b[2J"})
        rig.command(ignored);
    EXPECT_EQ(rig.ask("get ptt"), "reply ptt toggle");
    EXPECT_EQ(rig.ask("get vox"), "reply vox false");
    EXPECT_EQ(rig.ask("get vox_threshold"), "reply vox_threshold 200");
    EXPECT_EQ(rig.ask("get vox_delay"), "reply vox_delay 100");
    EXPECT_EQ(rig.ask("get info"), "reply dmr_info BM 3100002 3100001 Q9ZZZ");
    EXPECT_EQ(rig.ask("get foo"), "reply foo unknown");
    EXPECT_EQ(rig.ask("get " + std::string(296, 'x')), "reply " + std::string(251, 'x') + " unknown");
    EXPECT_TRUE(rig.d.hasLog("Remote control: get.[2J"));

    rig.command("set info 5 5 9 2 1");
    rig.command("set info 7 8 91");
    EXPECT_EQ(rig.ask("get info"), "reply dmr_info BM 3100002 3100001 Q9ZZZ");
    EXPECT_TRUE(rig.d.hasLog("Repeater ID (5) can not be the same as subscriber ID (5)"));
    EXPECT_TRUE(rig.d.hasLog("set info needs five numbers"));
    rig.command("set info 7 8 91 1 1");
    EXPECT_EQ(rig.ask("get info"), "reply dmr_info BM 8 7 Q9ZZZ");

    EXPECT_EQ(rig.ask("set ptt"), "reply ptt true");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(rig.ask("set ptt"), "reply ptt false");
    const SavedCall call = rig.partner.receiveCall(10s);
    ASSERT_TRUE(call.callRecord().has_value() && call.ended());
    const CallRecord identity = *call.callRecord();
    EXPECT_EQ(std::vector<std::uint32_t>({identity.source, identity.repeater, identity.destination, identity.slot}),
              std::vector<std::uint32_t>({7, 8, 91, 1}));

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
        ASSERT_TRUE(rig.start(rig.console.slavePath()) && rig.running());
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
