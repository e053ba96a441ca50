// Program entry: the command line, the start-up order, signals and the
// hand-over to the bridge.

#include "AudioDevice.h"
#include "ConfigFile.h"
#include "Log.h"
#include "SignalWatcher.h"
#include "Version.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char* baseName(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// SIGINT or SIGTERM, taken on the signal thread.
void sigHandler(int sig)
{
    Log(3, "Signal %d received, exiting %s\n", sig, APP_NAME);
    // No bridge yet: end at once. _exit rather than exit, because the other
    // threads are still running and must not see static destructors.
    std::fflush(stdout);
    _exit(0);
}

void openLocalAudio(audio_opts& opts)
{
    if (std::strcmp(opts.inputDevice, opts.outputDevice) != 0)
        opts.splitDevices = 1;
    if (opts.splitDevices == 1) {
        openAudioInDevice(&opts, 8000);
        openAudioOutDevice(&opts, 8000);
    } else {
        openAudioInDevice(&opts, 8000);
        opts.outputFd = opts.inputFd;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "-v") == 0) {
        std::printf("%s version %s\n", APP_NAME, VERSION);
        return 0;
    }

    // Lines reach a pipe (systemd's journal) as they are written, and none is
    // left in the buffer when the process ends with _exit.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Before any thread exists, so that every thread inherits the mask.
    SignalWatcher::blockSignals();

    LogOpen(baseName(argv[0]));
    setLogLevel(2);
    SignalWatcher::start(sigHandler);

    Log(3, "%s Version %s %s\n", APP_NAME, VERSION, BUILD_DATE);
    Log(3, "\n");
    Log(3, "\n");
    Log(3, "%s is starting\n", APP_NAME);

    audio_opts opts;
    audio_state state;
    initOpts(&opts);
    initState(&state);
    setAudioDeviceName(opts.inputDevice, "/dev/null");
    setAudioDeviceName(opts.outputDevice, "/dev/null");

    const char* iniPath = argc > 1 ? argv[1] : "/etc/Halvane.ini";
    readConfigFile(iniPath);
    setAudioDeviceName(opts.inputDevice, servers.inputAudioDevice.get().c_str());
    setAudioDeviceName(opts.outputDevice, servers.outputAudioDevice.get().c_str());

    if (getAudioEnabled())
        openLocalAudio(opts);

    Log(3, "Configuration read; the bridge is not part of this build yet, exiting\n");
    return 0;
}
