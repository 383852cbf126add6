// Hann window, FFT, and the fundamental and harmonics of a windowed spectrum.

#include <algorithm>
#include <cmath>
#include <complex>
#include <new>
#include <numbers>
#include <vector>

#include "fft.h"
#include "haldor/haldor.h"
#include "ring.h"

static_assert(sizeof(hld_complex_t) == 2 * sizeof(float) && offsetof(hld_complex_t, r) == 0 &&
                  offsetof(hld_complex_t, i) == sizeof(float),
              "a spectral value is a pair of floats (re, im)");

namespace {

using cd = std::complex<double>;
constexpr double kPi = std::numbers::pi;

std::vector<float> g_window;
haldor::RealFft g_fft;
uint32_t g_freq_n = 0;

// Beyond this distance from the fundamental its leakage into a harmonic's
// lobe is below 1.2e-6 of its amplitude and is not worth subtracting.
constexpr double kLeakageReach = 64.0;

bool length_ok(uint32_t n) { return n >= 16 && n <= HLD_MAX_WINDOW && n % 2 == 0; }

cd bin_value(const hld_complex_t *x, int m) { return {x[m].r, x[m].i}; }

// The DFT of the periodic Hann window at an offset of d bins,
// W(d) = sum w[n] exp(-j 2 pi d n / N), from the closed form of its three
// Dirichlet kernels. Written with d = r + f (r whole, |f| <= 1/2), so that
// sin(pi d) keeps its precision next to whole bins:
//   W(d) = exp(-j pi f) sin(pi f) exp(j t)
//          * (1/2 / sin t - 1/4 exp(-j e) / sin(t - e) - 1/4 exp(j e) / sin(t + e)),
// t = pi d / N, e = pi / N.
cd hann_kernel(double d, double n) {
    const double r = std::nearbyint(d);
    const double f = d - r;
    if (std::fabs(f) < 1e-9) {
        if (r == 0.0) {
            return n / 2;
        }
        return std::fabs(r) == 1.0 ? -n / 4 : 0.0;
    }
    const double t = kPi * d / n;
    const double e = kPi / n;
    const double st = std::sin(t);
    const double ct = std::cos(t);
    const double se = std::sin(e);
    const double ce = std::cos(e);
    const double s_minus = st * ce - ct * se;
    const double s_plus = st * ce + ct * se;
    const cd rot(ce, se);
    const cd bracket = 0.5 / st - 0.25 * std::conj(rot) / s_minus - 0.25 * rot / s_plus;
    return std::polar(std::sin(kPi * f), -kPi * f) * cd(ct, st) * bracket;
}

// The kernel pair W(m - nu), W(m + nu) at whole bins m. Every channel of a
// window is evaluated at the same bin, so the pairs of the last bin are kept
// (per thread) instead of being recomputed with their six sines per bin.
struct KernelPair {
    cd minus;
    cd plus;
};

class KernelCache {
public:
    const KernelPair &at(int m, double nu, double n) {
        select(nu, n);
        if (m < 0 || static_cast<size_t>(m) >= ready_.size()) {
            scratch_ = {hann_kernel(m - nu, n), hann_kernel(m + nu, n)};
            return scratch_;
        }
        const auto k = static_cast<size_t>(m);
        if (!ready_[k]) {
            pairs_[k] = {hann_kernel(m - nu, n), hann_kernel(m + nu, n)};
            ready_[k] = true;
        }
        return pairs_[k];
    }

    // The pairs of bins lo .. hi (0 <= lo, hi <= n/2 + 1), indexed by bin.
    const KernelPair *span(int lo, int hi, double nu, double n) {
        select(nu, n);
        for (int m = lo; m <= hi; ++m) {
            const auto k = static_cast<size_t>(m);
            if (!ready_[k]) {
                pairs_[k] = {hann_kernel(m - nu, n), hann_kernel(m + nu, n)};
                ready_[k] = 1;
            }
        }
        return pairs_.data();
    }

private:
    void select(double nu, double n) {
        if (nu != nu_ || n != n_) {
            nu_ = nu;
            n_ = n;
            ready_.assign(static_cast<size_t>(n / 2) + 2, 0);
            pairs_.resize(ready_.size());
        }
    }

