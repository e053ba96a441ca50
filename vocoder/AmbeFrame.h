#pragma once
// The 49-bit AMBE parameter frame and the 72-bit AMBE+2 channel frame (DMR, NXDN, YSF
// narrow), and the conversions between them and the parameter vector b[0..8].
//
// 49-bit frame, 7 bytes: bits d0..d47 fill bytes 0..5 most significant bit first; d48 is
// byte 6, written 0x80 or 0x00 and read as set whenever byte 6 is non-zero.
// It splits into four code vectors, each most significant bit first: C0 = d0..d11 and
// C1 = d12..d23 (Golay protected, C1 also scrambled by a word seeded with C0),
// C2 = d24..d34 and C3 = d35..d48 (unprotected).
//
// 72-bit frame: u0 (24-bit Golay codeword of C0), u1 (23-bit Golay codeword of C1 XOR the
// scrambling word), u2 = C2, u3 = C3, spread over 36 dibits by rW/rX/rY/rZ: the high bit of
// dibit i is bit rX[i] of vector rW[i], its low bit is bit rZ[i] of vector rY[i] (vector 0 is
// u0, bits counted from the least significant). In 9 bytes, dibit i occupies bits
// 7 - 2(i mod 4) and 6 - 2(i mod 4) of byte i / 4; inside the vocoder a frame may also be held
// as 36 dibit bytes of value 0..3.
//
// All functions are pure and safe to call from any thread. Input and output must not overlap.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>

namespace halvane {

// Widths of b0..b8 in an AMBE+2 (2450 bit/s voice) frame; 49 bits in all.
inline constexpr std::array<int, 9> ambe2_b_lengths{7, 5, 5, 9, 7, 5, 4, 4, 3};

inline constexpr std::array<std::uint8_t, 36> rW{
    0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1,
    0, 1, 0, 1, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2};
inline constexpr std::array<std::uint8_t, 36> rX{
    23, 10, 22, 9, 21, 8, 20, 7, 19, 6, 18, 5, 17, 4, 16, 3, 15, 2,
    14, 1, 13, 0, 12, 10, 11, 9, 10, 8, 9, 7, 8, 6, 7, 5, 6, 4};
inline constexpr std::array<std::uint8_t, 36> rY{
    0, 2, 0, 2, 0, 2, 0, 2, 0, 3, 0, 3, 1, 3, 1, 3, 1, 3,
    1, 3, 1, 3, 1, 3, 1, 3, 1, 3, 1, 3, 1, 3, 1, 3, 1, 3};
inline constexpr std::array<std::uint8_t, 36> rZ{
    5, 3, 4, 2, 3, 1, 2, 0, 1, 13, 0, 12, 22, 11, 21, 10, 20, 9,
    19, 8, 18, 7, 17, 6, 16, 5, 15, 4, 14, 3, 13, 2, 12, 1, 11, 0};

// out[k] = dk, one bit (0 or 1) per byte.
void bytesToBits(std::span<const std::uint8_t, 7> in, std::span<std::uint8_t, 49> out);

// The inverse of bytesToBits; any non-zero input byte counts as a set bit.
void bitsToBytes(std::span<const std::uint8_t, 49> in, std::span<std::uint8_t, 7> out);

// 36 dibit bytes to the 9-byte frame and back. Only the low two bits of a dibit byte count.
void dibitsToBytes(std::span<const std::uint8_t, 36> in, std::span<std::uint8_t, 9> out);
void bytesToDibits(std::span<const std::uint8_t, 9> in, std::span<std::uint8_t, 36> out);

// The codewords u0 (24 bits), u1 (23), u2 (11) and u3 (14) to the 9-byte channel frame
// through rW/rX/rY/rZ, and back. Bits above a codeword's width are ignored.
void interleaveAmbe2(const std::array<std::uint32_t, 4>& u, std::span<std::uint8_t, 9> frame);
std::array<std::uint32_t, 4> deinterleaveAmbe2(std::span<const std::uint8_t, 9> frame);
// The same for a frame held as 36 dibit bytes; only the low two bits of each byte count.
std::array<std::uint32_t, 4> deinterleaveAmbe2Dibits(std::span<const std::uint8_t, 36> dibits);

// Parameter vector to the 49 frame bits d0..d48 (one per byte) and back. Fields wider than
// ambe2_b_lengths contribute their low bits only.
void encode_49bit(std::span<std::uint8_t, 49> out, std::span<const std::int32_t, 9> b);
void decode_49bit(std::span<const std::uint8_t, 49> in, std::span<std::int32_t, 9> b);

// Adds the Golay protection and scrambling; every 49-bit frame maps to a valid 72-bit one.
void convert49BitAmbeTo72Bit(std::span<const std::uint8_t, 7> in, std::span<std::uint8_t, 9> out);

// Corrects up to three bit errors in u0 and three in u1 and drops the protection. Heavier
// damage yields a wrong frame without notice; no error count is kept.
void convert72BitAmbeTo49Bit(std::span<const std::uint8_t, 9> in, std::span<std::uint8_t, 7> out);

// Converts a 49-bit frame to its 72-bit form and hands that to `decoder` (the hardware
// decoder request, which the bridge supplies) on the caller's thread, returning what the
// decoder returns. The decoder is called exactly once with a std::span<const std::uint8_t, 9>
// that is valid only during the call.
template <typename Decoder>
decltype(auto) decode49BitAMBE(std::span<const std::uint8_t, 7> in, Decoder&& decoder)
{
    std::array<std::uint8_t, 9> frame{};
    convert49BitAmbeTo72Bit(in, frame);
    return std::invoke(std::forward<Decoder>(decoder), std::span<const std::uint8_t, 9>(frame));
}

} // namespace halvane
