#pragma once
// What the AMBE quantiser and dequantiser share beyond the tables: the fundamental,
// harmonic count and voicing of a pitch index per variant, the cosine tables of the block
// transforms, and the interpolation that predicts a frame's log magnitudes from the
// previous frame. Internal to the AMBE codec; pure, safe from any thread.

#include "ambe/AmbeTables.h"
#include "ambe/mbe_parameters.h"

#include <array>

namespace halvane::ambe {

inline constexpr int maxBlockLength = 17;
inline constexpr float predictionWeight = 0.65f;

// f0 in cycles per sample and harmonic count of a pitch index b0 (0..119).
inline float fundamental(int b0, bool dstar)
{
    return dstar ? dstarF0(b0) : AmbeW0table[b0];
}

inline int harmonicCount(int b0, bool dstar)
{
    return static_cast<int>(dstar ? AmbePlusLtable[b0] : AmbeLtable[b0]);
}

// Voicing flag of harmonic l (1..L) under voicing row `row`.
inline int voicing(bool dstar, int row, int l, float f0)
{
    int band = static_cast<int>(static_cast<float>(l) * 16.0f * f0);
    band = band > 7 ? 7 : band;
    return dstar ? AmbePlusVuv[row][band] : AmbeVuv[row][band];
}

// cos(pi (m - 1)(i - 0.5) / 8) at [m - 1][i - 1]: the 8-point transform between the PRBA
// vector G and the block averages R.
const std::array<std::array<float, 8>, 8>& prbaCosines();

// cos(pi (k - 1)(j - 0.5) / J) at [J][k - 1][j - 1], J = 1..17: a block's transform.
const std::array<std::array<std::array<float, maxBlockLength>, maxBlockLength>, maxBlockLength + 1>& blockCosines();

// The previous frame's log magnitude at position l * prevL / L (l = 1..L), linearly
// interpolated between the two harmonics around it; reads prev.log2_mag[0..prevL] only.
struct Prediction {
    float lower;  // (1 - delta) * log2_mag[k]
    float upper;  // delta * log2_mag[k + 1]
};
Prediction predict(const mbe_parameters& prev, int l, int L);

} // namespace halvane::ambe
