#include "ambe/ambe_encoder.h"

#include "AmbeFrame.h"
#include "ambe/AmbeDequantizer.h"


namespace halvane {

ambe_encoder::ambe_encoder()
{
    mbe_parameters scratch{};
    mbe_initMbeParms(&cur_parms, &prev_parms, &scratch);
    // Until a frame has been quantised the fallback is a quiet unvoiced frame.
    last_b_[0] = {0, 16, 0, 0, 0, 0, 0, 0, 0};
    last_b_[1] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
}

AmbeAnalysis ambe_encoder::analyse(std::span<const std::int16_t, 160> samples)
{
    std::array<Word16, 8> frameVector{};
    vocoder_.encode(&param_, frameVector.data(), samples.data());
    return ambeAnalysis(param_);
}

std::size_t ambe_encoder::encode(std::span<const std::int16_t, 160> samples, std::span<std::uint8_t, 72> out)
{
    const AmbeAnalysis frame = analyse(samples);
    const bool dstar = is_dstar_mode;
    std::array<std::int32_t, 9>& last = last_b_[dstar ? 1 : 0];
    std::array<std::int32_t, 9> b{};
    if (encodeAmbe(frame, b, cur_parms, prev_parms, dstar, gain_adjust, ambeCodebooks(dstar))) {
        last = b;
    } else {
        // Repeat the last frame, and predict the next one from it as the far end will.
        b = last;
        dequantizeAmbe(cur_parms, prev_parms, b, dstar, ambeCodebooks(dstar));
        mbe_moveMbeParms(&cur_parms, &prev_parms);
    }

    if (dstar) {
        vf_.encode_dstar(out, b, alt_dstar_interleave);
        return 72;
    }
    if (is_49bit_mode) {
        encode_49bit(out.first<49>(), b);
        return 49;
    }
    vf_.encode_vcw(out.first<36>(), b);
    return 36;
}

} // namespace halvane
