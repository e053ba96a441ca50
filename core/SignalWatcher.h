// Takes SIGINT, SIGTERM and SIGHUP for the whole process on one dedicated
// thread, so that what a signal sets off (log lines, rotation, the orderly
// exit with its packets) runs in ordinary thread context and never inside an
// asynchronous signal handler.
//
// blockSignals() must run in the main thread before any other thread is
// created: every thread inherits the blocked set, so only the watcher's
// sigwait() ever takes these signals.
#pragma once

#include <functional>
#include <thread>

namespace halvane {

class SignalWatcher {
public:
    // Called on the watcher thread with SIGINT or SIGTERM. It is expected to
    // end the process; if it returns, the watcher goes on waiting.
    using TerminateHandler = std::function<void(int sig)>;

    // Blocks SIGINT, SIGTERM and SIGHUP in the calling thread, and ignores
    // SIGPIPE for the whole process: a write to a closed pipe fails with
    // EPIPE instead.
    static void blockSignals();

    // Starts the watcher thread. SIGHUP rotates the log (LogClose, then the
    // "Log rotated" line reopens it); SIGINT and SIGTERM call `onTerminate`.
    // The thread is detached and lives until the process ends.
    static void start(TerminateHandler onTerminate);
};

// Blocks SIGHUP in the calling thread, so that rotation is never taken by a
// worker thread that the caller wants to keep free of it.
void sigIgnHup();

} // namespace halvane
