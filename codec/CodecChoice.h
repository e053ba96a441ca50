// One direction's codec: owns one codec of each kind and hands out the one
// the WantedVocoder names, choosing again at the next block (or frame) after
// it changed. A wanted DV3000 or emulator that this process does not have
// (null at construction) falls back to the software codec, which also serves
// what the chip and the emulator cannot do (IMBE; D-STAR for the emulator)
// and keeps its state across switches.
//
// EncoderChoice belongs to the encode path, DecoderChoice to the decode path.
//
// Ownership and lifetime: owns the codecs; refers to the sources (the wanted
// vocoder, the chip and the emulator link), which outlive it. Not copyable.
// Thread-safety: current() on the path's own thread only; `wanted` may
// change from any thread.
#pragma once

#include "Dv3000Decoder.h"
#include "Dv3000Encoder.h"
#include "EmulatorDecoder.h"
#include "EmulatorEncoder.h"
#include "SoftwareDecoder.h"
#include "SoftwareEncoder.h"
#include "WantedVocoder.h"

#include <cstdint>
#include <optional>

namespace halvane {

class CDV3000_Base;
class EmulatorLink;

// Where a direction's codecs come from.
struct VocoderSources {
    const WantedVocoder& wanted;
    CDV3000_Base* chip = nullptr;      // the DV3000, or null without one
    EmulatorLink* emulator = nullptr;  // the emulator link, or null
};

template <typename Codec, typename Software, typename Dv3000, typename Emulator>
class CodecChoice {
public:
    explicit CodecChoice(const VocoderSources& sources) : wanted_(sources.wanted)
    {
        if (sources.chip != nullptr)
            dv3000_.emplace(*sources.chip, software_);
        if (sources.emulator != nullptr)
            emulator_.emplace(*sources.emulator, software_);
    }
    CodecChoice(const CodecChoice&) = delete;
    CodecChoice& operator=(const CodecChoice&) = delete;

    // The codec for the next block.
    Codec& current()
    {
        const Vocoder wanted = wanted_.get();
        if (wanted != chosen_) {
            chosen_ = wanted;
            if (wanted == Vocoder::Dv3000 && dv3000_)
                current_ = &*dv3000_;
            else if (wanted == Vocoder::Emulator && emulator_)
                current_ = &*emulator_;
            else
                current_ = &software_;
        }
        return *current_;
    }

    // Failures of all its codecs so far (decoders).
    std::uint64_t failures() const
    {
        return software_.failures() + (dv3000_ ? dv3000_->failures() : 0) + (emulator_ ? emulator_->failures() : 0);
    }

private:
    const WantedVocoder& wanted_;
    Software software_;
    std::optional<Dv3000> dv3000_;
    std::optional<Emulator> emulator_;
    Vocoder chosen_ = Vocoder::Software;
    Codec* current_ = &software_;
};

using EncoderChoice = CodecChoice<VoiceEncoder, SoftwareEncoder, Dv3000Encoder, EmulatorEncoder>;
using DecoderChoice = CodecChoice<VoiceDecoder, SoftwareDecoder, Dv3000Decoder, EmulatorDecoder>;

} // namespace halvane
