#include "SoftwareDecoder.h"

#include "AmbeFrame.h"
#include "Log.h"

namespace halvane {

void SoftwareDecoder::silence(PcmBlock& pcm)
{
    if (!missingLogged_) {
        missingLogged_ = true;
        Log(4, "Software decoder not available yet: decoded frames are silence\n");
    }
    pcm.fill(0);
}

void SoftwareDecoder::decode72(const Ambe72Frame&, PcmBlock& pcm)
{
    silence(pcm);
}

void SoftwareDecoder::decode49(const Ambe49Frame& frame, PcmBlock& pcm)
{
    Ambe72Frame frame72;
    convert49BitAmbeTo72Bit(frame.bytes, frame72.bytes);
    decode72(frame72, pcm);
}

void SoftwareDecoder::decodeDstar(const DstarFrame&, PcmBlock& pcm)
{
    silence(pcm);
}

void SoftwareDecoder::decodeImbe(const ImbeFrame&, PcmBlock& pcm)
{
    silence(pcm);
}

} // namespace halvane
