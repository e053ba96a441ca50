#include "ambe/mbe_parameters.h"

#include <algorithm>
#include <iterator>
#include <numbers>

namespace halvane {

void mbe_initMbeParms(mbe_parameters* cur, mbe_parameters* prev, mbe_parameters* prev_enhanced)
{
    prev->fund = 0.09378f;
    prev->num_harm = 30;
    prev->num_band = 10;
    prev->gain = 0.0f;
    prev->repeat_count = 0;
    std::fill(std::begin(prev->voiced), std::end(prev->voiced), 0);
    std::fill(std::begin(prev->mag), std::end(prev->mag), 0.0f);
    std::fill(std::begin(prev->log2_mag), std::end(prev->log2_mag), 0.0f);
    std::fill(std::begin(prev->phase), std::end(prev->phase), 0.0f);
    std::fill(std::begin(prev->uv_phase), std::end(prev->uv_phase), std::numbers::pi_v<float> / 2.0f);
    mbe_moveMbeParms(prev, cur);
    mbe_moveMbeParms(prev, prev_enhanced);
}

void mbe_moveMbeParms(const mbe_parameters* src, mbe_parameters* dst)
{
    const int spare = dst->spare;
    *dst = *src;
    dst->spare = spare;
}

void mbe_useLastMbeParms(mbe_parameters* dst, const mbe_parameters* src)
{
    mbe_moveMbeParms(src, dst);
}

} // namespace halvane
