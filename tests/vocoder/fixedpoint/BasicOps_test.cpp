#include "fixedpoint/BasicOps.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <random>
#include <thread>

#include <unistd.h>

using namespace halvane;
using namespace halvane::fxp;

namespace {

TEST(BasicOps, SixteenBitEdgeCases)
{
    EXPECT_EQ(abs_s(-32768), 32767);
    EXPECT_EQ(negate(-32768), 32767);
    EXPECT_EQ(mult(-32768, -32768), 32767);
    EXPECT_EQ(mult(-1, 1), -1); // floor, not truncation
    EXPECT_EQ(mult_r(-1, 1), 0);
    EXPECT_EQ(extract_l(0x12348765), static_cast<Word16>(0x8765));
    EXPECT_EQ(extract_h(static_cast<Word32>(0x87651234)), static_cast<Word16>(0x8765));
}

TEST(BasicOps, ShiftsReverseOnNegativeCountsAndSaturate)
{
    EXPECT_EQ(shl(1, 14), 16384);
    EXPECT_EQ(shl(1, 15), 32767);
    EXPECT_EQ(shl(-1, 15), -32768);
    EXPECT_EQ(shl(-2, 15), -32768);
    EXPECT_EQ(shl(3, 100), 32767);
    EXPECT_EQ(shl(0, 100), 0);
    EXPECT_EQ(shl(-32768, -20), -1); // counts below -16 act as -16
    EXPECT_EQ(shr(-32768, 15), -1);
    EXPECT_EQ(shr(32767, 20), 0);
    EXPECT_EQ(shr(-5, 1), -3);
    EXPECT_EQ(shr(1, -3), 8);
    EXPECT_EQ(shr(1, -30), 32767);
    EXPECT_EQ(shr_r(3, 1), 2);
    EXPECT_EQ(shr_r(-3, 1), -1);
    EXPECT_EQ(shr_r(32767, 16), 0);
    EXPECT_EQ(shr_r(5, -2), 20);

    EXPECT_EQ(L_shl(0x40000000, 1), MAX_32);
    EXPECT_EQ(L_shl(-0x40000000, 1), MIN_32);
    EXPECT_EQ(L_shl(-0x40000001, 1), MIN_32);
    EXPECT_EQ(L_shl(1, 40), MAX_32);
    EXPECT_EQ(L_shl(1, -40), 0);
    EXPECT_EQ(L_shr(MIN_32, 31), -1);
    EXPECT_EQ(L_shr(MIN_32, 100), -1);
    EXPECT_EQ(L_shr(-3, 1), -2);
    EXPECT_EQ(L_shr(1, -31), MAX_32);
    EXPECT_EQ(L_shr_r(3, 1), 2);
    EXPECT_EQ(L_shr_r(MAX_32, 31), 1);
    EXPECT_EQ(L_shr_r(MAX_32, 32), 0);
    EXPECT_EQ(L_shr_r(-3, 1), -1);
}

TEST(BasicOps, ThirtyTwoBitOperatorsSaturate)
{
    EXPECT_EQ(L_mult(-32768, -32768), MAX_32);
    EXPECT_EQ(L_add(MAX_32, 1), MAX_32);
    EXPECT_EQ(L_add(MIN_32, -1), MIN_32);
    EXPECT_EQ(L_sub(0, MIN_32), MAX_32);
    EXPECT_EQ(L_negate(MIN_32), MAX_32);
    EXPECT_EQ(L_abs(MIN_32), MAX_32);
    EXPECT_EQ(L_mac(MAX_32, 1, 1), MAX_32);
    EXPECT_EQ(L_msu(MIN_32, 1, 1), MIN_32);
    EXPECT_EQ(round(0x7fff8000), 32767);
    EXPECT_EQ(round(0x00018000), 2);
    EXPECT_EQ(mac_r(0, 16384, 16384), 8192);
    EXPECT_EQ(msu_r(0, 16384, 16384), -8192);
    EXPECT_EQ(L_deposit_h(-1), static_cast<Word32>(0xffff0000));
}

TEST(BasicOps, NormalisationCountsLeadingSignBits)
{
    EXPECT_EQ(norm_s(0), 0);
    EXPECT_EQ(norm_s(-1), 15);
    EXPECT_EQ(norm_s(1), 14);
    EXPECT_EQ(norm_s(16384), 0);
    EXPECT_EQ(norm_s(-16384), 1);
    EXPECT_EQ(norm_s(-32768), 0);
    EXPECT_EQ(norm_l(0), 0);
    EXPECT_EQ(norm_l(-1), 31);
    EXPECT_EQ(norm_l(1), 30);
    EXPECT_EQ(norm_l(MIN_32), 0);
    EXPECT_EQ(norm_l(MAX_32), 0);
    // The definition: shift until the value lies in [0x4000, 0x7FFF] (or its negative image).
    for (int x = -32768; x <= 32767; ++x) {
        if (x == 0 || x == -1)
            continue;
        int v = x < 0 ? ~x : x, n = 0;
        for (; v < 0x4000; v <<= 1)
            ++n;
        ASSERT_EQ(norm_s(static_cast<Word16>(x)), n) << x;
    }
    std::mt19937 rng(2);
    for (int i = 0; i < 100000; ++i) {
        const auto x = static_cast<Word32>(rng() >> (rng() % 32));
        for (Word32 y : {x, static_cast<Word32>(-x), ~x}) {
            if (y == 0 || y == -1)
                continue;
            std::int64_t v = y < 0 ? ~std::int64_t{y} : y;
            int n = 0;
            for (; v < 0x40000000; v <<= 1)
                ++n;
            ASSERT_EQ(norm_l(y), n) << y;
        }
    }
}

// The operator set's definition: 15 steps of restoring division.
Word16 restoringDivision(Word16 var1, Word16 var2)
{
    if (var1 == var2)
        return MAX_16;
    Word32 num = var1;
    Word16 out = 0;
    for (int i = 0; i < 15; ++i) {
        out = static_cast<Word16>(out << 1);
        num <<= 1;
        if (num >= var2) {
            num -= var2;
            ++out;
        }
    }
    return out;
}

TEST(BasicOps, DivisionMatchesRestoringDivision)
{
    EXPECT_EQ(div_s(1, 2), 16384);
    EXPECT_EQ(div_s(3, 3), 32767);
    EXPECT_EQ(div_s(0, 5), 0);
    EXPECT_EQ(div_s(1, 32767), 1);
    for (int b = 1; b <= 32767; ++b)
        for (int a : {0, 1, b / 3, b / 2, b - 1, b})
            ASSERT_EQ(div_s(static_cast<Word16>(a), static_cast<Word16>(b)), restoringDivision(static_cast<Word16>(a), static_cast<Word16>(b))) << a << "/" << b;
    std::mt19937 rng(7);
    for (int n = 0; n < 1000000; ++n) {
        const Word16 b = static_cast<Word16>(1 + rng() % 32767);
        const Word16 a = static_cast<Word16>(rng() % (b + 1));
        ASSERT_EQ(div_s(a, b), restoringDivision(a, b)) << a << "/" << b;
    }
}

// The messages go to standard output; the death tests send it to standard error to see them.
TEST(BasicOpsDeathTest, DivisionOutsideItsContractAborts)
{
    EXPECT_DEATH({ dup2(2, 1); div_s(3, 2); }, "Division Error var1=3  var2=2");
    EXPECT_DEATH({ dup2(2, 1); div_s(-1, 2); }, "Division Error var1=-1  var2=2");
    EXPECT_DEATH({ dup2(2, 1); div_s(0, 0); }, "Division by 0, Fatal error");
    EXPECT_EXIT(div_s(1, 0), testing::KilledBySignal(SIGABRT), "");
}

// The carry chain must behave as 33-bit unsigned addition, so that two L_add_c calls add
// 64-bit numbers.
TEST(BasicOps, AddWithCarryFollowsUnsignedArithmetic)
{
    std::mt19937 rng(11);
    const Word32 specials[] = {0, 1, -1, MAX_32, MIN_32, 0x40000000, -0x40000000};
    for (int n = 0; n < 20000; ++n) {
        const Word32 a = n < 49 ? specials[n % 7] : static_cast<Word32>(rng());
        const Word32 b = n < 49 ? specials[n / 7] : static_cast<Word32>(rng());
        for (Flag carryIn : {0, 1}) {
            Carry = carryIn;
            const Word32 sum = L_add_c(a, b);
            const std::uint64_t wide = std::uint64_t{static_cast<UWord32>(a)} + static_cast<UWord32>(b) + carryIn;
            ASSERT_EQ(static_cast<UWord32>(sum), static_cast<UWord32>(wide)) << a << " " << b;
            ASSERT_EQ(Carry, static_cast<Flag>(wide >> 32)) << a << " " << b << " " << carryIn;

            Carry = carryIn;
            const Word32 diff = L_sub_c(a, b);
            const UWord32 expected = static_cast<UWord32>(a) - static_cast<UWord32>(b) - (carryIn ? 0u : 1u);
            ASSERT_EQ(static_cast<UWord32>(diff), expected) << a << " " << b << " " << carryIn;
        }
    }
    Carry = 0;
    EXPECT_EQ(L_macNs(5, 2, 3), 17);
    Carry = 0;
    EXPECT_EQ(L_msuNs(5, 2, 3), -8); // 5 - 12 - 1 (no carry in: borrow)
    Carry = 0;
}

TEST(BasicOps, SaturationFlagsBelongToTheirThread)
{
    Overflow = 0;
    std::thread other([] {
        Overflow = 0;
        EXPECT_EQ(add(32767, 1), 32767);
        EXPECT_EQ(Overflow, 1);
    });
    other.join();
    EXPECT_EQ(Overflow, 0);
    Overflow = 1;
    Carry = 1;
    EXPECT_EQ(L_sat(5), MIN_32);
    EXPECT_EQ(Overflow, 0);
    EXPECT_EQ(Carry, 0);
    EXPECT_EQ(L_sat(5), 5);
}

// Exhaustive comparison with the wide-integer definitions where the input space is small.
TEST(BasicOps, SixteenBitOperatorsMatchWideArithmetic)
{
    std::mt19937 rng(3);
    for (int n = 0; n < 200000; ++n) {
        const auto a = static_cast<Word16>(rng());
        const auto b = static_cast<Word16>(rng());
        const auto clamp = [](std::int64_t v) { return static_cast<Word16>(v > 32767 ? 32767 : v < -32768 ? -32768 : v); };
        ASSERT_EQ(add(a, b), clamp(a + b));
        ASSERT_EQ(sub(a, b), clamp(a - b));
        ASSERT_EQ(mult(a, b), clamp((a * b) >> 15));
        ASSERT_EQ(mult_r(a, b), clamp((a * b + 0x4000) >> 15));
        const int s = static_cast<int>(rng() % 15);
        ASSERT_EQ(shl(a, static_cast<Word16>(s)), clamp(std::int64_t{a} * (1 << s)));
        ASSERT_EQ(shr(a, static_cast<Word16>(s)), a >> s);
        const std::int64_t prod = 2 * std::int64_t{a} * b;
        ASSERT_EQ(L_mult(a, b), prod > MAX_32 ? MAX_32 : prod);
    }
}

} // namespace
