// The alarm import on TQR alarm lists, against the TQR stand-in at TQR's
// own address in a network namespace of the test's own: the settings each
// alarm type gives its objects, the entries they carry, and the states and
// list PUT back.
#include <gtest/gtest.h>
#include "http_client.h"

#include <optional>

#include "import_fixture.h"
#include "netns.h"
#include "runtime/tqr/config_import.h"
#include "tqr/standin.h"

namespace {

using namespace importtest;
using devtest::DeviceTest;

json alarm(int id, int source, int type, double setPoint, double deadband = 0, int delay = 5, int state = 2) {
    return {{"id", id},
            {"vinLineLoadOrCt", source},
            {"setPoint", setPoint},
            {"deadband", deadband},
            {"delay", delay},
            {"type", type},
            {"state", state},
            {"led", true},
            {"relay", false}};
}

// The element the import sends back for an alarm, in its key order.
json sentBack(const json &a, double setPoint, int state = 2) {
    return {{"id", a["id"]},
            {"vinLineLoadOrCt", a["vinLineLoadOrCt"]},
            {"led", a["led"]},
            {"relay", a["relay"]},
            {"type", a["type"]},
            {"state", state},
            {"delay", a["delay"]},
            {"setPoint", setPoint},
            {"deadband", a["deadband"]}};
}

class AlarmImport : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        std::string why;
        if (!tqr_testing::enterOwnNetworkNamespace(why)) {
            GTEST_SKIP() << "no network namespace of its own: " << why;
        }
        tqrGlobalInit();
        tqr::Options options;
        options.port = tqrPort;
        standIn.emplace(options);
        standIn->start();
        control.emplace("127.0.0.1", tqrPort);
        // Loads 0 and 1 on the first input (CTs 1..3, 4..5), load 2 on the
        // second (CT 6); the second input is a 208 V delta.
        json doc = meterMapping();
        doc["inputs"][1]["service"] = 2;
        doc["inputs"][1]["voltage"] = 208;
        importMapping(doc);
        std::filesystem::create_directories(root.host("/config/talvik/inputs/0"));
        std::filesystem::create_directories(root.host("/config/talvik/inputs/1"));
        for (int id = 0; id < 3; ++id) {
            std::filesystem::create_directories(root.host("/config/talvik/loads/" + std::to_string(id)));
        }
    }

    // Runs the import on the alarm list; the requests TQR saw, as
    // (method + target, body).
    std::vector<std::pair<std::string, json>> run(const json &alarms, Raised expected = Raised::Nothing,
                                                  Lines *lines = nullptr) {
        control->Delete("/_stub/log");
        tqrResponseReceived[tqrFlagAlarms] = 0;
        EXPECT_EQ(nameOf(parse(tqrParseAlarms, alarms.dump(), lines)), nameOf(expected)) << alarms.dump();
        std::vector<std::pair<std::string, json>> seen;
        auto res = control->Get("/_stub/log");
        EXPECT_TRUE(res);
        if (res) {
            const json log = json::parse(res->body);
            for (const auto &r : log["requests"]) {
                seen.emplace_back(r["method"].get<std::string>() + " " + r["target"].get<std::string>(),
                                  r.contains("body") ? json::parse(r["body"].get<std::string>()) : json());
            }
        }
        return seen;
    }

    // The list PUT back, or null when none was sent.
    static json listPut(const std::vector<std::pair<std::string, json>> &seen) {
        for (const auto &[request, body] : seen) {
            if (request == "PUT /api/v1/config/alarms") {
                return body;
            }
        }
        return json();
    }

    Load &load(int32_t vdi) { return *loadMapping.at(vdi); }

    std::optional<tqr::StandIn> standIn;
    std::optional<tqr_testing::HttpClient> control;
};

