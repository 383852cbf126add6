// The stand-in over HTTP, as the programs and a person see it.
#include "tqr/standin.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include "http_client.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

namespace {

using Json = nlohmann::ordered_json;

struct Running {
    explicit Running(tqr::Options options = {}) : standIn(std::move(options)) {
        standIn.start();
        client = std::make_unique<tqr_testing::HttpClient>("127.0.0.1", standIn.port());
        client->set_read_timeout(std::chrono::seconds(30));
    }
    Json get(const std::string &path, int expect = 200) {
        auto res = client->Get(path.c_str());
        EXPECT_TRUE(res) << path;
        if (!res) {
            return {};
        }
        EXPECT_EQ(res->status, expect) << path << ": " << res->body;
        EXPECT_FALSE(res->has_header("Content-Encoding")) << path;
        return Json::parse(res->body, nullptr, false);
    }
    int put(const std::string &path, const std::string &body) {
        auto res = client->Put(path.c_str(), body, "application/json");
        return res ? res->status : -1;
    }
    int post(const std::string &path, const std::string &body) {
        auto res = client->Post(path.c_str(), body, "application/json");
        return res ? res->status : -1;
    }
    tqr::StandIn standIn;
    std::unique_ptr<tqr_testing::HttpClient> client;
};

// Every key path is present: "a.b" a member of a member, "a[].b" a member
// of every element.
void expectKeys(const Json &value, const std::string &path, const std::string &where) {
    if (path.empty()) {
        return;
    }
    const size_t dot = path.find('.');
    std::string head = path.substr(0, dot);
    const std::string rest = dot == std::string::npos ? "" : path.substr(dot + 1);
    const bool each = head.size() >= 2 && head.compare(head.size() - 2, 2, "[]") == 0;
    if (each) {
        head.resize(head.size() - 2);
    }
    const Json *member = &value;
    if (!head.empty()) {
        ASSERT_TRUE(value.is_object() && value.contains(head)) << where << ": " << head;
        member = &value.at(head);
    }
    if (each) {
        ASSERT_TRUE(member->is_array() && !member->empty()) << where << ": " << head;
        for (const Json &element : *member) {
            expectKeys(element, rest, where);
        }
    } else {
        expectKeys(*member, rest, where);
    }
}

// Sends text on a new connection and gives back all that comes until the
// stand-in closes it.
std::string rawRequest(uint16_t port, const std::string &text) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
        char buf[4096];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
            answer.append(buf, static_cast<size_t>(n));
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    return answer;
}

