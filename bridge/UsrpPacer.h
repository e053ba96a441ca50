// Paces decoded voice towards the USRP client: blocks are handed over as fast
// as the decoder makes them (a three-frame AMBE record gives three at once,
// the half-second pause after a call record gives a burst of some 25), and
// leave one per 20 ms on a monotonic clock, so the client's small receive
// queue is never flooded.
//
// The jitter buffer:
//  - A transmission starts playing `prefill` after its first block arrived.
//    The allowance is measured in time, not in blocks, because AMBE blocks
//    come three at a time: counting two blocks would give no allowance.
//  - From then on block k of the transmission is due at start + k periods,
//    whatever the arrival times: the client sees an even stream.
//  - A tick that finds no block sends nothing and leaves a hole; the block
//    that should have filled it arrives late and is dropped, so a short
//    hiccup costs that audio instead of adding its length to the delay for
//    the rest of the call.
//  - After `stallTicks` empty ticks in a row the source has stopped (the
//    talker paused, or the decoder did): the next block starts a new
//    prefill instead of being dropped as late.
//  - At most `depth` blocks wait; a block that finds the buffer full is
//    dropped. The depth holds the burst after a call record with room for
//    the live stream behind it.
//  - An unkey waits behind the blocks before it and takes a tick like a
//    block. An unkey queued right behind another one adds nothing and is
//    merged with it. An unkey with nothing before it leaves at once.
//  - When the sending thread wakes more than `maxLag` late (the machine was
//    busy), the schedule resumes from the wake-up instead of sending the
//    overdue blocks in a burst.
//
// Catching up: the schedule never gives back delay by itself, so a burst
// (some 25 blocks after a call record) would keep the rest of the call half
// a second late. The pacer watches how long each block waited between its
// push and its turn; while every block of the last `CATCH_UP_WINDOW` waited
// longer than `target`, it skips a block now and then: the block due is
// left out and the one behind it takes its turn, so the spacing stays even
// and the delay shrinks by one period. Only whole blocks are skipped, at
// most one in `skipSpacing`, and only quiet ones: a block below an absolute
// floor or 20 dB under the loudness of the speech before it (a peak that
// decays some 3 dB a second), judged from its samples when it is pushed.
// Speech has such blocks several times a second; should none come to its
// turn for `LOUD_AFTER_TICKS` while the delay stays above target (a tone,
// music, noise), the block due is skipped anyway. Nothing is skipped in the
// first `CATCH_UP_WINDOW` blocks of a transmission, nor right before an
// unkey. The least wait of the window, not the mean, is held at the target:
// with a jittery network the later blocks of the window need their margin,
// and the typical delay stays above the target by the jitter.
//
// Dropped and skipped blocks are counted and summed up in one level-4 line
// per transmission.
//
// Three ways to run:
//  - start(true): a sender thread of the pacer's own calls the sink on the
//    schedule. The wire work (shaping, coding, sending) thus runs there.
//  - start(false): no pacing; every push calls the sink at once, on the
//    pushing thread, as an unpaced bridge does.
//  - neither (tests): pushes queue up and the caller drives the schedule
//    through service() with times of its own.
//
// Ownership and lifetime: owns its buffer and its sender thread; stop() or
// the destructor ends the thread, which discards what is still queued. The
// sink must stay callable until then.
// Thread-safety: pushes may come from any thread. service() runs on one
// thread at a time: the sender thread once started, else the test.
// start() and stop() belong to the owner.
#pragma once

#include "HealthRecord.h"
#include "UsrpProtocol.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <vector>

namespace halvane {

class UsrpPacer {
public:
    using Clock = std::chrono::steady_clock;
    // One block (len 320) or an unkey (len 0, `pcm` all zero). The sink may
    // change the samples in place.
    using Sink = std::function<void(std::int16_t* pcm, int len)>;

