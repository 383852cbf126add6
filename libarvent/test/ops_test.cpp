// The blocking operations against the velsard stand-in: what reaches velsard
// (its call log), what comes back, how each method's response is read, and
// that a failed call leaves the caller's record alone.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ipc_support.h"

using namespace arvent_test;
using velsard_testing::Control;
using velsard_testing::parse;
using velsard_testing::print;
using velsard_testing::TestBus;

namespace {

template <typename R>
R zeroed() {
    R r;
    std::memset(&r, 0, sizeof r);
    return r;
}

template <typename R>
bool same_bytes(const R &a, const R &b) {
    return std::memcmp(&a, &b, sizeof(R)) == 0;
}

mapping sample_mapping() {
    mapping m = zeroed<mapping>();
    m.version = 7;
    for (uint32_t s = 0; s < 2; s++) {
        m.sets_u[s].id = s;  // sent as its position anyway
        m.sets_u[s].active = true;
        m.sets_u[s].extra_1 = 10 + s;
        m.sets_u[s].pt_ratio = s == 0 ? 1.0 : 120.0;
        m.sets_u[s].extra_3[7] = 99;
        for (uint32_t k = 0; k < 3; k++) {
            m.sets_u[s].u[k].channel = s * 3 + k;
            m.sets_u[s].u[k].active = true;
        }
    }
    for (uint32_t n = 0; n < 48; n++) {
        mapping_i_set &load = m.sets_i[n];
        load.id = 100 + n;
        load.u_set_id = n % 2;
        load.active = n < 3;
        snprintf(load.name, sizeof load.name, "Load %u", n);
        for (uint32_t k = 0; k < 3; k++) {
            load.i[k].channel = n < 16 ? 6 + n * 3 + k : 0;
            load.i[k].active = n < 3;
            load.i[k].ct_type = 9;
            load.i[k].invert = k == 1;
            load.i[k].rated_current = 100.0 + n;
            load.i[k].rated_mv = 333.0;
            load.i[k].factor = 1.5;
            load.i[k].extra_2 = -2.25;
        }
    }
    std::memcpy(m.sets_i[0].name, "Main feeder with a name of 43 bytes, exactl", 43);  // no terminator
    return m;
}

modbus_config sample_modbus() {
    modbus_config c = zeroed<modbus_config>();
    c.active = true;
    c.backend = 2;
    std::strcpy(c.device, "/dev/ttyO2");
    c.baud = 19200;
    c.address = 247;
    c.port = 502;
    c.parity = 'E';
    c.stopbits = 1;
    c.databits = 8;
    return c;
}

bacnet_config sample_bacnet() {
    bacnet_config c = zeroed<bacnet_config>();
    c.active = true;
    c.type = 1;
    c.baud = 38400;
    c.udp_port = 47808;
    c.instance = 1234;
    std::strcpy(c.name, "Meter A");
    c.vnet = 5;
    c.extra_1 = 6;
    std::strcpy(c.bbmd, "10.0.0.2");
    c.ttl = 60;
    c.mstp_mac = 3;
    c.mstp_max_master = 127;
    c.mstp_info_frames = 1;
    std::strcpy(c.extra_2, "x");
    c.extra_3 = 9;
    return c;
}

pulse_config sample_pulse() {
    pulse_config c = zeroed<pulse_config>();
    for (int n = 0; n < 3; n++) {
        pulse_config_entry &e = c.entries[n];
        e.extra_1 = n;
        e.flag_1 = true;
        e.flag_2 = n == 2;
        e.extra_2 = 10 + n;
        e.param = 19;
        e.scaler = 0.5 + n;
        e.pulse_width = 100;
        e.load_id = n + 1;
        for (int k = 0; k < 8; k++)
            e.extra_3[k] = k;
    }
    return c;
}

device_config sample_device() {
    device_config c = zeroed<device_config>();
    for (int k = 0; k < 15; k++)
        c.values[k] = k * 3 + 1;
    return c;
}

test_config sample_test() {
    test_config c = zeroed<test_config>();
    std::strcpy(c.texts[0], "LCD");
    std::strcpy(c.texts[1], "OK");
    std::strcpy(c.texts[3], "\xce\xa9 ohm");
    c.lcd_led = 3;
    c.backlight = true;
    return c;
}

ethernet_config sample_ethernet() {
    ethernet_config c = zeroed<ethernet_config>();
    c.extra_1 = true;
    std::strcpy(c.extra_2, "02:00:00:00:00:09");
    std::strcpy(c.extra_3, "10.1.1.5");
    c.extra_4 = 24;
    std::strcpy(c.extra_5, "10.1.1.1");
    std::strcpy(c.extra_6, "8.8.8.8");
    std::strcpy(c.extra_8, "meter.local");
    c.extra_9 = 7;
    std::strcpy(c.extra_10, "ntp.local");
    return c;
}

class Ops : public ::testing::Test {
  protected:
    void SetUp() override {
        recorder.reset();
        TestBus::get().start_velsard();
        control = std::make_unique<Control>();
        ASSERT_EQ(arvent_init(config_handler, error_handler), 1);
    }
    void TearDown() override {
        arvent_cleanup();
        control.reset();
        TestBus::get().stop_velsard();
    }

