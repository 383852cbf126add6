// The IPC connection and thread against the velsard stand-in on a private
// bus: signal delivery, cycle orders, velsard coming and going.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "ipc_support.h"

using namespace arvent_test;
using velsard_testing::Control;
using velsard_testing::TestBus;

namespace {

const char *const kChangeSignals[] = {
    "NewMapping",        "NewModbusConfig", "NewBacnetConfig", "NewDeviceConfig",        "NewTestConfig",
    "NewEthernetConfig", "RequestSetLed",   "NewPulseConfig",  "RequestPeakDemandReset", "NewAlarmState",
    "FactoryReset",      "NewIpAddress",
};

class Ipc : public ::testing::Test {
  protected:
    void SetUp() override {
        recorder.reset();
        TestBus::get().start_velsard();
        control = std::make_unique<Control>();
    }
    void TearDown() override {
        arvent_cleanup();
        control.reset();
        TestBus::get().stop_velsard();
    }
    std::unique_ptr<Control> control;
};

TEST_F(Ipc, EveryChangeSignalArrivesAsItsKindOnTheIpcThreadOneAtATime) {
    // A slow handler: signals that arrive meanwhile must wait their turn.
    recorder.on_config = [](int) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
    ASSERT_EQ(arvent_init(config_handler, error_handler), 1);
    for (const char *name : kChangeSignals)
        control->emit(name);
    ASSERT_TRUE(recorder.wait_for(12));
    auto got = recorder.snapshot();
    ASSERT_EQ(got.size(), 12u);
    for (int kind = 0; kind < 12; kind++) {
        // The kinds are numbered by ipc_config_kind, the signals in the kinds' order.
        EXPECT_EQ(got[kind].kind, kind) << kChangeSignals[kind];
        EXPECT_TRUE(got[kind].on_ipc_thread) << kChangeSignals[kind];
    }
    EXPECT_EQ(recorder.most_inside, 1);
}

TEST_F(Ipc, LogsTheSignalLineBeforeTheHandler) {
    ASSERT_EQ(arvent_init(config_handler, error_handler), 1);
    setlogmask(LOG_UPTO(LOG_INFO));
    LogCapture log;
    control->emit("NewIpAddress");
    control->emit("FactoryReset");
    control->emit_device_error(12, "ADC sync lost");
    ASSERT_TRUE(recorder.wait_for(3));
    std::string text = log.text();
    EXPECT_NE(text.find("Received New Ip Address signal"), std::string::npos) << text;
    EXPECT_NE(text.find("Received FactoryReset signal"), std::string::npos) << text;
    EXPECT_NE(text.find("Received DeviceError signal E12: ADC sync lost"), std::string::npos) << text;
}

TEST_F(Ipc, DeviceErrorReachesOnlyTheErrorHandler) {
    ASSERT_EQ(arvent_init(config_handler, error_handler), 1);
    control->emit_device_error(42, "EEPROM checksum");
    control->emit("NewMapping");
    ASSERT_TRUE(recorder.wait_for(2));
    auto got = recorder.snapshot();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, -1);
    EXPECT_EQ(got[0].code, 42u);
    EXPECT_EQ(got[0].text, "EEPROM checksum");
    EXPECT_TRUE(got[0].on_ipc_thread);
    EXPECT_EQ(got[1].kind, IPC_NEW_MAPPING);
}

