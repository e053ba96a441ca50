#include "Pacer.h"

#include <thread>
#include <utility>

namespace halvane {

namespace {

Pacer::ClockSeam realClock()
{
    return Pacer::ClockSeam{[] { return Pacer::Clock::now(); },
                            [](Pacer::Clock::time_point until) { std::this_thread::sleep_until(until); }};
}

} // namespace

Pacer::Pacer() : clock_(realClock()) {}

void Pacer::setClockSeam(ClockSeam seam)
{
    const ClockSeam real = realClock();
    clock_.now = seam.now ? std::move(seam.now) : real.now;
    clock_.sleepUntil = seam.sleepUntil ? std::move(seam.sleepUntil) : real.sleepUntil;
}

void Pacer::start()
{
    start_ = clock_.now();
}

void Pacer::waitUntil(std::chrono::microseconds offset)
{
    const Clock::time_point due = start_ + offset;
    if (clock_.now() < due)
        clock_.sleepUntil(due);
}

} // namespace halvane
