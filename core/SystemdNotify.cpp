#include "SystemdNotify.h"

#include <cstdlib>

#ifdef HALVANE_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace halvane {

bool underSystemd()
{
    return std::getenv("INVOCATION_ID") != nullptr || std::getenv("JOURNAL_STREAM") != nullptr;
}

#ifdef HALVANE_HAVE_SYSTEMD

bool notifyServiceManager(const std::string& state)
{
    // The environment stays: the process notifies again and again.
    return sd_notify(0, state.c_str()) > 0;
}

std::chrono::microseconds watchdogInterval()
{
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0)
        return std::chrono::microseconds::zero();
    return std::chrono::microseconds(usec);
}

#else

bool notifyServiceManager(const std::string&)
{
    return false;
}

std::chrono::microseconds watchdogInterval()
{
    return std::chrono::microseconds::zero();
}

#endif

} // namespace halvane
