// The software codec as the paths use it: one encoder on the encode thread
// and one decoder on the decode thread, at the same time.
#include "SoftwareDecoder.h"
#include "SoftwareEncoder.h"

#include "SpectralEnvelope.h"
#include "Speech.h"

#include <gtest/gtest.h>

#include <thread>

namespace halvane {

namespace {

std::vector<PcmBlock> blocksOf(const std::vector<short>& speech)
{
    std::vector<PcmBlock> blocks((speech.size() + PCM_BLOCK_SAMPLES - 1) / PCM_BLOCK_SAMPLES);
    for (std::size_t i = 0; i < speech.size(); ++i)
        blocks[i / PCM_BLOCK_SAMPLES][i % PCM_BLOCK_SAMPLES] = speech[i];
    return blocks;
}

// One direction through every frame kind in turn, as mode changes in a
// call would take it.
struct Frames {
    std::vector<Ambe72Frame> ambe;
    std::vector<DstarFrame> dstar;
    std::vector<ImbeFrame> imbe;
    bool operator==(const Frames&) const = default;
};

struct Heard {
    std::vector<short> ambe, dstar, imbe;
    bool operator==(const Heard&) const = default;
};

Frames encodeAll(const std::vector<PcmBlock>& blocks)
{
    SoftwareEncoder encoder;
    Frames frames;
    for (const PcmBlock& block : blocks)
        encoder.encode72(block, frames.ambe.emplace_back());
    for (const PcmBlock& block : blocks)
        encoder.encodeDstar(block, frames.dstar.emplace_back());
    for (const PcmBlock& block : blocks)
        encoder.encodeImbe(block, frames.imbe.emplace_back());
    return frames;
}

template <typename Frame, typename Decode>
std::vector<short> decodeEach(const std::vector<Frame>& frames, Decode&& decode)
{
    std::vector<short> out;
    PcmBlock pcm;
    for (const Frame& frame : frames) {
        decode(frame, pcm);
        out.insert(out.end(), pcm.begin(), pcm.end());
    }
    return out;
}

Heard decodeAll(const Frames& frames)
{
    SoftwareDecoder decoder;
    Heard heard;
    heard.ambe = decodeEach(frames.ambe, [&](const Ambe72Frame& f, PcmBlock& pcm) { decoder.decode72(f, pcm); });
    heard.dstar = decodeEach(frames.dstar, [&](const DstarFrame& f, PcmBlock& pcm) { decoder.decodeDstar(f, pcm); });
    heard.imbe = decodeEach(frames.imbe, [&](const ImbeFrame& f, PcmBlock& pcm) { decoder.decodeImbe(f, pcm); });
    return heard;
}

} // namespace

// A full-duplex call: the two directions share no state, so running them at
// once changes no frame and no sample (and ThreadSanitizer sees no race).
TEST(SoftwareCodec, DirectionsRunAtOnceWithoutDisturbingEachOther)
{
    const std::vector<short> speech = loadSpeech("hts1a");
    ASSERT_FALSE(speech.empty());
    const std::vector<PcmBlock> blocks = blocksOf(speech);
    const Frames alone = encodeAll(blocks);
    const Heard heardAlone = decodeAll(alone);

    Frames together;
    Heard heardTogether;
    std::thread encoding([&] { together = encodeAll(blocks); });
    std::thread decoding([&] { heardTogether = decodeAll(alone); });
    encoding.join();
    decoding.join();
    EXPECT_TRUE(together == alone);
    EXPECT_TRUE(heardTogether == heardAlone);
    // and what was heard is the speech, in every mode
    EXPECT_LT(envelopeDistance(speech, heardAlone.ambe), 6.0);
    EXPECT_LT(envelopeDistance(speech, heardAlone.dstar), 6.0);
    EXPECT_LT(envelopeDistance(speech, heardAlone.imbe), 6.0);
}

} // namespace halvane