    // The in arguments of the one call of method since the last clear.
    std::string sent(const char *method) {
        auto calls = control->calls_of(method);
        if (calls.size() != 1)
            return "(" + std::to_string(calls.size()) + " calls)";
        return print(calls[0].args.get());
    }
    // Whether the one call of method carried the value of this text.
    ::testing::AssertionResult sent_value(const char *method, const char *type, const char *text) {
        auto calls = control->calls_of(method);
        if (calls.size() != 1)
            return ::testing::AssertionFailure() << method << ": " << calls.size() << " calls";
        auto want = parse(type, text);
        if (!g_variant_equal(calls[0].args.get(), want.get()))
            return ::testing::AssertionFailure()
                   << method << " sent " << print(calls[0].args.get()) << ", expected " << print(want.get());
        return ::testing::AssertionSuccess();
    }

    std::unique_ptr<Control> control;
};

// A set sends the record's value; the get of the same record brings it back.
template <typename R>
void round_trip(Ops *t, const R &sample, int (*set)(const R *), int (*get)(R *), const char *set_method,
                const char *get_method) {
    SCOPED_TRACE(set_method);
    R back = zeroed<R>();
    ASSERT_EQ(set(&sample), 1);
    ASSERT_EQ(get(&back), 1);
    EXPECT_TRUE(same_bytes(back, sample));
    (void)t;
    (void)get_method;
}

TEST_F(Ops, RecordValuesReachVelsardAndComeBack) {
    control->clear_calls();
    round_trip(this, sample_modbus(), ipc_modbus_config_set, ipc_modbus_config_get, "SetModbusConfig",
               "GetModbusConfig");
    EXPECT_TRUE(sent_value("SetModbusConfig", "((busuuuuii))",
                           "((true, 2, '/dev/ttyO2', 19200, 247, 502, 69, 1, 8),)"));
    round_trip(this, sample_bacnet(), ipc_bacnet_config_set, ipc_bacnet_config_get, "SetBacnetConfig",
               "GetBacnetConfig");
    EXPECT_TRUE(
        sent_value("SetBacnetConfig", "((buuuusuusuuuusu))",
                   "((true, 1, 38400, 47808, 1234, 'Meter A', 5, 6, '10.0.0.2', 60, 3, 127, 1, 'x', 9),)"));
    round_trip(this, sample_pulse(), ipc_pulse_config_set, ipc_pulse_config_get, "SetPulseConfiguration",
               "GetPulseConfiguration");
    EXPECT_TRUE(sent_value("SetPulseConfiguration", "(a(ibbiidiiuuuuuuuu))",
                           "([(0, true, false, 10, 19, 0.5, 100, 1, 0, 1, 2, 3, 4, 5, 6, 7),"
                           "  (1, true, false, 11, 19, 1.5, 100, 2, 0, 1, 2, 3, 4, 5, 6, 7),"
                           "  (2, true, true, 12, 19, 2.5, 100, 3, 0, 1, 2, 3, 4, 5, 6, 7)],)"));
    round_trip(this, sample_device(), ipc_device_config_set, ipc_device_config_get, "SetDeviceConfig",
               "GetDeviceConfig");
    EXPECT_TRUE(sent_value("SetDeviceConfig", "((uuuuuuuuuuuuuuu))",
                           "((1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 34, 37, 40, 43),)"));
    round_trip(this, sample_test(), ipc_test_config_set, ipc_test_config_get, "SetTestConfig",
               "GetTestConfig");
    EXPECT_TRUE(sent_value("SetTestConfig", "((a(s)ub))",
                           "(([('LCD',), ('OK',), ('',), ('\u03a9 ohm',)], 3, true),)"));
    round_trip(this, sample_ethernet(), ipc_ethernet_config_set, ipc_ethernet_config_get, "SetEthernetConfig",
               "GetEthernetConfig");
    EXPECT_TRUE(sent_value("SetEthernetConfig", "((bssussbsus))",
                           "((true, '02:00:00:00:00:09', '10.1.1.5', 24, '10.1.1.1', '8.8.8.8', false, "
                           "'meter.local', 7, 'ntp.local'),)"));
    for (const char *get : {"GetModbusConfig", "GetBacnetConfig", "GetPulseConfiguration", "GetDeviceConfig",
                            "GetTestConfig", "GetEthernetConfig"})
        EXPECT_EQ(sent(get), "()") << get;
}

TEST_F(Ops, MappingReachesVelsardAndComesBack) {
    mapping m = sample_mapping();
    m.tail_values[0] = 5;  // never sent
    ASSERT_EQ(arvent_set(&m), 1);
    auto calls = control->calls_of("SetMapping");
    ASSERT_EQ(calls.size(), 1u);
    GVariant *value = g_variant_get_child_value(calls[0].args.get(), 0);
    guint32 version;
    GVariantIter *sets_u, *sets_i, *tail;
    g_variant_get(value, "(ua(ubuuduuuuuuuua(ub))a(uuubsa(ububudddd))ai)", &version, &sets_u, &sets_i, &tail);
    EXPECT_EQ(version, 7u);
    EXPECT_EQ(g_variant_iter_n_children(sets_u), 2u);
    EXPECT_EQ(g_variant_iter_n_children(sets_i), 48u);
    ASSERT_EQ(g_variant_iter_n_children(tail), 48u);
    gint32 t;
    while (g_variant_iter_next(tail, "i", &t))
        EXPECT_EQ(t, 0);
    GVariant *load0 = g_variant_iter_next_value(sets_i);
    EXPECT_EQ(print(load0).rfind(
                  "(uint32 100, uint32 0, uint32 0, true, 'Main feeder with a name of 43 bytes, exactl', "
                  "[(uint32 6, true, uint32 9, false, uint32 0, 100.0, 333.0, 1.5, -2.25)",
                  0),
              0u)
        << print(load0);
    g_variant_unref(load0);
    for (GVariantIter *it : {sets_u, sets_i, tail})
        g_variant_iter_free(it);
    g_variant_unref(value);

    mapping back;
    std::memset(&back, 0, sizeof back);
    back.tail_values[0] = 5;  // velsard answers zeros: they are taken
    ASSERT_EQ(arvent_get(&back), 1);
    m.tail_values[0] = 0;
    EXPECT_TRUE(same_bytes(back, m));
}

TEST_F(Ops, SingleOperationsSendAndReceive) {
    control->clear_calls();
    EXPECT_EQ(ipc_serial_set("ZM-7"), 1);
    EXPECT_EQ(sent("SetSerial"), "('ZM-7',)");
    serials s = zeroed<serials>();
    ASSERT_EQ(ipc_serial_get(&s), 1);
    for (auto &one : s.serial)
        EXPECT_STREQ(one, "ZM-7");

    EXPECT_EQ(ipc_create_error(17, "Phase loss"), 1);
    EXPECT_EQ(sent("CreateError"), "(uint32 17, 'Phase loss')");

    EXPECT_EQ(ipc_pulse_count_update(2, 5), 1);
    EXPECT_EQ(ipc_pulse_count_update(2, 3), 1);
    int32_t count = -1;
    uint32_t extra = 1;
    ASSERT_EQ(ipc_pulse_count_get(2, &count, &extra), 1);
    EXPECT_EQ(count, 8);
    EXPECT_EQ(extra, 0u);
    EXPECT_EQ(ipc_pulse_count_reset(2), 1);
    EXPECT_EQ(sent("ResetPulseCount"), "(2,)");
    control->store("pulse_counts", g_variant_new_parsed("[(uint32 0, 0), (uint32 0xfffffff0, -4), (0, 0)]"));
    ASSERT_EQ(ipc_pulse_count_get(1, &count, &extra), 1);
    EXPECT_EQ(count, -4);  // the pair's int32 goes to count, its uint32 to extra
    EXPECT_EQ(extra, 0xfffffff0u);
    // Indexes other than 3 reach velsard unchanged; it decides.
    EXPECT_EQ(ipc_pulse_count_update(7, 1), 0);
    auto updates = control->calls_of("UpdatePulseCount");
    ASSERT_EQ(updates.size(), 3u);
    EXPECT_EQ(print(updates[0].args.get()), "(2, 5)");
    EXPECT_EQ(print(updates[2].args.get()), "(7, 1)");

    uint32_t n = 0;
    ASSERT_EQ(ipc_num_channels_get(&n), 1);
    EXPECT_EQ(n, 48u);

    alarm_state st{2, 1};
    EXPECT_EQ(ipc_alarm_set_state(&st), 1);
    EXPECT_EQ(sent("SetAlarmState"), "((uint32 2, 1),)");
    EXPECT_EQ(print(control->fetch("alarm_states").get()), "[0, 0, 1]");

    EXPECT_EQ(ipc_factory_reset(), 1);
    EXPECT_EQ(ipc_reboot(), 1);
    EXPECT_EQ(sent("Reboot"), "()");
}

TEST_F(Ops, AlarmConfigIsCutAtItsCapacity) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a(uiuuuubbi)"));
    for (guint n = 0; n < 120; n++)
        g_variant_builder_add(&b, "(uiuuuubbi)", 500 + n, -(gint)n, n, 2u, 3u, 4u, TRUE, FALSE, (gint)n);
    control->store("alarm_config", g_variant_builder_end(&b));
    alarm_config c = zeroed<alarm_config>();
    ASSERT_EQ(ipc_alarm_get(&c), 1);
    EXPECT_EQ(c.count, 99u);
    EXPECT_EQ(c.entries[0].index, 0u);
    EXPECT_EQ(c.entries[98].index, 98u);
    EXPECT_EQ(c.entries[98].extra_1, -98);
    EXPECT_EQ(c.entries[98].extra_6, 98);
}

