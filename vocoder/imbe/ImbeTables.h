#pragma once
// Constant tables of the IMBE amplitude coding and synthesis.
//
// hi_ord_step_size_tbl, hi_ord_std_tbl and the cross-fade window ws are fixed by the codec;
// gain_qnt_tbl, gain_step_size_tbl and lmprbl_tbl are Halvane's own design, generated into
// ImbeTables.cpp by tools/train/imbe-tables. Read-only; safe from any thread.

#include "fixedpoint/BasicOps.h"

#include <array>

namespace halvane {

// Step of a higher-order coefficient quantiser relative to its deviation, indexed by bits - 1
// (unsigned Q16).
inline constexpr std::array<UWord16, 10> hi_ord_step_size_tbl{39322, 27853, 21299, 13107, 9175, 4915, 2621, 1311, 655, 328};

// Deviation of higher-order coefficient k, indexed by k - 2 (unsigned, Q15 log2 amplitude).
inline constexpr std::array<UWord16, 9> hi_ord_std_tbl{20120, 15794, 13566, 12452, 11731, 11338, 10813, 11141, 11141};

// The 64 levels of the first gain coefficient (Q11 log2 amplitude), ascending.
extern const std::array<Word16, 64> gain_qnt_tbl;

// Steps of gain coefficients 2..6, row L - 9.
extern const std::array<std::array<Word16, 5>, 48> gain_step_size_tbl;

// Row L - 9: the six block lengths J1..J6 in bits 23..0, four bits each, J1 highest; they
// sum to L.
extern const std::array<UWord32, 48> lmprbl_tbl;

// Length of block j (0..5) for L harmonics (9..56).
inline Word16 block_length(Word16 L, int j)
{
    return static_cast<Word16>((lmprbl_tbl[L - 9] >> (20 - 4 * j)) & 0xF);
}

// The rising half of the 105-sample cross-fade between frames: ws[k] = floor(32768 (k + 1) / 50).
inline constexpr std::array<Word16, 49> ws = [] {
    std::array<Word16, 49> w{};
    for (int k = 0; k < 49; ++k)
        w[k] = static_cast<Word16>(32768 * (k + 1) / 50);
    return w;
}();

} // namespace halvane
