#include "imbe/AmplitudeEstimation.h"

#include "fixedpoint/Elementary.h"
#include "imbe/AnalysisTables.h"
#include "imbe/FixedMath.h"

#include <algorithm>

namespace halvane::imbe {

using namespace fxp;

namespace {

// sqrt(x) * 16 for x >= 0.
Word32 sqrt_q4(Word32 x)
{
    Word16 e = 0;
    const Word32 root = sqrt_l_exp(x, &e); // sqrt(x) = root * 2^-(15.5 + e)
    return L_shr(L_mpy_ls(root, 23170), static_cast<Word16>(11 + e)); // 23170 = 2^-0.5
}

// gain * s / 16 / 2^shift as an amplitude, gain in Q11.
Word16 amplitude(Word32 s, Word16 gain, Word16 shift)
{
    const Word32 a = L_shr(L_mpy_ls(s, gain), shift);
    return static_cast<Word16>(std::clamp<Word32>(a, 1, MAX_16));
}

} // namespace

Word16 voiced_sa_calc(const analysis_spectrum::Fit& fit, Word16 shift)
{
    if (fit.window <= 0)
        return 1;
    // |A|^2 = 8 energy / (window / 2^15): the amplitude, in bin magnitude, of the window
    // spectrum holding the band's energy; the sinusoid then has amplitude 2^9 |A| / sum(w).
    const Word32 s = sqrt_q4(L_div_q(fit.energy, fit.window, 18));
    return amplitude(s, voiced_gain, shift);
}

Word16 unvoiced_sa_calc(const analysis_spectrum::Fit& fit, Word16 shift)
{
    if (fit.bins <= 0)
        return 1;
    // noise power over the band is 2^9 * energy per bin * 8 / sum(w^2) of the input
    const Word32 s = sqrt_q4(L_div_q(fit.energy, fit.bins, 3));
    return amplitude(s, unvoiced_gain, shift);
}

} // namespace halvane::imbe
