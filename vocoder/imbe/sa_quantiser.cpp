#include "imbe/sa_quantiser.h"

#include "fixedpoint/BitAllocation.h"
#include "fixedpoint/Elementary.h"
#include "fixedpoint/Quantiser.h"
#include "imbe/ImbeTables.h"

#include <algorithm>
#include <array>

namespace halvane::imbe {

using namespace fxp;

namespace {

// out[k] = (1/n) sum_j in[j] cos(pi k (2j + 1) / (2n)), k = 0..n-1, the inverse of idct
// (in and out in the same Q format, n <= 10).
void dct(const Word16* in, Word16 n, Word16* out)
{
    const Word16 step = div_s(1024, static_cast<Word16>(n << 11)); // 16384 / n: pi / (2n)
    const Word16 inverse = n == 1 ? MAX_16 : div_s(1, n);
    for (int k = 0; k < n; ++k) {
        Word32 sum = 0;
        for (int j = 0; j < n; ++j) {
            const auto angle = static_cast<Word16>(k * (2 * j + 1) * step);
            sum = L_add(sum, L_shr(L_mult(in[j], cos_fxp(angle)), 4));
        }
        out[k] = extract_l(L_shr_r(L_mpy_ls(sum, inverse), 12));
    }
}

} // namespace

UWord16 sa_quantiser::hi_ord_step(Word16 bits, int k)
{
    return static_cast<UWord16>((UWord32{hi_ord_step_size_tbl[bits - 1]} * hi_ord_std_tbl[k - 1] * 2) >> 16);
}

void sa_quantiser::sa_encode(IMBE_PARAM* param)
{
    const Word16 L = param->num_harms;
    get_bit_allocation(L, param->bit_alloc.data());
    const sa_dequantiser::Prediction prediction = loop_.predict(L);

    // Residuals T_l (Q11) that the decoder's prediction turns back into log2(sa_l) - 2.
    std::array<Word16, 56> T;
    for (int l = 0; l < L; ++l) {
        const Word32 target = L_add(L_sub(Log2(param->sa[l]), prediction.weighted[l]), prediction.mean);
        T[l] = extract_l(L_shr_r(target, 11));
    }

    std::array<Word16, 6> means;
    std::array<std::array<Word16, 10>, 6> blocks{};
    const Word16* in = T.data();
    for (int j = 0; j < 6; ++j) {
        const Word16 J = block_length(L, j);
        dct(in, J, blocks[j].data());
        means[j] = blocks[j][0];
        in += J;
    }
    std::array<Word16, 6> G;
    dct(means.data(), 6, G.data());

    param->b_vec[2] = tbl_quant(G[0], gain_qnt_tbl.data(), 64);
    const auto& steps = gain_step_size_tbl[L - 9];
    for (int i = 1; i < 6; ++i)
        param->b_vec[2 + i] = qnt_by_step(G[i], static_cast<UWord16>(steps[i - 1]), param->bit_alloc[i - 1]);
    std::copy(G.begin(), G.end(), coefficients_.begin());

    int index = 8;
    for (int j = 0; j < 6; ++j) {
        const Word16 J = block_length(L, j);
        for (int k = 1; k < J; ++k, ++index) {
            const Word16 bits = param->bit_alloc[index - 3];
            coefficients_[index - 2] = blocks[j][k];
            param->b_vec[index] = 0;
            if (bits == 0)
                continue;
            param->b_vec[index] = qnt_by_step(blocks[j][k], hi_ord_step(bits, k), bits);
        }
    }

    // Closed loop: the decoder's reconstruction of these indexes becomes the prediction state.
    std::array<Word16, 56> reconstructed, amplitudes;
    sa_dequantiser::dequantise_residuals(*param, reconstructed.data());
    loop_.store(L, reconstructed.data(), prediction, amplitudes.data());
}

} // namespace halvane::imbe
