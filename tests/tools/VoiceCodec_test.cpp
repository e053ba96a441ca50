// The voice-codec program: its frames, its errors, and speech that comes back with its
// spectral envelope.

#include "SpectralEnvelope.h"
#include "Speech.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <sys/wait.h>
#include <vector>

namespace halvane {
namespace {

const std::string program = std::string(HALVANE_BIN_DIR) + "/voice-codec";

// Runs voice-codec with `args` and standard input/output redirected; its exit status.
int run(const std::string& args, const std::string& in, const std::string& out)
{
    const int raw = std::system((program + " " + args + " < " + in + " > " + out + " 2>/dev/null").c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::vector<short> samplesOf(const std::string& bytes)
{
    std::vector<short> s(bytes.size() / 2);
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<short>((bytes[2 * i] & 0xFF) | (bytes[2 * i + 1] << 8));
    return s;
}

std::string bytesOf(const std::vector<short>& samples)
{
    std::string b(2 * samples.size(), '\0');
    for (std::size_t i = 0; i < samples.size(); ++i) {
        b[2 * i] = static_cast<char>(samples[i] & 0xFF);
        b[2 * i + 1] = static_cast<char>((samples[i] >> 8) & 0xFF);
    }
    return b;
}

TEST(VoiceCodec, SpeechComesBackWithItsSpectralEnvelope)
{
    TempDir dir;
    for (const std::string mode : {"imbe", "ambe", "dstar"})
    for (const char* name : {"hts1a", "forig", "cq_ref"}) {
        const auto speech = loadSpeech(name);
        ASSERT_FALSE(speech.empty()) << name;
        const std::string in = dir.write("in.raw", bytesOf(speech));
        ASSERT_EQ(run("roundtrip " + mode, in, dir.file("out.raw")), 0);
        const auto out = samplesOf(readFile(dir.file("out.raw")));
        ASSERT_EQ(out.size(), (speech.size() + 159) / 160 * 160); // the last block padded
        EXPECT_LT(envelopeDistance(speech, out), 6.0) << mode << ' ' << name; // about 4.7 dB
    }
}

TEST(VoiceCodec, EncodeThenDecodeIsTheRoundTripAndPadsTheLastBlock)
{
    TempDir dir;
    auto speech = loadSpeech("hts2a");
    ASSERT_GT(speech.size(), 3000u);
    speech.resize(1000); // six blocks and 40 samples
    const std::string in = dir.write("in.raw", bytesOf(speech));
    for (const auto& [mode, frameBytes] : {std::pair<std::string, std::size_t>{"imbe", 11}, {"ambe", 9}, {"dstar", 9}}) {
        ASSERT_EQ(run("encode " + mode, in, dir.file("frames")), 0);
        EXPECT_EQ(readFile(dir.file("frames")).size(), 7u * frameBytes) << mode;
        ASSERT_EQ(run("decode " + mode, dir.file("frames"), dir.file("decoded.raw")), 0);
        ASSERT_EQ(run("roundtrip " + mode, in, dir.file("round.raw")), 0);
        EXPECT_EQ(readFile(dir.file("decoded.raw")).size(), 7u * 320) << mode;
        EXPECT_EQ(readFile(dir.file("decoded.raw")), readFile(dir.file("round.raw"))) << mode;
    }

    // empty input, empty output
    const std::string empty = dir.write("empty", "");
    EXPECT_EQ(run("encode imbe", empty, dir.file("none")), 0);
    EXPECT_TRUE(readFile(dir.file("none")).empty());
}

TEST(VoiceCodec, RefusesBadUsageAndReportsATruncatedFrame)
{
    TempDir dir;
    const std::string in = dir.write("in.raw", std::string(640, '\0'));
    for (const char* bad : {"", "encode", "encode mp3", "squash imbe", "encode imbe extra"})
        EXPECT_EQ(run(bad, in, dir.file("out")), 2) << bad;
    EXPECT_EQ(run("--help", in, dir.file("help")), 0);
    EXPECT_NE(readFile(dir.file("help")).find("imbe"), std::string::npos);

    // 15 bytes: one frame decodes, the cut one is reported
    const std::string cut = dir.write("cut", std::string(15, '\x55'));
    EXPECT_EQ(run("decode imbe", cut, dir.file("out")), 1);
    EXPECT_EQ(readFile(dir.file("out")).size(), 320u);
}

} // namespace
} // namespace halvane
