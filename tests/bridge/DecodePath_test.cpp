// The decode path on its own: settings of its own, a chip stand-in whose
// blocks name the frame they came from, a pacer that passes blocks straight
// to a recorder, recording senders and a fake clock.
#include "DecodePath.h"

#include "CDV3000_Base.h"
#include "MacroRunner.h"
#include "PeerSender.h"
#include "SubscriberDatabase.h"
#include "UsrpPacer.h"
#include "dv3000_servers.h"

#include "LogCapture.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstring>

namespace halvane {

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Decodes every frame into a block whose first samples are the frame's bytes.
class FakeChip : public CDV3000_Base {
public:
    bool dv3000Decode(const unsigned char* ambe, unsigned int len, short* pcm) override
    {
        frames.emplace_back(ambe, ambe + len);
        std::fill(pcm, pcm + 160, 0);
        std::memcpy(pcm, ambe, len);
        return !fail;
    }
    std::vector<Bytes> frames;
    bool fail = false;
};

class FakePeers : public PeerSender {
public:
    void sendPacketToUSRP(int type, const void* data, int len) override
    {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        packets.emplace_back(type, Bytes(bytes, bytes + len));
    }
    void sendSingle(const char* address, const int* ports, const void* data, int len) override
    {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        singles.emplace_back(std::string(address) + ":" + std::to_string(ports[0]), Bytes(bytes, bytes + len));
    }
    std::vector<std::pair<int, Bytes>> packets;
    std::vector<std::pair<std::string, Bytes>> singles;
};

CallRecord call(std::uint32_t source, std::uint32_t repeater, std::uint8_t slot, std::string text = "")
{
    return CallRecord{source, repeater, 91, slot, 1, std::move(text)};
}

TLV_CLASS record(std::uint8_t tag, const Bytes& value)
{
    return TLV_CLASS(tag, value);
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

class DecodePathTest : public ::testing::Test {
protected:
    DecodePathTest()
    {
        settings.gatewayDmrId = 3100001;
        settings.repeaterID = 3100002;
        settings.tlvTxPorts.set(PortList{31003});
        const std::string file = dir.write("subscribers.csv", "3100123,N0CALL,Alice Example\n3100124,N1CALL,Bob\n");
        subscribers.loadSubscriberMap(file.c_str());
        pacer.start(false);
    }

    DecodePath& path()
    {
        if (!path_)
            path_ = std::make_unique<DecodePath>(DecodePath::Links{
                settings, asl, clientRegistered, {wanted, &chip, nullptr}, pacer, peers, subscribers, macros,
                [this](const TLV_CLASS& r) { commands.push_back(r.text()); },
                [this](const TLV_CLASS& r) { transfers.push_back(r.length()); },
                {[this] { return now; }, [this](DecodePath::Clock::duration d) {
                     pauses.push_back(d);
                     now += d;
                 }},
                counted});
        return *path_;
    }
    void handle(std::uint8_t tag, const Bytes& value) { path().handle(record(tag, value)); }
    void begin(const CallRecord& c) { path().handle(makeCallRecord(TAG_BEGIN_TX, c)); }
    void end(std::uint8_t slot) { handle(TAG_END_TX, {slot}); }
    int blocks() const
    {
        return static_cast<int>(std::count_if(heard.begin(), heard.end(), [](const Bytes& b) { return !b.empty(); }));
    }
    int unkeys() const
    {
        return static_cast<int>(std::count_if(heard.begin(), heard.end(), [](const Bytes& b) { return b.empty(); }));
    }

    LogCapture log{1};
    TempDir dir;
    dv3000_servers settings;
    std::atomic_bool asl{false};
    std::atomic_bool clientRegistered{false};
    WantedVocoder wanted{Vocoder::Dv3000};
    HealthRecord::Direction counted;
    FakeChip chip;
    // What leaves for the client: a block's bytes, or empty for an unkey.
    std::vector<Bytes> heard;
    UsrpPacer pacer{[this](std::int16_t* pcm, int len) {
        heard.emplace_back(reinterpret_cast<std::uint8_t*>(pcm), reinterpret_cast<std::uint8_t*>(pcm) + len);
    }};
    FakePeers peers;
    SubscriberDatabase subscribers{[] { return std::uint32_t{1000}; }};
    MacroRunner macros;
    std::vector<std::string> commands;
    std::vector<std::size_t> transfers;
    DecodePath::Clock::time_point now{};
    std::vector<DecodePath::Clock::duration> pauses;
    std::unique_ptr<DecodePath> path_;
};

} // namespace

// One slot at a time: voice of another slot is dropped, a second call start
// and the other slot's end are ignored, the call's own end unkeys. Every
// call record costs the thread half a second.
TEST_F(DecodePathTest, CallOwnsItsSlot)
{
    const Bytes stray = voiceValue(TAG_AMBE_72, 28, 2, 1);
    handle(TAG_AMBE_72, stray);
    handle(TAG_AMBE_49, voiceValue(TAG_AMBE_49, 22, 1, 2));
    begin(call(3100123, 0, 1, "N0CALL"));
    begin(call(3100124, 0, 2));
    end(2);
    handle(TAG_AMBE_72, stray);
    const Bytes voice = voiceValue(TAG_AMBE_72, 28, 1, 3);
    handle(TAG_AMBE_72, voice);
    end(1);

    EXPECT_TRUE(log.has('I', "Begin TX: src=3100123 rpt=3100002 dst=91 slot=1 cc=1 call=N0CALL"));
    EXPECT_TRUE(log.has('I', "Ignore TX: src=3100124 rpt=3100002 dst=91 slot=2 cc=1 (1)"));
    ASSERT_EQ(chip.frames.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k)
        EXPECT_EQ(chip.frames[k], Bytes(voice.begin() + 1 + 9 * k, voice.begin() + 10 + 9 * k)) << k;
    ASSERT_EQ(heard.size(), 4u);
    EXPECT_EQ(Bytes(heard[0].begin(), heard[0].begin() + 9), chip.frames[0]);
    EXPECT_TRUE(heard[3].empty()) << "the unkey comes last";
    EXPECT_EQ(pauses, (std::vector<DecodePath::Clock::duration>{500ms, 500ms}));
    EXPECT_TRUE(log.has('I', "Call from the partner on slot 1 ended after 1000 ms: 3 frames in, 3 blocks out"));
    EXPECT_EQ(counted.in, 3u);
    EXPECT_EQ(counted.callsStarted, 1u);
    EXPECT_EQ(counted.callsEnded, 1u);
}

// A chip that fails a frame hands it to the software decoder: no block is
// lost and none becomes silence, so nothing counts as a vocoder failure.
TEST_F(DecodePathTest, FramesTheChipCannotDecodeGoToTheSoftwareDecoderAndKeepTheirPlace)
{
    begin(call(3100123, 0, 1));
    chip.fail = true;
    handle(TAG_AMBE_72, voiceValue(TAG_AMBE_72, 28, 1, 1));
    EXPECT_EQ(chip.frames.size(), 3u);
    EXPECT_EQ(counted.vocoderFailures, 0u);
    EXPECT_EQ(blocks(), 3);
}

// Frames per record follow the length: AMBE from value offset 1 while a
// frame starts before the last two bytes, IMBE the same from offset 0, one
// D-STAR frame. A cut last frame is decoded with zeros for its missing
// bytes; 49-bit frames reach the chip in their 72-bit form, IMBE never does.
TEST_F(DecodePathTest, FramesPerRecordLength)
{
    begin(call(3100123, 0, 1));
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
        chip.frames.clear();
        heard.clear();
        const Bytes value = voiceValue(c.tag, c.len, 1, ++seed);
        handle(c.tag, value);
        EXPECT_EQ(heard.size(), c.frames);
        if (c.tag == TAG_IMBE) {
            EXPECT_TRUE(chip.frames.empty()) << "the software vocoder's, even with a DV3000";
            continue;
        }
        ASSERT_EQ(chip.frames.size(), c.frames);
        const std::size_t size = c.tag == TAG_AMBE_49 ? 7 : 9;
        const std::size_t first = c.tag == TAG_AMBE_DSTAR ? 0 : 1;
        for (std::size_t k = 0; k < c.frames; ++k) {
            Bytes frame(size, 0);
            for (std::size_t i = 0; i < size && first + size * k + i < value.size(); ++i)
                frame[i] = value[first + size * k + i];
            if (size == 7) {
                Ambe49Frame f49;
                std::copy(frame.begin(), frame.end(), f49.bytes.begin());
                const Ambe72Frame f72 = toAmbe72(f49);
                frame.assign(f72.bytes.begin(), f72.bytes.end());
            }
            EXPECT_EQ(chip.frames[k], frame) << "frame " << k;
        }
    }
}

