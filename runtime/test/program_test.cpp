// Talvik's life cycle in the test process: the start-up against the TQR and
// velsard stand-ins, the datalink it chooses, the poller, restarts by
// signal and by velsard's events on a clock the test moves, the factory
// reset, and stops while the start-up waits. Each test is a process of its
// own in a network namespace of its own (TQR's fixed address, eth0). A
// signal is handed to what the signal thread does with it; the signals
// themselves reach the program in the end-to-end test.
#include "runtime/program.h"

#include <gtest/gtest.h>
#include "http_client.h"
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bacnet/stack/app.h"
#include "device/application.h"
#include "device/object_sets.h"
#include "bacnet/stack/stack.h"
#include "mstp/emulator.h"
#include "program_support.h"
#include "runtime/log.h"
#include "runtime/tqr/transport.h"
#include "temp_root.h"
#include "test_bus.h"
#include "tqr/standin.h"

namespace {

using programtest::eventually;
using programtest::HandClock;
using programtest::StdoutTap;
using std::chrono::milliseconds;
using std::chrono::seconds;
using velsard_testing::Control;
using velsard_testing::TestBus;
using Json = nlohmann::json;

const auto *ownNetwork = ::testing::AddGlobalTestEnvironment(new programtest::OwnNetwork);


// TQR's control interface and request log.
class TqrControl {
  public:
    TqrControl() : client_("127.0.0.1", 8160) {}
    void put(const std::string &path, const std::string &body) {
        auto r = client_.Put(path, body, "text/plain");
        ASSERT_TRUE(r) << path;
        ASSERT_EQ(r->status, 200) << path;
    }
    void clear() { client_.Delete("/_stub/endpoints"); }
    // "METHOD target" of every request TQR received, in order.
    std::vector<std::string> requests() {
        std::vector<std::string> out;
        auto r = client_.Get("/_stub/log");
        if (!r || r->status != 200) {
            out.push_back("no log: " + (r ? std::to_string(r->status) : r.error()));
            return out;
        }
        const Json log = Json::parse(r->body);
        for (const Json &q : log["requests"]) {
            out.push_back(q["method"].get<std::string>() + " " + q["target"].get<std::string>());
        }
        return out;
    }
    std::vector<Json> requestsWhole() {
        auto r = client_.Get("/_stub/log");
        std::vector<Json> out;
        if (r && r->status == 200) {
            const Json log = Json::parse(r->body);
            for (const Json &q : log["requests"]) {
                out.push_back(q);
            }
        }
        return out;
    }
    size_t countOf(const std::string &request) {
        size_t n = 0;
        for (const std::string &r : requests()) {
            n += r == request ? 1 : 0;
        }
        return n;
    }

  private:
    tqr_testing::HttpClient client_;
};

// One test's surroundings: a board root, velsard on a private bus, TQR on
// its own address, the logger's lines on a tap, the restart requests on a
// clock the test moves.
class Talvik : public ::testing::Test {
  protected:
    void SetUp() override {
        TestBus::get().start_velsard();
        logSetLevel(6);
        tqrSetLogSink(static_cast<void (*)(int, const std::string &)>(logMessage));
        tqrGlobalInit();
        runtimeUseRestarts(&restarts);
    }
    void TearDown() override {
        // After a failure: nothing may run on when the surroundings go.
        if (loop.valid()) {
            runtimeRequestStop();
            loop.get();
        }
        if (pollingActive.load()) {
            runtimeCleanup();
            stackShutdown();
        }
        runtimeUseRestarts(nullptr);
        if (tqr_) {
            tqr_->stop();
        }
    }
    void startTqr(bool notifyVelsard = false) {
        tqr::Options options;
        options.port = 8160;
        options.notifyVelsard = notifyVelsard;
        tqr_ = std::make_unique<tqr::StandIn>(options);
        tqr_->start();
    }
    void setDatalink(const std::string &type) {
        tqrControl.put("/api/v1/config/communication", Json{{"type", type}}.dump());
    }
    // The loop on a thread of its own, as main runs it.
    void runLoop() {
        loop = std::async(std::launch::async, [] { return runtimeRun(); });
    }
    // Ends a running Talvik as main does after the loop.
    void stopAll() {
        if (loop.valid()) {
            runtimeRequestStop();
            EXPECT_EQ(loop.get(), StartResult::Stopped);
        }
        runtimeCleanup();
        stackShutdown();
    }
    // Waits until the loop has run a few more cycles: what was to happen in
    // them has happened.
    void letCyclesPass(uint64_t n = 3) {
        const uint64_t from = runtimeCycles();
        ASSERT_TRUE(eventually([&] { return runtimeCycles() >= from + n; }));
    }

