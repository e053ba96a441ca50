#include "imbe/sa_dequantiser.h"

#include "fixedpoint/Elementary.h"
#include "fixedpoint/Quantiser.h"
#include "imbe/Dct.h"
#include "imbe/ImbeTables.h"

namespace halvane {

using namespace fxp;

void sa_dequantiser::sa_decode_init()
{
    num_harms_prev1_ = 30;
    sa_prev1_.fill(0);
}

void sa_dequantiser::dequantise_residuals(const IMBE_PARAM& param, Word16* T)
{
    const Word16 L = param.num_harms;
    const auto& steps = gain_step_size_tbl[L - 9];

    std::array<Word16, 6> G;
    G[0] = gain_qnt_tbl[param.b_vec[2] & 63];
    for (int i = 1; i < 6; ++i)
        G[i] = extract_l(deqnt_by_step(param.b_vec[2 + i], static_cast<UWord16>(steps[i - 1]), param.bit_alloc[i - 1]) >> 5);
    std::array<Word16, 6> D;
    idct(G.data(), 6, 6, D.data());

    int index = 8; // the higher-order indexes follow the five gain indexes
    Word16* out = T;
    for (int j = 0; j < 6; ++j) {
        const Word16 J = block_length(L, j);
        std::array<Word16, 10> C{};
        C[0] = D[j];
        for (int k = 1; k < J; ++k, ++index) {
            const Word16 bits = param.bit_alloc[index - 3];
            if (bits == 0)
                continue;
            const auto step = static_cast<UWord16>((UWord32{hi_ord_step_size_tbl[bits - 1]} * hi_ord_std_tbl[k - 1] * 2) >> 16);
            C[k] = extract_l(deqnt_by_step(param.b_vec[index], step, bits) >> 5);
        }
        idct(C.data(), J, J, out);
        out += J;
    }
}

sa_dequantiser::Prediction sa_dequantiser::predict(Word16 L)
{
    Prediction p;
    const Word16 Lp = num_harms_prev1_;
    const Word16 rho = L <= 15 ? Word16{13107} : L >= 25 ? Word16{22938} : static_cast<Word16>(L * 983 - 1638);

    // Position step Lp / L in Q24: integer part by subtraction, fraction by div_s.
    Word32 ratio;
    if (Lp == L) {
        ratio = Word32{1} << 24;
    } else if (Lp < L) {
        ratio = L_deposit_l(div_s(static_cast<Word16>(Lp << 9), static_cast<Word16>(L << 9))) << 9;
    } else {
        Word16 remainder = Lp;
        Word32 whole = 0;
        while (remainder > L) {
            remainder = static_cast<Word16>(remainder - L);
            ++whole;
        }
        ratio = (whole << 24) + (L_deposit_l(div_s(static_cast<Word16>(remainder << 9), static_cast<Word16>(L << 9))) << 9);
    }

    for (int l = Lp + 1; l < 58; ++l)
        sa_prev1_[l] = sa_prev1_[Lp];

    Word32 sum = 0;
    Word32 position = 0;
    for (int l = 1; l <= L; ++l) {
        position += ratio;
        const int k = position >> 24;
        const Word16 delta = static_cast<Word16>((position >> 9) & 0x7FFF);
        if (delta == 0) {
            sum = L_add(sum, sa_prev1_[k]);
            p.weighted[l - 1] = L_mpy_ls(sa_prev1_[k], rho);
        } else {
            const Word32 a = L_mpy_ls(sa_prev1_[k], static_cast<Word16>(32767 - delta));
            const Word32 c = L_mpy_ls(sa_prev1_[k + 1], delta);
            sum = L_add(sum, L_add(a, c));
            p.weighted[l - 1] = L_add(L_mpy_ls(a, rho), L_mpy_ls(c, rho));
        }
    }

    const Word16 n = norm_s(L);
    p.div_one_by_num_harm_sh = n;
    p.div_one_by_num_harm = div_s(16384, static_cast<Word16>(L << n));
    p.mean = L_shr(L_mpy_ls(L_mpy_ls(sum, rho), p.div_one_by_num_harm), static_cast<Word16>(14 - n));
    return p;
}

void sa_dequantiser::store(Word16 L, const Word16* T, const Prediction& p, Word16* sa)
{
    for (int l = 1; l <= L; ++l) {
        const Word32 lambda = L_add(L_deposit_l(T[l - 1]) << 11, p.weighted[l - 1]);
        sa_prev1_[l] = L_sub(lambda, p.mean);
        sa[l - 1] = Pow2(sa_prev1_[l]);
    }
    num_harms_prev1_ = L;
}

void sa_dequantiser::sa_decode(IMBE_PARAM* param)
{
    const Word16 L = param->num_harms;
    std::array<Word16, 56> T;
    dequantise_residuals(*param, T.data());
    const Prediction p = predict(L);
    store(L, T.data(), p, param->sa.data());
    param->div_one_by_num_harm = p.div_one_by_num_harm;
    param->div_one_by_num_harm_sh = p.div_one_by_num_harm_sh;
}

} // namespace halvane
