#pragma once
// The IMBE frame vector: the 88 information bits of one frame as eight words u0..u7 of
// 12, 12, 12, 12, 11, 11, 11 and 7 bits, their 11-byte form on the bridge, and their
// decoding into the quantised model parameters of an IMBE_PARAM.
//
// Words hold their field in the low bits; bits above a field's width are ignored when read.
// All functions are pure apart from writing their output arguments, and safe from any
// thread on distinct arguments.

#include "fixedpoint/BasicOps.h"
#include "imbe/IMBE_PARAM.h"

#include <array>
#include <cstdint>
#include <span>

namespace halvane {

inline constexpr std::array<int, 8> imbe_frame_field_widths{12, 12, 12, 12, 11, 11, 11, 7};
inline constexpr int imbe_frame_bytes = 11;

// The 88 bits of the bytes, most significant bit first, cut into u0..u7 (each most
// significant bit first).
void unpack_imbe_frame(std::span<const std::uint8_t, 11> bytes, std::span<Word16, 8> frame_vector);

// The inverse: u0..u7 (their low bits) to 11 bytes.
void pack_imbe_frame(std::span<const Word16, 8> frame_vector, std::span<std::uint8_t, 11> bytes);

// Fills b_vec, fund_freq, num_harms, num_bands and bit_alloc of param from the frame vector.
// A pitch index above 207 only replaces b_vec[0]: every other field keeps the previous
// frame's value. Otherwise the 73 - K coefficient bits are distributed by priority: level by
// level from the largest allocation down (from 9 for L = 11), one bit per coefficient index
// whose allocation reaches the level.
void decode_frame_vector(IMBE_PARAM* param, const Word16* frame_vector);

// Expands the K band voicing bits of b_vec[1] into v_uv_dsn per harmonic (three harmonics per
// band, the last band taking the rest) and counts the unvoiced harmonics into l_uv.
void v_uv_decode(IMBE_PARAM* param);

} // namespace halvane
