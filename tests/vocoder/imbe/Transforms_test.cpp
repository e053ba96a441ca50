#include "fixedpoint/BasicOps.h"
#include "imbe/Dct.h"
#include "imbe/Fft.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <random>

using namespace halvane;
using namespace halvane::fxp;

namespace {

TEST(Idct, MatchesTheCosineSum)
{
    std::mt19937 rng(9);
    for (Word16 m = 1; m <= 10; ++m) {
        for (int n = 0; n < 50; ++n) {
            std::array<Word16, 10> in{}, out{};
            double magnitude = 0;
            for (int k = 0; k < m; ++k) {
                in[k] = static_cast<Word16>(static_cast<int>(rng() % 8001) - 4000);
                magnitude += std::abs(in[k]);
            }
            idct(in.data(), m, m, out.data());
            for (int j = 0; j < m; ++j) {
                // The angle advances by floor(16384 / m) in Q15 half cycles, not by 1 / (2m).
                double expected = in[0];
                for (int k = 1; k < m; ++k)
                    expected += 2 * in[k] * std::cos(M_PI * (k * (2 * j + 1) * (16384 / m)) / 32768.0);
                ASSERT_NEAR(out[j], expected, 2 + 5e-4 * magnitude) << "m " << m << " j " << j;
            }
        }
    }
    const std::array<Word16, 1> one{-1234};
    std::array<Word16, 1> out{};
    idct(one.data(), 1, 1, out.data());
    EXPECT_EQ(out[0], -1234);
}

TEST(Fft, IsTheScaledDiscreteFourierTransform)
{
    std::mt19937 rng(11);
    for (int trial = 0; trial < 20; ++trial) {
        std::array<Cmplx16, 256> x;
        for (auto& c : x)
            c = {static_cast<Word16>(static_cast<int>(rng() % 32001) - 16000), static_cast<Word16>(static_cast<int>(rng() % 32001) - 16000)};
        const auto input = x;
        const int isign = trial % 2 ? 1 : -1;
        fft(x.data(), 256, static_cast<Word16>(isign));
        for (int k = 0; k < 256; k += 7) {
            std::complex<double> sum = 0;
            for (int t = 0; t < 256; ++t)
                sum += std::complex<double>(input[t].re, input[t].im) * std::polar(1.0, isign * 2 * M_PI * t * k / 256);
            sum /= 256.0;
            ASSERT_NEAR(x[k].re, sum.real(), 3.0) << k;
            ASSERT_NEAR(x[k].im, sum.imag(), 3.0) << k;
        }
    }
}

} // namespace
