#pragma once
// The AMBE+2 / D-STAR encoder: IMBE speech analysis of each 20 ms block, AMBE
// quantisation of the model in closed loop, then the channel layout of the selected mode.
//
// Owns its analysis state and its quantiser records for its whole life; nothing is reset
// between frames or calls. One thread at a time (the encode path's).

#include "ambe/AmbeQuantizer.h"
#include "ambe/mbe_parameters.h"
#include "imbe/imbe_vocoder.h"
#include "p25p2_vf.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace halvane {

class ambe_encoder {
public:
    ambe_encoder();

    // D-STAR layout (48-bit vector, D-STAR tables) while set.
    void set_dstar_mode(bool on = true) { is_dstar_mode = on; }
    // The 49-bit parameter frame instead of the 72-bit AMBE+2 channel frame while set.
    void set_49bit_mode(bool on = true) { is_49bit_mode = on; }
    // D-STAR channel bits in the alternative (6 by 12 block) order while set.
    void set_alt_dstar_interleave(bool on = true) { alt_dstar_interleave = on; }

    // One block of 160 samples to one frame: 72 channel bits one per byte (D-STAR), 49
    // frame bits d0..d48 one per byte (49-bit mode) or 36 dibits (AMBE+2). Returns the
    // number of bytes written.
    std::size_t encode(std::span<const std::int16_t, 160> samples, std::span<std::uint8_t, 72> out);

    // The analysis alone, as the quantiser reads it; valid until the next call.
    AmbeAnalysis analyse(std::span<const std::int16_t, 160> samples);

private:
    imbe_vocoder vocoder_;
    IMBE_PARAM param_{};
    p25p2_vf vf_;
    mbe_parameters cur_parms{};
    mbe_parameters prev_parms{};
    bool is_49bit_mode = false;
    bool is_dstar_mode = false;
    float gain_adjust = 0.0f;
    bool alt_dstar_interleave = false;
    // The last vector sent per variant (AMBE+2, D-STAR): sent again, and followed by the
    // quantiser's records, when a frame cannot be quantised.
    std::array<std::array<std::int32_t, 9>, 2> last_b_{};
};

} // namespace halvane
