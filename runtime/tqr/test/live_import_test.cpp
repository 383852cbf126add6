// The live-data import on TQR answers: where each value goes, how it is
// converted, and what a missing key, set or voltage input costs.
#include <gtest/gtest.h>

#include <cmath>

#include "import_fixture.h"

namespace {

using namespace importtest;
using devtest::DeviceTest;

double f(double v) {
    return static_cast<float>(v);
}

// A CT entry: "a" as given, then 1000, 2000, ... in the order of keys
// below, "ph" 1 radian.
json ctValues(double a, bool en = true) {
    json c = {{"en", en}};
    const char *keys[] = {"a",
                          "p",
                          "s",
                          "q",
                          "wh",
                          "vah",
                          "varh",
                          "wh_out",
                          "wh_in",
                          "vah_in",
                          "vah_out",
                          "varh_cap_dis",
                          "varh_cap_gen",
                          "varh_ind_dis",
                          "varh_ind_gen",
                          "thd",
                          "demand",
                          "pd",
                          "apf",
                          "dpf",
                          "ph"};
    double v = a;
    for (const char *key : keys) {
        c[key] = v;
        v = key == std::string("a") ? 1000 : v + 1000;
    }
    c["a"] = a;
    c["ph"] = 1.0;
    return c;
}

json loadValues(int id, double totA, json cts) {
    json e = {{"id", id},       {"tot_p", 12345}, {"tot_a", totA},  {"tot_s", 2000},  {"tot_q", 3000},
              {"tot_apf", 0.9}, {"tot_dpf", 0.8}, {"tot_thd", 4.5}, {"tot_pd", 7000}, {"tot_demand", 6000}};
    const char *energies[] = {"tot_wh",           "tot_vah",          "tot_varh",        "tot_wh_in",
                              "tot_wh_out",       "tot_vah_in",       "tot_vah_out",     "tot_varh_cap_dis",
                              "tot_varh_ind_dis", "tot_varh_cap_gen", "tot_varh_ind_gen"};
    double v = 100000;
    for (const char *key : energies) {
        e[key] = v;
        v += 100000;
    }
    e["cts"] = std::move(cts);
    return e;
}

std::string loadsBody(json entries) {
    return json({{"load", std::move(entries)}}).dump();
}

class LiveImport : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        importMapping(meterMapping());
    }
    Load &load(int32_t vdi) { return *loadMapping.at(vdi); }
};

TEST_F(LiveImport, LoadTotalsAndCtValuesReachTheirObjects) {
    Input &in = *inputMapping.at(0);
    for (size_t p = 0; p < 6; ++p) {
        in.analogInput(p)->setPresentValue(120.0 + p);
    }
    in.analogInput(12)->setPresentValue(60.0);
    const std::string body =
        loadsBody(json::array({loadValues(0, 30, json::array({ctValues(9), ctValues(10), ctValues(11)}))}));
    ASSERT_EQ(nameOf(parse(tqrParseLoadData, body)), nameOf(Raised::Nothing));
    EXPECT_EQ(tqrResponseReceived[tqrFlagLoadData], 1);
    Load &l = load(1001);
    const struct {
        const char *what;
        MeasuredValue *object;
        double value;
    } cases[] = {
        {"kW", l.analogInput(8), 12.345},
        {"A", l.analogInput(9), 30},
        {"L1-N from the input", l.analogInput(1), 120},
        {"L3-L1 from the input", l.analogInput(6), 125},
        {"frequency from the input", l.analogInput(7), 60},
        {"kVA", l.analogInput(13), 2},
        {"kvar", l.analogInput(10), 3},
        {"aPF", l.analogInput(11), f(0.9)},
        {"THD", l.analogInput(14), f(4.5)},
        {"peak demand", l.analogInput(15), 7},
        {"present demand", l.analogInput(17), 6},
        {"kWh FP64", l.largeAnalogValue(1), 100},
        {"kWh", l.analogInput(140), 100},
        {"import kWh+", l.largeAnalogValue(5), 400},
        {"export kWh-", l.largeAnalogValue(4), 500},
        {"Q4 (cap dis)", l.largeAnalogValue(9), 800},
        {"Q1 (ind dis)", l.largeAnalogValue(11), 900},
        {"Q3 (cap gen)", l.analogInput(147), 1000},
        {"Q2 (ind gen)", l.analogInput(149), 1100},
        {"received = Q3 + Q4", l.largeAnalogValue(13), 1800},
        {"received single", l.analogInput(152), 1800},
        {"delivered = Q1 + Q2", l.largeAnalogValue(12), 2000},
        {"delivered single", l.analogInput(151), 2000},
        {"unbalance", l.analogInput(16), 10},
        {"CT 1 amperage", l.analogInput(30), 9},
        {"CT 1 real power", l.analogInput(32), 1},
        {"CT 1 kWh", l.analogInput(38), 4},
        {"CT 1 kvarh", l.analogInput(39), 6},
        {"CT 1 Q3 (cap gen)", l.analogInput(45), 12},
        {"CT 1 Q4 (cap dis)", l.analogInput(46), 11},
        {"CT 1 received = Q3 + Q4", l.analogInput(52), 23},
        {"CT 1 delivered = Q1 + Q2", l.analogInput(51), 13 + 14},
        {"CT 1 distortion", l.analogInput(35), 15000},
        {"CT 1 peak demand", l.analogInput(49), 17},
        {"CT 1 dPF", l.analogInput(37), 19000},
        {"CT 1 phase angle in degrees", l.analogInput(50), f(57.29577951308232)},
        {"CT 3 amperage", l.analogInput(90), 11},
    };
    for (const auto &c : cases) {
        EXPECT_DOUBLE_EQ(c.object->getPresentValue(), c.value) << c.what;
    }
    // Another load's objects stay.
    EXPECT_EQ(load(1002).analogInput(8)->getPresentValue(), 0.0);
}

