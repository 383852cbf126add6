// CPU cost of the block copy: one DDR half (32 blocks of 64 sample instants)
// calibrated into the channel rings, for the 48-CT front end (54 channels)
// and the smaller ones. One second of samples is 12019.53 / 2048 = 5.87
// halves, so the time per second is the time per half times 5.87.
// Run by hand from the release build: build/release/nerisko/acquisition_bench

#include <benchmark/benchmark.h>

#include "nerisko/acquisition.h"
#include "nerisko/cal.h"
#include "nerisko/frontend.h"

#include <syslog.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr double kHalvesPerSecond = 12019.53125 / 2048.0;

std::vector<pru_block_t> make_half() {
    std::vector<pru_block_t> half(32);
    uint32_t seed = 1;
    uint32_t tick = 0x10000000u;
    for (pru_block_t &b : half) {
        for (uint32_t s = 0; s < SAMPLES_PER_BLOCK; ++s) {
            b.ts[s] = tick += 16639;
            for (auto &adc : b.adc) {
                adc.status[s] = 0x00C00000u;
                for (auto &row : adc.raw) {
                    seed = seed * 1664525u + 1013904223u;
                    row[s] = static_cast<int32_t>(seed) >> 9;  // a 23-bit signed count
                }
            }
        }
    }
    return half;
}

void BM_CopyHalf(benchmark::State &state) {
    setlogmask(LOG_UPTO(LOG_WARNING));
    frontend_set(static_cast<uint32_t>(state.range(0)));
    for (uint32_t r = 0; r < CAL_CHANNELS; ++r) {
        cal_array[r] = {1.0f + 0.001f * static_cast<float>(r), 0};
    }
    if (!acquisition_init()) {
        state.SkipWithError("acquisition_init failed");
        return;
    }
    const auto half = make_half();
    for (auto _ : state) {
        acquisition_new_data(half.data(), 32);
        // The reader's part: free what was written, so the rings never fill.
        state.PauseTiming();
        for (uint32_t r = 0; r < num_buf; ++r) {
            if (num_chan != 3 || r < 3 || r > 5) {  // the 3-CT front end has no second voltage set
                acquisition_free_samples(r, 2048);
            }
        }
        state.ResumeTiming();
    }
    state.counters["channels"] = num_chan == 3 ? 6 : num_buf;
    // CPU time spent per second of samples at the nominal rate (shown as a time).
    state.counters["cpu_per_data_second"] = benchmark::Counter(static_cast<double>(state.iterations()) / kHalvesPerSecond,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    acquisition_clean();
}

}  // namespace

BENCHMARK(BM_CopyHalf)->Arg(48)->Arg(12)->Arg(3)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