TEST_F(AlarmImport, TheExampleAlarmIsResetConfiguredAndSentBack) {
    const json a = {{"id", 3},    {"vinLineLoadOrCt", 2}, {"type", 10},     {"setPoint", 80}, {"deadband", 2},
                    {"delay", 5}, {"led", true},          {"relay", false}, {"state", 5}};
    Lines lines;
    const auto seen = run(json::array({a}), Raised::Nothing, &lines);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, "PUT /api/v1/config/alarm/3/state");
    EXPECT_EQ(seen[0].second, json({{"state", 2}}));
    EXPECT_EQ(
        seen[1].second.dump(),
        R"([{"id":3,"vinLineLoadOrCt":2,"led":true,"relay":false,"type":10,"state":2,"delay":5,"setPoint":80,"deadband":2}])");
    EXPECT_TRUE(contains(lines, "notice Portal alarms successfully updated."));
    EXPECT_EQ(tqrResponseReceived[tqrFlagAlarms], 1);

    AnalogInput &amps = *load(1003).analogInput(9);
    EXPECT_TRUE(amps.isHighLimitEnabled());
    EXPECT_EQ(amps.getHighLimit(), 80);
    EXPECT_EQ(amps.getDeadband(), 2);
    EXPECT_EQ(amps.getTimeDelay(), 5u);
    EXPECT_EQ(amps.getTimeDelayNormal(), 5u);
    EXPECT_EQ(amps.getTimeDelayRemaining(), 5000u);
    EXPECT_TRUE(amps.getEventDetectionEnable());
    EXPECT_FALSE(amps.getEventAlgorithmInhibit());
    EXPECT_TRUE(amps.isToOffnormalEventEnabled());
    EXPECT_TRUE(amps.isToNormalEventEnabled());
    EXPECT_EQ(load(1003).notificationClass().getRecipientCount(), 1u);
    ASSERT_EQ(amps.alarmEntries.size(), 1u);
    const AlarmEntry &entry = *amps.alarmEntries[0];
    EXPECT_EQ(entry.getId(), 3);
    EXPECT_EQ(entry.getState(), 2);
    EXPECT_EQ(entry.getSourceIndex(), 2);
    EXPECT_EQ(entry.getSourceKind(), 0);
    EXPECT_EQ(entry.followedStates, (std::vector<int32_t>{2, 6}));
}

enum Limit { Low, High };

TEST_F(AlarmImport, EachTypeConfiguresItsObjects) {
    const struct {
        const char *what;
        json alarm;
        std::vector<MeasuredValue *> objects;
        Limit limit;
        double value;
        double deadband;
        uint32_t delay;
        std::vector<int32_t> followed;
        int32_t kind;
        double sentSetPoint;
    } cases[] = {
        {"0: load real power high, single precision back",
         alarm(1, 0, 0, 100.1, 1.5, 7),
         {load(1001).analogInput(8)},
         High,
         100.1,
         1.5,
         7,
         {2, 6},
         0,
         static_cast<float>(100.1)},
        {"1: load real power low",
         alarm(1, 1, 1, -20, 1, 3),
         {load(1002).analogInput(8)},
         Low,
         -20,
         1,
         3,
         {2, 5},
         0,
         -20},
        {"2: input energy pair",
         alarm(1, 0, 2, 5000, 9),
         {&inputMapping.at(0)->totalEnergy(), &inputMapping.at(0)->totalEnergySingle()},
         High,
         5000,
         0,
         5,
         {2, 6},
         1,
         5000},
        {"3: load energy pair",
         alarm(1, 2, 3, 7000, 9),
         {load(1003).largeAnalogValue(1), load(1003).analogInput(140)},
         High,
         7000,
         0,
         5,
         {2, 6},
         0,
         7000},
        {"4: CT real power at once, below 0",
         alarm(1, 4, 4, 50, 3, 9),
         {load(1002).analogInput(62)},
         Low,
         0,
         0,
         0,
         {2, 5},
         2,
         50},
        {"5: CT amperage low",
         alarm(1, 1, 5, 2.5, 3, 4),
         {load(1001).analogInput(60)},
         Low,
         2.5,
         0,
         4,
         {2, 5},
         2,
         2.5},
        {"6: CT amperage high",
         alarm(1, 5, 6, 90, 3, 4),
         {load(1003).analogInput(30)},
         High,
         90,
         0,
         4,
         {2, 6},
         2,
         90},
        {"7: unbalance on a wye input",
         alarm(1, 0, 7, 15, 3),
         {load(1001).analogInput(16)},
         High,
         15,
         0,
         5,
         {2, 6},
         0,
         15},
        {"8: a line of the second input (delta: line-to-line)",
         alarm(1, 4, 8, 90, 3),
         {inputMapping.at(1)->analogInput(4)},
         Low,
         0.9 * 208,
         0,
         5,
         {2, 5},
         3,
         90},
        {"9: 110 % of 120 V",
         alarm(1, 0, 9, 110),
         {inputMapping.at(0)->analogInput(0)},
         High,
         132,
         0,
         5,
         {2, 6},
         3,
         110},
        {"11: peak demand",
         alarm(1, 0, 11, 40, 2),
         {load(1001).analogInput(15)},
         High,
         40,
         2,
         5,
         {2, 6},
         0,
         40},
        {"12: power factor in percent",
         alarm(1, 1, 12, 85, 2),
         {load(1002).analogInput(11)},
         Low,
         0.85,
         0,
         5,
         {2, 5},
         0,
         85},
    };
    for (const auto &c : cases) {
        const auto seen = run(json::array({c.alarm}));
        for (MeasuredValue *o : c.objects) {
            const std::string what = std::string(c.what) + ": " + o->getObjectName();
            EXPECT_EQ(c.limit == High ? o->isHighLimitEnabled() : o->isLowLimitEnabled(), true) << what;
            EXPECT_EQ(c.limit == High ? o->isLowLimitEnabled() : o->isHighLimitEnabled(), false) << what;
            EXPECT_NEAR(c.limit == High ? o->getHighLimit() : o->getLowLimit(), c.value, 1e-9) << what;
            EXPECT_EQ(o->getDeadband(), c.deadband) << what;
            EXPECT_EQ(o->getTimeDelay(), c.delay) << what;
            EXPECT_TRUE(o->getEventDetectionEnable()) << what;
            ASSERT_EQ(o->alarmEntries.size(), 1u) << what;
            EXPECT_EQ(o->alarmEntries[0]->followedStates, c.followed) << what;
            EXPECT_EQ(o->alarmEntries[0]->getSourceKind(), c.kind) << what;
            // The next case starts from no alarm.
            o->clearAlarmEntries();
        }
        const json put = listPut(seen);
        ASSERT_EQ(put.size(), 1u) << c.what;
        EXPECT_NEAR(put[0]["setPoint"].get<double>(), c.sentSetPoint, 1e-6) << c.what;
    }
}

