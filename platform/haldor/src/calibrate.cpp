// Raw ADC words into calibrated ring samples.

#include <atomic>
#include <cmath>
#include <cstring>

#include "haldor/haldor.h"
#include "ring.h"

namespace {

// Written by the set-up and clean calls only, while no block is being
// calibrated; read by the acquisition threads.
const cal_entry_t *g_cal = nullptr;
uint32_t g_num_buf = 0;

// The test station changes gains in the caller's array while the acquisition
// runs; each gain is one aligned 32-bit word, read here atomically.
float gain_of(uint32_t ring) {
    auto &gain = const_cast<float &>(g_cal[ring].gain);
    return std::atomic_ref<float>(gain).load(std::memory_order_relaxed);
}

}  // namespace

extern "C" int hld_calibrate_setup(const cal_entry_t *cal_array, uint32_t num_buf) {
    if (cal_array == nullptr || num_buf == 0 || num_buf > HLD_CHANNELS) {
        return 0;
    }
    g_cal = cal_array;
    g_num_buf = num_buf;
    return 1;
}

extern "C" void hld_calibrate_clean(void) {
    g_cal = nullptr;
    g_num_buf = 0;
}

extern "C" int hld_calibrate_calc(uint32_t ring, const uint32_t *raw, uint32_t count, const cbi_t *cursor) {
    if (g_cal == nullptr || ring >= g_num_buf || raw == nullptr || !haldor::cursor_ok(cursor) ||
        count > cursor->cb->size) {
        return 0;
    }
    const float gain = gain_of(ring);
    const bool usable = std::isfinite(gain);
    haldor::for_each_run(cursor, count, [&](float *out, uint32_t n) {
        if (!usable) {
            std::memset(out, 0, n * sizeof(float));
        } else {
            for (uint32_t i = 0; i < n; ++i) {
                out[i] = static_cast<float>(static_cast<int32_t>(raw[i])) * gain;
            }
        }
        raw += n;
    });
    return usable ? 1 : 0;
}
