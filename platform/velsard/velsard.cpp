// velsard stand-in: answers velsard's D-Bus interface from an in-memory store
// so that the meter's programs and their tests run without the real daemon.
// A second interface, com.velsard.Test on /com/velsard/test (and the bus name
// com.velsard.Test, which it keeps while com.velsard is given up), lets tests
// emit signals, change answers, inject failures and delays, and read the log
// of calls.
#include <gio/gio.h>
#include <glib-unix.h>

#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "store.h"
#include "velsardbus.h"

namespace {

const char *const kBusName = "com.velsard";
const char *const kObjectPath = "/com/velsard/gdbus1";
const char *const kInterface = "com.velsard.gdbus1";
const char *const kTestBusName = "com.velsard.Test";
const char *const kTestObjectPath = "/com/velsard/test";
const size_t kMaxCalls = 10000;

const char *const kTestXml = R"xml(<node>
  <interface name="com.velsard.Test">
    <method name="Emit"><arg name="signal" type="s" direction="in"/></method>
    <method name="EmitDeviceError">
      <arg name="error_code" type="u" direction="in"/>
      <arg name="error_message" type="s" direction="in"/>
    </method>
    <method name="EmitRaw">
      <arg name="signal" type="s" direction="in"/>
      <arg name="arguments" type="av" direction="in"/>
    </method>
    <method name="SetResponse">
      <arg name="method" type="s" direction="in"/>
      <arg name="response" type="i" direction="in"/>
    </method>
    <method name="ClearResponses"/>
    <method name="FailNext">
      <arg name="method" type="s" direction="in"/>
      <arg name="error_name" type="s" direction="in"/>
      <arg name="error_message" type="s" direction="in"/>
    </method>
    <method name="DelayNext">
      <arg name="method" type="s" direction="in"/>
      <arg name="milliseconds" type="u" direction="in"/>
    </method>
    <method name="Store">
      <arg name="key" type="s" direction="in"/>
      <arg name="value" type="v" direction="in"/>
    </method>
    <method name="Fetch">
      <arg name="key" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="GetCalls"><arg name="calls" type="a(sav)" direction="out"/></method>
    <method name="ClearCalls"/>
    <method name="ReleaseName"/>
    <method name="TakeName"/>
  </interface>
</node>)xml";

struct Failure {
    std::string name;
    std::string message;
};

struct Daemon {
    GDBusConnection *conn = nullptr;
    VelsardBusGdbus1 *skeleton = nullptr;
    GMainLoop *loop = nullptr;
    velsard::Store store;
    std::map<std::string, gint32> responses;
    std::map<std::string, Failure> failures;
    std::map<std::string, guint> delays;
    // The most recent calls; a long run (scripts/run) keeps only the last kMaxCalls.
    std::deque<std::pair<std::string, GVariant *>> calls;
};

GVariant *one(GVariant *value) {
    return g_variant_new_tuple(&value, 1);
}
GVariant *response(gint32 r) {
    return g_variant_new("(i)", r);
}

// A pulse channel's (extra, count) pairs with entry index changed by change;
// false for an index outside the array.
template <typename F>
bool update_pulse_count(Daemon &d, gint32 index, F change) {
    GVariant *counts = d.store.get("pulse_counts");
    gsize n = g_variant_n_children(counts);
    if (index < 0 || (gsize)index >= n)
        return false;
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a(ui)"));
    for (gsize k = 0; k < n; k++) {
        guint32 extra;
        gint32 count;
        g_variant_get_child(counts, k, "(ui)", &extra, &count);
        if (k == (gsize)index)
            change(extra, count);
        g_variant_builder_add(&b, "(ui)", extra, count);
    }
    std::string error;
    return d.store.put("pulse_counts", g_variant_builder_end(&b), &error);
}

