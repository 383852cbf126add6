// The generated interface description against velsard's interface, written
// out here by hand: every method and signal with its arguments, in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velsardbus.h"

namespace {

struct Arg {
    const char *name;
    const char *signature;
};

struct Member {
    const char *name;
    std::vector<Arg> in;   // for signals: the arguments
    std::vector<Arg> out;  // unused for signals
};

const char *const kMapping = "(ua(ubuuduuuuuuuua(ub))a(uuubsa(ububudddd))ai)";
const char *const kPulseConfig = "a(ibbiidiiuuuuuuuu)";
const char *const kDeviceConfig = "(uuuuuuuuuuuuuuu)";
const char *const kTestConfig = "(a(s)ub)";
const char *const kBacnet = "(buuuusuusuuuusu)";
const char *const kModbus = "(busuuuuii)";
const char *const kEthernet = "(bssussbsus)";
const char *const kAlarm = "a(uiuuuubbi)";
const Arg kResponse{"response", "i"};

const std::vector<Member> kMethods = {
    {"GetMapping", {}, {{"mapping", kMapping}}},
    {"SetMapping", {{"mapping", kMapping}}, {kResponse}},
    {"CreateError", {{"error_code", "u"}, {"error_message", "s"}}, {kResponse}},
    {"GetMacAddress", {}, {{"mac", "s"}}},
    {"GetPulseCount", {{"index", "i"}}, {{"count", "(ui)"}, kResponse}},
    {"UpdatePulseCount", {{"index", "i"}, {"count", "i"}}, {kResponse}},
    {"ResetPulseCount", {{"index", "i"}}, {kResponse}},
    {"GetPulseConfiguration", {}, {{"configuration", kPulseConfig}}},
    {"SetPulseConfiguration", {{"configuration", kPulseConfig}}, {kResponse}},
    {"GetDeviceConfig", {}, {{"configuration", kDeviceConfig}}},
    {"SetDeviceConfig", {{"configuration", kDeviceConfig}}, {kResponse}},
    {"GetTestConfig", {}, {{"configuration", kTestConfig}}},
    {"SetTestConfig", {{"configuration", kTestConfig}}, {kResponse}},
    {"GetSerial", {}, {{"serial", "(sss)"}}},
    {"SetSerial", {{"serial", "s"}}, {kResponse}},
    {"GetBacnetConfig", {}, {{"config", kBacnet}}},
    {"SetBacnetConfig", {{"config", kBacnet}}, {kResponse}},
    {"GetModbusConfig", {}, {{"config", kModbus}}},
    {"SetModbusConfig", {{"config", kModbus}}, {kResponse}},
    {"GetEthernetConfig", {}, {{"config", kEthernet}}},
    {"SetEthernetConfig", {{"config", kEthernet}}, {kResponse}},
    {"GetNumChannels", {}, {{"numchan", "u"}}},
    {"GetVersion", {}, {{"version", "s"}}},
    {"FactoryReset", {}, {kResponse}},
    {"TrendDataReset", {}, {kResponse}},
    {"PeakDemandReset", {}, {kResponse}},
    {"Reboot", {}, {kResponse}},
    {"GetAlarm", {}, {{"response", kAlarm}}},
    {"SetAlarm", {{"config", kAlarm}}, {kResponse}},
    {"GetAlarmState", {{"index", "u"}}, {kResponse}},
    {"SetAlarmState", {{"indexAndState", "(ui)"}}, {kResponse}},
    {"GetAlarmLed", {}, {{"response", "b"}}},
    {"GetAlarmRelay", {}, {{"response", "b"}}},
    {"GetAlarmLog", {}, {{"response", "a(x(uiuuuubbi)ibb)"}}},
    {"TestInterface", {{"test", "i"}}, {kResponse}},
};

const std::vector<Member> kSignals = {
    {"NewMapping", {}, {}},      {"DeviceError", {{"error_code", "u"}, {"error_message", "s"}}, {}},
    {"NewPulseConfig", {}, {}},  {"NewDeviceConfig", {}, {}},
    {"NewTestConfig", {}, {}},   {"NewBacnetConfig", {}, {}},
    {"NewModbusConfig", {}, {}}, {"NewEthernetConfig", {}, {}},
    {"FactoryReset", {}, {}},    {"RequestPeakDemandReset", {}, {}},
    {"NewAlarmState", {}, {}},   {"RequestSetLed", {}, {}},
    {"NewIpAddress", {}, {}},
};

size_t count(void *const *items) {
    size_t n = 0;
    while (items != nullptr && items[n] != nullptr)
        n++;
    return n;
}

void expect_args(const std::string &where, GDBusArgInfo *const *args, const std::vector<Arg> &want) {
    ASSERT_EQ(count(reinterpret_cast<void *const *>(args)), want.size()) << where;
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_STREQ(args[i]->name, want[i].name) << where << " argument " << i;
        EXPECT_STREQ(args[i]->signature, want[i].signature) << where << " argument " << i;
    }
}

