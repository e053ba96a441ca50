#include "UsrpPacer.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace halvane {

namespace {

using namespace std::chrono_literals;
using Clock = UsrpPacer::Clock;

// What the sink saw: when (the test's clock), a block or an unkey, and the
// block's tag (its first sample).
struct Sent {
    Clock::duration at;
    int len;
    int tag;
};

// Drives a pacer in manual mode on a clock of the test's own, one
// millisecond at a time, as a sender thread with a perfect timer would.
class PacerRig {
public:
    PacerRig() : PacerRig(UsrpPacer::Params{}) {}
    explicit PacerRig(UsrpPacer::Params params)
        : pacer([this](std::int16_t* pcm, int len) { sent.push_back({now - t0, len, len > 0 ? pcm[0] : -1}); },
                params)
    {
    }

    void block(int tag)
    {
        std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm{};
        pcm.fill(static_cast<std::int16_t>(tag));
        pacer.push(pcm.data(), static_cast<int>(USRP_VOICE_BYTES), now);
    }
    // A block of speech at `level` (its first sample the tag), remembering
    // when it was pushed.
    void speech(int tag, std::int16_t level)
    {
        std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm{};
        pcm.fill(level);
        pcm[0] = static_cast<std::int16_t>(tag);
        pushedAt.push_back(now - t0);
        pacer.push(pcm.data(), static_cast<int>(USRP_VOICE_BYTES), now);
    }
    void unkey() { pacer.push(nullptr, 0, now); }

    // Runs the schedule up to `until` after the start.
    void runTo(Clock::duration until)
    {
        while (now - t0 < until) {
            now += 1ms;
            pacer.service(now);
        }
    }

    std::vector<int> tags() const
    {
        std::vector<int> out;
        for (const Sent& s : sent)
            out.push_back(s.len > 0 ? s.tag : -1);
        return out;
    }

    Clock::time_point t0 = Clock::time_point() + 1h;
    Clock::time_point now = t0;
    std::vector<Sent> sent;
    std::vector<Clock::duration> pushedAt; // by tag, for speech()
    UsrpPacer pacer;
};

std::vector<int> range(int from, int to)
{
    std::vector<int> out;
    for (int i = from; i < to; ++i)
        out.push_back(i);
    return out;
}

} // namespace

// The burst that follows the pause after a call record leaves one block per
// period after the prefill, in order, and the unkey takes the next period.
TEST(UsrpPacer, BurstLeavesEvenlyAfterThePrefillAndTheUnkeyLast)
{
    PacerRig rig;
    for (int i = 0; i < 25; ++i)
        rig.block(i);
    rig.runTo(100ms);
    rig.unkey();
    rig.runTo(1s);

    std::vector<int> expected = range(0, 25);
    expected.push_back(-1);
    ASSERT_EQ(rig.tags(), expected);
    for (std::size_t i = 0; i < rig.sent.size(); ++i)
        EXPECT_EQ(rig.sent[i].at, 40ms + static_cast<int>(i) * 20ms) << "item " << i;
    EXPECT_EQ(rig.sent.back().len, 0);
    EXPECT_EQ(rig.pacer.queued(), 0u);
    UsrpPacer::Stats stats = rig.pacer.stats();
    EXPECT_EQ(stats.blocksSent, 25);
    EXPECT_EQ(stats.unkeysSent, 1);
    EXPECT_EQ(stats.lateDropped + stats.overflowDropped, 0);
}

// AMBE records bring three blocks at once every 60 ms, with jitter up to
// the prefill: the client still sees one block every 20 ms, nothing lost.
TEST(UsrpPacer, RecordsOfThreeWithJitterBecomeAnEvenStream)
{
    PacerRig rig;
    const Clock::duration jitter[] = {0ms, 25ms, 5ms, 38ms, 0ms, 12ms, 30ms, 1ms};
    int tag = 0;
    for (int record = 0; record < 8; ++record) {
        rig.runTo(record * 60ms + jitter[record]);
        for (int k = 0; k < 3; ++k)
            rig.block(tag++);
    }
    rig.runTo(8 * 60ms + 10ms);
    rig.unkey();
    rig.runTo(2s);

    std::vector<int> expected = range(0, 24);
    expected.push_back(-1);
    ASSERT_EQ(rig.tags(), expected);
    for (std::size_t i = 1; i < rig.sent.size(); ++i)
        EXPECT_EQ(rig.sent[i].at - rig.sent[i - 1].at, 20ms) << "item " << i;
}

