// Band-pass filter (-3 dB at about 300 and 3000 Hz at 8000 samples/s, unity
// gain in the pass band) with an input gain, for the PCM sent to the vocoder.
//
// The history xv/yv (inputs and outputs, oldest first, single precision)
// carries across blocks and transmissions and is never reset, except that a
// non-finite value (an infinite or NaN gain) clears it and comes out as 0,
// rather than sticking in the history and silencing every later block.
//
// Ownership and thread-safety: the encode thread owns the one instance and is
// its only user; there is no lock.
#pragma once

#include <array>

namespace halvane {

class BandPassFilter {
public:
    // Filters `length` samples in place, each scaled by `gain` on the way in;
    // outputs are truncated toward zero and saturated to 16 bits.
    void process(float gain, short* pcm, int length);

    std::array<float, 5> xv{};
    std::array<float, 5> yv{};
};

} // namespace halvane
