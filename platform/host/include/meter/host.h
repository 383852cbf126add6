#pragma once
// The build machine's implementation of the sys_* calls (meter/sysio.h):
// models of the board's drivers, a settable clock, a log sink and fault
// injection on files, and the handles that tests use to look at them.
//
// Device nodes:
// - /dev/zor_data/{ct,load,input}/N: result nodes. SET_SIZE fixes the record
//   size; every write must be exactly one record and replaces the node's
//   whole content through a rename, so a reader in another process (a test,
//   the REST stand-in) sees the old or the new record, never a mix. The
//   content lives in the file of the same path under METER_ROOT.
// - /dev/zor_pulse/drdy_out_of_sync: one status byte kept in the file of the
//   same path (so a test or a script can raise it from outside); each read
//   answers that byte, writing "rst" with its NUL clears it.
// - /dev/zor_pulse/pulse_out, /dev/zor_pulse/alarm_out, /dev/zor_adc: keep
//   every request and every byte they receive, for the tests below; the
//   ADC requests also reach the simulated daisy chain (prusim), whose loss
//   of step raises the data-ready node.
// - /dev/mem: a sparse file under METER_ROOT that the simulated PRU maps too.
// Every other path is a plain file under METER_ROOT (EEPROMs, sysfs, /data).

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace meter::host {

// Driver requests that the models know.
constexpr unsigned long ZOR_SET_SIZE = 0x40046d01;        // result nodes: int *size
constexpr unsigned long ZOR_SET_PULSE_WIDTH = 0x40046d01;  // pulse_out: int *width
constexpr unsigned long ZOR_ADC_RESET = 0x6d01;
constexpr unsigned long ZOR_ADC_ENABLE_CS = 0x40046d02;
constexpr unsigned long ZOR_ADC_DISABLE_CS = 0x40046d03;
constexpr unsigned long ZOR_ADC_ENABLE_DAISY = 0x6d04;
constexpr unsigned long ZOR_ADC_DISABLE_DAISY = 0x6d05;
constexpr unsigned long ZOR_ADC_SET_CLK = 0x40046d06;

// Forgets every model's state, the clock setting, the captured log and any
// armed fault, and puts the simulated PRU back to power-on. Tests call it first.
void reset();

// ---- /dev/mem ----
// The physical memory that the DDR buffer lives in is the sparse file
// /dev/mem under the root; this creates it when missing.
bool dev_mem_ready();

// ---- result nodes ----
// The whole current content of a result node ("" before its first sizing).
std::string node_content(const std::string &board_path);

// ---- data-ready node ----
void drdy_raise(uint8_t value = 1);
uint8_t drdy_value();

// ---- pulse_out, alarm_out ----
std::vector<int32_t> pulse_widths();     // every SET_PULSE_WIDTH, in order
std::vector<uint8_t> pulse_out_bytes();  // every byte written
std::vector<uint8_t> alarm_out_bytes();  // every byte written

// ---- /dev/zor_adc ----
struct AdcRequest {
    unsigned long request;
    int32_t arg;  // the pointed-to int; 0 for requests without one
    bool operator==(const AdcRequest &) const = default;
};
std::vector<AdcRequest> adc_requests();
struct AdcState {
    int32_t clock_hz = 0;
    bool daisy = false;
    uint32_t chip_selects = 0;  // bit n: chip select n asserted (2..9)
    uint32_t resets = 0;
};
AdcState adc_state();

// ---- clock ----
// Fixes sys_time() at t until clock_release(); clock_advance moves it.
void clock_set(time_t t);
void clock_advance(time_t seconds);
void clock_release();

// ---- log ----
struct LogLine {
    int priority;
    std::string text;
};
// While capturing, log lines that pass the process's log mask are kept here
// instead of going to syslog.
void log_capture(bool on);
std::vector<LogLine> log_lines();
bool log_has(const std::string &text);  // some captured line equals text
bool log_has(int priority, const std::string &text);
size_t log_count(const std::string &text);
void log_clear();

// ---- failures on plain files ----
// Every operation on a plain file (open, read, write, lseek, fsync, close)
// counts as one step. Arming makes step number `step` (from 0, counted from
// the arming) fail with EIO. A failing write first writes half of its bytes,
// as a write cut by a power loss would. With Mode::crash the failed step and
// every later one fail, as if the power had gone; with Mode::once only that
// step fails and the rest work.
enum class Mode { once, crash };
void fault_arm(uint64_t step, Mode mode);
void fault_disarm();
bool fault_fired();       // the armed step has been reached
uint64_t fault_steps();   // steps counted since arming

// ---- scheduling ----
// Real-time scheduling is requested from the host only when METER_REALTIME=1;
// otherwise sys_set_realtime keeps normal scheduling and logs that.

}  // namespace meter::host