    struct Params {
        Clock::duration period = std::chrono::milliseconds(20);
        Clock::duration prefill = std::chrono::milliseconds(40);
        std::size_t depth = 50;
        int stallTicks = 5;
        Clock::duration maxLag = std::chrono::milliseconds(200);
        // The waiting time catching up brings blocks down to.
        Clock::duration target = std::chrono::milliseconds(50);
        // At most one block in this many is skipped to catch up.
        int skipSpacing = 4;
        // Where dropped blocks are also counted for the operator; null for
        // nowhere.
        HealthRecord::Direction* health = nullptr;
    };

    // Totals since construction.
    struct Stats {
        long blocksSent = 0;
        long unkeysSent = 0;
        long lateDropped = 0;
        long overflowDropped = 0;
        long skipped = 0; // to catch up
        long stalls = 0;
    };

    explicit UsrpPacer(Sink sink);
    UsrpPacer(Sink sink, Params params);
    ~UsrpPacer();
    UsrpPacer(const UsrpPacer&) = delete;
    UsrpPacer& operator=(const UsrpPacer&) = delete;

    // Paced: starts the sender thread; false, with a log line, when it
    // cannot be started (the pacer then passes blocks straight through).
    // Unpaced: every later push goes straight to the sink. Call once.
    bool start(bool paced);
    // Ends the sender thread and discards whatever is queued.
    void stop();

    // A block of `len` bytes of PCM (at most 320 are used; fewer are padded
    // with silence), or with `len` 0 an unkey.
    void push(const void* pcm, int len);
    void pushUnkey() { push(nullptr, 0); }

    // Test seam: a push that arrived at `now`, and the sender's work at
    // `now`: hands every item that is due to the sink and returns when the
    // next one will be due, or nothing while the buffer is idle.
    void push(const void* pcm, int len, Clock::time_point now);
    std::optional<Clock::time_point> service(Clock::time_point now);

    // Blocks whose waiting time catching up watches, and how long it waits
    // for a quiet block before it skips a loud one.
    static constexpr std::size_t CATCH_UP_WINDOW = 50; // 1 s
    static constexpr int LOUD_AFTER_TICKS = 100; // 2 s

    Stats stats() const;
    std::size_t queued() const;

private:
    enum class Mode { Manual, Paced, Direct };
    enum class State { Idle, Prefill, Playing };
    struct Item {
        std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm{};
        bool unkey = false;
        bool quiet = false;
        Clock::time_point arrival{};
    };

    static void* threadMain(void* self);
    void run();
    // The schedule at `now`; moves due items to `due_`. Caller holds mutex_.
    void advance(Clock::time_point now);
    void tick();
    // Skips the block due when catching up calls for it.
    void catchUp();
    void startPrefill(Clock::time_point at);
    void endTransmission(bool stalled);
    void emit(Item& item);

    const Sink sink_;
    const Params params_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<Mode> mode_{Mode::Manual};
    std::deque<Item> items_;             // guarded by mutex_
    std::size_t blocksQueued_ = 0;       // blocks in items_; guarded
    State state_ = State::Idle;          // guarded
    Clock::time_point startAt_{};        // Prefill: playout begins; guarded
    Clock::time_point nextTick_{};       // Playing: next item due; guarded
    Clock::time_point earliest_{};       // one period after the last send; guarded
    int missed_ = 0;                     // Playing: empty ticks in a row; guarded
    long lateInTransmission_ = 0;        // guarded
    long overflowInTransmission_ = 0;    // guarded
    long skippedInTransmission_ = 0;     // guarded
    std::uint64_t loudness_ = 0;         // decaying peak of the blocks' mean square; guarded
    // Waiting times of the last blocks sent, less a period for every skip
    // since: how much earlier each could have gone. Guarded.
    std::array<Clock::duration, CATCH_UP_WINDOW> waits_{};
    std::size_t waitsSeen_ = 0;          // guarded
    int sinceSkip_ = 0;                  // blocks sent since the last skip; guarded
    int overTarget_ = 0;                 // ticks above target without a skip; guarded
    Stats stats_;                        // guarded
    bool rescheduled_ = false;           // a push moved the next due time; guarded
    bool stopping_ = false;              // guarded

    std::vector<Item> due_; // the servicing thread only: items to send after unlocking
    pthread_t thread_{};
    bool threadRunning_ = false; // owner only
};

} // namespace halvane
