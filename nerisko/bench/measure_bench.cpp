// Real-time factor of the measurement chain on one core: seconds of signal
// processed per CPU second, from raw PRU blocks through the block copy into
// the channel rings, five-cycle processing and one-second aggregation, for two
// voltage sets and 48 CTs (16 loads, two of them on flexible sensors).
//
// The halves are written once by the simulated PRU in lock-step (its cost is
// not counted) and then replayed with their tick counters moved on, so the
// chain sees one continuous stream. The shares of the three stages come from
// the thread's CPU clock around each stage. The outputs of a closed second
// are suspended here.
//
// BM_ChainWithOutputs adds what a closed second drives: energy registers and
// their energy-file save once a minute, minute and five-minute results, demand with
// its file, the result nodes and the live data. It counts wall time, so the
// disk's fsyncs count too. BM_EnergySave is one save of one set's energy
// file (backup, flag, file, flag) on the disk under the temporary folder.
//
// Run by hand from the release build: build/release/nerisko/measure_bench
// (x_realtime is the factor; share_* the stages in percent).

#include <benchmark/benchmark.h>

#include "../test/sim_chain.h"
#include "nerisko/agg.h"
#include "nerisko/dev.h"
#include "nerisko/live_data.h"
#include "nerisko/stats.h"
#include "nerisko/cal.h"
#include "nerisko/event.h"
#include "nerisko/frontend.h"
#include "nerisko/processing.h"
#include "meter/host.h"

#include <syslog.h>
#include <time.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr unsigned kHalves = 60;  // 10.2 s of signal per replay

uint64_t cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t agg_ns = 0;
void timed_aggregation(event_data_t *ev) {
    const uint64_t t0 = cpu_ns();
    agg_collect_one_second(ev);
    agg_ns += cpu_ns() - t0;
}

