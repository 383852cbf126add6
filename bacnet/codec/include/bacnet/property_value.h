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
    uint32_t choice;  // 0 null, 2 process identifier
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

// 18
struct BACnetAddressBinding {
    uint32_t deviceId;  // device object identifier
    uint16_t network;
    uint16_t macLength;  // at most kMaxMac
    uint8_t mac[kMaxMac];
};

// 19
struct BACnetRecipient {
    uint8_t choice;      // 0 device, 1 address
    uint32_t device;     // choice 0: device object identifier
    uint16_t network;    // choice 1
    uint16_t macLength;  // choice 1; at most kMaxMac (0: broadcast)
    uint8_t mac[kMaxMac];
};

// 20
struct BACnetCalendarEntry {
    uint8_t choice;       // 0 date, 1 date range, 2 week-n-day
    uint8_t weekNDay[3];  // month, week of month, day of week
    BACnetDate date;      // the date, or the start of the range
    BACnetDate endDate;   // end of the range
};

// 21 and 33
struct BACnetObjectPropertyReference {
    uint32_t objectId;
    uint32_t propertyId;
    int32_t arrayIndex;  // opt
    uint32_t position;   // element position in the decoded list, from 1 (not encoded)
};

// 22
struct BACnetVTSession {
    uint8_t localSessionId;
    uint8_t remoteSessionId;
    uint16_t remoteNetwork;
    uint16_t macLength;  // at most kMaxMac
    uint8_t mac[kMaxMac];
};

// 23
struct BACnetDestination {
    uint8_t validDays;    // 7 bits: Monday 0x80 .. Sunday 0x02
    uint8_t transitions;  // 3 bits: to-offnormal 0x80, to-fault 0x40, to-normal 0x20
    uint8_t issueConfirmed;
    uint32_t processId;
    BACnetTime from;
    BACnetTime to;
    BACnetRecipient recipient;
};

// 24
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

// 25
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

// 26: the block holds 1 or 7 days. Each day owns its time-value block.
struct BACnetDailySchedule {
    uint32_t timeValueCount;
    BACnetTimeValue *timeValues;
};

// 27: each event owns its time-value block.
struct BACnetSpecialEvent {
    uint8_t priority;
    uint8_t periodChoice;  // 0 calendar entry, 1 calendar reference
    BACnetCalendarEntry calendarEntry;
    uint32_t calendarId;  // calendar object identifier
    uint32_t timeValueCount;
    BACnetTimeValue *timeValues;
};

// 28
struct BACnetDeviceObjectReference {
    uint32_t deviceId;  // opt
    uint32_t objectId;
};

// 29
struct BACnetDeviceObjectPropertyReference {
    uint32_t objectId;
    uint32_t propertyId;
    int32_t arrayIndex;  // opt
    uint32_t deviceId;   // opt
};

