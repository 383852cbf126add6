// The energy pulse output: how many pulses of the chosen load's register
// are due, reported to velsard on pulse channel 2.
//
// The settings are replaced on the IPC thread and read by the processing
// thread, so they are published under one lock as a whole; a failed
// configuration publishes nothing. The baseline belongs to the settings it
// was taken under: new settings make the next closed second take it again.

#include "nerisko/agg.h"
#include "nerisko/agg_internal.h"

#include "arvent.h"
#include "meter/sysio.h"

#include <fcntl.h>
#include <syslog.h>

#include <climits>
#include <cmath>
#include <mutex>

namespace {

constexpr const char *kPulseOutPath = "/dev/zor_pulse/pulse_out";
constexpr unsigned long SET_PULSE_WIDTH = 0x40046d01;  // _IOW('m', 1, int)

constexpr int32_t PARAM_WH_IN = 19;
constexpr int32_t PARAM_VAH_IN = 240;
constexpr int32_t PARAM_VARH_DIS = 243;

std::mutex pulse_out_mutex;
agg_pulse_out_settings settings;  // in force
uint64_t generation = 0;          // bumped by every publication
// Processing side, under the same lock.
bool seeded = false;
double last = 0.0;

void publish(const agg_pulse_out_settings &s) {
    std::lock_guard lock(pulse_out_mutex);
    settings = s;
    ++generation;
    seeded = false;
    last = 0.0;
}

bool valid_param(int32_t p) { return p == PARAM_WH_IN || p == PARAM_VAH_IN || p == PARAM_VARH_DIS; }

double register_value(const data_p_set &p, int32_t param) {
    switch (param) {
    case PARAM_WH_IN: return p.wh_in.value;
    case PARAM_VAH_IN: return p.vah_in.value;
    case PARAM_VARH_DIS: return p.varh_ind_dis.value + p.varh_cap_dis.value;
    default: return 0.0;
    }
}

// The slot of the driving load in a result of this set, or -1: the load is
// looked up by the descriptor's entries, the set compared by the mapping's
// own voltage-set id, so that both sides speak of the same thing.
int driving_slot(const processing_set_t *set, const agg_pulse_out_settings &s) {
    if (set == nullptr || set->uset == nullptr || set->uset->id != s.u_set_id) {
        return -2;  // another voltage set: not this output's business
    }
    for (uint32_t l = 0; l < MAPPING_I_SET_MAX && set->isets[l] != nullptr; ++l) {
        if (static_cast<int32_t>(set->isets[l]->id) == s.load_id) {
            return static_cast<int>(l);
        }
    }
    return -1;
}

}  // namespace

int agg_set_pulse_out() {
    pulse_config pc{};
    if (ipc_pulse_config_get(&pc) == 0) {
        sys_log(LOG_ERR, "Failed to get pulse config");
        return 0;
    }
    const pulse_config_entry &e = pc.entries[2];
    if (!e.flag_1 || !e.flag_2) {
        publish(agg_pulse_out_settings{});
        return 1;
    }
    static mapping m;  // 11 KB: not on the caller's stack
    static std::mutex mapping_mutex;
    std::lock_guard mapping_lock(mapping_mutex);
    if (arvent_get(&m) == 0) {
        sys_log(LOG_ERR, "Failed to get mapping");
        return 0;
    }
    agg_pulse_out_settings next;
    next.load_id = -1;
    for (const mapping_i_set &l : m.sets_i) {
        if (static_cast<int32_t>(l.id) == e.load_id) {
            next.load_id = e.load_id;
            next.u_set_id = l.u_set_id;
            break;
        }
    }
    if (next.load_id < 0) {
        sys_log(LOG_ERR, "Faild to find pulse out load");
        return 0;
    }
    if (!(e.scaler > 0.0) || !std::isfinite(e.scaler)) {
        sys_log(LOG_ERR, "Pulse out scaler invalid");
        return 0;
    }
    if (!valid_param(e.param)) {
        sys_log(LOG_ERR, "Pulse out param invalid");
        return 0;
    }
    next.scaler = e.scaler;
    next.param = e.param;
    next.enabled = true;
    const int fd = sys_open(kPulseOutPath, O_WRONLY);
    if (fd < 0) {
        sys_log(LOG_ERR, "failed to open %s", kPulseOutPath);
        return 0;
    }
    sys_log(LOG_INFO, "Setting pulse width to: %d", e.pulse_width);
    int32_t width = e.pulse_width;
    const int r = sys_ioctl(fd, SET_PULSE_WIDTH, &width);
    sys_close(fd);
    // The driver refuses with 1; a failed call gives -1.
    if (r == 1 || r < 0) {
        sys_log(LOG_ERR, "failed to send SET_PULSE_WIDTH");
        return 0;
    }
    publish(next);
    return 1;
}

void agg_pulse_out_off() { publish(agg_pulse_out_settings{}); }

bool agg_pulse_out_enabled() {
    std::lock_guard lock(pulse_out_mutex);
    return settings.enabled;
}

agg_pulse_out_settings agg_pulse_out_get() {
    std::lock_guard lock(pulse_out_mutex);
    return settings;
}

double agg_pulse_out_baseline(bool *is_seeded) {
    std::lock_guard lock(pulse_out_mutex);
    if (is_seeded != nullptr) {
        *is_seeded = seeded;
    }
    return last;
}

void agg_pulse_out_restart() {
    std::lock_guard lock(pulse_out_mutex);
    seeded = false;
    last = 0.0;
}

void agg_pulse_out_seed(const processing_set_t *set, const avg_buf_t *a) {
    std::lock_guard lock(pulse_out_mutex);
    if (!settings.enabled || seeded) {
        return;
    }
    const int slot = driving_slot(set, settings);
    if (slot < 0) {
        return;
    }
    // The registers before this second's energies: the pulses of this very
    // second are counted by the step that follows.
    last = register_value(a->data.sets_i[slot].p, settings.param);
    seeded = true;
}

void agg_pulse_out_step(const processing_set_t *set, const avg_buf_t *a) {
    agg_pulse_out_settings s;
    double base = 0.0;
    uint64_t gen = 0;
    {
        std::lock_guard lock(pulse_out_mutex);
        if (!settings.enabled) {
            return;
        }
        s = settings;
        const int slot = driving_slot(set, s);
        if (slot == -2) {
            return;
        }
        if (slot < 0) {
            sys_log(LOG_ERR, "Invalid load id for pulse out (%u)", static_cast<uint32_t>(s.load_id));
            return;
        }
        const double v = register_value(a->data.sets_i[slot].p, s.param);
        if (!seeded) {
            seeded = true;
            last = v;
            return;
        }
        base = v - last;
        gen = generation;
    }
    const double due = std::floor((base / 1000.0) / s.scaler);
    if (!(due > 0.0)) {
        return;
    }
    const int n = due >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(due);
    if (ipc_pulse_count_update(2, n) == 0) {
        sys_log(LOG_ERR, "Failed to generate %d pulses", n);
        return;  // due again next second
    }
    std::lock_guard lock(pulse_out_mutex);
    if (generation == gen && seeded) {
        last += n * s.scaler * 1000.0;
    }
}
