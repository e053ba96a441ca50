// The built-in software vocoder's decoding side: AMBE+2 (ambe_decode; a
// 49-bit frame is first brought to its 72-bit form), D-STAR
// (ambe_decode_dstar) and IMBE (imbe_vocoder::decode of the unpacked code
// words). Until that vocoder is part of the build every frame becomes a
// silent block, with one level-4 line per run saying so.
//
// Ownership and thread-safety: owns the decoding state of one direction;
// used by the decode thread only.
#pragma once

#include "VoiceDecoder.h"

#include <string>

namespace halvane {

class SoftwareDecoder final : public VoiceDecoder {
public:
    void decode72(const Ambe72Frame& frame, PcmBlock& pcm) override;
    void decode49(const Ambe49Frame& frame, PcmBlock& pcm) override;
    void decodeDstar(const DstarFrame& frame, PcmBlock& pcm) override;
    void decodeImbe(const ImbeFrame& frame, PcmBlock& pcm) override;

    // The version of the MBE synthesiser behind it, as the start-up report
    // shows it.
    static std::string version();

private:
    void silence(PcmBlock& pcm);

    bool missingLogged_ = false;
};

} // namespace halvane
