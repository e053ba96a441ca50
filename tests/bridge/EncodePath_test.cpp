// The encode path on its own: settings of its own, a chip stand-in that
// counts its requests, a fake clock and wait, and a loopback partner socket.
#include "EncodePath.h"

#include "CDV3000_Base.h"
#include "SoftwareEncoder.h"
#include "CUsrpPacket.h"
#include "EmulatorLink.h"
#include "G711.h"
#include "dv3000_servers.h"

#include "LogCapture.h"
#include "UdpSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace halvane {

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The chip answers request n (from 1) with nine bytes of n, or with `reply`
// bytes when that is set; it keeps the samples it was handed.
class FakeChip : public CDV3000_Base {
public:
    int dv3000Encode(unsigned char* ambe, unsigned int len, short* samples) override
    {
        ++requests;
        received.emplace_back();
        std::copy(samples, samples + len / 2, received.back().begin());
        if (reply)
            return *reply;
        std::fill(ambe, ambe + 9, static_cast<unsigned char>(requests));
        return 9;
    }
    int requests = 0;
    std::optional<int> reply;
    std::vector<PcmBlock> received;
};

PcmBlock ramp(int start)
{
    PcmBlock b;
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<std::int16_t>(start + 37 * static_cast<int>(i));
    return b;
}

// A linear block as read off the socket; no samples make an unkey.
CUsrpPacket linear(const PcmBlock* b)
{
    CUsrpPacket p = CUsrpPacket::voice(7, b ? b->data() : nullptr, b ? USRP_VOICE_BYTES : 0);
    p.setReceived(p.size());
    return p;
}

CUsrpPacket unkeyPacket()
{
    return linear(nullptr);
}

// A block in `codec` as the client codes it; `adpcm` runs on like its coder.
CUsrpPacket coded(const PcmBlock* b, int codec, ImaAdpcmState& adpcm)
{
    CUsrpPacket p = CUsrpPacket::voice(7, b ? b->data() : nullptr, b ? USRP_VOICE_BYTES : 0);
    p.setReceived(p.encodeVoice(codec, adpcm));
    return p;
}

Bytes endTx(int slot)
{
    return {TAG_END_TX, 1, static_cast<std::uint8_t>(slot)};
}

Bytes ambe72(int slot, std::initializer_list<int> frames)
{
    Bytes r{TAG_AMBE_72, 28, static_cast<std::uint8_t>(slot)};
    for (int f : frames)
        r.insert(r.end(), 9, static_cast<std::uint8_t>(f));
    return r;
}

Bytes silenceRecord(int slot)
{
    Bytes r{TAG_AMBE_72, 28, static_cast<std::uint8_t>(slot)};
    for (int i = 0; i < 3; ++i)
        r.insert(r.end(), DMR_SILENCE_FRAME.bytes.begin(), DMR_SILENCE_FRAME.bytes.end());
    return r;
}

class EncodePathTest : public ::testing::Test {
protected:
    EncodePathTest()
    {
        settings.gatewayDmrId = 3100001;
        settings.repeaterID = 3100002;
        settings.ambeMode.set("NXDN");
        settings.ambeSize = 72;
        settings.tlvTxPorts.set(PortList{partner.port()});
        settings.defaultMetadata.set("N0CALL");
    }

    // The path under test, on the fake clock: each wait passes its whole
    // limit, and the wait numbered `voiceOnWait` (from 1) sees voice.
    EncodePath& path()
    {
        if (!path_) {
            EncodePath::ClockSeam clock{[this] { return now; }, [this] { return wallBase + sinceStart(); },
                                        [this](std::chrono::milliseconds limit) {
                                            now += limit;
                                            waited.push_back(limit);
                                            return static_cast<int>(waited.size()) == voiceOnWait;
                                        }};
            path_ = std::make_unique<EncodePath>(EncodePath::Links{settings, asl, clientRegistered, reopen, mirror,
                                                                   {wanted, &chip, emulator.get()}, clock, counted});
            path_->start();
        }
        return *path_;
    }
    std::uint64_t sinceStart() const
    {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              now - EncodePath::Clock::time_point{})
                                              .count());
    }
    void send(CUsrpPacket p) { path().handleVoice(p); }
    void talk(int blocks, int from = 0)
    {
        for (int i = 0; i < blocks; ++i) {
            const PcmBlock b = ramp(from + i);
            send(linear(&b));
            now += 20ms;
        }
    }
    // Everything the partner got until nothing more comes for a while.
    std::vector<Bytes> drain() { return partner.drain(100ms); }

    LogCapture capture{1};
    dv3000_servers settings;
    std::atomic_bool asl{false};
    std::atomic_bool clientRegistered{false};
    std::atomic_bool reopen{false};
    CDV3000_UDP* mirror = nullptr;
    WantedVocoder wanted{Vocoder::Dv3000};
    HealthRecord::Direction counted;
    FakeChip chip;
    std::unique_ptr<EmulatorLink> emulator;
    UdpSocket partner;
    std::unique_ptr<EncodePath> path_;
    EncodePath::Clock::time_point now{};
    std::uint64_t wallBase = 1'700'000'000'000;
    std::vector<std::chrono::milliseconds> waited;
    int voiceOnWait = 0;
};

} // namespace