TEST_F(AlarmImport, AlarmsWithoutTheirObjectConfigureNothingAndStillGoBack) {
    inputMapping.at(0)->setService(5);
    const json alarms = json::array({
        alarm(1, 0, 7, 15),   // unbalance on a single-phase input
        alarm(2, 9, 0, 10),   // no load 9
        alarm(3, 40, 5, 10),  // no CT 41
        alarm(4, 7, 9, 110),  // line index 4 of the second input
        alarm(5, 1, 13, 10),  // no such type
        7,                    // no alarm at all
        "x",
    });
    const auto seen = run(alarms);
    ASSERT_EQ(listPut(seen).size(), 7u);
    EXPECT_EQ(listPut(seen)[5], 7);
    EXPECT_EQ(listPut(seen)[6], "x");
    EXPECT_FALSE(load(1001).analogInput(16)->isHighLimitEnabled());
    EXPECT_TRUE(load(1001).analogInput(16)->alarmEntries.empty());
    for (const auto &[vdi, l] : loadMapping) {
        for (const auto &[id, object] : l->getObjectMap()) {
            EXPECT_TRUE(object->alarmEntries.empty()) << object->getObjectName();
        }
    }
    EXPECT_EQ(listPut(seen)[4], sentBack(alarms[4], 10));
}

// A voltage input that is not configured costs its alarm only: the later
// alarms are configured and the whole list goes back.
TEST_F(AlarmImport, AMissingVoltageInputCostsOnlyItsAlarm) {
    devtest::resetMeter();
    importMapping(
        mapping(json::array({importtest::load(0, 1001, 1, json::array({ct(6)}))}), json::array({input(0)})));
    std::filesystem::create_directories(root.host("/config/talvik/loads/0"));
    std::filesystem::create_directories(root.host("/config/talvik/inputs/0"));
    json lacking = alarm(9, 0, 10, 5);
    lacking.erase("relay");
    const json alarms = json::array({alarm(1, 0, 7, 15), alarm(2, 3, 9, 110), lacking, alarm(3, 0, 10, 80)});
    const auto seen = run(alarms);
    EXPECT_EQ(tqrResponseReceived[tqrFlagAlarms], 1);
    const json put = listPut(seen);
    ASSERT_EQ(put.size(), 4u);
    EXPECT_EQ(put[0], sentBack(alarms[0], 15));
    EXPECT_EQ(put[1], sentBack(alarms[1], 110));
    // Lacking a key: back as received, nothing configured.
    EXPECT_EQ(put[2], lacking);
    AnalogInput &amps = *loadMapping.at(1001)->analogInput(9);
    EXPECT_TRUE(amps.isHighLimitEnabled());
    EXPECT_EQ(amps.getHighLimit(), 80);
    ASSERT_EQ(amps.alarmEntries.size(), 1u);
    EXPECT_EQ(amps.alarmEntries[0]->getId(), 3);
    EXPECT_FALSE(loadMapping.at(1001)->analogInput(16)->isHighLimitEnabled());
}

