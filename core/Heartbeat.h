// A loop's proof of life: the loop calls beat() every time it comes round,
// and whoever answers for the process (the service watchdog) asks how long
// it has been silent. A loop that waits for input waits in bounded slices
// and beats between them, so a quiet loop still beats and only a stuck one
// falls silent.
//
// Lifetime: owned by the object whose loop it watches, which outlives every
// reader. Thread-safety: beat() and silentFor() from any thread, lock-free.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

namespace halvane {

class Heartbeat {
public:
    using Clock = std::chrono::steady_clock;

    // `name` says which loop it is in messages ("the decode thread").
    explicit Heartbeat(std::string name, Clock::time_point now = Clock::now());
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;

    void beat(Clock::time_point now = Clock::now());
    // Time since the last beat (before the first one, since construction).
    Clock::duration silentFor(Clock::time_point now = Clock::now()) const;
    const std::string& name() const { return name_; }

private:
    const std::string name_;
    std::atomic<Clock::rep> last_;
};

} // namespace halvane
