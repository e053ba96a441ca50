// The built-in software vocoder's decoding side: AMBE+2 (ambe_decode; a
// 49-bit frame is first brought to its 72-bit form), D-STAR
// (ambe_decode_dstar) and IMBE (imbe_vocoder::decode of the frame's eight
// code words). Every frame decodes; a tone or erasure frame gives silence.
//
// AMBE+2 and D-STAR share the AMBE vocoder's synthesis, so a switch between
// them joins smoothly.
//
// Ownership and thread-safety: owns the decoding state of one direction; used
// by one thread at a time (the decode thread). It shares nothing with a
// SoftwareEncoder, so the two directions of a call run at the same time.
#pragma once

#include "VoiceDecoder.h"

#include <memory>
#include <string>

namespace halvane {

class SoftwareDecoder final : public VoiceDecoder {
public:
    SoftwareDecoder();
    ~SoftwareDecoder() override;
    SoftwareDecoder(const SoftwareDecoder&) = delete;
    SoftwareDecoder& operator=(const SoftwareDecoder&) = delete;

    void decode72(const Ambe72Frame& frame, PcmBlock& pcm) override;
    void decode49(const Ambe49Frame& frame, PcmBlock& pcm) override;
    void decodeDstar(const DstarFrame& frame, PcmBlock& pcm) override;
    void decodeImbe(const ImbeFrame& frame, PcmBlock& pcm) override;

    // The version of the MBE synthesiser behind it, as the start-up report
    // shows it.
    static std::string version();

private:
    struct Vocoders;
    std::unique_ptr<Vocoders> vocoders_;
};

} // namespace halvane
