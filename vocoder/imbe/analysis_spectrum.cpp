#include "imbe/analysis_spectrum.h"

#include "fixedpoint/Elementary.h"
#include "imbe/AnalysisTables.h"
#include "imbe/Fft.h"
#include "imbe/FixedMath.h"

#include <algorithm>

namespace halvane::imbe {

using namespace fxp;

namespace {

constexpr int centre = 150;
constexpr int reach = 110; // samples on each side of the centre

// |S|^2 / 8. The transform scales by 1/256, so the bins' |S|^2 add up to 1/256 of the
// windowed frame's squares: all 256 energies together stay below 2^26, and no sum of them
// can saturate.
Word32 bin_energy(const Cmplx16& s)
{
    return L_mac(L_mult(s.re, s.re), s.im, s.im) >> 4;
}

} // namespace

int band_start(int l, Word32 w0)
{
    const std::int64_t edge = (static_cast<std::int64_t>(2 * l - 1) * w0) >> 1;
    return static_cast<int>((edge + 0xFFFF) >> 16);
}

void analysis_spectrum::analyse(const Word16* pitch_ref_buf)
{
    Word16 peak = 0;
    for (int n = centre - reach; n <= centre + reach; ++n)
        peak = std::max(peak, abs_s(pitch_ref_buf[n]));
    shift_ = peak == 0 ? 0 : static_cast<Word16>(std::max(0, norm_s(peak) - 1));

    bins_.fill({0, 0});
    bins_[0].re = shl(pitch_ref_buf[centre], shift_);
    for (int k = 1; k <= reach; ++k) {
        bins_[k].re = mult(shl(pitch_ref_buf[centre + k], shift_), wr[reach - k]);
        bins_[size - k].re = mult(shl(pitch_ref_buf[centre - k], shift_), wr[reach - k]);
    }
    fft(bins_.data(), size, -1);

    cumulative_[0] = 0;
    for (int m = 0; m <= half; ++m)
        cumulative_[m + 1] = cumulative_[m] + bin_energy(bins_[m]);
}

Word32 analysis_spectrum::energy(int lo, int hi) const
{
    return hi < lo ? 0 : cumulative_[hi + 1] - cumulative_[lo];
}

analysis_spectrum::Fit analysis_spectrum::fit(Word32 pos, int lo, int hi) const
{
    Fit f;
    if (hi < lo)
        return f;
    // Correlation with the window spectrum (bin units) and the window's own energy (Q15),
    // as sums of mult_r products. Written as plain integer arithmetic, which here equals the
    // saturating operators bit for bit: the window spectrum is positive, so no mult_r
    // saturates, and at most 14 bins of |products| < 2^15 cannot reach the 32-bit range.
    Word32 c_re = 0, c_im = 0, g = 0;
    Word32 offset = (lo << 16) - pos; // Q16 bins from the harmonic
    for (int m = lo; m <= hi; ++m, offset += 1 << 16) {
        const Word32 index = ((offset + 512) >> 10) + 160; // 1/64 bin per entry
        if (index < 0 || index > 320)
            continue;
        const Word32 w = wr_sp[index];
        c_re += (bins_[m].re * w + 0x4000) >> 15;
        c_im += (bins_[m].im * w + 0x4000) >> 15;
        g += (w * w + 0x4000) >> 15;
    }
    f.energy = energy(lo, hi);
    f.bins = static_cast<Word16>(hi - lo + 1);
    f.window = g;
    if (g == 0)
        return f;
    // |c| stays below 2^19; bring it under 2^14 to square it.
    Word16 k = 0;
    while (std::max(L_abs(c_re), L_abs(c_im)) >= (1 << 14)) {
        c_re >>= 1;
        c_im >>= 1;
        ++k;
    }
    const Word32 c2 = L_mac(L_mult(extract_l(c_re), extract_l(c_re)), extract_l(c_im), extract_l(c_im));
    // explained = |c|^2 / (g / 2^15) / 8 = 2|c'|^2 * 4^k * 2^11 / g
    f.explained = std::min(f.energy, L_div_q(c2, g, static_cast<Word16>(11 + 2 * k)));
    return f;
}

} // namespace halvane::imbe
