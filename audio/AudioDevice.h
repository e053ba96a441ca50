// The local sound card: decoded voice played for monitoring, speech read for
// the microphone loop, and the two ALSA mixer switches of the second card
// that follow push-to-talk.
//
// A device setting is either a path or an ALSA PCM name (isAlsaPcmName): a
// path names a device file set up with the OSS ioctls or, for input, an
// audio file read with libsndfile as fast as it is asked for; a name such
// as "default" or "plughw:1,0" opens the card through ALSA (AlsaPcm.h). When
// input and output are the same ALSA name, opening the input opens both
// directions of it.
//
// Format everywhere: 8000 samples/s, mono, signed 16-bit little-endian; one
// block is 160 samples (320 bytes, 20 ms).
//
// Lifetime: `main` owns one audio_opts and one audio_state for the whole run;
// the devices are opened once at start-up, before other threads exist, and
// never closed.
// Thread-safety: processAudioxxx may be called from several threads at once;
// each block goes to the device whole, under a lock, so blocks never split
// or interleave. readAudioIn and the mixer calls belong to the microphone
// loop.
#pragma once

#include "AlsaPcm.h"

#include <memory>
#include <sndfile.h>

namespace halvane {

struct audio_opts {
    char inputDevice[1024] = {};
    int inputFd = -1;
    SNDFILE* inputFile = nullptr;
    SF_INFO* inputFileInfo = nullptr;
    int inputType = 0; // 0 device file, 1 audio file, 2 ALSA PCM
    std::unique_ptr<AlsaPcm> inputPcm;
    char outputDevice[1024] = {};
    int outputFd = -1;
    std::unique_ptr<AlsaPcm> outputPcm;
    int splitDevices = 0; // 1 when input and output are separate devices
    SNDFILE* wavOutput = nullptr; // when set, decoded audio goes to this file instead
};

// Nothing of Halvane reads the audio state; it is kept for the microphone loop.
struct audio_state {
    int blocksRead = 0;
};

constexpr int AUDIO_INPUT_DEVICE = 0;
constexpr int AUDIO_INPUT_FILE = 1;
constexpr int AUDIO_INPUT_ALSA = 2;

void initOpts(audio_opts* opts);
void initState(audio_state* state);

// Copies `path` into one of the device name buffers, cutting it to fit.
void setAudioDeviceName(char (&buffer)[1024], const char* path);

// Opens and configures the output device; ends the process (status 1) when
// it is missing, not a device, or cannot be opened.
void openAudioOutDevice(audio_opts* opts, int speed);

// Opens the input device or file; a missing path or unreadable file ends the
// process (status 1), a device that cannot be opened is reported and skipped.
void openAudioInDevice(audio_opts* opts, int speed);

// Reads `len` bytes (one block: 320) of input audio; returns the bytes read,
// fewer when the device fails or a file is at its end. Reading past the end
// of an input file ends the process normally.
int readAudioIn(audio_opts* opts, audio_state* state, short* buf, int len);

// Plays one block of audio on the output (or writes it to wavOutput).
// Returns the bytes played, 0 when there is no output or no room.
int processAudioxxx(const void* pcm, int len);

// Headphone on and microphone off while receiving; the reverse to transmit.
void soundCardMode(bool transmit);

// Sets the playback switch of mixer element `element` on card hw:1.
void SetAlsaMasterMute(int on, const char* element);

// Ends the process with status 0 (used when an input file ends).
[[noreturn]] void cleanupAndExit();

} // namespace halvane