// The answer of a velsard method from the store (a floating tuple).
GVariant *answer(Daemon &d, const std::string &method, GVariant *params) {
    auto stored = [&](const char *key) { return one(d.store.get(key)); };
    auto keep = [&](const char *key) {
        GVariant *v = g_variant_get_child_value(params, 0);
        std::string error;
        d.store.put(key, v, &error);
        g_variant_unref(v);
        return response(0);
    };
    static const std::map<std::string, const char *> kGet = {
        {"GetMapping", "mapping"},
        {"GetPulseConfiguration", "pulse_config"},
        {"GetDeviceConfig", "device_config"},
        {"GetTestConfig", "test_config"},
        {"GetSerial", "serials"},
        {"GetBacnetConfig", "bacnet_config"},
        {"GetModbusConfig", "modbus_config"},
        {"GetEthernetConfig", "ethernet_config"},
        {"GetNumChannels", "num_channels"},
        {"GetVersion", "version"},
        {"GetMacAddress", "mac"},
        {"GetAlarm", "alarm_config"},
        {"GetAlarmLed", "alarm_led"},
        {"GetAlarmRelay", "alarm_relay"},
        {"GetAlarmLog", "alarm_log"},
    };
    static const std::map<std::string, const char *> kSet = {
        {"SetMapping", "mapping"},
        {"SetPulseConfiguration", "pulse_config"},
        {"SetDeviceConfig", "device_config"},
        {"SetTestConfig", "test_config"},
        {"SetBacnetConfig", "bacnet_config"},
        {"SetModbusConfig", "modbus_config"},
        {"SetEthernetConfig", "ethernet_config"},
        {"SetAlarm", "alarm_config"},
    };
    if (auto it = kGet.find(method); it != kGet.end())
        return stored(it->second);
    if (auto it = kSet.find(method); it != kSet.end())
        return keep(it->second);

    if (method == "SetSerial") {
        const gchar *s;
        g_variant_get(params, "(&s)", &s);
        std::string error;
        d.store.put("serials", g_variant_new("(sss)", s, s, s), &error);
        return response(0);
    }
    if (method == "GetPulseCount") {
        gint32 index;
        g_variant_get(params, "(i)", &index);
        GVariant *counts = d.store.get("pulse_counts");
        if (index < 0 || (gsize)index >= g_variant_n_children(counts))
            return g_variant_new("((ui)i)", 0u, 0, -1);
        GVariant *pair = g_variant_get_child_value(counts, index);
        GVariant *reply = g_variant_new("(@(ui)i)", pair, 0);
        g_variant_unref(pair);
        return reply;
    }
    if (method == "UpdatePulseCount") {
        gint32 index, add;
        g_variant_get(params, "(ii)", &index, &add);
        bool ok = update_pulse_count(
            d, index, [add](guint32 &, gint32 &count) { count = (gint32)((guint32)count + (guint32)add); });
        return response(ok ? 0 : -1);
    }
    if (method == "ResetPulseCount") {
        gint32 index;
        g_variant_get(params, "(i)", &index);
        bool ok = update_pulse_count(d, index, [](guint32 &, gint32 &count) { count = 0; });
        return response(ok ? 0 : -1);
    }
    if (method == "GetAlarmState" || method == "SetAlarmState") {
        guint32 index;
        gint32 state = 0;
        if (method == "GetAlarmState")
            g_variant_get(params, "(u)", &index);
        else
            g_variant_get(params, "((ui))", &index, &state);
        GVariant *states = d.store.get("alarm_states");
        gsize n = g_variant_n_children(states);
        if (method == "GetAlarmState") {
            if (index >= n)
                return response(-1);
            GVariant *v = g_variant_get_child_value(states, index);
            GVariant *reply = response(g_variant_get_int32(v));
            g_variant_unref(v);
            return reply;
        }
        if (index >= 1000)
            return response(-1);
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("ai"));
        for (gsize k = 0; k < MAX(n, (gsize)index + 1); k++) {
            gint32 v = 0;
            if (k < n)
                g_variant_get_child(states, k, "i", &v);
            g_variant_builder_add(&b, "i", k == index ? state : v);
        }
        std::string error;
        d.store.put("alarm_states", g_variant_builder_end(&b), &error);
        return response(0);
    }
    if (method == "TestInterface") {
        gint32 test;
        g_variant_get(params, "(i)", &test);
        return response(test);
    }
    // CreateError, FactoryReset, TrendDataReset, PeakDemandReset, Reboot
    return response(0);
}

