// Conversions of velsard's configuration records (all but the mapping) to and
// from their D-Bus values.
#include "arvent.h"
#include "record_text.h"

#include <syslog.h>

#include <algorithm>
#include <initializer_list>
#include <iterator>

namespace arvent {

bool record_given(const void *record, const char *what) {
    if (record == nullptr) {
        syslog(LOG_ERR, "No %s record to convert", what);
        return false;
    }
    return true;
}

bool value_fits(GVariant *value, const char *signature, const void *record, const char *what) {
    if (!record_given(record, what)) {
        return false;
    }
    if (value == nullptr) {
        syslog(LOG_ERR, "No %s value to convert", what);
        return false;
    }
    if (!g_variant_is_of_type(value, G_VARIANT_TYPE(signature))) {
        syslog(LOG_ERR, "Ignoring %s value of type %s, expected %s", what, g_variant_get_type_string(value),
               signature);
        return false;
    }
    return true;
}

namespace {

struct TextField {
    const char *name;
    const char *field;
    size_t size;
};
// clang-format off
#define TEXT_FIELD(rec, f) TextField{#f, (rec)->f, sizeof (rec)->f}
// clang-format on

// Refuses a record with a text that D-Bus cannot carry.
bool texts_are_utf8(const char *record, std::initializer_list<TextField> texts) {
    for (const TextField &t : texts) {
        if (!field_is_utf8(t.field, t.size)) {
            syslog(LOG_ERR, "Cannot send %s: %s is not valid UTF-8", record, t.name);
            return false;
        }
    }
    return true;
}

void fill_alarm_entry(alarm_entry *e, uint32_t position, GVariant *entry) {
    guint32 index, e2, e3, e4, e5;
    gint32 e1, e6;
    gboolean f1, f2;
    g_variant_get(entry, "(uiuuuubbi)", &index, &e1, &e2, &e3, &e4, &e5, &f1, &f2, &e6);
    e->index = position;  // the received index is not trusted to match the slot
    e->extra_1 = e1;
    e->extra_2 = e2;
    e->extra_3 = e3;
    e->extra_4 = e4;
    e->extra_5 = e5;
    e->flag_1 = f1 != 0;
    e->flag_2 = f2 != 0;
    e->extra_6 = e6;
}

GVariant *alarm_entry_value(const alarm_entry *e, uint32_t index) {
    return g_variant_new("(uiuuuubbi)", index, e->extra_1, e->extra_2, e->extra_3, e->extra_4, e->extra_5,
                         flag_of(e->flag_1), flag_of(e->flag_2), e->extra_6);
}

}  // namespace
}  // namespace arvent

using namespace arvent;