    double nu_ = std::nan("");
    double n_ = 0.0;
    std::vector<unsigned char> ready_;
    std::vector<KernelPair> pairs_;
    KernelPair scratch_;
};

thread_local KernelCache t_kernels;

// Least-squares fit of one real tone at bin nu, seen through the window as
// a W(m - nu) + conj(a) W(m + nu), to bins m0 .. m0 + count - 1.
// a = (amplitude / 2) exp(j phase).
cd fit_tone(const hld_complex_t *x, double nu, int m0, int count, double n) {
    double a11 = 0, a12 = 0, a22 = 0, b1 = 0, b2 = 0;
    for (int m = m0; m < m0 + count; ++m) {
        const KernelPair &w = t_kernels.at(m, nu, n);
        const cd p = w.minus;
        const cd q = w.plus;
        const cd u = p + q;
        const cd v = cd(0, 1) * (p - q);
        const cd xm = bin_value(x, m);
        a11 += std::norm(u);
        a12 += (std::conj(u) * v).real();
        a22 += std::norm(v);
        b1 += (std::conj(u) * xm).real();
        b2 += (std::conj(v) * xm).real();
    }
    const double det = a11 * a22 - a12 * a12;
    if (!(std::fabs(det) > 0.0)) {
        return 0.0;
    }
    return {(b1 * a22 - b2 * a12) / det, (a11 * b2 - a12 * b1) / det};
}

// Fraction of a tone's way from bin k to bin k + 1 whose Hann lobe gives the
// magnitude ratio rho = |X[k+1]| / |X[k]| (the continuous-window shape).
double delta_from_ratio(double rho) { return std::clamp((2.0 * rho - 1.0) / (1.0 + rho), 0.0, 1.0); }
double ratio_from_delta(double delta) { return (1.0 + delta) / (2.0 - delta); }

}  // namespace

extern "C" int hld_hanning_setup(uint32_t n) {
    hld_hanning_clean();
    if (!length_ok(n)) {
        return 0;
    }
    g_window.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
        g_window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * i / n));
    }
    return 1;
}

extern "C" void hld_hanning_clean(void) {
    g_window.clear();
    g_window.shrink_to_fit();
}

extern "C" int hld_hanning_calc(const cbi_t *cursor, float *out) {
    const auto n = static_cast<uint32_t>(g_window.size());
    if (n == 0 || out == nullptr || !haldor::cursor_ok(cursor) || n > cursor->cb->size) {
        return 0;
    }
    const float *w = g_window.data();
    haldor::for_each_run(cursor, n, [&](const float *x, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            out[i] = x[i] * w[i];
        }
        out += count;
        w += count;
    });
    return 1;
}

extern "C" int hld_fft_setup(uint32_t n) {
    hld_fft_clean();
    if (!length_ok(n)) {
        return 0;
    }
    try {
        return g_fft.init(n) ? 1 : 0;
    } catch (const std::bad_alloc &) {
        g_fft.init(0);  // a C caller gets a failed set-up, never an exception
        return 0;
    }
}

extern "C" void hld_fft_clean(void) {
    g_fft.init(0);
}

extern "C" int hld_fft_calc(const float *in, hld_complex_t *spectrum) {
    if (g_fft.size() == 0 || in == nullptr || spectrum == nullptr) {
        return 0;
    }
    g_fft.forward(in, spectrum);
    return 1;
}

extern "C" int hld_frequency_phase_setup(uint32_t n) {
    hld_frequency_phase_clean();
    if (!length_ok(n)) {
        return 0;
    }
    g_freq_n = n;
    return 1;
}

extern "C" void hld_frequency_phase_clean(void) { g_freq_n = 0; }

extern "C" int hld_fund_frequency_calc(double rate, const hld_complex_t *spectrum, float *f, float *bin) {
    if (f == nullptr || bin == nullptr) {
        return 0;
    }
    *f = 0.0f;
    *bin = 0.0f;
    if (g_freq_n == 0 || spectrum == nullptr || !std::isfinite(rate) || rate <= 0.0) {
        return 0;
    }
    const double n = g_freq_n;
    const int half = static_cast<int>(g_freq_n / 2);

    // Bins 0 and 1 hold the DC; the lobe (k - 2 .. k + 3) and the tone fit
    // (k - 1 .. k + 2) of any peak in the search band stay clear of them.
    // Compared as doubles first: at an absurd rate the band's bins lie beyond
    // what an int holds.
    const double band_lo = std::ceil(HLD_FREQ_SEARCH_MIN_HZ * n / rate);
    const double band_hi = std::floor(HLD_FREQ_SEARCH_MAX_HZ * n / rate);
    if (!(band_lo <= half - 4) || !(band_hi >= 4)) {
        return 0;
    }
    const int k_lo = std::max(4, static_cast<int>(band_lo));
    const int k_hi = std::min(half - 4, static_cast<int>(band_hi));
    if (k_lo > k_hi) {
        return 0;
    }
    auto power = [&](int m) { return std::norm(bin_value(spectrum, m)); };
    double ac = 0.0;
    for (int m = 2; m <= half; ++m) {
        ac += power(m);
    }
    int peak = k_lo;
    for (int m = k_lo + 1; m <= k_hi; ++m) {
        if (power(m) > power(peak)) {
            peak = m;
        }
    }
    if (!(ac > 0.0) || power(peak) < power(peak - 1) || power(peak) < power(peak + 1)) {
        return 0;
    }
    double lobe = 0.0;
    for (int m = peak - 2; m <= peak + 2; ++m) {
        lobe += power(m);
    }
    if (lobe < HLD_FREQ_MIN_SHARE * ac) {
        return 0;
    }

    // The tone lies between bin k and k + 1: interpolate on the Hann lobe, then
    // correct for the mirror image and for the discrete kernel's shape.
    const int k = power(peak + 1) >= power(peak - 1) ? peak : peak - 1;
    const double mk = std::abs(bin_value(spectrum, k));
    const double mk1 = std::abs(bin_value(spectrum, k + 1));
    if (!(mk + mk1 > 0.0)) {
        return 0;
    }
    double nu = k + delta_from_ratio(mk1 / mk);
    for (int pass = 0; pass < 3; ++pass) {
        const cd a = fit_tone(spectrum, nu, static_cast<int>(std::floor(nu)) - 1, 4, n);
        const double y0 = std::abs(bin_value(spectrum, k) - std::conj(a) * hann_kernel(k + nu, n));
        const double y1 = std::abs(bin_value(spectrum, k + 1) - std::conj(a) * hann_kernel(k + 1 + nu, n));
        const double model = std::abs(hann_kernel(k + 1 - nu, n)) / std::abs(hann_kernel(k - nu, n));
        if (!(y0 > 0.0) || !std::isfinite(model) || !(model > 0.0)) {
            break;
        }
        const double delta = nu - k;
        nu = k + delta_from_ratio((y1 / y0) * ratio_from_delta(delta) / model);
    }
    const double freq = nu * rate / n;
    if (!std::isfinite(freq) || freq <= 0.0) {
        return 0;
    }
    *f = static_cast<float>(freq);
    *bin = static_cast<float>(nu);
    return 1;
}

