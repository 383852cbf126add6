#pragma once
// Property values and the records of the constructed datatypes.
//
// Every property value that crosses between the stack and the application
// travels in one PropertyValue: its datatype code, an element count, a length
// and eight octets holding the value or pointing to a heap block of element
// records. The element records below are shared by the decoder, the encoder
// and the application that fills or reads values. Fields marked "opt" hold
// kAbsent (0xFFFFFFFF, -1 for indexes) when absent.
//
// Ownership: a PropertyValue owns its block when ownsValue is set; each
// record owns the nested blocks its own owns flags mark. Every block comes
// from appCalloc and goes back through appFree; propFreeValue releases it all.

#include "bacnet/tags.h"

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kAbsent = 0xFFFFFFFFu;
inline constexpr int32_t kNoIndex = -1;

// BACnetDatatype codes.
enum : uint8_t {
    kDtNull = 0,
    kDtBoolean = 1,
    kDtUnsigned = 2,
    kDtSigned = 3,
    kDtReal = 4,
    kDtDouble = 5,
    kDtOctetString = 6,
    kDtCharString = 7,
    kDtBitString = 8,
    kDtEnumerated = 9,
    kDtDate = 10,
    kDtTime = 11,
    kDtObjectId = 12,
    kDtAny = 15,
    kDtObjectIdList = 16,
    kDtEmptyList = 17,
    kDtAddressBinding = 18,
    kDtRecipient = 19,
    kDtCalendarEntry = 20,
    kDtObjectPropertyReference = 21,
    kDtVTSession = 22,
    kDtDestination = 23,
    kDtSessionKey = 24,
    kDtReadAccessSpecification = 25,
    kDtDailySchedule = 26,
    kDtSpecialEvent = 27,
    kDtDeviceObjectReference = 28,
    kDtDeviceObjectPropertyReference = 29,
    kDtDateRange = 30,
    kDtDateTime = 31,
    kDtTimeStamp = 32,
    kDtSetpointReference = 33,
    kDtActionList = 34,
    kDtEventParameter = 35,
    kDtReadAccessResult = 36,
    kDtCOVSubscription = 37,
    kDtLogRecord = 38,
    kDtAccumulatorRecord = 41,
    kDtScale = 43,
    kDtPrescale = 44,
    kDtShedLevel = 46,
    kDtEventLogRecord = 47,
    kDtLogMultipleRecord = 48,
    kDtAuthenticationPolicy = 49,
    kDtAccessRule = 50,
    kDtAssignedAccessRights = 51,
    kDtAuthenticationFactor = 52,
    kDtAuthenticationFactorFormat = 53,
    kDtCredentialAuthenticationFactor = 54,
    kDtPropertyAccessResult = 55,
    kDtNetworkSecurityPolicy = 56,
    kDtSecurityKeySet = 57,
    kDtFaultParameter = 58,
    kDtProcessIdSelection = 59,
    kDtEventNotificationSubscription = 60,
    kDtPortPermission = 61,
    kDtLightingCommand = 62,
    kDtChannelValue = 63,
    kDtUnknown = 255,  // no datatype; in a result record, an access error
};

// The codes of the primitives are their application tag numbers.
static_assert(+kDtNull == kTagNull && +kDtBoolean == kTagBoolean && +kDtUnsigned == kTagUnsigned &&
              +kDtSigned == kTagSigned && +kDtReal == kTagReal && +kDtDouble == kTagDouble &&
              +kDtOctetString == kTagOctetString && +kDtCharString == kTagCharacterString &&
              +kDtBitString == kTagBitString && +kDtEnumerated == kTagEnumerated && +kDtDate == kTagDate &&
              +kDtTime == kTagTime && +kDtObjectId == kTagObjectIdentifier);

// Short bit strings held in an octet field (days, transitions, status
// flags) keep the data octet as on the wire: bit 0 in the top bit.

// Longest MAC address any record holds.
inline constexpr uint16_t kMaxMac = 8;

struct BACnetDate {
    uint8_t year;  // year - 1900; 255 unspecified
    uint8_t month;
    uint8_t day;
    uint8_t weekday;  // 1 Monday .. 7 Sunday
};

struct BACnetTime {
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint8_t hundredths;
};

struct BACnetDateRangeValue {
    BACnetDate start;
    BACnetDate end;
};

