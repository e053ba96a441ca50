#pragma once
// Helpers of the IMBE analysis built on the saturating operators: a saturating product of a
// 32-bit value and a small integer, and a normalised division with 15 significant bits.
// Pure, safe from any thread.

#include "fixedpoint/BasicOps.h"

#include <cstdint>

namespace halvane::imbe {

// a * b, saturated to the 32-bit range.
constexpr Word32 L_mult_int(Word32 a, Word16 b)
{
    const std::int64_t p = static_cast<std::int64_t>(a) * b;
    return p > fxp::MAX_32 ? fxp::MAX_32 : p < fxp::MIN_32 ? fxp::MIN_32 : static_cast<Word32>(p);
}

// num / den * 2^q for num >= 0 and den > 0, with 15 significant bits, saturated to the
// 32-bit range; 0 when num <= 0 or den <= 0. Never reaches div_s outside its contract.
constexpr Word32 L_div_q(Word32 num, Word32 den, Word16 q)
{
    using namespace fxp;
    if (num <= 0 || den <= 0)
        return 0;
    Word16 ns = norm_l(num);
    const Word16 nd = norm_l(den);
    // Shifts by the norm cannot saturate; written plainly, as the operator shifts bit by bit.
    Word16 n = extract_h(num << ns);
    const Word16 d = extract_h(den << nd);
    if (n > d) {
        n = shr(n, 1);
        ns = static_cast<Word16>(ns - 1);
    }
    // quotient = n / d in Q15, and num / den = quotient * 2^(nd - ns)
    const Word32 quotient = div_s(n, d);
    const int shift = q - 15 + nd - ns;
    if (shift < 0)
        return shift <= -31 ? 0 : quotient >> -shift;
    return shift >= 31 || quotient > (MAX_32 >> shift) ? MAX_32 : quotient << shift;
}

} // namespace halvane::imbe
