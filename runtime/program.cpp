#include "runtime/program.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include "arvent.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/stack.h"
#include "device/application.h"
#include "device/object_sets.h"
#include "meter/sysio.h"
#include "objects/object_map.h"
#include "objects/object_threads.h"
#include "device/config.h"
#include "runtime/log.h"
#include "runtime/services.h"
#include "runtime/state_dirs.h"
#include "runtime/tqr/alarm_import.h"
#include "runtime/tqr/config_import.h"
#include "runtime/tqr/live_import.h"
#include "runtime/tqr/set_import.h"
#include "runtime/tqr/transport.h"

std::atomic<bool> pollingActive{false};

namespace {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// Without a mapping Talvik serves no loads: ask TQR again this long after.
constexpr std::chrono::seconds mappingRetryDelay{10};

std::thread pollThread;
std::mutex pollMutex;
std::condition_variable pollCv;

// The main loop's own state; main thread only.
uint32_t cycleMs = 5;
std::atomic<uint64_t> cycles{0};
bool stackRunning = false;
uint8_t stackPort = 0;
SteadyClock::time_point nextStackAttempt;
// Whether the loads' and inputs' objects hold their saved states. The
// clean-up saves them only then: a stop that cuts the start-up short between
// the mapping and the loading would otherwise write the fresh objects'
// defaults over every saved state.
bool objectStatesLoaded = false;

const char *const interfaceName = "eth0";

RuntimeIpc ipc;

bool ipcOpen() {
    return ipc.open ? ipc.open() : arvent_init(runtimeIpcEventHandler, nullptr) == 1;
}

void ipcClose() {
    if (ipc.close) {
        ipc.close();
    } else {
        arvent_cleanup();
    }
}

// One step of the start-up or the clean-up: whatever it raises is logged and
// the next step still runs, so that one bad answer or a full heap does not
// leave Talvik half started or half stopped.
template <typename F> void guarded(const char *step, F &&body) {
    try {
        body();
    } catch (const std::bad_alloc &) {
        logMessage(LogLevel::Critical, std::string(step) + " failed: out of memory");
    } catch (const std::exception &e) {
        logMessage(LogLevel::Critical, std::string(step) + " failed: " + e.what());
    } catch (...) {
        logMessage(LogLevel::Critical, std::string(step) + " failed");
    }
}

// A GET of the start-up or the poller: its parser, the flag the parser
// sets and the line logged when it does not.
struct TqrStep {
    const char *path;
    int (*parser)(const char *, size_t, size_t, void *);
    size_t flag;
    const char *timeoutLine;
};

// A GET and the wait for its parser's flag, cleared first so that an
// answer of an earlier start-up or poll does not count. True when the
// parser reported.
bool fetch(const char *path, const TqrParser &parser, size_t flag, const char *timeoutLine) {
    tqrResponseReceived[flag].store(0);
    tqrGet(tqrHost, tqrPort, path, parser);
    return tqrWaitResponse(tqrResponseReceived[flag], timeoutLine);
}

bool bacnetDatalink(uint32_t type) {
    return type == static_cast<uint32_t>(DatalinkType::BacnetIp) ||
           type == static_cast<uint32_t>(DatalinkType::BacnetIpv6) ||
           type == static_cast<uint32_t>(DatalinkType::BacnetMstp);
}

void mstpReport(int level, const std::string &text) { logMessage(level, text); }

// Starts the stack on the chosen port; a refusal is logged and the main
// loop tries again once a second.
void startStack(uint8_t port) {
    stackPort = port;
    stackRunning = stackInit(port);
    if (!stackRunning) {
        logMessage(LogLevel::Emergency, "BACnet stack did not start on its datalink; trying again every second.");
        nextStackAttempt = SteadyClock::now() + std::chrono::seconds(1);
    }
}

void retryStack() {
    const SteadyClock::time_point now = SteadyClock::now();
    if (now < nextStackAttempt) {
        return;
    }
    nextStackAttempt = now + std::chrono::seconds(1);
    // Whatever the failed start left open goes first.
    stackShutdown();
    stackRunning = stackInit(stackPort);
    if (stackRunning) {
        logMessage(LogLevel::Emergency, "BACnet stack started.");
    }
}

// Sets up the datalink of the communication configuration. False when a
// stop ended the wait for eth0's address.
bool startDatalink() {
    stackInitiationDisabled.store(0);
    stackRunning = false;
    const CommunicationConfig &c = communicationConfig;
    switch (static_cast<DatalinkType>(c.type)) {
    case DatalinkType::BacnetIp:
        while (!appGetInterfaceAddress(interfaceName)) {
            logMessage(LogLevel::Emergency, std::string("Can't get IP settings for ") + interfaceName +
                                                ". Will wait 1 second and try again. Is the cable unplugged?");
            if (!runtimePause(milliseconds(1000))) {
                return false;
            }
        }
        logMessage(LogLevel::Emergency, "Using " + communicationConfig.getIpAddress() + "/" +
                                             communicationConfig.getBroadcastAddress() + " on " + interfaceName);
        startStack(kPortBip);
        break;
    case DatalinkType::BacnetMstp:
        sys_mstp_prepare(mstpReport);
        startStack(kPortMstp);
        break;
    case DatalinkType::BacnetIpv6:
        logMessage(LogLevel::Emergency, "Using " + c.getIpv6Address() + "/" + c.getMulticastAddress(c.getMulticastScope()));
        startStack(kPortBipv6);
        break;
    default:
        stackInitiationDisabled.store(1);
        logMessage(LogLevel::Emergency, "BACnet disabled -- only running alarm logic.");
        break;
    }
    return true;
}

} // namespace

