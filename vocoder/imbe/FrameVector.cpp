#include "imbe/FrameVector.h"

#include "fixedpoint/BitAllocation.h"

#include <algorithm>

namespace halvane {

using namespace fxp;

namespace {

// The 75 stream bits p0..p74: u0 bits 2..0, u1..u6 whole, u7 bits 6..4.
class StreamReader {
public:
    explicit StreamReader(const Word16* u)
    {
        push(u[0], 3);
        for (int w = 1; w < 7; ++w)
            push(u[w], imbe_frame_field_widths[w]);
        push(static_cast<Word16>(u[7] >> 4), 3);
    }

    int bit(int p) const { return bits_[p]; }

private:
    void push(Word16 word, int width)
    {
        for (int b = width - 1; b >= 0; --b)
            bits_[count_++] = (word >> b) & 1;
    }

    std::array<std::uint8_t, 75> bits_{};
    int count_ = 0;
};

} // namespace

void unpack_imbe_frame(std::span<const std::uint8_t, 11> bytes, std::span<Word16, 8> frame_vector)
{
    int bit = 0;
    for (int w = 0; w < 8; ++w) {
        int value = 0;
        for (int i = 0; i < imbe_frame_field_widths[w]; ++i, ++bit)
            value = (value << 1) | ((bytes[bit >> 3] >> (7 - (bit & 7))) & 1);
        frame_vector[w] = static_cast<Word16>(value);
    }
}

void pack_imbe_frame(std::span<const Word16, 8> frame_vector, std::span<std::uint8_t, 11> bytes)
{
    std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    int bit = 0;
    for (int w = 0; w < 8; ++w)
        for (int i = imbe_frame_field_widths[w] - 1; i >= 0; --i, ++bit)
            if ((frame_vector[w] >> i) & 1)
                bytes[bit >> 3] = static_cast<std::uint8_t>(bytes[bit >> 3] | (0x80 >> (bit & 7)));
}

void decode_frame_vector(IMBE_PARAM* param, const Word16* frame_vector)
{
    std::array<Word16, 8> u;
    for (int w = 0; w < 8; ++w)
        u[w] = static_cast<Word16>(frame_vector[w] & ((1 << imbe_frame_field_widths[w]) - 1));

    const Word16 b0 = static_cast<Word16>(((u[0] >> 4) & 0xFC) | ((u[7] >> 1) & 3));
    param->b_vec[0] = b0;
    if (b0 > 207)
        return;

    // 4 / (2 b0 + 79) in Q32: a normalised Q15 quotient, then the remainder's quotient for the
    // low bits.
    const Word16 x = static_cast<Word16>(2 * b0 + 79);
    const Word16 n = norm_s(x);
    const Word16 y = static_cast<Word16>(x << n);
    const Word16 q = div_s(16384, y);
    Word32 f = L_shr(L_deposit_h(q), static_cast<Word16>(11 - n));
    const Word16 remainder = extract_l(L_sub(0x40000000, L_mult(y, q)) >> 2);
    f += div_s(remainder, y) >> (9 - n);
    param->fund_freq = f;

    const Word16 L = static_cast<Word16>((((2 * b0 + 81) >> 3) * 60647) >> 16);
    const Word16 K = L > 36 ? Word16{12} : extract_h((L + 2) * 21846);
    param->num_harms = L;
    param->num_bands = K;

    const StreamReader p(u.data());
    Word16 voicing = 0;
    for (int i = 0; i < K; ++i)
        voicing = static_cast<Word16>((voicing << 1) | p.bit(39 + i));
    param->b_vec[1] = voicing;
    param->b_vec[2] = static_cast<Word16>((((u[0] >> 3) & 7) << 3) | (p.bit(39 + K) << 2) | (p.bit(40 + K) << 1) | ((u[7] >> 3) & 1));

    // The coefficient bits: p0..p38, then what follows the voicing and gain bits.
    const int total = 73 - K;
    const auto coefficientBit = [&](int i) { return p.bit(i < 39 ? i : i + K + 2); };

    for (int i = 3; i <= L + 1; ++i)
        param->b_vec[i] = 0;
    param->bit_alloc.fill(0);
    get_bit_allocation(L, param->bit_alloc.data());

    int taken = 0;
    for (int level = L == 11 ? 9 : param->bit_alloc[0]; level > 0 && taken < total; --level)
        for (int i = 0; i < L - 1 && taken < total; ++i)
            if (param->bit_alloc[i] >= level)
                param->b_vec[3 + i] = static_cast<Word16>((param->b_vec[3 + i] << 1) | coefficientBit(taken++));

    param->b_vec[L + 2] = static_cast<Word16>(u[7] & 1);
}

void v_uv_decode(IMBE_PARAM* param)
{
    const Word16 L = param->num_harms;
    const Word16 K = param->num_bands;
    param->v_uv_dsn.fill(0);
    Word16 unvoiced = 0;
    for (int l = 0; l < L; ++l) {
        const int band = l / 3 < K ? l / 3 : K - 1;
        const Word16 voiced = static_cast<Word16>((param->b_vec[1] >> (K - 1 - band)) & 1);
        param->v_uv_dsn[l] = voiced;
        unvoiced = static_cast<Word16>(unvoiced + (1 - voiced));
    }
    param->l_uv = unvoiced;
}

} // namespace halvane
