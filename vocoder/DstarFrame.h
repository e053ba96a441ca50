#pragma once
// Bit layout of the 72-bit D-STAR AMBE frame.
//
// The 48 parameter bits p[0..47] are the fields b0..b8, each most significant bit first,
// with the widths b_lengths. They are reordered into q[i] = p[m_list[i]]: q[0..11] and
// q[12..23] are the data of two Golay (24,12) codewords, q[24..47] go unprotected. The
// pre-interleave sequence r[0..71] is the first codeword, the second codeword XOR pr_n of the
// first one's data (both bit 23 first), then q[24..47]. On the channel, bit i is
// r[alt_d_list[i]] in the alternative order and bit d_list[i] is r[i] in the standard order.

#include <array>
#include <cstdint>

namespace halvane {

inline constexpr std::array<int, 9> b_lengths{7, 4, 6, 9, 7, 4, 4, 4, 3};

inline constexpr std::array<std::uint8_t, 48> m_list{
    0, 1, 2, 3, 4, 5, 11, 12, 13, 14, 17, 18, 19, 20, 21, 22, 23, 26, 27, 28, 29, 30, 33, 34,
    35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 7, 8, 9, 10, 15, 16, 24, 25, 31, 32, 6};

inline constexpr std::array<std::uint8_t, 72> d_list{
    7, 1, 11, 21, 31, 25, 35, 45, 55, 49, 59, 69, 6, 0, 10, 20, 30, 24, 34, 44, 54, 48, 58, 68,
    5, 15, 9, 19, 29, 39, 33, 43, 53, 63, 57, 67, 4, 14, 8, 18, 28, 38, 32, 42, 52, 62, 56, 66,
    3, 13, 23, 17, 27, 37, 47, 41, 51, 61, 71, 65, 2, 12, 22, 16, 26, 36, 46, 40, 50, 60, 70, 64};

// A 6 by 12 block interleave: alt_d_list[i] = 12 * (i mod 6) + i / 6.
inline constexpr std::array<std::uint8_t, 72> alt_d_list = [] {
    std::array<std::uint8_t, 72> list{};
    for (int i = 0; i < 72; ++i)
        list[i] = static_cast<std::uint8_t>(12 * (i % 6) + i / 6);
    return list;
}();

} // namespace halvane
