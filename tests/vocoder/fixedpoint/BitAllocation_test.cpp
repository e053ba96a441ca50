#include "fixedpoint/BitAllocation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>

using namespace halvane;
using namespace halvane::fxp;

namespace {

int bandsFor(int L)
{
    return L > 36 ? 12 : (L + 2) / 3;
}

TEST(BitAllocation, GivenWordsAndRowStarts)
{
    EXPECT_EQ(bit_allocation_tbl[0], 0xA999);
    EXPECT_EQ(bit_allocation_tbl[1], 0x9987);
    EXPECT_EQ(get_bit_allocation_arr(9), bit_allocation_tbl.data());
    EXPECT_EQ(get_bit_allocation_arr(10), bit_allocation_tbl.data() + 2);
    EXPECT_EQ(get_bit_allocation_arr(13), bit_allocation_tbl.data() + 11);
    EXPECT_EQ(get_bit_allocation_arr(14), bit_allocation_tbl.data() + 14);
    EXPECT_EQ(get_bit_allocation_arr(56), bit_allocation_tbl.data() + 354 + 2 * 14);
    std::array<Word16, 59> bits{};
    get_bit_allocation(9, bits.data());
    EXPECT_EQ((std::array<Word16, 8>{10, 9, 9, 9, 9, 9, 8, 7}), (std::array<Word16, 8>{bits[0], bits[1], bits[2], bits[3], bits[4], bits[5], bits[6], bits[7]}));
}

// Every row must give the prioritised bit distribution exactly 73 - K bits, and its level
// scan must start at the largest allocation.
TEST(BitAllocation, EveryRowKeepsTheStructuralRules)
{
    for (Word16 L = 9; L <= 56; ++L) {
        std::array<Word16, 64> bits;
        bits.fill(-1);
        get_bit_allocation(L, bits.data());
        const int written = static_cast<int>(std::count_if(bits.begin(), bits.end(), [](Word16 b) { return b >= 0; }));
        EXPECT_GE(written, L - 1) << L;
        EXPECT_LE(written, L - 1 + 3) << L;
        EXPECT_EQ(std::accumulate(bits.begin(), bits.begin() + L - 1, 0), 73 - bandsFor(L)) << L;
        EXPECT_LE(*std::max_element(bits.begin(), bits.begin() + L - 1), 10) << L;
        for (int i = L - 1; i < written; ++i)
            EXPECT_EQ(bits[i], 0) << "padding of L = " << L;
        if (L == 11) {
            EXPECT_EQ(bits[5], 9);
            for (int i = 0; i < L - 1; ++i) {
                if (i != 5) {
                    EXPECT_LT(bits[i], 9) << i;
                }
            }
        } else {
            EXPECT_EQ(bits[0], *std::max_element(bits.begin(), bits.begin() + L - 1)) << L;
        }
    }
}

TEST(BitAllocation, HarmonicCountsOutsideTheRangeAreClamped)
{
    EXPECT_EQ(get_bit_allocation_arr(0), get_bit_allocation_arr(9));
    EXPECT_EQ(get_bit_allocation_arr(-5), get_bit_allocation_arr(9));
    EXPECT_EQ(get_bit_allocation_arr(300), get_bit_allocation_arr(56));
}

} // namespace