TEST_F(AlarmImport, PartnersOnTheOtherLimitTakeWhatIsInEffect) {
    const struct {
        const char *what;
        json first, second;
        json firstBack;
    } cases[] = {
        {"load real power", alarm(1, 0, 0, 50, 1, 5), alarm(2, 0, 1, 10, 2, 8),
         sentBack(alarm(1, 0, 0, 50, 2, 8), 50)},
        {"CT amperage: no deadband", alarm(1, 0, 6, 90, 1, 5), alarm(2, 0, 5, 10, 2, 8),
         sentBack(alarm(1, 0, 6, 90, 0, 8), 90)},
        {"line voltage in percent", alarm(1, 1, 9, 110, 1, 5), alarm(2, 1, 8, 90, 2, 8),
         sentBack(alarm(1, 1, 9, 110, 2, 8), 110)},
    };
    for (const auto &c : cases) {
        const json put = listPut(run(json::array({c.first, c.second})));
        ASSERT_EQ(put.size(), 2u) << c.what;
        EXPECT_EQ(put[0]["delay"], c.firstBack["delay"]) << c.what;
        EXPECT_EQ(put[0]["deadband"], c.firstBack["deadband"]) << c.what;
        EXPECT_NEAR(put[0]["setPoint"].get<double>(), c.firstBack["setPoint"].get<double>(), 1e-4) << c.what;
    }
    // Both limits stand on the object, with the later alarm's delays.
    AnalogInput &power = *load(1001).analogInput(8);
    power.clearAlarmEntries();
    run(json::array({cases[0].first, cases[0].second}));
    EXPECT_TRUE(power.isHighLimitEnabled() && power.isLowLimitEnabled());
    EXPECT_EQ(power.getHighLimit(), 50);
    EXPECT_EQ(power.getLowLimit(), 10);
    EXPECT_EQ(power.getTimeDelay(), 8u);
    EXPECT_EQ(power.alarmEntries.size(), 2u);
}

TEST_F(AlarmImport, StatesAndTheReset) {
    // Limits of alarms no longer configured start disabled.
    for (AnalogInput *o :
         {load(1001).analogInput(8), load(1002).analogInput(62), inputMapping.at(1)->analogInput(5)}) {
        o->enableHighLimit();
        o->enableLowLimit();
    }
    EXPECT_TRUE(run(json::array()).empty());
    EXPECT_EQ(tqrResponseReceived[tqrFlagAlarms], 1);
    for (AnalogInput *o :
         {load(1001).analogInput(8), load(1002).analogInput(62), inputMapping.at(1)->analogInput(5)}) {
        EXPECT_FALSE(o->isHighLimitEnabled() || o->isLowLimitEnabled()) << o->getObjectName();
    }

    const struct {
        int state;
        bool reset;
    } states[] = {{2, false}, {3, true}, {4, true}, {6, true}, {7, false}, {0, false}};
    for (const auto &s : states) {
        const auto seen = run(json::array({alarm(4, 0, 10, 5, 0, 1, s.state)}));
        ASSERT_EQ(seen.size(), s.reset ? 2u : 1u) << s.state;
        if (s.reset) {
            EXPECT_EQ(seen[0].first, "PUT /api/v1/config/alarm/4/state");
        }
        EXPECT_EQ(listPut(seen)[0]["state"], s.reset ? 2 : s.state) << s.state;
        load(1001).analogInput(9)->clearAlarmEntries();
    }

    // Not JSON: nothing reset, nothing sent, the flag clear.
    load(1001).analogInput(8)->enableHighLimit();
    Lines lines;
    control->Delete("/_stub/log");
    tqrResponseReceived[tqrFlagAlarms] = 0;
    EXPECT_EQ(nameOf(parse(tqrParseAlarms, "[{", &lines)), nameOf(Raised::InvalidArgument));
    EXPECT_EQ(lines, Lines{"emergency /api/v1/config/alarms return isn't valid JSON"});
    EXPECT_TRUE(load(1001).analogInput(8)->isHighLimitEnabled());
    EXPECT_EQ(tqrResponseReceived[tqrFlagAlarms], 0);
}

// What the alarms set is in the state files when the import ends, for the
// second load of the start-up to find.
TEST_F(AlarmImport, TheSettingsAreSavedForTheNextLoad) {
    run(json::array({alarm(1, 0, 10, 80, 2), alarm(2, 0, 9, 110)}));
    json doc = meterMapping();
    doc["inputs"][1]["service"] = 2;
    devtest::clearSets();
    importMapping(doc);
    for (auto &[vdi, l] : loadMapping) {
        l->loadObjects();
    }
    inputMapping.at(0)->loadObjects();
    EXPECT_EQ(load(1001).analogInput(9)->getHighLimit(), 80);
    EXPECT_EQ(load(1001).analogInput(9)->getDeadband(), 2);
    EXPECT_EQ(inputMapping.at(0)->analogInput(0)->getHighLimit(), 132);
}

}  // namespace