TEST_F(EncodePathTest, CallRecordThenFramesThreeToARecordCarriedAcrossTransmissions)
{
    settings.txTg = 91;
    settings.txTs = 1;
    settings.colorCode = 3;
    talk(4);
    send(unkeyPacket());
    const Bytes begin{TAG_BEGIN_TX, 19, 0x2F, 0x4D, 0x61, 0x00, 0x2F, 0x4D, 0x62, 0, 0, 91, 1, 3,
                      'N', '0', 'C', 'A', 'L', 'L', 0};
    EXPECT_EQ(drain(), (std::vector<Bytes>{begin, ambe72(1, {1, 2, 3}), endTx(1)}));
    EXPECT_EQ(chip.received[1], ramp(1));

    // The slot and the default record follow the settings at the next key-up.
    settings.txTs = 2;
    settings.colorCode = 4;
    talk(2);
    auto second = drain();
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0][12], 2);
    EXPECT_EQ(second[0][13], 4);
    EXPECT_EQ(second[1], ambe72(2, {4, 5, 6}));
    EXPECT_EQ(capture.count("PTT on"), 2);

    // 49-bit modes carry the chip's frames converted.
    settings.ambeSize = 49;
    send(unkeyPacket());
    talk(3);
    auto narrow = drain();
    ASSERT_EQ(narrow.size(), 3u);
    Bytes expected{TAG_AMBE_49, 22, 2};
    for (int n : {7, 8, 9}) {
        Ambe72Frame frame;
        frame.bytes.fill(static_cast<std::uint8_t>(n));
        const Ambe49Frame frame49 = toAmbe49(frame);
        expected.insert(expected.end(), frame49.bytes.begin(), frame49.bytes.end());
    }
    EXPECT_EQ(narrow[2], expected);
}

TEST_F(EncodePathTest, ABlockTheChipFailsOnIsEncodedInSoftware)
{
    chip.reply = 0;
    talk(1);
    chip.reply.reset();
    talk(2, 1);
    auto records = drain();
    ASSERT_EQ(records.size(), 2u);
    Ambe72Frame software;
    ASSERT_TRUE(SoftwareEncoder().encode72(ramp(0), software));
    Bytes expected = ambe72(2, {0, 2, 3});
    std::copy(software.bytes.begin(), software.bytes.end(), expected.begin() + 3);
    EXPECT_EQ(records[1], expected);
    EXPECT_EQ(counted.in, 3u);
    EXPECT_EQ(counted.vocoderFailures, 0u);
    EXPECT_EQ(counted.out, 3u);
}

TEST_F(EncodePathTest, VoiceDuringTheHangTimeContinuesTheTransmission)
{
    settings.ambeMode.set("DMR");
    settings.minTxTimeMS = 2000;
    voiceOnWait = 3;
    talk(3);
    send(unkeyPacket());
    EXPECT_TRUE(path().transmitting());
    talk(3, 10);
    auto records = drain();
    ASSERT_EQ(records.size(), 6u); // begin, voice, 3 silence, voice: no TAG_END_TX, no second begin
    EXPECT_EQ(records[4], silenceRecord(2));
    EXPECT_EQ(records[5], ambe72(2, {4, 5, 6}));
    EXPECT_FALSE(capture.contains("PTT off"));

    // The same in DMR_IPSC: no hang time at all.
    settings.ambeMode.set("DMR_IPSC");
    send(unkeyPacket());
    EXPECT_EQ(drain(), (std::vector<Bytes>{endTx(2)}));
}

