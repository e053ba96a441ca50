#pragma once
// Test helpers: parameter vectors of chosen pitch index with random indexes, and their
// frame vectors as the encoder packs them.

#include "fixedpoint/BitAllocation.h"
#include "imbe/FrameVectorEncode.h"
#include "imbe/IMBE_PARAM.h"

#include <array>
#include <random>

namespace imbe_test {

using halvane::Word16;

inline int harmonicsFor(int b0)
{
    return (((2 * b0 + 81) >> 3) * 60647) >> 16;
}

inline int bandsFor(int L)
{
    return L > 36 ? 12 : (L + 2) / 3;
}

inline std::array<Word16, 59> allocationFor(int L)
{
    std::array<Word16, 59> bits{};
    halvane::fxp::get_bit_allocation(static_cast<Word16>(L), bits.data());
    return bits;
}

// b_vec[0..L+2] of a frame (b0 <= 207) to its eight words.
inline std::array<Word16, 8> packFrame(const std::array<Word16, 59>& b)
{
    halvane::IMBE_PARAM p;
    p.b_vec = b;
    p.num_harms = static_cast<Word16>(harmonicsFor(b[0]));
    p.num_bands = static_cast<Word16>(bandsFor(p.num_harms));
    p.bit_alloc = allocationFor(p.num_harms);
    std::array<Word16, 8> u{};
    halvane::imbe::encode_frame_vector(&p, u.data());
    return u;
}

// A b_vec with pitch index b0 and random indexes within their widths.
inline std::array<Word16, 59> randomParameters(int b0, std::mt19937& rng)
{
    std::array<Word16, 59> b{};
    const int L = harmonicsFor(b0), K = bandsFor(L);
    const auto alloc = allocationFor(L);
    b[0] = static_cast<Word16>(b0);
    b[1] = static_cast<Word16>(rng() & ((1u << K) - 1));
    b[2] = static_cast<Word16>(rng() & 63);
    for (int i = 0; i < L - 1; ++i)
        b[3 + i] = static_cast<Word16>(rng() & ((1u << alloc[i]) - 1));
    b[L + 2] = static_cast<Word16>(rng() & 1);
    return b;
}

} // namespace imbe_test
