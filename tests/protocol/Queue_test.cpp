#include "Queue.h"
#include "TLV_CLASS.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace halvane {

using namespace std::chrono_literals;

namespace {

// Counts live instances, so the test sees every item freed exactly once.
struct Tracked {
    explicit Tracked(int v) : value(v) { ++alive; }
    ~Tracked() { --alive; }
    int value;
    static inline std::atomic_int alive{0};
};

TEST(Queue, BoundDropsAndLogsOncePerRun)
{
    {
        LogCapture log(4);
        Queue<std::unique_ptr<Tracked>> queue(4, "TLV queue");
        for (int i = 0; i < 4; ++i)
            ASSERT_TRUE(queue.push(std::make_unique<Tracked>(i)));
        for (int i = 0; i < 100; ++i)
            ASSERT_FALSE(queue.push(std::make_unique<Tracked>(100 + i)));
        EXPECT_EQ(Tracked::alive, 4); // refused items are freed at once
        EXPECT_EQ(log.count("TLV queue full (4 items), dropping until it drains\n"), 1);
        EXPECT_EQ(log.count("accepts again"), 0);

        EXPECT_EQ(queue.pop()->value, 0);
        ASSERT_TRUE(queue.push(std::make_unique<Tracked>(4)));
        EXPECT_EQ(log.count("TLV queue accepts again, 100 items dropped\n"), 1);
        ASSERT_FALSE(queue.push(std::make_unique<Tracked>(5))); // a second run, reported on its own
        EXPECT_EQ(queue.pop()->value, 1);
        ASSERT_TRUE(queue.push(std::make_unique<Tracked>(6)));
        EXPECT_EQ(log.count(" full "), 2);
        EXPECT_EQ(log.count("TLV queue accepts again, 1 items dropped\n"), 1);
        EXPECT_EQ(queue.pop()->value, 2); // accepted items stay in order
    }
    EXPECT_EQ(Tracked::alive, 0); // items still queued go with the queue
}

// Eight producers of TLV records against one consumer at the real bound:
// the producers outrun the consumer, and every record is either refused or
// delivered exactly once, each producer's records in the order pushed.
TEST(Queue, ManyProducersOneConsumer)
{
    constexpr int producers = 8;
    constexpr std::uint32_t perProducer = 5000, endMark = 0xFFFFFFFF;
    LogCapture log(5);
    TlvQueue queue(TLV_QUEUE_CAPACITY, "TLV queue");
    auto record = [](int producer, std::uint32_t n) {
        const std::uint8_t value[5] = {static_cast<std::uint8_t>(producer), static_cast<std::uint8_t>(n >> 24),
                                       static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                                       static_cast<std::uint8_t>(n)};
        return std::make_unique<TLV_CLASS>(TAG_AMBE_72, std::span<const std::uint8_t>(value));
    };

    std::array<std::vector<std::uint32_t>, producers> received;
    std::thread consumer([&] {
        for (int ended = 0; ended < producers;) {
            const std::unique_ptr<TLV_CLASS> r = queue.pop();
            const std::uint8_t* v = r->value();
            const std::uint32_t n = (std::uint32_t{v[1]} << 24) | (v[2] << 16) | (v[3] << 8) | v[4];
            if (n == endMark)
                ++ended;
            else
                received[v[0]].push_back(n);
        }
    });
    std::array<std::atomic_uint32_t, producers> accepted{};
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            for (std::uint32_t n = 0; n < perProducer; ++n)
                accepted[p] += queue.push(record(p, n)) ? 1 : 0;
            while (!queue.push(record(p, endMark))) // the end mark must get through
                std::this_thread::yield();
        });
    for (std::thread& t : threads)
        t.join();
    consumer.join();

    for (int p = 0; p < producers; ++p) {
        EXPECT_EQ(received[p].size(), accepted[p].load()) << p;
        EXPECT_TRUE(std::is_sorted(received[p].begin(), received[p].end())) << p;
        EXPECT_EQ(std::adjacent_find(received[p].begin(), received[p].end()), received[p].end()) << p;
    }
    EXPECT_EQ(queue.size(), 0u);
}

// The decode thread waits no longer than its silence watchdog allows.
TEST(Queue, PopForTimesOutEmptyAndWakesForAPush)
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
}

} // namespace

} // namespace halvane
