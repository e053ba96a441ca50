// CDV3000_Base and CDMR_DV3000 against the DV3000 simulator, over UDP (an
// AMBE server) and over a pseudo-terminal (a chip on a serial line).
#include "CDMR_DV3000.h"
#include "CDV3000_Base.h"
#include "Dv3000Recovery.h"
#include "Dv3000Simulator.h"

#include "ChildProcess.h"
#include "LogCapture.h"
#include "TempDir.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace halvane {

using namespace std::chrono_literals;
using Sim = Dv3000Simulator;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes DMR_RATE = {0x61, 0x00, 0x0D, 0x00, 0x0A, 0x04, 0x31, 0x07, 0x54,
                        0x24, 0x00, 0x00, 0x00, 0x00, 0x00, 0x6F, 0x48};
const Bytes DSTAR_RATE = {0x61, 0x00, 0x0D, 0x00, 0x0A, 0x01, 0x30, 0x07, 0x63,
                          0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x48};

// Polls are long enough for a loaded machine; the exchange time-outs are
// long too, except where a test waits for them on purpose.
const DV3000Timing ROBUST{1000us, 100ms, 5000ms, 5000ms};
const DV3000Timing QUICK_TIMEOUT{1000us, 100ms, 500ms, 500ms};

// A block that differs with `seed`, so every exchange has its own answer.
Sim::Block makeBlock(int seed)
{
    Sim::Block block{};
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::int16_t>((seed * 7919 + static_cast<int>(i) * 104729) % 65536 - 32768);
    return block;
}

Sim::Frame makeFrame(int seed)
{
    Sim::Frame frame{};
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(seed * 31 + static_cast<int>(i) * 17);
    return frame;
}

struct EncodeResult {
    int length = 0;
    Sim::Frame frame{};
};

EncodeResult encode(CDV3000_Base& chip, const Sim::Block& block)
{
    EncodeResult result;
    Sim::Block samples = block;
    result.length = chip.dv3000Encode(result.frame.data(), 320, samples.data());
    return result;
}

struct DecodeResult {
    bool ok = false;
    Sim::Block pcm{};
};

DecodeResult decode(CDV3000_Base& chip, const Sim::Frame& frame)
{
    DecodeResult result;
    result.ok = chip.dv3000Decode(frame.data(), 9, result.pcm.data());
    return result;
}

// Parameter: true for the serial line, false for UDP.
class DV3000OverSimulator : public ::testing::TestWithParam<bool> {
protected:
    bool serial() const { return GetParam(); }

    // Starts the simulator with `options` on this test's transport and
    // points the settings at it.
    void startSimulator(Sim::Options options = {})
    {
        options.udp = !serial();
        options.udpPort = 0;
        options.pty = serial();
        sim = std::make_unique<Sim>(options);
        std::string error;
        ASSERT_TRUE(sim->start(error)) << error;
        link.serial = serial();
        link.address = serial() ? sim->ptyPath() : "127.0.0.1";
        link.port = serial() ? 2460u : static_cast<unsigned>(sim->udpPort());
    }

    Sim::Options withFault(Sim::Fault fault, Sim::FaultTarget on = Sim::FaultTarget::Any, int count = 0)
    {
        Sim::Options options;
        options.faults = {fault};
        options.faultOn = on;
        options.faultCount = count;
        return options;
    }

    // The place the "not found" message names.
    std::string notFoundAt(const char* stage) const
    {
        if (serial())
            return "DV3000 not found at device : " + sim->ptyPath() + " and baud : 460800 (" + stage + " failed)";
        return "DV3000 not found at 127.0.0.1:" + std::to_string(sim->udpPort()) + " (" + stage + " failed)";
    }

