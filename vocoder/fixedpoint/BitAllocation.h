#pragma once
// Bit allocation of the IMBE frame vector: how many bits each of the L - 1 coefficient
// indexes gets for every harmonic count L = 9..56 (the indexes of gain coefficients 2..6,
// then the higher-order coefficients block after block). Every row sums to 73 - K bits.
//
// bit_allocation_tbl packs four 4-bit counts per word, most significant nibble first. The
// row of L = 9 starts at word 0 and is 2 words long; for L >= 10, with g = (L - 10) >> 2 and
// k = (L - 10) & 3, it starts at bit_allocation_offset_tbl[g] + k * (g + 3) and is g + 3
// words long. Read-only data; the functions are pure and safe from any thread.

#include "fixedpoint/BasicOps.h"

#include <array>

namespace halvane::fxp {

extern const std::array<UWord16, 432> bit_allocation_tbl;

inline constexpr std::array<UWord16, 12> bit_allocation_offset_tbl{2, 14, 30, 50, 74, 102, 134, 170, 210, 254, 302, 354};

// Start of the packed row for L; L outside 9..56 is taken as the nearest of them.
const UWord16* get_bit_allocation_arr(Word16 L);

// Unpacks the row for L into out, whole words at a time: at least L - 1 values and up to
// three more (out needs room for 4 * ceil((L - 1) / 4) values; 56 are always enough). L
// outside 9..56 is taken as the nearest of them.
void get_bit_allocation(Word16 L, Word16* out);

} // namespace halvane::fxp
