// IMA (Intel/DVI) ADPCM, the 4-bit voice coding of USRP packets of type 5:
// 160 samples in 80 bytes, two codes per byte with the earlier sample in the
// high nibble.
//
// The coder state is a small value the caller owns and carries from one
// packet to the next (one for the sending direction, one for the receiving
// direction); the functions touch nothing else, so each state needs only
// the protection its owner gives it. A state whose index lies outside 0..88
// (never made by these functions) is clamped before use rather than read
// past the step table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace halvane {

struct ImaAdpcmState {
    std::int16_t valprev = 0; // predicted (last reconstructed) sample
    std::int8_t index = 0;    // step index, 0..88
};

constexpr int IMA_MAX_INDEX = 88;

// The 89 step sizes of the published table. They only roughly follow a
// geometric series (x1.1 from 7, the last entry held to 32767), so the
// values are data, not a formula.
inline constexpr std::array<std::int16_t, IMA_MAX_INDEX + 1> stepsizeTable = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

namespace ima_detail {

// Small magnitudes (codes 0..3) step down by one; larger ones step up by
// 2, 4, 6, 8; the sign bit does not matter.
constexpr std::array<std::int8_t, 16> makeIndexTable()
{
    std::array<std::int8_t, 16> table{};
    for (int code = 0; code < 16; ++code) {
        const int magnitude = code & 7;
        table[code] = static_cast<std::int8_t>(magnitude < 4 ? -1 : 2 * (magnitude - 3));
    }
    return table;
}

} // namespace ima_detail

inline constexpr std::array<std::int8_t, 16> indexTable = ima_detail::makeIndexTable();

// One sample: returns its 4-bit code and advances `state`.
std::uint8_t imaEncodeSample(std::int16_t sample, ImaAdpcmState& state);
// One 4-bit code (upper bits ignored): returns the sample and advances `state`.
std::int16_t imaDecodeSample(std::uint8_t code, ImaAdpcmState& state);

// Encodes min(pcm.size(), 2 * out.size()) samples into the nibbles of `out`,
// high nibble first; an odd count leaves the low nibble of the last byte 0.
void imaEncode(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out, ImaAdpcmState& state);
// Decodes min(2 * in.size(), pcm.size()) samples, high nibble first.
void imaDecode(std::span<const std::uint8_t> in, std::span<std::int16_t> pcm, ImaAdpcmState& state);

} // namespace halvane
