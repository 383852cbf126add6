#include "nerisko/processing.h"

#include "haldor/haldor.h"
#include "nerisko/acquisition.h"
#include "nerisko/cal.h"
#include "nerisko/event.h"
#include "nerisko/frontend.h"
#include "meter/sysio.h"

#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr uint32_t kSlots = MAPPING_U_SET_ID_MAX;
constexpr uint32_t kVoltageChannels = 6;

// Serialises start, stop and clean-up, whichever thread asks.
std::mutex control_mutex;
std::atomic<bool> active{false};
bool offline = false;
bool begun = false;  // the thread's start (rate, first window times) is done
std::thread worker;

mapping map_copy;
processing_set_t sets[kSlots];
float ct_scales[kSlots][MAPPING_I_SET_MAX][MAPPING_I_CH_MAX];
uint64_t next_ts[kSlots];
// The slot's first window takes its time from the ring once samples are
// there: right after a flush the acquisition has no time for any position.
bool anchored[kSlots];
double sample_rate = 0.0;

cb_t *rings[ACQ_CHANNELS];
float *positions[ACQ_CHANNELS];
float *flex_pos[ACQ_CHANNELS];
// The integration of the channel starts anew at flex_pos (the first samples,
// a gap, or samples given up before they were integrated): the integrator is
// seeded there from the samples that follow rather than carry a state that
// belongs to other samples, which would ring for seconds.
bool flex_seed[ACQ_CHANNELS];
bool channel_used[ACQ_CHANNELS];

float *window_buf = nullptr;
hld_complex_t *spectrum_buf = nullptr;
cal_entry_t *cal = nullptr;
bool initialised = false;

// One result per slot, built in place for every window.
data_set_t results[kSlots];

cbi_t cursor_at(uint32_t ch, float *position) { return cbi_t{rings[ch], position}; }

// The calibration steps of the test station write gains and offsets while
// this thread reads them: each word is loaded atomically, as it is stored.
float noise(uint32_t ch) {
    const int32_t offset = std::atomic_ref<int32_t>(cal[ch].offset).load(std::memory_order_relaxed);
    const float gain = std::atomic_ref<float>(cal[ch].gain).load(std::memory_order_relaxed);
    const float n = static_cast<float>(offset) * gain;
    return n * n;
}

// A float as a 64-bit integer toward zero, held at the type's limits: the
// square of a wild calibration offset does not fit.
int64_t trunc64(float v) {
    if (!(v < 0x1p63f)) {
        return INT64_MAX;  // also NaN: no usable noise floor leaves no RMS
    }
    return v <= -0x1p63f ? INT64_MIN : static_cast<int64_t>(v);
}

// Mean square minus the square of the mean and the noise floor, as a root.
// The terms are squares: once one reaches what is left, the RMS is 0.
float rms_of(int64_t mean_square, float mean, float noise_a, float noise_b = 0.0f) {
    int64_t x = mean_square;
    for (const float term : {mean * mean, noise_a, noise_b}) {
        const int64_t t = trunc64(term);
        if (t >= x) {
            return 0.0f;
        }
        x -= t;
    }
    return static_cast<float>(std::sqrt(static_cast<double>(x)));
}

// Ring positions of one channel moved on by n samples, and freed.
void consume(uint32_t ch, uint32_t n) {
    positions[ch] = cb_step(rings[ch], positions[ch], n);
    acquisition_free_samples(ch, n);
}

uint32_t ring_index(uint32_t ch) { return static_cast<uint32_t>(positions[ch] - rings[ch]->base); }

// --- the mapping check -------------------------------------------------------

bool voltage_set_acceptable(uint32_t s, const mapping_u_set &u, const bool *used) {
    if (!u.u[0].active) {
        sys_log(LOG_ERR, "Voltage set %u: its first voltage entry is inactive, set not processed", s);
        return false;
    }
    bool mine[kVoltageChannels] = {};
    for (uint32_t j = 0; j < MAPPING_U_CH_MAX; ++j) {
        if (!u.u[j].active) {
            continue;
        }
        const uint32_t ch = u.u[j].channel;
        if (ch >= kVoltageChannels) {
            sys_log(LOG_ERR, "Voltage set %u: channel %u is not a voltage channel, set not processed", s, ch);
            return false;
        }
        if (used[ch] || mine[ch]) {
            sys_log(LOG_ERR, "A channel shall NEVER be mapped twice (set %u, channel %u)", s, j);
            return false;
        }
        mine[ch] = true;
    }
    return true;
}

