// The voice-codec program: its frames, its errors, and speech that comes back with its
// spectral envelope.

#include "Speech.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <sys/wait.h>
#include <vector>

namespace halvane {
namespace {

const std::string program = std::string(HALVANE_BIN_DIR) + "/voice-codec";
constexpr double kPi = 3.14159265358979323846;

// Runs voice-codec with `args` and standard input/output redirected; its exit status.
int run(const std::string& args, const std::string& in, const std::string& out)
{
    const int raw = std::system((program + " " + args + " < " + in + " > " + out + " 2>/dev/null").c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
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

// Band energies (dB) of 256-sample Hann frames every 128 samples: 16 bands equally spaced
// on the mel scale between 100 and 3800 Hz, each the sum of the DFT bins inside it.
std::vector<std::vector<double>> envelopes(const std::vector<short>& x, std::size_t from)
{
    constexpr int first = 4, last = 122; // 125 .. 3781 Hz
    static const auto basis = [] {
        std::vector<double> b(2 * (last - first) * 256);
        for (int k = first; k < last; ++k)
            for (int n = 0; n < 256; ++n) {
                const double w = 0.5 - 0.5 * std::cos(2 * kPi * n / 256);
                b[2 * ((k - first) * 256 + n)] = w * std::cos(2 * kPi * k * n / 256);
                b[2 * ((k - first) * 256 + n) + 1] = w * std::sin(2 * kPi * k * n / 256);
            }
        return b;
    }();
    const auto mel = [](double f) { return 2595 * std::log10(1 + f / 700); };
    std::vector<std::vector<double>> frames;
    for (std::size_t at = from; at + 256 <= x.size(); at += 128) {
        std::vector<double> bands(16, 1e-3);
        for (int k = first; k < last; ++k) {
            double re = 0, im = 0;
            for (int n = 0; n < 256; ++n) {
                re += basis[2 * ((k - first) * 256 + n)] * x[at + n];
                im += basis[2 * ((k - first) * 256 + n) + 1] * x[at + n];
            }
            const int band = static_cast<int>(16 * (mel(k * 31.25) - mel(100)) / (mel(3800) - mel(100)));
            bands[std::clamp(band, 0, 15)] += re * re + im * im;
        }
        for (double& b : bands)
            b = 10 * std::log10(b);
        frames.push_back(bands);
    }
    return frames;
}

// Mean over the loud frames (within 40 dB of the loudest) of the RMS band difference in dB,
// after one level offset for the whole file, at the best delay of the output (the codec
// delays by some 60 ms).
double envelopeDistance(const std::vector<short>& in, const std::vector<short>& out)
{
    const auto a = envelopes(in, 0);
    double best = 1e9;
    for (std::size_t delay = 0; delay <= 640; delay += 16) {
        const auto b = envelopes(out, delay);
        const std::size_t n = std::min(a.size(), b.size());
        double loudest = -1e9;
        for (std::size_t f = 0; f < n; ++f)
            loudest = std::max(loudest, *std::max_element(a[f].begin(), a[f].end()));
        std::vector<std::size_t> loud;
        double offset = 0;
        for (std::size_t f = 0; f < n; ++f)
            if (*std::max_element(a[f].begin(), a[f].end()) > loudest - 40) {
                loud.push_back(f);
                for (int k = 0; k < 16; ++k)
                    offset += b[f][k] - a[f][k];
            }
        offset /= 16.0 * loud.size();
        double sum = 0;
        for (std::size_t f : loud) {
            double squares = 0;
            for (int k = 0; k < 16; ++k)
                squares += std::pow(b[f][k] - a[f][k] - offset, 2);
            sum += std::sqrt(squares / 16);
        }
        best = std::min(best, sum / loud.size());
    }
    return best;
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

        // and not by accident: a wrong spectrum is far off
        std::vector<short> hiss(speech.size());
        for (std::size_t i = 0; i < hiss.size(); ++i)
            hiss[i] = static_cast<short>((i * 7919) % 2001 - 1000);
        EXPECT_GT(envelopeDistance(speech, hiss), 10.0) << name;
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
    EXPECT_EQ(run("", in, dir.file("out")), 2);
    EXPECT_EQ(run("encode", in, dir.file("out")), 2);
    EXPECT_EQ(run("encode mp3", in, dir.file("out")), 2);
    EXPECT_EQ(run("squash imbe", in, dir.file("out")), 2);
    EXPECT_EQ(run("encode imbe extra", in, dir.file("out")), 2);
    EXPECT_EQ(run("--help", in, dir.file("help")), 0);
    EXPECT_NE(readFile(dir.file("help")).find("imbe"), std::string::npos);

    // 15 bytes: one frame decodes, the cut one is reported
    const std::string cut = dir.write("cut", std::string(15, '\x55'));
    EXPECT_EQ(run("decode imbe", cut, dir.file("out")), 1);
    EXPECT_EQ(readFile(dir.file("out")).size(), 320u);
}

} // namespace
} // namespace halvane
