// Speech through the real binary with no DV3000: the software vocoder encodes
// a recording from the USRP client into the partner's records and decodes
// them back into speech for the client, while the client talks again, so
// both directions vocode at once (full duplex).
#include "DaemonFixture.h"
#include "SpectralEnvelope.h"
#include "Speech.h"
#include "VoiceFrames.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace halvane {

namespace {

using namespace std::chrono_literals;

struct Mode {
    const char* ambeMode;
    std::uint8_t tag;
    int blocksPerRecord;
};

void speechCrossesBothWays(const Mode& mode)
{
    const std::vector<short> speech = loadSpeech("hts1a");
    ASSERT_FALSE(speech.empty());
    const int blocks = static_cast<int>((speech.size() + PCM_BLOCK_SAMPLES - 1) / PCM_BLOCK_SAMPLES);

    Daemon d;
    UsrpClient client;
    TlvPartner partner;
    ASSERT_TRUE(d.connect(partner));
    // No hang time and no pacing: the test waits on the vocoder only.
    ASSERT_TRUE(d.startRunning("usrpPacing = false\n",
                               std::string("ambeMode = ") + mode.ambeMode + "\nminTxTimeMS = 0\n"));
    ASSERT_TRUE(d.hasLog("Using software IMBE/AMBE vocoder\n"));
    ASSERT_TRUE(d.connect(client, true));

    ASSERT_TRUE(client.sendTransmission(speech, UsrpCodec::Slin, Pacing::Unpaced));
    const SavedCall call = partner.receiveCall(60s);
    ASSERT_TRUE(call.ended());
    std::set<std::vector<std::uint8_t>> distinct;
    for (const TLV_CLASS& record : call.records()) {
        if (isVoiceTag(record.tag())) {
            EXPECT_EQ(record.tag(), mode.tag);
            distinct.emplace(record.value(), record.value() + record.length());
        }
    }
    EXPECT_EQ(call.voiceRecords(), blocks / mode.blocksPerRecord);
    EXPECT_GT(distinct.size(), static_cast<std::size_t>(call.voiceRecords()) / 2) << "speech, not one frame over and over";

    // The call comes back from the network while the client talks again.
    SavedCall again;
    std::thread talker([&] { client.sendTransmission(speech, UsrpCodec::Slin, Pacing::Network); });
    std::thread listener([&] { again = partner.receiveCall(60s); });
    EXPECT_TRUE(partner.replay(call, Pacing::Unpaced));
    const UsrpTransmission heard = client.receiveTransmission(60s);
    talker.join();
    listener.join();

    ASSERT_TRUE(heard.ended);
    const std::vector<short> pcm(heard.pcm.begin(), heard.pcm.end());
    EXPECT_EQ(pcm.size(), static_cast<std::size_t>(call.voiceFrames()) * PCM_BLOCK_SAMPLES);
    // The speech level, give or take the modes' own levels (D-STAR comes
    // back some 7 dB quieter), and the speech's spectral envelope.
    EXPECT_GT(speechBandPower(pcm), speechBandPower(speech) - 10.0);
    EXPECT_LT(envelopeDistance(speech, pcm), 6.0);
    EXPECT_TRUE(again.ended());
    EXPECT_EQ(again.voiceRecords(), call.voiceRecords());
    EXPECT_EQ(readFile(d.dir.file("stdout")).find("ThreadSanitizer"), std::string::npos);
}

} // namespace

TEST(SoftwareVocoder, ImbeSpeechCrossesBothWays)
{
    speechCrossesBothWays({"P25", TAG_IMBE, 1});
}

TEST(SoftwareVocoder, Ambe2SpeechCrossesBothWays)
{
    speechCrossesBothWays({"DMR", TAG_AMBE_72, 3});
}

TEST(SoftwareVocoder, DstarSpeechCrossesBothWays)
{
    speechCrossesBothWays({"DSTAR", TAG_AMBE_DSTAR, 1});
}

} // namespace halvane