extern "C" int hld_fund_rms_phase_calc(double rate, float bin, const hld_complex_t *spectrum, float *phase,
                                       float *rms_fund, float *rms_harm) {
    if (phase == nullptr || rms_fund == nullptr || rms_harm == nullptr) {
        return 0;
    }
    *phase = 0.0f;
    *rms_fund = 0.0f;
    *rms_harm = 0.0f;
    if (g_freq_n == 0 || spectrum == nullptr || !std::isfinite(rate) || rate <= 0.0 || !std::isfinite(bin)) {
        return 0;
    }
    const double n = g_freq_n;
    const int half = static_cast<int>(g_freq_n / 2);
    const double nu = bin;
    // The fit takes bins floor(nu) - 1 .. floor(nu) + 2, clear of the DC bins
    // and within N/2; checked before the bin is turned into an int.
    if (!(nu >= 3.0 && nu < half - 1.0)) {
        return 0;
    }
    const int k0 = static_cast<int>(std::floor(nu));
    const cd a = fit_tone(spectrum, nu, k0 - 1, 4, n);

    // A tone of RMS R puts 3 N^2 R^2 / 16 of energy into its Hann lobe.
    const double energy_to_ms = 16.0 / (3.0 * n * n);
    // Bins within kLeakageReach of the fundamental get its leakage taken out.
    const int reach_lo = std::max(0, static_cast<int>(std::ceil(nu - kLeakageReach)));
    const int reach_hi = std::min(half + 1, static_cast<int>(std::floor(nu + kLeakageReach)));
    const KernelPair *kernels = t_kernels.span(reach_lo, reach_hi, nu, n);
    const double a_r = a.real();
    const double a_i = a.imag();
    double harm_ms = 0.0;
    for (int h = 2; h <= HLD_HARMONIC_MAX; ++h) {
        const int centre = static_cast<int>(std::floor(h * nu));
        if (centre + 3 > half) {
            break;
        }
        // The six bins' energies are summed pairwise rather than in one
        // chain of dependent additions.
        double e[6];
        for (int j = 0; j < 6; ++j) {
            const int m = centre - 2 + j;
            double x_r = spectrum[m].r;
            double x_i = spectrum[m].i;
            if (m >= reach_lo && m <= reach_hi) {
                // x -= a W(m - nu) + conj(a) W(m + nu), written out (std::complex
                // products carry a NaN check on every call).
                const cd &p = kernels[m].minus;
                const cd &q = kernels[m].plus;
                x_r -= (a_r * p.real() - a_i * p.imag()) + (a_r * q.real() + a_i * q.imag());
                x_i -= (a_r * p.imag() + a_i * p.real()) + (a_r * q.imag() - a_i * q.real());
            }
            e[j] = x_r * x_r + x_i * x_i;
        }
        harm_ms += ((e[0] + e[1]) + (e[2] + e[3]) + (e[4] + e[5])) * energy_to_ms;
    }
    const double fund = std::sqrt(2.0) * std::abs(a);
    if (!std::isfinite(fund) || !std::isfinite(harm_ms)) {
        return 0;
    }
    // The fit gives the phase at the first sample; turn it to the middle one.
    *phase = static_cast<float>(std::remainder(std::atan2(a.imag(), a.real()) + kPi * nu, 2.0 * kPi));
    *rms_fund = static_cast<float>(fund);
    *rms_harm = static_cast<float>(std::sqrt(harm_ms));
    return 1;
}

extern "C" float hld_get_default_frequency(void) { return HLD_DEFAULT_FREQUENCY; }

extern "C" float hld_get_default_frequency_bin(double rate) {
    if (!std::isfinite(rate) || rate <= 0.0) {
        return 0.0f;
    }
    const double n = g_freq_n != 0 ? g_freq_n : 2048.0;
    return static_cast<float>(HLD_DEFAULT_FREQUENCY * n / rate);
}
