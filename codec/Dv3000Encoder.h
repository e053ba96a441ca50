// Encoding on a DV3000: one chip exchange per block (dv3000Encode). The
// chip's rate parameters decide whether the frame it returns is AMBE+2 or
// D-STAR; the chip has no IMBE, so IMBE goes to `imbe` (the software
// encoder). A failed exchange drops the block, with a level-4 line.
//
// Ownership and lifetime: refers to the chip and to `imbe`, which outlive
// it. Thread-safety: the encode thread only; the chip serialises its
// exchanges with the decode thread's.
#pragma once

#include "VoiceEncoder.h"

namespace halvane {

class CDV3000_Base;

class Dv3000Encoder final : public VoiceEncoder {
public:
    Dv3000Encoder(CDV3000_Base& chip, VoiceEncoder& imbe) : chip_(chip), imbe_(imbe) {}

    bool encode72(const PcmBlock& pcm, Ambe72Frame& frame) override;
    bool encodeDstar(const PcmBlock& pcm, DstarFrame& frame) override;
    bool encodeImbe(const PcmBlock& pcm, ImbeFrame& frame) override;

private:
    bool onChip(const PcmBlock& pcm, std::uint8_t* frame);

    CDV3000_Base& chip_;
    VoiceEncoder& imbe_;
};

} // namespace halvane
