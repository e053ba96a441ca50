// One direction's decoder: one vocoder frame in, a 20 ms PCM block out. The
// decode path holds one (DecoderChoice picks it) and calls it once per frame.
//
// Every call fills all 160 samples: a frame that cannot be decoded (a chip
// or emulator that does not answer) becomes silence, so it still holds its
// place in the stream, and is counted in failures().
//
// Implementations: SoftwareDecoder, Dv3000Decoder, EmulatorDecoder. Each
// object carries the state of one direction, so it is used by one thread at
// a time (the decode thread).
#pragma once

#include "VoiceFrames.h"

#include <cstdint>

namespace halvane {

class VoiceDecoder {
public:
    virtual ~VoiceDecoder() = default;

    virtual void decode72(const Ambe72Frame& frame, PcmBlock& pcm) = 0;
    virtual void decode49(const Ambe49Frame& frame, PcmBlock& pcm) = 0;
    virtual void decodeDstar(const DstarFrame& frame, PcmBlock& pcm) = 0;
    virtual void decodeImbe(const ImbeFrame& frame, PcmBlock& pcm) = 0;

    // Frames that became silence because they could not be decoded, since
    // construction.
    std::uint64_t failures() const { return failures_; }

protected:
    void noteFailure() { ++failures_; }

private:
    std::uint64_t failures_ = 0;
};

} // namespace halvane
