// The meter's writes to /data, through the components that make them, on
// files under a temporary METER_ROOT (in /dev/shm where there is one, so that
// the build machine's disk does not set the pace of a simulated day).
//
// BM_FiveMinutes48Loads: the writes of one five-minute result with 48 loads
// on one voltage set, a day's first (new files, headers) and its last (each
// file holds 287 records), made by the caller.
//
// BM_Day: a simulated day with 4 loads (one voltage set) or 48 loads (two
// sets of 24): the energy saves of 86400 closed seconds per set, the demand
// file of 1440 minutes per set and the trend records of 288 five-minute
// results per set. Counters: bytes written and syncs (fsync of a file or a
// folder) per day, for each kind of file, from the host model's counts.
//
// BM_ProcessingWait48Loads: the same calls of the processing thread with the
// file writer running and a slow flash of 20 ms per fsync, for 15 simulated
// minutes of 48 loads (as fast as the calls go); counter: the longest time
// one call kept the processing thread, in ms.

#include <benchmark/benchmark.h>

#include "nerisko/agg.h"
#include "nerisko/agg_internal.h"
#include "nerisko/stats.h"
#include "nerisko/storage.h"
#include "nerisko/writer.h"
#include "meter/host.h"

#include <syslog.h>

#include <algorithm>
#include <chrono>
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
        const std::filesystem::path base =
            std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
        std::string tmpl = (base / "storage-bench-XXXXXX").string();
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

// A mapping and one result per voltage set with `loads` loads in all.
struct Meter {
    std::unique_ptr<mapping> map = std::make_unique<mapping>();
    std::unique_ptr<data_set_t> result[2] = {std::make_unique<data_set_t>(), std::make_unique<data_set_t>()};
    processing_set_t ps[2]{};
    uint32_t sets = 1;
    explicit Meter(uint32_t loads) {
        std::memset(map.get(), 0, sizeof *map);
        sets = loads > 24 ? 2 : 1;
        const uint32_t per_set = loads / sets;
        for (uint32_t s = 0; s < sets; ++s) {
            std::memset(result[s].get(), 0, sizeof *result[s]);
            result[s]->set = s;
            for (uint32_t k = 0; k < per_set; ++k) {
                const uint32_t id = s * per_set + k;
                result[s]->sets_i[k].load_id = id;
                result[s]->sets_i[k].i[0].w.value = 1000.0f;
                ps[s].isets[k] = &map->sets_i[id];
            }
        }
    }
    // The calls of one closed second of set s at second t of the day.
    void second(uint32_t s, int64_t t) {
        avg_buf_t &a = five_cycle_avg_buf[s];
        a.data.sets_i[0].p.wh.value += 1.0;
        agg_energy_second_closed(&a, s);
        if (t % 60 == 59) {
            result[s]->ts_begin = static_cast<uint64_t>(t) * 200000000ull + 1;
            result[s]->ts_end = result[s]->ts_begin + 60ull * 200000000ull;
            event_data_t ev{&ps[s], result[s].get()};
            stats_collect_demand(&ev);
        }
        if (t % 300 == 299) {
            event_data_t ev{&ps[s], result[s].get()};
            storage_store_five_minutes(&ev);
        }
    }
};

enum Kind { energy, demand, trends };

Kind kind_of(const std::string &path) {
    if (path.rfind("/data/stats_set_", 0) == 0) {
        return demand;
    }
    if (path.rfind("/data/set_", 0) == 0) {
        return trends;
    }
    return energy;  // the energy files and /data, which only their saves sync
}

void BM_Day(benchmark::State &state) {
    const auto loads = static_cast<uint32_t>(state.range(0));
    setlogmask(LOG_UPTO(LOG_WARNING));
    Root root;
    uint64_t bytes[3] = {};
    uint64_t syncs[3] = {};
    for (auto _ : state) {
        std::filesystem::remove_all(root.path + "/data");
        meter::host::reset();
        meter::host::clock_set(kStart);
        Meter meter(loads);
        agg_forget_failed_saves();
        agg_init();
        stats_init();
        storage_init(meter.map.get());
        meter::host::io_clear();
        for (int64_t t = 0; t < 86400; ++t) {
            meter::host::clock_set(kStart + t + 1);
            for (uint32_t s = 0; s < meter.sets; ++s) {
                meter.second(s, t);
            }
        }
        std::fill(std::begin(bytes), std::end(bytes), 0);
        std::fill(std::begin(syncs), std::end(syncs), 0);
        for (const auto &[path, io] : meter::host::io_counts()) {
            bytes[kind_of(path)] += io.bytes;
            syncs[kind_of(path)] += io.syncs;
        }
    }
    state.counters["energy_MB"] = static_cast<double>(bytes[energy]) / 1e6;
    state.counters["demand_MB"] = static_cast<double>(bytes[demand]) / 1e6;
    state.counters["trends_MB"] = static_cast<double>(bytes[trends]) / 1e6;
    state.counters["all_MB"] = static_cast<double>(bytes[energy] + bytes[demand] + bytes[trends]) / 1e6;
    state.counters["energy_syncs"] = static_cast<double>(syncs[energy]);
    state.counters["demand_syncs"] = static_cast<double>(syncs[demand]);
    state.counters["trends_syncs"] = static_cast<double>(syncs[trends]);
    state.counters["all_syncs"] = static_cast<double>(syncs[energy] + syncs[demand] + syncs[trends]);
    meter::host::clock_release();
    agg_forget_failed_saves();
}
BENCHMARK(BM_Day)->Arg(4)->Arg(48)->Unit(benchmark::kSecond)->Iterations(1);

void BM_ProcessingWait48Loads(benchmark::State &state) {
    setlogmask(LOG_UPTO(LOG_WARNING));
    Root root;
    double longest_ms = 0.0;
    for (auto _ : state) {
        std::filesystem::remove_all(root.path + "/data");
        meter::host::reset();
        meter::host::clock_set(kStart);
        Meter meter(48);
        agg_forget_failed_saves();
        writer_start();
        agg_init();
        stats_init();
        storage_init(meter.map.get());
        meter::host::slow_flash(20, 0);
        for (int64_t t = 0; t < 900; ++t) {
            meter::host::clock_set(kStart + t + 1);
            for (uint32_t s = 0; s < meter.sets; ++s) {
                const auto begin = std::chrono::steady_clock::now();
                meter.second(s, t);
                const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - begin;
                longest_ms = std::max(longest_ms, took.count());
            }
        }
        state.PauseTiming();
        writer_stop();  // what the flash still owes is not the processing thread's wait
        meter::host::slow_flash(0, 0);
        state.ResumeTiming();
    }
    state.counters["longest_wait_ms"] = longest_ms;
    meter::host::clock_release();
    agg_forget_failed_saves();
}
BENCHMARK(BM_ProcessingWait48Loads)->Unit(benchmark::kSecond)->Iterations(1);

void BM_FiveMinutes48Loads(benchmark::State &state) {
    const int64_t records_before = state.range(0);
    setlogmask(LOG_UPTO(LOG_WARNING));
    Root root;
    Meter meter(48);
    // All 48 on one voltage set.
    for (uint32_t k = 0; k < 48; ++k) {
        meter.result[0]->sets_i[k].load_id = k;
        meter.result[0]->ts_end = 1;
        meter.ps[0].isets[k] = &meter.map->sets_i[k];
    }
    event_data_t ev{&meter.ps[0], meter.result[0].get()};
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove_all(root.path + "/data");
        meter::host::clock_set(kStart);
        storage_init(meter.map.get());
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
