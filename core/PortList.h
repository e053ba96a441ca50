// A destination port list: up to 16 ports of one host, every datagram sent
// once to each. The list ends at the first 0 or after the 16th entry.
#pragma once

#include <array>
#include <vector>

namespace halvane {

constexpr int MAX_PORTS = 16;
using PortList = std::array<int, MAX_PORTS>;

// The list's ports in order, up to the first 0.
std::vector<int> activePorts(const PortList& ports);

} // namespace halvane
