#pragma once
// The saturating 16/32-bit basic operators of the ITU-T G.191 software tool library, on which
// the fixed-point IMBE vocoder does all of its arithmetic.
//
// Every operator is the definition of that set: results that leave the 16- or 32-bit range
// saturate and raise Overflow; negative shift counts shift the other way (a 16-bit shift count
// below -16 counts as -16, a 32-bit one below -32 as -32). The operators are inline because
// they sit in every inner loop, and constexpr except those that read Carry or Overflow.
//
// Overflow and Carry: the operators write them as the set defines and nothing in the vocoder
// reads them (only L_sat does, as defined). They are thread_local so that encoders and decoders
// running on different threads never share them: every function here is safe to call from any
// thread at any time.
//
// div_s keeps the set's contract: 0 <= var1 <= var2 and var2 > 0. A call outside it is a
// programming error; it prints the set's message on standard output and aborts the process.
// Callers fed from the network must keep their arguments inside the contract.

#include <bit>
#include <cstdint>

namespace halvane {

using Word16 = std::int16_t;
using Word32 = std::int32_t;
using UWord16 = std::uint16_t;
using UWord32 = std::uint32_t;
using Flag = int;

// A complex sample, real part first.
struct Cmplx16 {
    Word16 re;
    Word16 im;
};

namespace fxp {

inline constexpr Word16 MAX_16 = 0x7fff;
inline constexpr Word16 MIN_16 = -0x8000;
inline constexpr Word32 MAX_32 = 0x7fffffff;
inline constexpr Word32 MIN_32 = -0x7fffffff - 1;

inline thread_local Flag Overflow = 0;
inline thread_local Flag Carry = 0;

// Reports a div_s call outside its contract and aborts.
[[noreturn]] void div_s_fault(Word16 var1, Word16 var2);

// Two's-complement wrap of a 32-bit pattern, without relying on signed overflow.
constexpr Word32 wrap32(std::int64_t v)
{
    return static_cast<Word32>(static_cast<UWord32>(static_cast<std::uint64_t>(v)));
}

constexpr Word16 extract_h(Word32 L_var1)
{
    return static_cast<Word16>(L_var1 >> 16);
}

constexpr Word16 extract_l(Word32 L_var1)
{
    return static_cast<Word16>(L_var1);
}

constexpr Word16 saturate(Word32 L_var1)
{
    if (L_var1 > MAX_16) {
        Overflow = 1;
        return MAX_16;
    }
    if (L_var1 < MIN_16) {
        Overflow = 1;
        return MIN_16;
    }
    return extract_l(L_var1);
}

constexpr Word16 add(Word16 var1, Word16 var2)
{
    return saturate(static_cast<Word32>(var1) + var2);
}

constexpr Word16 sub(Word16 var1, Word16 var2)
{
    return saturate(static_cast<Word32>(var1) - var2);
}

constexpr Word16 abs_s(Word16 var1)
{
    if (var1 == MIN_16)
        return MAX_16;
    return var1 < 0 ? static_cast<Word16>(-var1) : var1;
}

constexpr Word16 negate(Word16 var1)
{
    return var1 == MIN_16 ? MAX_16 : static_cast<Word16>(-var1);
}

constexpr Word16 shl(Word16 var1, Word16 var2);

constexpr Word16 shr(Word16 var1, Word16 var2)
{
    if (var2 < 0) {
        if (var2 < -16)
            var2 = -16;
        return shl(var1, static_cast<Word16>(-var2));
    }
    if (var2 >= 15)
        return var1 < 0 ? Word16{-1} : Word16{0};
    return static_cast<Word16>(var1 >> var2);
}

constexpr Word16 shl(Word16 var1, Word16 var2)
{
    if (var2 < 0) {
        if (var2 < -16)
            var2 = -16;
        return shr(var1, static_cast<Word16>(-var2));
    }
    if (var1 == 0)
        return 0;
    const std::int64_t result = var2 > 15 ? 0 : static_cast<std::int64_t>(var1) * (std::int64_t{1} << var2);
    if (var2 > 15 || result != static_cast<Word16>(result)) {
        Overflow = 1;
        return var1 > 0 ? MAX_16 : MIN_16;
    }
    return static_cast<Word16>(result);
}

constexpr Word16 mult(Word16 var1, Word16 var2)
{
    return saturate((static_cast<Word32>(var1) * var2) >> 15);
}

constexpr Word16 mult_r(Word16 var1, Word16 var2)
{
    return saturate((static_cast<Word32>(var1) * var2 + 0x4000) >> 15);
}

constexpr Word32 L_mult(Word16 var1, Word16 var2)
{
    const Word32 product = static_cast<Word32>(var1) * var2;
    if (product == 0x40000000) {
        Overflow = 1;
        return MAX_32;
    }
    return product * 2;
}

constexpr Word32 L_add(Word32 L_var1, Word32 L_var2)
{
    const std::int64_t sum = static_cast<std::int64_t>(L_var1) + L_var2;
    if (sum > MAX_32) {
        Overflow = 1;
        return MAX_32;
    }
    if (sum < MIN_32) {
        Overflow = 1;
        return MIN_32;
    }
    return static_cast<Word32>(sum);
}

constexpr Word32 L_sub(Word32 L_var1, Word32 L_var2)
{
    const std::int64_t diff = static_cast<std::int64_t>(L_var1) - L_var2;
    if (diff > MAX_32) {
        Overflow = 1;
        return MAX_32;
    }
    if (diff < MIN_32) {
        Overflow = 1;
        return MIN_32;
    }
    return static_cast<Word32>(diff);
}

inline Word32 L_add_c(Word32 L_var1, Word32 L_var2)
{
    const Word32 L_var_out = wrap32(std::int64_t{L_var1} + L_var2 + Carry);
    const Word32 L_test = wrap32(std::int64_t{L_var1} + L_var2);
    Flag carry_int = 0;
    if (L_var1 > 0 && L_var2 > 0 && L_test < 0) {
        Overflow = 1;
        carry_int = 0;
    } else if (L_var1 < 0 && L_var2 < 0) {
        Overflow = L_test >= 0 ? 1 : 0;
        carry_int = 1;
    } else if ((L_var1 ^ L_var2) < 0 && L_test >= 0) {
        Overflow = 0;
        carry_int = 1;
    } else {
        Overflow = 0;
        carry_int = 0;
    }
    if (Carry) {
        if (L_test == MAX_32) {
            Overflow = 1;
            Carry = carry_int;
        } else if (L_test == -1) {
            Carry = 1;
        } else {
            Carry = carry_int;
        }
    } else {
        Carry = carry_int;
    }
    return L_var_out;
}

inline Word32 L_sub_c(Word32 L_var1, Word32 L_var2)
{
    if (Carry) {
        Carry = 0;
        if (L_var2 != MIN_32)
            return L_add_c(L_var1, -L_var2);
        if (L_var1 > 0) {
            Overflow = 1;
            Carry = 0;
        }
        return wrap32(std::int64_t{L_var1} - L_var2);
    }
    const Word32 L_var_out = wrap32(std::int64_t{L_var1} - L_var2 - 1);
    const Word32 L_test = wrap32(std::int64_t{L_var1} - L_var2);
    Flag carry_int = 0;
    if (L_test < 0 && L_var1 > 0 && L_var2 < 0) {
        Overflow = 1;
        carry_int = 0;
    } else if (L_test > 0 && L_var1 < 0 && L_var2 > 0) {
        Overflow = 1;
        carry_int = 1;
    } else if (L_test > 0 && (L_var1 ^ L_var2) > 0) {
        Overflow = 0;
        carry_int = 1;
    }
    if (L_test == MIN_32)
        Overflow = 1;
    Carry = carry_int;
    return L_var_out;
}

constexpr Word32 L_mac(Word32 L_var3, Word16 var1, Word16 var2)
{
    return L_add(L_var3, L_mult(var1, var2));
}

constexpr Word32 L_msu(Word32 L_var3, Word16 var1, Word16 var2)
{
    return L_sub(L_var3, L_mult(var1, var2));
}

inline Word32 L_macNs(Word32 L_var3, Word16 var1, Word16 var2)
{
    return L_add_c(L_var3, L_mult(var1, var2));
}

inline Word32 L_msuNs(Word32 L_var3, Word16 var1, Word16 var2)
{
    return L_sub_c(L_var3, L_mult(var1, var2));
}

constexpr Word32 L_negate(Word32 L_var1)
{
    return L_var1 == MIN_32 ? MAX_32 : -L_var1;
}

constexpr Word32 L_abs(Word32 L_var1)
{
    if (L_var1 == MIN_32)
        return MAX_32;
    return L_var1 < 0 ? -L_var1 : L_var1;
}

constexpr Word32 L_deposit_h(Word16 var1)
{
    return static_cast<Word32>(static_cast<UWord32>(static_cast<std::uint16_t>(var1)) << 16);
}

constexpr Word32 L_deposit_l(Word16 var1)
{
    return var1;
}

constexpr Word16 round(Word32 L_var1)
{
    return extract_h(L_add(L_var1, 0x8000));
}

constexpr Word16 mac_r(Word32 L_var3, Word16 var1, Word16 var2)
{
    return round(L_mac(L_var3, var1, var2));
}

constexpr Word16 msu_r(Word32 L_var3, Word16 var1, Word16 var2)
{
    return round(L_msu(L_var3, var1, var2));
}

constexpr Word32 L_shl(Word32 L_var1, Word16 var2);

constexpr Word32 L_shr(Word32 L_var1, Word16 var2)
{
    if (var2 < 0) {
        if (var2 < -32)
            var2 = -32;
        return L_shl(L_var1, static_cast<Word16>(-var2));
    }
    if (var2 >= 31)
        return L_var1 < 0 ? -1 : 0;
    return L_var1 >> var2;
}

constexpr Word32 L_shl(Word32 L_var1, Word16 var2)
{
    if (var2 <= 0) {
        if (var2 < -32)
            var2 = -32;
        return L_shr(L_var1, static_cast<Word16>(-var2));
    }
    for (; var2 > 0 && L_var1 != 0; --var2) {
        if (L_var1 > 0x3fffffff) {
            Overflow = 1;
            return MAX_32;
        }
        if (L_var1 < -0x40000000) {
            Overflow = 1;
            return MIN_32;
        }
        L_var1 *= 2;
    }
    return L_var1;
}

constexpr Word16 shr_r(Word16 var1, Word16 var2)
{
    if (var2 > 15)
        return 0;
    Word16 var_out = shr(var1, var2);
    if (var2 > 0 && (var1 & (1 << (var2 - 1))) != 0)
        var_out = static_cast<Word16>(var_out + 1);
    return var_out;
}

constexpr Word32 L_shr_r(Word32 L_var1, Word16 var2)
{
    if (var2 > 31)
        return 0;
    Word32 L_var_out = L_shr(L_var1, var2);
    if (var2 > 0 && (L_var1 & (Word32{1} << (var2 - 1))) != 0)
        L_var_out = wrap32(std::int64_t{L_var_out} + 1);
    return L_var_out;
}

inline Word32 L_sat(Word32 L_var1)
{
    if (Overflow) {
        L_var1 = Carry ? MIN_32 : MAX_32;
        Carry = 0;
        Overflow = 0;
    }
    return L_var1;
}

// The number of left shifts that normalise var1 (its redundant sign bits); 0 for 0.
constexpr Word16 norm_s(Word16 var1)
{
    if (var1 == 0)
        return 0;
    const auto magnitude = static_cast<std::uint16_t>(var1 < 0 ? ~var1 : var1);
    return static_cast<Word16>(std::countl_zero(magnitude) - 1);
}

constexpr Word16 norm_l(Word32 L_var1)
{
    if (L_var1 == 0)
        return 0;
    const auto magnitude = static_cast<UWord32>(L_var1 < 0 ? ~L_var1 : L_var1);
    return static_cast<Word16>(std::countl_zero(magnitude) - 1);
}

// var1 / var2 in Q15 for 0 <= var1 <= var2, var2 > 0: 32767 when they are equal, else
// floor(var1 * 2^15 / var2), the result of the set's 15 steps of restoring division, which
// one integer division gives exactly.
constexpr Word16 div_s(Word16 var1, Word16 var2)
{
    if (var1 > var2 || var1 < 0 || var2 <= 0)
        div_s_fault(var1, var2);
    if (var1 == var2)
        return MAX_16;
    return static_cast<Word16>((static_cast<Word32>(var1) << 15) / var2);
}

} // namespace fxp
} // namespace halvane