// The client hears nothing while the USRP side is muted or the microphone
// loop owns the sound card, and a muted call end sends no unkey.
TEST_F(DecodePathTest, MuteAndMicrophoneKeepVoiceFromTheClient)
{
    begin(call(3100123, 0, 1));
    settings.mute = Mute::USRP;
    handle(TAG_AMBE_72, voiceValue(TAG_AMBE_72, 28, 1, 1));
    settings.mute = Mute::TLV;
    settings.useMicrophone = true;
    handle(TAG_AMBE_72, voiceValue(TAG_AMBE_72, 28, 1, 2));
    settings.useMicrophone = false;
    handle(TAG_AMBE_72, voiceValue(TAG_AMBE_72, 28, 1, 3));
    settings.mute = Mute::BOTH;
    end(1);
    EXPECT_EQ(chip.frames.size(), 9u);
    EXPECT_EQ(blocks(), 3);
    EXPECT_EQ(unkeys(), 0);
}

// Call starts exported as a call record for the client: the call sign
// looked up when the record has none; with a registered client the JSON
// text with the name. A JSON call text without the "call" key counts as no
// call sign.
TEST_F(DecodePathTest, CallStartsAreExportedAsMetadata)
{
    settings.exportMetadata = true;
    const auto exported = [&](const CallRecord& sent) {
        peers.packets.clear();
        begin(sent);
        end(sent.slot);
        EXPECT_EQ(peers.packets.size(), 1u);
        if (peers.packets.empty())
            return Bytes{};
        EXPECT_EQ(peers.packets[0].first, USRP_TYPE_TEXT);
        return peers.packets[0].second;
    };
    const auto expected = [](const CallRecord& c) {
        const TLV_CLASS r = makeCallRecord(TAG_SET_INFO, c);
        return Bytes(r.data(), r.data() + r.size());
    };
    EXPECT_EQ(exported(call(3100123, 0, 1)), expected(call(3100123, 3100002, 1, "N0CALL")));
    EXPECT_EQ(exported(call(0, 0, 1, "N1CALL")), expected(call(3100124, 3100002, 1, "N1CALL")));
    clientRegistered = true;
    EXPECT_EQ(exported(call(3100123, 0, 2, "{\"name\":\"someone\"}")),
              expected(call(3100123, 3100002, 2, "{\"call\":\"N0CALL\",\"name\":\"Alice Example\"}")));
    // Unknown to the file: the number is not a call sign, so nothing to say.
    EXPECT_EQ(exported(call(3109999, 0, 1)), expected(call(3109999, 3100002, 1, "")));
}

