// The partner-to-client direction through the real binary: the partner's
// records (TlvPartner) against the DV3000 simulator as the AMBE server, so
// every AMBE frame is decoded by "hardware" into a block that identifies the
// frame, and what the USRP client (UsrpClient) receives: coded and paced as
// the client needs. What the decode path does with each record is tested
// without the daemon (tests/bridge/DecodePath_test.cpp).
#include "DaemonFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace halvane {

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t TALKER = 3100123;

CallRecord call(std::uint8_t slot)
{
    return CallRecord{TALKER, 0, 91, slot, 1, ""};
}

// An AMBE+2 record's value: the slot byte and three frames that differ
// from record to record.
Bytes voiceValue(std::uint8_t slot, std::uint8_t seed)
{
    Bytes value(28);
    for (std::size_t i = 0; i < value.size(); ++i)
        value[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + 1);
    value[0] = slot;
    return value;
}

// What the simulator decodes frame `k` of a record value into.
std::vector<std::int16_t> standIn(const Bytes& value, std::size_t k)
{
    Dv3000Simulator::Frame frame;
    std::copy_n(value.begin() + 1 + 9 * static_cast<long>(k), 9, frame.begin());
    const PcmBlock block = Dv3000Simulator::standInDecode(frame);
    return std::vector<std::int16_t>(block.begin(), block.end());
}

struct Heard {
    std::vector<UsrpMessage> voice;
    std::vector<Clock::time_point> voiceTimes;
    std::optional<UsrpMessage> unkey;
    bool unkeyLast = true; // nothing keyed came after the unkey
};

// One daemon with the simulator, a partner and a client on its ports.
class DecodeRig {
public:
    DecodeRig() = default;
    DecodeRig(const DecodeRig&) = delete;
    DecodeRig& operator=(const DecodeRig&) = delete;

    bool start(const std::string& general = "")
    {
        simulator = d.chipOnUdp();
        return simulator && d.connect(client) && d.connect(partner) && d.startRunning(general) &&
               d.hasLog("Using hardware AMBE vocoder\n");
    }

    // What the client receives until an unkey (and `settle` more) or `limit`.
    Heard listen(std::chrono::milliseconds limit = 5s, std::chrono::milliseconds settle = 100ms)
    {
        Heard heard;
        auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            std::optional<UsrpMessage> m = client.receive(std::max(left, 1ms));
            if (!m)
                break;
            if (m->kind == UsrpMessage::Kind::Voice) {
                if (heard.unkey)
                    heard.unkeyLast = false;
                heard.voice.push_back(*m);
                heard.voiceTimes.push_back(Clock::now());
            } else if (m->kind == UsrpMessage::Kind::Unkey) {
                heard.unkey = m;
                deadline = std::min(deadline, Clock::now() + settle);
            }
        }
        return heard;
    }

    Daemon d;
    std::unique_ptr<Dv3000Simulator> simulator;
    UsrpClient client;
    TlvPartner partner;
};

} // namespace

// The unkey after TAG_END_TX in each codec of the client: a bare header in
// slin, encoded silence of the keyed size in mu-law and ADPCM. Unpaced: a
// paced block that a loaded machine decodes too late would be dropped.
TEST(DecodePath, UnkeyInEachCodec)
{
    DecodeRig rig;
    ASSERT_TRUE(rig.start("usrpPacing = false\n"));
    struct Case {
        const char* codec;
        std::uint32_t type;
        std::size_t voiceSize;
        std::size_t unkeySize;
    };
    const Case cases[] = {{"ulaw", 6, 192, 192}, {"adpcm", 5, 112, 112}, {"slin", 0, 352, 32}};
    std::uint8_t seed = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codec);
        rig.partner.sendCommand(std::string("codec=") + c.codec);
        ASSERT_TRUE(rig.d.waitForLog(std::string("codec=") + c.codec + "\n"));
        rig.partner.sendBegin(call(2));
        rig.partner.sendValue(TAG_AMBE_72, voiceValue(2, ++seed));
        rig.partner.sendEnd(2);
        Heard heard = rig.listen();
        ASSERT_EQ(heard.voice.size(), 3u);
        for (const UsrpMessage& v : heard.voice) {
            EXPECT_EQ(v.type, c.type);
            EXPECT_EQ(v.datagram.size(), c.voiceSize);
        }
        ASSERT_TRUE(heard.unkey);
        EXPECT_EQ(heard.unkey->type, c.type);
        EXPECT_EQ(heard.unkey->datagram.size(), c.unkeySize);
        EXPECT_FALSE(heard.unkey->keyed);
        EXPECT_TRUE(heard.unkeyLast);
    }
}

// After a call record the decode thread pauses for half a second, and the
// records queued meanwhile are decoded in one burst. The client still gets
// them one per 20 ms: the burst of 27 blocks takes about half a second to
// arrive, nothing is lost or reordered, and the unkey comes last.
TEST(DecodePath, BurstIsPacedForTheClient)
{
    DecodeRig rig;
    ASSERT_TRUE(rig.start());
    EXPECT_TRUE(rig.d.waitForLog("Decoded audio is paced to the USRP client every 20 ms\n"));
    rig.partner.sendBegin(call(1));
    std::vector<Bytes> records;
    for (std::uint8_t i = 0; i < 9; ++i) {
        records.push_back(voiceValue(1, i));
        rig.partner.sendValue(TAG_AMBE_72, records.back());
    }
    rig.partner.sendEnd(1);

    Heard heard = rig.listen(10s);
    ASSERT_EQ(heard.voice.size(), 27u);
    for (std::size_t i = 0; i < 27; ++i)
        EXPECT_EQ(heard.voice[i].pcm, standIn(records[i / 3], i % 3)) << "block " << i;
    for (std::size_t i = 1; i < 27; ++i)
        EXPECT_EQ(heard.voice[i].seq, heard.voice[i - 1].seq + 1);
    ASSERT_TRUE(heard.unkey);
    EXPECT_EQ(heard.unkey->seq, heard.voice.back().seq + 1);
    EXPECT_TRUE(heard.unkeyLast);
    // 26 periods of 20 ms between the first and the last block.
    EXPECT_GE(heard.voiceTimes.back() - heard.voiceTimes.front(), 400ms);
}

} // namespace halvane
