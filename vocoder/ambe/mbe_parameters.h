#pragma once
// The MBE model of one 20 ms frame, as the AMBE quantiser produces it, the dequantiser
// rebuilds it and the synthesiser sounds it, and the record operations between frames.
//
// Harmonics are indexed 1..num_harm (at most 56); entry 0 serves the dequantiser's
// prediction as a copy of harmonic 1. A plain value type: each owner keeps its own records
// and uses them from one thread at a time.

namespace halvane {

struct mbe_parameters {
    float fund;        // w0, fundamental in radians per sample
    int num_harm;      // L
    int num_band;      // K
    int voiced[57];    // voiced flag per harmonic
    float mag[57];     // harmonic magnitude
    float log2_mag[57];
    float phase[57];
    float uv_phase[57];
    float gain;        // log2 gain, predicted from frame to frame
    int spare;
    int repeat_count;
};

// prev becomes the resting model (w0 0.09378, 30 harmonics, 10 bands, silent, unvoiced
// phases pi/2); cur and prev_enhanced become copies of it.
void mbe_initMbeParms(mbe_parameters* cur, mbe_parameters* prev, mbe_parameters* prev_enhanced);

// Copies every field except `spare` from src to dst.
void mbe_moveMbeParms(const mbe_parameters* src, mbe_parameters* dst);

// The same copy with the arguments the other way round.
void mbe_useLastMbeParms(mbe_parameters* dst, const mbe_parameters* src);

} // namespace halvane
