// The built-in software vocoder's encoding side: AMBE+2 (ambe_encode, on a
// copy of the block scaled by 3 as that entry point wants), D-STAR
// (ambe_encode_dstar) and IMBE (imbe_vocoder::encode, packed into the
// 11-byte frame). Every block yields a frame.
//
// AMBE+2 and D-STAR share the AMBE vocoder's analysis, as one chip would.
//
// Ownership and thread-safety: owns the encoding state of one direction; used
// by one thread at a time (the encode thread). It shares nothing with a
// SoftwareDecoder, so the two directions of a call run at the same time.
#pragma once

#include "VoiceEncoder.h"

#include <memory>

namespace halvane {

class SoftwareEncoder final : public VoiceEncoder {
public:
    SoftwareEncoder();
    ~SoftwareEncoder() override;
    SoftwareEncoder(const SoftwareEncoder&) = delete;
    SoftwareEncoder& operator=(const SoftwareEncoder&) = delete;

    bool encode72(const PcmBlock& pcm, Ambe72Frame& frame) override;
    bool encodeDstar(const PcmBlock& pcm, DstarFrame& frame) override;
    bool encodeImbe(const PcmBlock& pcm, ImbeFrame& frame) override;

private:
    struct Vocoders;
    std::unique_ptr<Vocoders> vocoders_;
};

} // namespace halvane
