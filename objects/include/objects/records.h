#pragma once
// The records that cross between the objects, the device application and
// the stack, and the bit sets and codes the objects answer with.

#include <array>
#include <cstddef>
#include <cstdint>

#include "bacnet/enums.h"
#include "bacnet/property_value.h"
#include "bacnet/stack/address.h"
#include "bacnet/stack/notify.h"
#include "bacnet/tags.h"

// The objects keep these records whole, copy them by value and hand them
// back to the stack, so their layouts are part of the contract.
static_assert(sizeof(BACnetAddress) == 40);
static_assert(sizeof(BACnetTimeStamp) == 12);
static_assert(offsetof(BACnetTimeStamp, time) == 4);
static_assert(offsetof(BACnetTimeStamp, date) == 8);
static_assert(sizeof(PropertyValue) == 16);
static_assert(sizeof(CharString) == 8);
static_assert(offsetof(CovSubscriber, subscriber) == 0);
static_assert(offsetof(CovSubscriber, processId) == 40);
static_assert(offsetof(CovSubscriber, monitoredObject) == 48);
static_assert(offsetof(CovSubscriber, lifetime) == 52);
static_assert(offsetof(CovSubscriber, cancel) == 56);
static_assert(offsetof(CovSubscriber, issueConfirmed) == 57);
static_assert(offsetof(CovSubscriber, valueCount) == 58);
// The fixed part ends at 60; the value list's pointer follows at the
// pointer's own alignment (64 with 8-byte pointers, 60 with 4-byte ones).
static_assert(offsetof(CovSubscriber, values) ==
              (60 + alignof(CovPropertyValue *) - 1) / alignof(CovPropertyValue *) * alignof(CovPropertyValue *));
static_assert(sizeof(CovSubscriber) == offsetof(CovSubscriber, values) + sizeof(CovPropertyValue *));

// ---- object identifiers (objectIdMake and the others come from the codec) ----
inline constexpr uint32_t kNoInstance = kMaxInstance;  // no instance assigned

// ---- bit sets; the first BACnet bit is the top bit ----
using StatusFlags = uint8_t;
inline constexpr StatusFlags kStatusInAlarm = 0x80;
inline constexpr StatusFlags kStatusFault = 0x40;
inline constexpr StatusFlags kStatusOverridden = 0x20;
inline constexpr StatusFlags kStatusOutOfService = 0x10;

using EventTransitions = uint8_t;
inline constexpr EventTransitions kTransitionToOffnormal = 0x80;
inline constexpr EventTransitions kTransitionToFault = 0x40;
inline constexpr EventTransitions kTransitionToNormal = 0x20;

using LimitEnable = uint8_t;
inline constexpr LimitEnable kLowLimitEnable = 0x80;
inline constexpr LimitEnable kHighLimitEnable = 0x40;

// ---- PackedError codes the objects answer ----
inline constexpr PackedError kErrorNone = 0;
inline constexpr PackedError kErrorNoSpaceToAddListElement =
    errMake(kErrorClassResources, kErrorCodeNoSpaceToAddListElement);
inline constexpr PackedError kErrorOptionalFunctionalityNotSupported =
    errMake(kErrorClassServices, kErrorCodeOptionalFunctionalityNotSupported);
static_assert(kErrorNoSpaceToAddListElement == 0x30013);
static_assert(kErrorOptionalFunctionalityNotSupported == 0x5002D);

// ---- state-file kind names ----
inline constexpr const char *kKindAnalogInput = "analog-input";
inline constexpr const char *kKindBinaryValue = "binary-value";
inline constexpr const char *kKindLargeAnalogValue = "large-analog-value";
inline constexpr const char *kKindMultiStateValue = "multi-state-value";
inline constexpr const char *kKindNotificationClass = "notification-class";
inline constexpr const char *kKindPulseConverter = "pulse-converter";

// ---- time stamps ----
// choice date-time, every time and date octet unspecified.
constexpr BACnetTimeStamp timeStampUnspecified() {
    return BACnetTimeStamp{kTimeStampDateTime, 0, {0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}};
}

// ---- recipients ----
// The 32-octet image that orders and compares recipients: valid days,
// transitions, issue-confirmed, 0, process id (LE), from time, to time,
// kind, three zeros, then the device instance (LE) or network and MAC length
// (LE), then the MAC octets, zero past the MAC length and for a device.
using DestinationImage = std::array<uint8_t, 32>;
DestinationImage destinationImage(const BACnetDestination &destination);
bool destinationEqual(const BACnetDestination &a, const BACnetDestination &b);
bool destinationLess(const BACnetDestination &a, const BACnetDestination &b);