TEST_F(Ops, TextsAreCutToTheirBuffersAndTerminated) {
    struct Case {
        const char *mac;
        const char *want;
    } macs[] = {
        {"02:00:00:00:00:01", "02:00:00:00:00:01"},     // 17 characters keep their terminator
        {"02:00:00:00:00:01:ff", "02:00:00:00:00:01"},  // longer texts are cut to 17
        {"", ""},
        {"0123456789abcde\xc3\xa9", "0123456789abcde\xc3\xa9"},
        {"0123456789abcdef\xc3\xa9", "0123456789abcdef"},  // not in the middle of a character
    };
    for (const Case &c : macs) {
        control->store("mac", g_variant_new_string(c.mac));
        char mac[IPC_MAC_LEN];
        std::memset(mac, 'x', sizeof mac);
        ASSERT_EQ(ipc_mac_addr_get(mac), 1) << c.mac;
        EXPECT_STREQ(mac, c.want) << c.mac;
        for (size_t k = std::strlen(c.want); k < sizeof mac; k++)
            EXPECT_EQ(mac[k], 0) << c.mac << " " << k;
    }
    std::string long_version(200, 'v');
    control->store("version", g_variant_new_string(long_version.c_str()));
    char version[IPC_VERSION_LEN + 8];
    std::memset(version, 'x', sizeof version);
    ASSERT_EQ(ipc_version_get(version), 1);
    EXPECT_EQ(std::string(version), long_version.substr(0, IPC_VERSION_LEN - 1));
    EXPECT_EQ(version[IPC_VERSION_LEN], 'x');  // nothing written beyond the bound
    control->store("version", g_variant_new_string("4.2.1-rc1"));
    ASSERT_EQ(ipc_version_get(version), 1);
    EXPECT_STREQ(version, "4.2.1-rc1");
}

