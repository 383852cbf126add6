// Conversions of the configuration records to and from velsard's D-Bus values.
// Values are written as GVariant text, the way velsard's replies print.
#include "arvent.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern "C" int records_c_round_trip(void);

namespace {

const char *const kMappingType = "(ua(ubuuduuuuuuuua(ub))a(uuubsa(ububudddd))ai)";

struct Unref {
    void operator()(GVariant *v) const { g_variant_unref(v); }
};
using Value = std::unique_ptr<GVariant, Unref>;

// Takes ownership of a serialiser's floating result (which may be null).
Value sink(GVariant *v) {
    return Value(v ? g_variant_ref_sink(v) : nullptr);
}

Value parse(const char *type, const std::string &text) {
    GError *error = nullptr;
    GVariant *v = g_variant_parse(G_VARIANT_TYPE(type), text.c_str(), nullptr, nullptr, &error);
    if (v == nullptr) {
        ADD_FAILURE() << "cannot parse " << text << ": " << error->message;
        g_error_free(error);
        return nullptr;
    }
    return Value(v);  // g_variant_parse gives a full reference
}

std::string print(GVariant *v) {
    if (v == nullptr) {
        return "(null)";
    }
    gchar *s = g_variant_print(v, FALSE);
    std::string out(s);
    g_free(s);
    return out;
}

void expect_equal_values(GVariant *want, GVariant *got) {
    ASSERT_NE(got, nullptr);
    EXPECT_TRUE(g_variant_equal(want, got)) << "want " << print(want) << "\n got " << print(got);
}

// The bytes of a record.
template <typename R>
std::string bytes(const R &r) {
    return std::string(reinterpret_cast<const char *>(&r), sizeof r);
}

template <typename R>
R filled(uint8_t byte) {
    R r;
    std::memset(&r, byte, sizeof r);
    return r;
}

std::string field(const char *f, size_t size) {
    return std::string(f, size);
}

// A text field holding text and zero bytes up to its end.
std::string zero_filled(const std::string &text, size_t size) {
    std::string s = text;
    s.resize(size, '\0');
    return s;
}

std::string repeat(char c, size_t n) {
    return std::string(n, c);
}

std::string fixture(const char *name) {
    const char *root = std::getenv("METER_SOURCE_DIR");
    std::string path = std::string(root ? root : ".") + "/libarvent/test/fixtures/" + name;
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot open " << path;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/* ---- every record: a value from velsard, filled into the record and sent back ---- */

struct Range {
    size_t offset, size;
};

struct RecordCase {
    const char *name;
    const char *type;
    const char *text;  // as velsard sends it; sent back unchanged
    size_t size;
    std::vector<Range> untouched;  // header and padding: never written
    std::function<void(GVariant *, void *)> from_value;
    std::function<GVariant *(const void *)> to_value;
    std::function<void(const void *)> check;
};

template <typename R>
std::function<void(GVariant *, void *)> filler(void (*f)(GVariant *, R *)) {
    return [f](GVariant *v, void *r) { f(v, static_cast<R *>(r)); };
}

template <typename R>
std::function<GVariant *(const void *)> sender(GVariant *(*f)(const R *)) {
    return [f](const void *r) { return f(static_cast<const R *>(r)); };
}

template <typename R>
std::function<void(const void *)> checker(std::function<void(const R &)> f) {
    return [f](const void *r) { f(*static_cast<const R *>(r)); };
}

std::vector<Range> pulse_untouched() {
    std::vector<Range> r{{0, 8}};
    for (size_t e = 0; e < 3; ++e) {
        r.push_back({8 + 64 * e + 6, 2});
    }
    return r;
}

const std::vector<RecordCase> &record_cases() {
    static const std::vector<RecordCase> cases{
        {"modbus_config",
         "(busuuuuii)",
         "(true, 2, '/dev/ttyO2', 19200, 247, 502, 69, 1, 8)",
         sizeof(modbus_config),
         {{0, 4}, {5, 3}, {62, 2}, {69, 3}, {77, 3}},
         filler(modbus_config_deserialize),
         sender(modbus_config_serialize),
         checker<modbus_config>([](const modbus_config &c) {
             EXPECT_TRUE(c.active);
             EXPECT_EQ(c.backend, 2u);
             EXPECT_EQ(field(c.device, sizeof c.device), zero_filled("/dev/ttyO2", 50));
             EXPECT_EQ(c.baud, 19200u);
             EXPECT_EQ(c.address, 247);
             EXPECT_EQ(c.port, 502u);
             EXPECT_EQ(c.parity, 'E');
             EXPECT_EQ(c.stopbits, 1);
             EXPECT_EQ(c.databits, 8);
         })},
        {"bacnet_config",
         "(buuuusuusuuuusu)",
         "(true, 1, 38400, 47808, 4194302, 'Meter 12 \u2013 Hall', 7, 3000000000, '192.168.1.10', 600, 127, "
         "126, "
         "1, 'spare', 4294967295)",
         sizeof(bacnet_config),
         {{0, 4}, {5, 3}},
         filler(bacnet_config_deserialize),
         sender(bacnet_config_serialize),
         checker<bacnet_config>([](const bacnet_config &c) {
             EXPECT_TRUE(c.active);
             EXPECT_EQ(c.type, 1u);
             EXPECT_EQ(c.baud, 38400u);
             EXPECT_EQ(c.udp_port, 47808u);
             EXPECT_EQ(c.instance, 4194302u);
             EXPECT_EQ(field(c.name, sizeof c.name), zero_filled("Meter 12 \u2013 Hall", 80));
             EXPECT_EQ(c.vnet, 7u);
             EXPECT_EQ(c.extra_1, 3000000000u);
             EXPECT_EQ(field(c.bbmd, sizeof c.bbmd), zero_filled("192.168.1.10", 20));
             EXPECT_EQ(c.ttl, 600u);
             EXPECT_EQ(c.mstp_mac, 127u);
             EXPECT_EQ(c.mstp_max_master, 126u);
             EXPECT_EQ(c.mstp_info_frames, 1u);
             EXPECT_EQ(field(c.extra_2, sizeof c.extra_2), zero_filled("spare", 40));
             EXPECT_EQ(c.extra_3, 4294967295u);
         })},
        {"pulse_config", "a(ibbiidiiuuuuuuuu)",
         "[(-1, true, false, 5, 19, 0.5, 100, 101, 1, 2, 3, 4, 5, 6, 7, 8),"
         " (-2, false, true, 6, 240, 1e-3, 200, 102, 11, 12, 13, 14, 15, 16, 17, 18),"
         " (-3, true, true, 7, 243, 2.25, 300, 147, 21, 22, 23, 24, 25, 26, 27, 4294967295)]",
         sizeof(pulse_config), pulse_untouched(), filler(pulse_config_deserialize),
         sender(pulse_config_serialize), checker<pulse_config>([](const pulse_config &c) {
             const pulse_config_entry &e = c.entries[2];
             EXPECT_EQ(e.extra_1, -3);
             EXPECT_TRUE(e.flag_1);
             EXPECT_TRUE(e.flag_2);
             EXPECT_EQ(e.extra_2, 7);
             EXPECT_EQ(e.param, 243);
             EXPECT_EQ(e.scaler, 2.25);
             EXPECT_EQ(e.pulse_width, 300);
             EXPECT_EQ(e.load_id, 147);
             EXPECT_EQ(e.extra_3[0], 21u);
             EXPECT_EQ(e.extra_3[7], 4294967295u);
             EXPECT_FALSE(c.entries[0].flag_2);
             EXPECT_FALSE(c.entries[1].flag_1);
             EXPECT_EQ(c.entries[1].scaler, 1e-3);
         })},
        {"device_config",
         "(uuuuuuuuuuuuuuu)",
         "(0, 1, 2, 15, 4, 28, 86399, 7, 8, 9, 10, 11, 12, 13, 4294967295)",
         sizeof(device_config),
         {{0, 4}},
         filler(device_config_deserialize),
         sender(device_config_serialize),
         checker<device_config>([](const device_config &c) {
             const uint32_t want[15] = {0, 1, 2, 15, 4, 28, 86399, 7, 8, 9, 10, 11, 12, 13, 4294967295u};
             for (size_t k = 0; k < 15; ++k) {
                 EXPECT_EQ(c.values[k], want[k]) << "values[" << k << "]";
             }
         })},
        {"test_config",
         "(a(s)ub)",
         "([('LCD line 1',), ('',), ('20 characters, full',), ('\u00e4\u00f6\u00fc',)], 6, true)",
         sizeof(test_config),
         {{89, 3}},
         filler(test_config_deserialize),
         sender(test_config_serialize),
         checker<test_config>([](const test_config &c) {
             EXPECT_EQ(field(c.texts[0], 21), zero_filled("LCD line 1", 21));
             EXPECT_EQ(field(c.texts[1], 21), zero_filled("", 21));
             EXPECT_EQ(field(c.texts[2], 21), zero_filled("20 characters, full", 21));
             EXPECT_EQ(field(c.texts[3], 21), zero_filled("\u00e4\u00f6\u00fc", 21));
             EXPECT_EQ(c.lcd_led, 6u);
             EXPECT_TRUE(c.backlight);
         })},
        {"serials",
         "(sss)",
         "('PM-000123', 'EE-98765', 'EE-98765')",
         sizeof(serials),
         {},
         filler(serial_deserialize),
         sender(serial_serialize),
         checker<serials>([](const serials &s) {
             EXPECT_EQ(field(s.serial[0], 50), zero_filled("PM-000123", 50));
             EXPECT_EQ(field(s.serial[1], 50), zero_filled("EE-98765", 50));
             EXPECT_EQ(field(s.serial[2], 50), zero_filled("EE-98765", 50));
         })},
        {"ethernet_config",
         "(bssussbsus)",
         "(true, '00:11:22:33:44:55', '192.168.001.100', 24, '192.168.1.1', '8.8.8.8', false, 'meter-7', "
         "1500, "
         "'pool.ntp.org')",
         sizeof(ethernet_config),
         {{0, 4}, {39, 1}, {117, 3}},
         filler(ethernet_config_deserialize),
         sender(ethernet_config_serialize),
         checker<ethernet_config>([](const ethernet_config &c) {
             EXPECT_TRUE(c.extra_1);
             EXPECT_EQ(field(c.extra_2, 18), zero_filled("00:11:22:33:44:55", 18));
             EXPECT_EQ(field(c.extra_3, 16), zero_filled("192.168.001.100", 16));
             EXPECT_EQ(c.extra_4, 24u);
             EXPECT_EQ(field(c.extra_5, 16), zero_filled("192.168.1.1", 16));
             EXPECT_EQ(field(c.extra_6, 16), zero_filled("8.8.8.8", 16));
             EXPECT_FALSE(c.extra_7);
             EXPECT_EQ(field(c.extra_8, 40), zero_filled("meter-7", 40));
             EXPECT_EQ(c.extra_9, 1500u);
             EXPECT_EQ(field(c.extra_10, 40), zero_filled("pool.ntp.org", 40));
         })},
        {"alarm_config",
         "a(uiuuuubbi)",
         "[(0, -5, 1, 2, 3, 4, true, false, -7), (1, 6, 7, 8, 9, 10, false, true, 11),"
         " (2, -2147483648, 4294967295, 0, 0, 0, true, true, 2147483647)]",
         sizeof(alarm_config),
         {{0, 4}, {8 + 26, 2}, {8 + 32 + 26, 2}, {8 + 64 + 26, 2}, {8 + 3 * 32, 96 * 32}},
         filler(alarm_config_deserialize),
         sender(alarm_config_serialize),
         checker<alarm_config>([](const alarm_config &c) {
             EXPECT_EQ(c.count, 3u);
             const alarm_entry &e = c.entries[2];
             EXPECT_EQ(e.index, 2u);
             EXPECT_EQ(e.extra_1, INT32_MIN);
             EXPECT_EQ(e.extra_2, 4294967295u);
             EXPECT_TRUE(e.flag_1);
             EXPECT_TRUE(e.flag_2);
             EXPECT_EQ(e.extra_6, INT32_MAX);
             EXPECT_EQ(c.entries[0].extra_1, -5);
             EXPECT_EQ(c.entries[1].extra_5, 10u);
         })},
    };
    return cases;
}

TEST(Records, EveryRecordFillsFromAValueAndSendsItBack) {
    for (const RecordCase &c : record_cases()) {
        SCOPED_TRACE(c.name);
        Value in = parse(c.type, c.text);
        ASSERT_TRUE(in);
        std::vector<uint8_t> record(c.size, 0xAA);
        c.from_value(in.get(), record.data());
        c.check(record.data());
        Value out = sink(c.to_value(record.data()));
        expect_equal_values(in.get(), out.get());
        ASSERT_TRUE(out);
        EXPECT_STREQ(g_variant_get_type_string(out.get()), c.type);
    }
}

// Fills a 0x00 and a 0xAA record from the same value: the bytes that differ are
// the bytes the conversion did not write, which must be exactly the header and
// the padding.
TEST(Records, FillingWritesEveryFieldAndNoPaddingByte) {
    for (const RecordCase &c : record_cases()) {
        SCOPED_TRACE(c.name);
        Value in = parse(c.type, c.text);
        ASSERT_TRUE(in);
        std::vector<uint8_t> zeros(c.size, 0x00), marked(c.size, 0xAA);
        c.from_value(in.get(), zeros.data());
        c.from_value(in.get(), marked.data());
        std::vector<bool> expect_untouched(c.size, false);
        for (const Range &r : c.untouched) {
            for (size_t k = r.offset; k < r.offset + r.size; ++k) {
                expect_untouched[k] = true;
            }
        }
        for (size_t k = 0; k < c.size; ++k) {
            if (expect_untouched[k]) {
                EXPECT_EQ(marked[k], 0xAA) << "byte " << k << " was written";
                EXPECT_EQ(zeros[k], 0x00) << "byte " << k << " was written";
            } else {
                EXPECT_EQ(marked[k], zeros[k]) << "byte " << k << " depends on the record's old content";
            }
        }
    }
}

TEST(Records, MistypedOrMissingValueLeavesTheRecordAlone) {
    Value wrong = parse("(s)", "('not a record',)");
    ASSERT_TRUE(wrong);
    for (const RecordCase &c : record_cases()) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> record(c.size, 0xAA);
        c.from_value(wrong.get(), record.data());
        c.from_value(nullptr, record.data());
        EXPECT_EQ(record, std::vector<uint8_t>(c.size, 0xAA));
    }
    mapping m = filled<mapping>(0xAA);
    EXPECT_EQ(mapping_deserialize(wrong.get(), &m), 0);
    EXPECT_EQ(mapping_deserialize(wrong.get(), nullptr), 0);
    EXPECT_EQ(mapping_deserialize(nullptr, &m), 0);
    EXPECT_EQ(bytes(m), bytes(filled<mapping>(0xAA)));
}

TEST(Records, NullRecordsAreRefusedNotDereferenced) {
    for (const RecordCase &c : record_cases()) {
        SCOPED_TRACE(c.name);
        Value in = parse(c.type, c.text);
        c.from_value(in.get(), nullptr);
        EXPECT_EQ(c.to_value(nullptr), nullptr);
    }
    EXPECT_EQ(mapping_serialize(nullptr), nullptr);
    EXPECT_EQ(alarm_state_serialize(nullptr), nullptr);
    EXPECT_EQ(alarm_log_serialize(nullptr, 3), nullptr);
}

// Values reach the library as serialised bytes from the bus; GLib reads bytes
// that do not make a well-formed value as default values. Whatever the bytes,
// the record is filled within its bounds.
TEST(Records, MalformedValueBytesStayWithinTheRecord) {
    struct Case {
        const char *name;
        const char *type;
        std::string text;
        size_t size;
        std::function<void(GVariant *, void *)> from_value;
    };
    std::vector<Case> cases;
    for (const RecordCase &c : record_cases()) {
        cases.push_back({c.name, c.type, c.text, c.size, c.from_value});
    }
    cases.push_back({"mapping", kMappingType, fixture("mapping_golden_in.txt"), sizeof(mapping),
                     [](GVariant *v, void *r) { mapping_deserialize(v, static_cast<mapping *>(r)); }});
    std::mt19937 rng(20261210);
    constexpr size_t kGuard = 512;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Value good = parse(c.type, c.text);
        ASSERT_TRUE(good);
        const auto *data = static_cast<const char *>(g_variant_get_data(good.get()));
        const std::string image(data, g_variant_get_size(good.get()));
        for (int round = 0; round < 300; ++round) {
            std::string bad = image;
            for (int flips = 1 + static_cast<int>(rng() % 8); flips > 0 && !bad.empty(); --flips) {
                bad[rng() % bad.size()] = static_cast<char>(rng());
            }
            if (rng() % 4 == 0) {
                bad.resize(rng() % (image.size() + 64), static_cast<char>(rng()));
            }
            GBytes *raw = g_bytes_new(bad.data(), bad.size());
            Value v = sink(g_variant_new_from_bytes(G_VARIANT_TYPE(c.type), raw, FALSE));
            g_bytes_unref(raw);
            std::vector<uint8_t> record(c.size + kGuard, 0xAA);
            c.from_value(v.get(), record.data());
            ASSERT_EQ(std::vector<uint8_t>(record.begin() + c.size, record.end()),
                      std::vector<uint8_t>(kGuard, 0xAA))
                << "written past the record in round " << round;
        }
    }
}

