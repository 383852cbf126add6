#pragma once
// Test signals, rings and reference values computed without the library:
// closed forms and brute-force long-double sums.

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "haldor/haldor.h"

namespace haldor_test {

constexpr double kRate = HLD_NOMINAL_SAMPLE_RATE;
constexpr uint32_t kWindow = 2048;
constexpr long double kPiL = 3.141592653589793238462643383279502884L;

// x(t) = amplitude * cos(2 pi freq t + phase), t in seconds from sample 0.
struct Tone {
    long double freq;
    long double amplitude;
    long double phase;
};

struct Signal {
    std::vector<Tone> tones;
    long double dc = 0;
    long double noise_rms = 0;  // white Gaussian, fixed seed
    uint32_t seed = 1;

    // Samples first .. first + count - 1 at the given rate.
    std::vector<float> render(uint32_t count, double rate, uint64_t first = 0) const {
        std::mt19937_64 gen(seed + first);
        std::normal_distribution<double> noise(0.0, 1.0);
        std::vector<float> out(count);
        for (uint32_t i = 0; i < count; ++i) {
            long double t = static_cast<long double>(first + i) / rate;
            long double v = dc;
            for (const Tone &tone : tones) {
                v += tone.amplitude * std::cos(2 * kPiL * tone.freq * t + tone.phase);
            }
            if (noise_rms > 0) {
                v += noise_rms * noise(gen);
            }
            out[i] = static_cast<float>(v);
        }
        return out;
    }

    // RMS without the DC, over whole periods of every tone, noise included.
    long double ac_rms() const {
        long double ms = noise_rms * noise_rms;
        for (const Tone &tone : tones) {
            ms += tone.amplitude * tone.amplitude / 2;
        }
        return std::sqrt(ms);
    }
};

// A ring of float samples owned by the test. Not copyable: cursors point at
// its cb_t.
class Ring {
public:
    explicit Ring(uint32_t size) : storage_(size, 0.0f) { cb_ = {storage_.data(), size}; }
    Ring(const Ring &) = delete;
    Ring &operator=(const Ring &) = delete;

    // Writes samples from ring position `start` on, wrapping at the end.
    void write(uint32_t start, const std::vector<float> &samples) {
        for (size_t i = 0; i < samples.size(); ++i) {
            storage_[(start + i) % storage_.size()] = samples[i];
        }
    }
    std::vector<float> read(uint32_t start, uint32_t count) const {
        std::vector<float> out(count);
        for (uint32_t i = 0; i < count; ++i) {
            out[i] = storage_[(start + i) % storage_.size()];
        }
        return out;
    }
    cbi_t cursor(uint32_t pos) { return {&cb_, storage_.data() + pos}; }
    float *at(uint32_t pos) { return storage_.data() + pos; }
    uint32_t size() const { return static_cast<uint32_t>(storage_.size()); }

private:
    std::vector<float> storage_;
    cb_t cb_{};
};

inline long double mean_of(const std::vector<float> &x) {
    long double s = 0;
    for (float v : x) {
        s += v;
    }
    return s / x.size();
}

inline long double mean_square_of(const std::vector<float> &x) {
    long double s = 0;
    for (float v : x) {
        s += static_cast<long double>(v) * v;
    }
    return s / x.size();
}

// The periodic Hann window, in long double.
inline long double hann(uint32_t i, uint32_t n) { return 0.5L - 0.5L * std::cos(2 * kPiL * i / n); }

// DFT of x at one (possibly fractional) bin, summed in long double.
inline std::complex<long double> dft_at(const std::vector<float> &x, long double bin) {
    std::complex<long double> sum = 0;
    const auto n = static_cast<long double>(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        long double arg = -2 * kPiL * bin * static_cast<long double>(i) / n;
        sum += static_cast<long double>(x[i]) * std::complex<long double>(std::cos(arg), std::sin(arg));
    }
    return sum;
}

// Difference of two angles, wrapped into -pi .. pi.
inline double angle_diff(double a, double b) { return std::remainder(a - b, 2.0 * static_cast<double>(kPiL)); }

// Sets up the window, FFT and fundamental kernels for one test.
struct SpectrumKernels {
    SpectrumKernels() {
        ok = hld_hanning_setup(kWindow) && hld_fft_setup(kWindow) && hld_frequency_phase_setup(kWindow);
    }
    ~SpectrumKernels() {
        hld_fft_clean();
        hld_hanning_clean();
        hld_frequency_phase_clean();
    }
    SpectrumKernels(const SpectrumKernels &) = delete;
    SpectrumKernels &operator=(const SpectrumKernels &) = delete;

    // Window and FFT of the 2048 samples from the cursor.
    std::vector<hld_complex_t> spectrum(const cbi_t &cursor) {
        std::vector<float> windowed(kWindow);
        std::vector<hld_complex_t> out(kWindow / 2 + 1);
        hld_hanning_calc(&cursor, windowed.data());
        hld_fft_calc(windowed.data(), out.data());
        return out;
    }
    bool ok = false;
};

}  // namespace haldor_test
