// The class rows of the six property handlers: for each class a table of
// reads (datatype, count, value) and a table of writes run in order (answer,
// what the object shows afterwards, whether its state file was written),
// then the cases a table does not show well: COV notifications on an
// out-of-service change, units conversion, the recipient list with the
// stack's address binding, and packed texts.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "bacnet/app_memory.h"
#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "device/application.h"
#include "device_fixture.h"
#include "e2e_wire.h"
#include "fake_link.h"

namespace {

using devtest::DeviceTest;
using devtest::InputLayout;
using devtest::LoadLayout;
using devtest::MeterLayout;

constexpr uint32_t kWhole = kNoArrayIndex;
constexpr int32_t kRoot = -1;
constexpr int32_t kLoad = 1001;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

PropertyValue scalar(uint8_t datatype, uint32_t u) {
    PropertyValue v{};
    v.datatype = datatype;
    v.value.u = u;
    return v;
}
PropertyValue real(float f) {
    PropertyValue v{};
    v.datatype = kDtReal;
    v.value.f = f;
    return v;
}
PropertyValue dbl(double d) {
    PropertyValue v{};
    v.datatype = kDtDouble;
    v.value.d = d;
    return v;
}
PropertyValue boolean(bool b) {
    return scalar(kDtBoolean, b ? 1 : 0);
}
PropertyValue bits(uint8_t octet, uint16_t n) {
    PropertyValue v{};
    v.datatype = kDtBitString;
    v.length = n;
    v.value.octets[0] = octet;
    return v;
}

void release(PropertyValue *v) {
    if (v->ownsValue) {
        appFree(v->value.block);
        v->ownsValue = 0;
    }
}

// What a read answers, as a comparable text: the datatype, the count and
// the value ("-" for an owned block, whose content the cases check apart).
std::string shown(const PropertyValue &v) {
    std::string s = std::to_string(v.datatype) + "/" + std::to_string(v.count) + ":";
    if (v.ownsValue) {
        return s + "-";
    }
    switch (v.datatype) {
        case kDtReal:
            return s + std::to_string(v.value.f);
        case kDtDouble:
            return s + std::to_string(v.value.d);
        case kDtBitString:
            return s + std::to_string(v.value.octets[0]) + "/" + std::to_string(v.length);
        default:
            return s + std::to_string(v.value.u);
    }
}

struct ReadCase {
    const char *what;
    uint32_t property;
    uint32_t index;
    std::string expected;  // shown(), or the answer as "error N" when refused
};

struct WriteCase {
    const char *what;
    uint32_t property;
    uint32_t index;
    PropertyValue value;
    uint32_t answer;
    // What a read of the property shows afterwards; empty: as before the
    // write (the check every refused write gets).
    std::string after;
    bool saved;
};

// A meter with an object of every class: the load holds the binary
// values, the root device the others.
class Handlers : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        MeterLayout layout;
        layout.loads = {LoadLayout{1, kLoad, "Load", 0, {{6}}}};
        layout.inputs = {InputLayout{0, 0}, InputLayout{1, 1}};
        layout.pulseIds = {0};
        devtest::buildSets(layout);
        for (const auto &[position, input] : inputMapping) {
            std::filesystem::create_directories(root.host(input->stateDirectory()));
        }
        std::filesystem::create_directories(root.host(loadMapping.at(kLoad)->stateDirectory()));
    }

    template <typename T>
    T &object(int32_t device, uint16_t type, uint32_t instance) {
        const ObjectMap &map = device == kRoot ? deviceObjectMap : loadMapping.at(device)->getObjectMap();
        auto *o = dynamic_cast<T *>(objectMapFindId(map, objectIdMake(type, instance)));
        EXPECT_NE(o, nullptr);
        return *o;
    }

    static uint32_t read(int32_t device, uint32_t id, uint32_t property, uint32_t index, PropertyValue *v) {
        uint32_t cursor = property;
        *v = PropertyValue{};
        return appReadProperty(device, id, property, index, v, &cursor);
    }
    static uint32_t write(int32_t device, uint32_t id, uint32_t property, uint32_t index, PropertyValue v) {
        return appWriteProperty(device, id, property, index, &v);
    }
    static std::string readShown(int32_t device, uint32_t id, uint32_t property, uint32_t index) {
        PropertyValue v{};
        const uint32_t e = read(device, id, property, index, &v);
        const std::string s = e == 0 ? shown(v) : "error " + std::to_string(e);
        release(&v);
        return s;
    }

    // The state files of the object's device: the load's, or the first
    // input's (root objects are saved into every input).
    std::string stateFolder(int32_t device) const {
        return device == kRoot ? inputMapping.at(0)->stateDirectory()
                               : loadMapping.at(device)->stateDirectory();
    }
    void clearStateFiles(int32_t device) {
        for (const auto &e : std::filesystem::directory_iterator(root.host(stateFolder(device)))) {
            std::filesystem::remove_all(e.path());
        }
    }

    void runReads(int32_t device, uint32_t id, const std::vector<ReadCase> &cases) {
        for (const ReadCase &c : cases) {
            EXPECT_EQ(readShown(device, id, c.property, c.index), c.expected) << c.what;
        }
    }

    // The writes in order, each against the state the ones before left.
    void runWrites(int32_t device, uint32_t id, const std::vector<WriteCase> &cases) {
        for (const WriteCase &c : cases) {
            const uint32_t readIndex = c.index == 0 ? kWhole : c.index;
            const std::string before = readShown(device, id, c.property, readIndex);
            clearStateFiles(device);
            EXPECT_EQ(write(device, id, c.property, c.index, c.value), c.answer) << c.what;
            const std::string after = readShown(device, id, c.property, readIndex);
            EXPECT_EQ(after, c.after.empty() ? before : c.after) << c.what;
            EXPECT_EQ(filesIn(stateFolder(device)) != 0, c.saved) << c.what;
        }
    }
};

