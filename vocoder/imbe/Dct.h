#pragma once
// The inverse DCT of the IMBE amplitude coding (block coefficients to log-amplitude
// residuals). Pure; safe from any thread.

#include "fixedpoint/BasicOps.h"

namespace halvane {

// out[j] = in[0] + 2 * sum_{k=1..m-1} in[k] cos(pi k (2j + 1) / (2m)) for j = 0..n-1, in
// fixed point (the sum in Q8, rounded back, the low 16 bits kept). 1 <= m <= 15;
// in and out must not overlap.
void idct(const Word16* in, Word16 m, Word16 n, Word16* out);

} // namespace halvane
