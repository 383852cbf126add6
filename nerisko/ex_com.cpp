// EX commands: measurements on synthetic mappings, device tests,
// calibration and control.

#include "nerisko/ex.h"

#include "nerisko/acquisition.h"
#include "nerisko/agg.h"
#include "nerisko/alarm.h"
#include "nerisko/cal.h"
#include "nerisko/frontend.h"
#include "nerisko/live_data.h"
#include "nerisko/processing.h"
#include "nerisko/program.h"
#include "nerisko/pru.h"
#include "nerisko/watchdog.h"
#include "meter/sysio.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

int ex_result_wait_ms = 2000;
int ex_key_wait_ms = 5000;
int ex_rs485_wait_ms = 5000;
int ex_rs485_char_ms = 500;

namespace {

// ---- selection state (EX thread only) ----
int requested_channel = -1;
int requested_ct = -1;
int selected_ct = -1;
int selected_line = -1;
int selected_set = -1;
std::atomic<uint32_t> ex_set{0};

// ---- result copies: filled by the processing thread, read by the EX thread ----
struct result_copy {
    data_set_t data;
    uint32_t loads;  // load slots that carry a load
};
std::mutex copy_mutex;
result_copy five_cycle_copy;
result_copy one_sec_copy;
std::atomic<bool> five_cycle_ready{false};
std::atomic<bool> one_sec_ready{false};

std::mutex mapping_mutex;
mapping ex_mapping;

test_config test_cfg;

// ---- the keeper of the service watchdog ----
std::mutex wd_mutex;
std::condition_variable wd_cv;
std::thread wd_thread;
bool wd_running = false;
bool wd_quit = false;
bool test_mode = false;
// EX has stopped the measurement and no one-second result has come since:
// nothing else feeds the watchdog.
std::atomic<bool> held{false};

void keeper_main(uint32_t interval) {
    sys_log(LOG_INFO, "Starting EX watchdog thread with kick-interval %us", interval);
    std::unique_lock lock(wd_mutex);
    for (;;) {
        if (wd_quit) {
            wd_running = false;
            return;
        }
        if (!test_mode && !held.load()) {
            break;
        }
        // At once: the last kick from the results may be almost an interval old.
        watchdog_kick();
        wd_cv.wait_for(lock, std::chrono::seconds(interval),
                       [] { return wd_quit || (!test_mode && !held.load()); });
    }
    // The results take over: their next kick may be an interval away.
    watchdog_kick();
    wd_running = false;
}

// Starts the keeper when the watchdog runs and the keeper does not.
bool keeper_ensure() {
    if (!watchdog_get_enabled()) {
        return false;
    }
    std::lock_guard lock(wd_mutex);
    if (wd_running) {
        wd_cv.notify_all();
        return true;
    }
    if (wd_thread.joinable()) {
        wd_thread.join();  // it has ended: wd_running is cleared last, under the lock
    }
    wd_quit = false;
    try {
        wd_thread = std::thread(keeper_main, watchdog_get_kick_interval_sec());
    } catch (const std::system_error &e) {
        sys_log(LOG_ERR, "Error starting EX watchdog thread (%d)", e.code().value());
        return false;
    }
    wd_running = true;
    return true;
}

void hold_measurement() {
    held = true;
    keeper_ensure();
}

// ---- the chain ----
ex_chain_t default_chain{ex_chain_stop_locked, ex_chain_start_locked};
// Set by tests and the fuzz target from their own thread.
std::atomic<const ex_chain_t *> chain{&default_chain};

struct chain_step {
    const mapping *m;  // nullptr: stop only
    bool synthetic;
    uint32_t set;
    bool ok;
};

// Under the chain lock: ex_stop_measurement, then the start on the mapping.
bool chain_step_locked(void *arg) {
    auto *step = static_cast<chain_step *>(arg);
    // Suspended before the stop: no result of what follows reaches the outputs.
    agg_outputs_suspend(true);
    sys_log(LOG_DEBUG, "EX: Stopping acquisition");
    if (!chain.load()->stop()) {
        return false;
    }
    // Nothing runs now that could clear it before the keeper sees it.
    held = true;
    sys_log(LOG_DEBUG, "EX: Flushing old data");
    ex_set = 0;
    {
        std::lock_guard lock(copy_mutex);
        five_cycle_ready = false;
        one_sec_ready = false;
        std::memset(&five_cycle_copy, 0, sizeof five_cycle_copy);
        std::memset(&one_sec_copy, 0, sizeof one_sec_copy);
    }
    if (step->m == nullptr) {
        step->ok = true;
        return true;
    }
    ex_set = step->set;
    step->ok = chain.load()->start(step->m);
    return step->ok;
}

// Stops the measurement and, when m is given, starts it on the synthetic
// mapping m; set is the EX set whose results the copies take.
bool stop_and_start(const mapping *m, uint32_t set) {
    hold_measurement();
    chain_step step{m, true, set, false};
    const bool done = main_chain_locked(chain_step_locked, &step);
    if (held.load()) {
        keeper_ensure();
    }
    if (!done) {
        sys_log(LOG_ERR, "EX: the measurement cannot be changed now");
        return false;
    }
    return step.ok;
}

void copy_out(result_copy &dst, const result_copy &src) {
    std::lock_guard lock(copy_mutex);
    std::memcpy(&dst, &src, sizeof dst);
}

// The wait for a copy (at most ex_result_wait_ms, in 10 ms steps). check_freq:
// a default frequency in either copy fails too.
bool wait_copy(bool one_second, bool check_freq, result_copy *out) {
    std::atomic<bool> &ready = one_second ? one_sec_ready : five_cycle_ready;
    const int steps = ex_result_wait_ms / 10;
    for (int i = 0; !ready.load(); ++i) {
        if (i >= steps) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    static result_copy other;
    copy_out(*out, one_second ? one_sec_copy : five_cycle_copy);
    copy_out(other, one_second ? five_cycle_copy : one_sec_copy);
    if (check_freq && ((out->data.flags & DATA_FLAG_DEFAULT_FREQUENCY) != 0 ||
                       (other.data.flags & DATA_FLAG_DEFAULT_FREQUENCY) != 0)) {
        return false;
    }
    return true;
}

// The wait after a synthetic start: also fails when someone else has
// restarted the chain meanwhile (its results are not the ones asked for).
bool wait_synthetic(bool one_second, bool check_freq, result_copy *out) {
    return wait_copy(one_second, check_freq, out) && ex_synthetic_running();
}

void base_set(mapping &m, uint32_t set) {
    m.sets_u[set].id = set;
    m.sets_u[set].active = true;
    m.sets_u[set].pt_ratio = 1.0;
}

void create_channel_set(mapping &m) {
    std::memset(&m, 0, sizeof m);
    sys_log(LOG_DEBUG, "EX: Creating measurement set");
    base_set(m, 0);
    m.sets_u[0].u[0].channel = static_cast<uint32_t>(selected_line);
    m.sets_u[0].u[0].active = true;
    m.sets_i[0].id = 0;
    m.sets_i[0].u_set_id = 0;
    m.sets_i[0].active = true;
    m.sets_i[0].i[0].channel = static_cast<uint32_t>(selected_ct + 6);
    m.sets_i[0].i[0].active = true;
    m.sets_i[0].i[0].ct_type = 0;
}

void create_voltage_set(mapping &m, uint32_t s) {
    std::memset(&m, 0, sizeof m);
    sys_log(LOG_DEBUG, "EX: Creating measurement set");
    base_set(m, s);
    for (uint32_t j = 0; j < 3; ++j) {
        m.sets_u[s].u[j].channel = 3 * s + j;
        m.sets_u[s].u[j].active = true;
    }
}

void create_all_set(mapping &m, uint32_t s) {
    create_voltage_set(m, s);
    m.sets_u[s].extra_1 = 1;
    sys_log(LOG_DEBUG, "EX: starting acquisition");
    for (uint32_t k = 0; k < num_chan / 3 && k < MAPPING_I_SET_MAX; ++k) {
        m.sets_i[k].id = k;
        m.sets_i[k].u_set_id = s;
        m.sets_i[k].active = true;
        for (uint32_t j = 0; j < 3; ++j) {
            m.sets_i[k].i[j].channel = 6 + 3 * k + j;
            m.sets_i[k].i[j].active = true;
            m.sets_i[k].i[j].ct_type = 0;
        }
    }
}

// A CT channel 0..47 that this front end has a ring for.
bool ct_in_front_end(long long ct) { return ct >= 0 && ct < 48 && static_cast<uint64_t>(ct) + 6 < num_buf; }

bool parse_number(const char *text, long long *v) { return ex_parse_long(text, v); }

bool ex_parse_channel(const char *text, bool ct_mode, bool measuring) {
    long long ch = -1;
    const bool ok = parse_number(text, &ch) && ch >= 0 && ch <= 53 &&
                    (!measuring || ch < 6 || static_cast<uint64_t>(ch) < num_buf) &&
                    // a voltage channel also names CT channel ch, measured beside it
                    (!measuring || ch >= 6 || ct_in_front_end(ch));
    if (!ok) {
        sys_log(LOG_ERR, "EX: requested channel out of range");
        return false;
    }
    requested_channel = static_cast<int>(ch);
    if (ct_mode && ch >= 6) {
        selected_ct = static_cast<int>(ch - 6);
        selected_line = 0;
        ex_set = 0;
    } else {
        selected_line = static_cast<int>(ch);
        selected_ct = static_cast<int>(ch);
        ex_set = static_cast<uint32_t>(ch / 3);
    }
    return true;
}

bool ex_parse_set(const char *text) {
    long long s = -1;
    if (!parse_number(text, &s) || s < 0 || s > 1) {
        sys_log(LOG_ERR, "EX: requested set out of range");
        return false;
    }
    selected_set = static_cast<int>(s);
    return true;
}

bool ex_parse_ui_channels(const char *u, const char *i) {
    long long uc = -1;
    long long ic = -1;
    if (!parse_number(u, &uc) || uc < 0 || uc > 5) {
        sys_log(LOG_ERR, "EX: requested voltage channel out of range");
        return false;
    }
    if (!parse_number(i, &ic) || !ct_in_front_end(ic)) {
        sys_log(LOG_ERR, "EX: requested current channel out of range");
        return false;
    }
    selected_line = static_cast<int>(uc);
    selected_ct = static_cast<int>(ic);
    return true;
}

bool ex_parse_ct(const char *text) {
    long long ct = -1;
    if (!parse_number(text, &ct) || ct < 1 || ct > 48) {
        sys_log(LOG_ERR, "EX: requested CT out of range");
        return false;
    }
    requested_ct = static_cast<int>(ct);
    return true;
}

struct found_ct {
    uint32_t set_id;
    uint32_t load_id;
    uint32_t line;
};

// The first load of the configured mapping with an active CT entry on the
// requested CT's sample channel.
bool ex_find_ct(found_ct *out) {
    std::lock_guard lock(mapping_mutex);
    const uint32_t channel = static_cast<uint32_t>(requested_ct) + 5;
    for (uint32_t k = 0; k < MAPPING_I_SET_MAX; ++k) {
        const mapping_i_set &l = ex_mapping.sets_i[k];
        if (!l.active) {
            continue;
        }
        for (uint32_t j = 0; j < MAPPING_I_CH_MAX; ++j) {
            if (l.i[j].active && l.i[j].channel == channel) {
                *out = found_ct{l.u_set_id, l.id, j};
                ex_set = l.u_set_id;
                selected_ct = static_cast<int>(k);
                selected_line = static_cast<int>(j);
                return true;
            }
        }
    }
    sys_log(LOG_ERR, "EX: CT %d is in no load of the mapping", requested_ct);
    return false;
}

// The slot of load_id among the first `loads` slots of a record; -1 when none.
int slot_of_load(const data_set_t &d, uint32_t loads, uint32_t load_id) {
    for (uint32_t k = 0; k < loads && k < 48; ++k) {
        if (d.sets_i[k].load_id == load_id) {
            return static_cast<int>(k);
        }
    }
    return -1;
}

double f(float v) { return static_cast<double>(v); }

result_copy work;  // the EX thread's copy of a result

int one_channel_5c(char **t, bool rms) {
    if (!ex_parse_channel(t[2], true, true)) {
        return EX_SYNTAX_ERROR;
    }
    sys_log(LOG_INFO, rms ? "EX: calculating rms for ch %d" : "EX: calculating freq for ch %d", requested_channel);
    static mapping m;
    create_channel_set(m);
    if (!stop_and_start(&m, 0) || !wait_synthetic(false, true, &work)) {
        return EX_FAIL;
    }
    if (!rms) {
        sys_log(LOG_INFO, "EX: sending freq: %f", f(work.data.frequency.value));
        ex_reply("%f\r", f(work.data.frequency.value));
        return EX_PASS;
    }
    const float v = requested_channel < 6 ? work.data.set_u.u[0].rms_ln.value : work.data.sets_i[0].i[0].rms.value;
    sys_log(LOG_INFO, "EX: sending rms: %f", f(v));
    ex_reply("%f\r", f(v));
    return EX_PASS;
}

enum class ui_value { freq, rms, phase, w, va, var };

int ui_command(char **t, ui_value what) {
    if (!ex_parse_ui_channels(t[2], t[3])) {
        return EX_SYNTAX_ERROR;
    }
    switch (what) {
    case ui_value::freq: sys_log(LOG_INFO, "EX: calculating freq for u_ch %d, i_ch %d", selected_line, selected_ct); break;
    case ui_value::rms: sys_log(LOG_INFO, "EX: calculating rms for u_ch %d, i_ch %d", selected_line, selected_ct); break;
    case ui_value::phase: sys_log(LOG_INFO, "EX: calculating phase for u_ch %d, i_ch %d", selected_line, selected_ct); break;
    case ui_value::w: sys_log(LOG_INFO, "EX: calculating p_w for i_ch %d", selected_ct); break;
    case ui_value::va: sys_log(LOG_INFO, "EX: calculating p_va for i_ch %d", selected_ct); break;
    case ui_value::var: sys_log(LOG_INFO, "EX: calculating p_var for i_ch %d", selected_ct); break;
    }
    static mapping m;
    create_channel_set(m);
    if (!stop_and_start(&m, 0) || !wait_synthetic(true, true, &work)) {
        return EX_FAIL;
    }
    const data_set_t &d = work.data;
    const data_i &ct = d.sets_i[0].i[0];
    switch (what) {
    case ui_value::freq:
        sys_log(LOG_INFO, "EX: sending freq's: %f", f(d.frequency.value));
        ex_reply("%f\r", f(d.frequency.value));
        break;
    case ui_value::rms:
        sys_log(LOG_INFO, "EX: sending rms's: %f,%f", f(d.set_u.u[0].rms_ln.value), f(ct.rms.value));
        ex_reply("%f\r%f\r", f(d.set_u.u[0].rms_ln.value), f(ct.rms.value));
        break;
    case ui_value::phase:
        sys_log(LOG_INFO, "EX: sending phase's: %f,%f", f(d.set_u.u[0].phase.value), f(ct.phase.value));
        ex_reply("%f\r%f\r", f(d.set_u.u[0].phase.value), f(ct.phase.value));
        break;
    case ui_value::w:
        sys_log(LOG_INFO, "EX: sending p_w: %f", f(ct.w.value));
        ex_reply("%f\r", f(ct.w.value));
        break;
    case ui_value::va:
        sys_log(LOG_INFO, "EX: sending p_va: %f", f(ct.va.value));
        ex_reply("%f\r", f(ct.va.value));
        break;
    case ui_value::var:
        sys_log(LOG_INFO, "EX: sending p_var: %f", f(ct.var.value));
        ex_reply("%f\r", f(ct.var.value));
        break;
    }
    return EX_PASS;
}

int set_command(char **t, bool one_second, bool all, bool phase) {
    if (!ex_parse_set(t[2])) {
        return EX_SYNTAX_ERROR;
    }
    const auto s = static_cast<uint32_t>(selected_set);
    static mapping m;
    if (all) {
        sys_log(LOG_INFO, phase ? "EX: calculating phases of all channels" : "EX: calculating RMSs of all channels");
        create_all_set(m, s);
    } else {
        sys_log(LOG_INFO, one_second ? "EX: calculating RMSs for voltage set: %d" : "EX: calculate phases for set: %d",
                selected_set);
        create_voltage_set(m, s);
    }
    if (!stop_and_start(&m, s) || !wait_synthetic(one_second, true, &work)) {
        return EX_FAIL;
    }
    const data_u_set &u = work.data.set_u;
    if (!all) {
        if (one_second) {
            sys_log(LOG_INFO, "EX: sending rms: %f %f %f", f(u.u[0].rms_ln.value), f(u.u[1].rms_ln.value),
                    f(u.u[2].rms_ln.value));
            ex_reply("%f\r%f\r%f\r", f(u.u[0].rms_ln.value), f(u.u[1].rms_ln.value), f(u.u[2].rms_ln.value));
        } else {
            sys_log(LOG_INFO, "EX: sending phase: %f %f %f", f(u.u[0].phase.value), f(u.u[1].phase.value),
                    f(u.u[2].phase.value));
            ex_reply("%f\r%f\r%f\r", f(u.u[0].phase.value), f(u.u[1].phase.value), f(u.u[2].phase.value));
        }
        return EX_PASS;
    }
    ex_reply(nullptr);
    bool fits = true;
    for (uint32_t j = 0; j < 3; ++j) {
        fits = fits && ex_reply_append("%f\r", f(phase ? u.u[j].phase.value : u.u[j].rms_ln.value));
    }
    for (uint32_t k = 0; k < num_chan / 3 && k < 48; ++k) {
        for (uint32_t j = 0; j < 3; ++j) {
            const data_i &c = work.data.sets_i[k].i[j];
            fits = fits && ex_reply_append("%f\r", f(phase ? c.phase.value : c.rms_u.value));
        }
    }
    if (!fits) {
        sys_log(LOG_ERR, "EX: answer longer than the reply buffer");
        return EX_FAIL;
    }
    return EX_PASS;
}

// ---- device tests ----

bool parse_unsigned_arg(const char *text, long long *v) { return ex_parse_long(text, v); }

struct key_name {
    const char *name;
    uint16_t code;
};
constexpr key_name kKeys[] = {{"UP", 103}, {"DOWN", 108}, {"LEFT", 105}, {"RIGHT", 106}, {"BACK", 14}, {"ENTER", 28}};

int rs485_fd = -1;
termios rs485_saved{};
bool rs485_saved_ok = false;

bool rs485_open() {
    sys_log(LOG_INFO, "Initializing RS485");
    // Not blocking: every read waits through sys_wait_readable with a bound.
    const int fd = sys_open(EX_RS485_PORT, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        sys_log(LOG_ERR, "Failed to open serial port %s", EX_RS485_PORT);
        return false;
    }
    termios t{};
    rs485_saved_ok = sys_tcgetattr(fd, &t) == 0;
    if (rs485_saved_ok) {
        rs485_saved = t;
    } else {
        std::memset(&t, 0, sizeof t);
    }
    t.c_iflag = 0;
    t.c_oflag = OPOST;
    t.c_cflag = CS8 | CREAD | CLOCAL;
    t.c_lflag = 0;
    t.c_cc[VTIME] = 5;
    t.c_cc[VMIN] = 1;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (sys_tcsetattr(fd, TCSANOW, &t) != 0) {
        sys_log(LOG_ERR, "EX: failed to set the terminal settings of %s", EX_RS485_PORT);
    }
    serial_struct serial{};
    if (sys_ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        sys_log(LOG_WARNING, "EX: reading the low-latency flag failed on %s, going on", EX_RS485_PORT);
    } else {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (sys_ioctl(fd, TIOCSSERIAL, &serial) != 0) {
            sys_log(LOG_WARNING, "EX: setting the low-latency flag failed on %s, going on", EX_RS485_PORT);
        }
    }
    sys_tcflush(fd, TCIOFLUSH);
    rs485_fd = fd;
    return true;
}

void rs485_close() {
    if (rs485_fd < 0) {
        return;
    }
    if (rs485_saved_ok) {
        sys_tcsetattr(rs485_fd, TCSANOW, &rs485_saved);
    }
    sys_close(rs485_fd);
    rs485_fd = -1;
}

int send_test_config() {
    if (ipc_test_config_set(&test_cfg) == 0) {
        sys_log(LOG_ERR, "Failed to send test config over IPC");
        return EX_FAIL;
    }
    return EX_PASS;
}

// ---- calibration ----

bool parse_voltage_channel(const char *text, long long *ch) {
    if (!ex_parse_long(text, ch) || *ch < 0 || *ch > 5) {
        sys_log(LOG_ERR, "EX: requested voltage channel out of range");
        return false;
    }
    return true;
}

bool parse_current_channel(const char *text, long long *ct) {
    if (!ex_parse_long(text, ct) || !ct_in_front_end(*ct)) {
        sys_log(LOG_ERR, "EX: requested current channel out of range");
        return false;
    }
    return true;
}

void create_voltage_cal_set(mapping &m, uint32_t ch) {
    std::memset(&m, 0, sizeof m);
    sys_log(LOG_DEBUG, "EX: Creating measurement set for voltage calibration");
    base_set(m, 0);
    m.sets_u[0].u[0].channel = ch;
    m.sets_u[0].u[0].active = true;
    sys_log(LOG_DEBUG, "EX: Starting acquisition for calibration");
}

void create_current_cal_set(mapping &m, uint32_t ct) {
    std::memset(&m, 0, sizeof m);
    sys_log(LOG_DEBUG, "EX: Creating measurement set for current calibration");
    base_set(m, 0);
    m.sets_u[0].u[0].channel = 0;
    m.sets_u[0].u[0].active = true;
    m.sets_i[0].active = true;
    m.sets_i[0].i[0].channel = ct + 6;
    m.sets_i[0].i[0].active = true;
    sys_log(LOG_DEBUG, "EX: Starting acquisition for calibration");
}

}  // namespace

// ---- shared machinery ----

bool ex_chain_stop_locked() {
    pru_stop_acq_discarding();
    processing_stop();
    processing_join();
    acquisition_flush();
    agg_init();
    return true;
}

bool ex_chain_start_locked(const mapping *m) {
    if (!pru_start_acq()) {
        return false;
    }
    return processing_start(m);
}

void ex_set_chain(const ex_chain_t *c) { chain = c != nullptr ? c : &default_chain; }

void ex_set_mapping(const mapping *m) {
    std::lock_guard lock(mapping_mutex);
    std::memcpy(&ex_mapping, m, sizeof ex_mapping);
}

namespace {

void take(event_data_t *ev, result_copy &copy, std::atomic<bool> &ready) {
    if (ev->set == nullptr || ev->set->uset == nullptr || ev->set->uset->id != ex_set.load() || ready.load()) {
        return;
    }
    std::lock_guard lock(copy_mutex);
    if (ready.load()) {
        return;
    }
    std::memcpy(&copy.data, ev->data, sizeof copy.data);
    uint32_t loads = 0;
    while (loads < MAPPING_I_SET_MAX && ev->set->isets[loads] != nullptr) {
        ++loads;
    }
    copy.loads = loads;
    ready = true;
}

}  // namespace

void ex_5c_event(event_data_t *ev) { take(ev, five_cycle_copy, five_cycle_ready); }

void ex_1s_event(event_data_t *ev) {
    if (held.load() && ev->data->set == 0) {
        // Results flow again: their kicks take over from the keeper.
        held = false;
        std::lock_guard lock(wd_mutex);
        wd_cv.notify_all();
    }
    take(ev, one_sec_copy, one_sec_ready);
}

bool ex_synthetic_running() { return agg_outputs_suspended(); }

void ex_chain_restarted() { agg_outputs_suspend(false); }

bool ex_test_mode() {
    std::lock_guard lock(wd_mutex);
    return test_mode;
}

void ex_watchdog_stop() {
    std::unique_lock lock(wd_mutex);
    if (test_mode) {
        sys_log(LOG_INFO, "Stopping watchdog thread");
    }
    test_mode = false;
    wd_quit = true;
    wd_cv.notify_all();
    lock.unlock();
    if (wd_thread.joinable()) {
        wd_thread.join();
    }
    lock.lock();
    wd_running = false;
    wd_quit = false;
    held = false;
}

// ---- measurement commands ----

int ex_com_deprecated(char **, int) { return EX_DEPRECATED; }

int ex_com_5c_freq(char **t, int) { return one_channel_5c(t, false); }
int ex_com_5c_rms(char **t, int) { return one_channel_5c(t, true); }
int ex_com_5c_phase(char **t, int) { return set_command(t, false, false, true); }
int ex_com_1s_freq(char **t, int) { return ui_command(t, ui_value::freq); }
int ex_com_1s_rms(char **t, int) { return ui_command(t, ui_value::rms); }
int ex_com_1s_phase(char **t, int) { return ui_command(t, ui_value::phase); }
int ex_com_1s_pw(char **t, int) { return ui_command(t, ui_value::w); }
int ex_com_1s_pva(char **t, int) { return ui_command(t, ui_value::va); }
int ex_com_1s_pvar(char **t, int) { return ui_command(t, ui_value::var); }
int ex_com_1s_rms_set(char **t, int) { return set_command(t, true, false, false); }
int ex_com_1s_rms_set_all(char **t, int) { return set_command(t, true, true, false); }
int ex_com_1s_phase_set_all(char **t, int) { return set_command(t, true, true, true); }

int ex_com_1s_emc(char **t, int) {
    if (!ex_parse_ct(t[2])) {
        return EX_SYNTAX_ERROR;
    }
    found_ct ct{};
    if (!ex_find_ct(&ct)) {
        return EX_FAIL;
    }
    sys_log(LOG_INFO, "EX: calculating freq and rms for input %d phase %d, load %d, CT %d",
            static_cast<int>(ct.set_id), static_cast<int>(ct.line), static_cast<int>(ct.load_id), requested_ct);
    if (ex_synthetic_running()) {
        sys_log(LOG_ERR, "EX: the configured measurement is not running");
        return EX_FAIL;
    }
    {
        // The processing thread fills the copies under the same lock.
        std::lock_guard lock(copy_mutex);
        five_cycle_ready = false;
        one_sec_ready = false;
        std::memset(&five_cycle_copy, 0, sizeof five_cycle_copy);
        std::memset(&one_sec_copy, 0, sizeof one_sec_copy);
    }
    if (!wait_copy(true, true, &work) || ex_synthetic_running()) {
        return EX_FAIL;
    }
    const int slot = slot_of_load(work.data, work.loads, ct.load_id);
    if (slot < 0) {
        sys_log(LOG_ERR, "EX: load %u not in the result", ct.load_id);
        return EX_FAIL;
    }
    const float freq = work.data.frequency.value;
    const float u = work.data.set_u.u[ct.line].rms_ln.value;
    const float i = work.data.sets_i[slot].i[ct.line].rms.value;
    sys_log(LOG_INFO, "EX: sending freq: %f, rms's: %f,%f", f(freq), f(u), f(i));
    ex_reply("%f\r%f\r%f\r", f(freq), f(u), f(i));
    return EX_PASS;
}

int ex_com_1s_wh(char **t, int) {
    if (!ex_parse_ct(t[2])) {
        return EX_SYNTAX_ERROR;
    }
    found_ct ct{};
    if (!ex_find_ct(&ct)) {
        return EX_FAIL;
    }
    sys_log(LOG_INFO, "EX: calculating Wh for set: %d phase %d, load %d, CT %d", static_cast<int>(ct.set_id),
            static_cast<int>(ct.line), static_cast<int>(ct.load_id), requested_ct);
    // The live data names its processing slot; find the one of the set id.
    static live_set_t live;
    static data_set_t data;
    for (uint32_t slot = 0; slot < 2; ++slot) {
        if (live_data_get_mapping(slot, &live) == 0 || !live.has_uset || live.uset.id != ct.set_id) {
            continue;
        }
        if (live_data_get_data(slot, &data) == 0) {
            return EX_FAIL;
        }
        for (uint32_t k = 0; k < live.loads; ++k) {
            if (live.isets[k].id != ct.load_id) {
                continue;
            }
            const double wh = data.sets_i[k].i[ct.line].wh.value;
            const auto ts = static_cast<unsigned long long>(data.ts_begin);
            sys_log(LOG_INFO, "sending wh: %f, time: %llu", wh, ts);
            ex_reply("%f\r%llu\r", wh, ts);
            return EX_PASS;
        }
    }
    sys_log(LOG_ERR, "EX: no measured energy of CT %d", requested_ct);
    return EX_FAIL;
}

// ---- device tests ----

int ex_com_get_mac(char **, int) {
    sys_log(LOG_INFO, "EX: get mac address");
    char mac[IPC_MAC_LEN] = {};
    if (ipc_mac_addr_get(mac) == 0) {
        sys_log(LOG_ERR, "failed to get mac address");
        return EX_FAIL;
    }
    mac[sizeof mac - 1] = '\0';
    ex_reply("%s\r", mac);
    return EX_PASS;
}

int ex_com_set_serial(char **t, int) {
    sys_log(LOG_INFO, "EX: set serial number");
    if (ipc_serial_set(t[2]) == 0) {
        sys_log(LOG_ERR, "failed to set serial number");
        return EX_FAIL;
    }
    ex_reply("%s\r", t[2]);
    return EX_PASS;
}

int ex_com_get_serial(char **, int) {
    sys_log(LOG_INFO, "EX: get serial number");
    serials s{};
    if (ipc_serial_get(&s) == 0) {
        sys_log(LOG_ERR, "failed to get serial number");
        return EX_FAIL;
    }
    ex_reply("%.*s\r%.*s\r%.*s\r", SERIAL_LEN, s.serial[0], SERIAL_LEN, s.serial[1], SERIAL_LEN, s.serial[2]);
    return EX_PASS;
}

int ex_com_pulse_out(char **t, int) {
    sys_log(LOG_INFO, "EX: generate pulses");
    long long count = 0;
    if (!parse_unsigned_arg(t[2], &count) || count < 0 || count > INT32_MAX) {
        return EX_SYNTAX_ERROR;
    }
    if (ipc_pulse_count_update(2, static_cast<int>(count)) == 0) {
        return EX_FAIL;
    }
    ex_reply("%d\r", static_cast<int>(count));
    return EX_PASS;
}

namespace {

bool parse_pulse_input(const char *text, int *index) {
    long long input = 0;
    if (!ex_parse_long(text, &input) || input < 1 || input > 2) {
        sys_log(LOG_ERR, "pulse input out of range");
        return false;
    }
    *index = static_cast<int>(input - 1);
    return true;
}

}  // namespace

int ex_com_pulse_in(char **t, int) {
    sys_log(LOG_INFO, "EX: retrieve pulse count");
    int index = 0;
    if (!parse_pulse_input(t[2], &index)) {
        return EX_SYNTAX_ERROR;
    }
    int32_t count = 0;
    if (ipc_pulse_count_get(index, &count, nullptr) == 0) {
        sys_log(LOG_ERR, "failed to retrieve pulse count");
        return EX_FAIL;
    }
    ex_reply("%d\r", count);
    return EX_PASS;
}

int ex_com_get_num_chan(char **, int) {
    sys_log(LOG_INFO, "EX: get number of input channels");
    if (num_chan == 0) {
        return EX_FAIL;
    }
    ex_reply("%u\r", num_chan);
    return EX_PASS;
}

int ex_com_set_alarm(char **t, int) {
    sys_log(LOG_INFO, "EX: set alarm output");
    long long v = 0;
    if (!ex_parse_long(t[2], &v)) {
        return EX_SYNTAX_ERROR;
    }
    if (v < 0 || v > 1) {
        sys_log(LOG_ERR, "alarm input not a boolean: %lld", v);
        return EX_SYNTAX_ERROR;
    }
    if (alarm_set(static_cast<uint8_t>(v)) == 0) {
        return EX_FAIL;
    }
    ex_reply("%d\r", static_cast<int>(v));
    return EX_PASS;
}

int ex_com_get_key_press(char **t, int) {
    sys_log(LOG_INFO, "EX: get key press: %s", t[2]);
    const key_name *key = nullptr;
    for (const key_name &k : kKeys) {
        if (std::strcmp(k.name, t[2]) == 0) {
            key = &k;
        }
    }
    if (key == nullptr) {
        return EX_SYNTAX_ERROR;
    }
    sys_log(LOG_DEBUG, "Press %s", key->name);
    const int fd = sys_open(EX_KEYPAD, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        sys_log(LOG_ERR, "Failed to open keyboard");
        return EX_FAIL;
    }
    int result = EX_FAIL;
    const int ready = sys_wait_readable(fd, ex_key_wait_ms);
    if (ready < 0) {
        sys_log(LOG_ERR, "Failed to monitor keyboard");
    } else if (ready == 0) {
        sys_log(LOG_DEBUG, "Timeout reached");
    } else {
        uint8_t event[16];
        if (sys_read(fd, event, sizeof event) != static_cast<ssize_t>(sizeof event)) {
            sys_log(LOG_ERR, "Failed to read key");
        } else {
            uint16_t type = 0;
            uint16_t code = 0;
            std::memcpy(&type, event + 8, 2);
            std::memcpy(&code, event + 10, 2);
            if (type == 1 && code == key->code) {
                sys_log(LOG_DEBUG, "Pressed key matches");
                result = EX_PASS;
            } else {
                sys_log(LOG_DEBUG, "Key differs");
            }
        }
    }
    sys_close(fd);
    return result;
}

int ex_com_set_lcd_back(char **t, int) {
    long long v = 0;
    if (!ex_parse_long(t[2], &v) || v < 0 || v > 1) {
        sys_log(LOG_ERR, "backlight input not a boolean: %s", t[2]);
        return EX_SYNTAX_ERROR;
    }
    test_cfg.backlight = v == 1;
    return send_test_config();
}

int ex_com_set_lcd_led(char **t, int) {
    long long v = 0;
    if (!ex_parse_long(t[2], &v) || v < 0 || v > 6) {
        return EX_SYNTAX_ERROR;
    }
    test_cfg.lcd_led = static_cast<uint32_t>(v);
    return send_test_config();
}

int ex_com_set_rs485_string(char **t, int) {
    sys_log(LOG_INFO, "EX: set RS485 string");
    char text[EX_RS485_SIZE];
    // The text with its CR must fit; a longer one is refused, not cut.
    const int len = std::snprintf(text, sizeof text, "%s\r", t[2]);
    if (len < 0 || static_cast<size_t>(len) >= sizeof text) {
        sys_log(LOG_ERR, "EX: RS485 text longer than %zu characters", sizeof text - 2);
        return EX_SYNTAX_ERROR;
    }
    sys_log(LOG_DEBUG, "received: %s", text);
    if (!rs485_open()) {
        sys_log(LOG_ERR, "failed to open RS485 port");
        return EX_FAIL;
    }
    size_t done = 0;
    bool ok = true;
    while (done < static_cast<size_t>(len)) {
        const ssize_t w = sys_write(rs485_fd, text + done, static_cast<size_t>(len) - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && errno == EAGAIN && sys_wait_writable(rs485_fd, ex_rs485_char_ms) > 0) {
            continue;
        } else {
            ok = false;
            break;
        }
    }
    // The line needs about 100 us per character at 115200 bit/s.
    std::this_thread::sleep_for(std::chrono::microseconds(100 * len));
    rs485_close();
    if (!ok) {
        sys_log(LOG_ERR, "EX: failed to write the RS485 text");
        return EX_FAIL;
    }
    return EX_PASS;
}

int ex_com_get_rs485_string(char **, int) {
    sys_log(LOG_INFO, "EX: get RS485 string");
    if (!rs485_open()) {
        sys_log(LOG_ERR, "failed to open RS485 port");
        return EX_FAIL;
    }
    char text[EX_RS485_SIZE];
    size_t len = 0;
    bool timed_out = false;
    // Up to 127 characters and the terminator; every read has a time limit,
    // so a silent line cannot hold the EX thread (and the program's stop).
    while (len < sizeof text - 1) {
        const int ready = sys_wait_readable(rs485_fd, len == 0 ? ex_rs485_wait_ms : ex_rs485_char_ms);
        if (ready <= 0) {
            timed_out = true;
            break;
        }
        char c = 0;
        const ssize_t got = sys_read(rs485_fd, &c, 1);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (got <= 0) {
            timed_out = true;
            break;
        }
        if (c == '\n') {
            break;
        }
        text[len++] = c;
    }
    text[len] = '\0';
    rs485_close();
    if (timed_out && len == 0) {
        sys_log(LOG_ERR, "EX: no RS485 line received");
        return EX_FAIL;
    }
    sys_log(LOG_DEBUG, "read %d bytes: %s", static_cast<int>(len), text);
    ex_reply("%s\r", text);
    return EX_PASS;
}

int ex_com_set_date_time(char **t, int) {
    sys_log(LOG_INFO, "EX: set date/time");
    // Digits only: the value goes to the clock, never through a shell.
    const char *text = t[2];
    long long seconds = 0;
    if (*text == '\0' || std::strspn(text, "0123456789") != std::strlen(text) || !ex_parse_long(text, &seconds) ||
        seconds > static_cast<long long>(INT64_MAX / 2)) {
        sys_log(LOG_ERR, "EX: date/time not a number of seconds: %.40s", text);
        return EX_SYNTAX_ERROR;
    }
    const auto when = static_cast<time_t>(seconds);
    tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        sys_log(LOG_ERR, "EX: date/time out of range: %lld", seconds);
        return EX_SYNTAX_ERROR;
    }
    if (sys_set_clock(when) != 0) {
        sys_log(LOG_ERR, "Error setting date/time: %d", errno);
        return EX_FAIL;
    }
    char text_time[64];
    if (std::strftime(text_time, sizeof text_time, "%a %b %e %H:%M:%S %Y", &local) == 0) {
        text_time[0] = '\0';
    }
    ex_reply("%s\r", text_time);
    return EX_PASS;
}

