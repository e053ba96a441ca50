// USRP voice to the partner through the real binary: a USRP client, a TLV
// partner and the DV3000 simulator (whose stand-in frames are a digest of
// the block, so every frame can be checked byte for byte).
#include "AmbeFrame.h"
#include "DaemonFixture.h"
#include "Dv3000Simulator.h"
#include "G711.h"
#include "TlvPartner.h"
#include "UsrpClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

namespace halvane {

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Block = Dv3000Simulator::Block;
using Frame = Dv3000Simulator::Frame;

Block tone(int k)
{
    Block b;
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<std::int16_t>(std::lround(9000.0 * std::sin(0.05 * (k + 3) * static_cast<double>(i))));
    return b;
}

Frame chip(const Block& b)
{
    return Dv3000Simulator::standInEncode(b, Dv3000Simulator::RateMode::Dmr);
}

Bytes ambe72(int slot, std::initializer_list<Frame> frames)
{
    Bytes r{TAG_AMBE_72, 28, static_cast<std::uint8_t>(slot)};
    for (const Frame& f : frames)
        r.insert(r.end(), f.begin(), f.end());
    return r;
}

const Bytes END_TX{TAG_END_TX, 1, 2};

bool isSilence(const TlvMessage& m)
{
    static const Bytes silence = [] {
        Bytes r{TAG_AMBE_72, 28, 2};
        for (int i = 0; i < 3; ++i)
            r.insert(r.end(), {0xAC, 0xAA, 0x40, 0x20, 0x00, 0x44, 0x40, 0x80, 0x80});
        return r;
    }();
    return m.datagram == silence;
}

int count(const std::vector<TlvMessage>& all, std::uint8_t tag)
{
    return static_cast<int>(std::count_if(all.begin(), all.end(), [tag](const TlvMessage& m) { return m.is(tag); }));
}

int countLog(const std::string& log, const std::string& text)
{
    int n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++n;
    return n;
}

// The daemon with a registered client, a partner on its TLV ports and, for
// hardware, the simulator as its AMBE server.
class EncodeRig {
public:
    bool start(const std::string& ambe, const std::string& usrp = "", const std::string& general = "",
               bool hardware = true)
    {
        std::string error;
        if (!partner.open({"127.0.0.1", d.ports.tlvTx, "127.0.0.1", d.ports.tlvRx}, error) ||
            !client.open({"127.0.0.1", d.ports.usrpTx, "127.0.0.1", d.ports.usrpRx}, error)) {
            ADD_FAILURE() << error;
            return false;
        }
        if (hardware) {
            Dv3000Simulator::Options options;
            options.udp = true;
            options.udpPort = d.ports.dv3000;
            simulator = std::make_unique<Dv3000Simulator>(options);
            if (!simulator->start(error)) {
                ADD_FAILURE() << error;
                return false;
            }
        }
        d.start(d.ini(hardware ? general : "decoderFallBack = true\n" + general, ambe, usrp));
        return d.waitForLog("Starting USRP --> Halvane (encoder) -> TLV thread") && client.registerClient() &&
               client.receiveText("REG:OK", 5s).has_value();
    }

    void talk(const std::vector<Block>& blocks, UsrpCodec codec = UsrpCodec::Slin)
    {
        for (const Block& b : blocks)
            client.sendVoice(b, codec);
    }

    // Everything up to and including the next TAG_END_TX.
    std::vector<TlvMessage> untilEnd(std::chrono::milliseconds limit = 10s)
    {
        std::vector<TlvMessage> all;
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            auto m = partner.receive(100ms);
            if (!m)
                continue;
            all.push_back(*m);
            if (m->is(TAG_END_TX))
                break;
        }
        return all;
    }

    // Whatever arrives until nothing has come for `quiet`.
    std::vector<TlvMessage> drain(std::chrono::milliseconds quiet = 500ms)
    {
        std::vector<TlvMessage> all;
        while (auto m = partner.receive(quiet))
            all.push_back(*m);
        return all;
    }

    Daemon d;
    std::unique_ptr<Dv3000Simulator> simulator;
    UsrpClient client;
    TlvPartner partner;
};

