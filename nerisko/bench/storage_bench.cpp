// The five-minute callback of the trend storage with 48 loads on one voltage
// set, on the files under a temporary METER_ROOT (the build machine's disk):
// a day's first record (new files, headers) and its last (each file holds
// 287 records that the backup copies). The processing thread runs the
// callback, and its rings hold 5 s of samples.

#include <benchmark/benchmark.h>

#include "nerisko/storage.h"
#include "meter/host.h"

#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr time_t kStart = 1773187200;  // a UTC midnight

struct Root {
    std::string path;
    Root() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "storage-bench-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            std::abort();
        }
        path = tmpl;
        ::setenv("METER_ROOT", path.c_str(), 1);
        meter::host::reset();
    }
    ~Root() {
        meter::host::reset();
        std::filesystem::remove_all(path);
    }
};

void BM_FiveMinutes48Loads(benchmark::State &state) {
    const int64_t records_before = state.range(0);
    setlogmask(LOG_UPTO(LOG_WARNING));
    Root root;
    auto map = std::make_unique<mapping>();
    std::memset(map.get(), 0, sizeof *map);
    auto result = std::make_unique<data_set_t>();
    std::memset(result.get(), 0, sizeof *result);
    processing_set_t ps{};
    for (uint32_t k = 0; k < 48; ++k) {
        result->sets_i[k].load_id = k;
        ps.isets[k] = &map->sets_i[k];
    }
    event_data_t ev{&ps, result.get()};
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove_all(root.path + "/data");
        meter::host::clock_set(kStart);
        storage_init(map.get());
        for (int64_t n = 0; n < records_before; ++n) {
            meter::host::clock_set(kStart + 300 * (n + 1));
            storage_store_five_minutes(&ev);
        }
        meter::host::clock_set(kStart + 300 * (records_before + 1));
        state.ResumeTiming();
        storage_store_five_minutes(&ev);
    }
    meter::host::clock_release();
}
BENCHMARK(BM_FiveMinutes48Loads)->Arg(0)->Arg(287)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
