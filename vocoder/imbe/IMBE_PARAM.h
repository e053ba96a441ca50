#pragma once
// The MBE model of one 20 ms IMBE frame as the fixed-point vocoder holds it: what the speech
// analysis produces, what the frame vector carries, and what the decoder synthesises from.
//
// A plain record; whoever owns it decides the thread that may touch it. Each direction of the
// vocoder keeps its own: the analysis writes one, the decoder another, and the AMBE quantiser
// reads the analysis record (ref_pitch, num_harms, v_uv_dsn, sa).
//
// Units: pitch indexes and periods as named below; fund_freq in cycles per sample, Q32;
// sa in the amplitude scale of the synthesiser (a voiced harmonic of amplitude M adds a cosine
// of amplitude M/2 to the output). Entries beyond num_harms (or beyond L + 2 in b_vec) are
// not meaningful.

#include "fixedpoint/BasicOps.h"

#include <array>

namespace halvane {

struct IMBE_PARAM {
    Word16 e_p = 0;       // pitch error E(P) of the chosen pitch, Q12
    Word16 pitch = 0;     // pitch index + 42: the period in half samples
    Word16 ref_pitch = 0; // refined pitch period in samples, Q8
    Word32 fund_freq = 0; // fundamental frequency in cycles per sample, Q32
    Word16 num_harms = 0; // L, 9..56
    Word16 num_bands = 0; // K, 3..12
    std::array<Word16, 56> v_uv_dsn{}; // voicing per harmonic, 1 = voiced
    // b_vec[0] pitch index, [1] the K voicing bits, [2] gain index, [3..L+1] coefficient
    // indexes, [L+2] the spare bit.
    std::array<Word16, 59> b_vec{};
    std::array<Word16, 59> bit_alloc{}; // bits of each coefficient index b_vec[3 + i]
    std::array<Word16, 56> sa{};        // spectral amplitude per harmonic
    Word16 l_uv = 0;                    // number of unvoiced harmonics
    Word16 div_one_by_num_harm = 0;     // 1/L as a normalised Q15 value ...
    Word16 div_one_by_num_harm_sh = 0;  // ... and its shift: 1/L = value * 2^(sh - 29)
};

} // namespace halvane