// A short DMR transmission is padded with silence records to the minimum
// time. A datagram that is not voice (DTMF, a text, a command) in that hang
// time goes back to the loop to be carried out; the hang time then runs on
// and ends the transmission just as it would have.
TEST_F(EncodePathTest, ANonVoiceDatagramInTheHangTimeStillEndsTheTransmission)
{
    settings.ambeMode.set("DMR");
    settings.minTxTimeMS = 2000;
    voiceOnWait = 3;
    talk(3);
    now += 940ms;
    send(unkeyPacket());
    EXPECT_TRUE(path().transmitting());
    EXPECT_FALSE(capture.contains("PTT off"));

    EXPECT_FALSE(path().awaitDatagram());
    auto records = drain();
    ASSERT_EQ(records.size(), 2u + 17u + 1u);
    for (std::size_t i = 2; i < 19; ++i)
        EXPECT_EQ(records[i], silenceRecord(2)) << i;
    EXPECT_EQ(records.back(), endTx(2));
    EXPECT_EQ(capture.count("PTT off (keyed for 2000 ms)"), 1);
    EXPECT_TRUE(capture.has('M', "Short transmission, extend hang time by 1000 ms"));
    EXPECT_TRUE(
        capture.has('D', "cpu_time_used = 1000, minTxTime = 2000, pttTime = 1700000000000, end = 1700000001000"));
    EXPECT_FALSE(path().transmitting());
    // The hang time ended where it was due, then the loop waited as usual.
    EXPECT_EQ(waited.back(), 20s);
    EXPECT_EQ(waited[waited.size() - 2], 40ms);
}

// Every unkey ends a transmission; a receive time-out of 20 s only a
// transmission in progress, without hang time and without "PTT off".
TEST_F(EncodePathTest, EveryUnkeyEndsButATimeOutEndsOnlyOnce)
{
    talk(1);
    send(unkeyPacket());
    send(unkeyPacket());
    settings.ambeMode.set("DMR");
    talk(1);
    const std::size_t hangWaits = waited.size();
    EXPECT_FALSE(path().awaitDatagram());
    EXPECT_FALSE(path().awaitDatagram());
    voiceOnWait = static_cast<int>(waited.size()) + 1;
    EXPECT_TRUE(path().awaitDatagram());
    EXPECT_EQ(std::vector<std::chrono::milliseconds>(waited.begin() + static_cast<long>(hangWaits), waited.end()),
              (std::vector<std::chrono::milliseconds>{20s, 20s, 20s}));
    auto records = drain();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[4], endTx(2));
    EXPECT_EQ(capture.count("PTT off (keyed for"), 2);
    EXPECT_EQ(capture.count("PTT timeout, no audio frames while ptt asserted."), 1);
    EXPECT_FALSE(path().transmitting());
    // Two calls, each ended once, whatever ended it.
    EXPECT_EQ(counted.callsStarted, 2u);
    EXPECT_EQ(counted.callsEnded, 2u);
    EXPECT_TRUE(capture.has('I', "Call from the USRP client ended by its unkey after 20 ms: 1 blocks in, 0 frames out"));
    EXPECT_TRUE(capture.has('I', "Call from the USRP client ended by the PTT time-out after 20020 ms: 1 blocks in"));
}

TEST_F(EncodePathTest, ClientCallRecordHoldsWhileTheClientIsRegistered)
{
    CallRecord client{1234, 5678, 1, 1, 1, "K1ABC"};
    settings.txTg = 3100;
    clientRegistered = true;
    path().setClientCallRecord(client);
    talk(1);
    send(unkeyPacket());
    talk(1);
    clientRegistered = false;
    send(unkeyPacket());
    talk(1);
    auto records = drain();
    ASSERT_EQ(records.size(), 6u); // the third block also completes a voice record
    for (int i : {0, 2}) {
        CallRecord sent = parseCallRecord(records[static_cast<std::size_t>(i)]);
        EXPECT_EQ(sent.source, 1234u);
        EXPECT_EQ(sent.destination, 3100u); // the talk group always comes from txTg
        EXPECT_EQ(sent.call, "K1ABC");
    }
    EXPECT_EQ(parseCallRecord(records[4]).source, 3100001u);
}