    meter::host::TempRoot root;
    StdoutTap out;
    HandClock clock;
    RestartRequests restarts{resetRequested, clock.now()};
    TqrControl tqrControl;
    std::future<StartResult> loop;

  private:
    std::unique_ptr<tqr::StandIn> tqr_;
};

// The GET targets in the order made, without the query.
std::vector<std::string> gets(const std::vector<std::string> &requests) {
    std::vector<std::string> out;
    for (const std::string &r : requests) {
        if (r.rfind("GET ", 0) == 0) {
            out.push_back(r.substr(4));
        }
    }
    return out;
}

TEST_F(Talvik, StartsUpInOrderOnBacnetIpAndPolls) {
    ASSERT_TRUE(programtest::makeEth0());
    startTqr();
    ASSERT_EQ(runtimeStart(), StartResult::Running);
    ASSERT_TRUE(eventually([&] { return tqrControl.countOf("GET /api/v1/data/inputs") >= 2; }))
        << testing::PrintToString(tqrControl.requests());

    const std::vector<std::string> expected = {
        "/api/v1/config/communication", "/api/v1/system/time",   "/api/v1/config/static",
        "/api/v1/config/info",          "/api/v1/config/mapping", "/api/v1/config/ethernet",
        "/api/v1/config/pulse",         "/api/v1/config/alarms",  "/api/v1/system/time",
        "/api/v1/data/loads",           "/api/v1/data/inputs",    "/api/v1/system/time",
        "/api/v1/data/loads",           "/api/v1/data/inputs",
    };
    std::vector<std::string> got = gets(tqrControl.requests());
    got.resize(std::min(got.size(), expected.size()));
    EXPECT_EQ(got, expected);

    EXPECT_TRUE(runtimeStackRunning());
    EXPECT_EQ(stackInitiationDisabled.load(), 0);
    const size_t using_ = out.find("emergency Using 192.0.2.10/192.0.2.255 on eth0");
    const size_t started = out.find("emergency Talvik started.");
    EXPECT_NE(using_, std::string::npos);
    EXPECT_NE(started, std::string::npos);
    EXPECT_LT(using_, started);
    for (const char *folder : {"/config/talvik/loads", "/config/talvik/inputs"}) {
        EXPECT_TRUE(std::filesystem::is_directory(root.host(folder))) << folder;
    }

    stopAll();
    ASSERT_TRUE(out.waitFor("notice Cleaning up arvent..."));
    // The clean-up joined the poller: it makes no request after it.
    const size_t after = tqrControl.requests().size();
    const size_t cleanup = out.find("notice Cleaning up load mapping...");
    EXPECT_LT(started, cleanup);
    EXPECT_LT(out.find("notice Cleaning up pulse mapping..."), out.find("notice Cleaning up arvent..."));
    EXPECT_EQ(tqrControl.requests().size(), after);
    EXPECT_EQ(out.count("Poll cycle failed"), 0u);
}

TEST_F(Talvik, WithoutBacnetDatalinkStartsNoPortYetPolls) {
    startTqr();
    // No eth0 either: none of these looks for it.
    for (const char *type : {"none", "mb_tcp", "mb_rtu", "something else"}) {
        setDatalink(type);
        const size_t polls = tqrControl.countOf("GET /api/v1/data/loads");
        const size_t disabled = out.count("emergency BACnet disabled -- only running alarm logic.");
        ASSERT_EQ(runtimeStart(), StartResult::Running) << type;
        EXPECT_TRUE(out.waitFor("emergency BACnet disabled -- only running alarm logic.", disabled + 1)) << type;
        EXPECT_EQ(stackInitiationDisabled.load(), 1) << type;
        EXPECT_FALSE(runtimeStackRunning()) << type;
        EXPECT_TRUE(eventually([&] { return tqrControl.countOf("GET /api/v1/data/loads") > polls; })) << type;
        runtimeCleanup();
        stackShutdown();
    }
    EXPECT_EQ(out.count("Can't get IP settings"), 0u);
}

TEST_F(Talvik, MstpReadiesTheModuleAndTheInterruptThreadThenStartsItsPort) {
    startTqr();
    setDatalink("bac_mstp");
    mstpemu::reset();
    ASSERT_EQ(runtimeStart(), StartResult::Running);
    ASSERT_TRUE(out.waitFor("emergency Talvik started."));
    const size_t raised = out.find("notice MS/TP: Setting 31 to a high priority.");
    EXPECT_NE(raised, std::string::npos);
    EXPECT_LT(raised, out.find("emergency Talvik started."));
    EXPECT_EQ(mstpemu::state().moduleLoads, 1);
    EXPECT_EQ(stackInitiationDisabled.load(), 0);
    runtimeCleanup();
    stackShutdown();
    mstpemu::reset();
}

TEST_F(Talvik, EverySignalAndRestartingEventRestartsOnceAndOtherEventsNone) {
    ASSERT_TRUE(programtest::makeEth0());
    startTqr(/*notifyVelsard=*/true);
    Control velsard;
    ASSERT_EQ(runtimeStart(), StartResult::Running);
    ASSERT_TRUE(out.waitFor("Talvik started."));
    runLoop();
    // Each start-up PUTs the alarm list back, and TQR announces it: that
    // announcement answers the PUT and restarts nothing. It shows as no
    // "resetRequested" line (an outside alarm-state change logs one).
    const auto ownAnnouncementsTaken = [] { return eventually([] { return ignoreNextAlarmState.pending() == 0; }); };

    struct Case {
        const char *name;
        std::function<void()> trigger;
    };
    const std::vector<Case> cases = {
        {"SIGHUP", [] { runtimeHandleSignal(SIGHUP); }},
        {"NewMapping", [&] { velsard.emit("NewMapping"); }},
        {"NewBacnetConfig", [&] { velsard.emit("NewBacnetConfig"); }},
        {"NewIpAddress", [&] { velsard.emit("NewIpAddress"); }},
        {"ReinitializeDevice warm start",
         [] {
             CharString *passcode = appNewCharString("1234");
             EXPECT_EQ(appReinitializeDevice(-1, 1, passcode), 0u);
             std::free(passcode);
         }},
    };
    size_t startedBefore = out.count("Talvik started.");
    for (const Case &c : cases) {
        ASSERT_TRUE(ownAnnouncementsTaken()) << c.name;
        // The kinds that restart nothing go first: the restart that follows
        // must be the only one.
        for (const char *other : {"NewModbusConfig", "NewDeviceConfig", "NewTestConfig", "NewEthernetConfig",
                                  "NewPulseConfig", "RequestSetLed", "RequestPeakDemandReset"}) {
            velsard.emit(other);
        }
        c.trigger();
        ASSERT_TRUE(out.waitFor("Talvik started.", startedBefore + 1)) << c.name;
        letCyclesPass();
        EXPECT_EQ(out.count("Talvik started."), startedBefore + 1) << c.name;
        EXPECT_EQ(out.count("critical Restarting..."), startedBefore) << c.name;
        startedBefore = out.count("Talvik started.");
    }
    EXPECT_EQ(out.count("emergency SIGHUP caught, restarting."), 1u);
    EXPECT_EQ(out.count("emergency Talvik stopped."), cases.size());

    // The factory reset restarts nothing, and the alarm-state change that
    // TQR announces for its own PUT is not taken for an outside one.
    ASSERT_TRUE(ownAnnouncementsTaken());
    root.put("/config/alarm.bin", "alarms");
    velsard.emit("FactoryReset");
    ASSERT_TRUE(out.waitFor("notice Portal alarms successfully emptied."));
    ASSERT_TRUE(ownAnnouncementsTaken());
    velsard.emit("NewMapping");
    ASSERT_TRUE(out.waitFor("Talvik started.", startedBefore + 1));
    letCyclesPass();
    EXPECT_EQ(out.count("Talvik started."), startedBefore + 1);
    EXPECT_EQ(out.count("resetRequested"), 0u);
    EXPECT_FALSE(std::filesystem::exists(root.host("/config/alarm.bin")));
    size_t emptied = 0;
    for (const Json &q : tqrControl.requestsWhole()) {
        emptied += q["method"] == "PUT" && q["target"] == "/api/v1/config/alarms" && q["body"] == "[]" ? 1 : 0;
    }
    EXPECT_GE(emptied, 1u);
    startedBefore = out.count("Talvik started.");

    // An outside alarm-state change 10 s after the start restarts at once.
    ASSERT_TRUE(ownAnnouncementsTaken());
    clock.advance(seconds(11));
    velsard.emit("NewAlarmState");
    ASSERT_TRUE(out.waitFor("Talvik started.", startedBefore + 1));
    EXPECT_EQ(out.count("notice resetRequested = True"), 1u);

    // A stop ends the loop; the one after it is logged and ignored.
    runtimeHandleSignal(SIGTERM);
    EXPECT_EQ(loop.get(), StartResult::Stopped);
    runtimeHandleSignal(SIGQUIT);
    EXPECT_TRUE(out.waitFor("emergency SIGQUIT caught, shutting down."));
    runtimeCleanup();
    stackShutdown();
    EXPECT_EQ(out.count("emergency SIGTERM caught, shutting down."), 1u);
    EXPECT_TRUE(out.waitFor("Cleaning up arvent...", cases.size() + 3));
    EXPECT_EQ(out.count("Cleaning up arvent..."), cases.size() + 3);
}

TEST_F(Talvik, ARequestDuringARestartIsKeptForTheNext) {
    ASSERT_TRUE(programtest::makeEth0());
    startTqr();
    ASSERT_EQ(runtimeStart(), StartResult::Running);
    runLoop();
    // The restart's start-up stops at the static identity until released.
    tqrControl.put("/_stub/delay/api/v1/config/static", "60000");
    const size_t statics = tqrControl.countOf("GET /api/v1/config/static");
    runtimeHandleSignal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return tqrControl.countOf("GET /api/v1/config/static") > statics; }));
    runtimeHandleSignal(SIGHUP);
    ASSERT_TRUE(out.waitFor("SIGHUP caught, restarting.", 2));
    tqrControl.put("/_stub/delay/api/v1/config/static", "0");
    EXPECT_TRUE(out.waitFor("Talvik started.", 3));
    letCyclesPass();
    EXPECT_EQ(out.count("critical Restarting..."), 2u);
    stopAll();
}

