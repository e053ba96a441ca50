#include "SoftwareDecoder.h"

#include "Log.h"
#include "MbeVersion.h"

namespace halvane {

std::string SoftwareDecoder::version()
{
    char text[16];
    mbe_printVersion(text, sizeof(text));
    return text;
}

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
    decode72(toAmbe72(frame), pcm);
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
