// Keeps a stream of datagrams on the time line a live peer would follow: the
// caller starts the line once and then waits for each datagram's offset from
// that start (20 ms per voice block, 60 ms per three-frame AMBE record, ...).
// Offsets are absolute, so sleep overshoot does not add up over a long
// transmission; a sender that fell behind catches up without waiting.
//
// The clock is a seam: tests hand in their own `now` and `sleepUntil` and
// check the offsets asked for instead of measuring time.
//
// Thread-safety: one thread at a time.
#pragma once

#include <chrono>
#include <functional>

namespace halvane {

// Whether a sender follows the network's time line or sends as fast as it can.
enum class Pacing { Network, Unpaced };

class Pacer {
public:
    using Clock = std::chrono::steady_clock;
    struct ClockSeam {
        std::function<Clock::time_point()> now;
        std::function<void(Clock::time_point)> sleepUntil;
    };

    // The steady clock and std::this_thread::sleep_until.
    Pacer();
    // An empty member of `seam` falls back to the real one.
    void setClockSeam(ClockSeam seam);

    // Starts the time line now.
    void start();
    // Returns when `offset` past the start is reached (at once if it passed).
    void waitUntil(std::chrono::microseconds offset);

private:
    ClockSeam clock_;
    Clock::time_point start_{};
};

} // namespace halvane
