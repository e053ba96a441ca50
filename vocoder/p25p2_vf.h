#pragma once
// Channel layout of one vocoder frame: the parameter vector b[0..8] to and from the 72-bit
// AMBE+2 frame as 36 dibits, and to and from the 72-bit D-STAR frame as 72 single bits.
//
// Holds no state: every operation is a pure function of its arguments and may be called on
// any instance, or none, from any thread. Encoders take the low bits of each b field (widths
// in ambe2_b_lengths and b_lengths); decoders write every field within its width. Golay
// decoding corrects up to three bit errors in each protected codeword and passes heavier
// damage on as wrong parameters without notice.

#include <cstdint>
#include <span>

namespace halvane {

class p25p2_vf {
public:
    // Parameter vector to 36 dibit bytes (values 0..3).
    static void encode_vcw(std::span<std::uint8_t, 36> out, std::span<const std::int32_t, 9> b);

    // The four codewords (u0 24 bits, u1 23, u2 11, u3 14) to 36 dibit bytes through the
    // interleave; bits above a codeword's width are ignored.
    static void interleave_vcw(std::span<std::uint8_t, 36> out, std::uint32_t u0, std::uint32_t u1,
                               std::uint32_t u2, std::uint32_t u3);

    // The inverse of interleave_vcw. Only the low two bits of each dibit byte count.
    static void extract_vcw(std::span<const std::uint8_t, 36> in, std::uint32_t& u0, std::uint32_t& u1,
                            std::uint32_t& u2, std::uint32_t& u3);

    // 36 dibit bytes to the parameter vector, with Golay correction and descrambling.
    static void process_vcw(std::span<const std::uint8_t, 36> in, std::span<std::int32_t, 9> b);

    // Parameter vector (D-STAR widths) to 72 channel bits, one per byte, in the alternative
    // block-interleaved order when `alt` is set and in the standard order otherwise.
    static void encode_dstar(std::span<std::uint8_t, 72> out, std::span<const std::int32_t, 9> b, bool alt);

    // The inverse of encode_dstar with the same `alt`. Any non-zero byte is a set bit.
    static void decode_dstar(std::span<const std::uint8_t, 72> in, std::span<std::int32_t, 9> b, bool alt);
};

} // namespace halvane
