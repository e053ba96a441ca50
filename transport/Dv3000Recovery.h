// Brings a lost DV3000 back by itself, and finds one that was absent at
// start-up. While the chip is away a background thread repeats its start-up
// (quietly, CDV3000_Base::reprobe) after 1 s, then at doubling intervals up
// to 30 s; when the chip answers it is configured with the rate command of
// the mode in use then, and the owner is told so it vocodes on the chip
// again. A chip that comes back and is lost again within STABLE_AFTER
// continues the growing interval instead of starting over, so a chip that
// keeps failing costs two log lines per 30 s at most.
//
// Log lines: one when the chip is lost (level 5, with the reason), one when
// it answers again (level 4, the same level an operator who filters
// warnings sees the loss at), one at start-up when the search begins without
// a chip (level 3). The probes themselves log at debug level only.
//
// Ownership and lifetime: owned by the chip's owner (the bridge) and
// destroyed before the chip; registers itself as the chip's loss listener
// and runs one thread, stopped and joined by the destructor. The hooks are
// called on the probe thread (onBack, rateCommand) and on whichever thread
// lost the chip (onLost); they must not call back into this object.
// Thread-safety: every public operation from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <string>

namespace halvane {

class CDV3000_Base;

class Dv3000Recovery {
public:
    using Clock = std::chrono::steady_clock;

    struct Schedule {
        std::chrono::milliseconds first{1000};
        std::chrono::milliseconds longest{30000};
        // In use this long, the chip starts the next search at `first`.
        std::chrono::milliseconds stableAfter{60000};
    };

    struct Hooks {
        // The rate command for the mode in use now (CDMR_DV3000::rateCommandFor).
        std::function<const unsigned char*()> rateCommand;
        // The chip was lost (or is missing): vocode without it.
        std::function<void()> onLost;
        // The chip answers and is configured: vocode on it.
        std::function<void()> onBack;
        // What voice is vocoded with meanwhile, for the log.
        std::string fallbackName = "the software vocoder";
    };

    Dv3000Recovery(CDV3000_Base& chip, Hooks hooks);
    Dv3000Recovery(CDV3000_Base& chip, Hooks hooks, Schedule schedule);
    ~Dv3000Recovery();
    Dv3000Recovery(const Dv3000Recovery&) = delete;
    Dv3000Recovery& operator=(const Dv3000Recovery&) = delete;

    // Starts the probe thread; when the chip is not ready now (absent at
    // start-up) the search begins at once. False when the thread cannot be
    // started (then nothing is ever recovered).
    bool start();

    // The chip stopped answering (`reason` for the log). Harmless while a
    // search runs already.
    void chipLost(const std::string& reason);

    // A search is running: the chip is not in use.
    bool searching() const;
    // When the chip was last lost or came back (or the search began).
    Clock::time_point changedAt() const;

private:
    static void* threadMain(void* self);
    void run();
    // Waits up to `pause`; false when stopping.
    bool pauseFor(std::chrono::milliseconds pause);

    CDV3000_Base& chip_;
    const Hooks hooks_;
    const Schedule schedule_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool searching_ = false;
    bool everInUse_ = false;
    std::chrono::milliseconds nextInterval_;
    Clock::time_point changedAt_{};
    Clock::time_point backAt_{};
    pthread_t thread_{};
    bool threadRunning_ = false;
};

} // namespace halvane
