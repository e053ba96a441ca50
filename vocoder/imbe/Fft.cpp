#include "imbe/Fft.h"

#include <cstdint>
#include <utility>

namespace halvane {

using namespace fxp;

namespace {

constexpr Word32 saturate32(std::int64_t v)
{
    return static_cast<Word32>(v > MAX_32 ? MAX_32 : v < MIN_32 ? MIN_32 : v);
}

// round() of a value that may only exceed the 32-bit range upwards by the rounding constant.
constexpr Word16 roundHigh(std::int64_t v)
{
    return extract_h(saturate32(v + 0x8000));
}

// a, b = (a + w b) / 2, (a - w b) / 2, rounded. With the saturating operators:
//   t = L_shr(L_msu(L_mult(wr, b.re), wi, b.im), 1), likewise the imaginary part with L_mac;
//   b = round(L_sub(L_deposit_h(a) >> 1, t)), a = round(L_add(L_deposit_h(a) >> 1, t)).
// No twiddle is -32768, so L_mult never saturates, and after halving |a| and |t| stay within
// 2^30, so only L_msu/L_mac and the rounding can saturate; this computes exactly that.
inline void butterfly(Cmplx16& a, Cmplx16& b, Word16 wr, Word16 wi)
{
    const Word32 tr = saturate32(2 * (std::int64_t{wr} * b.re - std::int64_t{wi} * b.im)) >> 1;
    const Word32 ti = saturate32(2 * (std::int64_t{wr} * b.im + std::int64_t{wi} * b.re)) >> 1;
    const std::int64_t ar = std::int64_t{a.re} * 32768;
    const std::int64_t ai = std::int64_t{a.im} * 32768;
    b.re = roundHigh(ar - tr);
    b.im = roundHigh(ai - ti);
    a.re = roundHigh(ar + tr);
    a.im = roundHigh(ai + ti);
}

// The same when every component of the stage's input is below 2^14 in magnitude: then
// |wr b.re - wi b.im| < 2^30, so nothing saturates and 32 bits hold every step.
inline void smallButterfly(Cmplx16& a, Cmplx16& b, Word16 wr, Word16 wi)
{
    const Word32 tr = wr * b.re - wi * b.im;
    const Word32 ti = wr * b.im + wi * b.re;
    const Word32 ar = a.re * 32768 + 0x8000;
    const Word32 ai = a.im * 32768 + 0x8000;
    b.re = static_cast<Word16>((ar - tr) >> 16);
    b.im = static_cast<Word16>((ai - ti) >> 16);
    a.re = static_cast<Word16>((ar + tr) >> 16);
    a.im = static_cast<Word16>((ai + ti) >> 16);
}

bool allSmall(const Cmplx16* data, int n)
{
    int peak = 0;
    for (int i = 0; i < n; ++i)
        peak |= (data[i].re + 16384) | (data[i].im + 16384);
    return (peak & ~32767) == 0;
}

} // namespace

void fft(Cmplx16* data, Word16 n, Word16 isign)
{
    for (int i = 1, j = 0; i < n; ++i) {
        int bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j |= bit;
        if (i < j)
            std::swap(data[i], data[j]);
    }
    for (int span = 2; span <= n; span <<= 1) {
        const int half = span >> 1;
        const int stride = fft_max_points / span;
        const bool small = allSmall(data, n);
        for (int k = 0; k < half; ++k) {
            const Word16 wr = wr_array[k * stride];
            const Word16 wi = isign < 0 ? negate(wi_array[k * stride]) : wi_array[k * stride];
            if (small) {
                for (int i = k; i < n; i += span)
                    smallButterfly(data[i], data[i + half], wr, wi);
            } else {
                for (int i = k; i < n; i += span)
                    butterfly(data[i], data[i + half], wr, wi);
            }
        }
    }
}

} // namespace halvane