TEST(TqrStandIn, AnswersCarryEveryKeyTheirReadersNeed) {
    Running tqr;
    const std::vector<std::pair<std::string, std::vector<std::string>>> table = {
        {"system/time", {"time", "timezoneOffset"}},
        {"config/static", {"model", "serial", "version"}},
        {"config/info",
         {"siteInfo.name", "siteInfo.site", "siteInfo.addr1", "siteInfo.addr2", "siteInfo.loc1", "siteInfo.loc2",
          "siteInfo.panel", "siteInfo.type", "defaults.backlight", "defaults.powerFactorSign", "defaults.frequency",
          "defaults.demandWindow", "defaults.billingCycleDay", "defaults.billingCycleTime"}},
        {"config/ethernet", {"dhcp", "macAddress", "ipAddress", "subnetMask", "gatewayAddress", "ipv6Address"}},
        {"config/pulse",
         {"[].active", "[].out", "[].id", "[].type", "[].param", "[].scaler", "[].pulseWidth"}},
        {"config/communication",
         {"type", "baudrate", "modbus", "bacnet.port", "bacnet.baudrate", "bacnet.baseInstance", "bacnet.baseName",
          "bacnet.network", "bacnet.physicalnetwork", "bacnet.bbmdAddress", "bacnet.bbmdTtl", "bacnet.macAddress",
          "bacnet.maxMaster", "bacnet.maxInfoFrames", "bacnet.bbmdIPv6Address", "bacnet.multiCastAddress"}},
        {"config/mapping",
         {"version", "loads[].active", "loads[].id", "loads[].vdi", "loads[].name", "loads[].input",
          "loads[].cts[].type", "loads[].cts[].channel", "loads[].cts[].maxRating", "loads[].cts[].active",
          "loads[].cts[].inverse", "loads[].cts[].phaseCorrection", "inputs[].active", "inputs[].id",
          "inputs[].voltage", "inputs[].service", "inputs[].voltageScaler", "inputs[].lines[].active"}},
        {"config/alarms",
         {"[].id", "[].vinLineLoadOrCt", "[].setPoint", "[].deadband", "[].delay", "[].led", "[].relay", "[].type",
          "[].state"}},
        {"data/inputs", {"Input[].id", "Input[].en", "Input[].freq", "Input[].lines[].v", "Input[].lines[].v_ll",
                         "Input[].lines[].ph", "Input[].lines[].thd"}},
        {"data/pulses", {"[].count"}},
    };
    for (const auto &[endpoint, keys] : table) {
        const Json answer = tqr.get("/api/v1/" + endpoint);
        for (const std::string &key : keys) {
            expectKeys(answer, key.rfind("[]", 0) == 0 ? key : key, endpoint + " " + key);
        }
    }
    std::vector<std::string> loadKeys = {"load[].id", "load[].cts[].en"};
    for (const char *key : {"p", "a", "s", "q", "apf", "dpf", "thd", "pd", "demand"}) {
        loadKeys.push_back(std::string("load[].tot_") + key);
    }
    for (const char *key : {"a", "p", "s", "q", "thd", "demand", "pd", "apf", "dpf", "ph"}) {
        loadKeys.push_back(std::string("load[].cts[].") + key);
    }
    for (const char *e : {"wh", "vah", "varh", "wh_in", "vah_in", "wh_out", "vah_out", "varh_ind_dis",
                          "varh_cap_gen", "varh_ind_gen", "varh_cap_dis"}) {
        loadKeys.push_back(std::string("load[].tot_") + e);
        loadKeys.push_back(std::string("load[].cts[].") + e);
    }
    const Json loads = tqr.get("/api/v1/data/loads");
    for (const std::string &key : loadKeys) {
        expectKeys(loads, key, key);
    }
    EXPECT_TRUE(tqr.get("/api/v1/config/static")["model"].is_number_integer());
}

TEST(TqrStandIn, TheBuiltInMeterIsVelsardsMeter) {
    Running tqr;
    const Json mapping = tqr.get("/api/v1/config/mapping");
    ASSERT_EQ(mapping["loads"].size(), 4u);
    int channel = 6;
    for (const Json &load : mapping["loads"]) {
        ASSERT_EQ(load["cts"].size(), 3u);
        for (const Json &ct : load["cts"]) {
            EXPECT_EQ(ct["channel"], channel++);
        }
    }
    EXPECT_EQ(channel, 18);
    EXPECT_EQ(mapping["inputs"].size(), 2u);
    EXPECT_EQ(tqr.get("/api/v1/data/loads")["load"].size(), 4u);

    tqr::Options many;
    many.loads = 48;
    Running big(many);
    const Json all = big.get("/api/v1/config/mapping");
    ASSERT_EQ(all["loads"].size(), 48u);
    for (const Json &load : all["loads"]) {
        for (const Json &ct : load["cts"]) {
            EXPECT_GE(ct["channel"].get<int>(), 6);
            EXPECT_LE(ct["channel"].get<int>(), 53);
        }
    }
    for (int bad : {0, 49}) {
        tqr::Options o;
        o.loads = bad;
        EXPECT_THROW(tqr::StandIn{o}, std::runtime_error) << bad;
    }
}

