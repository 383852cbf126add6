// The configuration parsers on JSON texts, and the fetch of the
// communication configuration against TQR at its own address.
#include "runtime/tqr/config_import.h"

#include <gtest/gtest.h>
#include "http_client.h"

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "log_lines.h"
#include "netns.h"
#include "device/config.h"
#include "runtime/events.h"
#include "runtime/log.h"
#include "runtime/tqr/config_put.h"
#include "runtime/tqr/transport.h"
#include "tqr/standin.h"

namespace {

using logtest::Lines;
using logtest::textsOf;

void toLog(int level, const std::string &text) { logMessage(level, text); }

enum class Raised { Nothing, InvalidArgument, OutOfRange };

const char *nameOf(Raised r) {
    return r == Raised::Nothing ? "nothing" : r == Raised::InvalidArgument ? "invalid_argument" : "out_of_range";
}

// Runs a parser on a body as tqrGet would: what it raised and the lines it
// (and the transport's shared functions) logged.
Raised parse(int (*parser)(const char *, size_t, size_t, void *), const std::string &body, Lines &lines) {
    logSetLevel(6);
    tqrSetLogSink(toLog);
    Raised raised = Raised::Nothing;
    testing::internal::CaptureStdout();
    try {
        EXPECT_EQ(parser(body.data(), 1, body.size(), nullptr), static_cast<int>(body.size()));
    } catch (const std::invalid_argument &) {
        raised = Raised::InvalidArgument;
    } catch (const std::out_of_range &) {
        raised = Raised::OutOfRange;
    }
    lines = textsOf(testing::internal::GetCapturedStdout());
    tqrSetLogSink(nullptr);
    return raised;
}

bool contains(const Lines &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// ---- time ----

TEST(ConfigImport, TimeIsTqrsLocalTimeCountedOnceWhateverTheProcesssZone) {
    // The process's own zone must not enter: TQR's offset is the only one.
    ::setenv("TZ", "America/New_York", 1);
    ::tzset();
    struct Case {
        const char *body;
        Raised raised;
        const char *text; // nullptr: the stored time stays as it was
        int minutes = 0;
        int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    } const cases[] = {
        {R"({"time":1700000000,"timezoneOffset":19800})", Raised::Nothing, "2023-11-15T03:43:20+0530", 330, 123, 10,
         15, 3, 43},
        {R"({"time":0,"timezoneOffset":-5400})", Raised::Nothing, "1969-12-31T22:30:00-0130", -90, 69, 11, 31, 22, 30},
        {R"({"time":1700000000,"timezoneOffset":-1800})", Raised::Nothing, "2023-11-14T21:43:20-0030", -30, 123, 10,
         14, 21, 43},
        // Past 2038 and past 2106: 64-bit seconds.
        {R"({"time":2147483648,"timezoneOffset":0})", Raised::Nothing, "2038-01-19T03:14:08+0000", 0, 138, 0, 19,
         3, 14},
        {R"({"time":4294967296,"timezoneOffset":-3600})", Raised::Nothing, "2106-02-07T05:28:16-0100", -60, 206, 1,
         7, 5, 28},
        {R"({"time":5000000000,"timezoneOffset":3600})", Raised::Nothing, "2128-06-11T09:53:20+0100", 60, 228, 5, 11,
         9, 53},
        {R"({"timezoneOffset":0})", Raised::OutOfRange, nullptr},
        {R"({"time":1700000000})", Raised::OutOfRange, nullptr},
        {R"({"time":"soon","timezoneOffset":0})", Raised::InvalidArgument, nullptr},
        {R"({"time":9223372036854775807,"timezoneOffset":3600})", Raised::InvalidArgument, nullptr},
        {R"(not json)", Raised::InvalidArgument, nullptr},
    };
    const TqrTime before = [] {
        TqrTime t;
        t.tqrTimeText = "before";
        t.received = true;
        return t;
    }();
    for (const Case &c : cases) {
        tqrStoreTime(before);
        tqrResponseReceived[tqrFlagTime] = 0;
        Lines lines;
        EXPECT_EQ(nameOf(parse(tqrParseTime, c.body, lines)), nameOf(c.raised)) << c.body;
        const TqrTime got = tqrTimeSnapshot();
        if (c.text == nullptr) {
            EXPECT_EQ(got.tqrTimeText, "before") << c.body;
            EXPECT_EQ(tqrResponseReceived[tqrFlagTime], 0) << c.body;
            EXPECT_FALSE(lines.empty()) << c.body;
            continue;
        }
        EXPECT_EQ(tqrResponseReceived[tqrFlagTime], 1) << c.body;
        EXPECT_TRUE(got.received);
        EXPECT_EQ(got.tqrTimeText, c.text);
        EXPECT_EQ(got.tqrTimezoneMinutes, c.minutes) << c.body;
        const std::tm &t = got.tqrLocalTime;
        EXPECT_EQ((std::vector<int>{t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min}),
                  (std::vector<int>{c.year, c.month, c.day, c.hour, c.minute}))
            << c.body;
    }
    Lines lines;
    parse(tqrParseTime, R"({"time":1})", lines);
    EXPECT_EQ(lines, Lines{"critical time node not found in /time"});
    parse(tqrParseTime, "[1", lines);
    EXPECT_EQ(lines, Lines{"critical /api/v1/time return isn't valid JSON"});
    ::unsetenv("TZ");
    ::tzset();
}

// ---- identity ----

TEST(ConfigImport, StaticIdentity) {
    struct Case {
        const char *body;
        Raised raised;
        const char *model, *serial, *version;
        bool flag;
        Lines lines;
    } const cases[] = {
        {R"({"model":5,"serial":"ZM-1","version":"2.1"})", Raised::Nothing, "ZOR05KEP", "ZM-1", "2.1", true,
         {"notice Model is ZOR05KEP", "notice S/N is ZM-1", "notice Version is 2.1"}},
        {R"({"model":123,"serial":"ZM-2","version":"3"})", Raised::Nothing, "ZOR123KEP", "ZM-2", "3", true,
         {"notice Model is ZOR123KEP", "notice S/N is ZM-2", "notice Version is 3"}},
        // Reported as a failure, not as a success with the flag clear.
        {R"({"model":7,"version":"9"})", Raised::OutOfRange, "ZOR07KEP", "old serial", "old version", false,
         {"notice Model is ZOR07KEP", "critical serial node not found in /config/static"}},
        {R"({"serial":"x"})", Raised::OutOfRange, "old model", "old serial", "old version", false,
         {"critical model node not found in /config/static"}},
        {R"(<html>)", Raised::InvalidArgument, "old model", "old serial", "old version", false,
         {"emergency /api/v1/config/static return isn't valid JSON"}},
        {"{\"model\":5,\"serial\":\"ZM-\xF4\",\"version\":\"2.1\"}", Raised::InvalidArgument, "old model",
         "old serial", "old version", false, {"emergency /api/v1/config/static return isn't valid JSON"}},
    };
    for (const Case &c : cases) {
        staticConfig.setModel("old model");
        staticConfig.setSerial("old serial");
        staticConfig.setVersion("old version");
        tqrResponseReceived[tqrFlagStatic] = 0;
        Lines lines;
        EXPECT_EQ(nameOf(parse(tqrParseStatic, c.body, lines)), nameOf(c.raised)) << c.body;
        EXPECT_EQ(lines, c.lines) << c.body;
        EXPECT_EQ(staticConfig.getModel(), c.model) << c.body;
        EXPECT_EQ(staticConfig.getSerial(), c.serial) << c.body;
        EXPECT_EQ(staticConfig.getVersion(), c.version) << c.body;
        EXPECT_EQ(tqrResponseReceived[tqrFlagStatic] == 1, c.flag) << c.body;
    }
}

// ---- Ethernet ----

TEST(ConfigImport, EthernetIsLoggedAndOnlyTheIpv6AddressKept) {
    struct Case {
        const char *body;
        const char *ipv6;
        Lines lines;
    } const cases[] = {
        {R"({"dhcp":"true","macAddress":"02:00:00:00:00:01","ipAddress":"192.0.2.10","subnetMask":"255.255.255.0",
             "gatewayAddress":"192.0.2.1","ipv6Address":"2001:db8::10"})",
         "2001:db8::10",
         {"notice DHCP is enabled", "notice MAC ID: 02:00:00:00:00:01", "notice IP Address: 192.0.2.10",
          "notice Subnet Mask: 255.255.255.0", "notice Def. Gateway: 192.0.2.1", "notice IPv6 Address :2001:db8::10"}},
        // A missing member reads as an empty text; a missing IPv6 address clears the kept one.
        {R"({"dhcp":false,"ipAddress":"192.0.2.10"})",
         "",
         {"notice DHCP is disabled", "critical macAddress node not found in ", "notice MAC ID: ",
          "notice IP Address: 192.0.2.10", "critical subnetMask node not found in ", "notice Subnet Mask: ",
          "critical gatewayAddress node not found in ", "notice Def. Gateway: ",
          "critical ipv6Address node not found in ", "notice IPv6 Address :"}},
    };
    for (const Case &c : cases) {
        communicationConfig.setIpv6Address("fe80::1");
        tqrResponseReceived[tqrFlagEthernet] = 0;
        Lines lines;
        EXPECT_EQ(nameOf(parse(tqrParseEthernet, c.body, lines)), nameOf(Raised::Nothing));
        EXPECT_EQ(lines, c.lines) << c.body;
        EXPECT_EQ(communicationConfig.getIpv6Address(), c.ipv6);
        EXPECT_EQ(tqrResponseReceived[tqrFlagEthernet], 1);
    }
}

