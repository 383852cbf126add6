#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "app_memory_counting.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/stack.h"
#include "bacnet/stack/tsm.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;

namespace {

constexpr uint32_t kRoot = 1234;

// The results of a ReadPropertyMultiple, checked to be a well-formed ACK.
std::vector<RpmResult> rpmResults(harness::Stack &stack, const Bytes &npdu, uint8_t invokeId) {
    auto r = stack.request(npdu);
    EXPECT_EQ(r.size(), 1u);
    if (r.empty())
        return {};
    Bytes apdu = apduOf(r[0]);
    EXPECT_GE(apdu.size(), 3u);
    EXPECT_EQ(apdu[0], 0x30) << hex(apdu);
    EXPECT_EQ(apdu[1], invokeId);
    EXPECT_EQ(apdu[2], kSvcReadPropertyMultiple);
    std::vector<RpmResult> out;
    EXPECT_TRUE(parseRpmAck(Bytes(apdu.begin() + 3, apdu.end()), &out)) << hex(apdu);
    return out;
}

std::vector<uint32_t> properties(const std::vector<RpmResult> &results) {
    std::vector<uint32_t> out;
    for (const auto &r : results)
        out.push_back(r.property);
    return out;
}

struct RpCase {
    const char *name;
    int32_t toVirtual;  // -1: the root device
    uint32_t objectId;
    uint32_t property;
    uint32_t index;
    const char *apdu;  // expected reply APDU
};

TEST(ReadProperty, Answers) {
    const RpCase cases[] = {
        {"wildcard device on a virtual device", 42, kDeviceWildcard, kPropObjectIdentifier, kNone,
         "30 01 0C 0C 02 00 00 2A 19 4B 3E C4 02 00 00 2A 3F"},
        {"wildcard device on the root", -1, kDeviceWildcard, kPropObjectIdentifier, kNone,
         "30 01 0C 0C 02 00 04 D2 19 4B 3E C4 02 00 04 D2 3F"},
        {"all", -1, deviceObjectId(kRoot), kPropAll, kNone, "50 01 0C 91 02 91 1B"},
        {"required", -1, analogInput(1), kPropRequired, kNone, "50 01 0C 91 02 91 1B"},
        {"object-list count", -1, deviceObjectId(kRoot), kPropObjectList, 0,
         "30 01 0C 0C 02 00 04 D2 19 4C 29 00 3E 21 0B 3F"},
        {"object-list first", -1, deviceObjectId(kRoot), kPropObjectList, 1,
         "30 01 0C 0C 02 00 04 D2 19 4C 29 01 3E C4 02 00 04 D2 3F"},
        {"object-list second", -1, deviceObjectId(kRoot), kPropObjectList, 2,
         "30 01 0C 0C 02 00 04 D2 19 4C 29 02 3E C4 00 00 00 01 3F"},
        {"object-list past the end", -1, deviceObjectId(kRoot), kPropObjectList, 12, "50 01 0C 91 02 91 2A"},
        {"property-list count", -1, deviceObjectId(kRoot), kPropPropertyList, 0,
         "30 01 0C 0C 02 00 04 D2 1A 01 73 29 00 3E 21 1C 3F"},
        {"property-list past the end", -1, deviceObjectId(kRoot), kPropPropertyList, 29,
         "50 01 0C 91 02 91 2A"},
        {"index on a scalar", -1, deviceObjectId(kRoot), kPropObjectName, 1, "50 01 0C 91 02 91 32"},
        {"unknown property", -1, deviceObjectId(kRoot), kUnknownProperty, kNone, "50 01 0C 91 02 91 20"},
        {"unknown instance", -1, analogInput(77), kPropPresentValue, kNone, "50 01 0C 91 01 91 1F"},
        {"unsupported type", -1, objectIdMake(kObjBinaryInput, 1), kPropPresentValue, kNone,
         "50 01 0C 91 01 91 1F"},
        {"another device's object", -1, deviceObjectId(42), kPropObjectIdentifier, kNone,
         "50 01 0C 91 01 91 1F"},
        {"log-buffer of a trend log", -1, objectIdMake(kObjTrendLog, 1), kPropLogBuffer, kNone,
         "50 01 0C 91 02 91 1B"},
        {"log-buffer of an analog input", -1, analogInput(1), kPropLogBuffer, kNone, "50 01 0C 91 02 91 20"},
        {"present value", -1, analogInput(2), kPropPresentValue, kNone,
         "30 01 0C 0C 00 00 00 02 19 55 3E 44 40 40 00 00 3F"},
        {"serial number from the application", -1, deviceObjectId(kRoot), kPropSerialNumber, kNone,
         "30 01 0C 0C 02 00 04 D2 1A 01 74 3E 75 08 00 53 4E 2D 31 32 33 34 3F"},
        {"protocol revision", -1, deviceObjectId(kRoot), kPropProtocolRevision, kNone,
         "30 01 0C 0C 02 00 04 D2 19 8B 3E 21 0E 3F"},
        {"services supported", -1, deviceObjectId(kRoot), kPropProtocolServicesSupported, kNone,
         "30 01 0C 0C 02 00 04 D2 19 61 3E 85 07 07 04 0B C8 20 61 00 3F"},
    };
    harness::Stack stack;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes apdu = rp(1, c.objectId, c.property, c.index);
        Bytes npdu = c.toVirtual < 0 ? local(apdu) : toVirtual(100, static_cast<uint32_t>(c.toVirtual), apdu);
        EXPECT_EQ(answer(stack, npdu), c.apdu);
    }
}