    // Waits until bytes the simulator sent are visible to the transport;
    // over UDP on loopback they are as soon as they were sent.
    void waitUntilDelivered() const
    {
        if (!serial())
            return;
        const int fd = ::open(sim->ptyPath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        pollfd entry{fd, POLLIN, 0};
        EXPECT_EQ(::poll(&entry, 1, 10000), 1);
        ::close(fd);
    }

    LogCapture log;
    std::unique_ptr<Sim> sim;
    DV3000Options link; // where the simulator is
};

std::string transportName(const ::testing::TestParamInfo<bool>& info)
{
    return info.param ? "Serial" : "Udp";
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Transports, DV3000OverSimulator, ::testing::Bool(), transportName);

TEST_P(DV3000OverSimulator, StartsUpWithTheExactSequence)
{
    startSimulator();
    CDV3000_Base chip(link, ROBUST);
    ASSERT_EQ(chip.initDV3000(CDMR_DV3000::rateCommand), 1);
    EXPECT_EQ(chip.dv3000Ready, 1);
    EXPECT_TRUE(log.has('M', "Connecting to DV3000 hardware......"));
    EXPECT_TRUE(log.has('M', "Begin DV3000 decode"));

    const Sim::Stats stats = sim->stats();
    EXPECT_EQ(stats.flushBytes, 35 * 10);
    EXPECT_EQ(stats.resets, 1);
    EXPECT_EQ(stats.productIdRequests, 1);
    EXPECT_EQ(stats.lastRateCommand, DMR_RATE);
    EXPECT_EQ(stats.ignoredPackets, 0);

    // A second start-up (a mode change) reopens the transport and starts over.
    ASSERT_EQ(chip.initDV3000(CDMR_DV3000::rateCommandDSTAR), 1);
    EXPECT_EQ(sim->stats().resets, 2);
    EXPECT_EQ(sim->stats().lastRateCommand, DSTAR_RATE);
}

TEST_P(DV3000OverSimulator, EncodesAndDecodesWithExactBytesOnTheWire)
{
    startSimulator();
    CDV3000_Base chip(link, ROBUST);
    ASSERT_EQ(chip.initDV3000(CDMR_DV3000::rateCommand), 1);

    const Sim::Block block = makeBlock(1);
    const EncodeResult encoded = encode(chip, block);
    ASSERT_EQ(encoded.length, 9);
    EXPECT_EQ(encoded.frame, Sim::standInEncode(block, Sim::RateMode::Dmr));

    // Speech request: header with length 0x0142, then big-endian samples.
    const Bytes speech = sim->stats().lastSpeechRequest;
    ASSERT_EQ(speech.size(), 326u);
    EXPECT_EQ(Bytes(speech.begin(), speech.begin() + 6), (Bytes{0x61, 0x01, 0x42, 0x02, 0x00, 0xA0}));
    EXPECT_EQ(speech[6], static_cast<std::uint16_t>(block[0]) >> 8);
    EXPECT_EQ(speech[7], static_cast<std::uint16_t>(block[0]) & 0xFF);

    const Sim::Frame frame = makeFrame(2);
    const DecodeResult decoded = decode(chip, frame);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.pcm, Sim::standInDecode(frame));

    // Channel request: header with length 0x000B, then the frame.
    Bytes channel = {0x61, 0x00, 0x0B, 0x01, 0x01, 0x48};
    channel.insert(channel.end(), frame.begin(), frame.end());
    EXPECT_EQ(sim->stats().lastChannelRequest, channel);
}

TEST_P(DV3000OverSimulator, EncodingAndDecodingFromTwoThreadsNeverCross)
{
    startSimulator();
    CDV3000_Base chip(link, ROBUST);
    ASSERT_EQ(chip.initDV3000(CDMR_DV3000::rateCommand), 1);

    constexpr int ROUNDS = 200;
    std::atomic_int encodeMismatches{0};
    std::atomic_int decodeMismatches{0};
    std::thread encoder([&] {
        for (int i = 0; i < ROUNDS; ++i) {
            const Sim::Block block = makeBlock(i);
            const EncodeResult r = encode(chip, block);
            if (r.length != 9 || r.frame != Sim::standInEncode(block, Sim::RateMode::Dmr))
                ++encodeMismatches;
        }
    });
    std::thread decoder([&] {
        for (int i = 0; i < ROUNDS; ++i) {
            const Sim::Frame frame = makeFrame(i);
            const DecodeResult r = decode(chip, frame);
            if (!r.ok || r.pcm != Sim::standInDecode(frame))
                ++decodeMismatches;
        }
    });
    encoder.join();
    decoder.join();
    EXPECT_EQ(encodeMismatches, 0);
    EXPECT_EQ(decodeMismatches, 0);
}

