// The mapping and pulse-configuration imports on TQR documents: the sets
// they build, the limits they give, and the entries they skip.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "bacnet/enums.h"
#include "import_fixture.h"

namespace {

using namespace importtest;
using devtest::DeviceTest;

constexpr uint16_t AI = 0, BV = 5, NC = 15, MSV = 19, LAV = 46, PC = 24;
constexpr double kFloatMin = std::numeric_limits<float>::min();
constexpr double kFloatMax = std::numeric_limits<float>::max();
constexpr double kDoubleMax = std::numeric_limits<double>::max();

class MappingImport : public DeviceTest {};

TEST_F(MappingImport, BuildsLoadsAndInputsWithTheirNamesCtNumbersAndLinks) {
    importMapping(meterMapping());
    ASSERT_EQ(loadMapping.size(), 3u);
    EXPECT_EQ(tqrResponseReceived[tqrFlagMapping], 1);

    // What a client sees of each load: 44 objects and 24 per configured CT.
    const struct {
        int32_t vdi;
        size_t objects;
        const char *voltageName;
        const char *firstCtName;
    } loads[] = {
        {1001, 116, "Vin1 Line 1 Measured Line-Neutral Voltage (L1-N)", "CT# 1 Amperage (A)"},
        {1002, 92, "Vin1 Line 1 Measured Line-Neutral Voltage (L1-N)", "CT# 4 Amperage (A)"},
        {1003, 68, "Vin2 Line 1 Measured Line-Neutral Voltage (L1-N)", "CT# 6 Amperage (A)"},
    };
    for (const auto &l : loads) {
        Load &load = *loadMapping.at(l.vdi);
        EXPECT_EQ(load.getVdi(), l.vdi);
        EXPECT_EQ(load.getObjectMap().size(), l.objects) << l.vdi;
        EXPECT_EQ(load.analogInput(1)->getObjectName(), l.voltageName);
        EXPECT_EQ(load.analogInput(30)->getObjectName(), l.firstCtName);
        for (const auto &[id, object] : load.getObjectMap()) {
            EXPECT_EQ(object->getDeviceInstance(), static_cast<uint32_t>(l.vdi)) << object->getObjectName();
            if (auto *m = dynamic_cast<MeasuredValue *>(object)) {
                EXPECT_EQ(m->getNotificationClassLink(), &load.notificationClass())
                    << object->getObjectName();
            }
        }
    }
    Load &two = *loadMapping.at(1002);
    EXPECT_EQ(objectMapFind(two.getObjectMap(), 90, AI), nullptr);
    EXPECT_EQ(objectMapFind(two.getObjectMap(), 3, BV), nullptr);
    EXPECT_EQ(two.analogInput(90)->getObjectName(), "CT# {id} Amperage (A)");
    EXPECT_EQ(two.analogInput(60)->getCtNumber(), 5);

    // The root: both inputs' objects, one notification class (the first's).
    ASSERT_EQ(inputMapping.size(), 2u);
    EXPECT_EQ(deviceObjectMap.size(), 17u + 16u);
    Input &first = *inputMapping.at(0);
    Input &second = *inputMapping.at(1);
    EXPECT_EQ(objectMapFind(deviceObjectMap, 1, NC), &first.notificationClass());
    EXPECT_EQ(objectMapFind(deviceObjectMap, 21, AI)->getObjectName(),
              "Vin2 Line 1 Measured Line-Neutral Voltage (L1-N)");
    EXPECT_EQ(objectMapFind(deviceObjectMap, 34, AI)->getObjectName(), "Vin2 Total Energy Usage");
    EXPECT_EQ(objectMapFind(deviceObjectMap, 2, LAV)->getObjectName(), "Vin2 Total Energy Usage - FP64");
    EXPECT_EQ(objectMapFind(deviceObjectMap, 2, MSV)->getObjectName(), "Vin2 Service Type");
    EXPECT_EQ(first.serviceType().getPresentValue(), 1u);
    EXPECT_EQ(first.serviceType().getStateText(2), "3-Wire delta");
    EXPECT_EQ(second.analogInput(0)->getNotificationClassLink(), &first.notificationClass());
    EXPECT_EQ(second.totalEnergy().getNotificationClassLink(), &first.notificationClass());
    EXPECT_EQ(second.totalEnergySingle().getNotificationClassLink(), &second.notificationClass());
    EXPECT_EQ(objectMapFind(deviceObjectMap, 7, AI)->getDeviceInstance(), 1000u);
}

TEST_F(MappingImport, LimitsAndCovIncrements) {
    importMapping(mapping(json::array({load(0, 1001, 0, json::array({ct(6), ct(7, 3, false), ct(60)}))}),
                          json::array({input(0)})));
    Load &load = *loadMapping.at(1001);
    Input &in = *inputMapping.at(0);
    const double degreesCov = static_cast<double>(57.29578f) * M_PI * 0.1;
    const struct {
        const char *what;
        BACnetObject *object;
        double min, max, cov, deadband;
    } cases[] = {
        {"load voltage", load.analogInput(1), 0, 10000, 1, 0},
        {"L3-L1", load.analogInput(6), kFloatMin, kFloatMax, 1, 0},
        {"frequency", load.analogInput(7), 45, 65, 1, 0},
        {"kW", load.analogInput(8), kFloatMin, kFloatMax, 5, 0},
        // One active 100 A CT on a valid channel and one on channel 60.
        {"total amperage", load.analogInput(9), 0, 6200, 620, 0},
        {"aPF", load.analogInput(11), -1, 1, 0.1, 0.1},
        {"THD", load.analogInput(14), 0, 100, 1, 10},
        {"peak demand", load.analogInput(15), 0, kDoubleMax, 1, 0},
        {"kVAh FP64", load.largeAnalogValue(2), std::numeric_limits<double>::min(), kDoubleMax, 1, 0},
        {"export kVAh FP64", load.largeAnalogValue(6), 0, kFloatMax, 1, 0},
        {"kVAh", load.analogInput(141), kFloatMin, kFloatMax, 1, 0},
        {"CT amperage", load.analogInput(30), 0, 100, 0, 0},
        {"inactive CT amperage", load.analogInput(60), 0, 0, 0, 0},
        {"CT real power", load.analogInput(32), kFloatMin, kFloatMax, 0, 0},
        {"CT distortion", load.analogInput(35), 0, 100, 0, 0},
        {"CT power factor", load.analogInput(36), -1, 1, 0, 0},
        {"CT peak demand", load.analogInput(49), 0, kFloatMax, 0, 0},
        {"CT phase angle", load.analogInput(50), 0, 360, degreesCov, 0},
        {"CT delivered kvarh", load.analogInput(51), 0, kFloatMax, 0, 0},
        {"input voltage", in.analogInput(0), 0, 100000, 1, 0},
        {"input phase angle", in.analogInput(6), -360, 360, degreesCov, 0},
        {"input frequency", in.analogInput(12), 45, 65, 1, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.object->getMinPresValue(), c.min) << c.what;
        EXPECT_EQ(c.object->getMaxPresValue(), c.max) << c.what;
        EXPECT_DOUBLE_EQ(c.object->getCovIncrement(), c.cov) << c.what;
        EXPECT_EQ(c.object->getDeadband(), c.deadband) << c.what;
    }
    EXPECT_TRUE(load.analogInput(11)->getUseAbsoluteValue());
    EXPECT_FALSE(load.analogInput(12)->getUseAbsoluteValue());
    EXPECT_FALSE(load.analogInput(50)->isUnitsReadOnly());
    EXPECT_FALSE(in.analogInput(8)->isUnitsReadOnly());
    EXPECT_TRUE(load.analogInput(30)->isUnitsReadOnly());
}

TEST_F(MappingImport, CtTypesGiveTheRating) {
    const struct {
        json ct;
        double amperageMax, totalMax;
    } cases[] = {
        {ct(6, 0), kFloatMax, 6000 + kFloatMax},
        {ct(6, 1), 20, 6020},
        {ct(6, 8), 6000, 12000},
        {{{"type", 9}, {"channel", 6}, {"active", true}, {"inverse", false}, {"maxRating", 250.5}},
         250.5,
         6250.5},
        // A type the meter does not know gives no rating: nothing raised.
        {ct(6, 10), 0, 6000},
        {ct(6, -1), 0, 6000},
    };
    for (const auto &c : cases) {
        devtest::resetMeter();
        importMapping(mapping(json::array({load(0, 1001, 0, json::array({c.ct}))}), json::array()));
        Load &l = *loadMapping.at(1001);
        EXPECT_EQ(l.analogInput(30)->getMaxPresValue(), c.amperageMax) << c.ct.dump();
        EXPECT_EQ(l.analogInput(9)->getMaxPresValue(), c.totalMax) << c.ct.dump();
    }
}

// An unknown type after a known one, in one load and at the start of the
// next: no rating is taken over from the CT or the load before.
TEST_F(MappingImport, UnknownCtTypeTakesNoRatingFromTheCtBefore) {
    importMapping(mapping(json::array({load(0, 1001, 0, json::array({ct(6, 8), ct(7, 10)})),
                                       load(1, 1002, 0, json::array({ct(8, 10), ct(9, 1)}))}),
                          json::array()));
    Load &first = *loadMapping.at(1001);
    Load &second = *loadMapping.at(1002);
    const struct {
        const char *what;
        BACnetObject *object;
        double min, max;
    } cases[] = {
        {"known type", first.analogInput(30), 0, 6000},
        {"unknown type after it", first.analogInput(60), 0, 0},
        {"total of the first load", first.analogInput(9), 0, 12000},
        {"unknown type of the next load", second.analogInput(30), 0, 0},
        {"known type after it", second.analogInput(60), 0, 20},
        {"total of the next load", second.analogInput(9), 0, 6020},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.object->getMinPresValue(), c.min) << c.what;
        EXPECT_EQ(c.object->getMaxPresValue(), c.max) << c.what;
    }
}

