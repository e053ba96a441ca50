#include "SourceGuard.h"

#include "HostAddress.h"
#include "Log.h"

#include <algorithm>
#include <arpa/inet.h>
#include <utility>

namespace halvane {

namespace {

std::string addressText(const in_addr& address)
{
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address, text, sizeof(text));
    return text;
}

std::string addressList(const std::vector<in_addr>& addresses)
{
    std::string text;
    for (const in_addr& a : addresses)
        text += (text.empty() ? "" : ", ") + addressText(a);
    return text;
}

} // namespace

SourceGuard::SourceGuard(std::string side, std::atomic<std::uint64_t>& dropped,
                         std::function<Clock::time_point()> now)
    : side_(std::move(side)), now_(std::move(now)), dropped_(dropped)
{
    if (!now_)
        now_ = [] { return Clock::now(); };
}

void SourceGuard::configure(const std::string& host, bool anySource)
{
    host_ = host;
    any_ = anySource || host.empty() || host == "0.0.0.0";
    addresses_.clear();
    resolved_ = false;
    sources_.clear();
    if (any_)
        return;
    resolve();
    if (!resolved_)
        Log(4, "The %s peer %s does not resolve; its datagrams are dropped until it does\n", side_.c_str(),
            host_.c_str());
}

void SourceGuard::resolve()
{
    lastLookup_ = now_();
    addresses_ = resolveIPv4All(host_.c_str());
    resolved_ = !addresses_.empty();
    // A peer named by one of this host's own (non-loopback) addresses runs
    // here, and may send from any of them or from 127.0.0.1.
    const std::vector<in_addr> local = localInterfaceAddresses();
    const auto isLocal = [&](const in_addr& a) {
        return !isLoopbackAddress(a) && std::any_of(local.begin(), local.end(), [&](const in_addr& l) {
                   return l.s_addr == a.s_addr;
               });
    };
    if (!std::any_of(addresses_.begin(), addresses_.end(), isLocal))
        return;
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    for (const in_addr& a : local)
        if (!isLoopbackAddress(a) && !allowed(a))
            addresses_.push_back(a);
    if (!allowed(loopback))
        addresses_.push_back(loopback);
}

bool SourceGuard::loopbackPeer() const
{
    return !any_ && resolved_ &&
           std::all_of(addresses_.begin(), addresses_.end(), [](const in_addr& a) { return isLoopbackAddress(a); });
}

bool SourceGuard::allowed(const in_addr& address) const
{
    return std::any_of(addresses_.begin(), addresses_.end(),
                       [&](const in_addr& a) { return a.s_addr == address.s_addr; });
}

bool SourceGuard::accept(const sockaddr_in& from)
{
    if (any_)
        return true;
    const Clock::time_point now = now_();
    if (!resolved_ && now - lastLookup_ >= RETRY_RESOLVE) {
        resolve();
        if (resolved_)
            Log(3, "The %s peer %s resolves to %s now\n", side_.c_str(), host_.c_str(),
                addressList(addresses_).c_str());
    }
    if (allowed(from.sin_addr))
        return true;
    dropped_.fetch_add(1, std::memory_order_relaxed);
    note(from, now);
    return false;
}

void SourceGuard::note(const sockaddr_in& from, Clock::time_point now)
{
    Source& source = sourceFor(from.sin_addr, now);
    source.lastSeen = now;
    source.unreported += 1;
    const bool due = !source.everReported || now - source.reported >= REPORT_AGAIN_AFTER;
    if (!due || !takeLine(now))
        return;
    const std::string text = addressText(from.sin_addr);
    if (!source.everReported)
        Log(4, "Dropped a datagram from %s:%d on the %s port: not the configured peer %s (more from there are "
               "counted, not logged)\n",
            text.c_str(), ntohs(from.sin_port), side_.c_str(), host_.c_str());
    else
        Log(4, "Dropped %llu more datagram(s) from %s on the %s port: not the configured peer %s\n",
            static_cast<unsigned long long>(source.unreported), text.c_str(), side_.c_str(), host_.c_str());
    source.everReported = true;
    source.reported = now;
    source.unreported = 0;
}

SourceGuard::Source& SourceGuard::sourceFor(const in_addr& address, Clock::time_point now)
{
    const auto known = std::find_if(sources_.begin(), sources_.end(),
                                    [&](const Source& s) { return s.address.s_addr == address.s_addr; });
    if (known != sources_.end())
        return *known;
    if (sources_.size() < MAX_SOURCES) {
        sources_.push_back(Source{address, now, {}, false, 0});
        return sources_.back();
    }
    // Full: the source quiet the longest makes room.
    const auto stalest = std::min_element(sources_.begin(), sources_.end(),
                                          [](const Source& a, const Source& b) { return a.lastSeen < b.lastSeen; });
    *stalest = Source{address, now, {}, false, 0};
    return *stalest;
}

bool SourceGuard::takeLine(Clock::time_point now)
{
    if (now - minuteStart_ >= std::chrono::minutes(1)) {
        minuteStart_ = now;
        linesThisMinute_ = 0;
    }
    if (linesThisMinute_ >= LINES_PER_MINUTE)
        return false;
    ++linesThisMinute_;
    return true;
}

} // namespace halvane
