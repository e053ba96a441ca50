// How much decoded speech is like the speech that went in: the spectral
// envelope on a mel scale, compared frame by frame at the codec's delay, and
// the power in the speech band. Real checks for a vocoder's round trip, in
// tests that cannot compare samples.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace halvane {

// Band energies (dB) of 256-sample Hann frames every 128 samples: 16 bands equally spaced
// on the mel scale between 100 and 3800 Hz, each the sum of the DFT bins inside it.
inline std::vector<std::vector<double>> envelopes(const std::vector<short>& x, std::size_t from)
{
    constexpr int first = 4, last = 122; // 125 .. 3781 Hz
    static const auto basis = [] {
        std::vector<double> b(2 * (last - first) * 256);
        for (int k = first; k < last; ++k)
            for (int n = 0; n < 256; ++n) {
                const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * n / 256);
                b[2 * ((k - first) * 256 + n)] = w * std::cos(2 * std::numbers::pi * k * n / 256);
                b[2 * ((k - first) * 256 + n) + 1] = w * std::sin(2 * std::numbers::pi * k * n / 256);
            }
        return b;
    }();
    const auto mel = [](double f) { return 2595 * std::log10(1 + f / 700); };
    std::vector<std::vector<double>> frames;
    for (std::size_t at = from; at + 256 <= x.size(); at += 128) {
        std::vector<double> bands(16, 1e-3);
        for (int k = first; k < last; ++k) {
            double re = 0, im = 0;
            for (int n = 0; n < 256; ++n) {
                re += basis[2 * ((k - first) * 256 + n)] * x[at + n];
                im += basis[2 * ((k - first) * 256 + n) + 1] * x[at + n];
            }
            const int band = static_cast<int>(16 * (mel(k * 31.25) - mel(100)) / (mel(3800) - mel(100)));
            bands[std::clamp(band, 0, 15)] += re * re + im * im;
        }
        for (double& b : bands)
            b = 10 * std::log10(b);
        frames.push_back(bands);
    }
    return frames;
}

// Mean over the loud frames (within 40 dB of the loudest) of the RMS band difference in dB,
// after one level offset for the whole file, at the best delay of the output (the codec
// delays by some 60 ms).
inline double envelopeDistance(const std::vector<short>& in, const std::vector<short>& out)
{
    const auto a = envelopes(in, 0);
    double best = 1e9;
    for (std::size_t delay = 0; delay <= 640; delay += 16) {
        const auto b = envelopes(out, delay);
        const std::size_t n = std::min(a.size(), b.size());
        double loudest = -1e9;
        for (std::size_t f = 0; f < n; ++f)
            loudest = std::max(loudest, *std::max_element(a[f].begin(), a[f].end()));
        std::vector<std::size_t> loud;
        double offset = 0;
        for (std::size_t f = 0; f < n; ++f)
            if (*std::max_element(a[f].begin(), a[f].end()) > loudest - 40) {
                loud.push_back(f);
                for (int k = 0; k < 16; ++k)
                    offset += b[f][k] - a[f][k];
            }
        offset /= 16.0 * loud.size();
        double sum = 0;
        for (std::size_t f : loud) {
            double squares = 0;
            for (int k = 0; k < 16; ++k)
                squares += std::pow(b[f][k] - a[f][k] - offset, 2);
            sum += std::sqrt(squares / 16);
        }
        best = std::min(best, sum / loud.size());
    }
    return best;
}

// Mean power (dB) of the 125..3781 Hz band of envelopes() over the frames
// of `x`.
inline double speechBandPower(const std::vector<short>& x)
{
    double sum = 0;
    std::size_t frames = 0;
    for (const std::vector<double>& bands : envelopes(x, 0)) {
        for (double b : bands)
            sum += std::pow(10.0, b / 10);
        ++frames;
    }
    return frames == 0 ? -1e9 : 10 * std::log10(sum / static_cast<double>(frames));
}

} // namespace halvane
