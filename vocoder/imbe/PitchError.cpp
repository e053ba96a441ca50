#include "imbe/PitchError.h"

#include "fixedpoint/Elementary.h"
#include "imbe/AnalysisTables.h"
#include "imbe/FixedMath.h"

#include <array>

namespace halvane::imbe {

using namespace fxp;

namespace {

constexpr int max_lag = 150;
constexpr int min_lag = 21;

} // namespace

// Written without the saturating operators because nothing here can saturate, so plain
// integer sums equal the saturating ones bit for bit: |sw| <= |s| * max(wi) is below 17800,
// so no product reaches the 32-bit range, and every partial sum of any lag is bounded by
// r(0) (|2ab| <= a^2 + b^2), which stays below 0.55 * E0 < 2^31 when E0 did not saturate,
// and below 2^31 too with the products shifted right by 5 (sum(wi^2) = 25 in Q30).
// Without the shift the products are summed halved, which the compiler turns into
// multiply-accumulate vector instructions; these 131 sums are most of the pitch estimator.
#pragma GCC push_options
#pragma GCC optimize("vect-cost-model=dynamic")
void autocorrelation(const Word16* sw, Word16 shift, Word32* r)
{
    auto lag_sum = [&](int lag) {
        Word32 sum = 0;
        if (shift == 0) {
            for (int j = 0; j + lag < pitch_frame_length; ++j)
                sum += sw[j] * sw[j + lag];
            return 2 * sum;
        }
        for (int j = 0; j + lag < pitch_frame_length; ++j)
            sum += (2 * sw[j] * sw[j + lag]) >> shift;
        return sum;
    };
    r[0] = lag_sum(0);
    for (int t = min_lag; t <= max_lag; ++t)
        r[t] = lag_sum(t);
}
#pragma GCC pop_options

void e_p(const Word16* s, Word16* E)
{
    std::array<Word16, pitch_frame_length> sw;
    Word32 e0 = 0;
    for (int j = 0; j < pitch_frame_length; ++j) {
        sw[j] = mult_r(s[j], wi[j]);
        e0 = L_add(e0, L_mpy_ls(L_mult(s[j], s[j]), wi[j]));
    }
    Word16 shift = 0;
    if (e0 == MAX_32) {
        shift = 5;
        e0 = 0;
        for (int j = 0; j < pitch_frame_length; ++j)
            e0 = L_add(e0, L_mpy_ls(L_shr(L_mult(s[j], s[j]), shift), wi[j]));
    }

    std::array<Word32, max_lag + 1> r{};
    autocorrelation(sw.data(), shift, r.data());
    const Word32 r0_part = L_shr(r[0], 7);

    for (int i = 0; i < num_pitch_indexes; ++i) {
        // Lags in half samples: n times the period while that stays within 150 samples.
        const int period2 = i + 42;
        Word32 sum = 0;
        for (int lag2 = period2; lag2 <= 2 * max_lag; lag2 += period2) {
            const int t = lag2 >> 1;
            sum = L_add(sum, (lag2 & 1) ? L_shr(L_add(r[t], r[t + 1]), 1) : r[t]);
        }
        const Word32 numerator = L_sub(e0, L_mult_int(L_add(L_shr(sum, 6), r0_part), static_cast<Word16>(period2)));
        const Word32 denominator = L_mpy_ls(e0, static_cast<Word16>(28564 - 100 * i));
        if (denominator <= 0 || numerator >= denominator)
            E[i] = 4096;
        else if (numerator <= 0)
            E[i] = 0;
        else
            E[i] = shr(extract_l(L_div_q(numerator, denominator, 15)), 3);
    }
}

} // namespace halvane::imbe
