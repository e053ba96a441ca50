#pragma once
// Pitch tracking of the IMBE analysis: chooses the pitch of the frame centred on
// pitch_est_buf[150] from its error function E0, the errors E1 and E2 of the two frames
// that follow it (look-ahead) and the pitch chosen for the two frames before it
// (look-back), with a check of the look-ahead period's sub-multiples.
//
// E(P) of a frame depends only on its samples, and the buffer moves by exactly one frame
// step per block, so the tracker keeps the error functions of the two newer frames from
// the blocks before and computes only the newest one: E0 and E1 of this block are E2 of
// two blocks ago and of the last block.
//
// One encoder owns it; not thread-safe.

#include "fixedpoint/BasicOps.h"
#include "imbe/PitchError.h"

#include <array>

namespace halvane::imbe {

class pitch_tracker {
public:
    // The pitch index chosen after a reset (a period of 100 samples).
    static constexpr Word16 initial_pitch = 158;

    struct Estimate {
        Word16 pitch; // the period in half samples: pitch index + 42
        Word16 e_p;   // E(P) of the current frame at that period, Q12
    };

    pitch_tracker() { reset(); }

    // The state of a new encoder: both earlier choices at index 158 with zero error, and
    // the error functions of silent frames.
    void reset();

    // Chooses the pitch of the current frame; pitch_est_buf holds 621 samples, the current
    // frame at 0..300 and the look-ahead frames at 160..460 and 320..620.
    Estimate pitch_est(const Word16* pitch_est_buf);

    Word16 prev_pitch() const { return prev_pitch_; }

private:
    using ErrorFunction = std::array<Word16, num_pitch_indexes>;

    Word16 look_ahead(const ErrorFunction& e0, Word16& ce) const;

    std::array<ErrorFunction, 3> e_{};
    Word16 prev_pitch_ = initial_pitch;
    Word16 prev_prev_pitch_ = initial_pitch;
    Word16 prev_e_p_ = 0;
    Word16 prev_prev_e_p_ = 0;
};

} // namespace halvane::imbe
