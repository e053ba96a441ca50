#include "ServiceMonitor.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

namespace halvane {

using namespace std::chrono_literals;

// The watchdog is fed only while every loop comes round; a stuck loop is
// named in the status and the log, once, and so is its return.
TEST(ServiceMonitor, WatchdogOnlyWhileEveryLoopComesRound)
{
    LogCapture capture;
    const Heartbeat::Clock::time_point start{};
    Heartbeat encode("encode thread", start);
    Heartbeat decode("decode thread", start);
    std::vector<std::string> sent;
    int refreshed = 0;
    ServiceMonitor monitor({{&encode, &decode},
                            [] { return std::string("summary"); },
                            [&] { ++refreshed; },
                            [&](const std::string& state) {
                                sent.push_back(state);
                                return true;
                            }});

    encode.beat(start + 9s);
    decode.beat(start + 9s);
    EXPECT_TRUE(monitor.check(start + 15s));
    EXPECT_EQ(sent.back(), "WATCHDOG=1\nSTATUS=summary");

    encode.beat(start + 20s);
    EXPECT_FALSE(monitor.check(start + 21s));
    EXPECT_FALSE(monitor.check(start + 23s));
    EXPECT_EQ(sent.back(), "STATUS=Stalled: the decode thread for 14 s; summary");
    EXPECT_EQ(capture.count("The decode thread has not come round for 12 s"), 1);

    decode.beat(start + 24s);
    EXPECT_TRUE(monitor.check(start + 24s));
    EXPECT_EQ(sent.back(), "WATCHDOG=1\nSTATUS=summary");
    EXPECT_TRUE(capture.has('I', "The decode thread runs again"));
    EXPECT_EQ(refreshed, 4);
}

} // namespace halvane
