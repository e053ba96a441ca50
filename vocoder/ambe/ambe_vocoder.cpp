#include "ambe/ambe_vocoder.h"

#include "AmbeFrame.h"
#include "ambe/AmbeDequantizer.h"
#include "ambe/ambe_encoder.h"
#include "ambe/software_imbe_decoder.h"
#include "p25p2_vf.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace halvane {

struct ambe_vocoder::decoder_block {
    mbe_parameters cur_parms{};
    mbe_parameters prev_parms{};
    mbe_parameters prev_parms_enh{};
    int output_index = 0;
    software_imbe_decoder synthesiser;
};

ambe_vocoder::ambe_vocoder()
    : encoder(std::make_unique<ambe_encoder>()), decoder(std::make_unique<decoder_block>())
{
}

ambe_vocoder::~ambe_vocoder() = default;

void ambe_vocoder::scale_input(std::span<std::int16_t, 160> samples)
{
    for (std::int16_t& s : samples) {
        float x = static_cast<float>(s) * 3.0f;
        if (std::abs(x) > 32767.0f)
            x = s < 0 ? -32767.0f : 32767.0f;
        s = static_cast<std::int16_t>(x);
    }
}

int ambe_vocoder::band_count(int L)
{
    return L > 36 ? 12 : static_cast<int>((static_cast<float>(L) + 2.0f) / 3.0f);
}

std::int16_t ambe_vocoder::to_pcm(float x)
{
    return std::isnan(x) ? 0 : static_cast<std::int16_t>(std::clamp(x, -32767.0f, 32767.0f));
}

void ambe_vocoder::ambe_encode(std::span<std::uint8_t, 9> out, std::span<std::int16_t, 160> samples)
{
    scale_input(samples);
    encoder->set_dstar_mode(false);
    encoder->set_49bit_mode(false);
    std::array<std::uint8_t, 72> frame{};
    encoder->encode(samples, frame);
    dibitsToBytes(std::span<const std::uint8_t, 36>(frame.data(), 36), out);
}

void ambe_vocoder::ambe_encode_dstar(std::span<std::uint8_t, 9> out, std::span<const std::int16_t, 160> samples)
{
    encoder->set_dstar_mode(true);
    encoder->set_alt_dstar_interleave(true);
    std::array<std::uint8_t, 72> bits{};
    encoder->encode(samples, bits);
    std::fill(out.begin(), out.end(), 0);
    for (int k = 0; k < 72; ++k)
        out[k / 8] |= static_cast<std::uint8_t>((bits[k] & 1u) << (7 - k % 8));
}

void ambe_vocoder::ambe_decode(std::span<const std::uint8_t, 9> in, std::span<std::int16_t, 160> samples)
{
    std::array<std::uint8_t, 36> dibits{};
    bytesToDibits(in, dibits);
    std::array<std::int32_t, 9> b{};
    p25p2_vf::process_vcw(dibits, b);
    decode(b, false, samples);
}

void ambe_vocoder::ambe_decode_dstar(std::span<const std::uint8_t, 9> in, std::span<std::int16_t, 160> samples)
{
    std::array<std::uint8_t, 72> bits{};
    for (int k = 0; k < 72; ++k)
        bits[k] = (in[k / 8] >> (7 - k % 8)) & 1u;
    std::array<std::int32_t, 9> b{};
    p25p2_vf::decode_dstar(bits, b, true);
    decode(b, true, samples);
}

void ambe_vocoder::decode(std::span<const std::int32_t, 9> b, bool dstar, std::span<std::int16_t, 160> samples)
{
    decoder_block& d = *decoder;
    if (b[0] >= 120 || dequantizeAmbe(d.cur_parms, d.prev_parms, b, dstar, ambeCodebooks(dstar)) != 0) {
        std::fill(samples.begin(), samples.end(), 0);
        return;
    }
    const int L = d.cur_parms.num_harm;
    d.synthesiser.decode_tap(L, band_count(L), d.cur_parms.fund, &d.cur_parms.voiced[1], &d.cur_parms.mag[1]);

    auto& audio = d.synthesiser.audio();
    for (d.output_index = 0; d.output_index < 160; ++d.output_index) {
        float x = 0.0f;
        if (!audio.empty()) {
            x = audio.front();
            audio.pop_front();
        }
        samples[d.output_index] = to_pcm(x);
    }
    mbe_moveMbeParms(&d.cur_parms, &d.prev_parms);
    mbe_moveMbeParms(&d.cur_parms, &d.prev_parms_enh);
}

} // namespace halvane
