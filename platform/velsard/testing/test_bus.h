// Test fixture for everything that talks to velsard: a private dbus-daemon
// per test process (so that `ctest -j` runs tests side by side), the velsard
// stand-in on it, and a client of the stand-in's test-control interface.
#pragma once

#include <gio/gio.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velsard_testing {

struct VariantUnref {
    void operator()(GVariant *v) const { g_variant_unref(v); }
};
// An owned GVariant reference.
using Variant = std::unique_ptr<GVariant, VariantUnref>;

// Parses GVariant text of the given type; aborts the test on a typo.
Variant parse(const char *type, const char *text);
// The GVariant text of v, with type annotations.
std::string print(GVariant *v);

// The process's private bus. The first get() starts a dbus-daemon with its
// own configuration (socket in a temporary folder, EXTERNAL authentication,
// everything allowed including eavesdropping) and exports its address as
// DBUS_SYSTEM_BUS_ADDRESS; at exit the stand-in and the bus are stopped and
// the folder removed. The children die with the thread that started them,
// so a crashed test leaves nothing running.
class TestBus {
  public:
    static TestBus &get();
    ~TestBus();
    TestBus(const TestBus &) = delete;
    TestBus &operator=(const TestBus &) = delete;

    const std::string &address() const { return address_; }
    const std::string &dir() const { return dir_; }

    // Starts the stand-in with the extra arguments (such as --defaults FILE)
    // and waits until it owns com.velsard. Throws when it does not come up.
    void start_velsard(const std::vector<std::string> &args = {});
    // Stops the stand-in and waits until com.velsard has no owner.
    void stop_velsard();
    bool velsard_running() const { return velsard_pid_ > 0; }

    // Whether name has an owner on the bus right now.
    bool has_owner(const char *name);
    // Waits up to timeout_ms until has_owner(name) == owned.
    bool wait_owner(const char *name, bool owned, int timeout_ms = 10000);

  private:
    TestBus();
    std::string dir_;
    std::string address_;
    GPid bus_pid_ = 0;
    GPid velsard_pid_ = 0;
    GDBusConnection *conn_ = nullptr;
};

// One call that reached the stand-in, with its in arguments as a tuple.
struct Call {
    std::string method;
    Variant args;
};

// Client of the stand-in's test-control interface (com.velsard.Test at
// /com/velsard/test) on its own connection. Every method throws
// std::runtime_error when the control call fails.
class Control {
  public:
    Control();
    ~Control();
    Control(const Control &) = delete;
    Control &operator=(const Control &) = delete;

    // Emits a change signal (NewMapping, ..., NewIpAddress) from the stand-in.
    void emit(const std::string &signal);
    void emit_device_error(uint32_t code, const std::string &text);
    // Emits any signal name with any parameters (a tuple, possibly empty;
    // consumed if floating)
    // on velsard's interface and object path from the stand-in's connection.
    void emit_raw(const std::string &signal, GVariant *params);
    // The value the i-typed `response` of method answers from now on.
    void set_response(const std::string &method, int32_t response);
    void clear_responses();
    // The next call of method fails with this D-Bus error.
    void fail_next(const std::string &method, const std::string &error_name = "com.velsard.Error.Failed",
                   const std::string &message = "injected failure");
    // The next call of method is answered after ms milliseconds.
    void delay_next(const std::string &method, uint32_t ms);
    // Replaces a stored value (keys: mapping, modbus_config, bacnet_config,
    // pulse_config, device_config, test_config, serials, ethernet_config,
    // alarm_config, alarm_log, alarm_states, alarm_led, alarm_relay,
    // pulse_counts, mac, version, num_channels); value consumed if floating.
    void store(const std::string &key, GVariant *value);
    Variant fetch(const std::string &key);
    std::vector<Call> calls();
    std::vector<Call> calls_of(const std::string &method);
    void clear_calls();
    // Gives up com.velsard / takes it back; the control interface stays.
    void release_name();
    void take_name();

  private:
    Variant call(const char *method, GVariant *params, const char *reply_type);
    GDBusConnection *conn_ = nullptr;
};

}  // namespace velsard_testing
