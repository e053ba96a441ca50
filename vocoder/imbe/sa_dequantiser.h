#pragma once
// Reconstruction of the spectral amplitudes of an IMBE frame from its gain and coefficient
// indexes, with the inter-frame prediction from the previous frame's log-amplitudes.
//
// The decoder runs sa_decode on every frame. The encoder keeps its own instance for its
// closed loop: it asks predict for the prediction of the frame it is about to quantise, and
// after quantising passes its own indexes through dequantise_residuals and store, exactly the
// steps sa_decode takes, so both sides always hold the same prediction state.
//
// Log-amplitudes are base-2 logarithms of the amplitude minus 2, Q22 (the scale of Log2 and
// Pow2); residuals T_l are Q11. One owner thread per instance.

#include "fixedpoint/BasicOps.h"
#include "imbe/IMBE_PARAM.h"

#include <array>

namespace halvane {

class sa_dequantiser {
public:
    // The prediction of a frame with L harmonics from the stored previous frame: the
    // reconstructed log-amplitude of harmonic l is L_sub(L_add(T_l << 11, weighted[l - 1]),
    // mean), which is what store computes.
    struct Prediction {
        std::array<Word32, 56> weighted{}; // rho times the previous log-amplitude interpolated at l
        Word32 mean = 0;                   // rho times the mean of the L interpolated values
        Word16 div_one_by_num_harm = 0;    // 1/L, normalised Q15 ...
        Word16 div_one_by_num_harm_sh = 0; // ... and its shift
    };

    sa_dequantiser() { sa_decode_init(); }

    // Previous L = 30, previous log-amplitudes 0.
    void sa_decode_init();

    // The whole reconstruction for the decoder: residuals from param's b_vec, bit_alloc and
    // num_harms, prediction, new state; writes sa[0..L-1] and the two 1/L fields of param.
    void sa_decode(IMBE_PARAM* param);

    // Gain vector and block coefficients dequantised and inverse transformed into the L
    // residuals T[0..L-1] (Q11). Reads num_harms (9..56), b_vec and bit_alloc.
    static void dequantise_residuals(const IMBE_PARAM& param, Word16* T);

    // Prediction of a frame with L harmonics (9..56) from the stored state. The state keeps its
    // meaning: only copies of the previous frame's last log-amplitude are written past it.
    Prediction predict(Word16 L);

    // Makes the frame with residuals T[0..L-1] and prediction p the new previous frame and
    // writes its amplitudes Pow2(log-amplitude) to sa[0..L-1].
    void store(Word16 L, const Word16* T, const Prediction& p, Word16* sa);

    Word16 num_harms_prev() const { return num_harms_prev1_; }
    // Entry l (1..56) is the log-amplitude of harmonic l of the previous frame.
    const std::array<Word32, 58>& log_sa_prev() const { return sa_prev1_; }

private:
    Word16 num_harms_prev1_ = 30;
    std::array<Word32, 58> sa_prev1_{};
};

} // namespace halvane
