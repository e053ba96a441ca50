#include "ambe/software_imbe_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace halvane {
namespace {

constexpr double pi = std::numbers::pi;

struct Frame {
    int L;
    float w0;
    std::vector<int> v;
    std::vector<float> mu;
};

Frame flat(float f0, int voiced, float magnitude)
{
    const float w0 = 2.0f * std::numbers::pi_v<float> * f0;
    const int L = std::min(56, static_cast<int>(0.925f * std::numbers::pi_v<float> / w0));
    return {L, w0, std::vector<int>(L, voiced), std::vector<float>(L, magnitude)};
}

std::vector<float> synthesise(software_imbe_decoder& synth, const Frame& f, int frames)
{
    std::vector<float> out;
    for (int i = 0; i < frames; ++i) {
        synth.decode_tap(f.L, 0, f.w0, f.v.data(), f.mu.data());
        auto& audio = synth.audio();
        EXPECT_EQ(audio.size(), 160u);
        out.insert(out.end(), audio.begin(), audio.end());
        audio.clear();
    }
    return out;
}

// Energy of x at frequency w (radians per sample).
double energyAt(const std::vector<float>& x, std::size_t from, double w)
{
    std::complex<double> sum;
    for (std::size_t n = from; n < x.size(); ++n)
        sum += static_cast<double>(x[n]) * std::polar(1.0, -w * static_cast<double>(n));
    return std::norm(sum);
}

TEST(SoftwareImbeDecoder, Windows)
{
    EXPECT_EQ(software_imbe_decoder::ws(0), 1.0f);
    EXPECT_EQ(software_imbe_decoder::ws(55), 1.0f);
    EXPECT_FLOAT_EQ(software_imbe_decoder::ws(56), 0.98f);
    EXPECT_FLOAT_EQ(software_imbe_decoder::ws(-104), 0.02f);
    EXPECT_EQ(software_imbe_decoder::ws(105), 0.0f);
    EXPECT_NEAR(software_imbe_decoder::woaa(56), 1.040799f, 1e-6f);
    EXPECT_EQ(software_imbe_decoder::woaa(55), 0.0f);
    EXPECT_EQ(software_imbe_decoder::woaa(105), 0.0f);
}

TEST(SoftwareImbeDecoder, PackedTransformEqualsTheDirectSum)
{
    std::mt19937 rng(7);
    std::normal_distribution<float> g(0.0f, 1000.0f);
    std::array<float, 129> re{};
    std::array<float, 129> im{};
    for (int m = 0; m <= 128; ++m) {
        re[m] = g(rng);
        im[m] = (m == 0 || m == 128) ? 0.0f : g(rng);
    }
    std::array<float, 256> y{};
    software_imbe_decoder::ifft(re.data(), im.data(), y.data());
    for (int n = -128; n < 128; ++n) {
        double direct = 0.0;
        for (int m = 0; m < 256; ++m) {
            const std::complex<double> U =
                m <= 128 ? std::complex<double>(re[m], im[m]) : std::complex<double>(re[256 - m], -im[256 - m]);
            direct += (U * std::polar(1.0, -2.0 * pi * m * n / 256.0)).real();
        }
        EXPECT_NEAR(y[n + 128], direct, 0.05) << n;
    }
}

TEST(SoftwareImbeDecoder, SteadyVoicedFrameSoundsAtTheHarmonics)
{
    software_imbe_decoder synth;
    const Frame f = flat(0.0251f, 1, 300.0f);
    const std::vector<float> out = synthesise(synth, f, 12);
    for (int l = 1; l <= 6; ++l) {
        const double on = energyAt(out, 320, f.w0 * l);
        const double between = energyAt(out, 320, f.w0 * (l + 0.5));
        EXPECT_GT(on, 1000.0 * between) << l;
    }
}

TEST(SoftwareImbeDecoder, UnvoicedFrameIsNoiseAndStartsSilent)
{
    software_imbe_decoder synth;
    const std::vector<float> out = synthesise(synth, flat(0.02f, 0, 2000.0f), 6);
    for (int n = 0; n <= 55; ++n)
        EXPECT_EQ(out[n], 0.0f) << n;
    // Later frames carry noise spread over the band, not a line spectrum.
    double energy = 0.0;
    for (std::size_t n = 320; n < out.size(); ++n)
        energy += static_cast<double>(out[n]) * out[n];
    EXPECT_GT(energy / (out.size() - 320), 1000.0);
}

TEST(SoftwareImbeDecoder, AmplitudeSumIsBoundedAndSamplesClip)
{
    // One harmonic below L / 8 keeps its magnitude through enhancement; smoothing then halves
    // a sum of 40960 and keeps 20479.
    for (const float m : {40960.0f, 20479.0f}) {
        software_imbe_decoder synth;
        Frame f = flat(0.05f, 1, 0.0f);
        f.L = 8;
        f.mu[0] = m;
        const std::vector<float> out = synthesise(synth, f, 3);
        EXPECT_FLOAT_EQ(synth.last_magnitude(1), m >= 20480.0f ? m / 2.0f : m);
        // Four times 20480 does not fit in 16 bits.
        for (const float x : out)
            ASSERT_LE(std::abs(x), 32767.0f);
        if (m > 40000.0f) {
            EXPECT_NE(std::find(out.begin(), out.end(), 32767.0f), out.end());
        }
    }
    // Two low harmonics keep their ratio through enhancement.
    software_imbe_decoder synth;
    Frame f = flat(0.015f, 1, 100.0f);
    f.L = 16;
    f.mu[0] = 400.0f;
    synthesise(synth, f, 1);
    EXPECT_FLOAT_EQ(synth.last_magnitude(1) / synth.last_magnitude(2), 4.0f);
}

TEST(SoftwareImbeDecoder, HostileModelsGiveBoundedSamples)
{
    software_imbe_decoder synth;
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> count(-5, 70);
    std::uniform_real_distribution<float> w(-1.0f, 4.0f);
    std::uniform_real_distribution<float> m(-1e6f, 1e30f);
    std::vector<int> v(56);
    std::vector<float> mu(56);
    for (int i = 0; i < 300; ++i) {
        for (int l = 0; l < 56; ++l) {
            v[l] = static_cast<int>(rng() % 3);
            mu[l] = l % 17 == 0 ? std::nanf("") : m(rng);
        }
        synth.decode_tap(count(rng), 0, i % 29 == 0 ? std::numeric_limits<float>::infinity() : w(rng), v.data(),
                         mu.data());
        auto& audio = synth.audio();
        ASSERT_EQ(audio.size(), 160u);
        for (const float x : audio)
            ASSERT_TRUE(std::isfinite(x) && std::abs(x) <= 32767.0f);
        audio.clear();
    }
}

} // namespace
} // namespace halvane