const uint32_t kDenied = kErrWriteAccessDenied;
const uint32_t kType = kErrorInvalidDataType;
const uint32_t kRange = kErrorValueOutOfRange;
const uint32_t kIndex = kErrInvalidArrayIndex;
const std::string kUnknownProperty = "error " + std::to_string(kErrUnknownProperty);

std::string realShown(float f) {
    return "4/0:" + std::to_string(f);
}
std::string doubleShown(double d) {
    return "5/0:" + std::to_string(d);
}
std::string unsignedShown(uint32_t u) {
    return "2/0:" + std::to_string(u);
}
std::string enumShown(uint32_t u) {
    return "9/0:" + std::to_string(u);
}
std::string boolShown(bool b) {
    return "1/0:" + std::to_string(b ? 1 : 0);
}

// ---- analog input ----

TEST_F(Handlers, AnalogInputReads) {
    const uint32_t id = objectIdMake(0, 3);
    auto &ai = object<AnalogInput>(kRoot, 0, 3);
    ai.setPresentValue(121.5);
    ai.setCovIncrement(0.5);
    ai.setMinPresValue(-10);
    ai.setMaxPresValue(600);
    ai.setDeadband(1.5);
    ai.setLowLimit(0);
    ai.setHighLimit(0);
    runReads(kRoot, id,
             {
                 {"present-value", 85, kWhole, realShown(121.5f)},
                 {"units", 117, kWhole, enumShown(ai.getUnits())},
                 {"cov-increment", 22, kWhole, realShown(0.5f)},
                 {"min-pres-value", 69, kWhole, realShown(-10)},
                 {"max-pres-value", 65, kWhole, realShown(600)},
                 {"high-limit with equal limits: the max-pres-value", 45, kWhole, realShown(600)},
                 {"low-limit", 59, kWhole, realShown(0)},
                 {"deadband", 25, kWhole, realShown(1.5f)},
                 {"out-of-service", 81, kWhole, boolShown(false)},
             });
    ai.setLowLimit(100);
    ai.setHighLimit(130);
    runReads(kRoot, id,
             {
                 {"high-limit of a band", 45, kWhole, realShown(130)},
                 {"low-limit of a band", 59, kWhole, realShown(100)},
             });
}

TEST_F(Handlers, AnalogInputWrites) {
    const uint32_t id = objectIdMake(0, 3);
    auto &ai = object<AnalogInput>(kRoot, 0, 3);
    ai.setLowLimit(10);
    ai.setHighLimit(20);
    ai.enableLowLimit();
    runWrites(
        kRoot, id,
        {
            {"present-value in service", 85, kWhole, real(12.5f), kDenied, "", false},
            {"out-of-service", 81, kWhole, boolean(true), 0, boolShown(true), true},
            {"present-value as double", 85, kWhole, dbl(12.5), kType, "", false},
            {"present-value NaN", 85, kWhole, real(kNaN), kRange, "", false},
            {"present-value infinite", 85, kWhole, real(INFINITY), kRange, "", false},
            {"present-value out of service", 85, kWhole, real(12.5f), 0, realShown(12.5f), true},
            {"cov-increment 0", 22, kWhole, real(0), kRange, "", false},
            {"cov-increment negative", 22, kWhole, real(-1), kRange, "", false},
            {"cov-increment NaN", 22, kWhole, real(kNaN), kRange, "", false},
            {"cov-increment as unsigned", 22, kWhole, scalar(kDtUnsigned, 1), kType, "", false},
            {"cov-increment", 22, kWhole, real(0.25f), 0, realShown(0.25f), true},
            {"deadband 9.5 inside the band", 25, kWhole, real(9.5f), 0, realShown(9.5f), true},
            {"deadband 10 fills the band", 25, kWhole, real(10), kRange, "", false},
            {"deadband negative", 25, kWhole, real(-0.5f), kRange, "", false},
            {"deadband NaN", 25, kWhole, real(kNaN), kRange, "", false},
            {"deadband 0", 25, kWhole, real(0), 0, realShown(0), true},
            {"high-limit at the low limit", 45, kWhole, real(10), kRange, "", false},
            {"high-limit below the low limit", 45, kWhole, real(5), kRange, "", false},
            {"high-limit NaN", 45, kWhole, real(kNaN), kRange, "", false},
            {"high-limit as double", 45, kWhole, dbl(30), kType, "", false},
            {"high-limit 10.5", 45, kWhole, real(10.5f), 0, realShown(10.5f), true},
            {"low-limit at the high limit", 59, kWhole, real(10.5f), kRange, "", false},
            {"low-limit NaN", 59, kWhole, real(kNaN), kRange, "", false},
            {"low-limit -inf", 59, kWhole, real(-INFINITY), kRange, "", false},
            {"low-limit", 59, kWhole, real(-5), 0, realShown(-5), true},
            {"limit-enable (0, 1)", 52, kWhole, bits(0x40, 2), 0, "8/0:64/2", true},
            {"limit-enable (1) leaves the high limit", 52, kWhole, bits(0x80, 1), 0, "8/0:192/2", true},
            {"limit-enable (0, 0)", 52, kWhole, bits(0x00, 2), 0, "8/0:0/2", true},
            {"deadband of any size without limits", 25, kWhole, real(500), 0, realShown(500), true},
            {"min-pres-value", 69, kWhole, real(1), kDenied, "", false},
            {"max-pres-value", 65, kWhole, real(1), kDenied, "", false},
            {"units of a voltage", 117, kWhole, scalar(kDtEnumerated, 5), kDenied, "", false},
            {"time-delay", 113, kWhole, scalar(kDtUnsigned, 30), 0, unsignedShown(30), true},
            {"event-detection-enable", 353, kWhole, boolean(true), 0, boolShown(true), true},
            {"an unknown property", 9999, kWhole, real(1), kErrUnknownProperty, kUnknownProperty, false},
        });
}

TEST_F(Handlers, AnalogInputOnALoadIsSavedInTheLoad) {
    const uint32_t id = objectIdMake(0, 30);  // the CT group's amperage
    runWrites(kLoad, id,
              {
                  {"out-of-service", 81, kWhole, boolean(true), 0, boolShown(true), true},
                  {"present-value", 85, kWhole, real(3.5f), 0, realShown(3.5f), true},
                  {"high-limit NaN", 45, kWhole, real(kNaN), kRange, "", false},
              });
}

