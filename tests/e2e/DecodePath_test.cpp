// The partner-to-client direction through the real binary: the partner's
// records (TlvPartner) against the DV3000 simulator as the AMBE server, so
// every AMBE frame is decoded by "hardware" into a block that identifies the
// frame, and what the USRP client (UsrpClient) receives.
#include "AmbeFrame.h"
#include "DaemonFixture.h"
#include "Dv3000Simulator.h"
#include "TlvPartner.h"
#include "UsrpClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <span>

namespace halvane {

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t REPEATER = 3100002; // the fixture's repeaterID
constexpr std::uint32_t TALKER = 3100123;

CallRecord call(std::uint32_t source, std::uint32_t repeater, std::uint8_t slot, std::string text = "")
{
    CallRecord record;
    record.source = source;
    record.repeater = repeater;
    record.destination = 91;
    record.slot = slot;
    record.colorCode = 1;
    record.call = std::move(text);
    return record;
}

// A voice value of `len` bytes: the slot byte (AMBE tags only) and frame
// bytes that differ from record to record.
Bytes voiceValue(std::uint8_t tag, std::size_t len, std::uint8_t slot, std::uint8_t seed)
{
    Bytes value(len);
    for (std::size_t i = 0; i < len; ++i)
        value[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + 1);
    if ((tag == TAG_AMBE_49 || tag == TAG_AMBE_72) && len > 0)
        value[0] = slot;
    return value;
}

// The 72-bit frame at `offset` of a voice value, zero-padded past its end.
Dv3000Simulator::Frame frameAt(const Bytes& value, std::size_t offset, std::size_t size)
{
    std::array<std::uint8_t, 9> bytes{};
    for (std::size_t i = 0; i < size && offset + i < value.size(); ++i)
        bytes[i] = value[offset + i];
    Dv3000Simulator::Frame frame{};
    if (size == 7)
        convert49BitAmbeTo72Bit(std::span<const std::uint8_t, 7>(bytes.data(), 7), frame);
    else
        std::memcpy(frame.data(), bytes.data(), 9);
    return frame;
}

std::vector<std::int16_t> standIn(const Dv3000Simulator::Frame& frame)
{
    Dv3000Simulator::Block block = Dv3000Simulator::standInDecode(frame);
    return std::vector<std::int16_t>(block.begin(), block.end());
}

struct Heard {
    std::vector<UsrpMessage> voice;
    std::vector<Clock::time_point> voiceTimes;
    std::optional<UsrpMessage> unkey;
    std::vector<UsrpMessage> other;
    bool unkeyLast = true; // nothing keyed came after the unkey
};

// One daemon with the simulator, a partner and a client on its ports.
class DecodeRig {
public:
    DecodeRig() = default;
    DecodeRig(const DecodeRig&) = delete;
    DecodeRig& operator=(const DecodeRig&) = delete;
    // The decode thread writes the info record at its start.
    ~DecodeRig()
    {
        std::error_code ignored;
        std::filesystem::remove("/tmp/HVInfo_" + std::to_string(d.ports.usrpRx) + ".json", ignored);
    }

    bool start(const std::string& general = "", const std::string& ambe = "")
    {
        Dv3000Simulator::Options options;
        options.udp = true;
        options.udpPort = d.ports.dv3000;
        simulator = std::make_unique<Dv3000Simulator>(options);
        std::string error;
        if (!simulator->start(error) ||
            !client.open({"127.0.0.1", d.ports.usrpTx, "127.0.0.1", d.ports.usrpRx}, error) ||
            !partner.open({"127.0.0.1", d.ports.tlvTx, "127.0.0.1", d.ports.tlvRx}, error)) {
            ADD_FAILURE() << error;
            return false;
        }
        return d.startRunning(general, ambe) && d.hasLog("Using hardware AMBE vocoder\n");
    }

    // Everything the decode thread was given before this has been handled.
    bool sync()
    {
        std::string mark = "mark " + std::to_string(++marks_);
        partner.sendEvent(mark);
        return d.waitForLog("EVENT: " + mark + "\n");
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
            } else {
                heard.other.push_back(*m);
            }
        }
        return heard;
    }

    // What has already arrived, waiting at most `quiet` for each datagram.
    std::vector<UsrpMessage> drain(std::chrono::milliseconds quiet = 150ms)
    {
        std::vector<UsrpMessage> got;
        while (std::optional<UsrpMessage> m = client.receive(quiet))
            got.push_back(*m);
        return got;
    }

    Daemon d;
    std::unique_ptr<Dv3000Simulator> simulator;
    UsrpClient client;
    TlvPartner partner;