TEST(TqrStandIn, TheGeneratorIsRepeatableAndRising) {
    Running one;
    Running two;
    const Json loads0 = one.get("/api/v1/data/loads");
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(one.post("/_stub/live/step", ""), 200);
        ASSERT_EQ(two.post("/_stub/live/step", ""), 200);
    }
    const Json loads3 = one.get("/api/v1/data/loads");
    EXPECT_EQ(loads3, two.get("/api/v1/data/loads"));
    EXPECT_EQ(one.get("/api/v1/data/inputs"), two.get("/api/v1/data/inputs"));
    EXPECT_EQ(one.get("/api/v1/data/pulses"), two.get("/api/v1/data/pulses"));
    EXPECT_NE(loads0, loads3);
    // Frozen: nothing moves between requests.
    EXPECT_EQ(loads3, one.get("/api/v1/data/loads"));

    for (size_t l = 0; l < loads3["load"].size(); ++l) {
        const Json &before = loads0["load"][l];
        const Json &after = loads3["load"][l];
        for (const char *e : {"tot_wh", "tot_vah", "tot_varh", "tot_wh_in"}) {
            EXPECT_GT(after[e].get<double>(), before[e].get<double>()) << e;
        }
        double p = 0, a = 0, wh = 0;
        for (const Json &ct : after["cts"]) {
            p += ct["p"].get<double>();
            a += ct["a"].get<double>();
            wh += ct["wh"].get<double>();
            EXPECT_GE(ct["ph"].get<double>(), 0);
            EXPECT_LT(ct["ph"].get<double>(), 6.283185307179586);
            EXPECT_LE(std::abs(ct["apf"].get<double>()), 1.0);
        }
        EXPECT_NEAR(after["tot_p"].get<double>(), p, 1e-9);
        EXPECT_NEAR(after["tot_a"].get<double>(), a, 1e-9);
        EXPECT_NEAR(after["tot_wh"].get<double>(), wh, 1e-9);
    }
    const Json pulses0 = Running().get("/api/v1/data/pulses");
    const Json pulses3 = one.get("/api/v1/data/pulses");
    for (size_t i = 0; i < pulses3.size(); ++i) {
        EXPECT_GT(pulses3[i]["count"].get<long>(), pulses0[i]["count"].get<long>());
    }
}

TEST(TqrStandIn, PutsAreKeptForTheNextGet) {
    Running tqr;
    EXPECT_EQ(tqr.put("/api/v1/config/alarm/2/state", "{\n \"state\":6\n}"), 200);
    EXPECT_EQ(tqr.get("/api/v1/config/alarms")[1]["state"], 6);
    EXPECT_EQ(tqr.put("/api/v1/config/alarm/99/state", R"({"state":2})"), 404);
    EXPECT_EQ(tqr.put("/api/v1/config/alarm/2/state", R"({"state":"x"})"), 400);

    EXPECT_EQ(tqr.put("/api/v1/config/alarms", R"([{"id":7,"state":2}])"), 200);
    EXPECT_EQ(tqr.get("/api/v1/config/alarms"), Json::parse(R"([{"id":7,"state":2}])"));
    EXPECT_EQ(tqr.put("/api/v1/config/alarms", R"({"id":7})"), 400);

    EXPECT_EQ(tqr.put("/api/v1/config/info", R"({"siteinfo":{"name":"K\u00fcche","site":"S"}})"), 200);
    const Json info = tqr.get("/api/v1/config/info");
    EXPECT_EQ(info["siteInfo"]["name"], "K\xC3\xBC" "che");
    EXPECT_EQ(info["siteInfo"]["site"], "S");
    EXPECT_EQ(info["siteInfo"]["panel"], "Panel 1");
    EXPECT_TRUE(info.contains("defaults"));

    EXPECT_EQ(tqr.put("/api/v1/config/communication",
                      R"({"type":"mod_tcp","modbus":{"address":9},"bacnet":{"baseName":"New"}})"),
              200);
    Json comm = tqr.get("/api/v1/config/communication");
    EXPECT_EQ(comm["type"], "mb_tcp");
    EXPECT_EQ(comm["modbus"]["address"], 9);
    EXPECT_EQ(comm["modbus"]["port"], 502);
    EXPECT_EQ(comm["bacnet"]["baseName"], "New");
    EXPECT_EQ(comm["bacnet"]["baseInstance"], 1000);
    EXPECT_EQ(tqr.put("/api/v1/config/communication", R"({"type":"mod_rtu"})"), 200);
    EXPECT_EQ(tqr.get("/api/v1/config/communication")["type"], "mb_rtu");

    // Bad bodies and unknown paths change nothing.
    for (const char *path : {"/api/v1/config/alarms", "/api/v1/config/info", "/api/v1/config/communication",
                             "/api/v1/config/alarm/2/state"}) {
        EXPECT_EQ(tqr.put(path, "not json"), 400) << path;
    }
    EXPECT_EQ(tqr.put("/api/v1/config/static", "{}"), 404);
    tqr.get("/api/v1/config/nothing", 404);
    tqr.get("/elsewhere", 404);
    EXPECT_EQ(tqr.get("/api/v1/config/communication")["type"], "mb_rtu");

    // Back to the scenario.
    auto res = tqr.client->Delete("/_stub/endpoints");
    ASSERT_TRUE(res);
    EXPECT_EQ(tqr.get("/api/v1/config/communication")["type"], "bac_ip");
    EXPECT_EQ(tqr.get("/api/v1/config/alarms").size(), 2u);
}

