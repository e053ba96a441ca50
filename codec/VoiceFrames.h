// The vocabulary of voice: one 20 ms block of PCM and the vocoder frames it
// becomes. Every part of Halvane that handles voice (the paths, the codecs,
// the DV3000 simulator, the tools, the tests) speaks in these types.
//
// - PcmBlock: 160 signed 16-bit samples at 8000 Hz, host order.
// - Ambe49Frame: the 49-bit AMBE parameter frame in 7 bytes (d0..d47 most
//   significant bit first, d48 the top bit of byte 6; AmbeFrame.h).
// - Ambe72Frame: the 72-bit AMBE+2 channel frame of DMR, NXDN and narrow YSF.
// - DstarFrame: the 72-bit D-STAR AMBE frame. As long as an AMBE+2 frame but
//   laid out differently, so it is a type of its own.
// - ImbeFrame: the 88-bit IMBE frame of P25 and wide YSF: the eight code
//   words u0..u7 packed most significant bit first at the widths 12, 12, 12,
//   12, 11, 11, 11 and 7 bits.
//
// Plain values: copy them freely, on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace halvane {

constexpr std::size_t PCM_BLOCK_SAMPLES = 160;
constexpr std::size_t PCM_BLOCK_BYTES = PCM_BLOCK_SAMPLES * 2;
using PcmBlock = std::array<std::int16_t, PCM_BLOCK_SAMPLES>;

// `Kind` only keeps frames of equal size but different layout apart.
template <std::size_t Size, typename Kind>
struct VoiceFrame {
    static constexpr std::size_t SIZE = Size;
    std::array<std::uint8_t, Size> bytes{};

    std::uint8_t* data() { return bytes.data(); }
    const std::uint8_t* data() const { return bytes.data(); }
    bool operator==(const VoiceFrame&) const = default;
};

using Ambe49Frame = VoiceFrame<7, struct Ambe49Kind>;
using Ambe72Frame = VoiceFrame<9, struct Ambe72Kind>;
using DstarFrame = VoiceFrame<9, struct DstarKind>;
using ImbeFrame = VoiceFrame<11, struct ImbeKind>;

// What a DMR receiver plays as silence.
inline constexpr Ambe72Frame DMR_SILENCE_FRAME{{0xAC, 0xAA, 0x40, 0x20, 0x00, 0x44, 0x40, 0x80, 0x80}};

// A 49-bit frame with its Golay protection and scrambling added, and back:
// up to three bit errors in each protected code word are corrected, heavier
// damage gives a wrong frame without notice.
Ambe72Frame toAmbe72(const Ambe49Frame& frame);
Ambe49Frame toAmbe49(const Ambe72Frame& frame);

} // namespace halvane