TEST_F(Ops, TextsThatAreNotUtf8AreNeverSent) {
    control->clear_calls();
    LogCapture log;
    EXPECT_EQ(ipc_serial_set("ZM-\xff"), 0);
    EXPECT_EQ(ipc_create_error(3, "bad \xc3"), 0);
    modbus_config c = sample_modbus();
    std::strcpy(c.device, "/dev/\xfe");
    EXPECT_EQ(ipc_modbus_config_set(&c), 0);
    test_config t = sample_test();
    t.texts[2][0] = '\x80';
    EXPECT_EQ(ipc_test_config_set(&t), 0);
    EXPECT_TRUE(control->calls().empty());
    std::string text = log.text();
    EXPECT_NE(text.find("not valid UTF-8"), std::string::npos) << text;
}

// How each method's response decides the result.
TEST_F(Ops, ResponseIsReadPerMethod) {
    mapping m = sample_mapping();
    modbus_config mb = sample_modbus();
    bacnet_config bc = sample_bacnet();
    pulse_config pc = sample_pulse();
    device_config dc = sample_device();
    test_config tc = sample_test();
    ethernet_config ec = sample_ethernet();
    alarm_state as{1, 1};
    int32_t count = 11;
    uint32_t extra = 12;
    struct Case {
        const char *method;
        int response;
        std::function<int()> op;
        int result;
        const char *line;  // logged at LOG_ERR, or null
    } cases[] = {
        {"SetMapping", -1, [&] { return arvent_set(&m); }, 1, nullptr},
        {"SetModbusConfig", -1, [&] { return ipc_modbus_config_set(&mb); }, 1, nullptr},
        {"SetBacnetConfig", 1, [&] { return ipc_bacnet_config_set(&bc); }, 1, nullptr},
        {"SetPulseConfiguration", -1, [&] { return ipc_pulse_config_set(&pc); }, 1, nullptr},
        {"SetDeviceConfig", -1, [&] { return ipc_device_config_set(&dc); }, 1, nullptr},
        {"SetTestConfig", -1, [&] { return ipc_test_config_set(&tc); }, 1, nullptr},
        {"SetEthernetConfig", -1, [&] { return ipc_ethernet_config_set(&ec); }, 1, nullptr},
        {"CreateError", -1, [&] { return ipc_create_error(1, "x"); }, 1, nullptr},
        {"SetSerial", 1, [&] { return ipc_serial_set("A"); }, 0, "Serial is already set"},
        {"SetSerial", -1, [&] { return ipc_serial_set("A"); }, 0, "Serial is already set"},
        {"SetSerial", 0, [&] { return ipc_serial_set("A"); }, 1, nullptr},
        {"UpdatePulseCount", 1, [&] { return ipc_pulse_count_update(2, 5); }, 0,
         "Failed to update pulse count for IO 2"},
        {"UpdatePulseCount", 0, [&] { return ipc_pulse_count_update(2, 5); }, 1, nullptr},
        {"SetAlarmState", -1, [&] { return ipc_alarm_set_state(&as); }, 0, "Failed to set alarm state"},
        {"SetAlarmState", 0, [&] { return ipc_alarm_set_state(&as); }, 1, nullptr},
        {"GetPulseCount", -1, [&] { return ipc_pulse_count_get(1, &count, &extra); }, 0,
         "Failed to get pulse count for IO 1"},
        {"GetPulseCount", 5, [&] { return ipc_pulse_count_get(1, &count, &extra); }, 1, nullptr},
        {"ResetPulseCount", -1, [&] { return ipc_pulse_count_reset(0); }, 0,
         "Failed to get pulse count for IO 0"},
        {"ResetPulseCount", 2, [&] { return ipc_pulse_count_reset(0); }, 1, nullptr},
        {"FactoryReset", -1, [&] { return ipc_factory_reset(); }, 0, "Failed to perform a factory reset"},
        {"FactoryReset", 1, [&] { return ipc_factory_reset(); }, 1, nullptr},
        {"Reboot", -1, [&] { return ipc_reboot(); }, 0, "Failed to perform a system reboot."},
        {"Reboot", 3, [&] { return ipc_reboot(); }, 1, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.method) + " response " + std::to_string(c.response));
        control->set_response(c.method, c.response);
        LogCapture log;
        EXPECT_EQ(c.op(), c.result);
        std::string text = log.text();
        if (c.line != nullptr) {
            EXPECT_NE(text.find(c.line), std::string::npos) << text;
        } else {
            EXPECT_EQ(text, "");
        }
        control->clear_responses();
    }
    // The failed GetPulseCount wrote neither output.
    control->set_response("GetPulseCount", -1);
    count = 11;
    extra = 12;
    EXPECT_EQ(ipc_pulse_count_get(1, &count, &extra), 0);
    EXPECT_EQ(count, 11);
    EXPECT_EQ(extra, 12u);
}

