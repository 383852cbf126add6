// Round trips of blocking operations to the velsard stand-in on a private
// bus: what a program pays per call (run by hand from the release build).
#include <benchmark/benchmark.h>

#include <cstring>

#include "arvent.h"
#include "test_bus.h"

namespace {

struct Cycle {
    Cycle() {
        velsard_testing::TestBus::get().start_velsard();
        if (arvent_init(nullptr, nullptr) != 1)
            std::abort();
    }
    ~Cycle() {
        arvent_cleanup();
        velsard_testing::TestBus::get().stop_velsard();
    }
};

void BM_NumChannelsGet(benchmark::State &state) {
    Cycle cycle;
    uint32_t n = 0;
    for (auto _ : state) {
        if (ipc_num_channels_get(&n) != 1)
            state.SkipWithError("call failed");
    }
}
BENCHMARK(BM_NumChannelsGet);

void BM_MappingGet(benchmark::State &state) {
    Cycle cycle;
    mapping m;
    std::memset(&m, 0, sizeof m);
    for (auto _ : state) {
        if (arvent_get(&m) != 1)
            state.SkipWithError("call failed");
    }
}
BENCHMARK(BM_MappingGet);

void BM_MappingSet(benchmark::State &state) {
    Cycle cycle;
    mapping m;
    std::memset(&m, 0, sizeof m);
    arvent_get(&m);
    for (auto _ : state) {
        if (arvent_set(&m) != 1)
            state.SkipWithError("call failed");
    }
}
BENCHMARK(BM_MappingSet);

void BM_InitCleanupCycle(benchmark::State &state) {
    velsard_testing::TestBus::get().start_velsard();
    for (auto _ : state) {
        if (arvent_init(nullptr, nullptr) != 1)
            state.SkipWithError("init failed");
        arvent_cleanup();
    }
    velsard_testing::TestBus::get().stop_velsard();
}
BENCHMARK(BM_InitCleanupCycle);

}  // namespace

BENCHMARK_MAIN();