void build_sets() {
    std::memset(sets, 0, sizeof sets);
    std::memset(channel_used, 0, sizeof channel_used);
    std::memset(ct_scales, 0, sizeof ct_scales);
    uint32_t slot = 0;
    for (uint32_t s = 0; s < MAPPING_U_SET_ID_MAX; ++s) {
        mapping_u_set &u = map_copy.sets_u[s];
        if (!u.active) {
            continue;
        }
        if (!voltage_set_acceptable(s, u, channel_used)) {
            u.active = false;
            continue;
        }
        for (const mapping_u_channel &e : u.u) {
            if (e.active) {
                channel_used[e.channel] = true;
            }
        }
        sets[slot++].uset = &u;
    }

    uint32_t loads[kSlots] = {};
    for (mapping_i_set &load : map_copy.sets_i) {
        if (!load.active) {
            continue;
        }
        int slot_of = -1;
        for (uint32_t k = 0; k < kSlots; ++k) {
            if (sets[k].uset != nullptr && sets[k].uset->id == load.u_set_id) {
                slot_of = static_cast<int>(k);
                break;
            }
        }
        if (load.id >= MAPPING_I_SET_MAX) {
            sys_log(LOG_ERR, "Load %u: a load id must be below 48, load not processed", load.id);
            load.active = false;
            continue;
        }
        if (slot_of < 0) {
            // Its CTs stay unused, so their rings are drained rather than left to fill.
            sys_log(LOG_ERR, "Load %u: its voltage set %u is not processed, load not processed", load.id,
                    load.u_set_id);
            load.active = false;
            continue;
        }
        bool clash = false;
        for (mapping_i_channel &ct : load.i) {
            if (!ct.active) {
                continue;
            }
            if (ct.channel < kVoltageChannels || ct.channel >= num_buf) {
                sys_log(LOG_ERR, "Load %u: channel %u is not a CT channel of this front end, CT not read", load.id,
                        ct.channel);
                ct.active = false;
                continue;
            }
            const float s = ct_scale(&ct);
            if (!std::isfinite(s) || s < 0.0f) {
                sys_log(LOG_ERR, "Load %u: CT channel %u has no usable scale (type %u), CT not read", load.id,
                        ct.channel, ct.ct_type);
                ct.active = false;
                continue;
            }
            if (channel_used[ct.channel]) {
                clash = true;
            }
        }
        for (uint32_t a = 0; a < MAPPING_I_CH_MAX && !clash; ++a) {
            for (uint32_t b = a + 1; b < MAPPING_I_CH_MAX; ++b) {
                clash = clash || (load.i[a].active && load.i[b].active && load.i[a].channel == load.i[b].channel);
            }
        }
        if (clash) {
            sys_log(LOG_ERR, "Load %u: a CT channel is used twice, load not processed", load.id);
            load.active = false;
            continue;
        }
        const auto k = static_cast<uint32_t>(slot_of);
        for (uint32_t j = 0; j < MAPPING_I_CH_MAX; ++j) {
            if (load.i[j].active) {
                channel_used[load.i[j].channel] = true;
                ct_scales[k][loads[k]][j] = ct_scale(&load.i[j]);
            }
        }
        sets[k].isets[loads[k]++] = &load;
    }
}

// --- one window ------------------------------------------------------------------

// Gives up the window under way: the set's channels move on by n samples and
// the set's time is taken again from its new read position.
void skip_window(uint32_t slot, uint32_t n) {
    const processing_set_t &ps = sets[slot];
    acquisition_lock_buffers();
    for (const mapping_u_channel &e : ps.uset->u) {
        if (e.active) {
            consume(e.channel, n);
        }
    }
    for (uint32_t k = 0; k < MAPPING_I_SET_MAX && ps.isets[k] != nullptr; ++k) {
        for (const mapping_i_channel &ct : ps.isets[k]->i) {
            if (ct.active) {
                const uint32_t c = ct.channel;
                consume(c, n);
                // Integration never runs over samples already given back to the acquisition.
                if (acquisition_items_available(c, flex_pos[c]) > acquisition_items_available(c, positions[c])) {
                    flex_pos[c] = positions[c];
                    flex_seed[c] = true;
                }
            }
        }
    }
    next_ts[slot] = acquisition_get_ts(ring_index(ps.uset->u[0].channel));
    acquisition_unlock_buffers();
}