// Runs body in a child whose syslog lines (all priorities) are copied to a
// pipe; returns what it wrote.
std::string log_of(const std::function<void()> &body) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "pipe failed";
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        slog_open("records_test", 1);
        slog_level(LOG_DEBUG);
        body();
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

TEST(Records, ConversionsLogTheirLines) {
    struct Case {
        const char *line;  // empty: nothing logged
        std::function<void()> body;
    };
    auto discard = [](GVariant *v) {
        if (v) {
            g_variant_unref(g_variant_ref_sink(v));
        }
    };
    const std::vector<Case> cases{
        {"Serializing test config",
         [&] {
             auto c = filled<test_config>(0);
             discard(test_config_serialize(&c));
         }},
        {"Deserializing test config",
         [&] {
             auto c = filled<test_config>(0);
             test_config_deserialize(parse("(a(s)ub)", "([], 0, false)").get(), &c);
         }},
        {"Serializing ethernet config",
         [&] {
             auto c = filled<ethernet_config>(0);
             discard(ethernet_config_serialize(&c));
         }},
        {"Serializing alarm config",
         [&] {
             auto c = filled<alarm_config>(0);
             discard(alarm_config_serialize(&c));
         }},
        {"Serializing alarm log", [&] { discard(alarm_log_serialize(nullptr, 0)); }},
        {"Cannot send modbus config: device is not valid UTF-8",
         [&] {
             auto c = filled<modbus_config>(0);
             c.device[0] = '\xff';
             discard(modbus_config_serialize(&c));
         }},
        {"Load 5 name is not valid UTF-8; sending its first 2 bytes",
         [&] {
             auto m = std::make_unique<mapping>();
             std::memset(m.get(), 0, sizeof *m);
             std::memcpy(m->sets_i[5].name, "ab\xff", 3);
             discard(mapping_serialize(m.get()));
         }},
        {"Ignoring modbus config value of type (s), expected (busuuuuii)",
         [&] {
             auto c = filled<modbus_config>(0);
             modbus_config_deserialize(parse("(s)", "('x',)").get(), &c);
         }},
        {"",
         [&] {
             auto c = filled<modbus_config>(0);
             Value v = sink(modbus_config_serialize(&c));
             modbus_config_deserialize(v.get(), &c);
             auto m = std::make_unique<mapping>();
             std::memset(m.get(), 0, sizeof *m);
             Value mv = sink(mapping_serialize(m.get()));
             mapping_deserialize(mv.get(), m.get());
         }},
    };
    for (const Case &c : cases) {
        std::string out = log_of(c.body);
        if (*c.line) {
            EXPECT_NE(out.find(std::string("records_test: ") + c.line), std::string::npos)
                << "want " << c.line << "\n got " << out;
        } else {
            EXPECT_EQ(out, "");
        }
    }
}