// ---- communication ----

std::string communicationBody(const std::string &type, const std::string &bacnetExtra = "",
                              const std::string &omit = "") {
    nlohmann::ordered_json bacnet = {{"port", 47809},        {"baseInstance", 1000},      {"baseName", "Meter"},
                                     {"network", 70000},     {"physicalnetwork", 2},      {"bbmdAddress", "192.0.2.1"},
                                     {"bbmdTtl", 300},       {"macAddress", 300},         {"maxMaster", 127},
                                     {"maxInfoFrames", 10},  {"bbmdIPv6Address", "::1"}, {"multiCastAddress", 3}};
    if (!bacnetExtra.empty()) {
        const nlohmann::ordered_json extra = nlohmann::ordered_json::parse(bacnetExtra);
        for (auto it = extra.begin(); it != extra.end(); ++it) {
            bacnet[it.key()] = it.value();
        }
    }
    if (!omit.empty()) {
        bacnet.erase(omit);
    }
    nlohmann::ordered_json root = {{"type", type},
                                   {"baudrate", 19200},
                                   {"modbus", {{"address", 4}, {"port", 1502}, {"baudrate", 9600}}},
                                   {"bacnet", bacnet}};
    return root.dump();
}

constexpr const char *kTqrModbus = R"({"address":4,"port":1502,"baudrate":9600})";

