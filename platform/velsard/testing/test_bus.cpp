#include "test_bus.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace velsard_testing {
namespace {

const char *const kTestName = "com.velsard.Test";
const char *const kTestPath = "/com/velsard/test";
const char *const kTestInterface = "com.velsard.Test";

void die_with_parent(gpointer) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

GPid spawn(const std::vector<std::string> &argv_in) {
    std::vector<gchar *> argv;
    for (const std::string &a : argv_in)
        argv.push_back(const_cast<gchar *>(a.c_str()));
    argv.push_back(nullptr);
    GPid pid = 0;
    GError *error = nullptr;
    if (!g_spawn_async(nullptr, argv.data(), nullptr,
                       GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), die_with_parent, nullptr,
                       &pid, &error)) {
        std::string message = argv_in[0] + ": " + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
    return pid;
}

// Whether pid has ended (and is reaped).
bool ended(GPid pid) {
    int status;
    return waitpid(pid, &status, WNOHANG) == pid;
}

void stop(GPid pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 500; i++) {
        if (ended(pid))
            return;
        g_usleep(10000);
    }
    kill(pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

Variant parse(const char *type, const char *text) {
    GError *error = nullptr;
    GVariant *v = g_variant_parse(type ? G_VARIANT_TYPE(type) : nullptr, text, nullptr, nullptr, &error);
    if (v == nullptr) {
        std::string message = std::string("bad GVariant text: ") + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
    return Variant(v);  // g_variant_parse gives a full, non-floating reference
}

std::string print(GVariant *v) {
    gchar *text = g_variant_print(v, TRUE);
    std::string s = text;
    g_free(text);
    return s;
}

TestBus &TestBus::get() {
    static TestBus bus;
    return bus;
}

TestBus::TestBus() {
    std::string pattern = std::string(g_get_tmp_dir()) + "/velsard-bus.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir_ = buf.data();
    std::string socket = dir_ + "/system_bus_socket";
    std::string config = dir_ + "/bus.conf";
    {
        std::ofstream f(config);
        f << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
             "<busconfig>\n"
             "  <type>custom</type>\n"
             "  <listen>unix:path="
          << socket
          << "</listen>\n"
             "  <auth>EXTERNAL</auth>\n"
             "  <policy context=\"default\">\n"
             "    <allow user=\"*\"/>\n"
             "    <allow own=\"*\"/>\n"
             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
             "    <allow eavesdrop=\"true\"/>\n"
             "  </policy>\n"
             "</busconfig>\n";
        if (!f)
            throw std::runtime_error("cannot write " + config);
    }
    bus_pid_ = spawn({"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile", "--nosyslog"});
    address_ = "unix:path=" + socket;
    for (int i = 0; i < 1000 && conn_ == nullptr; i++) {
        if (ended(bus_pid_)) {
            bus_pid_ = 0;
            throw std::runtime_error("dbus-daemon ended at start");
        }
        if (g_file_test(socket.c_str(), G_FILE_TEST_EXISTS)) {
            conn_ = g_dbus_connection_new_for_address_sync(
                address_.c_str(),
                GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                     G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, nullptr);
        }
        if (conn_ == nullptr)
            g_usleep(10000);
    }
    if (conn_ == nullptr)
        throw std::runtime_error("the private bus did not come up");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

TestBus::~TestBus() {
    // A GLib system-bus connection still open in this process would raise
    // SIGTERM when the bus goes away; the process is ending anyway.
    signal(SIGTERM, SIG_IGN);
    stop(velsard_pid_);
    if (conn_ != nullptr) {
        g_dbus_connection_close_sync(conn_, nullptr, nullptr);
        g_object_unref(conn_);
    }
    stop(bus_pid_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

bool TestBus::has_owner(const char *name) {
    GVariant *r = g_dbus_connection_call_sync(
        conn_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (r == nullptr)
        return false;
    gboolean owned;
    g_variant_get(r, "(b)", &owned);
    g_variant_unref(r);
    return owned;
}

bool TestBus::wait_owner(const char *name, bool owned, int timeout_ms) {
    for (int waited = 0; waited <= timeout_ms; waited += 5) {
        if (has_owner(name) == owned)
            return true;
        g_usleep(5000);
    }
    return false;
}

void TestBus::start_velsard(const std::vector<std::string> &args) {
    if (velsard_pid_ > 0)
        throw std::runtime_error("the stand-in runs already");
    std::vector<std::string> argv = {VELSARD_STANDIN_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    velsard_pid_ = spawn(argv);
    for (int i = 0; i < 2000; i++) {
        if (has_owner("com.velsard") && has_owner(kTestName))
            return;
        if (ended(velsard_pid_)) {
            velsard_pid_ = 0;
            throw std::runtime_error("the velsard stand-in ended at start");
        }
        g_usleep(5000);
    }
    stop_velsard();
    throw std::runtime_error("the velsard stand-in did not take its bus names");
}

void TestBus::stop_velsard() {
    stop(velsard_pid_);
    velsard_pid_ = 0;
    wait_owner("com.velsard", false);
    wait_owner(kTestName, false);
}

Control::Control() {
    GError *error = nullptr;
    conn_ = g_dbus_connection_new_for_address_sync(
        TestBus::get().address().c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (conn_ == nullptr) {
        std::string message = std::string("control connection: ") + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
}

Control::~Control() {
    g_dbus_connection_close_sync(conn_, nullptr, nullptr);
    g_object_unref(conn_);
}

Variant Control::call(const char *method, GVariant *params, const char *reply_type) {
    GError *error = nullptr;
    GVariant *r = g_dbus_connection_call_sync(conn_, kTestName, kTestPath, kTestInterface, method, params,
                                              reply_type ? G_VARIANT_TYPE(reply_type) : nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    if (r == nullptr) {
        std::string message = std::string("velsard control ") + method + ": " + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
    return Variant(r);
}

void Control::emit(const std::string &signal) {
    call("Emit", g_variant_new("(s)", signal.c_str()), nullptr);
}

void Control::emit_device_error(uint32_t code, const std::string &text) {
    call("EmitDeviceError", g_variant_new("(us)", code, text.c_str()), nullptr);
}

void Control::emit_raw(const std::string &signal, GVariant *params) {
    g_variant_ref_sink(params);
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("av"));
    for (gsize k = 0; k < g_variant_n_children(params); k++) {
        GVariant *member = g_variant_get_child_value(params, k);
        g_variant_builder_add(&b, "v", member);
        g_variant_unref(member);
    }
    g_variant_unref(params);
    call("EmitRaw", g_variant_new("(sav)", signal.c_str(), &b), nullptr);
}

void Control::set_response(const std::string &method, int32_t response) {
    call("SetResponse", g_variant_new("(si)", method.c_str(), response), nullptr);
}

void Control::clear_responses() {
    call("ClearResponses", nullptr, nullptr);
}

void Control::fail_next(const std::string &method, const std::string &error_name,
                        const std::string &message) {
    call("FailNext", g_variant_new("(sss)", method.c_str(), error_name.c_str(), message.c_str()), nullptr);
}

void Control::delay_next(const std::string &method, uint32_t ms) {
    call("DelayNext", g_variant_new("(su)", method.c_str(), ms), nullptr);
}

void Control::store(const std::string &key, GVariant *value) {
    call("Store", g_variant_new("(sv)", key.c_str(), value), nullptr);
}

Variant Control::fetch(const std::string &key) {
    Variant r = call("Fetch", g_variant_new("(s)", key.c_str()), "(v)");
    GVariant *v;
    g_variant_get(r.get(), "(v)", &v);
    return Variant(v);
}

std::vector<Call> Control::calls() {
    Variant r = call("GetCalls", nullptr, "(a(sav))");
    std::vector<Call> out;
    GVariantIter *iter;
    g_variant_get(r.get(), "(a(sav))", &iter);
    const gchar *method;
    GVariantIter *args;
    while (g_variant_iter_next(iter, "(&sav)", &method, &args)) {
        std::vector<GVariant *> members;
        GVariant *member;
        while (g_variant_iter_next(args, "v", &member))
            members.push_back(member);
        g_variant_iter_free(args);
        GVariant *tuple = g_variant_ref_sink(g_variant_new_tuple(members.data(), members.size()));
        for (GVariant *m : members)
            g_variant_unref(m);
        out.push_back({method, Variant(tuple)});
    }
    g_variant_iter_free(iter);
    return out;
}

std::vector<Call> Control::calls_of(const std::string &method) {
    std::vector<Call> out;
    for (Call &c : calls())
        if (c.method == method)
            out.push_back(std::move(c));
    return out;
}

void Control::clear_calls() {
    call("ClearCalls", nullptr, nullptr);
}
void Control::release_name() {
    call("ReleaseName", nullptr, nullptr);
}
void Control::take_name() {
    call("TakeName", nullptr, nullptr);
}

}  // namespace velsard_testing
