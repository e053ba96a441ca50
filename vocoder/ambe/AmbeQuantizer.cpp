#include "ambe/AmbeQuantizer.h"

#include "ambe/AmbeDequantizer.h"
#include "ambe/AmbeModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace halvane {
namespace {

constexpr int pitchIndexCount = 828;

// Index of the entry of `table` nearest to `target`; the lower index on ties.
template <typename Table>
int nearest(const Table& table, float target)
{
    int best = 0;
    float bestDistance = std::abs(target - table[0]);
    for (int i = 1; i < static_cast<int>(table.size()); ++i) {
        const float d = std::abs(target - table[i]);
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

// Row of `rows` nearest to target[0..columns - 1] by squared error; the lower row on ties.
template <typename Row>
int nearestRow(std::span<const Row> rows, const float* target, int columns)
{
    int best = 0;
    float bestError = 0.0f;
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        float error = 0.0f;
        for (int n = 0; n < columns; ++n) {
            const float d = target[n] - rows[r][n];
            error += d * d;
        }
        if (r == 0 || error < bestError) {
            bestError = error;
            best = r;
        }
    }
    return best;
}

// The pitch index b0 of the period whose table harmonic count equals the analysis' count,
// moving from the nearest fundamental towards fewer or more harmonics; -1 when there is none.
int pitchIndex(const AmbeAnalysis& frame, bool dstar)
{
    int i = (frame.ref_pitch >> 5) - 159;
    if (i < 0 || i >= pitchIndexCount) {
        std::fprintf(stderr, "encode error b0_i %d\n", i);
        return -1;
    }
    const auto& lookup = dstar ? dstar_b0_lookup : b0_lookup;
    int b0 = lookup[i];
    // The table count rises with the index, so the walk is monotone; the bound only keeps
    // a count that no index has from walking for ever.
    for (int steps = 0; ambe::harmonicCount(b0, dstar) != frame.num_harms; ++steps) {
        i += ambe::harmonicCount(b0, dstar) > frame.num_harms ? -1 : 1;
        if (i < 0 || i >= pitchIndexCount || steps >= pitchIndexCount) {
            std::fprintf(stderr, "encode error2 b0_i %d\n", i);
            return -1;
        }
        b0 = lookup[i];
    }
    return b0;
}

} // namespace

bool ambeTargets(const AmbeAnalysis& frame, mbe_parameters& prev, bool dstar, float gainAdjust, AmbeTargets& targets)
{
    const int b0 = pitchIndex(frame, dstar);
    if (b0 < 0)
        return false;
    const int L = frame.num_harms;
    const float f0 = ambe::fundamental(b0, dstar);

    std::array<float, 57> W{};
    for (int l = 1; l <= L; ++l) {
        const float a = frame.sa[l - 1];
        W[l] = a * a;
    }

    // Voicing: the row whose flags disagree with the analysis on the least energy.
    const int rows = dstar ? 16 : 17;
    int b1 = 0;
    float bestError = 0.0f;
    for (int c = 0; c < rows; ++c) {
        float error = 0.0f;
        for (int l = 1; l <= L; ++l) {
            const int h = l <= 36 ? 3 * ((l + 2) / 3) - 3 : 33;
            if (ambe::voicing(dstar, c, l, f0) != (frame.v_uv_dsn[h] != 0 ? 1 : 0))
                error += W[l];
        }
        if (c == 0 || error < bestError) {
            bestError = error;
            b1 = c;
        }
    }

    // Log magnitudes: unvoiced harmonics are raised by what the decoder's noise scaling
    // takes away.
    const float A = 0.5f * std::log2(static_cast<float>(L));
    const float B = 0.5f * std::log2(2.0f * std::numbers::pi_v<float> * f0 * static_cast<float>(L)) + 2.289f;
    std::array<float, 56> s{};
    float sum = 0.0f;
    for (int l = 0; l < L; ++l) {
        s[l] = std::log2(std::max(1.0f, static_cast<float>(frame.sa[l]))) + (frame.v_uv_dsn[l] != 0 ? A : B);
        sum += s[l];
    }
    const float mean = sum / static_cast<float>(L);
    // Both variants' dequantisers add half the previous gain to the step sent, so both
    // searches aim at the step from there.
    const float gainTarget = mean - 0.5f * prev.gain - gainAdjust - 4.0f;
    const int b2 = dstar ? nearest(AmbePlusDg, gainTarget) : nearest(AmbeDg, gainTarget);

    // Prediction residual, split into the four blocks and transformed.
    prev.log2_mag[0] = prev.log2_mag[1];
    std::array<float, 57> T{};
    for (int l = 1; l <= L; ++l) {
        const ambe::Prediction p = ambe::predict(prev, l, L);
        T[l] = s[l - 1] - ambe::predictionWeight * p.lower - ambe::predictionWeight * p.upper;
    }
    const auto& J = AmbeLmprbl[L];
    const auto& blockCos = ambe::blockCosines();
    std::array<std::array<float, ambe::maxBlockLength>, 4> C{};
    int t = 1;
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < J[i]; ++k) {
            float acc = 0.0f;
            for (int j = 0; j < J[i]; ++j)
                acc += T[t + j] * blockCos[J[i]][k][j];
            C[i][k] = acc / static_cast<float>(J[i]);
        }
        t += J[i];
    }

    std::array<float, 8> R{};
    for (int i = 0; i < 4; ++i) {
        R[2 * i] = C[i][0] + 1.4142135f * C[i][1];
        R[2 * i + 1] = C[i][0] - 1.4142135f * C[i][1];
    }
    const auto& prbaCos = ambe::prbaCosines();
    targets = AmbeTargets{};
    targets.b = {b0, b1, b2};
    for (int m = 1; m < 8; ++m) {
        float acc = 0.0f;
        for (int i = 0; i < 8; ++i)
            acc += R[i] * prbaCos[m][i];
        targets.prba[m - 1] = 0.125f * acc;
    }
    for (int i = 0; i < 4; ++i) {
        targets.hocColumns[i] = std::max(0, std::min(J[i], 6) - 2);
        for (int k = 0; k < targets.hocColumns[i]; ++k)
            targets.hoc[i][k] = C[i][k + 2];
    }
    return true;
}