struct BACnetDateTimeValue {
    BACnetDate date;
    BACnetTime time;
};

struct BACnetProcessIdSelectionValue {
    uint32_t choice;  // kDtNull, or kDtUnsigned for a process identifier
    uint32_t processId;
};

// The eight octets of a value: inline, or a pointer to the element block.
union PropertyValueData {
    uint32_t u;  // unsigned, enumerated, boolean 0/1, object identifier, PackedError
    int32_t i;
    float f;
    double d;
    uint8_t octets[8];  // the data octets of a short bit string
    BACnetDate date;
    BACnetTime time;
    BACnetDateRangeValue dateRange;
    BACnetDateTimeValue dateTime;
    BACnetProcessIdSelectionValue processIdSelection;
    void *block;
};
static_assert(sizeof(PropertyValueData) == 8);

struct PropertyValue {
    uint8_t reserved;   // for the caller; the codec neither reads nor writes it
    uint8_t datatype;   // BACnetDatatype code
    uint8_t priority;   // write priority; the codec leaves it alone
    uint8_t ownsValue;  // 1: value.block is owned and released by propFreeValue
    // Elements in the block; 0 for an inline scalar; after a failed decode,
    // the position (from 1) of the element that failed.
    uint16_t count;
    uint16_t length;  // octets of an octet string, bits of a bit string
    PropertyValueData value;
};
static_assert(sizeof(PropertyValue) == 16);
static_assert(offsetof(PropertyValue, value) == 8);

template <typename T>
T *propBlock(const PropertyValue &v) {
    return static_cast<T *>(v.value.block);
}

// kDtAddressBinding
struct BACnetAddressBinding {
    uint32_t deviceId;  // device object identifier
    uint16_t network;
    uint16_t macLength;  // at most kMaxMac
    uint8_t mac[kMaxMac];
};

// kDtRecipient
struct BACnetRecipient {
    uint8_t choice;      // kRecipientDevice or kRecipientAddress
    uint32_t device;     // device: the device object identifier
    uint16_t network;    // address
    uint16_t macLength;  // address; at most kMaxMac (0: broadcast)
    uint8_t mac[kMaxMac];
};

// kDtCalendarEntry
struct BACnetCalendarEntry {
    uint8_t choice;       // BACnetCalendarEntryChoice
    uint8_t weekNDay[3];  // month, week of month, day of week
    BACnetDate date;      // the date, or the start of the range
    BACnetDate endDate;   // end of the range
};

// kDtObjectPropertyReference and kDtSetpointReference
struct BACnetObjectPropertyReference {
    uint32_t objectId;
    uint32_t propertyId;
    int32_t arrayIndex;  // opt
    uint32_t position;   // element position in the decoded list, from 1 (not encoded)
};

// kDtVTSession
struct BACnetVTSession {
    uint8_t localSessionId;
    uint8_t remoteSessionId;
    uint16_t remoteNetwork;
    uint16_t macLength;  // at most kMaxMac
    uint8_t mac[kMaxMac];
};

// kDtDestination
struct BACnetDestination {
    uint8_t validDays;    // 7 bits: Monday 0x80 .. Sunday 0x02
    uint8_t transitions;  // 3 bits: to-offnormal 0x80, to-fault 0x40, to-normal 0x20
    uint8_t issueConfirmed;
    uint32_t processId;
    BACnetTime from;
    BACnetTime to;
    BACnetRecipient recipient;
};

// kDtSessionKey
struct BACnetSessionKey {
    uint8_t key[8];
    uint16_t network;
    uint16_t macLength;  // at most kMaxMac
    uint8_t mac[kMaxMac];
};

// A property reference inside a ReadAccessSpecification.
struct BACnetPropertyReference {
    uint32_t propertyId;
    int32_t arrayIndex;  // opt
};

// kDtReadAccessSpecification
inline constexpr uint8_t kMaxReadAccessReferences = 32;
struct ReadAccessSpecification {
    uint32_t objectId;
    uint8_t ownsList;
    uint8_t referenceCount;  // at most kMaxReadAccessReferences
    BACnetPropertyReference *references;
};

// A time and a primitive value (daily schedules, special events).
struct BACnetTimeValue {
    BACnetTime time;
    PropertyValue value;  // a primitive 0..12
};