TEST_F(Ipc, NullHandlersIgnoreSignalsSilently) {
    ASSERT_EQ(arvent_init(nullptr, nullptr), 1);
    setlogmask(LOG_UPTO(LOG_DEBUG));
    LogCapture log;
    control->emit("NewMapping");
    control->emit_device_error(1, "x");
    // A blocking call after the signals: they have been dispatched by then
    // or are never looked at; either way nothing may be logged for them.
    uint32_t n;
    ASSERT_EQ(ipc_num_channels_get(&n), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string text = log.text();
    EXPECT_EQ(text.find("Received"), std::string::npos) << text;
}

TEST_F(Ipc, UnknownSignalsAndWrongSignaturesAreIgnored) {
    ASSERT_EQ(arvent_init(config_handler, error_handler), 1);
    control->emit_raw("NewFirmware", g_variant_new("()"));
    control->emit_raw("newmapping", g_variant_new("()"));
    control->emit_raw("NewMapping", g_variant_new("(i)", 1));
    control->emit_raw("DeviceError", g_variant_new("(s)", "no code"));
    control->emit_raw("DeviceError", g_variant_new("(is)", -1, "signed code"));
    control->emit("NewPulseConfig");  // the marker: everything before it was handled
    ASSERT_TRUE(recorder.wait_for(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto got = recorder.snapshot();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, IPC_NEW_PULSE_CONFIG);
}

// Signals from a connection other than velsard's do not reach the program.
TEST_F(Ipc, SignalsFromOtherSendersAreNotDelivered) {
    ASSERT_EQ(arvent_init(config_handler, error_handler), 1);
    GDBusConnection *other = g_dbus_connection_new_for_address_sync(
        TestBus::get().address().c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    g_dbus_connection_emit_signal(other, nullptr, "/com/velsard/gdbus1", "com.velsard.gdbus1", "NewMapping",
                                  nullptr, nullptr);
    g_dbus_connection_flush_sync(other, nullptr, nullptr);
    control->emit("NewTestConfig");
    ASSERT_TRUE(recorder.wait_for(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto got = recorder.snapshot();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, IPC_NEW_TEST_CONFIG);
    g_dbus_connection_close_sync(other, nullptr, nullptr);
    g_object_unref(other);
}

TEST_F(Ipc, NothingArrivesAfterCleanup) {
    // Keep the handler busy so that signals are still queued when cleanup starts.
    recorder.on_config = [](int) { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
    ASSERT_EQ(arvent_init(config_handler, error_handler), 1);
    for (int i = 0; i < 10; i++)
        control->emit("NewMapping");
    ASSERT_TRUE(recorder.wait_for(1));
    arvent_cleanup();
    size_t after = recorder.count();
    EXPECT_TRUE(eventually([] { return ipc_threads() == 0; }));
    for (int i = 0; i < 3; i++)
        control->emit("NewMapping");
    control->emit_device_error(1, "late");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(recorder.count(), after);
}

TEST_F(Ipc, ManyCyclesKeepOneThreadAndDeliverEachSignalOnce) {
    for (int round = 1; round <= 12; round++) {
        ASSERT_EQ(arvent_init(config_handler, error_handler), 1) << "round " << round;
        EXPECT_EQ(ipc_threads(), 1) << "round " << round;
        control->emit("NewMapping");
        ASSERT_TRUE(recorder.wait_for(round)) << "round " << round;
        uint32_t n = 0;
        EXPECT_EQ(ipc_num_channels_get(&n), 1) << "round " << round;
        arvent_cleanup();
        // A joined thread may linger in /proc for a moment while the kernel reaps it.
        EXPECT_TRUE(eventually([] { return ipc_threads() == 0; })) << "round " << round;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(recorder.count(), 12u);
    for (const Delivery &d : recorder.snapshot())
        EXPECT_EQ(d.kind, IPC_NEW_MAPPING);
}

TEST_F(Ipc, EveryOrderOfInitAndCleanupIsSafe) {
    arvent_cleanup();  // before any init: nothing to stop
    arvent_cleanup();
    for (int i = 0; i < 20; i++) {  // cleanup before the thread can have run its loop
        ASSERT_EQ(arvent_init(config_handler, nullptr), 1);
        arvent_cleanup();
    }
    EXPECT_TRUE(eventually([] { return ipc_threads() == 0; }));
    ASSERT_EQ(arvent_init(config_handler, nullptr), 1);
    {
        LogCapture log;
        EXPECT_EQ(arvent_init(config_handler, nullptr), 0);  // a second init is refused
        EXPECT_NE(log.text().find("arvent_init called twice"), std::string::npos);
    }
    EXPECT_EQ(ipc_threads(), 1);
    control->emit("NewDeviceConfig");
    ASSERT_TRUE(recorder.wait_for(1));
    arvent_cleanup();
    arvent_cleanup();
    EXPECT_TRUE(eventually([] { return ipc_threads() == 0; }));
    EXPECT_EQ(recorder.count(), 1u);
}

// A signal that is already waiting when a cycle opens is handled as soon as
// the IPC thread runs; a handler that calls velsard then must find the cycle
// open, not fail for lack of a connection.
TEST_F(Ipc, HandlerCallsSucceedFromTheFirstSignalOfACycle) {
    std::atomic<int> failed{0};
    recorder.on_config = [&](int) {
        uint32_t n = 0;
        if (ipc_num_channels_get(&n) != 1)
            failed++;
    };
    std::atomic<bool> stop{false};
    std::thread emitter([&] {
        Control own;
        while (!stop)
            own.emit("NewMapping");
    });
    size_t delivered = 0;
    for (int round = 0; round < 100 && failed == 0; round++) {
        ASSERT_EQ(arvent_init(config_handler, nullptr), 1);
        ASSERT_TRUE(recorder.wait_for(delivered + 1));
        arvent_cleanup();
        delivered = recorder.count();
    }
    stop = true;
    emitter.join();
    EXPECT_EQ(failed, 0);
}

// A blocking call that is still waiting for velsard when the cycle closes
// keeps that cycle's proxy alive into the next cycle; its signals must not
// reach the program a second time.
TEST_F(Ipc, ACallRunningAcrossCleanupDoesNotDoubleTheNextCyclesSignals) {
    ASSERT_EQ(arvent_init(config_handler, nullptr), 1);
    control->delay_next("GetNumChannels", 1500);
    std::atomic<int> late_result{-1};
    std::thread slow([&] {
        uint32_t n = 0;
        late_result = ipc_num_channels_get(&n);
    });
    // The call has reached velsard (and holds the proxy) before the cycle closes.
    ASSERT_TRUE(eventually([&] { return !control->calls_of("GetNumChannels").empty(); }));
    arvent_cleanup();
    ASSERT_EQ(arvent_init(config_handler, nullptr), 1);
    control->emit("NewMapping");
    control->emit("NewModbusConfig");  // the marker: NewMapping was handled before it
    ASSERT_TRUE(recorder.wait_for(2));
    slow.join();
    EXPECT_EQ(late_result, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto got = recorder.snapshot();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, IPC_NEW_MAPPING);
    EXPECT_EQ(got[1].kind, IPC_NEW_MODBUS_CONFIG);
}

TEST_F(Ipc, CleanupFromTheHandlerIsRefused) {
    std::atomic<int> init_result{-1};
    recorder.on_config = [&](int kind) {
        if (kind != IPC_NEW_MAPPING)
            return;
        arvent_cleanup();
        init_result = arvent_init(config_handler, nullptr);
    };
    ASSERT_EQ(arvent_init(config_handler, nullptr), 1);
    LogCapture log;
    control->emit("NewMapping");
    ASSERT_TRUE(recorder.wait_for(1));
    control->emit("NewModbusConfig");  // the cycle still runs
    ASSERT_TRUE(recorder.wait_for(2));
    EXPECT_EQ(init_result, 0);
    EXPECT_EQ(ipc_threads(), 1);
    std::string text = log.text();
    EXPECT_NE(text.find("arvent_cleanup called from the IPC thread"), std::string::npos) << text;
    EXPECT_NE(text.find("arvent_init called from the IPC thread"), std::string::npos) << text;
}

TEST_F(Ipc, InitNarrowsTheLogMask) {
    setlogmask(LOG_UPTO(LOG_DEBUG));
    ASSERT_EQ(arvent_init(config_handler, nullptr), 1);
    EXPECT_EQ(setlogmask(0), LOG_UPTO(LOG_WARNING));
}

TEST_F(Ipc, CallsAfterCleanupFailWithALogLine) {
    ASSERT_EQ(arvent_init(config_handler, nullptr), 1);
    arvent_cleanup();
    mapping m;
    std::memset(&m, 0x5A, sizeof m);
    LogCapture log;
    EXPECT_EQ(arvent_get(&m), 0);
    uint32_t n = 77;
    EXPECT_EQ(ipc_num_channels_get(&n), 0);
    EXPECT_EQ(n, 77u);
    EXPECT_EQ(ipc_reboot(), 0);
    std::string text = log.text();
    EXPECT_NE(text.find("No IPC connection to velsard"), std::string::npos) << text;
    for (size_t k = 0; k < sizeof m; k++)
        ASSERT_EQ(reinterpret_cast<unsigned char *>(&m)[k], 0x5A) << k;
    EXPECT_TRUE(control->calls_of("GetMapping").empty());
}

// velsard absent at start: the cycle opens, calls fail and leave the records
// alone; once velsard owns its name, calls succeed and its signals arrive.
TEST(IpcVelsardAbsent, CallsFailThenSucceedWhenItAppears) {
    recorder.reset();
    TestBus &bus = TestBus::get();
    ASSERT_FALSE(bus.velsard_running());
    ASSERT_EQ(arvent_init(config_handler, nullptr), 1);
    modbus_config c;
    std::memset(&c, 0x33, sizeof c);
    EXPECT_EQ(ipc_modbus_config_get(&c), 0);
    for (size_t k = 0; k < sizeof c; k++)
        ASSERT_EQ(reinterpret_cast<unsigned char *>(&c)[k], 0x33) << k;
    uint32_t n = 0;
    EXPECT_EQ(ipc_num_channels_get(&n), 0);

    bus.start_velsard();
    EXPECT_EQ(ipc_num_channels_get(&n), 1);
    EXPECT_EQ(n, 48u);
    EXPECT_EQ(ipc_modbus_config_get(&c), 1);
    Control control;
    // The proxy learns the new owner from the bus; signals follow from then on.
    ASSERT_TRUE(eventually([&] {
        control.emit("NewBacnetConfig");
        return recorder.wait_for(1, 100);
    }));
    EXPECT_EQ(recorder.snapshot()[0].kind, IPC_NEW_BACNET_CONFIG);

    // velsard stops and starts again under a new connection: calls fail
    // while it is away and succeed again once the proxy sees the new owner.
    bus.stop_velsard();
    EXPECT_TRUE(eventually([&] { return ipc_num_channels_get(&n) == 0; }));
    bus.start_velsard();
    EXPECT_TRUE(eventually([&] { return ipc_num_channels_get(&n) == 1; }));
    Control again;
    recorder.reset();
    ASSERT_TRUE(eventually([&] {
        again.emit("NewIpAddress");
        return recorder.wait_for(1, 100);
    }));
    arvent_cleanup();
    bus.stop_velsard();
}

TEST(IpcNoBus, UnreachableBusFailsInit) {
    recorder.reset();
    std::string dir = TestBus::get().dir();
    std::string saved = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir + "/no-such-socket").c_str(), 1);
    LogCapture log;
    EXPECT_EQ(arvent_init(config_handler, nullptr), 0);
    EXPECT_TRUE(eventually([] { return ipc_threads() == 0; }));
    std::string text = log.text();
    EXPECT_NE(text.find("Cannot connect to the system bus"), std::string::npos) << text;
    arvent_cleanup();  // after a failed init: nothing to do
    setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
    TestBus::get().start_velsard();
    EXPECT_EQ(arvent_init(config_handler, nullptr), 1);  // the next round works
    uint32_t n = 0;
    EXPECT_EQ(ipc_num_channels_get(&n), 1);
    arvent_cleanup();
    TestBus::get().stop_velsard();
}

}  // namespace
