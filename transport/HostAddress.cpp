#include "HostAddress.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <memory>
#include <netdb.h>

namespace halvane {

namespace {

void addOnce(std::vector<in_addr>& list, const in_addr& address)
{
    const bool seen =
        std::any_of(list.begin(), list.end(), [&](const in_addr& a) { return a.s_addr == address.s_addr; });
    if (!seen)
        list.push_back(address);
}

} // namespace

std::vector<in_addr> resolveIPv4All(const char* host)
{
    std::vector<in_addr> found;
    if (host == nullptr || *host == '\0')
        return found;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    // getaddrinfo rather than gethostbyname, whose result is static storage
    // shared by every thread.
    if (::getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr)
        return found;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(list, &::freeaddrinfo);
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr == nullptr || entry->ai_addrlen < sizeof(sockaddr_in))
            continue;
        sockaddr_in address;
        std::memcpy(&address, entry->ai_addr, sizeof(address));
        addOnce(found, address.sin_addr);
    }
    return found;
}

std::vector<in_addr> localInterfaceAddresses()
{
    std::vector<in_addr> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return found;
    std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        // Interfaces without an address (tunnels, for one) have none to give.
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        sockaddr_in address;
        std::memcpy(&address, entry->ifa_addr, sizeof(address));
        addOnce(found, address.sin_addr);
    }
    return found;
}

bool resolveIPv4(const char* host, in_addr& address)
{
    const std::vector<in_addr> all = resolveIPv4All(host);
    if (all.empty())
        return false;
    address = all.front();
    return true;
}

bool isLoopbackAddress(const in_addr& address)
{
    return (ntohl(address.s_addr) >> 24) == 127;
}

} // namespace halvane