extern "C" {

/* ---- modbus_config ---- */

GVariant *modbus_config_serialize(const modbus_config *c) {
    if (!record_given(c, "modbus config")) {
        return nullptr;
    }
    if (!texts_are_utf8("modbus config", {TEXT_FIELD(c, device)})) {
        return nullptr;
    }
    return g_variant_new("(bu@suuuuii)", flag_of(c->active), c->backend,
                         field_value(c->device, sizeof c->device), c->baud, static_cast<guint32>(c->address),
                         c->port, static_cast<guint32>(static_cast<uint8_t>(c->parity)), c->stopbits,
                         c->databits);
}

void modbus_config_deserialize(GVariant *value, modbus_config *c) {
    if (!value_fits(value, "(busuuuuii)", c, "modbus config")) {
        return;
    }
    gboolean active;
    guint32 backend, baud, address, port, parity;
    const gchar *device;
    gint32 stopbits, databits;
    g_variant_get(value, "(bu&suuuuii)", &active, &backend, &device, &baud, &address, &port, &parity,
                  &stopbits, &databits);
    c->active = active != 0;
    c->backend = backend;
    copy_text(c->device, sizeof c->device, device, true);
    c->baud = baud;
    c->address = static_cast<uint8_t>(address);
    c->port = port;
    c->parity = static_cast<char>(static_cast<uint8_t>(parity));
    c->stopbits = stopbits;
    c->databits = databits;
}

/* ---- bacnet_config ---- */

GVariant *bacnet_config_serialize(const bacnet_config *c) {
    if (!record_given(c, "bacnet config")) {
        return nullptr;
    }
    if (!texts_are_utf8("bacnet config",
                        {TEXT_FIELD(c, name), TEXT_FIELD(c, bbmd), TEXT_FIELD(c, extra_2)})) {
        return nullptr;
    }
    return g_variant_new("(buuuu@suu@suuuu@su)", flag_of(c->active), c->type, c->baud, c->udp_port,
                         c->instance, field_value(c->name, sizeof c->name), c->vnet, c->extra_1,
                         field_value(c->bbmd, sizeof c->bbmd), c->ttl, c->mstp_mac, c->mstp_max_master,
                         c->mstp_info_frames, field_value(c->extra_2, sizeof c->extra_2), c->extra_3);
}

void bacnet_config_deserialize(GVariant *value, bacnet_config *c) {
    if (!value_fits(value, "(buuuusuusuuuusu)", c, "bacnet config")) {
        return;
    }
    gboolean active;
    guint32 type, baud, udp_port, instance, vnet, extra_1, ttl, mac, max_master, info_frames, extra_3;
    const gchar *name, *bbmd, *extra_2;
    g_variant_get(value, "(buuuu&suu&suuuu&su)", &active, &type, &baud, &udp_port, &instance, &name, &vnet,
                  &extra_1, &bbmd, &ttl, &mac, &max_master, &info_frames, &extra_2, &extra_3);
    c->active = active != 0;
    c->type = type;
    c->baud = baud;
    c->udp_port = udp_port;
    c->instance = instance;
    copy_text(c->name, sizeof c->name, name, true);
    c->vnet = vnet;
    c->extra_1 = extra_1;
    copy_text(c->bbmd, sizeof c->bbmd, bbmd, true);
    c->ttl = ttl;
    c->mstp_mac = mac;
    c->mstp_max_master = max_master;
    c->mstp_info_frames = info_frames;
    copy_text(c->extra_2, sizeof c->extra_2, extra_2, true);
    c->extra_3 = extra_3;
}

/* ---- pulse_config ---- */

GVariant *pulse_config_serialize(const pulse_config *c) {
    if (!record_given(c, "pulse config")) {
        return nullptr;
    }
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a(ibbiidiiuuuuuuuu)"));
    for (const pulse_config_entry &e : c->entries) {
        const uint32_t *x = e.extra_3;
        g_variant_builder_add(&b, "(ibbiidiiuuuuuuuu)", e.extra_1, flag_of(e.flag_1), flag_of(e.flag_2),
                              e.extra_2, e.param, e.scaler, e.pulse_width, e.load_id, x[0], x[1], x[2], x[3],
                              x[4], x[5], x[6], x[7]);
    }
    return g_variant_builder_end(&b);
}

void pulse_config_deserialize(GVariant *value, pulse_config *c) {
    if (!value_fits(value, "a(ibbiidiiuuuuuuuu)", c, "pulse config")) {
        return;
    }
    // Entries beyond the record's three have no place; they are dropped.
    size_t n = std::min<size_t>(g_variant_n_children(value), PULSE_CONFIG_ENTRY_MAX);
    for (size_t k = 0; k < n; ++k) {
        pulse_config_entry &e = c->entries[k];
        gint32 extra_1, extra_2, param, width, load;
        gboolean f1, f2;
        gdouble scaler;
        guint32 x[8];
        g_variant_get(child(value, k).get(), "(ibbiidiiuuuuuuuu)", &extra_1, &f1, &f2, &extra_2, &param,
                      &scaler, &width, &load, &x[0], &x[1], &x[2], &x[3], &x[4], &x[5], &x[6], &x[7]);
        e.extra_1 = extra_1;
        e.flag_1 = f1 != 0;
        e.flag_2 = f2 != 0;
        e.extra_2 = extra_2;
        e.param = param;
        e.scaler = scaler;
        e.pulse_width = width;
        e.load_id = load;
        std::copy(std::begin(x), std::end(x), e.extra_3);
    }
}

/* ---- device_config ---- */

GVariant *device_config_serialize(const device_config *c) {
    if (!record_given(c, "device config")) {
        return nullptr;
    }
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("(uuuuuuuuuuuuuuu)"));
    for (uint32_t v : c->values) {
        g_variant_builder_add(&b, "u", v);
    }
    return g_variant_builder_end(&b);
}