TEST_F(LiveImport, CurrentUnbalance) {
    const struct {
        const char *what;
        int service;
        double totA;
        json cts;
        double unbalance;
    } cases[] = {
        {"wye", 1, 30, json::array({ctValues(9), ctValues(10), ctValues(11)}), 10},
        {"delta", 2, 30, json::array({ctValues(9), ctValues(10), ctValues(11)}), 10},
        {"single phase", 5, 30, json::array({ctValues(9), ctValues(10), ctValues(11)}), 0},
        {"a disabled CT does not count", 1, 20, json::array({ctValues(9), ctValues(50, false), ctValues(11)}),
         10},
        {"a fourth CT does not count", 1, 30,
         json::array({ctValues(9), ctValues(10), ctValues(11), ctValues(500)}), 10},
        {"no CTs", 1, 30, json::array(), 0},
        {"no current", 1, 0, json::array({ctValues(0), ctValues(0), ctValues(0)}), 0},
        {"every CT disabled", 1, 30, json::array({ctValues(9, false), ctValues(10, false)}), 0},
    };
    for (const auto &c : cases) {
        inputMapping.at(0)->setService(c.service);
        load(1001).analogInput(16)->setPresentValue(-1);
        parse(tqrParseLoadData, loadsBody(json::array({loadValues(0, c.totA, c.cts)})));
        EXPECT_DOUBLE_EQ(load(1001).analogInput(16)->getPresentValue(), c.unbalance) << c.what;
    }
}

TEST_F(LiveImport, TheTwoSpellingsOfDistortionAndPeakDemand) {
    const struct {
        std::vector<std::pair<const char *, double>> keys;
        double thd, pd;
    } cases[] = {
        {{{"tot_thd", 3}, {"tot_Thd", 9}, {"tot_pd", 5000}, {"tot_Pd", 9000}}, 3, 5},
        {{{"tot_Thd", 9}, {"tot_Pd", 9000}}, 9, 9},
        {{}, 0, 0},
    };
    for (const auto &c : cases) {
        json entry = loadValues(0, 30, json::array());
        entry.erase("tot_thd");
        entry.erase("tot_pd");
        for (const auto &[key, v] : c.keys) {
            entry[key] = v;
        }
        parse(tqrParseLoadData, loadsBody(json::array({entry})));
        EXPECT_DOUBLE_EQ(load(1001).analogInput(14)->getPresentValue(), c.thd) << entry.dump();
        EXPECT_DOUBLE_EQ(load(1001).analogInput(15)->getPresentValue(), c.pd) << entry.dump();
    }
}

TEST_F(LiveImport, AnObjectOutOfServiceKeepsAClientsValueWhichStillCounts) {
    Load &l = load(1001);
    for (MeasuredValue *o :
         std::initializer_list<MeasuredValue *>{l.analogInput(8), l.largeAnalogValue(8), l.analogInput(30)}) {
        o->setOutOfService(true);
    }
    l.analogInput(8)->setPresentValue(-5);
    l.largeAnalogValue(8)->setPresentValue(1);
    l.analogInput(30)->setPresentValue(20);
    parse(
        tqrParseLoadData,
        loadsBody(json::array({loadValues(0, 30, json::array({ctValues(9), ctValues(10), ctValues(11)}))})));
    EXPECT_EQ(l.analogInput(8)->getPresentValue(), -5);
    EXPECT_EQ(l.analogInput(9)->getPresentValue(), 30);
    EXPECT_EQ(l.largeAnalogValue(13)->getPresentValue(), 1 + 800);
    EXPECT_EQ(l.analogInput(30)->getPresentValue(), 20);
    // The received 9 A counts, not the client's 20.
    EXPECT_DOUBLE_EQ(l.analogInput(16)->getPresentValue(), 10);
}

