#pragma once
// The records of an EventNotification's parameters: the object model fills
// them for the event services to send, and an event-log record holds them
// for the notification it logged.

#include <cstddef>
#include <cstdint>

#include "bacnet/property_value.h"
#include "bacnet/tags.h"

// BACnetNotifyType.
enum NotifyType : uint8_t {
    kNotifyAlarm = 0,
    kNotifyEvent = 1,
    kNotifyAckNotification = 2,
};

// The parameters of one EventNotification, filled by the object model.
struct EventNotificationData {
    uint32_t processId;
    uint32_t initiatingDevice;  // device instance; the encoder keeps its 22 bits
    uint32_t eventObject;
    uint32_t notificationClass;
    BACnetTimeStamp timeStamp;  // choice, sequence number, time, date (year - 1900)
    uint16_t eventType;         // BACnetEventType
    uint16_t fromState;
    uint16_t toState;
    uint8_t notifyType;  // 0 alarm, 1 event, 2 ack-notification
    uint8_t confirmed;
    uint8_t priority;  // event priority 0..255
    uint8_t ackRequired;
};
static_assert(offsetof(EventNotificationData, timeStamp) == 16);
static_assert(offsetof(EventNotificationData, eventType) == 28);
static_assert(sizeof(EventNotificationData) == 40);

// The event values of each event type, in the order the encoder reads them.
// Status flags are the data octet of the 4-bit string (in-alarm 0x80, fault
// 0x40, overridden 0x20, out-of-service 0x10).
struct ChangeOfBitstringValues {
    uint16_t bitCount;
    uint8_t bits[14];
    uint8_t statusFlags;
};
struct ChangeOfStateValues {
    uint32_t stateValue;
    uint16_t choice;  // the context tag of the property state
    uint8_t statusFlags;
};
struct ChangeOfValueValues {
    uint16_t bitCount;
    uint8_t bits[14];
    float changedValue;
    uint8_t choice;  // 1 changed value, otherwise changed bits
    uint8_t statusFlags;
};
struct CommandFailureValues {
    uint32_t commandValue;
    uint32_t feedbackValue;
    uint8_t statusFlags;
};
struct FloatingLimitValues {
    float referenceValue;
    float setpointValue;
    float errorLimit;
    uint8_t statusFlags;
};
struct OutOfRangeEventValues {
    float exceedingValue;
    float deadband;
    float exceededLimit;
    uint8_t statusFlags;
};
struct ComplexEventEntry {
    uint32_t propertyId;
    int32_t arrayIndex;  // -1 none
    PropertyValue value;  // a priority other than 0 is sent too
};
struct ComplexEventValues {
    uint16_t count;
    ComplexEventEntry *entries;
};
struct ChangeOfLifeSafetyValues {
    uint32_t newState;
    uint32_t newMode;
    uint32_t operationExpected;
    uint8_t statusFlags;
};
struct BufferReadyValues {
    uint32_t objectId;
    uint32_t propertyId;
    int32_t arrayIndex;  // -1 none
    uint32_t deviceId;   // 0xFFFFFFFF none
    uint32_t previousNotification;
    uint32_t currentNotification;
};
struct UnsignedRangeValues {
    uint32_t exceedingValue;
    uint32_t exceededLimit;
    uint8_t statusFlags;
};
struct DoubleOutOfRangeEventValues {
    double exceedingValue;
    double deadband;
    double exceededLimit;
    uint8_t statusFlags;
};
struct SignedOutOfRangeValues {
    int32_t exceedingValue;
    int32_t deadband;
    int32_t exceededLimit;
    uint8_t statusFlags;
};
struct UnsignedOutOfRangeValues {
    uint32_t exceedingValue;
    uint32_t deadband;
    uint32_t exceededLimit;
    uint8_t statusFlags;
};
struct ChangeOfCharacterstringValues {
    uint8_t ownsStrings;  // the caller's: the encoder never releases the strings
    const CharString *changedValue;
    uint32_t unused;
    const CharString *alarmValue;
    uint8_t statusFlags;
};
struct ChangeOfReliabilityEntry {
    uint32_t propertyId;
    int32_t arrayIndex;  // -1 none
    PropertyValue value;
};
struct ChangeOfReliabilityValues {
    uint32_t reliability;
    uint32_t count;  // at most 4
    ChangeOfReliabilityEntry entries[4];
    uint8_t statusFlags;
};

union EventValues {
    ChangeOfBitstringValues changeOfBitstring;
    ChangeOfStateValues changeOfState;
    ChangeOfValueValues changeOfValue;
    CommandFailureValues commandFailure;
    FloatingLimitValues floatingLimit;
    OutOfRangeEventValues outOfRange;
    ComplexEventValues complexEvent;
    ChangeOfLifeSafetyValues changeOfLifeSafety;
    BufferReadyValues bufferReady;
    UnsignedRangeValues unsignedRange;
    DoubleOutOfRangeEventValues doubleOutOfRange;
    SignedOutOfRangeValues signedOutOfRange;
    UnsignedOutOfRangeValues unsignedOutOfRange;
    ChangeOfCharacterstringValues changeOfCharacterstring;
    ChangeOfReliabilityValues changeOfReliability;
};

// The notification of an event-log record (kDtEventLogRecord, choice
// notification): the parameters of the EventNotification it logged.
struct EventLogNotification {
    EventNotificationData data;
    EventValues values;
    const CharString *text;  // message text or null
};

// Decodes EventNotification parameters (process identifier to the event
// values, as the event services encode them) at the cursor. The message text
// is copied into text up to the characters that text->length gives on entry;
// without one its length is 0. Event values that take blocks (the entries of
// a complex event and their values) are allocated; propReleaseNotification
// frees them. An unknown time-stamp choice or event type is rejected as
// invalid-parameter-data-type. On failure nothing stays allocated and the
// cursor is unspecified.
PackedError propDecodeNotificationParameters(const uint8_t **cursor, const uint8_t *end,
                                             EventNotificationData *data, EventValues *values, CharString *text);

// Frees the blocks that propDecodeNotificationParameters allocated for the
// event values of data's event type, and clears their pointers.
void propReleaseNotificationValues(const EventNotificationData *data, EventValues *values);