TEST(Records, HeaderAndConversionsWorkFromC) {
    EXPECT_EQ(records_c_round_trip(), 1);
}

/* ---- received texts: cut at the field, on a UTF-8 boundary, terminated ---- */

struct TextCase {
    const char *what;
    std::string received;
    std::string stored;                           // the field's bytes after the text, zero-filled
    std::function<std::string(GVariant *)> fill;  // fills a 0xAA record, returns the field
    const char *type;
    std::function<std::string(const std::string &)> value_text;
};

std::string quoted(const std::string &s) {
    return print(sink(g_variant_new_string(s.c_str())).get());
}

TEST(Records, ReceivedTextsAreCutToTheirFieldAndStayReadable) {
    auto modbus_device = [](GVariant *v) {
        auto c = filled<modbus_config>(0xAA);
        modbus_config_deserialize(v, &c);
        return field(c.device, sizeof c.device);
    };
    auto modbus_text = [](const std::string &t) {
        return "(true, 2, " + quoted(t) + ", 9600, 1, 502, 78, 1, 8)";
    };
    auto serial_1 = [](GVariant *v) {
        auto s = filled<serials>(0xAA);
        serial_deserialize(v, &s);
        return field(s.serial[1], SERIAL_LEN);
    };
    auto serial_text = [](const std::string &t) { return "('a', " + quoted(t) + ", 'c')"; };
    auto test_text_0 = [](GVariant *v) {
        auto c = filled<test_config>(0xAA);
        test_config_deserialize(v, &c);
        return field(c.texts[0], TEST_CONFIG_TEXT_LEN);
    };
    auto test_text = [](const std::string &t) { return "([(" + quoted(t) + ",)], 0, false)"; };
    auto bacnet_bbmd = [](GVariant *v) {
        auto c = filled<bacnet_config>(0xAA);
        bacnet_config_deserialize(v, &c);
        return field(c.bbmd, sizeof c.bbmd);
    };
    auto bacnet_text = [](const std::string &t) {
        return "(true, 1, 0, 47808, 1, 'n', 0, 0, " + quoted(t) + ", 0, 0, 0, 0, '', 0)";
    };
    auto ethernet_mac = [](GVariant *v) {
        auto c = filled<ethernet_config>(0xAA);
        ethernet_config_deserialize(v, &c);
        return field(c.extra_2, sizeof c.extra_2);
    };
    auto ethernet_text = [](const std::string &t) {
        return "(true, " + quoted(t) + ", '', 0, '', '', false, '', 0, '')";
    };
    const std::string a49 = repeat('a', 49), e_acute = "\u00e9";
    const std::vector<TextCase> cases{
        {"modbus device of 49 characters keeps its terminator", a49, a49, modbus_device, "(busuuuuii)",
         modbus_text},
        {"modbus device of 50 characters is cut to 49 and terminated", repeat('b', 50), repeat('b', 49),
         modbus_device, "(busuuuuii)", modbus_text},
        {"modbus device cut inside a character loses the whole character", repeat('c', 48) + e_acute,
         repeat('c', 48), modbus_device, "(busuuuuii)", modbus_text},
        {"serial of 80 characters is cut to 49", repeat('7', 80), repeat('7', 49), serial_1, "(sss)",
         serial_text},
        {"test text of 21 characters is cut to 20 and terminated", repeat('t', 21), repeat('t', 20),
         test_text_0, "(a(s)ub)", test_text},
        {"test text of 20 characters is whole", repeat('u', 20), repeat('u', 20), test_text_0, "(a(s)ub)",
         test_text},
        {"test text of three-byte characters is cut between characters", repeat('v', 18) + "\u2013",
         repeat('v', 18), test_text_0, "(a(s)ub)", test_text},
        {"BBMD text of 21 characters is cut to 19", "192.168.100.200:47808", "192.168.100.200:478",
         bacnet_bbmd, "(buuuusuusuuuusu)", bacnet_text},
        {"MAC text of 17 characters keeps its terminator", "00:11:22:33:44:55", "00:11:22:33:44:55",
         ethernet_mac, "(bssussbsus)", ethernet_text},
        {"MAC text of 20 characters is cut to 17 and terminated", "00:11:22:33:44:55:66", "00:11:22:33:44:55",
         ethernet_mac, "(bssussbsus)", ethernet_text},
    };
    for (const TextCase &c : cases) {
        SCOPED_TRACE(c.what);
        Value v = parse(c.type, c.value_text(c.received));
        ASSERT_TRUE(v);
        std::string got = c.fill(v.get());
        EXPECT_EQ(got, zero_filled(c.stored, got.size()));
        EXPECT_NE(got.find('\0'), std::string::npos) << "no terminator";
    }
}

