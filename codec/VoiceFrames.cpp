#include "VoiceFrames.h"

#include "AmbeFrame.h"

namespace halvane {

Ambe72Frame toAmbe72(const Ambe49Frame& frame)
{
    Ambe72Frame out;
    convert49BitAmbeTo72Bit(frame.bytes, out.bytes);
    return out;
}

Ambe49Frame toAmbe49(const Ambe72Frame& frame)
{
    Ambe49Frame out;
    convert72BitAmbeTo49Bit(frame.bytes, out.bytes);
    return out;
}

} // namespace halvane
