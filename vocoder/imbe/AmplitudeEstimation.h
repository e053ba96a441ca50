#pragma once
// Spectral amplitudes of the IMBE analysis, in the synthesiser's scale: a voiced harmonic of
// amplitude M is resynthesised as a cosine of amplitude M/2, an unvoiced one as noise whose
// power over its band of N bins is N M^2 / 12. Each amplitude is chosen so that the band's
// energy in the analysis spectrum comes back. Pure functions, safe from any thread.

#include "fixedpoint/BasicOps.h"
#include "imbe/analysis_spectrum.h"

namespace halvane::imbe {

// Amplitude (1..32767) of a voiced harmonic: the sinusoid whose window spectrum over the
// band's bins carries the band's energy. shift is the spectrum's block exponent.
Word16 voiced_sa_calc(const analysis_spectrum::Fit& fit, Word16 shift);

// Amplitude (1..32767) of an unvoiced harmonic: noise of the band's mean energy per bin.
Word16 unvoiced_sa_calc(const analysis_spectrum::Fit& fit, Word16 shift);

} // namespace halvane::imbe
