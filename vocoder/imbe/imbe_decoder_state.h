#pragma once
// The decoding half of the fixed-point IMBE vocoder: its own parameter record, the amplitude
// prediction state, the synthesis memories and its own random generator, so that it shares
// nothing with the encoder or with other decoders.
//
// One owner thread per instance (the bridge's decode thread); instances are independent.

#include "fixedpoint/BasicOps.h"
#include "fixedpoint/RandomGenerator.h"
#include "imbe/IMBE_PARAM.h"
#include "imbe/sa_dequantiser.h"
#include "imbe/uv_synthesiser.h"
#include "imbe/v_synthesiser.h"

namespace halvane {

class imbe_decoder_state {
public:
    imbe_decoder_state() { decode_init(); }

    // Synthesis and prediction memories to their initial state (the random generator runs
    // on: the start phases take 56 draws), the record cleared with the parameters of pitch
    // index 0: fund_freq = 217466698, num_harms = 9, num_bands = 3.
    void decode_init();

    // One frame vector (u0..u7) to 160 samples: decode_frame_vector, v_uv_decode, sa_decode,
    // sa_enh, then voiced plus unvoiced synthesis (saturating sum). Any frame vector is
    // accepted; one whose pitch index is above 207 repeats the previous frame's parameters.
    void decode(const Word16* frame_vector, Word16* snd);

    // The parameters of the frame last decoded.
    const IMBE_PARAM& param() const { return param_; }

private:
    IMBE_PARAM param_;
    RandomGenerator rng_;
    sa_dequantiser dequantiser_;
    v_synthesiser voiced_;
    uv_synthesiser unvoiced_;
};

} // namespace halvane
