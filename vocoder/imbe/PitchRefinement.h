#pragma once
// Pitch refinement of the IMBE analysis and the quantities derived from a refined period.
// Pure functions, safe from any thread.

#include "fixedpoint/BasicOps.h"
#include "imbe/analysis_spectrum.h"

namespace halvane::imbe {

// Refined periods lie within 19.875..123.125 samples (Q8: 5088..31520).
inline constexpr Word16 min_ref_pitch = 5088;
inline constexpr Word16 max_ref_pitch = 31520;

struct refined_pitch {
    Word16 ref_pitch; // period in samples, Q8
    Word32 fund_freq; // 1 / period in cycles per sample, Q32
};

// 1 / period in cycles per sample, Q32, for a period in samples (Q8, 5088..31520).
Word32 fundamental_of(Word16 period_q8);

// The number of harmonics L for a refined period P: floor(0.9254 floor(P/2 + 1/4)), within
// 9..56. The decoder derives the same L from the frame's pitch index.
Word16 harmonics_of(Word16 period_q8);

// The number of voicing bands K for L harmonics: floor((L + 2) / 3), 12 above 36.
Word16 bands_of(Word16 num_harms);

// The best of the 19 periods pitch/2 - 1.125 .. pitch/2 + 1.125 samples in steps of 1/8
// (pitch in half samples, 42..244): the one whose harmonics, fitted one by one with the
// window spectrum, leave the least error over the bins from 50 (1.56 kHz) up to the top
// of the highest harmonic of the period pitch/2. Higher harmonics move most with the
// period, so they judge it most finely; when less than 1% of the harmonics' energy lies
// above 1.56 kHz, the bins from the first harmonic up are used instead.
refined_pitch pitch_ref(const analysis_spectrum& spectrum, Word16 pitch);

} // namespace halvane::imbe
