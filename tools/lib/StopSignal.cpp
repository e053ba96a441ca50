#include "StopSignal.h"

#include <csignal>

namespace halvane {

std::atomic_bool stopRequested{false};

namespace {

void onStopSignal(int)
{
    stopRequested.store(true);
}

} // namespace

void installStopHandler()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace halvane
