// Decoding on a DV3000: one chip exchange per frame (dv3000Decode); a 49-bit
// frame is first brought to its 72-bit form. What the chip cannot do goes to
// `software` (the software decoder of the same direction): IMBE, which the
// chip has not, and every frame the chip fails to decode, so a chip that is
// lost (or being started again) costs no block; the chip reports the loss
// itself (CDV3000_Base).
//
// Ownership and lifetime: refers to the chip and to `software`, which
// outlive it. Thread-safety: the decode thread only; the chip serialises its
// exchanges with the encode thread's.
#pragma once

#include "VoiceDecoder.h"

namespace halvane {

class CDV3000_Base;

class Dv3000Decoder final : public VoiceDecoder {
public:
    Dv3000Decoder(CDV3000_Base& chip, VoiceDecoder& software) : chip_(chip), software_(software) {}

    void decode72(const Ambe72Frame& frame, PcmBlock& pcm) override;
    void decode49(const Ambe49Frame& frame, PcmBlock& pcm) override;
    void decodeDstar(const DstarFrame& frame, PcmBlock& pcm) override;
    void decodeImbe(const ImbeFrame& frame, PcmBlock& pcm) override;

private:
    CDV3000_Base& chip_;
    VoiceDecoder& software_;
};

} // namespace halvane
