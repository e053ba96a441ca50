// Encoding on a DV3000: one chip exchange per block (dv3000Encode). The
// chip's rate parameters decide whether the frame it returns is AMBE+2 or
// D-STAR. What the chip cannot do goes to `software` (the software encoder
// of the same direction): IMBE, which the chip has not, and every block the
// chip fails to encode, so a chip that is lost (or being started again)
// costs no block; the chip reports the loss itself (CDV3000_Base).
//
// Ownership and lifetime: refers to the chip and to `software`, which
// outlive it. Thread-safety: the encode thread only; the chip serialises its
// exchanges with the decode thread's.
#pragma once

#include "VoiceEncoder.h"

namespace halvane {

class CDV3000_Base;

class Dv3000Encoder final : public VoiceEncoder {
public:
    Dv3000Encoder(CDV3000_Base& chip, VoiceEncoder& software) : chip_(chip), software_(software) {}

    bool encode72(const PcmBlock& pcm, Ambe72Frame& frame) override;
    bool encodeDstar(const PcmBlock& pcm, DstarFrame& frame) override;
    bool encodeImbe(const PcmBlock& pcm, ImbeFrame& frame) override;

private:
    bool onChip(const PcmBlock& pcm, std::uint8_t* frame);

    CDV3000_Base& chip_;
    VoiceEncoder& software_;
};

} // namespace halvane