// A hiccup shorter than the stall limit leaves holes: the blocks meant for
// them are dropped when they come, and the rest stays on the time line.
// A longer gap is a pause: playout starts again with a prefill, nothing
// dropped.
TEST(UsrpPacer, LateBlocksAreDroppedAndAPauseStartsAgain)
{
    LogCapture log(4);
    PacerRig rig;
    // Steady blocks every 20 ms from 0; blocks 5 and 6 are held back and
    // arrive together with block 7.
    for (int i = 0; i < 10; ++i) {
        if (i == 5 || i == 6)
            continue;
        rig.runTo(i * 20ms);
        if (i == 7) {
            rig.block(5);
            rig.block(6);
        }
        rig.block(i);
    }
    rig.runTo(400ms);
    EXPECT_EQ(rig.tags(), (std::vector<int>{0, 1, 2, 3, 4, 6, 7, 8, 9}));
    EXPECT_EQ(rig.pacer.stats().lateDropped, 1); // block 5 missed its tick; 6 still made its own
    for (const Sent& s : rig.sent)
        EXPECT_EQ((s.at - 40ms) % 20ms, 0ms);

    // By now the stream has been silent for more than the stall limit: the
    // next block is not late but the start of a new stretch.
    rig.block(100);
    rig.block(101);
    rig.runTo(700ms);
    ASSERT_EQ(rig.sent.size(), 11u);
    EXPECT_EQ(rig.sent[9].at, 400ms + 40ms);
    EXPECT_EQ(rig.sent[10].tag, 101);
    EXPECT_EQ(rig.pacer.stats().lateDropped, 1);
    EXPECT_EQ(rig.pacer.stats().stalls, 2);
    EXPECT_EQ(log.count("Paced USRP voice dropped 1 late and 0 overflowing blocks, skipped 0 to catch up (stream paused)\n"), 1);
}

// The buffer holds `depth` blocks; more are refused until it drains, and
// unkeys still get through after what is queued.
TEST(UsrpPacer, DepthBoundsTheDelay)
{
    LogCapture log(4);
    UsrpPacer::Params params;
    params.depth = 10;
    PacerRig rig(params);
    for (int i = 0; i < 15; ++i)
        rig.block(i);
    rig.unkey();
    rig.runTo(1s);
    std::vector<int> expected = range(0, 10);
    expected.push_back(-1);
    EXPECT_EQ(rig.tags(), expected);
    EXPECT_EQ(rig.pacer.stats().overflowDropped, 5);
    EXPECT_EQ(log.count("Paced USRP voice dropped 0 late and 5 overflowing blocks, skipped 0 to catch up (unkey)\n"), 1);
}

TEST(UsrpPacer, UnkeysLeaveAtOnceWhenNothingWaitsAndRepeatsMerge)
{
    PacerRig rig;
    rig.runTo(5ms);
    rig.unkey();
    rig.unkey();
    rig.runTo(6ms);
    ASSERT_EQ(rig.sent.size(), 1u);
    EXPECT_EQ(rig.sent[0].len, 0);
    EXPECT_EQ(rig.sent[0].at, 6ms);

    // An unkey during the prefill ends the wait: the call is complete.
    rig.runTo(100ms);
    rig.block(1);
    rig.block(2);
    rig.unkey();
    rig.runTo(200ms);
    EXPECT_EQ(rig.tags(), (std::vector<int>{-1, 1, 2, -1}));
    EXPECT_EQ(rig.sent[1].at, 101ms);
    EXPECT_EQ(rig.sent[2].at, 120ms);
    EXPECT_EQ(rig.sent[3].at, 140ms);
}

