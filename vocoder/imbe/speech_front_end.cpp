#include "imbe/speech_front_end.h"

#include "fixedpoint/Elementary.h"
#include "imbe/AnalysisTables.h"

#include <algorithm>

namespace halvane::imbe {

using namespace fxp;

namespace {

constexpr int taps = 21;
constexpr int first_new = speech_front_end::buffer_length - speech_front_end::block_length;

// Below this input magnitude no partial sum of the low-pass filter can reach the 32-bit
// range (2 * sum(|lpf_coef|) * 23244 < 2^31), so plain integer sums equal the L_mac ones.
constexpr Word16 lpf_plain_limit = 23245;

// The filter over the new block, as plain sums the compiler can vectorise.
#pragma GCC push_options
#pragma GCC optimize("vect-cost-model=dynamic")
void low_pass_plain(const Word16* in, Word16* out)
{
    for (int n = 0; n < speech_front_end::block_length; ++n) {
        Word32 acc = 0;
        for (int k = 0; k < taps; ++k)
            acc += in[n + k] * lpf_coef[k];
        out[n] = round(2 * acc);
    }
}
#pragma GCC pop_options

} // namespace

void speech_front_end::reset()
{
    pitch_est_buf_.fill(0);
    pitch_ref_buf_.fill(0);
    dc_rmv_mem_ = 0;
}

void speech_front_end::push(const Word16* snd)
{
    std::copy(pitch_est_buf_.begin() + block_length, pitch_est_buf_.end(), pitch_est_buf_.begin());
    std::copy(pitch_ref_buf_.begin() + block_length, pitch_ref_buf_.end(), pitch_ref_buf_.begin());

    // y[n] = x[n] - x[n-1] + 0.99 y[n-1], with the state held as m = 0.99 y - x.
    Word32 m = dc_rmv_mem_;
    for (int n = 0; n < block_length; ++n) {
        const Word32 x = L_deposit_h(snd[n]);
        const Word32 y = L_add(m, x);
        pitch_ref_buf_[first_new + n] = round(y);
        m = L_sub(L_mpy_ls(y, 32440), x);
    }
    dc_rmv_mem_ = m;

    // The 20 samples before the new block are still in pitch_ref_buf, so the filter's delay
    // line is the buffer itself.
    const Word16* in = &pitch_ref_buf_[first_new - (taps - 1)];
    Word16 peak = 0;
    for (int n = 0; n < block_length + taps - 1; ++n)
        peak = std::max(peak, abs_s(in[n]));
    if (peak < lpf_plain_limit) {
        low_pass_plain(in, &pitch_est_buf_[first_new]);
        return;
    }
    for (int n = first_new; n < buffer_length; ++n) {
        const Word16* x = &pitch_ref_buf_[n - (taps - 1)];
        Word32 acc = 0;
        for (int k = 0; k < taps; ++k)
            acc = L_mac(acc, x[k], lpf_coef[k]);
        pitch_est_buf_[n] = round(acc);
    }
}

} // namespace halvane::imbe
