#pragma once
// AMBE parameter vector b[0..8] to the MBE model of one frame, predicted from the previous
// frame's model. Used by the software decoders and by the quantiser's own closed loop.
//
// Contract: cur and prev are distinct records owned by the caller; prev is read and also
// prepared for the prediction (harmonics beyond its count are extended from its last one,
// entry 0 copies entry 1). Fields are read within their widths (higher bits ignored). A b0
// of 120 or more is not a voice frame: nothing is written and 1 is returned; otherwise 0.
// Reentrant: no state beyond the two records.

#include "ambe/AmbeCodebooks.h"
#include "ambe/mbe_parameters.h"

#include <cstdint>
#include <span>

namespace halvane {

// dstar non-zero selects the D-STAR variant.
int mbe_dequantizeAmbeParms(mbe_parameters* cur, mbe_parameters* prev, const int* b, int dstar);
int mbe_dequantizeAmbe2250Parms(mbe_parameters* cur, mbe_parameters* prev, const int* b);
int mbe_dequantizeAmbe2400Parms(mbe_parameters* cur, mbe_parameters* prev, const int* b);

// The same with an explicit codebook set (the training program's own).
int dequantizeAmbe(mbe_parameters& cur, mbe_parameters& prev, std::span<const std::int32_t, 9> b, bool dstar,
                   const AmbeCodebooks& books);

} // namespace halvane
