// Which senders a listener takes, and how the rest is counted and logged,
// on a fake clock.
#include "SourceGuard.h"

#include "HostAddress.h"
#include "LogCapture.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace halvane {

using namespace std::chrono_literals;

namespace {

sockaddr_in from(const char* address, int port = 40000)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

int countLines(const LogCapture& log, const std::string& fragment)
{
    int n = 0;
    for (const std::string& line : log.lines())
        n += line.find(fragment) != std::string::npos;
    return n;
}

std::chrono::steady_clock::time_point logNow;

class SourceGuardTest : public ::testing::Test {
protected:
    LogCapture log;
    SourceGuard::Clock::time_point now{std::chrono::hours(1000)};
    std::atomic<std::uint64_t> dropped{0};
    SourceGuard guard{"TLV", dropped, [this] { return now; }};
};

} // namespace

TEST_F(SourceGuardTest, OnlyThePeersHostGetsInFromAnyPort)
{
    guard.configure("127.0.0.1", false);
    EXPECT_TRUE(guard.loopbackPeer());
    EXPECT_TRUE(guard.accept(from("127.0.0.1", 1)));
    EXPECT_TRUE(guard.accept(from("127.0.0.1", 65535)));
    EXPECT_FALSE(guard.accept(from("127.0.0.2")));
    EXPECT_FALSE(guard.accept(from("192.0.2.7")));
    EXPECT_EQ(dropped.load(), 2u);

    // A name counts with every address it has.
    guard.configure("localhost", false);
    EXPECT_TRUE(guard.accept(from("127.0.0.1")));
    EXPECT_TRUE(guard.loopbackPeer());

    // A host elsewhere: the listener must not be kept on loopback.
    guard.configure("192.0.2.1", false);
    EXPECT_FALSE(guard.loopbackPeer());
    EXPECT_FALSE(guard.accept(from("127.0.0.1")));

    // This machine by one of its own addresses: a peer here sends from any.
    for (const in_addr& own : localInterfaceAddresses()) {
        if (isLoopbackAddress(own))
            continue;
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &own, text, sizeof(text));
        guard.configure(text, false);
        EXPECT_FALSE(guard.loopbackPeer());
        EXPECT_TRUE(guard.accept(from(text)));
        EXPECT_TRUE(guard.accept(from("127.0.0.1")));
        EXPECT_FALSE(guard.accept(from("127.0.0.2")));
        break;
    }
}

TEST_F(SourceGuardTest, AnySourceOnPurposeOrWhenNoHostIsNamed)
{
    for (const auto& [host, any] : {std::pair<std::string, bool>{"127.0.0.1", true}, {"0.0.0.0", false}, {"", false}}) {
        guard.configure(host, any);
        EXPECT_TRUE(guard.acceptsAny()) << host;
        EXPECT_FALSE(guard.loopbackPeer()) << host;
        EXPECT_TRUE(guard.accept(from("192.0.2.7"))) << host;
    }
    EXPECT_EQ(dropped.load(), 0u);
}

TEST_F(SourceGuardTest, OneLinePerSourceThenHourlyWithTheCount)
{
    guard.configure("127.0.0.1", false);
    for (int i = 0; i < 5; ++i) {
        guard.accept(from("127.0.0.2", 40000 + i));
        guard.accept(from("127.0.0.3"));
        now += 1s;
    }
    EXPECT_EQ(countLines(log, "Dropped a datagram from 127.0.0.2:40000 on the TLV port: not the configured peer "
                              "127.0.0.1"),
              1);
    EXPECT_EQ(countLines(log, "Dropped a datagram from 127.0.0.3:40000"), 1);
    EXPECT_EQ(countLines(log, "Dropped"), 2);

    now += SourceGuard::REPORT_AGAIN_AFTER;
    guard.accept(from("127.0.0.2"));
    EXPECT_TRUE(log.has('W', "Dropped 5 more datagram(s) from 127.0.0.2 on the TLV port"));
    EXPECT_EQ(dropped.load(), 11u);
}

TEST_F(SourceGuardTest, AFloodFromManySourcesStaysWithinTheLineBudgetAndTheTable)
{
    guard.configure("127.0.0.1", false);
    // The log's own limit on repeated lines sees the same minute pass.
    setLogClock([] { return logNow; });
    char address[32];
    for (int i = 0; i < 1000; ++i) {
        std::snprintf(address, sizeof(address), "10.0.%d.%d", i / 250, i % 250 + 1);
        EXPECT_FALSE(guard.accept(from(address)));
    }
    EXPECT_EQ(countLines(log, "Dropped"), SourceGuard::LINES_PER_MINUTE);
    EXPECT_EQ(dropped.load(), 1000u);

    // A minute later the budget is back; a source the table still holds,
    // and was not logged for lack of budget, is logged now.
    now += 1min;
    logNow += 1min;
    guard.accept(from("10.0.3.250"));
    setLogClock(nullptr);
    EXPECT_TRUE(log.contains("from 10.0.3.250"));
    EXPECT_EQ(countLines(log, "Dropped"), SourceGuard::LINES_PER_MINUTE + 1);
}

} // namespace halvane
