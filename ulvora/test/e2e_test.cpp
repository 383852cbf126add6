// Ulvora end to end: the program against the velsard stand-in on a private
// bus and the TQR stand-in program on TQR's own address, 127.0.0.1:8160,
// in a network namespace of the test's own; read by the test's own Modbus
// client on port 502. The scenario is written down here once, as the JSON
// answers TQR gives and as the registers they must make, from this test's
// own reading of the register map.
#include "child_process.h"
#include "modbus_client.h"
#include "own_network.h"
#include "test_bus.h"

#include <gtest/gtest.h>
#include "http_client.h"
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;
using ulvora_testing::ChildProcess;
using ulvora_testing::TcpClient;
using ulvora_testing::wait_until;
using velsard_testing::Control;
using velsard_testing::TestBus;

constexpr int kRegisters = 27492;
constexpr int kModbusPort = 502;
const std::string kTqr = "http://127.0.0.1:8160";

const auto *own_network = ::testing::AddGlobalTestEnvironment(new ulvora_testing::OwnNetwork);

// ---- the registers, as this test reads the map ----

class Image {
  public:
    Image() : regs_(kRegisters, 0) {}
    void int32(int reg, int32_t value) {
        regs_.at(reg) = uint16_t(uint32_t(value) >> 16);
        regs_.at(reg + 1) = uint16_t(uint32_t(value));
    }
    // Bits 15..0 in the first register.
    void real(int reg, float value) {
        uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        regs_.at(reg) = uint16_t(bits);
        regs_.at(reg + 1) = uint16_t(bits >> 16);
    }
    void text(int reg, const std::string &value, size_t chars) {
        for (size_t i = 0; i < chars / 2; ++i) {
            const uint8_t hi = 2 * i < value.size() ? uint8_t(value[2 * i]) : 0;
            const uint8_t lo = 2 * i + 1 < value.size() ? uint8_t(value[2 * i + 1]) : 0;
            regs_.at(reg + int(i)) = uint16_t((hi << 8) | lo);
        }
    }
    uint16_t at(int reg) const { return regs_.at(reg); }

  private:
    std::vector<uint16_t> regs_;
};

// A number TQR sends and where it lands: the register within its block and
// whether it is divided by 1000 on the way.
struct Key {
    const char *name;
    int reg;
    bool per_kilo;
};

const Key kLoadTotals[] = {
    {"tot_p", 54, true},         {"tot_a", 52, false},          {"tot_s", 58, true},
    {"tot_q", 56, true},         {"tot_apf", 60, false},        {"tot_dpf", 62, false},
    {"tot_thd", 64, false},      {"tot_pd", 68, true},          {"tot_demand", 66, true},
    {"tot_wh", 24, true},        {"tot_wh_in", 26, true},       {"tot_wh_out", 28, true},
    {"tot_vah", 44, true},       {"tot_varh", 30, true},        {"tot_vah_in", 46, true},
    {"tot_vah_out", 48, true},   {"tot_varh_cap_dis", 42, true}, {"tot_varh_ind_dis", 36, true},
    {"tot_varh_cap_gen", 40, true}, {"tot_varh_ind_gen", 38, true},
};
const Key kCtValues[] = {
    {"a", 30, false},           {"p", 32, true},          {"s", 36, true},           {"q", 34, true},
    {"wh", 4, true},            {"vah", 24, true},        {"varh", 10, true},        {"wh_out", 8, true},
    {"wh_in", 6, true},         {"vah_in", 26, true},     {"vah_out", 28, true},     {"varh_cap_dis", 22, true},
    {"varh_cap_gen", 20, true}, {"varh_ind_dis", 16, true}, {"varh_ind_gen", 18, true}, {"thd", 42, false},
    {"demand", 44, true},       {"pd", 46, true},         {"apf", 38, false},        {"dpf", 40, false},
};

