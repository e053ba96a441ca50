#pragma once
// Spectral amplitude enhancement of a decoded IMBE frame: formants are sharpened and the
// valleys between them deepened by a weight per harmonic derived from the frame's first two
// autocorrelation terms, and the frame's energy is kept. Pure; safe from any thread.

#include "imbe/IMBE_PARAM.h"

namespace halvane {

// Enhances param->sa[0..L-1] in place (L = num_harms, w0 from fund_freq). With
// R0 = sum M_l^2 and R1 = sum M_l^2 cos(l w0), every harmonic l with 8 l > L gets the weight
//     W_l = sqrt(M_l) [0.96 pi (R0^2 + R1^2 - 2 R0 R1 cos(l w0)) / (w0 R0 (R0^2 - R1^2))]^(1/4):
// above 1.2 the amplitude grows by 1.2, below 0.5 it is halved, in between it is multiplied
// by W_l. If the energy then exceeds R0 all amplitudes are scaled back to it. A silent frame,
// one with R0^2 <= R1^2 as far as the arithmetic sees, or one without a positive fund_freq
// is left alone.
void sa_enh(IMBE_PARAM* param);

} // namespace halvane