// A client switching event detection off ends the alarm: the state is
// normal and in-alarm is clear, so no client is left with an alarm it
// cannot clear.
TEST_F(Handlers, EventDetectionOffEndsAnAlarm) {
    const uint32_t id = objectIdMake(0, 3);
    auto &ai = object<AnalogInput>(kRoot, 0, 3);
    ai.setEventDetectionEnable(true);
    ai.setHighLimitState(true);
    ASSERT_EQ(readShown(kRoot, id, 36, kWhole), enumShown(3));
    ASSERT_EQ(readShown(kRoot, id, 111, kWhole), "8/0:128/4");
    ASSERT_EQ(write(kRoot, id, 353, kWhole, boolean(false)), 0u);
    EXPECT_EQ(readShown(kRoot, id, 36, kWhole), enumShown(0));
    EXPECT_EQ(readShown(kRoot, id, 111, kWhole), "8/0:0/4");
}

// Units of a phase angle: the limits, the deadband and the cov-increment
// follow, converted together.
TEST_F(Handlers, PhaseAngleUnits) {
    const uint32_t id = objectIdMake(0, 7);  // Line 1 Phase Angle, degrees
    auto &ai = object<AnalogInput>(kRoot, 0, 7);
    ASSERT_EQ(ai.getUnits(), 14u);
    EXPECT_EQ(write(kRoot, id, 117, kWhole, scalar(kDtEnumerated, 103)), kDenied)
        << "protected until the import";
    ai.setUnitsReadOnly(false);  // as the mapping import does for phase angles
    ai.setCovIncrement(1.0);
    ai.setHighLimit(180.0);
    ai.setLowLimit(-180.0);

    struct Case {
        const char *what;
        PropertyValue value;
        uint32_t answer;
        uint32_t units;
        double cov, high, low;
    };
    const double tolerance = 1e-5;
    const Case cases[] = {
        {"to radians", scalar(kDtEnumerated, 103), 0, 103, 0.0174533, 3.14159, -3.14159},
        {"radians again: nothing moves", scalar(kDtEnumerated, 103), 0, 103, 0.0174533, 3.14159, -3.14159},
        {"volts", scalar(kDtEnumerated, 5), kRange, 103, 0.0174533, 3.14159, -3.14159},
        {"as unsigned", scalar(kDtUnsigned, 14), kType, 103, 0.0174533, 3.14159, -3.14159},
        {"back to degrees", scalar(kDtEnumerated, 14), 0, 14, 1.0, 180.0, -180.0},
    };
    for (const Case &c : cases) {
        clearStateFiles(kRoot);
        EXPECT_EQ(write(kRoot, id, 117, kWhole, c.value), c.answer) << c.what;
        EXPECT_EQ(ai.getUnits(), c.units) << c.what;
        EXPECT_NEAR(ai.getCovIncrement(), c.cov, tolerance * std::max(1.0, c.cov)) << c.what;
        EXPECT_NEAR(ai.getHighLimit(), c.high, tolerance * std::fabs(c.high)) << c.what;
        EXPECT_NEAR(ai.getLowLimit(), c.low, tolerance * std::fabs(c.low)) << c.what;
        // A changed unit is kept like every other write.
        EXPECT_EQ(filesIn(stateFolder(kRoot)) != 0, c.answer == 0) << c.what;
    }
    // The next start reads the radians and the converted values back.
    ASSERT_EQ(write(kRoot, id, 117, kWhole, scalar(kDtEnumerated, 103)), 0u);
    ai.setUnits(14);
    ai.setHighLimit(180.0);
    inputMapping.at(0)->loadObjects();
    EXPECT_EQ(ai.getUnits(), 103u);
    EXPECT_NEAR(ai.getHighLimit(), 3.14159, 1e-5);
}

// With both limits on, a band of positive angles must not be swapped or
// moved by the auto-correction when it changes units.
TEST_F(Handlers, UnitsChangeKeepsTheBand) {
    const uint32_t id = objectIdMake(0, 7);
    auto &ai = object<AnalogInput>(kRoot, 0, 7);
    ai.setUnitsReadOnly(false);
    ai.setHighLimit(20.0);
    ai.setLowLimit(10.0);
    ai.setDeadband(2.0);
    ai.enableLowLimit();
    ai.enableHighLimit();
    ASSERT_EQ(write(kRoot, id, 117, kWhole, scalar(kDtEnumerated, 103)), 0u);
    EXPECT_NEAR(ai.getLowLimit(), 10.0 * 0.017453292519943295, 1e-9);
    EXPECT_NEAR(ai.getHighLimit(), 20.0 * 0.017453292519943295, 1e-9);
    EXPECT_NEAR(ai.getDeadband(), 2.0 * 0.017453292519943295, 1e-9);
    ASSERT_EQ(write(kRoot, id, 117, kWhole, scalar(kDtEnumerated, 14)), 0u);
    EXPECT_NEAR(ai.getLowLimit(), 10.0, 1e-4);
    EXPECT_NEAR(ai.getHighLimit(), 20.0, 1e-4);
    EXPECT_NEAR(ai.getDeadband(), 2.0, 1e-5);
}

// ---- large analog value ----

