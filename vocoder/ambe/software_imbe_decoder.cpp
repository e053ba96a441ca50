#include "ambe/software_imbe_decoder.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace halvane {
namespace {

constexpr float pi = std::numbers::pi_v<float>;

constexpr std::array<float, 211> wsTable = [] {
    std::array<float, 211> t{};
    for (int n = -105; n <= 105; ++n) {
        const int a = n < 0 ? -n : n;
        t[n + 105] = a <= 55 ? 1.0f : static_cast<float>(105 - a) / 50.0f;
    }
    return t;
}();

constexpr std::array<float, 112> woaaTable = [] {
    std::array<float, 112> t{};
    for (int n = 56; n <= 104; ++n) {
        const float a = wsTable[n + 105];
        const float b = wsTable[n - 160 + 105];
        t[n] = 1.0f / (a * a + b * b);
    }
    return t;
}();

// Radix-2 decimation in time: bit-reversed input order, then stages whose twiddles are
// e^(-j pi k / le).
template <int N>
void transform(float* re, float* im)
{
    static const auto twiddles = [] {
        std::array<std::complex<float>, N / 2> t{};
        for (int k = 0; k < N / 2; ++k)
            t[k] = std::polar(1.0, -2.0 * std::numbers::pi * k / N);
        return t;
    }();
    for (int i = 1, j = 0; i < N; ++i) {
        int bit = N >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
    for (int le = 1; le < N; le <<= 1) {
        const int stride = N / (2 * le);
        for (int k = 0; k < le; ++k) {
            const float wr = twiddles[k * stride].real();
            const float wi = twiddles[k * stride].imag();
            for (int i = k; i < N; i += 2 * le) {
                const int j = i + le;
                const float tr = wr * re[j] - wi * im[j];
                const float ti = wr * im[j] + wi * re[j];
                re[j] = re[i] - tr;
                im[j] = im[i] - ti;
                re[i] += tr;
                im[i] += ti;
            }
        }
    }
}

// out[n] += (a0 + a1 n) cos(theta0 + omega n + alpha n^2) for n = 0..159: a harmonic that
// glides from one frame's amplitude and frequency to the next one's. The cosine runs as a
// rotating phasor in double precision, as exact over one frame as a cosine per sample.
void addGlide(float* out, double a0, double a1, double theta0, double omega, double alpha)
{
    // Spelt out: std::complex multiplication checks for infinities on every product.
    double pr = std::cos(theta0);
    double pi = std::sin(theta0);
    double qr = std::cos(omega + alpha);
    double qi = std::sin(omega + alpha);
    const double rr = std::cos(2.0 * alpha);
    const double ri = std::sin(2.0 * alpha);
    for (int n = 0; n < 160; ++n) {
        out[n] += static_cast<float>((a0 + a1 * n) * pr);
        const double nr = pr * qr - pi * qi;
        pi = pr * qi + pi * qr;
        pr = nr;
        const double mr = qr * rr - qi * ri;
        qi = qr * ri + qi * rr;
        qr = mr;
    }
}

// Steady harmonics of one frame, M cos(theta0 + omega n), summed and windowed together:
// their phasors rotate side by side, so no harmonic waits on another's last product.
class HarmonicBank {
public:
    // theta0 is the phase at n = from.
    void add(double magnitude, double theta0, double omega)
    {
        m_[count_] = magnitude;
        pr_[count_] = std::cos(theta0);
        pi_[count_] = std::sin(theta0);
        qr_[count_] = std::cos(omega);
        qi_[count_] = std::sin(omega);
        ++count_;
    }

    // out[n] += ws(n + windowShift) * sum for n = from..to.
    void render(float* out, int from, int to, int windowShift)
    {
        if (count_ == 0)
            return;
        for (int n = from; n <= to; ++n) {
            double sum = 0.0;
            for (int k = 0; k < count_; ++k) {
                sum += m_[k] * pr_[k];
                const double nr = pr_[k] * qr_[k] - pi_[k] * qi_[k];
                pi_[k] = pr_[k] * qi_[k] + pi_[k] * qr_[k];
                pr_[k] = nr;
            }
            out[n] += static_cast<float>(wsTable[n + windowShift + 105] * sum);
        }
    }

private:
    int count_ = 0;
    std::array<double, software_imbe_decoder::maxHarmonics> m_{};
    std::array<double, software_imbe_decoder::maxHarmonics> pr_{};
    std::array<double, software_imbe_decoder::maxHarmonics> pi_{};
    std::array<double, software_imbe_decoder::maxHarmonics> qr_{};
    std::array<double, software_imbe_decoder::maxHarmonics> qi_{};
};

} // namespace

software_imbe_decoder::software_imbe_decoder()
{
    u_[0] = 3147;
    for (std::size_t i = 1; i < u_.size(); ++i)
        u_[i] = next_u(u_[i - 1]);
}

void software_imbe_decoder::decode(const std::vector<bool>&) {}

std::uint32_t software_imbe_decoder::next_u(std::uint32_t u)
{
    return (171u * u + 11213u) % 53125u;
}

float software_imbe_decoder::ws(int n)
{
    return n < -105 || n > 105 ? 0.0f : wsTable[n + 105];
}

float software_imbe_decoder::woaa(int n)
{
    return n < 0 || n >= 112 ? 0.0f : woaaTable[n];
}

float software_imbe_decoder::last_magnitude(int l) const
{
    return l < 1 || l > maxHarmonics ? 0.0f : slots_[old_].Mbar[l];
}

void software_imbe_decoder::fft(float* re, float* im)
{
    transform<128>(re, im);
}

void software_imbe_decoder::ifft(const float* re, const float* im, float* out)
{
    // With U Hermitian, y is the Hartley transform of X(m) = Re U(m) + Im U(m), whose
    // 256 real points go through one 128-point complex transform as X(2k) + j X(2k + 1);
    // X(256 - m) = Re U(m) - Im U(m).
    std::array<float, 128> zr{};
    std::array<float, 128> zi{};
    for (int k = 0; k < 64; ++k) {
        zr[k] = re[2 * k] + im[2 * k];
        zi[k] = re[2 * k + 1] + im[2 * k + 1];
        zr[k + 64] = re[128 - 2 * k] - im[128 - 2 * k];
        zi[k + 64] = re[127 - 2 * k] - im[127 - 2 * k];
    }
    fft(zr.data(), zi.data());

    static const auto twiddles = [] {
        std::array<std::complex<float>, 256> t{};
        for (int n = 0; n < 256; ++n)
            t[n] = std::polar(1.0, -2.0 * std::numbers::pi * n / 256.0);
        return t;
    }();
    for (int n = 0; n < 256; ++n) {
        // Z(n) and conj Z(128 - n) give the transforms of the even and the odd points,
        // E = (Z + Zc) / 2 and O = -j (Z - Zc) / 2; then F = E + W^n O and y = Re F - Im F.
        const float ar = zr[n & 127];
        const float ai = zi[n & 127];
        const float br = zr[(128 - n) & 127];
        const float bi = -zi[(128 - n) & 127];
        const float er = 0.5f * (ar + br);
        const float ei = 0.5f * (ai + bi);
        const float or_ = 0.5f * (ai - bi);
        const float oi = -0.5f * (ar - br);
        const float wr = twiddles[n].real();
        const float wi = twiddles[n].imag();
        const float fr = er + wr * or_ - wi * oi;
        const float fi = ei + wr * oi + wi * or_;
        out[(n + 128) & 255] = fr - fi;
    }
}

void software_imbe_decoder::decode_tap(int L, int, float w0, const int* v, const float* mu)
{
    L = std::clamp(L, 1, maxHarmonics);
    w0 = std::isfinite(w0) ? std::clamp(w0, 0.001f, pi) : 0.001f;
    L_new_ = L;
    w0_new_ = w0;
    Slot& slot = slots_[new_];
    for (int l = 1; l <= maxHarmonics; ++l) {
        const bool present = l <= L;
        const float m = present ? mu[l - 1] : 0.0f;
        slot.M[l] = std::isfinite(m) ? std::abs(m) : 0.0f;
        slot.voiced[l] = present && v[l - 1] != 0 ? 1 : 0;
    }

    float SE = 0.0f;
    enhance_spectral_amplitudes(SE);
    adaptive_smoothing(SE, 0.0f, 0.0f);
    synth_unvoiced();
    synth_voiced();

    auto& out = audio();
    for (int n = 0; n < 160; ++n) {
        float x = 4.0f * voiced_[n] + unvoiced_[n];
        if (std::isnan(x))
            x = 0.0f;
        else if (std::abs(x) >= 32768.0f)
            x = x < 0.0f ? -32767.0f : 32767.0f;
        out.push_back(x);
    }

    L_old_ = L_new_;
    w0_old_ = w0_new_;
    std::swap(old_, new_);
}

void software_imbe_decoder::enhance_spectral_amplitudes(float& SE)
{
    Slot& slot = slots_[new_];
    const int L = L_new_;
    const double w0 = w0_new_;
    double R0 = 0.0;
    double R1 = 0.0;
    for (int l = 1; l <= L; ++l) {
        const double m2 = static_cast<double>(slot.M[l]) * slot.M[l];
        R0 += m2;
        R1 += m2 * std::cos(w0 * l);
    }
    const double denominator = w0 * R0 * (R0 * R0 - R1 * R1);
    for (int l = 1; l <= L; ++l) {
        const float M = slot.M[l];
        if (8 * l <= L || !(denominator > 0.0)) {
            slot.Mbar[l] = M;
            continue;
        }
        const double numerator = 0.96 * std::numbers::pi * (R0 * R0 + R1 * R1 - 2.0 * R0 * R1 * std::cos(w0 * l));
        const double W = std::sqrt(static_cast<double>(M)) * std::pow(numerator / denominator, 0.25);
        slot.Mbar[l] = W > 1.2 ? 1.2f * M : (W < 0.5 ? 0.5f * M : static_cast<float>(W * M));
    }
    double enhanced = 0.0;
    for (int l = 1; l <= L; ++l)
        enhanced += static_cast<double>(slot.Mbar[l]) * slot.Mbar[l];
    if (enhanced > 0.0) {
        const float scale = static_cast<float>(std::sqrt(R0 / enhanced));
        for (int l = 1; l <= L; ++l)
            slot.Mbar[l] *= scale;
    }
    for (int l = L + 1; l <= maxHarmonics; ++l)
        slot.Mbar[l] = 0.0f;
    SE = std::max(10000.0f, 0.95f * SE + 0.05f * static_cast<float>(R0));
}

void software_imbe_decoder::adaptive_smoothing(float, float, float)
{
    // With no error rates (no channel error information) smoothing only bounds the total
    // amplitude, keeping a garbled loud frame from blasting.
    Slot& slot = slots_[new_];
    float A = 0.0f;
    for (int l = 1; l <= L_new_; ++l)
        A += slot.Mbar[l];
    if (A >= 20480.0f) {
        const float scale = 20480.0f / A;
        for (int l = 1; l <= L_new_; ++l)
            slot.Mbar[l] *= scale;
    }
}

void software_imbe_decoder::synth_unvoiced()
{
    // Noise for this frame: the last 51 values of the previous window start the new one.
    std::copy(u_.begin() + 160, u_.begin() + 211, u_.begin());
    for (std::size_t i = 51; i < u_.size(); ++i)
        u_[i] = next_u(u_[i - 1]);

    const Slot& slot = slots_[new_];
    const int L = L_new_;
    const double w0 = w0_new_;
    std::array<int, maxHarmonics + 2> edge{}; // edge[l] = a_l, edge[l + 1] = b_l
    edge[1] = std::min(129, static_cast<int>(std::ceil(w0 * 20.371832715762604)));
    for (int l = 1; l <= L; ++l)
        edge[l + 1] = std::min(129, static_cast<int>(std::ceil(w0 * (l + 0.5) * 40.74366543152521)));

    std::array<float, 129> Ure{};
    std::array<float, 129> Uim{};
    bool anyUnvoiced = false;
    for (int l = 1; l <= L && !anyUnvoiced; ++l)
        anyUnvoiced = slot.voiced[l] == 0 && edge[l + 1] > edge[l];
    if (anyUnvoiced) {
        std::array<float, 256> nr{};
        std::array<float, 256> ni{};
        for (int n = -105; n <= 105; ++n)
            nr[(n + 256) & 255] = wsTable[n + 105] * static_cast<float>(u_[n + 105]);
        transform<256>(nr.data(), ni.data());
        for (int l = 1; l <= L; ++l) {
            const int a = edge[l];
            const int b = edge[l + 1];
            if (slot.voiced[l] != 0 || b <= a)
                continue;
            double energy = 0.0;
            for (int m = a; m < b; ++m)
                energy += static_cast<double>(nr[m]) * nr[m] + static_cast<double>(ni[m]) * ni[m];
            energy /= b - a;
            if (!(energy > 0.0))
                continue;
            const float scale = static_cast<float>(0.91652 * slot.Mbar[l] / std::sqrt(energy));
            for (int m = a; m < b; ++m) {
                Ure[m] = nr[m] * scale;
                Uim[m] = ni[m] * scale;
            }
        }
    }
    // Bins 0 and 128 are real in a real signal.
    Uim[0] = 0.0f;
    Uim[128] = 0.0f;

    std::array<float, 256> y{};
    ifft(Ure.data(), Uim.data(), y.data());
    // y(n) sits at y[n + 128]: the previous transform's centre half joins this one's start.
    for (int n = 0; n <= 55; ++n)
        unvoiced_[n] = previousY_[n + 128];
    for (int n = 56; n <= 104; ++n)
        unvoiced_[n] = woaaTable[n] * (wsTable[n + 105] * previousY_[n + 128] + wsTable[n - 160 + 105] * y[n - 160 + 128]);
    for (int n = 105; n <= 159; ++n)
        unvoiced_[n] = y[n - 160 + 128];
    previousY_ = y;
}

void software_imbe_decoder::synth_voiced()
{
    psi_ = std::remainder(psi_ + 80.0f * (w0_old_ + w0_new_), 2.0f * pi);
    Slot& fresh = slots_[new_];
    const Slot& old = slots_[old_];
    const int Lmax = std::max(L_new_, L_old_);
    for (int l = 1; l <= Lmax; ++l)
        fresh.phase[l] = static_cast<float>(l) * psi_;

    voiced_.fill(0.0f);
    const double wNew = w0_new_;
    const double wOld = w0_old_;
    const bool steady = std::abs(w0_new_ - w0_old_) < 0.1f * w0_new_;
    HarmonicBank fading;  // the old frame's harmonics, windowed out over n = 0..105
    HarmonicBank rising;  // the new frame's, windowed in over n = 56..159
    for (int l = 1; l <= Lmax; ++l) {
        const double mNew = l <= L_new_ ? fresh.Mbar[l] : 0.0;
        const double mOld = l <= L_old_ ? old.Mbar[l] : 0.0;
        const bool vNew = l <= L_new_ && fresh.voiced[l] != 0;
        const bool vOld = l <= L_old_ && old.voiced[l] != 0;
        if (vNew && vOld && l < 8 && steady) {
            double dphi = fresh.phase[l] - old.phase[l] - (wNew + wOld) * l * 80.0;
            dphi -= 2.0 * std::numbers::pi * std::floor((dphi + std::numbers::pi) / (2.0 * std::numbers::pi));
            const double domega = dphi * 0.00625;
            addGlide(voiced_.data(), mOld, 0.00625 * (mNew - mOld), old.phase[l], wOld * l + domega,
                     l * (wNew - wOld) * 0.003125);
            continue;
        }
        if (vOld)
            fading.add(mOld, old.phase[l], wOld * l);
        if (vNew)
            rising.add(mNew, fresh.phase[l] + wNew * l * (56 - 160), wNew * l);
    }
    fading.render(voiced_.data(), 0, 105, 0);
    rising.render(voiced_.data(), 56, 159, -160);
}

} // namespace halvane
