#include "ImbeFrames.h"
#include "fixedpoint/Elementary.h"
#include "imbe/FrameVector.h"
#include "imbe/ImbeTables.h"
#include "imbe/sa_dequantiser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

using namespace halvane;
using namespace imbe_test;

namespace {

// The inverse DCT with the fixed-point angle step floor(16384 / m) (Q15 half cycles).
std::vector<double> floatIdct(const std::vector<double>& in)
{
    const auto m = static_cast<int>(in.size());
    const int step = 16384 / m;
    std::vector<double> out(m);
    for (int j = 0; j < m; ++j) {
        out[j] = in[0];
        for (int k = 1; k < m; ++k)
            out[j] += 2 * in[k] * std::cos(M_PI * ((k * (2 * j + 1) * step) % 65536) / 32768.0);
    }
    return out;
}

// The residuals in floating point: block means from the gain vector, then each block.
// inputMagnitude gets the sum of the gain vector's magnitudes, the scale of the rounding.
std::vector<double> floatResiduals(const IMBE_PARAM& p, double& inputMagnitude)
{
    const int L = p.num_harms;
    const auto deq = [](int index, double step, int bits) { return bits == 0 ? 0.0 : std::floor(((index - (1 << (bits - 1))) * step + std::floor(step / 2)) / 32.0); };
    std::vector<double> G(6);
    G[0] = gain_qnt_tbl[p.b_vec[2]];
    for (int i = 1; i < 6; ++i)
        G[i] = deq(p.b_vec[2 + i], gain_step_size_tbl[L - 9][i - 1], p.bit_alloc[i - 1]);
    inputMagnitude = 0;
    for (double g : G)
        inputMagnitude += std::abs(g);
    const auto D = floatIdct(G);
    std::vector<double> T;
    int index = 8;
    for (int j = 0; j < 6; ++j) {
        std::vector<double> C(block_length(static_cast<Word16>(L), j));
        C[0] = D[j];
        for (std::size_t k = 1; k < C.size(); ++k, ++index) {
            const int bits = p.bit_alloc[index - 3];
            const double step = bits ? std::floor(hi_ord_step_size_tbl[bits - 1] * 2.0 * hi_ord_std_tbl[k - 1] / 65536) : 0;
            C[k] = deq(p.b_vec[index], step, bits);
        }
        const auto block = floatIdct(C);
        T.insert(T.end(), block.begin(), block.end());
    }
    return T;
}

IMBE_PARAM randomFrame(int b0, std::mt19937& rng)
{
    IMBE_PARAM p;
    decode_frame_vector(&p, packFrame(randomParameters(b0, rng)).data());
    return p;
}

TEST(SaDequantiser, ResidualsMatchTheRealTransforms)
{
    std::mt19937 rng(5);
    for (int b0 = 0; b0 <= 207; b0 += 3) {
        for (int n = 0; n < 10; ++n) {
            const IMBE_PARAM p = randomFrame(b0, rng);
            std::array<Word16, 56> T;
            sa_dequantiser::dequantise_residuals(p, T.data());
            double magnitude;
            const auto expected = floatResiduals(p, magnitude);
            ASSERT_EQ(expected.size(), static_cast<std::size_t>(p.num_harms));
            for (int l = 0; l < p.num_harms; ++l) {
                if (std::abs(expected[l]) < 32000) {
                    ASSERT_NEAR(T[l], expected[l], 4.0 + 1e-3 * magnitude) << "b0 " << b0 << " l " << l;
                }
            }
        }
    }
}

double rhoFor(int L)
{
    return L <= 15 ? 0.4 : L >= 25 ? 0.7 : 0.03 * L - 0.05;
}

// The prediction in floating point: the previous log-amplitudes (Q22) extended past their
// last harmonic, interpolated at l * Lp / L, weighted by rho, minus rho times their mean.
std::vector<double> floatPrediction(const std::array<Word32, 58>& prev, int Lp, int L)
{
    std::vector<double> extended(prev.begin(), prev.end());
    for (int l = Lp + 1; l < 58; ++l)
        extended[l] = extended[Lp];
    std::vector<double> interpolated(L);
    double mean = 0;
    for (int l = 1; l <= L; ++l) {
        const double pos = static_cast<double>(l) * Lp / L;
        const int k = static_cast<int>(pos);
        const double d = pos - k;
        interpolated[l - 1] = (1 - d) * extended[k] + d * extended[k + 1];
        mean += interpolated[l - 1] / L;
    }
    for (auto& v : interpolated)
        v = rhoFor(L) * (v - mean);
    return interpolated;
}

TEST(SaDequantiser, PredictsFromThePreviousFrame)
{
    std::mt19937 rng(6);
    sa_dequantiser dq;
    EXPECT_EQ(dq.num_harms_prev(), 30);
    int Lp = 30;
    for (int frame = 0; frame < 300; ++frame) {
        const int b0 = frame == 1 ? 0 : frame == 2 ? 35 : static_cast<int>(rng() % 208); // L = 9, then 20
        const IMBE_PARAM p = randomFrame(b0, rng);
        const auto prev = dq.log_sa_prev();
        const auto expected = floatPrediction(prev, Lp, p.num_harms);
        const auto prediction = dq.predict(p.num_harms);
        double scale = 1 << 22;
        for (int l = 0; l <= Lp; ++l)
            scale = std::max(scale, std::abs(static_cast<double>(prev[l])));
        for (int l = 1; l <= p.num_harms; ++l) {
            const double got = static_cast<double>(prediction.weighted[l - 1]) - prediction.mean;
            ASSERT_NEAR(got, expected[l - 1], 1e-3 * scale) << "frame " << frame << " l " << l;
        }
        // Harmonics past the previous frame's last one read copies of it.
        for (int l = Lp + 1; l < 58; ++l)
            ASSERT_EQ(dq.log_sa_prev()[l], prev[Lp]);

        std::array<Word16, 56> T, sa;
        sa_dequantiser::dequantise_residuals(p, T.data());
        dq.store(p.num_harms, T.data(), prediction, sa.data());
        for (int l = 1; l <= p.num_harms; ++l) {
            ASSERT_EQ(dq.log_sa_prev()[l], fxp::L_sub(fxp::L_add(Word32{T[l - 1]} * 2048, prediction.weighted[l - 1]), prediction.mean));
            ASSERT_EQ(sa[l - 1], fxp::Pow2(dq.log_sa_prev()[l]));
        }
        EXPECT_EQ(dq.num_harms_prev(), p.num_harms);
        Lp = p.num_harms;
    }
}

TEST(SaDequantiser, FirstFrameHasNothingToPredictFrom)
{
    std::mt19937 rng(7);
    sa_dequantiser dq;
    IMBE_PARAM p = randomFrame(60, rng);
    std::array<Word16, 56> T;
    sa_dequantiser::dequantise_residuals(p, T.data());
    dq.sa_decode(&p);
    for (int l = 1; l <= p.num_harms; ++l)
        EXPECT_EQ(dq.log_sa_prev()[l], Word32{T[l - 1]} * 2048) << l;
    const int n = fxp::norm_s(p.num_harms);
    EXPECT_EQ(p.div_one_by_num_harm_sh, n);
    EXPECT_NEAR(p.div_one_by_num_harm * std::ldexp(1.0, n - 29), 1.0 / p.num_harms, 1e-4);
}

// The encoder's closed loop (predict, then store its own indexes) and the decoder's sa_decode
// must keep identical state frame after frame.
TEST(SaDequantiser, ClosedLoopStepsKeepTheDecodersState)
{
    std::mt19937 rng(8);
    sa_dequantiser decoder, encoder;
    for (int frame = 0; frame < 2000; ++frame) {
        IMBE_PARAM p = randomFrame(static_cast<int>(rng() % 208), rng);
        decoder.sa_decode(&p);
        std::array<Word16, 56> T, sa;
        sa_dequantiser::dequantise_residuals(p, T.data());
        const auto prediction = encoder.predict(p.num_harms);
        encoder.store(p.num_harms, T.data(), prediction, sa.data());
        ASSERT_EQ(encoder.num_harms_prev(), decoder.num_harms_prev());
        for (int l = 1; l <= p.num_harms; ++l) {
            ASSERT_EQ(encoder.log_sa_prev()[l], decoder.log_sa_prev()[l]) << frame;
            ASSERT_EQ(sa[l - 1], p.sa[l - 1]);
        }
    }
}

} // namespace