TEST_F(Handlers, LargeAnalogValue) {
    const uint32_t id = objectIdMake(46, 1);
    auto &lav = object<LargeAnalogValue>(kRoot, 46, 1);
    lav.setPresentValue(123456789.125);
    runReads(kRoot, id,
             {
                 {"present-value in double precision", 85, kWhole, doubleShown(123456789.125)},
                 {"high-limit with equal limits: the limit itself", 45, kWhole, doubleShown(0)},
                 {"min-pres-value is not listed", 69, kWhole, kUnknownProperty},
                 {"max-pres-value is not listed", 65, kWhole, kUnknownProperty},
             });
    runWrites(kRoot, id,
              {
                  {"low-limit as real", 59, kWhole, real(-5), kType, "", false},
                  {"low-limit as double", 59, kWhole, dbl(-5.0), 0, doubleShown(-5.0), true},
                  {"high-limit NaN", 45, kWhole, dbl(std::nan("")), kRange, "", false},
                  {"high-limit", 45, kWhole, dbl(1e12), 0, doubleShown(1e12), true},
                  {"cov-increment as real", 22, kWhole, real(1), kType, "", false},
                  {"cov-increment", 22, kWhole, dbl(0.001), 0, doubleShown(0.001), true},
                  {"deadband infinite", 25, kWhole, dbl(INFINITY), kRange, "", false},
                  {"units", 117, kWhole, scalar(kDtEnumerated, 19), kDenied, "", false},
                  {"present-value in service", 85, kWhole, dbl(1), kDenied, "", false},
                  {"out-of-service", 81, kWhole, boolean(true), 0, boolShown(true), true},
                  {"present-value as real", 85, kWhole, real(1), kType, "", false},
                  {"present-value", 85, kWhole, dbl(9.0e15), 0, doubleShown(9.0e15), true},
              });
}

// ---- pulse converter ----

TEST_F(Handlers, PulseConverter) {
    const uint32_t id = objectIdMake(24, 1);
    auto &pc = object<PulseConverter>(kRoot, 24, 1);
    pc.setScale(0.5);
    pc.setCount(10);
    runReads(kRoot, id,
             {
                 {"present-value: count x scale", 85, kWhole, realShown(5)},
                 {"count", 177, kWhole, unsignedShown(10)},
                 {"count-before-change", 178, kWhole, unsignedShown(0)},
                 {"scale", 188, kWhole, realShown(0.5f)},
                 {"adjust-value", 176, kWhole, realShown(0)},
                 {"cov-period", 180, kWhole, unsignedShown(0)},
                 {"cov-increment", 22, kWhole, realShown(1)},
                 {"input-reference", 181, kWhole, kUnknownProperty},
                 {"units", 117, kWhole, enumShown(pc.getUnits())},
             });
    PropertyValue v{};
    ASSERT_EQ(read(kRoot, id, 189, kWhole, &v), 0u);
    EXPECT_EQ(v.datatype, kDtDateTime);
    EXPECT_NE(v.value.dateTime.date.year, 255) << "a count update stamps update-time";
    ASSERT_EQ(read(kRoot, id, 179, kWhole, &v), 0u);
    EXPECT_EQ(v.datatype, kDtDateTime);
    EXPECT_EQ(v.value.dateTime.date.year, 255) << "no adjust-value yet";

    runWrites(kRoot, id,
              {
                  {"input-reference", 181, kWhole, real(1), kErrUnknownProperty, kUnknownProperty, false},
                  {"scale 0", 188, kWhole, real(0), kRange, "", false},
                  {"scale negative", 188, kWhole, real(-1), kRange, "", false},
                  {"scale NaN", 188, kWhole, real(kNaN), kRange, "", false},
                  {"scale as double", 188, kWhole, dbl(2), kType, "", false},
                  {"scale", 188, kWhole, real(2), 0, realShown(2), true},
                  {"cov-period 60", 180, kWhole, scalar(kDtUnsigned, 60), 0, unsignedShown(60), true},
                  {"cov-period the longest countable", 180, kWhole, scalar(kDtUnsigned, 4294967), 0,
                   unsignedShown(4294967), true},
                  {"cov-period past 32-bit ms", 180, kWhole, scalar(kDtUnsigned, 4294968), kRange, "", false},
                  {"cov-period as real", 180, kWhole, real(60), kType, "", false},
                  {"adjust-value of more pulses than counted", 176, kWhole, real(30), kRange, "", false},
                  {"adjust-value", 176, kWhole, real(6), 0, realShown(6), true},
                  {"adjust-value NaN", 176, kWhole, real(kNaN), kRange, "", false},
                  {"adjust-value as unsigned", 176, kWhole, scalar(kDtUnsigned, 1), kType, "", false},
                  {"count", 177, kWhole, scalar(kDtUnsigned, 1), kDenied, "", false},
                  {"count-before-change", 178, kWhole, scalar(kDtUnsigned, 1), kDenied, "", false},
                  {"update-time", 189, kWhole, scalar(kDtUnsigned, 1), kDenied, "", false},
                  {"units", 117, kWhole, scalar(kDtEnumerated, 95), kDenied, "", false},
                  {"present-value in service", 85, kWhole, real(1), kDenied, "", false},
                  {"out-of-service", 81, kWhole, boolean(true), 0, boolShown(true), true},
                  {"present-value", 85, kWhole, real(42), 0, realShown(42), true},
                  {"high-limit above the low limit", 45, kWhole, real(100), 0, realShown(100), true},
              });
    EXPECT_EQ(readShown(kRoot, id, 178, kWhole), unsignedShown(10)) << "the count before the adjust-value";
    EXPECT_EQ(readShown(kLoad, id, 85, kWhole), "error " + std::to_string(kErrUnknownObject));
}

// ---- COV on an out-of-service change ----

