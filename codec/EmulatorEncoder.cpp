#include "EmulatorEncoder.h"

#include "EmulatorLink.h"

namespace halvane {

bool EmulatorEncoder::encode72(const PcmBlock& pcm, Ambe72Frame& frame)
{
    Ambe49Frame frame49;
    if (link_.encode(pcm.data(), frame49.data()))
        frame = toAmbe72(frame49);
    else
        frame = Ambe72Frame{};
    return true;
}

bool EmulatorEncoder::encodeDstar(const PcmBlock& pcm, DstarFrame& frame)
{
    return software_.encodeDstar(pcm, frame);
}

bool EmulatorEncoder::encodeImbe(const PcmBlock& pcm, ImbeFrame& frame)
{
    return software_.encodeImbe(pcm, frame);
}

} // namespace halvane
