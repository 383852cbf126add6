// The property tables, the checks the access core asks first, the walk
// through all, required and optional, and every refusal of the handler
// frame and its common encodings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "bacnet/app_memory.h"
#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "device/application.h"
#include "device_fixture.h"

namespace {

using devtest::DeviceTest;
using devtest::InputLayout;
using devtest::LoadLayout;
using devtest::MeterLayout;
using List = std::vector<uint32_t>;

constexpr uint32_t kEnd = 0xFFFFFFFF;

struct TypeLists {
    uint16_t type;
    List all, required, optional;
};

// The lists after their heads, as the protocol documentation of this
// device gives them.
const TypeLists expectedLists[] = {
    {0,
     {75, 77, 79, 85, 81, 111, 36, 117, 22, 113, 356, 17, 69, 65, 45, 59, 25, 52, 35, 0, 72, 130, 351, 353, 354, 371},
     {75, 77, 79, 85, 111, 36, 81, 117, 371},
     {22, 113, 356, 17, 69, 65, 45, 59, 25, 52, 35, 0, 72, 130, 351, 353, 354}},
    {5, {75, 77, 79, 85, 111, 36, 81, 46, 4, 371}, {75, 77, 79, 85, 111, 36, 81, 371}, {46, 4}},
    {19, {75, 77, 79, 85, 81, 111, 36, 74, 110, 371}, {75, 77, 79, 85, 111, 36, 81, 74, 371}, {110}},
    {15, {75, 77, 79, 17, 86, 1, 102, 371}, {75, 77, 79, 17, 86, 1, 102, 371}, {}},
    {24,
     {75, 77, 79, 85, 181, 111, 36, 81, 117, 188, 176, 177, 189, 179, 178, 22, 180, 17, 113, 356, 45, 59, 25, 52, 35, 0,
      72, 130, 351, 353, 354, 371},
     {75, 77, 79, 85, 111, 36, 81, 117, 188, 176, 177, 189, 179, 178, 371},
     {22, 180, 17, 113, 356, 45, 59, 25, 52, 35, 0, 72, 130, 351, 353, 354}},
    {46,
     {75, 77, 79, 85, 81, 111, 36, 117, 22, 113, 356, 17, 45, 59, 25, 52, 35, 0, 72, 130, 351, 353, 354, 371},
     {75, 77, 79, 85, 111, 36, 117, 371},
     {22, 113, 356, 17, 45, 59, 25, 52, 35, 0, 72, 130, 351, 353, 354}},
};
const List expectedDeviceAll = {75, 77, 79, 112, 121, 120, 70, 44, 12, 58, 28, 98, 139, 62, 107, 119,
                                11, 10, 73, 97, 96,  76,  57, 56, 64, 63, 30, 167, 155, 152, 372, 371};

List tail(const uint32_t *list, uint32_t head) {
    List out;
    if (list == nullptr) {
        return {0xDEAD};
    }
    EXPECT_EQ(list[0], head);
    for (const uint32_t *p = list + 1; *p != kEnd; ++p) {
        out.push_back(*p);
    }
    return out;
}

TEST(PropertyTables, ListsOfEveryTypeAndTheDevice) {
    for (const TypeLists &t : expectedLists) {
        EXPECT_EQ(tail(appPropertyList(t.type, kPropAll), kPropAll), t.all) << t.type;
        EXPECT_EQ(tail(appPropertyList(t.type, kPropRequired), kPropRequired), t.required) << t.type;
        EXPECT_EQ(tail(appPropertyList(t.type, kPropOptional), kPropOptional), t.optional) << t.type;
    }
    EXPECT_EQ(tail(appPropertyList(8, kPropAll), kPropAll), expectedDeviceAll);
    EXPECT_EQ(appPropertyList(20, kPropAll), nullptr);
    EXPECT_EQ(appPropertyList(3, kPropAll), nullptr);
}

// A meter with an object of every type on the device that serves it.
class Tables : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        MeterLayout layout;
        layout.loads = {LoadLayout{1, 1001, "Load", 0, {{6}}}};
        layout.inputs = {InputLayout{0, 0}, InputLayout{1, 1}};
        layout.pulseIds = {0};
        devtest::buildSets(layout);
    }
    // The device that holds the sample object of a type.
    static int32_t deviceFor(uint16_t type) { return type == 5 || type == 46 ? 1001 : -1; }
};