// The B/IP document with TQR's "modbus" member written as `modbus`.
std::string communicationBodyWithModbus(const std::string &modbus) {
    std::string body = communicationBody("bac_ip");
    return body.replace(body.find(kTqrModbus), std::string(kTqrModbus).size(), modbus);
}

// The B/IP document with the base name written as `name`.
std::string withBaseName(const std::string &name) {
    std::string body = communicationBody("bac_ip");
    return body.replace(body.find(R"("Meter")"), 7, name);
}

TEST(ConfigImport, CommunicationIsCheckedWholeBeforeAnythingIsStored) {
    struct Case {
        const char *name;
        std::string body;
        Raised raised;
        uint32_t type;
        uint32_t baud;
        const char *baseName; // nullptr: the record is left as it was
        // TQR's member as kept ("" none) and the one line logged, if any.
        const char *modbus = kTqrModbus;
        const char *line = nullptr;
        uint32_t baseInstance = 1000;
    } const cases[] = {
        {"B/IP", communicationBody("bac_ip"), Raised::Nothing, 1, 19200, "Meter"},
        {"Modbus TCP as TQR answers it", communicationBody("mb_tcp"), Raised::Nothing, 4, 19200, "Meter"},
        {"a name other than the six read ones", communicationBody("BAC_IP"), Raised::Nothing, 0, 19200, "Meter"},
        {"the baud rate of the bacnet object wins", communicationBody("bac_mstp", R"({"baudrate":76800})"),
         Raised::Nothing, 3, 76800, "Meter"},
        {"a baud rate that takes all 32 bits is kept whole",
         communicationBody("bac_mstp", R"({"baudrate":4294967295})"), Raised::Nothing, 3, 4294967295u, "Meter"},
        // Stored, it would go back to TQR as another number.
        {"a negative baud rate is passed over", communicationBody("bac_mstp", R"({"baudrate":-19200})"),
         Raised::Nothing, 3, 19200, "Meter", kTqrModbus, "critical baudrate in /config/communication out of range"},
        {"a baud rate past 32 bits is passed over", communicationBody("bac_mstp", R"({"baudrate":4294967296})"),
         Raised::Nothing, 3, 19200, "Meter", kTqrModbus, "critical baudrate in /config/communication out of range"},
        {"a base instance past 32 bits is passed over", communicationBody("bac_ip", R"({"baseInstance":-1})"),
         Raised::Nothing, 1, 19200, "Meter", kTqrModbus, "critical baseInstance in /config/communication out of range",
         77},
        {"an empty base name is named after the instance", communicationBody("bac_ip", R"({"baseName":""})"),
         Raised::Nothing, 1, 19200, "Device 1000"},
        {"a bacnet member missing", communicationBody("bac_ip", "", "network"), Raised::OutOfRange, 0, 0, nullptr},
        {"the type missing", R"({"bacnet":{}})", Raised::OutOfRange, 0, 0, nullptr},
        {"not JSON", "communication", Raised::InvalidArgument, 0, 0, nullptr},
        {"a modbus member of every kind of JSON value is kept as it came",
         communicationBodyWithModbus(R"({"name":"Z\u00e9ro \"1\"/\u00e9","list":[1.5e3,-0,true,null,{},[]]})"),
         Raised::Nothing, 1, 19200, "Meter",
         R"({"name":"Z\u00e9ro \"1\"/\u00e9","list":[1.5e3,-0,true,null,{},[]]})"},
        // Not JSON as it stands: it would go back verbatim in the PUT.
        {"a modbus member with a word that is none", communicationBodyWithModbus(R"({"address":4x})"),
         Raised::Nothing, 1, 19200, "Meter", "", "critical modbus in /config/communication isn't valid JSON"},
        {"a modbus member without a colon", communicationBodyWithModbus(R"({"address" 4})"), Raised::Nothing, 1,
         19200, "Meter", "", "critical modbus in /config/communication isn't valid JSON"},
        {"a modbus member with numbers JSON has not", communicationBodyWithModbus(R"({"address":04,"port":0x5DE})"),
         Raised::Nothing, 1, 19200, "Meter", "", "critical modbus in /config/communication isn't valid JSON"},
        {"a modbus member with an escape JSON has not", communicationBodyWithModbus(R"({"parity":"\x45"})"),
         Raised::Nothing, 1, 19200, "Meter", "", "critical modbus in /config/communication isn't valid JSON"},
        {"a modbus member with a tab in a string", communicationBodyWithModbus("{\"parity\":\"E\tN\"}"),
         Raised::Nothing, 1, 19200, "Meter", "", "critical modbus in /config/communication isn't valid JSON"},
        {"a modbus member with a trailing comma", communicationBodyWithModbus(R"({"address":4,})"), Raised::Nothing,
         1, 19200, "Meter", "", "critical modbus in /config/communication isn't valid JSON"},
        {"a modbus member that is no object is passed over", communicationBodyWithModbus("[4]"), Raised::Nothing, 1,
         19200, "Meter", ""},
        // A name is stored, served and sent back as one and the same text.
        {"a base name with a byte that is not UTF-8", withBaseName("\"M\xF4ter\""), Raised::InvalidArgument, 0, 0,
         nullptr},
        {"a byte escape in the base name is its Latin-1 letter", withBaseName(R"("M\xF4ter")"), Raised::Nothing, 1,
         19200, "M\xC3\xB4ter"},
    };
    for (const Case &c : cases) {
        CommunicationConfig before;
        before.type = 2;
        before.setBaseName("Earlier");
        before.setBaseInstance(77);
        before.setNetwork(5);
        communicationConfig = before;
        tqrResponseReceived[tqrFlagCommunication] = 0;
        Lines lines;
        EXPECT_EQ(nameOf(parse(tqrParseCommunication, c.body, lines)), nameOf(c.raised)) << c.name;
        if (c.baseName == nullptr) {
            EXPECT_EQ(communicationConfig.type, 2u) << c.name;
            EXPECT_EQ(communicationConfig.getBaseName(), "Earlier") << c.name;
            EXPECT_EQ(communicationConfig.getBaseInstance(), 77u) << c.name;
            EXPECT_EQ(communicationConfig.getNetwork(), 5u) << c.name;
            EXPECT_EQ(tqrResponseReceived[tqrFlagCommunication], 0) << c.name;
            EXPECT_EQ(lines.size(), 1u) << c.name;
            continue;
        }
        EXPECT_EQ(lines, c.line != nullptr ? Lines{c.line} : Lines{}) << c.name;
        EXPECT_EQ(tqrResponseReceived[tqrFlagCommunication], 1) << c.name;
        const CommunicationConfig &got = communicationConfig;
        EXPECT_EQ(got.type, c.type) << c.name;
        EXPECT_EQ(got.getBaudRate(), c.baud) << c.name;
        EXPECT_EQ(got.getBaseName(), c.baseName) << c.name;
        EXPECT_EQ(got.getUdpPort(), 47809);
        EXPECT_EQ(got.getBaseInstance(), c.baseInstance) << c.name;
        EXPECT_EQ(got.getNetwork(), 70000 & 0xFFFF);
        EXPECT_EQ(got.getPhysicalNetwork(), 2);
        EXPECT_EQ(got.getBbmdAddress(), "192.0.2.1");
        EXPECT_EQ(got.getBbmdTtl(), 300);
        EXPECT_EQ(got.getMacAddress(), 44); // 300 in 8 bits
        EXPECT_EQ(got.getMaxMaster(), 127);
        EXPECT_EQ(got.getMaxInfoFrames(), 10);
        EXPECT_EQ(got.getBbmdIpv6Address(), "::1");
        EXPECT_EQ(got.getMulticastScope(), 3);
        EXPECT_EQ(got.getModbus().toCompactText(), c.modbus) << c.name;
        // What goes back to TQR is JSON whatever TQR sent: its own member,
        // or the defaults when it had none that could go back.
        const std::string put = tqrCommunicationBody(got);
        ASSERT_TRUE(nlohmann::json::accept(put)) << c.name << ": " << put;
        EXPECT_EQ(nlohmann::json::parse(put)["modbus"].dump(),
                  *c.modbus != '\0' ? nlohmann::json::parse(c.modbus).dump()
                                    : R"({"address":1,"baudrate":19200,"port":502})")
            << c.name;
        EXPECT_EQ(nlohmann::json::parse(put)["bacnet"]["baseName"], c.baseName) << c.name;
    }
    Lines lines;
    parse(tqrParseCommunication, communicationBody("bac_ip", "", "maxMaster"), lines);
    EXPECT_EQ(lines, Lines{"critical maxMaster node not found in /config/communication"});
}

