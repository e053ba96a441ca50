#include "imbe/FrameVectorEncode.h"

#include <array>
#include <cstdint>

namespace halvane::imbe {

namespace {

// The 75 stream bits p0..p74 that decode_frame_vector reads: u0 bits 2..0, u1..u6 whole,
// u7 bits 6..4.
class StreamWriter {
public:
    void put(int bit) { bits_[count_++] = static_cast<std::uint8_t>(bit & 1); }

    // The next `width` bits as a word, first bit most significant.
    Word16 word(int& at, int width) const
    {
        int value = 0;
        for (int i = 0; i < width; ++i)
            value = (value << 1) | bits_[at++];
        return static_cast<Word16>(value);
    }

private:
    std::array<std::uint8_t, 75> bits_{};
    int count_ = 0;
};

} // namespace

void encode_frame_vector(const IMBE_PARAM* param, Word16* frame_vector)
{
    const Word16 L = param->num_harms;
    const Word16 K = param->num_bands;
    const auto& b = param->b_vec;
    const int total = 73 - K;

    // The coefficient bits in the order of priority.
    std::array<std::uint8_t, 73> coefficient{};
    int taken = 0;
    for (int level = L == 11 ? 9 : param->bit_alloc[0]; level > 0 && taken < total; --level)
        for (int i = 0; i < L - 1 && taken < total; ++i)
            if (param->bit_alloc[i] >= level)
                coefficient[taken++] = static_cast<std::uint8_t>((b[3 + i] >> (level - 1)) & 1);

    // p0..p38 coefficient bits, then K voicing bits, two gain bits, the other coefficient bits.
    StreamWriter p;
    for (int i = 0; i < 39; ++i)
        p.put(coefficient[i]);
    for (int i = K - 1; i >= 0; --i)
        p.put(b[1] >> i);
    p.put(b[2] >> 2);
    p.put(b[2] >> 1);
    for (int i = 39; i < total; ++i)
        p.put(coefficient[i]);

    int at = 0;
    frame_vector[0] = static_cast<Word16>(((b[0] & 0xFC) << 4) | (b[2] & 0x38) | p.word(at, 3));
    for (int w = 1; w < 4; ++w)
        frame_vector[w] = p.word(at, 12);
    for (int w = 4; w < 7; ++w)
        frame_vector[w] = p.word(at, 11);
    frame_vector[7] = static_cast<Word16>((p.word(at, 3) << 4) | ((b[2] & 1) << 3) | ((b[0] & 3) << 1) | (b[L + 2] & 1));
}

} // namespace halvane::imbe
