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
// - /dev/ttyGS0, /dev/ttyO4, /dev/input/event0: whatever the root holds
//   there, pseudo-terminals linked in and a FIFO of 16-byte input events;
//   their calls are the system's own, outside the fault injection.
// Every other path is a plain file under METER_ROOT (EEPROMs, sysfs, /data).

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
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
// armed fault, puts the simulated PRU back to power-on, and starts keeping
// what a power cut would lose under METER_ROOT (see "What is durable").
// Tests call it first.
void reset();

// ---- /dev/mem ----
// The physical memory that the DDR buffer lives in is the sparse file
// /dev/mem under the root; this creates it when missing.
bool dev_mem_ready();

// ---- result nodes ----
// On the host a result node is the file of its board path under the root,
// written in place under an exclusive flock. A reader outside these models
// takes a shared flock on it for its read, and so sees whole records only.
// The whole current content of a result node ("" before its first sizing).
std::string node_content(const std::string &board_path);
// Fault hook: called in every result-node write with the record half
// written (and the file locked); nullptr to end.
void set_node_write_pause(std::function<void()> pause);

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
// Every sys_set_clock of this process, in order. Each is also appended as
// a decimal line to kClockSettingsFile under METER_ROOT, for a test that
// drives the program from another process. The host's clock never changes.
std::vector<time_t> clock_settings();
constexpr const char *kClockSettingsFile = "/host/clock_settings";

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

// ---- failures, crashes and power cuts on plain files ----
// Every call on a plain file (anything but the driver nodes) counts as one
// step: open, close, read, write, lseek, fsync, rename, unlink, stat, mkdir,
// list_dir and fsync_dir. The calls composed of them (sys_read_all,
// sys_write_all, sys_replace_file) take one step per call they make.
// Arming a fault acts on step number `step`, counted from 0 from the arming:
//   once       that step fails with EIO; the steps after it work.
//   crash      the process dies there: that step and every later one fail
//              with EIO. What the steps before did stays, page cache and
//              all, as after a crash of the program alone.
//   power_cut  the power goes there: as crash, and everything that was not
//              durable at that moment is rolled back (see below).
//   interrupt  that step fails with EINTR and does nothing, as a call that a
//              signal interrupts; the steps after it work.
//   partial    a read or write of more than one byte at that step moves only
//              the first half of its bytes; any other step works.
// A write that fails by once or crash first writes half of its bytes, as a
// write cut short by a failing device. fault_disarm() ends the fault: the
// power is back, or the program has started again.
//
// What is durable. From reset() on (with METER_ROOT set) the host keeps what
// a power cut would lose, everything on disk at reset() counting as durable.
// Files a test writes itself, outside the sys_* calls, count as durable too,
// unless it writes them into a folder whose changes through the sys_* calls
// are not durable yet (the cut then takes them for such changes).
//   - a file's data is durable once the file is fsynced; a cut takes back
//     every byte written since (appended bytes go, overwritten bytes come
//     back; an open that truncated is undone);
//   - a folder's entries are durable once the folder is fsynced
//     (sys_fsync_dir, or sys_fsync of a descriptor of the folder): a cut
//     removes the names created in it since (files and folders with all
//     they hold), and puts back the names renamed or removed since, each on
//     the file it named, with that file's durable data. Each folder rolls
//     back on its own. Folders that are renamed or removed are not rolled
//     back.
// So a file written without fsync is old (or gone) after a cut, and a rename
// whose folder was not fsynced is undone. Every bytes-or-nothing question is
// answered the strict way: nothing not durable survives. The other extreme,
// everything the program wrote survives, is Mode::crash.
enum class Mode { once, crash, power_cut, interrupt, partial };
void fault_arm(uint64_t step, Mode mode);
void fault_disarm();
bool fault_fired();       // the armed step has been reached
uint64_t fault_steps();   // steps counted since arming
// Cuts the power now: rolls back what is not durable; every later step fails
// until fault_disarm(). After a crash, it tells what the crash leaves behind
// if the power goes before the page cache reaches the disk.
void power_cut();

// ---- slow flash and what reaches the disk ----
// A flash that takes its time: every fsync (of a file or a folder) of a
// plain file takes at least fsync_ms, and every write at least write_ms.
// The call waits after its step and outside the model's lock, so calls of
// other threads go on meanwhile, as they would beside a slow device. The
// environment sets it for a program (METER_HOST_FSYNC_MS, METER_HOST_WRITE_MS,
// in milliseconds); reset() goes back to those values.
void slow_flash(unsigned fsync_ms, unsigned write_ms = 0);
constexpr const char *kFsyncMsVariable = "METER_HOST_FSYNC_MS";
constexpr const char *kWriteMsVariable = "METER_HOST_WRITE_MS";

// Bytes written to each plain file and syncs of it by board path (a folder's
// own fsyncs under the folder's path), since reset() or io_clear().
struct FileIo {
    uint64_t bytes = 0;
    uint64_t writes = 0;
    uint64_t syncs = 0;
};
std::map<std::string, FileIo> io_counts();
void io_clear();

// ---- scheduling ----
// Real-time scheduling is requested from the host only when METER_REALTIME=1;
// otherwise sys_set_realtime keeps normal scheduling and logs that.

}  // namespace meter::host