uint32_t read(int32_t device, uint32_t objectId, uint32_t property, uint32_t index, PropertyValue *v) {
    uint32_t cursor = property;
    *v = PropertyValue{};
    return appReadProperty(device, objectId, property, index, v, &cursor);
}

uint32_t write(int32_t device, uint32_t objectId, uint32_t property, PropertyValue v) {
    return appWriteProperty(device, objectId, property, kNoArrayIndex, &v);
}

void release(PropertyValue *v) {
    if (v->ownsValue) {
        appFree(v->value.block);
        v->ownsValue = 0;
    }
}

TEST_F(Tables, WalksVisitEveryListInOrder) {
    for (const TypeLists &t : expectedLists) {
        const uint32_t id = objectIdMake(t.type, 1);
        for (uint32_t group : {kPropAll, kPropRequired, kPropOptional}) {
            List visited;
            uint32_t cursor = group;
            for (int guard = 0; guard < 100; ++guard) {
                PropertyValue v{};
                const uint32_t e =
                    appReadProperty(deviceFor(t.type), id, group, kNoArrayIndex, &v, &cursor);
                release(&v);
                if (cursor == kEnd) {
                    EXPECT_EQ(e, kErrUnknownProperty);
                    break;
                }
                visited.push_back(cursor);
            }
            const List &expected =
                group == kPropAll ? t.all : group == kPropRequired ? t.required : t.optional;
            EXPECT_EQ(visited, expected) << "type " << t.type << " group " << group;
        }
    }
}

TEST_F(Tables, ChecksOfTheRootAndTheVirtualTypeSets) {
    struct Case {
        int32_t device;
        uint16_t type;
        uint32_t property;
        uint32_t check;
        bool accepted, known, array;
    };
    const Case cases[] = {
        {-1, 5, 85, 0, true, true, false},               // binary-value listed for the root
        {1001, 19, 85, kErrUnknownObject, false, false, false},  // multi-state-value on a load
        {1001, 20, 85, kErrUnknownObject, false, false, false},  // type 20: no lists
        {-1, 20, 85, kErrUnknownObject, false, false, false},
        {-1, 3, 85, kErrUnknownObject, false, false, false},
        {-1, 24, 8, 0, true, true, false},
        {1001, 0, 80, 0, true, true, false},
        {1001, 46, 105, 0, true, true, false},
        {-1, 0, 9999, kErrUnknownProperty, true, false, false},
        {-1, 15, 102, 0, true, true, false},  // recipient-list: a list
        {-1, 0, 130, 0, true, true, true},    // event-time-stamps: an array
        {-1, 0, 351, 0, true, true, true},
        {-1, 0, 371, 0, true, true, true},
        {-1, 8, 76, 0, true, true, true},
        {-1, 8, 152, 0, true, true, false},  // active-cov-subscriptions: a list
        {-1, 8, 168, kErrUnknownProperty, true, false, false},
        {-1, 8, 24, kErrUnknownProperty, true, false, false},
    };
    for (const Case &c : cases) {
        const uint32_t id = objectIdMake(c.type, 1);
        EXPECT_EQ(appCheckProperty(c.device, id, c.property), c.check)
            << c.device << " " << c.type << " " << c.property;
        bool accepted = true, known = true, array = true, allowed = true;
        const int result = appValidateProperty(c.device, id, c.property, &accepted, &known, &array, &allowed);
        EXPECT_EQ(result != 0, c.accepted) << c.type << " " << c.property;
        EXPECT_EQ(accepted, c.accepted) << c.type << " " << c.property;
        EXPECT_EQ(known, c.known) << c.type << " " << c.property;
        EXPECT_EQ(array, c.array) << c.type << " " << c.property;
        EXPECT_EQ(allowed, c.known) << c.type << " " << c.property;
    }
    EXPECT_TRUE(appPropertyInList(appPropertyList(15, kPropOptional), 8));
    EXPECT_FALSE(appPropertyInList(appPropertyList(15, kPropOptional), 75));
}