TEST_P(DV3000OverSimulator, AModeChangeNeverInterleavesWithExchanges)
{
    startSimulator();
    CDV3000_Base chip(link, ROBUST);
    ASSERT_EQ(chip.initDV3000(CDMR_DV3000::rateCommand), 1);

    // Encoding goes on while the chip is restarted with D-STAR parameters:
    // each encode runs wholly before or wholly after the restart, or, while
    // it runs, gives up at once without a frame (the caller vocodes that
    // block itself).
    std::atomic_bool done{false};
    std::atomic_int wrong{0};
    std::atomic_int exchanges{0};
    std::thread encoder([&] {
        for (int i = 0; !done; ++i) {
            const Sim::Block block = makeBlock(i);
            const EncodeResult r = encode(chip, block);
            if (r.length == 9 ? r.frame != Sim::standInEncode(block, Sim::RateMode::Dmr) &&
                                    r.frame != Sim::standInEncode(block, Sim::RateMode::Dstar)
                              : r.length != 0)
                ++wrong;
            if (r.length == 9)
                ++exchanges;
        }
    });
    ASSERT_TRUE(eventually([&] { return exchanges > 5; }));
    EXPECT_EQ(chip.initDV3000(CDMR_DV3000::rateCommandDSTAR), 1);
    const int after = exchanges;
    ASSERT_TRUE(eventually([&] { return exchanges > after + 5; }));
    done = true;
    encoder.join();
    EXPECT_EQ(wrong, 0);
    const Sim::Block block = makeBlock(9999);
    EXPECT_EQ(encode(chip, block).frame, Sim::standInEncode(block, Sim::RateMode::Dstar));
}

