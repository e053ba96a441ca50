// Encoding through the external emulator: it answers each block with a
// 49-bit frame, which becomes the 72-bit one; a block it does not answer in
// time becomes an all-zero frame (the link logs the first time-out of a
// run). The emulator has no D-STAR and no IMBE: those go to `software`.
//
// Ownership and lifetime: refers to the link and to `software`, which
// outlive it. Thread-safety: the encode thread only (the link has a socket
// per direction).
#pragma once

#include "VoiceEncoder.h"

namespace halvane {

class EmulatorLink;

class EmulatorEncoder final : public VoiceEncoder {
public:
    EmulatorEncoder(EmulatorLink& link, VoiceEncoder& software) : link_(link), software_(software) {}

    bool encode72(const PcmBlock& pcm, Ambe72Frame& frame) override;
    bool encodeDstar(const PcmBlock& pcm, DstarFrame& frame) override;
    bool encodeImbe(const PcmBlock& pcm, ImbeFrame& frame) override;

private:
    EmulatorLink& link_;
    VoiceEncoder& software_;
};

} // namespace halvane