TEST_F(MappingImport, ChannelsGiveCtNumbersOnlyFrom6To53) {
    const struct {
        int channel;
        int16_t number;  // -1: not a CT, the group stays unseen
        const char *name;
    } cases[] = {
        {6, 1, "CT# 1 Amperage (A)"},      {53, 48, "CT# 48 Amperage (A)"},
        {54, -1, "CT# {id} Amperage (A)"}, {5, -1, "CT# {id} Amperage (A)"},
        {-3, -1, "CT# {id} Amperage (A)"},
    };
    for (const auto &c : cases) {
        devtest::resetMeter();
        importMapping(mapping(json::array({load(0, 1001, 0, json::array({ct(c.channel, 3, true, true)}))}),
                              json::array()));
        Load &l = *loadMapping.at(1001);
        EXPECT_EQ(l.analogInput(30)->getCtNumber(), c.number) << c.channel;
        EXPECT_EQ(l.analogInput(30)->getObjectName(), c.name) << c.channel;
        EXPECT_EQ(l.getObjectMap().size(), c.number < 0 ? 44u : 68u) << c.channel;
        // The total is raised for an active CT whatever its channel.
        EXPECT_EQ(l.analogInput(9)->getMaxPresValue(), 6100) << c.channel;
        EXPECT_EQ(l.polarity(1)->getPresentValue(), 1u) << c.channel;
        EXPECT_EQ(l.polarity(1)->getDeviceInstance(), 1001u) << c.channel;
    }
}