// Words of six loud blocks between pauses of two quiet ones, three blocks
// per AMBE record every 60 ms: after the burst that follows a call record,
// and again after a burst in mid-call (the partner's queue flushed at
// once), the pacer skips quiet blocks only, at most one in four, without
// a hole in the spacing, until blocks wait no longer than the target; in
// between, at the target, it skips nothing.
TEST(UsrpPacer, CatchUpSkipsQuietBlocksUntilTheDelayIsBackAtTarget)
{
    LogCapture log(4);
    PacerRig rig;
    const auto level = [](int tag) -> std::int16_t { return tag % 8 < 6 ? 8000 : 0; };
    int tag = 0;
    const auto record = [&](int blocks) {
        for (int k = 0; k < blocks; ++k, ++tag)
            rig.speech(tag, level(tag));
    };
    const auto playRecords = [&](Clock::duration from, Clock::duration to) {
        for (Clock::duration t = from; t < to; t += 60ms) {
            rig.runTo(t);
            record(3);
        }
    };
    const auto waitOf = [&](const Sent& s) { return s.at - rig.pushedAt[static_cast<std::size_t>(s.tag)]; };

    record(25);
    playRecords(60ms, 6s);
    const std::size_t steadyFrom = rig.sent.size();
    const long skippedAfterCallRecord = rig.pacer.stats().skipped;
    playRecords(6s, 8s);
    const std::size_t burstFrom = rig.sent.size();
    EXPECT_EQ(rig.pacer.stats().skipped, skippedAfterCallRecord); // at target: nothing skipped
    record(25);
    playRecords(8s, 15s);
    rig.unkey();
    rig.runTo(16s);

    ASSERT_EQ(rig.sent.back().len, 0);
    rig.sent.pop_back();
    int previous = -1;
    int lastSkipped = -100;
    for (const Sent& s : rig.sent) {
        for (int skipped = previous + 1; skipped < s.tag; ++skipped) {
            EXPECT_EQ(level(skipped), 0) << "loud block " << skipped << " skipped";
            EXPECT_GE(skipped - lastSkipped, 4) << "block " << skipped;
            lastSkipped = skipped;
        }
        previous = s.tag;
    }
    EXPECT_EQ(previous, tag - 1);
    for (std::size_t i = 1; i < rig.sent.size(); ++i)
        EXPECT_EQ(rig.sent[i].at - rig.sent[i - 1].at, 20ms) << "block " << rig.sent[i].tag;
    // Back within a record of the target five seconds after either burst,
    // and stays there.
    for (std::size_t i = 0; i < rig.sent.size(); ++i) {
        const bool settled = (i >= steadyFrom && i < burstFrom) || rig.sent[i].at >= 13s;
        if (settled) {
            EXPECT_LE(waitOf(rig.sent[i]), 60ms + 40ms) << "block " << rig.sent[i].tag;
        }
    }
    const UsrpPacer::Stats stats = rig.pacer.stats();
    EXPECT_EQ(stats.skipped + stats.blocksSent, tag);
    EXPECT_EQ(stats.lateDropped + stats.overflowDropped, 0);
    EXPECT_EQ(log.count("Paced USRP voice dropped 0 late and 0 overflowing blocks, skipped " +
                        std::to_string(stats.skipped) + " to catch up (unkey)\n"),
              1);
}

// Without quiet blocks (a tone) the delay still shrinks, one block every two
// seconds.
TEST(UsrpPacer, LoudStreamIsSkippedOnlyAfterWaitingForAQuietBlock)
{
    PacerRig rig;
    int tag = 0;
    for (; tag < 25; ++tag)
        rig.speech(tag, 8000);
    for (Clock::duration t = 20ms; t < 7s; t += 20ms) {
        rig.runTo(t);
        rig.speech(tag++, 8000);
    }
    // The window fills by 1.04 s; a skip comes every two seconds from then.
    EXPECT_EQ(rig.pacer.stats().skipped, 2);
}