TEST_F(Ops, PulseIndexThreeIsRefusedBeforeAnyCall) {
    control->clear_calls();
    setlogmask(LOG_UPTO(LOG_DEBUG));
    LogCapture log;
    int32_t count = 1;
    uint32_t extra = 2;
    EXPECT_EQ(ipc_pulse_count_update(3, 5), 0);
    EXPECT_EQ(ipc_pulse_count_get(3, &count, &extra), 0);
    EXPECT_EQ(ipc_pulse_count_reset(3), 0);
    // The IPC thread started by the fixture may log its start only now, on
    // a loaded machine; the refused calls log nothing.
    std::string text = log.text();
    const std::string start = "arvent-test: Starting IPC thread\n";
    if (text.starts_with(start))
        text.erase(0, start.size());
    EXPECT_EQ(text, "");
    EXPECT_TRUE(control->calls().empty());
    EXPECT_EQ(count, 1);
    EXPECT_EQ(extra, 2u);
}

// A D-Bus error from velsard: the operation fails with its line and the
// caller's record or buffer keeps every byte.
TEST_F(Ops, DbusErrorLeavesTheRecordUntouched) {
    mapping m;
    modbus_config mb;
    bacnet_config bc;
    pulse_config pc;
    device_config dc;
    test_config tc;
    ethernet_config ec;
    serials se;
    alarm_config ac;
    char mac[IPC_MAC_LEN];
    char version[IPC_VERSION_LEN];
    uint32_t n;
    struct {
        int32_t count;
        uint32_t extra;
    } pulse;
    struct Case {
        const char *method;
        void *record;
        size_t size;
        std::function<int()> op;
        const char *line;
    } cases[] = {
        {"GetMapping", &m, sizeof m, [&] { return arvent_get(&m); }, "Error getting mapping from IPC"},
        {"GetModbusConfig", &mb, sizeof mb, [&] { return ipc_modbus_config_get(&mb); },
         "Error getting modbus config from IPC"},
        {"GetBacnetConfig", &bc, sizeof bc, [&] { return ipc_bacnet_config_get(&bc); },
         "Error getting bacnet config from IPC"},
        {"GetPulseConfiguration", &pc, sizeof pc, [&] { return ipc_pulse_config_get(&pc); },
         "Error getting pulse config from IPC"},
        {"GetDeviceConfig", &dc, sizeof dc, [&] { return ipc_device_config_get(&dc); },
         "Error getting device config from IPC"},
        {"GetTestConfig", &tc, sizeof tc, [&] { return ipc_test_config_get(&tc); },
         "Error getting test config from IPC"},
        {"GetEthernetConfig", &ec, sizeof ec, [&] { return ipc_ethernet_config_get(&ec); },
         "Error getting ethernet config from IPC"},
        {"GetSerial", &se, sizeof se, [&] { return ipc_serial_get(&se); },
         "Error getting serial number from IPC"},
        {"GetAlarm", &ac, sizeof ac, [&] { return ipc_alarm_get(&ac); },
         "Error getting alarm config from IPC"},
        {"GetMacAddress", mac, sizeof mac, [&] { return ipc_mac_addr_get(mac); },
         "Error getting MAC address from IPC"},
        {"GetVersion", version, sizeof version, [&] { return ipc_version_get(version); },
         "Error getting versin number from IPC"},
        {"GetNumChannels", &n, sizeof n, [&] { return ipc_num_channels_get(&n); },
         "Error getting number of channels from IPC: GDBus.Error:com.velsard.Error.Failed: injected failure"},
        {"GetPulseCount", &pulse, sizeof pulse,
         [&] { return ipc_pulse_count_get(0, &pulse.count, &pulse.extra); },
         "Error updating pulse count over IPC"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.method);
        std::memset(c.record, 0xA5, c.size);
        control->fail_next(c.method);
        LogCapture log;
        EXPECT_EQ(c.op(), 0);
        std::string text = log.text();
        EXPECT_NE(text.find(c.line), std::string::npos) << text;
        const unsigned char *bytes = static_cast<const unsigned char *>(c.record);
        for (size_t k = 0; k < c.size; k++)
            ASSERT_EQ(bytes[k], 0xA5) << "byte " << k;
    }
}

