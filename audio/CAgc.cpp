#include "CAgc.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace halvane {

namespace {

// Averaging coefficient for a time constant in samples. A time of zero or
// less (a zero or negative decay, a senseless rate) follows the peak at once
// instead of dividing by zero or growing without bound.
float averagingCoef(float timeSamples)
{
    if (!(timeSamples > 0.0f))
        return 1.0f;
    return 1.0f - std::exp(-1.0f / timeSamples);
}

// Integer part of a length in samples, kept within 0..limit so that a NaN or
// out-of-range product can never index past a line or overflow an int.
int lengthInSamples(double samples, int limit)
{
    if (!(samples > 0.0))
        return 0;
    if (samples >= limit)
        return limit;
    return static_cast<int>(samples);
}

} // namespace

CAgc::CAgc() = default;

CAgc::~CAgc() = default;

void CAgc::SetParameters(bool newHang, int newThreshold, int newSlope, int newDecay, double newSampleRate)
{
    const float rate = static_cast<float>(newSampleRate);
    std::lock_guard<std::mutex> lock(mutex_);
    // Compared as stored (the rate as a float), so a rate that float cannot
    // hold exactly still counts as unchanged on the next call.
    if (newHang == hang && newThreshold == threshold && static_cast<float>(newSlope) == slope &&
        newDecay == decay && rate == sampleRate)
        return;

    const bool rateChanged = rate != sampleRate;
    hang = newHang;
    threshold = newThreshold;
    slope = static_cast<float>(newSlope);
    decay = newDecay;
    sampleRate = rate;
    if (rateChanged) {
        std::fill(std::begin(delayLine), std::end(delayLine), 0.0f);
        delayPos = 0;
        windowPos = 0;
        std::fill(std::begin(levelWindow), std::end(levelWindow), -16.0f);
        peak = -16.0f;
        hangCount = 0;
        fastLevel = -5.0f;
        slowLevel = -5.0f;
    }

    knee = static_cast<float>(threshold) / 20.0f;
    gainSlope = slope / 100.0f;
    kneeGain = 0.7f * std::pow(10.0f, knee * (gainSlope - 1.0f));

    fastRiseCoef = averagingCoef(0.002f * sampleRate);
    fastFallCoef = averagingCoef(0.005f * sampleRate);
    const float decaySamples = static_cast<float>(decay) * sampleRate * 0.001f;
    slowRiseCoef = averagingCoef(decaySamples * 0.3f);
    slowFallCoef = averagingCoef(hang ? 0.05f * sampleRate : decaySamples);

    const double rateSamples = static_cast<double>(sampleRate);
    hangLength = lengthInSamples(static_cast<double>(decay) * rateSamples * 0.001, INT_MAX);
    delayLength = lengthInSamples(0.015 * rateSamples, MAX_LINE - 1);
    windowLength = lengthInSamples(0.018 * rateSamples, MAX_LINE - 1);
}

void CAgc::ProcessData(int length, const float* in, float* out)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < length; ++i) {
        const float x = in[i];

        const float delayed = delayLine[delayPos];
        delayLine[delayPos] = x;
        // ">=" rather than "==": before the first SetParameters the length is
        // 0, and a position must never run past the line.
        if (++delayPos >= delayLength)
            delayPos = 0;

        const float magnitude = std::log10(std::fabs(x) + 1e-8f);
        const float oldest = levelWindow[windowPos];
        levelWindow[windowPos] = magnitude;
        if (++windowPos >= windowLength)
            windowPos = 0;

        if (magnitude > peak) {
            peak = magnitude;
        } else if (oldest == peak) {
            // The peak has just left the window: only then is a rescan needed.
            float highest = -8.0f;
            for (int j = 0; j < windowLength; ++j)
                highest = std::max(highest, levelWindow[j]);
            peak = highest;
        }

        const float attack = peak > fastLevel ? fastRiseCoef : fastFallCoef;
        fastLevel = (1.0f - attack) * fastLevel + attack * peak;

        if (hang) {
            if (peak > slowLevel) {
                slowLevel = (1.0f - slowRiseCoef) * slowLevel + slowRiseCoef * peak;
                hangCount = 0;
            } else if (hangCount < hangLength) {
                ++hangCount;
            } else {
                slowLevel = (1.0f - slowFallCoef) * slowLevel + slowFallCoef * peak;
            }
        } else {
            const float a = peak > slowLevel ? slowRiseCoef : slowFallCoef;
            slowLevel = (1.0f - a) * slowLevel + a * peak;
        }

        const float level = std::max(fastLevel, slowLevel);
        if (level <= knee)
            out[i] = delayed * kneeGain;
        else
            out[i] = delayed * 0.7f * std::pow(10.0f, level * (gainSlope - 1.0f));
    }
}

} // namespace halvane
