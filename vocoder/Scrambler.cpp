#include "Scrambler.h"

namespace halvane {

namespace {

// p(i) as an affine function of p0, p(i) = multiplier * p0 + increment (mod 65536), so that
// the bits of one word do not wait on each other: stepping the congruence bit by bit puts
// two dozen dependent multiplications on the decoder's critical path.
struct Step {
    std::uint32_t multiplier;
    std::uint32_t increment;
};

constexpr std::array<Step, 24> makeSteps()
{
    std::array<Step, 24> steps{};
    Step step{1, 0};
    for (auto& s : steps) {
        step = {(173 * step.multiplier) & 0xFFFF, (173 * step.increment + 13849) & 0xFFFF};
        s = step;
    }
    return steps;
}

constexpr std::array<Step, 24> steps = makeSteps();

constexpr std::uint32_t bits24(std::uint32_t seed)
{
    const std::uint32_t p0 = (seed & 0xFFF) << 4;
    std::uint32_t word = 0;
    for (int i = 0; i < 24; ++i) {
        const std::uint32_t p = steps[i].multiplier * p0 + steps[i].increment;
        word |= ((p >> 15) & 1u) << (23 - i);
    }
    return word;
}

constexpr std::array<std::uint32_t, 4096> makePrN()
{
    std::array<std::uint32_t, 4096> table{};
    for (std::uint32_t seed = 0; seed < table.size(); ++seed)
        table[seed] = bits24(seed);
    return table;
}

} // namespace

constexpr std::array<std::uint32_t, 4096> pr_n = makePrN();

std::uint32_t scramblingBits(std::uint32_t seed, int count)
{
    if (count <= 0)
        return 0;
    return bits24(seed) >> (24 - (count > 24 ? 24 : count));
}

} // namespace halvane
