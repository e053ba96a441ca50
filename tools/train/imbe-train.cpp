// imbe-train: measures, on speech, the statistics from which tools/train/imbe-tables designs
// the IMBE quantiser tables, and writes them as the JSON file that script reads.
//
//   imbe-train OUT.json FILE.raw...      (make train-imbe)
//
// Every file (8 kHz 16-bit little-endian mono) runs through a fresh encoder with the tables
// built into this program, so the amplitude prediction runs in closed loop as in use. Per
// frame the encoder's unquantised gain and coefficient values are collected; harmonic
// counts L with few frames borrow the frames of their neighbours (a coefficient index maps
// to the same place in the neighbour's frame). From them:
//
//   coefficient_distortion  per L and coefficient index, the weighted mean squared error
//        of its quantiser at 0..10 bits: the higher-order coefficients with their fixed
//        steps, the gain coefficients with the steps below. The weight is the error that
//        one unit of the coefficient puts on the log-amplitudes, each harmonic counted by
//        how alone it is in its band of hearing (24 mel bands up to 3.8 kHz, as the
//        spectral distortion measure uses them): a harmonic that shares its band with
//        others counts less, its error being averaged with theirs.
//   gain_step_by_bits  per L, the step for each gain coefficient 2..6 at 1..10 bits that
//        gives the least error on the measured values.
//   coefficient_std, gain_std  deviations (Q15 log2 amplitude), for reference.
//   gain_levels  64 levels for the first gain coefficient (Q11) by Lloyd's algorithm, the
//        levels the codec fixes (indexes 0, 1, 2, 62, 63) held in place.
//
// Deterministic: no random numbers, files in the order given.

#include "fixedpoint/Quantiser.h"
#include "imbe/IMBE_PARAM.h"
#include "imbe/ImbeTables.h"
#include "imbe/imbe_encoder_state.h"
#include "imbe/sa_quantiser.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

