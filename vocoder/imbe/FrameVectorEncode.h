#pragma once
// Packing of the quantised model parameters of an IMBE frame into its frame vector, the
// exact inverse of decode_frame_vector (FrameVector.h). Pure apart from writing its output;
// safe from any thread on distinct arguments.

#include "fixedpoint/BasicOps.h"
#include "imbe/IMBE_PARAM.h"

namespace halvane::imbe {

// Writes u0..u7 (12, 12, 12, 12, 11, 11, 11 and 7 bits) from b_vec[0] (pitch index 0..207),
// b_vec[1] (K voicing bits), b_vec[2] (gain index), b_vec[3..L+1] (coefficient indexes of
// bit_alloc[0..L-2] bits) and b_vec[L+2] (spare bit), with L = num_harms and K = num_bands
// as the decoder derives them from the pitch index. The coefficient bits go out by priority:
// level by level from the largest allocation down (from 9 for L = 11), one bit of every
// index whose allocation reaches the level.
void encode_frame_vector(const IMBE_PARAM* param, Word16* frame_vector);

} // namespace halvane::imbe
