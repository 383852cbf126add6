#include "velsard_config.h"

#include <stdexcept>

namespace tqr {
namespace {

using Json = nlohmann::ordered_json;

const char *const kMappingType = "(ua(ubuuduuuuuuuua(ub))a(uuubsa(ububudddd))ai)";
const char *const kPulseType = "a(ibbiidiiuuuuuuuu)";
const char *const kDeviceType = "(uuuuuuuuuuuuuuu)";

void requireType(GVariant *value, const char *type, const char *what) {
    if (value == nullptr || !g_variant_is_of_type(value, G_VARIANT_TYPE(type))) {
        throw std::runtime_error(std::string(what) + " from velsard is not of type " + type);
    }
}

// Member k of a tuple, read and released.
class Member {
  public:
    Member(GVariant *tuple, gsize k) : v_(g_variant_get_child_value(tuple, k)) {}
    ~Member() { g_variant_unref(v_); }
    Member(const Member &) = delete;
    Member &operator=(const Member &) = delete;
    GVariant *get() const { return v_; }

  private:
    GVariant *v_;
};

guint32 u32(GVariant *tuple, gsize k) { return g_variant_get_uint32(Member(tuple, k).get()); }
gint32 i32(GVariant *tuple, gsize k) { return g_variant_get_int32(Member(tuple, k).get()); }
bool flag(GVariant *tuple, gsize k) { return g_variant_get_boolean(Member(tuple, k).get()) != FALSE; }
double f64(GVariant *tuple, gsize k) { return g_variant_get_double(Member(tuple, k).get()); }
std::string text(GVariant *tuple, gsize k) { return g_variant_get_string(Member(tuple, k).get(), nullptr); }

// The members of the mapping's records, by position.
enum SetMember : gsize { setId = 0, setActive = 1, setVoltage = 2, setService = 3, setPtRatio = 4, setChannels = 13 };
enum LoadMember : gsize { loadId = 0, loadSet = 2, loadActive = 3, loadName = 4, loadCts = 5 };
enum CtMember : gsize { ctChannel = 0, ctActive = 1, ctType = 2, ctInvert = 3, ctRatedCurrent = 5 };

// A call's reply, released at the end of the scope.
class Reply {
  public:
    explicit Reply(GVariant *v) : v_(v) {}
    Reply(Reply &&other) noexcept : v_(other.v_) { other.v_ = nullptr; }
    ~Reply() {
        if (v_ != nullptr) {
            g_variant_unref(v_);
        }
    }
    Reply(const Reply &) = delete;
    Reply &operator=(const Reply &) = delete;
    GVariant *get() const { return v_; }

  private:
    GVariant *v_;
};

} // namespace

Json mappingFromVelsard(GVariant *mapping, unsigned baseInstance) {
    requireType(mapping, kMappingType, "the mapping");
    Member sets(mapping, 1);
    Member loads(mapping, 2);

    Json inputs = Json::array();
    for (gsize n = 0; n < g_variant_n_children(sets.get()); ++n) {
        Member set(sets.get(), n);
        Member channels(set.get(), setChannels);
        Json lines = Json::array();
        for (gsize k = 0; k < g_variant_n_children(channels.get()); ++k) {
            Member line(channels.get(), k);
            lines.push_back({{"active", flag(line.get(), 1)}});
        }
        inputs.push_back({{"active", flag(set.get(), setActive)},
                          {"id", u32(set.get(), setId)},
                          {"voltage", u32(set.get(), setVoltage)},
                          {"service", u32(set.get(), setService)},
                          {"voltageScaler", f64(set.get(), setPtRatio)},
                          {"lines", lines}});
    }

    Json list = Json::array();
    for (gsize n = 0; n < g_variant_n_children(loads.get()); ++n) {
        Member load(loads.get(), n);
        Member cts(load.get(), loadCts);
        Json ctList = Json::array();
        for (gsize k = 0; k < g_variant_n_children(cts.get()); ++k) {
            Member ct(cts.get(), k);
            ctList.push_back({{"type", u32(ct.get(), ctType)},
                              {"channel", u32(ct.get(), ctChannel)},
                              {"maxRating", f64(ct.get(), ctRatedCurrent)},
                              {"active", flag(ct.get(), ctActive)},
                              {"inverse", flag(ct.get(), ctInvert)},
                              {"phaseCorrection", 0}});
        }
        const guint32 id = u32(load.get(), loadId);
        list.push_back({{"active", flag(load.get(), loadActive)},
                        {"id", id},
                        {"vdi", static_cast<unsigned long long>(baseInstance) + 1 + id},
                        {"name", text(load.get(), loadName)},
                        {"input", u32(load.get(), loadSet)},
                        {"cts", ctList}});
    }
    return {{"version", std::to_string(u32(mapping, 0))}, {"loads", list}, {"inputs", inputs}};
}

Json pulseFromVelsard(GVariant *pulseConfig) {
    requireType(pulseConfig, kPulseType, "the pulse configuration");
    Json list = Json::array();
    for (gsize n = 0; n < g_variant_n_children(pulseConfig); ++n) {
        Member e(pulseConfig, n);
        list.push_back({{"id", n},
                        {"active", flag(e.get(), 1)},
                        {"out", flag(e.get(), 2)},
                        {"type", i32(e.get(), 3)},
                        {"param", i32(e.get(), 4)},
                        {"scaler", f64(e.get(), 5)},
                        {"pulseWidth", i32(e.get(), 6)}});
    }
    return list;
}

Json defaultsFromVelsard(GVariant *deviceConfig) {
    requireType(deviceConfig, kDeviceType, "the device configuration");
    return {{"backlight", u32(deviceConfig, 0)},       {"powerFactorSign", u32(deviceConfig, 1)},
            {"frequency", u32(deviceConfig, 2)},       {"demandWindow", u32(deviceConfig, 3)},
            {"billingCycleDay", u32(deviceConfig, 5)}, {"billingCycleTime", u32(deviceConfig, 6)}};
}

VelsardReader::VelsardReader() {
    GError *error = nullptr;
    bus_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (bus_ == nullptr) {
        const std::string why = error->message;
        g_error_free(error);
        throw std::runtime_error("no system bus to read velsard's configuration: " + why);
    }
}

VelsardReader::~VelsardReader() { g_object_unref(bus_); }

VelsardConfig VelsardReader::read(unsigned baseInstance) const {
    auto call = [this](const char *method, const char *type) {
        GError *error = nullptr;
        const std::string replyType = std::string("(") + type + ")";
        GVariant *reply = g_dbus_connection_call_sync(bus_, "com.velsard", "/com/velsard/gdbus1", "com.velsard.gdbus1",
                                                      method, nullptr, G_VARIANT_TYPE(replyType.c_str()),
                                                      G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
        if (reply == nullptr) {
            const std::string why = error->message;
            g_error_free(error);
            throw std::runtime_error(std::string("velsard's ") + method + " failed: " + why);
        }
        return Reply(reply);
    };
    const Reply mapping = call("GetMapping", kMappingType);
    const Reply pulse = call("GetPulseConfiguration", kPulseType);
    const Reply device = call("GetDeviceConfig", kDeviceType);
    return {mappingFromVelsard(Member(mapping.get(), 0).get(), baseInstance),
            pulseFromVelsard(Member(pulse.get(), 0).get()), defaultsFromVelsard(Member(device.get(), 0).get())};
}

} // namespace tqr
