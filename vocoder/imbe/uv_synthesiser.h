#pragma once
// Unvoiced synthesis of the IMBE decoder: random-phase noise in the bands of the unvoiced
// harmonics, made by a 256-point inverse transform and overlap-added with the previous frame
// across samples 56..104.
//
// An unvoiced harmonic of amplitude M fills the FFT bins of its band with real and imaginary
// parts M * 8 * rand / 32768 (uniform); the transform's output is scaled by 8. The noise of
// one harmonic then has an RMS level of about 0.27 M sqrt(256 f0) (f0 in cycles per sample,
// 256 f0 the bins in its band), against M / (2 sqrt 2) for a voiced harmonic. One owner
// thread per instance.

#include "fixedpoint/BasicOps.h"
#include "fixedpoint/RandomGenerator.h"
#include "imbe/IMBE_PARAM.h"

#include <array>

namespace halvane {

class uv_synthesiser {
public:
    // Clears the overlap memory.
    void uv_synt_init();

    // 160 unvoiced samples of the frame in param (num_harms, fund_freq, v_uv_dsn, sa) into
    // snd, drawing two numbers from rng per bin of every unvoiced band, real part first.
    void uv_synt(const IMBE_PARAM& param, Word16* snd, RandomGenerator& rng);

private:
    std::array<Word16, 105> uv_mem_{};
};

} // namespace halvane
