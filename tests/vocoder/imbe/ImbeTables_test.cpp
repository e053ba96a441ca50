#include "fixedpoint/BitAllocation.h"
#include "imbe/ImbeTables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

using namespace halvane;

namespace {

TEST(ImbeTables, GainLevelsKeepTheGivenEntriesAndAscend)
{
    EXPECT_EQ(gain_qnt_tbl[0], -5821);
    EXPECT_EQ(gain_qnt_tbl[1], -5518);
    EXPECT_EQ(gain_qnt_tbl[2], -5239);
    EXPECT_EQ(gain_qnt_tbl[62], 16640);
    EXPECT_EQ(gain_qnt_tbl[63], 17809);
    for (int i = 1; i < 64; ++i)
        EXPECT_LT(gain_qnt_tbl[i - 1], gain_qnt_tbl[i]) << i;
}

TEST(ImbeTables, GainStepsKeepTheGivenRowsAndFitTheQuantiser)
{
    EXPECT_EQ(gain_step_size_tbl[0], (std::array<Word16, 5>{203, 263, 220, 190, 173}));
    EXPECT_EQ(gain_step_size_tbl[47], (std::array<Word16, 5>{13206, 8562, 9359, 8077, 7353}));
    for (const auto& row : gain_step_size_tbl)
        for (Word16 step : row)
            EXPECT_GT(step, 0); // qnt_by_step needs 0 < step < 32768
}

TEST(ImbeTables, BlockLengthsFollowTheirRule)
{
    const auto row = [](Word16 L) {
        std::array<Word16, 6> j{};
        for (int i = 0; i < 6; ++i)
            j[i] = block_length(L, i);
        return j;
    };
    EXPECT_EQ(row(9), (std::array<Word16, 6>{1, 1, 1, 2, 2, 2}));
    EXPECT_EQ(row(10), (std::array<Word16, 6>{1, 1, 2, 2, 2, 2}));
    EXPECT_EQ(row(56), (std::array<Word16, 6>{9, 9, 9, 9, 10, 10}));
    for (Word16 L = 9; L <= 56; ++L) {
        const auto j = row(L);
        int sum = 0;
        for (int i = 0; i < 6; ++i) {
            sum += j[i];
            EXPECT_EQ(j[i], (L + i) / 6) << L;
        }
        EXPECT_EQ(sum, L);
        EXPECT_EQ(lmprbl_tbl[L - 9] >> 24, 0u);
    }
}

} // namespace