// Integrates the fresh samples of a flexible sensor's channel in place, run
// by run between gaps, seeding the integrator where a run starts anew.
void integrate_flexible(uint32_t c) {
    uint32_t fresh = acquisition_items_available(c, flex_pos[c]);
    if (fresh > 0 && acquisition_gap_at(c, flex_pos[c])) {
        flex_seed[c] = true;
    }
    while (fresh > 0) {
        const uint32_t to_gap = acquisition_gap_within(c, flex_pos[c], fresh);
        const uint32_t run = to_gap > 0 ? to_gap : fresh;
        cbi_t fc = cursor_at(c, flex_pos[c]);
        if (flex_seed[c]) {
            hld_flex_seed(c, &fc, run);
        }
        hld_flex_calc(c, &fc, run);
        flex_pos[c] = cb_step(rings[c], flex_pos[c], run);
        fresh -= run;
        flex_seed[c] = to_gap > 0;
    }
}

// One window of a slot; true when samples were worked off (a result, or
// the samples before a gap given up).
bool loop_set(uint32_t slot) {
    processing_set_t &ps = sets[slot];
    const mapping_u_set &u = *ps.uset;
    const uint32_t ch0 = u.u[0].channel;
    const uint32_t available = acquisition_items_available(ch0, positions[ch0]);
    if (available < PROCESSING_WINDOW) {
        return false;
    }
    if (!anchored[slot]) {
        acquisition_lock_buffers();
        next_ts[slot] = acquisition_get_ts(ring_index(ch0));
        acquisition_unlock_buffers();
        anchored[slot] = true;
    }
    // Every window holds samples that run on evenly. The samples before a
    // gap that cannot fill a window are given up, and the next window starts
    // with the first sample after the gap at that sample's own time.
    if (const uint32_t to_gap = acquisition_gap_within(ch0, positions[ch0], PROCESSING_WINDOW); to_gap > 0) {
        skip_window(slot, to_gap);
        return true;  // samples were worked off: the rest of a backlog follows at once
    }

    float ref_phase[MAPPING_U_CH_MAX] = {};
    float v_mean[MAPPING_U_CH_MAX] = {};
    float fund[MAPPING_U_CH_MAX] = {};
    float harm[MAPPING_U_CH_MAX] = {};
    float bin = hld_get_default_frequency_bin(sample_rate);
    float f = 0.0f;
    bool valid = false;
    uint32_t flags = cal_valid() ? DATA_FLAG_CALIBRATED : 0;

    // The fundamental of voltage entry j over the window: frequency search
    // while none was found yet, then phase, fundamental and harmonic RMS.
    auto spectrum_of = [&](uint32_t j) {
        cbi_t cur = cursor_at(u.u[j].channel, positions[u.u[j].channel]);
        hld_hanning_calc(&cur, window_buf);
        hld_fft_calc(window_buf, spectrum_buf);
        if (!valid) {
            float f_found = 0.0f;
            float bin_found = 0.0f;
            if (hld_fund_frequency_calc(sample_rate, spectrum_buf, &f_found, &bin_found) != 0) {
                valid = true;
                f = f_found;
                bin = bin_found;
            }
        }
        float phase = 0.0f;
        if (hld_fund_rms_phase_calc(sample_rate, bin, spectrum_buf, &phase, &fund[j], &harm[j]) == 0) {
            phase = fund[j] = harm[j] = 0.0f;
        }
        ref_phase[j] = phase;
    };

    spectrum_of(0);
    if (valid && f > 40.0f && f < 70.0f) {
        flags &= ~DATA_FLAG_DEFAULT_FREQUENCY;
    } else {
        flags |= DATA_FLAG_DEFAULT_FREQUENCY;
        valid = false;
        f = hld_get_default_frequency();
    }
    float num_samples = 0.0f;
    if (hld_sample_count_calc(f, sample_rate, PROCESSING_CYCLES, &num_samples) == 0 || !(num_samples >= 1.0f)) {
        sys_log(LOG_ERR, "No sample count for %f Hz at %f samples/s, window skipped", static_cast<double>(f),
                sample_rate);
        skip_window(slot, PROCESSING_WINDOW);
        return false;
    }
    const uint64_t ts_begin = next_ts[slot];
    const float ticks = num_samples * 200000000.0f;
    uint64_t span = static_cast<uint64_t>(static_cast<double>(ticks) / sample_rate);
    span = span == 0 ? 1 : span;
    const uint64_t ts_end = ts_begin + span;
    int64_t num_samples_rms = 0;
    {
        acquisition_lock_buffers();
        // Counted from the time of the read position, which knows the gaps:
        // within a run of continuous samples this is the ring index of
        // ts_end less the read position.
        const int64_t tps = acquisition_get_ts_per_sample();
        const int64_t ahead = static_cast<int64_t>(ts_end - acquisition_get_ts(ring_index(ch0)));
        num_samples_rms = tps > 0 ? static_cast<int64_t>(std::floor(static_cast<double>(ahead) / static_cast<double>(tps)))
                                  : -1;
        acquisition_unlock_buffers();
    }
    if (static_cast<float>(num_samples_rms) > num_samples + PROCESSING_WINDOW_TOLERANCE ||
        static_cast<float>(num_samples_rms) < num_samples - PROCESSING_WINDOW_TOLERANCE) {
        // Times and ring positions disagree (samples were dropped): give up
        // this window and take the time again from the ring.
        const int64_t shown = std::clamp<int64_t>(num_samples_rms, INT32_MIN, INT32_MAX);
        sys_log(LOG_ERR, "Number of samples %f, num samples RMS %d", static_cast<double>(num_samples),
                static_cast<int>(shown));
        skip_window(slot, static_cast<uint32_t>(num_samples));
        return false;
    }
    if (num_samples_rms > available) {
        return false;  // five cycles are longer than the window here: wait for the rest
    }
    const auto n = static_cast<float>(num_samples_rms);
    const auto n_whole = static_cast<uint32_t>(num_samples_rms);

    // Only the loads of this slot are ever written (the rest stays as start
    // cleared it), so only they and the head are cleared: the whole result is
    // 56 KB for the usual handful of loads.
    data_set_t &out = results[slot];
    uint32_t loads = 0;
    while (loads < MAPPING_I_SET_MAX && ps.isets[loads] != nullptr) {
        ++loads;
    }
    std::memset(&out, 0, offsetof(data_set_t, sets_i) + loads * sizeof(data_i_set));
    out.set = slot;
    out.flags = flags;
    out.samples = num_samples;
    out.frequency.value = f;
    out.ts_begin = ts_begin;
    out.ts_end = ts_end;

    const float vscale = voltage_scale(u.pt_ratio);
    for (uint32_t j = 0; j < MAPPING_U_CH_MAX; ++j) {
        const mapping_u_channel &e = u.u[j];
        if (!e.active) {
            continue;
        }
        if (j > 0) {
            spectrum_of(j);
        }
        data_u &du = out.set_u.u[j];
        du.channel = e.channel;
        du.phase.value = valid ? hld_angles_wrap_to_pi(ref_phase[j] - ref_phase[0]) : 0.0f;
        cbi_t cur = cursor_at(e.channel, positions[e.channel]);
        int64_t m = 0;
        hld_rmss_dc_calc(n, &cur, &m, &v_mean[j]);
        du.rms_ln.value = rms_of(m, v_mean[j], noise(e.channel)) * vscale;
        const mapping_u_channel &next = u.u[(j + 1) % MAPPING_U_CH_MAX];
        if (next.active) {
            cbi_t other = cursor_at(next.channel, positions[next.channel]);
            float d = 0.0f;
            hld_rmss_lineline_dc_calc(n, &cur, &other, &m, &d);
            du.rms_ll.value = rms_of(m, d, noise(e.channel), noise(next.channel)) * vscale;
        }
        du.rms_fund.value = fund[j] * vscale;
        du.rms_harm.value = harm[j] * vscale;
    }

    for (uint32_t k = 0; k < MAPPING_I_SET_MAX && ps.isets[k] != nullptr; ++k) {
        const mapping_i_set &load = *ps.isets[k];
        data_i_set &di = out.sets_i[k];
        di.load_id = load.id;
        for (uint32_t j = 0; j < MAPPING_I_CH_MAX; ++j) {
            const mapping_i_channel &ct = load.i[j];
            if (!ct.active) {
                continue;
            }
            const uint32_t c = ct.channel;
            const float s = ct_scales[slot][k][j];
            data_i &ci = di.i[j];
            ci.channel = c;
            if (ct_is_flexible(ct.ct_type)) {
                integrate_flexible(c);
            }
            cbi_t cur = cursor_at(c, positions[c]);
            int64_t m = 0;
            float i_mean = 0.0f;
            hld_rmss_dc_calc(n, &cur, &m, &i_mean);
            const float r = rms_of(m, i_mean, noise(c));
            ci.rms.value = r * s;
            ci.rms_u.value = static_cast<float>(static_cast<double>(r) * PROCESSING_CT_BASE);
            di.rms.value += ci.rms.value;
            // Power needs the voltage of the CT's own line; without it there is none.
            const mapping_u_channel &v = u.u[j];
            if (v.active) {
                cbi_t vc = cursor_at(v.channel, positions[v.channel]);
                int64_t p = 0;
                hld_real_power_calc(v_mean[j], i_mean, n, &vc, &cur, &p);
                ci.w.value = static_cast<float>(p) * s * vscale;
                if (ct.invert) {
                    ci.w.value = -ci.w.value;
                }
                di.p.w.value += ci.w.value;
            }
            hld_hanning_calc(&cur, window_buf);
            hld_fft_calc(window_buf, spectrum_buf);
            float psi = 0.0f;
            float i_fund = 0.0f;
            float i_harm = 0.0f;
            if (hld_fund_rms_phase_calc(sample_rate, bin, spectrum_buf, &psi, &i_fund, &i_harm) != 0) {
                ci.rms_fund.value = i_fund * s;
                ci.rms_harm.value = i_harm * s;
                if (ct.invert) {
                    psi -= 3.1415927f;
                }
                ci.phase.value = v.active ? hld_angles_wrap_to_pi(psi - ref_phase[j]) : 0.0f;
            }
            acquisition_lock_buffers();
            consume(c, n_whole);
            acquisition_unlock_buffers();
        }
    }
    acquisition_lock_buffers();
    for (const mapping_u_channel &e : u.u) {
        if (e.active) {
            consume(e.channel, n_whole);
        }
    }
    acquisition_unlock_buffers();

    next_ts[slot] = ts_end;
    event_data_t ev{&ps, &out};
    event_exec(&ev, EVENT_FIVE_CYCLE);
    return true;
}

