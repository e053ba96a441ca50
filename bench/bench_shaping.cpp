// CPU cost of each audio shaping mode per 160-sample (20 ms) block: saturating
// gain, band-pass filter, and the AGC with its 16-bit conversions. Blocks come
// from a ring of real speech so the AGC sees onsets, pauses and window-peak
// rescans as it would on air; the worst case feeds a steadily decaying signal,
// where the peak leaves the window on every sample and the whole window is
// rescanned each time. Time per iteration is time per block; the AGC budget
// is 20 us per block.

#include "AudioShaping.h"
#include "BandPassFilter.h"
#include "CAgc.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <iterator>
#include <numbers>
#include <vector>

namespace halvane {

namespace {

using Block = std::array<short, SHAPING_BLOCK_SAMPLES>;

// hts1 from codec2-examples, or a synthetic vowel-like signal when absent.
std::vector<Block> speechBlocks()
{
    std::ifstream file("/usr/share/codec2/raw/hts1.raw", std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::vector<short> pcm(bytes.size() / 2);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<short>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    if (pcm.size() < 8000) {
        pcm.resize(48000);
        for (std::size_t i = 0; i < pcm.size(); ++i) {
            const double t = static_cast<double>(i) / 8000.0;
            const double w = 2 * std::numbers::pi * t;
            const double envelope = 0.5 + 0.5 * std::sin(3 * w);
            pcm[i] = static_cast<short>(12000 * envelope * (std::sin(220 * w) + 0.5 * std::sin(660 * w)));
        }
    }
    std::vector<Block> blocks(pcm.size() / SHAPING_BLOCK_SAMPLES);
    for (std::size_t b = 0; b < blocks.size(); ++b)
        std::copy_n(pcm.begin() + static_cast<std::ptrdiff_t>(b * SHAPING_BLOCK_SAMPLES), SHAPING_BLOCK_SAMPLES,
                    blocks[b].begin());
    return blocks;
}

// Alternating signs under an exponentially falling envelope, restarted every
// two seconds.
std::vector<Block> decayingBlocks()
{
    std::vector<Block> blocks(100);
    int n = 0;
    for (Block& block : blocks)
        for (short& s : block) {
            const double magnitude = 30000.0 * std::exp(-n / 2000.0) + 2.0;
            s = static_cast<short>(n % 2 ? -magnitude : magnitude);
            ++n;
        }
    return blocks;
}

// Includes copying the block into the work buffer, as gain and filter work in place.
void BM_Gain(benchmark::State& state)
{
    const auto blocks = speechBlocks();
    Block work{};
    std::size_t i = 0;
    for (auto _ : state) {
        work = blocks[i];
        adjustGain(3.0f, work.data());
        benchmark::DoNotOptimize(work);
        i = (i + 1) % blocks.size();
    }
    state.SetItemsProcessed(state.iterations() * SHAPING_BLOCK_SAMPLES);
}

void BM_BandPass(benchmark::State& state)
{
    const auto blocks = speechBlocks();
    BandPassFilter filter;
    Block work{};
    std::size_t i = 0;
    for (auto _ : state) {
        work = blocks[i];
        filter.process(1.5f, work.data(), SHAPING_BLOCK_SAMPLES);
        benchmark::DoNotOptimize(work);
        i = (i + 1) % blocks.size();
    }
    state.SetItemsProcessed(state.iterations() * SHAPING_BLOCK_SAMPLES);
}

void runAgcOver(benchmark::State& state, const std::vector<Block>& blocks, bool hang)
{
    CAgc agc;
    agc.SetParameters(hang, -20, 10, 100, 8000.0);
    Block out{};
    std::size_t i = 0;
    for (auto _ : state) {
        runAgc(agc, blocks[i].data(), out.data(), SHAPING_BLOCK_SAMPLES);
        benchmark::DoNotOptimize(out);
        i = (i + 1) % blocks.size();
    }
    state.SetItemsProcessed(state.iterations() * SHAPING_BLOCK_SAMPLES);
}

void BM_Agc(benchmark::State& state)
{
    runAgcOver(state, speechBlocks(), false);
}

void BM_AgcHang(benchmark::State& state)
{
    runAgcOver(state, speechBlocks(), true);
}

void BM_AgcWorstCase(benchmark::State& state)
{
    runAgcOver(state, decayingBlocks(), false);
}

} // namespace

BENCHMARK(BM_Gain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BandPass)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Agc)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AgcHang)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AgcWorstCase)->Unit(benchmark::kMicrosecond);

} // namespace halvane