struct Root {
    std::string path;
    Root() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "measure-bench.XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            std::abort();
        }
        path = tmpl;
        ::setenv("METER_ROOT", path.c_str(), 1);
        meter::host::reset();
    }
    ~Root() {
        meter::host::reset();
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

void meter(prusim::Config *c, mapping *m) {
    constexpr double kDeg = std::numbers::pi / 180.0;
    for (uint32_t s = 0; s < 2; ++s) {
        m->sets_u[s].id = s;
        m->sets_u[s].active = true;
        m->sets_u[s].pt_ratio = 1.0;
        for (uint32_t j = 0; j < 3; ++j) {
            const uint32_t ch = 3 * s + j;
            m->sets_u[s].u[j] = {ch, true, {}};
            prusim::ChannelScenario &v = c->channels[ch];
            v.amplitude = 325.0;
            v.phase_rad = -120.0 * kDeg * j;
            v.harmonics = {{5, 10.0, 0.2}};
            v.noise_rms = 0.02;
        }
    }
    for (uint32_t l = 0; l < 16; ++l) {
        mapping_i_set &load = m->sets_i[l];
        load.id = l + 1;
        load.u_set_id = l < 8 ? 0 : 1;
        load.active = true;
        const bool flexible = l == 7 || l == 15;
        for (uint32_t j = 0; j < 3; ++j) {
            mapping_i_channel &ct = load.i[j];
            ct.channel = 6 + 3 * l + j;
            ct.active = true;
            ct.ct_type = flexible ? 6 : 9;
            ct.rated_current = 100.0;
            ct.rated_mv = 333.0;
            prusim::ChannelScenario &i = c->channels[ct.channel];
            i.amplitude = 10.0 + 5.0 * l;
            i.phase_rad = c->channels[3 * load.u_set_id + j].phase_rad - (10.0 + 10.0 * (l % 8)) * kDeg;
            i.harmonics = {{3, i.amplitude * 0.05, 0.4}};
            i.noise_rms = 0.01;
            c->calibration[ct.channel].counts_to_unit = ct_scale(&ct);
        }
    }
}

void chain(benchmark::State &state, bool outputs) {
    setlogmask(LOG_UPTO(LOG_WARNING));
    Root root;
    frontend_set(48);
    for (cal_entry_t &e : cal_array) {
        e = {1.0f, 0};
    }
    prusim::Config config;
    static mapping map;
    std::memset(&map, 0, sizeof map);
    meter(&config, &map);

    // The raw halves, once.
    std::vector<pru_block_t> halves(kHalves * prusim::kBlocksPerHalf);
    uint32_t span = 0;
    {
        if (!acquisition_init()) {
            state.SkipWithError("acquisition_init failed");
            return;
        }
        sim_chain::Feeder feeder;
        if (!feeder.open(config)) {
            state.SkipWithError("simulated PRU set-up failed");
            return;
        }
        for (unsigned h = 0; h < kHalves; ++h) {
            if (!feeder.write_half()) {
                state.SkipWithError("step failed");
                return;
            }
            std::memcpy(&halves[h * prusim::kBlocksPerHalf], feeder.last_half(),
                        prusim::kBlocksPerHalf * sizeof(pru_block_t));
            // Nobody reads while writing: empty the rings again.
            acquisition_flush();
        }
        span = prusim::sample_ticks(uint64_t{kHalves} * prusim::kSamplesPerHalf) - prusim::sample_ticks(0);
        acquisition_clean();
    }

    if (!acquisition_init() || !processing_init()) {
        state.SkipWithError("set-up failed");
        return;
    }
    std::filesystem::create_directories(root.path + "/data");
    agg_init();
    event_register(timed_aggregation, EVENT_FIVE_CYCLE);
    // What a closed second drives (energy registers and their durable file
    // save, pulse output) is BM_ChainWithOutputs' part: the save's file
    // creations and fsyncs every second would otherwise be most of the
    // aggregation here, and a wait.
    agg_outputs_suspend(!outputs);
    if (outputs) {
        stats_init();
        live_data_init();
        if (dev_init() == 0) {
            state.SkipWithError("dev_init failed");
            return;
        }
        dev_update_mapping(&map);
        event_register(dev_update, EVENT_ONE_SECOND);
        event_register(agg_collect_one_minute, EVENT_ONE_SECOND);
        event_register(agg_collect_five_minutes, EVENT_MINUTE);
        event_register(stats_collect_demand, EVENT_MINUTE);
        event_register(live_data_update, EVENT_ONE_SECOND);
    }
    if (!processing_start_offline(&map)) {
        state.SkipWithError("processing_start_offline failed");
        return;
    }
    uint64_t acq_ns = 0;
    uint64_t pass_ns = 0;
    agg_ns = 0;
    uint64_t replays = 0;
    for (auto _ : state) {
        if (replays > 0) {
            state.PauseTiming();
            for (pru_block_t &b : halves) {
                for (uint32_t &t : b.ts) {
                    t += span;
                }
            }
            state.ResumeTiming();
        }
        for (unsigned h = 0; h < kHalves; ++h) {
            const uint64_t t0 = cpu_ns();
            acquisition_new_data(&halves[h * prusim::kBlocksPerHalf], prusim::kBlocksPerHalf);
            const uint64_t t1 = cpu_ns();
            while (processing_pass()) {
            }
            acq_ns += t1 - t0;
            pass_ns += cpu_ns() - t1;
        }
        ++replays;
    }
    const double seconds_of_signal =
        static_cast<double>(replays) * kHalves * prusim::kSamplesPerHalf / prusim::sample_rate();
    state.counters["x_realtime"] = benchmark::Counter(seconds_of_signal, benchmark::Counter::kIsRate);
    state.counters["sample_rate"] = prusim::sample_rate();
    const double total = static_cast<double>(acq_ns + pass_ns);
    state.counters["share_acquisition_pct"] = 100.0 * static_cast<double>(acq_ns) / total;
    state.counters["share_processing_pct"] = 100.0 * static_cast<double>(pass_ns - agg_ns) / total;
    state.counters["share_aggregation_pct"] = 100.0 * static_cast<double>(agg_ns) / total;
    state.counters["dropped_blocks"] = static_cast<double>(acquisition_dropped_blocks());
    processing_cleanup();
    event_cleanup();
    dev_cleanup();
    agg_outputs_suspend(false);
}

void BM_Chain(benchmark::State &state) { chain(state, false); }
void BM_ChainWithOutputs(benchmark::State &state) { chain(state, true); }

void BM_EnergySave(benchmark::State &state) {
    setlogmask(LOG_UPTO(LOG_WARNING));
    Root root;
    std::filesystem::create_directories(root.path + "/data");
    static avg_buf_t a;
    for (auto _ : state) {
        a.data.sets_i[0].p.wh.value += 1.0;
        if (!agg_save_energy(&a, 0)) {
            state.SkipWithError("save failed");
            return;
        }
    }
}

}  // namespace

BENCHMARK(BM_Chain)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_ChainWithOutputs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EnergySave)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