TEST_F(Talvik, AlarmStateChangesAndAMissingMappingRestartTenSecondsApartOnTheClock) {
    ASSERT_TRUE(programtest::makeEth0());
    startTqr();
    Control velsard;
    ASSERT_EQ(runtimeStart(), StartResult::Running);
    runLoop();
    // The alarm import PUT the list back; TQR's announcements of it come
    // first (this TQR makes none).
    while (const size_t own = ignoreNextAlarmState.pending()) {
        velsard.emit("NewAlarmState");
        ASSERT_TRUE(eventually([&] { return ignoreNextAlarmState.pending() < own; }));
    }

    // Within the first 10 s: put off, not dropped.
    clock.advance(seconds(1));
    velsard.emit("NewAlarmState");
    ASSERT_TRUE(out.waitFor("notice resetRequested = False"));
    letCyclesPass();
    EXPECT_EQ(out.count("Restarting..."), 0u);
    clock.advance(milliseconds(8999));
    letCyclesPass();
    EXPECT_EQ(out.count("Restarting..."), 0u);
    clock.advance(milliseconds(1));
    ASSERT_TRUE(out.waitFor("Talvik started.", 2));
    EXPECT_EQ(out.count("notice resetRequested = True"), 1u);

    // A mapping that does not come: the next start-up is 10 s later, and
    // again, until one comes.
    tqrControl.put("/_stub/status/api/v1/config/mapping", "500");
    restarts.request();
    ASSERT_TRUE(out.waitFor("critical No mapping from TQR; restarting in 10 seconds."));
    ASSERT_TRUE(out.waitFor("Talvik started.", 3));
    clock.advance(milliseconds(9999));
    letCyclesPass();
    EXPECT_EQ(out.count("Talvik started."), 3u);
    clock.advance(milliseconds(1));
    ASSERT_TRUE(out.waitFor("critical No mapping from TQR; restarting in 10 seconds.", 2));
    ASSERT_TRUE(out.waitFor("Talvik started.", 4));
    tqrControl.clear();
    clock.advance(seconds(10));
    ASSERT_TRUE(out.waitFor("Talvik started.", 5));
    letCyclesPass();
    clock.advance(seconds(10));
    letCyclesPass();
    EXPECT_EQ(out.count("Talvik started."), 5u);
    EXPECT_EQ(out.count("No mapping from TQR"), 2u);
    EXPECT_FALSE(restarts.dueAt().has_value());
    stopAll();
}

