#include "AudioDevice.h"

#include "Log.h"
#include "ProcessExit.h"

#include <alsa/asoundlib.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace halvane {

namespace {

std::atomic<audio_opts*> xxxopts{nullptr};

// Blocks come from the encode and the decode thread at once.
std::mutex outputMutex;

void configureDevice(int fd, int speed)
{
    if (ioctl(fd, SNDCTL_DSP_RESET, nullptr) < 0)
        Log(4, "ioctl reset error \n");
    if (ioctl(fd, SNDCTL_DSP_SPEED, &speed) < 0)
        Log(4, "ioctl speed error \n");
    int stereo = 0;
    if (ioctl(fd, SNDCTL_DSP_STEREO, &stereo) < 0)
        Log(4, "ioctl stereo error \n");
    int format = AFMT_S16_LE;
    if (ioctl(fd, SNDCTL_DSP_SETFMT, &format) < 0)
        Log(4, "ioctl setfmt error \n");
}

// O_NOCTTY: a service is a session leader without a terminal, and opening a
// terminal device as sound output must not make it the controlling one.
int openDevice(const char* path, int mode)
{
    return open(path, mode | O_NOCTTY | O_CLOEXEC);
}

void openAlsaOutput(audio_opts* opts, const char* name, int speed, int failureLevel)
{
    int error = 0;
    opts->outputPcm = AlsaPcm::open(name, AlsaPcm::Direction::Playback, speed, error);
    if (!opts->outputPcm) {
        Log(failureLevel, "Error, couldn't open %s for output.  errno=%d\n", name, -error);
        if (failureLevel == 6)
            endProcess(1);
    }
}

void openAlsaInput(audio_opts* opts, int speed)
{
    opts->inputType = AUDIO_INPUT_ALSA;
    int error = 0;
    opts->inputPcm = AlsaPcm::open(opts->inputDevice, AlsaPcm::Direction::Capture, speed, error);
    if (!opts->inputPcm)
        Log(4, "Error, couldn't open %s for input\n", opts->inputDevice);
    // One name for both directions: the card plays on the same name.
    if (opts->splitDevices != 1)
        openAlsaOutput(opts, opts->inputDevice, speed, 4);
}

// Repeats `transfer` (read or write) until `len` bytes are through, or the
// device fails or has nothing more; returns the bytes through.
template <typename Transfer, typename Byte>
int transferWhole(Transfer transfer, int fd, Byte* bytes, int len)
{
    int done = 0;
    while (done < len) {
        const ssize_t n = transfer(fd, bytes + done, static_cast<std::size_t>(len - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<int>(n);
    }
    return done;
}

} // namespace

void initOpts(audio_opts* opts)
{
    *opts = audio_opts{};
    setAudioDeviceName(opts->inputDevice, "/dev/audio");
    setAudioDeviceName(opts->outputDevice, "/dev/audio");
}

void initState(audio_state* state)
{
    *state = audio_state{};
}

void setAudioDeviceName(char (&buffer)[1024], const char* path)
{
    std::snprintf(buffer, sizeof(buffer), "%s", path);
}

void openAudioOutDevice(audio_opts* opts, int speed)
{
    xxxopts = opts;
    if (isAlsaPcmName(opts->outputDevice)) {
        openAlsaOutput(opts, opts->outputDevice, speed, 6);
        Log(2, "Audio Out Device: %s\n", opts->outputDevice);
        return;
    }
    struct stat info;
    if (stat(opts->outputDevice, &info) != 0) {
        Log(6, "Error, couldn't open %s for output.  errno=%d\n", opts->outputDevice, errno);
        endProcess(1);
    }
    // Character (and, through the mask, block) devices only.
    if ((info.st_mode & 0xB000) != 0x2000) {
        Log(6, "Error, %s is not a device. use -w filename for wav output.\n", opts->outputDevice);
        endProcess(1);
    }
    opts->outputFd = openDevice(opts->outputDevice, O_WRONLY);
    if (opts->outputFd < 0) {
        Log(6, "Error, couldn't open %s for output.  errno=%d\n", opts->outputDevice, errno);
        endProcess(1);
    }
    configureDevice(opts->outputFd, speed);
    Log(2, "Audio Out Device: %s\n", opts->outputDevice);
}

void openAudioInDevice(audio_opts* opts, int speed)
{
    xxxopts = opts;
    struct stat info;
    if (isAlsaPcmName(opts->inputDevice)) {
        openAlsaInput(opts, speed);
    } else if (stat(opts->inputDevice, &info) != 0) {
        Log(6, "Error, couldn't open %s for input\n", opts->inputDevice);
        endProcess(1);
    } else if (S_ISREG(info.st_mode)) {
        opts->inputType = AUDIO_INPUT_FILE;
        opts->inputFileInfo = static_cast<SF_INFO*>(std::calloc(1, sizeof(SF_INFO)));
        opts->inputFileInfo->channels = 1;
        opts->inputFile = sf_open(opts->inputDevice, SFM_READ, opts->inputFileInfo);
        if (opts->inputFile == nullptr) {
            Log(6, "Error, couldn't open file %s for input\n", opts->inputDevice);
            endProcess(1);
        }
    } else {
        opts->inputType = AUDIO_INPUT_DEVICE;
        opts->inputFd = openDevice(opts->inputDevice, opts->splitDevices == 1 ? O_RDONLY : O_RDWR);
        if (opts->inputFd < 0)
            Log(4, "Error, couldn't open %s for input\n", opts->inputDevice);
        else
            configureDevice(opts->inputFd, speed);
    }
    if (opts->splitDevices == 1)
        Log(2, "Audio In Device: %s\n", opts->inputDevice);
    else
        Log(2, "Audio In/Out Device: %s\n", opts->inputDevice);
}

int readAudioIn(audio_opts* opts, audio_state* state, short* buf, int len)
{
    ++state->blocksRead;
    if (opts->inputType == AUDIO_INPUT_FILE) {
        const sf_count_t samples = sf_read_short(opts->inputFile, buf, len / 2);
        if (samples <= 0) {
            Log(3, "End of audio input file %s\n", opts->inputDevice);
            cleanupAndExit();
        }
        return static_cast<int>(samples * 2);
    }
    if (opts->inputType == AUDIO_INPUT_ALSA)
        return opts->inputPcm ? opts->inputPcm->read(buf, len / 2) * 2 : 0;
    return transferWhole(::read, opts->inputFd, reinterpret_cast<char*>(buf), len);
}

int processAudioxxx(const void* pcm, int len)
{
    audio_opts* opts = xxxopts;
    if (opts == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(outputMutex);
    if (opts->wavOutput != nullptr)
        return static_cast<int>(sf_write_short(opts->wavOutput, static_cast<const short*>(pcm), 160)) * 2;
    if (opts->outputPcm)
        return opts->outputPcm->write(static_cast<const std::int16_t*>(pcm), len / 2) * 2;
    if (opts->outputFd < 0)
        return 0;
    return transferWhole(::write, opts->outputFd, static_cast<const char*>(pcm), len);
}

void soundCardMode(bool transmit)
{
    if (transmit) {
        SetAlsaMasterMute(0, "Headphone");
        SetAlsaMasterMute(1, "Mic");
    } else {
        SetAlsaMasterMute(0, "Mic");
        SetAlsaMasterMute(1, "Headphone");
    }
}

void SetAlsaMasterMute(int on, const char* element)
{
    quietAlsaLibrary();
    snd_mixer_t* mixer = nullptr;
    if (snd_mixer_open(&mixer, 0) < 0)
        return;
    if (snd_mixer_attach(mixer, "hw:1") == 0 && snd_mixer_selem_register(mixer, nullptr, nullptr) == 0 &&
        snd_mixer_load(mixer) == 0) {
        snd_mixer_selem_id_t* id = nullptr;
        snd_mixer_selem_id_malloc(&id);
        snd_mixer_selem_id_set_index(id, 0);
        snd_mixer_selem_id_set_name(id, element);
        snd_mixer_elem_t* elem = snd_mixer_find_selem(mixer, id);
        if (elem != nullptr && snd_mixer_selem_has_playback_switch(elem))
            snd_mixer_selem_set_playback_switch_all(elem, on);
        snd_mixer_selem_id_free(id);
    }
    snd_mixer_close(mixer);
}

void cleanupAndExit()
{
    endProcess(0);
}

} // namespace halvane
