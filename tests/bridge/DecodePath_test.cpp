// The decode thread waits for records no longer than its silence watchdog
// allows (Queue::popFor); the decode path itself runs end to end in
// tests/e2e/DecodePath_test.cpp.
#include "TLV_CLASS.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace halvane {

using namespace std::chrono_literals;

TEST(DecodeThreadWait, PopForTimesOutEmptyAndWakesForAPush)
{
    TlvQueue queue(4, "TLV queue");
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.popFor(30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 30ms);
    EXPECT_FALSE(queue.popFor(0ms));

    std::thread producer([&] {
        std::this_thread::sleep_for(20ms);
        queue.push(std::make_unique<TLV_CLASS>(TAG_WAKEUP, std::string_view()));
    });
    const auto waitStart = std::chrono::steady_clock::now();
    auto record = queue.popFor(10s);
    producer.join();
    ASSERT_TRUE(record && *record);
    EXPECT_EQ((*record)->tag(), TAG_WAKEUP);
    EXPECT_LT(std::chrono::steady_clock::now() - waitStart, 9s); // woken, not timed out

    // What is queued comes at once, in order.
    queue.push(std::make_unique<TLV_CLASS>(TAG_EVENT, "a"));
    queue.push(std::make_unique<TLV_CLASS>(TAG_EVENT, "b"));
    EXPECT_STREQ((*queue.popFor(0ms))->text(), "a");
    EXPECT_STREQ((*queue.popFor(0ms))->text(), "b");
}

} // namespace halvane