// Multiples of 125 divided by 1000 and halves are exact in single
// precision, so the registers do not depend on the order of the sums.
double total_value(int load, int key) {
    if (load == 0 && std::string(kLoadTotals[key].name) == "tot_wh") {
        return 123456000; // 123456 kWh: 0x2000, 0x47F1
    }
    return kLoadTotals[key].per_kilo ? 125.0 * (8 * load + key + 1) : 0.5 + key + load;
}
double ct_value(int load, int ct, int key) {
    return kCtValues[key].per_kilo ? 250.0 * (key + 1) + 5000.0 * ct + 100000.0 * load : 1.5 + key + ct;
}

// One load of the mapping, at a position of its list.
struct MappedLoad {
    int position;
    int id;
    bool active;
    const char *name;
    int input;
    std::vector<int> channels; // of its CTs in the mapping
    std::vector<bool> enabled; // of its CTs in the live data
};

const MappedLoad kLoads[] = {
    {0, 0, true, "Feeder A", 0, {6, 53, 5}, {true, true, true}},
    {1, 1, false, "Spare", 0, {7}, {true}},
    {2, 7, true, "Pump", 1, {54, 20}, {true, false}},
    {47, 47, true, "Last of all", 1, {30, 31, 32}, {true, true, true}},
};

const double kRadians[] = {0.0, -2.0943951, 2.0943951};

struct Scenario {
    std::map<std::string, Json> answers; // by endpoint below /api/v1
    Image image;
};

Json load_entry(const MappedLoad &l, const std::string &leave_out = {}) {
    Json e = {{"id", l.id}};
    const int n = l.position;
    for (size_t k = 0; k < std::size(kLoadTotals); ++k) {
        if (kLoadTotals[k].name != leave_out) {
            e[kLoadTotals[k].name] = total_value(n, int(k));
        }
    }
    Json cts = Json::array();
    for (size_t j = 0; j < l.enabled.size(); ++j) {
        Json ct = {{"en", bool(l.enabled[j])}, {"ph", 0.25}};
        for (size_t k = 0; k < std::size(kCtValues); ++k) {
            ct[kCtValues[k].name] = ct_value(n, int(j), int(k));
        }
        cts.push_back(ct);
    }
    e["cts"] = cts;
    return e;
}

Json loads_answer(const std::string &leave_out_of_pump = {}) {
    Json list = Json::array();
    for (const MappedLoad &l : kLoads) {
        list.push_back(load_entry(l, l.id == 7 ? leave_out_of_pump : ""));
    }
    return {{"load", list}};
}

