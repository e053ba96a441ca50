#include "Golay.h"
#include "Scrambler.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>

namespace halvane {

namespace {

// The scrambling congruence stepped one term at a time.
std::uint32_t steppedScramblingWord(std::uint32_t seed)
{
    std::uint32_t p = 16 * seed, word = 0;
    for (int i = 1; i <= 24; ++i) {
        p = (173 * p + 13849) % 65536;
        word = (word << 1) | (p >> 15);
    }
    return word;
}

TEST(Golay, EncodersMatchTheGeneratorRowsAndEachOther)
{
    const std::array<std::uint32_t, 12> rows{0x800C75, 0x40063B, 0x200F68, 0x1007B4, 0x0803DA, 0x040D99,
                                             0x0206CD, 0x010367, 0x008DC6, 0x004A97, 0x00293E, 0x0018EB};
    const std::array<std::uint32_t, 12> checkRows{0x63A, 0x31D, 0x7B4, 0x3DA, 0x1ED, 0x6CC,
                                                  0x366, 0x1B3, 0x6E3, 0x54B, 0x49F, 0x475};
    for (std::size_t j = 0; j < rows.size(); ++j) {
        EXPECT_EQ(golay_24_encode(0x800u >> j), rows[j]) << j;
        EXPECT_EQ(golay_23_encode(0x800u >> j) & 0x7FF, checkRows[j]) << j;
    }
    for (std::uint32_t d = 0; d < 4096; ++d) {
        const std::uint32_t cw = golay_24_encode(d);
        ASSERT_EQ(golay_23_encode(d), cw >> 1) << d;
        ASSERT_EQ(cw >> 12, d);
        ASSERT_EQ(std::popcount(cw) % 2, 0) << d;
        ASSERT_EQ(gly23127GetSyn(cw >> 1), 0u) << d;
    }
}

TEST(Golay, DecoderTablesHoldTheMinimumWeightPatterns)
{
    EXPECT_EQ(gly23127DecTbl[0], 0u);
    EXPECT_EQ(gly23127DecTbl[1], 0x1u);
    EXPECT_EQ(gly23127DecTbl[0x475], 0x801u);
    EXPECT_EQ(gly23127DecTbl[0x63A], 0x400001u);
    EXPECT_EQ(golayMatrix[1], 0u);
    EXPECT_EQ(golayMatrix[0x475], 0x1u);
    EXPECT_EQ(golayMatrix[0x63A], 0x800u);
}

TEST(Golay, AllDecodersAgreeOnEveryWord)
{
    std::uint32_t disagreements = 0;
    for (std::uint32_t w = 0; w < (1u << 23); ++w) {
        auto block = static_cast<std::int32_t>(w);
        mbe_checkGolayBlock(&block);
        const std::uint32_t data = gly23127Dec(w);
        if (static_cast<std::uint32_t>(block) != data || gly24128Dec((w << 1) | (w & 1)) != data)
            ++disagreements;
    }
    EXPECT_EQ(disagreements, 0u);
}

TEST(Golay, BitsAboveTheWordAreIgnored)
{
    for (const std::uint32_t w : {0x000000u, 0x000475u, 0x7FFFFFu, 0x2A5A5Au}) {
        EXPECT_EQ(gly23127GetSyn(w | 0xFF800000u), gly23127GetSyn(w));
        EXPECT_EQ(gly23127Dec(w | 0xFF800000u), gly23127Dec(w));
        EXPECT_EQ(gly24128Dec((w << 1) | 0xFF000000u), gly23127Dec(w));
        auto block = static_cast<std::int32_t>(w | 0x80000000u);
        mbe_checkGolayBlock(&block);
        EXPECT_EQ(static_cast<std::uint32_t>(block), gly23127Dec(w));
    }
    EXPECT_EQ(golay_24_encode(0xF5A3), golay_24_encode(0x5A3));
    EXPECT_EQ(golay_23_encode(0xF5A3), golay_23_encode(0x5A3));
    mbe_checkGolayBlock(nullptr);
}

TEST(Scrambler, TableHoldsTheGeneratorOutputForEverySeed)
{
    EXPECT_EQ(pr_n[0], 0x42CC47u);
    EXPECT_EQ(pr_n[1], 0x19D6FEu);
    EXPECT_EQ(pr_n[2], 0x304729u);
    for (std::uint32_t seed = 0; seed < 4096; ++seed) {
        ASSERT_EQ(pr_n[seed], steppedScramblingWord(seed)) << seed;
        ASSERT_EQ(scramblingBits(seed, 23), pr_n[seed] >> 1) << seed;
        ASSERT_EQ(scramblingBits(seed | 0xF000, 23), pr_n[seed] >> 1) << seed;
    }
}

} // namespace

} // namespace halvane
