#include "fixedpoint/Elementary.h"
#include "imbe/AnalysisTables.h"
#include "imbe/FixedMath.h"
#include "imbe/analysis_spectrum.h"
#include "imbe/speech_front_end.h"

#include "Speech.h"

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

// Frames of every kind the analysis meets: speech, full-scale noise and squares, silence.
std::vector<std::array<Word16, 621>> frames()
{
    std::vector<std::array<Word16, 621>> out;
    const auto speech = loadSpeech("cq_ref");
    for (std::size_t at = 0; at + 621 <= speech.size(); at += 1600) {
        out.emplace_back();
        std::copy_n(speech.begin() + at, 621, out.back().begin());
    }
    std::mt19937 rng(5);
    for (int n = 0; n < 20; ++n) {
        out.emplace_back();
        for (auto& v : out.back())
            v = static_cast<Word16>(rng());
    }
    out.emplace_back();
    for (int i = 0; i < 621; ++i)
        out.back()[i] = (i / 7) % 2 ? 32767 : -32768;
    out.emplace_back(); // silence
    return out;
}

// The harmonic fit is written in plain integers; it must equal the saturating operators.
TEST(AnalysisSpectrum, FitEqualsTheSaturatingOperators)
{
    for (const auto& frame : frames()) {
        analysis_spectrum spectrum;
        spectrum.analyse(frame.data());
        for (Word32 w0 : {Word32{2 << 16} + 7919, Word32{6 << 16} + 12345, Word32{12 << 16} + 54321}) {
            for (int l = 1; band_start(l + 1, w0) - 1 <= analysis_spectrum::half; ++l) {
                const Word32 pos = L_mult_int(w0, static_cast<Word16>(l));
                const int lo = band_start(l, w0), hi = band_start(l + 1, w0) - 1;
                Word32 c_re = 0, c_im = 0, g = 0;
                for (int m = lo; m <= hi; ++m) {
                    const Word32 index = (((m << 16) - pos + 512) >> 10) + 160;
                    const Word16 w = index >= 0 && index <= 320 ? wr_sp[index] : 0;
                    c_re = L_add(c_re, mult_r(spectrum.bin(m).re, w));
                    c_im = L_add(c_im, mult_r(spectrum.bin(m).im, w));
                    g = L_add(g, mult_r(w, w));
                }
                const auto fit = spectrum.fit(pos, lo, hi);
                ASSERT_EQ(fit.window, g);
                // the explained energy, |c|^2 / g in the energy's units, to its 15 bits
                const double explained = (static_cast<double>(c_re) * c_re + static_cast<double>(c_im) * c_im) * 4096.0 / std::max(g, 1);
                ASSERT_NEAR(fit.explained, std::min<double>(explained, fit.energy), explained * 1e-3 + 2);
            }
        }
    }
}

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
