#pragma once
// Voiced synthesis of the IMBE decoder: a bank of harmonic oscillators whose phases run on
// from frame to frame.
//
// A harmonic voiced in two successive frames is one oscillator whose amplitude, frequency and
// phase are interpolated over the frame when it is low (l <= 7) and the pitch moved by less
// than 10 %; otherwise the old harmonic fades out and the new one fades in over samples
// 56..104. Harmonics above a quarter of the count get a random phase offset that grows with
// the share of unvoiced harmonics. A voiced harmonic of amplitude M adds M/2 cos(...) to the
// output. One owner thread per instance.

#include "fixedpoint/BasicOps.h"
#include "fixedpoint/RandomGenerator.h"
#include "imbe/IMBE_PARAM.h"

#include <array>

namespace halvane {

class v_synthesiser {
public:
    // Random start phases (56 draws from rng), no previous frame.
    void v_synt_init(RandomGenerator& rng);

    // 160 voiced samples of the frame in param (num_harms, fund_freq, v_uv_dsn, sa, l_uv and
    // the 1/L fields) into snd; the frame becomes the previous one.
    void v_synt(const IMBE_PARAM& param, Word16* snd, RandomGenerator& rng);

private:
    std::array<UWord32, 56> ph_mem_{}; // phase of each harmonic at the frame start, Q32 cycles
    std::array<Word16, 56> vu_dsn_prev_{};
    std::array<Word16, 56> sa_prev3_{};
    Word16 num_harms_prev3_ = 0;
    UWord32 fund_freq_prev_ = 0;
};

} // namespace halvane
