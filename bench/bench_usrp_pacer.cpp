// What pacing decoded voice costs and how it recovers from bursts, on this
// machine's real clock and scheduler: a real pacer with its sender thread
// gets 11 s of real speech (codec2's hts1 and cq_ref samples, 20 ms blocks)
// in the arrival patterns of the decode path, the sink stamping every
// packet:
//   - callRecord: 25 blocks at once, as after the pause that follows a call
//     record, then three blocks (one AMBE record) every 60 ms;
//   - steady: three blocks every 60 ms;
//   - jitter: three blocks every 60 ms, each record up to 40 ms early or
//     late (fixed seed; records keep their order).
// Counters, in milliseconds unless named otherwise:
//   - delay_0s, delay_2s, delay_5s, delay_10s: the median time from push to
//     packet of the blocks pushed in the second from then on;
//   - spacing_p1, spacing_p50, spacing_p99: the steps between packets;
//   - dropped: blocks that never left (late, overflowing or skipped to
//     catch up), dropped_loud: those of them not at least 20 dB under the
//     speech's loud blocks (the 95th percentile of the block levels) nor
//     silent, late: the pacer's count of late blocks.
// A second benchmark measures the CPU cost of one block through the pacer on
// an injected clock.

#include "UsrpPacer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace halvane {

namespace {

using Clock = UsrpPacer::Clock;
using namespace std::chrono_literals;
using Block = std::array<std::int16_t, USRP_VOICE_SAMPLES>;

enum Pattern { CALL_RECORD, STEADY, JITTER };

constexpr Clock::duration LENGTH = 11s;
constexpr int BURST = 25;

std::vector<Block> loadSpeech()
{
    std::vector<Block> blocks;
    for (const char* name : {"hts1", "cq_ref"}) {
        const std::string path = std::string("/usr/share/codec2/raw/") + name + ".raw";
        FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr)
            continue;
        Block block;
        while (std::fread(block.data(), sizeof(block), 1, file) == 1)
            blocks.push_back(block);
        std::fclose(file);
    }
    return blocks;
}

double rms(const Block& block)
{
    double sum = 0;
    for (std::int16_t s : block)
        sum += static_cast<double>(s) * s;
    return std::sqrt(sum / static_cast<double>(block.size()));
}

// When each block is pushed, from the start of the replay.
std::vector<Clock::duration> arrivals(Pattern pattern)
{
    std::vector<Clock::duration> at;
    if (pattern == CALL_RECORD)
        at.assign(BURST, 0ms);
    std::mt19937 random(18);
    std::uniform_int_distribution<int> jitter(-40, 40);
    Clock::duration last = 0ms;
    for (Clock::duration record = pattern == CALL_RECORD ? 60ms : 0ms; record < LENGTH; record += 60ms) {
        Clock::duration t = record;
        if (pattern == JITTER)
            t = std::max(last, record + std::chrono::milliseconds(jitter(random)));
        last = t;
        at.insert(at.end(), 3, t);
    }
    return at;
}

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

void replay(benchmark::State& state)
{
    const auto pattern = static_cast<Pattern>(state.range(0));
    const std::vector<Block> speech = loadSpeech();
    const std::vector<Clock::duration> at = arrivals(pattern);
    if (speech.size() < at.size()) {
        state.SkipWithError("speech samples missing in /usr/share/codec2/raw");
        return;
    }
    std::vector<double> levels;
    for (std::size_t i = 0; i < at.size(); ++i)
        levels.push_back(rms(speech[i]));
    const double loud = std::max(64.0, percentile(levels, 0.95) / 10);

    std::vector<Clock::time_point> pushed(at.size());
    std::vector<Clock::time_point> sent(at.size());
    long late = 0;
    for (auto _ : state) {
        std::fill(sent.begin(), sent.end(), Clock::time_point{});
        std::mutex mutex;
        std::condition_variable done;
        bool unkeyed = false;
        UsrpPacer pacer([&](std::int16_t* pcm, int len) {
            const Clock::time_point now = Clock::now();
            std::lock_guard<std::mutex> lock(mutex);
            if (len == 0) {
                unkeyed = true;
                done.notify_one();
            } else {
                // The first sample carries the block's index.
                sent[static_cast<std::size_t>(static_cast<std::uint16_t>(pcm[0]))] = now;
            }
        });
        pacer.start(true);
        const Clock::time_point start = Clock::now();
        for (std::size_t i = 0; i < at.size(); ++i) {
            std::this_thread::sleep_until(start + at[i]);
            Block block = speech[i];
            block[0] = static_cast<std::int16_t>(i);
            pushed[i] = Clock::now();
            pacer.push(block.data(), static_cast<int>(USRP_VOICE_BYTES));
        }
        pacer.pushUnkey();
        {
            std::unique_lock<std::mutex> lock(mutex);
            done.wait_for(lock, 5s, [&] { return unkeyed; });
        }
        late += pacer.stats().lateDropped;
        pacer.stop();
    }

    // The sender thread has ended: its stamps are ours now.
    std::vector<double> spacing;
    Clock::time_point previous{};
    long dropped = 0, droppedLoud = 0;
    std::array<std::vector<double>, 4> delays;
    const Clock::duration from[] = {0s, 2s, 5s, 10s};
    for (std::size_t i = 0; i < at.size(); ++i) {
        if (sent[i] == Clock::time_point{}) {
            ++dropped;
            if (levels[i] >= loud)
                ++droppedLoud;
            continue;
        }
        if (previous != Clock::time_point{})
            spacing.push_back(ms(sent[i] - previous));
        previous = sent[i];
        for (std::size_t k = 0; k < delays.size(); ++k) {
            if (at[i] >= from[k] && at[i] < from[k] + 1s)
                delays[k].push_back(ms(sent[i] - pushed[i]));
        }
    }
    const char* names[] = {"delay_0s", "delay_2s", "delay_5s", "delay_10s"};
    for (std::size_t k = 0; k < delays.size(); ++k)
        state.counters[names[k]] = percentile(delays[k], 0.5);
    state.counters["spacing_p1"] = percentile(spacing, 0.01);
    state.counters["spacing_p50"] = percentile(spacing, 0.5);
    state.counters["spacing_p99"] = percentile(spacing, 0.99);
    state.counters["dropped"] = static_cast<double>(dropped);
    state.counters["dropped_loud"] = static_cast<double>(droppedLoud);
    state.counters["late"] = static_cast<double>(late);
}

BENCHMARK(replay)
    ->ArgName("pattern")
    ->Arg(CALL_RECORD)
    ->Arg(STEADY)
    ->Arg(JITTER)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One block in and out of the buffer, on a clock the benchmark moves by
// 20 ms per block, so only the pacer's own work is timed.
void pushAndService(benchmark::State& state)
{
    long sent = 0;
    UsrpPacer pacer([&](std::int16_t*, int) { ++sent; });
    std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm{};
    Clock::time_point now = Clock::now();
    for (auto _ : state) {
        pacer.push(pcm.data(), static_cast<int>(USRP_VOICE_BYTES), now);
        now += 20ms;
        benchmark::DoNotOptimize(pacer.service(now));
    }
    benchmark::DoNotOptimize(sent);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(pushAndService);

} // namespace

} // namespace halvane
