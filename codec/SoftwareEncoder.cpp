#include "SoftwareEncoder.h"

#include "ambe/ambe_vocoder.h"
#include "imbe/FrameVector.h"
#include "imbe/imbe_vocoder.h"

namespace halvane {

struct SoftwareEncoder::Vocoders {
    std::unique_ptr<ambe_vocoder> ambe;
    std::unique_ptr<imbe_vocoder> imbe;
    // The analysis record of this direction alone.
    IMBE_PARAM imbeParam;

    ambe_vocoder& ambeVocoder()
    {
        if (!ambe)
            ambe = std::make_unique<ambe_vocoder>();
        return *ambe;
    }
};

SoftwareEncoder::SoftwareEncoder() : vocoders_(std::make_unique<Vocoders>()) {}

SoftwareEncoder::~SoftwareEncoder() = default;

bool SoftwareEncoder::encode72(const PcmBlock& pcm, Ambe72Frame& frame)
{
    // ambe_encode scales the samples it is given; the path's block stays as
    // the client sent it.
    PcmBlock scaled = pcm;
    vocoders_->ambeVocoder().ambe_encode(frame.bytes, scaled);
    return true;
}

bool SoftwareEncoder::encodeDstar(const PcmBlock& pcm, DstarFrame& frame)
{
    vocoders_->ambeVocoder().ambe_encode_dstar(frame.bytes, pcm);
    return true;
}

bool SoftwareEncoder::encodeImbe(const PcmBlock& pcm, ImbeFrame& frame)
{
    Vocoders& v = *vocoders_;
    if (!v.imbe)
        v.imbe = std::make_unique<imbe_vocoder>();
    std::array<Word16, 8> words{};
    v.imbe->encode(&v.imbeParam, words.data(), pcm.data());
    pack_imbe_frame(words, frame.bytes);
    return true;
}

} // namespace halvane
