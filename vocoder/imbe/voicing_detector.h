#pragma once
// Voicing decision of the IMBE analysis: for each band of three harmonics, whether the
// harmonic model at the refined fundamental explains the band's spectrum well enough for it
// to be synthesised as sinusoids (voiced) or as noise (unvoiced).
//
// A band's normalised error (unexplained over total energy of its bins) is compared with a
// threshold that falls with the band's frequency, is higher for a band voiced in the frame
// before, and is scaled by an energy factor: near 1 for frames as loud as the tracked
// maximum energy th_max, down to a quarter for quiet ones, lower still when little of the
// energy lies below 2 kHz (fricatives).
//
// One encoder owns it; not thread-safe.

#include "fixedpoint/BasicOps.h"
#include "imbe/IMBE_PARAM.h"
#include "imbe/analysis_spectrum.h"

#include <array>

namespace halvane::imbe {

class voicing_detector {
public:
    voicing_detector() { reset(); }

    // th_max 0, every band unvoiced.
    void reset();

    // Reads ref_pitch, fund_freq and e_p of param; writes num_harms, num_bands and v_uv_dsn
    // (per harmonic), and each harmonic's fit at the refined fundamental into fits[0..L-1].
    void v_uv_det(const analysis_spectrum& spectrum, IMBE_PARAM* param, analysis_spectrum::Fit* fits);

private:
    Word16 energy_factor(const analysis_spectrum& spectrum);

    Word32 th_max_ = 0;
    std::array<Word16, 12> v_uv_dsn_{}; // per band, for the next frame
};

} // namespace halvane::imbe