int ex_com_get_date_time(char **, int) {
    sys_log(LOG_INFO, "EX: get date/time");
    const uint32_t now = sys_time_u32(sys_time());
    sys_log(LOG_DEBUG, "EX: returning timestamp: %u", now);
    ex_reply("%u\r", now);
    return EX_PASS;
}

int ex_com_reset_pulse_in(char **t, int) {
    sys_log(LOG_INFO, "EX: reset pulse in count");
    int index = 0;
    if (!parse_pulse_input(t[2], &index)) {
        return EX_SYNTAX_ERROR;
    }
    if (ipc_pulse_count_reset(index) == 0) {
        sys_log(LOG_ERR, "failed to reset pulse in count");
        return EX_FAIL;
    }
    return EX_PASS;
}

// ---- calibration ----

int ex_com_cal_volt_noise_floor(char **t, int) {
    long long ch = 0;
    if (!parse_voltage_channel(t[2], &ch)) {
        return EX_SYNTAX_ERROR;
    }
    cal_rm(static_cast<uint32_t>(ch));
    static mapping m;
    create_voltage_cal_set(m, static_cast<uint32_t>(ch));
    sys_log(LOG_INFO, "EX: calibrate voltage channel noise floor");
    if (!stop_and_start(&m, 0) || !wait_synthetic(true, false, &work)) {
        return EX_FAIL;
    }
    sys_log(LOG_DEBUG, "rms ch%d: %f %d", static_cast<int>(ch), f(work.data.set_u.u[0].rms_ln.value),
            cal_array[ch].offset);
    int32_t offset = 0;
    if (!cal_voltage_noise_floor(&work.data, &offset)) {
        return EX_FAIL;
    }
    ex_reply("%d\r", offset);
    return EX_PASS;
}

