#include "ImaAdpcm.h"

#include <algorithm>

namespace halvane {

namespace {

int validIndex(const ImaAdpcmState& state)
{
    return std::clamp<int>(state.index, 0, IMA_MAX_INDEX);
}

// The decoder's half, shared by both directions so that the encoder's
// prediction is exactly what the far end reconstructs.
void advance(ImaAdpcmState& state, int index, unsigned code, int vpdiff)
{
    const int predicted = (code & 8) != 0 ? state.valprev - vpdiff : state.valprev + vpdiff;
    state.valprev = static_cast<std::int16_t>(std::clamp(predicted, -32768, 32767));
    state.index = static_cast<std::int8_t>(std::clamp(index + indexTable[code & 0x0F], 0, IMA_MAX_INDEX));
}

} // namespace

std::uint8_t imaEncodeSample(std::int16_t sample, ImaAdpcmState& state)
{
    const int index = validIndex(state);
    const int step = stepsizeTable[index];
    int diff = sample - state.valprev;
    unsigned code = 0;
    if (diff < 0) {
        code = 8;
        diff = -diff;
    }
    // Successive approximation with the truncated half and quarter steps:
    // the same sums the decoder forms, so no rounding differs between them.
    int vpdiff = step >> 3;
    if (diff >= step) {
        code |= 4;
        diff -= step;
        vpdiff += step;
    }
    if (diff >= step >> 1) {
        code |= 2;
        diff -= step >> 1;
        vpdiff += step >> 1;
    }
    if (diff >= step >> 2) {
        code |= 1;
        vpdiff += step >> 2;
    }
    advance(state, index, code, vpdiff);
    return static_cast<std::uint8_t>(code);
}

std::int16_t imaDecodeSample(std::uint8_t code, ImaAdpcmState& state)
{
    code &= 0x0F;
    const int index = validIndex(state);
    const int step = stepsizeTable[index];
    int vpdiff = step >> 3;
    if ((code & 4) != 0)
        vpdiff += step;
    if ((code & 2) != 0)
        vpdiff += step >> 1;
    if ((code & 1) != 0)
        vpdiff += step >> 2;
    advance(state, index, code, vpdiff);
    return state.valprev;
}

void imaEncode(std::span<const std::int16_t> pcm, std::span<std::uint8_t> out, ImaAdpcmState& state)
{
    const std::size_t count = std::min(pcm.size(), out.size() * 2);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t code = imaEncodeSample(pcm[i], state);
        std::uint8_t& byte = out[i / 2];
        if (i % 2 == 0)
            byte = static_cast<std::uint8_t>(code << 4);
        else
            byte = static_cast<std::uint8_t>(byte | code);
    }
}

void imaDecode(std::span<const std::uint8_t> in, std::span<std::int16_t> pcm, ImaAdpcmState& state)
{
    const std::size_t count = std::min(in.size() * 2, pcm.size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = in[i / 2];
        pcm[i] = imaDecodeSample(i % 2 == 0 ? byte >> 4 : byte & 0x0F, state);
    }
}

} // namespace halvane
