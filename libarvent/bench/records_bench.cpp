// Cost of converting the channel mapping, the largest record, to and from its
// D-Bus value (done at start-up and on every NewMapping signal).
#include "arvent.h"

#include <benchmark/benchmark.h>
#include <glib.h>

#include <cstdio>
#include <cstring>

namespace {

mapping sample_mapping() {
    mapping m;
    std::memset(&m, 0, sizeof m);
    m.version = 3;
    for (uint32_t k = 0; k < MAPPING_U_SET_ID_MAX; ++k) {
        m.sets_u[k].active = true;
        m.sets_u[k].pt_ratio = 1.0;
        for (uint32_t c = 0; c < MAPPING_U_CH_MAX; ++c) {
            m.sets_u[k].u[c] = mapping_u_channel{3 * k + c, true, {0, 0, 0}};
        }
    }
    for (uint32_t n = 0; n < MAPPING_I_SET_MAX; ++n) {
        mapping_i_set &s = m.sets_i[n];
        s.id = n;
        s.active = true;
        std::snprintf(s.name, sizeof s.name, "Load %u, distribution board 2", n);
        for (uint32_t c = 0; c < MAPPING_I_CH_MAX; ++c) {
            s.i[c].channel = 6 + (3 * n + c) % 48;
            s.i[c].active = true;
            s.i[c].ct_type = 9;
            s.i[c].rated_current = 100.0;
            s.i[c].rated_mv = 333.0;
        }
    }
    return m;
}

void BM_MappingSerialize(benchmark::State &state) {
    const mapping m = sample_mapping();
    for (auto _ : state) {
        GVariant *v = g_variant_ref_sink(mapping_serialize(&m));
        benchmark::DoNotOptimize(v);
        g_variant_unref(v);
    }
}
BENCHMARK(BM_MappingSerialize);

void BM_MappingDeserialize(benchmark::State &state) {
    const mapping in = sample_mapping();
    GVariant *v = g_variant_ref_sink(mapping_serialize(&in));
    mapping out;
    std::memset(&out, 0, sizeof out);
    for (auto _ : state) {
        benchmark::DoNotOptimize(mapping_deserialize(v, &out));
        benchmark::ClobberMemory();
    }
    g_variant_unref(v);
}
BENCHMARK(BM_MappingDeserialize);

}  // namespace

BENCHMARK_MAIN();
