// Version of the software MBE synthesiser, as the start-up report shows it.
#pragma once

#include <cstddef>

namespace halvane {

constexpr const char* MBE_VERSION = "1.2.3";

// Writes the version text with its terminating NUL into `out` (at least
// `size` bytes; 6 are enough).
void mbe_printVersion(char* out, std::size_t size = 6);

} // namespace halvane