// ---- against TQR at 127.0.0.1:8160, in a network namespace of the test's own ----

class OwnTqr : public testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!tqr_testing::enterOwnNetworkNamespace(why)) {
            GTEST_SKIP() << "no network namespace of its own: " << why;
        }
        tqrGlobalInit();
        logSetLevel(6);
    }
    void startTqr() {
        tqr::Options options;
        options.port = tqrPort;
        standIn.emplace(options);
        standIn->start();
        control.emplace("127.0.0.1", tqrPort);
    }
    void stub(const std::string &what, const std::string &body) {
        auto res = control->Put(("/_stub/" + what).c_str(), body, "text/plain");
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << what;
    }
    void clearStubs() { ASSERT_TRUE(control->Delete("/_stub/endpoints")); }
    nlohmann::json requests() {
        auto res = control->Get("/_stub/log");
        EXPECT_TRUE(res);
        return res ? nlohmann::json::parse(res->body)["requests"] : nlohmann::json::array();
    }
    std::optional<tqr::StandIn> standIn;
    std::optional<tqr_testing::HttpClient> control;
};

TEST_F(OwnTqr, TheCommunicationFetchAsksAgainAfterEveryKindOfFailure) {
    communicationConfig = CommunicationConfig();
    // What goes wrong at each attempt; the attempt after the last succeeds.
    const std::vector<std::function<void()>> failures = {
        [] {}, // nothing listens yet
        [&] { stub("status/api/v1/config/communication", "500"); },
        [&] { stub("status/api/v1/config/communication", "204"); },
        [&] { stub("body/api/v1/config/communication", "garbage"); },
        [&] { stub("body/api/v1/config/communication", R"({"baudrate":9600})"); },
        [&] { stub("status/api/v1/config/communication", "404"); },
    };
    size_t pauses = 0;
    testing::internal::CaptureStdout();
    const int result = runtimeFetchCommunication([&] {
        ++pauses;
        if (pauses == 1) {
            startTqr();
        } else {
            clearStubs();
        }
        if (pauses < failures.size()) {
            failures[pauses]();
        }
        return true;
    });
    const Lines lines = textsOf(testing::internal::GetCapturedStdout());
    EXPECT_EQ(result, 1);
    EXPECT_EQ(pauses, failures.size());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "emergency Retrying TQR connection in 1 second."),
              static_cast<long>(failures.size()));
    EXPECT_EQ(tqrResponseReceived[tqrFlagCommunication], 1);
    EXPECT_EQ(communicationConfig.type, 1u);
    EXPECT_EQ(communicationConfig.getBaseInstance(), 1000u);
    EXPECT_EQ(communicationConfig.getBaseName(), "Meter");
}

