#include "AudioShaping.h"

#include "CAgc.h"

#include <algorithm>
#include <cmath>

namespace halvane {

short saturateToPcm(double value)
{
    if (std::isnan(value))
        return 0;
    const double whole = std::trunc(value);
    if (whole >= 32767.0)
        return 32767;
    if (whole <= -32768.0)
        return -32768;
    return static_cast<short>(whole);
}

void applyGain(float gain, short* pcm, int length)
{
    for (int i = 0; i < length; ++i) {
        const float product = static_cast<float>(pcm[i]) * gain;
        if (std::fabs(product) > 32767.0f)
            pcm[i] = product < 0.0f ? -32767 : 32767;
        else
            pcm[i] = saturateToPcm(product);
    }
}

void adjustGain(float gain, short* pcm)
{
    applyGain(gain, pcm, SHAPING_BLOCK_SAMPLES);
}

void runAgc(CAgc& agc, const short* in, short* out, int length)
{
    float block[SHAPING_BLOCK_SAMPLES];
    for (int done = 0; done < length; done += SHAPING_BLOCK_SAMPLES) {
        const int count = std::min(SHAPING_BLOCK_SAMPLES, length - done);
        for (int i = 0; i < count; ++i)
            block[i] = static_cast<float>(in[done + i] / 32767.0);
        agc.ProcessData(count, block, block);
        for (int i = 0; i < count; ++i)
            out[done + i] = saturateToPcm(static_cast<double>(block[i]) * 32767.0);
    }
}

} // namespace halvane
