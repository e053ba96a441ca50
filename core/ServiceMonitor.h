// Answers for the running daemon to systemd and to scripts: READY=1 once the
// daemon serves, then every round (PERIOD, or a third of the watchdog
// interval when that is shorter) WATCHDOG=1 while every watched loop has come
// round within STALL_LIMIT, the health summary as STATUS=, and the info file
// rewritten. The ping is no free-running timer: a loop that stops coming
// round stops it, so systemd restarts a bridge that hangs, and the loop is
// named in the status and in the log.
//
// Ownership and lifetime: refers to the heartbeats, which outlive it. Its
// thread is detached and runs until the process ends, so the object must
// live as long (the program makes one and never destroys it).
// Thread-safety: start() once; check() belongs to the monitor's thread (tests
// call it directly, without start()).
#pragma once

#include "Heartbeat.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace halvane {

class ServiceMonitor {
public:
    using Clock = Heartbeat::Clock;

    struct Links {
        std::vector<const Heartbeat*> loops;
        // The one-line health summary for STATUS=.
        std::function<std::string()> summary;
        // Run every round: keeps the info file current.
        std::function<void()> refresh;
        // Sends one notification; empty for the service manager's socket.
        std::function<bool(const std::string&)> notify;
    };

    static constexpr std::chrono::seconds PERIOD{5};
    // Longer than any wait of a quiet loop and than one exchange with a chip
    // or emulator that does not answer; well below the unit's WatchdogSec.
    static constexpr std::chrono::seconds STALL_LIMIT{10};

    explicit ServiceMonitor(Links links);
    ServiceMonitor(const ServiceMonitor&) = delete;
    ServiceMonitor& operator=(const ServiceMonitor&) = delete;

    // Sends READY=1 with the first status and starts the rounds. False, with
    // a log line, when the thread cannot be started (READY has gone out; the
    // watchdog, if any, then restarts the process).
    bool start();

    // One round at `now`. True when every loop came round in time and
    // WATCHDOG=1 went out with the status.
    bool check(Clock::time_point now);

private:
    Links links_;
    std::vector<bool> stalled_; // check() only: loops already reported stalled
};

} // namespace halvane
