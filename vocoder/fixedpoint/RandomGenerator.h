#pragma once
// The vocoder's pseudo-random generator: the Park-Miller minimal standard generator
// seed = 16807 * seed mod (2^31 - 1), starting from seed 1.
//
// Each decoder owns one, so decoders on different threads never share a seed; the sequence
// from the initial state is the same for all of them. Not thread-safe: one owner thread.

#include "fixedpoint/BasicOps.h"

namespace halvane {

class RandomGenerator {
public:
    // Advances the seed and returns its low 16 bits as a signed value.
    Word16 rand_gen()
    {
        seed_ = static_cast<UWord32>((std::uint64_t{16807} * seed_) % 0x7FFFFFFFu);
        return static_cast<Word16>(seed_ & 0xFFFF);
    }

    UWord32 seed() const { return seed_; }

private:
    UWord32 seed_ = 1;
};

} // namespace halvane