TEST(TqrStandIn, LoginTakesOnlyThePincode) {
    tqr::Options options;
    options.pincode = "p\"w\\1";
    Running tqr(options);
    EXPECT_EQ(tqr.post("/api/v1/login", R"({"enabled":true,"pincode":"p\"w\\1"})"), 200);
    EXPECT_EQ(tqr.post("/api/v1/login", R"({"enabled":true,"pincode":"1234"})"), 401);
    EXPECT_EQ(tqr.post("/api/v1/login", R"({"enabled":true,"pincode":""})"), 401);
    EXPECT_EQ(tqr.post("/api/v1/login", R"({"enabled":true})"), 400);
    EXPECT_EQ(tqr.post("/api/v1/login", "{\"pincode\":\"p\"w\\1\"}"), 400); // unescaped: not JSON
}

TEST(TqrStandIn, ControlSetsBodiesStatusesAndDelays) {
    Running tqr;
    EXPECT_EQ(tqr.put("/_stub/body/api/v1/config/static", "not { json"), 200);
    auto res = tqr.client->Get("/api/v1/config/static");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "not { json");

    EXPECT_EQ(tqr.put("/_stub/status/api/v1/config/mapping", "500"), 200);
    tqr.get("/api/v1/config/mapping", 500);
    EXPECT_EQ(tqr.put("/_stub/status/api/v1/data/loads", "204"), 200);
    res = tqr.client->Get("/api/v1/data/loads");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 204);
    EXPECT_EQ(res->body, "");

    EXPECT_EQ(tqr.put("/_stub/status/api/v1/login?method=POST", "503"), 200);
    EXPECT_EQ(tqr.post("/api/v1/login", R"({"pincode":"1234"})"), 503);
    EXPECT_EQ(tqr.post("/api/v1/config/alarms", "[]"), 404); // a PUT-only path

    EXPECT_EQ(tqr.put("/_stub/status/api/v1/login?method=DELETE", "503"), 400);
    EXPECT_EQ(tqr.put("/_stub/status/api/v1/login", "99"), 400);
    EXPECT_EQ(tqr.put("/_stub/delay/api/v1/login", "soon"), 400);
    EXPECT_EQ(tqr.put("/_stub/nothing", ""), 404);

    // A delayed answer holds up neither control nor other requests.
    EXPECT_EQ(tqr.put("/_stub/delay/api/v1/system/time", "600000"), 200);
    auto waiting = std::async(std::launch::async, [&] {
        tqr_testing::HttpClient other("127.0.0.1", tqr.standIn.port());
        other.set_read_timeout(std::chrono::seconds(600));
        auto r = other.Get("/api/v1/system/time");
        return r ? r->status : -1;
    });
    // Wait until the stand-in holds the request.
    for (;;) {
        const Json log = tqr.get("/_stub/log");
        if (!log["requests"].empty() && log["requests"].back()["target"] == "/api/v1/system/time") {
            break;
        }
        std::this_thread::yield();
    }
    tqr.get("/api/v1/config/ethernet");
    EXPECT_EQ(tqr.put("/_stub/delay/api/v1/system/time", "0"), 200);
    EXPECT_EQ(waiting.get(), 200);

    auto cleared = tqr.client->Delete("/_stub/endpoints");
    ASSERT_TRUE(cleared);
    EXPECT_EQ(tqr.get("/api/v1/config/static")["model"], 7);
    tqr.get("/api/v1/config/mapping");
}