// Two subscribers of an analog input and of a pulse converter hear of a
// change of out-of-service once each, and of a write that changes nothing
// not at all.
TEST_F(Handlers, OutOfServiceChangeNotifiesEverySubscriberOnce) {
    communicationConfig.type = 1;
    communicationConfig.setUdpPort(47808);
    harness::FakeLink link;
    ASSERT_TRUE(link.started());
    auto subscriber = [](uint16_t port, uint32_t objectId) {
        CovSubscriber s{};
        s.subscriber.port = kPortBip;
        s.subscriber.macLength = 6;
        std::memcpy(s.subscriber.mac, harness::kClient, 4);
        s.subscriber.mac[4] = static_cast<uint8_t>(port >> 8);
        s.subscriber.mac[5] = static_cast<uint8_t>(port);
        s.subscriber.maxApdu = 1476;
        s.processId = port;
        s.monitoredObject = objectId;
        s.lifetime = 600;
        return s;
    };
    struct Case {
        const char *what;
        uint32_t objectId;
    };
    for (const Case &c :
         {Case{"analog input", objectIdMake(0, 3)}, Case{"pulse converter", objectIdMake(24, 1)}}) {
        BACnetObject &o = *objectMapFindId(deviceObjectMap, c.objectId);
        ASSERT_EQ(o.subscribeCov(subscriber(47809, c.objectId)), 0u) << c.what;
        ASSERT_EQ(o.subscribeCov(subscriber(47810, c.objectId)), 0u) << c.what;
        harness::takeSent();
        auto covsTo = [](const std::vector<harness::Datagram> &sent) {
            std::vector<uint16_t> ports;
            for (const auto &d : sent) {
                const e2e::Bytes apdu = e2e::apduOf(d.data);
                if (apdu.size() >= 2 && apdu[0] == 0x10 && apdu[1] == 0x02) {
                    ports.push_back(ntohs(d.port));
                }
            }
            std::sort(ports.begin(), ports.end());
            return ports;
        };
        ASSERT_EQ(write(kRoot, c.objectId, 81, kWhole, boolean(true)), 0u) << c.what;
        harness::pump();
        EXPECT_EQ(covsTo(harness::takeSent()), (std::vector<uint16_t>{47809, 47810})) << c.what;
        ASSERT_EQ(write(kRoot, c.objectId, 81, kWhole, boolean(true)), 0u) << c.what;
        harness::pump();
        EXPECT_TRUE(covsTo(harness::takeSent()).empty()) << c.what << ": no change, no notification";
        ASSERT_EQ(write(kRoot, c.objectId, 81, kWhole, boolean(false)), 0u) << c.what;
        harness::pump();
        EXPECT_EQ(covsTo(harness::takeSent()).size(), 2u) << c.what << ": back in service";
    }
}

// ---- notification class ----

TEST_F(Handlers, NotificationClassPriorities) {
    const uint32_t id = objectIdMake(15, 1);
    auto &nc = object<NotificationClass>(kRoot, 15, 1);
    nc.setPriority(10, 0);
    nc.setPriority(20, 1);
    nc.setPriority(30, 2);
    nc.setAckRequiredToNormal(true);
    runReads(kRoot, id,
             {
                 {"notification-class", 17, kWhole, unsignedShown(nc.getClassNumber())},
                 {"ack-required: to-normal", 1, kWhole, "8/0:32/3"},
                 {"priority size", 86, 0, unsignedShown(3)},
                 {"priority to-offnormal", 86, 1, unsignedShown(10)},
                 {"priority to-fault", 86, 2, unsignedShown(20)},
                 {"priority to-normal", 86, 3, unsignedShown(30)},
                 {"priority 4", 86, 4, "error " + std::to_string(kIndex)},
                 {"priority whole", 86, kWhole, "2/3:-"},
             });
    PropertyValue v{};
    ASSERT_EQ(read(kRoot, id, 86, kWhole, &v), 0u);
    const auto *p = static_cast<const uint32_t *>(v.value.block);
    EXPECT_EQ(std::vector<uint32_t>(p, p + 3), (std::vector<uint32_t>{10, 20, 30}));
    release(&v);

    // Element writes arrive inline or, as the decoder gives an array
    // element, in a block of one.
    uint32_t one[] = {40};
    PropertyValue inBlock = scalar(kDtUnsigned, 0);
    inBlock.count = 1;
    inBlock.value.block = one;
    uint32_t three[] = {1, 2, 3};
    PropertyValue whole = scalar(kDtUnsigned, 0);
    whole.count = 3;
    whole.value.block = three;
    uint32_t oneBad[] = {1, 300, 3};
    PropertyValue wholeBad = whole;
    wholeBad.value.block = oneBad;
    PropertyValue two = whole;
    two.count = 2;
    PropertyValue empty{};
    empty.datatype = kDtEmptyList;
    runWrites(kRoot, id,
              {
                  {"to-fault 300", 86, 2, scalar(kDtUnsigned, 300), kRange, "", false},
                  {"to-fault 200", 86, 2, scalar(kDtUnsigned, 200), 0, unsignedShown(200), true},
                  {"to-normal from a block of one", 86, 3, inBlock, 0, unsignedShown(40), true},
                  {"as real", 86, 1, real(1), kType, "", false},
                  {"index 0", 86, 0, scalar(kDtUnsigned, 3), kDenied, "", false},
                  {"index 4", 86, 4, scalar(kDtUnsigned, 3), kIndex, "", false},
                  {"whole of two", 86, kWhole, two, kIndex, "", false},
                  {"whole, empty", 86, kWhole, empty, kIndex, "", false},
                  {"whole with one too large: nothing stored", 86, kWhole, wholeBad, kRange, "", false},
                  {"whole", 86, kWhole, whole, 0, "2/3:-", true},
                  {"notification-class", 17, kWhole, scalar(kDtUnsigned, 9), kDenied, "", false},
                  {"ack-required", 1, kWhole, bits(0xE0, 3), kDenied, "", false},
              });
    EXPECT_EQ(nc.getToOffnormalPriority(), 1u);
    EXPECT_EQ(nc.getToFaultPriority(), 2u);
    EXPECT_EQ(nc.getToNormalPriority(), 3u);
}

BACnetDestination toDevice(uint32_t instance, uint16_t processId = 1) {
    BACnetDestination d{};
    d.validDays = 0xFE;
    d.transitions = 0xE0;
    d.processId = processId;
    d.to = BACnetTime{23, 59, 59, 99};
    d.recipient.choice = kRecipientDevice;
    d.recipient.device = objectIdMake(kObjDevice, instance);
    return d;
}

PropertyValue destinations(std::vector<BACnetDestination> &list) {
    PropertyValue v{};
    v.datatype = kDtDestination;
    v.count = static_cast<uint16_t>(list.size());
    v.value.block = list.empty() ? nullptr : list.data();
    return v;
}

