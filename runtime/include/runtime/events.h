// How Talvik reacts to the outside: its four signals and velsard's
// configuration changes. Every reaction only sets a flag (a factory reset
// also empties TQR's alarm list); the main thread carries out a restart or
// the stop between two of its cycles, never inside a signal context.
//
// Threads: the signal thread (runtimeSignalThreadStart) takes the signals,
// libarvent's IPC thread runs runtimeIpcEventHandler, the main thread takes
// the requests. The state here is atomic or under a lock of its own; none of
// it is held while logging or while a request goes to TQR.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "runtime/state.h"

struct bacnet_config;
class TqrOwnAlarmPuts;

// Set by the first stop signal and never cleared: the main thread cleans up
// and ends with status 0; later stop signals are logged and ignored.
extern std::atomic<bool> shuttingDown;

// The alarm configuration file that a factory reset removes.
extern const char *const alarmConfigFile;

// ---- restart requests ----

// The restart requests of the process around resetRequested. Most events ask
// for a restart at once; alarm-state changes at most once per 10 s, a later
// one being put off to 10 s after the last, never dropped; a restart can
// also be asked for after a delay. The main loop takes a request when the
// restart begins, so one that arrives while it restarts is kept.
class RestartRequests {
  public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;
    static constexpr std::chrono::seconds alarmStateSpacing{10};

    // The last accepted alarm-state restart counts as now, as at the
    // program's start.
    RestartRequests(std::atomic<bool> &flag, Now now);

    Clock::time_point now() const { return now_(); }
    // A restart as soon as the main loop sees it.
    void request();
    // An alarm-state change: true when the restart is requested now, false
    // when it is put off until 10 s after the last accepted one. Each line
    // it logs is written after its lock is released.
    bool requestRateLimited();
    // A restart no sooner than delay from now; an earlier pending time stays.
    void requestAfter(Clock::duration delay);
    // Main loop, between cycles: true when a restart is to begin now. The
    // request is taken, and with it every put-off one, since the start-up
    // that follows reads everything afresh.
    bool take();
    // When a put-off request falls due; none when nothing is put off.
    std::optional<Clock::time_point> dueAt() const;

  private:
    std::atomic<bool> &flag_;
    Now now_;
    mutable std::mutex mutex_;
    Clock::time_point lastAccepted_;
    std::optional<Clock::time_point> due_;
    bool dueIsAlarmState_ = false;
};

// The process's requests, on resetRequested and the steady clock. Its first
// use starts the first 10 s of the alarm-state spacing: main makes it first.
RestartRequests &runtimeRestarts();
// Makes runtimeRestarts() answer the given requests (a clock of a test's
// own); null goes back to the process's. Set it while no event can come.
void runtimeUseRestarts(RestartRequests *restarts);
// An alarm-state restart, at most once per 10 s (see RestartRequests).
void runtimeRequestReset();

// ---- signals ----

// Blocks SIGHUP, SIGINT, SIGQUIT and SIGTERM in the calling thread. main
// calls it before anything else, so that every thread inherits the mask and
// only the signal thread takes them. False (with errno) when refused.
bool runtimeBlockSignals();
// Starts the thread that takes the blocked signals one by one and hands each
// to runtimeHandleSignal. False when it cannot be started (logged).
bool runtimeSignalThreadStart();
// Ends and joins the signal thread; nothing when none runs.
void runtimeSignalThreadStop();
// What a signal does, on the signal thread: logs its line at level 1;
// SIGHUP requests a restart, the others a stop (once; later ones are
// ignored after their line).
void runtimeHandleSignal(int signo);

// Waits up to `wait`; false as soon as a stop is requested, true when the
// time ran out. The start-up's waits use it, so that a stop ends them.
bool runtimePause(std::chrono::milliseconds wait);
// Wakes runtimePause and sets shuttingDown, as a stop signal does.
void runtimeRequestStop();

// ---- configuration events ----

// libarvent's configuration-change handler: restarts on a new mapping, a
// new BACnet configuration, a new IP address and (rate-limited, unless it
// answers one of Talvik's own alarm PUTs) a new alarm state; a factory reset
// empties the alarm configuration. Never throws.
void runtimeIpcEventHandler(int kind);
// The same on the given requests and own-PUT count (tests).
void runtimeHandleIpcEvent(int kind, RestartRequests &restarts, TqrOwnAlarmPuts &ownPuts);

// Reads velsard's BACnet configuration into record and logs it; false after
// "Failed to get BACnet config".
bool runtimeGetBacnetConfig(bacnet_config &record);
// The record's log line (written at level 7).
std::string runtimeBacnetConfigText(const bacnet_config &record);
void runtimeLogBacnetConfig(const bacnet_config &record);
// Factory reset of the alarms: removes alarmConfigFile and PUTs an empty
// list to TQR. The PUT's result.
int runtimeDeleteAlarmConfig();