/* ---- texts that D-Bus cannot carry ---- */

TEST(Records, TextsThatAreNotUtf8AreNotSent) {
    const char bad[] = "ok\xc3\x28";  // a lead byte followed by a non-continuation byte
    struct Case {
        const char *what;
        std::function<GVariant *()> send;
    };
    const std::vector<Case> cases{
        {"modbus device",
         [&] {
             auto c = filled<modbus_config>(0);
             std::memcpy(c.device, bad, sizeof bad);
             return modbus_config_serialize(&c);
         }},
        {"bacnet name",
         [&] {
             auto c = filled<bacnet_config>(0);
             std::memcpy(c.name, bad, sizeof bad);
             return bacnet_config_serialize(&c);
         }},
        {"bacnet bbmd",
         [&] {
             auto c = filled<bacnet_config>(0);
             std::memcpy(c.bbmd, bad, sizeof bad);
             return bacnet_config_serialize(&c);
         }},
        {"bacnet extra_2",
         [&] {
             auto c = filled<bacnet_config>(0);
             std::memcpy(c.extra_2, bad, sizeof bad);
             return bacnet_config_serialize(&c);
         }},
        {"test text 3",
         [&] {
             auto c = filled<test_config>(0);
             std::memcpy(c.texts[3], bad, sizeof bad);
             return test_config_serialize(&c);
         }},
        {"serial 2",
         [&] {
             auto s = filled<serials>(0);
             std::memcpy(s.serial[2], bad, sizeof bad);
             return serial_serialize(&s);
         }},
        {"ethernet extra_2",
         [&] {
             auto c = filled<ethernet_config>(0);
             std::memcpy(c.extra_2, bad, sizeof bad);
             return ethernet_config_serialize(&c);
         }},
        {"ethernet extra_10",
         [&] {
             auto c = filled<ethernet_config>(0);
             std::memcpy(c.extra_10, bad, sizeof bad);
             return ethernet_config_serialize(&c);
         }},
        {"a lone continuation byte",
         [&] {
             auto c = filled<modbus_config>(0);
             c.device[0] = '\x80';
             return modbus_config_serialize(&c);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Value v = sink(c.send());
        EXPECT_EQ(v.get(), nullptr) << print(v.get());
    }
}

TEST(Records, FullTextFieldsAreSentWithoutReadingPastThem) {
    auto c = filled<bacnet_config>(0);
    std::memset(c.name, 'N', sizeof c.name);  // no terminator; vnet follows
    c.vnet = 0x41414141;
    std::memset(c.bbmd, 'B', sizeof c.bbmd);
    c.ttl = 0x42424242;
    Value v = sink(bacnet_config_serialize(&c));
    ASSERT_TRUE(v);
    const gchar *name, *bbmd;
    g_variant_get_child(v.get(), 5, "&s", &name);
    g_variant_get_child(v.get(), 8, "&s", &bbmd);
    EXPECT_EQ(std::string(name), repeat('N', 80));
    EXPECT_EQ(std::string(bbmd), repeat('B', 20));
}

/* ---- arrays and counts beyond the records' room ---- */

TEST(Records, PulseConfigTakesAtMostThreeEntriesAndKeepsWhatIsMissing) {
    const char *entry = "(1, true, true, 0, 19, 1.0, 50, 3, 0, 0, 0, 0, 0, 0, 0, 0)";
    struct Guarded {
        pulse_config c;
        uint8_t guard[256];
    };
    for (size_t n : {0u, 2u, 3u, 5u}) {
        SCOPED_TRACE(n);
        std::string text = "[";
        for (size_t k = 0; k < n; ++k) {
            text += std::string(k ? ", " : "") + entry;
        }
        Value v = parse("a(ibbiidiiuuuuuuuu)", text + "]");
        auto g = filled<Guarded>(0xAA);
        pulse_config_deserialize(v.get(), &g.c);
        for (size_t k = 0; k < 3; ++k) {
            if (k < n) {
                EXPECT_EQ(g.c.entries[k].load_id, 3) << "entry " << k;
            } else {
                EXPECT_EQ(bytes(g.c.entries[k]), bytes(filled<pulse_config_entry>(0xAA))) << "entry " << k;
            }
        }
        EXPECT_EQ(std::string(reinterpret_cast<char *>(g.guard), sizeof g.guard),
                  repeat('\xAA', sizeof g.guard));
    }
}

TEST(Records, TestConfigTakesAtMostFourTextsAndKeepsWhatIsMissing) {
    struct Guarded {
        test_config c;
        uint8_t guard[256];
    };
    Value five = parse("(a(s)ub)", "([('1',), ('2',), ('3',), ('4',), ('5',)], 1, false)");
    auto g = filled<Guarded>(0xAA);
    test_config_deserialize(five.get(), &g.c);
    EXPECT_STREQ(g.c.texts[3], "4");
    EXPECT_EQ(g.c.lcd_led, 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(g.guard), sizeof g.guard), repeat('\xAA', sizeof g.guard));

    Value two = parse("(a(s)ub)", "([('1',), ('2',)], 1, false)");
    auto c = filled<test_config>(0xAA);
    test_config_deserialize(two.get(), &c);
    EXPECT_STREQ(c.texts[1], "2");
    EXPECT_EQ(field(c.texts[2], 42), repeat('\xAA', 42));
}

std::string alarm_entries_text(size_t n, size_t first_index) {
    std::string text = "[";
    for (size_t k = 0; k < n; ++k) {
        text += (k ? ", (" : "(") + std::to_string(first_index + k) + ", " + std::to_string(k) +
                ", 1, 2, 3, 4, true, false, 5)";
    }
    return text + "]";
}

TEST(Records, AlarmConfigTakesNinetyNineEntriesIndexedByPosition) {
    struct Guarded {
        alarm_config c;
        uint8_t guard[256];
    };
    Value v = parse("a(uiuuuubbi)", alarm_entries_text(120, 500));
    auto g = filled<Guarded>(0xAA);
    alarm_config_deserialize(v.get(), &g.c);
    EXPECT_EQ(g.c.count, 99u);
    for (uint32_t k = 0; k < 99; ++k) {
        EXPECT_EQ(g.c.entries[k].index, k);
        EXPECT_EQ(g.c.entries[k].extra_1, static_cast<int32_t>(k));
    }
    EXPECT_EQ(std::string(reinterpret_cast<char *>(g.guard), sizeof g.guard), repeat('\xAA', sizeof g.guard));

    Value none = parse("a(uiuuuubbi)", "[]");
    alarm_config_deserialize(none.get(), &g.c);
    EXPECT_EQ(g.c.count, 0u);
}

TEST(Records, AlarmConfigSendsItsCountClampedToItsRoom) {
    struct Case {
        uint32_t count;
        size_t sent;
    };
    for (Case c : {Case{0, 0}, Case{1, 1}, Case{99, 99}, Case{100, 99}, Case{0xFFFFFFFFu, 99}}) {
        SCOPED_TRACE(c.count);
        // On the heap so that a read past the record is caught by the sanitizer build.
        auto config = std::make_unique<alarm_config>();
        std::memset(config.get(), 0, sizeof *config);
        for (uint32_t k = 0; k < ALARM_ENTRY_MAX; ++k) {
            config->entries[k].index = 1000 + k;  // sent as the position instead
            config->entries[k].extra_1 = static_cast<int32_t>(k);
            config->entries[k].extra_2 = 1;
            config->entries[k].extra_3 = 2;
            config->entries[k].extra_4 = 3;
            config->entries[k].extra_5 = 4;
            config->entries[k].flag_1 = true;
            config->entries[k].extra_6 = 5;
        }
        config->count = c.count;
        Value v = sink(alarm_config_serialize(config.get()));
        Value want = parse("a(uiuuuubbi)", alarm_entries_text(c.sent, 0));
        expect_equal_values(want.get(), v.get());
    }
}

TEST(Records, AlarmLogAndAlarmStateValues) {
    alarm_log_entry log[2];
    std::memset(log, 0xAA, sizeof log);
    log[0].extra_1 = 1234567890123;
    log[0].alarm = alarm_entry{7, -1, 2, 3, 4, 5, true, false, {0, 0}, -9};
    log[0].extra_2 = -3;
    log[0].flag_1 = true;
    log[0].flag_2 = false;
    log[1].extra_1 = -1;
    log[1].alarm = alarm_entry{98, 0, 0, 0, 0, 4294967295u, false, true, {0, 0}, 0};
    log[1].extra_2 = 0;
    log[1].flag_1 = false;
    log[1].flag_2 = true;
    Value want = parse("a(x(uiuuuubbi)ibb)",
                       "[(1234567890123, (7, -1, 2, 3, 4, 5, true, false, -9), -3, true, false),"
                       " (-1, (98, 0, 0, 0, 0, 4294967295, false, true, 0), 0, false, true)]");
    Value got = sink(alarm_log_serialize(log, 2));
    expect_equal_values(want.get(), got.get());

    Value empty = parse("a(x(uiuuuubbi)ibb)", "[]");
    for (int count : {0, -1, -1000}) {
        Value none = sink(alarm_log_serialize(log, count));
        expect_equal_values(empty.get(), none.get());
    }
    Value no_entries = sink(alarm_log_serialize(nullptr, 0));
    expect_equal_values(empty.get(), no_entries.get());

    alarm_state s{3, -1};
    Value state = sink(alarm_state_serialize(&s));
    Value want_state = parse("(ui)", "(3, -1)");
    expect_equal_values(want_state.get(), state.get());
}

/* ---- the channel mapping ---- */

// The golden fixtures are packed by fixtures/make_mapping_golden.py at explicit
// offsets, independently of the record's declaration.
TEST(MappingRecord, ValueFromVelsardGivesTheGoldenImage) {
    Value in = parse(kMappingType, fixture("mapping_golden_in.txt"));
    ASSERT_TRUE(in);
    const std::string golden = fixture("mapping_golden.bin");
    ASSERT_EQ(golden.size(), sizeof(mapping));

    // The caller clears the record first, as the trend files expect.
    auto m = filled<mapping>(0x00);
    EXPECT_EQ(mapping_deserialize(in.get(), &m), 1);
    EXPECT_TRUE(bytes(m) == golden) << "the mapping image differs from the golden image";

    // Over a record full of 0xAA every field is written and no padding byte.
    auto marked = filled<mapping>(0xAA);
    EXPECT_EQ(mapping_deserialize(in.get(), &marked), 1);
    const std::string golden_aa = fixture("mapping_golden_aa.bin");
    ASSERT_EQ(golden_aa.size(), sizeof(mapping));
    for (size_t k = 0; k < sizeof(mapping); ++k) {
        ASSERT_EQ(bytes(marked)[k], golden_aa[k]) << "first difference at byte " << k;
    }
}

TEST(MappingRecord, GoldenImageIsSentAsVelsardExpects) {
    const std::string golden = fixture("mapping_golden.bin");
    ASSERT_EQ(golden.size(), sizeof(mapping));
    auto m = std::make_unique<mapping>();
    std::memcpy(m.get(), golden.data(), sizeof(mapping));
    Value out = sink(mapping_serialize(m.get()));
    ASSERT_TRUE(out);
    EXPECT_STREQ(g_variant_get_type_string(out.get()), kMappingType);
    Value want = parse(kMappingType, fixture("mapping_golden_out.txt"));
    expect_equal_values(want.get(), out.get());
}

TEST(MappingRecord, RoundTripKeepsTheRecordButSetIdsAndTail) {
    const std::string golden = fixture("mapping_golden.bin");
    ASSERT_EQ(golden.size(), sizeof(mapping));
    mapping m, back;
    std::memcpy(&m, golden.data(), sizeof m);
    std::memset(&back, 0, sizeof back);
    Value v = sink(mapping_serialize(&m));
    EXPECT_EQ(mapping_deserialize(v.get(), &back), 1);
    m.sets_u[0].id = 0;
    m.sets_u[1].id = 1;
    std::memset(m.tail_values, 0, sizeof m.tail_values);
    EXPECT_TRUE(bytes(m) == bytes(back));
}

TEST(MappingRecord, ShortValueKeepsTheCallersEntries) {
    Value v = parse(kMappingType,
                    "(5, [(3, true, 1, 2, 1.5, 1, 2, 3, 4, 5, 6, 7, 8, [(0, true)])],"
                    " [(1, 2, 3, true, 'Only', [(6, true, 9, true, 7, 100.0, 333.0, 1.0, 0.0)])], [1, -2])");
    ASSERT_TRUE(v);
    const mapping before = filled<mapping>(0xAA);
    mapping m = before;
    EXPECT_EQ(mapping_deserialize(v.get(), &m), 1);
    EXPECT_EQ(m.version, 5u);
    EXPECT_EQ(m.sets_u[0].id, 3u);
    EXPECT_EQ(m.sets_u[0].pt_ratio, 1.5);
    EXPECT_EQ(m.sets_u[0].u[0].channel, 0u);
    EXPECT_EQ(bytes(m.sets_u[0].u[1]), bytes(before.sets_u[0].u[1]));
    EXPECT_EQ(bytes(m.sets_u[0].u[2]), bytes(before.sets_u[0].u[2]));
    EXPECT_EQ(bytes(m.sets_u[1]), bytes(before.sets_u[1]));
    EXPECT_EQ(field(m.sets_i[0].name, MAPPING_NAME_LEN), zero_filled("Only", MAPPING_NAME_LEN));
    EXPECT_EQ(m.sets_i[0].i[0].rated_mv, 333.0);
    EXPECT_EQ(bytes(m.sets_i[0].i[1]), bytes(before.sets_i[0].i[1]));
    for (size_t n = 1; n < MAPPING_I_SET_MAX; ++n) {
        EXPECT_EQ(bytes(m.sets_i[n]), bytes(before.sets_i[n])) << "load " << n;
    }
    EXPECT_EQ(m.tail_values[0], 1);
    EXPECT_EQ(m.tail_values[1], -2);
    for (size_t k = 2; k < MAPPING_TAIL_MAX; ++k) {
        EXPECT_EQ(m.tail_values[k], before.tail_values[k]) << "tail " << k;
    }
}

// velsard's arrays have no bound; what does not fit the record is dropped.
TEST(MappingRecord, LongerArraysAreCutAtTheRecordsCapacity) {
    auto ct = [](size_t n, size_t m) {
        return "(" + std::to_string(6 + m) + ", true, 1, false, " + std::to_string(1000 * n + m) +
               ", 1.0, 2.0, 3.0, 4.0)";
    };
    std::ostringstream text;
    text << "(1, [";
    for (size_t k = 0; k < 3; ++k) {
        text << (k ? ", " : "") << "(" << 10 + k << ", true, 0, 0, 1.0, 0, 0, 0, 0, 0, 0, 0, 0, [";
        for (size_t m = 0; m < 4; ++m) {
            text << (m ? ", " : "") << "(" << 10 * k + m << ", true)";
        }
        text << "])";
    }
    text << "], [";
    for (size_t n = 0; n < 49; ++n) {
        text << (n ? ", " : "") << "(" << 100 + n << ", 0, 0, true, 'L" << n << "', [";
        for (size_t m = 0; m < 4; ++m) {
            text << (m ? ", " : "") << ct(n, m);
        }
        text << "])";
    }
    text << "], [";
    for (size_t k = 0; k < 50; ++k) {
        text << (k ? ", " : "") << k + 1;
    }
    text << "])";
    Value v = parse(kMappingType, text.str());
    ASSERT_TRUE(v);

    struct Guarded {
        mapping m;
        uint8_t guard[1024];
    };
    auto g = std::make_unique<Guarded>();
    std::memset(g.get(), 0xAA, sizeof *g);
    EXPECT_EQ(mapping_deserialize(v.get(), &g->m), 1);
    EXPECT_EQ(g->m.sets_u[1].id, 11u);
    EXPECT_EQ(g->m.sets_u[1].u[2].channel, 12u);
    EXPECT_EQ(g->m.sets_i[47].id, 147u);
    EXPECT_EQ(g->m.sets_i[47].i[2].extra_1, 47002u);
    EXPECT_EQ(g->m.tail_values[47], 48);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(g->guard), sizeof g->guard),
              repeat('\xAA', sizeof g->guard));
}

