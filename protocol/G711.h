// G.711 mu-law, the 8-bit voice coding of USRP packets of type 6.
//
// Encoding is the 16-bit form of G.711 with the clip at 32635, the bias 132
// and the zero-code trap (code 0x00 goes out as 0x02: an all-zero octet
// breaks the ones density that T1 lines need, and peers still expect the
// trap). Decoding is a look-up in `u2l`.
//
// Both tables are generated at compile time from their definitions, so they
// cannot drift from the algorithm; tests hold them against the published
// values and against an independent coder.
//
// Thread-safety: pure functions over constant tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace halvane {

namespace g711_detail {

// Exponent (segment) of a biased magnitude shifted right by 7: the position
// of the highest set bit, 0 for 0 and 1.
constexpr std::array<std::uint8_t, 256> makeExpLut()
{
    std::array<std::uint8_t, 256> table{};
    for (unsigned i = 2; i < 256; ++i)
        table[i] = static_cast<std::uint8_t>(table[i / 2] + 1);
    return table;
}

constexpr std::array<std::int16_t, 256> makeU2l()
{
    std::array<std::int16_t, 256> table{};
    for (unsigned code = 0; code < 256; ++code) {
        const unsigned inverted = ~code & 0xFFu;
        const unsigned exponent = (inverted >> 4) & 0x07u;
        const unsigned mantissa = inverted & 0x0Fu;
        const int magnitude = static_cast<int>(((mantissa << 3) + 132u) << exponent) - 132;
        table[code] = static_cast<std::int16_t>((inverted & 0x80u) != 0 ? -magnitude : magnitude);
    }
    return table;
}

} // namespace g711_detail

constexpr int ULAW_CLIP = 32635;
constexpr int ULAW_BIAS = 132;

inline constexpr std::array<std::uint8_t, 256> exp_lut1 = g711_detail::makeExpLut();
inline constexpr std::array<std::int16_t, 256> u2l = g711_detail::makeU2l();

constexpr std::uint8_t linearToUlaw(std::int16_t sample)
{
    int magnitude = sample;
    unsigned sign = 0;
    if (magnitude < 0) {
        sign = 0x80;
        magnitude = -magnitude; // int, so -32768 has a magnitude
    }
    if (magnitude > ULAW_CLIP)
        magnitude = ULAW_CLIP;
    magnitude += ULAW_BIAS;
    const unsigned exponent = exp_lut1[(magnitude >> 7) & 0xFF];
    const unsigned mantissa = (static_cast<unsigned>(magnitude) >> (exponent + 3)) & 0x0Fu;
    const auto code = static_cast<std::uint8_t>(~(sign | (exponent << 4) | mantissa));
    return code == 0 ? 0x02 : code;
}

constexpr std::int16_t ulawToLinear(std::uint8_t code)
{
    return u2l[code];
}

// Block forms: convert min(input size, output size) samples.
void ulawEncode(std::span<const std::int16_t> pcm, std::span<std::uint8_t> codes);
void ulawDecode(std::span<const std::uint8_t> codes, std::span<std::int16_t> pcm);

} // namespace halvane
