#include "BandPassFilter.h"

#include "AudioShaping.h"

#include <cfloat>
#include <cmath>

namespace halvane {

namespace {

// False for NaN, infinities and values a float cannot hold.
bool fitsFloat(double value)
{
    return std::fabs(value) <= FLT_MAX;
}

} // namespace

void BandPassFilter::process(float gain, short* pcm, int length)
{
    for (int i = 0; i < length; ++i) {
        for (int k = 0; k < 4; ++k) {
            xv[k] = xv[k + 1];
            yv[k] = yv[k + 1];
        }
        const double x4 = pcm[i] / 2.104842187 * gain;
        const double y4 = (xv[0] + x4) - 2.0 * xv[2] - 0.2477325252 * yv[0] - 0.0869246102 * yv[1] +
                          0.4680727937 * yv[2] + 0.7488795032 * yv[3];
        if (!fitsFloat(x4) || !fitsFloat(y4)) {
            xv = {};
            yv = {};
            pcm[i] = 0;
            continue;
        }
        xv[4] = static_cast<float>(x4);
        yv[4] = static_cast<float>(y4);
        pcm[i] = saturateToPcm(yv[4]);
    }
}

} // namespace halvane