// kDtDailySchedule: the block holds 1 or 7 days. Each day owns its time-value block.
struct BACnetDailySchedule {
    uint32_t timeValueCount;
    BACnetTimeValue *timeValues;
};

// kDtSpecialEvent: each event owns its time-value block.
struct BACnetSpecialEvent {
    uint8_t priority;
    uint8_t periodChoice;  // BACnetSpecialEventPeriod
    BACnetCalendarEntry calendarEntry;
    uint32_t calendarId;  // calendar object identifier
    uint32_t timeValueCount;
    BACnetTimeValue *timeValues;
};

// kDtDeviceObjectReference
struct BACnetDeviceObjectReference {
    uint32_t deviceId;  // opt
    uint32_t objectId;
};

// kDtDeviceObjectPropertyReference
struct BACnetDeviceObjectPropertyReference {
    uint32_t objectId;
    uint32_t propertyId;
    int32_t arrayIndex;  // opt
    uint32_t deviceId;   // opt
};

// kDtTimeStamp
struct BACnetTimeStamp {
    uint8_t choice;  // BACnetTimeStampChoice
    uint16_t sequenceNumber;
    BACnetTime time;
    BACnetDate date;
};
static_assert(sizeof(BACnetTimeStamp) == 12);

// An action command of an action list.
struct BACnetActionCommand {
    uint32_t deviceId;  // opt
    uint32_t objectId;
    uint32_t propertyId;
    int32_t arrayIndex;   // opt
    PropertyValue value;  // a primitive 0..12
    uint8_t priority;     // 0 absent
    uint8_t quitOnFailure;
    uint8_t writeSuccessful;
    uint32_t postDelay;  // opt
};

// kDtActionList
struct BACnetActionList {
    uint16_t commandCount;
    uint8_t ownsList;
    BACnetActionCommand *commands;
};

// kDtEventParameter: one record, pointed to by the value (count 0). Which
// fields an event type uses is told beside them.
struct BACnetEventParameter {
    uint8_t choice;      // the event type (BACnetEventType), change-of-bitstring .. change-of-status-flags
    uint32_t timeDelay;  // every event type but extended, buffer-ready and access-event
    // change-of-bitstring: the bitmask (a bit string); change-of-value: the
    // criteria, a bitmask (kDtBitString) or a referenced-property increment
    // (kDtReal).
    PropertyValue criteria;
    // change-of-bitstring: PropertyValue bit strings; change-of-state:
    // property states (context tag number in the top octet, value in the low
    // 24 bits); change-of-life-safety: alarm values (u32); access-event:
    // access events (u32); change-of-characterstring: CharString records
    // packed back to back.
    uint8_t ownsList;
    uint16_t listCount;
    void *list;
    // change-of-life-safety: the life-safety alarm values (u32).
    uint8_t ownsList2;
    uint16_t list2Count;
    uint32_t *list2;
    // command-failure: feedback; floating-limit: setpoint;
    // change-of-life-safety: mode; access-event: access event time.
    BACnetDeviceObjectPropertyReference reference;
    // floating-limit: low-diff, high-diff, deadband; out-of-range: low, high,
    // deadband.
    float realLow, realHigh, realDeadband;
    // double-out-of-range
    double doubleLow, doubleHigh, doubleDeadband;
    // unsigned-range: low, high; signed-out-of-range: low, high (as i32 bits)
    // and deadband; unsigned-out-of-range: low, high and deadband.
    uint32_t low, high, deadband;
    // extended
    uint32_t vendorId;
    uint32_t extendedType;
    uint16_t parameterCount;
    uint8_t ownsParameters;
    PropertyValue *parameters;  // a parameter of kDtDeviceObjectPropertyReference points to a reference
    // buffer-ready
    uint16_t notificationThreshold;
    uint32_t previousCount;
    // change-of-status-flags: selected flags, 4 bits (in-alarm 0x80 ..
    // out-of-service 0x10)
    uint8_t selectedFlags;
};

// A result inside a read-access result.
struct BACnetReadResult {
    uint32_t propertyId;
    int32_t arrayIndex;   // opt
    PropertyValue value;  // kDtUnknown: value.u holds the PackedError
};

// kDtReadAccessResult
struct ReadAccessResult {
    uint32_t objectId;
    uint16_t ownsResults;
    uint16_t resultCount;
    BACnetReadResult *results;
};