std::vector<Block> tones(int n, int from = 0)
{
    std::vector<Block> blocks;
    for (int k = 0; k < n; ++k)
        blocks.push_back(tone(from + k));
    return blocks;
}

} // namespace

TEST(EncodePath, FourBlocksMakeOneRecordAndTheFourthOpensTheNextTransmission)
{
    EncodeRig rig;
    ASSERT_TRUE(rig.start("ambeMode = NXDN\ntxTg = 3100\n"));
    auto first = tones(4);
    rig.talk(first);
    rig.client.sendUnkey(UsrpCodec::Slin);
    auto calls = rig.untilEnd();
    ASSERT_EQ(calls.size(), 3u);
    // Call sign: the gateway's ID as text, since the subscriber file is absent.
    const Bytes begin{TAG_BEGIN_TX, 20, 0x2F, 0x4D, 0x61, 0x00, 0x2F, 0x4D, 0x62, 0x00, 0x0C, 0x1C, 2, 1,
                      '3', '1', '0', '0', '0', '0', '1', 0};
    EXPECT_EQ(calls[0].datagram, begin);
    EXPECT_EQ(calls[1].datagram, ambe72(2, {chip(first[0]), chip(first[1]), chip(first[2])}));
    EXPECT_EQ(calls[2].datagram, END_TX);

    auto second = tones(2, 10);
    rig.talk(second);
    rig.client.sendUnkey(UsrpCodec::Slin);
    calls = rig.untilEnd();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].datagram, begin);
    EXPECT_EQ(calls[1].datagram, ambe72(2, {chip(first[3]), chip(second[0]), chip(second[1])}));
}

TEST(EncodePath, FortyNineBitRecordsCarryConvertedFramesAndDmrIpscHasNoHangTime)
{
    EncodeRig rig;
    ASSERT_TRUE(rig.start("ambeMode = DMR_IPSC\nminTxTimeMS = 2000\n"));
    auto blocks = tones(3);
    rig.talk(blocks);
    rig.client.sendUnkey(UsrpCodec::Slin);
    auto calls = rig.untilEnd();
    ASSERT_EQ(calls.size(), 3u);
    Bytes expected{TAG_AMBE_49, 22, 2};
    for (const Block& b : blocks) {
        std::array<std::uint8_t, 7> f49;
        convert72BitAmbeTo49Bit(chip(b), f49);
        expected.insert(expected.end(), f49.begin(), f49.end());
    }
    EXPECT_EQ(calls[1].datagram, expected);
    EXPECT_EQ(calls[2].datagram, END_TX);
    EXPECT_FALSE(rig.d.hasLog("Short transmission"));
}

TEST(EncodePath, ShortDmrTransmissionIsPaddedWithSilenceUpToTheMinimum)
{
    EncodeRig rig;
    ASSERT_TRUE(rig.start("ambeMode = DMR\nminTxTimeMS = 2000\n"));
    std::vector<std::int16_t> second(50 * 160);
    for (std::size_t i = 0; i < second.size(); ++i)
        second[i] = static_cast<std::int16_t>(6000.0 * std::sin(0.07 * static_cast<double>(i)));
    ASSERT_TRUE(rig.client.sendTransmission(second, UsrpCodec::Slin, Pacing::Network));
    auto calls = rig.untilEnd();
    ASSERT_FALSE(calls.empty());
    EXPECT_TRUE(calls.back().is(TAG_END_TX));
    // 50 blocks fill 16 voice records; the silence follows them.
    const long silent = std::count_if(calls.begin(), calls.end(), isSilence);
    EXPECT_EQ(count(calls, TAG_AMBE_72) - silent, 16);
    EXPECT_EQ(static_cast<std::size_t>(1 + 16 + silent + 1), calls.size());
    EXPECT_TRUE(isSilence(calls[17]));
    EXPECT_GE(silent, 5);  // about 1000 ms at 60 ms
    EXPECT_LE(silent, 34); // never beyond the whole minimum
    EXPECT_TRUE(rig.d.hasLog("Short transmission, extend hang time by "));
}

