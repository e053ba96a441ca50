#pragma once
// Golay (23,12) code and its (24,12) extension, the error protection of the first two AMBE
// code vectors.
//
// Generator polynomial g(x) = x^11 + x^10 + x^6 + x^5 + x^4 + x^2 + 1 (golayGenerator).
// A 23-bit codeword holds the 12 data bits in bits 22..11 and the check bits
// (data * x^11 mod g) in bits 10..0. The 24-bit codeword is the 23-bit one shifted left by
// one with bit 0 chosen for even overall parity.
//
// Every function is pure and safe to call from any thread. Inputs are masked to their
// nominal width: data to 12 bits, 23-bit words to bits 22..0, 24-bit codewords to bits 23..0,
// so stray high bits neither reach the results nor index outside the tables.
//
// The decoders correct any pattern of up to three bit errors in the 23-bit word and return
// only the 12 data bits. The code is perfect, so every word lies within distance three of
// exactly one codeword: four or more errors decode to wrong data, and nothing reports it.
// The parity bit of the 24-bit form is ignored when decoding.

#include <array>
#include <cstdint>

namespace halvane {

inline constexpr std::uint32_t golayGenerator = 0xC75;

// Indexed by syndrome. Entry s holds, in bits 22..11, the data part of the unique error
// pattern e of weight at most three whose syndrome is s, and in bits 1..0 the weight of e.
extern const std::array<std::uint32_t, 2048> gly23127DecTbl;

// Indexed by syndrome. Entry s holds the data part of that same error pattern, e >> 11.
extern const std::array<std::uint32_t, 2048> golayMatrix;

// 12 data bits to the 24-bit codeword, as the XOR of one generator row per set data bit.
std::uint32_t golay_24_encode(std::uint32_t data);

// 12 data bits to the 23-bit codeword through a shift register that takes the data bits in
// transmission order. Always equal to golay_24_encode(data) >> 1.
std::uint32_t golay_23_encode(std::uint32_t data);

// The 11-bit syndrome of a 23-bit word: its remainder modulo g(x). Zero for every codeword;
// a word below 2048 is its own syndrome.
std::uint32_t gly23127GetSyn(std::uint32_t word);

// Corrected data bits of a 23-bit word.
std::uint32_t gly23127Dec(std::uint32_t word);

// Corrected data bits of a 24-bit codeword (parity in bit 0).
std::uint32_t gly24128Dec(std::uint32_t codeword);

// Corrects the 23-bit word in *block and replaces it with its 12 corrected data bits. The
// syndrome comes from the generator rows rather than polynomial division, and the correction
// from golayMatrix; the result equals gly23127Dec. A null block is left alone.
void mbe_checkGolayBlock(std::int32_t* block);

} // namespace halvane
