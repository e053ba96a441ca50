// The local sound devices without a sound card: a pseudo-terminal's slave
// stands in for an output device file, a WAV file and ALSA's "null" PCM for
// the input.
#include "AudioDevice.h"
#include "LogCapture.h"
#include "PseudoTerminal.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

namespace halvane {

namespace {

using namespace std::chrono_literals;

std::string writeWav(const TempDir& dir, int samples)
{
    const std::string path = dir.file("in.wav");
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    std::vector<short> pcm(static_cast<std::size_t>(samples), 1234);
    sf_write_short(file, pcm.data(), samples);
    sf_close(file);
    return path;
}

} // namespace

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

    constexpr int BLOCKS = 100;
    std::vector<std::uint8_t> heard;
    std::thread listener([&] {
        while (heard.size() < 2u * BLOCKS * 320) {
            const std::vector<std::uint8_t> more = speaker.read(300ms);
            if (more.empty())
                break;
            heard.insert(heard.end(), more.begin(), more.end());
        }
    });
    auto play = [](short value) {
        std::array<short, 160> block;
        block.fill(value);
        for (int i = 0; i < BLOCKS; ++i)
            EXPECT_EQ(processAudioxxx(block.data(), 320), 320);
    };
    std::thread a(play, 0x1111);
    std::thread b(play, 0x2222);
    a.join();
    b.join();
    listener.join();

    ASSERT_EQ(heard.size(), 2u * BLOCKS * 320);
    for (std::size_t at = 0; at < heard.size(); at += 320)
        ASSERT_TRUE(std::all_of(heard.begin() + static_cast<long>(at), heard.begin() + static_cast<long>(at) + 320,
                                [&](std::uint8_t v) { return v == heard[at]; }))
            << "block at " << at;
}

// A WAV file is read a block at a time, a short last block as it is, and
// reading past its end ends the process normally.
TEST(AudioDevice, WavInputEndsTheProcessAtItsEnd)
{
    LogCapture log;
    TempDir dir;
    audio_opts opts;
    audio_state state;
    initOpts(&opts);
    initState(&state);
    opts.splitDevices = 1;
    setAudioDeviceName(opts.inputDevice, writeWav(dir, 2 * 160 + 40).c_str());
    openAudioInDevice(&opts, 8000);
    std::array<short, 160> block{};
    EXPECT_EQ(readAudioIn(&opts, &state, block.data(), 320), 320);
    EXPECT_EQ(block[159], 1234);
    EXPECT_EQ(readAudioIn(&opts, &state, block.data(), 320), 320);
    EXPECT_EQ(readAudioIn(&opts, &state, block.data(), 320), 80);
    EXPECT_EXIT(readAudioIn(&opts, &state, block.data(), 320), ::testing::ExitedWithCode(0), "");
}

// A name that is not a path opens the card through ALSA; "null" is ALSA's
// own silent PCM, present without a sound card.
TEST(AudioDevice, AlsaPcmNamesOpenThroughAlsa)
{
    LogCapture log;
    EXPECT_TRUE(isAlsaPcmName("default"));
    EXPECT_TRUE(isAlsaPcmName("plughw:1,0"));
    EXPECT_FALSE(isAlsaPcmName("/dev/dsp"));
    EXPECT_FALSE(isAlsaPcmName("./speech.wav"));

    audio_opts opts;
    audio_state state;
    initOpts(&opts);
    initState(&state);
    setAudioDeviceName(opts.inputDevice, "null");
    setAudioDeviceName(opts.outputDevice, "null");
    openAudioInDevice(&opts, 8000); // one name both ways: both directions
    ASSERT_TRUE(opts.inputPcm && opts.outputPcm) << log.text();
    std::array<short, 160> block{};
    EXPECT_EQ(readAudioIn(&opts, &state, block.data(), 320), 320);
    EXPECT_EQ(processAudioxxx(block.data(), 320), 320);
}

} // namespace halvane
