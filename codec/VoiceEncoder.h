// One direction's encoder: a 20 ms PCM block in, one vocoder frame out. The
// encode path holds one (EncoderChoice picks it) and calls it once per block
// with the frame kind of the mode in use.
//
// Implementations: SoftwareEncoder, Dv3000Encoder, EmulatorEncoder. Each
// object carries the state of one direction, so it is used by one thread at
// a time (the encode thread); a chip or emulator behind it serialises its
// own exchanges.
#pragma once

#include "VoiceFrames.h"

namespace halvane {

class VoiceEncoder {
public:
    virtual ~VoiceEncoder() = default;

    // Each returns false when this block yields no frame (it is then not
    // sent); `frame` is then left as it was.
    virtual bool encode72(const PcmBlock& pcm, Ambe72Frame& frame) = 0;
    virtual bool encodeDstar(const PcmBlock& pcm, DstarFrame& frame) = 0;
    virtual bool encodeImbe(const PcmBlock& pcm, ImbeFrame& frame) = 0;
};

} // namespace halvane
