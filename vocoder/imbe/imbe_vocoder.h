#pragma once
// The fixed-point IMBE vocoder (the Project 25 full-rate speech coder): 20 ms blocks of 160
// samples at 8 kHz to 88-bit frame vectors and back.
//
// Encoding and decoding keep disjoint state (each direction its own parameter record), so
// one object may encode on one thread while it decodes on another; each direction has one
// owner thread. The first object constructed in the process writes
// "Project 25 IMBE Encoder/Decoder Fixed-Point implementation\n" to standard error.

#include "fixedpoint/BasicOps.h"
#include "imbe/imbe_decoder_state.h"
#include "imbe/imbe_encoder_state.h"

namespace halvane {

class imbe_vocoder {
public:
    imbe_vocoder();

    // The analysis to its initial state (the constructor has done this).
    void encode_init() { encoder_.encode_init(); }

    // One block of 160 samples to the frame vector u0..u7 of a frame 470 samples behind the
    // newest; param receives the frame's model (the caller's own record, never the
    // decoder's). Never fails: any input encodes.
    void encode(IMBE_PARAM* param, Word16* frame_vector, const Word16* snd) { encoder_.encode(param, frame_vector, snd); }

    // 160 samples from one frame vector u0..u7 (widths 12, 12, 12, 12, 11, 11, 11, 7; see
    // FrameVector.h for the 11-byte form). Never fails: every frame vector decodes.
    void decode(const Word16* frame_vector, Word16* snd) { decoder_.decode(frame_vector, snd); }

    // The decoder's parameters of the frame last decoded.
    const IMBE_PARAM& decoder_param() const { return decoder_.param(); }

private:
    imbe_decoder_state decoder_;
    imbe::imbe_encoder_state encoder_;
};

} // namespace halvane
