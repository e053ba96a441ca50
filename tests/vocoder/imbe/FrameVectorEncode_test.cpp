#include "ImbeFrames.h"
#include "imbe/FrameVector.h"
#include "imbe/FrameVectorEncode.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

using namespace halvane;
using namespace imbe_test;

namespace {

// The model fields encode_frame_vector reads, as the encoder has them: L, K and the
// allocation follow from the pitch index.
IMBE_PARAM parameters(const std::array<Word16, 59>& b)
{
    IMBE_PARAM p;
    p.b_vec = b;
    p.num_harms = static_cast<Word16>(harmonicsFor(b[0]));
    p.num_bands = static_cast<Word16>(bandsFor(p.num_harms));
    p.bit_alloc = allocationFor(p.num_harms);
    return p;
}

TEST(EncodeFrameVector, IsTheInverseOfTheDecoderForEveryPitchIndex)
{
    // Every pitch index, so every L from 9 to 56 and every L = 11 and K = 12 case, with
    // random indexes of every width (zero-bit coefficients included).
    std::mt19937 rng(7);
    for (int b0 = 0; b0 <= 207; ++b0) {
        for (int n = 0; n < 50; ++n) {
            const auto b = randomParameters(b0, rng);
            const IMBE_PARAM p = parameters(b);
            std::array<Word16, 8> u{};
            imbe::encode_frame_vector(&p, u.data());
            ASSERT_EQ(u, packFrame(b)) << "b0 " << b0;

            IMBE_PARAM back;
            decode_frame_vector(&back, u.data());
            for (int i = 0; i <= p.num_harms + 2; ++i)
                ASSERT_EQ(back.b_vec[i], b[i]) << "b0 " << b0 << " index " << i;
        }
    }
}

TEST(EncodeFrameVector, EveryDecodableFrameVectorComesBackBitForBit)
{
    // 88 bits carry b0 (8), the gain index (6), K voicing bits, 73 - K coefficient bits and
    // the spare bit: for pitch indexes up to 207 the layout is a bijection.
    std::mt19937 rng(8);
    for (int n = 0; n < 200000; ++n) {
        std::array<Word16, 8> u{};
        for (int w = 0; w < 8; ++w)
            u[w] = static_cast<Word16>(rng() & ((1u << imbe_frame_field_widths[w]) - 1));
        IMBE_PARAM p;
        decode_frame_vector(&p, u.data());
        if (p.b_vec[0] > 207)
            continue;
        std::array<Word16, 8> again{};
        imbe::encode_frame_vector(&p, again.data());
        ASSERT_EQ(again, u) << n;
    }
}

} // namespace
