#include "p25p2_vf.h"

#include "AmbeFrame.h"
#include "DstarFrame.h"
#include "Golay.h"
#include "Scrambler.h"

#include <array>
#include <cstddef>

namespace halvane {

namespace {

std::uint32_t field(std::span<const std::int32_t, 9> b, std::size_t i)
{
    return static_cast<std::uint32_t>(b[i]);
}

// Bit j of the D-STAR pre-interleave sequence, held as three 24-bit words with r[0] in bit
// 23 of the first.
std::uint8_t sequenceBit(const std::array<std::uint32_t, 3>& r, std::size_t j)
{
    return static_cast<std::uint8_t>((r[j / 24] >> (23 - j % 24)) & 1u);
}

} // namespace

void p25p2_vf::encode_vcw(std::span<std::uint8_t, 36> out, std::span<const std::int32_t, 9> b)
{
    const std::uint32_t c0 = ((field(b, 0) << 5) & 0xF00) | ((field(b, 1) << 3) & 0x0F0) | ((field(b, 2) >> 1) & 0x00F);
    const std::uint32_t c1 = ((field(b, 3) << 3) & 0xFF0) | ((field(b, 4) >> 3) & 0x00F);
    const std::uint32_t u0 = golay_24_encode(c0);
    const std::uint32_t u1 = (golay_24_encode(c1) >> 1) ^ (pr_n[c0] >> 1);
    const std::uint32_t u2 = ((field(b, 5) << 6) & 0x780) | ((field(b, 6) << 3) & 0x070) | (field(b, 7) & 0x00E) |
                             ((field(b, 8) >> 2) & 1u);
    const std::uint32_t u3 = ((field(b, 1) << 13) & 0x2000) | ((field(b, 2) << 12) & 0x1000) |
                             ((field(b, 0) << 9) & 0x0E00) | ((field(b, 3) << 8) & 0x0100) |
                             ((field(b, 4) << 5) & 0x00E0) | ((field(b, 5) << 4) & 0x0010) |
                             ((field(b, 6) << 3) & 0x0008) | ((field(b, 7) << 2) & 0x0004) | (field(b, 8) & 0x0003);
    interleave_vcw(out, u0, u1, u2, u3);
}

void p25p2_vf::interleave_vcw(std::span<std::uint8_t, 36> out, std::uint32_t u0, std::uint32_t u1, std::uint32_t u2,
                              std::uint32_t u3)
{
    std::array<std::uint8_t, 9> frame{};
    interleaveAmbe2({u0, u1, u2, u3}, frame);
    bytesToDibits(frame, out);
}

void p25p2_vf::extract_vcw(std::span<const std::uint8_t, 36> in, std::uint32_t& u0, std::uint32_t& u1,
                           std::uint32_t& u2, std::uint32_t& u3)
{
    const std::array<std::uint32_t, 4> u = deinterleaveAmbe2Dibits(in);
    u0 = u[0];
    u1 = u[1];
    u2 = u[2];
    u3 = u[3];
}

void p25p2_vf::process_vcw(std::span<const std::uint8_t, 36> in, std::span<std::int32_t, 9> b)
{
    const auto [u0, u1, u2, u3] = deinterleaveAmbe2Dibits(in);
    const std::uint32_t c0 = gly24128Dec(u0);
    // Seeded with the corrected C0, the value the sender used.
    const std::uint32_t c1 = gly23127Dec(u1 ^ scramblingBits(c0, 23));

    const auto set = [&b](std::size_t i, std::uint32_t value) { b[i] = static_cast<std::int32_t>(value); };
    set(0, ((c0 >> 5) & 0x78) | ((u3 >> 9) & 7));
    set(1, ((c0 >> 3) & 0x1E) | ((u3 >> 13) & 1));
    set(2, ((c0 << 1) & 0x1E) | ((u3 >> 12) & 1));
    set(3, ((c1 >> 3) & 0x1FE) | ((u3 >> 8) & 1));
    set(4, ((c1 << 3) & 0x78) | ((u3 >> 5) & 7));
    set(5, ((u2 >> 6) & 0x1E) | ((u3 >> 4) & 1));
    set(6, ((u2 >> 3) & 0xE) | ((u3 >> 3) & 1));
    set(7, (u2 & 0xE) | ((u3 >> 2) & 1));
    set(8, ((u2 << 2) & 4) | (u3 & 3));
}

void p25p2_vf::encode_dstar(std::span<std::uint8_t, 72> out, std::span<const std::int32_t, 9> b, bool alt)
{
    std::uint64_t p = 0; // p[0] in bit 47
    for (std::size_t i = 0; i < b.size(); ++i)
        p = (p << b_lengths[i]) | (field(b, i) & ((1u << b_lengths[i]) - 1));
    std::uint64_t q = 0;
    for (const std::uint8_t from : m_list)
        q = (q << 1) | ((p >> (47 - from)) & 1u);

    const auto c0 = static_cast<std::uint32_t>(q >> 36);
    const auto c1 = static_cast<std::uint32_t>(q >> 24) & 0xFFF;
    const std::array<std::uint32_t, 3> r{golay_24_encode(c0), golay_24_encode(c1) ^ pr_n[c0],
                                         static_cast<std::uint32_t>(q) & 0xFFFFFF};
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (alt)
            out[i] = sequenceBit(r, alt_d_list[i]);
        else
            out[d_list[i]] = sequenceBit(r, i);
    }
}

void p25p2_vf::decode_dstar(std::span<const std::uint8_t, 72> in, std::span<std::int32_t, 9> b, bool alt)
{
    std::array<std::uint32_t, 3> r{};
    for (std::size_t i = 0; i < in.size(); ++i) {
        const std::size_t j = alt ? alt_d_list[i] : i;
        const bool bit = alt ? in[i] != 0 : in[d_list[i]] != 0;
        if (bit)
            r[j / 24] |= 1u << (23 - j % 24);
    }
    const std::uint32_t c0 = gly24128Dec(r[0]);
    const std::uint32_t c1 = gly24128Dec(r[1] ^ pr_n[c0]);
    const std::uint64_t q = (static_cast<std::uint64_t>(c0) << 36) | (static_cast<std::uint64_t>(c1) << 24) | r[2];

    std::uint64_t p = 0;
    for (std::size_t i = 0; i < m_list.size(); ++i)
        p |= ((q >> (47 - i)) & 1u) << (47 - m_list[i]);
    int shift = 48;
    for (std::size_t i = 0; i < b.size(); ++i) {
        shift -= b_lengths[i];
        b[i] = static_cast<std::int32_t>((p >> shift) & ((1u << b_lengths[i]) - 1));
    }
}

} // namespace halvane
