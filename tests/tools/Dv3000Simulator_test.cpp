// The DV3000 simulator itself, for what the exchanges with it
// (DV3000Exchange_test.cpp) do not show.
#include "Dv3000Simulator.h"

#include "CDMR_DV3000.h"
#include "ChildProcess.h"
#include "DV3000Protocol.h"
#include "SoftwareDecoder.h"
#include "SoftwareEncoder.h"
#include "Speech.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "UdpSocket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdint>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <tuple>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace halvane {

using namespace std::chrono_literals;
using Sim = Dv3000Simulator;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes speechRequest(const Sim::Block& block)
{
    Bytes packet(std::begin(CDV3000_Base::DV3000_AUDIO_HEADER), std::end(CDV3000_Base::DV3000_AUDIO_HEADER));
    for (const std::int16_t s : block) {
        packet.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8));
        packet.push_back(static_cast<std::uint8_t>(s));
    }
    return packet;
}

Bytes channelReply(const Sim::Frame& frame)
{
    Bytes packet(15);
    const std::uint8_t header[] = {0x61, 0x00, 0x0B, 0x01, 0x01, 0x48};
    std::copy(std::begin(header), std::end(header), packet.begin());
    std::copy(frame.begin(), frame.end(), packet.begin() + 6);
    return packet;
}

std::unique_ptr<Sim> startUdp(Sim::Options options)
{
    options.udp = true;
    options.udpPort = 0;
    auto sim = std::make_unique<Sim>(std::move(options));
    std::string error;
    EXPECT_TRUE(sim->start(error)) << error;
    return sim;
}

// The rest of the complete line that begins with `marker`, or "".
std::string lineAfter(const std::string& text, const std::string& marker)
{
    const std::size_t at = text.find(marker);
    if (at == std::string::npos)
        return "";
    const std::size_t begin = at + marker.size();
    const std::size_t end = text.find('\n', begin);
    return end == std::string::npos ? "" : text.substr(begin, end - begin);
}

bool parse(const std::vector<std::string>& args, Sim::Options& options, std::string& error)
{
    bool help = false;
    return Sim::parseArguments(args, options, error, help);
}

} // namespace

// The software vocoder vocodes at the rate loaded last, one state across
// rates, like a chip; hooks, when given, take its place.
TEST(Dv3000Simulator, SoftwareVocoderFollowsTheRateAndHooksReplaceIt)
{
    const std::vector<short> speech = loadSpeech("hts1a");
    ASSERT_GE(speech.size(), 8000u);
    Sim::Block block;
    std::copy_n(speech.begin() + 6400, block.size(), block.begin());
    SoftwareEncoder encoder;
    SoftwareDecoder decoder;
    Ambe72Frame ambe;
    DstarFrame dstar;
    PcmBlock heard72, heardDstar;
    encoder.encode72(block, ambe);
    decoder.decode72(ambe, heard72);
    encoder.encodeDstar(block, dstar);
    decoder.decodeDstar(dstar, heardDstar);

    Sim::Options options;
    options.vocoder = Sim::Vocoder::Software;
    auto sim = startUdp(options);
    UdpSocket client;
    const auto ask = [&](const Sim& to, const Bytes& request) {
        client.sendTo(to.udpPort(), request);
        return client.receive();
    };
    ASSERT_TRUE(ask(*sim, Bytes(std::begin(dv3000::RATE_DMR), std::end(dv3000::RATE_DMR))));
    EXPECT_EQ(ask(*sim, speechRequest(block)), channelReply(ambe.bytes));
    EXPECT_EQ(ask(*sim, channelReply(ambe.bytes)), speechRequest(heard72)); // a channel packet, as Halvane sends it
    ASSERT_TRUE(ask(*sim, Bytes(std::begin(dv3000::RATE_DSTAR), std::end(dv3000::RATE_DSTAR))));
    EXPECT_EQ(ask(*sim, speechRequest(block)), channelReply(dstar.bytes));
    EXPECT_EQ(ask(*sim, channelReply(dstar.bytes)), speechRequest(heardDstar));

    options.encoder = [](const Sim::Block& pcm, Sim::RateMode) {
        return Sim::Frame{static_cast<std::uint8_t>(pcm[1]), 0, 0, 0, 0, 0, 0, 0, 7};
    };
    options.decoder = [](const Sim::Frame& frame, Sim::RateMode) {
        Sim::Block block{};
        block.fill(frame[0]);
        return block;
    };
    block[1] = 100;
    EXPECT_EQ(ask(*startUdp(options), speechRequest(block)), channelReply(Sim::Frame{100, 0, 0, 0, 0, 0, 0, 0, 7}));
}

TEST(Dv3000Simulator, CommandLineIsCheckedWithClearErrors)
{
    Sim::Options options;
    std::string error;
    ASSERT_TRUE(parse({"--pty", "--fault", "late", "--delay-ms=250", "--fault-on", "decode", "--fault-skip", "2",
                       "--fault-count=3", "--fault", "no-ready"},
                      options, error))
        << error;
    EXPECT_FALSE(options.udp);
    EXPECT_EQ(options.faults, (std::vector<Sim::Fault>{Sim::Fault::Late, Sim::Fault::NoReady}));
    EXPECT_EQ(options.faultOn, Sim::FaultTarget::Decode);
    EXPECT_EQ(std::tuple(options.delayMs, options.faultSkip, options.faultCount), std::tuple(250, 2, 3));

    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--udp", "65536"}, "bad UDP port '65536'"},
             {{"--fault", "melt"}, "unknown fault 'melt'"},
             {{"--fault", "late", "--fault", "reset"}, "only one vocoding reply fault at a time"},
             {{"--vocoder", "chip"}, "unknown vocoder 'chip'"}}) {
        options = {};
        EXPECT_FALSE(parse(args, options, error)) << args[0];
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

TEST(Dv3000SimProgram, ServesHalvaneOnUdpAndAPseudoTerminalUntilStopped)
{
    LogCapture log;
    TempDir dir;
    const std::string program = std::string(HALVANE_BIN_DIR) + "/dv3000-sim";
    ASSERT_EQ(::access(program.c_str(), X_OK), 0) << "build the dv3000-sim target first";
    ChildProcess sim(program, {"--udp", "0", "--pty"}, dir.path(), {}, dir.file("out.txt"));
    std::string out, udpPort, ptyPath;
    ASSERT_TRUE(eventually([&] {
        out = readFile(dir.file("out.txt"));
        udpPort = lineAfter(out, "dv3000-sim: listening on udp 127.0.0.1:");
        ptyPath = lineAfter(out, "dv3000-sim: serial device ");
        return !udpPort.empty() && !ptyPath.empty();
    })) << out;

    const DV3000Timing robust{1000us, 100ms, 5000ms};
    DV3000Options link;
    link.port = static_cast<unsigned>(std::stoi(udpPort));
    EXPECT_EQ(CDMR_DV3000(72, link, robust).dv3000Ready, 1);

    link.serial = true;
    link.address = ptyPath;
    EXPECT_EQ(CDMR_DV3000(48, link, robust).dv3000Ready, 1);

    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
}

} // namespace halvane