// Records from the network that would give the bridge a source equal to its
// repeater are logged and dropped, without the pause; a good identity is
// applied, and a later clash with it is dropped too.
TEST_F(DecodePathTest, IdentityClashFromTheNetworkIsDroppedAndGoodOnesApplied)
{
    const auto message = [](std::uint32_t id) {
        return "Repeater ID (" + std::to_string(id) + ") can not be the same as subscriber ID (" + std::to_string(id) +
               "). Fatal error exiting";
    };
    begin(call(3100555, 3100555, 1));
    begin(call(3100002, 0, 1)); // the repeater 0 becomes repeaterID
    path().handle(makeCallRecord(TAG_SET_INFO, call(3100666, 3100666, 1)));
    EXPECT_TRUE(log.has('E', message(3100555)));
    EXPECT_TRUE(log.has('E', message(3100002)));
    EXPECT_TRUE(log.has('E', message(3100666)));
    EXPECT_FALSE(log.contains("Begin TX"));
    EXPECT_TRUE(pauses.empty());

    path().handle(makeCallRecord(TAG_SET_INFO, call(3100123, 3100778, 2)));
    EXPECT_TRUE(log.has('I', "Set Info: src=3100123 rpt=3100778 dst=91 slot=2 cc=1"));
    EXPECT_EQ(settings.repeaterID, 3100778);
    EXPECT_EQ(settings.gatewayDmrId, 3100123);
    EXPECT_EQ(settings.txTg, 91);
    EXPECT_EQ(settings.txTs, 2);
    EXPECT_EQ(settings.defaultMetadata.get(), "N0CALL");
    begin(call(3100778, 0, 1));
    EXPECT_TRUE(log.has('E', message(3100778)));
    EXPECT_EQ(path().rxSlot(), 0);
}