// A call identity from the network or from commands must never end the
// process; the operator's own configuration at start still does.
TEST_F(EncodePathTest, EqualIdsRefuseTheTransmissionAtRunTimeButEndTheProcessAtStart)
{
    path().setClientCallRecord(CallRecord{4444, 4444, 1, 1, 1, ""});
    talk(3);
    EXPECT_FALSE(path().transmitting());
    send(unkeyPacket());
    path().setClientCallRecord(CallRecord{4444, 5555, 1, 1, 1, ""});
    settings.repeaterID = 3100001;
    talk(2);
    EXPECT_FALSE(path().transmitting());
    EXPECT_EQ(drain(), (std::vector<Bytes>{endTx(2)})); // an unkey always ends
    EXPECT_EQ(chip.requests, 0);
    // Once per refused transmission, not per block.
    EXPECT_EQ(capture.count("can not be the same as subscriber ID"), 2);
    EXPECT_TRUE(capture.has('E', "Repeater ID (4444) can not be the same as subscriber ID (4444)"));

    path_.reset();
    EXPECT_EXIT(path(), ::testing::ExitedWithCode(254), "");
}

TEST_F(EncodePathTest, FailedSendDropsTheEndpointAndSeveralPortsAreNoFailure)
{
    UdpSocket second;
    settings.tlvTxPorts.set(PortList{partner.port(), second.port()});
    talk(3);
    EXPECT_EQ(drain().size(), 2u);
    EXPECT_EQ(second.drain(100ms).size(), 2u);
    EXPECT_FALSE(capture.contains("Write to"));

    // A port no datagram can reach makes every checked send fail.
    settings.tlvTxPorts.set(PortList{partner.port(), 70000});
    reopen = true;
    send(unkeyPacket()); // still on the old endpoint: both ports take it
    talk(6);
    EXPECT_TRUE(capture.has('M', "TLV tx socket re-opened for 127.0.0.1:" + std::to_string(partner.port())));
    EXPECT_TRUE(capture.has('E', "Write to xx_Trellan.py failed (PTT ENABLE)"));
    EXPECT_TRUE(capture.has('E', "Write to xx_Trellan.py failed (AMBE72)"));
    auto records = drain();
    // The end on the old endpoint; then each failed send drops the endpoint
    // and the next block makes a new one.
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1][0], TAG_BEGIN_TX);
    EXPECT_EQ(records[2], ambe72(2, {4, 5, 6}));
    EXPECT_EQ(records[3], ambe72(2, {7, 8, 9}));
    const std::vector<int> sources = partner.sources();
    EXPECT_NE(sources[0], sources[1]);
    EXPECT_NE(sources[1], sources[2]);
    EXPECT_NE(sources[2], sources[3]);
    send(unkeyPacket()); // no endpoint after the failure: nothing to send
    EXPECT_TRUE(drain().empty());
}

// The client's mu-law and ADPCM are decoded before anything else, ADPCM
// with the state following the client's coder through unkeys and dropped
// packets; what reaches the chip is what the client's coding carried.
TEST_F(EncodePathTest, CodedVoiceIsDecodedBeforeItIsShapedMirroredAndEncoded)
{
    UdpSocket pcm;
    CDV3000_UDP mirrorEndpoint("127.0.0.1", pcm.port(), 0);
    mirror = &mirrorEndpoint;
    settings.tlvAudio = AUDIO_USE_GAIN;
    settings.tlvGain = 2.0f;
    ImaAdpcmState coder{}, reference{};
    std::vector<PcmBlock> expected;
    const auto heard = [&](const PcmBlock& b, int codec) {
        PcmBlock out{};
        if (codec == USRP_CODEC_ULAW) {
            std::array<std::uint8_t, 160> codes;
            ulawEncode(b, codes);
            ulawDecode(codes, out);
        } else {
            std::array<std::uint8_t, 80> codes;
            ImaAdpcmState copy = reference;
            imaEncode(b, codes, copy);
            imaDecode(codes, out, reference);
        }
        for (auto& s : out)
            s = static_cast<std::int16_t>(std::clamp(2 * s, -32767, 32767));
        return out;
    };
    for (int codec : {USRP_CODEC_ULAW, USRP_CODEC_ADPCM, USRP_CODEC_ADPCM}) {
        for (int k = 0; k < 2; ++k) {
            const PcmBlock b = ramp(1000 * codec + 300 * k);
            expected.push_back(heard(b, codec));
            send(coded(&b, codec, coder));
        }
        const PcmBlock silence{};
        if (codec == USRP_CODEC_ADPCM)
            heard(silence, codec); // the coded unkey runs the coder on silence
        send(coded(nullptr, codec, coder));
    }
    ASSERT_EQ(chip.received.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(chip.received[i], expected[i]) << "block " << i;
        auto mirrored = pcm.receive(1s);
        ASSERT_TRUE(mirrored);
        ASSERT_EQ(mirrored->size(), PCM_BLOCK_BYTES);
        EXPECT_EQ(std::memcmp(mirrored->data(), expected[i].data(), PCM_BLOCK_BYTES), 0) << "block " << i;
    }
}

