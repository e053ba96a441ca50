#include "imbe/PitchRefinement.h"

#include "fixedpoint/Elementary.h"
#include "imbe/FixedMath.h"

#include <algorithm>

namespace halvane::imbe {

using namespace fxp;

namespace {

constexpr int first_bin = 50;
constexpr int candidates = 19;

// Error of the harmonic model with fundamental w0 (bins, Q16) over bins first..top.
Word32 model_error(const analysis_spectrum& spectrum, Word32 w0, int first, int top)
{
    Word32 explained = 0;
    int lo = band_start(1, w0);
    for (int l = 1; lo <= top; ++l) {
        const int next = band_start(l + 1, w0);
        if (next > first) {
            const auto fit = spectrum.fit(L_mult_int(w0, static_cast<Word16>(l)), std::max(lo, first), std::min(next - 1, top));
            explained = L_add(explained, fit.explained);
        }
        lo = next;
    }
    return L_sub(spectrum.energy(first, top), explained);
}

} // namespace

Word32 fundamental_of(Word16 period_q8)
{
    return L_div_q(1 << 30, period_q8, 10);
}

Word16 harmonics_of(Word16 period_q8)
{
    const Word16 half_period = static_cast<Word16>((period_q8 + 128) >> 9); // floor(P/2 + 1/4)
    const Word16 L = extract_h(static_cast<Word32>(half_period) * 60647); // times 0.9254
    return std::clamp<Word16>(L, 9, 56);
}

Word16 bands_of(Word16 num_harms)
{
    return num_harms > 36 ? 12 : extract_h(static_cast<Word32>(num_harms + 2) * 21846);
}

refined_pitch pitch_ref(const analysis_spectrum& spectrum, Word16 pitch)
{
    const Word16 centre = static_cast<Word16>(pitch * 128);
    const Word32 centre_w0 = fundamental_of(centre) >> 8;
    const int top = std::min(analysis_spectrum::half, band_start(harmonics_of(centre) + 1, centre_w0) - 1);
    // Speech without harmonics above 1.56 kHz (a muffled voice, a low hum) would leave the
    // comparison to noise: then the error is taken from the first harmonic up.
    const int lowest = band_start(1, centre_w0);
    const int first = spectrum.energy(first_bin, top) < L_mpy_ls(spectrum.energy(lowest, top), 328) ? lowest : first_bin;

    refined_pitch best{centre, fundamental_of(centre)};
    Word32 best_error = MAX_32;
    for (int c = 0; c < candidates; ++c) {
        const Word16 period = static_cast<Word16>(centre - 288 + 32 * c);
        const Word32 f0 = fundamental_of(period);
        const Word32 error = model_error(spectrum, f0 >> 8, first, top);
        if (error < best_error) {
            best_error = error;
            best = {period, f0};
        }
    }
    return best;
}

} // namespace halvane::imbe
