// Round trips of every datatype code the datatype table gives: a value is
// encoded, decoded by its object type and property, and must come back
// whole; every prefix of its encoding is refused; every allocation failure
// of the decode is reported and leaks nothing.

#include "value_cases.h"

#include "bacnet/datatype_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <set>

namespace {

using namespace codec_test;

// Flat element records compare octet by octet.
void expectSameElements(const PropertyValue &a, const PropertyValue &b, const char *name) {
    const uint32_t size = propElementSize(a.datatype);
    ASSERT_NE(size, 0u) << name;
    ASSERT_EQ(a.count, b.count) << name;
    ASSERT_NE(a.value.block, nullptr) << name;
    ASSERT_NE(b.value.block, nullptr) << name;
    for (uint32_t i = 0; i < a.count; ++i) {
        const auto *x = static_cast<const uint8_t *>(a.value.block) + size_t{i} * size;
        const auto *y = static_cast<const uint8_t *>(b.value.block) + size_t{i} * size;
        EXPECT_EQ(std::memcmp(x, y, size), 0) << name << ": element " << i;
    }
}

class ValueRoundTrip : public ::testing::Test {
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

TEST_F(ValueRoundTrip, EveryTableDatatypeComesBackWhole) {
    std::set<int> covered;
    for (const Case &c : cases()) {
        PropertyValue v;
        std::memset(&v, 0, sizeof v);
        c.make(v);
        uint8_t isList = 0;
        covered.insert(propGetDatatype(c.type, c.property, &isList));

        Bytes enc;
        ASSERT_TRUE(encode(c.type, c.property, &v, &enc)) << c.name;
        if (!c.expected.empty()) {
            EXPECT_EQ(hex(enc), hex(c.expected)) << c.name;
        }
        PropertyValue d;
        size_t used = 0;
        const PackedError e = decode(c.type, c.property, c.index, enc, &d, true, &used);
        ASSERT_EQ(e, 0u) << c.name << ": " << hex(enc);
        EXPECT_EQ(used, enc.size()) << c.name << ": the cursor stands on the closing tag";
        EXPECT_EQ(d.datatype, v.datatype) << c.name;
        EXPECT_EQ(d.count, v.count) << c.name;
        EXPECT_EQ(d.length, v.length) << c.name;
        if (c.flat) {
            expectSameElements(v, d, c.name);
        } else if (v.datatype <= kDtObjectId && v.datatype != kDtCharString && v.datatype != kDtOctetString &&
                   v.count == 0 && !v.ownsValue) {
            EXPECT_EQ(std::memcmp(&v.value, &d.value, sizeof v.value), 0) << c.name;
        }
        Bytes again;
        ASSERT_TRUE(encode(c.type, c.property, &d, &again)) << c.name;
        EXPECT_EQ(hex(again), hex(enc)) << c.name;

        propFreeValue(&d);
        propFreeValue(&d);  // a second release finds nothing
        propFreeValue(&v);
        EXPECT_EQ(appmem::outstanding(), base_) << c.name;
    }
    // Every code the table gives, but the event-log notification form.
    for (int code : {kDtBoolean,
                     kDtUnsigned,
                     kDtSigned,
                     kDtReal,
                     kDtDouble,
                     kDtOctetString,
                     kDtCharString,
                     kDtBitString,
                     kDtEnumerated,
                     kDtDate,
                     kDtTime,
                     kDtObjectId,
                     kDtAny,
                     kDtObjectIdList,
                     kDtAddressBinding,
                     kDtRecipient,
                     kDtCalendarEntry,
                     kDtObjectPropertyReference,
                     kDtVTSession,
                     kDtDestination,
                     kDtSessionKey,
                     kDtReadAccessSpecification,
                     kDtDailySchedule,
                     kDtSpecialEvent,
                     kDtDeviceObjectReference,
                     kDtDeviceObjectPropertyReference,
                     kDtDateRange,
                     kDtDateTime,
                     kDtTimeStamp,
                     kDtSetpointReference,
                     kDtActionList,
                     kDtEventParameter,
                     kDtReadAccessResult,
                     kDtCOVSubscription,
                     kDtLogRecord,
                     kDtAccumulatorRecord,
                     kDtScale,
                     kDtPrescale,
                     kDtShedLevel,
                     kDtEventLogRecord,
                     kDtLogMultipleRecord,
                     kDtAuthenticationPolicy,
                     kDtAccessRule,
                     kDtAssignedAccessRights,
                     kDtAuthenticationFactor,
                     kDtAuthenticationFactorFormat,
                     kDtCredentialAuthenticationFactor,
                     kDtPropertyAccessResult,
                     kDtNetworkSecurityPolicy,
                     kDtSecurityKeySet,
                     kDtFaultParameter,
                     kDtProcessIdSelection,
                     kDtEventNotificationSubscription,
                     kDtPortPermission,
                     kDtLightingCommand,
                     kDtChannelValue}) {
        EXPECT_EQ(covered.count(code), 1u) << "no round trip for datatype " << code;
    }
}

TEST_F(ValueRoundTrip, EveryPrefixIsRefusedWithoutLeaks) {
    for (const Case &c : cases()) {
        PropertyValue v;
        std::memset(&v, 0, sizeof v);
        c.make(v);
        Bytes enc;
        ASSERT_TRUE(encode(c.type, c.property, &v, &enc)) << c.name;
        propFreeValue(&v);
        const int64_t before = appmem::outstanding();
        for (size_t n = 0; n < enc.size(); ++n) {
            const Bytes prefix(enc.begin(), enc.begin() + static_cast<std::ptrdiff_t>(n));
            PropertyValue d;
            size_t used = 0;
            const PackedError e = decode(c.type, c.property, c.index, prefix, &d, false, &used);
            EXPECT_NE(e, 0u) << c.name << " cut to " << n << ": " << hex(prefix);
            EXPECT_LE(used, n) << c.name;
            EXPECT_EQ(d.ownsValue, 0) << c.name;
            EXPECT_EQ(appmem::outstanding(), before) << c.name << " cut to " << n;
        }
    }
}

TEST_F(ValueRoundTrip, EveryAllocationFailureIsReportedAndReleasesAll) {
    for (const Case &c : cases()) {
        PropertyValue v;
        std::memset(&v, 0, sizeof v);
        c.make(v);
        Bytes enc;
        ASSERT_TRUE(encode(c.type, c.property, &v, &enc)) << c.name;
        propFreeValue(&v);
        const int64_t before = appmem::outstanding();
        const uint64_t first = appmem::calls();
        PropertyValue d;
        ASSERT_EQ(decode(c.type, c.property, c.index, enc, &d), 0u) << c.name;
        const uint64_t allocations = appmem::calls() - first;
        propFreeValue(&d);
        for (uint64_t k = 0; k < allocations; ++k) {
            appmem::failAfter(static_cast<int64_t>(k));
            const PackedError e = decode(c.type, c.property, c.index, enc, &d);
            appmem::failAfter(-1);
            EXPECT_EQ(e, kErrorOutOfMemory) << c.name << ": allocation " << k;
            EXPECT_EQ(d.ownsValue, 0) << c.name;
            EXPECT_EQ(appmem::outstanding(), before) << c.name << ": allocation " << k;
        }
    }
}

// Object identifiers given as a block of datatype 12 are written element by
// element, as the list of datatype 16 is, and read back as that list; the
// block's address never reaches the wire.
TEST_F(ValueRoundTrip, ObjectIdentifierElementsComeBackAsTheList) {
    for (uint16_t n : {1, 3}) {
        PropertyValue v;
        auto *b = block<uint32_t>(v, kDtObjectId, n);
        for (uint16_t i = 0; i < n; ++i) {
            b[i] = oid(i == 0 ? kObjDevice : kObjAnalogValue, 7u + i);
        }
        Bytes enc;
        ASSERT_TRUE(encode(kObjDevice, kPropObjectList, &v, &enc)) << n;
        Bytes want;
        for (uint16_t i = 0; i < n; ++i) {
            want.push_back(0xC4);
            for (int shift = 24; shift >= 0; shift -= 8) {
                want.push_back(static_cast<uint8_t>(b[i] >> shift));
            }
        }
        EXPECT_EQ(hex(enc), hex(want)) << n;
        PropertyValue d;
        ASSERT_EQ(decode(kObjDevice, kPropObjectList, -1, enc, &d), 0u) << n;
        EXPECT_EQ(d.datatype, kDtObjectIdList);
        ASSERT_EQ(d.count, n);
        EXPECT_EQ(std::memcmp(d.value.block, b, n * sizeof(uint32_t)), 0) << n;
        propFreeValue(&d);
        propFreeValue(&v);
    }
}

// The primitives without an element form cannot be written from a block:
// the encoder refuses them rather than write the block's address as the
// value.
TEST_F(ValueRoundTrip, PrimitivesWithoutElementsRefuseABlock) {
    const struct {
        uint8_t datatype;
        uint32_t property;
    } rows[] = {
        {kDtNull, kPropPresentValue},       {kDtSigned, kPropUtcOffset},
        {kDtDouble, kPropPresentValue},     {kDtOctetString, kPropPresentValue},
        {kDtBitString, kPropStatusFlags},   {kDtDate, kPropLocalDate},
        {kDtTime, kPropLocalTime},
    };
    for (const auto &row : rows) {
        for (uint16_t n : {1, 3}) {
            PropertyValue v;
            block<uint64_t>(v, row.datatype, n);
            Bytes enc;
            EXPECT_FALSE(encode(kObjDevice, row.property, &v, &enc)) << int(row.datatype) << " x" << n;
            propFreeValue(&v);
        }
    }
}

// The encoder appends straight to the PDU buffer: with room in the buffer it
// allocates nothing, whatever the size of the value.
TEST_F(ValueRoundTrip, EncoderAllocatesNothingWhenThePduHasRoom) {
    PduBuffer pdu;
    ASSERT_EQ(pduInit(&pdu), 0);
    const Bytes room(8000, 0);
    ASSERT_EQ(pduAppendBytes(&pdu, static_cast<uint32_t>(room.size()), room.data()), 0);
    for (const Case &c : cases()) {
        PropertyValue v;
        std::memset(&v, 0, sizeof v);
        c.make(v);
        pdu.length = 0;
        const uint64_t before = appmem::calls();
        EXPECT_EQ(propEncodeValue(&pdu, c.type, c.property, &v), 0) << c.name;
        EXPECT_EQ(appmem::calls(), before) << c.name;
        propFreeValue(&v);
    }
    pduFree(&pdu);
}

// An encoding that needs the PDU buffer to grow, when growing fails, leaves
// nothing allocated and reports the failure.
TEST_F(ValueRoundTrip, EncoderReportsAFailedAppend) {
    for (const Case &c : cases()) {
        PropertyValue v;
        std::memset(&v, 0, sizeof v);
        c.make(v);
        Bytes enc;
        ASSERT_TRUE(encode(c.type, c.property, &v, &enc)) << c.name;
        PduBuffer pdu;
        ASSERT_EQ(pduInit(&pdu), 0);
        const Bytes filler(510, 0x55);  // the next octet needs a larger block
        ASSERT_EQ(pduAppendBytes(&pdu, 510, filler.data()), 0);
        appmem::failAfter(0);
        EXPECT_EQ(propEncodeValue(&pdu, c.type, c.property, &v), 1) << c.name;
        appmem::failAfter(-1);
        EXPECT_EQ(pdu.start, nullptr) << c.name;
        pduFree(&pdu);
        propFreeValue(&v);
        EXPECT_EQ(appmem::outstanding(), base_) << c.name;
    }
}

}  // namespace