TEST_F(Talvik, AFailedStackStartIsLoggedAndTriedAgainEverySecond) {
    ASSERT_TRUE(programtest::makeEth0());
    startTqr();
    // The BACnet port is taken.
    const int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(47808);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    ASSERT_EQ(runtimeStart(), StartResult::Running);
    EXPECT_TRUE(out.waitFor("emergency BACnet stack did not start on its datalink; trying again every second."));
    EXPECT_FALSE(runtimeStackRunning());
    runLoop();
    close(holder);
    EXPECT_TRUE(out.waitFor("emergency BACnet stack started."));
    EXPECT_TRUE(eventually([] { return runtimeStackRunning(); }));
    stopAll();
}

// A cycle that blocks for longer than 255 ms reaches the stack's timers
// whole: the timed DeviceCommunicationControl counts it down in full.
TEST_F(Talvik, ALongCycleReachesTheStackTimersWhole) {
    ASSERT_TRUE(programtest::makeEth0());
    startTqr();
    ASSERT_EQ(runtimeStart(), StartResult::Running);
    runLoop();
    letCyclesPass();
    // Initiation disabled for a long while, as a DeviceCommunicationControl
    // with a duration leaves it.
    stackInitiationDisabled.store(1);
    dccTimerMs.store(10'000'000);
    const int64_t before = dccTimerMs.load();
    const auto held = std::chrono::steady_clock::now();
    {
        // The main loop's timer step waits for the stack lock.
        std::lock_guard<std::mutex> lock(appStackMutex);
        std::this_thread::sleep_for(milliseconds(300));
    }
    const auto heldMs =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - held).count();
    letCyclesPass();
    EXPECT_GE(before - dccTimerMs.load(), heldMs - 10);
    stopAll();
}

