#pragma once
// The measurement program's entry: command line, start-up in its fixed
// order, the main thread's watch of the data-ready node, restarts of the
// measurement chain, configuration changes from velsard, signals and the
// clean-up.
//
// Every start and stop of the chain (start-up, a restart from the main
// thread or the IPC thread, the shutdown) runs under one lock, so that no
// two of them interleave. The signal handler only records the signal; the
// main thread acts on it at its next wake (within 100 ms).

#include "arvent.h"

#include <csignal>
#include <cstdint>

struct arguments {
    bool debug = false;
    bool print = false;
    bool test = false;
    uint32_t count = 0;
    const char *output = "data.csv";
    uint32_t frequency = 1538500;  // ADC clock, Hz
    uint32_t channel = 0;
    bool five_cycle = false;
    bool chan_given = false;
};

constexpr const char *DRDY_PATH = "/dev/zor_pulse/drdy_out_of_sync";

// Cleared by SIGINT; ends the main loop.
extern volatile std::sig_atomic_t running;
// The data-ready node, open read-write; -1 when not open.
extern int drdy_fd;

// Parses the command line into args (argp); 0 or argp's error. Option
// verbose raises the log mask to debug at once.
int parse_arguments(int argc, char **argv, arguments *args);

// The start-up sequence. 0 when the program measures; otherwise the exit
// status (1), after the clean-up that the failed step calls for.
int main_init(bool print, uint32_t count, uint32_t frequency, uint32_t channel, bool five_cycle, bool chan_given);
// One wake of the main loop: reads the data-ready byte and restarts the
// chain when the daisy chain is out of step.
void main_watch_drdy();
// Fetches the mapping and restarts the chain with it. Before start-up has
// started the chain it only notes the change: start-up then starts the chain
// with a freshly fetched mapping. False when nothing was restarted.
bool restart_measurement();
// The restart itself, on a mapping the caller has fetched (EX's return to
// the configured mapping). False when nothing was restarted.
bool restart_measurement_with(const mapping *m);
// Runs fn(arg) under the lock of every start and stop of the chain, for EX,
// which stops and starts the chain too; false without running it while the
// chain may not be touched (before start-up has started it, in print mode,
// after shutdown has begun), else fn's result.
bool main_chain_locked(bool (*fn)(void *), void *arg);
// The configuration handler of the IPC thread.
void handle_config_change(int kind);
// Installed for SIGINT and SIGHUP: records the signal, nothing more.
void handle_signal(int sig);
// Acts on a recorded signal (main thread): logs it and, for SIGINT, ends the
// main loop.
void main_handle_signals();
// Stops every thread, then releases what they used. Returns 0.
int main_cleanup();
// Writes "rst" with its NUL to the data-ready node.
void reset_drdy(int fd);
// Restarts of the chain since start-up.
uint32_t main_restart_count();

// Print mode after start-up: waits for the capture (a progress line every
// 100 ms when progress is set), then writes the CSV file. The exit status:
// 0, or 1 when the file could not be written.
int main_capture(uint32_t count, const char *output, bool progress);

// The whole program: options, logging, signals, start-up, main loop, clean-up.
int nerisko_main(int argc, char **argv);