// Replaces the i-typed out argument "response" of reply with r.
GVariant *with_response(GVariant *reply, const GDBusMethodInfo *info, gint32 r) {
    g_variant_ref_sink(reply);
    gsize n = g_variant_n_children(reply);
    std::vector<GVariant *> members(n);
    for (gsize k = 0; k < n; k++) {
        const GDBusArgInfo *arg = info->out_args[k];
        if (g_str_equal(arg->name, "response") && g_str_equal(arg->signature, "i"))
            members[k] = g_variant_ref_sink(g_variant_new_int32(r));
        else
            members[k] = g_variant_get_child_value(reply, k);
    }
    GVariant *out = g_variant_new_tuple(members.data(), n);
    for (GVariant *member : members)
        g_variant_unref(member);
    g_variant_unref(reply);
    return out;
}

struct LateReply {
    GDBusMethodInvocation *invocation;
    GVariant *reply;
};

gboolean send_late_reply(gpointer data) {
    auto *late = static_cast<LateReply *>(data);
    g_dbus_method_invocation_return_value(late->invocation, late->reply);
    g_variant_unref(late->reply);
    delete late;
    return G_SOURCE_REMOVE;
}

void handle_velsard_call(Daemon &d, GDBusMethodInvocation *invocation) {
    std::string method = g_dbus_method_invocation_get_method_name(invocation);
    GVariant *params = g_dbus_method_invocation_get_parameters(invocation);
    d.calls.emplace_back(method, g_variant_ref(params));
    if (d.calls.size() > kMaxCalls) {
        g_variant_unref(d.calls.front().second);
        d.calls.pop_front();
    }

    if (auto it = d.failures.find(method); it != d.failures.end()) {
        Failure f = it->second;
        d.failures.erase(it);
        g_dbus_method_invocation_return_dbus_error(invocation, f.name.c_str(), f.message.c_str());
        return;
    }
    GVariant *reply = answer(d, method, params);
    if (auto it = d.responses.find(method); it != d.responses.end())
        reply = with_response(reply, g_dbus_method_invocation_get_method_info(invocation), it->second);
    if (auto it = d.delays.find(method); it != d.delays.end()) {
        guint ms = it->second;
        d.delays.erase(it);
        auto *late = new LateReply{invocation, g_variant_ref_sink(reply)};
        g_timeout_add(ms, send_late_reply, late);
        return;
    }
    g_dbus_method_invocation_return_value(invocation, reply);
}

// Every "handle-<method>" signal of the skeleton comes here: the invocation
// carries the method's name and its in arguments as one tuple.
void marshal_handle(GClosure *closure, GValue *return_value, guint, const GValue *params, gpointer,
                    gpointer) {
    auto *d = static_cast<Daemon *>(closure->data);
    auto *invocation = G_DBUS_METHOD_INVOCATION(g_value_get_object(&params[1]));
    handle_velsard_call(*d, invocation);
    if (return_value != nullptr)
        g_value_set_boolean(return_value, TRUE);
}

std::string handle_signal_name(const char *method) {
    std::string s = "handle";
    for (const char *p = method; *p; p++) {
        if (g_ascii_isupper(*p))
            s += '-';
        s += g_ascii_tolower(*p);
    }
    return s;
}

using EmitFn = void (*)(VelsardBusGdbus1 *);
const std::map<std::string, EmitFn> kEmit = {
    {"NewMapping", velsard_bus_gdbus1_emit_new_mapping},
    {"NewPulseConfig", velsard_bus_gdbus1_emit_new_pulse_config},
    {"NewDeviceConfig", velsard_bus_gdbus1_emit_new_device_config},
    {"NewTestConfig", velsard_bus_gdbus1_emit_new_test_config},
    {"NewBacnetConfig", velsard_bus_gdbus1_emit_new_bacnet_config},
    {"NewModbusConfig", velsard_bus_gdbus1_emit_new_modbus_config},
    {"NewEthernetConfig", velsard_bus_gdbus1_emit_new_ethernet_config},
    {"FactoryReset", velsard_bus_gdbus1_emit_factory_reset},
    {"RequestPeakDemandReset", velsard_bus_gdbus1_emit_request_peak_demand_reset},
    {"NewAlarmState", velsard_bus_gdbus1_emit_new_alarm_state},
    {"RequestSetLed", velsard_bus_gdbus1_emit_request_set_led},
    {"NewIpAddress", velsard_bus_gdbus1_emit_new_ip_address},
};

