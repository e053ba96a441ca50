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
    // silence inside one reply. The rate command of the start-up and
    // sendRecv() use it.
    std::chrono::milliseconds replyTimeout{5000};
    // The same for vocoding one block. A chip answers in well under 100 ms
    // (a serial line at 230400 bit/s moves a speech packet in 15 ms); a
    // longer silence means it is gone, and the block is vocoded without it.
    std::chrono::milliseconds voiceTimeout{250};
};

} // namespace halvane
