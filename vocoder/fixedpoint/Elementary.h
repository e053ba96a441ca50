#pragma once
// Table-driven elementary functions of the fixed-point vocoder: base-2 logarithm and power,
// square root with exponent, cosine and sine, and the 32x16-bit product L_mpy_ls.
//
// The four tables are built at compile time from their rules (a double-precision series
// evaluation rounded to the nearest integer), so nothing is initialised at run time. All
// functions are pure, constexpr and safe to call from any thread.

#include "fixedpoint/BasicOps.h"

#include <array>

namespace halvane::fxp {

namespace detail {

constexpr double kPi = 3.14159265358979323846;

constexpr Word16 roundToWord16(double v)
{
    const double r = v < 0 ? v - 0.5 : v + 0.5;
    const auto i = static_cast<long long>(r);
    return static_cast<Word16>(i > MAX_16 ? MAX_16 : i);
}

// Newton's iteration from above; exact to the last bit for the arguments used here.
constexpr double sqrtSeries(double x)
{
    double r = x > 1 ? x : 1;
    for (int i = 0; i < 64; ++i)
        r = 0.5 * (r + x / r);
    return r;
}

// Taylor series, accurate for |x| <= pi/2.
constexpr double cosSeries(double x)
{
    double term = 1, sum = 1;
    for (int n = 1; n < 30; ++n) {
        term *= -x * x / ((2 * n - 1) * (2 * n));
        sum += term;
    }
    return sum;
}

// e^x by its series, accurate for |x| <= 1.
constexpr double expSeries(double x)
{
    double term = 1, sum = 1;
    for (int n = 1; n < 40; ++n) {
        term *= x / n;
        sum += term;
    }
    return sum;
}

// ln(y) = 2 atanh((y - 1) / (y + 1)), accurate for y in [1, 2].
constexpr double lnSeries(double y)
{
    const double z = (y - 1) / (y + 1);
    double power = z, sum = 0;
    for (int n = 1; n < 80; n += 2) {
        sum += power / n;
        power *= z * z;
    }
    return 2 * sum;
}

constexpr double kLn2 = 0.69314718055994530942;

} // namespace detail

// log2(1 + i/32) in Q15, scaled by 32767 so that the last entry, 1.0, is 32767.
inline constexpr std::array<Word16, 33> log_table = [] {
    std::array<Word16, 33> t{};
    for (int i = 0; i < 33; ++i)
        t[i] = detail::roundToWord16(32767.0 * detail::lnSeries(1.0 + i / 32.0) / detail::kLn2);
    return t;
}();

// round(32768 * sqrt((i + 16) / 64)); the last entry is 32767.
inline constexpr std::array<Word16, 49> sqrt_table = [] {
    std::array<Word16, 49> t{};
    for (int i = 0; i < 49; ++i)
        t[i] = detail::roundToWord16(32768.0 * detail::sqrtSeries((i + 16) / 64.0));
    return t;
}();

// round(32768 * cos(pi * i / 256)); entry 0 is 32767, entry 128 is 0.
inline constexpr std::array<Word16, 129> cos_table = [] {
    std::array<Word16, 129> t{};
    for (int i = 0; i < 129; ++i)
        t[i] = detail::roundToWord16(32768.0 * detail::cosSeries(detail::kPi * i / 256.0));
    return t;
}();

// round(16384 * 2^(i/32)); entry 32 is 32767.
inline constexpr std::array<Word16, 33> pow2_table = [] {
    std::array<Word16, 33> t{};
    for (int i = 0; i < 33; ++i)
        t[i] = detail::roundToWord16(16384.0 * detail::expSeries(i / 32.0 * detail::kLn2));
    return t;
}();

// (log2 x - 2) in Q22 for x > 0; 0 for x <= 0.
constexpr Word32 Log2(Word16 x)
{
    if (x <= 0)
        return 0;
    const Word16 n = norm_s(x);
    const Word16 y = static_cast<Word16>(x << n);
    const int i = (y >> 9) - 32;
    const Word16 f = static_cast<Word16>((y & 0x1FF) << 6);
    Word32 r = L_deposit_h(log_table[i]);
    r = L_msu(r, sub(log_table[i], log_table[i + 1]), f);
    return (r >> 9) + (static_cast<Word32>(12 - n) << 22);
}

// 2^(x / 2^22 + 2), the inverse of Log2, saturated to the 16-bit range.
constexpr Word16 Pow2(Word32 x)
{
    Word32 i = x >> 22;
    if (x < 0)
        ++i;
    Word16 f = saturate((x - i * (Word32{1} << 22)) >> 7);
    if (x < 0)
        f = negate(f);
    const Word32 t = L_mult(f, 32);
    const Word16 index = extract_h(t);
    const Word16 fraction = static_cast<Word16>((t >> 1) & 0x7FFF);
    Word32 r = L_deposit_h(pow2_table[index]);
    r = L_msu(r, sub(pow2_table[index], pow2_table[index + 1]), fraction);
    if (x < 0) {
        r = L_deposit_h(div_s(16384, extract_h(r)));
        --i;
    }
    const Word32 shift = 12 - i;
    const Word16 shift16 = static_cast<Word16>(shift > 32 ? 32 : shift < -32 ? -32 : shift);
    return extract_h(L_shr_r(r, shift16));
}

// Square root in Q31 of x * 4^e read as a Q31 value, with e = floor(norm_l(x) / 2); so
// sqrt(x) = result * 2^-(15.5 + e). x <= 0 gives 0 with e = 0.
constexpr Word32 sqrt_l_exp(Word32 x, Word16* e)
{
    if (x <= 0) {
        *e = 0;
        return 0;
    }
    const Word16 e2 = static_cast<Word16>(norm_l(x) & ~1);
    Word32 y = L_shl(x, e2);
    *e = static_cast<Word16>(e2 >> 1);
    y >>= 9;
    const int index = extract_h(y) - 16;
    const Word16 fraction = static_cast<Word16>((y >> 1) & 0x7FFF);
    const Word32 r = L_deposit_h(sqrt_table[index]);
    return L_msu(r, sub(sqrt_table[index], sqrt_table[index + 1]), fraction);
}

// 32768 * cos(pi * x / 32768) in Q15; cos_fxp(0) = 32767, cos_fxp(16384) = 0.
// |x| above 16384 is reflected as 32767 - |x| and the result negated; in the reflected range
// the index i = |x| >> 7 and the fraction ((|x| & 127) << 8) interpolate linearly between
// cos_table[i] and cos_table[i + 1] (mult). Written without branches on the angle, as it
// runs once per harmonic and sample in the synthesis; the interpolation product cannot
// saturate and index 128 (|x| = 16384) has fraction 0.
constexpr Word16 cos_fxp(Word16 x)
{
    const int a = abs_s(x);
    const bool upper = a > 16384;
    const int reduced = upper ? 32767 - a : a;
    const int i = reduced >> 7;
    const int next = i + (i < 128 ? 1 : 0);
    const int f = (reduced & 127) << 8;
    const int c = cos_table[i] + ((f * (cos_table[next] - cos_table[i])) >> 15);
    return static_cast<Word16>(upper ? -c : c);
}

// cos_fxp of every 16-bit angle, indexed by the angle's bit pattern (x & 0xFFFF).
extern const std::array<Word16, 65536> cos_fxp_tbl;

// cos_fxp(x) by one table load, for the synthesiser's oscillators: the same values.
inline Word16 cos_fxp_tab(Word16 x)
{
    return cos_fxp_tbl[static_cast<std::uint16_t>(x)];
}

// 32768 * sin(pi * x / 32768) in Q15, from cos_fxp.
constexpr Word16 sin_fxp(Word16 x)
{
    const Word16 a = abs_s(x);
    const Word16 c = a <= 16384 ? cos_fxp(static_cast<Word16>(16384 - a)) : cos_fxp(static_cast<Word16>(a - 16384));
    return x < 0 ? negate(c) : c;
}

// a * b / 2^15: a Q31 value times a Q15 value.
constexpr Word32 L_mpy_ls(Word32 a, Word16 b)
{
    const Word16 low = static_cast<Word16>((a & 0xFFFF) >> 1);
    Word32 out = L_mult(b, low) >> 15;
    return L_mac(out, b, extract_h(a));
}

} // namespace halvane::fxp
