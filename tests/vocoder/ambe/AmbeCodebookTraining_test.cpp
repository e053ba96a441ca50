// The trained codebooks against speech they were not trained on (cq_ref and forig are held
// out of training): each must quantise the frames' search targets better than a codebook of
// the same size made of random frames from training speech.

#include "Speech.h"
#include "ambe/AmbeQuantizer.h"
#include "ambe/ambe_encoder.h"
#include "ambe/ambe_vocoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace halvane {
namespace {

// Search targets of every block of a file, quantised in closed loop with the built-in
// codebooks: per codebook (prba24, prba58, hoc b5..b8) the vectors and their column counts.
struct Targets {
    std::array<std::vector<std::array<float, 4>>, 6> vectors;
    std::array<std::vector<int>, 6> columns;
};

Targets targetsOf(const char* name, bool dstar)
{
    const std::vector<short> speech = loadSpeech(name);
    Targets t;
    ambe_encoder analyser;
    mbe_parameters cur{};
    mbe_parameters prev{};
    mbe_parameters scratch{};
    mbe_initMbeParms(&cur, &prev, &scratch);
    for (std::size_t at = 0; at + 160 <= speech.size(); at += 160) {
        std::array<std::int16_t, 160> block;
        std::copy_n(speech.begin() + at, 160, block.begin());
        if (!dstar)
            ambe_vocoder::scale_input(block);
        const AmbeAnalysis frame = analyser.analyse(block);
        std::array<std::int32_t, 9> b{};
        AmbeTargets targets;
        if (!encodeAmbe(frame, b, cur, prev, dstar, 0.0f, ambeCodebooks(dstar), &targets))
            continue;
        const auto add = [&t](int book, const float* v, int columns) {
            std::array<float, 4> row{};
            std::copy_n(v, columns, row.begin());
            t.vectors[book].push_back(row);
            t.columns[book].push_back(columns);
        };
        add(0, targets.prba.data(), 3);
        add(1, targets.prba.data() + 3, 4);
        for (int i = 0; i < 4; ++i)
            if (targets.hocColumns[i] > 0)
                add(2 + i, targets.hoc[i].data(), targets.hocColumns[i]);
    }
    return t;
}

template <typename Row>
double meanError(const Targets& t, int book, std::span<const Row> rows)
{
    double total = 0.0;
    for (std::size_t i = 0; i < t.vectors[book].size(); ++i) {
        double best = 1e30;
        for (const Row& row : rows) {
            double e = 0.0;
            for (int d = 0; d < t.columns[book][i]; ++d)
                e += (t.vectors[book][i][d] - row[d]) * (t.vectors[book][i][d] - row[d]);
            best = std::min(best, e);
        }
        total += best;
    }
    return total / static_cast<double>(t.vectors[book].size());
}

template <typename Row>
std::vector<Row> randomRows(const Targets& t, int book, std::size_t count, std::mt19937& rng)
{
    std::vector<Row> rows(count);
    for (Row& row : rows) {
        const auto& v = t.vectors[book][rng() % t.vectors[book].size()];
        std::copy_n(v.begin(), row.size(), row.begin());
    }
    return rows;
}

TEST(AmbeCodebookTraining, TrainedCodebooksBeatRandomTrainingFramesOnHeldOutSpeech)
{
    if (loadSpeech("cq_ref").empty() || loadSpeech("hts1").empty())
        GTEST_SKIP() << "codec2-examples speech not installed";
    for (const bool dstar : {false, true}) {
        Targets held = targetsOf("cq_ref", dstar);
        const Targets more = targetsOf("forig", dstar);
        for (int book = 0; book < 6; ++book) {
            held.vectors[book].insert(held.vectors[book].end(), more.vectors[book].begin(), more.vectors[book].end());
            held.columns[book].insert(held.columns[book].end(), more.columns[book].begin(), more.columns[book].end());
        }
        const Targets training = targetsOf("hts1", dstar);
        const AmbeCodebooks& books = ambeCodebooks(dstar);
        std::mt19937 rng(99);
        const auto prba24 = randomRows<AmbeRow3>(training, 0, books.prba24.size(), rng);
        EXPECT_LT(meanError(held, 0, books.prba24), meanError(held, 0, std::span<const AmbeRow3>(prba24))) << dstar;
        const auto prba58 = randomRows<AmbeRow4>(training, 1, books.prba58.size(), rng);
        EXPECT_LT(meanError(held, 1, books.prba58), meanError(held, 1, std::span<const AmbeRow4>(prba58))) << dstar;
        for (int i = 0; i < 4; ++i) {
            const auto hoc = randomRows<AmbeRow4>(training, 2 + i, books.hoc[i].size(), rng);
            EXPECT_LT(meanError(held, 2 + i, books.hoc[i]), meanError(held, 2 + i, std::span<const AmbeRow4>(hoc)))
                << dstar << " block " << i + 1;
        }
    }
}

} // namespace
} // namespace halvane
