// The value decoder and encoder on chosen inputs: the documented behaviours,
// the refusals, and one reproduction for every fault mended in the codec.

#include "value_fixture.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <functional>

namespace {

using namespace codec_test;

// A property identifier below the proprietary ones that names no property,
// and a proprietary one.
constexpr uint32_t kUnassignedProperty = 450;
constexpr uint32_t kProprietaryProperty = 600;
static_assert(kUnassignedProperty < kFirstProprietaryProperty);
static_assert(kProprietaryProperty >= kFirstProprietaryProperty);

class ValueCodec : public ::testing::Test {
protected:
    void SetUp() override {
        appmem::reset();
        base_ = appmem::outstanding();
    }
    void TearDown() override {
        appmem::reset();
        EXPECT_EQ(appmem::outstanding(), base_) << "blocks leaked";
    }
    int64_t base_ = 0;
};

Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes repeat(const Bytes &unit, int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) {
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

struct Refusal {
    const char *what;
    uint16_t type;
    uint32_t property;
    int32_t index;
    Bytes octets;  // the closing tag 0x3F is appended
    PackedError error;
    uint16_t count;  // position of the failing element; 0: not checked
};

TEST_F(ValueCodec, RefusesMalformedValues) {
    const Bytes mac9 = {0x65, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const Refusal cases[] = {
        {"real followed by something else", kObjAnalogValue, kPropPresentValue, -1,
         {0x44, 0x41, 0xA0, 0x00, 0x00, 0x00}, kRejectInvalidTag, 0},
        {"context tag taken for application data", kObjAnalogValue, kPropPresentValue, -1,
         {0x4C, 0x41, 0xA0, 0x00, 0x00}, kRejectInvalidTag, 0},
        {"context unsigned for an application unsigned", kObjDevice, kPropMaxApduLengthAccepted, -1,
         {0x29, 0x05}, kRejectInvalidTag, 0},
        {"unknown property below 512", kObjAnalogInput, kUnassignedProperty, -1,
         {0x21, 0x01}, kErrorInvalidDataType, 0},
        {"priority array of an analog input", kObjAnalogInput, kPropPriorityArray, -1,
         {0x00}, kErrorInvalidDataType, 0},
        {"tag number 13", kObjAnalogInput, kProprietaryProperty, -1, {0xD1, 0x00}, kErrorInvalidDataType, 0},
        {"empty schedule present value", kObjSchedule, kPropPresentValue, -1, {}, kRejectInvalidTag, 0},
        {"real with a 4-octet double tag", kObjLargeAnalogValue, kPropPresentValue, -1,
         {0x54, 0, 0, 0, 0}, kRejectInvalidTag, 0},
        {"double with length 4", kObjLargeAnalogValue, kPropPresentValue, -1,
         {0x55, 0x04, 0, 0, 0, 0}, kRejectInvalidTag, 0},
        {"unsigned of 5 octets", kObjDevice, kPropMaxApduLengthAccepted, -1,
         {0x25, 0x05, 0, 0, 0, 0, 1}, kErrorValueOutOfRange, 0},
        {"length octet 255", kObjOctetstringValue, kPropPresentValue, -1,
         {0x65, 0xFF, 0, 0, 0, 1, 0}, kRejectInvalidTag, 0},
        {"declared length past the end", kObjOctetstringValue, kPropPresentValue, -1,
         {0x65, 0x20, 1, 2, 3}, kRejectInvalidTag, 0},
        {"empty character string", kObjAnalogInput, kPropObjectName, -1, {0x70}, kRejectInvalidTag, 0},
        {"character set 1 without its code page", kObjAnalogInput, kPropObjectName, -1,
         {0x72, 0x01, 0x03}, kRejectInvalidTag, 0},
        {"empty character string in an array", kObjMultiStateValue, kPropStateText, -1,
         {0x71, 0x00, 0x70}, kRejectInvalidTag, 2},
        {"bit string of length 0", kObjAnalogInput, kPropStatusFlags, -1, {0x80}, kRejectInvalidTag, 0},
        {"bit string with 8 unused bits", kObjAnalogInput, kPropStatusFlags, -1,
         {0x82, 0x08, 0xF0}, kRejectInvalidTag, 0},
        {"element of the wrong application type", kObjDevice, kPropObjectList, -1,
         {0xC4, 0, 0, 0, 1, 0x21, 0x01}, kErrorInvalidDataType, 2},
        {"six days of a weekly schedule", kObjSchedule, kPropWeeklySchedule, -1,
         repeat({0x0E, 0x0F}, 6), kRejectInvalidTag, 0},
        {"eight days of a weekly schedule", kObjSchedule, kPropWeeklySchedule, -1,
         repeat({0x0E, 0x0F}, 8), kRejectInvalidTag, 8},
        {"33 references of a ReadAccessSpecification", kObjGroup, kPropListOfGroupMembers, -1,
         cat(cat({0x0C, 0, 0, 0, 1, 0x1E}, repeat({0x09, 0x55}, 33)), {0x1F}), kErrorOutOfMemory, 1},
        {"9-octet MAC in an address binding", kObjDevice, kPropDeviceAddressBinding, -1,
         cat({0xC4, 0x02, 0, 0, 1, 0x21, 0x01}, mac9), kErrorValueOutOfRange, 1},
        {"9-octet MAC in a recipient", kObjDevice, kPropTimeSynchronizationRecipients, -1,
         cat(cat({0x1E, 0x21, 0x01}, mac9), {0x1F}), kErrorValueOutOfRange, 1},
        {"9-octet MAC in a VT session", kObjDevice, kPropActiveVtSessions, -1,
         cat({0x21, 1, 0x21, 2, 0x21, 3}, mac9), kErrorValueOutOfRange, 1},
        {"9-octet MAC in a session key", kObjDevice, kPropListOfSessionKeys, -1,
         cat(cat({0x65, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}, {0x21, 0x01}), mac9), kErrorValueOutOfRange, 1},
        {"two values where one belongs", kObjAnalogInput, kPropControlledVariableReference, -1,
         repeat({0x0C, 0, 0, 0, 1, 0x19, 0x55}, 2), kRejectInvalidTag, 2},
        {"week-n-day out of range", kObjCalendar, kPropDateList, -1,
         {0x2B, 0x0F, 0x01, 0x01}, kErrorValueOutOfRange, 1},
        {"unknown calendar form", kObjCalendar, kPropDateList, -1, {0x21, 0x01}, kErrorInvalidDataType, 1},
        {"event parameter choice 6", kObjEventEnrollment, kPropEventParameters, -1,
         {0x6E, 0x09, 0x01, 0x6F}, kRejectInvalidTag, 1},
        {"fault-extended fault parameter", kObjAnalogInput, kPropFaultParameters, -1,
         {0x2E, 0x09, 0x01, 0x19, 0x01, 0x2E, 0x2F, 0x2F}, kRejectInvalidTag, 1},
        {"alarm values of an analog input", kObjAnalogInput, kPropAlarmValues, -1,
         {0x21, 0x01}, kErrorInvalidDataType, 0},
        {"a bit-string array element", kObjBitstringValue, kPropAlarmValues, 2,
         {0x82, 0x04, 0xA0}, kErrorInvalidDataType, 1},
        {"log-multiple bit string of 5 octets", kObjTrendLogMultiple, kPropLogBuffer, -1,
         {0x0E, 0xA4, 0x7C, 1, 1, 1, 0xB4, 1, 1, 1, 1, 0x0F, 0x1E, 0x1E, 0x5D, 0x06, 0x00, 1, 2, 3, 4, 5, 0x1F, 0x1F},
         kErrorOutOfMemory, 1},
        {"event-log notification without parameters", kObjEventLog, kPropLogBuffer, -1,
         {0x0E, 0xA4, 0x7C, 1, 1, 1, 0xB4, 1, 1, 1, 1, 0x0F, 0x1E, 0x1E, 0x1F, 0x1F}, kRejectInvalidTag, 1},
    };
    for (const Refusal &c : cases) {
        PropertyValue v;
        const PackedError e = decode(c.type, c.property, c.index, c.octets, &v);
        EXPECT_EQ(e, c.error) << c.what;
        EXPECT_EQ(v.ownsValue, 0) << c.what;
        if (c.count != 0) {
            EXPECT_EQ(v.count, c.count) << c.what;
        }
        EXPECT_EQ(appmem::outstanding(), base_) << c.what;
    }
}

TEST_F(ValueCodec, DecodesTheDocumentedForms) {
    PropertyValue v;
    // A present value of an analog value, inline.
    ASSERT_EQ(decode(kObjAnalogValue, kPropPresentValue, -1, {0x44, 0x41, 0xA0, 0x00, 0x00}, &v), 0u);
    EXPECT_EQ(v.datatype, kDtReal);
    EXPECT_EQ(v.count, 0);
    EXPECT_EQ(v.value.f, 20.0f);

    // Index 0 of an array is its length, an unsigned.
    ASSERT_EQ(decode(kObjAnalogOutput, kPropPriorityArray, 0, {0x21, 0x10}, &v), 0u);
    EXPECT_EQ(v.datatype, kDtUnsigned);
    EXPECT_EQ(v.value.u, 16u);

    // The whole priority array of an analog output.
    Bytes pa(16, 0x00);
    pa = cat(Bytes(pa.begin(), pa.begin() + 15), {0x44, 0x41, 0xA0, 0x00, 0x00});
    ASSERT_EQ(decode(kObjAnalogOutput, kPropPriorityArray, -1, pa, &v), 0u);
    ASSERT_EQ(v.count, 16);
    auto *slots = propBlock<uint32_t>(v);
    EXPECT_EQ(slots[0], 0xFFFFFFFFu);
    float f;
    std::memcpy(&f, &slots[15], 4);
    EXPECT_EQ(f, 20.0f);
    propFreeValue(&v);

    // An integer value's priority array: one value record per slot.
    ASSERT_EQ(decode(kObjIntegerValue, kPropPriorityArray, -1, cat(Bytes(15, 0x00), {0x31, 0xFB}), &v), 0u);
    EXPECT_EQ(v.datatype, kDtAny);
    ASSERT_EQ(v.count, 16);
    EXPECT_EQ(propBlock<PropertyValue>(v)[15].datatype, kDtSigned);
    EXPECT_EQ(propBlock<PropertyValue>(v)[15].value.i, -5);
    propFreeValue(&v);

    // A proprietary property takes one application value.
    ASSERT_EQ(decode(kObjAnalogInput, kProprietaryProperty, -1, {0x21, 0x07}, &v), 0u);
    EXPECT_EQ(v.datatype, kDtUnsigned);
    EXPECT_EQ(v.value.u, 7u);

    // An empty list: no block, count 0.
    ASSERT_EQ(decode(kObjDevice, kPropActiveCovSubscriptions, -1, {}, &v), 0u);
    EXPECT_EQ(v.count, 0);
    EXPECT_EQ(v.value.block, nullptr);
    EXPECT_EQ(v.ownsValue, 0);

    // An empty list of enumerated values: the empty list, which encodes as
    // nothing.
    ASSERT_EQ(decode(kObjAnalogInput, kPropLifeSafetyAlarmValues, -1, {}, &v), 0u);
    EXPECT_EQ(v.datatype, kDtEmptyList);
    EXPECT_EQ(v.count, 0);
    Bytes none;
    ASSERT_TRUE(encode(kObjAnalogInput, kPropLifeSafetyAlarmValues, &v, &none));
    EXPECT_TRUE(none.empty());

    // A weekly schedule of 7 empty days.
    ASSERT_EQ(decode(kObjSchedule, kPropWeeklySchedule, -1, repeat({0x0E, 0x0F}, 7), &v), 0u);
    EXPECT_EQ(v.count, 7);
    propFreeValue(&v);

    // An empty setpoint reference.
    ASSERT_EQ(decode(kObjLoop, kPropSetpointReference, -1, {}, &v), 0u);
    EXPECT_EQ(v.count, 0);
}

TEST_F(ValueCodec, ApplicationValues) {
    struct Case {
        Bytes octets;
        PackedError error;
        uint8_t datatype;
        bool owns;
    };
    const Case cases[] = {
        {{0x21, 0x00}, 0, kDtUnsigned, false},
        {{0x75, 0x06, 0x00, 'h', 'e', 'l', 'l', 'o'}, 0, kDtCharString, true},
        {{0x85, 0x08, 0x00, 1, 2, 3, 4, 5, 6, 7}, 0, kDtBitString, false},       // 7 data octets: inline
        {{0x85, 0x09, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}, 0, kDtBitString, true},     // 8: a block
        {{0xA4, 0x7C, 0x03, 0x0F, 0x05}, 0, kDtDate, false},
        {{0xD1, 0x00}, kErrorInvalidDataType, 0, false},
        {{0x54, 0, 0, 0, 0}, kRejectInvalidTag, 0, false},
        {{0x55, 0x04, 0, 0, 0, 0}, kRejectInvalidTag, 0, false},
        {{0x29, 0x05}, kRejectInvalidTag, 0, false},  // context class
        {{0x0E}, kRejectInvalidTag, 0, false},
        {{0x12}, kRejectInvalidTag, 0, false},  // boolean with value 2
        {{0x60}, 0, kDtOctetString, false},
    };
    for (const Case &c : cases) {
        PropertyValue v{};
        const uint8_t *cur = c.octets.data();
        const PackedError e = tagDecodeApplicationValue(&cur, &v, static_cast<uint32_t>(c.octets.size()));
        EXPECT_EQ(e, c.error) << hex(c.octets);
        if (e == 0) {
            EXPECT_EQ(v.datatype, c.datatype) << hex(c.octets);
            EXPECT_EQ(v.ownsValue != 0, c.owns) << hex(c.octets);
            EXPECT_EQ(cur, c.octets.data() + c.octets.size());
        } else {
            EXPECT_EQ(cur, c.octets.data()) << hex(c.octets);
        }
        propFreeValue(&v);
    }
    // The date's octets are kept as they are.
    const Bytes d = {0xA4, 0x7C, 0x03, 0x0F, 0x05};
    PropertyValue v{};
    const uint8_t *cur = d.data();
    ASSERT_EQ(tagDecodeApplicationValue(&cur, &v, 5), 0u);
    EXPECT_EQ(v.value.date.year, 124);
    EXPECT_EQ(v.value.date.month, 3);
    EXPECT_EQ(v.value.date.day, 15);
    EXPECT_EQ(v.value.date.weekday, 5);
}

// The log-record decoder leaves the received octets alone: it reads them from
// a page that may not be written.
TEST_F(ValueCodec, LogRecordsDecodeFromReadOnlyOctets) {
    const Bytes octets = {0x0E, 0xA4, 0x7C, 0x01, 0x01, 0x01, 0xB4, 0x00, 0x00, 0x00, 0x00, 0x0F,
                          0x1E, 0x5A, 0x00, 0xC8, 0x1F, 0x2A, 0x04, 0x40,
                          0x0E, 0xA4, 0x7C, 0x01, 0x01, 0x01, 0xB4, 0x00, 0x00, 0x01, 0x00, 0x0F,
                          0x1E, 0x19, 0x01, 0x1F,
                          0x0E, 0xA4, 0x7C, 0x01, 0x01, 0x01, 0xB4, 0x00, 0x00, 0x02, 0x00, 0x0F,
                          0x1E, 0x8E, 0x91, 0x02, 0x91, 0x20, 0x8F, 0x1F, 0x3F};
    const long page = sysconf(_SC_PAGESIZE);
    void *mem = mmap(nullptr, static_cast<size_t>(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto *at = static_cast<uint8_t *>(mem) + page - static_cast<long>(octets.size());
    std::memcpy(at, octets.data(), octets.size());
    ASSERT_EQ(mprotect(mem, static_cast<size_t>(page), PROT_READ), 0);
    const uint8_t *cur = at;
    PropertyValue v{};
    const PackedError e =
        propDecodeValue(&cur, oid(kObjTrendLog, 1), kPropLogBuffer, &v, static_cast<uint32_t>(octets.size()),
                        0x3F, -1);
    munmap(mem, static_cast<size_t>(page));
    ASSERT_EQ(e, 0u);
    ASSERT_EQ(v.count, 3);
    const auto *r = propBlock<BACnetLogRecord>(v);
    EXPECT_EQ(r[0].datumChoice, kLogDatumSigned);
    EXPECT_EQ(r[0].datum.datatype, kDtSigned);
    EXPECT_EQ(r[0].datum.value.i, 200);
    EXPECT_EQ(r[0].statusFlags, 0x40);
    EXPECT_EQ(r[1].datum.datatype, kDtBoolean);
    EXPECT_EQ(r[1].statusFlags, 255);
    EXPECT_EQ(r[2].datum.datatype, kDtUnknown);
    EXPECT_EQ(r[2].datum.value.u, errMake(kErrorClassProperty, kErrorCodeUnknownProperty));
    propFreeValue(&v);
}

// Signed values are written with the signed rule, and a recipient's device
// identifier always takes the 4-octet form.
TEST_F(ValueCodec, SignedRuleAndRecipientDevice) {
    struct Case {
        const char *what;
        uint16_t type;
        uint32_t property;
        std::function<void(PropertyValue &)> make;
        Bytes octets;
    };
    const Case cases[] = {
        {"log datum +200", kObjTrendLog, kPropLogBuffer,
         [](PropertyValue &v) {
             auto *b = block<BACnetLogRecord>(v, kDtLogRecord, 1);
             b[0].date = {124, 1, 1, 1};
             b[0].statusFlags = 255;
             b[0].datumChoice = 5;
             b[0].datum.datatype = kDtSigned;
             b[0].datum.value.i = 200;
         },
         {0x0E, 0xA4, 0x7C, 1, 1, 1, 0xB4, 0, 0, 0, 0, 0x0F, 0x1E, 0x5A, 0x00, 0xC8, 0x1F}},
        {"log datum -1", kObjTrendLog, kPropLogBuffer,
         [](PropertyValue &v) {
             auto *b = block<BACnetLogRecord>(v, kDtLogRecord, 1);
             b[0].date = {124, 1, 1, 1};
             b[0].statusFlags = 255;
             b[0].datumChoice = 5;
             b[0].datum.datatype = kDtSigned;
             b[0].datum.value.i = -1;
         },
         {0x0E, 0xA4, 0x7C, 1, 1, 1, 0xB4, 0, 0, 0, 0, 0x0F, 0x1E, 0x59, 0xFF, 0x1F}},
        {"log-multiple signed entry +200", kObjTrendLogMultiple, kPropLogBuffer,
         [](PropertyValue &v) {
             auto *b = block<BACnetLogMultipleRecord>(v, kDtLogMultipleRecord, 1);
             b[0].date = {124, 1, 1, 1};
             b[0].choice = kLogDataLogData;
             b[0].entryCount = 1;
             b[0].ownsEntries = 1;
             b[0].entries = nested<BACnetLogMultipleEntry>(1);
             b[0].entries[0].choice = kLogEntrySigned;
             b[0].entries[0].datum = 200;
         },
         {0x0E, 0xA4, 0x7C, 1, 1, 1, 0xB4, 0, 0, 0, 0, 0x0F, 0x1E, 0x1E, 0x4A, 0x00, 0xC8, 0x1F, 0x1F}},
        {"extended event parameter, signed +200", kObjEventEnrollment, kPropEventParameters,
         [](PropertyValue &v) {
             auto *e = block<BACnetEventParameter>(v, kDtEventParameter, 0);
             e->choice = kEventExtended;
             e->vendorId = 7;
             e->extendedType = 1;
             e->parameterCount = 1;
             e->ownsParameters = 1;
             e->parameters = nested<PropertyValue>(1);
             e->parameters[0].datatype = kDtSigned;
             e->parameters[0].value.i = 200;
         },
         {0x9E, 0x09, 0x07, 0x19, 0x01, 0x2E, 0x32, 0x00, 0xC8, 0x2F, 0x9F}},
        {"recipient device 5", kObjDevice, kPropTimeSynchronizationRecipients,
         [](PropertyValue &v) {
             auto *r = block<BACnetRecipient>(v, kDtRecipient, 1);
             r[0].choice = kRecipientDevice;
             r[0].device = oid(kObjDevice, 5);
         },
         {0x0C, 0x02, 0x00, 0x00, 0x05}},
    };
    for (const Case &c : cases) {
        PropertyValue v{};
        c.make(v);
        Bytes enc;
        ASSERT_TRUE(encode(c.type, c.property, &v, &enc)) << c.what;
        EXPECT_EQ(hex(enc), hex(c.octets)) << c.what;
        PropertyValue d;
        EXPECT_EQ(decode(c.type, c.property, -1, enc, &d), 0u) << c.what;
        Bytes again;
        EXPECT_TRUE(encode(c.type, c.property, &d, &again)) << c.what;
        EXPECT_EQ(again, enc) << c.what;
        propFreeValue(&d);
        propFreeValue(&v);
    }
}

// The element batches fit the staging area whatever the size of a pointer:
// long lists of records that hold pointers decode whole.
TEST_F(ValueCodec, LongListsOfPointerRecords) {
    struct Case {
        const char *what;
        uint16_t type;
        uint32_t property;
        Bytes element;
        int n;
    };
    const Case cases[] = {
        {"read-access specifications", kObjGroup, kPropListOfGroupMembers,
         {0x0C, 0, 0, 0, 1, 0x1E, 0x09, 0x55, 0x1F}, 100},
        {"action lists", kObjCommand, kPropAction,
         {0x0E, 0x1C, 0, 0x40, 0, 1, 0x29, 0x55, 0x4E, 0x21, 0x01, 0x4F, 0x79, 0, 0x89, 0, 0x0F}, 60},
        {"read-access results", kObjGroup, kPropPresentValue,
         {0x0C, 0, 0, 0, 1, 0x1E, 0x29, 0x55, 0x4E, 0x21, 0x01, 0x4F, 0x1F}, 70},
        {"special events", kObjSchedule, kPropExceptionSchedule, {0x1C, 0x01, 0x80, 0, 1, 0x2E, 0x2F, 0x39, 0x01},
         50},
        {"object list", kObjDevice, kPropObjectList, {0xC4, 0x02, 0, 0, 1}, 300},
        {"key sets", kObjNetworkPort, kPropKeySets,
         {0x09, 0x01, 0x1E, 0xA4, 0x7C, 1, 1, 1, 0xB4, 0, 0, 0, 0, 0x1F, 0x2E, 0xA4, 0x7C, 1, 1, 1, 0xB4, 0, 0, 0, 0,
          0x2F, 0x3E, 0x09, 0x01, 0x19, 0x02, 0x3F},
         40},
    };
    for (const Case &c : cases) {
        const Bytes octets = repeat(c.element, c.n);
        PropertyValue v;
        ASSERT_EQ(decode(c.type, c.property, -1, octets, &v), 0u) << c.what;
        EXPECT_EQ(v.count, c.n) << c.what;
        Bytes enc;
        ASSERT_TRUE(encode(c.type, c.property, &v, &enc)) << c.what;
        EXPECT_EQ(enc, octets) << c.what;
        propFreeValue(&v);
    }
}

// After a nested block is released its owns flag is cleared, so a later
// release cannot free it twice.
TEST_F(ValueCodec, ReleasedNestedBlocksAreNotReleasedTwice) {
    // The encoder hands back the command lists of an action list.
    PropertyValue v{};
    auto *lists = block<BACnetActionList>(v, kDtActionList, 1);
    lists[0].commandCount = 1;
    lists[0].ownsList = 1;
    lists[0].commands = nested<BACnetActionCommand>(1);
    lists[0].commands[0].deviceId = kAbsent;
    lists[0].commands[0].arrayIndex = kNoIndex;
    lists[0].commands[0].postDelay = kAbsent;
    charString(lists[0].commands[0].value, "text");
    Bytes enc;
    ASSERT_TRUE(encode(kObjCommand, kPropAction, &v, &enc));
    EXPECT_EQ(lists[0].ownsList, 0);
    EXPECT_EQ(lists[0].commands, nullptr);
    propFreeValue(&v);

    // A value that does not own its block still releases what the records
    // own, once.
    PropertyValue shared{};
    ReadAccessSpecification access{};
    access.objectId = oid(kObjAnalogInput, 1);
    access.ownsList = 1;
    access.referenceCount = 1;
    access.references = nested<BACnetPropertyReference>(1);
    shared.datatype = kDtReadAccessSpecification;
    shared.count = 1;
    shared.value.block = &access;
    propFreeValue(&shared);
    EXPECT_EQ(access.ownsList, 0);
    EXPECT_EQ(access.references, nullptr);
    propFreeValue(&shared);

    // A fault parameter's list, released by the encoder.
    PropertyValue fp{};
    auto *f = block<BACnetFaultParameter>(fp, kDtFaultParameter, 0);
    f->choice = kFaultLifeSafety;
    f->ownsList = 1;
    f->listCount = 2;
    auto *modes = nested<uint32_t>(2);
    modes[0] = 1;
    modes[1] = 2;
    f->list = modes;
    f->reference = {oid(kObjLifeSafetyPoint, 1), kPropPresentValue, kNoIndex, kAbsent};
    ASSERT_TRUE(encode(kObjAnalogInput, kPropFaultParameters, &fp, &enc));
    EXPECT_EQ(hex(enc), hex({0x3E, 0x0E, 0x91, 0x01, 0x91, 0x02, 0x0F, 0x1E, 0x0C, 0x05, 0x40, 0x00, 0x01, 0x19,
                             0x55, 0x1F, 0x3F}));
    EXPECT_EQ(f->ownsList, 0);
    propFreeValue(&fp);
    propFreeValue(&fp);
}

TEST_F(ValueCodec, ConcatenatedBlocksReleaseTheOldOneAlways) {
    auto *a = static_cast<uint8_t *>(appCalloc(2));
    a[0] = 1;
    a[1] = 2;
    const uint8_t more[] = {3, 4, 5};
    auto *b = static_cast<uint8_t *>(propConcatBlocks(a, more, 2, 3));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(hex(Bytes(b, b + 5)), "01 02 03 04 05 ");
    EXPECT_EQ(appmem::outstanding(), base_ + 1);
    appmem::failAfter(0);
    EXPECT_EQ(propConcatBlocks(b, more, 5, 3), nullptr);
    EXPECT_EQ(appmem::outstanding(), base_);
}

TEST_F(ValueCodec, CompanionEncoders) {
    PduBuffer pdu;
    ASSERT_EQ(pduInit(&pdu), 0);
    BACnetCalendarEntry range{};
    range.choice = kCalendarEntryDateRange;
    range.date = {124, 7, 1, 255};
    range.endDate = {124, 8, 31, 255};
    EXPECT_EQ(propEncodeCalendarEntry(&pdu, &range), 0);
    BACnetCalendarEntry bad{};
    bad.choice = kCalendarEntryWeekNDay + 1;
    EXPECT_EQ(propEncodeCalendarEntry(&pdu, &bad), 1);
    BACnetLightingCommand cmd{};
    cmd.operation = 2;
    cmd.hasFadeTime = 1;
    cmd.fadeTime = 1000;
    EXPECT_EQ(propEncodeLightingCommand(&pdu, &cmd, 0), 0);
    BACnetTimeValue tv{};
    tv.time = {6, 30, 0, 0};
    tv.value.datatype = kDtEnumerated;
    tv.value.value.u = 1;
    EXPECT_EQ(propEncodeTimeValue(&pdu, &tv), 0);
    EXPECT_EQ(hex(Bytes(pdu.writeBase, pdu.writeBase + pdu.length)),
              hex({0x1E, 0xA4, 0x7C, 0x07, 0x01, 0xFF, 0xA4, 0x7C, 0x08, 0x1F, 0xFF, 0x1F,  // date range
                   0x0E, 0x09, 0x02, 0x4A, 0x03, 0xE8, 0x0F,                                // lighting command
                   0xB4, 0x06, 0x1E, 0x00, 0x00, 0x91, 0x01}));                             // time value
    pduFree(&pdu);

    // The companion decoders read the same octets back.
    const Bytes octets = {0x1E, 0xA4, 0x7C, 0x07, 0x01, 0xFF, 0xA4, 0x7C, 0x08, 0x1F, 0xFF, 0x1F};
    const uint8_t *cur = octets.data();
    BACnetCalendarEntry back{};
    ASSERT_EQ(propDecodeCalendarEntry(&cur, octets.data() + octets.size(), &back), 0u);
    EXPECT_EQ(back.choice, kCalendarEntryDateRange);
    EXPECT_EQ(back.endDate.day, 31);
    EXPECT_EQ(cur, octets.data() + octets.size());
    const Bytes lc = {0x09, 0x02, 0x4A, 0x03, 0xE8};
    cur = lc.data();
    BACnetLightingCommand cmdBack{};
    ASSERT_EQ(propDecodeLightingCommand(&cur, lc.data() + lc.size(), &cmdBack), 0u);
    EXPECT_EQ(cmdBack.fadeTime, 1000u);
    EXPECT_EQ(cmdBack.hasFadeTime, 1);
    EXPECT_EQ(cmdBack.hasTargetLevel, 0);
    const Bytes noOperation = {0x1C, 0x42, 0x48, 0x00, 0x00};
    cur = noOperation.data();
    EXPECT_EQ(propDecodeLightingCommand(&cur, noOperation.data() + noOperation.size(), &cmdBack), kRejectInvalidTag);
}

// All bits set mean NULL only in a priority array.
TEST_F(ValueCodec, AllOnesIsNullOnlyInAPriorityArray) {
    PropertyValue v{};
    auto *b = block<uint32_t>(v, kDtUnsigned, 2);
    b[0] = 0xFFFFFFFF;
    b[1] = 1;
    Bytes enc;
    ASSERT_TRUE(encode(kObjNotificationClass, kPropPriority, &v, &enc));
    EXPECT_EQ(hex(enc), hex({0x24, 0xFF, 0xFF, 0xFF, 0xFF, 0x21, 0x01}));
    ASSERT_TRUE(encode(kObjMultiStateValue, kPropPriorityArray, &v, &enc));
    EXPECT_EQ(hex(enc), hex({0x00, 0x21, 0x01}));
    propFreeValue(&v);
}

TEST_F(ValueCodec, EncoderFailuresWriteNothing) {
    struct Case {
        const char *what;
        std::function<void(PropertyValue &)> make;
    };
    const Case cases[] = {
        {"weekly schedule of 6 days", [](PropertyValue &v) { block<BACnetDailySchedule>(v, kDtDailySchedule, 6); }},
        {"event parameter choice 6",
         [](PropertyValue &v) {
             block<BACnetEventParameter>(v, kDtEventParameter, 0)->choice = kEventComplexEventType;
         }},
        {"recipient choice 2",
         [](PropertyValue &v) { block<BACnetRecipient>(v, kDtRecipient, 2)[1].choice = kRecipientAddress + 1; }},
        {"9-octet MAC", [](PropertyValue &v) {
             auto *b = block<BACnetAddressBinding>(v, kDtAddressBinding, 1);
             b[0].macLength = 9;
         }},
        {"time stamp choice 3",
         [](PropertyValue &v) { block<BACnetTimeStamp>(v, kDtTimeStamp, 1)[0].choice = kTimeStampDateTime + 1; }},
        {"log datum of the wrong datatype", [](PropertyValue &v) {
             auto *b = block<BACnetLogRecord>(v, kDtLogRecord, 1);
             b[0].datumChoice = kLogDatumReal;
             b[0].datum.datatype = kDtUnsigned;
         }},
        {"event-log notification", [](PropertyValue &v) {
             block<BACnetEventLogRecord>(v, kDtEventLogRecord, 1)[0].choice = kEventLogDatumNotification;
         }},
        {"missing block", [](PropertyValue &v) {
             v.datatype = kDtObjectIdList;
             v.count = 3;
         }},
        {"action command with a constructed value", [](PropertyValue &v) {
             auto *l = block<BACnetActionList>(v, kDtActionList, 1);
             l[0].commandCount = 1;
             l[0].ownsList = 1;
             l[0].commands = nested<BACnetActionCommand>(1);
             l[0].commands[0].value.datatype = kDtCalendarEntry;
         }},
    };
    for (const Case &c : cases) {
        PropertyValue v{};
        c.make(v);
        PduBuffer pdu;
        ASSERT_EQ(pduInit(&pdu), 0);
        ASSERT_EQ(pduAppendByte(&pdu, 0x3E), 0);
        EXPECT_EQ(propEncodeValue(&pdu, kObjAnalogInput, kPropPresentValue, &v), 1) << c.what;
        EXPECT_EQ(pdu.length, 1u) << c.what;
        pduFree(&pdu);
        propFreeValue(&v);
    }
    // Codes without an encoding write nothing and succeed.
    for (uint8_t code : {13, 14, +kDtEmptyList, 39, 40, 42, 45, 64, +kDtUnknown}) {
        PropertyValue v{};
        v.datatype = code;
        Bytes enc;
        EXPECT_TRUE(encode(kObjAnalogInput, kPropPresentValue, &v, &enc)) << int(code);
        EXPECT_TRUE(enc.empty()) << int(code);
    }
}

}  // namespace
