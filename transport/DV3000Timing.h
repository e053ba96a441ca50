// The pauses and time-outs of the DV3000 start-up and exchanges, gathered in
// one value so that tests can shorten the time-outs (and lengthen the polls
// on a loaded machine) without waiting for the real figures. The defaults
// are the ones the chip is driven with in service.
#pragma once

#include <chrono>

namespace halvane {

struct DV3000Timing {
    // Pause after each of the flush blocks sent before the reset.
    std::chrono::microseconds flushPause{1000};
    // Pause before each of the five polls for Ready and for the product id.
    std::chrono::milliseconds pollPause{10};
    // Longest wait for a reply to an exchange; on a serial line, the longest
    // silence inside one reply.
    std::chrono::milliseconds replyTimeout{5000};
};

} // namespace halvane