// A fault in one entry costs that entry only: the entries after it are
// stored, every second.
TEST_F(LiveImport, AnEntryThatCannotBeStoredCostsOnlyItself) {
    json noPower = loadValues(0, 30, json::array());
    noPower.erase("tot_q");
    json ctWithoutAngle = ctValues(9);
    ctWithoutAngle.erase("ph");
    json noId = loadValues(0, 30, json::array());
    noId.erase("id");
    const struct {
        const char *what;
        json first;
        const char *line;
    } cases[] = {
        {"a total missing", noPower, "critical tot_q node not found in /data/loads"},
        {"a CT value missing", loadValues(0, 30, json::array({ctValues(9), ctWithoutAngle})),
         "critical ph node not found in /data/loads"},
        {"no id", noId, "critical id node not found in /data/loads"},
        {"an entry matching no load", loadValues(77, 30, json::array()), nullptr},
    };
    for (const auto &c : cases) {
        devtest::resetMeter();
        importMapping(meterMapping());
        tqrResponseReceived[tqrFlagLoadData] = 0;
        Lines lines;
        const std::string body = loadsBody(json::array({c.first, loadValues(1, 30, json::array())}));
        EXPECT_EQ(nameOf(parse(tqrParseLoadData, body, &lines)), nameOf(Raised::Nothing)) << c.what;
        // Nothing of the bad entry, not even its first totals.
        EXPECT_EQ(load(1001).analogInput(8)->getPresentValue(), 0.0) << c.what;
        EXPECT_EQ(load(1001).analogInput(30)->getPresentValue(), 0.0) << c.what;
        EXPECT_DOUBLE_EQ(load(1002).analogInput(8)->getPresentValue(), 12.345) << c.what;
        EXPECT_EQ(tqrResponseReceived[tqrFlagLoadData], 1) << c.what;
        if (c.line != nullptr) {
            EXPECT_TRUE(contains(lines, c.line)) << c.what;
        }
    }
}

TEST_F(LiveImport, ALoadOnAVoltageInputThatIsNotConfiguredGetsNoVoltages) {
    devtest::resetMeter();
    importMapping(mapping(json::array({importtest::load(0, 1001, 1, json::array({ct(6)})),
                                       importtest::load(1, 1002, 0, json::array())}),
                          json::array({input(0)})));
    inputMapping.at(0)->analogInput(0)->setPresentValue(120);
    const std::string body = loadsBody(json::array(
        {loadValues(0, 30, json::array({ctValues(9), ctValues(10)})), loadValues(1, 30, json::array())}));
    EXPECT_EQ(nameOf(parse(tqrParseLoadData, body)), nameOf(Raised::Nothing));
    Load &orphan = load(1001);
    EXPECT_DOUBLE_EQ(orphan.analogInput(8)->getPresentValue(), 12.345);
    EXPECT_EQ(orphan.analogInput(1)->getPresentValue(), 0.0);
    EXPECT_EQ(orphan.analogInput(30)->getPresentValue(), 9);
    EXPECT_EQ(orphan.analogInput(16)->getPresentValue(), 0.0);
    EXPECT_EQ(load(1002).analogInput(1)->getPresentValue(), 120);
    EXPECT_EQ(tqrResponseReceived[tqrFlagLoadData], 1);
}

TEST_F(LiveImport, TheLoadMemberInAnySpellingAndBodiesThatCannotBeRead) {
    const struct {
        std::string body;
        Raised raised;
        bool stored;
        std::vector<std::string> lines;
    } cases[] = {
        {json({{"LOAD", json::array({loadValues(0, 30, json::array())})}}).dump(), Raised::Nothing, true, {}},
        {json({{"Load", json::array({loadValues(0, 30, json::array())})}}).dump(), Raised::Nothing, true, {}},
        {R"({"loads":[]})", Raised::Nothing, false, {"emergency No load in /data/loads."}},
        {R"({"load":[)",
         Raised::InvalidArgument,
         false,
         {"emergency /api/v1/data/loads return isn't valid JSON"}},
    };
    for (const auto &c : cases) {
        load(1001).analogInput(8)->setPresentValue(0);
        tqrResponseReceived[tqrFlagLoadData] = 0;
        Lines lines;
        EXPECT_EQ(nameOf(parse(tqrParseLoadData, c.body, &lines)), nameOf(c.raised)) << c.body;
        EXPECT_EQ(load(1001).analogInput(8)->getPresentValue() != 0.0, c.stored) << c.body;
        EXPECT_EQ(tqrResponseReceived[tqrFlagLoadData], c.stored ? 1 : 0) << c.body;
        EXPECT_EQ(lines, c.lines) << c.body;
    }
}

