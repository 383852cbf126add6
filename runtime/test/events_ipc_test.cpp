// velsard's change signals through libarvent to Talvik's handler, on a
// private bus with the velsard stand-in.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "arvent.h"
#include "runtime/events.h"
#include "runtime/log.h"
#include "test_bus.h"

namespace {

using velsard_testing::Control;
using velsard_testing::TestBus;

// Waits for a condition that the IPC thread makes true; fails the test
// rather than hang when it never comes.
template <typename F> bool eventually(F &&condition) {
    for (int i = 0; i < 600000; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST(IpcEventsThroughLibarvent, ChangeSignalsRequestRestartsAndTheBacnetConfigurationIsRead) {
    logSetLevel(6);
    TestBus::get().start_velsard();
    Control control;
    ASSERT_EQ(arvent_init(runtimeIpcEventHandler, nullptr), 1);
    // Which kinds restart is the handler's table (events_test); here the
    // signals reach it through libarvent's thread.
    for (const char *signal : {"NewMapping", "NewBacnetConfig", "NewIpAddress"}) {
        control.clear_calls();
        control.emit(signal);
        ASSERT_TRUE(eventually([] { return resetRequested.load(); })) << signal;
        EXPECT_TRUE(runtimeRestarts().take()) << signal;
        // The BACnet configuration is read before the restart is requested.
        EXPECT_EQ(control.calls_of("GetBacnetConfig").size(), std::string(signal) == "NewBacnetConfig" ? 1u : 0u)
            << signal;
    }
    arvent_cleanup();
    TestBus::get().stop_velsard();
}

} // namespace