TEST(MappingRecord, LoadNamesAreSentUpToTheirFieldAndLastWholeCharacter) {
    struct Case {
        const char *what;
        std::string field;  // the 43 bytes as the record holds them
        std::string sent;
    };
    const std::string a42 = repeat('a', 42);
    const std::vector<Case> cases{
        {"name of 42 with its terminator", a42 + '\0', a42},
        {"name of 43 without terminator stops at the field", repeat('b', 43), repeat('b', 43)},
        {"invalid bytes end the name", zero_filled("K\u00fcche\xff\xfeSaal", 43), "K\u00fcche"},
        {"a character cut by the field's end is left out", a42 + "\xc3", a42},
        {"an invalid first byte sends an empty name", zero_filled("\x80zz", 43), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.field.size(), 43u);
        auto m = std::make_unique<mapping>();
        std::memset(m.get(), 0, sizeof *m);
        std::memcpy(m->sets_i[5].name, c.field.data(), 43);
        m->sets_i[5].i[0].channel = 0x41414141;  // text-like bytes right after the name
        Value v = sink(mapping_serialize(m.get()));
        ASSERT_TRUE(v);
        const gchar *name;
        Value loads(g_variant_get_child_value(v.get(), 2));
        Value load(g_variant_get_child_value(loads.get(), 5));
        g_variant_get_child(load.get(), 4, "&s", &name);
        EXPECT_EQ(std::string(name), c.sent);
    }
}