// Entries that cannot be built are skipped; the others are built all the
// same, and the import ends as a success.
TEST_F(MappingImport, SkipsOnlyTheEntriesItCannotBuild) {
    json noVdi = load(1, 1002, 0, json::array());
    noVdi.erase("vdi");
    json noService = input(0);
    noService.erase("service");
    json shortLines = input(0);
    shortLines["lines"] = json::array({{{"active", true}}, {{"active", true}}});
    json ctNoChannel = ct(7);
    ctNoChannel.erase("channel");
    json ctNoRating = ct(8, 9);
    const struct {
        const char *what;
        json loads;
        json inputs;
        std::vector<int32_t> vdis;
        std::vector<uint32_t> inputPositions;
    } cases[] = {
        {"load without vdi",
         json::array({noVdi, load(2, 1003, 0, json::array())}),
         json::array(),
         {1003},
         {}},
        {"vdi past the last instance",
         json::array({load(1, 4194303, 0, json::array()), load(2, 1003, 0, json::array())}),
         json::array(),
         {1003},
         {}},
        {"negative vdi", json::array({load(1, -1, 0, json::array())}), json::array(), {}, {}},
        {"the root's instance",
         json::array({load(1, 1000, 0, json::array()), load(2, 4194302, 0, json::array())}),
         json::array(),
         {4194302},
         {}},
        {"vdi taken",
         json::array({load(1, 1003, 0, json::array()), load(2, 1003, 0, json::array())}),
         json::array(),
         {1003},
         {}},
        {"inactive load",
         json::array({load(1, 1002, 0, json::array(), false), load(2, 1003, 0, json::array())}),
         json::array(),
         {1003},
         {}},
        {"input without service", json::array(), json::array({noService, input(1)}), {}, {1}},
        {"input with two lines", json::array(), json::array({shortLines, input(1)}), {}, {1}},
        {"CT without channel or rating",
         json::array({load(1, 1002, 0, json::array({ct(6), ctNoChannel, ctNoRating}))}),
         json::array(),
         {1002},
         {}},
        {"no loads, no inputs", json(), json(), {}, {}},
    };
    for (const auto &c : cases) {
        devtest::resetMeter();
        json doc = {{"version", 2}};
        if (!c.loads.is_null()) {
            doc["loads"] = c.loads;
        }
        if (!c.inputs.is_null()) {
            doc["inputs"] = c.inputs;
        }
        communicationConfig.setBaseInstance(1000);
        tqrResponseReceived[tqrFlagMapping] = 0;
        Lines lines;
        EXPECT_EQ(nameOf(parse(tqrParseMapping, doc.dump(), &lines)), nameOf(Raised::Nothing)) << c.what;
        EXPECT_EQ(tqrResponseReceived[tqrFlagMapping], 1) << c.what;
        std::vector<int32_t> vdis;
        for (const auto &[vdi, l] : loadMapping) {
            vdis.push_back(vdi);
        }
        std::vector<uint32_t> positions;
        for (const auto &[position, i] : inputMapping) {
            positions.push_back(position);
        }
        EXPECT_EQ(vdis, c.vdis) << c.what;
        EXPECT_EQ(positions, c.inputPositions) << c.what;
    }
    // The CT entries that could not be read leave their groups unseen.
    Lines lines;
    devtest::resetMeter();
    parse(
        tqrParseMapping,
        mapping(json::array({load(1, 1002, 0, json::array({ct(6), ctNoChannel, ctNoRating}))}), json::array())
            .dump(),
        &lines);
    EXPECT_EQ(loadMapping.at(1002)->getObjectMap().size(), 68u);
    EXPECT_TRUE(contains(lines, "critical CT 1 in /data/mapping skipped: channel node not found (load #1)"));
    EXPECT_TRUE(
        contains(lines, "critical CT 2 in /data/mapping skipped: maxRating node not found (load #1)"));
}