// A call that starts while the previous one's blocks still wait gets its own
// prefill after the unkey, and never less than a period between packets.
TEST(UsrpPacer, NextCallBehindAnUnkeyGetsItsOwnPrefill)
{
    PacerRig rig;
    for (int i = 0; i < 5; ++i)
        rig.block(i);
    rig.unkey();
    rig.runTo(10ms);
    rig.block(10);
    rig.block(11);
    rig.runTo(500ms);
    EXPECT_EQ(rig.tags(), (std::vector<int>{0, 1, 2, 3, 4, -1, 10, 11}));
    // The first call played at once (its unkey ended the prefill) and
    // unkeyed at 100 ms; the second call's prefill had run out by then (at
    // 50 ms), so it follows one period after the unkey.
    EXPECT_EQ(rig.sent[0].at, 1ms);
    EXPECT_EQ(rig.sent[5].at, 100ms);
    EXPECT_EQ(rig.sent[6].at, 120ms);
    EXPECT_EQ(rig.sent[7].at, 140ms);
}

// A sender thread that wakes far too late resumes the schedule from then
// instead of sending everything it owes in one burst.
TEST(UsrpPacer, LateWakeUpDoesNotBurst)
{
    PacerRig rig;
    for (int i = 0; i < 20; ++i)
        rig.block(i);
    rig.runTo(60ms); // blocks 0 and 1 at 40 and 60 ms
    rig.now += 500ms;
    rig.pacer.service(rig.now);
    EXPECT_EQ(rig.sent.size(), 3u);
    rig.runTo(600ms);
    ASSERT_EQ(rig.sent.size(), 5u);
    EXPECT_EQ(rig.sent[3].at - rig.sent[2].at, 20ms);
}

TEST(UsrpPacer, UnpacedPassesEveryBlockStraightThrough)
{
    std::vector<std::pair<int, int>> sent; // length, last sample
    UsrpPacer pacer([&](std::int16_t* pcm, int len) { sent.emplace_back(len, pcm[USRP_VOICE_SAMPLES - 1]); });
    ASSERT_TRUE(pacer.start(false));
    std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm;
    pcm.fill(7);
    pacer.push(pcm.data(), static_cast<int>(USRP_VOICE_BYTES));
    pacer.push(pcm.data(), 100); // a short block is padded with silence
    pacer.pushUnkey();
    EXPECT_EQ(sent, (std::vector<std::pair<int, int>>{{320, 7}, {320, 0}, {0, 0}}));
    EXPECT_EQ(pacer.queued(), 0u);
}

// The real sender thread against two pushing threads; ThreadSanitizer
// watches the hand-over. Timing is only bounded from below.
TEST(UsrpPacer, SenderThreadDeliversInOrder)
{
    std::mutex mutex;
    std::vector<int> tags;
    std::atomic_int unkeys{0};
    // A prefill far beyond any scheduling delay of a loaded machine: no
    // block may arrive late here.
    UsrpPacer::Params params;
    params.prefill = 500ms;
    UsrpPacer pacer(
        [&](std::int16_t* pcm, int len) {
            std::lock_guard<std::mutex> lock(mutex);
            tags.push_back(len > 0 ? pcm[0] : -1);
            if (len == 0)
                ++unkeys;
        },
        params);
    ASSERT_TRUE(pacer.start(true));
    const auto begin = Clock::now();
    std::thread decoder([&] {
        std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm{};
        for (int i = 0; i < 12; ++i) {
            pcm.fill(static_cast<std::int16_t>(i));
            pacer.push(pcm.data(), static_cast<int>(USRP_VOICE_BYTES));
            if (i == 5)
                std::this_thread::sleep_for(100ms);
        }
        pacer.pushUnkey();
    });
    std::thread reader([&] {
        while (unkeys == 0) {
            (void)pacer.stats();
            (void)pacer.queued();
            std::this_thread::sleep_for(1ms);
        }
    });
    decoder.join();
    reader.join();
    const auto elapsed = Clock::now() - begin;
    pacer.stop();

    std::vector<int> expected = range(0, 12);
    expected.push_back(-1);
    EXPECT_EQ(tags, expected);
    EXPECT_GE(elapsed, 12 * 20ms);
}

} // namespace halvane