Scenario make_scenario() {
    Scenario s;
    Image &r = s.image;
    s.answers["system/time"] = {{"time", 0}, {"timezoneOffset", 19800}};
    r.text(66, "1970-01-01T05:30:00+0530", 24);
    s.answers["config/static"] = {{"model", 12}, {"serial", "SN-0042"}, {"version", "3.1.4"}};
    r.text(42, "ZOR12KEP", 16);
    r.text(50, "SN-0042", 16);
    r.text(58, "3.1.4", 16);
    s.answers["config/info"] = {
        {"siteInfo",
         {{"name", "abc"}, {"site", "North"}, {"addr1", "1 Road"}, {"addr2", ""}, {"loc1", "Hall"},
          {"loc2", "B"}, {"panel", "P1"}, {"type", "Main"}}},
        {"defaults",
         {{"backlight", 80}, {"powerFactorSign", -1}, {"frequency", 50}, {"demandWindow", 15},
          {"billingCycleDay", 5}, {"billingCycleTime", -1}}}};
    r.text(0, "abc", 80);
    r.int32(78, 0);
    r.int32(80, 15);
    r.int32(82, 5);
    r.int32(84, -1);

    // The mapping: 48 loads, all but those of kLoads inactive.
    Json loads = Json::array();
    for (int p = 0; p < 48; ++p) {
        loads.push_back({{"active", false}, {"id", 100 + p}});
    }
    int active = 0;
    for (const MappedLoad &l : kLoads) {
        Json cts = Json::array();
        for (int c : l.channels) {
            cts.push_back({{"type", 9}, {"channel", c}, {"maxRating", 100}, {"active", true}, {"inverse", false},
                           {"phaseCorrection", 0}});
        }
        loads[size_t(l.position)] = {{"active", l.active}, {"id", l.id}, {"vdi", 1001 + l.id}, {"name", l.name},
                                     {"input", l.input}, {"cts", cts}};
        if (!l.active) {
            continue; // 280 zeros
        }
        ++active;
        const int b = 300 + 280 * l.position;
        r.int32(b, l.id + 1);
        r.text(b + 2, l.name, 40);
        r.int32(b + 22, 1);
        r.int32(b + 50, l.input + 1);
        for (size_t k = 0; k < std::size(kLoadTotals); ++k) {
            const double v = total_value(l.position, int(k));
            r.real(b + kLoadTotals[k].reg, kLoadTotals[k].per_kilo ? float(v) / 1000.0f : float(v));
        }
        double ind = 0, cap = 0;
        for (size_t j = 0; j < l.channels.size(); ++j) {
            if (!l.enabled[j]) {
                continue; // 60 zeros
            }
            const int c = b + 100 + 60 * int(j);
            const int ch = l.channels[j];
            r.int32(c, ch >= 6 && ch <= 53 ? ch - 5 : 0);
            r.int32(c + 2, 1);
            double ct_ind = 0, ct_cap = 0;
            for (size_t k = 0; k < std::size(kCtValues); ++k) {
                const double v = ct_value(l.position, int(j), int(k));
                const double stored = kCtValues[k].per_kilo ? v / 1000.0 : v;
                r.real(c + kCtValues[k].reg, float(stored));
                const std::string name = kCtValues[k].name;
                ct_ind += name.rfind("varh_ind_", 0) == 0 ? stored : 0;
                ct_cap += name.rfind("varh_cap_", 0) == 0 ? stored : 0;
            }
            r.real(c + 12, float(ct_ind));
            r.real(c + 14, float(ct_cap));
            ind += ct_ind;
            cap += ct_cap;
        }
        r.real(b + 32, float(ind));
        r.real(b + 34, float(cap));
    }
    r.int32(86, active);
    s.answers["config/mapping"] = {
        {"version", "3"},
        {"loads", loads},
        {"inputs",
         {{{"id", 0}, {"active", true}, {"voltage", 230}, {"service", 3}, {"voltageScaler", 10}},
          {{"id", 1}, {"active", false}}}}};
    s.answers["data/loads"] = loads_answer();

    Json lines = Json::array();
    for (int j = 0; j < 3; ++j) {
        lines.push_back({{"v", 120.5 + j}, {"v_ll", 208.25 + j}, {"ph", kRadians[j]}, {"thd", 1.5 + j}});
        r.real(100 + 4 + 2 * j, float(120.5 + j));
        r.real(100 + 10 + 2 * j, float(208.25 + j));
        r.real(100 + 16 + 2 * j, float(double(float(kRadians[j])) * 57.29577951308232));
        r.real(100 + 22 + 2 * j, float(1.5 + j));
    }
    s.answers["data/inputs"] = {
        {"Input", {{{"id", 0}, {"en", true}, {"freq", 50.0}, {"lines", lines}}, {{"id", 1}, {"en", false}}}}};
    r.int32(100, 1);
    r.int32(102, 1);
    r.real(128, 50.0f);
    r.int32(130, 230);
    r.int32(132, 3);
    r.int32(134, 10);
    r.int32(148, 2); // the inactive input keeps its number

    s.answers["config/pulse"] = Json::array(
        {{{"id", 0}, {"active", true}, {"out", false}, {"type", 1}, {"param", 19}, {"scaler", 3}, {"pulseWidth", 0}},
         {{"id", 1}, {"active", true}, {"out", false}, {"type", 4}, {"param", 240}, {"scaler", 2}, {"pulseWidth", 0}},
         {{"id", 2}, {"active", true}, {"out", true}, {"type", 0}, {"param", 19}, {"scaler", 1}, {"pulseWidth", 100}}});
    s.answers["data/pulses"] = Json::array({{{"count", 10}}, {{"count", 7}}, {{"count", 99}}});
    const struct {
        const char *kind, *unit;
        int scaler, count;
    } pulses[] = {{"water", "kWh", 3, 10}, {"btu/energy", "kVAh", 2, 7}};
    for (int k = 0; k < 2; ++k) {
        const int b = 200 + 32 * k;
        r.int32(b, 1);
        r.text(b + 2, pulses[k].kind, 16);
        r.text(b + 10, pulses[k].unit, 16);
        r.int32(b + 18, pulses[k].scaler * pulses[k].count);
        r.int32(b + 20, pulses[k].scaler);
        r.int32(b + 22, pulses[k].count);
    }
    return s;
}

