#include "AudioDevice.h"

#include "Log.h"

#include <alsa/asoundlib.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace halvane {

namespace {

audio_opts* xxxopts = nullptr;

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

} // namespace

void initOpts(audio_opts* opts)
{
    std::memset(opts, 0, sizeof(*opts));
    setAudioDeviceName(opts->inputDevice, "/dev/audio");
    setAudioDeviceName(opts->outputDevice, "/dev/audio");
    opts->inputFd = -1;
    opts->outputFd = -1;
}

void initState(audio_state* state)
{
    std::memset(state, 0, sizeof(*state));
}

void setAudioDeviceName(char (&buffer)[1024], const char* path)
{
    std::snprintf(buffer, sizeof(buffer), "%s", path);
}

void openAudioOutDevice(audio_opts* opts, int speed)
{
    xxxopts = opts;
    struct stat info;
    if (stat(opts->outputDevice, &info) != 0) {
        Log(6, "Error, couldn't open %s for output.  errno=%d\n", opts->outputDevice, errno);
        std::exit(1);
    }
    // Character (and, through the mask, block) devices only.
    if ((info.st_mode & 0xB000) != 0x2000) {
        Log(6, "Error, %s is not a device. use -w filename for wav output.\n", opts->outputDevice);
        std::exit(1);
    }
    opts->outputFd = open(opts->outputDevice, O_WRONLY | O_CLOEXEC);
    if (opts->outputFd < 0) {
        Log(6, "Error, couldn't open %s for output.  errno=%d\n", opts->outputDevice, errno);
        std::exit(1);
    }
    configureDevice(opts->outputFd, speed);
    Log(2, "Audio Out Device: %s\n", opts->outputDevice);
}

void openAudioInDevice(audio_opts* opts, int speed)
{
    xxxopts = opts;
    struct stat info;
    if (stat(opts->inputDevice, &info) != 0) {
        Log(6, "Error, couldn't open %s for input\n", opts->inputDevice);
        std::exit(1);
    }
    if (S_ISREG(info.st_mode)) {
        opts->inputType = 1;
        opts->inputFileInfo = static_cast<SF_INFO*>(std::calloc(1, sizeof(SF_INFO)));
        opts->inputFileInfo->channels = 1;
        opts->inputFile = sf_open(opts->inputDevice, SFM_READ, opts->inputFileInfo);
        if (opts->inputFile == nullptr) {
            Log(6, "Error, couldn't open file %s for input\n", opts->inputDevice);
            std::exit(1);
        }
    } else {
        opts->inputType = 0;
        opts->inputFd = open(opts->inputDevice, (opts->splitDevices == 1 ? O_RDONLY : O_RDWR) | O_CLOEXEC);
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
    if (opts->inputType == 1) {
        sf_count_t samples = sf_read_short(opts->inputFile, buf, len / 2);
        if (samples <= 0)
            cleanupAndExit();
        ++state->blocksRead;
        return static_cast<int>(samples * 2);
    }
    auto* bytes = reinterpret_cast<char*>(buf);
    int got = 0;
    while (got < len) {
        ssize_t n = read(opts->inputFd, bytes + got, 2);
        if (n <= 0)
            break;
        got += static_cast<int>(n);
    }
    ++state->blocksRead;
    return got;
}

int processAudioxxx(const void* pcm, int len)
{
    audio_opts* opts = xxxopts;
    if (opts == nullptr)
        return 0;
    if (opts->wavOutput != nullptr)
        return static_cast<int>(sf_write_short(opts->wavOutput, static_cast<const short*>(pcm), 160));
    if (opts->outputFd < 0)
        return 0;
    return static_cast<int>(write(opts->outputFd, pcm, len));
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
    std::fflush(stdout);
    std::exit(0);
}

} // namespace halvane
