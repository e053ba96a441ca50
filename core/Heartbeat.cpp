#include "Heartbeat.h"

#include <utility>

namespace halvane {

Heartbeat::Heartbeat(std::string name, Clock::time_point now)
    : name_(std::move(name)), last_(now.time_since_epoch().count())
{
}

void Heartbeat::beat(Clock::time_point now)
{
    last_.store(now.time_since_epoch().count(), std::memory_order_relaxed);
}

Heartbeat::Clock::duration Heartbeat::silentFor(Clock::time_point now) const
{
    return now - Clock::time_point(Clock::duration(last_.load(std::memory_order_relaxed)));
}

} // namespace halvane
