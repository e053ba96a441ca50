// dv3000-sim: a DV3000 (AMBE-3000R) stand-in on UDP and/or a pseudo-terminal,
// for running Halvane without hardware and for the end-to-end tests. Prints
// where it answers, then runs until SIGINT or SIGTERM. Exit status: 0 after
// a signal or --help, 1 when it cannot open its endpoints, 2 on bad arguments.

#include "Dv3000Simulator.h"

#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace halvane {

} // namespace halvane

int main(int argc, char** argv)
{
    using namespace halvane;
    Dv3000Simulator::Options options;
    std::string error;
    bool help = false;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!Dv3000Simulator::parseArguments(args, options, error, help)) {
        std::fprintf(stderr, "dv3000-sim: %s\nTry 'dv3000-sim --help'.\n", error.c_str());
        return 2;
    }
    if (help) {
        std::fputs(Dv3000Simulator::usage().c_str(), stdout);
        return 0;
    }
    if (options.verbose) {
        options.trace = [](const std::string& line) {
            std::printf("dv3000-sim: %s\n", line.c_str());
            std::fflush(stdout);
        };
    }

    // Signals are taken by sigwait below, so the worker thread, started
    // after this, must not receive them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Dv3000Simulator simulator(options);
    if (!simulator.start(error)) {
        std::fprintf(stderr, "dv3000-sim: %s\n", error.c_str());
        return 1;
    }
    if (options.udp)
        std::printf("dv3000-sim: listening on udp %s:%d\n", options.udpHost.c_str(), simulator.udpPort());
    if (options.pty)
        std::printf("dv3000-sim: serial device %s\n", simulator.ptyPath().c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    simulator.stop();
    return 0;
}