TEST_F(Ops, DbusErrorFailsEverySetAndSingleOperation) {
    mapping m = sample_mapping();
    modbus_config mb = sample_modbus();
    alarm_state as{0, 1};
    struct Case {
        const char *method;
        std::function<int()> op;
        const char *line;
    } cases[] = {
        {"SetMapping", [&] { return arvent_set(&m); },
         "Error setting mapping over IPC: GDBus.Error:com.velsard.Error.Failed: injected failure"},
        {"SetModbusConfig", [&] { return ipc_modbus_config_set(&mb); },
         "Error setting modbus config over IPC: GDBus.Error:com.velsard.Error.Failed: injected failure"},
        {"CreateError", [&] { return ipc_create_error(1, "x"); },
         "Error creating device error from IPC: GDBus.Error:com.velsard.Error.Failed: injected failure"},
        {"SetSerial", [&] { return ipc_serial_set("A"); }, "Error setting serial number over IPC"},
        {"UpdatePulseCount", [&] { return ipc_pulse_count_update(0, 1); },
         "Error updating pulse count over IPC"},
        {"ResetPulseCount", [&] { return ipc_pulse_count_reset(0); }, "Error updating pulse count over IPC"},
        {"Reboot", [&] { return ipc_reboot(); },
         "Error performing system reboot: GDBus.Error:com.velsard.Error.Failed: injected failure"},
        {"FactoryReset", [&] { return ipc_factory_reset(); },
         "Error performing factory reset: GDBus.Error:com.velsard.Error.Failed: injected failure"},
        {"SetAlarmState", [&] { return ipc_alarm_set_state(&as); }, "Error setting alarm state"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.method);
        control->fail_next(c.method);
        LogCapture log;
        EXPECT_EQ(c.op(), 0);
        std::string text = log.text();
        EXPECT_NE(text.find(c.line), std::string::npos) << text;
    }
}