private:
    int marks_ = 0;
};

// The level letter of the first log line that holds `text`, or 0.
char levelOf(const Daemon& d, const std::string& text)
{
    const std::string log = d.log();
    const std::size_t at = log.find(text);
    if (at == std::string::npos)
        return 0;
    const std::size_t line = log.rfind('\n', at);
    return log[line == std::string::npos ? 0 : line + 1];
}

std::size_t countKind(const std::vector<UsrpMessage>& messages, UsrpMessage::Kind kind)
{
    return static_cast<std::size_t>(
        std::count_if(messages.begin(), messages.end(), [kind](const UsrpMessage& m) { return m.kind == kind; }));
}

} // namespace

// Tests that are not about pacing run unpaced: a paced block that a loaded
// machine decodes too late is dropped, and would make them count wrong.

// One slot at a time: voice of another slot is dropped, a second call start
// and the other slot's end are ignored, the call's own end unkeys.
TEST(DecodePath, CallOwnsItsSlot)
{
    DecodeRig rig;
    ASSERT_TRUE(rig.start("logLevel = 1\nusrpPacing = false\n"));
    Bytes stray = voiceValue(TAG_AMBE_72, 28, 2, 1);
    rig.partner.sendValue(TAG_AMBE_72, stray);
    rig.partner.sendValue(TAG_AMBE_49, voiceValue(TAG_AMBE_49, 22, 1, 2));
    rig.partner.sendBegin(call(TALKER, 0, 1, "N0CALL"));
    rig.partner.sendBegin(call(TALKER + 1, 0, 2));
    rig.partner.sendEnd(2);
    rig.partner.sendValue(TAG_AMBE_72, stray);
    Bytes voice = voiceValue(TAG_AMBE_72, 28, 1, 3);
    rig.partner.sendValue(TAG_AMBE_72, voice);
    rig.partner.sendEnd(1);

    Heard heard = rig.listen();
    EXPECT_TRUE(rig.d.hasLog("Ignore TAG_AMBE_72 (2, 0)\n"));
    EXPECT_TRUE(rig.d.hasLog("Ignore TAG_AMBE_49 (1, 0)\n"));
    EXPECT_EQ(levelOf(rig.d, "Begin TX: src=3100123 rpt=3100002 dst=91 slot=1 cc=1 call=N0CALL\n"), 'I');
    EXPECT_EQ(levelOf(rig.d, "Ignore TX: src=3100124 rpt=3100002 dst=91 slot=2 cc=1 (1)\n"), 'I');
    EXPECT_TRUE(rig.d.hasLog("Ignore TAG_END_TX (2, 1)\n"));
    EXPECT_TRUE(rig.d.hasLog("Ignore TAG_AMBE_72 (2, 1)\n"));
    EXPECT_EQ(levelOf(rig.d, "End TX\n"), 'D');

    ASSERT_EQ(heard.voice.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k)
        EXPECT_EQ(heard.voice[k].pcm, standIn(frameAt(voice, 1 + 9 * k, 9))) << "frame " << k;
    ASSERT_TRUE(heard.unkey);
    EXPECT_EQ(heard.unkey->datagram.size(), 32u);
    EXPECT_TRUE(heard.unkeyLast);
    EXPECT_EQ(rig.simulator->stats().channelRequests, 3);
}

