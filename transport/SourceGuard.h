// Which senders a listener takes datagrams from. A listener that serves one
// peer accepts only datagrams whose source address is an address of that
// peer's configured host (any source port); when that host is this machine,
// named by one of its own network addresses, any of those and 127.0.0.1 (a
// peer here may send from any of them). Everything else is dropped,
// counted, and named in the log: one line per source, again at most once an
// hour with the number dropped since, and never more than a few lines a
// minute in all, so a flood from many (or forged) sources cannot fill the
// log. The table of sources seen is bounded; the least recently seen one
// makes room for a new one.
//
// A host that does not resolve accepts nothing; it is looked up again, at
// most every RETRY_RESOLVE, when a datagram arrives (the peer may come up
// after Halvane, or its name before the network). A configured host that is
// empty or 0.0.0.0 names no host and accepts every source, and so does an
// explicit "any source" set-up.
//
// Ownership and lifetime: plain value, owned by the loop that reads the
// listener. Thread-safety: configure() and accept() on the reading thread
// only (a name lookup there may block while the resolver works); the count
// may be read from any thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace halvane {

class SourceGuard {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::seconds RETRY_RESOLVE{10};
    static constexpr std::chrono::hours REPORT_AGAIN_AFTER{1};
    static constexpr int LINES_PER_MINUTE = 10;
    static constexpr std::size_t MAX_SOURCES = 64;

    // `side` names the listener in log lines ("USRP", "TLV"); every drop is
    // counted into `dropped`, which outlives the guard; `now` is a test seam
    // (empty: the steady clock).
    SourceGuard(std::string side, std::atomic<std::uint64_t>& dropped, std::function<Clock::time_point()> now = {});

    // Accept only `host` (a name or a numeric address, looked up now), or
    // every source when `anySource` is set or the host names none. Forgets
    // the sources seen so far.
    void configure(const std::string& host, bool anySource);
    // The host configure() was given, as given.
    const std::string& host() const { return host_; }
    // Every source is accepted.
    bool acceptsAny() const { return any_; }
    // The peer is on this host: the host resolved to loopback addresses only
    // and not every source is accepted, so the listener may bind loopback.
    bool loopbackPeer() const;

    // True when the datagram from `from` may be used; otherwise it is
    // counted (and perhaps logged) and must be dropped.
    bool accept(const sockaddr_in& from);

private:
    struct Source {
        in_addr address{};
        Clock::time_point lastSeen{};
        Clock::time_point reported{};
        bool everReported = false;
        std::uint64_t unreported = 0; // dropped since the last line about it
    };

    void resolve();
    bool allowed(const in_addr& address) const;
    void note(const sockaddr_in& from, Clock::time_point now);
    Source& sourceFor(const in_addr& address, Clock::time_point now);
    bool takeLine(Clock::time_point now);

    std::string side_;
    std::function<Clock::time_point()> now_;
    std::string host_;
    bool any_ = true;
    std::vector<in_addr> addresses_;
    bool resolved_ = false;
    Clock::time_point lastLookup_{};
    std::vector<Source> sources_;
    Clock::time_point minuteStart_{};
    int linesThisMinute_ = 0;
    std::atomic<std::uint64_t>& dropped_;
};

} // namespace halvane