// Without a first input the second one's class stands as the root's: its
// objects link to it and the root device shows it.
TEST_F(MappingImport, ASecondInputWithoutAFirstShowsItsOwnClass) {
    importMapping(mapping(json::array(), json::array({input(0, 1, 120, false), input(1, 2, 208)})));
    ASSERT_EQ(inputMapping.count(1), 1u);
    Input &second = *inputMapping.at(1);
    EXPECT_EQ(objectMapFind(deviceObjectMap, 1, NC), &second.notificationClass());
    EXPECT_EQ(objectMapFind(deviceObjectMap, 21, AI), second.analogInput(0));
    EXPECT_EQ(second.analogInput(0)->getNotificationClassLink(), &second.notificationClass());
    EXPECT_EQ(second.totalEnergy().getNotificationClassLink(), &second.notificationClass());
    EXPECT_EQ(deviceObjectMap.size(), 17u);
    EXPECT_EQ(tqrResponseReceived[tqrFlagMapping], 1);

    // The pulse converters link to it too.
    parse(
        tqrParsePulseConfig,
        R"([{"id":"0","active":"true","out":"false","type":"0","param":"19","scaler":"1","pulseWidth":"100"}])");
    EXPECT_EQ(pulseMapping.at(0)->converter().getNotificationClassLink(), &second.notificationClass());
}

