#include "ImbeFrames.h"
#include "fixedpoint/Elementary.h"
#include "imbe/FrameVector.h"
#include "imbe/sa_dequantiser.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>

using namespace halvane;
using namespace imbe_test;

namespace {

IMBE_PARAM randomFrame(int b0, std::mt19937& rng)
{
    IMBE_PARAM p;
    decode_frame_vector(&p, packFrame(randomParameters(b0, rng)).data());
    return p;
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
    for (int frame = 0; frame < 500; ++frame) {
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
