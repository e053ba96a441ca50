#include "ImbeFrames.h"
#include "imbe/FrameVector.h"
#include "imbe/FrameVectorEncode.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>

using namespace halvane;
using namespace imbe_test;

namespace {

IMBE_PARAM decoded(const std::array<Word16, 8>& u)
{
    IMBE_PARAM p;
    decode_frame_vector(&p, u.data());
    return p;
}

// u0..u7 holding exactly one set bit of the stream p0..p74.
std::array<Word16, 8> streamBit(int b0, int position)
{
    std::array<Word16, 8> u{};
    u[0] = static_cast<Word16>((b0 & 0xFC) << 4);
    u[7] = static_cast<Word16>((b0 & 3) << 1);
    if (position < 3) {
        u[0] = static_cast<Word16>(u[0] | (4 >> position));
    } else if (position < 39) {
        const int w = 1 + (position - 3) / 12;
        u[w] = static_cast<Word16>(1 << (11 - (position - 3) % 12));
    } else if (position < 72) {
        const int w = 4 + (position - 39) / 11;
        u[w] = static_cast<Word16>(1 << (10 - (position - 39) % 11));
    } else {
        u[7] = static_cast<Word16>(u[7] | (0x40 >> (position - 72)));
    }
    return u;
}

TEST(ImbeFrameBytes, UnpackCutsEightyEightBitsIntoTheEightFields)
{
    std::array<std::uint8_t, 11> bytes{};
    std::array<Word16, 8> u{};
    bytes[0] = 0x80;
    bytes[10] = 0x01;
    unpack_imbe_frame(bytes, u);
    EXPECT_EQ(u, (std::array<Word16, 8>{0x800, 0, 0, 0, 0, 0, 0, 1}));
    bytes = {0x00, 0x18, 0x00, 0, 0, 0, 0, 0, 0, 0x00, 0x40};
    unpack_imbe_frame(bytes, u);
    EXPECT_EQ(u, (std::array<Word16, 8>{1, 0x800, 0, 0, 0, 0, 0, 0x40}));

    std::mt19937 rng(1);
    for (int n = 0; n < 1000; ++n) {
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(rng());
        unpack_imbe_frame(bytes, u);
        for (int w = 0; w < 8; ++w)
            ASSERT_LT(u[w], 1 << imbe_frame_field_widths[w]);
        std::array<std::uint8_t, 11> back{};
        pack_imbe_frame(u, back);
        ASSERT_EQ(back, bytes);
    }
}

// Every pitch index (so every L and the L = 11 and K = 12 layouts) with random indexes of
// every width, zero-bit coefficients included: the encoder's frame decodes to its parameters.
TEST(DecodeFrameVector, EncoderFramesDecodeToTheirParametersForEveryPitchIndex)
{
    std::mt19937 rng(2);
    for (int b0 = 0; b0 <= 207; ++b0) {
        for (int n = 0; n < 20; ++n) {
            const auto b = randomParameters(b0, rng);
            const IMBE_PARAM p = decoded(packFrame(b));
            const int L = harmonicsFor(b0);
            ASSERT_EQ(p.num_harms, L);
            ASSERT_EQ(p.num_bands, bandsFor(L));
            ASSERT_EQ(p.bit_alloc, allocationFor(L));
            for (int i = 0; i <= L + 2; ++i)
                ASSERT_EQ(p.b_vec[i], b[i]) << "b0 " << b0 << " index " << i;
        }
        const IMBE_PARAM p = decoded(packFrame(randomParameters(b0, rng)));
        EXPECT_NEAR(p.fund_freq, std::ldexp(1.0, 34) / (2 * b0 + 79), 1.0) << b0;
    }
}

// 88 bits carry b0 (8), the gain index (6), K voicing bits, 73 - K coefficient bits and the
// spare bit: for pitch indexes up to 207 the layout is a bijection.
TEST(DecodeFrameVector, EveryDecodableFrameVectorComesBackBitForBit)
{
    std::mt19937 rng(8);
    for (int n = 0; n < 50000; ++n) {
        std::array<Word16, 8> u{};
        for (int w = 0; w < 8; ++w)
            u[w] = static_cast<Word16>(rng() & ((1u << imbe_frame_field_widths[w]) - 1));
        const IMBE_PARAM p = decoded(u);
        if (p.b_vec[0] > 207)
            continue;
        std::array<Word16, 8> again{};
        imbe::encode_frame_vector(&p, again.data());
        ASSERT_EQ(again, u) << n;
    }
}

TEST(DecodeFrameVector, PitchIndexLimits)
{
    IMBE_PARAM p = decoded(streamBit(0, 0));
    EXPECT_EQ(p.fund_freq, 217466698);
    EXPECT_EQ(p.num_harms, 9);
    EXPECT_EQ(p.num_bands, 3);
    p = decoded(streamBit(207, 0));
    EXPECT_EQ(p.num_harms, 56);
    EXPECT_EQ(p.num_bands, 12);
}

// With K = 12 the voicing bits are p39..p50 and the gain's stream bits p51 and p52; the
// coefficient stream resumes at p53.
TEST(DecodeFrameVector, TwelveBandBitPositions)
{
    const int b0 = 150;
    ASSERT_EQ(bandsFor(harmonicsFor(b0)), 12);
    EXPECT_EQ(decoded(streamBit(b0, 39)).b_vec[1], 0x800);
    EXPECT_EQ(decoded(streamBit(b0, 50)).b_vec[1], 1);
    EXPECT_EQ(decoded(streamBit(b0, 51)).b_vec[2], 4);
    EXPECT_EQ(decoded(streamBit(b0, 52)).b_vec[2], 2);
    for (int position : {39, 50, 51, 52}) {
        const IMBE_PARAM p = decoded(streamBit(b0, position));
        for (int i = 3; i <= p.num_harms + 1; ++i)
            EXPECT_EQ(p.b_vec[i], 0) << position;
    }
    // p38 and p53 are coefficient bits 38 and 39 of the priority scan.
    const IMBE_PARAM p38 = decoded(streamBit(b0, 38)), p53 = decoded(streamBit(b0, 53));
    int set38 = 0, set53 = 0;
    for (int i = 3; i <= p38.num_harms + 1; ++i) {
        set38 += p38.b_vec[i] != 0;
        set53 += p53.b_vec[i] != 0;
    }
    EXPECT_EQ(set38, 1);
    EXPECT_EQ(set53, 1);
    EXPECT_EQ(p53.b_vec[1], 0);
    EXPECT_EQ(p53.b_vec[2], 0);
}

// For L = 11 the scan starts at level 9, where only the sixth coefficient takes bits.
TEST(DecodeFrameVector, ElevenHarmonicsStartWithTheSixthCoefficient)
{
    const int b0 = 8;
    ASSERT_EQ(harmonicsFor(b0), 11);
    const IMBE_PARAM p = decoded(streamBit(b0, 0));
    EXPECT_EQ(p.bit_alloc[5], 9);
    EXPECT_EQ(p.b_vec[3 + 5], 1 << 8);
    for (int i = 3; i <= 12; ++i) {
        if (i != 8) {
            EXPECT_EQ(p.b_vec[i], 0) << i;
        }
    }
    // The next bit is the top bit of the first coefficient allocated 8 bits.
    int first8 = 0;
    while (p.bit_alloc[first8] != 8)
        ++first8;
    EXPECT_EQ(decoded(streamBit(b0, 1)).b_vec[3 + first8], 1 << 7);
}

TEST(VUvDecode, BandsOfThreeWithTheLastTakingTheRest)
{
    IMBE_PARAM p;
    p.num_harms = 9;
    p.num_bands = 3;
    p.b_vec[1] = 0b101;
    v_uv_decode(&p);
    EXPECT_EQ((std::array<Word16, 10>{1, 1, 1, 0, 0, 0, 1, 1, 1, 0}),
              (std::array<Word16, 10>{p.v_uv_dsn[0], p.v_uv_dsn[1], p.v_uv_dsn[2], p.v_uv_dsn[3], p.v_uv_dsn[4],
                                      p.v_uv_dsn[5], p.v_uv_dsn[6], p.v_uv_dsn[7], p.v_uv_dsn[8], p.v_uv_dsn[9]}));
    EXPECT_EQ(p.l_uv, 3);

    p.num_harms = 40;
    p.num_bands = 12;
    p.b_vec[1] = 1;
    v_uv_decode(&p);
    for (int l = 0; l < 56; ++l)
        EXPECT_EQ(p.v_uv_dsn[l], l >= 33 && l < 40 ? 1 : 0) << l;
    EXPECT_EQ(p.l_uv, 33);
}

} // namespace
