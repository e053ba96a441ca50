// What pacing decoded voice costs: the delay it adds between a block leaving
// the decoder and its packet going to the USRP client, and how even the
// spacing of the packets is, on this machine's real clock and scheduler.
//
// Each iteration plays one transmission through a real pacer with its
// sender thread, the sink stamping every block:
//   - steady: one block every 20 ms (IMBE, D-STAR);
//   - ambe: three blocks at once every 60 ms (DMR, NXDN, YSF narrow);
//   - burst: 25 blocks at once, as after the pause that follows a call
//     record, then the live AMBE stream behind them;
//   - unpaced: the steady source with pacing off.
// Counters: mean and max added delay, and the spread of the spacing between
// packets around 20 ms (standard deviation and the largest step), all in
// milliseconds. A second benchmark measures the CPU cost of one block
// through the pacer on an injected clock.

#include "UsrpPacer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace halvane {

namespace {

using Clock = UsrpPacer::Clock;
using namespace std::chrono_literals;

enum Source { STEADY, AMBE, BURST, UNPACED };

struct Stamps {
    std::mutex mutex;
    std::condition_variable done;
    std::vector<Clock::time_point> pushed;
    std::vector<Clock::time_point> sent;
    bool unkeyed = false;
};

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

void playTransmission(benchmark::State& state)
{
    const auto source = static_cast<Source>(state.range(0));
    const int blocks = source == BURST ? 25 + 48 : 48;
    double delaySum = 0, delayMax = 0, spacingSquares = 0, spacingMax = 0;
    long delays = 0, spacings = 0, lost = 0;

    for (auto _ : state) {
        Stamps stamps;
        stamps.pushed.resize(static_cast<std::size_t>(blocks));
        stamps.sent.resize(static_cast<std::size_t>(blocks));
        UsrpPacer pacer([&](std::int16_t* pcm, int len) {
            const Clock::time_point now = Clock::now();
            std::lock_guard<std::mutex> lock(stamps.mutex);
            if (len == 0) {
                stamps.unkeyed = true;
                stamps.done.notify_one();
            } else {
                stamps.sent[static_cast<std::size_t>(pcm[0])] = now;
            }
        });
        pacer.start(source != UNPACED);

        std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm{};
        const auto push = [&](int index) {
            pcm[0] = static_cast<std::int16_t>(index);
            {
                std::lock_guard<std::mutex> lock(stamps.mutex);
                stamps.pushed[static_cast<std::size_t>(index)] = Clock::now();
            }
            pacer.push(pcm.data(), static_cast<int>(USRP_VOICE_BYTES));
        };
        const Clock::time_point start = Clock::now();
        int next = 0;
        if (source == BURST) {
            for (; next < 25; ++next)
                push(next);
        }
        for (int k = 0; next < blocks; ++k) {
            if (source == STEADY || source == UNPACED) {
                std::this_thread::sleep_until(start + k * 20ms);
                push(next++);
            } else {
                std::this_thread::sleep_until(start + k * 60ms);
                for (int i = 0; i < 3 && next < blocks; ++i)
                    push(next++);
            }
        }
        pacer.pushUnkey();
        {
            std::unique_lock<std::mutex> lock(stamps.mutex);
            stamps.done.wait_for(lock, 5s, [&] { return stamps.unkeyed; });
        }
        pacer.stop();

        std::lock_guard<std::mutex> lock(stamps.mutex);
        for (int i = 0; i < blocks; ++i) {
            const auto index = static_cast<std::size_t>(i);
            if (stamps.sent[index] == Clock::time_point{}) {
                ++lost;
                continue;
            }
            const double delay = ms(stamps.sent[index] - stamps.pushed[index]);
            delaySum += delay;
            delayMax = std::max(delayMax, delay);
            ++delays;
            if (i > 0 && stamps.sent[index - 1] != Clock::time_point{}) {
                const double step = ms(stamps.sent[index] - stamps.sent[index - 1]);
                spacingSquares += (step - 20.0) * (step - 20.0);
                spacingMax = std::max(spacingMax, step);
                ++spacings;
            }
        }
    }
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["delay_mean_ms"] = delays > 0 ? delaySum / static_cast<double>(delays) : 0;
    state.counters["delay_max_ms"] = delayMax;
    state.counters["spacing_sd_ms"] = spacings > 0 ? std::sqrt(spacingSquares / static_cast<double>(spacings)) : 0;
    state.counters["spacing_max_ms"] = spacingMax;
}

BENCHMARK(playTransmission)
    ->ArgName("source")
    ->Arg(STEADY)
    ->Arg(AMBE)
    ->Arg(BURST)
    ->Arg(UNPACED)
    ->Iterations(5)
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
