// The local sound card: OSS-style device files (or an audio file read with
// libsndfile as input), decoded voice played for monitoring, and the two ALSA
// mixer switches of the second card that follow push-to-talk.
//
// Format everywhere: 8000 samples/s, mono, signed 16-bit little-endian; one
// block is 160 samples (320 bytes, 20 ms).
//
// Lifetime: `main` owns one audio_opts and one audio_state for the whole run;
// the devices are opened once at start-up and never closed.
// Thread-safety: processAudioxxx may be called from several threads; each
// block goes to the device in one write, so blocks never split.
#pragma once

#include <sndfile.h>

namespace halvane {

struct audio_opts {
    char inputDevice[1024];
    int inputFd;
    SNDFILE* inputFile;
    SF_INFO* inputFileInfo;
    int inputType; // 0 device, 1 file
    char outputDevice[1024];
    int outputFd;
    int splitDevices; // 1 when input and output are separate devices
    SNDFILE* wavOutput; // when set, decoded audio goes to this file instead
};

// Nothing of Halvane reads the audio state; it is kept for the microphone loop.
struct audio_state {
    int blocksRead;
};

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

// Reads `len` bytes of input audio; returns the bytes read. The end of an
// input file ends the process normally.
int readAudioIn(audio_opts* opts, audio_state* state, short* buf, int len);

// Plays one block of audio on the output (or writes it to wavOutput).
int processAudioxxx(const void* pcm, int len);

// Headphone on and microphone off while receiving; the reverse to transmit.
void soundCardMode(bool transmit);

// Sets the playback switch of mixer element `element` on card hw:1.
void SetAlsaMasterMute(int on, const char* element);

// Ends the process with status 0 (used when an input file ends).
void cleanupAndExit();

} // namespace halvane
