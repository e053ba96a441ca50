// Talking to systemd, the service manager a packaged Halvane runs under:
// whether it runs as a service, and the notifications of a Type=notify
// service (READY=1, WATCHDOG=1, STATUS=..., STOPPING=1) sent through libsystemd.
// Built without libsystemd, the notifications go nowhere.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <chrono>
#include <string>

namespace halvane {

// True when the process was started by systemd (INVOCATION_ID is set) or its
// output goes to the journal (JOURNAL_STREAM).
bool underSystemd();

// Sends `state` (lines of KEY=value) to the service manager named by
// NOTIFY_SOCKET; false when there is none or the message was not sent.
bool notifyServiceManager(const std::string& state);

// The interval the service manager wants WATCHDOG=1 within (WatchdogSec=),
// or zero when it wants none.
std::chrono::microseconds watchdogInterval();

} // namespace halvane