// kDtCOVSubscription
struct BACnetCOVSubscription {
    BACnetRecipient recipient;
    uint32_t processId;
    uint32_t objectId;
    uint32_t propertyId;
    int32_t arrayIndex;  // opt
    uint8_t issueConfirmed;
    uint8_t hasCovIncrement;
    uint32_t timeRemaining;  // seconds
    float covIncrement;
};

// kDtLogRecord
struct BACnetLogRecord {
    BACnetDate date;
    BACnetTime time;
    uint8_t datumChoice;  // BACnetLogDatumChoice, log-status .. time-change
    uint8_t statusFlags;  // 4 bits (in-alarm 0x80 .. out-of-service 0x10); 255 absent
    PropertyValue datum;  // a failure: kDtUnknown with the PackedError
};

// kDtAccumulatorRecord
struct BACnetAccumulatorRecord {
    BACnetDate date;
    BACnetTime time;
    uint32_t presentValue;
    uint32_t accumulatedValue;
    uint32_t accumulatorStatus;
};

// kDtScale
struct BACnetScale {
    uint8_t choice;  // kDtReal float scale, kDtSigned integer scale
    int32_t integerScale;
    float floatScale;
};

// kDtPrescale
struct BACnetPrescale {
    uint32_t multiplier;
    uint32_t moduloDivide;
};

// kDtShedLevel
struct BACnetShedLevel {
    uint8_t choice;  // BACnetShedLevelChoice
    uint32_t value;  // percent or level
    float amount;
};

// The notification of an event-log record; defined with the event services,
// which also encode it: they install their encoder here. It appends the
// notification's parameters to the buffer and returns 0, or nonzero when it
// could not (the record's encoding then fails). Without an encoder a record
// holding a notification has no encoding.
struct EventLogNotification;
struct PduBuffer;
using EventLogNotificationEncoder = int (*)(PduBuffer *buffer, const EventLogNotification *notification);
void propSetEventLogNotificationEncoder(EventLogNotificationEncoder encoder);

// kDtEventLogRecord
struct BACnetEventLogRecord {
    BACnetDate date;
    BACnetTime time;
    uint8_t choice;  // BACnetEventLogDatumChoice
    uint8_t ownsNotification;
    uint8_t statusBits;  // 3 bits: log-disabled 0x80, buffer-purged 0x40, log-interrupted 0x20
    float timeChange;
    EventLogNotification *notification;
};

// An entry of a log-multiple record.
struct BACnetLogMultipleEntry {
    uint8_t choice;    // BACnetLogDataEntryChoice, boolean .. failure
    uint8_t bitCount;  // bits of a bit-string datum (at most 32)
    uint32_t datum;    // boolean, float bits, enumerated, unsigned, signed, bits, or a PackedError
};

// kDtLogMultipleRecord
struct BACnetLogMultipleRecord {
    BACnetDate date;
    BACnetTime time;
    uint8_t choice;  // BACnetLogDataChoice
    uint8_t statusBits;
    uint8_t entryCount;
    uint8_t ownsEntries;
    BACnetLogMultipleEntry *entries;
    float timeChange;
};

struct BACnetAuthenticationPolicyEntry {
    uint32_t deviceId;  // opt
    uint32_t objectId;
    uint32_t index;
};

// kDtAuthenticationPolicy
struct BACnetAuthenticationPolicy {
    uint8_t ownsList;
    uint8_t orderEnforced;
    uint16_t entryCount;
    BACnetAuthenticationPolicyEntry *entries;
    uint32_t timeout;
};

// kDtAccessRule
struct BACnetAccessRule {
    uint32_t timeRangeSpecifier;
    BACnetDeviceObjectPropertyReference timeRange;  // all opt when absent
    uint32_t locationSpecifier;
    uint32_t locationDeviceId;  // opt
    uint32_t locationObjectId;  // opt
    uint8_t enable;
};

// kDtAssignedAccessRights
struct BACnetAssignedAccessRights {
    uint32_t deviceId;  // opt
    uint32_t objectId;
    uint8_t enable;
};

// kDtAuthenticationFactor
struct BACnetAuthenticationFactor {
    uint32_t formatType;
    uint32_t formatClass;
    PropertyValue value;  // an octet string
};