std::vector<uint32_t> recipientDevices(const NotificationClass &nc) {
    std::vector<uint32_t> out;
    for (const BACnetDestination &d : nc.getRecipients()) {
        out.push_back(objectIdInstance(d.recipient.device));
    }
    return out;
}

TEST_F(Handlers, RecipientList) {
    const uint32_t id = objectIdMake(15, 1);
    auto &nc = object<NotificationClass>(kRoot, 15, 1);
    nc.replaceRecipients({});
    EXPECT_EQ(readShown(kRoot, id, 102, kWhole), "17/0:0") << "no recipients: an empty list";

    std::vector<BACnetDestination> two = {toDevice(7), toDevice(8)};
    std::vector<BACnetDestination> six;
    for (uint32_t i = 0; i < 6; ++i) {
        six.push_back(toDevice(100 + i));
    }
    std::vector<BACnetDestination> badSecondTime = {toDevice(20), toDevice(21)};
    badSecondTime[1].to.hour = 255;
    std::vector<BACnetDestination> badFromTime = {toDevice(20)};
    badFromTime[0].from.hundredths = 255;
    std::vector<BACnetDestination> notADevice = {toDevice(22)};
    notADevice[0].recipient.device = objectIdMake(kObjAnalogInput, 3);
    std::vector<BACnetDestination> byAddress = {toDevice(0)};
    byAddress[0].recipient = BACnetRecipient{kRecipientAddress, 0, 0xFFFF, 0, {}};
    std::vector<BACnetDestination> none;
    PropertyValue oneWithoutCount = destinations(byAddress);
    oneWithoutCount.count = 0;

    struct Case {
        const char *what;
        PropertyValue value;
        uint32_t answer;
        std::vector<uint32_t> devices;  // the recipient devices after the write
        bool saved;
    };
    const Case cases[] = {
        {"two devices", destinations(two), 0, {7, 8}, true},
        {"six", destinations(six), kErrorNoSpaceToAddListElement, {7, 8}, false},
        {"second with an unspecified to-time", destinations(badSecondTime), kRange, {7, 8}, false},
        {"unspecified from-time", destinations(badFromTime), kRange, {7, 8}, false},
        {"a recipient device that is an analog input", destinations(notADevice), kRange, {7, 8}, false},
        {"as unsigned", scalar(kDtUnsigned, 1), kType, {7, 8}, false},
        {"a block without a count: one destination", oneWithoutCount, 0, {0}, true},
        {"empty", destinations(none), 0, {}, true},
    };
    for (const Case &c : cases) {
        clearStateFiles(kRoot);
        PropertyValue v = c.value;
        EXPECT_EQ(appWriteProperty(kRoot, id, 102, kWhole, &v), c.answer) << c.what;
        EXPECT_EQ(recipientDevices(nc), c.devices) << c.what;
        EXPECT_EQ(filesIn(stateFolder(kRoot)) != 0, c.saved) << c.what;
    }

    ASSERT_EQ(write(kRoot, id, 102, kWhole, destinations(two)), 0u);
    PropertyValue read{};
    ASSERT_EQ(Handlers::read(kRoot, id, 102, kWhole, &read), 0u);
    ASSERT_EQ(read.datatype, kDtDestination);
    ASSERT_EQ(read.count, 2);
    const auto *copies = static_cast<const BACnetDestination *>(read.value.block);
    EXPECT_EQ(std::memcmp(&copies[0], &two[0], sizeof two[0]), 0);
    EXPECT_EQ(std::memcmp(&copies[1], &two[1], sizeof two[1]), 0);
    release(&read);
}

// A recipient device the stack has no address for is asked for with one
// Who-Is for exactly its instance; a bound one and the unassigned
// instance are not.
TEST_F(Handlers, RecipientDeviceWithoutAddressIsLookedFor) {
    communicationConfig.type = 1;
    communicationConfig.setUdpPort(47808);
    harness::FakeLink link;
    ASSERT_TRUE(link.started());
    link.advance(20000);  // past any hold-off of the start
    harness::takeSent();
    const uint32_t id = objectIdMake(15, 1);
    std::vector<BACnetDestination> list = {toDevice(1234), toDevice(1234, 2), toDevice(kMaxInstance)};
    ASSERT_EQ(write(kRoot, id, 102, kWhole, destinations(list)), 0u);
    link.advance(50);
    std::vector<e2e::Bytes> whoIs;
    for (const auto &d : harness::takeSent()) {
        const e2e::Bytes apdu = e2e::apduOf(d.data);
        if (apdu.size() >= 2 && apdu[0] == 0x10 && apdu[1] == 0x08) {
            whoIs.push_back(apdu);
        }
    }
    ASSERT_EQ(whoIs.size(), 1u);
    EXPECT_EQ(e2e::hex(whoIs[0]), "10 08 0A 04 D2 1A 04 D2");
}

// ---- multi-state value ----

