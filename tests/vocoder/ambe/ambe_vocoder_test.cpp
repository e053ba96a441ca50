#include "AmbeFrame.h"
#include "ambe/ambe_vocoder.h"
#include "p25p2_vf.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <random>
#include <thread>

namespace halvane {
namespace {

using Frame = std::array<std::uint8_t, 9>;
using Block = std::array<std::int16_t, 160>;

Block tone(double hz, double amplitude, int frame)
{
    Block b{};
    for (int n = 0; n < 160; ++n)
        b[n] = static_cast<std::int16_t>(amplitude * std::sin(2.0 * std::numbers::pi * hz * (160 * frame + n) / 8000.0));
    return b;
}

Frame ambe2Frame(const std::array<std::int32_t, 9>& b)
{
    std::array<std::uint8_t, 36> dibits{};
    p25p2_vf::encode_vcw(dibits, b);
    Frame f{};
    dibitsToBytes(dibits, f);
    return f;
}

TEST(AmbeVocoder, AmbePlus2InputIsScaledByThreeAndOutputClips)
{
    ambe_vocoder vocoder;
    Block block{};
    block[0] = 12000;
    block[1] = -12000;
    block[2] = 100;
    block[3] = -1;
    block[4] = 10922; // 32766
    Frame out{};
    vocoder.ambe_encode(out, block);
    EXPECT_EQ(block[0], 32767);
    EXPECT_EQ(block[1], -32767);
    EXPECT_EQ(block[2], 300);
    EXPECT_EQ(block[3], -3);
    EXPECT_EQ(block[4], 32766);
    // Decoded samples round towards zero and clip.
    EXPECT_EQ(ambe_vocoder::to_pcm(-0.7f), 0);
    EXPECT_EQ(ambe_vocoder::to_pcm(1.9f), 1);
    EXPECT_EQ(ambe_vocoder::to_pcm(-32767.9f), -32767);
    EXPECT_EQ(ambe_vocoder::to_pcm(40000.0f), 32767);
}

TEST(AmbeVocoder, ToneFrameGivesSilenceAndLeavesTheDecoderAsItWas)
{
    const Frame first = ambe2Frame({30, 0, 20, 100, 50, 3, 4, 5, 6});
    const Frame next = ambe2Frame({32, 1, 18, 90, 60, 2, 3, 4, 5});
    ambe_vocoder direct;
    ambe_vocoder interrupted;
    Block a{};
    Block b{};
    direct.ambe_decode(first, a);
    interrupted.ambe_decode(first, b);
    for (int b0 = 120; b0 < 128; ++b0) {
        Block silence;
        silence.fill(1);
        interrupted.ambe_decode(ambe2Frame({b0, 0, 20, 100, 50, 3, 4, 5, 6}), silence);
        EXPECT_EQ(silence, Block{}) << b0;
    }
    direct.ambe_decode(next, a);
    interrupted.ambe_decode(next, b);
    EXPECT_EQ(a, b);
}

// Every pitch index, then random frames, through both decoders: bounded samples, no
// crash, hang or abort. HALVANE_AMBE_FUZZ_FRAMES sets the number of random frames for a
// long run (under the sanitizers).
TEST(AmbeVocoder, HostileFramesDecodeToBoundedAudio)
{
    ambe_vocoder vocoder;
    Block out{};
    for (int b0 = 0; b0 < 128; ++b0) {
        vocoder.ambe_decode(ambe2Frame({b0, b0 % 32, b0 % 32, b0 * 4, b0, b0 % 32, b0 % 16, b0 % 16, b0 % 8}), out);
        std::array<std::uint8_t, 72> bits{};
        std::array<std::int32_t, 9> b{b0, b0 % 16, b0 % 64, b0 * 4, b0, b0 % 16, b0 % 16, b0 % 16, b0 % 8};
        p25p2_vf::encode_dstar(bits, b, true);
        Frame f{};
        for (int k = 0; k < 72; ++k)
            f[k / 8] |= static_cast<std::uint8_t>(bits[k] << (7 - k % 8));
        vocoder.ambe_decode_dstar(f, out);
    }
    const char* env = std::getenv("HALVANE_AMBE_FUZZ_FRAMES");
    const long frames = env ? std::atol(env) : 20000;
    std::mt19937 rng(12345);
    long loud = 0;
    for (long i = 0; i < frames; ++i) {
        Frame f{};
        for (auto& byte : f)
            byte = static_cast<std::uint8_t>(rng());
        if (i % 2)
            vocoder.ambe_decode(f, out);
        else
            vocoder.ambe_decode_dstar(f, out);
        for (const std::int16_t s : out) {
            ASSERT_GE(s, -32767);
            loud += s != 0;
        }
    }
    EXPECT_GT(loud, 0);
}

// Encoding on one thread while decoding on another shares nothing (checked under the
// thread sanitizer).
TEST(AmbeVocoder, FullDuplexCallKeepsTheDirectionsApart)
{
    ambe_vocoder vocoder;
    std::thread encoding([&vocoder] {
        Frame out{};
        for (int i = 0; i < 50; ++i) {
            Block block = tone(220.0, 2000.0, i);
            vocoder.ambe_encode(out, block);
            vocoder.ambe_encode_dstar(out, block);
        }
    });
    Block out{};
    for (int i = 0; i < 50; ++i)
        vocoder.ambe_decode(ambe2Frame({i, 0, 20, 100, 50, 3, 4, 5, 6}), out);
    encoding.join();
}

} // namespace
} // namespace halvane