// Frames per record follow the length: AMBE from value offset 1 while a
// frame starts before the last two bytes, IMBE the same from offset 0, one
// D-STAR frame. A cut last frame is decoded with zeros for its missing bytes.
// Unpaced, so every block is out when the decode thread moves on.
TEST(DecodePath, FramesPerRecordLength)
{
    DecodeRig rig;
    ASSERT_TRUE(rig.start("usrpPacing = false\n"));
    EXPECT_TRUE(rig.d.waitForLog("Decoded audio goes to the USRP client unpaced\n"));
    rig.partner.sendBegin(call(TALKER, 0, 1));

    struct Case {
        std::uint8_t tag;
        std::size_t len;
        std::size_t frames;
    };
    const Case cases[] = {
        {TAG_AMBE_49, 22, 3}, {TAG_AMBE_49, 8, 1},  {TAG_AMBE_49, 3, 0},  {TAG_AMBE_72, 28, 3}, {TAG_AMBE_72, 10, 1},
        {TAG_AMBE_72, 13, 2}, {TAG_AMBE_72, 4, 1},  {TAG_IMBE, 22, 2},    {TAG_IMBE, 11, 1},    {TAG_IMBE, 2, 0},
        {TAG_IMBE, 25, 3},    {TAG_AMBE_DSTAR, 9, 1},
    };
    std::uint8_t seed = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE("tag " + std::to_string(c.tag) + " length " + std::to_string(c.len));
        const long requestsBefore = rig.simulator->stats().channelRequests;
        Bytes value = voiceValue(c.tag, c.len, 1, ++seed);
        rig.partner.sendValue(c.tag, value);
        ASSERT_TRUE(rig.sync());
        std::vector<UsrpMessage> got = rig.drain();
        ASSERT_EQ(countKind(got, UsrpMessage::Kind::Voice), c.frames);
        const long decoded = rig.simulator->stats().channelRequests - requestsBefore;
        if (c.tag == TAG_IMBE) {
            EXPECT_EQ(decoded, 0); // the software vocoder's, even with a DV3000
            continue;
        }
        EXPECT_EQ(decoded, static_cast<long>(c.frames));
        const std::size_t size = c.tag == TAG_AMBE_49 ? 7 : 9;
        const std::size_t first = c.tag == TAG_AMBE_DSTAR ? 0 : 1;
        for (std::size_t k = 0; k < got.size(); ++k)
            EXPECT_EQ(got[k].pcm, standIn(frameAt(value, first + size * k, size))) << "frame " << k;
    }
    const std::string missing = "Software decoder not available yet: decoded frames are silence\n";
    EXPECT_EQ(levelOf(rig.d, missing), 'W');
    EXPECT_EQ(rig.d.log().find(missing), rig.d.log().rfind(missing)); // once per run

    rig.partner.sendEnd(1);
    ASSERT_TRUE(rig.sync());
    std::vector<UsrpMessage> end = rig.drain();
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0].kind, UsrpMessage::Kind::Unkey);
}

// The unkey after TAG_END_TX in each codec of the client: a bare header in
// slin, encoded silence of the keyed size in mu-law and ADPCM.
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
        rig.partner.sendBegin(call(TALKER, 0, 2));
        rig.partner.sendValue(TAG_AMBE_72, voiceValue(TAG_AMBE_72, 28, 2, ++seed));
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

// Call starts exported as a call record in a 352-byte text packet: the call
// sign looked up when the record has none; with a registered client the
// extended JSON text with the name. A JSON call text without the "call" key
// counts as no call sign.
TEST(DecodePath, CallStartsAreExportedAsMetadata)
{
    DecodeRig rig;
    rig.d.dir.write("subscribers.csv", "3100123,N0CALL,Alice Example\n3100124,N1CALL,Bob\n");
    ASSERT_TRUE(rig.start("exportMetadata = true\n"));

    const auto expected = [](std::uint32_t source, std::uint8_t slot, const std::string& text) {
        Bytes record = {8, static_cast<std::uint8_t>(text.size() + 13)};
        for (int shift : {16, 8, 0})
            record.push_back(static_cast<std::uint8_t>(source >> shift));
        for (int shift : {24, 16, 8, 0})
            record.push_back(static_cast<std::uint8_t>(REPEATER >> shift));
        record.insert(record.end(), {0, 0, 91, slot, 1});
        record.insert(record.end(), text.begin(), text.end());
        record.push_back(0);
        return record;
    };
    const auto metadataOf = [&](std::uint32_t source, std::uint8_t slot, const std::string& text) -> Bytes {
        rig.partner.sendBegin(call(source, 0, slot, text));
        std::optional<UsrpMessage> m =
            rig.client.receiveMatching([](const UsrpMessage& x) { return x.type == USRP_TYPE_TEXT; }, 5s);
        rig.partner.sendEnd(slot);
        if (!m)
            return {};
        EXPECT_EQ(m->datagram.size(), 352u);
        EXPECT_EQ(m->kind, UsrpMessage::Kind::Metadata);
        Bytes payload(m->datagram.begin() + 32, m->datagram.end());
        std::size_t length = payload.size() > 1 ? std::min<std::size_t>(payload[1] + 2u, payload.size()) : 0;
        // The rest of the 320-byte area is zero.
        EXPECT_TRUE(std::all_of(payload.begin() + static_cast<long>(length), payload.end(),
                                [](std::uint8_t b) { return b == 0; }));
        payload.resize(length);
        return payload;
    };

    // No client registered: the plain call sign.
    EXPECT_EQ(metadataOf(TALKER, 1, ""), expected(TALKER, 1, "N0CALL"));
    EXPECT_EQ(metadataOf(0, 1, "N1CALL"), expected(TALKER + 1, 1, "N1CALL"));

    ASSERT_TRUE(rig.client.registerClient());
    ASSERT_TRUE(rig.client.receiveText("REG:OK", 5s));
    EXPECT_EQ(metadataOf(TALKER, 2, "{\"name\":\"someone\"}"),
              expected(TALKER, 2, "{\"call\":\"N0CALL\",\"name\":\"Alice Example\"}"));
    EXPECT_EQ(metadataOf(TALKER + 1, 1, "{\"call\":\"N1CALL\"}"),
              expected(TALKER + 1, 1, "{\"call\":\"N1CALL\",\"name\":\"Bob\"}"));
    // Unknown to the file: the number is not a call sign, so nothing to say.
    EXPECT_EQ(metadataOf(3109999, 1, ""), expected(3109999, 1, ""));
}