int ex_com_cal_volt_gain(char **t, int) {
    long long ch = 0;
    double ref = 0.0;
    if (!parse_voltage_channel(t[2], &ch)) {
        return EX_SYNTAX_ERROR;
    }
    // Every argument is checked before the gain is touched.
    if (!ex_parse_float(t[3], &ref) || !(ref > 0.0 && ref <= 400.0)) {
        sys_log(LOG_ERR, "EX: requested voltage out of range");
        return EX_SYNTAX_ERROR;
    }
    cal_rm_gain(static_cast<uint32_t>(ch));
    static mapping m;
    create_voltage_cal_set(m, static_cast<uint32_t>(ch));
    sys_log(LOG_INFO, "EX: calibrate voltage channel gain");
    sys_log(LOG_DEBUG, "ref voltage: %f", ref);
    if (!stop_and_start(&m, 0) || !wait_synthetic(true, true, &work)) {
        return EX_FAIL;
    }
    sys_log(LOG_DEBUG, "rms ch%d: %f %d", static_cast<int>(ch), f(work.data.set_u.u[0].rms_ln.value),
            cal_array[ch].offset);
    float gain = 0.0f;
    if (!cal_voltage_gain(&work.data, &gain, static_cast<float>(ref))) {
        return EX_FAIL;
    }
    ex_reply("%f\r", f(gain));
    return EX_PASS;
}

