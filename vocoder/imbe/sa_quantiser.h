#pragma once
// Quantisation of the spectral amplitudes of an IMBE frame (sa_encode), the mirror of the
// decoder's reconstruction: log-amplitudes minus their prediction from the previous frame,
// cut into six blocks, each transformed by a DCT; the block means form the gain vector
// (itself transformed), the rest are the higher-order coefficients.
//
// The prediction runs in closed loop: after quantising, the quantiser reconstructs its own
// indexes through the decoder's steps (an sa_dequantiser of its own), so the encoder
// predicts the next frame from exactly what a decoder holds.
//
// One encoder owns it; not thread-safe.

#include "fixedpoint/BasicOps.h"
#include "imbe/IMBE_PARAM.h"
#include "imbe/sa_dequantiser.h"

namespace halvane::imbe {

class sa_quantiser {
public:
    // The prediction state of a new decoder.
    void reset() { loop_.sa_decode_init(); }

    // Reads num_harms and sa[0..L-1] (amplitudes 1..32767) of param; writes bit_alloc and the
    // gain and coefficient indexes b_vec[2..L+1], and advances the prediction state.
    void sa_encode(IMBE_PARAM* param);

    // The prediction state, as a decoder of the same frames holds it.
    const sa_dequantiser& state() const { return loop_; }

private:
    sa_dequantiser loop_;
};

} // namespace halvane::imbe
