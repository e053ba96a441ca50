#include "AmbeFrame.h"

#include "Golay.h"
#include "Scrambler.h"

#include <bit>

namespace halvane {

namespace {

// Frame bits of b0..b8 in order, each field most significant bit first. The unprotected
// low bits of the fields are gathered at the end of the frame (d35..d48), so the Golay
// protected C0 and C1 carry the perceptually important high bits.
constexpr std::array<std::uint8_t, 49> ambe49BitOrder{
    0, 1, 2, 3, 37, 38, 39,                  // b0
    4, 5, 6, 7, 35,                          // b1
    8, 9, 10, 11, 36,                        // b2
    12, 13, 14, 15, 16, 17, 18, 19, 40,      // b3
    20, 21, 22, 23, 41, 42, 43,              // b4
    24, 25, 26, 27, 44,                      // b5
    28, 29, 30, 45,                          // b6
    31, 32, 33, 46,                          // b7
    34, 47, 48};                             // b8

constexpr std::array<int, 4> codewordWidths{24, 23, 11, 14};

// Channel bit (0..71) carrying bit n of codeword v, or -1 past the codeword's width.
constexpr std::array<std::array<int, 24>, 4> channelPositions()
{
    std::array<std::array<int, 24>, 4> pos{};
    for (auto& codeword : pos)
        codeword.fill(-1);
    for (int i = 0; i < 36; ++i) {
        pos[rW[i]][rX[i]] = 2 * i;
        pos[rY[i]][rZ[i]] = 2 * i + 1;
    }
    return pos;
}

constexpr auto positions = channelPositions();

// The interleave is applied a nibble at a time through tables derived from rW/rX/rY/rZ:
// a bit at a time costs more than the rest of a frame conversion put together.

// Channel bits 0..63 in `head` (bit 0 topmost) and 64..71 in the low byte of `tail`.
struct ChannelBits {
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
};

constexpr std::array<int, 4> firstSlot{0, 6, 12, 15}; // nibble slots of u0, u1, u2, u3
constexpr std::size_t slotCount = 19;

// [slot][value]: the channel bits set by one nibble of a codeword.
constexpr std::array<std::array<ChannelBits, 16>, slotCount> makeInterleaveTable()
{
    std::array<std::array<ChannelBits, 16>, slotCount> table{};
    for (int v = 0; v < 4; ++v)
        for (int n = 0; n < codewordWidths[v]; ++n) {
            const int channel = positions[v][n];
            for (int value = 0; value < 16; ++value) {
                if (((value >> (n % 4)) & 1) == 0)
                    continue;
                ChannelBits& bits = table[firstSlot[v] + n / 4][value];
                if (channel < 64)
                    bits.head |= std::uint64_t{1} << (63 - channel);
                else
                    bits.tail |= std::uint64_t{1} << (71 - channel);
            }
        }
    return table;
}

// Codeword bits as u0 | u1 << 32 and u2 | u3 << 32.
struct CodewordBits {
    std::uint64_t u01 = 0;
    std::uint64_t u23 = 0;
};

// [k][value]: the codeword bits set by channel nibble k (channel bits 4k..4k+3).
constexpr std::array<std::array<CodewordBits, 16>, 18> makeDeinterleaveTable()
{
    std::array<std::array<CodewordBits, 16>, 18> table{};
    for (int v = 0; v < 4; ++v)
        for (int n = 0; n < codewordWidths[v]; ++n) {
            const int channel = positions[v][n];
            for (int value = 0; value < 16; ++value) {
                if (((value >> (3 - channel % 4)) & 1) == 0)
                    continue;
                CodewordBits& bits = table[channel / 4][value];
                (v < 2 ? bits.u01 : bits.u23) |= std::uint64_t{1} << (n + 32 * (v % 2));
            }
        }
    return table;
}

constexpr auto interleaveTable = makeInterleaveTable();
constexpr auto deinterleaveTable = makeDeinterleaveTable();

// The 49-bit frame as one integer, d0 in bit 48 and d48 in bit 0.
std::uint64_t readFrame49(std::span<const std::uint8_t, 7> in)
{
    std::uint64_t frame = 0;
    for (std::size_t k = 0; k < 6; ++k)
        frame = (frame << 8) | in[k];
    return (frame << 1) | (in[6] != 0 ? 1u : 0u);
}

void writeFrame49(std::uint64_t frame, std::span<std::uint8_t, 7> out)
{
    for (std::size_t k = 0; k < 6; ++k)
        out[k] = static_cast<std::uint8_t>(frame >> (41 - 8 * k));
    out[6] = (frame & 1u) != 0 ? 0x80 : 0x00;
}

} // namespace

void bytesToBits(std::span<const std::uint8_t, 7> in, std::span<std::uint8_t, 49> out)
{
    const std::uint64_t frame = readFrame49(in);
    for (std::size_t k = 0; k < 49; ++k)
        out[k] = static_cast<std::uint8_t>((frame >> (48 - k)) & 1u);
}

void bitsToBytes(std::span<const std::uint8_t, 49> in, std::span<std::uint8_t, 7> out)
{
    std::uint64_t frame = 0;
    for (const std::uint8_t bit : in)
        frame = (frame << 1) | (bit != 0 ? 1u : 0u);
    writeFrame49(frame, out);
}

void dibitsToBytes(std::span<const std::uint8_t, 36> in, std::span<std::uint8_t, 9> out)
{
    for (std::size_t j = 0; j < 9; ++j) {
        const std::uint8_t* d = &in[4 * j];
        out[j] = static_cast<std::uint8_t>(((d[0] & 3u) << 6) | ((d[1] & 3u) << 4) | ((d[2] & 3u) << 2) |
                                           (d[3] & 3u));
    }
}

void bytesToDibits(std::span<const std::uint8_t, 9> in, std::span<std::uint8_t, 36> out)
{
    for (std::size_t j = 0; j < 9; ++j) {
        const std::uint8_t byte = in[j];
        out[4 * j] = static_cast<std::uint8_t>(byte >> 6);
        out[4 * j + 1] = static_cast<std::uint8_t>((byte >> 4) & 3u);
        out[4 * j + 2] = static_cast<std::uint8_t>((byte >> 2) & 3u);
        out[4 * j + 3] = static_cast<std::uint8_t>(byte & 3u);
    }
}

void interleaveAmbe2(const std::array<std::uint32_t, 4>& u, std::span<std::uint8_t, 9> frame)
{
    ChannelBits channel;
    for (std::size_t v = 0; v < u.size(); ++v)
        for (int n = 0; n < codewordWidths[v]; n += 4) {
            const ChannelBits& bits = interleaveTable[firstSlot[v] + n / 4][(u[v] >> n) & 15];
            channel.head |= bits.head;
            channel.tail |= bits.tail;
        }
    for (std::size_t j = 0; j < 8; ++j)
        frame[j] = static_cast<std::uint8_t>(channel.head >> (56 - 8 * j));
    frame[8] = static_cast<std::uint8_t>(channel.tail);
}

std::array<std::uint32_t, 4> deinterleaveAmbe2(std::span<const std::uint8_t, 9> frame)
{
    CodewordBits u;
    for (std::size_t j = 0; j < frame.size(); ++j) {
        const CodewordBits& high = deinterleaveTable[2 * j][frame[j] >> 4];
        const CodewordBits& low = deinterleaveTable[2 * j + 1][frame[j] & 15];
        u.u01 |= high.u01 | low.u01;
        u.u23 |= high.u23 | low.u23;
    }
    return {static_cast<std::uint32_t>(u.u01), static_cast<std::uint32_t>(u.u01 >> 32),
            static_cast<std::uint32_t>(u.u23), static_cast<std::uint32_t>(u.u23 >> 32)};
}

std::array<std::uint32_t, 4> deinterleaveAmbe2Dibits(std::span<const std::uint8_t, 36> dibits)
{
    std::array<std::uint8_t, 9> frame{};
    dibitsToBytes(dibits, frame);
    return deinterleaveAmbe2(frame);
}

void encode_49bit(std::span<std::uint8_t, 49> out, std::span<const std::int32_t, 9> b)
{
    std::size_t next = 0;
    for (std::size_t field = 0; field < b.size(); ++field) {
        const auto value = static_cast<std::uint32_t>(b[field]);
        for (int bit = ambe2_b_lengths[field] - 1; bit >= 0; --bit)
            out[ambe49BitOrder[next++]] = static_cast<std::uint8_t>((value >> bit) & 1u);
    }
}

void decode_49bit(std::span<const std::uint8_t, 49> in, std::span<std::int32_t, 9> b)
{
    std::size_t next = 0;
    for (std::size_t field = 0; field < b.size(); ++field) {
        std::int32_t value = 0;
        for (int bit = 0; bit < ambe2_b_lengths[field]; ++bit)
            value = (value << 1) | (in[ambe49BitOrder[next++]] != 0 ? 1 : 0);
        b[field] = value;
    }
}

void convert49BitAmbeTo72Bit(std::span<const std::uint8_t, 7> in, std::span<std::uint8_t, 9> out)
{
    const std::uint64_t frame = readFrame49(in);
    const auto c0 = static_cast<std::uint32_t>(frame >> 37) & 0xFFF;
    const auto c1 = static_cast<std::uint32_t>(frame >> 25) & 0xFFF;
    const std::uint32_t cw0 = golay_23_encode(c0);
    const std::uint32_t u0 = (cw0 << 1) | static_cast<std::uint32_t>(std::popcount(cw0) & 1);
    const std::uint32_t u1 = golay_23_encode(c1) ^ (pr_n[c0] >> 1);
    const auto u2 = static_cast<std::uint32_t>(frame >> 14) & 0x7FF;
    const auto u3 = static_cast<std::uint32_t>(frame) & 0x3FFF;

    interleaveAmbe2({u0, u1, u2, u3}, out);
}

void convert72BitAmbeTo49Bit(std::span<const std::uint8_t, 9> in, std::span<std::uint8_t, 7> out)
{
    const auto [u0, u1, u2, u3] = deinterleaveAmbe2(in);

    auto c0 = static_cast<std::int32_t>(u0 >> 1);
    mbe_checkGolayBlock(&c0);
    // The sender seeded the scrambler with C0 as sent, so the corrected C0 is the seed here.
    auto c1 = static_cast<std::int32_t>(u1 ^ (pr_n[static_cast<std::uint32_t>(c0)] >> 1));
    mbe_checkGolayBlock(&c1);

    const std::uint64_t frame = (static_cast<std::uint64_t>(c0) << 37) | (static_cast<std::uint64_t>(c1) << 25) |
                                (static_cast<std::uint64_t>(u2) << 14) | u3;
    writeFrame49(frame, out);
}

} // namespace halvane