void ambeSearch(const AmbeTargets& targets, const AmbeCodebooks& books, std::span<std::int32_t, 9> b)
{
    b[0] = targets.b[0];
    b[1] = targets.b[1];
    b[2] = targets.b[2];
    b[3] = nearestRow(books.prba24, targets.prba.data(), 3);
    b[4] = nearestRow(books.prba58, targets.prba.data() + 3, 4);
    for (int i = 0; i < 4; ++i)
        b[5 + i] = targets.hocColumns[i] > 0 ? nearestRow(books.hoc[i], targets.hoc[i].data(), targets.hocColumns[i])
                                             : 0;
}

bool encodeAmbe(const AmbeAnalysis& frame, std::span<std::int32_t, 9> b, mbe_parameters& cur, mbe_parameters& prev,
                bool dstar, float gainAdjust, const AmbeCodebooks& books, AmbeTargets* targets)
{
    AmbeTargets own;
    AmbeTargets& t = targets ? *targets : own;
    if (!ambeTargets(frame, prev, dstar, gainAdjust, t))
        return false;
    ambeSearch(t, books, b);
    dequantizeAmbe(cur, prev, b, dstar, books);
    mbe_moveMbeParms(&cur, &prev);
    return true;
}

AmbeAnalysis ambeAnalysis(const IMBE_PARAM& imbe)
{
    return {imbe.ref_pitch, imbe.num_harms, imbe.v_uv_dsn, imbe.sa};
}

bool encode_ambe(const IMBE_PARAM* imbe, std::span<std::int32_t, 9> b, mbe_parameters* cur, mbe_parameters* prev,
                 bool dstar, float gain_adjust)
{
    return encodeAmbe(ambeAnalysis(*imbe), b, *cur, *prev, dstar, gain_adjust, ambeCodebooks(dstar));
}

} // namespace halvane