TEST_F(Tables, PropertyListOfANotificationClass) {
    const uint32_t nc = objectIdMake(15, 1);
    PropertyValue v{};
    ASSERT_EQ(read(-1, nc, 371, kNoArrayIndex, &v), 0u);
    ASSERT_EQ(v.datatype, kDtEnumerated);
    ASSERT_EQ(v.count, 4);
    ASSERT_EQ(v.ownsValue, 1);
    const uint32_t *ids = static_cast<const uint32_t *>(v.value.block);
    EXPECT_EQ(List(ids, ids + 4), (List{17, 86, 1, 102}));
    release(&v);
    ASSERT_EQ(read(-1, nc, 371, 0, &v), 0u);
    EXPECT_EQ(v.datatype, kDtUnsigned);
    EXPECT_EQ(v.value.u, 4u);
    ASSERT_EQ(read(-1, nc, 371, 4, &v), 0u);
    EXPECT_EQ(v.value.u, 102u);
    EXPECT_EQ(read(-1, nc, 371, 5, &v), kErrInvalidArrayIndex);
    // The pulse converter's list names input-reference, which it does not serve.
    ASSERT_EQ(read(-1, objectIdMake(24, 1), 371, 2, &v), 0u);
    EXPECT_EQ(v.value.u, 181u);
    EXPECT_EQ(read(-1, objectIdMake(24, 1), 181, kNoArrayIndex, &v), kErrUnknownProperty);
}

TEST_F(Tables, CommonEncodings) {
    const uint32_t ai = objectIdMake(0, 3);
    BACnetObject &o = *objectMapFindId(deviceObjectMap, ai);
    o.setEventMessageText("high", 0);
    o.setEventMessageText("", 1);
    o.setEventMessageText("back", 2);
    PropertyValue v{};
    ASSERT_EQ(read(-1, ai, 77, kNoArrayIndex, &v), 0u);
    EXPECT_EQ(v.datatype, kDtCharString);
    const auto *name = static_cast<const CharString *>(v.value.block);
    EXPECT_EQ(std::string(name->chars(), name->length), "Vin1 Line 3 Measured Line-Neutral Voltage (L3-N)");
    release(&v);
    ASSERT_EQ(read(-1, ai, 111, kNoArrayIndex, &v), 0u);
    EXPECT_EQ(v.datatype, kDtBitString);
    EXPECT_EQ(v.length, 4);
    ASSERT_EQ(read(-1, ai, 351, kNoArrayIndex, &v), 0u);
    ASSERT_EQ(v.count, 3);
    const uint8_t *packed = static_cast<const uint8_t *>(v.value.block);
    // Header of 8 octets then the characters, no gap: "high", "", "back".
    CharString h{};
    std::memcpy(&h, packed, 8);
    EXPECT_EQ(h.length, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(packed + 8), 4), "high");
    std::memcpy(&h, packed + 12, 8);
    EXPECT_EQ(h.length, 0u);
    std::memcpy(&h, packed + 20, 8);
    EXPECT_EQ(h.length, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(packed + 28), 4), "back");
    release(&v);
    ASSERT_EQ(read(-1, ai, 130, kNoArrayIndex, &v), 0u);
    EXPECT_EQ(v.datatype, kDtTimeStamp);
    EXPECT_EQ(v.count, 3);
    release(&v);
    ASSERT_EQ(read(-1, ai, 130, 2, &v), 0u);
    EXPECT_EQ(v.count, 1);
    release(&v);
}

PropertyValue bits(uint8_t octet, uint16_t n) {
    PropertyValue v{};
    v.datatype = kDtBitString;
    v.length = n;
    v.value.octets[0] = octet;
    return v;
}

PropertyValue scalar(uint8_t datatype, uint32_t u) {
    PropertyValue v{};
    v.datatype = datatype;
    v.value.u = u;
    return v;
}