TEST(VelsardBusInterface, NameAndNoProperties) {
    GDBusInterfaceInfo *info = velsard_bus_gdbus1_interface_info();
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->name, "com.velsard.gdbus1");
    EXPECT_EQ(count(reinterpret_cast<void *const *>(info->properties)), 0u);
    EXPECT_EQ(count(reinterpret_cast<void *const *>(info->annotations)), 0u);
}

TEST(VelsardBusInterface, MethodsInOrderWithTheirArguments) {
    GDBusInterfaceInfo *info = velsard_bus_gdbus1_interface_info();
    ASSERT_EQ(kMethods.size(), 35u);
    ASSERT_EQ(count(reinterpret_cast<void *const *>(info->methods)), kMethods.size());
    for (size_t i = 0; i < kMethods.size(); i++) {
        GDBusMethodInfo *m = info->methods[i];
        std::string where = "method " + std::to_string(i) + " " + kMethods[i].name;
        EXPECT_STREQ(m->name, kMethods[i].name) << where;
        expect_args(where + " in", m->in_args, kMethods[i].in);
        expect_args(where + " out", m->out_args, kMethods[i].out);
        EXPECT_EQ(count(reinterpret_cast<void *const *>(m->annotations)), 0u) << where;
    }
}

TEST(VelsardBusInterface, SignalsInOrderWithTheirArguments) {
    GDBusInterfaceInfo *info = velsard_bus_gdbus1_interface_info();
    ASSERT_EQ(kSignals.size(), 13u);
    ASSERT_EQ(count(reinterpret_cast<void *const *>(info->signals)), kSignals.size());
    for (size_t i = 0; i < kSignals.size(); i++) {
        GDBusSignalInfo *s = info->signals[i];
        std::string where = "signal " + std::to_string(i) + " " + kSignals[i].name;
        EXPECT_STREQ(s->name, kSignals[i].name) << where;
        expect_args(where, s->args, kSignals[i].in);
    }
}

// The generated type carries one GObject signal per D-Bus signal, which the
// stand-in emits and libarvent's proxy reports.
TEST(VelsardBusInterface, GeneratedGObjectSignals) {
    const char *names[] = {"new-mapping",          "device-error",
                           "new-pulse-config",     "new-device-config",
                           "new-test-config",      "new-bacnet-config",
                           "new-modbus-config",    "new-ethernet-config",
                           "factory-reset",        "request-peak-demand-reset",
                           "new-alarm-state",      "request-set-led",
                           "new-ip-address",       "handle-get-mapping",
                           "handle-test-interface"};
    GType type = velsard_bus_gdbus1_get_type();
    gpointer iface = g_type_default_interface_ref(type);
    for (const char *name : names)
        EXPECT_NE(g_signal_lookup(name, type), 0u) << name;
    g_type_default_interface_unref(iface);
}

}  // namespace
