#pragma once
// Test helpers: frame vectors built from chosen parameters, following the layout the decoder
// reads (the priority scan, the voicing and gain bits inside the stream, the u0/u7 fields).

#include "fixedpoint/BitAllocation.h"
#include "imbe/IMBE_PARAM.h"

#include <array>
#include <random>
#include <vector>

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

// b_vec[0..L+2] of a frame to its eight words.
inline std::array<Word16, 8> packFrame(const std::array<Word16, 59>& b)
{
    const int b0 = b[0], L = harmonicsFor(b0), K = bandsFor(L);
    const auto alloc = allocationFor(L);
    std::vector<int> coefficient;
    for (int level = L == 11 ? 9 : alloc[0]; level > 0; --level)
        for (int i = 0; i < L - 1; ++i)
            if (alloc[i] >= level)
                coefficient.push_back((b[3 + i] >> (level - 1)) & 1);
    std::vector<int> p(coefficient.begin(), coefficient.begin() + 39);
    for (int i = K - 1; i >= 0; --i)
        p.push_back((b[1] >> i) & 1);
    p.push_back((b[2] >> 2) & 1);
    p.push_back((b[2] >> 1) & 1);
    p.insert(p.end(), coefficient.begin() + 39, coefficient.end());

    std::array<Word16, 8> u{};
    int next = 0;
    const auto take = [&](int n) {
        int v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 1) | p.at(next++);
        return v;
    };
    u[0] = static_cast<Word16>(((b0 & 0xFC) << 4) | (b[2] & 0x38) | take(3));
    for (int w = 1; w <= 3; ++w)
        u[w] = static_cast<Word16>(take(12));
    for (int w = 4; w <= 6; ++w)
        u[w] = static_cast<Word16>(take(11));
    u[7] = static_cast<Word16>((take(3) << 4) | ((b[2] & 1) << 3) | ((b0 & 3) << 1) | (b[L + 2] & 1));
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