TEST_F(OwnTqr, AStopEndsTheCommunicationFetch) {
    tqrResponseReceived[tqrFlagCommunication] = 1; // from an earlier start-up
    int attempts = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(runtimeFetchCommunication([&] {
                  ++attempts;
                  return false; // the pause ended by a stop
              }),
              0);
    EXPECT_EQ(attempts, 1);
    EXPECT_EQ(tqrResponseReceived[tqrFlagCommunication], 0);
    // The real pause ends at once once a stop was requested, and no request is made.
    std::thread stopper([] { runtimeRequestStop(); });
    stopper.join();
    EXPECT_EQ(runtimeFetchCommunication(), 0);
    testing::internal::GetCapturedStdout();
}

TEST_F(OwnTqr, TheSiteNameBecomesTheBaseNameAndIsPutBackOnlyWhenThisStartUpHasTqrsSettings) {
    startTqr();
    const std::string site = R"({"siteInfo":{"name":"%s","site":"S","addr1":"A1","addr2":"A2","loc1":"L1",
        "loc2":"L2","panel":"P","type":"T"},"defaults":{"backlight":100,"frequency":60,"demandWindow":15}})";
    const auto body = [&](const std::string &name) {
        std::string b = site;
        b.replace(b.find("%s"), 2, name);
        return b;
    };
    struct Case {
        const char *name;
        std::string body;
        bool received; // the communication configuration of this start-up
        const char *baseName;
        size_t puts;
    } const cases[] = {
        {"the same name", body("Meter"), true, "Meter", 0},
        {"another name", body("Plant 4"), true, "Plant 4", 1},
        {"an empty name", body(""), true, "No Panel Name", 1},
        {"another name without TQR's settings", body("Plant 5"), false, "Plant 5", 0},
    };
    for (const Case &c : cases) {
        communicationConfig = CommunicationConfig();
        communicationConfig.setBaseName("Meter");
        communicationConfig.setBaseInstance(1000);
        communicationConfig.type = 1;
        tqrResponseReceived[tqrFlagCommunication] = c.received ? 1 : 0;
        tqrResponseReceived[tqrFlagInfo] = 0;
        ASSERT_TRUE(control->Delete("/_stub/log"));
        Lines lines;
        EXPECT_EQ(nameOf(parse(tqrParseInfo, c.body, lines)), nameOf(Raised::Nothing)) << c.name;
        EXPECT_EQ(tqrResponseReceived[tqrFlagInfo], 1) << c.name;
        EXPECT_EQ(siteInfo.getName(), c.baseName) << c.name;
        EXPECT_EQ(communicationConfig.getBaseName(), c.baseName) << c.name;
        EXPECT_EQ(siteInfo.getAddress(), "A1A2");
        EXPECT_EQ(siteInfo.getLocation(), "L1 L2");
        EXPECT_EQ(siteInfo.getPanel(), "P");
        EXPECT_EQ(siteInfo.getType(), "T");
        const nlohmann::json sent = requests();
        ASSERT_EQ(sent.size(), c.puts) << c.name << " " << sent.dump();
        if (c.puts == 1) {
            EXPECT_EQ(sent[0]["method"], "PUT");
            EXPECT_EQ(sent[0]["target"], "/api/v1/config/communication");
            const auto put = nlohmann::json::parse(sent[0]["body"].get<std::string>());
            EXPECT_EQ(put["bacnet"]["baseName"], c.baseName);
            EXPECT_EQ(put["bacnet"]["baseInstance"], 1000);
            EXPECT_EQ(put["type"], "bac_ip");
        }
        EXPECT_EQ(contains(lines, "warning Site name not sent to TQR: its communication configuration did not arrive"),
                  !c.received)
            << c.name;
        // The defaults are logged, the missing one with its line.
        EXPECT_TRUE(contains(lines, "notice Backlight level is 100")) << c.name;
        EXPECT_TRUE(contains(lines, "critical powerFactorSign node not found in /config/info")) << c.name;
        EXPECT_TRUE(contains(lines, "notice Demand Window is 15")) << c.name;
    }

    // Texts missing: nothing of the site is stored.
    siteInfo.setName("kept");
    siteInfo.setPanel("kept");
    tqrResponseReceived[tqrFlagInfo] = 0;
    Lines lines;
    EXPECT_EQ(nameOf(parse(tqrParseInfo, R"({"siteInfo":{"name":"New","site":"S"}})", lines)),
              nameOf(Raised::OutOfRange));
    EXPECT_EQ(lines, Lines{"critical addr1 node not found in /config/info"});
    EXPECT_EQ(siteInfo.getName(), "kept");
    EXPECT_EQ(siteInfo.getPanel(), "kept");
    EXPECT_EQ(tqrResponseReceived[tqrFlagInfo], 0);
}

} // namespace
