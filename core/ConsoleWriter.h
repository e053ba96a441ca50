// Hands log lines to standard output (or another descriptor) from a thread of
// its own, so that a terminal, pipe or journal that stops reading never holds
// the thread that logged: lines wait in a bounded queue, and a line that
// finds the queue full, or the descriptor closed (EPIPE and the like), is
// dropped and counted. The descriptor's flags are left alone: making it
// non-blocking would change it for the parent shell that shares it too.
//
// Ownership and lifetime: the writer thread starts with the first line and is
// stopped and joined by the destructor, which waits for a write in progress;
// lines still queued then are dropped.
// The descriptor is not owned. Thread-safety: every member may be called from
// any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace halvane {

class ConsoleWriter {
public:
    // Bytes the queue holds at most.
    static constexpr std::size_t QUEUE_BYTES = 64 * 1024;

    explicit ConsoleWriter(int fd);
    ~ConsoleWriter();
    ConsoleWriter(const ConsoleWriter&) = delete;
    ConsoleWriter& operator=(const ConsoleWriter&) = delete;

    // Queues `line`; false when it was dropped (queue full or descriptor
    // closed).
    bool write(std::string_view line);

    // Waits until the queue is empty, the descriptor failed or `limit`
    // passed; true when everything queued was written.
    bool flush(std::chrono::milliseconds limit);

private:
    void run(std::stop_token stop);

    const int fd_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false; // a line taken from the queue is being written
    bool failed_ = false;  // the descriptor refused a write for good
    std::jthread thread_;  // last: stops before the queue goes
};

} // namespace halvane
