// Gain and AGC shaping of 16-bit PCM on its way to either peer, and the
// conversion of shaped values back to 16 bits.
//
// All functions work in place or from one caller-owned buffer to another and
// keep no state of their own; the AGC state lives in the CAgc passed in.
// Thread-safety: as safe as the buffers handed in; runAgc relies on CAgc's
// own lock.
#pragma once

namespace halvane {

class CAgc;

// One USRP voice block: 20 ms at 8000 samples/s.
constexpr int SHAPING_BLOCK_SAMPLES = 160;

// Truncates toward zero, then saturates to -32768..32767; NaN gives 0.
short saturateToPcm(double value);

// Multiplies `length` samples by `gain` in place, truncating toward zero. A
// product beyond 32767 in magnitude clips to 32767 or -32767 by its sign,
// never -32768, so clipping stays symmetric. A NaN gain gives silence.
void applyGain(float gain, short* pcm, int length);

// applyGain over one 160-sample block.
void adjustGain(float gain, short* pcm);

// Runs `length` samples through `agc`: each sample / 32767.0 to a float, the
// AGC, then x 32767.0 back through saturateToPcm. `out` may be `in`. Works in
// 160-sample blocks, so a concurrent parameter change lands between blocks.
void runAgc(CAgc& agc, const short* in, short* out, int length);

} // namespace halvane