void device_config_deserialize(GVariant *value, device_config *c) {
    if (!value_fits(value, "(uuuuuuuuuuuuuuu)", c, "device config")) {
        return;
    }
    for (size_t k = 0; k < DEVICE_CONFIG_VALUE_MAX; ++k) {
        c->values[k] = g_variant_get_uint32(child(value, k).get());
    }
}

/* ---- test_config ---- */

GVariant *test_config_serialize(const test_config *c) {
    if (!record_given(c, "test config")) {
        return nullptr;
    }
    syslog(LOG_INFO, "Serializing test config");
    for (const auto &text : c->texts) {
        if (!field_is_utf8(text, sizeof text)) {
            syslog(LOG_ERR, "Cannot send test config: texts[%d] is not valid UTF-8",
                   static_cast<int>(&text - c->texts));
            return nullptr;
        }
    }
    GVariantBuilder texts;
    g_variant_builder_init(&texts, G_VARIANT_TYPE("a(s)"));
    for (const auto &text : c->texts) {
        g_variant_builder_add(&texts, "(@s)", field_value(text, sizeof text));
    }
    return g_variant_new("(@a(s)ub)", g_variant_builder_end(&texts), c->lcd_led, flag_of(c->backlight));
}

void test_config_deserialize(GVariant *value, test_config *c) {
    syslog(LOG_INFO, "Deserializing test config");
    if (!value_fits(value, "(a(s)ub)", c, "test config")) {
        return;
    }
    GVariant *texts;
    guint32 lcd_led;
    gboolean backlight;
    g_variant_get(value, "(@a(s)ub)", &texts, &lcd_led, &backlight);
    VariantRef owned(texts);
    size_t n = std::min<size_t>(g_variant_n_children(texts), TEST_CONFIG_TEXT_MAX);
    for (size_t k = 0; k < n; ++k) {
        const gchar *text;
        VariantRef entry = child(texts, k);
        g_variant_get(entry.get(), "(&s)", &text);
        copy_text(c->texts[k], sizeof c->texts[k], text, true);
    }
    c->lcd_led = lcd_led;
    c->backlight = backlight != 0;
}

/* ---- serials ---- */

GVariant *serial_serialize(const serials *s) {
    if (!record_given(s, "serial numbers")) {
        return nullptr;
    }
    for (const auto &text : s->serial) {
        if (!field_is_utf8(text, sizeof text)) {
            syslog(LOG_ERR, "Cannot send serial numbers: serial[%d] is not valid UTF-8",
                   static_cast<int>(&text - s->serial));
            return nullptr;
        }
    }
    return g_variant_new("(@s@s@s)", field_value(s->serial[0], SERIAL_LEN),
                         field_value(s->serial[1], SERIAL_LEN), field_value(s->serial[2], SERIAL_LEN));
}

void serial_deserialize(GVariant *value, serials *s) {
    if (!value_fits(value, "(sss)", s, "serial numbers")) {
        return;
    }
    for (size_t k = 0; k < 3; ++k) {
        copy_text(s->serial[k], SERIAL_LEN, g_variant_get_string(child(value, k).get(), nullptr), true);
    }
}

/* ---- ethernet_config ---- */

