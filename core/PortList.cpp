#include "PortList.h"

namespace halvane {

std::vector<int> activePorts(const PortList& ports)
{
    std::vector<int> active;
    for (int port : ports) {
        if (port == 0)
            break;
        active.push_back(port);
    }
    return active;
}

} // namespace halvane