// ---- the parts ----

GVariant *modbus_tcp(uint32_t port) {
    return g_variant_new("(busuuuuii)", TRUE, 0u, "127.0.0.1", 9600u, 1u, port, guint('N'), 1, 8);
}

// The whole image, 125 registers a request; empty when a read failed.
std::vector<uint16_t> read_all(TcpClient &client, int end = kRegisters) {
    std::vector<uint16_t> regs;
    for (int address = 0; address < end; address += 125) {
        const int count = std::min(125, end - address);
        const auto part = client.read_registers(uint16_t(address), uint16_t(count));
        if (part.size() != size_t(count)) {
            return {};
        }
        regs.insert(regs.end(), part.begin(), part.end());
    }
    return regs;
}

// The first register that differs from the scenario's image, -1 when none.
int first_difference(const std::vector<uint16_t> &regs, const Image &image) {
    for (size_t n = 0; n < regs.size(); ++n) {
        if (regs[n] != image.at(int(n))) {
            return int(n);
        }
    }
    return regs.empty() ? 0 : -1;
}

// Refused connections in this namespace so far: the requests to a TQR
// that is down.
long refused_connections() {
    std::ifstream in("/proc/net/snmp");
    std::string line, names;
    while (std::getline(in, line)) {
        if (line.rfind("Tcp:", 0) != 0) {
            continue;
        }
        if (names.empty()) {
            names = line;
            continue;
        }
        std::istringstream n(names), v(line);
        std::string name, value;
        while (n >> name && v >> value) {
            if (name == "AttemptFails") {
                return std::stol(value);
            }
        }
    }
    return -1;
}

class UlvoraEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ulvora-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        scenario_ = make_scenario();
        for (const auto &[endpoint, answer] : scenario_.answers) {
            const std::filesystem::path file = dir_ + "/" + endpoint + ".json";
            std::filesystem::create_directories(file.parent_path());
            std::ofstream(file) << answer.dump();
        }
        start_tqr();
        TestBus::get().start_velsard();
        control_ = std::make_unique<Control>();
        control_->store("modbus_config", modbus_tcp(kModbusPort));
        // The time text comes from TQR's time and offset alone.
        setenv("TZ", "America/New_York", 1);
        ulvora_ = std::make_unique<ChildProcess>(ULVORA_PATH, std::vector<std::string>{"-d", "-v"});
        ASSERT_TRUE(wait_until([&] {
            client_ = std::make_unique<TcpClient>(kModbusPort);
            return client_->connected();
        }));
        // Served once the first cycle's data moved the time registers.
        ASSERT_TRUE(wait_until([&] {
            const auto time = client_->read_registers(66, 12);
            return time.size() == 12 && time[0] == scenario_.image.at(66);
        }, 30)) << ulvora_->output();
    }
    void TearDown() override {
        client_.reset();
        if (ulvora_) {
            ulvora_->interrupt();
            EXPECT_EQ(ulvora_->wait_exit(), 0);
            ulvora_.reset();
        }
        stop_tqr();
        control_.reset();
        TestBus::get().stop_velsard();
        std::filesystem::remove_all(dir_);
    }

    void start_tqr() {
        tqr_ = std::make_unique<ChildProcess>(TQR_PROGRAM_PATH, std::vector<std::string>{"--scenario", dir_});
        ASSERT_TRUE(tqr_->wait_for("tqr: listening on 127.0.0.1:8160")) << tqr_->output();
    }
    void stop_tqr() {
        if (tqr_) {
            tqr_->signal(SIGTERM);
            EXPECT_EQ(tqr_->wait_exit(), 0);
            tqr_.reset();
        }
    }

    // A control request to the stand-in.
    void stub(const char *method, const std::string &path, const std::string &body = {}) {
        tqr_testing::HttpClient http("127.0.0.1", 8160);
        const auto res = std::string(method) == "PUT" ? http.Put(path, body, "text/plain") : http.Delete(path);
        ASSERT_TRUE(res) << method << " " << path;
        ASSERT_EQ(res->status, 200) << method << " " << path << ": " << res->body;
    }
    // The stand-in's count of requests for an endpoint since the log was emptied.
    size_t requests_for(const std::string &path) {
        tqr_testing::HttpClient http("127.0.0.1", 8160);
        const auto res = http.Get("/_stub/log");
        if (!res || res->status != 200) {
            return 0;
        }
        size_t n = 0;
        const Json log = Json::parse(res->body);
        for (const Json &r : log["requests"]) {
            n += r["method"] == "GET" && r["target"] == path ? 1 : 0;
        }
        return n;
    }

    std::string dir_;
    Scenario scenario_;
    std::unique_ptr<ChildProcess> tqr_;
    std::unique_ptr<Control> control_;
    std::unique_ptr<ChildProcess> ulvora_;
    std::unique_ptr<TcpClient> client_;
};

// The whole map, read as any client would, equals the image this test
// computed from the scenario.
TEST_F(UlvoraEndToEnd, WholeMapFromTheScenario) {
    const auto regs = read_all(*client_);
    ASSERT_EQ(regs.size(), size_t(kRegisters));
    const int n = first_difference(regs, scenario_.image);
    EXPECT_EQ(n, -1) << "register " << n << " reads " << regs[size_t(std::max(n, 0))] << ", the scenario makes it "
                     << scenario_.image.at(std::max(n, 0));
    // The outside view of a few values, written down by hand.
    EXPECT_EQ(regs[0], 0x6162);
    EXPECT_EQ(regs[1], 0x6300);
    EXPECT_EQ(regs[300 + 24], 0x2000);
    EXPECT_EQ(regs[300 + 25], 0x47F1);
    EXPECT_EQ((std::vector<uint16_t>(regs.begin() + 84, regs.begin() + 86)), (std::vector<uint16_t>{0xFFFF, 0xFFFF}));
    EXPECT_EQ((std::vector<uint16_t>(regs.begin() + 82, regs.begin() + 84)), (std::vector<uint16_t>{0, 5}));
    EXPECT_EQ(regs[401], 1);  // channel 6
    EXPECT_EQ(regs[461], 48); // channel 53
    EXPECT_EQ(regs[521], 0);  // channel 5
}

