#include "SignalWatcher.h"

#include "Log.h"

#include <csignal>
#include <pthread.h>

namespace halvane {

namespace {

sigset_t watchedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

void SignalWatcher::blockSignals()
{
    sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A reader of standard output (or a peer of a socket) that went away must
    // cost a failed write, never the process. Programs started from here get
    // the default back (Shell).
    std::signal(SIGPIPE, SIG_IGN);
}

void SignalWatcher::start(TerminateHandler onTerminate)
{
    std::thread([onTerminate = std::move(onTerminate)] {
        const sigset_t set = watchedSignals();
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0)
                continue;
            if (sig == SIGHUP) {
                LogClose();
                Log(3, "Log rotated\n");
            } else {
                onTerminate(sig);
            }
        }
    }).detach();
}

void sigIgnHup()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

} // namespace halvane
