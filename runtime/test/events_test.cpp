// Restart requests on a clock the test moves, the reactions to velsard's
// events and to the four signals, and the factory reset of the alarms.
#include "runtime/events.h"

#include <gtest/gtest.h>
#include "http_client.h"
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "arvent.h"
#include "log_lines.h"
#include "netns.h"
#include "runtime/log.h"
#include "runtime/tqr/transport.h"
#include "temp_root.h"
#include "tqr/standin.h"

namespace {

using Clock = RestartRequests::Clock;
using std::chrono::milliseconds;
using logtest::logged;
using logtest::textsOf;

// A clock that moves only when the test says so.
struct FakeClock {
    Clock::time_point at = Clock::time_point() + std::chrono::hours(1);
    RestartRequests::Now now() {
        return [this] { return at; };
    }
    void set(double seconds) {
        at = Clock::time_point() + std::chrono::hours(1) +
             std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
};

enum class Op { Alarm, Request, After10, Take };

struct Step {
    double at; // seconds after the program's start
    Op op;
    bool expect; // what requestRateLimited or take answers (ignored otherwise)
};

TEST(RestartRequests, AlarmStateChangesAreSpacedBy10sAndNeverDropped) {
    struct Case {
        const char *name;
        std::vector<Step> steps;
    } const cases[] = {
        {"an alarm-state change in the first 10 s is carried out once they passed",
         {{0.5, Op::Alarm, false}, {0.5, Op::Take, false}, {9.9, Op::Take, false}, {10.0, Op::Take, true},
          {10.0, Op::Take, false}}},
        {"one more than 10 s after the last is taken at once",
         {{10.5, Op::Alarm, true}, {10.5, Op::Take, true}, {21.0, Op::Alarm, true}, {21.0, Op::Take, true}}},
        {"changes close together make one restart, 10 s after the last accepted",
         {{12.0, Op::Alarm, true}, {12.0, Op::Take, true}, {13.0, Op::Alarm, false}, {14.0, Op::Alarm, false},
          {21.9, Op::Take, false}, {22.0, Op::Take, true}, {23.0, Op::Alarm, false}, {31.9, Op::Take, false},
          {32.0, Op::Take, true}}},
        {"an early change withdraws no other request",
         {{12.0, Op::Alarm, true}, {12.0, Op::Take, true}, {14.0, Op::Request, false}, {15.0, Op::Alarm, false},
          {15.0, Op::Take, true}}},
        {"a restart of another origin covers a put-off change",
         {{12.0, Op::Alarm, true}, {12.0, Op::Take, true}, {13.0, Op::Alarm, false}, {14.0, Op::Request, false},
          {14.0, Op::Take, true}, {30.0, Op::Take, false}}},
        {"a request made while the restart runs is kept for the next",
         {{1.0, Op::Request, false}, {1.0, Op::Take, true}, {1.5, Op::Request, false}, {1.5, Op::Take, true},
          {2.0, Op::Take, false}}},
        {"a restart asked for later falls due after its delay",
         {{1.0, Op::After10, false}, {10.9, Op::Take, false}, {11.0, Op::Take, true}, {40.0, Op::Take, false}}},
    };
    for (const Case &c : cases) {
        FakeClock clock;
        clock.set(0);
        std::atomic<bool> flag{false};
        RestartRequests restarts(flag, clock.now());
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step &s = c.steps[i];
            clock.set(s.at);
            testing::internal::CaptureStdout();
            switch (s.op) {
            case Op::Alarm:
                EXPECT_EQ(restarts.requestRateLimited(), s.expect) << c.name << ", step " << i;
                break;
            case Op::Request:
                restarts.request();
                break;
            case Op::After10:
                restarts.requestAfter(std::chrono::seconds(10));
                break;
            case Op::Take:
                EXPECT_EQ(restarts.take(), s.expect) << c.name << ", step " << i;
                break;
            }
            testing::internal::GetCapturedStdout();
        }
    }
}

TEST(RestartRequests, LogsWhetherTheAlarmStateRestartIsRequestedNow) {
    logSetLevel(6);
    FakeClock clock;
    std::atomic<bool> flag{false};
    RestartRequests restarts(flag, clock.now());
    clock.set(5);
    EXPECT_EQ(logged([&] { restarts.requestRateLimited(); }), std::vector<std::string>{"notice resetRequested = False"});
    clock.set(10);
    EXPECT_EQ(logged([&] { EXPECT_TRUE(restarts.take()); }), std::vector<std::string>{"notice resetRequested = True"});
    clock.set(20.5);
    EXPECT_EQ(logged([&] { restarts.requestRateLimited(); }), std::vector<std::string>{"notice resetRequested = True"});
}

// ---- velsard's events ----

TEST(IpcEvents, EachKindRequestsARestartOrNot) {
    struct Case {
        int kind;
        bool restarts;
    } const cases[] = {
        {IPC_NEW_MAPPING, true},
        {IPC_NEW_MODBUS_CONFIG, false},
        {IPC_NEW_BACNET_CONFIG, true}, // velsard unreachable here: logged, restarted all the same
        {IPC_NEW_DEVICE_CONFIG, false},
        {IPC_NEW_TEST_CONFIG, false},
        {IPC_NEW_ETHERNET_CONFIG, false},
        {IPC_REQUEST_SET_LED, false},
        {IPC_NEW_PULSE_CONFIG, false},
        {IPC_REQUEST_PEAK_DEMAND_RESET, false},
        {IPC_NEW_IP_ADDRESS, true},
        {12, false},
        {-1, false},
    };
    logSetLevel(6);
    for (const Case &c : cases) {
        FakeClock clock;
        std::atomic<bool> flag{false};
        RestartRequests restarts(flag, clock.now());
        TqrOwnAlarmPuts ownPuts;
        const auto lines = logged([&] { runtimeHandleIpcEvent(c.kind, restarts, ownPuts); });
        EXPECT_EQ(restarts.take(), c.restarts) << "kind " << c.kind;
        if (c.kind == IPC_NEW_BACNET_CONFIG) {
            EXPECT_EQ(lines, std::vector<std::string>{"emergency Failed to get BACnet config"});
        } else {
            EXPECT_TRUE(lines.empty()) << "kind " << c.kind << ": " << lines.front();
        }
    }
}

TEST(IpcEvents, EachOwnAlarmPutCoversOneAlarmStateEventWithin5s) {
    struct Case {
        const char *name;
        std::vector<double> puts;   // seconds, noted by the transport
        std::vector<double> events; // seconds, alarm-state events
        std::vector<bool> restarts; // per event: a restart requested (taken) then
    } const cases[] = {
        {"one PUT, one event", {20}, {20.1}, {false}},
        {"two relays in a second, two events", {20, 20.5}, {20.6, 20.7}, {false, false}},
        {"the event after those of the own PUTs restarts", {20, 20.5}, {20.6, 20.7, 31}, {false, false, true}},
        {"a PUT no event followed within 5 s covers none", {20}, {25}, {true}},
        {"without a PUT every event counts", {}, {20, 31}, {true, true}},
    };
    for (const Case &c : cases) {
        FakeClock clock;
        std::atomic<bool> flag{false};
        RestartRequests restarts(flag, clock.now());
        TqrOwnAlarmPuts ownPuts;
        for (double at : c.puts) {
            clock.set(at);
            ownPuts.note(clock.at);
        }
        for (size_t i = 0; i < c.events.size(); ++i) {
            clock.set(c.events[i]);
            testing::internal::CaptureStdout();
            runtimeHandleIpcEvent(IPC_NEW_ALARM_STATE, restarts, ownPuts);
            testing::internal::GetCapturedStdout();
            EXPECT_EQ(restarts.take(), c.restarts[i]) << c.name << ", event " << i;
        }
    }
}

TEST(IpcEvents, TheBacnetConfigurationLineNamesEveryField) {
    bacnet_config c{};
    c.version = 3;
    c.active = true;
    c.type = static_cast<uint32_t>(-1);
    c.baud = 38400;
    c.udp_port = 47808;
    c.instance = 4194302;
    std::snprintf(c.name, sizeof c.name, "Meter");
    c.vnet = 2;
    std::memset(c.bbmd, 'b', sizeof c.bbmd); // no terminating NUL
    c.ttl = 300;
    c.mstp_mac = 127;
    c.mstp_max_master = 127;
    c.mstp_info_frames = 10;
    EXPECT_EQ(runtimeBacnetConfigText(c),
              "Version: 3 Active: true Type: -1 Baud: 38400 UDP Port: 47808 Instance: 4194302 Name: Meter VNET: 2 "
              "BBMD: " +
                  std::string(sizeof c.bbmd, 'b') +
                  " TTL: 300 MS/TP MAC: 127 MS/TP Max Master: 127 MS/TP Info Frames: 10");
}

// ---- signals ----

TEST(Signals, EachSignalLogsItsLineAndOnlyTheFirstStopCounts) {
    logSetLevel(6);
    struct Step {
        int signo;
        const char *line;
        bool restart;
        bool stopping;
    } const steps[] = {
        {SIGHUP, "emergency SIGHUP caught, restarting.", true, false},
        {SIGINT, "emergency SIGINT caught, shutting down.", false, true},
        {SIGINT, "emergency SIGINT caught, shutting down.", false, true},
        {SIGTERM, "emergency SIGTERM caught, shutting down.", false, true},
        {SIGQUIT, "emergency SIGQUIT caught, shutting down.", false, true},
        {SIGHUP, "emergency SIGHUP caught, restarting.", true, true},
        {SIGUSR1, "emergency Unknown signal 10 caught, shutting down", false, true},
    };
    for (const Step &s : steps) {
        resetRequested = false;
        EXPECT_EQ(logged([&] { runtimeHandleSignal(s.signo); }), std::vector<std::string>{s.line});
        EXPECT_EQ(resetRequested.load(), s.restart) << s.line;
        EXPECT_EQ(shuttingDown.load(), s.stopping) << s.line;
    }
}

// Waits for a condition that another thread makes true; fails the test
// rather than hang when it never comes.
template <typename F> bool eventually(F &&condition) {
    for (int i = 0; i < 600000; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return false;
}

TEST(Signals, OneThreadTakesTheSignalsThatEveryOtherThreadBlocks) {
    ASSERT_TRUE(runtimeBlockSignals());
    // A thread started afterwards inherits the mask.
    bool blockedThere = false;
    std::thread([&] {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        blockedThere = sigismember(&mask, SIGHUP) && sigismember(&mask, SIGINT) && sigismember(&mask, SIGQUIT) &&
                       sigismember(&mask, SIGTERM);
    }).join();
    EXPECT_TRUE(blockedThere);
    ASSERT_TRUE(runtimeSignalThreadStart());

    testing::internal::CaptureStdout();
    ASSERT_EQ(::kill(::getpid(), SIGHUP), 0);
    EXPECT_TRUE(eventually([] { return resetRequested.load(); }));
    EXPECT_FALSE(shuttingDown.load());

    // A start-up wait ends on the stop.
    bool timedOut = true;
    std::thread waiter([&] { timedOut = runtimePause(std::chrono::hours(1)); });
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    waiter.join();
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(shuttingDown.load());
    EXPECT_FALSE(runtimePause(std::chrono::hours(1)));
    runtimeSignalThreadStop();
    const auto lines = textsOf(testing::internal::GetCapturedStdout());
    EXPECT_EQ(lines, (std::vector<std::string>{"emergency SIGHUP caught, restarting.",
                                               "emergency SIGTERM caught, shutting down."}));
}

TEST(Signals, APauseWithoutAStopRunsItsTime) { EXPECT_TRUE(runtimePause(milliseconds(1))); }

// ---- factory reset ----

TEST(FactoryReset, RemovesTheAlarmFileAndEmptiesTqrsAlarmsWithoutRestarting) {
    std::string why;
    if (!tqr_testing::enterOwnNetworkNamespace(why)) {
        GTEST_SKIP() << "no network namespace of its own: " << why;
    }
    logSetLevel(6);
    tqrGlobalInit();
    tqr::Options options;
    options.port = 8160;
    tqr::StandIn standIn(options);
    standIn.start();
    tqr_testing::HttpClient control("127.0.0.1", 8160);

    for (bool present : {true, false}) {
        meter::host::TempRoot root;
        const std::string file = root.host(alarmConfigFile);
        if (present) {
            std::filesystem::create_directories(root.host("/config"));
            std::ofstream(file) << "alarms";
        }
        ASSERT_TRUE(control.Delete("/_stub/log"));
        FakeClock clock;
        clock.set(20);
        std::atomic<bool> flag{false};
        RestartRequests restarts(flag, clock.now());
        ignoreNextAlarmState.clear();
        const auto lines = logged([&] { runtimeHandleIpcEvent(IPC_FACTORY_RESET, restarts, ignoreNextAlarmState); });
        EXPECT_EQ(lines, (std::vector<std::string>{"notice Deleting alarm configuration.",
                                                   "notice Portal alarms successfully emptied."}))
            << present;
        EXPECT_FALSE(std::filesystem::exists(file)) << present;
        EXPECT_FALSE(restarts.take()) << present;

        auto log = control.Get("/_stub/log");
        ASSERT_TRUE(log);
        const auto requests = nlohmann::json::parse(log->body)["requests"];
        ASSERT_EQ(requests.size(), 1u) << log->body;
        EXPECT_EQ(requests[0]["method"], "PUT");
        EXPECT_EQ(requests[0]["target"], "/api/v1/config/alarms");
        EXPECT_EQ(requests[0]["body"], "[]");
        auto alarms = control.Get("/api/v1/config/alarms");
        ASSERT_TRUE(alarms);
        EXPECT_EQ(alarms->body.find("\"id\""), std::string::npos) << alarms->body;

        // TQR's change comes back as an alarm-state event: no restart.
        testing::internal::CaptureStdout();
        runtimeHandleIpcEvent(IPC_NEW_ALARM_STATE, restarts, ignoreNextAlarmState);
        testing::internal::GetCapturedStdout();
        EXPECT_FALSE(restarts.take()) << present;
    }
}

TEST(FactoryReset, AFolderInPlaceOfTheFileIsLeftAndReported) {
    std::string why;
    if (!tqr_testing::enterOwnNetworkNamespace(why)) {
        GTEST_SKIP() << "no network namespace of its own: " << why;
    }
    logSetLevel(6);
    meter::host::TempRoot root;
    std::filesystem::create_directories(root.host(alarmConfigFile) + "/inner");
    // Nothing listens on TQR's port in this namespace.
    const auto lines = logged([] { EXPECT_NE(runtimeDeleteAlarmConfig(), 200); });
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().rfind("error Cannot remove /config/alarm.bin: ", 0), 0u) << lines.front();
    EXPECT_TRUE(std::filesystem::exists(root.host(alarmConfigFile) + "/inner"));
}

} // namespace