GVariant *ethernet_config_serialize(const ethernet_config *c) {
    if (!record_given(c, "ethernet config")) {
        return nullptr;
    }
    syslog(LOG_INFO, "Serializing ethernet config");
    if (!texts_are_utf8("ethernet config",
                        {TEXT_FIELD(c, extra_2), TEXT_FIELD(c, extra_3), TEXT_FIELD(c, extra_5),
                         TEXT_FIELD(c, extra_6), TEXT_FIELD(c, extra_8), TEXT_FIELD(c, extra_10)})) {
        return nullptr;
    }
    return g_variant_new(
        "(b@s@su@s@sb@su@s)", flag_of(c->extra_1), field_value(c->extra_2, sizeof c->extra_2),
        field_value(c->extra_3, sizeof c->extra_3), c->extra_4, field_value(c->extra_5, sizeof c->extra_5),
        field_value(c->extra_6, sizeof c->extra_6), flag_of(c->extra_7),
        field_value(c->extra_8, sizeof c->extra_8), c->extra_9, field_value(c->extra_10, sizeof c->extra_10));
}

void ethernet_config_deserialize(GVariant *value, ethernet_config *c) {
    if (!value_fits(value, "(bssussbsus)", c, "ethernet config")) {
        return;
    }
    gboolean e1, e7;
    const gchar *e2, *e3, *e5, *e6, *e8, *e10;
    guint32 e4, e9;
    g_variant_get(value, "(b&s&su&s&sb&su&s)", &e1, &e2, &e3, &e4, &e5, &e6, &e7, &e8, &e9, &e10);
    c->extra_1 = e1 != 0;
    copy_text(c->extra_2, sizeof c->extra_2, e2, true);
    copy_text(c->extra_3, sizeof c->extra_3, e3, true);
    c->extra_4 = e4;
    copy_text(c->extra_5, sizeof c->extra_5, e5, true);
    copy_text(c->extra_6, sizeof c->extra_6, e6, true);
    c->extra_7 = e7 != 0;
    copy_text(c->extra_8, sizeof c->extra_8, e8, true);
    c->extra_9 = e9;
    copy_text(c->extra_10, sizeof c->extra_10, e10, true);
}

/* ---- alarms ---- */

GVariant *alarm_config_serialize(const alarm_config *c) {
    if (!record_given(c, "alarm config")) {
        return nullptr;
    }
    syslog(LOG_INFO, "Serializing alarm config");
    // The count is the caller's word; the record has room for 99 entries only.
    uint32_t count = std::min<uint32_t>(c->count, ALARM_ENTRY_MAX);
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a(uiuuuubbi)"));
    for (uint32_t k = 0; k < count; ++k) {
        g_variant_builder_add_value(&b, alarm_entry_value(&c->entries[k], k));
    }
    return g_variant_builder_end(&b);
}

void alarm_config_deserialize(GVariant *value, alarm_config *c) {
    if (!value_fits(value, "a(uiuuuubbi)", c, "alarm config")) {
        return;
    }
    size_t n = std::min<size_t>(g_variant_n_children(value), ALARM_ENTRY_MAX);
    c->count = 0;
    for (size_t k = 0; k < n; ++k) {
        fill_alarm_entry(&c->entries[k], static_cast<uint32_t>(k), child(value, k).get());
        c->count = static_cast<uint32_t>(k + 1);
    }
}

GVariant *alarm_log_serialize(const alarm_log_entry *entries, int count) {
    syslog(LOG_INFO, "Serializing alarm log");
    if (count > 0 && !record_given(entries, "alarm log")) {
        return nullptr;
    }
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a(x(uiuuuubbi)ibb)"));
    for (int k = 0; k < count; ++k) {
        const alarm_log_entry &e = entries[k];
        g_variant_builder_add(&b, "(x@(uiuuuubbi)ibb)", static_cast<gint64>(e.extra_1),
                              alarm_entry_value(&e.alarm, e.alarm.index), e.extra_2, flag_of(e.flag_1),
                              flag_of(e.flag_2));
    }
    return g_variant_builder_end(&b);
}

GVariant *alarm_state_serialize(const alarm_state *s) {
    if (!record_given(s, "alarm state")) {
        return nullptr;
    }
    return g_variant_new("(ui)", s->index, s->state);
}

}  // extern "C"
