#include "AlsaPcm.h"

#include "Log.h"

#include <alsa/asoundlib.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace halvane {

namespace {

// Capture buffers 160 ms, enough for a busy machine to fall behind a little
// without an overrun; playback holds a second, enough for the bursts in which
// the partner's frames arrive.
constexpr snd_pcm_uframes_t CAPTURE_BUFFER_FRAMES = 8 * AlsaPcm::BLOCK_FRAMES;
constexpr snd_pcm_uframes_t PLAYBACK_BUFFER_FRAMES = 50 * AlsaPcm::BLOCK_FRAMES;
constexpr snd_pcm_uframes_t PLAYBACK_START_FRAMES = 2 * AlsaPcm::BLOCK_FRAMES;

// A device that keeps failing after recovery is given up for this call.
constexpr int MAX_RECOVERIES = 3;

int configure(snd_pcm_t* pcm, AlsaPcm::Direction direction, int rate)
{
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    int err = snd_pcm_hw_params_any(pcm, hw);
    if (err >= 0)
        err = snd_pcm_hw_params_set_rate_resample(pcm, hw, 1);
    if (err >= 0)
        err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (err >= 0)
        err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE);
    if (err >= 0)
        err = snd_pcm_hw_params_set_channels(pcm, hw, 1);
    // Exactly the rate: the blocks are 20 ms only at 8000 samples/s.
    if (err >= 0)
        err = snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(rate), 0);
    snd_pcm_uframes_t period = AlsaPcm::BLOCK_FRAMES;
    if (err >= 0)
        err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr);
    snd_pcm_uframes_t buffer =
        direction == AlsaPcm::Direction::Capture ? CAPTURE_BUFFER_FRAMES : PLAYBACK_BUFFER_FRAMES;
    if (err >= 0)
        err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    if (err >= 0)
        err = snd_pcm_hw_params(pcm, hw);
    if (err < 0)
        return err;

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    err = snd_pcm_sw_params_current(pcm, sw);
    // Playback would otherwise wait for a full buffer before it starts, and a
    // short call would never be heard.
    if (err >= 0 && direction == AlsaPcm::Direction::Playback)
        err = snd_pcm_sw_params_set_start_threshold(pcm, sw, PLAYBACK_START_FRAMES);
    if (err >= 0)
        err = snd_pcm_sw_params(pcm, sw);
    return err;
}

void logAlsaMessage(const char* file, int line, const char* function, int, const char* fmt, ...)
{
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    Log(1, "ALSA %s:%d (%s) %s\n", file != nullptr ? file : "", line, function != nullptr ? function : "", text);
}

} // namespace

void quietAlsaLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(logAlsaMessage); });
}

bool isAlsaPcmName(const char* name)
{
    return name != nullptr && name[0] != '\0' && std::strchr(name, '/') == nullptr;
}

std::unique_ptr<AlsaPcm> AlsaPcm::open(const char* name, Direction direction, int rate, int& error)
{
    quietAlsaLibrary();
    snd_pcm_t* pcm = nullptr;
    const bool capture = direction == Direction::Capture;
    error = snd_pcm_open(&pcm, name, capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                         capture ? 0 : SND_PCM_NONBLOCK);
    if (error >= 0) {
        error = configure(pcm, direction, rate);
        if (error < 0)
            snd_pcm_close(pcm);
    }
    if (error < 0) {
        Log(5, "ALSA PCM %s: %s\n", name, snd_strerror(error));
        return nullptr;
    }
    return std::unique_ptr<AlsaPcm>(new AlsaPcm(pcm));
}

AlsaPcm::~AlsaPcm()
{
    snd_pcm_close(pcm_);
}

int AlsaPcm::read(std::int16_t* samples, int frames)
{
    int got = 0;
    int recoveries = 0;
    while (got < frames) {
        const snd_pcm_sframes_t n = snd_pcm_readi(pcm_, samples + got, static_cast<snd_pcm_uframes_t>(frames - got));
        if (n >= 0) {
            got += static_cast<int>(n);
            continue;
        }
        // An overrun (the loop fell behind) or a suspend: start again and
        // read on; the block then holds newer sound.
        if (++recoveries > MAX_RECOVERIES || snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0)
            break;
    }
    return got;
}

int AlsaPcm::write(const std::int16_t* samples, int frames)
{
    snd_pcm_sframes_t room = snd_pcm_avail(pcm_);
    if (room < 0) {
        // Underrun after a pause between calls: normal, start afresh.
        if (snd_pcm_recover(pcm_, static_cast<int>(room), 1) < 0)
            return 0;
        room = snd_pcm_avail(pcm_);
    }
    if (room < frames)
        return 0;
    const snd_pcm_sframes_t n = snd_pcm_writei(pcm_, samples, static_cast<snd_pcm_uframes_t>(frames));
    return n < 0 ? 0 : static_cast<int>(n);
}

} // namespace halvane