// TQR failing in each way, through the real transport: one line naming the
// endpoint when the failure starts and one when it ends, replies all the
// while, and the last complete values served meanwhile.
TEST_F(UlvoraEndToEnd, TqrFailuresKeepTheLastCompleteValues) {
    const std::string loads = "/api/v1/data/loads";
    const std::string again = "TQR answers " + loads + " again";
    const struct {
        const char *what;
        std::function<void()> start;
        std::string line;
    } cases[] = {
        {"status 500", [&] { stub("PUT", "/_stub/status" + loads, "500"); }, "Received 500 for " + kTqr + loads},
        {"garbage", [&] { stub("PUT", "/_stub/body" + loads, "<html>garbage"); },
         loads + " return isn't valid JSON"},
        // The first entry would change a load; the one that lacks a key
        // fails the whole answer.
        {"a missing key",
         [&] {
             Json changed = loads_answer("tot_q");
             changed["load"][0]["tot_p"] = 999000;
             stub("PUT", "/_stub/body" + loads, changed.dump());
         },
         "tot_q node not found in /data/loads"},
        {"no load member", [&] { stub("PUT", "/_stub/body" + loads, R"({"data":[]})"); }, "No load in /data/loads."},
        // Slower than the transport waits: each request ends after its time-out.
        {"slow", [&] { stub("PUT", "/_stub/delay" + loads, "30000"); },
         "No answer from TQR for " + kTqr + loads + ": Timeout was reached"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const size_t ended = ulvora_->count(again);
        stub("DELETE", "/_stub/log");
        c.start();
        ASSERT_TRUE(ulvora_->wait_for(c.line, 1, 60)) << ulvora_->output();
        // Two more requests for the endpoint: the answer to the second was
        // taken when the third arrived.
        const size_t seen = requests_for(loads);
        ASSERT_TRUE(wait_until([&] { return requests_for(loads) >= seen + 2; }, 60));
        EXPECT_EQ(ulvora_->count(c.line), 1u);
        const auto regs = read_all(*client_, 13740);
        EXPECT_EQ(first_difference(regs, scenario_.image), -1);
        stub("DELETE", "/_stub/endpoints");
        ASSERT_TRUE(ulvora_->wait_for(again, ended + 1, 60));
    }
    EXPECT_EQ(ulvora_->count(again), std::size(cases));
}

// While a request hangs, the replies do not wait for it.
TEST_F(UlvoraEndToEnd, RepliesWhileATqrRequestHangs) {
    const std::string loads = "/api/v1/data/loads";
    const std::string timeout = "No answer from TQR for " + kTqr + loads + ": Timeout was reached";
    stub("PUT", "/_stub/delay" + loads, "30000");
    stub("DELETE", "/_stub/log");
    ASSERT_TRUE(wait_until([&] { return requests_for(loads) >= 1; }, 60));
    long slowest_us = 0;
    for (int i = 0; i < 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const auto regs = client_->read_registers(300, 125);
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
        slowest_us = std::max<long>(slowest_us, us);
        ASSERT_EQ(regs.size(), 125u);
        EXPECT_EQ(regs[24], 0x2000);
    }
    // All of them came back before the hanging request gave up.
    EXPECT_EQ(ulvora_->count(timeout), 0u);
    RecordProperty("slowest_reply_us", int(slowest_us));
    stub("DELETE", "/_stub/endpoints");
}

// TQR gone and back: each endpoint logs its failure once and its return
// once; the values stay.
TEST_F(UlvoraEndToEnd, TqrDownAndBack) {
    const char *paths[] = {"/api/v1/system/time",   "/api/v1/config/static", "/api/v1/config/info",
                           "/api/v1/config/mapping", "/api/v1/config/pulse",  "/api/v1/data/loads",
                           "/api/v1/data/inputs",   "/api/v1/data/pulses"};
    stop_tqr();
    const long before = refused_connections();
    ASSERT_TRUE(ulvora_->wait_for("Couldn't connect to TQR server at " + kTqr + "/api/v1/data/pulses"));
    // Two more cycles of eight refused requests.
    ASSERT_TRUE(wait_until([&] { return refused_connections() >= before + 24; }, 60));
    for (const char *p : paths) {
        EXPECT_EQ(ulvora_->count("Couldn't connect to TQR server at " + kTqr + p), 1u) << p;
    }
    const auto regs = read_all(*client_, 13740);
    EXPECT_EQ(first_difference(regs, scenario_.image), -1);
    start_tqr();
    for (const char *p : paths) {
        EXPECT_TRUE(ulvora_->wait_for(std::string("TQR answers ") + p + " again")) << p;
    }
    EXPECT_EQ(first_difference(read_all(*client_, 13740), scenario_.image), -1);
}

} // namespace