int ex_com_cal_cur_noise_floor(char **t, int) {
    long long ct = 0;
    if (!parse_current_channel(t[2], &ct)) {
        return EX_SYNTAX_ERROR;
    }
    cal_rm(static_cast<uint32_t>(ct + 6));
    static mapping m;
    create_current_cal_set(m, static_cast<uint32_t>(ct));
    sys_log(LOG_INFO, "EX: calibrate current channel noise floor");
    if (!stop_and_start(&m, 0) || !wait_synthetic(true, false, &work)) {
        return EX_FAIL;
    }
    sys_log(LOG_DEBUG, "rms ich%d: %f", static_cast<int>(ct), f(work.data.sets_i[0].i[0].rms_u.value));
    int32_t offset = 0;
    if (!cal_current_noise_floor(&work.data, &offset)) {
        return EX_FAIL;
    }
    ex_reply("%d\r", offset);
    return EX_PASS;
}

int ex_com_cal_cur_gain(char **t, int) {
    long long ct = 0;
    double ref = 0.0;
    if (!parse_current_channel(t[2], &ct)) {
        return EX_SYNTAX_ERROR;
    }
    if (!ex_parse_float(t[3], &ref) || !(ref > 0.0 && ref <= 5.0)) {
        sys_log(LOG_ERR, "EX: requested voltage out of range");
        return EX_SYNTAX_ERROR;
    }
    cal_rm_gain(static_cast<uint32_t>(ct + 6));
    static mapping m;
    create_current_cal_set(m, static_cast<uint32_t>(ct));
    sys_log(LOG_INFO, "EX: calibrate current channel gain");
    sys_log(LOG_DEBUG, "ref voltage: %f", ref);
    if (!stop_and_start(&m, 0) || !wait_synthetic(true, true, &work)) {
        return EX_FAIL;
    }
    sys_log(LOG_DEBUG, "rms i_ch%d: %f", static_cast<int>(ct), f(work.data.sets_i[0].i[0].rms_u.value));
    float gain = 0.0f;
    if (!cal_current_gain(&work.data, &gain, static_cast<float>(ref))) {
        return EX_FAIL;
    }
    ex_reply("%f\r", f(gain));
    return EX_PASS;
}