TEST(ReadProperty, PropertyListHoldsTwentyEightEntries) {
    harness::Stack stack;
    // 28 enumerated values: each application tag 0x91 or 0x92.
    Bytes apdu = apduOf(stack.request(local(rp(1, deviceObjectId(kRoot), kPropPropertyList)))[0]);
    size_t count = 0;
    size_t i = 3 + 5 + 3 + 1;  // 30 01 0C, object id, property (3 octets), 3E
    while (i < apdu.size() && apdu[i] != 0x3F) {
        ASSERT_EQ(apdu[i] & 0xF0, 0x90);
        i += 1 + (apdu[i] & 7);
        ++count;
    }
    EXPECT_EQ(count, 28u);
}

TEST(ReadProperty, SegmentationNoneHidesTheSegmentProperties) {
    testapp::Config config;
    config.segmentationSupported = 3;
    harness::Stack stack(config);
    EXPECT_EQ(answer(stack, local(rp(1, deviceObjectId(kRoot), kPropMaxSegmentsAccepted))),
              "50 01 0C 91 02 91 20");
    EXPECT_EQ(answer(stack, local(rp(1, deviceObjectId(kRoot), kPropApduSegmentTimeout))),
              "50 01 0C 91 02 91 20");
}

TEST(ReadProperty, MalformedRequestsAreRejected) {
    const std::pair<const char *, Bytes> cases[] = {
        {"trailing octet", cat(rp(1, analogInput(1), kPropPresentValue), Bytes{0x00})},
        {"no property", Bytes{0x00, 0x05, 0x01, 12, 0x0C, 0, 0, 0, 1}},
        {"three-octet object identifier", Bytes{0x00, 0x05, 0x01, 12, 0x0B, 0, 0, 1, 0x19, 0x55}},
        {"application tag for the object", Bytes{0x00, 0x05, 0x01, 12, 0xC4, 0, 0, 0, 1, 0x19, 0x55}},
        {"property longer than the request", Bytes{0x00, 0x05, 0x01, 12, 0x0C, 0, 0, 0, 1, 0x1A, 0x55}},
        {"index with a wrong tag", cat(rp(1, analogInput(1), kPropPresentValue), Bytes{0x39, 0x01})},
        {"index as an application unsigned", cat(rp(1, analogInput(1), kPropPresentValue), Bytes{0x21, 0x01})},
        {"empty index", cat(rp(1, analogInput(1), kPropPresentValue), Bytes{0x28})},
        {"opening tag as index", cat(rp(1, analogInput(1), kPropPresentValue), Bytes{0x2E, 0x2F})},
        {"empty service data", Bytes{0x00, 0x05, 0x01, 12}},
    };
    harness::Stack stack;
    for (const auto &[name, apdu] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(answer(stack, local(apdu)), "60 01 04");
    }
}

