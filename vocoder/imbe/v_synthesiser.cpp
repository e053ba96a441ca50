#include "imbe/v_synthesiser.h"

#include "fixedpoint/Elementary.h"
#include "imbe/ImbeTables.h"

#include <algorithm>
#include <cstdint>

namespace halvane {

using namespace fxp;

namespace {

constexpr int kFrame = 160;
constexpr int kFadeStart = 56; // the cross-fade covers samples 56..104
constexpr int kFadeEnd = 105;

Word16 cosine(UWord32 phase)
{
    return cos_fxp_tab(static_cast<Word16>(phase >> 16));
}

// amplitude * cos(phase + (n - from) step) added to acc[from..to-1]; returns the phase at `to`.
UWord32 addOscillator(std::int64_t* acc, int from, int to, Word16 amplitude, UWord32 phase, UWord32 step)
{
    for (int n = from; n < to; ++n, phase += step)
        acc[n] += std::int32_t{amplitude} * cosine(phase);
    return phase;
}

// The same with the amplitude weighted by ws[window(n)] across the cross-fade.
template <typename Window>
UWord32 addFading(std::int64_t* acc, int from, int to, Word16 amplitude, UWord32 phase, UWord32 step, Window window)
{
    for (int n = from; n < to; ++n, phase += step)
        acc[n] += std::int32_t{mult_r(amplitude, ws[window(n)])} * cosine(phase);
    return phase;
}

} // namespace

void v_synthesiser::v_synt_init(RandomGenerator& rng)
{
    for (auto& phase : ph_mem_)
        phase = static_cast<UWord32>(static_cast<Word32>(rng.rand_gen()) * 65536);
    vu_dsn_prev_.fill(0);
    sa_prev3_.fill(0);
    num_harms_prev3_ = 0;
    fund_freq_prev_ = 0;
}

void v_synthesiser::v_synt(const IMBE_PARAM& param, Word16* snd, RandomGenerator& rng)
{
    const Word16 L = param.num_harms;
    const auto f = static_cast<UWord32>(param.fund_freq);
    const UWord32 fp = fund_freq_prev_;

    // Every phase runs on by the frame's mean frequency: 80 l (f + f').
    std::array<UWord32, 56> old_phase = ph_mem_;
    const UWord32 advance = ((f + fp) >> 7) * 10240u;
    for (int l = 1; l <= 56; ++l)
        ph_mem_[l - 1] += static_cast<UWord32>(l) * advance;

    const int L_max = std::max<int>(L, num_harms_prev3_);
    const Word32 df = static_cast<Word32>(f - fp);
    const bool big_change = (df < 0 ? -static_cast<std::int64_t>(df) : df) >= L_mpy_ls(static_cast<Word32>(f), 3277);

    std::array<std::int64_t, kFrame> acc{};

    for (int l = 1; l <= L_max; ++l) {
        const Word16 M = param.sa[l - 1];
        const Word16 Mp = sa_prev3_[l - 1];
        const bool v = param.v_uv_dsn[l - 1] != 0;
        const bool vp = vu_dsn_prev_[l - 1] != 0;

        Word32 term = 0;
        if (l - 1 > L_max / 4) {
            const Word16 rho = rng.rand_gen();
            if (L != param.l_uv) {
                // rho * 2^16 * l_uv / L, with 1/L = div_one_by_num_harm * 2^(sh - 29).
                const Word32 scaledRho = L_mpy_ls(static_cast<Word32>(rho) * param.l_uv, param.div_one_by_num_harm);
                term = L_shl(scaledRho, static_cast<Word16>(param.div_one_by_num_harm_sh + 2));
            } else {
                term = static_cast<Word32>(rho) * 65536;
            }
            ph_mem_[l - 1] += static_cast<UWord32>(term);
        }

        const UWord32 lf = static_cast<UWord32>(l) * f;
        const UWord32 lfp = static_cast<UWord32>(l) * fp;
        if (v && vp && l <= 7 && !big_change) {
            // One oscillator: phase theta' + n (l f' + term / 160) + n^2 l (f - f') / 320,
            // which ends on the new phase; amplitude from M' to M.
            const auto curvature = static_cast<UWord32>(static_cast<Word32>(l * static_cast<std::int64_t>(df) / 320));
            UWord32 phase = old_phase[l - 1];
            UWord32 step = lfp + static_cast<UWord32>(term / kFrame) + curvature;
            Word32 amplitude = static_cast<Word32>(Mp) * 65536;
            const Word32 amplitudeStep = (static_cast<Word32>(M - Mp) * 65536) / kFrame;
            for (int n = 0; n < kFrame; ++n) {
                acc[n] += std::int32_t{static_cast<Word16>((amplitude + 0x8000) >> 16)} * cosine(phase);
                phase += step;
                step += 2 * curvature;
                amplitude += amplitudeStep;
            }
            continue;
        }
        if (vp) {
            const UWord32 phase = addOscillator(acc.data(), 0, kFadeStart, Mp, old_phase[l - 1], lfp);
            addFading(acc.data(), kFadeStart, kFadeEnd, Mp, phase, lfp, [](int n) { return 104 - n; });
        }
        if (v) {
            const UWord32 start = ph_mem_[l - 1] - 104u * lf; // the new phase referred to n = 56
            const UWord32 phase = addFading(acc.data(), kFadeStart, kFadeEnd, M, start, lf, [](int n) { return n - kFadeStart; });
            addOscillator(acc.data(), kFadeEnd, kFrame, M, phase, lf);
        }
    }

    for (int n = 0; n < kFrame; ++n) {
        const std::int64_t s = acc[n];
        snd[n] = extract_h(static_cast<Word32>(s > MAX_32 ? MAX_32 : s < MIN_32 ? MIN_32 : s));
    }

    std::copy_n(param.v_uv_dsn.begin(), L, vu_dsn_prev_.begin());
    std::fill(vu_dsn_prev_.begin() + L, vu_dsn_prev_.end(), Word16{0});
    std::copy_n(param.sa.begin(), L, sa_prev3_.begin());
    num_harms_prev3_ = L;
    fund_freq_prev_ = f;
}

} // namespace halvane
