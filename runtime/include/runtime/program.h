// Talvik's life cycle: the start-up, the main loop of about 5 ms that drives
// the BACnet stack and carries out restarts, the clean-up, and the TQR
// poller thread that keeps the objects' present values current.
//
// Threads. The main thread runs the start-up, the loop, every restart and
// the final clean-up; the signal thread and libarvent's IPC thread only set
// flags (runtime/events.h). The object sets and their maps change only in
// the start-up and the clean-up, while the poller, COV timer and event
// threads are stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/events.h"

// Keeps the poller running; cleared by the clean-up, which also wakes a
// poller that pauses between its cycles.
extern std::atomic<bool> pollingActive;

// The connection to velsard that every start-up opens (with
// runtimeIpcEventHandler) and every clean-up closes: libarvent's. A test
// may put its own in place while Talvik is stopped; empty functions put
// libarvent's back.
struct RuntimeIpc {
    std::function<bool()> open;
    std::function<void()> close;
};
void runtimeSetIpc(RuntimeIpc ipc);

// How a start-up ended.
enum class StartResult {
    Running,   // Talvik runs
    Stopped,   // a stop ended one of its waits; clean up and end with 0
    IpcFailed, // velsard could not be reached: end with 1
};

// The whole start-up. A step that raises is logged and the start-up goes
// on with the next one.
StartResult runtimeStart();
// Clean-up, stack shutdown and start-up again.
StartResult runtimeRestart();
// Stops the poller, COV timer and event threads, saves and destroys the
// object sets and closes the velsard connection. Safe after a start-up that
// a stop cut short: sets whose saved states were not loaded yet are not
// saved.
void runtimeCleanup();
void runtimeCleanupLoadMapping();
void runtimeCleanupInputMapping();
void runtimeCleanupPulseMapping();
// The state folders of the current loads and inputs (runtime/state_dirs.h).
bool runtimeCreateStateDirectories();
// Every input's objects, then every load's, load their saved state.
void runtimeLoadObjectStates();
// The start-up's fetch of everything but the communication configuration.
// A mapping that does not arrive asks for a restart 10 s later.
void runtimeFetchConfiguration();

// The poller: one poll cycle (time, loads, inputs and, with pulse inputs,
// pulses), each request only while pollingActive holds.
void runtimePollCycle();
// The poller thread's body: cycles a second apart until the clean-up.
void runtimePollThread();

// The main loop. One cycle: a restart when one is due, then (with a BACnet
// datalink) the stack's timer step with the whole length of the previous
// cycle and one receive-and-dispatch step, then the rest of 5 ms asleep.
// Returns once a stop is requested, or with IpcFailed when a restart could
// not reach velsard.
StartResult runtimeRun();
// The length of the previous cycle in ms, as the next stackTick gets it.
uint32_t runtimeCycleMs();
// Cycles the loop has run in this process.
uint64_t runtimeCycles();
// Whether the stack runs on its datalink (a failed stackInit is tried
// again once a second by the loop).
bool runtimeStackRunning();

// The program: blocks the signals, starts the signal thread, starts Talvik
// and runs the loop; after a stop cleans up, shuts the stack down and
// returns 0, or 1 when velsard cannot be reached.
int runtimeMain(int argc, char **argv);
