#include "imbe/SpectralEnhancement.h"
#include "imbe/uv_synthesiser.h"
#include "imbe/v_synthesiser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

using namespace halvane;

namespace {

// A frame of L harmonics with fundamental f0 (cycles per sample), all of one voicing.
IMBE_PARAM frame(int L, double f0, Word16 amplitude, bool voiced)
{
    IMBE_PARAM p;
    p.num_harms = static_cast<Word16>(L);
    p.num_bands = static_cast<Word16>(L > 36 ? 12 : (L + 2) / 3);
    p.fund_freq = static_cast<Word32>(std::lround(f0 * 4294967296.0));
    for (int l = 0; l < L; ++l) {
        p.sa[l] = amplitude;
        p.v_uv_dsn[l] = voiced ? 1 : 0;
    }
    p.l_uv = static_cast<Word16>(voiced ? 0 : L);
    const int n = fxp::norm_s(p.num_harms);
    p.div_one_by_num_harm_sh = static_cast<Word16>(n);
    p.div_one_by_num_harm = fxp::div_s(16384, static_cast<Word16>(L << n));
    return p;
}

// Amplitude of the component at f cycles per sample, by correlation over the samples.
double amplitudeAt(const std::vector<double>& s, double f)
{
    double c = 0, q = 0;
    for (std::size_t n = 0; n < s.size(); ++n) {
        c += s[n] * std::cos(2 * M_PI * f * n);
        q += s[n] * std::sin(2 * M_PI * f * n);
    }
    return 2 * std::hypot(c, q) / s.size();
}

// The enhancement weight in floating point, before the energy is restored.
double floatWeight(const IMBE_PARAM& p, int l)
{
    const double w0 = 2 * M_PI * p.fund_freq / 4294967296.0;
    double R0 = 0, R1 = 0;
    for (int k = 1; k <= p.num_harms; ++k) {
        R0 += double(p.sa[k - 1]) * p.sa[k - 1];
        R1 += double(p.sa[k - 1]) * p.sa[k - 1] * std::cos(k * w0);
    }
    const double inner = 0.96 * M_PI * (R0 * R0 + R1 * R1 - 2 * R0 * R1 * std::cos(l * w0)) / (w0 * R0 * (R0 * R0 - R1 * R1));
    return std::sqrt(double(p.sa[l - 1])) * std::pow(inner, 0.25);
}

TEST(SaEnh, FollowsTheWeightKeepsTheEnergyAndLeavesSilenceAlone)
{
    std::mt19937 rng(12);
    for (int trial = 0; trial < 300; ++trial) {
        const int L = 9 + static_cast<int>(rng() % 48);
        IMBE_PARAM p = frame(L, 0.4627 / L, 0, true);
        // A spectrum with a formant or two, over a wide range of levels.
        const double level = std::exp2(5 + rng() % 9);
        const double peak = (rng() % 1000) / 1000.0 * L;
        for (int l = 1; l <= L; ++l)
            p.sa[l - 1] = static_cast<Word16>(std::min(32767.0, 1 + level * (0.1 + std::exp(-std::pow((l - peak) / 3.0, 2)))));
        const IMBE_PARAM before = p;
        sa_enh(&p);

        std::vector<double> expected(L);
        double e0 = 0, e1 = 0;
        for (int l = 1; l <= L; ++l) {
            const double M = before.sa[l - 1];
            expected[l - 1] = M;
            if (8 * l > L) {
                const double W = floatWeight(before, l);
                expected[l - 1] = W > 1.2 ? 1.2 * M : W < 0.5 ? 0.5 * M : W * M;
            }
            e0 += M * M;
            e1 += expected[l - 1] * expected[l - 1];
        }
        const double g = e1 > e0 ? std::sqrt(e0 / e1) : 1.0;
        for (int l = 1; l <= L; ++l)
            ASSERT_NEAR(p.sa[l - 1], g * expected[l - 1], 0.02 * g * expected[l - 1] + 2) << "trial " << trial << " l " << l << " L " << L;
    }
    IMBE_PARAM silent = frame(20, 0.02, 0, true);
    sa_enh(&silent);
    for (int l = 0; l < 20; ++l)
        EXPECT_EQ(silent.sa[l], 0);
}

// A steady voiced frame of amplitude M gives cosines of amplitude M/2 at the harmonics.
TEST(VSynt, SteadyHarmonicsHaveHalfTheirAmplitude)
{
    RandomGenerator rng;
    v_synthesiser synth;
    synth.v_synt_init(rng);
    const double f0 = 1.0 / 40;
    IMBE_PARAM p = frame(18, f0, 2000, true);
    p.sa[2] = 8000;
    std::vector<double> out;
    for (int frame = 0; frame < 6; ++frame) {
        std::array<Word16, 160> snd;
        synth.v_synt(p, snd.data(), rng);
        if (frame >= 2)
            out.insert(out.end(), snd.begin(), snd.end());
    }
    EXPECT_NEAR(amplitudeAt(out, 3 * f0), 4000, 120);
    EXPECT_NEAR(amplitudeAt(out, 2 * f0), 1000, 60);
    EXPECT_LT(amplitudeAt(out, 2.5 * f0), 100);
}

TEST(VSynt, VoicingChangesCrossFade)
{
    RandomGenerator rng;
    v_synthesiser synth;
    synth.v_synt_init(rng);
    IMBE_PARAM voiced = frame(20, 1.0 / 45, 4000, true);
    IMBE_PARAM silent = voiced;
    for (auto& v : silent.v_uv_dsn)
        v = 0;
    silent.l_uv = 20;
    std::array<Word16, 160> a, b;
    synth.v_synt(voiced, a.data(), rng);
    synth.v_synt(voiced, a.data(), rng);
    synth.v_synt(silent, b.data(), rng); // the old harmonics fade out by sample 105
    double early = 0;
    for (int n = 0; n < 56; ++n)
        early = std::max(early, std::abs(double(b[n])));
    EXPECT_GT(early, 1000);
    for (int n = 105; n < 160; ++n)
        EXPECT_EQ(b[n], 0) << n;
    synth.v_synt(silent, b.data(), rng);
    for (Word16 s : b)
        EXPECT_EQ(s, 0);
}

// Noise of an unvoiced harmonic stays in its band.
TEST(UvSynt, NoiseFillsTheBandsOfUnvoicedHarmonics)
{
    RandomGenerator rng;
    uv_synthesiser synth;
    synth.uv_synt_init();
    const double f0 = 1.0 / 32; // 8 FFT bins per harmonic
    IMBE_PARAM p = frame(14, f0, 0, true);
    p.sa[4] = 3000;
    p.v_uv_dsn[4] = 0;
    p.l_uv = 1;
    std::vector<double> out;
    for (int frame = 0; frame < 20; ++frame) {
        std::array<Word16, 160> snd;
        synth.uv_synt(p, snd.data(), rng);
        if (frame > 0)
            out.insert(out.end(), snd.begin(), snd.end());
    }
    double inBand = 0, outBand = 0;
    for (double f = 0.01; f < 0.49; f += 0.002) {
        const double a = amplitudeAt(out, f);
        (std::abs(f - 5 * f0) < 0.6 * f0 ? inBand : outBand) += a * a;
    }
    EXPECT_GT(inBand, 20 * outBand);
    EXPECT_GT(inBand, 0);

    // A fully voiced frame adds no noise once the previous frame's tail has played.
    p.v_uv_dsn[4] = 1;
    std::array<Word16, 160> snd;
    synth.uv_synt(p, snd.data(), rng);
    synth.uv_synt(p, snd.data(), rng);
    for (Word16 s : snd)
        EXPECT_EQ(s, 0);
}

} // namespace
