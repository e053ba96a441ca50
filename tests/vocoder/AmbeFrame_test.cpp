#include "AmbeFrame.h"
#include "BitPatterns.h"
#include "Scrambler.h"
#include "p25p2_vf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>

namespace halvane {

namespace {

using Frame49 = std::array<std::uint8_t, 7>;
using Frame72 = std::array<std::uint8_t, 9>;

constexpr std::array<int, 4> vectorWidths{24, 23, 11, 14};

Frame49 frame49(std::uint64_t c0, std::uint64_t c1, std::uint64_t c2, std::uint64_t c3)
{
    const std::uint64_t v = (c0 << 37) | (c1 << 25) | (c2 << 14) | c3;
    Frame49 f{};
    for (std::size_t k = 0; k < 6; ++k)
        f[k] = static_cast<std::uint8_t>(v >> (41 - 8 * k));
    f[6] = (v & 1) != 0 ? 0x80 : 0x00;
    return f;
}

std::uint32_t c0Of(const Frame49& f) { return (f[0] << 4) | (f[1] >> 4); }
std::uint32_t c1Of(const Frame49& f) { return ((f[1] & 0xFu) << 8) | f[2]; }

Frame72 to72(const Frame49& in)
{
    Frame72 out{};
    convert49BitAmbeTo72Bit(in, out);
    return out;
}

Frame49 to49(const Frame72& in)
{
    Frame49 out{};
    convert72BitAmbeTo49Bit(in, out);
    return out;
}

// Channel bit (0..71) that carries each bit of each codeword.
std::array<std::array<int, 24>, 4> channelPositions()
{
    std::array<std::array<int, 24>, 4> pos{};
    for (auto& v : pos)
        v.fill(-1);
    for (int i = 0; i < 36; ++i) {
        pos[rW[i]][rX[i]] = 2 * i;
        pos[rY[i]][rZ[i]] = 2 * i + 1;
    }
    return pos;
}

// Flips the bits of codeword `vector` that are set in `pattern`.
Frame72 corrupt(Frame72 f, int vector, std::uint32_t pattern)
{
    static const auto pos = channelPositions();
    for (int bit = 0; bit < vectorWidths[vector]; ++bit)
        if ((pattern >> bit) & 1u)
            f[pos[vector][bit] / 8] ^= static_cast<std::uint8_t>(0x80 >> (pos[vector][bit] % 8));
    return f;
}

// Read as one 72-bit sequence u0 u1 u2 u3 (each most significant bit first), the channel
// carries bits 0..17 and 18..35 of it in the high and low bits of the even dibits and bits
// 36..53 and 54..71 in those of the odd dibits.
TEST(AmbeFrame, InterleaveSplitsTheCodewordSequenceOverEvenAndOddDibits)
{
    std::mt19937 rng(72);
    for (int n = 0; n < 100; ++n) {
        std::array<std::uint32_t, 4> u{};
        for (int v = 0; v < 4; ++v)
            u[v] = static_cast<std::uint32_t>(rng()) & ((1u << vectorWidths[v]) - 1);
        std::array<int, 72> sequence{};
        std::size_t next = 0;
        for (int v = 0; v < 4; ++v)
            for (int bit = vectorWidths[v] - 1; bit >= 0; --bit)
                sequence[next++] = static_cast<int>((u[v] >> bit) & 1u);
        std::array<std::uint8_t, 36> dibits{};
        p25p2_vf::interleave_vcw(dibits, u[0], u[1], u[2], u[3]);
        for (int i = 0; i < 36; ++i) {
            const int base = (i % 2) * 36 + i / 2;
            ASSERT_EQ(dibits[i] >> 1, sequence[base]) << i;
            ASSERT_EQ(dibits[i] & 1, sequence[base + 18]) << i;
        }
    }
}

TEST(AmbeFrame, BitsAreReadMostSignificantFirstAndAnyByteSixSetsD48)
{
    std::array<std::uint8_t, 49> bits{};
    bytesToBits(Frame49{0x80, 0x40, 0, 0, 0, 0x01, 0x00}, bits);
    for (std::size_t k = 0; k < bits.size(); ++k)
        EXPECT_EQ(bits[k], k == 0 || k == 9 || k == 47 ? 1 : 0) << k;
    for (const std::uint8_t byte6 : {0x01, 0x80, 0xFF}) {
        bytesToBits(Frame49{0, 0, 0, 0, 0, 0, byte6}, bits);
        EXPECT_EQ(bits[48], 1);
        Frame49 back{};
        bitsToBytes(bits, back);
        EXPECT_EQ(back, (Frame49{0, 0, 0, 0, 0, 0, 0x80}));
    }
    EXPECT_EQ(to49(to72(Frame49{1, 2, 3, 4, 5, 6, 0x01})), (Frame49{1, 2, 3, 4, 5, 6, 0x80}));
}

TEST(AmbeFrame, UpToThreeErrorsInU0AndInU1AreCorrected)
{
    for (const Frame49& sent : {frame49(0x5A3, 0x9C1, 0x2AA, 0x1555), frame49(0, 0, 0, 0)}) {
        const Frame72 channel = to72(sent);
        for (const int vector : {0, 1})
            for (const std::uint32_t e : patternsOfWeight(vectorWidths[vector], 1, 3))
                ASSERT_EQ(to49(corrupt(channel, vector, e)), sent) << vector << std::hex << ' ' << e;
    }
}

TEST(AmbeFrame, ErrorsInU2AndU3PassThroughUncorrected)
{
    const Frame49 sent = frame49(0x5A3, 0x9C1, 0x2AA, 0x1555);
    std::array<std::uint8_t, 49> sentBits{};
    bytesToBits(sent, sentBits);
    for (const int vector : {2, 3})
        for (int bit = 0; bit < vectorWidths[vector]; ++bit) {
            std::array<std::uint8_t, 49> bits{};
            bytesToBits(to49(corrupt(to72(sent), vector, 1u << bit)), bits);
            const int flipped = (vector == 2 ? 34 : 48) - bit;
            for (int k = 0; k < 49; ++k)
                ASSERT_EQ(bits[k] != sentBits[k], k == flipped) << vector << ' ' << bit << ' ' << k;
        }
}

// Four errors in a codeword always yield wrong data. A miscorrected C0 also seeds the wrong
// descrambling word, which spoils C1 unless the two scrambling words differ in three bits or
// fewer: never for C0 = 0x5A3, but for C0 = 0x05A one wrong C0 is that close.
TEST(AmbeFrame, FourErrorsSilentlyMiscorrect)
{
    const auto errors = patternsOfWeight(23, 4, 4);
    for (const auto& [c0, c1Survivors] : {std::pair{0x5A3u, 0}, std::pair{0x05Au, 35}}) {
        const Frame49 sent = frame49(c0, 0x9C1, 0x2AA, 0x1555);
        const Frame72 channel = to72(sent);
        int survived = 0;
        for (const std::uint32_t e : errors) {
            const Frame49 got = to49(corrupt(channel, 0, e << 1));
            ASSERT_NE(c0Of(got), c0);
            const bool closeWords = std::popcount((pr_n[c0Of(got)] ^ pr_n[c0]) >> 1) <= 3;
            ASSERT_EQ(c1Of(got) == c1Of(sent), closeWords) << std::hex << e;
            ASSERT_TRUE(std::equal(got.begin() + 3, got.end(), sent.begin() + 3));
            survived += closeWords ? 1 : 0;
        }
        EXPECT_EQ(survived, c1Survivors);
    }
}

// The frame-bit mapping of the parameter vector, the code-vector conversion and the
// parameter-level channel encoder are three descriptions of one layout.
TEST(AmbeFrame, ParameterMappingAndBothEncodersAgree)
{
    std::mt19937 rng(49);
    for (int n = 0; n < 5000; ++n) {
        std::array<std::int32_t, 9> b{};
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<std::int32_t>(rng() & ((1u << ambe2_b_lengths[i]) - 1));
        std::array<std::uint8_t, 49> bits{};
        encode_49bit(bits, b);
        std::array<std::int32_t, 9> back{};
        decode_49bit(bits, back);
        ASSERT_EQ(back, b);

        Frame49 packed{};
        bitsToBytes(bits, packed);
        std::array<std::uint8_t, 36> dibits{};
        p25p2_vf::encode_vcw(dibits, b);
        Frame72 fromVcw{};
        dibitsToBytes(dibits, fromVcw);
        ASSERT_EQ(to72(packed), fromVcw);
        bytesToDibits(fromVcw, dibits);
        p25p2_vf::process_vcw(dibits, back);
        ASSERT_EQ(back, b);
    }
}

} // namespace

} // namespace halvane
