#include "ImbeFrames.h"
#include "imbe/FrameVector.h"
#include "imbe/imbe_vocoder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace halvane;
using namespace imbe_test;

namespace {

using Frame = std::array<Word16, 8>;
using Block = std::array<Word16, 160>;

Frame randomWords(std::mt19937& rng)
{
    Frame u;
    for (int w = 0; w < 8; ++w)
        u[w] = static_cast<Word16>(rng() & ((1u << imbe_frame_field_widths[w]) - 1));
    return u;
}

std::vector<Block> decodeAll(const std::vector<Frame>& frames)
{
    imbe_vocoder vocoder;
    std::vector<Block> out(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
        vocoder.decode(frames[i].data(), out[i].data());
    return out;
}

double energy(const Block& b)
{
    double e = 0;
    for (Word16 s : b)
        e += double(s) * s;
    return e;
}

// Frames from the network are arbitrary bits: every one must decode without a fault. The
// count can be raised for long runs: HALVANE_IMBE_FUZZ_FRAMES=10000000.
TEST(ImbeVocoder, DecodesAnyFrameVector)
{
    const char* env = std::getenv("HALVANE_IMBE_FUZZ_FRAMES");
    const long count = env ? std::atol(env) : 50000;
    std::mt19937 rng(13);
    imbe_vocoder vocoder;
    Block out;
    for (int b0 = 0; b0 < 256; ++b0) {
        for (int n = 0; n < 20; ++n) {
            // Every field at its top (loudest gain and coefficients, all voiced), then random.
            Frame u = n < 3 ? Frame{0xFFF, 0xFFF, 0xFFF, 0xFFF, 0x7FF, 0x7FF, 0x7FF, 0x7F} : randomWords(rng);
            u[0] = static_cast<Word16>((u[0] & 0x3F) | ((b0 & 0xFC) << 4));
            u[7] = static_cast<Word16>((u[7] & ~6) | ((b0 & 3) << 1));
            vocoder.decode(u.data(), out.data());
            ASSERT_EQ(vocoder.decoder_param().b_vec[0], b0);
        }
    }
    for (long n = 0; n < count; ++n) {
        Frame u = randomWords(rng);
        if (n % 3 == 0) // stray bits above the field widths are ignored
            u[rng() % 8] = static_cast<Word16>(rng());
        vocoder.decode(u.data(), out.data());
    }
}

TEST(ImbeVocoder, PitchIndexAbove207RepeatsThePreviousFrame)
{
    std::mt19937 rng(14);
    imbe_vocoder vocoder;
    Block out;
    std::array<Word16, 59> b = randomParameters(90, rng);
    b[1] = 0x3FF; // voiced
    b[2] = 60;    // loud
    const Frame loud = packFrame(b);
    for (int n = 0; n < 4; ++n)
        vocoder.decode(loud.data(), out.data());
    const IMBE_PARAM before = vocoder.decoder_param();
    Frame erased = randomWords(rng);
    erased[0] = static_cast<Word16>(erased[0] | 0xD00); // b0 >= 208
    vocoder.decode(erased.data(), out.data());
    const IMBE_PARAM after = vocoder.decoder_param();
    EXPECT_GE(after.b_vec[0], 208);
    EXPECT_EQ(after.num_harms, before.num_harms);
    EXPECT_EQ(after.fund_freq, before.fund_freq);
    for (int i = 1; i < 59; ++i)
        EXPECT_EQ(after.b_vec[i], before.b_vec[i]) << i;
    EXPECT_GT(energy(out), 160.0 * 100 * 100);
}

TEST(ImbeVocoder, DecodersOnTwoThreadsAreIndependent)
{
    std::mt19937 rng(15);
    std::vector<Frame> frames(3000);
    for (auto& f : frames)
        f = randomWords(rng);
    const auto alone = decodeAll(frames);
    std::vector<Block> first, second;
    std::thread a([&] { first = decodeAll(frames); });
    std::thread b([&] { second = decodeAll(frames); });
    a.join();
    b.join();
    EXPECT_EQ(first, alone);
    EXPECT_EQ(second, alone);
}

TEST(ImbeVocoderDeathTest, BannerIsWrittenOncePerProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            imbe_vocoder one;
            imbe_vocoder two;
            std::exit(0);
        },
        testing::ExitedWithCode(0), "^Project 25 IMBE Encoder/Decoder Fixed-Point implementation\n$");
}

} // namespace
