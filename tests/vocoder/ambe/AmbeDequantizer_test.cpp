#include "ambe/AmbeDequantizer.h"
#include "ambe/AmbeTables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <cstring>

namespace halvane {
namespace {

using Vector = std::array<int, 9>;

struct Records {
    mbe_parameters cur{};
    mbe_parameters prev{};

    int dequantize(const Vector& b, bool dstar)
    {
        return dstar ? mbe_dequantizeAmbe2400Parms(&cur, &prev, b.data())
                     : mbe_dequantizeAmbe2250Parms(&cur, &prev, b.data());
    }
};

float meanLog2(const mbe_parameters& p)
{
    float sum = 0.0f;
    for (int l = 1; l <= p.num_harm; ++l)
        sum += p.log2_mag[l];
    return sum / static_cast<float>(p.num_harm);
}

TEST(AmbeDequantizer, PitchIndexGivesFundamentalAndHarmonicCount)
{
    Records r;
    ASSERT_EQ(r.dequantize({0, 0, 10, 0, 0, 0, 0, 0, 0}, false), 0);
    EXPECT_FLOAT_EQ(r.cur.fund, 2.0f * std::numbers::pi_v<float> * 0.049971f);
    EXPECT_EQ(r.cur.num_harm, 9);
    ASSERT_EQ(r.dequantize({119, 0, 10, 0, 0, 0, 0, 0, 0}, true), 0);
    EXPECT_EQ(r.cur.num_harm, 56);
    EXPECT_NEAR(r.cur.fund, 2.0f * std::numbers::pi_v<float> * dstarF0(119), 1e-6f);
}

TEST(AmbeDequantizer, FirstFrameFromZeroRecordsSitsAtTheSentGain)
{
    // With nothing to predict from, the mean log magnitude is the gain less half log2 L.
    for (const bool dstar : {false, true}) {
        Records r;
        ASSERT_EQ(r.dequantize({40, 0, 20, 7, 3, 1, 2, 3, 4}, dstar), 0);
        const float gain = dstar ? AmbePlusDg[20] : AmbeDg[20];
        EXPECT_FLOAT_EQ(r.cur.gain, gain);
        EXPECT_NEAR(meanLog2(r.cur), gain - 0.5f * std::log2(static_cast<float>(r.cur.num_harm)), 1e-4f) << dstar;
    }
}

TEST(AmbeDequantizer, GainIsAStepFromHalfThePreviousGain)
{
    Records r;
    r.prev.gain = 4.0f;
    r.dequantize({30, 0, 5, 0, 0, 0, 0, 0, 0}, false);
    EXPECT_FLOAT_EQ(r.cur.gain, 2.0f + AmbeDg[5]);
    r.dequantize({30, 0, 5, 0, 0, 0, 0, 0, 0}, true);
    EXPECT_FLOAT_EQ(r.cur.gain, 2.0f + AmbePlusDg[5]);
}

TEST(AmbeDequantizer, UnvoicedHarmonicsAreScaledByTheNoiseFactor)
{
    Records voiced;
    Records unvoiced;
    voiced.dequantize({25, 0, 12, 100, 50, 3, 4, 5, 6}, false);
    unvoiced.dequantize({25, 16, 12, 100, 50, 3, 4, 5, 6}, false);
    const float u = 0.2046f / std::sqrt(voiced.cur.fund);
    for (int l = 1; l <= voiced.cur.num_harm; ++l) {
        EXPECT_EQ(voiced.cur.voiced[l], 1);
        EXPECT_EQ(unvoiced.cur.voiced[l], 0);
        EXPECT_FLOAT_EQ(voiced.cur.log2_mag[l], unvoiced.cur.log2_mag[l]);
        EXPECT_FLOAT_EQ(voiced.cur.mag[l], std::exp(0.693f * voiced.cur.log2_mag[l]));
        EXPECT_NEAR(unvoiced.cur.mag[l], u * voiced.cur.mag[l], 1e-5f * voiced.cur.mag[l]);
    }
}

TEST(AmbeDequantizer, RisingHarmonicCountExtendsThePreviousFrame)
{
    Records r;
    r.prev.num_harm = 12;
    for (int l = 1; l <= 12; ++l) {
        r.prev.log2_mag[l] = static_cast<float>(l);
        r.prev.mag[l] = static_cast<float>(10 * l);
    }
    const int b0 = 51; // L = 20
    ASSERT_EQ(AmbeLtable[b0], 20.0f);
    r.dequantize({b0, 0, 12, 0, 0, 0, 0, 0, 0}, false);
    for (int l = 13; l <= 20; ++l) {
        EXPECT_EQ(r.prev.log2_mag[l], 12.0f);
        EXPECT_EQ(r.prev.mag[l], 120.0f);
    }
    EXPECT_EQ(r.prev.log2_mag[0], 1.0f);
    EXPECT_EQ(r.prev.log2_mag[21], 0.0f);
}

TEST(AmbeDequantizer, ToneAndErasureIndexesChangeNothing)
{
    for (int b0 = 120; b0 < 128; ++b0) {
        Records r;
        r.prev.num_harm = 20;
        r.prev.gain = 3.0f;
        r.cur.num_harm = 33;
        const Records before = r;
        EXPECT_EQ(r.dequantize({b0, 1, 2, 3, 4, 5, 6, 7, 0}, false), 1);
        EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0) << b0;
    }
}

} // namespace
} // namespace halvane