TEST(ReadProperty, AllocationFailureGivesRejectAndLeavesNothingAllocated) {
    harness::Stack stack;
    int64_t before = appmem::outstanding();
    for (int64_t k = 0; k < 3; ++k) {
        appmem::failAfter(k);
        std::string r = answer(stack, local(rp(1, deviceObjectId(kRoot), kPropObjectList)));
        appmem::failAfter(-1);
        EXPECT_TRUE(r == "60 01 00" || r == "50 01 0C 91 03 91 85" || r.substr(0, 2) == "30")
            << k << ": " << r;
        EXPECT_EQ(appmem::outstanding(), before);
    }
}

TEST(ReadPropertyMultiple, AllOfTheDeviceObject) {
    harness::Stack stack;
    auto results = rpmResults(stack, local(rpm(3, {{deviceObjectId(kRoot), {{kPropAll}}}})), 3);
    std::vector<uint32_t> expected = {kPropObjectIdentifier,
                                      kPropObjectName,
                                      kPropObjectType,
                                      kPropSystemStatus,
                                      kPropVendorName,
                                      kPropVendorIdentifier,
                                      kPropModelName,
                                      kPropFirmwareRevision,
                                      kPropApplicationSoftwareVersion,
                                      kPropLocation,
                                      kPropProtocolVersion,
                                      kPropProtocolRevision,
                                      kPropMaxApduLengthAccepted,
                                      kPropSegmentationSupported,
                                      kPropUtcOffset,
                                      kPropApduTimeout,
                                      kPropApduSegmentTimeout,
                                      kPropNumberOfApduRetries,
                                      kPropProtocolServicesSupported,
                                      kPropProtocolObjectTypesSupported,
                                      kPropObjectList,
                                      kPropLocalTime,
                                      kPropLocalDate,
                                      kPropMaxMaster,
                                      kPropMaxInfoFrames,
                                      kPropDeviceAddressBinding,
                                      kPropMaxSegmentsAccepted,
                                      kPropDatabaseRevision,
                                      kPropActiveCovSubscriptions,
                                      kPropSerialNumber};
    EXPECT_EQ(properties(results), expected);  // description (absent) passed over
    for (const auto &r : results)
        EXPECT_TRUE(r.ok) << r.property;
}

TEST(ReadPropertyMultiple, RequiredAndOptionalOfTheDeviceObject) {
    harness::Stack stack;
    auto required = rpmResults(stack, local(rpm(4, {{deviceObjectId(kRoot), {{kPropRequired}}}})), 4);
    EXPECT_EQ(properties(required), (std::vector<uint32_t>{kPropObjectIdentifier,
                                                           kPropObjectName,
                                                           kPropObjectType,
                                                           kPropSystemStatus,
                                                           kPropVendorName,
                                                           kPropVendorIdentifier,
                                                           kPropModelName,
                                                           kPropFirmwareRevision,
                                                           kPropApplicationSoftwareVersion,
                                                           kPropProtocolVersion,
                                                           kPropProtocolRevision,
                                                           kPropMaxApduLengthAccepted,
                                                           kPropSegmentationSupported,
                                                           kPropApduTimeout,
                                                           kPropNumberOfApduRetries,
                                                           kPropProtocolServicesSupported,
                                                           kPropProtocolObjectTypesSupported,
                                                           kPropObjectList,
                                                           kPropDatabaseRevision,
                                                           kPropDeviceAddressBinding}));
    auto optional = rpmResults(stack, local(rpm(5, {{deviceObjectId(kRoot), {{kPropOptional}}}})), 5);
    EXPECT_EQ(
        properties(optional),
        (std::vector<uint32_t>{kPropLocation, kPropUtcOffset, kPropApduSegmentTimeout, kPropLocalTime,
                               kPropLocalDate, kPropMaxMaster, kPropMaxInfoFrames, kPropMaxSegmentsAccepted,
                               kPropActiveCovSubscriptions, kPropSerialNumber}));
}

