#include "AudioShaping.h"
#include "CAgc.h"
#include "Speech.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace halvane {

namespace {

TEST(Gain, SaturatesSymmetricallyAndTruncatesTowardZero)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        short in;
        float gain;
        short out;
    } const cases[] = {{20000, 2.0f, 32767},   {-20000, 2.0f, -32767},  {-32768, 1.0f, -32767}, {-16384, 2.0f, -32767},
                       {-5, 0.99f, -4},        {3, 0.5f, 1},            {20000, -2.0f, -32767}, {-20000, -2.0f, 32767},
                       {1000, nan, 0},         {1000, inf, 32767},      {0, inf, 0}};
    for (const Case& c : cases) {
        short pcm = c.in;
        applyGain(c.gain, &pcm, 1);
        EXPECT_EQ(pcm, c.out) << c.in << " x " << c.gain;
    }
    std::vector<short> block(SHAPING_BLOCK_SAMPLES + 1, -30000);
    adjustGain(2.0f, block.data());
    EXPECT_EQ(std::count(block.begin(), block.end(), -32767), SHAPING_BLOCK_SAMPLES);
    EXPECT_EQ(block.back(), -30000);
}

// runAgc in uneven pieces, in place, against the same AGC run by hand over
// floats; a negative slope raises the gain with the level and drives much of
// the output past full scale, which must saturate, not wrap.
TEST(AgcConversion, MatchesTheAgcOnFloatsAndSaturates)
{
    const std::vector<short> speech = loadSpeech("hts1a");
    if (speech.empty())
        GTEST_SKIP() << "codec2-examples speech not installed";
    for (const int slope : {10, -100}) {
        SCOPED_TRACE(slope);
        CAgc agc, reference;
        agc.SetParameters(false, slope < 0 ? -100 : -20, slope, 100, 8000.0);
        reference.SetParameters(false, slope < 0 ? -100 : -20, slope, 100, 8000.0);
        std::vector<float> expected;
        for (short v : speech)
            expected.push_back(static_cast<float>(v / 32767.0));
        reference.ProcessData(static_cast<int>(expected.size()), expected.data(), expected.data());

        std::vector<short> pcm = speech;
        for (std::size_t at = 0; at < pcm.size(); at += 400)
            runAgc(agc, &pcm[at], &pcm[at], static_cast<int>(std::min<std::size_t>(400, pcm.size() - at)));
        for (std::size_t i = 0; i < pcm.size(); ++i)
            ASSERT_EQ(pcm[i], std::clamp(std::trunc(expected[i] * 32767.0), -32768.0, 32767.0)) << i;
        if (slope < 0) {
            EXPECT_GT(std::count(pcm.begin(), pcm.end(), 32767), 100);
            EXPECT_GT(std::count(pcm.begin(), pcm.end(), -32768), 100);
        }
    }
}

} // namespace

} // namespace halvane
