#include "Dv3000Decoder.h"

#include "CDV3000_Base.h"

namespace halvane {

void Dv3000Decoder::decode72(const Ambe72Frame& frame, PcmBlock& pcm)
{
    if (!chip_.dv3000Decode(frame.data(), Ambe72Frame::SIZE, pcm.data()))
        noteFailure();
}

void Dv3000Decoder::decode49(const Ambe49Frame& frame, PcmBlock& pcm)
{
    decode72(toAmbe72(frame), pcm);
}

void Dv3000Decoder::decodeDstar(const DstarFrame& frame, PcmBlock& pcm)
{
    if (!chip_.dv3000Decode(frame.data(), DstarFrame::SIZE, pcm.data()))
        noteFailure();
}

void Dv3000Decoder::decodeImbe(const ImbeFrame& frame, PcmBlock& pcm)
{
    imbe_.decodeImbe(frame, pcm);
}

} // namespace halvane