TEST(ReadPropertyMultiple, GroupsOfAnAnalogInputLeaveOutThePropertyList) {
    harness::Stack stack;
    auto all = rpmResults(stack, local(rpm(1, {{analogInput(1), {{kPropAll}}}})), 1);
    EXPECT_EQ(properties(all),
              (std::vector<uint32_t>{kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                                     kPropPresentValue, kPropStatusFlags, kPropEventState, kPropOutOfService,
                                     kPropUnits, kPropDescription, kPropCovIncrement}));
    auto required = rpmResults(stack, local(rpm(1, {{analogInput(1), {{kPropRequired}}}})), 1);
    EXPECT_EQ(
        properties(required),
        (std::vector<uint32_t>{kPropObjectIdentifier, kPropObjectName, kPropObjectType, kPropPresentValue,
                               kPropStatusFlags, kPropEventState, kPropOutOfService, kPropUnits}));
    auto optional = rpmResults(stack, local(rpm(1, {{analogInput(1), {{kPropOptional}}}})), 1);
    EXPECT_EQ(properties(optional), (std::vector<uint32_t>{kPropDescription, kPropCovIncrement}));
}

TEST(ReadPropertyMultiple, ErrorsStayInsideTheAck) {
    harness::Stack stack;
    auto results =
        rpmResults(stack,
                   local(rpm(6, {{analogInput(77), {{kPropAll}}},
                                 {analogInput(1), {{kPropPresentValue}, {kUnknownProperty}, {kPropObjectName, 1}}},
                                 {deviceObjectId(kRoot), {{kPropObjectList, 0}, {kPropObjectList, 99}}}})),
                   6);
    ASSERT_EQ(results.size(), 6u);
    EXPECT_FALSE(results[0].ok);  // unknown object with ALL: one error
    EXPECT_EQ(results[0].property, kPropAll);
    EXPECT_EQ(results[0].errorClass, kErrorClassObject);
    EXPECT_EQ(results[0].errorCode, kErrorCodeUnknownObject);
    EXPECT_TRUE(results[1].ok);
    EXPECT_EQ(hex(results[1].value), "44 3F C0 00 00");
    EXPECT_EQ(results[2].errorCode, kErrorCodeUnknownProperty);
    EXPECT_EQ(results[3].errorCode, kErrorCodePropertyIsNotAnArray);
    EXPECT_TRUE(results[3].hasIndex);
    EXPECT_TRUE(results[4].ok);
    EXPECT_EQ(hex(results[4].value), "21 0B");
    EXPECT_EQ(results[5].errorCode, kErrorCodeInvalidArrayIndex);
}

TEST(ReadPropertyMultiple, VirtualDeviceAnswersForItsOwnObjects) {
    harness::Stack stack;
    auto results = rpmResults(
        stack, toVirtual(100, 43, rpm(2, {{kDeviceWildcard, {{kPropObjectIdentifier}, {kPropObjectList}}}})),
        2);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].objectId, deviceObjectId(43));
    EXPECT_EQ(hex(results[0].value), "C4 02 00 00 2B");
    // Device 43 and its three analog inputs.
    EXPECT_EQ(hex(results[1].value), "C4 02 00 00 2B C4 00 00 00 01 C4 00 00 00 02 C4 00 00 00 03");
}