TEST_F(Handlers, MultiStateValue) {
    const uint32_t id = objectIdMake(19, 1);
    auto &msv = object<MultiStateValue>(kRoot, 19, 1);
    const uint32_t n = msv.getNumberOfStates();
    ASSERT_EQ(n, 5u);
    runReads(kRoot, id,
             {
                 {"number-of-states", 74, kWhole, unsignedShown(5)},
                 {"present-value", 85, kWhole, unsignedShown(msv.getPresentValue())},
                 {"state-text size", 110, 0, unsignedShown(5)},
                 {"state-text 3", 110, 3, "7/1:-"},
                 {"state-text past the last", 110, 6, "error " + std::to_string(kIndex)},
                 {"state-text whole", 110, kWhole, "7/5:-"},
             });
    PropertyValue v{};
    ASSERT_EQ(read(kRoot, id, 110, 3, &v), 0u);
    const auto *third = static_cast<const CharString *>(v.value.block);
    EXPECT_EQ(std::string(third->chars(), third->length), "Reserved");
    release(&v);
    ASSERT_EQ(read(kRoot, id, 110, kWhole, &v), 0u);
    // Each text behind its 8-octet header, no gap, no terminator.
    const auto *packed = static_cast<const uint8_t *>(v.value.block);
    std::vector<std::string> texts;
    size_t at = 0;
    for (uint16_t i = 0; i < v.count; ++i) {
        CharString h{};
        std::memcpy(&h, packed + at, sizeof h);
        texts.emplace_back(reinterpret_cast<const char *>(packed + at + sizeof h), h.length);
        at += sizeof h + h.length;
    }
    release(&v);
    EXPECT_EQ(texts, (std::vector<std::string>{"4-Wire wye", "3-Wire delta", "Reserved",
                                               "3-Wire single phase (split-phase)", "2-Wire single phase"}));

    runWrites(
        kRoot, id,
        {
            {"present-value in service", 85, kWhole, scalar(kDtUnsigned, 2), kDenied, "", false},
            {"out-of-service", 81, kWhole, boolean(true), 0, boolShown(true), true},
            {"present-value 0", 85, kWhole, scalar(kDtUnsigned, 0), kRange, "", false},
            {"present-value past the last state", 85, kWhole, scalar(kDtUnsigned, 6), kRange, "", false},
            {"present-value as enumerated", 85, kWhole, scalar(kDtEnumerated, 2), kType, "", false},
            {"present-value 2: not kept in the file", 85, kWhole, scalar(kDtUnsigned, 2), 0, unsignedShown(2),
             false},
            {"number-of-states", 74, kWhole, scalar(kDtUnsigned, 2), kDenied, "", false},
            {"state-text", 110, kWhole, scalar(kDtUnsigned, 2), kDenied, "", false},
        });
}

TEST_F(Handlers, MultiStateValueWithoutStatesAnswersOneEmptyText) {
    MultiStateValue bare(9, "Bare", 0);
    objectMapAdd(deviceObjectMap, &bare);
    PropertyValue v{};
    ASSERT_EQ(read(kRoot, objectIdMake(19, 9), 110, kWhole, &v), 0u);
    EXPECT_EQ(v.datatype, kDtCharString);
    EXPECT_EQ(v.count, 1);
    EXPECT_EQ(static_cast<const CharString *>(v.value.block)->length, 0u);
    release(&v);
    EXPECT_EQ(readShown(kRoot, objectIdMake(19, 9), 110, 0), unsignedShown(0));
    EXPECT_EQ(readShown(kRoot, objectIdMake(19, 9), 110, 1), "error " + std::to_string(kIndex));
    deviceObjectMap.erase(objectIdMake(19, 9));
}

// ---- binary value ----

TEST_F(Handlers, BinaryValue) {
    const uint32_t id = objectIdMake(5, 1);
    PropertyValue v{};
    for (const auto &[property, text] : {std::pair{4u, "on"}, std::pair{46u, "off"}}) {
        ASSERT_EQ(read(kLoad, id, property, kWhole, &v), 0u);
        const auto *s = static_cast<const CharString *>(v.value.block);
        EXPECT_EQ(std::string(s->chars(), s->length), text);
        release(&v);
    }
    runReads(kLoad, id, {{"present-value", 85, kWhole, enumShown(0)}});
    runWrites(kLoad, id,
              {
                  {"present-value in service", 85, kWhole, scalar(kDtEnumerated, 1), kDenied, "", false},
                  {"out-of-service", 81, kWhole, boolean(true), 0, boolShown(true), true},
                  {"present-value 2", 85, kWhole, scalar(kDtEnumerated, 2), kRange, "", false},
                  {"present-value as unsigned", 85, kWhole, scalar(kDtUnsigned, 1), kType, "", false},
                  {"present-value active", 85, kWhole, scalar(kDtEnumerated, 1), 0, enumShown(1), true},
                  {"active-text", 4, kWhole, scalar(kDtEnumerated, 1), kDenied, "", false},
                  {"inactive-text", 46, kWhole, scalar(kDtEnumerated, 1), kDenied, "", false},
              });
    EXPECT_EQ(readShown(kRoot, id, 85, kWhole), "error " + std::to_string(kErrUnknownObject));
}

// Every row encodes: ReadPropertyMultiple of all properties of an object
// of each class, through the stack, answers every listed property but
// property-list (and the converter's input-reference) without an error.
TEST_F(Handlers, EveryRowEncodesThroughTheStack) {
    communicationConfig.type = 1;
    communicationConfig.setUdpPort(47808);
    harness::FakeLink link;
    ASSERT_TRUE(link.started());
    auto &nc = object<NotificationClass>(kRoot, 15, 1);
    for (uint32_t i = 0; i < 3; ++i) {
        nc.setPriority(i + 1, i);
    }
    std::vector<BACnetDestination> list = {toDevice(7)};
    list.push_back(toDevice(0));
    list[1].recipient = BACnetRecipient{kRecipientAddress, 0, 5, 6, {192, 0, 2, 30, 0xBA, 0xC0}};
    ASSERT_EQ(write(kRoot, objectIdMake(15, 1), 102, kWhole, destinations(list)), 0u);
    object<PulseConverter>(kRoot, 24, 1).setCount(3);

    struct Case {
        int32_t device;
        uint32_t objectId;
    };
    const Case cases[] = {
        {kRoot, objectIdMake(0, 3)},  {kRoot, objectIdMake(0, 7)},  {kRoot, objectIdMake(46, 1)},
        {kRoot, objectIdMake(24, 1)}, {kRoot, objectIdMake(15, 1)}, {kRoot, objectIdMake(19, 1)},
        {kLoad, objectIdMake(0, 30)}, {kLoad, objectIdMake(46, 1)}, {kLoad, objectIdMake(15, 1)},
        {kLoad, objectIdMake(5, 1)},
    };
    uint8_t invokeId = 0;
    for (const Case &c : cases) {
        const e2e::Bytes request = e2e::rpm(++invokeId, {{c.objectId, {{kPropAll}}}});
        const auto sent =
            link.request(c.device == kRoot ? e2e::local(request)
                                           : e2e::toVirtual(100, static_cast<uint32_t>(c.device), request));
        // The answer, beside the Who-Is for the recipient device 7.
        e2e::Bytes answer;
        for (const auto &d : sent) {
            const e2e::Bytes apdu = e2e::apduOf(d.data);
            if (!apdu.empty() && (apdu[0] >> 4) != 1) {
                answer = apdu;
            }
        }
        ASSERT_GE(answer.size(), 3u) << c.objectId;
        ASSERT_EQ(answer[0], 0x30) << e2e::hex(answer);
        std::vector<e2e::RpmResult> results;
        ASSERT_TRUE(e2e::readRpmAck(e2e::Bytes(answer.begin() + 3, answer.end()), &results))
            << e2e::hex(answer);
        std::vector<uint32_t> properties;
        for (const auto &r : results) {
            EXPECT_TRUE(r.ok) << "object " << c.objectId << " property " << r.property;
            properties.push_back(r.property);
            if (c.device == kRoot && c.objectId == objectIdMake(15, 1) && r.property == 86) {
                EXPECT_EQ(e2e::hex(r.value), "21 01 21 02 21 03");
            }
        }
        std::vector<uint32_t> expected;
        for (const uint32_t *p = appPropertyList(objectIdType(c.objectId), kPropAll) + 1; *p != 0xFFFFFFFF;
             ++p) {
            if (*p != 371 && !(objectIdType(c.objectId) == 24 && *p == 181)) {
                expected.push_back(*p);
            }
        }
        EXPECT_EQ(properties, expected) << "object " << c.objectId;
    }
}

