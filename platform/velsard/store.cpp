#include "store.h"

#include <utility>
#include <vector>

namespace velsard {
namespace {

struct KeyType {
    const char *key;
    const char *type;
};

const KeyType kKeys[] = {
    {"mapping", "(ua(ubuuduuuuuuuua(ub))a(uuubsa(ububudddd))ai)"},
    {"pulse_config", "a(ibbiidiiuuuuuuuu)"},
    {"device_config", "(uuuuuuuuuuuuuuu)"},
    {"test_config", "(a(s)ub)"},
    {"serials", "(sss)"},
    {"bacnet_config", "(buuuusuusuuuusu)"},
    {"modbus_config", "(busuuuuii)"},
    {"ethernet_config", "(bssussbsus)"},
    {"alarm_config", "a(uiuuuubbi)"},
    {"alarm_log", "a(x(uiuuuubbi)ibb)"},
    {"alarm_states", "ai"},  // by alarm index
    {"alarm_led", "b"},
    {"alarm_relay", "b"},
    {"pulse_counts", "a(ui)"},  // by pulse channel: inputs 0 and 1, output 2
    {"mac", "s"},
    {"version", "s"},
    {"num_channels", "u"},
};

// A plausible meter: two voltage sets, four active three-CT loads on a
// 48-channel front end, pulse output on the first load. Load ids count from
// 0, as the measurement program takes them; "Load N" is id N - 1.
//
// The record leaves some fields to velsard; the stand-in gives them a
// meaning that the TQR stand-in serves: a voltage set's extra_1 is its
// nominal line-to-neutral voltage in volts and extra_2 its service type
// (1 4-wire wye ... 5 2-wire single phase).
constexpr guint kNominalVoltage = 230;
constexpr guint kServiceWye = 1;

GVariant *default_mapping() {
    GVariantBuilder sets_u;
    g_variant_builder_init(&sets_u, G_VARIANT_TYPE("a(ubuuduuuuuuuua(ub))"));
    for (guint set = 0; set < 2; set++) {
        GVariantBuilder chans;
        g_variant_builder_init(&chans, G_VARIANT_TYPE("a(ub)"));
        for (guint k = 0; k < 3; k++)
            g_variant_builder_add(&chans, "(ub)", set * 3 + k, TRUE);
        g_variant_builder_add(&sets_u, "(ubuuduuuuuuuua(ub))", set, TRUE, kNominalVoltage, kServiceWye, 1.0, 0u,
                              0u, 0u, 0u, 0u, 0u, 0u, 0u, &chans);
    }
    GVariantBuilder sets_i;
    g_variant_builder_init(&sets_i, G_VARIANT_TYPE("a(uuubsa(ububudddd))"));
    for (guint load = 0; load < 48; load++) {
        gboolean active = load < 4;
        GVariantBuilder cts;
        g_variant_builder_init(&cts, G_VARIANT_TYPE("a(ububudddd)"));
        for (guint k = 0; k < 3; k++) {
            guint channel = load < 16 ? 6 + load * 3 + k : 0;
            g_variant_builder_add(&cts, "(ububudddd)", channel, active, 9u, FALSE, 0u, 100.0, 333.0, 1.0,
                                  0.0);
        }
        char name[32];
        g_snprintf(name, sizeof name, "Load %u", load + 1);
        g_variant_builder_add(&sets_i, "(uuubsa(ububudddd))", load, 0u, load < 2 ? 0u : 1u, active, name, &cts);
    }
    GVariantBuilder tail;
    g_variant_builder_init(&tail, G_VARIANT_TYPE("ai"));
    for (int k = 0; k < 48; k++)
        g_variant_builder_add(&tail, "i", 0);
    return g_variant_new("(ua(ubuuduuuuuuuua(ub))a(uuubsa(ububudddd))ai)", 1u, &sets_u, &sets_i, &tail);
}

GVariant *default_pulse_config() {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a(ibbiidiiuuuuuuuu)"));
    for (int n = 0; n < 3; n++) {
        gboolean on = n == 2;
        // The output counts the imported energy of load id 0.
        g_variant_builder_add(&b, "(ibbiidiiuuuuuuuu)", 0, on, on, 0, 19, 1.0, 100, 0, 0u, 0u, 0u, 0u, 0u, 0u,
                              0u, 0u);
    }
    return g_variant_builder_end(&b);
}

std::vector<std::pair<std::string, GVariant *>> defaults() {
    return {
        {"mapping", default_mapping()},
        {"pulse_config", default_pulse_config()},
        // backlight 100 %, power-factor sign 0, nominal frequency 50 Hz, demand
        // window 15 min, billing day 1 at midnight (values 0, 1, 2, 3, 5, 6;
        // the backlight and the frequency are the stand-in's meaning of two
        // values that velsard keeps for others)
        {"device_config",
         g_variant_new("(uuuuuuuuuuuuuuu)", 100u, 0u, 50u, 15u, 0u, 1u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u)},
        {"test_config", g_variant_new_parsed("([('',), ('',), ('',), ('',)], uint32 0, false)")},
        {"serials", g_variant_new("(sss)", "ZM-000001", "ZM-000001", "ZM-000001")},
        {"bacnet_config", g_variant_new("(buuuusuusuuuusu)", TRUE, 1u, 38400u, 47808u, 1000u, "Meter", 1000u,
                                        0u, "", 0u, 1u, 127u, 1u, "", 0u)},
        {"modbus_config",
         g_variant_new("(busuuuuii)", TRUE, 0u, "0.0.0.0", 19200u, 1u, 502u, (guint)'E', 1, 8)},
        {"ethernet_config", g_variant_new("(bssussbsus)", TRUE, "02:00:00:00:00:01", "192.168.1.10", 24u,
                                          "192.168.1.1", "192.168.1.1", FALSE, "", 0u, "")},
        {"alarm_config", g_variant_new_parsed("@a(uiuuuubbi) []")},
        {"alarm_log", g_variant_new_parsed("@a(x(uiuuuubbi)ibb) []")},
        {"alarm_states", g_variant_new_parsed("@ai []")},
        {"alarm_led", g_variant_new_boolean(FALSE)},
        {"alarm_relay", g_variant_new_boolean(FALSE)},
        {"pulse_counts", g_variant_new_parsed("[(uint32 0, 0), (0, 0), (0, 0)]")},
        {"mac", g_variant_new_string("02:00:00:00:00:01")},
        {"version", g_variant_new_string("1.0.0")},
        {"num_channels", g_variant_new_uint32(48)},
    };
}

}  // namespace

Store::Store() {
    for (auto &[key, value] : defaults()) {
        std::string error;
        if (!put(key, value, &error))
            g_error("stand-in default %s: %s", key.c_str(), error.c_str());
    }
}

Store::~Store() {
    for (auto &[key, value] : values_)
        g_variant_unref(value);
}

const GVariantType *Store::type_of(const std::string &key) {
    for (const KeyType &k : kKeys)
        if (key == k.key)
            return G_VARIANT_TYPE(k.type);
    return nullptr;
}

bool Store::put(const std::string &key, GVariant *value, std::string *error) {
    g_variant_ref_sink(value);
    const GVariantType *type = type_of(key);
    if (type == nullptr || !g_variant_is_of_type(value, type)) {
        *error = type == nullptr ? "unknown key " + key
                                 : key + " must have type " + g_variant_type_peek_string(type) + ", not " +
                                       g_variant_get_type_string(value);
        g_variant_unref(value);
        return false;
    }
    auto [it, inserted] = values_.emplace(key, value);
    if (!inserted) {
        g_variant_unref(it->second);
        it->second = value;
    }
    return true;
}

GVariant *Store::get(const std::string &key) const {
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : it->second;
}

bool Store::load_file(const std::string &path, std::string *error) {
    gchar *text = nullptr;
    GError *gerror = nullptr;
    if (!g_file_get_contents(path.c_str(), &text, nullptr, &gerror)) {
        *error = gerror->message;
        g_error_free(gerror);
        return false;
    }
    GVariant *all = g_variant_parse(G_VARIANT_TYPE("a{sv}"), text, nullptr, nullptr, &gerror);
    g_free(text);
    if (all == nullptr) {
        *error = path + ": " + gerror->message;
        g_error_free(gerror);
        return false;
    }
    // Check every entry first so that a bad file changes nothing.
    GVariantIter iter;
    const gchar *key;
    GVariant *value;
    bool ok = true;
    g_variant_iter_init(&iter, all);
    while (ok && g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
        const GVariantType *type = type_of(key);
        if (type == nullptr || !g_variant_is_of_type(value, type)) {
            *error =
                path + ": " +
                (type == nullptr ? std::string("unknown key ") + key
                                 : std::string(key) + " must have type " + g_variant_type_peek_string(type));
            ok = false;
        }
        g_variant_unref(value);
    }
    if (ok) {
        g_variant_iter_init(&iter, all);
        while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
            put(key, value, error);
            g_variant_unref(value);
        }
    }
    g_variant_unref(all);
    return ok;
}

}  // namespace velsard
