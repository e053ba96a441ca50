#include "fixedpoint/Elementary.h"
#include "imbe/FrameVector.h"
#include "imbe/PitchRefinement.h"
#include "imbe/imbe_encoder_state.h"
#include "imbe/imbe_vocoder.h"
#include "imbe/sa_dequantiser.h"

#include "Speech.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <string>
#include <random>
#include <thread>
#include <vector>

using namespace halvane;
using namespace halvane::imbe;

namespace {

using Block = std::array<Word16, 160>;
using Frame = std::array<Word16, 8>;

constexpr double kPi = 3.14159265358979323846;

std::vector<Block> blocks(const std::vector<short>& samples)
{
    std::vector<Block> out(samples.size() / 160);
    for (std::size_t b = 0; b < out.size(); ++b)
        std::copy_n(samples.begin() + 160 * b, 160, out[b].begin());
    return out;
}

std::vector<Block> generated(int count, const std::function<Word16(int)>& sample)
{
    std::vector<Block> out(count);
    for (int b = 0; b < count; ++b)
        for (int n = 0; n < 160; ++n)
            out[b][n] = sample(160 * b + n);
    return out;
}

TEST(ImbeEncoder, HarmonicCountOfARefinedPeriodIsTheDecodersForItsPitchIndex)
{
    EXPECT_EQ(harmonics_of(20 * 256), 9); // floor(10.25) = 10, times 0.9254
    EXPECT_EQ(bands_of(9), 3);
    EXPECT_EQ(harmonics_of(100 * 256), 46); // 50 times 0.9254
    EXPECT_EQ(bands_of(46), 12);
    // Every refined period (steps of 1/8 sample): the pitch index the encoder sends must
    // give the decoder the same L, or the coefficients land in the wrong places.
    for (int period = min_ref_pitch; period <= max_ref_pitch; period += 32) {
        const int b0 = (period - 4992) >> 7;
        ASSERT_GE(b0, 0);
        ASSERT_LE(b0, 207);
        ASSERT_EQ(harmonics_of(static_cast<Word16>(period)), (((2 * b0 + 81) >> 3) * 60647) >> 16) << period;
    }
}

// Encoding speech, the frame vectors must bring a decoder to the encoder's own view of every
// frame: the same L, K and voicing, and the same amplitude prediction state.
TEST(ImbeEncoder, DecoderFollowsTheEncodersModelAndPredictionOverAWholeFile)
{
    const auto speech = blocks(loadSpeech("hts2a"));
    ASSERT_FALSE(speech.empty());
    imbe_encoder_state encoder;
    sa_dequantiser decoder;
    IMBE_PARAM analysed, received;
    double squaredError = 0;
    int harmonics = 0;
    for (const Block& block : speech) {
        Frame u{};
        encoder.encode(&analysed, u.data(), block.data());
        decode_frame_vector(&received, u.data());
        v_uv_decode(&received);
        decoder.sa_decode(&received);

        const int L = analysed.num_harms;
        ASSERT_EQ(received.num_harms, L);
        ASSERT_EQ(received.num_bands, analysed.num_bands);
        for (int l = 0; l < L; ++l)
            ASSERT_EQ(received.v_uv_dsn[l], analysed.v_uv_dsn[l]) << l;
        const sa_dequantiser& loop = encoder.quantiser().state();
        ASSERT_EQ(loop.num_harms_prev(), decoder.num_harms_prev());
        for (int l = 1; l <= L; ++l) {
            ASSERT_EQ(loop.log_sa_prev()[l], decoder.log_sa_prev()[l]) << l;
            const double dB = 20 * std::log10((received.sa[l - 1] + 1.0) / (analysed.sa[l - 1] + 1.0));
            squaredError += dB * dB;
            ++harmonics;
        }
    }
    // The quantised amplitudes the decoder hears stay near the analysed ones.
    EXPECT_LT(std::sqrt(squaredError / harmonics), 4.0) << "dB"; // about 2.9 dB
}

// Nothing an encoder can be fed leaves the model's ranges (and div_s, which aborts on bad
// arguments, is never reached with them).
TEST(ImbeEncoder, HostileInputStaysWithinTheModel)
{
    std::mt19937 rng(3);
    const std::vector<std::pair<const char*, std::vector<Block>>> inputs = {
        {"silence", generated(40, [](int) { return Word16{0}; })},
        {"full-scale DC", generated(40, [](int) { return Word16{32767}; })},
        {"square 80 Hz", generated(40, [](int n) { return Word16((n / 50) % 2 ? 32767 : -32768); })},
        {"square 2 kHz", generated(40, [](int n) { return Word16((n / 2) % 2 ? 32767 : -32768); })},
        {"alternating", generated(40, [](int n) { return Word16(n % 2 ? 32767 : -32768); })},
        {"clipped sine", generated(40, [](int n) { return Word16(std::clamp(200000 * std::sin(2 * kPi * 300 * n / 8000), -32768.0, 32767.0)); })},
        {"impulses", generated(40, [](int n) { return Word16(n % 731 == 0 ? -32768 : 0); })},
        {"noise", generated(200, [&](int) { return static_cast<Word16>(rng()); })},
    };
    for (const auto& [name, input] : inputs) {
        imbe_vocoder vocoder;
        IMBE_PARAM p;
        for (const Block& block : input) {
            Frame u{};
            Block out{};
            vocoder.encode(&p, u.data(), block.data());
            ASSERT_GE(p.ref_pitch, min_ref_pitch) << name;
            ASSERT_LE(p.ref_pitch, max_ref_pitch) << name;
            ASSERT_GE(p.num_harms, 9) << name;
            ASSERT_LE(p.num_harms, 56) << name;
            ASSERT_LE(p.b_vec[0], 207) << name;
            for (int l = 0; l < p.num_harms; ++l)
                ASSERT_GE(p.sa[l], 1) << name;
            if (name == std::string("silence")) { // unvoiced, at the floor, below the error limit
                ASSERT_EQ(p.e_p, 4096);
                for (int l = 0; l < p.num_harms; ++l)
                    ASSERT_TRUE(p.v_uv_dsn[l] == 0 && p.sa[l] == 1) << l;
            }
            vocoder.decode(u.data(), out.data());
        }
    }
}

// The amplitudes are in the synthesiser's scale: a voiced harmonic comes back as a cosine of
// half its amplitude.
TEST(ImbeEncoder, AmplitudesAreInTheSynthesisersScale)
{
    // Harmonics of 125 Hz with amplitudes 3000 / h: M = 2 * 3000 / h.
    imbe_encoder_state encoder;
    IMBE_PARAM p;
    for (const Block& block : generated(12, [](int n) {
             double v = 0;
             for (int h = 1; h <= 8; ++h)
                 v += 3000.0 / h * std::cos(2 * kPi * 125 * h * n / 8000 + h);
             return Word16(v);
         })) {
        Frame u{};
        encoder.encode(&p, u.data(), block.data());
    }
    EXPECT_NEAR(p.ref_pitch / 256.0, 64.0, 0.2);
    for (int h = 1; h <= 8; ++h) {
        EXPECT_EQ(p.v_uv_dsn[h - 1], 1) << h;
        EXPECT_NEAR(20 * std::log10(p.sa[h - 1] / (6000.0 / h)), 0.0, 1.0) << h;
    }

}

// One vocoder may encode on one thread and decode on another (a full-duplex call): neither
// direction may disturb the other.
TEST(ImbeEncoder, EncodingAndDecodingOnTwoThreadsMatchEachAlone)
{
    const auto speech = blocks(loadSpeech("hts1a"));
    ASSERT_FALSE(speech.empty());
    const auto encodeAll = [&](imbe_vocoder& v) {
        std::vector<Frame> frames(speech.size());
        IMBE_PARAM p;
        for (std::size_t i = 0; i < speech.size(); ++i)
            v.encode(&p, frames[i].data(), speech[i].data());
        return frames;
    };
    const auto decodeAll = [](imbe_vocoder& v, const std::vector<Frame>& frames) {
        std::vector<Block> out(frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i)
            v.decode(frames[i].data(), out[i].data());
        return out;
    };
    imbe_vocoder first, second;
    const auto frames = encodeAll(first);
    const auto decoded = decodeAll(second, frames);

    imbe_vocoder both;
    std::vector<Frame> encodedThere;
    std::vector<Block> decodedThere;
    std::thread encoder([&] { encodedThere = encodeAll(both); });
    std::thread decoder([&] { decodedThere = decodeAll(both, frames); });
    encoder.join();
    decoder.join();
    EXPECT_EQ(encodedThere, frames);
    EXPECT_EQ(decodedThere, decoded);
}

} // namespace