TEST(MappingRecord, EveryEntryIsSentActiveOrNot) {
    auto m = std::make_unique<mapping>();
    std::memset(m.get(), 0, sizeof *m);
    m->sets_i[10].active = false;
    std::strcpy(m->sets_i[10].name, "Spare");
    m->sets_i[10].i[1].rated_current = 50.0;
    for (int32_t &t : m->tail_values) {
        t = 77;
    }
    Value v = sink(mapping_serialize(m.get()));
    ASSERT_TRUE(v);
    Value sets_u(g_variant_get_child_value(v.get(), 1));
    Value sets_i(g_variant_get_child_value(v.get(), 2));
    Value tail(g_variant_get_child_value(v.get(), 3));
    EXPECT_EQ(g_variant_n_children(sets_u.get()), 2u);
    EXPECT_EQ(g_variant_n_children(sets_i.get()), 48u);
    Value spare(g_variant_get_child_value(sets_i.get(), 10));
    Value want =
        parse("(uuubsa(ububudddd))",
              "(0, 0, 0, false, 'Spare', [(0, false, 0, false, 0, 0.0, 0.0, 0.0, 0.0),"
              " (0, false, 0, false, 0, 50.0, 0.0, 0.0, 0.0), (0, false, 0, false, 0, 0.0, 0.0, 0.0, 0.0)])");
    expect_equal_values(want.get(), spare.get());
    Value zeros = parse(
        "ai", "[" + [] {
            std::string s;
            for (int k = 0; k < 48; ++k) {
                s += k ? ", 0" : "0";
            }
            return s;
        }() + "]");
    expect_equal_values(zeros.get(), tail.get());
}

}  // namespace