void runtimeSetIpc(RuntimeIpc next) { ipc = std::move(next); }

// ---- start-up ----

bool runtimeCreateStateDirectories() {
    std::vector<unsigned> loads;
    std::vector<unsigned> inputs;
    for (const auto &[vdi, load] : loadMapping) {
        loads.push_back(static_cast<unsigned>(load->getId()));
    }
    for (const auto &[position, input] : inputMapping) {
        inputs.push_back(static_cast<unsigned>(input->getId()));
    }
    return runtimeCreateStateDirectories(loads, inputs);
}

void runtimeLoadObjectStates() {
    for (const auto &[position, input] : inputMapping) {
        input->loadObjects();
    }
    for (const auto &[vdi, load] : loadMapping) {
        load->loadObjects();
    }
    objectStatesLoaded = true;
}

void runtimeFetchConfiguration() {
    // The mapping before the pulse inputs (they link to the first voltage
    // input) and before the alarms (they attach to the loads' and inputs'
    // objects).
    static const TqrStep before[] = {
        {"/api/v1/system/time", tqrParseTime, tqrFlagTime, "Timeout for api/v1/system/time"},
        {"/api/v1/config/static", tqrParseStatic, tqrFlagStatic, "Timeout for api/v1/config/static"},
        {"/api/v1/config/info", tqrParseInfo, tqrFlagInfo, "Timeout for /api/v1/config/info"},
        {"/api/v1/config/mapping", tqrParseMapping, tqrFlagMapping, "Timeout for /api/v1/config/mapping"},
        {"/api/v1/config/ethernet", tqrParseEthernet, tqrFlagEthernet, "Timeout for /api/v1/config/ethernet"},
        {"/api/v1/config/pulse", tqrParsePulseConfig, tqrFlagPulseConfig, "Timeout for /api/v1/config/pulse"},
    };
    for (const TqrStep &s : before) {
        if (shuttingDown.load()) {
            return;
        }
        bool arrived = false;
        guarded(s.path, [&] { arrived = fetch(s.path, s.parser, s.flag, s.timeoutLine); });
        if (s.flag == tqrFlagMapping && !arrived) {
            logMessage(LogLevel::Critical, "No mapping from TQR; restarting in 10 seconds.");
            runtimeRestarts().requestAfter(mappingRetryDelay);
        }
    }
    guarded("Creating the state folders", [] { runtimeCreateStateDirectories(); });
    guarded("Loading the object states", [] { runtimeLoadObjectStates(); });
    if (shuttingDown.load()) {
        return;
    }
    guarded("/api/v1/config/alarms", [] {
        fetch("/api/v1/config/alarms", tqrParseAlarms, tqrFlagAlarms, "Timeout for /api/v1/config/alarms");
    });
    // Again: the alarm import set limits and texts that the saved state of
    // a client's writes must override.
    guarded("Loading the object states", [] { runtimeLoadObjectStates(); });
}

