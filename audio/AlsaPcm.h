// One ALSA PCM stream of the local sound card (a name such as "default" or
// "plughw:1,0"), set up for Halvane's format: 8000 samples/s, mono, signed
// 16-bit little-endian, in periods of one 20 ms block (160 frames).
//
// Capture blocks in read() until a whole block has come in, so it paces the
// microphone loop; an overrun is recovered and reading goes on. Playback is
// non-blocking: a block is queued whole while the buffer (one second) has
// room for it and dropped otherwise, so monitoring never holds up the thread
// that decoded the block; playback starts after two blocks are queued and a
// pause between calls (an underrun) is recovered on the next write.
//
// Ownership: the object owns the PCM handle and closes it when destroyed.
// Thread-safety: one thread at a time per object (callers serialise).
#pragma once

#include <cstdint>
#include <memory>

struct _snd_pcm;

namespace halvane {

class AlsaPcm {
public:
    enum class Direction { Capture, Playback };

    static constexpr int BLOCK_FRAMES = 160;

    // Opens and configures `name` at `rate` samples/s. On failure returns
    // null, stores the (negative) ALSA error in `error` and logs the reason
    // at level 5; the caller logs what it means for the program.
    static std::unique_ptr<AlsaPcm> open(const char* name, Direction direction, int rate, int& error);

    ~AlsaPcm();
    AlsaPcm(const AlsaPcm&) = delete;
    AlsaPcm& operator=(const AlsaPcm&) = delete;

    // Capture: reads `frames` frames, waiting for them; returns how many
    // arrived (fewer only when the device fails).
    int read(std::int16_t* samples, int frames);
    // Playback: queues all `frames` frames, or none when the buffer lacks
    // room or the device fails; returns the frames queued.
    int write(const std::int16_t* samples, int frames);

private:
    explicit AlsaPcm(_snd_pcm* pcm) : pcm_(pcm) {}

    _snd_pcm* pcm_;
};

// True when a sound device setting names an ALSA PCM rather than a device
// file or an audio file: a value without a '/' ("default", "plughw:1,0").
bool isAlsaPcmName(const char* name);

// Sends the ALSA library's own messages (which it would print on standard
// error, such as a missing second card at every mixer switch) to the log at
// the debug level. Callers report failures themselves. Any thread; the
// first call sets it up.
void quietAlsaLibrary();

} // namespace halvane
