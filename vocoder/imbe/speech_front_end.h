#pragma once
// Front end of the IMBE speech analysis. It keeps the newest 621 input samples twice:
// with the DC removed (pitch_ref_buf, for the spectrum) and, after that, low-pass filtered
// (pitch_est_buf, for the pitch estimator). Each push shifts both buffers left by one
// 160-sample block and appends the new block at 461..620; sample 0 is the oldest.
//
// One encoder owns it; not thread-safe.

#include "fixedpoint/BasicOps.h"

#include <array>

namespace halvane::imbe {

class speech_front_end {
public:
    static constexpr int buffer_length = 621;
    static constexpr int block_length = 160;

    speech_front_end() { reset(); }

    // Clears both buffers and the filter state, as for a new encoder.
    void reset();

    // Appends one block of 160 samples.
    void push(const Word16* snd);

    const Word16* pitch_est_buf() const { return pitch_est_buf_.data(); }
    const Word16* pitch_ref_buf() const { return pitch_ref_buf_.data(); }

private:
    std::array<Word16, buffer_length> pitch_est_buf_{};
    std::array<Word16, buffer_length> pitch_ref_buf_{};
    Word32 dc_rmv_mem_ = 0;
};

} // namespace halvane::imbe