TEST(EncodePath, VoiceDuringTheHangTimeContinuesTheSameTransmission)
{
    EncodeRig rig;
    ASSERT_TRUE(rig.start("ambeMode = DMR\nminTxTimeMS = 1500\n"));
    rig.talk(tones(3));
    rig.client.sendUnkey(UsrpCodec::Slin);
    ASSERT_TRUE(rig.partner.receiveMatching(isSilence, 5s).has_value());
    auto more = tones(3, 20);
    rig.talk(more);
    rig.client.sendUnkey(UsrpCodec::Slin);
    auto rest = rig.untilEnd();
    ASSERT_FALSE(rest.empty());
    EXPECT_TRUE(rest.back().is(TAG_END_TX));
    EXPECT_EQ(count(rest, TAG_END_TX), 1);
    EXPECT_EQ(count(rest, TAG_BEGIN_TX), 0);
    const Bytes continued = ambe72(2, {chip(more[0]), chip(more[1]), chip(more[2])});
    EXPECT_TRUE(std::any_of(rest.begin(), rest.end(), [&](const TlvMessage& m) { return m.datagram == continued; }));
    EXPECT_EQ(countLog(rig.d.log(), "PTT on\n"), 1);
}

TEST(EncodePath, TwoUnkeysGiveTwoEnds)
{
    EncodeRig rig;
    ASSERT_TRUE(rig.start("ambeMode = NXDN\n"));
    rig.talk(tones(1));
    rig.client.sendUnkey(UsrpCodec::Slin);
    rig.client.sendUnkey(UsrpCodec::Slin);
    auto all = rig.untilEnd();
    auto second = rig.untilEnd();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(all[0].is(TAG_BEGIN_TX));
    EXPECT_EQ(all[1].datagram, END_TX);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].datagram, END_TX);
    EXPECT_TRUE(eventually([&] { return countLog(rig.d.log(), "PTT off (keyed for ") == 2; }, 5s));
}

TEST(EncodePath, MuLawAndAdpcmAreDecodedBeforeEncoding)
{
    EncodeRig rig;
    ASSERT_TRUE(rig.start("ambeMode = NXDN\n"));
    auto blocks = tones(3);
    rig.talk(blocks, UsrpCodec::Ulaw);
    rig.client.sendUnkey(UsrpCodec::Ulaw);
    auto ulaw = rig.untilEnd();

    // The same speech as the client's mu-law carried it, sent linear.
    std::vector<Block> decoded;
    for (const Block& b : blocks) {
        std::array<std::uint8_t, 160> codes;
        ulawEncode(b, codes);
        decoded.emplace_back();
        ulawDecode(codes, decoded.back());
    }
    rig.talk(decoded);
    rig.client.sendUnkey(UsrpCodec::Slin);
    auto slin = rig.untilEnd();
    ASSERT_EQ(ulaw.size(), 3u);
    ASSERT_EQ(slin.size(), 3u);
    EXPECT_EQ(ulaw[1].datagram, slin[1].datagram);
    EXPECT_EQ(ulaw[1].datagram, ambe72(2, {chip(decoded[0]), chip(decoded[1]), chip(decoded[2])}));

    // ADPCM, twice, with the unkey's coded silence between: the daemon's
    // decoder must follow the client's coder through it.
    ImaAdpcmState coder{}, reference{};
    auto expectedFrames = [&](const std::vector<Block>& pcm) {
        std::vector<Frame> frames;
        for (const Block& b : pcm) {
            std::array<std::uint8_t, 80> codes;
            imaEncode(b, codes, coder);
            Block out;
            imaDecode(codes, out, reference);
            frames.push_back(chip(out));
        }
        std::array<std::uint8_t, 80> codes;
        Block silence{}, ignored;
        imaEncode(silence, codes, coder);
        imaDecode(codes, ignored, reference);
        return frames;
    };
    for (int round = 0; round < 2; ++round) {
        auto pcm = tones(3, 5 * round + 7);
        auto frames = expectedFrames(pcm);
        rig.talk(pcm, UsrpCodec::Adpcm);
        rig.client.sendUnkey(UsrpCodec::Adpcm);
        auto adpcm = rig.untilEnd();
        ASSERT_EQ(adpcm.size(), 3u);
        EXPECT_EQ(adpcm[1].datagram, ambe72(2, {frames[0], frames[1], frames[2]})) << "round " << round;
    }
}

