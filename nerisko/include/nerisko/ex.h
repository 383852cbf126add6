#pragma once
// EX, the factory test and calibration station's line protocol on the USB
// gadget serial port: "ID" asks for the version, "EX" with a four-digit code
// and its arguments runs one test, measurement, calibration or control step.
// One receive thread reads the lines, runs the command on itself and writes
// the answer: value lines ended by CR, then a status line ended by CR LF.
//
// Measurement commands stop the chain and run it on a small synthetic
// mapping; while one runs, the meter's outputs (energy registers and file,
// demand, pulse output, trends, nodes, live data) are suspended, so a test
// run never reaches them. Every stop and start goes through the program's
// chain lock.

#include "arvent.h"
#include "nerisko/data.h"
#include "nerisko/event.h"

#include <cstddef>
#include <cstdint>

constexpr const char *EX_PORT = "/dev/ttyGS0";
constexpr const char *EX_RS485_PORT = "/dev/ttyO4";
constexpr const char *EX_KEYPAD = "/dev/input/event0";
constexpr const char *EX_API_VERSION = "0.4";

constexpr size_t EX_LINE_SIZE = 512;   // a command line, CR included
// Large enough for the longest answer: 51 values of "%f\r" at up to 48
// characters each (1103 and 1104 on 48 channels).
constexpr size_t EX_REPLY_SIZE = 4096;
constexpr size_t EX_MAX_TOKENS = 10;
constexpr size_t EX_RS485_SIZE = 128;  // RS-485 text with its CR, or line read with its terminator

enum ex_result : int { EX_PASS = 0, EX_SYNTAX_ERROR = 1, EX_NOT_IMPLEMENTED = 2, EX_FAIL = 3, EX_DEPRECATED = 4 };
extern const char *const err_code_names[5];

// A handler gets the tokens: 0 "EX", 1 the code, 2.. the arguments.
using ex_handler_t = int (*)(char **tokens, int count);
struct ex_command_t {
    const char *text;  // "EX 1000"
    ex_handler_t handler;
    uint32_t args;  // arguments after the code; 0: any number
};
extern const ex_command_t ex_commands[];

// The reply buffer (EX_REPLY_SIZE bytes) that handlers answer into.
extern char *res;

// Opens the port with its terminal settings (the old ones kept for
// ex_disable); 1 when open, 0 otherwise.
int ex_init();
// Puts the saved settings back and closes the port.
void ex_disable();
// Starts the receive thread; false when it cannot run.
bool ex_start();
// Ends test mode and the receive thread, then closes the port.
void ex_stop();
void ex_join();
// SIGHUP: the receive thread closes and reopens the port between two reads.
void ex_request_reopen();
bool ex_active();

void ex_com_init(char *buffer);
const ex_command_t *ex_com_find(const char *text);
void ex_write_error(int result);
// Formats into res (bounded); nullptr leaves res empty.
void ex_reply(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Appends to res; false (res unchanged) when it does not fit.
bool ex_reply_append(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The receive path without the port: takes the bytes as one read that
// returned them (at most the free rest of the line buffer is taken; the
// number taken is returned), processes a completed line and writes its
// answer to the output. The receive thread uses it; so do tests and the fuzz
// target.
size_t ex_receive(const char *data, size_t n);
// Where answers go: the port (nullptr) or a test's sink.
using ex_output_t = void (*)(const char *data, size_t n);
void ex_set_output(ex_output_t out);
// Empties the line buffer (tests).
void ex_reset_line();

// Strict decimal arguments: the whole text must be the number.
bool ex_parse_long(const char *text, long long *out);
bool ex_parse_float(const char *text, double *out);

// ---- measurement commands and their shared machinery ----

// Keeps a copy of the configured mapping (start-up, every restart).
void ex_set_mapping(const mapping *m);
// The callbacks on the five-cycle and one-second lists.
void ex_5c_event(event_data_t *ev);
void ex_1s_event(event_data_t *ev);

// How EX stops and starts the chain. The default reaches the PRU and the
// processing under the program's chain lock; the fuzz target puts in stubs.
struct ex_chain_t {
    bool (*stop)();                   // false: the chain may not be touched (shutdown)
    bool (*start)(const mapping *m);  // starts acquisition and processing on m
};
// nullptr restores the default.
void ex_set_chain(const ex_chain_t *chain);
// The default stop and start (callers hold the chain lock).
bool ex_chain_stop_locked();
bool ex_chain_start_locked(const mapping *m);

// Bounds of the waits, ms; tests shorten them.
extern int ex_result_wait_ms;   // a result copy: 2000
extern int ex_key_wait_ms;      // a key press: 5000
extern int ex_rs485_wait_ms;    // the first character of an RS-485 line: 5000
extern int ex_rs485_char_ms;    // between characters: 500

// Test mode and the keeper of the service watchdog while EX holds the
// measurement stopped.
bool ex_test_mode();
void ex_watchdog_stop();
// Whether a synthetic EX mapping is running (the outputs are suspended).
bool ex_synthetic_running();
// The chain was restarted on the configured mapping: EX no longer holds it.
void ex_chain_restarted();

// The handlers.
int ex_com_deprecated(char **t, int n);
int ex_com_5c_freq(char **t, int n);
int ex_com_5c_rms(char **t, int n);
int ex_com_5c_phase(char **t, int n);
int ex_com_1s_freq(char **t, int n);
int ex_com_1s_rms(char **t, int n);
int ex_com_1s_phase(char **t, int n);
int ex_com_1s_pw(char **t, int n);
int ex_com_1s_pva(char **t, int n);
int ex_com_1s_pvar(char **t, int n);
int ex_com_1s_emc(char **t, int n);
int ex_com_1s_rms_set(char **t, int n);
int ex_com_1s_rms_set_all(char **t, int n);
int ex_com_1s_phase_set_all(char **t, int n);
int ex_com_1s_wh(char **t, int n);
int ex_com_get_mac(char **t, int n);
int ex_com_set_serial(char **t, int n);
int ex_com_get_serial(char **t, int n);
int ex_com_pulse_out(char **t, int n);
int ex_com_pulse_in(char **t, int n);
int ex_com_get_num_chan(char **t, int n);
int ex_com_set_alarm(char **t, int n);
int ex_com_get_key_press(char **t, int n);
int ex_com_set_lcd_back(char **t, int n);
int ex_com_set_lcd_led(char **t, int n);
int ex_com_set_rs485_string(char **t, int n);
int ex_com_get_rs485_string(char **t, int n);
int ex_com_set_date_time(char **t, int n);
int ex_com_get_date_time(char **t, int n);
int ex_com_reset_pulse_in(char **t, int n);
int ex_com_cal_volt_noise_floor(char **t, int n);
int ex_com_cal_volt_gain(char **t, int n);
int ex_com_cal_cur_noise_floor(char **t, int n);
int ex_com_cal_cur_gain(char **t, int n);
int ex_com_cal_print_array(char **t, int n);
int ex_com_cal_rm_line(char **t, int n);
int ex_com_cal_store(char **t, int n);
int ex_com_testmode(char **t, int n);
int ex_com_reboot(char **t, int n);
int ex_com_restart_proc(char **t, int n);
int ex_com_stop_proc(char **t, int n);
