#pragma once
// What the stack calls in the device application and the runtime. The device
// application and the runtime provide these functions; the stack's tests
// provide a test application in their place.

#include <cstdint>

#include "bacnet/stack/address.h"
#include "bacnet/stack/device_record.h"

struct PropertyValue;
struct CharString;
struct CovSubscriber;
struct EventSummary;

// The application's stack lock; stackTick, stackProcess and stackShutdown hold
// it for their whole run.
void appStackLock();
void appStackUnlock();

void appFillDeviceRecord(DeviceRecord *record);
void appFillVirtualDeviceRecord(int32_t device, DeviceRecord *record);

// Packet hook for every NPDU sent (direction 0) or received (direction 1).
void appMonitorPdu(uint8_t port, uint32_t length, const uint8_t *npdu, const BACnetAddress *destination,
                   const BACnetAddress *source, uint8_t direction);
void appConfirmedRequestTimeout(uint8_t invokeId, uint8_t serviceChoice, uint32_t error);
void appConfirmedReplyReceived(int32_t device, uint8_t invokeId, uint8_t serviceChoice, uint32_t error);
// Called after an I-Am updated a device address binding.
void appDeviceBound(uint32_t instance, const BACnetAddress *address, uint16_t vendorId);

// Logging: appSyslog with a syslog priority (3 error, 6 informational),
// appBipLog and appBipv6Log for one informational line of the B/IP and the
// B/IPv6 datalink.
void appSyslog(int priority, const char *text);
void appBipLog(const char *text);
void appBipv6Log(const char *text);

// Virtual devices (one per metered load) on the virtual network.
uint16_t vdevGetNetwork();
int32_t vdevFind(int32_t instance);
int32_t vdevLookup(uint16_t network, uint8_t macLength, const uint8_t *mac, int32_t *instance);
void vdevGetAddress(int32_t instance, uint16_t *network, uint8_t *macLength, uint8_t *mac);
int32_t vdevNext(int32_t instance);

// Property support and access. Results are PackedError values.
uint32_t appCheckProperty(int32_t device, uint32_t objectId, uint32_t property);
int appValidateProperty(int32_t device, uint32_t objectId, uint32_t property, bool *objectAccepted,
                        bool *propertyKnown, bool *isArray, bool *accessAllowed);
uint32_t appReadProperty(int32_t device, uint32_t objectId, uint32_t property, uint32_t arrayIndex,
                         PropertyValue *value, uint32_t *currentProperty);
uint32_t appWriteProperty(int32_t device, uint32_t objectId, uint32_t property, uint32_t arrayIndex,
                          PropertyValue *value);

struct LocalDateTime {
    uint8_t hour, minute, second, hundredths;
    uint16_t year;
    uint8_t month, day, weekday;  // weekday 1 Monday .. 7 Sunday
    uint8_t daylightSaving;
    int16_t utcOffsetMinutes;
};
int appGetLocalDateTime(LocalDateTime *out);

int32_t appCountObjects(int32_t device);
int32_t appNextObject(int32_t device, int32_t objectId);
int32_t appCountCovSubscriptions(int32_t device);
uint32_t appGetCovSubscription(int32_t device, PropertyValue *value);
uint32_t appGetSystemStatus(int32_t device);

// DeviceCommunicationControl and ReinitializeDevice: the password check and
// the reinitialisation. Results are PackedError values (0 accepted).
uint32_t appDeviceCommunicationControl(int32_t device, uint8_t enableDisable, uint32_t durationMs,
                                       const CharString *password);
uint32_t appReinitializeDevice(int32_t device, uint32_t state, const CharString *password);
// Called after the SimpleACK of a ReinitializeDevice.
int appReinitializeDone();

// Who-Has for one device (-1 root): looks the object up by name or by
// identifier among the device's objects and answers with svcSendIHave.
void appWhoHas(int32_t device, uint16_t destinationNetwork, bool byName, const CharString *name,
               uint32_t objectId);

// SubscribeCOV: the object's subscription list decides (new, renewed,
// cancelled). The record is lent for the call. Returns a PackedError.
uint32_t appSubscribeCov(int32_t device, const CovSubscriber *subscriber);
// GetEventInformation: the next object after lastObjectId (-1 first) in an
// abnormal event state, as a block from appCalloc that the stack releases,
// or null; *moreEvents is set when another one follows.
EventSummary *appGetEventInformation(int32_t device, uint32_t requestCount, int32_t lastObjectId,
                                     bool *moreEvents);

// The runtime's logger: one line at a LogLevel (1 emergency .. 7 debug).
void logMessage(int level, const char *text);
