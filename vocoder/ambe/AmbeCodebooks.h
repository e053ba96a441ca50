#pragma once
// The vector codebooks of the AMBE quantiser: prediction-residual block averages (PRBA,
// fields b3 and b4) and higher-order coefficients of the four blocks (HOC, fields b5..b8),
// for AMBE+2 (Ambe...) and D-STAR (AmbePlus...). Halvane's own codebooks, trained on speech
// by tools/train/train-ambe-codebooks; the rows fixed by the frame format sit at their
// indexes. Read-only data, safe from any thread.

#include <array>
#include <span>

namespace halvane {

using AmbeRow3 = std::array<float, 3>;
using AmbeRow4 = std::array<float, 4>;

extern const std::array<AmbeRow3, 512> AmbePRBA24;
extern const std::array<AmbeRow4, 128> AmbePRBA58;
extern const std::array<AmbeRow4, 32> AmbeHOCb5;
extern const std::array<AmbeRow4, 16> AmbeHOCb6;
extern const std::array<AmbeRow4, 16> AmbeHOCb7;
extern const std::array<AmbeRow4, 8> AmbeHOCb8;

extern const std::array<AmbeRow3, 512> AmbePlusPRBA24;
extern const std::array<AmbeRow4, 128> AmbePlusPRBA58;
extern const std::array<AmbeRow4, 16> AmbePlusHOCb5;
extern const std::array<AmbeRow4, 16> AmbePlusHOCb6;
extern const std::array<AmbeRow4, 16> AmbePlusHOCb7;
// Only rows 0..7 are reachable: b8 has three bits in both variants.
extern const std::array<AmbeRow4, 16> AmbePlusHOCb8;

// One variant's codebooks as the quantiser searches them and the dequantiser reads them:
// each span holds exactly the rows its field can address (2^width rows). The training
// program builds sets of its own; the codec uses ambeCodebooks().
struct AmbeCodebooks {
    std::span<const AmbeRow3> prba24;
    std::span<const AmbeRow4> prba58;
    std::array<std::span<const AmbeRow4>, 4> hoc; // blocks 1..4, fields b5..b8
};

// The built-in set of the D-STAR variant (dstar) or of AMBE+2.
const AmbeCodebooks& ambeCodebooks(bool dstar);

} // namespace halvane
