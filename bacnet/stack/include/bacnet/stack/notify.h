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

#include "bacnet/event_notification.h"
#include "bacnet/pdu_buffer.h"
#include "bacnet/property_value.h"
#include "bacnet/stack/address.h"
#include "bacnet/stack/packet.h"
#include "bacnet/tags.h"

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