TEST(DecodePath, TuneIsForwardedAndApplied)
{
    DecodeRig rig;
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.partner.sendTune("3100=Texas"));
    std::optional<TlvMessage> forwarded = rig.partner.receiveTag(TAG_TG_TUNE, 5s);
    ASSERT_TRUE(forwarded);
    EXPECT_EQ(forwarded->datagram, (Bytes{3, 10, '3', '1', '0', '0', '=', 'T', 'e', 'x', 'a', 's'}));
    EXPECT_TRUE(rig.d.waitForLog("Tune to TG: 3100\n"));

    ASSERT_TRUE(rig.client.sendText("INFO:"));
    std::optional<UsrpMessage> info = rig.client.receiveText("INFO:", 5s);
    ASSERT_TRUE(info);
    EXPECT_NE(info->text.find("\"tg\":\"3100\""), std::string::npos) << info->text;
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
    rig.partner.sendBegin(call(TALKER, 0, 1));
    std::vector<Bytes> records;
    for (std::uint8_t i = 0; i < 9; ++i) {
        records.push_back(voiceValue(TAG_AMBE_72, 28, 1, i));
        rig.partner.sendValue(TAG_AMBE_72, records.back());
    }
    rig.partner.sendEnd(1);

    Heard heard = rig.listen(10s);
    ASSERT_EQ(heard.voice.size(), 27u);
    for (std::size_t i = 0; i < 27; ++i)
        EXPECT_EQ(heard.voice[i].pcm, standIn(frameAt(records[i / 3], 1 + 9 * (i % 3), 9))) << "block " << i;
    for (std::size_t i = 1; i < 27; ++i)
        EXPECT_EQ(heard.voice[i].seq, heard.voice[i - 1].seq + 1);
    ASSERT_TRUE(heard.unkey);
    EXPECT_EQ(heard.unkey->seq, heard.voice.back().seq + 1);
    EXPECT_TRUE(heard.unkeyLast);
    // 26 periods of 20 ms between the first and the last block.
    EXPECT_GE(heard.voiceTimes.back() - heard.voiceTimes.front(), 400ms);
}

// A call whose TAG_END_TX is lost ends after its slot has been silent for a
// while: the client is unkeyed and the next call is accepted.
TEST(DecodePath, SilentCallEndsWithoutItsEnd)
{
    DecodeRig rig;
    ASSERT_TRUE(rig.start("logLevel = 1\nusrpPacing = false\n"));
    rig.partner.sendBegin(call(TALKER, 0, 1));
    rig.partner.sendValue(TAG_AMBE_72, voiceValue(TAG_AMBE_72, 28, 1, 1));
    Heard heard = rig.listen(6s);
    EXPECT_EQ(heard.voice.size(), 3u);
    ASSERT_TRUE(heard.unkey);
    EXPECT_EQ(levelOf(rig.d, "No voice on slot 1 for "), 'W');
    EXPECT_TRUE(rig.d.hasLog("ms: ending the call without its TAG_END_TX\n"));
    EXPECT_TRUE(rig.d.hasLog("End TX\n"));

    rig.partner.sendBegin(call(TALKER, 0, 2));
    EXPECT_TRUE(rig.d.waitForLog("Begin TX: src=3100123 rpt=3100002 dst=91 slot=2 cc=1 call=\n"));
    EXPECT_FALSE(rig.d.hasLog("Ignore TX"));
}

