#pragma once
// Pseudo-random scrambling of the second Golay codeword of an AMBE frame.
//
// The word is seeded by the 12 data bits of the first codeword (the corrected ones when
// decoding), so a receiver that gets the first codeword wrong also descrambles the second
// one wrongly and usually loses it too. The generator is the congruence
// p0 = 16 * seed, p(i) = (173 * p(i-1) + 13849) mod 65536, and scrambling bit i is the top
// bit of p(i). Pure and thread-safe; seeds are masked to 12 bits.

#include <array>
#include <cstdint>

namespace halvane {

// Scrambling bits 1..count (count at most 24) of a seed, computed on the spot, bit 1 in bit
// count - 1. scramblingBits(seed, 23) is the word for a 23-bit AMBE+2 codeword.
std::uint32_t scramblingBits(std::uint32_t seed, int count);

// Bits 1..24 for every seed, bit 1 in bit 23. D-STAR scrambles its whole 24-bit second
// codeword with it; AMBE+2 uses pr_n[seed] >> 1 on its 23-bit one.
extern const std::array<std::uint32_t, 4096> pr_n;

} // namespace halvane
