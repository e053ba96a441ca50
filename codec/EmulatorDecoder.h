// Decoding through the external emulator, which takes 49-bit frames: a
// 72-bit frame is brought to that form first, a 49-bit frame goes as it was
// received. A frame it does not answer in time becomes silence (the link
// logs the first time-out of a run). The emulator has no D-STAR and no
// IMBE: those go to `software`.
//
// Ownership and lifetime: refers to the link and to `software`, which
// outlive it. Thread-safety: the decode thread only (the link has a socket
// per direction).
#pragma once

#include "VoiceDecoder.h"

namespace halvane {

class EmulatorLink;

class EmulatorDecoder final : public VoiceDecoder {
public:
    EmulatorDecoder(EmulatorLink& link, VoiceDecoder& software) : link_(link), software_(software) {}

    void decode72(const Ambe72Frame& frame, PcmBlock& pcm) override;
    void decode49(const Ambe49Frame& frame, PcmBlock& pcm) override;
    void decodeDstar(const DstarFrame& frame, PcmBlock& pcm) override;
    void decodeImbe(const ImbeFrame& frame, PcmBlock& pcm) override;

private:
    EmulatorLink& link_;
    VoiceDecoder& software_;
};

} // namespace halvane
