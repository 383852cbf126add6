// The blocking operations: one synchronous velsard call each through the
// open cycle's proxy. Every reply value and text is released on every path;
// a failed call leaves the caller's record as it was.
#include "arvent.h"

#include <syslog.h>

#include <cstring>

#include "ipc_internal.h"
#include "record_text.h"
#include "velsardbus.h"

namespace arvent {
namespace {

// The borrowed proxy of one operation.
class Proxy {
  public:
    Proxy() : proxy_(proxy_acquire()) {}
    ~Proxy() {
        if (proxy_ != nullptr)
            g_object_unref(proxy_);
    }
    Proxy(const Proxy &) = delete;
    Proxy &operator=(const Proxy &) = delete;
    explicit operator bool() const { return proxy_ != nullptr; }
    VelsardBusGdbus1 *get() const { return proxy_; }

  private:
    VelsardBusGdbus1 *proxy_;
};

bool present(const void *p, const char *what) {
    if (p == nullptr)
        syslog(LOG_ERR, "No %s given", what);
    return p != nullptr;
}

// Logs line (with the error's message when it has a %s) and releases error.
int fail(const char *line, GError *error) {
    if (std::strstr(line, "%s") != nullptr)
        syslog(LOG_ERR, line, error->message);
    else
        syslog(LOG_ERR, "%s", line);
    g_error_free(error);
    return 0;
}

using GetCall = gboolean (*)(VelsardBusGdbus1 *, GVariant **, GCancellable *, GError **);
using SetCall = gboolean (*)(VelsardBusGdbus1 *, GVariant *, gint *, GCancellable *, GError **);

template <typename Record, typename Fill>
int get_record(Record *record, const char *trying, const char *failed, GetCall call, Fill fill) {
    syslog(LOG_INFO, "%s", trying);
    if (!present(record, "record"))
        return 0;
    Proxy proxy;
    if (!proxy)
        return 0;
    GVariant *value = nullptr;
    GError *error = nullptr;
    if (!call(proxy.get(), &value, nullptr, &error))
        return fail(failed, error);
    VariantRef owned(value);
    return fill(value, record);
}

template <typename Record>
int set_record(const Record *record, const char *trying, const char *failed, SetCall call,
               GVariant *(*serialize)(const Record *)) {
    syslog(LOG_INFO, "%s", trying);
    if (!present(record, "record"))
        return 0;
    Proxy proxy;
    if (!proxy)
        return 0;
    GVariant *value = serialize(record);  // null: a text is not UTF-8 (logged)
    if (value == nullptr)
        return 0;
    GError *error = nullptr;
    // The call consumes the floating value; velsard's response is not looked at.
    if (!call(proxy.get(), value, nullptr, nullptr, &error))
        return fail(failed, error);
    return 1;
}

// Adapts a deserialiser without a result to the get path.
template <typename Record, void (*Deserialize)(GVariant *, Record *)>
int fill(GVariant *value, Record *record) {
    Deserialize(value, record);
    return 1;
}

// A received text copied into size bytes, always terminated, cut on a
// whole UTF-8 character.
void copy_terminated(char *out, size_t size, const char *text) {
    copy_text(out, size, text, true);
}

bool valid_text(const char *text, const char *what) {
    if (!present(text, what))
        return false;
    if (!g_utf8_validate(text, -1, nullptr)) {
        syslog(LOG_ERR, "Cannot send %s: not valid UTF-8", what);
        return false;
    }
    return true;
}

}  // namespace
}  // namespace arvent

using namespace arvent;

