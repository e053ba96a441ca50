#pragma once
// Base of the MBE synthesisers: a queue of synthesised 8 kHz samples (floats within
// +-32767) that decoding appends to and the owner drains.
//
// Owned by one decoder; not thread-safe: the thread that decodes also drains.

#include <deque>
#include <vector>

namespace halvane {

class imbe_decoder {
public:
    virtual ~imbe_decoder() = default;
    imbe_decoder(const imbe_decoder&) = delete;
    imbe_decoder& operator=(const imbe_decoder&) = delete;

    // Decodes one frame given as its bits and appends its samples.
    virtual void decode(const std::vector<bool>& frame) = 0;

    std::deque<float>& audio() { return audio_; }

protected:
    imbe_decoder() = default;

private:
    std::deque<float> audio_;
};

} // namespace halvane
