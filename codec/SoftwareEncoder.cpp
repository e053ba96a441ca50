#include "SoftwareEncoder.h"

#include "Log.h"

namespace halvane {

void SoftwareEncoder::noteMissing()
{
    if (missingLogged_)
        return;
    missingLogged_ = true;
    Log(4, "Software encoder is not available yet, the partner gets silence\n");
}

// Silence keeps the calls going: they still start, run their length and end.
bool SoftwareEncoder::encode72(const PcmBlock&, Ambe72Frame& frame)
{
    noteMissing();
    frame = DMR_SILENCE_FRAME;
    return true;
}

bool SoftwareEncoder::encodeDstar(const PcmBlock&, DstarFrame& frame)
{
    noteMissing();
    frame.bytes = DMR_SILENCE_FRAME.bytes;
    return true;
}

bool SoftwareEncoder::encodeImbe(const PcmBlock&, ImbeFrame& frame)
{
    noteMissing();
    frame = packImbe(ImbeCodeWords{});
    return true;
}

} // namespace halvane
