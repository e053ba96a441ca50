// Which vocoder a direction should use, published by the bridge (at start-up
// and after a mode change restarted the chip) and read by that direction's
// thread once per block, which then switches its codec (EncoderChoice,
// DecoderChoice) between two blocks. Because the switch happens on the
// path's own thread at a block boundary, no lock is held across a block and
// a codec is never swapped while it works.
//
// Thread-safety: set() and get() from any thread.
#pragma once

#include <atomic>

namespace halvane {

enum class Vocoder { Software, Dv3000, Emulator };

class WantedVocoder {
public:
    explicit WantedVocoder(Vocoder initial = Vocoder::Software) : wanted_(initial) {}
    WantedVocoder(const WantedVocoder&) = delete;
    WantedVocoder& operator=(const WantedVocoder&) = delete;

    void set(Vocoder vocoder) { wanted_.store(vocoder, std::memory_order_release); }
    Vocoder get() const { return wanted_.load(std::memory_order_acquire); }

private:
    std::atomic<Vocoder> wanted_;
};

} // namespace halvane
