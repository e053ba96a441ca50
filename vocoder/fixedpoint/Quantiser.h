#pragma once
// Scalar quantiser helpers of the fixed-point vocoder: the uniform quantiser with a given step
// and bit count in offset binary, its reconstruction, and the nearest-entry search in an
// ascending table. Pure functions, safe from any thread.

#include "fixedpoint/BasicOps.h"

namespace halvane::fxp {

// Index of the cell of width step holding x, in offset binary, clamped to 0..2^bits - 1:
// floor(x / step) + 2^(bits-1). The step is in units of 1/32 of x's units, as deqnt_by_step
// reconstructs it; 0 < step < 32768 and 1 <= bits <= 15. bits <= 0 gives index 0 (such a
// value is not transmitted).
//
// The cell is found by truncation, not rounding, because deqnt_by_step reconstructs the cell
// centre (index - 2^(bits-1) + 1/2) * step: rounding here would put every decision threshold
// half a step away from the midpoints of the reconstruction levels and bias each value by
// half a step.
constexpr Word16 qnt_by_step(Word16 x, UWord16 step, Word16 bits)
{
    if (bits <= 0)
        return 0;
    const Word16 n = norm_s(static_cast<Word16>(step));
    const Word16 inv = div_s(16384, static_cast<Word16>(step << n));
    const Word16 q = shr(mult(x, inv), static_cast<Word16>(9 - n));
    const Word32 half = Word32{1} << (bits - 1);
    if (q < -half)
        return 0;
    if (q < half)
        return static_cast<Word16>(q + half);
    return static_cast<Word16>((half << 1) - 1);
}

// The reconstruction of qnt_by_step's index: (index - 2^(bits-1)) * step + step / 2; 0 for
// bits = 0.
constexpr Word32 deqnt_by_step(Word16 index, UWord16 step, Word16 bits)
{
    if (bits <= 0)
        return 0;
    return (index - (Word32{1} << (bits - 1))) * static_cast<Word32>(step) + step / 2;
}

// Index of the entry of the ascending table[0..n-1] nearest to x; a value midway between two
// entries takes the upper one. n >= 1.
constexpr Word16 tbl_quant(Word16 x, const Word16* table, Word16 n)
{
    if (x >= table[n - 1])
        return static_cast<Word16>(n - 1);
    if (x <= table[0])
        return 0;
    int lo = 0, hi = n - 1; // table[lo] <= x < table[hi]
    while (hi - lo > 1) {
        const int mid = (lo + hi) / 2;
        if (table[mid] <= x)
            lo = mid;
        else
            hi = mid;
    }
    return static_cast<Word16>(table[hi] - x > x - table[lo] ? lo : hi);
}

} // namespace halvane::fxp
