#pragma once
// The short-time spectrum of the IMBE analysis and the fit of single harmonics to it.
//
// The frame is the 221-sample window wr centred on pitch_ref_buf[150], placed with its
// centre at time 0 of a 256-point transform. Before windowing, the frame is scaled up by
// 2^shift() so that its largest sample lies in 8192..16383 (block floating point); quiet
// speech then keeps its precision through the fixed-point transform. Every quantity below
// is in these scaled units: a bin's energy is |S|^2 / 8.
//
// A harmonic covers the bins from (l - 1/2) w0 to (l + 1/2) w0, counted as the decoder
// counts them: bin ceil(edge) up to the bin before the next ceil(edge). Its fit is the
// least-squares complex amplitude of the window spectrum wr_sp placed at the harmonic's
// frequency over those bins; the part of the bins' energy that the fit explains is
// |sum S W|^2 / sum W^2.
//
// One encoder owns it; not thread-safe.

#include "fixedpoint/BasicOps.h"

#include <array>

namespace halvane::imbe {

class analysis_spectrum {
public:
    static constexpr int size = 256;
    static constexpr int half = size / 2;

    struct Fit {
        Word32 energy = 0;    // energy of the bins
        Word32 explained = 0; // the part of it the fitted harmonic explains, <= energy
        Word32 window = 0;    // sum of the window spectrum's squares over the bins, Q15
        Word16 bins = 0;      // number of bins
    };

    // Transforms the frame of pitch_ref_buf (621 samples).
    void analyse(const Word16* pitch_ref_buf);

    Word16 shift() const { return shift_; }
    const Cmplx16& bin(int m) const { return bins_[m]; }

    // Energy of bins lo..hi (0 <= lo, hi <= 128; 0 when hi < lo).
    Word32 energy(int lo, int hi) const;

    // The fit of a harmonic at frequency pos (bins, Q16) over bins lo..hi (within 0..128).
    Fit fit(Word32 pos, int lo, int hi) const;

private:
    std::array<Cmplx16, size> bins_{};
    std::array<Word32, half + 2> cumulative_{}; // cumulative_[m] = energy of bins 0..m-1
    Word16 shift_ = 0;
};

// Lowest bin of harmonic l's band for a fundamental of w0 bins (Q16): ceil((l - 1/2) w0).
int band_start(int l, Word32 w0);

} // namespace halvane::imbe
