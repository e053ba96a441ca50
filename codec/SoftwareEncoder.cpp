#include "SoftwareEncoder.h"

#include "ambe/ambe_vocoder.h"
#include "imbe/FrameVector.h"
#include "imbe/imbe_vocoder.h"

namespace halvane {

struct SoftwareEncoder::Vocoders {
    ambe_vocoder ambe;
    imbe_vocoder imbe;
    // The analysis record of this direction alone.
    IMBE_PARAM imbeParam;
};

SoftwareEncoder::SoftwareEncoder() : vocoders_(std::make_unique<Vocoders>()) {}

SoftwareEncoder::~SoftwareEncoder() = default;

bool SoftwareEncoder::encode72(const PcmBlock& pcm, Ambe72Frame& frame)
{
    // ambe_encode scales the samples it is given; the path's block stays as
    // the client sent it.
    PcmBlock scaled = pcm;
    vocoders_->ambe.ambe_encode(frame.bytes, scaled);
    return true;
}

bool SoftwareEncoder::encodeDstar(const PcmBlock& pcm, DstarFrame& frame)
{
    vocoders_->ambe.ambe_encode_dstar(frame.bytes, pcm);
    return true;
}

bool SoftwareEncoder::encodeImbe(const PcmBlock& pcm, ImbeFrame& frame)
{
    std::array<Word16, 8> words{};
    vocoders_->imbe.encode(&vocoders_->imbeParam, words.data(), pcm.data());
    pack_imbe_frame(words, frame.bytes);
    return true;
}

} // namespace halvane
