#include "imbe/voicing_detector.h"

#include "fixedpoint/Elementary.h"
#include "imbe/FixedMath.h"
#include "imbe/PitchRefinement.h"

#include <algorithm>

namespace halvane::imbe {

using namespace fxp;

namespace {

constexpr Word16 unreliable_pitch = 2253; // e_p above 0.55: one threshold for every band

// Threshold lines: base - slope * x, x the band's centre frequency in radians.
constexpr Word16 voiced_base = 18432, voiced_slope = 5706;
constexpr Word16 unvoiced_base = 14745, unvoiced_slope = 4565;

constexpr int low_band_bins = 64; // below 2 kHz

} // namespace

void voicing_detector::reset()
{
    th_max_ = 0;
    v_uv_dsn_.fill(0);
}

// (E + th_max * 81/32768) / (E + th_max * 328/32768), Q15, with E the frame's energy (in the
// input's own scale), times sqrt(2 E_low / E) when less than half of it lies below 2 kHz.
Word16 voicing_detector::energy_factor(const analysis_spectrum& spectrum)
{
    const Word16 unscale = static_cast<Word16>(2 * spectrum.shift());
    const Word32 scaled = spectrum.energy(0, analysis_spectrum::half - 1);
    const Word32 low = spectrum.energy(0, low_band_bins - 1);
    const Word32 energy = L_shr(scaled, unscale);

    if (energy <= th_max_)
        th_max_ = L_add(L_mpy_ls(th_max_, 32440), L_mpy_ls(energy, 328));
    else
        th_max_ = L_add(L_shr(th_max_, 1), L_shr(energy, 1));

    const Word32 divisor = L_add(energy, L_mpy_ls(th_max_, 328));
    Word16 factor = divisor == 0 ? 8192 : extract_l(std::min<Word32>(L_div_q(L_add(energy, L_mpy_ls(th_max_, 81)), divisor, 15), MAX_16));

    if (scaled > 0 && L_shl(low, 1) < scaled) {
        Word16 e = 0;
        const Word32 root = sqrt_l_exp(L_div_q(L_shl(low, 1), scaled, 31), &e); // sqrt(x * 2^-31) ...
        factor = mult(factor, extract_h(L_shr(root, e)));                       // ... = root * 2^-(31 + e)
    }
    return factor;
}

void voicing_detector::v_uv_det(const analysis_spectrum& spectrum, IMBE_PARAM* param, analysis_spectrum::Fit* fits)
{
    const Word16 L = harmonics_of(param->ref_pitch);
    const Word16 K = bands_of(L);
    param->num_harms = L;
    param->num_bands = K;

    const Word32 w0 = param->fund_freq >> 8; // bins, Q16
    int lo = band_start(1, w0);
    for (int l = 1; l <= L; ++l) {
        const int next = band_start(l + 1, w0);
        fits[l - 1] = spectrum.fit(L_mult_int(w0, static_cast<Word16>(l)), lo, std::min(next - 1, analysis_spectrum::half));
        lo = next;
    }

    const Word16 factor = energy_factor(spectrum);
    // The fundamental in radians, Q12: pi/4 times 8 f0, and 8 f0 in Q12 is f0 in Q15.
    const Word16 w0_radians = mult(extract_h(L_shr(param->fund_freq, 1)), 25736);
    Word16 x = shl(w0_radians, 1); // centre of band 1: harmonic 2
    Word16 first_threshold = 0;
    param->v_uv_dsn.fill(0);
    for (int k = 0; k < K; ++k) {
        const int first = 3 * k, last = k == K - 1 ? L : first + 3;
        Word32 energy = 0, error = 0;
        for (int l = first; l < last; ++l) {
            energy = L_add(energy, fits[l].energy);
            error = L_add(error, L_sub(fits[l].energy, fits[l].explained));
        }
        Word16 threshold;
        if (k > 0 && param->e_p > unreliable_pitch) {
            threshold = first_threshold;
        } else {
            const bool was_voiced = v_uv_dsn_[k] != 0;
            const Word16 base = was_voiced ? voiced_base : unvoiced_base;
            const Word16 slope = was_voiced ? voiced_slope : unvoiced_slope;
            // slope * x: Q15 * Q12 doubled by L_mult, shifted to Q31; its high half is Q15
            threshold = mult(std::max<Word16>(0, sub(base, extract_h(L_shl(L_mult(slope, x), 3)))), factor);
            if (k == 0)
                first_threshold = threshold;
        }
        const Word16 normalised = energy == 0 ? MAX_16 : extract_l(std::min<Word32>(L_div_q(error, energy, 15), MAX_16));
        const Word16 voiced = normalised < threshold ? 1 : 0;
        v_uv_dsn_[k] = voiced;
        for (int l = first; l < last; ++l)
            param->v_uv_dsn[l] = voiced;
        x = add(x, add(w0_radians, shl(w0_radians, 1))); // three harmonics further
    }
    for (int k = K; k < 12; ++k)
        v_uv_dsn_[k] = 0;
}

} // namespace halvane::imbe