// ---- voltage inputs ----

std::string inputsBody(json entries) {
    return json({{"Input", std::move(entries)}}).dump();
}

json inputValues(int id, bool en = true) {
    return {{"id", id},
            {"en", en},
            {"freq", 60.5},
            {"lines", json::array({{{"v", 121}, {"v_ll", 209}, {"ph", 1.0}, {"thd", 2}},
                                   {{"v", 122}},
                                   {{"v", 123}, {"v_ll", 211}},
                                   {{"v", 999}}})}};
}

TEST_F(LiveImport, InputValuesAndTheEnergyOfTheLoadsItFeeds) {
    load(1001).largeAnalogValue(1)->setPresentValue(10);
    load(1002).largeAnalogValue(1)->setPresentValue(32);
    load(1003).largeAnalogValue(1)->setPresentValue(5);
    Input &first = *inputMapping.at(0);
    Input &second = *inputMapping.at(1);
    second.analogInput(6)->setUnits(103);
    second.totalEnergy().setPresentValue(-1);
    ASSERT_EQ(nameOf(parse(tqrParseInputData, inputsBody(json::array({inputValues(0), inputValues(7)})))),
              nameOf(Raised::Nothing));
    EXPECT_EQ(tqrResponseReceived[tqrFlagInputData], 1);
    const struct {
        const char *what;
        MeasuredValue *object;
        double value;
    } cases[] = {
        {"energy of the two loads on input 0", &first.totalEnergy(), 42},
        {"its single-precision twin", &first.totalEnergySingle(), 42},
        {"no load on id 7: kept", &second.totalEnergy(), -1},
        {"frequency", first.analogInput(12), f(60.5)},
        {"L1-N", first.analogInput(0), 121},
        {"L1-L2", first.analogInput(3), 209},
        {"L2-N", first.analogInput(1), 122},
        {"L2-L3 not sent: kept", first.analogInput(4), 0},
        {"L3-L1", first.analogInput(5), 211},
        {"phase angle in degrees", first.analogInput(6), f(57.29577951308232)},
        {"phase angle in radians", second.analogInput(6), 1.0},
        {"distortion", first.analogInput(9), 2},
    };
    for (const auto &c : cases) {
        EXPECT_DOUBLE_EQ(c.object->getPresentValue(), c.value) << c.what;
    }
    // Out of service, the large value keeps its value and so does its twin.
    first.totalEnergy().setOutOfService(true);
    load(1001).largeAnalogValue(1)->setPresentValue(11);
    parse(tqrParseInputData, inputsBody(json::array({inputValues(0)})));
    EXPECT_EQ(first.totalEnergySingle().getPresentValue(), 42);
}

TEST_F(LiveImport, InputElementsThatCannotBeStoredCostOnlyThemselves) {
    json noLines = inputValues(0);
    noLines.erase("lines");
    const struct {
        const char *what;
        json first;
    } cases[] = {
        {"disabled", inputValues(0, false)},
        {"no lines", noLines},
        {"no id", json{{"en", true}, {"lines", json::array()}}},
    };
    for (const auto &c : cases) {
        devtest::resetMeter();
        importMapping(meterMapping());
        EXPECT_EQ(nameOf(parse(tqrParseInputData, inputsBody(json::array({c.first, inputValues(1)})))),
                  nameOf(Raised::Nothing))
            << c.what;
        EXPECT_EQ(inputMapping.at(0)->analogInput(12)->getPresentValue(), 0.0) << c.what;
        EXPECT_EQ(inputMapping.at(1)->analogInput(0)->getPresentValue(), 121) << c.what;
    }
    // An element at a position without an Input, before one with.
    devtest::resetMeter();
    importMapping(mapping(json::array(), json::array({input(0, 1, 120, false), input(1)})));
    parse(tqrParseInputData, inputsBody(json::array({inputValues(0), inputValues(1)})));
    EXPECT_EQ(inputMapping.at(1)->analogInput(0)->getPresentValue(), 121);
    EXPECT_EQ(tqrResponseReceived[tqrFlagInputData], 1);

    tqrResponseReceived[tqrFlagInputData] = 0;
    Lines lines;
    EXPECT_EQ(nameOf(parse(tqrParseInputData, R"({"input":[]})", &lines)), nameOf(Raised::OutOfRange));
    EXPECT_EQ(lines, Lines{"critical Input node not found in /data/inputs"});
    EXPECT_EQ(tqrResponseReceived[tqrFlagInputData], 0);
}