extern "C" {

int arvent_get(mapping *m) {
    return get_record(m, "Trying to get mapping over IPC", "Error getting mapping from IPC",
                      velsard_bus_gdbus1_call_get_mapping_sync, mapping_deserialize);
}

int arvent_set(const mapping *m) {
    return set_record(m, "Trying to set mapping over IPC", "Error setting mapping over IPC: %s",
                      velsard_bus_gdbus1_call_set_mapping_sync, mapping_serialize);
}

int ipc_modbus_config_get(modbus_config *c) {
    return get_record(c, "Trying to get modbus config over IPC", "Error getting modbus config from IPC",
                      velsard_bus_gdbus1_call_get_modbus_config_sync,
                      fill<modbus_config, modbus_config_deserialize>);
}

int ipc_modbus_config_set(const modbus_config *c) {
    return set_record(c, "Trying to set modbus config over IPC", "Error setting modbus config over IPC: %s",
                      velsard_bus_gdbus1_call_set_modbus_config_sync, modbus_config_serialize);
}

int ipc_bacnet_config_get(bacnet_config *c) {
    return get_record(c, "Trying to get bacnet config over IPC", "Error getting bacnet config from IPC",
                      velsard_bus_gdbus1_call_get_bacnet_config_sync,
                      fill<bacnet_config, bacnet_config_deserialize>);
}

int ipc_bacnet_config_set(const bacnet_config *c) {
    return set_record(c, "Trying to set bacnet config over IPC", "Error setting bacnet config over IPC: %s",
                      velsard_bus_gdbus1_call_set_bacnet_config_sync, bacnet_config_serialize);
}

int ipc_pulse_config_get(pulse_config *c) {
    return get_record(c, "Trying to get pulse config over IPC", "Error getting pulse config from IPC",
                      velsard_bus_gdbus1_call_get_pulse_configuration_sync,
                      fill<pulse_config, pulse_config_deserialize>);
}

int ipc_pulse_config_set(const pulse_config *c) {
    return set_record(c, "Trying to set pulse config over IPC", "Error setting pulse config over IPC: %s",
                      velsard_bus_gdbus1_call_set_pulse_configuration_sync, pulse_config_serialize);
}

int ipc_device_config_get(device_config *c) {
    return get_record(c, "Trying to get device config over IPC", "Error getting device config from IPC",
                      velsard_bus_gdbus1_call_get_device_config_sync,
                      fill<device_config, device_config_deserialize>);
}

int ipc_device_config_set(const device_config *c) {
    return set_record(c, "Trying to set device config over IPC", "Error setting device config over IPC: %s",
                      velsard_bus_gdbus1_call_set_device_config_sync, device_config_serialize);
}

int ipc_test_config_get(test_config *c) {
    return get_record(c, "Trying to get test config over IPC", "Error getting test config from IPC",
                      velsard_bus_gdbus1_call_get_test_config_sync,
                      fill<test_config, test_config_deserialize>);
}

int ipc_test_config_set(const test_config *c) {
    return set_record(c, "Trying to set test config over IPC", "Error setting test config over IPC: %s",
                      velsard_bus_gdbus1_call_set_test_config_sync, test_config_serialize);
}

int ipc_ethernet_config_get(ethernet_config *c) {
    return get_record(c, "Trying to get ethernet config over IPC", "Error getting ethernet config from IPC",
                      velsard_bus_gdbus1_call_get_ethernet_config_sync,
                      fill<ethernet_config, ethernet_config_deserialize>);
}

int ipc_ethernet_config_set(const ethernet_config *c) {
    return set_record(c, "Trying to set ethernet config over IPC",
                      "Error setting ethernet config over IPC: %s",
                      velsard_bus_gdbus1_call_set_ethernet_config_sync, ethernet_config_serialize);
}

int ipc_serial_get(serials *s) {
    return get_record(s, "Trying to get serial number over IPC", "Error getting serial number from IPC",
                      velsard_bus_gdbus1_call_get_serial_sync, fill<serials, serial_deserialize>);
}

int ipc_alarm_get(alarm_config *c) {
    return get_record(c, "Trying to get alarm config over IPC", "Error getting alarm config from IPC",
                      velsard_bus_gdbus1_call_get_alarm_sync, fill<alarm_config, alarm_config_deserialize>);
}

int ipc_create_error(uint32_t code, const char *text) {
    if (!valid_text(text, "device error text"))
        return 0;
    Proxy proxy;
    if (!proxy)
        return 0;
    GError *error = nullptr;
    if (!velsard_bus_gdbus1_call_create_error_sync(proxy.get(), code, text, nullptr, nullptr, &error))
        return fail("Error creating device error from IPC: %s", error);
    return 1;
}

int ipc_mac_addr_get(char *mac) {
    syslog(LOG_INFO, "Trying to get MAC address over IPC");
    if (!present(mac, "MAC address buffer"))
        return 0;
    Proxy proxy;
    if (!proxy)
        return 0;
    gchar *text = nullptr;
    GError *error = nullptr;
    if (!velsard_bus_gdbus1_call_get_mac_address_sync(proxy.get(), &text, nullptr, &error))
        return fail("Error getting MAC address from IPC", error);
    copy_terminated(mac, IPC_MAC_LEN, text);
    g_free(text);
    return 1;
}

int ipc_version_get(char *version) {
    syslog(LOG_INFO, "Trying to get version number over IPC");
    if (!present(version, "version buffer"))
        return 0;
    Proxy proxy;
    if (!proxy)
        return 0;
    gchar *text = nullptr;
    GError *error = nullptr;
    if (!velsard_bus_gdbus1_call_get_version_sync(proxy.get(), &text, nullptr, &error))
        return fail("Error getting versin number from IPC", error);
    copy_terminated(version, IPC_VERSION_LEN, text);
    g_free(text);
    return 1;
}

int ipc_serial_set(const char *serial) {
    syslog(LOG_INFO, "Trying to set serial number over IPC");
    if (!valid_text(serial, "serial number"))
        return 0;
    Proxy proxy;
    if (!proxy)
        return 0;
    gint response = 0;
    GError *error = nullptr;
    if (!velsard_bus_gdbus1_call_set_serial_sync(proxy.get(), serial, &response, nullptr, &error))
        return fail("Error setting serial number over IPC", error);
    if (response != 0) {
        syslog(LOG_ERR, "Serial is already set");
        return 0;
    }
    return 1;
}

int ipc_pulse_count_update(int index, int count) {
    if (index == 3)
        return 0;
    Proxy proxy;
    if (!proxy)
        return 0;
    gint response = 0;
    GError *error = nullptr;
    if (!velsard_bus_gdbus1_call_update_pulse_count_sync(proxy.get(), index, count, &response, nullptr,
                                                         &error))
        return fail("Error updating pulse count over IPC", error);
    if (response != 0) {
        syslog(LOG_ERR, "Failed to update pulse count for IO %d", index);
        return 0;
    }
    return 1;
}

int ipc_pulse_count_get(int index, int32_t *count, uint32_t *extra) {
    if (index == 3)
        return 0;
    Proxy proxy;
    if (!proxy)
        return 0;
    GVariant *pair = nullptr;
    gint response = 0;
    GError *error = nullptr;
    if (!velsard_bus_gdbus1_call_get_pulse_count_sync(proxy.get(), index, &pair, &response, nullptr, &error))
        return fail("Error updating pulse count over IPC", error);
    VariantRef owned(pair);
    if (response == -1) {
        syslog(LOG_ERR, "Failed to get pulse count for IO %d", index);
        return 0;
    }
    guint32 u;
    gint32 i;
    g_variant_get(pair, "(ui)", &u, &i);
    if (count != nullptr)
        *count = i;
    if (extra != nullptr)
        *extra = u;
    return 1;
}

int ipc_pulse_count_reset(int index) {
    if (index == 3)
        return 0;
    Proxy proxy;
    if (!proxy)
        return 0;
    gint response = 0;
    GError *error = nullptr;
    if (!velsard_bus_gdbus1_call_reset_pulse_count_sync(proxy.get(), index, &response, nullptr, &error))
        return fail("Error updating pulse count over IPC", error);
    if (response == -1) {
        syslog(LOG_ERR, "Failed to get pulse count for IO %d", index);
        return 0;
    }
    return 1;
}

int ipc_num_channels_get(uint32_t *count) {
    syslog(LOG_INFO, "Trying to get number of channels");
    if (!present(count, "channel count"))
        return 0;
    Proxy proxy;
    if (!proxy)
        return 0;
    guint n = 0;
    GError *error = nullptr;
    if (!velsard_bus_gdbus1_call_get_num_channels_sync(proxy.get(), &n, nullptr, &error))
        return fail("Error getting number of channels from IPC: %s", error);
    *count = n;
    return 1;
}

int ipc_reboot(void) {
    Proxy proxy;
    if (!proxy)
        return 0;
    gint response = 0;
    GError *error = nullptr;
    if (!velsard_bus_gdbus1_call_reboot_sync(proxy.get(), &response, nullptr, &error))
        return fail("Error performing system reboot: %s", error);
    if (response == -1) {
        syslog(LOG_ERR, "Failed to perform a system reboot.");
        return 0;
    }
    return 1;
}

int ipc_factory_reset(void) {
    syslog(LOG_INFO, "Performing factory reset");
    Proxy proxy;
    if (!proxy)
        return 0;
    gint response = 0;
    GError *error = nullptr;
    if (!velsard_bus_gdbus1_call_factory_reset_sync(proxy.get(), &response, nullptr, &error))
        return fail("Error performing factory reset: %s", error);
    if (response == -1) {
        syslog(LOG_ERR, "Failed to perform a factory reset");
        return 0;
    }
    return 1;
}

int ipc_alarm_set_state(const alarm_state *s) {
    syslog(LOG_INFO, "Trying to set alarm state over IPC");
    if (!present(s, "alarm state"))
        return 0;
    Proxy proxy;
    if (!proxy)
        return 0;
    gint response = 0;
    GError *error = nullptr;
    if (!velsard_bus_gdbus1_call_set_alarm_state_sync(proxy.get(), alarm_state_serialize(s), &response,
                                                      nullptr, &error))
        return fail("Error setting alarm state", error);
    if (response != 0) {
        syslog(LOG_ERR, "Failed to set alarm state");
        return 0;
    }
    return 1;
}

}  // extern "C"