int ex_com_cal_print_array(char **, int) {
    if (!stop_and_start(nullptr, 0)) {
        return EX_FAIL;
    }
    sys_log(LOG_INFO, "EX: print calibration array");
    cal_print();
    return EX_PASS;
}

int ex_com_cal_rm_line(char **t, int) {
    if (!ex_parse_channel(t[2], false, false)) {
        return EX_SYNTAX_ERROR;
    }
    const int ch = requested_channel;
    if (!stop_and_start(nullptr, 0)) {
        return EX_FAIL;
    }
    sys_log(LOG_INFO, "EX: remove line from calibration array");
    if (!cal_rm(static_cast<uint32_t>(ch))) {
        sys_log(LOG_DEBUG, "failed to remove line from cal_array");
        return EX_FAIL;
    }
    ex_reply("%d\r", ch);
    return EX_PASS;
}

int ex_com_cal_store(char **, int) {
    if (!stop_and_start(nullptr, 0)) {
        return EX_FAIL;
    }
    sys_log(LOG_INFO, "EX: store calibration array to eeprom");
    return cal_store_eeprom() ? EX_PASS : EX_FAIL;
}

// ---- control ----

int ex_com_testmode(char **, int) {
    if (!watchdog_get_enabled()) {
        sys_log(LOG_ERR, "EX: test mode needs the service watchdog, which is not configured");
        return EX_FAIL;
    }
    if (!stop_and_start(nullptr, 0)) {
        return EX_FAIL;
    }
    {
        std::lock_guard lock(wd_mutex);
        test_mode = true;
    }
    if (!keeper_ensure()) {
        std::lock_guard lock(wd_mutex);
        test_mode = false;
        return EX_FAIL;
    }
    std::memset(&test_cfg, 0, sizeof test_cfg);
    return send_test_config();
}

int ex_com_reboot(char **, int) {
    if (ipc_reboot() == 0) {
        sys_log(LOG_ERR, "Failed to reboot");
        return EX_FAIL;
    }
    return EX_PASS;
}

int ex_com_restart_proc(char **, int) {
    // The configured mapping first: a failed fetch leaves the measurement as it is.
    static mapping m;
    std::memset(&m, 0, sizeof m);
    sys_log(LOG_INFO, "EX: restarting processing");
    sys_log(LOG_INFO, "EX: restarting normal processing");
    if (arvent_get(&m) == 0) {
        sys_log(LOG_ERR, "EX: failed to fetch the mapping");
        return EX_FAIL;
    }
    // The same restart as for a new mapping: storage, nodes and outputs
    // follow the configured mapping again.
    hold_measurement();
    if (!restart_measurement_with(&m)) {
        sys_log(LOG_ERR, "EX: the measurement cannot be changed now");
        return EX_FAIL;
    }
    return EX_PASS;
}

int ex_com_stop_proc(char **, int) { return stop_and_start(nullptr, 0) ? EX_PASS : EX_FAIL; }