// kDtAuthenticationFactorFormat
struct BACnetAuthenticationFactorFormat {
    uint32_t formatType;
    uint32_t vendorId;      // opt
    uint32_t vendorFormat;  // opt
};

// kDtCredentialAuthenticationFactor
struct BACnetCredentialAuthenticationFactor {
    uint32_t disable;
    uint32_t formatType;
    uint32_t formatClass;
    PropertyValue value;  // an octet string
};

// kDtPropertyAccessResult
struct BACnetPropertyAccessResult {
    uint32_t objectId;
    uint32_t propertyId;
    int32_t arrayIndex;   // opt
    uint32_t deviceId;    // opt
    PropertyValue value;  // kDtUnknown: value.u holds the PackedError
};

// kDtNetworkSecurityPolicy
struct BACnetNetworkSecurityPolicy {
    uint8_t portId;
    uint32_t securityLevel;
};

struct BACnetKeyIdentifier {
    uint8_t algorithm;
    uint8_t keyNumber;
};

// kDtSecurityKeySet
inline constexpr uint8_t kMaxKeyIdentifiers = 231;
struct BACnetSecurityKeySet {
    uint8_t keyCount;
    uint8_t keyRevision;
    uint8_t ownsKeys;
    BACnetDate activationDate;
    BACnetTime activationTime;
    BACnetDate expirationDate;
    BACnetTime expirationTime;
    BACnetKeyIdentifier *keys;
};

// The list of a fault-extended fault parameter.
struct BACnetFaultExtended {
    uint16_t vendorId;
    uint16_t extendedFaultType;
    uint16_t parameterCount;
    PropertyValue *parameters;  // owned
};

// kDtFaultParameter: one record, pointed to by the value (count 0).
struct BACnetFaultParameter {
    uint8_t choice;  // the fault type (BACnetFaultType), none .. status-flags
    uint8_t ownsList;
    uint8_t listCount;
    // characterstring: CharString records packed back to back; extended: one
    // BACnetFaultExtended; life-safety: enumerated mode values (u32); state:
    // property states (u32, context tag number in the top octet).
    void *list;
    BACnetDeviceObjectPropertyReference reference;  // life-safety and status-flags
};

// kDtEventNotificationSubscription
struct BACnetEventNotificationSubscription {
    BACnetRecipient recipient;
    uint32_t processId;
    uint32_t timeRemaining;
    uint8_t issueConfirmed;
};

// kDtPortPermission
struct BACnetPortPermission {
    uint8_t portId;
    uint8_t enabled;
};

// kDtLightingCommand
struct BACnetLightingCommand {
    uint8_t hasTargetLevel;
    uint8_t hasRampRate;
    uint8_t hasStepIncrement;
    uint8_t hasFadeTime;
    uint8_t hasPriority;
    uint8_t priority;
    uint32_t operation;
    float targetLevel;
    float rampRate;
    float stepIncrement;
    uint32_t fadeTime;
};

// kDtChannelValue
struct BACnetChannelValue {
    uint8_t datatype;  // a primitive kDtNull .. kDtObjectId, or kDtLightingCommand
    uint8_t ownsValue;
    uint16_t length;
    PropertyValueData value;  // inline, or a pointer to the octets, the CharString, the bits or the command
};

// Octets of one element record of a datatype held in a block; 0 for the
// codes that have no element block.
uint32_t propElementSize(uint8_t datatype);

// Decodes the one application-tagged primitive at the cursor. Context tags,
// opening and closing tags and wrong tag octets give Reject invalid-tag
// (cursor unchanged); tag numbers 13..15 give invalid-data-type (cursor
// unchanged); a failed allocation gives out-of-memory with the cursor past
// the value. A value running past the `available` octets from the cursor is
// refused as invalid-tag; an integer longer than 4 octets as
// value-out-of-range.
PackedError tagDecodeApplicationValue(const uint8_t **cursor, PropertyValue *out, uint32_t available);

// Releases everything the value owns and clears ownsValue. Records whose
// nested blocks were released have their owns flags cleared, so a second
// call releases nothing twice.
void propFreeValue(PropertyValue *value);

// A new block: the old block's octets followed by the new ones. The old block
// is released in every case, also when the allocation fails (result null).
void *propConcatBlocks(void *oldBlock, const void *newOctets, uint32_t oldLength, uint32_t newLength);
