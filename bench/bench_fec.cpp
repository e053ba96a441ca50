// Throughput of the AMBE frame conversions: 49 to 72 bits, 72 to 49 bits (both with Golay
// coding and scrambling) and the parameter-level decoder process_vcw. Each runs over a ring
// of varied frames, some with correctable errors, so neither branch predictor nor cache
// sees one frame over and over. Items per second is frames per second.

#include "AmbeFrame.h"
#include "p25p2_vf.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace halvane {

namespace {

constexpr std::size_t ringSize = 1024;

std::vector<std::array<std::uint8_t, 7>> frames49()
{
    std::mt19937 rng(2450);
    std::vector<std::array<std::uint8_t, 7>> frames(ringSize);
    for (auto& f : frames) {
        for (auto& byte : f)
            byte = static_cast<std::uint8_t>(rng());
        f[6] &= 0x80;
    }
    return frames;
}

// Channel frames with up to three flipped bits each.
std::vector<std::array<std::uint8_t, 9>> frames72()
{
    std::mt19937 rng(3600);
    std::vector<std::array<std::uint8_t, 9>> frames;
    for (const auto& f : frames49()) {
        std::array<std::uint8_t, 9> channel{};
        convert49BitAmbeTo72Bit(f, channel);
        for (unsigned flips = rng() % 4; flips > 0; --flips) {
            const unsigned bit = rng() % 72;
            channel[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
        }
        frames.push_back(channel);
    }
    return frames;
}

void BM_convert49BitAmbeTo72Bit(benchmark::State& state)
{
    const auto in = frames49();
    std::array<std::uint8_t, 9> out{};
    std::size_t i = 0;
    for (auto _ : state) {
        convert49BitAmbeTo72Bit(in[i], out);
        benchmark::DoNotOptimize(out);
        i = (i + 1) % ringSize;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_convert72BitAmbeTo49Bit(benchmark::State& state)
{
    const auto in = frames72();
    std::array<std::uint8_t, 7> out{};
    std::size_t i = 0;
    for (auto _ : state) {
        convert72BitAmbeTo49Bit(in[i], out);
        benchmark::DoNotOptimize(out);
        i = (i + 1) % ringSize;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_process_vcw(benchmark::State& state)
{
    std::vector<std::array<std::uint8_t, 36>> in(ringSize);
    const auto channel = frames72();
    for (std::size_t k = 0; k < ringSize; ++k)
        bytesToDibits(channel[k], in[k]);
    std::array<std::int32_t, 9> b{};
    std::size_t i = 0;
    for (auto _ : state) {
        p25p2_vf::process_vcw(in[i], b);
        benchmark::DoNotOptimize(b);
        i = (i + 1) % ringSize;
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_convert49BitAmbeTo72Bit);
BENCHMARK(BM_convert72BitAmbeTo49Bit);
BENCHMARK(BM_process_vcw);

} // namespace halvane
