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

#include <array>

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

    // The step of higher-order coefficient k (1..9, counted from 0 in its block) at `bits`
    // bits (1..10), in units of 1/32 of Q11.
    static UWord16 hi_ord_step(Word16 bits, int k);

    // The values quantised in the frame last encoded (Q11 log2 amplitude), for training the
    // tables: [0] the first gain coefficient, then one per coefficient index in the order of
    // b_vec[3..L+1] (gain coefficients 2..6, then the higher-order ones block after block).
    const std::array<Word16, 56>& coefficients() const { return coefficients_; }

private:
    sa_dequantiser loop_;
    std::array<Word16, 56> coefficients_{};
};

} // namespace halvane::imbe