TEST(EncodePath, FailedSendsDropTheEndpointAndTheNextBlockMakesANewOne)
{
    EncodeRig rig;
    // A second port that no datagram can reach: every checked send fails.
    ASSERT_TRUE(rig.start("ambeMode = NXDN\nTXPort = " + std::to_string(rig.d.ports.tlvTx) + ",70000\n"));
    rig.talk(tones(6));
    rig.client.sendUnkey(UsrpCodec::Slin);
    auto all = rig.drain();
    // begin (fails), record (made anew, fails), record (made anew, fails);
    // the unkey finds no endpoint.
    ASSERT_EQ(all.size(), 3u);
    EXPECT_TRUE(all[0].is(TAG_BEGIN_TX));
    EXPECT_NE(all[0].from.sin_port, all[1].from.sin_port);
    EXPECT_NE(all[1].from.sin_port, all[2].from.sin_port);
    EXPECT_TRUE(rig.d.hasLog("E: "));
    EXPECT_EQ(countLog(rig.d.log(), "Write to xx_Trellan.py failed (PTT ENABLE)\n"), 1);
    EXPECT_EQ(countLog(rig.d.log(), "Write to xx_Trellan.py failed (AMBE72)\n"), 2);
}

TEST(EncodePath, MutedOrWrongSizedVoiceNeverReachesTheVocoder)
{
    EncodeRig rig;
    ASSERT_TRUE(rig.start("ambeMode = NXDN\n"));
    for (std::size_t size : {351u, 353u}) {
        Bytes wrong(size, 0);
        std::memcpy(wrong.data(), "USRP", 4);
        wrong[USRP_OFFSET_KEYUP + 3] = 1;
        rig.client.sendDatagram(wrong);
    }
    EXPECT_TRUE(eventually([&] { return countLog(rig.d.log(), "Received USRP packet of wrong size\n") == 2; }, 5s));
    EXPECT_TRUE(rig.drain(300ms).empty());

    EncodeRig muted;
    ASSERT_TRUE(muted.start("ambeMode = NXDN\n", "", "mute = TLV\n"));
    muted.talk(tones(3));
    muted.client.sendUnkey(UsrpCodec::Slin);
    EXPECT_TRUE(muted.drain().empty());
    EXPECT_EQ(muted.simulator->stats().speechRequests, 0);
    EXPECT_EQ(rig.simulator->stats().speechRequests, 0);
    EXPECT_FALSE(muted.d.hasLog("PTT on"));
}

TEST(EncodePath, ShapedVoiceGoesToTheMirrorAndTheVocoder)
{
    EncodeRig rig;
    UdpSocket mirror;
    ASSERT_TRUE(rig.start("ambeMode = NXDN\n", "tlvAudio = AUDIO_USE_GAIN\ntlvGain = 2.0\n",
                          "PCMPort = " + std::to_string(mirror.port()) + "\n"));
    auto blocks = tones(3);
    rig.talk(blocks);
    rig.client.sendUnkey(UsrpCodec::Slin);
    std::vector<Block> doubled;
    for (const Block& b : blocks) {
        doubled.push_back(b);
        for (auto& s : doubled.back())
            s = static_cast<std::int16_t>(std::clamp(2 * s, -32767, 32767));
        auto got = mirror.receive(5s);
        ASSERT_TRUE(got);
        ASSERT_EQ(got->size(), 320u);
        EXPECT_EQ(std::memcmp(got->data(), doubled.back().data(), 320), 0);
    }
    auto calls = rig.untilEnd();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].datagram, ambe72(2, {chip(doubled[0]), chip(doubled[1]), chip(doubled[2])}));
}

