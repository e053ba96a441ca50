#pragma once
// The 256-point fixed-point FFT of the IMBE vocoder (unvoiced synthesis and the analysis
// spectrum).
//
// In place, radix 2, inputs in bit-reversed order first; every butterfly halves its outputs
// with rounding, so the transform carries an overall factor 1/n and never overflows:
//     X[k] = (1/n) sum_t x[t] exp(isign * 2 pi i t k / n).
// The twiddles wr_array/wi_array (cos_fxp and sin_fxp of the 256-point steps) are built at
// compile time, so nothing needs initialising. Pure; safe from any thread.

#include "fixedpoint/BasicOps.h"
#include "fixedpoint/Elementary.h"

#include <array>

namespace halvane {

inline constexpr int fft_max_points = 256;

inline constexpr std::array<Word16, fft_max_points / 2> wr_array = [] {
    std::array<Word16, fft_max_points / 2> w{};
    for (int k = 0; k < fft_max_points / 2; ++k)
        w[k] = fxp::cos_fxp(static_cast<Word16>(k * (65536 / fft_max_points)));
    return w;
}();

inline constexpr std::array<Word16, fft_max_points / 2> wi_array = [] {
    std::array<Word16, fft_max_points / 2> w{};
    for (int k = 0; k < fft_max_points / 2; ++k)
        w[k] = fxp::sin_fxp(static_cast<Word16>(k * (65536 / fft_max_points)));
    return w;
}();

// n is a power of two from 2 to 256; isign is -1 (forward) or +1 (inverse).
void fft(Cmplx16* data, Word16 n, Word16 isign);

} // namespace halvane