TEST_F(Talvik, AStopEndsTheWaitForTqr) {
    // No TQR: the communication configuration is asked for once a second.
    auto start = std::async(std::launch::async, [] { return runtimeStart(); });
    ASSERT_TRUE(out.waitFor("emergency Retrying TQR connection in 1 second."));
    runtimeHandleSignal(SIGTERM);
    EXPECT_EQ(start.get(), StartResult::Stopped);
    runtimeCleanup();
    stackShutdown();
    EXPECT_TRUE(out.waitFor("Cleaning up arvent..."));
    EXPECT_EQ(out.count("SIGTERM caught, shutting down."), 1u);
    EXPECT_EQ(out.count("Talvik started."), 0u);
}

TEST_F(Talvik, AStopEndsTheWaitForEth0) {
    startTqr();
    // The namespace has no eth0.
    auto start = std::async(std::launch::async, [] { return runtimeStart(); });
    ASSERT_TRUE(out.waitFor("emergency Can't get IP settings for eth0. Will wait 1 second and try again. Is the "
                            "cable unplugged?"));
    runtimeHandleSignal(SIGINT);
    EXPECT_EQ(start.get(), StartResult::Stopped);
    runtimeCleanup();
    stackShutdown();
    EXPECT_TRUE(out.waitFor("Cleaning up arvent..."));
    EXPECT_EQ(out.count("SIGINT caught, shutting down."), 1u);
    EXPECT_EQ(out.count("Talvik started."), 0u);
}

// A stop while TQR holds up the start-up after the mapping, before the
// saved states are loaded: the clean-up leaves them as they were instead of
// writing the fresh objects' defaults over them.
TEST_F(Talvik, AStopBeforeTheStatesAreLoadedKeepsTheSavedStates) {
    ASSERT_TRUE(programtest::makeEth0());
    startTqr();
    ASSERT_EQ(runtimeStart(), StartResult::Running);
    ASSERT_FALSE(loadMapping.empty());
    Load &load = *loadMapping.begin()->second;
    const std::string file = "/config/talvik/loads/" + std::to_string(load.getId()) + "/analog-input-1";
    load.analogInput(1)->setCovIncrement(7.25);
    runtimeCleanup();
    stackShutdown();
    const std::string saved = root.get(file);
    ASSERT_NE(saved.find("7.25"), std::string::npos) << saved;

    // The Ethernet settings come right after the mapping.
    tqrControl.put("/_stub/delay/api/v1/config/ethernet", "60000");
    const size_t asked = tqrControl.countOf("GET /api/v1/config/ethernet");
    auto start = std::async(std::launch::async, [] { return runtimeStart(); });
    ASSERT_TRUE(eventually([&] { return tqrControl.countOf("GET /api/v1/config/ethernet") > asked; }));
    runtimeHandleSignal(SIGTERM);
    tqrControl.put("/_stub/delay/api/v1/config/ethernet", "0");
    EXPECT_EQ(start.get(), StartResult::Stopped);
    runtimeCleanup();
    stackShutdown();
    EXPECT_EQ(root.get(file), saved);
    EXPECT_EQ(out.count("Talvik started."), 1u);
}

} // namespace
