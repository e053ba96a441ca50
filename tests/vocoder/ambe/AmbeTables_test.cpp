#include "ambe/AmbeCodebooks.h"
#include "ambe/AmbeTables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

namespace halvane {
namespace {

TEST(AmbeTables, HarmonicCountsFollowTheirRuns)
{
    EXPECT_FLOAT_EQ(AmbeW0table[0], 0.049971f);
    // Boundaries of a few runs: 9 x 6, 10 x 6, ..., 35 x 1, ..., 56 x 2.
    EXPECT_EQ(AmbeLtable[0], 9.0f);
    EXPECT_EQ(AmbeLtable[5], 9.0f);
    EXPECT_EQ(AmbeLtable[6], 10.0f);
    EXPECT_EQ(AmbeLtable[17], 11.0f);
    EXPECT_EQ(AmbeLtable[18], 12.0f);
    EXPECT_EQ(AmbeLtable[117], 55.0f);
    EXPECT_EQ(AmbeLtable[118], 56.0f);
    EXPECT_EQ(AmbeLtable[119], 56.0f);
    for (std::size_t b0 = 1; b0 < AmbeLtable.size(); ++b0) {
        EXPECT_GE(AmbeLtable[b0], AmbeLtable[b0 - 1]);
        EXPECT_LE(AmbeLtable[b0] - AmbeLtable[b0 - 1], 1.0f);
        EXPECT_LT(AmbeW0table[b0], AmbeW0table[b0 - 1]);
    }
    for (std::size_t b0 = 0; b0 < 120; ++b0)
        EXPECT_EQ(AmbePlusLtable[b0], AmbeLtable[b0]);
    for (std::size_t b0 = 120; b0 < 126; ++b0)
        EXPECT_EQ(AmbePlusLtable[b0], 56.0f);
    EXPECT_EQ(AmbePlusLtable[126], 0.0f);
    EXPECT_EQ(AmbePlusLtable[127], 0.0f);
}

TEST(AmbeTables, BlockLengthsAddUpToTheHarmonicCount)
{
    for (int L = 9; L <= 56; ++L) {
        const auto& J = AmbeLmprbl[L];
        EXPECT_EQ(std::accumulate(J.begin(), J.end(), 0), L) << L;
        EXPECT_TRUE(J[0] <= J[1] && J[1] <= J[2] && J[2] <= J[3]) << L;
    }
    EXPECT_EQ(AmbeLmprbl[9], (std::array<int, 4>{2, 2, 2, 3}));
    EXPECT_EQ(AmbeLmprbl[36], (std::array<int, 4>{7, 8, 10, 11}));
    EXPECT_EQ(AmbeLmprbl[56], (std::array<int, 4>{11, 13, 15, 17}));
    EXPECT_EQ(AmbeLmprbl[8], (std::array<int, 4>{0, 0, 0, 0}));
    EXPECT_EQ(AmbeLmprbl[57], (std::array<int, 4>{0, 0, 0, 0}));
}

TEST(AmbeTables, VoicingRows)
{
    EXPECT_EQ(AmbeVuv[2], (std::array<int, 8>{1, 1, 1, 1, 1, 1, 1, 0}));
    EXPECT_EQ(AmbeVuv[11], (std::array<int, 8>{1, 1, 1, 0, 0, 0, 0, 1}));
    EXPECT_EQ(AmbeVuv[14], (std::array<int, 8>{1, 0, 0, 0, 0, 0, 0, 0}));
    for (int r = 16; r < 32; ++r)
        EXPECT_EQ(AmbeVuv[r], (std::array<int, 8>{}));
    EXPECT_EQ(AmbePlusVuv[1], (std::array<int, 8>{0, 0, 0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(AmbePlusVuv[5], (std::array<int, 8>{0, 0, 1, 1, 0, 0, 1, 1}));
    EXPECT_EQ(AmbePlusVuv[15], (std::array<int, 8>{1, 1, 1, 1, 1, 1, 1, 1}));
}

TEST(AmbeTables, GainStepsAndDstarFundamentals)
{
    EXPECT_FLOAT_EQ(AmbeDg[0], -2.0f);
    EXPECT_FLOAT_EQ(AmbeDg[31], 6.874496f);
    EXPECT_FLOAT_EQ(AmbePlusDg[1], 0.1182f);
    EXPECT_FLOAT_EQ(AmbePlusDg[62], 5.352783f);
    EXPECT_FLOAT_EQ(AmbePlusDg[63], 5.352783f);
    // The D-STAR fundamentals are a geometric series.
    EXPECT_NEAR(dstarF0(0), 0.04998f, 1e-5f);
    EXPECT_NEAR(dstarF0(1) / dstarF0(0), std::exp2(-0.021336f), 1e-6f);
}

TEST(AmbeTables, PitchLookupTakesTheNearestFundamental)
{
    const std::array<int, 12> start{0, 0, 0, 1, 1, 2, 2, 2, 3, 3, 4, 4};
    for (std::size_t i = 0; i < start.size(); ++i)
        EXPECT_EQ(b0_lookup[i], start[i]) << i;
    for (std::size_t i = 820; i <= 826; ++i)
        EXPECT_EQ(b0_lookup[i], 119) << i;
    EXPECT_EQ(b0_lookup[827], 0);
    for (std::size_t i = 1; i < 827; ++i)
        EXPECT_GE(b0_lookup[i], b0_lookup[i - 1]) << i;
}

TEST(AmbeCodebooks, RowsFixedByTheFrameFormat)
{
    EXPECT_EQ(AmbePRBA24[0], (AmbeRow3{0.526055f, -0.328567f, -0.304727f}));
    EXPECT_EQ(AmbePRBA24[511], (AmbeRow3{-0.410922f, 0.562454f, 0.543891f}));
    EXPECT_EQ(AmbePRBA58[0], (AmbeRow4{-0.10366f, 0.094597f, -0.013149f, 0.081501f}));
    EXPECT_EQ(AmbeHOCb5[0], (AmbeRow4{0.264108f, 0.045976f, -0.200999f, -0.122344f}));
    EXPECT_EQ(AmbePlusPRBA24[0], (AmbeRow3{-1.25f, -0.3125f, -0.625f}));
}

TEST(AmbeCodebooks, EachFieldAddressesExactlyItsRows)
{
    const AmbeCodebooks& ambe2 = ambeCodebooks(false);
    const AmbeCodebooks& dstar = ambeCodebooks(true);
    EXPECT_EQ(ambe2.prba24.size(), 512u);
    EXPECT_EQ(ambe2.prba58.size(), 128u);
    EXPECT_EQ(ambe2.hoc[0].size(), 32u);
    EXPECT_EQ(ambe2.hoc[3].size(), 8u);
    EXPECT_EQ(dstar.hoc[0].size(), 16u);
    EXPECT_EQ(dstar.hoc[3].size(), 8u);
    EXPECT_EQ(dstar.prba24.data(), AmbePlusPRBA24.data());
}

} // namespace
} // namespace halvane
