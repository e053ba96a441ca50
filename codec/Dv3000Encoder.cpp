#include "Dv3000Encoder.h"

#include "CDV3000_Base.h"

namespace halvane {

bool Dv3000Encoder::onChip(const PcmBlock& pcm, std::uint8_t* frame)
{
    PcmBlock samples = pcm;
    return chip_.dv3000Encode(frame, PCM_BLOCK_BYTES, samples.data()) == static_cast<int>(Ambe72Frame::SIZE);
}

bool Dv3000Encoder::encode72(const PcmBlock& pcm, Ambe72Frame& frame)
{
    return onChip(pcm, frame.data()) || software_.encode72(pcm, frame);
}

bool Dv3000Encoder::encodeDstar(const PcmBlock& pcm, DstarFrame& frame)
{
    return onChip(pcm, frame.data()) || software_.encodeDstar(pcm, frame);
}

bool Dv3000Encoder::encodeImbe(const PcmBlock& pcm, ImbeFrame& frame)
{
    return software_.encodeImbe(pcm, frame);
}

} // namespace halvane
