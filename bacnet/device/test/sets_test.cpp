// The object sets against their tables, the counts a client sees for each
// shape of mapping, and the state files the sets write.
#include <gtest/gtest.h>

#include <filesystem>

#include "bacnet/enums.h"
#include "bacnet/stack/app.h"
#include "device_fixture.h"

namespace {

using devtest::CtLayout;
using devtest::DeviceTest;
using devtest::InputLayout;
using devtest::LoadLayout;
using devtest::MeterLayout;

struct Expected {
    uint16_t type;
    uint32_t instance;
    const char *name;
    uint32_t units;  // 0: not checked (binary value, notification class, multi-state value)
};

constexpr uint16_t AI = 0, BV = 5, NC = 15, MSV = 19, LAV = 46;

// The 44 objects of a load before its CT groups, in table order.
const Expected loadTotals[] = {
    {AI, 1, "Line 1 Measured Line-Neutral Voltage (L1-N)", 5},
    {AI, 2, "Line 2 Measured Line-Neutral Voltage (L2-N)", 5},
    {AI, 3, "Line 3 Measured Line-Neutral Voltage (L3-N)", 5},
    {AI, 4, "Line 1 - Line 2 Measured Voltage (L1-L2)", 5},
    {AI, 5, "Line 2 - Line 3 Measured Voltage (L2-L3)", 5},
    {AI, 6, "Line 3 - Line 1 Measured Voltage (L3-L1)", 5},
    {AI, 7, "Frequency", 27},
    {AI, 8, "Total Real Power (kW)", 48},
    {AI, 9, "Total Amperage (A)", 3},
    {AI, 10, "Total Reactive Power (kvar)", 12},
    {AI, 11, "Total Apparent Power Factor (aPF)", 15},
    {AI, 12, "Total Displacement Power Factor (dPF)", 15},
    {AI, 13, "Total Apparent Power (kVA)", 9},
    {AI, 14, "Total Harmonic Distortion (THD)", 98},
    {AI, 15, "Total Peak Demand (PD)", 48},
    {AI, 16, "3-phase Current Unbalance", 98},
    {AI, 17, "Total Present Demand", 48},
    {NC, 1, "Event Notification Class", 0},
    {LAV, 1, "Total Kilowatt Hours (kWh) - FP64", 19},
    {LAV, 2, "Total Kilovolt Ampere Hours (kVAh) - FP64", 240},
    {LAV, 3, "Total Kilovolt Ampere Reactive Hours (kvarh)  - FP64", 243},
    {LAV, 4, "Total Export Kilowatt Hours (kWh-)  - FP64", 19},
    {LAV, 5, "Total Import Kilowatt Hours (kWh+)  - FP64", 19},
    {LAV, 6, "Total Export Kilovolt Ampere Hours (kVAh-)  - FP64", 240},
    {LAV, 7, "Total Import Kilovolt Ampere Hours (kVAh+)  - FP64", 240},
    {LAV, 8, "Total Reactive Energy Accumulated in Quadrant 3 (kvarh_Q3)  - FP64", 243},
    {LAV, 9, "Total Reactive Energy Accumulated in Quadrant 4 (kvarh_Q4)  - FP64", 243},
    {LAV, 10, "Total Reactive Energy Accumulated in Quadrant 2 (kvarh_Q2)  - FP64", 243},
    {LAV, 11, "Total Reactive Energy Accumulated in Quadrant 1 (kvarh_Q1)  - FP64", 243},
    {LAV, 12, "Total Reactive Energy Delivered (kvarh+)  - FP64", 243},
    {LAV, 13, "Total Reactive Energy Received (kvarh-)  - FP64", 243},
    {AI, 140, "Total Kilowatt Hours (kWh)", 19},
    {AI, 141, "Total Kilovolt Ampere Hours (kVAh)", 240},
    {AI, 142, "Total Kilovolt Ampere Reactive Hours (kvarh)", 243},
    {AI, 143, "Total Export Kilowatt Hours (kWh-)", 19},
    {AI, 144, "Total Import Kilowatt Hours (kWh+)", 19},
    {AI, 145, "Total Export Kilovolt Ampere Hours (kVAh-)", 240},
    {AI, 146, "Total Import Kilovolt Ampere Hours (kVAh+)", 240},
    {AI, 147, "Total Reactive Energy Accumulated in Quadrant 3 (kvarh_Q3)", 243},
    {AI, 148, "Total Reactive Energy Accumulated in Quadrant 4 (kvarh_Q4)", 243},
    {AI, 149, "Total Reactive Energy Accumulated in Quadrant 2 (kvarh_Q2)", 243},
    {AI, 150, "Total Reactive Energy Accumulated in Quadrant 1 (kvarh_Q1)", 243},
    {AI, 151, "Total Reactive Energy Delivered (kvarh+)", 243},
    {AI, 152, "Total Reactive Energy Received (kvarh-)", 243},
};

// One CT group by position; name of group 1, then of groups 2 and 3.
struct GroupExpected {
    const char *first;
    const char *others;
    uint32_t units;
};
const GroupExpected group[] = {
    {"CT# {id} Amperage (A)", "CT# {id} Amperage (A)", 3},
    {"CT# {id} Demand ", "CT# {id} Demand ", 48},
    {"CT# {id} Real Power (kW)", "CT# {id} Real Power (kW)", 48},
    {"CT# {id} Apparent Power (kVA)", "CT# {id} Apparent Power (kVA)", 9},
    {"CT# {id} Reactive Power (kvar)", "CT# {id} Reactive Power (kvar)", 12},
    {"CT# {id} Harmonic Distortion (HD)", "CT# {id} Harmonic Distortion", 98},
    {"CT# {id} Apparent Power Factor (aPF)", "CT# {id} Apparent Power Factor (aPF)", 15},
    {"CT# {id} Displacement Power Factor (dPF)", "CT# {id} Displacement Power Factor (dPF)", 15},
    {"CT# {id} Kilowatt Hours (kWh)", "CT# {id} Watt Hours (kWh)", 19},
    {"CT# {id} Kilovolt Ampere Reactive Hours (kvarh)", "CT# {id} Kilovolt Ampere Reactive Hours (kvarh)", 12},
    {"CT# {id} Kilovolt Ampere Hours (kVAh)", "CT# {id} Kilovolt Ampere Hours (kVAh)", 240},
    {"CT# {id} Export Kilowatt Hours (kWh-)", "CT# {id} Export Kilowatt Hours (kWh-)", 19},
    {"CT# {id} Import Kilowatt Hours (kWh+)", "CT# {id} Import Kilowatt Hours (kWh+)", 19},
    {"CT# {id} Export Kilovolt Ampere Hours (kVAh-)", "CT# {id} Export Kilovolt Ampere Hours (kVAh-)", 240},
    {"CT# {id} Import Kilovolt Ampere Hours (kVAh+)", "CT# {id} Import Kilovolt Ampere Hours (kVAh+)", 240},
    {"CT# {id} Reactive Energy Accumulated in Quadrant 3 (kvarh_Q3)",
     "CT# {id} Reactive Energy Accumulated in Quadrant 3 (kvarh_Q3)", 243},
    {"CT# {id} Reactive Energy Accumulated in Quadrant 4 (kvarh_Q4)",
     "CT# {id} Reactive Energy Accumulated in Quadrant 4 (kvarh_Q4)", 243},
    {"CT# {id} Reactive Energy Accumulated in Quadrant 2 (kvarh_Q2)",
     "CT# {id} Reactive Energy Accumulated in Quadrant 2 (kvarh_Q2)", 243},
    {"CT# {id} Reactive Energy Accumulated in Quadrant 1 (kvarh_Q1)",
     "CT# {id} Reactive Energy Accumulated in Quadrant 1 (kvarh_Q1)", 243},
    {"CT# {id} Peak Demand", "CT# {id} Peak Demand", 48},
    {"CT# {id} Phase Angle", "CT# {id} Phase Angle", 14},
    {"CT# {id} Reactive Energy Delivered (kvarh+)", "CT# {id} Reactive Energy Delivered (kvarh+)", 243},
    {"CT# {id} Reactive Energy Received (kvarh-)", "CT# {id} Reactive Energy Received (kvarh-)", 243},
};

// An input's objects: as constructed, then as the first and the second
// input after the import.
struct InputExpected {
    uint16_t type;
    uint32_t units;
    uint32_t instance;
    const char *name;
    uint32_t firstInstance;
    const char *firstName;
    uint32_t secondInstance;
    const char *secondName;
};
constexpr uint32_t NONE = 4194303;
const InputExpected inputTable[] = {
    {AI, 5, 1, "Line 1 Measured Line-Neutral Voltage", 1, "Vin1 Line 1 Measured Line-Neutral Voltage (L1-N)", 21,
     "Vin2 Line 1 Measured Line-Neutral Voltage (L1-N)"},
    {AI, 5, 2, "Line 2 Measured Line-Neutral Voltage", 2, "Vin1 Line 2 Measured Line-Neutral Voltage (L2-N)", 22,
     "Vin2 Line 2 Measured Line-Neutral Voltage (L2-N)"},
    {AI, 5, 3, "Line 3 Measured Line-Neutral Voltage", 3, "Vin1 Line 3 Measured Line-Neutral Voltage (L3-N)", 23,
     "Vin2 Line 3 Measured Line-Neutral Voltage (L3-N)"},
    {AI, 5, 4, "Line 1 - Line 2 Measured Voltage", 4, "Vin1 Line 1 - Line 2 Measured Voltage (L1-L2)", 24,
     "Vin2 Line 1 - Line 2 Measured Voltage (L1-L2)"},
    {AI, 5, 5, "Line 2 - Line 3 Measured Voltage", 5, "Vin1 Line 2 - Line 3 Measured Voltage (L2-L3)", 25,
     "Vin2 Line 2 - Line 3 Measured Voltage (L2-L3)"},
    {AI, 5, 6, "Line 3 - Line 1 Measured Voltage", 6, "Vin1 Line 3 - Line 1 Measured Voltage (L3-L1)", 26,
     "Vin2 Line 3 - Line 1 Measured Voltage (L3-L1)"},
    {AI, 14, 7, "Line 1 Phase Angle", 7, "Vin1 Line 1 Phase Angle", 27, "Vin2 Line 1 Phase Angle"},
    {AI, 14, 8, "Line 2 Phase Angle", 8, "Vin1 Line 2 Phase Angle", 28, "Vin2 Line 2 Phase Angle"},
    {AI, 14, 9, "Line 3 Phase Angle", 9, "Vin1 Line 3 Phase Angle", 29, "Vin2 Line 3 Phase Angle"},
    {AI, 98, 10, "Line 1 Harmonic Distortion", 10, "Vin1 Line 1 Harmonic Distortion", 30,
     "Vin2 Line 1 Harmonic Distortion"},
    {AI, 98, 11, "Line 2 Harmonic Distortion", 11, "Vin1 Line 2 Harmonic Distortion", 31,
     "Vin2 Line 2 Harmonic Distortion"},
    {AI, 98, 12, "Line 3 Harmonic Distortion", 12, "Vin1 Line 3 Harmonic Distortion", 32,
     "Vin2 Line 3 Harmonic Distortion"},
    {AI, 27, 13, "Frequency", 13, "Vin1 Frequency", 33, "Vin2 Frequency"},
    {LAV, 19, NONE, "Total Energy Usage (kWh) - FP64", 1, "Vin1 Total Energy Usage - FP64", 2,
     "Vin2 Total Energy Usage - FP64"},
    {AI, 19, NONE, "Total Energy Usage (kWh)", 14, "Vin1 Total Energy Usage", 34, "Vin2 Total Energy Usage"},
    {MSV, 0, NONE, "Service Type", 1, "Vin1 Service Type", 2, "Vin2 Service Type"},
    {NC, 0, 1, "Event Notification Class", 1, "Event Notification Class", 1, "Event Notification Class"},
};

void expectObject(const BACnetObject *o, uint16_t type, uint32_t instance, const std::string &name, uint32_t units,
                  const std::string &where) {
    ASSERT_NE(o, nullptr) << where;
    EXPECT_EQ(o->getObjectType(), type) << where;
    EXPECT_EQ(o->getInstance(), instance) << where;
    EXPECT_EQ(o->getObjectName(), name) << where;
    if (units != 0) {
        EXPECT_EQ(o->getUnits(), units) << where;
    }
}

TEST(LoadSet, ANewLoadHoldsItsObjectsInTableOrder) {
    Load load;
    ASSERT_EQ(load.objectCount(), 116u);
    EXPECT_TRUE(load.getObjectMap().empty());
    for (size_t i = 0; i < std::size(loadTotals); ++i) {
        const Expected &e = loadTotals[i];
        expectObject(load.object(i), e.type, e.instance, e.name, e.units, "position " + std::to_string(i));
    }
    for (uint32_t g = 1; g <= 3; ++g) {
        const size_t first = 44 + (g - 1) * 24;
        for (uint32_t p = 0; p < 23; ++p) {
            const GroupExpected &e = group[p];
            expectObject(load.object(first + p), AI, 30 * g + p, g == 1 ? e.first : e.others, e.units,
                         "group " + std::to_string(g) + " position " + std::to_string(p));
        }
        const BACnetObject *bv = load.object(first + 23);
        expectObject(bv, BV, g, "CT# {id} Polarity Correction", 0, "polarity " + std::to_string(g));
        EXPECT_EQ(static_cast<const BinaryValue *>(bv)->getInactiveText(), "off");
        EXPECT_EQ(static_cast<const BinaryValue *>(bv)->getActiveText(), "on");
    }
    EXPECT_EQ(load.object(116), nullptr);
}

TEST(InputSet, ANewInputAndBothPositionsAfterTheBuilder) {
    Input fresh;
    ASSERT_EQ(fresh.objectCount(), 17u);
    for (size_t i = 0; i < std::size(inputTable); ++i) {
        const InputExpected &e = inputTable[i];
        expectObject(fresh.object(i), e.type, e.instance, e.name, e.units, "new, position " + std::to_string(i));
    }
    devtest::resetMeter();
    MeterLayout layout;
    layout.inputs = {InputLayout{0, 0}, InputLayout{1, 1}};
    devtest::buildSets(layout);
    for (uint32_t position : {0u, 1u}) {
        const Input &input = *inputMapping.at(position);
        for (size_t i = 0; i < std::size(inputTable); ++i) {
            const InputExpected &e = inputTable[i];
            expectObject(input.object(i), e.type, position == 0 ? e.firstInstance : e.secondInstance,
                         position == 0 ? e.firstName : e.secondName, e.units,
                         "input " + std::to_string(position) + ", position " + std::to_string(i));
        }
        EXPECT_EQ(input.serviceType().getNumberOfStates(), 5u);
        EXPECT_EQ(input.serviceType().getStateText(4), "3-Wire single phase (split-phase)");
    }
    // The second input's notification class is not on the root device, so
    // every root object (its total energy too) links to the first one.
    EXPECT_EQ(objectMapFindId(deviceObjectMap, objectIdMake(NC, 1)), &inputMapping.at(0)->notificationClass());
    EXPECT_EQ(inputMapping.at(1)->totalEnergySingle().getNotificationClassLink(),
              &inputMapping.at(0)->notificationClass());
    EXPECT_EQ(inputMapping.at(1)->analogInput(0)->getNotificationClassLink(),
              &inputMapping.at(0)->notificationClass());
    devtest::clearSets();
}

TEST(PulseSet, PulseIdZeroIsInstanceOne) {
    devtest::resetMeter();
    MeterLayout layout;
    layout.pulseIds = {0};
    devtest::buildSets(layout);
    const PulseConverter &c = pulseMapping.at(0)->converter();
    EXPECT_EQ(c.getObjectIdentifier(), objectIdMake(24, 1));
    EXPECT_EQ(c.getObjectName(), "Pulse Input #1");
    EXPECT_EQ(c.getUnits(), 95u);
    EXPECT_EQ(objectMapFindId(deviceObjectMap, objectIdMake(24, 1)), &c);
    devtest::clearSets();
}

// Objects and object-list of a load by the number of CT channels it has.
TEST_F(DeviceTest, LoadCountsFollowItsValidCtChannels) {
    struct Case {
        std::vector<CtLayout> cts;
        int32_t objects;
    };
    const Case cases[] = {
        {{}, 44},
        {{{6}}, 68},
        {{{6}, {7}}, 92},
        {{{6}, {7}, {53}}, 116},
        {{{6, false}, {7}}, 92},  // an inactive CT with a valid channel is registered
        {{{5}, {55}, {8}}, 68},   // channels 5 and 55 are no CT
    };
    int32_t vdi = 2001;
    for (const Case &c : cases) {
        MeterLayout layout;
        layout.loads = {LoadLayout{vdi - 2000, vdi, "L", 0, c.cts}};
        devtest::buildSets(layout);
        EXPECT_EQ(static_cast<int32_t>(loadMapping.at(vdi)->getObjectMap().size()), c.objects) << vdi;
        EXPECT_EQ(appCountObjects(vdi), c.objects + 1) << vdi;
        ++vdi;
    }
    const Load &mixed = *loadMapping.at(2006);
    EXPECT_EQ(mixed.analogInput(30)->getObjectName(), "CT# {id} Amperage (A)");
    EXPECT_EQ(mixed.analogInput(90)->getObjectName(), "CT# 3 Amperage (A)");
    EXPECT_EQ(mixed.analogInput(90)->getCtNumber(), 3);
    EXPECT_EQ(objectMapFindId(mixed.getObjectMap(), objectIdMake(AI, 30)), nullptr);
    EXPECT_EQ(appCountObjects(4242), 0);
}

TEST_F(DeviceTest, ObjectListIsTheDeviceThenAscendingIdentifiers) {
    MeterLayout layout = devtest::loadsLayout(1, 3);
    layout.inputs = {InputLayout{0, 0}};
    devtest::buildSets(layout);
    std::vector<int32_t> list;
    for (int32_t id = appNextObject(1001, -1); id != -1; id = appNextObject(1001, id)) {
        list.push_back(id);
    }
    ASSERT_EQ(list.size(), 117u);
    EXPECT_EQ(list[0], static_cast<int32_t>(objectIdMake(8, 1001)));
    for (size_t i = 2; i < list.size(); ++i) {
        EXPECT_LT(static_cast<uint32_t>(list[i - 1]), static_cast<uint32_t>(list[i])) << i;
    }
    // An identifier the device does not hold gives the next higher one.
    EXPECT_EQ(appNextObject(1001, static_cast<int32_t>(objectIdMake(AI, 18))),
              static_cast<int32_t>(objectIdMake(AI, 30)));
    EXPECT_EQ(appNextObject(1001, list.back()), -1);
    EXPECT_EQ(appNextObject(4242, -1), -1);
    EXPECT_EQ(appNextObject(-1, -1), static_cast<int32_t>(objectIdMake(8, 1000)));
}

TEST_F(DeviceTest, RootCountsFollowInputsAndPulses) {
    struct Case {
        std::vector<InputLayout> inputs;
        std::vector<uint8_t> pulses;
        size_t objects;
    };
    const Case cases[] = {
        {{{0, 0}}, {}, 17},
        {{{0, 0}, {1, 1}}, {}, 33},
        {{{0, 0}, {1, 1}}, {0, 1}, 35},
    };
    for (const Case &c : cases) {
        devtest::resetMeter();
        MeterLayout layout;
        layout.inputs = c.inputs;
        layout.pulseIds = c.pulses;
        devtest::buildSets(layout);
        EXPECT_EQ(deviceObjectMap.size(), c.objects);
        EXPECT_EQ(appCountObjects(-1), static_cast<int32_t>(c.objects + 1));
        EXPECT_EQ(appCountObjects(1000), static_cast<int32_t>(c.objects + 1));
    }
    // With the first input only, nothing at 21 to 34.
    devtest::resetMeter();
    MeterLayout first;
    first.inputs = {InputLayout{0, 0}};
    devtest::buildSets(first);
    for (uint32_t instance = 21; instance <= 34; ++instance) {
        EXPECT_EQ(objectMapFind(deviceObjectMap, instance, AI), nullptr) << instance;
    }
}

TEST_F(DeviceTest, SavingWritesOneFilePerRegisteredObject) {
    MeterLayout layout;
    layout.loads = {LoadLayout{7, 1007, "No CTs", 0, {{5}, {55}, {2}}}, LoadLayout{8, 1008, "Three CTs", 0, {{6}, {7}, {8}}}};
    devtest::buildSets(layout);
    Load &bare = *loadMapping.at(1007);
    Load &full = *loadMapping.at(1008);
    EXPECT_EQ(bare.stateDirectory(), "/config/talvik/loads/7");
    std::filesystem::create_directories(root.host(bare.stateDirectory()));
    std::filesystem::create_directories(root.host(full.stateDirectory()));
    EXPECT_EQ(bare.saveObjects(), 1);
    EXPECT_EQ(full.saveObjects(), 1);
    EXPECT_EQ(filesIn("/config/talvik/loads/7"), 44u);
    EXPECT_EQ(filesIn("/config/talvik/loads/8"), 116u);
    EXPECT_EQ(bare.saveObject(objectIdMake(AI, 30)), 0);
    EXPECT_EQ(filesIn("/config/talvik/loads/7"), 44u);
    EXPECT_EQ(bare.loadObjects(), 1);
}

TEST_F(DeviceTest, ADuplicateVdiKeepsTheFirstLoad) {
    MeterLayout layout;
    layout.loads = {LoadLayout{1, 1001, "First", 0, {}}, LoadLayout{2, 1001, "Second", 0, {}}};
    devtest::buildSets(layout);
    ASSERT_EQ(loadMapping.size(), 1u);
    EXPECT_EQ(loadMapping.at(1001)->getName(), "First");
}

TEST_F(DeviceTest, InputSavesWalkTheWholeRootMap) {
    MeterLayout layout;
    layout.inputs = {InputLayout{0, 0}};
    layout.pulseIds = {0};
    devtest::buildSets(layout);
    Input &input = *inputMapping.at(0);
    std::filesystem::create_directories(root.host(input.stateDirectory()));
    EXPECT_EQ(input.saveObject(objectIdMake(24, 1)), 1);
    EXPECT_EQ(filesIn("/config/talvik/inputs/0"), 1u);
    EXPECT_EQ(input.saveObjects(), 1);
    EXPECT_EQ(filesIn("/config/talvik/inputs/0"), 18u);
}

}  // namespace
