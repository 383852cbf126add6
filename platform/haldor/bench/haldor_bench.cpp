// Cost of the maths chain on one channel at the front end's sample rate.
//
// One five-cycle window: Hann window and FFT of 2048 samples, fundamental
// frequency, fundamental and harmonic RMS and phase, the five-cycle sample
// count and the mean square over it. The pieces are timed separately too.
// Run by hand from the release build: build/release/platform/haldor/haldor_bench

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "haldor/haldor.h"

namespace {

constexpr double kRate = HLD_NOMINAL_SAMPLE_RATE;
constexpr uint32_t kWindow = 2048;
constexpr uint32_t kRing = 60000;

// A 50.1 Hz voltage with a 10 % third and 5 % fifth harmonic, an offset and
// a little noise, in a full-size ring whose window crosses the end.
struct Channel {
    Channel() : storage(kRing) {
        cb = {storage.data(), kRing};
        uint32_t seed = 12345;
        for (uint32_t i = 0; i < kRing; ++i) {
            seed = seed * 1664525u + 1013904223u;
            double t = i / kRate, w = 2 * M_PI * 50.1 * t;
            storage[(i + start) % kRing] = static_cast<float>(
                300000 * std::cos(w) + 30000 * std::cos(3 * w + 1) + 15000 * std::cos(5 * w - 1) + 2000 +
                50.0 * (static_cast<int32_t>(seed >> 8) % 1000) / 1000.0);
        }
        cursor = {&cb, storage.data() + start};
    }
    static constexpr uint32_t start = kRing - 1000;
    std::vector<float> storage;
    cb_t cb{};
    cbi_t cursor{};
};

struct Kernels {
    Kernels() {
        hld_hanning_setup(kWindow);
        hld_fft_setup(kWindow);
        hld_frequency_phase_setup(kWindow);
        hld_flex_setup(kRate, HLD_CHANNELS);
    }
    ~Kernels() {
        hld_hanning_clean();
        hld_fft_clean();
        hld_frequency_phase_clean();
        hld_flex_clean();
    }
    std::vector<float> window = std::vector<float>(kWindow);
    std::vector<hld_complex_t> spectrum = std::vector<hld_complex_t>(kWindow / 2 + 1);
};

void BM_FiveCycleWindow(benchmark::State &state) {
    Kernels k;
    Channel ch;
    for (auto _ : state) {
        hld_hanning_calc(&ch.cursor, k.window.data());
        hld_fft_calc(k.window.data(), k.spectrum.data());
        float f, bin, phase, fund, harm, n;
        hld_fund_frequency_calc(kRate, k.spectrum.data(), &f, &bin);
        hld_fund_rms_phase_calc(kRate, bin, k.spectrum.data(), &phase, &fund, &harm);
        hld_sample_count_calc(f, kRate, 5, &n);
        int64_t m;
        float d;
        hld_rmss_dc_calc(std::floor(n), &ch.cursor, &m, &d);
        benchmark::DoNotOptimize(m);
        benchmark::DoNotOptimize(harm);
    }
}
BENCHMARK(BM_FiveCycleWindow);

void BM_Window(benchmark::State &state) {
    Kernels k;
    Channel ch;
    for (auto _ : state) {
        hld_hanning_calc(&ch.cursor, k.window.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Window);

void BM_Fft(benchmark::State &state) {
    Kernels k;
    Channel ch;
    hld_hanning_calc(&ch.cursor, k.window.data());
    for (auto _ : state) {
        hld_fft_calc(k.window.data(), k.spectrum.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Fft);

void BM_Frequency(benchmark::State &state) {
    Kernels k;
    Channel ch;
    hld_hanning_calc(&ch.cursor, k.window.data());
    hld_fft_calc(k.window.data(), k.spectrum.data());
    for (auto _ : state) {
        float f, bin;
        hld_fund_frequency_calc(kRate, k.spectrum.data(), &f, &bin);
        benchmark::DoNotOptimize(bin);
    }
}
BENCHMARK(BM_Frequency);

void BM_FundamentalAndHarmonics(benchmark::State &state) {
    Kernels k;
    Channel ch;
    hld_hanning_calc(&ch.cursor, k.window.data());
    hld_fft_calc(k.window.data(), k.spectrum.data());
    float f, bin;
    hld_fund_frequency_calc(kRate, k.spectrum.data(), &f, &bin);
    for (auto _ : state) {
        float phase, fund, harm;
        hld_fund_rms_phase_calc(kRate, bin, k.spectrum.data(), &phase, &fund, &harm);
        benchmark::DoNotOptimize(harm);
    }
}
BENCHMARK(BM_FundamentalAndHarmonics);

void BM_FiveCycleMeanSquare(benchmark::State &state) {
    Channel ch;
    const auto n = static_cast<float>(std::floor(5 * kRate / 50.1));
    for (auto _ : state) {
        int64_t m;
        float d;
        hld_rmss_dc_calc(n, &ch.cursor, &m, &d);
        benchmark::DoNotOptimize(m);
    }
}
BENCHMARK(BM_FiveCycleMeanSquare);

void BM_FiveCycleRealPower(benchmark::State &state) {
    Channel a, b;
    const auto n = static_cast<float>(std::floor(5 * kRate / 50.1));
    for (auto _ : state) {
        int64_t p;
        hld_real_power_calc(2000.0f, 2000.0f, n, &a.cursor, &b.cursor, &p);
        benchmark::DoNotOptimize(p);
    }
}
BENCHMARK(BM_FiveCycleRealPower);

// Integrating one five-cycle window's worth of a flexible sensor's samples.
void BM_FlexFiveCycles(benchmark::State &state) {
    Kernels k;
    Channel ch;
    const auto n = static_cast<uint32_t>(5 * kRate / 50.1);
    for (auto _ : state) {
        hld_flex_calc(6, &ch.cursor, n);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FlexFiveCycles);

// One 64-sample block of one channel, as the acquisition calibrates it.
void BM_CalibrateBlock(benchmark::State &state) {
    std::vector<cal_entry_t> cal(HLD_CHANNELS, cal_entry_t{1.0001f, 0});
    hld_calibrate_setup(cal.data(), HLD_CHANNELS);
    Channel ch;
    uint32_t raw[64];
    for (uint32_t i = 0; i < 64; ++i) {
        raw[i] = i * 77777u;
    }
    for (auto _ : state) {
        hld_calibrate_calc(0, raw, 64, &ch.cursor);
        benchmark::ClobberMemory();
    }
    hld_calibrate_clean();
}
BENCHMARK(BM_CalibrateBlock);

}  // namespace

BENCHMARK_MAIN();
