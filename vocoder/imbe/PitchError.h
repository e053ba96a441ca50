#pragma once
// The pitch error function E(P) of the IMBE analysis: how badly a period P explains one
// 301-sample frame of low-pass filtered speech (centred on sample 150), for the 203 pitch
// indexes i = 0..202, whose periods are (i + 42) / 2 = 21, 21.5, ..., 122 samples.
// Pure functions, safe from any thread.

#include "fixedpoint/BasicOps.h"

namespace halvane::imbe {

inline constexpr int pitch_frame_length = 301;
inline constexpr int num_pitch_indexes = 203;

// r(0) and r(21..150) of the windowed frame sw (301 samples), each product 2 sw(j) sw(j + t)
// shifted right by `shift` (0 or 5) before it is summed; r[1..20] are not written. Equal bit
// for bit to sums of L_shr(L_mult(...), shift) with L_add for every sw and shift that e_p
// forms (shift 5 whenever E0 saturates), since then no sum can reach the 32-bit range.
void autocorrelation(const Word16* sw, Word16 shift, Word32* r);

// Writes E(P) in Q12 for every pitch index into E[0..202]: near 0 for a frame that repeats
// with that period, 4096 when the period explains nothing (and for a silent frame).
void e_p(const Word16* s, Word16* E);

} // namespace halvane::imbe
