// Program entry: the command line, the start-up order, signals and the
// hand-over to the bridge.

#include "AudioDevice.h"
#include "CDMR_DV3000_DMRLink.h"
#include "CMicAudio.h"
#include "ConfigFile.h"
#include "HealthRecord.h"
#include "Log.h"
#include "ProcessExit.h"
#include "ServiceMonitor.h"
#include "SignalWatcher.h"
#include "SoftwareDecoder.h"
#include "SystemdNotify.h"
#include "Threads.h"
#include "Version.h"

#include <cstdio>
#include <cstring>

namespace halvane {

namespace {

void printUsage()
{
    std::printf("Usage: %s [INI-FILE]\n"
                "       %s -v | --version\n"
                "       %s --help\n"
                "\n"
                "Transcodes voice between a USRP client (an AllStarLink node) and a\n"
                "digital-voice partner (DMR, NXDN, YSF, P25, D-STAR) over UDP.\n"
                "\n"
                "  INI-FILE       the configuration (default /etc/Halvane.ini)\n"
                "  -v, --version  print the version and exit\n"
                "  --help         print this help and exit\n"
                "\n"
                "Exit statuses: 0 stopped by a signal or an exit command, 1 sound card\n"
                "failure, 251 a listening port cannot be bound, 252 no DV3000 and no\n"
                "software fallback, 253 bad or missing configuration, 254 repeaterID\n"
                "equals gatewayDmrId. See Halvane(8).\n",
                APP_NAME, APP_NAME, APP_NAME);
}

const char* baseName(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// SIGINT or SIGTERM, taken on the signal thread.
void sigHandler(int sig)
{
    Log(3, "Signal %d received, exiting %s\n", sig, APP_NAME);
    if (CDMR_DV3000_DMRLink* bridge = gHalvane.load())
        bridge->exitApp(0, 0);
    // No bridge yet: end at once, without static destructors, because other
    // threads are running.
    endProcess(0);
}

void* DMRLink(void*)
{
    Log(3, "Open UDP listener on %s:%d\n", servers.tlvAddress.get().c_str(), servers.tlvRxPort.load());
    Log(3, "Open USRP on %s:%s\n", servers.usrpAddress.get().c_str(),
        CDV3000_UDP::getTransmitPorts(servers.usrpTxPorts.get()).c_str());

    // The bridge lives until the process ends; it is never destroyed, so
    // that no worker thread can outlive it.
    auto* bridge = new CDMR_DV3000_DMRLink(false);
    const bool hardware = bridge->dv3000Ready == 1;
    if (hardware) {
        Log(3, "Using hardware AMBE vocoder\n");
    } else if (servers.ambeSize != 88 && !servers.decoderFallBack) {
        Log(6, "DV3000 not found!, Fatal error exiting.\n");
        endProcess(252);
    } else if (bridge->emulator) {
        Log(4, "Using the vocoder emulator for AMBE frames, the software vocoder for D-STAR and IMBE\n");
    } else {
        Log(4, "Using software MBE decoder version %s\n", SoftwareDecoder::version().c_str());
        Log(4, "Using software IMBE/AMBE vocoder\n");
    }
    if (hardware && servers.ambeSize == 88)
        Log(3, "IMBE (P25, YSFW) is vocoded in software: the DV3000 has no IMBE rate\n");

    // Lives until the process ends, like the bridge.
    auto* monitor = new ServiceMonitor(
        {{&bridge->encodeLoopBeat, &bridge->decodeLoopBeat, &bridge->tlvLoopBeat},
         [] { return health.statusLine(); },
         [bridge] { bridge->macros.refreshInfoFile(); },
         {}});
    bridge->listening = [monitor] { monitor->start(); };
    bridge->beginEncodeLoop();
    std::string address = servers.tlvAddress.get();
    bridge->ambeFromUDPTLV(address.c_str(), servers.tlvRxPort, hardware);
    return nullptr;
}

// With the microphone the bridge runs on a thread of its own and the main
// thread becomes the console radio.
void runDMRLink(audio_opts* opts, audio_state* state)
{
    if (!servers.useMicrophone) {
        DMRLink(nullptr);
        return;
    }
    const bool started = startDetachedThread([] {
        DMRLink(nullptr);
        // As in the main thread: the TLV listener could not be set up.
        endProcess(0);
    });
    if (!started) {
        Log(6, "Error creating bridge thread\n");
        endProcess(1);
    }
    CMicAudio mic(opts, state);
    mic.runLoop();
    // The loop only returns when its endpoint could not be opened: without
    // it the console radio cannot transmit, which is a local audio failure.
    Log(6, "The microphone loop could not open its endpoint, exiting\n");
    endProcess(1);
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

} // namespace halvane

int main(int argc, char** argv)
{
    using namespace halvane;
    if (argc > 1 && (std::strcmp(argv[1], "-v") == 0 || std::strcmp(argv[1], "--version") == 0)) {
        std::printf("%s version %s\n", APP_NAME, VERSION);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        printUsage();
        return 0;
    }

    // Lines reach a pipe (systemd's journal) as they are written, and none is
    // left in the buffer when the process ends with _exit.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Before any thread exists, so that every thread inherits the mask.
    SignalWatcher::blockSignals();

    // The journal keeps what a service prints: a log file as well would write
    // every line twice (on a Pi, to its SD card). logDestination changes it.
    if (stdoutIsJournal())
        setLogDestination(LogDestination::Stdout);
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

    // The microphone loop reads the sound input even when nothing is monitored.
    if (getAudioEnabled() || servers.useMicrophone)
        openLocalAudio(opts);

    runDMRLink(&opts, &state);
    // The TLV listener could not be set up. Worker threads may be running,
    // so end without static destructors.
    endProcess(0);
}
