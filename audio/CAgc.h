// Look-ahead automatic gain control for the PCM sent to the USRP peer.
//
// Samples are floats in -1..1. Each input is delayed by 15 ms while the gain
// follows the peak of an 18 ms window of log10 magnitudes, through a fast
// attack average and a slow decay average (optionally with hang time), so a
// loud onset is turned down before it leaves the delay line. At or below the
// knee the gain is fixed (kneeGain); above it the output level, in log terms,
// rises only `slope` percent as fast as the input level.
//
// Lifetime: the bridge owns one instance for the whole run and configures it
// with SetParameters at 8000 samples/s before the first ProcessData. The
// state runs on across blocks and transmissions; only a new sample rate
// resets the delay line, the window and the averages.
//
// Thread-safety: ProcessData (the thread that sends USRP voice) and
// SetParameters (the decode thread) serialise on an internal mutex, so a
// parameter change lands between two calls, never inside one block. The
// public fields are the state itself: read or write them directly only while
// no other thread uses the instance (tests, diagnostics).
#pragma once

#include <mutex>

namespace halvane {

class CAgc {
public:
    // Both lines hold 2048 entries; the lengths in use never exceed 2047.
    static constexpr int MAX_LINE = 2048;

    CAgc();
    virtual ~CAgc();
    CAgc(const CAgc&) = delete;
    CAgc& operator=(const CAgc&) = delete;

    // `threshold` is the knee in dB, `slope` the gain slope above the knee
    // in percent, `decay` the decay (or hang) time in ms. Unchanged values
    // are a no-op; a changed sample rate also resets the state.
    void SetParameters(bool hang, int threshold, int slope, int decay, double sampleRate);

    // Processes `length` samples (none when `length` <= 0). `out` may be `in`
    // itself, as each input is stored before its output is written, but must
    // not otherwise overlap it.
    void ProcessData(int length, const float* in, float* out);

    bool hang = false;
    int threshold = 0;
    int decay = 0;
    float sampleRate = 100.0f;
    float slope = 0.0f;
    float slowLevel = 0.0f;
    float fastLevel = 0.0f;
    float fastRiseCoef = 0.0f;
    float fastFallCoef = 0.0f;
    float slowRiseCoef = 0.0f;
    float slowFallCoef = 0.0f;
    float kneeGain = 0.0f;
    float knee = 0.0f;
    float gainSlope = 0.0f;
    float peak = 0.0f;
    int delayPos = 0;
    int windowPos = 0;
    int delayLength = 0;
    int windowLength = 0;
    int hangLength = 0;
    int hangCount = 0;
    float delayLine[MAX_LINE] = {};
    float levelWindow[MAX_LINE] = {};

private:
    std::mutex mutex_;
};

} // namespace halvane
