#include "imbe/Dct.h"

#include "fixedpoint/Elementary.h"

namespace halvane {

using namespace fxp;

void idct(const Word16* in, Word16 m, Word16 n, Word16* out)
{
    const Word16 step = div_s(1024, static_cast<Word16>(m << 11));
    for (Word16 j = 0; j < n; ++j) {
        Word32 sum = L_shl(L_deposit_l(in[0]), 8);
        // The angle k (2j + 1) step wraps at 16 bits like the cosine's period.
        const auto stride = static_cast<std::uint16_t>((2 * j + 1) * step);
        std::uint16_t angle = 0;
        for (Word16 k = 1; k < m; ++k) {
            angle = static_cast<std::uint16_t>(angle + stride);
            sum = L_add(sum, L_mult(in[k], cos_fxp(static_cast<Word16>(angle))) >> 7);
        }
        out[j] = extract_l(L_shr_r(sum, 8));
    }
}

} // namespace halvane
