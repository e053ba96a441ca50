#include "ambe/AmbeDequantizer.h"
#include "ambe/AmbeQuantizer.h"
#include "ambe/AmbeTables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

namespace halvane {
namespace {

using Vector = std::array<std::int32_t, 9>;

// An analysed frame of the given period (samples) with a falling spectrum.
IMBE_PARAM analysed(double period, int voiced, double tilt = 0.9)
{
    IMBE_PARAM p;
    p.ref_pitch = static_cast<Word16>(period * 256.0);
    p.num_harms = static_cast<Word16>(std::floor(0.9254 * std::floor(period / 2.0 + 0.25)));
    for (int l = 0; l < 56; ++l) {
        p.v_uv_dsn[l] = static_cast<Word16>(voiced);
        p.sa[l] = static_cast<Word16>(6000.0 * std::pow(tilt, l) + 20.0);
    }
    return p;
}

struct Encoder {
    mbe_parameters cur{};
    mbe_parameters prev{};
    Encoder()
    {
        mbe_parameters scratch{};
        mbe_initMbeParms(&cur, &prev, &scratch);
    }
};

TEST(AmbeQuantizer, PitchPeriodOutsideTheTableWritesNothing)
{
    for (const double period : {19.0, 124.0}) {
        Encoder e;
        const Encoder before = e;
        Vector b;
        b.fill(-1);
        const IMBE_PARAM p = analysed(period, 1);
        EXPECT_FALSE(encode_ambe(&p, b, &e.cur, &e.prev, false, 0.0f));
        EXPECT_EQ(b, (Vector{-1, -1, -1, -1, -1, -1, -1, -1, -1}));
        EXPECT_EQ(std::memcmp(&e, &before, sizeof e), 0);
    }
    // A harmonic count no pitch index has.
    Encoder e;
    IMBE_PARAM p = analysed(40.0, 1);
    p.num_harms = 57;
    Vector b{};
    EXPECT_FALSE(encode_ambe(&p, b, &e.cur, &e.prev, true, 0.0f));
}

TEST(AmbeQuantizer, PitchIndexCarriesTheAnalysisHarmonicCount)
{
    // Matching the harmonic count moves the fundamental a little; more for D-STAR, whose
    // fundamentals for a harmonic count sit up to 6 % above the AMBE+2 ones.
    std::array<double, 2> worst{};
    for (double period = 19.875; period <= 123.0; period += 0.37) {
        for (const bool dstar : {false, true}) {
            Encoder e;
            const IMBE_PARAM p = analysed(period, 1);
            Vector b{};
            ASSERT_TRUE(encode_ambe(&p, b, &e.cur, &e.prev, dstar, 0.0f)) << period;
            EXPECT_EQ(AmbeLtable[b[0]], p.num_harms) << period;
            EXPECT_EQ(e.prev.num_harm, p.num_harms);
            const double deviation = std::abs(e.prev.fund * period / (2.0 * std::numbers::pi) - 1.0);
            worst[dstar] = std::max(worst[dstar], deviation);
        }
    }
    EXPECT_LT(worst[0], 0.07);
    EXPECT_LT(worst[1], 0.09);
}

TEST(AmbeQuantizer, DstarPitchLookupUsesTheDstarFundamentals)
{
    for (int i = 0; i < 827; ++i) {
        const double f0 = 8.0 / (i + 159);
        const int b0 = dstar_b0_lookup[i];
        for (int other = 0; other < 120; ++other)
            ASSERT_LE(std::abs(dstarF0(b0) - f0), std::abs(dstarF0(other) - f0) + 1e-9) << i;
    }
    EXPECT_EQ(dstar_b0_lookup[0], 0);
    EXPECT_EQ(dstar_b0_lookup[826], 119);
}

TEST(AmbeQuantizer, VoicingSearchTakesTheLowestOfEqualRows)
{
    Encoder e;
    Vector b{};
    IMBE_PARAM p = analysed(50.0, 1);
    ASSERT_TRUE(encode_ambe(&p, b, &e.cur, &e.prev, false, 0.0f));
    EXPECT_EQ(b[1], 0); // rows 0, 1 and 3 are all voiced
    p = analysed(50.0, 0);
    ASSERT_TRUE(encode_ambe(&p, b, &e.cur, &e.prev, false, 0.0f));
    EXPECT_EQ(b[1], 16); // rows 16..31 are all unvoiced
    ASSERT_TRUE(encode_ambe(&p, b, &e.cur, &e.prev, true, 0.0f));
    EXPECT_EQ(b[1], 0);
    p = analysed(50.0, 1);
    ASSERT_TRUE(encode_ambe(&p, b, &e.cur, &e.prev, true, 0.0f));
    EXPECT_EQ(b[1], 15);
}

TEST(AmbeQuantizer, CodebookSearchesTakeTheLowestOfEqualRows)
{
    std::vector<AmbeRow3> prba24(512, AmbeRow3{1.0f, 1.0f, 1.0f});
    std::vector<AmbeRow4> prba58(128, AmbeRow4{1.0f, 1.0f, 1.0f, 1.0f});
    std::vector<AmbeRow4> hoc(32, AmbeRow4{1.0f, 1.0f, 1.0f, 1.0f});
    prba24[9] = prba24[5] = {0.5f, 0.25f, 0.0f};
    prba58[77] = prba58[76] = {0.1f, 0.2f, 0.3f, 0.4f};
    hoc[3] = {9.0f, 9.0f, -2.0f, 5.0f};
    hoc[2] = {0.0f, 0.0f, -2.0f, 5.0f};
    const AmbeCodebooks books{prba24, prba58, {hoc, hoc, std::span(hoc).first(16), std::span(hoc).first(8)}};
    AmbeTargets t;
    t.b = {3, 4, 5};
    t.prba = {0.5f, 0.25f, 0.0f, 0.1f, 0.2f, 0.3f, 0.4f};
    t.hoc[0] = {0.0f, 0.0f, 0.0f, 0.0f};
    t.hoc[1] = {9.0f, 9.0f, 0.0f, 0.0f};
    t.hocColumns = {0, 2, 2, 1};
    Vector b{};
    ambeSearch(t, books, b);
    // Block 1 has no higher-order coefficients; block 2 matches row 3 on its two columns.
    EXPECT_EQ(b, (Vector{3, 4, 5, 5, 76, 0, 3, 2, 2}));
}

// Quantising a steady frame and dequantising it again gives back the analysed spectrum,
// a fixed level below it, within the quantiser's error.
TEST(AmbeQuantizer, DequantisedModelFollowsTheAnalysedSpectrum)
{
    for (const bool dstar : {false, true}) {
        for (const double tilt : {0.97, 0.9}) {
            Encoder e;
            const IMBE_PARAM p = analysed(44.0, 1, tilt);
            Vector b{};
            for (int frame = 0; frame < 10; ++frame)
                ASSERT_TRUE(encode_ambe(&p, b, &e.cur, &e.prev, dstar, 0.0f));

            mbe_parameters decoded{};
            mbe_parameters previous = e.cur;
            // The decoder's copy of the previous frame: the encoder's before this vector.
            Encoder again = e;
            ASSERT_TRUE(encode_ambe(&p, b, &again.cur, &again.prev, dstar, 0.0f));
            ASSERT_EQ(mbe_dequantizeAmbeParms(&decoded, &previous, b.data(), dstar), 0);
            double error = 0.0;
            for (int l = 1; l <= p.num_harms; ++l) {
                EXPECT_EQ(decoded.voiced[l], 1);
                const double d = decoded.log2_mag[l] - (std::log2(static_cast<double>(p.sa[l - 1])) - 4.0);
                error += d * d;
            }
            EXPECT_LT(std::sqrt(error / p.num_harms), 0.5) << dstar << ' ' << tilt;
            EXPECT_EQ(std::memcmp(decoded.log2_mag, again.prev.log2_mag, sizeof decoded.log2_mag), 0);
        }
    }
}

} // namespace
} // namespace halvane
