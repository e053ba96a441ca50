#include "SoftwareDecoder.h"

#include "MbeVersion.h"
#include "ambe/ambe_vocoder.h"
#include "imbe/FrameVector.h"
#include "imbe/imbe_vocoder.h"

namespace halvane {

struct SoftwareDecoder::Vocoders {
    ambe_vocoder ambe;
    imbe_vocoder imbe;
};

SoftwareDecoder::SoftwareDecoder() : vocoders_(std::make_unique<Vocoders>()) {}

SoftwareDecoder::~SoftwareDecoder() = default;

std::string SoftwareDecoder::version()
{
    char text[16];
    mbe_printVersion(text, sizeof(text));
    return text;
}

void SoftwareDecoder::decode72(const Ambe72Frame& frame, PcmBlock& pcm)
{
    vocoders_->ambe.ambe_decode(frame.bytes, pcm);
}

void SoftwareDecoder::decode49(const Ambe49Frame& frame, PcmBlock& pcm)
{
    decode72(toAmbe72(frame), pcm);
}

void SoftwareDecoder::decodeDstar(const DstarFrame& frame, PcmBlock& pcm)
{
    vocoders_->ambe.ambe_decode_dstar(frame.bytes, pcm);
}

void SoftwareDecoder::decodeImbe(const ImbeFrame& frame, PcmBlock& pcm)
{
    std::array<Word16, 8> words{};
    unpack_imbe_frame(frame.bytes, words);
    vocoders_->imbe.decode(words.data(), pcm.data());
}

} // namespace halvane