// A call whose TAG_END_TX is lost ends after its slot has been silent for
// 1.5 s, counted from the end of the call record's pause; records still
// queued come first.
TEST_F(DecodePathTest, SilentCallEndsWithoutItsEnd)
{
    TlvQueue queue(8, "TLV queue");
    queue.push(std::make_unique<TLV_CLASS>(makeCallRecord(TAG_BEGIN_TX, call(3100123, 0, 1))));
    queue.push(std::make_unique<TLV_CLASS>(record(TAG_AMBE_72, voiceValue(TAG_AMBE_72, 28, 1, 1))));
    path().handleNext(queue);
    path().handleNext(queue);
    now += 1400ms;
    path().handleNext(queue); // nothing queued: 1.4 s of silence
    EXPECT_EQ(path().rxSlot(), 1);
    now += 100ms;
    path().handleNext(queue);
    EXPECT_EQ(path().rxSlot(), 0);
    EXPECT_TRUE(log.has('W', "No voice on slot 1 for 1500 ms: ending the call without its TAG_END_TX"));
    EXPECT_EQ(blocks(), 3);
    EXPECT_EQ(unkeys(), 1);
    begin(call(3100123, 0, 2));
    EXPECT_EQ(path().rxSlot(), 2);
}

TEST_F(DecodePathTest, TunesCommandsEventsAndOtherTags)
{
    const std::string out = dir.file("event.txt");
    servers.macros = {{"OnEvent", "echo %s >> " + out}};
    path().handle(TLV_CLASS(TAG_TG_TUNE, "3100=Texas"));
    ASSERT_EQ(peers.singles.size(), 1u);
    EXPECT_EQ(peers.singles[0].first, "127.0.0.1:31003");
    EXPECT_EQ(peers.singles[0].second, (Bytes{3, 10, '3', '1', '0', '0', '=', 'T', 'e', 'x', 'a', 's'}));
    EXPECT_EQ(settings.txTg, 3100);
    EXPECT_TRUE(log.has('I', "Tune to TG: 3100"));
    asl = true;
    path().handle(TLV_CLASS(TAG_TG_TUNE, "3101"));
    EXPECT_EQ(peers.singles.size(), 1u) << "no forward in ASL mode";
    EXPECT_EQ(settings.txTg, 3101);

    path().handle(TLV_CLASS(TAG_REMOTE_CMD, "txTs=1"));
    path().handle(TLV_CLASS(TAG_FILE_XFER, "\x03notes"));
    path().handle(TLV_CLASS(TAG_EVENT, "net up"));
    handle(TAG_WAKEUP, {});
    handle(42, {1, 2, 3});
    servers.macros.clear();
    EXPECT_EQ(commands, std::vector<std::string>{"txTs=1"});
    EXPECT_EQ(transfers, std::vector<std::size_t>{6});
    EXPECT_TRUE(log.has('I', "EVENT: net up"));
    EXPECT_EQ(readFile(out), "net up\n");
    EXPECT_TRUE(log.has('E', "Unknown tag (42) in TLV"));
    EXPECT_FALSE(log.contains("Unknown tag (12)"));
}

// Records of every tag at lengths that cut frames, call records and texts
// anywhere: nothing is read past a record (the sanitizer builds check).
TEST_F(DecodePathTest, RecordsOfAnyLengthAreSafe)
{
    std::uint32_t noise = 12345;
    const int tags[] = {TAG_BEGIN_TX, TAG_END_TX, TAG_TG_TUNE, 4,         TAG_AMBE_49, TAG_AMBE_72,
                        TAG_SET_INFO, TAG_IMBE,   TAG_AMBE_DSTAR, TAG_WAKEUP, 14,          255};
    for (const int tag : tags) {
        for (std::size_t len : {0, 1, 2, 3, 4, 7, 8, 9, 10, 11, 12, 13, 21, 23, 29, 254, 255}) {
            Bytes value(len);
            for (std::uint8_t& b : value) {
                noise = noise * 1103515245u + 12345u;
                b = static_cast<std::uint8_t>(noise >> 16);
            }
            // The slot byte of AMBE records: the call's, so the frames are decoded.
            if ((tag == TAG_AMBE_49 || tag == TAG_AMBE_72) && len > 0)
                value[0] = static_cast<std::uint8_t>(path().rxSlot());
            handle(static_cast<std::uint8_t>(tag), value);
        }
    }
    EXPECT_FALSE(chip.frames.empty());
}

} // namespace halvane
