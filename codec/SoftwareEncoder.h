// The built-in software vocoder's encoding side: AMBE+2 (ambe_encode),
// D-STAR (ambe_encode_dstar) and IMBE (imbe_vocoder::encode, packed with
// packImbe). Until that vocoder is part of the build it keeps the partner's
// stream well-formed instead: the DMR silence frame for AMBE+2 and D-STAR,
// zero code words for IMBE, and one level-4 line per run saying so.
//
// Ownership and thread-safety: owns the encoding state of one direction;
// used by the encode thread only.
#pragma once

#include "VoiceEncoder.h"

namespace halvane {

class SoftwareEncoder final : public VoiceEncoder {
public:
    bool encode72(const PcmBlock& pcm, Ambe72Frame& frame) override;
    bool encodeDstar(const PcmBlock& pcm, DstarFrame& frame) override;
    bool encodeImbe(const PcmBlock& pcm, ImbeFrame& frame) override;

private:
    void noteMissing();

    bool missingLogged_ = false;
};

} // namespace halvane
