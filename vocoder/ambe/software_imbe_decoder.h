#pragma once
// MBE speech synthesis: one decoded model per 20 ms (fundamental, harmonic count, voicing
// and magnitudes) to 160 samples at 8 kHz, appended to the audio queue. Magnitudes are
// enhanced and smoothed, unvoiced harmonics become band-shaped noise, voiced harmonics
// oscillators whose phase and amplitude run on from the previous frame, and both are
// cross-faded with the previous frame so consecutive frames join without clicks.
//
// Keeps the previous frame, the phase accumulator, the noise generator and the previous
// noise transform for its whole life; nothing is reset between calls. One thread at a time.

#include "ambe/imbe_decoder.h"

#include <array>
#include <cstdint>

namespace halvane {

class software_imbe_decoder : public imbe_decoder {
public:
    static constexpr int maxHarmonics = 56;

    software_imbe_decoder();

    // Not used: this synthesiser is fed decoded models through decode_tap. Appends nothing.
    void decode(const std::vector<bool>& frame) override;

    // One frame: v[0..L-1] and mu[0..L-1] are the voiced flags and magnitudes of harmonics
    // 1..L (L is limited to 1..56), w0 the fundamental in radians per sample (0 < w0 < pi).
    // K is not used. Appends exactly 160 samples within +-32767.
    void decode_tap(int L, int K, float w0, const int* v, const float* mu);

    // The steps of decode_tap, on the frame being synthesised.
    void enhance_spectral_amplitudes(float& SE);
    void adaptive_smoothing(float SE, float et, float er);
    void synth_unvoiced();
    void synth_voiced();

    // Magnitude of harmonic l (1..56) of the last synthesised frame, after enhancement and
    // smoothing.
    float last_magnitude(int l) const;

    // The noise generator: (171 u + 11213) mod 53125.
    static std::uint32_t next_u(std::uint32_t u);

    // The synthesis window ws(n), n = -105..105, and the overlap weights woaa(n) for
    // n = 56..104 (zero elsewhere in 0..111).
    static float ws(int n);
    static float woaa(int n);

    // y(n) = Re sum_{m=0..255} U(m) e^(-j2 pi m n / 256) for n = -128..127 (out[n + 128]),
    // with U(256 - m) = conj(U(m)); re and im hold U(0..128).
    static void ifft(const float* re, const float* im, float* out);

    // In-place radix-2 complex FFT of 128 points (forward, no scaling).
    static void fft(float* re, float* im);

private:
    struct Slot {
        std::array<float, maxHarmonics + 1> M{};
        std::array<float, maxHarmonics + 1> Mbar{};
        std::array<int, maxHarmonics + 1> voiced{};
        std::array<float, maxHarmonics + 1> phase{};
    };

    std::array<Slot, 2> slots_{};
    int old_ = 1;
    int new_ = 0;
    int L_new_ = 0;
    int L_old_ = 0;
    float w0_new_ = 0.0f;
    float w0_old_ = 0.0f;
    float psi_ = 0.0f;
    std::array<std::uint32_t, 211> u_{};        // u(n), n = -105..105
    std::array<float, 256> previousY_{};       // y(n), n = -128..127
    std::array<float, 160> unvoiced_{};
    std::array<float, 160> voiced_{};
};

} // namespace halvane
