#include "ambe/AmbeDequantizer.h"

#include "ambe/AmbeModel.h"

#include <array>
#include <cmath>
#include <numbers>

namespace halvane {

int dequantizeAmbe(mbe_parameters& cur, mbe_parameters& prev, std::span<const std::int32_t, 9> b, bool dstar,
                   const AmbeCodebooks& books)
{
    const int b0 = b[0] & 0x7F;
    if (b0 >= 120)
        return 1;
    const auto field = [&b](int i, std::size_t rows) { return static_cast<std::size_t>(b[i]) & (rows - 1); };

    cur.repeat_count = prev.repeat_count;
    const float f0 = ambe::fundamental(b0, dstar);
    const float w0 = 2.0f * std::numbers::pi_v<float> * f0;
    cur.fund = w0;
    const float unvoicedScale = 0.2046f / std::sqrt(w0);
    const int L = ambe::harmonicCount(b0, dstar);
    cur.num_harm = L;

    const int vuvRow = static_cast<int>(field(1, dstar ? AmbePlusVuv.size() : AmbeVuv.size()));
    for (int l = 1; l <= L; ++l)
        cur.voiced[l] = ambe::voicing(dstar, vuvRow, l, f0);

    const float step = dstar ? AmbePlusDg[field(2, AmbePlusDg.size())] : AmbeDg[field(2, AmbeDg.size())];
    const float gamma = 0.5f * prev.gain + step;
    cur.gain = gamma;

    std::array<float, 8> G{};
    const AmbeRow3& prba24 = books.prba24[field(3, books.prba24.size())];
    const AmbeRow4& prba58 = books.prba58[field(4, books.prba58.size())];
    for (int n = 0; n < 3; ++n)
        G[1 + n] = prba24[n];
    for (int n = 0; n < 4; ++n)
        G[4 + n] = prba58[n];

    const auto& prbaCos = ambe::prbaCosines();
    std::array<float, 8> R{};
    for (int i = 0; i < 8; ++i) {
        float sum = 0.0f;
        for (int m = 0; m < 8; ++m)
            sum += (m == 0 ? 1.0f : 2.0f) * G[m] * prbaCos[m][i];
        R[i] = sum;
    }

    const auto& J = AmbeLmprbl[L];
    const auto& blockCos = ambe::blockCosines();
    std::array<float, 57> T{};
    int t = 1;
    for (int i = 0; i < 4; ++i) {
        std::array<float, ambe::maxBlockLength> C{};
        C[0] = 0.5f * (R[2 * i] + R[2 * i + 1]);
        C[1] = 0.35355338f * (R[2 * i] - R[2 * i + 1]);
        const AmbeRow4& hoc = books.hoc[i][field(5 + i, books.hoc[i].size())];
        for (int k = 3; k <= J[i] && k <= 6; ++k)
            C[k - 1] = hoc[k - 3];
        for (int j = 0; j < J[i]; ++j) {
            float sum = 0.0f;
            for (int k = 0; k < J[i]; ++k)
                sum += (k == 0 ? 1.0f : 2.0f) * C[k] * blockCos[J[i]][k][j];
            T[t++] = sum;
        }
    }

    const int prevL = prev.num_harm < 0 ? 0 : (prev.num_harm > 56 ? 56 : prev.num_harm);
    for (int l = prevL + 1; l <= L; ++l) {
        prev.mag[l] = prev.mag[prevL];
        prev.log2_mag[l] = prev.log2_mag[prevL];
    }
    prev.log2_mag[0] = prev.log2_mag[1];
    prev.mag[0] = prev.mag[1];

    std::array<ambe::Prediction, 57> P{};
    float sumP = 0.0f;
    float sumT = 0.0f;
    for (int l = 1; l <= L; ++l) {
        P[l] = ambe::predict(prev, l, L);
        sumP += P[l].lower + P[l].upper;
        sumT += T[l];
    }
    const float S43 = ambe::predictionWeight / static_cast<float>(L) * sumP;
    const float S42 = sumT / static_cast<float>(L);
    const float Gamma =
        gamma - 0.5f * static_cast<float>(std::log(static_cast<double>(L)) / 0.6931471805599453) - S42;

    for (int l = 1; l <= L; ++l) {
        const float log2Mag = T[l] + ambe::predictionWeight * P[l].lower + ambe::predictionWeight * P[l].upper - S43 +
                              Gamma;
        cur.log2_mag[l] = log2Mag;
        const float mag = std::exp(0.693f * log2Mag);
        cur.mag[l] = cur.voiced[l] ? mag : unvoicedScale * mag;
    }
    return 0;
}

int mbe_dequantizeAmbeParms(mbe_parameters* cur, mbe_parameters* prev, const int* b, int dstar)
{
    return dequantizeAmbe(*cur, *prev, std::span<const std::int32_t, 9>(b, 9), dstar != 0, ambeCodebooks(dstar != 0));
}

int mbe_dequantizeAmbe2250Parms(mbe_parameters* cur, mbe_parameters* prev, const int* b)
{
    return mbe_dequantizeAmbeParms(cur, prev, b, 0);
}

int mbe_dequantizeAmbe2400Parms(mbe_parameters* cur, mbe_parameters* prev, const int* b)
{
    return mbe_dequantizeAmbeParms(cur, prev, b, 1);
}

} // namespace halvane
