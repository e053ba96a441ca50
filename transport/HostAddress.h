// Name lookup of a configured peer host, IPv4 only: the endpoints resolve
// their destination with it and the source guards the hosts they accept.
//
// Thread-safety: every function may be called from any thread. A lookup of
// a name (not a numeric address) may block for as long as the system's
// resolver takes.
#pragma once

#include <netinet/in.h>
#include <vector>

namespace halvane {

// Every IPv4 address of `host` (numeric text or a name), in the resolver's
// order without repeats; empty when it does not resolve or is null.
std::vector<in_addr> resolveIPv4All(const char* host);
// The first of them; false when there is none.
bool resolveIPv4(const char* host, in_addr& address);
// 127.0.0.0/8.
bool isLoopbackAddress(const in_addr& address);
// The IPv4 addresses of this host's network interfaces, loopback included.
std::vector<in_addr> localInterfaceAddresses();

} // namespace halvane