namespace {

using halvane::UWord16;
using halvane::Word16;
using halvane::imbe::sa_quantiser;

constexpr int min_frames_per_L = 600;
constexpr int max_bits = 10;
constexpr double kPi = 3.14159265358979323846;

using Samples = std::vector<Word16>; // Q11

double deviation(const Samples& x)
{
    double sum = 0, squares = 0;
    for (Word16 v : x) {
        sum += v;
        squares += static_cast<double>(v) * v;
    }
    const double n = std::max<double>(1, x.size());
    return std::sqrt(std::max(0.0, squares / n - (sum / n) * (sum / n)));
}

// Mean squared error (Q11^2) of x through the quantiser of `bits` bits with `step`.
double distortion(const Samples& x, UWord16 step, int bits)
{
    double e = 0;
    for (Word16 v : x) {
        const double r = bits == 0 ? 0 : halvane::fxp::deqnt_by_step(halvane::fxp::qnt_by_step(v, step, static_cast<Word16>(bits)), step, static_cast<Word16>(bits)) / 32.0;
        e += (v - r) * (v - r);
    }
    return x.empty() ? 0 : e / x.size();
}

// The step (1..32767) with the least error at `bits`, by a multiplicative grid then a local
// refinement.
std::pair<UWord16, double> best_step(const Samples& x, int bits)
{
    UWord16 best = 1;
    double best_e = distortion(x, best, bits);
    for (double s = 2; s < 32767; s *= 1.05) {
        const double e = distortion(x, static_cast<UWord16>(s), bits);
        if (e < best_e) {
            best_e = e;
            best = static_cast<UWord16>(s);
        }
    }
    for (int s = std::max(1, best * 95 / 100); s <= std::min(32767, best * 105 / 100); ++s) {
        const double e = distortion(x, static_cast<UWord16>(s), bits);
        if (e < best_e) {
            best_e = e;
            best = static_cast<UWord16>(s);
        }
    }
    return {best, best_e};
}

std::array<int, 6> blocks_of(int L)
{
    std::array<int, 6> J{};
    for (int j = 0; j < 6; ++j)
        J[j] = halvane::block_length(static_cast<Word16>(L), j);
    return J;
}

// Error on the log-amplitudes per unit of each coefficient index, each harmonic weighted by
// 1 / (harmonics in its mel band), at most 1.
std::vector<double> weights(int L)
{
    const double f0 = 8000.0 * 0.9254 / (2.0 * L); // the fundamental of a typical period for L
    const double band_mel = (2595 * std::log10(1 + 3800 / 700.0) - 2595 * std::log10(1 + 100 / 700.0)) / 24;
    std::vector<double> v(L);
    for (int l = 0; l < L; ++l) {
        const double f = (l + 1) * f0;
        const double band_hz = band_mel * (700 + f) * std::log(10.0) / 2595; // Hz per band at f
        v[l] = std::min(1.0, f0 / band_hz);
    }
    const auto J = blocks_of(L);
    std::array<int, 7> start{};
    for (int j = 0; j < 6; ++j)
        start[j + 1] = start[j] + J[j];
    std::vector<double> w;
    for (int k = 1; k < 6; ++k) { // gain coefficients: D[j] += 2 G[k] cos(pi k (2j + 1) / 12)
        double s = 0;
        for (int j = 0; j < 6; ++j) {
            const double c = 2 * std::cos(kPi * k * (2 * j + 1) / 12);
            for (int l = start[j]; l < start[j + 1]; ++l)
                s += v[l] * c * c;
        }
        w.push_back(s);
    }
    for (int j = 0; j < 6; ++j)
        for (int k = 1; k < J[j]; ++k) {
            double s = 0;
            for (int m = 0; m < J[j]; ++m) {
                const double c = 2 * std::cos(kPi * k * (2 * m + 1) / (2.0 * J[j]));
                s += v[start[j] + m] * c * c;
            }
            w.push_back(s);
        }
    return w;
}

// The higher-order coefficient number (1.., within its block) of coefficient index i >= 5.
int hoc_number(int L, int i)
{
    int index = 5;
    for (int J : blocks_of(L))
        for (int k = 1; k < J; ++k, ++index)
            if (index == i)
                return k;
    return 1;
}

// Lloyd's algorithm on the sorted samples, the fixed levels held in place.
std::vector<double> train_levels(std::vector<double> samples, const std::map<int, double>& fixed)
{
    std::sort(samples.begin(), samples.end());
    std::vector<double> levels(64);
    for (int i = 0; i < 64; ++i) // start from the quantiles
        levels[i] = samples[static_cast<std::size_t>((i + 0.5) / 64 * samples.size())];
    for (const auto& [i, v] : fixed)
        levels[i] = v;
    for (int iteration = 0; iteration < 200; ++iteration) {
        std::sort(levels.begin(), levels.end());
        std::vector<double> sum(64, 0), count(64, 0);
        std::size_t cell = 0;
        for (double s : samples) {
            while (cell < 63 && s > (levels[cell] + levels[cell + 1]) / 2)
                ++cell;
            sum[cell] += s;
            count[cell] += 1;
        }
        for (int i = 0; i < 64; ++i)
            if (!fixed.count(i) && count[i] > 0)
                levels[i] = sum[i] / count[i];
    }
    std::sort(levels.begin(), levels.end());
    return levels;
}

void print_list(std::FILE* out, const std::vector<double>& v, const char* format)
{
    std::fputc('[', out);
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i)
            std::fputs(", ", out);
        std::fprintf(out, format, v[i]);
    }
    std::fputc(']', out);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: imbe-train OUT.json FILE.raw...\n", stderr);
        return 2;
    }

    std::map<int, std::vector<Samples>> measured; // by L, one per coefficient index
    std::vector<double> first_gain;
    for (int f = 2; f < argc; ++f) {
        std::FILE* in = std::fopen(argv[f], "rb");
        if (!in) {
            std::fprintf(stderr, "imbe-train: cannot open %s\n", argv[f]);
            return 1;
        }
        halvane::imbe::imbe_encoder_state encoder;
        halvane::IMBE_PARAM param;
        std::array<Word16, 8> u{};
        std::array<unsigned char, 320> bytes{};
        std::array<Word16, 160> pcm{};
        while (std::fread(bytes.data(), 1, bytes.size(), in) == bytes.size()) {
            for (int i = 0; i < 160; ++i)
                pcm[i] = static_cast<Word16>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
            encoder.encode(&param, u.data(), pcm.data());
            const int L = param.num_harms;
            const auto& c = encoder.quantiser().coefficients();
            auto& row = measured[L];
            row.resize(L - 1);
            for (int i = 0; i < L - 1; ++i)
                row[i].push_back(c[1 + i]);
            first_gain.push_back(c[0]);
        }
        std::fclose(in);
    }
    if (first_gain.size() < 64) {
        std::fputs("imbe-train: too little speech\n", stderr);
        return 1;
    }

    std::map<int, std::vector<Samples>> pooled;
    for (int L = 9; L <= 56; ++L) {
        auto& rows = pooled[L];
        rows.resize(L - 1);
        std::size_t count = 0;
        for (int reach = 0; reach <= 47 && count < min_frames_per_L; ++reach) {
            for (int other : {L - reach, L + reach}) {
                if (!measured.count(other) || (reach > 0 && other == L))
                    continue;
                const auto& row = measured.at(other);
                for (int i = 0; i < L - 1; ++i) {
                    const int j = i < 5 ? i : 5 + static_cast<int>(std::lround((i - 5) * (other - 6.0) / std::max(1, L - 6)));
                    const auto& from = row[std::min(j, other - 2)];
                    rows[i].insert(rows[i].end(), from.begin(), from.end());
                }
                count += row[0].size();
                if (reach == 0)
                    break;
            }
        }
    }

    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) {
        std::fprintf(stderr, "imbe-train: cannot write %s\n", argv[1]);
        return 1;
    }
    std::fprintf(out, "{\n  \"frames\": %zu,\n", first_gain.size());

    std::fputs("  \"coefficient_std\": {\n", out);
    for (int L = 9; L <= 56; ++L) {
        std::vector<double> std_q15;
        for (const auto& x : pooled[L])
            std_q15.push_back(std::max(1.0, 16 * deviation(x)));
        std::fprintf(out, "    \"%d\": ", L);
        print_list(out, std_q15, "%.0f");
        std::fputs(L < 56 ? ",\n" : "\n  },\n", out);
    }

    std::map<int, std::vector<std::vector<double>>> steps; // by L, gain coefficient, bits - 1
    std::fputs("  \"coefficient_distortion\": {\n", out);
    for (int L = 9; L <= 56; ++L) {
        const auto w = weights(L);
        std::fprintf(out, "    \"%d\": [", L);
        for (int i = 0; i < L - 1; ++i) {
            const Samples& x = pooled[L][i];
            std::vector<double> d{distortion(x, 1, 0)};
            std::vector<double> s;
            for (int bits = 1; bits <= max_bits; ++bits) {
                if (i < 5) {
                    const auto [step, e] = best_step(x, bits);
                    s.push_back(step);
                    d.push_back(e);
                } else {
                    d.push_back(distortion(x, sa_quantiser::hi_ord_step(static_cast<Word16>(bits), hoc_number(L, i)), bits));
                }
            }
            // A coefficient's error can only fall with more bits: keep the curve monotone.
            for (std::size_t b = 1; b < d.size(); ++b)
                d[b] = std::min(d[b], d[b - 1]);
            for (double& e : d)
                e *= w[i] / (2048.0 * 2048.0); // weighted, in log2 amplitude squared
            if (i < 5)
                steps[L].push_back(s);
            std::fputs(i ? ", " : "", out);
            print_list(out, d, "%.3g");
        }
        std::fputs(L < 56 ? "],\n" : "]\n  },\n", out);
    }

    std::fputs("  \"gain_step_by_bits\": {\n", out);
    for (int L = 9; L <= 56; ++L) {
        std::fprintf(out, "    \"%d\": [", L);
        for (int i = 0; i < 5; ++i) {
            std::fputs(i ? ", " : "", out);
            print_list(out, steps[L][i], "%.0f");
        }
        std::fputs(L < 56 ? "],\n" : "]\n  },\n", out);
    }

    std::vector<double> gain_std;
    for (int i = 0; i < 5; ++i) {
        Samples all;
        for (const auto& [L, rows] : measured)
            all.insert(all.end(), rows[i].begin(), rows[i].end());
        gain_std.push_back(16 * deviation(all));
    }
    std::fputs("  \"gain_std\": ", out);
    print_list(out, gain_std, "%.0f");

    const std::map<int, double> fixed{{0, halvane::gain_qnt_tbl[0]}, {1, halvane::gain_qnt_tbl[1]}, {2, halvane::gain_qnt_tbl[2]},
                                      {62, halvane::gain_qnt_tbl[62]}, {63, halvane::gain_qnt_tbl[63]}};
    std::fputs(",\n  \"gain_levels\": ", out);
    print_list(out, train_levels(first_gain, fixed), "%.1f");
    std::fputs("\n}\n", out);
    std::fclose(out);
    std::fprintf(stderr, "imbe-train: %zu frames from %d files\n", first_gain.size(), argc - 2);
    return 0;
}