TEST_F(Ops, LateAnswerStillCounts) {
    control->delay_next("GetModbusConfig", 300);
    modbus_config c = zeroed<modbus_config>();
    EXPECT_EQ(ipc_modbus_config_get(&c), 1);
    EXPECT_EQ(c.port, 502u);
}

// Every operation once, each expected to succeed against the stand-in's
// defaults; returns the names of those that failed.
std::vector<std::string> every_operation() {
    std::vector<std::string> failed;
    auto check = [&](const char *name, int result) {
        if (result != 1)
            failed.push_back(name);
    };
    mapping m = zeroed<mapping>();
    check("arvent_get", arvent_get(&m));
    check("arvent_set", arvent_set(&m));
    modbus_config mb = zeroed<modbus_config>();
    check("ipc_modbus_config_get", ipc_modbus_config_get(&mb));
    check("ipc_modbus_config_set", ipc_modbus_config_set(&mb));
    bacnet_config bc = zeroed<bacnet_config>();
    check("ipc_bacnet_config_get", ipc_bacnet_config_get(&bc));
    check("ipc_bacnet_config_set", ipc_bacnet_config_set(&bc));
    pulse_config pc = zeroed<pulse_config>();
    check("ipc_pulse_config_get", ipc_pulse_config_get(&pc));
    check("ipc_pulse_config_set", ipc_pulse_config_set(&pc));
    device_config dc = zeroed<device_config>();
    check("ipc_device_config_get", ipc_device_config_get(&dc));
    check("ipc_device_config_set", ipc_device_config_set(&dc));
    test_config tc = zeroed<test_config>();
    check("ipc_test_config_get", ipc_test_config_get(&tc));
    check("ipc_test_config_set", ipc_test_config_set(&tc));
    ethernet_config ec = zeroed<ethernet_config>();
    check("ipc_ethernet_config_get", ipc_ethernet_config_get(&ec));
    check("ipc_ethernet_config_set", ipc_ethernet_config_set(&ec));
    serials se = zeroed<serials>();
    check("ipc_serial_get", ipc_serial_get(&se));
    alarm_config ac = zeroed<alarm_config>();
    check("ipc_alarm_get", ipc_alarm_get(&ac));
    check("ipc_create_error", ipc_create_error(5, "test"));
    char mac[IPC_MAC_LEN] = {};
    check("ipc_mac_addr_get", ipc_mac_addr_get(mac));
    char version[IPC_VERSION_LEN] = {};
    check("ipc_version_get", ipc_version_get(version));
    check("ipc_serial_set", ipc_serial_set("ZM-1"));
    check("ipc_pulse_count_update", ipc_pulse_count_update(0, 1));
    int32_t count = 0;
    uint32_t extra = 0;
    check("ipc_pulse_count_get", ipc_pulse_count_get(0, &count, &extra));
    check("ipc_pulse_count_reset", ipc_pulse_count_reset(0));
    uint32_t n = 0;
    check("ipc_num_channels_get", ipc_num_channels_get(&n));
    check("ipc_reboot", ipc_reboot());
    check("ipc_factory_reset", ipc_factory_reset());
    alarm_state as{0, 1};
    check("ipc_alarm_set_state", ipc_alarm_set_state(&as));
    return failed;
}

