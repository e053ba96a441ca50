#include "ServiceMonitor.h"

#include "Log.h"
#include "SystemdNotify.h"
#include "Threads.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace halvane {

namespace {

long long wholeSeconds(Heartbeat::Clock::duration d)
{
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

} // namespace

ServiceMonitor::ServiceMonitor(Links links) : links_(std::move(links)), stalled_(links_.loops.size(), false)
{
    if (!links_.notify)
        links_.notify = notifyServiceManager;
}

bool ServiceMonitor::start()
{
    links_.notify("READY=1\nSTATUS=" + links_.summary());
    Clock::duration period = PERIOD;
    if (const std::chrono::microseconds watchdog = watchdogInterval(); watchdog.count() > 0)
        period = std::min<Clock::duration>(period, watchdog / 3);
    const bool started = startDetachedThread([this, period] {
        for (;;) {
            std::this_thread::sleep_for(period);
            check(Clock::now());
        }
    });
    if (!started)
        Log(5, "Error creating the service monitor thread: no watchdog pings, no status\n");
    return started;
}

bool ServiceMonitor::check(Clock::time_point now)
{
    std::string stalled;
    for (std::size_t i = 0; i < links_.loops.size(); ++i) {
        const Heartbeat& loop = *links_.loops[i];
        const Clock::duration silent = loop.silentFor(now);
        const bool late = silent > STALL_LIMIT;
        if (late && !stalled_[i])
            Log(4, "The %s has not come round for %lld s\n", loop.name().c_str(), wholeSeconds(silent));
        else if (!late && stalled_[i])
            Log(3, "The %s runs again\n", loop.name().c_str());
        stalled_[i] = late;
        if (late)
            stalled += (stalled.empty() ? "Stalled: the " : ", the ") + loop.name() + " for " +
                       std::to_string(wholeSeconds(silent)) + " s; ";
    }
    if (links_.refresh)
        links_.refresh();
    const std::string status = "STATUS=" + stalled + links_.summary();
    links_.notify(stalled.empty() ? "WATCHDOG=1\n" + status : status);
    return stalled.empty();
}

} // namespace halvane
