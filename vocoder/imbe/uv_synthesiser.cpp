#include "imbe/uv_synthesiser.h"

#include "imbe/Fft.h"
#include "imbe/ImbeTables.h"

#include <algorithm>

namespace halvane {

using namespace fxp;

namespace {

constexpr int kPoints = 256;

// ceil(256 * edge) for an edge in Q32 cycles, from its high half.
int edgeBin(UWord32 edge)
{
    const UWord32 high = edge >> 16;
    return static_cast<int>((high >> 8) + ((high & 0xFF) != 0 ? 1 : 0));
}

} // namespace

void uv_synthesiser::uv_synt_init()
{
    uv_mem_.fill(0);
}

void uv_synthesiser::uv_synt(const IMBE_PARAM& param, Word16* snd, RandomGenerator& rng)
{
    std::array<Cmplx16, kPoints> U{};
    bool noise = false;
    const auto f0 = static_cast<UWord32>(param.fund_freq);
    for (int l = 1; l <= param.num_harms; ++l) {
        const UWord32 centre = static_cast<UWord32>(l) * f0;
        // Bands above half the sampling rate (not reachable from a valid frame) stay silent.
        const int lo = std::max(edgeBin(centre - (f0 >> 1)), 1);
        const int hi = std::min(edgeBin(centre + (f0 >> 1)), kPoints / 2);
        if (param.v_uv_dsn[l - 1] != 0)
            continue;
        const Word16 A = shl(param.sa[l - 1], 3);
        noise = noise || lo < hi;
        for (int m = lo; m < hi; ++m) {
            const Word16 re = mult(A, rng.rand_gen());
            const Word16 im = mult(A, rng.rand_gen());
            U[m] = {re, im};
            U[kPoints - m] = {re, negate(im)};
        }
    }

    // A spectrum without noise transforms to zeros; a fully voiced frame skips the transform.
    if (noise)
        fft(U.data(), kPoints, -1);
    const auto y = [&](int i) { return shl(U[i].re, 3); };

    for (int n = 0; n < 56; ++n)
        snd[n] = uv_mem_[n];
    for (int k = 0; k < 49; ++k)
        snd[56 + k] = extract_h(L_mac(L_mult(uv_mem_[56 + k], ws[48 - k]), y(k + 24), ws[k]));
    for (int n = 105; n < 160; ++n)
        snd[n] = y(n - 32);
    for (int n = 0; n < 105; ++n)
        uv_mem_[n] = y(128 + n);
}

} // namespace halvane