TEST_F(EncodePathTest, MutedOrWrongSizedVoiceNeverReachesTheVocoder)
{
    for (std::size_t size : {351u, 353u}) {
        const PcmBlock b{};
        CUsrpPacket p = linear(&b);
        p.setReceived(size);
        send(p);
    }
    EXPECT_EQ(capture.count("Received USRP packet of wrong size"), 2);
    settings.mute = Mute::TLV;
    talk(3);
    send(unkeyPacket());
    EXPECT_TRUE(drain().empty());
    EXPECT_EQ(chip.requests, 0);
    EXPECT_FALSE(capture.contains("PTT on"));
}

// ASL mode passes the client's packets on as linear USRP, and unkeys the
// peer beyond the partner port when the client unkeys or vanishes.
TEST_F(EncodePathTest, AslPassesPacketsOnAsLinearUsrpAndUnkeysThePeer)
{
    settings.ambeMode.set("ASL");
    asl = true;
    ImaAdpcmState coder{};
    const PcmBlock b = ramp(500);
    send(coded(&b, USRP_CODEC_ULAW, coder));
    send(coded(nullptr, USRP_CODEC_ULAW, coder));
    talk(1);
    EXPECT_FALSE(path().awaitDatagram());
    auto got = drain();
    ASSERT_EQ(got.size(), 4u);
    ASSERT_EQ(got[0].size(), USRP_PACKET_SIZE);
    EXPECT_EQ(got[0][USRP_OFFSET_TYPE], USRP_TYPE_VOICE);
    std::array<std::uint8_t, 160> codes;
    ulawEncode(b, codes);
    PcmBlock linearSamples;
    ulawDecode(codes, linearSamples);
    EXPECT_EQ(std::memcmp(got[0].data() + USRP_HEADER_SIZE, linearSamples.data(), PCM_BLOCK_BYTES), 0);
    for (std::size_t i : {1u, 3u}) {
        Bytes unkey(got[i - 1].begin(), got[i - 1].begin() + USRP_HEADER_SIZE);
        unkey[USRP_OFFSET_KEYUP + 3] = 0;
        EXPECT_EQ(got[i], unkey) << i;
    }
    EXPECT_EQ(chip.requests, 0);
}

// Without the chip every frame kind comes from the software encoder, one
// state for the direction across modes and transmissions.
TEST_F(EncodePathTest, SoftwareEncodingAndTheEmulatorTimeOut)
{
    wanted.set(Vocoder::Software);
    talk(3);
    settings.ambeSize = 88;
    send(unkeyPacket());
    talk(1, 3);
    settings.ambeSize = 48;
    send(unkeyPacket());
    talk(1, 4);
    auto records = drain();

    SoftwareEncoder reference;
    Bytes ambe{TAG_AMBE_72, 28, 2};
    for (int i = 0; i < 3; ++i) {
        Ambe72Frame frame;
        reference.encode72(ramp(i), frame);
        ambe.insert(ambe.end(), frame.bytes.begin(), frame.bytes.end());
    }
    ImbeFrame imbe;
    reference.encodeImbe(ramp(3), imbe);
    DstarFrame dstar;
    reference.encodeDstar(ramp(4), dstar);
    ASSERT_EQ(records.size(), 8u);
    EXPECT_EQ(records[1], ambe);
    Bytes expected{TAG_IMBE, 11};
    expected.insert(expected.end(), imbe.bytes.begin(), imbe.bytes.end());
    EXPECT_EQ(records[4], expected);
    expected = {TAG_AMBE_DSTAR, 9};
    expected.insert(expected.end(), dstar.bytes.begin(), dstar.bytes.end());
    EXPECT_EQ(records[7], expected);
    EXPECT_EQ(chip.requests, 0);

    // An emulator that never answers yields all-zero 72-bit frames.
    UdpSocket silent;
    emulator = std::make_unique<EmulatorLink>("127.0.0.1:" + std::to_string(silent.port()));
    emulator->setReplyTimeout(10ms);
    path_.reset();
    wanted.set(Vocoder::Emulator);
    settings.ambeSize = 72;
    talk(3);
    records = drain();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1], ambe72(2, {0, 0, 0}));
    EXPECT_TRUE(capture.has('E', "Emulator timed out on encode!"));
}

} // namespace halvane
