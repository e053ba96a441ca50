#include "SystemdNotify.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#ifdef HALVANE_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace halvane {

bool stdoutIsJournal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat out {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == device && out.st_ino == inode;
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
