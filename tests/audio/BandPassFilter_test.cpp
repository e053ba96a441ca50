#include "BandPassFilter.h"
#include "Speech.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace halvane {

namespace {

// The difference equation in double precision, saturating its output.
class ReferenceFilter {
public:
    short step(short sample, double gain)
    {
        std::rotate(x_.begin(), x_.begin() + 1, x_.end());
        std::rotate(y_.begin(), y_.begin() + 1, y_.end());
        x_[4] = sample / 2.104842187 * gain;
        y_[4] = (x_[0] + x_[4]) - 2 * x_[2] + (-0.2477325252 * y_[0]) + (-0.0869246102 * y_[1]) +
                (0.4680727937 * y_[2]) + (0.7488795032 * y_[3]);
        return static_cast<short>(std::clamp(std::trunc(y_[4]), -32768.0, 32767.0));
    }

private:
    std::array<double, 5> x_{};
    std::array<double, 5> y_{};
};

// In 160-sample blocks, as the encode path calls it.
void filterBlocks(BandPassFilter& filter, float gain, std::vector<short>& pcm)
{
    for (std::size_t at = 0; at < pcm.size(); at += 160)
        filter.process(gain, &pcm[at], static_cast<int>(std::min<std::size_t>(160, pcm.size() - at)));
}

TEST(BandPassFilter, MatchesTheDoublePrecisionEquationAndSaturates)
{
    std::vector<short> input = loadSpeech("hts1a");
    const std::vector<short> second = loadSpeech("mmt1");
    if (input.empty() || second.empty())
        GTEST_SKIP() << "codec2-examples speech not installed";
    input.insert(input.end(), second.begin(), second.end());
    for (int i = 0; i < 4000; ++i)
        input.push_back(i / 8 % 2 ? 30000 : -30000);

    for (float gain : {1.0f, 0.3f, 2.5f}) {
        SCOPED_TRACE(gain);
        BandPassFilter filter;
        ReferenceFilter reference;
        std::vector<short> pcm = input;
        filterBlocks(filter, gain, pcm);
        int worst = 0, differing = 0;
        for (std::size_t i = 0; i < pcm.size(); ++i) {
            const int difference = std::abs(pcm[i] - reference.step(input[i], gain));
            worst = std::max(worst, difference);
            differing += difference != 0;
        }
        // The single-precision history only rarely tips a truncation by one.
        EXPECT_LE(worst, 1);
        EXPECT_LT(differing, static_cast<int>(pcm.size() / 1000));
        if (gain > 2.0f) {
            EXPECT_GT(std::count(pcm.begin(), pcm.end(), 32767), 100);
            EXPECT_GT(std::count(pcm.begin(), pcm.end(), -32768), 100);
        }
    }
}

TEST(BandPassFilter, NonFiniteGainClearsTheHistory)
{
    std::vector<short> input(480);
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<short>(12000 * std::sin(0.6 * static_cast<double>(i)));
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        BandPassFilter filter, fresh;
        std::vector<short> pcm = input;
        filterBlocks(filter, 1.0f, pcm);
        pcm = input;
        filterBlocks(filter, bad, pcm);
        EXPECT_EQ(std::count(pcm.begin(), pcm.end(), 0), static_cast<long>(pcm.size()));

        std::vector<short> expected = input;
        filterBlocks(fresh, 1.0f, expected);
        pcm = input;
        filterBlocks(filter, 1.0f, pcm);
        EXPECT_EQ(pcm, expected);
    }
}

} // namespace

} // namespace halvane
