#include "imbe/AnalysisTables.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace halvane;
using namespace halvane::imbe;

namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(AnalysisTables, LowPassKeepsItsFixedTapsPassesOneKilohertzAndStopsThree)
{
    const Word16 given[] = {-94, -92, 185, 543, 288, -883, -1834, -495};
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(lpf_coef[k], given[k]) << k;
    double dc = 0, at1k = 0, at3k = 0;
    for (int k = 0; k < 21; ++k) {
        EXPECT_EQ(lpf_coef[k], lpf_coef[20 - k]) << k;
        dc += lpf_coef[k] / 32768.0;
        at1k += lpf_coef[k] / 32768.0 * std::cos(2 * kPi * 1000 / 8000 * (k - 10));
        at3k += lpf_coef[k] / 32768.0 * std::cos(2 * kPi * 3000 / 8000 * (k - 10));
    }
    EXPECT_NEAR(dc, 1.0, 0.01);
    EXPECT_GT(at1k, 0.9);
    EXPECT_LT(std::fabs(at3k), 0.01);
}

TEST(AnalysisTables, PitchWindowIsSymmetricAndNormalisedForTheErrorFunction)
{
    const Word16 given[] = {15, 18, 21, 25};
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(wi[k], given[k]) << k;
    double sum = 0, squares = 0;
    for (int k = 0; k < 301; ++k) {
        EXPECT_EQ(wi[k], wi[300 - k]) << k;
        if (k > 0 && k <= 150) {
            EXPECT_GE(wi[k], wi[k - 1]) << k;
        }
        sum += wi[k] / 32768.0;
        squares += (wi[k] / 32768.0) * (wi[k] / 32768.0);
    }
    // E(P) takes P/64 of the periodic sum and its D(P) falls by 100/32768 per index.
    EXPECT_NEAR(sum, 64.0, 0.01);
    EXPECT_NEAR(squares, 25.0, 0.01);
}

TEST(AnalysisTables, SpectrumWindowRisesBetweenItsFixedEnds)
{
    EXPECT_EQ(wr[0], 487);
    EXPECT_EQ(wr[109], 32760);
    for (int k = 1; k < 110; ++k)
        EXPECT_GT(wr[k], wr[k - 1]) << k;
}

TEST(AnalysisTables, WindowSpectrumIsTheTransformOfTheWindow)
{
    EXPECT_EQ(wr_sp[160], 32767);
    double centre = 1.0;
    for (int k = 0; k < 110; ++k)
        centre += 2 * wr[k] / 32768.0;
    for (int e = 0; e <= 320; ++e) {
        EXPECT_EQ(wr_sp[e], wr_sp[320 - e]) << e;
        const double bins = (e - 160) / static_cast<double>(wr_sp_steps_per_bin);
        double value = 1.0;
        for (int k = 0; k < 110; ++k)
            value += 2 * wr[k] / 32768.0 * std::cos(2 * kPi * bins * (110 - k) / 256);
        EXPECT_NEAR(wr_sp[e], 32767 * value / centre, 0.51) << e;
    }
}

TEST(AnalysisTables, TrackingRangesSpanPointEightToOnePointTwoTimesThePeriod)
{
    EXPECT_EQ(min_max_tbl[0], 0x0008);
    EXPECT_EQ(min_max_tbl[158], (118 << 8) | 198);
    auto period = [](int i) { return (i + 42) / 2.0; };
    for (int i = 0; i < 203; ++i) {
        const int low = min_max_tbl[i] >> 8, high = min_max_tbl[i] & 0xFF;
        EXPECT_LE(low, i);
        EXPECT_GE(high, i);
        EXPECT_LE(high, 202);
        EXPECT_GE(period(low), 0.8 * period(i) - 1e-9) << i;
        if (low > 0) {
            EXPECT_LT(period(low - 1), 0.8 * period(i) - 1e-9) << i;
        }
        EXPECT_LE(period(high), 1.2 * period(i) + 1e-9) << i;
        if (high < 202) {
            EXPECT_GT(period(high + 1), 1.2 * period(i) + 1e-9) << i;
        }
    }
}

} // namespace