const char *const kMethodsCalled[] = {
    "GetMapping",
    "SetMapping",
    "GetModbusConfig",
    "SetModbusConfig",
    "GetBacnetConfig",
    "SetBacnetConfig",
    "GetPulseConfiguration",
    "SetPulseConfiguration",
    "GetDeviceConfig",
    "SetDeviceConfig",
    "GetTestConfig",
    "SetTestConfig",
    "GetEthernetConfig",
    "SetEthernetConfig",
    "GetSerial",
    "GetAlarm",
    "CreateError",
    "GetMacAddress",
    "GetVersion",
    "SetSerial",
    "UpdatePulseCount",
    "GetPulseCount",
    "ResetPulseCount",
    "GetNumChannels",
    "Reboot",
    "FactoryReset",
    "SetAlarmState",
};

void expect_each_method_called(Control &control, size_t times) {
    std::map<std::string, size_t> seen;
    for (auto &c : control.calls())
        seen[c.method]++;
    for (const char *m : kMethodsCalled)
        EXPECT_EQ(seen[m], times) << m;
}

TEST_F(Ops, EveryOperationFromAnotherThread) {
    control->clear_calls();
    std::vector<std::string> failed;
    std::thread other([&] { failed = every_operation(); });
    other.join();
    EXPECT_EQ(failed, std::vector<std::string>{});
    expect_each_method_called(*control, 1);
}

// A configuration handler may call velsard from the IPC thread, as Nerisko
// does when a new mapping is announced.
TEST_F(Ops, EveryOperationFromInsideTheHandler) {
    control->clear_calls();
    std::promise<std::vector<std::string>> result;
    recorder.on_config = [&](int kind) {
        if (kind == IPC_NEW_MAPPING && is_ipc_thread())
            result.set_value(every_operation());
    };
    control->emit("NewMapping");
    auto future = result.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(future.get(), std::vector<std::string>{});
    expect_each_method_called(*control, 1);
}

TEST_F(Ops, EveryOperationFromSeveralThreadsAtOnce) {
    control->clear_calls();
    std::vector<std::vector<std::string>> failed(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] { failed[t] = every_operation(); });
    for (auto &t : threads)
        t.join();
    for (auto &f : failed)
        EXPECT_EQ(f, std::vector<std::string>{});
    expect_each_method_called(*control, 4);
}

// Run by the sanitizer build under LeakSanitizer and by valgrind: every
// reply, text and proxy of the operations, on success and failure paths, and
// of ten init/cleanup rounds is released.
TEST(Leaks, OperationsAndCyclesReleaseEverything) {
    recorder.reset();
    TestBus::get().start_velsard();
    Control control;
    for (int round = 0; round < 10; round++) {
        ASSERT_EQ(arvent_init(config_handler, error_handler), 1);
        EXPECT_EQ(every_operation(), std::vector<std::string>{});
        // Failure paths: D-Bus errors and refusing responses.
        for (const char *m : {"GetMapping", "GetPulseCount", "GetMacAddress", "SetModbusConfig", "Reboot"})
            control.fail_next(m);
        control.set_response("GetPulseCount", -1);
        control.set_response("SetSerial", 1);
        EXPECT_FALSE(every_operation().empty());
        control.clear_responses();
        control.emit_device_error(round, "leak check");
        control.emit("NewMapping");
        ASSERT_TRUE(recorder.wait_for(2 * (round + 1)));
        arvent_cleanup();
    }
    mapping m;
    EXPECT_EQ(arvent_get(&m), 0);  // after cleanup
    TestBus::get().stop_velsard();
}

}  // namespace
