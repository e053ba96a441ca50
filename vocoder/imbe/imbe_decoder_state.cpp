#include "imbe/imbe_decoder_state.h"

#include "imbe/FrameVector.h"
#include "imbe/SpectralEnhancement.h"

#include <array>

namespace halvane {

using namespace fxp;

void imbe_decoder_state::decode_init()
{
    voiced_.v_synt_init(rng_);
    unvoiced_.uv_synt_init();
    dequantiser_.sa_decode_init();
    param_ = IMBE_PARAM{};
    param_.fund_freq = 217466698;
    param_.num_bands = 3;
    param_.num_harms = 9;
}

void imbe_decoder_state::decode(const Word16* frame_vector, Word16* snd)
{
    decode_frame_vector(&param_, frame_vector);
    v_uv_decode(&param_);
    dequantiser_.sa_decode(&param_);
    sa_enh(&param_);
    voiced_.v_synt(param_, snd, rng_);
    std::array<Word16, 160> noise;
    unvoiced_.uv_synt(param_, noise.data(), rng_);
    for (int n = 0; n < 160; ++n)
        snd[n] = add(snd[n], noise[n]);
}

} // namespace halvane
