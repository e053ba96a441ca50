#include "ImaAdpcm.h"

#include "SoxReference.h"
#include "CUsrpPacket.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

namespace halvane {

namespace {

// Worked by hand from the definition. The first code is where a coder that
// quantises by division (4 * diff / step) differs: with step 7 a difference
// of 5 is code 3 here (5 >= 3, then 2 >= 1), not 2.
TEST(ImaAdpcm, PublishedIndexTableAndHandWorkedCodes)
{
    const std::array<std::int8_t, 16> published = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
    EXPECT_EQ(indexTable, published);

    ImaAdpcmState state;
    EXPECT_EQ(imaEncodeSample(5, state), 3);
    EXPECT_EQ(state.valprev, 4);
    EXPECT_EQ(state.index, 0); // -1, held at 0

    // 1000 then 0 from rest: code 7 (11, index 8), then code 0xA (step 16,
    // diff -11: 11 - (8 + 2) = 1, index 7), the earlier one high.
    state = {};
    std::array<std::uint8_t, 1> byte{};
    imaEncode(std::array<std::int16_t, 2>{1000, 0}, byte, state);
    EXPECT_EQ(byte[0], 0x7A);
    std::array<std::int16_t, 2> back{};
    ImaAdpcmState decoder;
    imaDecode(byte, back, decoder);
    EXPECT_EQ(back, (std::array<std::int16_t, 2>{11, 1}));
    EXPECT_EQ(decoder.index, 7);
}

TEST(ImaAdpcm, ClampsPredictionAndIndex)
{
    ImaAdpcmState state{32000, 88};
    EXPECT_EQ(imaEncodeSample(32767, state), 0);
    EXPECT_EQ(state.valprev, 32767); // 32000 + 32767 / 8, held
    EXPECT_EQ(state.index, 87);
    state = {-32768, 88};
    EXPECT_EQ(imaDecodeSample(0xF, state), -32768);
    EXPECT_EQ(state.index, 88);
    // A corrupt caller state is clamped, not used to index past the table.
    state = {0, 100};
    imaDecodeSample(0, state);
    EXPECT_EQ(state.index, 87);
}

// sox reads IMA ADPCM only in WAV files (format 0x11), which differ from the
// USRP stream in two ways that these tests bridge:
// - WAV puts the earlier sample in the low nibble, USRP in the high one:
//   every byte has its nibbles swapped on the way in.
// - WAV cuts the stream into blocks, each opened by a header with the coder
//   state (the block's first sample, exact, and the step index). One block
//   per USRP packet (block align 4 + 80, 161 samples) whose header carries
//   the state the packet starts from makes sox decode exactly what the
//   carried state decodes; the header sample comes out first and is skipped.
// sox's own encoder picks each block's start state and quantises by division,
// so its codes are not comparable; our encoder is held to sox's decoder.
class ImaSox : public ::testing::Test {
protected:
    struct Packet {
        ImaAdpcmState start;
        std::array<std::uint8_t, USRP_ADPCM_BYTES> codes;
    };

    void SetUp() override
    {
        if (!soxAvailable())
            GTEST_SKIP() << "sox not installed";
    }

    std::vector<std::int16_t> soxDecode(const std::vector<Packet>& packets)
    {
        constexpr unsigned blockAlign = 4 + USRP_ADPCM_BYTES, perBlock = 1 + 2 * USRP_ADPCM_BYTES;
        std::string data;
        for (const Packet& packet : packets) {
            put(data, static_cast<std::uint16_t>(packet.start.valprev), 2);
            put(data, static_cast<std::uint8_t>(packet.start.index), 2);
            for (std::uint8_t byte : packet.codes)
                data.push_back(static_cast<char>((byte << 4) | (byte >> 4)));
        }
        std::string fmt; // IMA ADPCM, mono, 8000 Hz, 4 bits, 2 extra bytes
        for (auto [value, size] : {std::pair{0x11u, 2}, {1u, 2}, {8000u, 4}, {8000 * blockAlign / perBlock, 4},
                                   {blockAlign, 2}, {4u, 2}, {2u, 2}, {perBlock, 2}})
            put(fmt, value, size);
        std::string fact;
        put(fact, static_cast<std::uint32_t>(packets.size() * perBlock), 4);
        const std::string body = "WAVE" + chunk("fmt ", fmt) + chunk("fact", fact) + chunk("data", data);
        std::string file = "RIFF";
        put(file, static_cast<std::uint32_t>(body.size()), 4);
        file += body;
        writeBytes(dir.file("in.wav"), file.data(), file.size());

        if (!runSox(dir, dir.file("in.wav") + " -t raw -e signed-integer -b 16 " + dir.file("out.raw")))
            return {};
        const std::vector<std::int16_t> all = readSamples(dir.file("out.raw"));
        std::vector<std::int16_t> decoded;
        for (std::size_t at = 0; at + perBlock <= all.size(); at += perBlock)
            decoded.insert(decoded.end(), all.begin() + at + 1, all.begin() + at + perBlock);
        return decoded;
    }

