#include "fixedpoint/BasicOps.h"
#include "imbe/AnalysisTables.h"
#include "imbe/analysis_spectrum.h"
#include "imbe/speech_front_end.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

using namespace halvane;
using namespace halvane::fxp;
using namespace halvane::imbe;

namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(AnalysisSpectrum, ScalesQuietFramesUpAndReportsTheShift)
{
    std::array<Word16, 621> frame{};
    for (int i = 0; i < 621; ++i)
        frame[i] = static_cast<Word16>(std::lround(40 * std::cos(2 * kPi * 500 * i / 8000)));
    analysis_spectrum quiet, loud;
    quiet.analyse(frame.data());
    for (auto& v : frame)
        v = static_cast<Word16>(v * 256);
    loud.analyse(frame.data());
    EXPECT_EQ(quiet.shift() - loud.shift(), 8);
    // bin 16 is 500 Hz: the same value in the scaled units, within the rounding of the input
    EXPECT_NEAR(quiet.bin(16).re, loud.bin(16).re, 40);
    EXPECT_NEAR(quiet.bin(16).im, loud.bin(16).im, 40);
    // a cosine of amplitude a has a peak of a/2 * sum(w) / 256 = 2140 for a = 40 * 2^8
    EXPECT_NEAR(std::hypot(quiet.bin(16).re, quiet.bin(16).im), 2140, 100);
}

// The low-pass filter runs as plain sums below its saturation bound; they must equal L_mac.
TEST(SpeechFrontEnd, LowPassEqualsTheSaturatingOperatorsAtEveryLevel)
{
    double taps = 0;
    for (Word16 h : lpf_coef)
        taps += std::abs(h);
    EXPECT_LT(2 * taps * 23244, 2147483648.0); // the bound of the plain path (below 23245)

    std::mt19937 rng(6);
    for (int level : {1000, 23244, 23245, 32767}) {
        std::uniform_int_distribution<int> d(-level, level);
        speech_front_end front;
        std::vector<Word16> dc_free(20, 0); // what the filter has seen, oldest first
        for (int block = 0; block < 8; ++block) {
            std::array<Word16, 160> in;
            for (auto& v : in)
                v = static_cast<Word16>(d(rng));
            front.push(in.data());
            const Word16* ref = front.pitch_ref_buf();
            dc_free.insert(dc_free.end(), ref + 461, ref + 621);
            for (int n = 0; n < 160; ++n) {
                Word32 acc = 0;
                for (int k = 0; k < 21; ++k)
                    acc = L_mac(acc, dc_free[dc_free.size() - 160 - 20 + n + k], lpf_coef[k]);
                ASSERT_EQ(front.pitch_est_buf()[461 + n], round(acc)) << level << " " << n;
            }
        }
    }
}

TEST(SpeechFrontEnd, RemovesDc)
{
    speech_front_end front;
    std::array<Word16, 160> in;
    in.fill(10000);
    for (int block = 0; block < 20; ++block)
        front.push(in.data());
    for (int n = 461; n < 621; ++n)
        EXPECT_LT(std::abs(front.pitch_ref_buf()[n]), 10) << n;
}

} // namespace
