#include "imbe/SpectralEnhancement.h"

#include "fixedpoint/Elementary.h"
#include "fixedpoint/VectorOps.h"

#include <array>

namespace halvane {

using namespace fxp;

namespace {

// The weight needs products and quotients over a range no fixed Q format holds, so they are
// carried as a positive mantissa normalised to [2^30, 2^31) with a power of two:
// value = m * 2^e.
struct Scaled {
    Word32 m;
    Word16 e;
};

Scaled scaled(Word32 x, int e)
{
    const Word16 n = norm_l(x);
    return {L_shl(x, n), static_cast<Word16>(e - n)};
}

Scaled product(Scaled a, Scaled b)
{
    return scaled(L_mpy_ls(a.m, extract_h(b.m)), a.e + b.e + 31);
}

Scaled quotient(Scaled a, Scaled b)
{
    Word16 num = extract_h(a.m);
    const Word16 den = extract_h(b.m);
    int e = a.e - b.e - 15;
    if (num > den) {
        num = shr(num, 1);
        ++e;
    }
    return scaled(div_s(num, den), e);
}

// sqrt_l_exp gives sqrt(m * 2^31) for a normalised m, so m * 2^e is taken as
// (m * 2^31) * 2^(e - 31) with e - 31 even.
Scaled root(Scaled a)
{
    Word32 m = a.m;
    int e = a.e;
    if ((e & 1) == 0) {
        m >>= 1;
        ++e;
    }
    Word16 s;
    const Word32 r = sqrt_l_exp(m, &s);
    return scaled(r, (e - 31) / 2 - s);
}

// value * 2^q as a 32-bit integer, saturated.
Word32 toFixed(Scaled a, int q)
{
    const int shift = a.e + q;
    return L_shl(a.m, static_cast<Word16>(shift < -32 ? -32 : shift > 32 ? 32 : shift));
}

Word32 energy(const Word16* v, Word16 shift, Word16 n)
{
    std::array<Word16, 56> copy;
    v_equ_shr(copy.data(), v, shift, n);
    return L_v_magsq(copy.data(), n);
}

} // namespace

void sa_enh(IMBE_PARAM* param)
{
    const Word16 L = param->num_harms;
    Word16* sa = param->sa.data();

    // A working copy scaled so that its energy neither saturates nor loses precision.
    Word32 R0 = L_v_magsq(sa, L);
    if (R0 == 0 || param->fund_freq <= 0)
        return;
    Word16 shift = 0;
    if (R0 == MAX_32) {
        while (R0 == MAX_32 && shift < 4)
            R0 = energy(sa, ++shift, L);
    } else if (norm_l(R0) > 2) {
        shift = static_cast<Word16>(-(norm_l(R0) >> 1));
    }
    std::array<Word16, 56> c;
    v_equ_shr(c.data(), sa, shift, L);
    R0 = L_v_magsq(c.data(), L);
    if (R0 == 0)
        return;

    std::array<Word16, 56> cosine;
    UWord32 angle = 0;
    Word32 R1 = 0;
    for (int l = 0; l < L; ++l) {
        angle += static_cast<UWord32>(param->fund_freq);
        cosine[l] = cos_fxp(extract_h(static_cast<Word32>(angle)));
        R1 = L_add(R1, L_mpy_ls(L_mult(c[l], c[l]), cosine[l]));
    }

    // R0 and R1 as 14-bit numbers with a common scale, so their quadratic forms fit 32 bits.
    const Word16 n = norm_l(R0);
    const Word32 a = extract_h(L_shl(R0, n)) >> 1;
    const Word32 b = extract_h(L_shl(R1, n)) >> 1;
    const Word32 den = a * a - b * b;
    if (den <= 0)
        return;
    const Scaled denominator = scaled(den, 0);
    const Scaled energyTimesF = product(scaled(R0, 0), scaled(param->fund_freq, -32));

    std::array<Word16, 56> original;
    v_equ(original.data(), sa, L);
    for (int l = 0; l < L; ++l) {
        if (8 * (l + 1) <= L || c[l] == 0)
            continue;
        const Word32 num = a * a + b * b - 2 * a * mult_r(static_cast<Word16>(b), cosine[l]);
        Word32 halfWeight = 0; // W_l / 2 in Q15
        if (num > 0) {
            const Scaled w4 = quotient(product(scaled(Word32{c[l]} * c[l], 0), quotient(scaled(num, 0), denominator)), energyTimesF);
            halfWeight = L_mpy_ls(toFixed(root(root(w4)), 14), 32435); // 0.96^(1/4)
        }
        const Word16 M = sa[l];
        if (halfWeight > 19660)
            sa[l] = add(M, mult_r(M, 6554));
        else if (halfWeight < 8192)
            sa[l] = shr(M, 1);
        else
            sa[l] = saturate(L_shr_r(L_mult(M, static_cast<Word16>(halfWeight)), 15));
    }

    // Keep the energy: compared one bit further down, as the weights may raise it by 44 %.
    const Word16 headroom = static_cast<Word16>(shift + 1);
    const Word32 before = energy(original.data(), headroom, L);
    const Word32 after = energy(sa, headroom, L);
    if (after > before && before > 0) {
        const Word32 gain = toFixed(root(quotient(scaled(before, 0), scaled(after, 0))), 15);
        const Word16 g = saturate(gain);
        for (int l = 0; l < L; ++l)
            sa[l] = mult_r(sa[l], g);
    }
}

} // namespace halvane
