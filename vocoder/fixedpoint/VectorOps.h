#pragma once
// Vector helpers of the fixed-point vocoder on Word16 arrays with Word16 counts; a count of 0
// does nothing (L_v_magsq then returns 0). Pure, safe from any thread.

#include "fixedpoint/BasicOps.h"

namespace halvane::fxp {

inline void v_zap(Word16* v, Word16 n)
{
    for (Word16 i = 0; i < n; ++i)
        v[i] = 0;
}

inline void v_equ(Word16* dst, const Word16* src, Word16 n)
{
    for (Word16 i = 0; i < n; ++i)
        dst[i] = src[i];
}

// dst[i] = shr(src[i], s); a negative s shifts left with saturation.
inline void v_equ_shr(Word16* dst, const Word16* src, Word16 s, Word16 n)
{
    for (Word16 i = 0; i < n; ++i)
        dst[i] = shr(src[i], s);
}

// Sum of 2 * v[i]^2, saturating.
inline Word32 L_v_magsq(const Word16* v, Word16 n)
{
    Word32 sum = 0;
    for (Word16 i = 0; i < n; ++i)
        sum = L_mac(sum, v[i], v[i]);
    return sum;
}

} // namespace halvane::fxp