TEST_F(MappingImport, HeaderLinesAndABodyThatIsNotJson) {
    const struct {
        std::string body;
        Raised raised;
        std::vector<std::string> lines;
    } cases[] = {
        {R"({"loads":[],"inputs":[]})", Raised::Nothing, {"notice No version in /data/mapping."}},
        {R"({"version":7,"inputs":[]})", Raised::Nothing, {"notice No loads in /data/mapping."}},
        {R"({"version":7,"loads":[],"inputs":[])",
         Raised::InvalidArgument,
         {"emergency /api/v1/config/mapping return isn't valid JSON"}},
        // A load's name is no UTF-8: its object names would differ from it.
        {"{\"version\":7,\"loads\":[{\"id\":0,\"vdi\":1001,\"name\":\"Load \xE9\",\"input\":0}],\"inputs\":[]}",
         Raised::InvalidArgument,
         {"emergency /api/v1/config/mapping return isn't valid JSON"}},
    };
    for (const auto &c : cases) {
        devtest::resetMeter();
        tqrResponseReceived[tqrFlagMapping] = 0;
        Lines lines;
        EXPECT_EQ(nameOf(parse(tqrParseMapping, c.body, &lines)), nameOf(c.raised)) << c.body;
        EXPECT_EQ(lines, c.lines) << c.body;
        EXPECT_EQ(tqrResponseReceived[tqrFlagMapping], c.raised == Raised::Nothing ? 1 : 0) << c.body;
    }
}

// ---- pulse configuration ----

class PulseConfigImport : public DeviceTest {};

std::string pulseEntry(const std::string &id, bool active, bool out, const std::string &scaler = "\"1\"",
                       const std::string &param = "\"19\"") {
    return R"({"id":")" + id + R"(","active":")" + (active ? "true" : "false") + R"(","out":")" +
           (out ? "true" : "false") + R"(","type":"kWh","param":)" + param + R"(,"scaler":)" + scaler +
           R"(,"pulseWidth":"100"})";
}

TEST_F(PulseConfigImport, ActiveInputsBecomeConvertersOfTheRootDevice) {
    importMapping(mapping(json::array(), json::array({input(0)})));
    const std::string body = "[" + pulseEntry("1", true, false, "0.01", "95") + "," +
                             pulseEntry("0", true, true) + "," + pulseEntry("2", false, false) + "," +
                             pulseEntry("3", true, false, "\"2.5\"") + "," +
                             pulseEntry("1", true, false, "7") + "]";
    ASSERT_EQ(nameOf(parse(tqrParsePulseConfig, body)), nameOf(Raised::Nothing));
    EXPECT_EQ(tqrResponseReceived[tqrFlagPulseConfig], 1);
    ASSERT_EQ(pulseMapping.size(), 2u);
    const struct {
        int32_t id;
        uint32_t instance;
        const char *name;
        uint32_t units;
        double scale;
    } cases[] = {
        // A fraction of a scaler counts: a hundredth is not 0.
        {1, 2, "Pulse Input #2", 95, 0.01},
        {3, 4, "Pulse Input #4", 19, 2.5},
    };
    for (const auto &c : cases) {
        PulseConverter &converter = pulseMapping.at(c.id)->converter();
        EXPECT_EQ(converter.getInstance(), c.instance);
        EXPECT_EQ(converter.getObjectName(), c.name);
        EXPECT_EQ(converter.getUnits(), c.units);
        EXPECT_DOUBLE_EQ(converter.getScale(), c.scale) << c.name;
        EXPECT_EQ(converter.getDeviceInstance(), 1000u);
        EXPECT_EQ(converter.getNotificationClassLink(), &inputMapping.at(0)->notificationClass());
        EXPECT_EQ(objectMapFind(deviceObjectMap, c.instance, PC), &converter);
    }
}

TEST_F(PulseConfigImport, NumbersThatCannotBeReadEndTheImportKeepingWhatWasBuilt) {
    const struct {
        std::string second;
        Raised raised;
    } cases[] = {
        {pulseEntry("x", true, false), Raised::InvalidArgument},
        {pulseEntry("2", true, false, "\"fast\""), Raised::InvalidArgument},
        {pulseEntry("2", true, false, "\"1\"", "\"99999999999\""), Raised::OutOfRange},
    };
    for (const auto &c : cases) {
        devtest::resetMeter();
        tqrResponseReceived[tqrFlagPulseConfig] = 0;
        const std::string body = "[" + pulseEntry("0", true, false) + "," + c.second + "]";
        EXPECT_EQ(nameOf(parse(tqrParsePulseConfig, body)), nameOf(c.raised)) << c.second;
        EXPECT_EQ(pulseMapping.size(), 1u) << c.second;
        EXPECT_EQ(deviceObjectMap.size(), 1u) << c.second;
        EXPECT_EQ(tqrResponseReceived[tqrFlagPulseConfig], 0) << c.second;
        // Without voltage inputs there is no class to link to.
        EXPECT_EQ(pulseMapping.at(0)->converter().getNotificationClassLink(), nullptr);
    }
}

}  // namespace
