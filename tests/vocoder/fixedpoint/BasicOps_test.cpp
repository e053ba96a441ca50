#include "fixedpoint/BasicOps.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <thread>

#include <unistd.h>

using namespace halvane;
using namespace halvane::fxp;

namespace {

// Known answers at the edges where the operators saturate, round or reverse their shifts.
TEST(BasicOps, KnownAnswersAtTheEdges)
{
    struct Case {
        const char* what;
        Word32 got, expected;
    };
    const Case cases[] = {
        {"abs_s", abs_s(-32768), 32767}, {"negate", negate(-32768), 32767}, {"add", add(32767, 1), 32767},
        {"sub", sub(-32768, 1), -32768}, {"mult", mult(-32768, -32768), 32767}, {"mult floors", mult(-1, 1), -1},
        {"mult_r", mult_r(-1, 1), 0}, {"extract_l", extract_l(0x12348765), static_cast<Word16>(0x8765)},
        {"extract_h", extract_h(static_cast<Word32>(0x87651234)), static_cast<Word16>(0x8765)},
        {"shl", shl(1, 14), 16384}, {"shl saturates", shl(1, 15), 32767}, {"shl negative", shl(-1, 15), -32768},
        {"shl large", shl(3, 100), 32767}, {"shl zero", shl(0, 100), 0}, {"shl below -16", shl(-32768, -20), -1},
        {"shr", shr(-32768, 15), -1}, {"shr large", shr(32767, 20), 0}, {"shr floors", shr(-5, 1), -3},
        {"shr negative", shr(1, -3), 8}, {"shr negative saturates", shr(1, -30), 32767},
        {"shr_r", shr_r(3, 1), 2}, {"shr_r negative value", shr_r(-3, 1), -1}, {"shr_r 16", shr_r(32767, 16), 0},
        {"shr_r negative count", shr_r(5, -2), 20},
        {"L_shl", L_shl(0x40000000, 1), MAX_32}, {"L_shl negative", L_shl(-0x40000000, 1), MIN_32},
        {"L_shl below", L_shl(-0x40000001, 1), MIN_32}, {"L_shl large", L_shl(1, 40), MAX_32},
        {"L_shl reverse", L_shl(1, -40), 0}, {"L_shr 31", L_shr(MIN_32, 31), -1}, {"L_shr large", L_shr(MIN_32, 100), -1},
        {"L_shr floors", L_shr(-3, 1), -2}, {"L_shr reverse", L_shr(1, -31), MAX_32}, {"L_shr_r", L_shr_r(3, 1), 2},
        {"L_shr_r 31", L_shr_r(MAX_32, 31), 1}, {"L_shr_r 32", L_shr_r(MAX_32, 32), 0}, {"L_shr_r negative", L_shr_r(-3, 1), -1},
        {"L_mult", L_mult(-32768, -32768), MAX_32}, {"L_mult sign", L_mult(-3, 5), -30},
        {"L_add", L_add(MAX_32, 1), MAX_32}, {"L_add low", L_add(MIN_32, -1), MIN_32}, {"L_sub", L_sub(0, MIN_32), MAX_32},
        {"L_negate", L_negate(MIN_32), MAX_32}, {"L_abs", L_abs(MIN_32), MAX_32},
        {"L_mac", L_mac(MAX_32, 1, 1), MAX_32}, {"L_msu", L_msu(MIN_32, 1, 1), MIN_32},
        {"round saturates", round(0x7fff8000), 32767}, {"round", round(0x00018000), 2},
        {"mac_r", mac_r(0, 16384, 16384), 8192}, {"msu_r", msu_r(0, 16384, 16384), -8192},
        {"L_deposit_h", L_deposit_h(-1), static_cast<Word32>(0xffff0000)},
        {"norm_s 0", norm_s(0), 0}, {"norm_s -1", norm_s(-1), 15}, {"norm_s 1", norm_s(1), 14},
        {"norm_s 16384", norm_s(16384), 0}, {"norm_s -16384", norm_s(-16384), 1}, {"norm_s -16385", norm_s(-16385), 0},
        {"norm_s min", norm_s(-32768), 0}, {"norm_l 0", norm_l(0), 0}, {"norm_l -1", norm_l(-1), 31}, {"norm_l 1", norm_l(1), 30},
        {"norm_l 0x3fffffff", norm_l(0x3fffffff), 1}, {"norm_l -0x40000000", norm_l(-0x40000000), 1},
        {"norm_l min", norm_l(MIN_32), 0}, {"norm_l max", norm_l(MAX_32), 0},
        {"div_s half", div_s(1, 2), 16384}, {"div_s equal", div_s(3, 3), 32767}, {"div_s zero", div_s(0, 5), 0},
        {"div_s smallest", div_s(1, 32767), 1}, {"div_s third", div_s(1, 3), 10922},
        {"div_s near one", div_s(32766, 32767), 32766}, {"div_s truncates", div_s(2, 3), 21845},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.expected) << c.what;
}

// The messages go to standard output; the death tests send it to standard error to see them.
TEST(BasicOpsDeathTest, DivisionOutsideItsContractAborts)
{
    EXPECT_DEATH({ dup2(2, 1); div_s(3, 2); }, "Division Error var1=3  var2=2");
    EXPECT_DEATH({ dup2(2, 1); div_s(-1, 2); }, "Division Error var1=-1  var2=2");
    EXPECT_DEATH({ dup2(2, 1); div_s(0, 0); }, "Division by 0, Fatal error");
    EXPECT_EXIT(div_s(1, 0), testing::KilledBySignal(SIGABRT), "");
}

// The carry chain behaves as 33-bit unsigned addition, so that two L_add_c calls add 64-bit
// numbers; L_sub_c borrows when no carry comes in.
TEST(BasicOps, AddWithCarryFollowsUnsignedArithmetic)
{
    const Word32 specials[] = {0, 1, -1, MAX_32, MIN_32, 0x40000000, -0x40000000, 0x12345678};
    for (const Word32 a : specials)
        for (const Word32 b : specials)
            for (const Flag carryIn : {0, 1}) {
                Carry = carryIn;
                const Word32 sum = L_add_c(a, b);
                const std::uint64_t wide = std::uint64_t{static_cast<UWord32>(a)} + static_cast<UWord32>(b) + carryIn;
                EXPECT_EQ(static_cast<UWord32>(sum), static_cast<UWord32>(wide)) << a << " " << b;
                EXPECT_EQ(Carry, static_cast<Flag>(wide >> 32)) << a << " " << b << " " << carryIn;
                Carry = carryIn;
                EXPECT_EQ(static_cast<UWord32>(L_sub_c(a, b)), static_cast<UWord32>(a) - static_cast<UWord32>(b) - (carryIn ? 0u : 1u))
                    << a << " " << b << " " << carryIn;
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

} // namespace
