#pragma once
// The AMBE quantiser: one analysed speech frame (pitch, harmonic count, voicing and
// spectral amplitudes from the IMBE analysis) to the parameter vector b[0..8], predicted
// from, and in closed loop updating, the records of what a decoder will reconstruct.
//
// Contract: the caller owns cur and prev and keeps them from frame to frame (initialised by
// mbe_initMbeParms); one frame at a time, from one thread per record pair.

#include "ambe/AmbeCodebooks.h"
#include "ambe/mbe_parameters.h"
#include "imbe/IMBE_PARAM.h"

#include <array>
#include <cstdint>
#include <span>

namespace halvane {

// The analysis fields the quantiser reads: the refined pitch period in samples (Q8), the
// harmonic count and, per harmonic, the voicing flag and the spectral amplitude.
struct AmbeAnalysis {
    int ref_pitch;
    int num_harms;
    std::span<const std::int16_t, 56> v_uv_dsn;
    std::span<const std::int16_t, 56> sa;
};

// The quantiser's view of an analysis record.
AmbeAnalysis ambeAnalysis(const IMBE_PARAM& imbe);

// What the codebook searches of one frame aim at: b0..b2 already chosen, the PRBA vector
// G[2..8] and the higher-order coefficients C[i][3..6] of the four blocks, of which the
// first hocColumns[i] count (0 when the block has two coefficients or fewer).
struct AmbeTargets {
    std::array<std::int32_t, 3> b{};
    std::array<float, 7> prba{};
    std::array<AmbeRow4, 4> hoc{};
    std::array<int, 4> hocColumns{};
};

// Steps up to the searches. Returns false, writing nothing, when the pitch period has no
// pitch index with the analysis' harmonic count (it then reports on standard error).
// prev.log2_mag[0] is prepared for the prediction.
bool ambeTargets(const AmbeAnalysis& frame, mbe_parameters& prev, bool dstar, float gainAdjust,
                 AmbeTargets& targets);

// The codebook searches: nearest row by squared error, the lower row on ties. Writes b3..b8;
// b0..b2 come from the targets.
void ambeSearch(const AmbeTargets& targets, const AmbeCodebooks& books, std::span<std::int32_t, 9> b);

// Quantises one frame into b and advances cur/prev in closed loop (prev becomes what a
// decoder reconstructs from b). Returns false, leaving b, cur and prev untouched, when
// ambeTargets fails. `targets`, when given, receives the search targets (for training).
bool encodeAmbe(const AmbeAnalysis& frame, std::span<std::int32_t, 9> b, mbe_parameters& cur, mbe_parameters& prev,
                bool dstar, float gainAdjust, const AmbeCodebooks& books, AmbeTargets* targets = nullptr);

// encodeAmbe on an analysis record with the built-in codebooks (dstar selects the D-STAR
// variant; gain_adjust is subtracted from the gain target).
bool encode_ambe(const IMBE_PARAM* imbe, std::span<std::int32_t, 9> b, mbe_parameters* cur, mbe_parameters* prev,
                 bool dstar, float gain_adjust);

} // namespace halvane
