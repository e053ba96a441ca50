#include "Dv3000Encoder.h"

#include "CDV3000_Base.h"
#include "Log.h"

namespace halvane {

bool Dv3000Encoder::onChip(const PcmBlock& pcm, std::uint8_t* frame)
{
    PcmBlock samples = pcm;
    const int length = chip_.dv3000Encode(frame, PCM_BLOCK_BYTES, samples.data());
    if (length != static_cast<int>(Ambe72Frame::SIZE)) {
        Log(4, "AMBE len is not 9 (72 bits), so not sending it to partner.  Len=%d\n", length);
        return false;
    }
    return true;
}

bool Dv3000Encoder::encode72(const PcmBlock& pcm, Ambe72Frame& frame)
{
    return onChip(pcm, frame.data());
}

bool Dv3000Encoder::encodeDstar(const PcmBlock& pcm, DstarFrame& frame)
{
    return onChip(pcm, frame.data());
}

bool Dv3000Encoder::encodeImbe(const PcmBlock& pcm, ImbeFrame& frame)
{
    return imbe_.encodeImbe(pcm, frame);
}

} // namespace halvane
