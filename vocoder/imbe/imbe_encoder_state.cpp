#include "imbe/imbe_encoder_state.h"

#include "imbe/AmplitudeEstimation.h"
#include "imbe/FrameVectorEncode.h"
#include "imbe/PitchRefinement.h"

#include <array>

namespace halvane::imbe {

void imbe_encoder_state::encode_init()
{
    front_.reset();
    tracker_.reset();
    voicing_.reset();
    quantiser_.reset();
}

void imbe_encoder_state::encode(IMBE_PARAM* param, Word16* frame_vector, const Word16* snd)
{
    front_.push(snd);
    const pitch_tracker::Estimate estimate = tracker_.pitch_est(front_.pitch_est_buf());
    param->pitch = estimate.pitch;
    param->e_p = estimate.e_p;

    spectrum_.analyse(front_.pitch_ref_buf());
    const refined_pitch refined = pitch_ref(spectrum_, estimate.pitch);
    param->ref_pitch = refined.ref_pitch;
    param->fund_freq = refined.fund_freq;

    std::array<analysis_spectrum::Fit, 56> fits;
    voicing_.v_uv_det(spectrum_, param, fits.data());
    const Word16 L = param->num_harms;
    const Word16 K = param->num_bands;
    for (int l = 0; l < L; ++l)
        param->sa[l] = param->v_uv_dsn[l] ? voiced_sa_calc(fits[l], spectrum_.shift()) : unvoiced_sa_calc(fits[l], spectrum_.shift());

    // The pitch index b0 = floor(2P - 39) makes the decoder's period (b0 + 39.5) / 2 the
    // nearest to P, and its L that of the refined period.
    param->b_vec[0] = static_cast<Word16>((param->ref_pitch - 4992) >> 7);
    Word16 voicing = 0;
    for (int k = 0; k < K; ++k)
        voicing = static_cast<Word16>((voicing << 1) | param->v_uv_dsn[3 * k]);
    param->b_vec[1] = voicing;
    quantiser_.sa_encode(param);
    param->b_vec[L + 2] = 0;
    encode_frame_vector(param, frame_vector);
}

} // namespace halvane::imbe
