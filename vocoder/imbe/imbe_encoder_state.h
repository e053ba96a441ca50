#pragma once
// The analysis half of the fixed-point IMBE vocoder: one 20 ms block of 160 samples in, the
// MBE model of a frame 470 samples (58.75 ms) behind the newest sample out, quantised into
// the 88-bit frame vector.
//
// Per block: DC removal and low-pass filtering (speech_front_end), pitch estimation with
// look-back and look-ahead tracking (pitch_tracker), the windowed spectrum
// (analysis_spectrum), pitch refinement (pitch_ref), the voicing decision
// (voicing_detector), amplitude estimation (voiced_sa_calc, unvoiced_sa_calc), amplitude
// quantisation in closed loop (sa_quantiser) and packing (encode_frame_vector).
//
// Holds only encoder state, so it never touches a decoder's. One owner thread.

#include "fixedpoint/BasicOps.h"
#include "imbe/IMBE_PARAM.h"
#include "imbe/analysis_spectrum.h"
#include "imbe/pitch_tracker.h"
#include "imbe/sa_quantiser.h"
#include "imbe/speech_front_end.h"
#include "imbe/voicing_detector.h"

namespace halvane::imbe {

class imbe_encoder_state {
public:
    imbe_encoder_state() { encode_init(); }

    // Clears the sample buffers and filters, sets the pitch history to a period of 100
    // samples, and resets the voicing and amplitude prediction state.
    void encode_init();

    // Analyses the 160 samples of snd into param (every field but the decoder's l_uv and
    // 1/L fields) and writes the 8-word frame vector u0..u7.
    void encode(IMBE_PARAM* param, Word16* frame_vector, const Word16* snd);

    // The amplitude quantiser, for its prediction state and the values it quantised.
    const sa_quantiser& quantiser() const { return quantiser_; }

private:
    speech_front_end front_;
    pitch_tracker tracker_;
    analysis_spectrum spectrum_;
    voicing_detector voicing_;
    sa_quantiser quantiser_;
};

} // namespace halvane::imbe
