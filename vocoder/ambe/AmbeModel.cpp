#include "ambe/AmbeModel.h"

#include <cmath>
#include <numbers>

namespace halvane {

// std::exp2 is not constant-evaluated, so this table is filled at start-up.
const std::array<std::int16_t, 828> dstar_b0_lookup =
    detail::pitchLookup([](int b0) { return static_cast<double>(dstarF0(b0)); });

} // namespace halvane

namespace halvane::ambe {

const std::array<std::array<float, 8>, 8>& prbaCosines()
{
    static const auto table = [] {
        std::array<std::array<float, 8>, 8> t{};
        for (int m = 0; m < 8; ++m)
            for (int i = 0; i < 8; ++i)
                t[m][i] = static_cast<float>(std::cos(std::numbers::pi * m * (i + 0.5) / 8.0));
        return t;
    }();
    return table;
}

const std::array<std::array<std::array<float, maxBlockLength>, maxBlockLength>, maxBlockLength + 1>& blockCosines()
{
    static const auto table = [] {
        std::array<std::array<std::array<float, maxBlockLength>, maxBlockLength>, maxBlockLength + 1> t{};
        for (int J = 1; J <= maxBlockLength; ++J)
            for (int k = 0; k < J; ++k)
                for (int j = 0; j < J; ++j)
                    t[J][k][j] = static_cast<float>(std::cos(std::numbers::pi * k * (j + 0.5) / J));
        return t;
    }();
    return table;
}

Prediction predict(const mbe_parameters& prev, int l, int L)
{
    const int prevL = prev.num_harm < 0 ? 0 : (prev.num_harm > 56 ? 56 : prev.num_harm);
    const float x = static_cast<float>(prevL) / static_cast<float>(L) * static_cast<float>(l);
    const int k = static_cast<int>(x);
    const float delta = x - static_cast<float>(k);
    // The last harmonic lands exactly on prevL, whose upper neighbour may lie beyond the
    // record (prevL = 56) and has no weight anyway.
    const float upper = delta > 0.0f && k < 56 ? delta * prev.log2_mag[k + 1] : 0.0f;
    return {(1.0f - delta) * prev.log2_mag[k], upper};
}

} // namespace halvane::ambe
