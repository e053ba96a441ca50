#include "AmbeFrame.h"
#include "BitPatterns.h"
#include "DstarFrame.h"
#include "Golay.h"
#include "Scrambler.h"
#include "p25p2_vf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace halvane {

namespace {

using Params = std::array<std::int32_t, 9>;

std::array<std::uint8_t, 36> vcw(const Params& b)
{
    std::array<std::uint8_t, 36> out{};
    p25p2_vf::encode_vcw(out, b);
    return out;
}

Params processed(const std::array<std::uint8_t, 36>& in)
{
    Params b{};
    p25p2_vf::process_vcw(in, b);
    return b;
}

std::array<std::uint8_t, 72> dstar(const Params& b, bool alt)
{
    std::array<std::uint8_t, 72> out{};
    p25p2_vf::encode_dstar(out, b, alt);
    return out;
}

Params decodedDstar(const std::array<std::uint8_t, 72>& in, bool alt)
{
    Params b{};
    p25p2_vf::decode_dstar(in, b, alt);
    return b;
}

// Every value of every field, each against backgrounds of zeros, of maximal fields and of
// random fields.
template <typename RoundTrip>
void forEveryFieldValue(const std::array<int, 9>& widths, RoundTrip roundTrip)
{
    std::mt19937 rng(9);
    for (std::size_t f = 0; f < widths.size(); ++f)
        for (std::int32_t v = 0; v < (1 << widths[f]); ++v)
            for (int background = 0; background < 4; ++background) {
                Params b{};
                for (std::size_t i = 0; i < b.size(); ++i) {
                    const auto max = static_cast<std::uint32_t>((1 << widths[i]) - 1);
                    b[i] = static_cast<std::int32_t>(background == 0 ? 0 : background == 1 ? max : rng() & max);
                }
                b[f] = v;
                roundTrip(b);
            }
}

TEST(P25p2Vf, VcwRoundTripsEveryFieldValue)
{
    forEveryFieldValue(ambe2_b_lengths, [](const Params& b) { ASSERT_EQ(processed(vcw(b)), b); });
    // Only the bits within each width are sent.
    EXPECT_EQ(vcw(Params{-1, -1, -1, -1, -1, -1, -1, -1, -1}), vcw(Params{127, 31, 31, 511, 127, 31, 15, 15, 7}));
}

TEST(P25p2Vf, AllZeroVectorScramblesU1Only)
{
    std::uint32_t u0 = 1, u1 = 0, u2 = 1, u3 = 1;
    p25p2_vf::extract_vcw(vcw(Params{}), u0, u1, u2, u3);
    EXPECT_EQ(u0, 0u);
    EXPECT_EQ(u1, pr_n[0] >> 1);
    EXPECT_NE(u1, 0u);
    EXPECT_EQ(u2, 0u);
    EXPECT_EQ(u3, 0u);
    EXPECT_NE(processed(std::array<std::uint8_t, 36>{}), Params{});
}

TEST(P25p2Vf, DstarRoundTripsEveryFieldValueInBothOrders)
{
    for (const bool alt : {true, false})
        forEveryFieldValue(b_lengths, [alt](const Params& b) {
            const auto bits = dstar(b, alt);
            ASSERT_TRUE(std::all_of(bits.begin(), bits.end(), [](std::uint8_t bit) { return bit <= 1; }));
            ASSERT_EQ(decodedDstar(bits, alt), b) << alt;
        });
}

TEST(P25p2Vf, DstarTablesArePermutations)
{
    auto isPermutation = [](auto list) {
        std::sort(list.begin(), list.end());
        for (std::size_t i = 0; i < list.size(); ++i)
            if (list[i] != i)
                return false;
        return true;
    };
    EXPECT_TRUE(isPermutation(m_list));
    EXPECT_TRUE(isPermutation(d_list));
    EXPECT_TRUE(isPermutation(alt_d_list));
    EXPECT_EQ(alt_d_list[1], 12);
    EXPECT_EQ(alt_d_list[6], 1);
    EXPECT_EQ(alt_d_list[71], 71);
}

// With all parameters zero only the scrambling word of the second codeword is on the
// channel, so where its bits land shows the channel order.
TEST(P25p2Vf, DstarScramblesTheSecondCodewordInChannelOrder)
{
    const auto standard = dstar(Params{}, false);
    const auto alternative = dstar(Params{}, true);
    for (std::size_t j = 0; j < 72; ++j) {
        const std::uint8_t expected = j >= 24 && j < 48 ? (pr_n[0] >> (47 - j)) & 1u : 0;
        EXPECT_EQ(standard[d_list[j]], expected) << j;
        EXPECT_EQ(alternative[j % 12 * 6 + j / 12], expected) << j;
    }
}

TEST(P25p2Vf, DstarCorrectsUpToThreeErrorsPerCodewordAndReadsAnyNonZeroByteAsOne)
{
    const Params b{101, 9, 45, 300, 77, 3, 12, 5, 6};
    for (const bool alt : {true, false}) {
        const auto sent = dstar(b, alt);
        for (const std::uint32_t e : patternsOfWeight(24, 1, 3))
            for (const std::size_t first : {0u, 24u}) {
                auto bits = sent;
                for (std::size_t j = 0; j < 24; ++j) {
                    if (((e >> j) & 1u) != 0) {
                        const std::size_t r = first + j;
                        const std::size_t channel = alt ? r % 12 * 6 + r / 12 : d_list[r];
                        bits[channel] ^= 1;
                    }
                }
                ASSERT_EQ(decodedDstar(bits, alt), b) << alt << ' ' << first << std::hex << ' ' << e;
            }
        auto loud = sent;
        for (auto& bit : loud)
            bit = static_cast<std::uint8_t>(bit * 0xA5);
        EXPECT_EQ(decodedDstar(loud, alt), b);
    }
}

} // namespace

} // namespace halvane