TEST(TqrStandIn, TheLogKeepsEveryRequestWhole) {
    Running tqr;
    const std::string body = "{\"state\":2,\"x\":\"\xC3\xA9\"}";
    // Written by hand: the library's client sorts its headers by name.
    EXPECT_EQ(rawRequest(tqr.standIn.port(), "PUT /api/v1/config/alarm/1/state?x=1 HTTP/1.1\r\nHost: here\r\n"
                                             "Zeta: 1\r\nAlpha: 2\r\nContent-Length: " +
                                                 std::to_string(body.size()) +
                                                 "\r\nConnection: close\r\n\r\n" + body)
                  .rfind("HTTP/1.1 200 ", 0),
              0u);
    auto res = tqr.client->Put("/api/v1/config/alarms", std::string("\xFF\x00", 2), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    tqr.get("/unknown", 404);
    const Json log = tqr.get("/_stub/log");
    ASSERT_EQ(log["requests"].size(), 3u);
    const Json &first = log["requests"][0];
    EXPECT_EQ(first["method"], "PUT");
    EXPECT_EQ(first["target"], "/api/v1/config/alarm/1/state?x=1");
    EXPECT_EQ(first["body"], body);
    std::vector<std::string> names;
    for (const Json &h : first["headers"]) {
        names.push_back(h[0]);
    }
    const auto zeta = std::find(names.begin(), names.end(), "Zeta");
    const auto alpha = std::find(names.begin(), names.end(), "Alpha");
    ASSERT_NE(zeta, names.end());
    ASSERT_NE(alpha, names.end());
    EXPECT_LT(zeta, alpha) << "in the order sent";
    EXPECT_EQ(log["requests"][1]["body_base64"], "/wA=");
    EXPECT_EQ(log["requests"][2]["target"], "/unknown");

    ASSERT_TRUE(tqr.client->Delete("/_stub/log"));
    EXPECT_TRUE(tqr.get("/_stub/log")["requests"].empty());
}

TEST(TqrStandIn, AScenarioFolderReplacesEndpoints) {
    const std::string dir = testing::TempDir() + "tqr-scenario-" + std::to_string(getpid());
    std::filesystem::create_directories(dir + "/config");
    std::filesystem::create_directories(dir + "/data");
    std::ofstream(dir + "/config/static.json") << R"({"model":12,"serial":"S","version":"2"})";
    std::ofstream(dir + "/data/pulses.json") << R"([{"count":5}])";
    std::ofstream(dir + "/config/mapping.json")
        << R"({"version":"3","loads":[{"active":true,"id":4,"vdi":9,"name":"L","input":1,"cts":[{"active":true,"channel":20}]}],"inputs":[]})";
    {
        tqr::Options options;
        options.scenarioDir = dir;
        Running tqr(options);
        EXPECT_EQ(tqr.get("/api/v1/config/static")["model"], 12);
        EXPECT_EQ(tqr.get("/api/v1/data/pulses"), Json::parse(R"([{"count":5}])"));
        const Json loads = tqr.get("/api/v1/data/loads");
        ASSERT_EQ(loads["load"].size(), 1u);
        EXPECT_EQ(loads["load"][0]["id"], 4);
        EXPECT_EQ(loads["load"][0]["cts"].size(), 1u);
        EXPECT_EQ(tqr.get("/api/v1/config/ethernet")["ipAddress"], "192.0.2.10");
    }
    std::ofstream(dir + "/config/info.json") << "{ not json";
    tqr::Options options;
    options.scenarioDir = dir;
    EXPECT_THROW(tqr::StandIn{options}, std::runtime_error);
    options.scenarioDir = dir + "/missing";
    EXPECT_THROW(tqr::StandIn{options}, std::runtime_error);
    std::filesystem::remove_all(dir);
}

TEST(TqrStandIn, LiveDataFromTheMetersResultNodes) {
    const std::string root = testing::TempDir() + "tqr-root-" + std::to_string(getpid());
    setenv("METER_ROOT", root.c_str(), 1);
    tqr::Options options;
    options.live = tqr::LiveSource::meter;
    Running tqr(options);
    // Before Nerisko has written anything: zeros.
    Json loads = tqr.get("/api/v1/data/loads");
    ASSERT_EQ(loads["load"].size(), 4u);
    EXPECT_EQ(loads["load"][0]["tot_p"], 0.0);

    std::filesystem::create_directories(root + "/dev/zor_data/load");
    std::filesystem::create_directories(root + "/dev/zor_data/input");
    std::string all(48 * 736, '\0');
    auto putFloat = [&](std::string &b, size_t at, float v) { std::memcpy(&b[at], &v, 4); };
    auto putDouble = [&](std::string &b, size_t at, double v) { std::memcpy(&b[at], &v, 8); };
    const size_t load1 = 736;
    putFloat(all, load1 + 616, 1500.0f);           // w
    putFloat(all, load1 + 608, 12.5f);             // rms
    putDouble(all, load1 + 632, 42.0);             // wh
    putDouble(all, load1 + 632 + 8 * 10, 7.0);     // varh_cap_dis
    all[load1 + 56 + 152 + 4] = 1;                 // CT 1 active
    putFloat(all, load1 + 56 + 152 + 16, 0.5f);    // its phase, radians
    putFloat(all, load1 + 56 + 152 + 36, 400.0f);  // its w
    std::ofstream(root + "/dev/zor_data/load/48", std::ios::binary) << all;
    std::string inputs(192, '\0');
    putFloat(inputs, 96 + 16, 59.9f);
    putFloat(inputs, 96 + 20 + 24 + 8, 121.0f); // set 1, line 2 rms_ln
    std::ofstream(root + "/dev/zor_data/input/2", std::ios::binary) << inputs;

    loads = tqr.get("/api/v1/data/loads");
    const Json &l = loads["load"][1];
    EXPECT_EQ(l["id"], 1);
    EXPECT_EQ(l["tot_p"], 1500.0);
    EXPECT_EQ(l["tot_a"], 12.5);
    EXPECT_EQ(l["tot_wh"], 42.0);
    EXPECT_EQ(l["tot_varh_cap_dis"], 7.0);
    EXPECT_EQ(l["cts"][1]["en"], true);
    EXPECT_EQ(l["cts"][0]["en"], false);
    EXPECT_EQ(l["cts"][1]["ph"], 0.5);
    EXPECT_EQ(l["cts"][1]["p"], 400.0);
    const Json in = tqr.get("/api/v1/data/inputs");
    EXPECT_NEAR(in["Input"][1]["freq"].get<double>(), 59.9, 1e-5);
    EXPECT_EQ(in["Input"][1]["lines"][1]["v"], 121.0);
    std::filesystem::remove_all(root);
}

} // namespace
