#include "fixedpoint/BitAllocation.h"

namespace halvane::fxp {

namespace {

Word16 clampHarmonics(Word16 L)
{
    return L < 9 ? Word16{9} : L > 56 ? Word16{56} : L;
}

int rowWords(Word16 L)
{
    return L == 9 ? 2 : ((L - 10) >> 2) + 3;
}

} // namespace

const UWord16* get_bit_allocation_arr(Word16 L)
{
    L = clampHarmonics(L);
    if (L == 9)
        return bit_allocation_tbl.data();
    const int g = (L - 10) >> 2;
    const int k = (L - 10) & 3;
    return bit_allocation_tbl.data() + bit_allocation_offset_tbl[g] + k * (g + 3);
}

void get_bit_allocation(Word16 L, Word16* out)
{
    L = clampHarmonics(L);
    const UWord16* row = get_bit_allocation_arr(L);
    for (int w = 0; w < rowWords(L); ++w)
        for (int shift = 12; shift >= 0; shift -= 4)
            *out++ = static_cast<Word16>((row[w] >> shift) & 0xF);
}

} // namespace halvane::fxp
