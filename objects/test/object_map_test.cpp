// Object maps: lookups by identifier, by type and instance, and by name.

#include "objects/object_map.h"
#include "test_object.h"

#include <gtest/gtest.h>

namespace {

class NamedObject : public BACnetObject {
public:
    NamedObject(uint16_t type, uint32_t instance, const std::string &name) {
        setObjectType(type);
        setInstance(instance);
        setObjectName(name);
    }
    void tickCov(int) override {}
};

TEST(ObjectMap, Lookups) {
    NamedObject ai5(kObjAnalogInput, 5, "Power");
    NamedObject lav1(kObjLargeAnalogValue, 1, "Energy");
    NamedObject bv1(kObjBinaryValue, 1, "Power");
    NamedObject duplicate(kObjAnalogInput, 5, "Other");
    ObjectMap map;
    for (NamedObject *o : {&lav1, &ai5, &bv1}) {
        EXPECT_TRUE(objectMapAdd(map, o));
    }
    EXPECT_TRUE(objectMapAdd(map, &duplicate));
    EXPECT_EQ(map.size(), 3u);

    struct Case {
        const char *what;
        BACnetObject *found;
        BACnetObject *expected;
    } const cases[] = {
        {"type and instance", objectMapFind(map, 5, kObjAnalogInput), &ai5},
        {"identifier", objectMapFindId(map, 5), &ai5},
        {"duplicate keeps the first", objectMapFindId(map, objectIdMake(0, 5)), &ai5},
        {"large analog value 1", objectMapFindId(map, 192937985u), &lav1},
        {"missing", objectMapFind(map, 6, kObjAnalogInput), nullptr},
        {"instance beyond 22 bits", objectMapFind(map, 1 + (5u << 22), kObjAnalogInput), nullptr},
        {"no instance", objectMapFind(map, kNoInstance + 1, kObjAnalogInput), nullptr},
        {"name: lowest identifier first", objectMapFindName(map, "Power"), &ai5},
        {"name is case-sensitive", objectMapFindName(map, "power"), nullptr},
        {"name of the refused duplicate", objectMapFindName(map, "Other"), nullptr},
        {"name must match whole", objectMapFindName(map, "Powe"), nullptr},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.found, c.expected) << c.what;
    }

    const ObjectMap empty;
    EXPECT_EQ(objectMapFind(empty, 5, 0), nullptr);
    EXPECT_EQ(objectMapFindId(empty, 5), nullptr);
    EXPECT_EQ(objectMapFindName(empty, ""), nullptr);
}

// Maps hold raw pointers: the objects must stay where they are.
static_assert(!std::is_copy_constructible_v<TestCovObject>);
static_assert(!std::is_move_constructible_v<TestCovObject>);
static_assert(!std::is_copy_assignable_v<TestCovObject>);
static_assert(!std::is_move_assignable_v<TestCovObject>);

}  // namespace