void drain_unused() {
    for (uint32_t ch = 0; ch < num_buf && ch < ACQ_CHANNELS; ++ch) {
        if (channel_used[ch]) {
            continue;
        }
        acquisition_lock_buffers();
        const uint32_t n = acquisition_items_available(ch, positions[ch]);
        if (n > 0) {
            consume(ch, n);
        }
        acquisition_unlock_buffers();
    }
}

void begin() {
    acquisition_get_sample_rate(&sample_rate);
    for (bool &a : anchored) {
        a = false;
    }
    hld_flex_setup(sample_rate, ACQ_CHANNELS);
    for (bool &f : flex_seed) {
        f = true;
    }
    begun = true;
}

bool pass() {
    bool produced = false;
    for (uint32_t slot = 0; slot < kSlots; ++slot) {
        if (sets[slot].uset != nullptr) {
            produced = loop_set(slot) || produced;
        }
    }
    drain_unused();
    return produced;
}

void thread_main() {
    double rate = 0.0;
    while (active.load() && !acquisition_get_sample_rate(&rate)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (active.load()) {
        begin();
    }
    while (active.load()) {
        if (!pass()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (begun) {
        hld_flex_clean();
        begun = false;
    }
}

bool start(const mapping *m, bool without_thread) {
    std::lock_guard lock(control_mutex);
    if (!initialised) {
        sys_log(LOG_ERR, "Processing is not initialised");
        return false;
    }
    if (active.load()) {
        sys_log(LOG_ERR, "Processing is already running");
        return false;
    }
    if (worker.joinable()) {
        worker.join();  // it was stopped from one of its own callbacks
    }
    cal_get(&cal);
    std::memcpy(&map_copy, m, sizeof map_copy);
    acquisition_lock_buffers();
    for (uint32_t ch = 0; ch < ACQ_CHANNELS; ++ch) {
        rings[ch] = acquisition_get_cb(ch);
        positions[ch] = rings[ch]->base;
        flex_pos[ch] = rings[ch]->base;
    }
    acquisition_unlock_buffers();
    build_sets();
    std::memset(results, 0, sizeof results);
    for (uint32_t ch = 0; ch < ACQ_CHANNELS; ++ch) {
        sys_log(LOG_INFO, ch < kVoltageChannels ? "V channel %2d active:\t%s" : "I channel %2d active:\t%s",
                static_cast<int>(ch), channel_used[ch] ? "true" : "false");
    }
    begun = false;
    active.store(true);
    offline = without_thread;
    if (without_thread) {
        return true;
    }
    sys_log(LOG_INFO, "Starting processing thread");
    try {
        worker = std::thread(thread_main);
    } catch (const std::system_error &e) {
        sys_log(LOG_ERR, "Error starting processing thread (%d)", e.code().value());
        active.store(false);
        return false;
    }
    return true;
}

}  // namespace

bool ct_is_flexible(uint32_t ct_type) { return ct_type == 6 || ct_type == 7 || ct_type == 8 || ct_type == 10; }

float ct_scale(const mapping_i_channel *ct) {
    switch (ct->ct_type) {
    case 0: return 1.95900793e-06f;
    case 1: return 0.000117658135f;
    case 2: return 0.000294145342f;
    case 3: return 0.000588290684f;
    case 4: return 0.00117658137f;
    case 5: return 0.00235316274f;
    case 6:
    case 7:
    case 8: return 0.0195900798f;
    case 9: return static_cast<float>(ct->rated_current / (ct->rated_mv / 1000.0) * PROCESSING_CT_BASE);
    case 10: return static_cast<float>(ct->factor * PROCESSING_CT_BASE);
    default: return 0.0f;
    }
}

float voltage_scale(double pt_ratio) {
    if (pt_ratio >= 0.001 && pt_ratio <= 1000.0) {
        return static_cast<float>(pt_ratio) * static_cast<float>(PROCESSING_VOLTAGE_BASE);
    }
    return 1.0f;
}

bool processing_init() {
    std::lock_guard lock(control_mutex);
    if (initialised) {
        return true;
    }
    sys_log(LOG_DEBUG, "Initialize circular buffers");
    acquisition_lock_buffers();
    for (uint32_t ch = 0; ch < ACQ_CHANNELS; ++ch) {
        rings[ch] = acquisition_get_cb(ch);
        positions[ch] = rings[ch]->base;
        flex_pos[ch] = rings[ch]->base;
    }
    acquisition_unlock_buffers();
    sys_log(LOG_DEBUG, "Initialize hanning window");
    if (hld_hanning_setup(PROCESSING_WINDOW) == 0) {
        sys_log(LOG_ERR, "failed to create window\n");
        return false;
    }
    sys_log(LOG_DEBUG, "Initialize fft");
    if (hld_fft_setup(PROCESSING_WINDOW) == 0) {
        sys_log(LOG_ERR, "failed to setup fft\n");
        hld_hanning_clean();
        return false;
    }
    sys_log(LOG_DEBUG, "Initialize frequency calculation");
    if (hld_frequency_phase_setup(PROCESSING_WINDOW) == 0) {
        sys_log(LOG_ERR, "failed to setup frequency calculation\n");
        hld_fft_clean();
        hld_hanning_clean();
        return false;
    }
    window_buf = new float[PROCESSING_WINDOW];
    spectrum_buf = new hld_complex_t[PROCESSING_WINDOW / 2 + 1];
    initialised = true;
    return true;
}

bool processing_start(const mapping *m) { return start(m, false); }

bool processing_start_offline(const mapping *m) { return start(m, true); }

bool processing_pass() {
    if (!active.load() || !offline) {
        return false;
    }
    if (!begun) {
        double rate = 0.0;
        if (!acquisition_get_sample_rate(&rate)) {
            return false;
        }
        begin();
    }
    return pass();
}

void processing_stop() {
    std::lock_guard lock(control_mutex);
    sys_log(LOG_INFO, "Stopping processing thread");
    active.store(false);
    if (worker.joinable()) {
        if (worker.get_id() == std::this_thread::get_id()) {
            return;  // asked from a callback: the thread ends after its pass
        }
        worker.join();
    }
    if (offline && begun) {
        hld_flex_clean();
        begun = false;
    }
    offline = false;
}

void processing_join() {
    std::lock_guard lock(control_mutex);
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) {
        worker.join();
    }
}

void processing_cleanup() {
    if (active.load() || worker.joinable()) {
        processing_stop();
    }
    std::lock_guard lock(control_mutex);
    sys_log(LOG_INFO, "Cleanup of processing");
    if (initialised) {
        delete[] window_buf;
        delete[] spectrum_buf;
        window_buf = nullptr;
        spectrum_buf = nullptr;
        hld_fft_clean();
        hld_hanning_clean();
        hld_frequency_phase_clean();
        initialised = false;
    }
    std::memset(sets, 0, sizeof sets);
    acquisition_clean();
}

const processing_set_t *processing_get_set(uint32_t slot) { return slot < kSlots ? &sets[slot] : nullptr; }

bool processing_channel_used(uint32_t ch) { return ch < ACQ_CHANNELS && channel_used[ch]; }
