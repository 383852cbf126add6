// The IPC connection: one system-bus connection, the velsard proxy and the
// IPC thread that runs the default main context, where velsard's signals are
// turned into calls of the program's handlers.
//
// Lifecycle: arvent_init and arvent_cleanup are serialised by one mutex and
// keep their state in this file; the exported globals only mirror it. The
// loop is created before the thread starts, and cleanup stops it with a
// source attached to the loop's context, so a stop that comes before the
// loop runs is not lost. Signal delivery is switched off before the loop is
// stopped and a delivery from an earlier cycle is recognised by its cycle
// number, so nothing reaches the handlers after arvent_cleanup returns.
#define ARVENT_DECLARE_STATE
#include "arvent.h"

#include <pthread.h>
#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ipc_internal.h"
#include "velsardbus.h"

extern "C" {
GDBusConnection *conn = nullptr;
VelsardBusGdbus1 *velsard_proxy = nullptr;
GDBusProxy *systemd_proxy = nullptr;
GMainLoop *loop = nullptr;
ipc_config_handler_t dbus_config_handler = nullptr;
ipc_error_handler_t dbus_error_handler = nullptr;
}

namespace arvent {
namespace {

struct SignalKind {
    const char *signal;
    int kind;
    const char *line;
};

const SignalKind kSignals[] = {
    {"NewMapping", IPC_NEW_MAPPING, "Received NewMapping signal"},
    {"NewModbusConfig", IPC_NEW_MODBUS_CONFIG, "Received NewModbusConfig signal"},
    {"NewBacnetConfig", IPC_NEW_BACNET_CONFIG, "Received NewBacnetConfig signal"},
    {"NewDeviceConfig", IPC_NEW_DEVICE_CONFIG, "Received NewDeviceConfig signal"},
    {"NewTestConfig", IPC_NEW_TEST_CONFIG, "Received NewTestConfig signal"},
    {"NewEthernetConfig", IPC_NEW_ETHERNET_CONFIG, "Received NewEthernetConfig signal"},
    {"RequestSetLed", IPC_REQUEST_SET_LED, "Received RequestSetLed signal"},
    {"NewPulseConfig", IPC_NEW_PULSE_CONFIG, "Received NewPulseConfig signal"},
    {"RequestPeakDemandReset", IPC_REQUEST_PEAK_DEMAND_RESET, "Received RequestPeakDemandReset signal"},
    {"NewAlarmState", IPC_NEW_ALARM_STATE, "Received NewAlarmState signal"},
    {"FactoryReset", IPC_FACTORY_RESET, "Received FactoryReset signal"},
    {"NewIpAddress", IPC_NEW_IP_ADDRESS, "Received New Ip Address signal"},
};

// The open cycle. Written only while holding lifecycle_mutex, and apart
// from the thread handle also proxy_mutex; the blocking operations read it
// under proxy_mutex alone.
struct Cycle {
    bool open = false;
    GDBusConnection *conn = nullptr;
    VelsardBusGdbus1 *proxy = nullptr;
    GDBusProxy *systemd = nullptr;
    GMainLoop *loop = nullptr;
    pthread_t thread{};
};

std::mutex lifecycle_mutex;
std::mutex proxy_mutex;
Cycle cycle;
// The current cycle's number while it delivers signals, 0 otherwise.
std::atomic<uintptr_t> delivering{0};
uintptr_t cycle_count = 0;
// Handlers as the signal callback reads them (the exported pair mirrors them).
std::atomic<ipc_config_handler_t> config_handler{nullptr};
std::atomic<ipc_error_handler_t> error_handler{nullptr};
thread_local bool on_ipc_thread = false;

void ipc_config_signal_handler(GDBusProxy *, const gchar *, const gchar *signal_name, GVariant *parameters,
                               gpointer cycle_number) {
    if (delivering.load() != reinterpret_cast<uintptr_t>(cycle_number))
        return;
    if (ipc_config_handler_t handler = config_handler.load()) {
        for (const SignalKind &s : kSignals) {
            if (std::strcmp(signal_name, s.signal) != 0)
                continue;
            // A change signal carries nothing; one with arguments is not velsard's.
            if (g_variant_n_children(parameters) != 0)
                break;
            syslog(LOG_INFO, "%s", s.line);
            handler(s.kind);
            break;
        }
    }
    ipc_error_handler_t on_error = error_handler.load();
    if (on_error != nullptr && std::strcmp(signal_name, "DeviceError") == 0 &&
        g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
        guint32 code;
        const gchar *text;
        g_variant_get(parameters, "(u&s)", &code, &text);
        syslog(LOG_INFO, "Received DeviceError signal E%d: %s", (int)code, text);
        on_error(code, strdup(text));
    }
}

void *ipc_thread(void *arg) {
    on_ipc_thread = true;
    syslog(LOG_INFO, "Starting IPC thread");
    g_main_loop_run(static_cast<GMainLoop *>(arg));
    syslog(LOG_DEBUG, "Exiting IPC thread");
    return nullptr;
}

gboolean quit_loop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

void set_mirrors(const Cycle &c) {
    conn = c.conn;
    velsard_proxy = c.proxy;
    systemd_proxy = c.systemd;
    loop = c.loop;
}

// Releases what a cycle holds apart from its thread.
void release(Cycle &c) {
    Cycle old;
    {
        // The blocking operations read the cycle under this lock.
        std::lock_guard<std::mutex> lock(proxy_mutex);
        old = c;
        c = Cycle{};
        set_mirrors(c);
    }
    // Releasing the proxy also ends the signal connection made on it.
    if (old.proxy != nullptr)
        g_object_unref(old.proxy);
    if (old.systemd != nullptr)
        g_object_unref(old.systemd);
    if (old.loop != nullptr)
        g_main_loop_unref(old.loop);
    if (old.conn != nullptr)
        g_object_unref(old.conn);
}

int open_cycle(ipc_config_handler_t on_config, ipc_error_handler_t on_error) {
    slog_level(LOG_WARNING);
    config_handler = on_config;
    error_handler = on_error;
    dbus_config_handler = on_config;
    dbus_error_handler = on_error;

    Cycle c;
    GError *error = nullptr;
    c.conn = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (c.conn == nullptr) {
        syslog(LOG_ERR, "Cannot connect to the system bus: %s", error->message);
        g_error_free(error);
        return 0;
    }
    c.systemd = g_dbus_proxy_new_sync(c.conn, G_DBUS_PROXY_FLAGS_NONE, nullptr, "org.freedesktop.systemd1",
                                      "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
                                      nullptr, &error);
    if (c.systemd == nullptr) {
        syslog(LOG_ERR, "Cannot create IPC proxy: %s", error->message);
        g_clear_error(&error);
    }
    // The proxy's signals are dispatched in the context that is the thread
    // default when it is created: make that the global default context,
    // which the IPC thread runs, whatever the calling thread has pushed.
    g_main_context_push_thread_default(g_main_context_default());
    c.proxy = velsard_bus_gdbus1_proxy_new_sync(c.conn, G_DBUS_PROXY_FLAGS_NONE, "com.velsard",
                                                "/com/velsard/gdbus1", nullptr, &error);
    g_main_context_pop_thread_default(g_main_context_default());
    if (c.proxy == nullptr) {
        syslog(LOG_ERR, "Cannot create IPC proxy: %s", error->message);
        g_error_free(error);
        release(c);
        return 0;
    }
    uintptr_t number = ++cycle_count;
    if (number == 0)
        number = ++cycle_count;  // 0 means "not delivering"
    if (g_signal_connect(c.proxy, "g-signal", G_CALLBACK(ipc_config_signal_handler),
                         reinterpret_cast<gpointer>(number)) == 0) {
        syslog(LOG_ERR, "Failed to connect IPC config signal handler");
        release(c);
        return 0;
    }
    c.loop = g_main_loop_new(g_main_context_default(), FALSE);
    // Open for the blocking operations before the thread starts: a signal
    // already queued is handled as soon as the loop runs, and its handler
    // may call velsard at once.
    {
        std::lock_guard<std::mutex> lock(proxy_mutex);
        c.open = true;
        cycle = c;
        set_mirrors(cycle);
    }
    delivering = number;
    int rc = pthread_create(&cycle.thread, nullptr, ipc_thread, cycle.loop);
    if (rc != 0) {
        delivering = 0;
        syslog(LOG_ERR, "Error starting processing thread (%d)", rc);
        release(cycle);
        return 0;
    }
    pthread_setname_np(cycle.thread, "arvent-ipc");
    return 1;
}

}  // namespace

VelsardBusGdbus1 *proxy_acquire() {
    std::lock_guard<std::mutex> lock(proxy_mutex);
    if (!cycle.open || cycle.proxy == nullptr) {
        syslog(LOG_ERR, "No IPC connection to velsard: arvent_init has not been called or was cleaned up");
        return nullptr;
    }
    return static_cast<VelsardBusGdbus1 *>(g_object_ref(cycle.proxy));
}

}  // namespace arvent