TEST_P(DV3000OverSimulator, ALateReplyLosesTheChipAndIsNeverTakenForALaterRequest)
{
    Sim::Options options = withFault(Sim::Fault::Late, Sim::FaultTarget::Any, 1);
    options.delayMs = 1200;
    startSimulator(options);
    CDV3000_Base chip(link, QUICK_TIMEOUT);
    std::vector<std::string> losses;
    chip.setLossListener([&](const std::string& reason) { losses.push_back(reason); });
    ASSERT_EQ(chip.initDV3000(CDMR_DV3000::rateCommand), 1);

    // The first exchange gives up before its reply comes, and the chip
    // counts as lost: nothing more is asked of it, nothing waits for it.
    Sim::Frame frame;
    frame.fill(0x55);
    Sim::Block samples = makeBlock(1);
    EXPECT_EQ(chip.dv3000Encode(frame.data(), 320, samples.data()), 0);
    EXPECT_EQ(frame, (Sim::Frame{0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(chip.dv3000Ready, 0);
    EXPECT_EQ(losses, (std::vector<std::string>{"no answer within 500 ms"}));
    EXPECT_EQ(encode(chip, makeBlock(2)).length, 0);
    EXPECT_FALSE(decode(chip, makeFrame(2)).ok);
    EXPECT_EQ(losses.size(), 1u);
    EXPECT_EQ(sim->stats().speechRequests, 1);
    EXPECT_EQ(sim->stats().channelRequests, 0);
    ASSERT_TRUE(eventually([&] { return sim->stats().lateRepliesSent == 1; }));
    waitUntilDelivered();

    // Started again, the chip answers each later request with its own reply.
    ASSERT_EQ(chip.reprobe(CDMR_DV3000::rateCommand), 1);
    for (int i = 2; i < 6; ++i)
        EXPECT_EQ(encode(chip, makeBlock(i)).frame, Sim::standInEncode(makeBlock(i), Sim::RateMode::Dmr)) << i;
    const Sim::Frame other = makeFrame(1);
    EXPECT_EQ(decode(chip, other).pcm, Sim::standInDecode(other));
}

TEST_P(DV3000OverSimulator, StartupFailsAtTheStageThatFailed)
{
    struct Case {
        Sim::Fault fault;
        const char* stage;
    };
    for (const Case& c : {Case{Sim::Fault::NoReady, "Reset"}, Case{Sim::Fault::BadProductId, "ProdID"},
                          Case{Sim::Fault::RateFail, "ProdID"}}) {
        SCOPED_TRACE(Sim::faultName(c.fault));
        startSimulator(withFault(c.fault));
        CDV3000_Base chip(link, ROBUST);
        EXPECT_EQ(chip.initDV3000(CDMR_DV3000::rateCommand), 0);
        EXPECT_EQ(chip.dv3000Ready, 0);
        EXPECT_TRUE(log.has('W', notFoundAt(c.stage)));
        if (c.fault == Sim::Fault::NoReady) {
            EXPECT_TRUE(log.has('W', "DV3000 did not reset at " + link.address + ":" + std::to_string(link.port)));
        }
        sim.reset();
    }
    EXPECT_TRUE(log.has('W', serial() ? "Serial port open succeeded but no response from DV3000.  Wrong baud rate?"
                                      : "AMBE server open succeeded but no response from DV3000.  Wrong port?"));
    EXPECT_TRUE(log.has('M', "DV3000 Rate Control failed"));
    EXPECT_TRUE(log.has('E', "DV3000 refused the rate parameters, status 1"));
    EXPECT_FALSE(log.contains("Begin DV3000 decode"));
}

// A chip restarted mid-call, a reply of the wrong type (exactly as long as a
// frame reply: its length alone must not make it count as one) and cut
// replies fail their exchange without output; a start-up mends the chip.
TEST_P(DV3000OverSimulator, AFaultyReplyFailsItsExchangeAndAStartUpMendsIt)
{
    using Target = Sim::FaultTarget;
    for (const auto& [fault, on] : {std::pair{Sim::Fault::Reset, Target::Decode}, {Sim::Fault::WrongType, Target::Encode},
                                    {Sim::Fault::Short, Target::Decode}, {Sim::Fault::Truncated, Target::Decode}}) {
        SCOPED_TRACE(Sim::faultName(fault));
        startSimulator(withFault(fault, on, 1));
        CDV3000_Base chip(link, QUICK_TIMEOUT);
        ASSERT_EQ(chip.initDV3000(CDMR_DV3000::rateCommand), 1);
        const Sim::Block block = makeBlock(4);
        const Sim::Frame frame = makeFrame(6);
        if (on == Target::Encode) {
            Sim::Frame out;
            out.fill(0x55);
            Sim::Block samples = block;
            EXPECT_EQ(chip.dv3000Encode(out.data(), 320, samples.data()), 0);
            EXPECT_EQ(out, (Sim::Frame{0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}));
        } else {
            const DecodeResult r = decode(chip, frame);
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.pcm, Sim::Block{});
        }
        if (fault == Sim::Fault::Reset) {
            EXPECT_EQ(chip.dv3000Ready, 0); // its rate parameters are gone
        }
        ASSERT_EQ(chip.initDV3000(CDMR_DV3000::rateCommand), 1);
        EXPECT_EQ(encode(chip, block).frame, Sim::standInEncode(block, Sim::RateMode::Dmr));
        EXPECT_EQ(decode(chip, frame).pcm, Sim::standInDecode(frame));
        sim.reset();
    }
    EXPECT_TRUE(log.has('E', "DV3000 has unexpectedly reset.  USB power issues may be the cause"));
    EXPECT_TRUE(log.has('E', "DV3000 return type not correct.  Found 0, expected 1"));
    EXPECT_TRUE(log.has('E', "DV3000 header is short.  byte count=3"));
    EXPECT_TRUE(log.has('E', "DV3000 packet size does not match bytes in stream.  len=322 streamBytes=165"));
    if (serial()) {
        EXPECT_TRUE(log.has('W', "Serial: response header not fully read.  Bytes received: 3"));
        EXPECT_TRUE(log.has('W', "Serial: response body not fully read. rxLen=165 leftToRead=322"));
    }
}

// An over-long reply, or noise before the reply: a serial line reads the
// packet (resynchronising on the start byte) and drops the surplus before the
// next request; over UDP the datagram that does not match its header is
// rejected, and what came after it is dropped by the next start-up.
TEST_P(DV3000OverSimulator, ExtraBytesAndNoiseAroundAReplyAreHandled)
{
    struct Case {
        Sim::Fault fault;
        const char* serialLog;
        const char* udpLog;
    };
    for (const Case& c : {Case{Sim::Fault::Long, "", "DV3000 packet size does not match bytes in stream.  len=11 streamBytes=18"},
                          Case{Sim::Fault::Garbage, "Serial: skipped 8 byte(s) before a DV3000 packet start",
                               "DV3000 start byte not found"}}) {
        SCOPED_TRACE(Sim::faultName(c.fault));
        startSimulator(withFault(c.fault, Sim::FaultTarget::Encode, 1));
        CDV3000_Base chip(link, ROBUST);
        ASSERT_EQ(chip.initDV3000(CDMR_DV3000::rateCommand), 1);
        const Sim::Block block = makeBlock(7);
        const EncodeResult r = encode(chip, block);
        if (serial()) {
            EXPECT_EQ(r.length, 9);
            EXPECT_EQ(r.frame, Sim::standInEncode(block, Sim::RateMode::Dmr));
            if (c.fault == Sim::Fault::Long)
                waitUntilDelivered();
            else
                EXPECT_TRUE(log.has('W', c.serialLog));
        } else {
            EXPECT_EQ(r.length, 0);
            EXPECT_TRUE(log.has('E', c.udpLog));
            // Ready, product id, rate, the noise if any, then the reply: the
            // start-up drops the reply before it sends anything.
            const long sent = c.fault == Sim::Fault::Garbage ? 5 : 4;
            ASSERT_TRUE(eventually([&] { return sim->stats().repliesSent == sent; }));
            ASSERT_EQ(chip.initDV3000(CDMR_DV3000::rateCommand), 1);
        }
        for (int i = 10; i < 13; ++i)
            EXPECT_EQ(encode(chip, makeBlock(i)).frame, Sim::standInEncode(makeBlock(i), Sim::RateMode::Dmr)) << i;
        sim.reset();
    }
}

TEST_P(DV3000OverSimulator, FrameSizeChoosesTheRateCommand)
{
    startSimulator();
    for (const int size : {48, 72}) {
        SCOPED_TRACE(size);
        CDMR_DV3000 chip(size, link, ROBUST);
        EXPECT_EQ(chip.dv3000Ready, 1);
        EXPECT_EQ(sim->stats().lastRateCommand, size == 48 ? DSTAR_RATE : DMR_RATE);
    }
    EXPECT_EQ(sim->stats().resets, 2);
}

// A chip pulled away mid-use (the server stopped, the adapter unplugged) is
// lost once, looked for quietly, and when it is back it is started for the
// mode in use by then: the one line each way is all the log shows.
TEST_P(DV3000OverSimulator, ALostChipIsFoundAgainAndStartedForTheModeInUse)
{
    TempDir dir;
    Sim::Options options;
    options.ptyLink = serial() ? dir.file("dv3000") : "";
    startSimulator(options);
    CDV3000_Base chip(link, QUICK_TIMEOUT);
    ASSERT_EQ(chip.initDV3000(CDMR_DV3000::rateCommand), 1);

    std::atomic<const unsigned char*> rate{CDMR_DV3000::rateCommand};
    std::atomic_int lost{0};
    std::atomic_int back{0};
    Dv3000Recovery::Hooks hooks{[&] { return rate.load(); }, [&] { ++lost; }, [&] { ++back; }};
    Dv3000Recovery recovery(chip, hooks, {50ms, 200ms, 60s});
    ASSERT_TRUE(recovery.start());
    EXPECT_FALSE(recovery.searching());

    const std::size_t before = log.lines().size();
    sim->stop();
    EXPECT_EQ(encode(chip, makeBlock(1)).length, 0);
    EXPECT_EQ(lost, 1);
    EXPECT_TRUE(recovery.searching());
    EXPECT_FALSE(decode(chip, makeFrame(1)).ok);
    EXPECT_EQ(lost, 1);
    EXPECT_TRUE(log.has('E', "DV3000 at " + chip.where() + " lost ("));

    // Away for a few probes; meanwhile the mode changes.
    std::this_thread::sleep_for(500ms);
    rate = CDMR_DV3000::rateCommandDSTAR;
    std::string error;
    ASSERT_TRUE(sim->start(error)) << error;
    ASSERT_TRUE(eventually([&] { return back == 1; }));
    EXPECT_FALSE(recovery.searching());
    const Sim::Block block = makeBlock(2);
    EXPECT_EQ(encode(chip, block).frame, Sim::standInEncode(block, Sim::RateMode::Dstar));

    int lossLines = 0;
    int backLines = 0;
    const std::vector<std::string> lines = log.lines();
    for (std::size_t i = before; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        lossLines += line.find(" lost (") != std::string::npos;
        backLines += line.find("answers again after") != std::string::npos && line[0] == 'W';
        EXPECT_TRUE(line[0] == 'D' || line.find("DV3000 at") != std::string::npos ||
                    line.find("Serial: write not fully sent") != std::string::npos ||
                    line.find("Serial: response header not fully read") != std::string::npos)
            << line;
    }
    EXPECT_EQ(lossLines, 1);
    EXPECT_EQ(backLines, 1);
}

} // namespace halvane
