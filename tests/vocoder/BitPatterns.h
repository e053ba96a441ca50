#pragma once
// Error patterns and frame helpers shared by the vocoder tests.

#include <bit>
#include <cstdint>
#include <vector>

namespace halvane {

// Every word of `width` bits whose weight lies in [minWeight, maxWeight].
inline std::vector<std::uint32_t> patternsOfWeight(int width, int minWeight, int maxWeight)
{
    std::vector<std::uint32_t> patterns;
    for (std::uint32_t w = 1; w < (1u << width); ++w) {
        const int weight = std::popcount(w);
        if (weight >= minWeight && weight <= maxWeight)
            patterns.push_back(w);
    }
    return patterns;
}

} // namespace halvane
