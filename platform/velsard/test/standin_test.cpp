// The velsard stand-in on a private bus: the D-Bus tools reach it, what a Set
// stores the next Get returns, and the test-control interface does what the
// other components' tests rely on.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>

#include "test_bus.h"

using velsard_testing::Control;
using velsard_testing::parse;
using velsard_testing::print;
using velsard_testing::TestBus;
using velsard_testing::Variant;

namespace {

class StandIn : public ::testing::Test {
  protected:
    void SetUp() override {
        TestBus::get().start_velsard();
        control_ = std::make_unique<Control>();
        conn_ = g_dbus_connection_new_for_address_sync(
            TestBus::get().address().c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        ASSERT_NE(conn_, nullptr);
    }
    void TearDown() override {
        g_dbus_connection_close_sync(conn_, nullptr, nullptr);
        g_object_unref(conn_);
        control_.reset();
        TestBus::get().stop_velsard();
    }

    // Calls a velsard method; on a D-Bus error returns null and its name.
    Variant call(const char *method, GVariant *params, std::string *error_name = nullptr) {
        GError *error = nullptr;
        GVariant *r = g_dbus_connection_call_sync(conn_, "com.velsard", "/com/velsard/gdbus1",
                                                  "com.velsard.gdbus1", method, params, nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        if (r == nullptr) {
            if (error_name != nullptr) {
                gchar *name = g_dbus_error_get_remote_error(error);
                *error_name = name ? name : error->message;
                g_free(name);
            }
            g_error_free(error);
        }
        return Variant(r);
    }

    std::string text_of(const char *method, GVariant *params = nullptr) {
        Variant r = call(method, params);
        return r ? print(r.get()) : "(failed)";
    }

    std::unique_ptr<Control> control_;
    GDBusConnection *conn_ = nullptr;
};

// Runs argv (no shell) with the bus exported; returns its standard output.
std::string run(const std::vector<const char *> &args, int *status) {
    std::vector<gchar *> argv;
    for (const char *a : args)
        argv.push_back(const_cast<gchar *>(a));
    argv.push_back(nullptr);
    gchar *out = nullptr;
    GError *error = nullptr;
    EXPECT_TRUE(g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out,
                             nullptr, status, &error))
        << (error ? error->message : "");
    g_clear_error(&error);
    std::string s = out ? out : "";
    g_free(out);
    return s;
}

TEST_F(StandIn, GdbusCallGetNumChannels) {
    int status = -1;
    std::string out = run({"gdbus", "call", "--system", "--dest", "com.velsard", "--object-path",
                           "/com/velsard/gdbus1", "--method", "com.velsard.gdbus1.GetNumChannels"},
                          &status);
    EXPECT_TRUE(g_spawn_check_wait_status(status, nullptr));
    EXPECT_EQ(out, "(uint32 48,)\n");
    ASSERT_EQ(control_->calls_of("GetNumChannels").size(), 1u);
}

TEST_F(StandIn, SignalShowsInGdbusMonitor) {
    const gchar *argv[] = {"gdbus", "monitor", "--system", "--dest", "com.velsard", nullptr};
    GPid pid;
    int out_fd;
    GError *error = nullptr;
    ASSERT_TRUE(g_spawn_async_with_pipes(nullptr, const_cast<gchar **>(argv), nullptr,
                                         GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                                         nullptr, nullptr, &pid, nullptr, &out_fd, nullptr, &error));
    std::string seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    // The monitor subscribes at some point after it starts: emit until it shows.
    while (seen.find("com.velsard.gdbus1.DeviceError (uint32 7, 'breaker open')") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        control_->emit_device_error(7, "breaker open");
        pollfd p{out_fd, POLLIN, 0};
        while (poll(&p, 1, 200) > 0) {
            char buf[512];
            ssize_t n = read(out_fd, buf, sizeof buf);
            if (n <= 0)
                break;
            seen.append(buf, n);
        }
    }
    control_->emit("NewMapping");
    for (int i = 0; i < 50 && seen.find("com.velsard.gdbus1.NewMapping ()") == std::string::npos; i++) {
        pollfd p{out_fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[512];
            ssize_t n = read(out_fd, buf, sizeof buf);
            if (n > 0)
                seen.append(buf, n);
        }
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(out_fd);
    EXPECT_NE(seen.find("/com/velsard/gdbus1: com.velsard.gdbus1.DeviceError (uint32 7, 'breaker open')"),
              std::string::npos)
        << seen;
    EXPECT_NE(seen.find("/com/velsard/gdbus1: com.velsard.gdbus1.NewMapping ()"), std::string::npos) << seen;
}

// Each Set method stores its value as it came; the matching Get returns it.
TEST_F(StandIn, SetThenGetReturnsTheStoredValue) {
    struct Case {
        const char *set, *get, *value;
    } cases[] = {
        {"SetMapping", "GetMapping",
         "(uint32 9, [(uint32 0, true, uint32 1, uint32 2, 0.5, uint32 1, uint32 2, uint32 3, uint32 4, "
         "uint32 5, uint32 6, uint32 7, uint32 8, [(uint32 0, true), (1, false), (2, true)])], "
         "[(uint32 1, uint32 0, uint32 0, true, 'Pump', [(uint32 6, true, uint32 9, false, uint32 0, "
         "100.0, 333.0, 1.0, 0.0)])], [1, 2, 3])"},
        {"SetPulseConfiguration", "GetPulseConfiguration",
         "[(1, true, false, 2, 19, 2.5, 100, 3, uint32 1, uint32 2, uint32 3, uint32 4, uint32 5, "
         "uint32 6, uint32 7, uint32 8)]"},
        {"SetDeviceConfig", "GetDeviceConfig",
         "(uint32 1, uint32 2, uint32 3, uint32 4, uint32 5, uint32 6, uint32 7, uint32 8, uint32 9, "
         "uint32 10, uint32 11, uint32 12, uint32 13, uint32 14, uint32 15)"},
        {"SetTestConfig", "GetTestConfig", "([('a',), ('b',)], uint32 3, true)"},
        {"SetBacnetConfig", "GetBacnetConfig",
         "(true, uint32 3, uint32 9600, uint32 47808, uint32 7, 'Dev', uint32 2, uint32 0, '10.0.0.1', "
         "uint32 60, uint32 5, uint32 127, uint32 1, 'x', uint32 0)"},
        {"SetModbusConfig", "GetModbusConfig",
         "(true, uint32 2, '/dev/ttyS1', uint32 9600, uint32 247, uint32 502, uint32 69, 1, 8)"},
        {"SetEthernetConfig", "GetEthernetConfig",
         "(false, 'a', 'b', uint32 1, 'c', 'd', true, 'e', uint32 2, 'f')"},
        {"SetAlarm", "GetAlarm", "[(uint32 5, -1, uint32 1, uint32 2, uint32 3, uint32 4, true, false, 9)]"},
    };
    for (const Case &c : cases) {
        Variant value = parse(nullptr, c.value);
        GVariant *arg = value.get();
        Variant r = call(c.set, g_variant_new_tuple(&arg, 1));
        ASSERT_TRUE(r) << c.set;
        EXPECT_EQ(print(r.get()), "(0,)") << c.set;
        EXPECT_EQ(text_of(c.get), "(" + print(value.get()) + ",)") << c.get;
        auto log = control_->calls_of(c.set);
        ASSERT_EQ(log.size(), 1u) << c.set;
        EXPECT_EQ(print(log[0].args.get()), "(" + print(value.get()) + ",)") << c.set;
    }
}

TEST_F(StandIn, SingleMethods) {
    EXPECT_EQ(text_of("SetSerial", g_variant_new("(s)", "ZM-42")), "(0,)");
    EXPECT_EQ(text_of("GetSerial"), "(('ZM-42', 'ZM-42', 'ZM-42'),)");
    EXPECT_EQ(text_of("UpdatePulseCount", g_variant_new("(ii)", 1, 5)), "(0,)");
    EXPECT_EQ(text_of("UpdatePulseCount", g_variant_new("(ii)", 1, 2)), "(0,)");
    EXPECT_EQ(text_of("GetPulseCount", g_variant_new("(i)", 1)), "((uint32 0, 7), 0)");
    EXPECT_EQ(text_of("ResetPulseCount", g_variant_new("(i)", 1)), "(0,)");
    EXPECT_EQ(text_of("GetPulseCount", g_variant_new("(i)", 1)), "((uint32 0, 0), 0)");
    EXPECT_EQ(text_of("GetPulseCount", g_variant_new("(i)", 7)), "((uint32 0, 0), -1)");
    EXPECT_EQ(text_of("UpdatePulseCount", g_variant_new("(ii)", -1, 2)), "(-1,)");
    EXPECT_EQ(text_of("SetAlarmState", g_variant_new("((ui))", 2u, 1)), "(0,)");
    EXPECT_EQ(text_of("GetAlarmState", g_variant_new("(u)", 2u)), "(1,)");
    EXPECT_EQ(text_of("GetAlarmState", g_variant_new("(u)", 3u)), "(-1,)");
    EXPECT_EQ(text_of("TestInterface", g_variant_new("(i)", 12)), "(12,)");
    EXPECT_EQ(text_of("GetVersion"), "('1.0.0',)");
    EXPECT_EQ(text_of("GetMacAddress"), "('02:00:00:00:00:01',)");
    for (const char *m : {"FactoryReset", "TrendDataReset", "PeakDemandReset", "Reboot"})
        EXPECT_EQ(text_of(m), "(0,)") << m;
    EXPECT_EQ(text_of("CreateError", g_variant_new("(us)", 3u, "x")), "(0,)");
    EXPECT_EQ(text_of("GetAlarmLed"), "(false,)");
    EXPECT_EQ(text_of("GetAlarmLog"), "(@a(x(uiuuuubbi)ibb) [],)");
}

// The default mapping is a plausible meter that the other components can
// build a measurement chain from.
TEST_F(StandIn, DefaultMapping) {
    Variant r = call("GetMapping", nullptr);
    ASSERT_TRUE(r);
    GVariant *m = g_variant_get_child_value(r.get(), 0);
    GVariant *sets_u = g_variant_get_child_value(m, 1);
    GVariant *sets_i = g_variant_get_child_value(m, 2);
    GVariant *tail = g_variant_get_child_value(m, 3);
    EXPECT_EQ(g_variant_n_children(sets_u), 2u);
    EXPECT_EQ(g_variant_n_children(sets_i), 48u);
    EXPECT_EQ(g_variant_n_children(tail), 48u);
    int active_loads = 0;
    for (gsize n = 0; n < 48; n++) {
        guint32 id, extra, u_set;
        gboolean active;
        const gchar *name;
        GVariantIter *cts;
        g_variant_get_child(sets_i, n, "(uuub&sa(ububudddd))", &id, &extra, &u_set, &active, &name, &cts);
        // Ids 0..47, the measurement program's range, named from "Load 1".
        EXPECT_EQ(id, n);
        EXPECT_EQ(std::string(name), "Load " + std::to_string(n + 1));
        if (active) {
            active_loads++;
            EXPECT_EQ(g_variant_iter_n_children(cts), 3u);
        }
        g_variant_iter_free(cts);
    }
    EXPECT_GE(active_loads, 2);
    for (GVariant *v : {m, sets_u, sets_i, tail})
        g_variant_unref(v);
}

TEST_F(StandIn, ResponseFailureAndDelayPerMethod) {
    control_->set_response("SetSerial", 1);
    control_->set_response("GetPulseCount", -1);
    EXPECT_EQ(text_of("SetSerial", g_variant_new("(s)", "x")), "(1,)");
    EXPECT_EQ(text_of("GetPulseCount", g_variant_new("(i)", 0)), "((uint32 0, 0), -1)");
    EXPECT_EQ(text_of("Reboot"), "(0,)");  // other methods keep their answer
    control_->clear_responses();
    EXPECT_EQ(text_of("SetSerial", g_variant_new("(s)", "x")), "(0,)");

    control_->fail_next("GetModbusConfig", "com.velsard.Error.Busy", "busy");
    std::string error;
    EXPECT_FALSE(call("GetModbusConfig", nullptr, &error));
    EXPECT_EQ(error, "com.velsard.Error.Busy");
    EXPECT_TRUE(call("GetModbusConfig", nullptr));  // only the next call fails

    control_->delay_next("GetVersion", 300);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(text_of("GetVersion"), "('1.0.0',)");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(StandIn, StoreFetchAndCallLog) {
    control_->store("num_channels", g_variant_new_uint32(12));
    EXPECT_EQ(text_of("GetNumChannels"), "(uint32 12,)");
    EXPECT_EQ(print(control_->fetch("num_channels").get()), "uint32 12");
    EXPECT_THROW(control_->store("num_channels", g_variant_new_int32(12)), std::runtime_error);
    EXPECT_THROW(control_->store("no_such_key", g_variant_new_int32(12)), std::runtime_error);
    EXPECT_THROW(control_->emit("NoSuchSignal"), std::runtime_error);

    control_->clear_calls();
    call("UpdatePulseCount", g_variant_new("(ii)", 2, 5));
    call("GetVersion", nullptr);
    auto log = control_->calls();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].method, "UpdatePulseCount");
    EXPECT_EQ(print(log[0].args.get()), "(2, 5)");
    EXPECT_EQ(log[1].method, "GetVersion");
    EXPECT_EQ(print(log[1].args.get()), "()");
}

TEST_F(StandIn, ReleaseAndTakeBackTheName) {
    control_->release_name();
    EXPECT_TRUE(TestBus::get().wait_owner("com.velsard", false));
    std::string error;
    EXPECT_FALSE(call("GetVersion", nullptr, &error));
    EXPECT_EQ(error, "org.freedesktop.DBus.Error.ServiceUnknown");
    control_->take_name();
    EXPECT_TRUE(TestBus::get().has_owner("com.velsard"));
    EXPECT_TRUE(call("GetVersion", nullptr));
}

struct Received {
    GMainContext *context;
    std::vector<std::string> names;
};

void on_signal(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *name,
               GVariant *params, gpointer data) {
    static_cast<Received *>(data)->names.push_back(std::string(name) + print(params));
}

// Signals come from the stand-in's own connection, so a listener bound to
// the name com.velsard gets them; the same signal sent by another
// connection does not reach it.
TEST_F(StandIn, SignalsComeFromTheOwnerOfTheName) {
    Received got{g_main_context_new(), {}};
    g_main_context_push_thread_default(got.context);
    guint id = g_dbus_connection_signal_subscribe(conn_, "com.velsard", "com.velsard.gdbus1", nullptr,
                                                  "/com/velsard/gdbus1", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                  on_signal, &got, nullptr);
    // A round trip makes sure the subscription is in place at the bus.
    ASSERT_TRUE(call("GetVersion", nullptr));
    g_dbus_connection_emit_signal(conn_, nullptr, "/com/velsard/gdbus1", "com.velsard.gdbus1", "NewMapping",
                                  nullptr, nullptr);
    control_->emit("NewIpAddress");
    control_->emit_device_error(3, "probe");
    control_->emit_raw("SomethingNew", g_variant_new("(i)", 4));
    control_->emit_raw("Bare", g_variant_new("()"));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.names.size() < 4 && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(got.context, FALSE) || (g_usleep(1000), true);
    while (g_main_context_iteration(got.context, FALSE)) {
    }
    g_dbus_connection_signal_unsubscribe(conn_, id);
    g_main_context_pop_thread_default(got.context);
    g_main_context_unref(got.context);
    EXPECT_EQ(got.names, (std::vector<std::string>{"NewIpAddress()", "DeviceError(uint32 3, 'probe')",
                                                   "SomethingNew(4,)", "Bare()"}));
}

TEST(StandInDefaults, LoadedFromFile) {
    std::string path = TestBus::get().dir() + "/defaults.txt";
    std::ofstream(path) << "{'num_channels': <uint32 3>, 'version': <'2.1'>}\n";
    TestBus::get().start_velsard({"--defaults", path});
    int status;
    std::string out = run({"gdbus", "call", "--system", "--dest", "com.velsard", "--object-path",
                           "/com/velsard/gdbus1", "--method", "com.velsard.gdbus1.GetNumChannels"},
                          &status);
    EXPECT_EQ(out, "(uint32 3,)\n");
    out = run({"gdbus", "call", "--system", "--dest", "com.velsard", "--object-path", "/com/velsard/gdbus1",
               "--method", "com.velsard.gdbus1.GetVersion"},
              &status);
    EXPECT_EQ(out, "('2.1',)\n");
    TestBus::get().stop_velsard();
}

TEST(StandInDefaults, BadFileRefused) {
    std::string path = TestBus::get().dir() + "/bad.txt";
    for (const char *text : {"{'num_channels': <int32 3>}", "{'nope': <1>}", "not a variant"}) {
        std::ofstream(path) << text;
        EXPECT_THROW(TestBus::get().start_velsard({"--defaults", path}), std::runtime_error) << text;
        EXPECT_FALSE(TestBus::get().velsard_running());
    }
}

}  // namespace