    static void put(std::string& out, std::uint32_t value, int bytes)
    {
        for (int i = 0; i < bytes; ++i)
            out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    static std::string chunk(const char* id, const std::string& content)
    {
        std::string out = id;
        put(out, static_cast<std::uint32_t>(content.size()), 4);
        return out + content;
    }

    TempDir dir;
};

// Random codes, from a random state every fourth packet and carried across
// the others, so that the prediction clamps at both ends and every one of the
// 89 step sizes (the published table, as sox holds it) is used.
TEST_F(ImaSox, DecoderMatchesSoxAtEveryStepSize)
{
    std::mt19937 random(20240611);
    std::vector<Packet> packets(600);
    std::vector<std::int16_t> ours(packets.size() * USRP_VOICE_SAMPLES);
    std::set<int> indices;
    ImaAdpcmState state;
    for (std::size_t n = 0; n < packets.size(); ++n) {
        if (n % 4 == 0)
            state = {static_cast<std::int16_t>(random()), static_cast<std::int8_t>(random() % 89)};
        packets[n].start = state;
        // Mostly small codes, so the index wanders down as well as up.
        for (std::uint8_t& byte : packets[n].codes)
            byte = static_cast<std::uint8_t>(random() % 4 == 0 ? random() : random() & 0x33);
        ImaAdpcmState probe = state; // which step sizes this packet uses
        for (std::size_t i = 0; i < USRP_VOICE_SAMPLES; ++i) {
            indices.insert(probe.index);
            imaDecodeSample(i % 2 == 0 ? packets[n].codes[i / 2] >> 4 : packets[n].codes[i / 2], probe);
        }
        imaDecode(packets[n].codes, std::span(&ours[n * USRP_VOICE_SAMPLES], USRP_VOICE_SAMPLES), state);
    }
    ASSERT_EQ(indices.size(), 89u);
    EXPECT_EQ(soxDecode(packets), ours);
}

// Speech through the packet builder with adpcmTx carried from packet to
// packet: sox must reconstruct exactly the encoder's own prediction track (so
// a far end stays in step), at the quality of sox's own encoder, which may
// be a little better because it optimises each block's start state.
TEST_F(ImaSox, EncoderTrackIsWhatSoxDecodesAtSoundQuality)
{
    std::vector<std::int16_t> input = readSamples("/usr/share/codec2/raw/hts1a.raw");
    ASSERT_GE(input.size(), 100 * USRP_VOICE_SAMPLES);
    input.resize(input.size() / USRP_VOICE_SAMPLES * USRP_VOICE_SAMPLES);

    std::vector<Packet> packets(input.size() / USRP_VOICE_SAMPLES);
    std::vector<std::int16_t> track;
    ImaAdpcmState adpcmTx, mirror;
    for (std::size_t n = 0; n < packets.size(); ++n) {
        packets[n].start = adpcmTx;
        CUsrpPacket packet = CUsrpPacket::voice(n, &input[n * USRP_VOICE_SAMPLES], USRP_VOICE_BYTES);
        ASSERT_EQ(packet.encodeVoice(USRP_CODEC_ADPCM, adpcmTx), USRP_ADPCM_SIZE);
        std::copy_n(packet.data() + USRP_HEADER_SIZE, USRP_ADPCM_BYTES, packets[n].codes.begin());
        for (std::size_t i = 0; i < USRP_VOICE_SAMPLES; ++i) {
            imaEncodeSample(input[n * USRP_VOICE_SAMPLES + i], mirror);
            track.push_back(mirror.valprev);
        }
    }
    const std::vector<std::int16_t> decoded = soxDecode(packets);
    ASSERT_EQ(decoded, track);

    writeBytes(dir.file("speech.raw"), input.data(), input.size() * 2);
    ASSERT_TRUE(runSox(dir, "-D -t raw -r 8000 -e signed-integer -b 16 -c 1 " + dir.file("speech.raw") +
                                " -e ima-adpcm " + dir.file("sox.wav")));
    ASSERT_TRUE(runSox(dir, dir.file("sox.wav") + " -t raw -e signed-integer -b 16 " + dir.file("sox.raw")));
    auto snr = [&](const std::vector<std::int16_t>& coded) {
        double signal = 0, noise = 0;
        for (std::size_t i = 0; i < input.size() && i < coded.size(); ++i) {
            signal += double(input[i]) * input[i];
            noise += (double(input[i]) - coded[i]) * (double(input[i]) - coded[i]);
        }
        return 10 * std::log10(signal / noise);
    };
    const double soxQuality = snr(readSamples(dir.file("sox.raw"))), ourQuality = snr(decoded);
    EXPECT_GT(soxQuality, 10.0);
    EXPECT_GT(ourQuality, soxQuality - 2.0) << "ours " << ourQuality << " dB, sox " << soxQuality << " dB";
}

} // namespace

} // namespace halvane