TEST_F(Tables, ExactErrors) {
    const uint32_t ai = objectIdMake(0, 3);
    struct Case {
        const char *what;
        int32_t device;
        uint32_t objectId;
        uint32_t property;
        uint32_t index;
        bool write;
        PropertyValue value;
        uint32_t expected;
    };
    const PropertyValue none{};
    std::vector<Case> cases = {
        {"unknown type", -1, objectIdMake(3, 1), 85, kNoArrayIndex, false, none, kErrUnknownObject},
        {"unknown object", -1, objectIdMake(0, 999), 77, kNoArrayIndex, false, none, kErrUnknownObject},
        {"unknown virtual device", 4242, objectIdMake(0, 1), 77, kNoArrayIndex, false, none, kErrUnknownObject},
        {"binary-value on the root", -1, objectIdMake(5, 1), 77, kNoArrayIndex, false, none, kErrUnknownObject},
        {"binary-value write on the root", -1, objectIdMake(5, 1), 81, kNoArrayIndex, true,
         scalar(kDtBoolean, 1), kErrUnknownObject},
        {"pulse-converter on a load", 1001, objectIdMake(24, 1), 77, kNoArrayIndex, false, none,
         kErrUnknownObject},
        {"unknown property", -1, ai, 9999, kNoArrayIndex, false, none, kErrUnknownProperty},
        {"property-list past its count", -1, ai, 371, 23, false, none, kErrInvalidArrayIndex},
        {"event-time-stamps 4", -1, ai, 130, 4, false, none, kErrInvalidArrayIndex},
        {"event-message-texts 4", -1, ai, 351, 4, false, none, kErrInvalidArrayIndex},
        {"event-enable as unsigned", -1, ai, 35, kNoArrayIndex, true, scalar(kDtUnsigned, 1),
         kErrorInvalidDataType},
        {"event-enable of no bits", -1, ai, 35, kNoArrayIndex, true, bits(0, 0), kErrorValueOutOfRange},
        {"event-enable of 4 bits", -1, ai, 35, kNoArrayIndex, true, bits(0xF0, 4), kErrorValueOutOfRange},
        {"acked-transitions as real", -1, ai, 0, kNoArrayIndex, true, scalar(kDtReal, 0), kErrorInvalidDataType},
        {"acked-transitions of 4 bits", -1, ai, 0, kNoArrayIndex, true, bits(0, 4), kErrorValueOutOfRange},
        {"limit-enable as enumerated", -1, ai, 52, kNoArrayIndex, true, scalar(kDtEnumerated, 1),
         kErrorInvalidDataType},
        {"limit-enable of 3 bits", -1, ai, 52, kNoArrayIndex, true, bits(0xE0, 3), kErrorValueOutOfRange},
        {"limit-enable of no bits", -1, ai, 52, kNoArrayIndex, true, bits(0, 0), kErrorValueOutOfRange},
        {"time-delay as real", -1, ai, 113, kNoArrayIndex, true, scalar(kDtReal, 0), kErrorInvalidDataType},
        {"time-delay past 32-bit ms", -1, ai, 113, kNoArrayIndex, true, scalar(kDtUnsigned, 4294968),
         kErrorValueOutOfRange},
        {"time-delay-normal past 32-bit ms", -1, ai, 356, kNoArrayIndex, true, scalar(kDtUnsigned, 0xFFFFFFFF),
         kErrorValueOutOfRange},
        {"time-delay-normal as boolean", -1, ai, 356, kNoArrayIndex, true, scalar(kDtBoolean, 1),
         kErrorInvalidDataType},
        {"out-of-service as unsigned", -1, ai, 81, kNoArrayIndex, true, scalar(kDtUnsigned, 1),
         kErrorInvalidDataType},
        {"event-detection-enable as enumerated", -1, ai, 353, kNoArrayIndex, true, scalar(kDtEnumerated, 1),
         kErrorInvalidDataType},
        {"event-algorithm-inhibit as unsigned", -1, ai, 354, kNoArrayIndex, true, scalar(kDtUnsigned, 0),
         kErrorInvalidDataType},
    };
    for (uint32_t property : {75u, 77u, 79u, 36u, 111u, 17u, 72u, 130u, 351u, 371u}) {
        cases.push_back({"read-only common", -1, ai, property, kNoArrayIndex, true, scalar(kDtUnsigned, 1),
                         kErrWriteAccessDenied});
    }
    for (uint32_t property : {75u, 77u, 79u, 371u}) {
        cases.push_back({"read-only common of a class", -1, objectIdMake(15, 1), property, kNoArrayIndex, true,
                         scalar(kDtUnsigned, 1), kErrWriteAccessDenied});
        cases.push_back({"read-only common of a binary-value", 1001, objectIdMake(5, 1), property, kNoArrayIndex,
                         true, scalar(kDtUnsigned, 1), kErrWriteAccessDenied});
    }
    for (const Case &c : cases) {
        PropertyValue v = c.value;
        uint32_t cursor = c.property;
        const uint32_t e = c.write ? appWriteProperty(c.device, c.objectId, c.property, c.index, &v)
                                   : appReadProperty(c.device, c.objectId, c.property, c.index, &v, &cursor);
        EXPECT_EQ(e, c.expected) << c.what << " (property " << c.property << ")";
        if (!c.write) {
            release(&v);
        }
    }
}