// 32
struct BACnetTimeStamp {
    uint8_t choice;  // 0 time, 1 sequence number, 2 date-time
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

// 34
struct BACnetActionList {
    uint16_t commandCount;
    uint8_t ownsList;
    BACnetActionCommand *commands;
};

// 35: one record, pointed to by the value (count 0). Which fields a choice
// uses is told beside them.
struct BACnetEventParameter {
    uint8_t choice;      // event type 0..18
    uint32_t timeDelay;  // every choice but 9, 10 and 13
    // 0: the bitmask (a bit string); 2: the criteria, a bitmask (8) or a
    // referenced-property increment (4).
    PropertyValue criteria;
    // 0: PropertyValue bit strings; 1: property states (context tag number in
    // the top octet, value in the low 24 bits); 8: alarm values (u32);
    // 13: access events (u32); 17: CharString records packed back to back.
    uint8_t ownsList;
    uint16_t listCount;
    void *list;
    // 8: the life-safety alarm values (u32).
    uint8_t ownsList2;
    uint16_t list2Count;
    uint32_t *list2;
    // 3 feedback, 4 setpoint, 8 mode, 13 access event time.
    BACnetDeviceObjectPropertyReference reference;
    // 4: low-diff, high-diff, deadband; 5: low, high, deadband.
    float realLow, realHigh, realDeadband;
    // 14
    double doubleLow, doubleHigh, doubleDeadband;
    // 11: low, high; 15: signed low, high (as i32 bits) and deadband; 16.
    uint32_t low, high, deadband;
    // 9
    uint32_t vendorId;
    uint32_t extendedType;
    uint16_t parameterCount;
    uint8_t ownsParameters;
    PropertyValue *parameters;  // a parameter of code 29 points to a reference
    // 10
    uint16_t notificationThreshold;
    uint32_t previousCount;
    // 18: selected flags, 4 bits (in-alarm 0x80 .. out-of-service 0x10)
    uint8_t selectedFlags;
};

// A result inside a read-access result.
struct BACnetReadResult {
    uint32_t propertyId;
    int32_t arrayIndex;   // opt
    PropertyValue value;  // datatype 255: value.u holds the PackedError
};

// 36
struct ReadAccessResult {
    uint32_t objectId;
    uint16_t ownsResults;
    uint16_t resultCount;
    BACnetReadResult *results;
};

// 37
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

// 38
struct BACnetLogRecord {
    BACnetDate date;
    BACnetTime time;
    uint8_t datumChoice;  // the context tag 0..9 of the log datum
    uint8_t statusFlags;  // 4 bits (in-alarm 0x80 .. out-of-service 0x10); 255 absent
    PropertyValue datum;  // a failure: datatype 255 with the PackedError
};

// 41
struct BACnetAccumulatorRecord {
    BACnetDate date;
    BACnetTime time;
    uint32_t presentValue;
    uint32_t accumulatedValue;
    uint32_t accumulatorStatus;
};

// 43
struct BACnetScale {
    uint8_t choice;  // 4 float scale, 3 integer scale
    int32_t integerScale;
    float floatScale;
};

// 44
struct BACnetPrescale {
    uint32_t multiplier;
    uint32_t moduloDivide;
};

// 46
struct BACnetShedLevel {
    uint8_t choice;  // 0 percent, 1 level, 2 amount
    uint32_t value;  // percent or level
    float amount;
};

// The notification of an event-log record; defined with the event services.
struct EventLogNotification;

// 47
struct BACnetEventLogRecord {
    BACnetDate date;
    BACnetTime time;
    uint8_t choice;  // 0 log status, 1 notification, 2 time change
    uint8_t ownsNotification;
    uint8_t statusBits;  // 3 bits: log-disabled 0x80, buffer-purged 0x40, log-interrupted 0x20
    float timeChange;
    EventLogNotification *notification;
};

// An entry of a log-multiple record.
struct BACnetLogMultipleEntry {
    uint8_t choice;    // the context tag 0..7 of the datum
    uint8_t bitCount;  // bits of a bit-string datum (at most 32)
    uint32_t datum;    // boolean, float bits, enumerated, unsigned, signed, bits, or a PackedError
};

// 48
struct BACnetLogMultipleRecord {
    BACnetDate date;
    BACnetTime time;
    uint8_t choice;  // 0 log status, 1 log data, 2 time change
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

// 49
struct BACnetAuthenticationPolicy {
    uint8_t ownsList;
    uint8_t orderEnforced;
    uint16_t entryCount;
    BACnetAuthenticationPolicyEntry *entries;
    uint32_t timeout;
};

// 50
struct BACnetAccessRule {
    uint32_t timeRangeSpecifier;
    BACnetDeviceObjectPropertyReference timeRange;  // all opt when absent
    uint32_t locationSpecifier;
    uint32_t locationDeviceId;  // opt
    uint32_t locationObjectId;  // opt
    uint8_t enable;
};

// 51
struct BACnetAssignedAccessRights {
    uint32_t deviceId;  // opt
    uint32_t objectId;
    uint8_t enable;
};

// 52
struct BACnetAuthenticationFactor {
    uint32_t formatType;
    uint32_t formatClass;
    PropertyValue value;  // an octet string
};

// 53
struct BACnetAuthenticationFactorFormat {
    uint32_t formatType;
    uint32_t vendorId;      // opt
    uint32_t vendorFormat;  // opt
};

// 54
struct BACnetCredentialAuthenticationFactor {
    uint32_t disable;
    uint32_t formatType;
    uint32_t formatClass;
    PropertyValue value;  // an octet string
};

// 55
struct BACnetPropertyAccessResult {
    uint32_t objectId;
    uint32_t propertyId;
    int32_t arrayIndex;   // opt
    uint32_t deviceId;    // opt
    PropertyValue value;  // datatype 255: value.u holds the PackedError
};

// 56
struct BACnetNetworkSecurityPolicy {
    uint8_t portId;
    uint32_t securityLevel;
};

struct BACnetKeyIdentifier {
    uint8_t algorithm;
    uint8_t keyNumber;
};

// 57
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

// The list of a fault-extended fault parameter (choice 2).
struct BACnetFaultExtended {
    uint16_t vendorId;
    uint16_t extendedFaultType;
    uint16_t parameterCount;
    PropertyValue *parameters;  // owned
};

// 58: one record, pointed to by the value (count 0).
struct BACnetFaultParameter {
    uint8_t choice;  // 0 none, 1 characterstring, 2 extended, 3 life-safety, 4 state, 5 status-flags
    uint8_t ownsList;
    uint8_t listCount;
    // 1: CharString records packed back to back; 2: one BACnetFaultExtended;
    // 3: enumerated mode values (u32); 4: property states (u32, context tag
    // number in the top octet).
    void *list;
    BACnetDeviceObjectPropertyReference reference;  // 3 and 5
};

// 60
struct BACnetEventNotificationSubscription {
    BACnetRecipient recipient;
    uint32_t processId;
    uint32_t timeRemaining;
    uint8_t issueConfirmed;
};

// 61
struct BACnetPortPermission {
    uint8_t portId;
    uint8_t enabled;
};

// 62
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

// 63
struct BACnetChannelValue {
    uint8_t datatype;  // 0..12, or 62 for a lighting command
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