using namespace arvent;

extern "C" int arvent_init(ipc_config_handler_t on_config, ipc_error_handler_t on_error) {
    // A handler calling this would wait for a cleanup that waits for it.
    if (on_ipc_thread) {
        syslog(LOG_ERR, "arvent_init called from the IPC thread: refused");
        return 0;
    }
    std::lock_guard<std::mutex> lock(lifecycle_mutex);
    if (cycle.open) {
        syslog(LOG_ERR, "arvent_init called twice without arvent_cleanup: refused");
        return 0;
    }
    return open_cycle(on_config, on_error);
}

extern "C" void arvent_cleanup(void) {
    if (on_ipc_thread) {
        syslog(LOG_ERR, "arvent_cleanup called from the IPC thread: refused");
        return;
    }
    std::lock_guard<std::mutex> lock(lifecycle_mutex);
    if (!cycle.open)
        return;
    syslog(LOG_INFO, "Stoping IPC thread");
    delivering = 0;
    // Dispatched by the loop once it runs, even when it has not started yet.
    GSource *stop = g_idle_source_new();
    g_source_set_priority(stop, G_PRIORITY_HIGH);
    g_source_set_callback(stop, quit_loop, g_main_loop_ref(cycle.loop),
                          reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
    g_source_attach(stop, g_main_loop_get_context(cycle.loop));
    g_source_unref(stop);
    pthread_join(cycle.thread, nullptr);
    release(cycle);
}