// Records from the network that would give the bridge a source equal to its
// repeater are logged and dropped; the process stays up and applies nothing.
TEST(DecodePath, IdentityClashFromTheNetworkIsDropped)
{
    DecodeRig rig;
    ASSERT_TRUE(rig.start());
    const auto message = [](std::uint32_t id) {
        return "Repeater ID (" + std::to_string(id) + ") can not be the same as subscriber ID (" + std::to_string(id) +
               "). Fatal error exiting\n";
    };
    rig.partner.sendBegin(call(3100555, 3100555, 1));
    rig.partner.sendBegin(call(REPEATER, 0, 1)); // the repeater 0 becomes repeaterID
    rig.partner.sendSetInfo(call(3100666, 3100666, 1));
    ASSERT_TRUE(rig.sync());
    EXPECT_EQ(levelOf(rig.d, message(3100555)), 'E');
    EXPECT_EQ(levelOf(rig.d, message(REPEATER)), 'E');
    EXPECT_EQ(levelOf(rig.d, message(3100666)), 'E');
    EXPECT_FALSE(rig.d.hasLog("F: "));
    EXPECT_FALSE(rig.d.hasLog("Begin TX"));
    EXPECT_FALSE(rig.d.hasLog("Set Info"));
    EXPECT_EQ(rig.d.process->wait(10ms), -1);

    // A good identity is applied: the next call's repeater 0 becomes the new one.
    rig.partner.sendSetInfo(call(3100777, 3100778, 2));
    EXPECT_TRUE(rig.d.waitForLog("Set Info: src=3100777 rpt=3100778 dst=91 slot=2 cc=1\n"));
    rig.partner.sendBegin(call(TALKER, 0, 1));
    EXPECT_TRUE(rig.d.waitForLog("Begin TX: src=3100123 rpt=3100778 dst=91 slot=1 cc=1 call=\n"));
    // The new gateway ID would clash with a call from it through repeater 0.
    rig.partner.sendEnd(1);
    rig.partner.sendBegin(call(3100778, 0, 1));
    ASSERT_TRUE(rig.sync());
    EXPECT_EQ(levelOf(rig.d, message(3100778)), 'E');
    EXPECT_EQ(rig.d.process->wait(10ms), -1);
}

// Events run the OnEvent macro; unknown tags are logged, wake-ups ignored.
TEST(DecodePath, EventsAndOtherTags)
{
    DecodeRig rig;
    const std::string out = rig.d.dir.file("event.txt");
    ASSERT_TRUE(rig.start("logLevel = 1\n[MACROS]\nOnEvent = echo %s >> " + out + "\n"));
    rig.partner.sendEvent("net up");
    rig.partner.sendValue(TAG_WAKEUP, {});
    rig.partner.sendValue(42, Bytes{1, 2, 3});
    ASSERT_TRUE(rig.sync());
    EXPECT_EQ(levelOf(rig.d, "EVENT: net up\n"), 'I');
    // The marker that synchronised the test is an event too.
    EXPECT_EQ(readFile(out), "net up\nmark 1\n");
    EXPECT_EQ(levelOf(rig.d, "Unknown tag (42) in TLV\n"), 'E');
    EXPECT_FALSE(rig.d.hasLog("Unknown tag (12)"));
}

// Records of every tag at lengths that cut frames, call records and texts
// anywhere: nothing is read past a record (the sanitizer builds check), and
// the bridge keeps running.
TEST(DecodePath, RecordsOfAnyLengthAreSafe)
{
    DecodeRig rig;
    // Whatever file transfer makes of the noise stays in the test's directory.
    ASSERT_TRUE(rig.start("transferRootDir = " + rig.d.dir.path() + "\n"));
    std::uint32_t noise = 12345;
    const auto bytes = [&](std::size_t len) {
        Bytes value(len);
        for (std::uint8_t& b : value) {
            noise = noise * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(noise >> 16);
        }
        return value;
    };
    const std::uint8_t tags[] = {TAG_END_TX,     TAG_TG_TUNE,   4,          TAG_AMBE_49, TAG_AMBE_72, TAG_IMBE,
                                 TAG_AMBE_DSTAR, TAG_FILE_XFER, TAG_WAKEUP, TAG_EVENT,   14,          255};
    for (std::uint8_t tag : tags) {
        for (std::size_t len : {0, 1, 2, 3, 4, 7, 8, 9, 10, 11, 12, 21, 23, 29, 254, 255}) {
            Bytes value = bytes(len);
            // The slot byte of AMBE records: the call's, so the frames are decoded.
            if ((tag == TAG_AMBE_49 || tag == TAG_AMBE_72) && len > 0)
                value[0] = 0;
            rig.partner.sendValue(tag, value);
        }
    }
    for (std::size_t len : {0, 5, 12, 13})
        rig.partner.sendValue(TAG_BEGIN_TX, bytes(len));
    ASSERT_TRUE(rig.sync());
    EXPECT_EQ(rig.d.process->wait(10ms), -1);
    EXPECT_FALSE(rig.d.hasLog("F: "));
}

} // namespace halvane
