// Talking to systemd, the service manager a packaged Halvane runs under:
// whether standard output is the journal, and the notifications of a
// Type=notify service (READY=1, WATCHDOG=1, STATUS=..., STOPPING=1) sent
// through libsystemd.
// Built without libsystemd, the notifications go nowhere.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <chrono>
#include <string>

namespace halvane {

// True when standard output is the journal: JOURNAL_STREAM, which systemd
// sets for a service whose output it keeps, names the device and inode of
// standard output. A terminal inherits the variable (and INVOCATION_ID) when
// a desktop session's service opened it, but its output is no journal.
bool stdoutIsJournal();

// Sends `state` (lines of KEY=value) to the service manager named by
// NOTIFY_SOCKET; false when there is none or the message was not sent.
bool notifyServiceManager(const std::string& state);

// The interval the service manager wants WATCHDOG=1 within (WatchdogSec=),
// or zero when it wants none.
std::chrono::microseconds watchdogInterval();

} // namespace halvane