// Written values as the stack decodes them from the wire: array elements,
// whole arrays and destination lists reach the rows in the forms they take.
TEST_F(Handlers, WritesDecodedByTheStack) {
    communicationConfig.type = 1;
    communicationConfig.setUdpPort(47808);
    harness::FakeLink link;
    ASSERT_TRUE(link.started());
    auto &nc = object<NotificationClass>(kRoot, 15, 1);
    object<AnalogInput>(kRoot, 0, 7).setUnitsReadOnly(false);
    object<LargeAnalogValue>(kRoot, 46, 1).setHighLimit(100.0);
    const e2e::Bytes destination1234 = {0x82, 0x01, 0xFE,                     // every day
                                        0xB4, 0x00, 0x00, 0x00, 0x00,         // from 00:00
                                        0xB4, 0x17, 0x3B, 0x3B, 0x63,         // to 23:59:59.99
                                        0x0C, 0x02, 0x00, 0x04, 0xD2,         // device 1234
                                        0x21, 0x01, 0x10, 0x82, 0x05, 0xE0};  // process 1, unconfirmed, all
    struct Case {
        const char *what;
        uint32_t objectId;
        uint32_t property;
        uint32_t index;
        e2e::Bytes value;
        std::string answer;  // after the invoke id
    };
    const std::string ack = "0F";
    auto error = [](uint8_t code) { return "0F 91 02 91 " + e2e::hex({code}); };
    const Case cases[] = {
        {"priority 2", objectIdMake(15, 1), 86, 2, {0x21, 0xC8}, ack},
        {"priority 2 of 300", objectIdMake(15, 1), 86, 2, {0x22, 0x01, 0x2C}, error(0x25)},
        {"priority whole", objectIdMake(15, 1), 86, kWhole, {0x21, 0x05, 0x21, 0x06, 0x21, 0x07}, ack},
        {"priority whole of two", objectIdMake(15, 1), 86, kWhole, {0x21, 0x08, 0x21, 0x09}, error(0x2A)},
        {"priority whole, one of 300",
         objectIdMake(15, 1),
         86,
         kWhole,
         {0x21, 0x08, 0x22, 0x01, 0x2C, 0x21, 0x09},
         error(0x25)},
        {"recipient-list", objectIdMake(15, 1), 102, kWhole, destination1234, ack},
        {"present-value in service",
         objectIdMake(0, 3),
         85,
         kWhole,
         {0x44, 0x41, 0x48, 0x00, 0x00},
         error(0x28)},
        {"units to radians", objectIdMake(0, 7), 117, kWhole, {0x91, 0x67}, ack},
        {"large low-limit as double",
         objectIdMake(46, 1),
         59,
         kWhole,
         {0x55, 0x08, 0x40, 0x14, 0, 0, 0, 0, 0, 0},
         ack},
    };
    uint8_t invokeId = 0;
    for (const Case &c : cases) {
        e2e::Bytes request = e2e::confirmedHeader(0, 0x05, ++invokeId, kSvcWriteProperty);
        request = e2e::cat(request, e2e::ctxObjectId(0, c.objectId));
        request = e2e::cat(request, e2e::ctxUnsigned(1, c.property));
        if (c.index != kWhole) {
            request = e2e::cat(request, e2e::ctxUnsigned(2, c.index));
        }
        request = e2e::cat(e2e::cat(e2e::cat(request, e2e::openingTag(3)), c.value), e2e::closingTag(3));
        std::string answer;
        for (const auto &d : link.request(e2e::local(request))) {
            const e2e::Bytes apdu = e2e::apduOf(d.data);
            if (apdu.size() >= 3 && (apdu[0] == 0x20 || apdu[0] == 0x50)) {
                answer = e2e::hex(e2e::Bytes(apdu.begin() + 2, apdu.end()));
            }
        }
        EXPECT_EQ(answer, c.answer) << c.what;
    }
    EXPECT_EQ(nc.getToOffnormalPriority(), 5u);
    EXPECT_EQ(nc.getToFaultPriority(), 6u);
    EXPECT_EQ(nc.getToNormalPriority(), 7u);
    EXPECT_EQ(recipientDevices(nc), (std::vector<uint32_t>{1234}));
    EXPECT_EQ(object<AnalogInput>(kRoot, 0, 7).getUnits(), 103u);
    EXPECT_EQ(object<LargeAnalogValue>(kRoot, 46, 1).getLowLimit(), 5.0);
}

}  // namespace