TEST(ReadPropertyMultiple, MalformedRequests) {
    harness::Stack stack;
    const std::pair<const char *, Bytes> rejected[] = {
        {"no closing tag", Bytes{0x00, 0x05, 0x01, 14, 0x0C, 0, 0, 0, 1, 0x1E, 0x09, 0x55}},
        {"no opening tag", Bytes{0x00, 0x05, 0x01, 14, 0x0C, 0, 0, 0, 1, 0x09, 0x55, 0x1F}},
        {"empty", Bytes{0x00, 0x05, 0x01, 14}},
        {"trailing octet", cat(rpm(1, {{analogInput(1), {{kPropPresentValue}}}}), Bytes{0x00})},
        {"property missing", Bytes{0x00, 0x05, 0x01, 14, 0x0C, 0, 0, 0, 1, 0x1E, 0x1F}},
    };
    for (const auto &[name, apdu] : rejected) {
        SCOPED_TRACE(name);
        EXPECT_EQ(answer(stack, local(apdu)), "60 01 04");
    }
    EXPECT_EQ(answer(stack, local(rpm(1, {{analogInput(1), {{kPropAll, 1}}}}))), "50 01 0E 91 02 91 32");
}

TEST(ReadPropertyMultiple, EveryBlockIsReleased) {
    harness::Stack stack;
    int64_t before = appmem::outstanding();
    rpmResults(stack,
               local(rpm(1, {{deviceObjectId(kRoot), {{kPropAll}, {kPropObjectList}, {kPropPropertyList}}},
                             {1, {{kPropAll}, {kPropPropertyList}}}})),
               1);
    EXPECT_EQ(appmem::outstanding(), before);
}

}  // namespace

namespace {

TEST(IAm, BindsALookedUpDeviceAndIgnoresMalformedOrUnknownOnes) {
    harness::Stack stack;
    BACnetAddress pending{};
    pending.macLength = 255;
    ASSERT_EQ(bindingStore(5, &pending, 0), 0);
    ASSERT_EQ(bindingStore(6, &pending, 0), 1);
    EXPECT_EQ(answer(stack, local(rp(1, deviceObjectId(kRoot), kPropDeviceAddressBinding))),
              "30 01 0C 0C 02 00 04 D2 19 1E 3E 3F");

    const Bytes malformed[] = {
        {0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x06},              // ends after the identifier
        {0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x06, 0x22, 0x05},  // max APDU cut short
        {0x10, 0x00, 0xC4, 0x00, 0x00, 0x00, 0x06, 0x22, 0x05, 0xC4, 0x91, 0x03, 0x21, 0x07},  // not a device
        {0x10, 0x00, 0xC3, 0x02, 0x00, 0x00, 0x06, 0x22, 0x05, 0xC4, 0x91, 0x03, 0x21,
         0x07},  // 3-octet identifier
        {0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x06, 0x22, 0x05, 0xC4, 0x21, 0x03, 0x21, 0x07},  // wrong tag
        {0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x06, 0x22, 0x05, 0xC4, 0x91, 0x03, 0x21, 0x07,
         0x00},  // trailing
    };
    for (const Bytes &apdu : malformed) {
        SCOPED_TRACE(hex(apdu));
        stack.request(local(apdu, false));
        EXPECT_EQ(bindingCountBound(), 0);
    }
    // From device 7, which nobody looked up: not entered.
    stack.request(local(
        Bytes{0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x07, 0x22, 0x05, 0xC4, 0x91, 0x03, 0x21, 0x07}, false));
    EXPECT_EQ(bindingCountBound(), 0);
    stack.request(local(
        Bytes{0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x05, 0x22, 0x05, 0xC4, 0x91, 0x03, 0x21, 0x07}, false));
    ASSERT_EQ(bindingCountBound(), 1);
    AddressBinding bound{};
    ASSERT_EQ(bindingCopyBound(&bound, 1), 1);
    EXPECT_EQ(bound.instance, 5u);
    EXPECT_EQ(bound.vendorId, 7);
    EXPECT_EQ(bound.address.maxApdu, 1476);
    EXPECT_EQ(bound.address.macLength, 6);
    EXPECT_EQ(answer(stack, local(rp(2, deviceObjectId(kRoot), kPropDeviceAddressBinding))),
              "30 02 0C 0C 02 00 04 D2 19 1E 3E C4 02 00 00 05 21 00 65 06 C0 00 02 14 BA C0 3F");
}

}  // namespace