StartResult runtimeStart() {
    // Once, at the first start: no thread of the stack or the objects runs
    // yet, and later starts find the record in place.
    static const bool servicesInstalled = (talvikInstallServices(), true);
    (void)servicesInstalled;
    logMessage(LogLevel::Debug, "initialize ipc");
    if (!ipcOpen()) {
        logMessage(LogLevel::Emergency, "failed to initialize ipc");
        return StartResult::IpcFailed;
    }
    if (runtimeFetchCommunication() == 0) {
        return StartResult::Stopped;
    }
    ignoreNextAlarmState.clear();
    runtimeFetchConfiguration();
    if (shuttingDown.load()) {
        return StartResult::Stopped;
    }
    bool started = true;
    guarded("Starting the datalink", [&] { started = startDatalink(); });
    if (!started) {
        return StartResult::Stopped;
    }
    // The threads walk the loads' maps as they stand now, until the
    // clean-up stops them.
    setLoadObjectMapsSource([] {
        std::vector<const ObjectMap *> maps;
        for (const auto &[vdi, load] : loadMapping) {
            maps.push_back(&load->getObjectMap());
        }
        return maps;
    });
    guarded("Starting the COV timer thread", [] { startCovTimerThread(); });
    guarded("Starting the event thread", [] { startEventThread(); });
    pollingActive.store(true);
    guarded("Starting the poller", [] { pollThread = std::thread(runtimePollThread); });
    logMessage(LogLevel::Emergency, "Talvik started.");
    return StartResult::Running;
}

// ---- clean-up ----

void runtimeCleanupLoadMapping() {
    for (const auto &[vdi, load] : loadMapping) {
        logMessage(LogLevel::Debug,
                   "Saving load #" + std::to_string(static_cast<uint32_t>(load->getId())) +
                       ", removing COV subscriptions, and alarms...");
        if (objectStatesLoaded) {
            load->saveObjects();
        }
        load->clearCovSubscriptions();
        load->clearAlarmEntries();
        load->getObjectMap().clear();
    }
    logMessage(LogLevel::Debug, "Removing load mappings...");
    loadMapping.clear();
}

void runtimeCleanupInputMapping() {
    for (const auto &[position, input] : inputMapping) {
        logMessage(LogLevel::Debug,
                   "Saving input #" + std::to_string(static_cast<uint32_t>(input->getId())) +
                       ", removing COV subscriptions, and alarms...");
        if (objectStatesLoaded) {
            input->saveObjects();
        }
        input->clearCovSubscriptions();
        input->clearAlarmEntries();
    }
    logMessage(LogLevel::Debug, "Removing input mappings...");
    deviceObjectMap.clear();
    inputMapping.clear();
}

void runtimeCleanupPulseMapping() { pulseMapping.clear(); }

void runtimeCleanup() {
    {
        std::lock_guard<std::mutex> lock(pollMutex);
        pollingActive.store(false);
    }
    pollCv.notify_all();
    if (pollThread.joinable()) {
        pollThread.join();
    }
    guarded("Stopping the COV timer thread", [] { stopCovTimerThread(); });
    guarded("Stopping the event thread", [] { stopEventThread(); });
    logMessage(LogLevel::Notice, "Cleaning up load mapping...");
    guarded("Cleaning up the load mapping", [] { runtimeCleanupLoadMapping(); });
    logMessage(LogLevel::Notice, "Cleaning up input mapping...");
    guarded("Cleaning up the input mapping", [] { runtimeCleanupInputMapping(); });
    logMessage(LogLevel::Notice, "Cleaning up pulse mapping...");
    guarded("Cleaning up the pulse mapping", [] { runtimeCleanupPulseMapping(); });
    objectStatesLoaded = false;
    logMessage(LogLevel::Notice, "Cleaning up arvent...");
    ipcClose();
}