TEST(EncodePath, AslPassesTheClientsPacketsOnAsLinearUsrp)
{
    EncodeRig rig;
    ASSERT_TRUE(rig.start("ambeMode = ASL\n", "", "", false));
    auto blocks = tones(2);
    rig.talk(blocks, UsrpCodec::Ulaw);
    rig.client.sendUnkey(UsrpCodec::Ulaw);
    auto all = rig.drain();
    ASSERT_EQ(all.size(), 3u);
    for (std::size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(all[i].kind, TlvMessage::Kind::UsrpPacket);
        ASSERT_EQ(all[i].datagram.size(), 352u);
        EXPECT_EQ(all[i].datagram[USRP_OFFSET_TYPE], USRP_TYPE_VOICE);
        EXPECT_EQ(all[i].datagram[USRP_OFFSET_KEYUP + 3], 1);
        std::array<std::uint8_t, 160> codes;
        ulawEncode(blocks[i], codes);
        Block linear;
        ulawDecode(codes, linear);
        EXPECT_EQ(std::memcmp(all[i].datagram.data() + USRP_HEADER_SIZE, linear.data(), 320), 0);
    }
    EXPECT_EQ(all[2].datagram.size(), USRP_HEADER_SIZE);
    EXPECT_EQ(all[2].datagram[USRP_OFFSET_KEYUP + 3], 0);
    EXPECT_EQ(all[2].datagram[USRP_OFFSET_TYPE], USRP_TYPE_VOICE);
}

TEST(EncodePath, EmulatorFramesBecome72BitFrames)
{
    // Answers each block with a 49-bit frame made from its first samples.
    DatagramSocket emulator;
    std::string error;
    ASSERT_TRUE(emulator.open("127.0.0.1", 0, error)) << error;
    auto frame49 = [](const std::vector<std::uint8_t>& pcm) {
        std::array<std::uint8_t, 7> f{};
        std::copy_n(pcm.begin() + 40, 6, f.begin());
        f[6] = pcm[0] & 0x80;
        return f;
    };
    std::atomic_bool running{true};
    std::thread answer([&] {
        while (running) {
            if (auto d = emulator.receive(50ms); d && d->bytes.size() == 320) {
                auto f = frame49(d->bytes);
                emulator.sendTo(d->from, f);
            }
        }
    });
    EncodeRig rig;
    const bool started = rig.start("ambeMode = NXDN\n", "",
                                   "useEmulator = true\nemulatorAddress = 127.0.0.1:" +
                                       std::to_string(emulator.localPort()) + "\n",
                                   false);
    std::vector<Block> blocks = tones(3, 30);
    if (started) {
        rig.talk(blocks);
        rig.client.sendUnkey(UsrpCodec::Slin);
    }
    auto calls = rig.untilEnd();
    running = false;
    answer.join();
    ASSERT_TRUE(started);
    ASSERT_EQ(calls.size(), 3u);
    Bytes expected{TAG_AMBE_72, 28, 2};
    for (const Block& b : blocks) {
        std::vector<std::uint8_t> bytes(320);
        std::memcpy(bytes.data(), b.data(), 320);
        std::array<std::uint8_t, 9> f72;
        convert49BitAmbeTo72Bit(frame49(bytes), f72);
        expected.insert(expected.end(), f72.begin(), f72.end());
    }
    EXPECT_EQ(calls[1].datagram, expected);
}

TEST(EncodePath, RealSpeechFramesMatchTheChipByteForByte)
{
    const std::string path = "/usr/share/codec2/raw/hts1a.raw";
    std::string raw = readFile(path);
    if (raw.empty())
        GTEST_SKIP() << path << " is not installed";
    EncodeRig rig;
    ASSERT_TRUE(rig.start("ambeMode = NXDN\n"));
    const std::size_t blocks = raw.size() / 320 / 3 * 3;
    std::vector<Block> speech(blocks);
    for (std::size_t k = 0; k < blocks; ++k)
        std::memcpy(speech[k].data(), raw.data() + k * 320, 320);
    for (const Block& b : speech) {
        rig.client.sendVoice(b, UsrpCodec::Slin);
        std::this_thread::sleep_for(2ms); // a node's pace would take seconds; the daemon needs far less
    }
    rig.client.sendUnkey(UsrpCodec::Slin);
    auto calls = rig.untilEnd(20s);
    ASSERT_EQ(calls.size(), blocks / 3 + 2);
    for (std::size_t r = 0; r < blocks / 3; ++r)
        ASSERT_EQ(calls[r + 1].datagram,
                  ambe72(2, {chip(speech[3 * r]), chip(speech[3 * r + 1]), chip(speech[3 * r + 2])}))
            << "record " << r;
}

} // namespace halvane
