#pragma once
// COV and event notifications, their records, and the services that feed
// them: SubscribeCOV and GetEventInformation.
//
// The senders may be called from any thread without the application's stack
// lock: what they share with the main thread (invoke ids, bindings,
// segmentation slots) is guarded by the stack's internal locks, which are
// never held while calling the application or a datalink.

#include <cstddef>
#include <cstdint>

#include "bacnet/pdu_buffer.h"
#include "bacnet/property_value.h"
#include "bacnet/stack/address.h"
#include "bacnet/stack/packet.h"
#include "bacnet/tags.h"

// BACnetNotifyType.
enum NotifyType : uint8_t {
    kNotifyAlarm = 0,
    kNotifyEvent = 1,
    kNotifyAckNotification = 2,
};

// One reported value of a COV notification.
struct CovPropertyValue {
    uint32_t objectId;    // the object the value belongs to; not encoded
    uint32_t propertyId;
    uint32_t arrayIndex;  // 0xFFFFFFFF none
    PropertyValue value;
};
static_assert(offsetof(CovPropertyValue, value) == 16);
static_assert(sizeof(CovPropertyValue) == 32);

// A COV subscriber: built by SubscribeCOV from the request and its sender,
// kept by the object, handed back to svcSendCovNotification.
struct CovSubscriber {
    BACnetAddress subscriber;   // as the request arrived (max APDU, segments, flag)
    uint32_t processId;
    uint32_t initiatingDevice;  // -1 from the handler; the sender writes its Device identifier
    uint32_t monitoredObject;
    uint32_t lifetime;          // seconds as requested (0 none); time remaining in a notification
    uint8_t cancel;             // neither issue-confirmed nor lifetime: a cancellation
    uint8_t issueConfirmed;
    uint16_t valueCount;
    CovPropertyValue *values;
};
static_assert(offsetof(CovSubscriber, processId) == 40);
static_assert(offsetof(CovSubscriber, cancel) == 56);
// The fixed part ends at 60; the value list's pointer follows at the
// pointer's own alignment (64 with 8-byte pointers, 60 with 4-byte ones).
static_assert(offsetof(CovSubscriber, values) ==
              (60 + alignof(CovPropertyValue *) - 1) / alignof(CovPropertyValue *) * alignof(CovPropertyValue *));
static_assert(sizeof(CovSubscriber) == offsetof(CovSubscriber, values) + sizeof(CovPropertyValue *));

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

// Installs the encoder of event-log notifications in the value codec.
void svcInstallEventLogEncoder();

// One entry of GetEventInformation as the application returns it (from
// appCalloc; the stack releases it with appFree).
struct EventSummary {
    uint32_t objectId;
    uint32_t priorities[3];  // to-offnormal, to-fault, to-normal
    BACnetTimeStamp timeStamps[3];
    uint16_t eventState;
    uint8_t acknowledgedTransitions;  // 3 bits from the top of the octet
    uint8_t eventEnable;              // 3 bits from the top of the octet
    uint16_t notifyType;
};
static_assert(offsetof(EventSummary, timeStamps) == 16);
static_assert(offsetof(EventSummary, eventState) == 52);
static_assert(sizeof(EventSummary) == 60);

// A COVNotification from a device (-1 root) to the subscriber's address:
// confirmed when issueConfirmed is set. Writes initiatingDevice. Returns a
// StackSendResult: invoke id, 256, -2, -11, -13, -19, -21 or -999.
int svcSendCovNotification(int32_t device, CovSubscriber *subscriber);
// Appends the COVNotification parameters. 0, or 1 when a value has no
// encoding or the buffer cannot grow.
int svcEncodeCovNotification(PduBuffer *buffer, uint32_t processId, uint32_t initiatingDevice,
                             uint32_t monitoredObject, uint32_t timeRemaining, const CovPropertyValue *values,
                             uint16_t count);

// An EventNotification from a device (-1 root) to a recipient device (-1:
// an unconfirmed global broadcast on every port) or to an address. Returns a
// StackSendResult: invoke id, 256, -1 (recipient not bound yet), -2, -6,
// -11, -13, -19, -21 or -999.
int svcSendEventNotification(int32_t device, int32_t recipient, const EventNotificationData *data,
                             const EventValues *values, const CharString *text);
int svcSendEventNotificationToAddress(int32_t device, const BACnetAddress *recipient,
                                      const EventNotificationData *data, const EventValues *values,
                                      const CharString *text);
// Appends the EventNotification parameters. 0, -2 when the buffer cannot
// grow, -6 for an event type without an encoding. Reads its inputs only.
int svcEncodeEventNotification(PduBuffer *buffer, uint32_t deviceInstance, const EventNotificationData *data,
                               const EventValues *values, const CharString *text);
// Sets the two priority bits of an NPDU control octet from an event
// priority: below 64 life safety (3), 64..127 critical equipment (2),
// 128..191 urgent (1), from 192 normal (0).
void svcNetworkPriority(uint8_t *control, uint8_t priority);

// The confirmed services.
void svcHandleSubscribeCov(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                           uint8_t invokeId);
void svcHandleGetEventInformation(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                                  uint8_t invokeId);
