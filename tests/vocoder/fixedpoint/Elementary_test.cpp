#include "fixedpoint/Elementary.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>

using namespace halvane;
using namespace halvane::fxp;

namespace {

long nearest(double v)
{
    return std::lround(v);
}

TEST(ElementaryTables, FollowTheirRules)
{
    const std::array<Word16, 33> givenLog{0,     1455,  2866,  4236,  5568,  6863,  8124,  9352,  10549,
                                          11716, 12855, 13967, 15054, 16117, 17156, 18172, 19167, 20142,
                                          21097, 22033, 22951, 23852, 24735, 25603, 26455, 27291, 28113,
                                          28922, 29716, 30497, 31266, 32023, 32767};
    EXPECT_EQ(log_table, givenLog);
    for (int i = 0; i < 33; ++i)
        EXPECT_EQ(log_table[i], nearest(32767 * std::log2(1 + i / 32.0))) << i;
    for (int i = 0; i < 48; ++i)
        EXPECT_EQ(sqrt_table[i], nearest(32768 * std::sqrt((i + 16) / 64.0))) << i;
    EXPECT_EQ(sqrt_table[48], 32767);
    for (int i = 1; i < 129; ++i)
        EXPECT_EQ(cos_table[i], nearest(32768 * std::cos(M_PI * i / 256))) << i;
    EXPECT_EQ(cos_table[0], 32767);
    EXPECT_EQ(cos_table[128], 0);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(pow2_table[i], nearest(16384 * std::exp2(i / 32.0))) << i;
    EXPECT_EQ(pow2_table[32], 32767);
}

TEST(Log2, KnownAnswers)
{
    EXPECT_EQ(Log2(4), 0);
    EXPECT_EQ(Log2(8), 1 << 22);
    EXPECT_EQ(Log2(1), -2 * (1 << 22));
    EXPECT_EQ(Log2(0), 0);
    EXPECT_EQ(Log2(-5), 0);
    EXPECT_NEAR(Log2(32767) / 4194304.0, std::log2(32767.0) - 2, 1e-4);
}

// The linear interpolation in the log table underestimates the logarithm by up to 1.8e-4
// (in log2 units), so the round trip is exact within one unit up to 8542 and within 1e-4
// relative above.
TEST(Log2, PowerInvertsTheLogarithm)
{
    Word32 previous = Log2(1) - 1;
    for (int x = 1; x <= 32767; ++x) {
        const Word32 l = Log2(static_cast<Word16>(x));
        ASSERT_GT(l, previous) << x;
        previous = l;
        ASSERT_LE(std::abs(Pow2(l) - x), x <= 8542 ? 1 : 1 + (x + 9999) / 10000) << x;
        ASSERT_NEAR(l / 4194304.0, std::log2(x) - 2, 2e-4) << x;
    }
}

TEST(Pow2, MatchesTheExponentialAndSaturates)
{
    EXPECT_EQ(Pow2(0), 4);
    EXPECT_EQ(Pow2(1 << 22), 8);
    EXPECT_EQ(Pow2(-(1 << 22)), 2);
    EXPECT_EQ(Pow2(-2 * (1 << 22)), 1);
    EXPECT_EQ(Pow2(MAX_32), 32767);
    EXPECT_EQ(Pow2(13 << 22), 32767);
    EXPECT_EQ(Pow2(MIN_32), 0);
    EXPECT_EQ(Pow2(-10 << 22), 0);
    for (Word32 x = -(3 << 22); x < (11 << 22); x += 4099) {
        const double expected = std::exp2(x / 4194304.0 + 2);
        ASSERT_NEAR(Pow2(x), std::min(expected, 32767.0), 1 + expected * 2e-4) << x;
    }
}

TEST(SqrtLExp, MatchesTheSquareRootWithItsExponent)
{
    Word16 e = 5;
    EXPECT_EQ(sqrt_l_exp(0, &e), 0);
    EXPECT_EQ(e, 0);
    e = 5;
    EXPECT_EQ(sqrt_l_exp(-7, &e), 0);
    EXPECT_EQ(e, 0);
    for (int n = 0; n < 31; ++n) {
        for (const Word32 x : {Word32{1} << n, (Word32{1} << n) + (Word32{1} << n) / 3}) {
            const Word32 r = sqrt_l_exp(x, &e);
            ASSERT_EQ(e, norm_l(x) / 2) << x;
            const double root = std::sqrt(static_cast<double>(x));
            ASSERT_NEAR(r * std::exp2(-(15.5 + e)), root, root * 3e-4) << x;
        }
    }
}

TEST(CosFxp, IsSymmetricAndAccurate)
{
    EXPECT_EQ(cos_fxp(0), 32767);
    EXPECT_EQ(cos_fxp(16384), 0);
    EXPECT_EQ(cos_fxp(-16384), 0);
    EXPECT_EQ(cos_fxp(32767), -32767);
    EXPECT_EQ(cos_fxp(-32768), -32767);
    EXPECT_EQ(cos_fxp_tab(-32768), cos_fxp(-32768));
    EXPECT_EQ(sin_fxp(16384), 32767);
    EXPECT_EQ(sin_fxp(-16384), -32767);
    EXPECT_EQ(sin_fxp(0), 0);
    for (int x = -32767; x <= 32767; ++x) {
        const auto x16 = static_cast<Word16>(x);
        ASSERT_EQ(cos_fxp_tab(x16), cos_fxp(x16)) << x;
        ASSERT_EQ(cos_fxp(x16), cos_fxp(static_cast<Word16>(-x))) << x;
        ASSERT_EQ(sin_fxp(x16), -sin_fxp(static_cast<Word16>(-x))) << x;
        ASSERT_NEAR(cos_fxp(x16), 32768 * std::cos(M_PI * x / 32768), 4) << x;
        ASSERT_NEAR(sin_fxp(x16), 32768 * std::sin(M_PI * x / 32768), 4) << x;
    }
}

TEST(LMpyLs, MultipliesQ31ByQ15)
{
    EXPECT_EQ(L_mpy_ls(1 << 30, 16384), 1 << 29);
    EXPECT_EQ(L_mpy_ls(MIN_32, -32768), MAX_32);
    EXPECT_EQ(L_mpy_ls(-(1 << 30), 16384), -(1 << 29));
    EXPECT_NEAR(L_mpy_ls(123456789, -12345), 123456789.0 * -12345 / 32768, 2.0);
    EXPECT_NEAR(L_mpy_ls(MAX_32, 32767), MAX_32 * (32767 / 32768.0), 2.0);
}

} // namespace
