#include "EmulatorDecoder.h"

#include "EmulatorLink.h"

namespace halvane {

void EmulatorDecoder::decode72(const Ambe72Frame& frame, PcmBlock& pcm)
{
    decode49(toAmbe49(frame), pcm);
}

void EmulatorDecoder::decode49(const Ambe49Frame& frame, PcmBlock& pcm)
{
    if (!link_.decode(frame.data(), pcm.data()))
        noteFailure();
}

void EmulatorDecoder::decodeDstar(const DstarFrame& frame, PcmBlock& pcm)
{
    software_.decodeDstar(frame, pcm);
}

void EmulatorDecoder::decodeImbe(const ImbeFrame& frame, PcmBlock& pcm)
{
    software_.decodeImbe(frame, pcm);
}

} // namespace halvane
