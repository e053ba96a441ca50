// Decoding on a DV3000: one chip exchange per frame (dv3000Decode); a 49-bit
// frame is first brought to its 72-bit form. A failed exchange gives
// silence. The chip has no IMBE, so IMBE goes to `imbe` (the software
// decoder).
//
// Ownership and lifetime: refers to the chip and to `imbe`, which outlive
// it. Thread-safety: the decode thread only; the chip serialises its
// exchanges with the encode thread's.
#pragma once

#include "VoiceDecoder.h"

namespace halvane {

class CDV3000_Base;

class Dv3000Decoder final : public VoiceDecoder {
public:
    Dv3000Decoder(CDV3000_Base& chip, VoiceDecoder& imbe) : chip_(chip), imbe_(imbe) {}

    void decode72(const Ambe72Frame& frame, PcmBlock& pcm) override;
    void decode49(const Ambe49Frame& frame, PcmBlock& pcm) override;
    void decodeDstar(const DstarFrame& frame, PcmBlock& pcm) override;
    void decodeImbe(const ImbeFrame& frame, PcmBlock& pcm) override;

private:
    CDV3000_Base& chip_;
    VoiceDecoder& imbe_;
};

} // namespace halvane