StartResult runtimeRestart() {
    runtimeCleanup();
    stackShutdown();
    stackRunning = false;
    logMessage(LogLevel::Emergency, "Talvik stopped.");
    return runtimeStart();
}

// ---- poller ----

void runtimePollCycle() {
    static const TqrStep requests[] = {
        {"/api/v1/system/time", tqrParseTime, tqrFlagTime, "Timeout for api/v1/system/time"},
        {"/api/v1/data/loads", tqrParseLoadData, tqrFlagLoadData, "Timeout for /api/v1/data/loads"},
        {"/api/v1/data/inputs", tqrParseInputData, tqrFlagInputData, "Timeout for /api/v1/data/inputs"},
        {"/api/v1/data/pulses", tqrParsePulseData, tqrFlagPulseData, "Timeout for /api/v1/data/pulses"},
    };
    for (const TqrStep &r : requests) {
        if (r.flag == tqrFlagPulseData && pulseMapping.empty()) {
            continue;
        }
        // Tested before each request, not only before the cycle: a clean-up
        // waits at most for the one request under way.
        if (!pollingActive.load()) {
            return;
        }
        tqrResponseReceived[r.flag].store(0);
        tqrGet(tqrHost, tqrPort, r.path, r.parser);
        if (!pollingActive.load()) {
            return;
        }
        tqrWaitResponse(tqrResponseReceived[r.flag], r.timeoutLine);
    }
}

void runtimePollThread() {
    while (pollingActive.load()) {
        std::this_thread::yield();
        // A failing cycle must not end the thread: the values would freeze
        // until the next restart.
        guarded("Poll cycle", [] { runtimePollCycle(); });
        std::unique_lock<std::mutex> lock(pollMutex);
        pollCv.wait_for(lock, milliseconds(1000), [] { return !pollingActive.load(); });
    }
}

// ---- main loop ----

uint32_t runtimeCycleMs() { return cycleMs; }
uint64_t runtimeCycles() { return cycles.load(); }
bool runtimeStackRunning() { return stackRunning; }

StartResult runtimeRun() {
    while (!shuttingDown.load()) {
        std::this_thread::yield();
        if (runtimeRestarts().take()) {
            logMessage(LogLevel::Critical, "Restarting...");
            stackRestarting = 1;
            const StartResult result = runtimeRestart();
            stackRestarting = 0;
            if (result != StartResult::Running) {
                return result;
            }
        }
        const SteadyClock::time_point start = SteadyClock::now();
        if (bacnetDatalink(communicationConfig.type)) {
            if (stackRunning) {
                stackTick(cycleMs);
                stackProcess();
            } else {
                retryStack();
            }
        }
        const auto elapsed = [&] {
            return static_cast<uint32_t>(
                std::chrono::duration_cast<milliseconds>(SteadyClock::now() - start).count());
        };
        uint32_t ms = elapsed();
        if (ms <= 4) {
            std::this_thread::sleep_for(milliseconds(5 - ms));
            ms = elapsed();
        }
        cycleMs = ms;
        cycles.fetch_add(1);
    }
    return StartResult::Stopped;
}

// ---- the program ----

int runtimeMain(int, char **) {
    // Before any thread starts, so that every thread inherits the mask and
    // only the signal thread takes the four signals.
    if (!runtimeBlockSignals()) {
        logMessage(LogLevel::Emergency, "Cannot block the signals");
        return 1;
    }
    logSetLevel(6);
    tqrSetLogSink(static_cast<void (*)(int, const std::string &)>(logMessage));
    tqrGlobalInit();
    // The 10 s of the alarm-state spacing count from here.
    runtimeRestarts();
    if (!runtimeSignalThreadStart()) {
        return 1;
    }
    StartResult result = runtimeStart();
    if (result == StartResult::Running) {
        result = runtimeRun();
    }
    if (result == StartResult::IpcFailed) {
        stackShutdown();
        runtimeSignalThreadStop();
        return 1;
    }
    runtimeCleanup();
    stackShutdown();
    runtimeSignalThreadStop();
    return 0;
}