// ---- pulses ----

TEST_F(LiveImport, PulseCountsGoToThePulseInputOfTheirPosition) {
    // Only pulse input 1 is configured: the first element is no input's.
    parse(
        tqrParsePulseConfig,
        R"([{"id":"1","active":"true","out":"false","type":"","param":"95","scaler":"0.5","pulseWidth":"1"}])");
    ASSERT_EQ(pulseMapping.count(1), 1u);
    PulseConverter &converter = pulseMapping.at(1)->converter();
    const struct {
        std::string body;
        uint32_t count;
    } cases[] = {
        {R"([{"count":7},{"count":40}])", 40},
        {R"([{"count":7},{"count":3000000000},{"count":9}])", 3000000000u},
        {R"([{"count":7}])", 3000000000u},
        {R"([{"count":7},{"nothing":1}])", 3000000000u},
    };
    for (const auto &c : cases) {
        tqrResponseReceived[tqrFlagPulseData] = 0;
        EXPECT_EQ(nameOf(parse(tqrParsePulseData, c.body)), nameOf(Raised::Nothing)) << c.body;
        EXPECT_EQ(converter.getCount(), c.count) << c.body;
        EXPECT_EQ(tqrResponseReceived[tqrFlagPulseData], 1) << c.body;
    }
    EXPECT_DOUBLE_EQ(converter.getPresentValue(), 1500000000.0);
    converter.setOutOfService(true);
    parse(tqrParsePulseData, R"([{"count":1},{"count":2}])");
    EXPECT_EQ(converter.getCount(), 3000000000u);
}

}  // namespace

// ---- documents of the wrong shape ----

// Whatever shape TQR's answers take, the parsers neither crash nor raise
// anything but their two failures; run under the sanitizers.
TEST_F(LiveImport, DocumentsOfTheWrongShape) {
    const struct {
        Parser parser;
        const char *body;
    } cases[] = {
        {tqrParseMapping, R"({"loads":5,"inputs":"x"})"},
        {tqrParseMapping, R"({"loads":[7,null,[],{"active":true}],"inputs":[[1],{"active":"yes"}]})"},
        {tqrParseMapping,
         R"({"loads":[{"active":true,"id":"a","vdi":"2000","name":7,"input":{},"cts":{"x":1}}]})"},
        {tqrParseMapping,
         R"({"loads":[{"active":true,"id":1,"vdi":3000.5,"name":"n","input":0,"cts":[]}],"inputs":[{"active":true,"id":0,"voltage":1e300,"service":99,"lines":[1,2,3]}]})"},
        {tqrParseMapping,
         R"({"inputs":[{"active":true,"id":0,"voltage":-5,"service":-1,"lines":[{"active":1},{"active":0},{"active":null}]}]})"},
        {tqrParsePulseConfig, R"({"id":1})"},
        {tqrParsePulseConfig,
         R"([1,"x",{"active":"true","out":"false","id":"300","param":"-1","scaler":"1e400","pulseWidth":"0"}])"},
        {tqrParseLoadData, R"({"load":5})"},
        {tqrParseLoadData, R"({"load":[1,{"id":0},{"id":0,"cts":7}]})"},
        {tqrParseLoadData, R"({"load":{"a":{"id":0}}})"},
        {tqrParseInputData,
         R"({"Input":[{"id":0,"en":true,"lines":5},{"id":"x","en":"true","lines":[[],{"v":"1e999"}]}]})"},
        {tqrParsePulseData, R"({"count":5})"},
        {tqrParsePulseData, R"([null,{"count":-1},{"count":1e30},{"count":"7"}])"},
    };
    parse(
        tqrParsePulseConfig,
        R"([{"id":"0","active":"true","out":"false","type":"","param":"95","scaler":"1","pulseWidth":"1"},{"id":"1","active":"true","out":"false","type":"","param":"95","scaler":"1","pulseWidth":"1"}])");
    for (const auto &c : cases) {
        const Raised raised = parse(c.parser, c.body);
        EXPECT_TRUE(raised == Raised::Nothing || raised == Raised::InvalidArgument ||
                    raised == Raised::OutOfRange)
            << c.body;
    }
}