TEST_F(Tables, CommonWritesTakeEffect) {
    const uint32_t ai = objectIdMake(0, 3);
    BACnetObject &o = *objectMapFindId(deviceObjectMap, ai);
    EXPECT_EQ(write(-1, ai, 35, bits(0xA0, 3)), 0u);
    EXPECT_EQ(o.getEventEnable(), 0xA0);
    EXPECT_EQ(write(-1, ai, 35, bits(0x40, 2)), 0u);
    EXPECT_EQ(o.getEventEnable(), 0x60) << "two bits leave to-normal as it was";
    EXPECT_EQ(write(-1, ai, 52, bits(0x80, 2)), 0u);
    EXPECT_EQ(o.getLimitEnable(), 0x80);
    EXPECT_EQ(write(-1, ai, 52, bits(0x00, 1)), 0u);
    EXPECT_EQ(o.getLimitEnable(), 0x00);
    EXPECT_EQ(write(-1, ai, 0, bits(0xE0, 3)), 0u);
    EXPECT_EQ(o.getAckedTransitions(), 0xE0);
    EXPECT_EQ(write(-1, ai, 113, scalar(kDtUnsigned, 4294967)), 0u);
    EXPECT_EQ(o.getTimeDelay(), 4294967u);
    EXPECT_EQ(write(-1, ai, 81, scalar(kDtBoolean, 7)), 0u);
    EXPECT_TRUE(o.isOutOfService());
    EXPECT_EQ(write(-1, ai, 354, scalar(kDtBoolean, 1)), 0u);
    EXPECT_TRUE(o.getEventAlgorithmInhibit());
    PropertyValue v{};
    ASSERT_EQ(read(-1, ai, 52, kNoArrayIndex, &v), 0u);
    EXPECT_EQ(v.length, 2);
    EXPECT_EQ(v.value.octets[0], 0x00);
}

// A written root object is saved into every input's directory, and a root
// without a first input does not stop the program.
TEST_F(Tables, RootWritesAreSavedIntoEveryInput) {
    for (const auto &[position, input] : inputMapping) {
        std::filesystem::create_directories(root.host(input->stateDirectory()));
    }
    const uint32_t ai = objectIdMake(0, 3);
    ASSERT_EQ(write(-1, ai, 81, scalar(kDtBoolean, 1)), 0u);
    EXPECT_EQ(filesIn("/config/talvik/inputs/0"), 1u);
    EXPECT_EQ(filesIn("/config/talvik/inputs/1"), 1u);
    EXPECT_EQ(write(-1, ai, 35, bits(0, 4)), kErrorValueOutOfRange);

    const Input &first = *inputMapping.at(0);
    for (size_t i = 0; i < first.objectCount(); ++i) {
        deviceObjectMap.erase(first.object(i)->getObjectIdentifier());
    }
    inputMapping.erase(0);
    ASSERT_EQ(write(-1, objectIdMake(0, 23), 81, scalar(kDtBoolean, 1)), 0u);
    EXPECT_EQ(filesIn("/config/talvik/inputs/1"), 2u);
    inputMapping.clear();
    EXPECT_EQ(write(-1, objectIdMake(24, 1), 81, scalar(kDtBoolean, 1)), 0u);
    // A load's object goes into the load's directory.
    std::filesystem::create_directories(root.host("/config/talvik/loads/1"));
    EXPECT_EQ(write(1001, objectIdMake(5, 1), 81, scalar(kDtBoolean, 1)), 0u);
    EXPECT_EQ(filesIn("/config/talvik/loads/1"), 1u);
}

}  // namespace
