// Cost of writing one DDR half (2048 samples on every channel of the front
// end) in lock-step; a half spans 170.4 ms of signal at 12 019.53 Hz, so the
// simulator keeps up with real time while this stays well below that.

#include <prusim/prusim.h>
#include <prussdrv.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct Board {
    std::string root;
    Board() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "prusim-bench.XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            std::abort();
        }
        root = tmpl;
        ::setenv("METER_ROOT", root.c_str(), 1);
        prusim::reset();
        if (prusim::install() != 0) {
            std::abort();
        }
    }
    ~Board() {
        prussdrv_exit();
        prusim::reset();
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
};

void BM_WriteHalf(benchmark::State &state) {
    Board board;
    prusim::Config config;
    config.num_adcs = static_cast<unsigned>(state.range(0));
    const bool busy = state.range(1) != 0;
    for (unsigned ch = 0; ch < prusim::kChannels; ++ch) {
        prusim::ChannelScenario &s = config.channels[ch];
        s.amplitude = ch < 6 ? 325.0 : 5.0;
        if (busy) {
            s.harmonics = {{3, s.amplitude * 0.05, 0.1}, {5, s.amplitude * 0.03, 0.2},
                           {7, s.amplitude * 0.01, 0.3}};
            s.noise_rms = s.amplitude * 0.001;
            s.steps = {{1.0, 50.1}};
        }
    }
    if (prusim::configure(config) != 0 || prussdrv_init() != 0 ||
        prussdrv_exec_program(0, prusim::kProgramReadData) != 0) {
        state.SkipWithError("set-up failed");
        return;
    }
    for (auto _ : state) {
        if (prusim::step() != 0) {
            state.SkipWithError("step failed");
            break;
        }
    }
    state.counters["samples/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * prusim::kSamplesPerHalf * 6 * config.num_adcs,
        benchmark::Counter::kIsRate);
    state.counters["x_realtime"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * prusim::kSamplesPerHalf / 12019.53,
        benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WriteHalf)
    ->ArgNames({"adcs", "busy"})
    ->Args({1, 0})
    ->Args({3, 0})
    ->Args({9, 0})
    ->Args({9, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