// Asks the bus for name (true: owned) or gives it up.
bool change_name(GDBusConnection *conn, const char *name, bool own, std::string *error) {
    GError *gerror = nullptr;
    GVariant *r = g_dbus_connection_call_sync(
        conn, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        own ? "RequestName" : "ReleaseName",
        own ? g_variant_new("(su)", name, 4u /* do not queue */) : g_variant_new("(s)", name),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &gerror);
    if (r == nullptr) {
        *error = gerror->message;
        g_error_free(gerror);
        return false;
    }
    guint32 result;
    g_variant_get(r, "(u)", &result);
    g_variant_unref(r);
    // RequestName: 1 primary owner, 4 already owner; ReleaseName: 1 released, 2 not owned.
    if (own && result != 1 && result != 4) {
        *error = std::string(name) + " is owned by another connection";
        return false;
    }
    return true;
}

void handle_test_call(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *method_c,
                      GVariant *params, GDBusMethodInvocation *invocation, gpointer data) {
    Daemon &d = *static_cast<Daemon *>(data);
    std::string method = method_c;
    auto fail = [&](const std::string &message) {
        g_dbus_method_invocation_return_dbus_error(invocation, "com.velsard.Test.Error", message.c_str());
    };
    if (method == "Emit") {
        const gchar *name;
        g_variant_get(params, "(&s)", &name);
        auto it = kEmit.find(name);
        if (it == kEmit.end())
            return fail(std::string("no change signal ") + name);
        it->second(d.skeleton);
    } else if (method == "EmitDeviceError") {
        guint32 code;
        const gchar *text;
        g_variant_get(params, "(u&s)", &code, &text);
        velsard_bus_gdbus1_emit_device_error(d.skeleton, code, text);
    } else if (method == "EmitRaw") {
        // The arguments come one by one (D-Bus has no empty tuple).
        const gchar *name;
        GVariantIter *iter;
        g_variant_get(params, "(&sav)", &name, &iter);
        std::vector<GVariant *> members;
        GVariant *member;
        while (g_variant_iter_next(iter, "v", &member))
            members.push_back(member);
        g_variant_iter_free(iter);
        GVariant *args = g_variant_new_tuple(members.data(), members.size());
        for (GVariant *m : members)
            g_variant_unref(m);
        GError *gerror = nullptr;
        if (!g_dbus_connection_emit_signal(d.conn, nullptr, kObjectPath, kInterface, name, args, &gerror)) {
            std::string message = gerror->message;
            g_error_free(gerror);
            return fail(message);
        }
    } else if (method == "SetResponse") {
        const gchar *name;
        gint32 r;
        g_variant_get(params, "(&si)", &name, &r);
        d.responses[name] = r;
    } else if (method == "ClearResponses") {
        d.responses.clear();
    } else if (method == "FailNext") {
        const gchar *name, *error_name, *message;
        g_variant_get(params, "(&s&s&s)", &name, &error_name, &message);
        if (!g_dbus_is_interface_name(error_name))
            return fail("not an error name");
        d.failures[name] = Failure{error_name, message};
    } else if (method == "DelayNext") {
        const gchar *name;
        guint32 ms;
        g_variant_get(params, "(&su)", &name, &ms);
        d.delays[name] = ms;
    } else if (method == "Store") {
        const gchar *key;
        GVariant *value;
        g_variant_get(params, "(&sv)", &key, &value);
        std::string error;
        bool ok = d.store.put(key, value, &error);
        g_variant_unref(value);
        if (!ok)
            return fail(error);
    } else if (method == "Fetch") {
        const gchar *key;
        g_variant_get(params, "(&s)", &key);
        GVariant *value = d.store.get(key);
        if (value == nullptr)
            return fail(std::string("unknown key ") + key);
        return g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
    } else if (method == "GetCalls") {
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a(sav)"));
        // D-Bus has no empty tuple, so the in arguments travel one by one.
        for (auto &[name, args] : d.calls) {
            g_variant_builder_open(&b, G_VARIANT_TYPE("(sav)"));
            g_variant_builder_add(&b, "s", name.c_str());
            g_variant_builder_open(&b, G_VARIANT_TYPE("av"));
            for (gsize k = 0; k < g_variant_n_children(args); k++) {
                GVariant *member = g_variant_get_child_value(args, k);
                g_variant_builder_add(&b, "v", member);
                g_variant_unref(member);
            }
            g_variant_builder_close(&b);
            g_variant_builder_close(&b);
        }
        return g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(sav))", &b));
    } else if (method == "ClearCalls") {
        for (auto &call : d.calls)
            g_variant_unref(call.second);
        d.calls.clear();
    } else if (method == "ReleaseName" || method == "TakeName") {
        std::string error;
        if (!change_name(d.conn, kBusName, method == "TakeName", &error))
            return fail(error);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

const GDBusInterfaceVTable kTestVTable = {handle_test_call, nullptr, nullptr, {}};

gboolean on_stop_signal(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char **argv) {
    gchar *defaults = nullptr;
    GOptionEntry entries[] = {
        {"defaults", 0, 0, G_OPTION_ARG_FILENAME, &defaults,
         "Start from the values in FILE (GVariant text of type a{sv})", "FILE"},
        {},
    };
    GOptionContext *options = g_option_context_new("- velsard stand-in");
    g_option_context_add_main_entries(options, entries, nullptr);
    GError *error = nullptr;
    if (!g_option_context_parse(options, &argc, &argv, &error)) {
        fprintf(stderr, "velsard: %s\n", error->message);
        return 2;
    }
    g_option_context_free(options);

    Daemon d;
    std::string message;
    bool loaded = defaults == nullptr || d.store.load_file(defaults, &message);
    g_free(defaults);
    if (!loaded) {
        fprintf(stderr, "velsard: %s\n", message.c_str());
        return 1;
    }

    d.conn = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (d.conn == nullptr) {
        fprintf(stderr, "velsard: cannot reach the system bus: %s\n", error->message);
        return 1;
    }
    // The bus going away ends the daemon through the SIGTERM handler below.
    d.loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, on_stop_signal, d.loop);
    g_unix_signal_add(SIGINT, on_stop_signal, d.loop);

    d.skeleton = velsard_bus_gdbus1_skeleton_new();
    GDBusInterfaceInfo *info = velsard_bus_gdbus1_interface_info();
    for (GDBusMethodInfo **m = info->methods; *m != nullptr; m++) {
        std::string signal = handle_signal_name((*m)->name);
        if (g_signal_lookup(signal.c_str(), G_TYPE_FROM_INSTANCE(d.skeleton)) == 0)
            g_error("the skeleton has no signal %s", signal.c_str());
        GClosure *closure = g_closure_new_simple(sizeof(GClosure), &d);
        g_closure_set_marshal(closure, marshal_handle);
        g_signal_connect_closure(d.skeleton, signal.c_str(), closure, FALSE);
    }
    if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(d.skeleton), d.conn, kObjectPath,
                                          &error)) {
        fprintf(stderr, "velsard: cannot export %s: %s\n", kObjectPath, error->message);
        return 1;
    }
    GDBusNodeInfo *test_node = g_dbus_node_info_new_for_xml(kTestXml, &error);
    g_assert_no_error(error);
    guint test_id = g_dbus_connection_register_object(d.conn, kTestObjectPath, test_node->interfaces[0],
                                                      &kTestVTable, &d, nullptr, &error);
    if (test_id == 0) {
        fprintf(stderr, "velsard: cannot export %s: %s\n", kTestObjectPath, error->message);
        return 1;
    }
    // The test name first, so that whoever sees com.velsard can also reach
    // the control interface.
    if (!change_name(d.conn, kTestBusName, true, &message) ||
        !change_name(d.conn, kBusName, true, &message)) {
        fprintf(stderr, "velsard: %s\n", message.c_str());
        return 1;
    }
    printf("velsard: serving %s at %s\n", kBusName, kObjectPath);
    fflush(stdout);

    g_main_loop_run(d.loop);

    g_dbus_connection_unregister_object(d.conn, test_id);
    g_dbus_node_info_unref(test_node);
    g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(d.skeleton));
    g_object_unref(d.skeleton);
    for (auto &call : d.calls)
        g_variant_unref(call.second);
    g_main_loop_unref(d.loop);
    g_object_unref(d.conn);
    return 0;
}
