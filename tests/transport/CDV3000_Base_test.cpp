// The DV3000 protocol class without a chip; exchanges with the simulator are
// in tests/tools/DV3000Exchange_test.cpp.
#include "CDMR_DV3000.h"
#include "CDV3000_Base.h"

#include "LogCapture.h"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace halvane {

using namespace std::chrono_literals;

namespace {

// Records what reaches the audio sink, as the bridge's override would.
class RecordingVocoder : public CDV3000_Base {
public:
    using CDV3000_Base::CDV3000_Base;
    void processAudio(void* pcm, int len) override
    {
        const auto* bytes = static_cast<const std::uint8_t*>(pcm);
        delivered.assign(bytes, bytes + len);
        ++calls;
    }
    std::vector<std::uint8_t> delivered;
    int calls = 0;
};

class DV3000WithoutChip : public ::testing::Test {
protected:
    LogCapture log;
};

} // namespace

TEST_F(DV3000WithoutChip, ValidationNamesEachFaultExactly)
{
    CDV3000_Base chip;
    const std::uint8_t ready[] = {0x61, 0x00, 0x01, 0x00, 0x39};
    const std::uint8_t channel[] = {0x61, 0x00, 0x0B, 0x01, 0x01, 0x48, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0};
    const std::uint8_t noStart[] = {0x62, 0x00, 0x01, 0x00, 0x39};
    EXPECT_TRUE(chip.validateDV3000(15, channel, 1));
    EXPECT_TRUE(chip.validateDV3000(5, ready, 0));
    struct Case {
        int size;
        const std::uint8_t* packet;
        std::uint8_t type;
        const char* message;
    };
    for (const Case& c : {Case{3, channel, 1, "DV3000 header is short.  byte count=3"},
                          Case{5, noStart, 0, "DV3000 start byte not found"},
                          Case{14, channel, 1, "DV3000 packet size does not match bytes in stream.  len=11 streamBytes=14"},
                          Case{5, ready, 2, "DV3000 has unexpectedly reset.  USB power issues may be the cause"},
                          Case{15, channel, 2, "DV3000 return type not correct.  Found 1, expected 2"}}) {
        EXPECT_FALSE(chip.validateDV3000(c.size, c.packet, c.type)) << c.message;
        EXPECT_TRUE(log.has('E', c.message));
    }
}

TEST_F(DV3000WithoutChip, MissingSerialDeviceFailsAtTheConnectStage)
{
    DV3000Options link;
    link.serial = true;
    link.address = "/dev/halvane-no-such-tty";
    link.baud = 115200;
    CDMR_DV3000 chip(72, link);
    EXPECT_EQ(chip.dv3000Ready, 0);
    EXPECT_TRUE(log.has('D', "Attempt to  init DV3000 in DMR mode"));
    EXPECT_TRUE(log.has('E', "Serial: error when opening /dev/halvane-no-such-tty, errno=2"));
    EXPECT_TRUE(log.has('W', "DV3000 not found at device : /dev/halvane-no-such-tty and baud : 115200 (Connect failed)"));

    // A probe that repeats the start-up says the same at debug level only.
    const std::vector<std::string> before = log.lines();
    EXPECT_EQ(chip.reprobe(CDMR_DV3000::rateCommand), 0);
    const std::vector<std::string> after = log.lines();
    ASSERT_GT(after.size(), before.size());
    for (std::size_t i = before.size(); i < after.size(); ++i)
        EXPECT_EQ(after[i][0], 'D') << after[i];
    EXPECT_TRUE(log.has('D', "DV3000 not found at device : /dev/halvane-no-such-tty"));
}

TEST_F(DV3000WithoutChip, FailedExchangesKeepTheFrameDeliverSilenceAndLoseTheChipOnce)
{
    RecordingVocoder chip(DV3000Options{}, DV3000Timing{1000us, 10ms, 50ms, 50ms});
    std::vector<std::string> losses;
    chip.setLossListener([&](const std::string& reason) { losses.push_back(reason); });

    // A chip that never started is not asked at all.
    unsigned char frame[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    short samples[160] = {};
    EXPECT_EQ(chip.dv3000Encode(frame, 320, samples), 0);
    EXPECT_TRUE(losses.empty());

    // One that was ready and does not answer is lost, once.
    chip.dv3000Ready = 1;
    EXPECT_EQ(chip.dv3000Encode(frame, 320, samples), 0);
    EXPECT_EQ(std::vector<unsigned char>(frame, frame + 9), (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(losses, (std::vector<std::string>{"no answer within 50 ms"}));
    EXPECT_EQ(chip.dv3000Ready, 0);
    EXPECT_FALSE(log.contains("header is short"));
    EXPECT_EQ(chip.where(), "127.0.0.1:2460");

    // Requests that cannot be framed are refused before anything is sent.
    EXPECT_EQ(chip.dv3000Encode(frame, 321, samples), 0);
    EXPECT_EQ(chip.dv3000Encode(frame, 4000, samples), 0);
    EXPECT_TRUE(log.has('E', "DV3000 encode refused a block of 4000 bytes"));

    short pcm[160];
    std::fill(std::begin(pcm), std::end(pcm), short{77});
    EXPECT_FALSE(chip.dv3000Decode(frame, 9, pcm));
    EXPECT_TRUE(std::all_of(std::begin(pcm), std::end(pcm), [](short s) { return s == 0; }));
    EXPECT_FALSE(chip.dv3000Decode(frame, 200, pcm));

    // The silent block still reaches the (overridden) audio sink.
    EXPECT_FALSE(chip.dv3000ProcessMbeFrame(frame, 9));
    EXPECT_EQ(chip.calls, 1);
    EXPECT_EQ(chip.delivered, std::vector<std::uint8_t>(320, 0));
    EXPECT_EQ(losses.size(), 1u);
}

} // namespace halvane
