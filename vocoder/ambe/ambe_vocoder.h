#pragma once
// The software AMBE vocoder the bridge uses without a DV3000: 20 ms blocks of 160 PCM
// samples to 72-bit AMBE+2 or D-STAR frames (9 bytes, most significant bit first) and back.
//
// The encoder and the decoder keep disjoint state for the vocoder's whole life (nothing is
// reset between calls), so the encode entry points may run on one thread while the decode
// entry points run on another; each side on one thread at a time.


#include <cstdint>
#include <memory>
#include <span>

namespace halvane {

class ambe_encoder;

class ambe_vocoder {
public:
    ambe_vocoder();
    ~ambe_vocoder();
    ambe_vocoder(const ambe_vocoder&) = delete;
    ambe_vocoder& operator=(const ambe_vocoder&) = delete;

    // One AMBE+2 frame. The samples are first scaled in place by 3, saturating at +-32767
    // and truncated toward zero; the caller sees the scaled block afterwards.
    void ambe_encode(std::span<std::uint8_t, 9> out, std::span<std::int16_t, 160> samples);

    // One D-STAR frame (alternative bit order), from the samples as they are.
    void ambe_encode_dstar(std::span<std::uint8_t, 9> out, std::span<const std::int16_t, 160> samples);

    // 160 samples from one frame. A frame whose pitch index is 120 or more (tone, erasure)
    // gives silence and leaves the decoder as it was, so the next frame joins the last one.
    void ambe_decode(std::span<const std::uint8_t, 9> in, std::span<std::int16_t, 160> samples);
    void ambe_decode_dstar(std::span<const std::uint8_t, 9> in, std::span<std::int16_t, 160> samples);

    // The AMBE+2 input scaling of ambe_encode.
    static void scale_input(std::span<std::int16_t, 160> samples);

    // The voicing band count the synthesiser is given for L harmonics: 12 above 36, else
    // (L + 2) / 3 truncated.
    static int band_count(int L);

    // A synthesised sample as PCM: truncated toward zero, held within +-32767.
    static std::int16_t to_pcm(float x);

private:
    struct decoder_block;

    void decode(std::span<const std::int32_t, 9> b, bool dstar, std::span<std::int16_t, 160> samples);

    std::unique_ptr<ambe_encoder> encoder;
    std::unique_ptr<decoder_block> decoder;
};

} // namespace halvane
