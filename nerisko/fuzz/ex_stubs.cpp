// What EX reaches beyond itself, for the fuzz target: a board whose nodes
// cannot be opened, a velsard that answers every call, a chain that does
// nothing, and no results.

#include "arvent.h"
#include "meter/sysio.h"
#include "nerisko/agg.h"
#include "nerisko/acquisition.h"
#include "nerisko/alarm.h"
#include "nerisko/cal.h"
#include "nerisko/frontend.h"
#include "nerisko/live_data.h"
#include "nerisko/processing.h"
#include "nerisko/program.h"
#include "nerisko/pru.h"
#include "nerisko/watchdog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

uint32_t num_chan = 48;
uint32_t num_adcs = 9;
uint32_t num_buf = 54;
cal_entry_t cal_array[CAL_CHANNELS];

// ---- board ----
int sys_open(const char *, int, mode_t) {
    errno = ENOENT;
    return -1;
}
int sys_close(int) { return 0; }
ssize_t sys_read(int, void *, size_t) {
    errno = EBADF;
    return -1;
}
ssize_t sys_write(int, const void *, size_t count) { return static_cast<ssize_t>(count); }
int sys_ioctl(int, unsigned long, void *) {
    errno = ENOTTY;
    return -1;
}
int sys_wait_readable(int, int) { return 0; }
int sys_wait_writable(int, int) { return 1; }
int sys_tcgetattr(int, struct termios *) { return 0; }
int sys_tcsetattr(int, int, const struct termios *) { return 0; }
int sys_tcflush(int, int) { return 0; }
int sys_set_clock(time_t) { return 0; }
time_t sys_time() { return 1700000000; }
void sys_vlog(int, const char *format, va_list args) {
    // Formatted all the same: a bad argument to a log line shows here.
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, format, args);
}
void sys_log(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    sys_vlog(priority, format, args);
    va_end(args);
}
void sys_invariant_failed(const char *text) {
    std::fprintf(stderr, "%s\n", text);
    std::abort();
}

// ---- velsard ----
int ipc_version_get(char *version) {
    std::snprintf(version, IPC_VERSION_LEN, "%s", "1.0.0");
    return 1;
}
int ipc_mac_addr_get(char *mac) {
    std::snprintf(mac, IPC_MAC_LEN, "%s", "02:00:00:00:00:01");
    return 1;
}
int ipc_serial_set(const char *) { return 1; }
int ipc_serial_get(serials *s) {
    std::memset(s, 'Z', sizeof *s);  // unterminated texts, as a full record can be
    return 1;
}
int ipc_pulse_count_update(int, int) { return 1; }
int ipc_pulse_count_get(int, int32_t *count, uint32_t *) {
    *count = -7;
    return 1;
}
int ipc_pulse_count_reset(int) { return 1; }
int ipc_test_config_set(const test_config *) { return 1; }
int ipc_reboot() { return 1; }
int arvent_get(mapping *m) {
    std::memset(m, 0, sizeof *m);
    return 1;
}

// ---- the chain and the outputs ----
bool pru_start_acq() { return true; }
void pru_stop_acq_discarding() {}
bool processing_start(const mapping *) { return true; }
void processing_stop() {}
void processing_join() {}
void acquisition_flush() {}
void agg_init() {}
namespace {
bool suspended = false;
}
void agg_outputs_suspend(bool on) { suspended = on; }
bool agg_outputs_suspended() { return suspended; }
bool main_chain_locked(bool (*fn)(void *), void *arg) { return fn(arg); }
bool restart_measurement_with(const mapping *) { return true; }

// ---- calibration, live data, alarm, watchdog ----
bool cal_rm(uint32_t channel) {
    if (channel >= CAL_CHANNELS) {
        std::abort();
    }
    return true;
}
bool cal_rm_gain(uint32_t channel) { return cal_rm(channel); }
bool cal_voltage_noise_floor(const data_set_t *, int32_t *) { return false; }
bool cal_voltage_gain(const data_set_t *, float *, float) { return false; }
bool cal_current_noise_floor(const data_set_t *, int32_t *) { return false; }
bool cal_current_gain(const data_set_t *, float *, float) { return false; }
void cal_print() {}
bool cal_store_eeprom() { return true; }
int live_data_get_data(uint32_t set, data_set_t *out) {
    if (set >= 2) {
        std::abort();
    }
    std::memset(out, 0, sizeof *out);
    return 1;
}
int live_data_get_mapping(uint32_t set, live_set_t *out) {
    if (set >= 2) {
        std::abort();
    }
    std::memset(out, 0, sizeof *out);
    return 1;
}
int alarm_set(uint8_t value) { return value <= 1 ? 1 : (std::abort(), 0); }
bool watchdog_get_enabled() { return false; }
uint32_t watchdog_get_kick_interval_sec() { return 0; }
void watchdog_kick() {}
