// Where the DV3000 is: on a serial line, or behind a UDP "AMBE server". The
// caller (the bridge, from its settings) fills it in; the chip's start-up
// reads nothing else.
#pragma once

#include <string>

namespace halvane {

struct DV3000Options {
    bool serial = false;
    // The AMBE server's host, or the serial device's path.
    std::string address = "127.0.0.1";
    unsigned port = 2460;    // network only
    unsigned baud = 460800;  // serial only: 230400, or 460800 for anything else
};

} // namespace halvane
