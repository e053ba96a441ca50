// The local sound devices without a sound card: a pseudo-terminal's slave
// stands in for an output device file, ALSA's "null" PCM for a card.
// Audio file input and its end: tests/e2e/Console_test.cpp.
#include "AudioDevice.h"
#include "LogCapture.h"
#include "PseudoTerminal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <thread>

namespace halvane {

using namespace std::chrono_literals;

// Monitoring writes come from the encode and the decode thread at once; each
// block reaches the device whole and alone.
TEST(AudioDevice, BlocksFromTwoThreadsNeverInterleave)
{
    LogCapture log;
    PseudoTerminal speaker;
    ASSERT_TRUE(speaker.ok());
    speaker.makeRaw();
    audio_opts opts;
    initOpts(&opts);
    setAudioDeviceName(opts.outputDevice, speaker.slavePath().c_str());
    openAudioOutDevice(&opts, 8000);

    constexpr std::size_t BLOCKS = 100;
    std::vector<std::uint8_t> heard;
    std::thread listener([&] {
        while (heard.size() < 2 * BLOCKS * 320) {
            const std::vector<std::uint8_t> more = speaker.read(300ms);
            if (more.empty())
                break;
            heard.insert(heard.end(), more.begin(), more.end());
        }
    });
    auto play = [](short value) {
        std::array<short, 160> block;
        block.fill(value);
        for (std::size_t i = 0; i < BLOCKS; ++i)
            EXPECT_EQ(processAudioxxx(block.data(), 320), 320);
    };
    std::thread a(play, 0x1111);
    std::thread b(play, 0x2222);
    a.join();
    b.join();
    listener.join();

    ASSERT_EQ(heard.size(), 2 * BLOCKS * 320);
    for (auto block = heard.begin(); block != heard.end(); block += 320)
        ASSERT_TRUE(std::equal(block, block + 318, block + 2)) << "block at " << block - heard.begin();
}

// A name that is not a path opens the card through ALSA, both ways when
// input and output are the same name.
TEST(AudioDevice, AlsaPcmNamesOpenThroughAlsa)
{
    LogCapture log;
    EXPECT_TRUE(isAlsaPcmName("plughw:1,0"));
    EXPECT_FALSE(isAlsaPcmName("./speech.wav"));

    audio_opts opts;
    audio_state state;
    initOpts(&opts);
    initState(&state);
    setAudioDeviceName(opts.inputDevice, "null");
    setAudioDeviceName(opts.outputDevice, "null");
    openAudioInDevice(&opts, 8000);
    ASSERT_TRUE(opts.inputPcm && opts.outputPcm) << log.text();
    std::array<short, 160> block{};
    EXPECT_EQ(readAudioIn(&opts, &state, block.data(), 320), 320);
    EXPECT_EQ(processAudioxxx(block.data(), 320), 320);
}

} // namespace halvane
