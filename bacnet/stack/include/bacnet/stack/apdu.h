#pragma once
// The application layer: dispatch of received APDUs to the services, the
// short replies written into the received packet, and the sender of complete
// messages built in a PduBuffer.

#include <cstdint>

#include "bacnet/enums.h"
#include "bacnet/pdu_buffer.h"
#include "bacnet/stack/address.h"
#include "bacnet/stack/packet.h"
#include "bacnet/tags.h"

struct PropertyValue;

// PackedError and errMake are the codec's (bacnet/tags.h). A class outside
// the protocol's beside Abort and Reject: no answer at all.
inline constexpr uint32_t kClassNoReply = 0x7FFC;
inline constexpr PackedError kNoReply = errMake(kClassNoReply, 1);
inline constexpr PackedError kErrUnknownObject = errMake(kErrorClassObject, kErrorCodeUnknownObject);
inline constexpr PackedError kErrReadAccessDenied = errMake(kErrorClassProperty, kErrorCodeReadAccessDenied);
inline constexpr PackedError kErrUnknownProperty = errMake(kErrorClassProperty, kErrorCodeUnknownProperty);
inline constexpr PackedError kErrWriteAccessDenied =
    errMake(kErrorClassProperty, kErrorCodeWriteAccessDenied);
inline constexpr PackedError kErrInvalidArrayIndex =
    errMake(kErrorClassProperty, kErrorCodeInvalidArrayIndex);
inline constexpr PackedError kErrNotAnArray = errMake(kErrorClassProperty, kErrorCodePropertyIsNotAnArray);
inline constexpr PackedError kErrCommunicationTimeout = errMake(kErrorClassCommunication, kErrorCodeTimeout);

// StackSendResult values of the senders.
inline constexpr int kSendUnconfirmed = 256;
inline constexpr int kSendNotBound = -1;
inline constexpr int kSendNoBuffer = -2;
inline constexpr int kSendNoEncoding = -6;
inline constexpr int kSendNoInvokeId = -11;
inline constexpr int kSendNoSegmentSlot = -13;
inline constexpr int kSendInitiationDisabled = -19;
inline constexpr int kSendTooLong = -21;
inline constexpr int kSendUnknownDevice = -999;

// The peer's max APDU for a max-APDU code (4 bits). Codes 0 to
// kMaxApduCodes - 1 are defined; the others read as the smallest length.
inline constexpr uint8_t kMaxApduCodes = 6;
uint16_t apduMaxApduByCode(uint8_t code);
// The peer's max segments for the 3-bit field (0xFFFF: unspecified or more than 64).
uint16_t apduMaxSegmentsByCode(uint8_t code);

// One application-layer step.
void apduHandle();
// Dispatch through the service tables of apdu.cpp: a row names a service
// choice and its handler (declared under "Services of this build"). A
// confirmed service's handler answers the request itself; a confirmed
// request without a row is rejected as an unrecognized service.
void apduHandleConfirmed(int32_t device, NpduPacket *packet);
void apduHandleUnconfirmed(int32_t device, NpduPacket *packet);

// Short replies, written into the received packet and sent back to its peer.
void apduSendSimpleAck(NpduPacket *packet, uint8_t invokeId, uint8_t serviceChoice);
void apduSendError(NpduPacket *packet, uint8_t invokeId, uint8_t serviceChoice, uint32_t errorClass,
                   uint32_t errorCode);
void apduSendReject(NpduPacket *packet, uint8_t invokeId, uint8_t reason);
void apduSendAbort(NpduPacket *packet, uint8_t invokeId, uint8_t reason);
void apduSendSegmentAck(NpduPacket *packet, uint8_t invokeId, uint8_t sequence, uint8_t window, bool negative,
                        bool server);
void apduSendAbortOrReject(NpduPacket *packet, uint8_t invokeId, PackedError error);
// The answer to a failed service: an Error with the failure's class and code,
// or the Abort or Reject it stands for, or nothing for kNoReply.
void apduSendFailure(NpduPacket *packet, uint8_t invokeId, uint8_t service, PackedError error);
// Writes a short reply APDU into the received packet in place of the request
// and sends it back to the packet's peer.
void apduSendInPlace(NpduPacket *packet, const uint8_t *apdu, uint32_t length);

// Sends a complete message built in buffer (NPDU header up to its cursor,
// then the APDU) to destination. Always consumes the buffer. Returns 0, or for
// a request kSendTooLong.
int apduSendResponse(const BACnetAddress *destination, PduBuffer *buffer, bool isRequest);

// The stack's PropertyValue handed to the property services.
PropertyValue &apduPropertyValue();
// Releases what the stack's PropertyValue owns (shutdown).
void apduReset();

// Octets to reserve for encoding a character string.
uint32_t charStringEncodedSize(const CharString *value);

// Services of this build.
void svcHandleReadProperty(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                           uint8_t invokeId, PropertyValue *value);
void svcHandleReadPropertyMultiple(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                                   uint8_t invokeId, PropertyValue *value);
void svcHandleWriteProperty(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                            uint8_t invokeId, PropertyValue *value);
void svcHandleWritePropertyMultiple(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                                    uint8_t invokeId, PropertyValue *value);
void svcHandleDeviceCommunicationControl(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                                         uint8_t invokeId);
void svcHandleReinitializeDevice(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                                 uint8_t invokeId);
void svcHandleWhoIs(NpduPacket *packet);
// A received I-Am: updates the binding of a device that was looked up.
void svcHandleIAm(const BACnetAddress *address, const uint8_t *apdu, uint32_t length);

// The fields of an I-Am APDU (from its first octet), with every tag and
// length checked. False for anything that is not a well-formed I-Am.
struct IAmFields {
    uint32_t instance;
    uint32_t maxApdu;
    uint32_t segmentation;
    uint32_t vendorId;
};
bool svcDecodeIAm(const uint8_t *apdu, uint32_t length, IAmFields *out);
void svcSendIAm(uint8_t port, int32_t instance, BACnetAddress *address);
void svcSendIAmToNetwork(int32_t device, uint16_t network);
// Who-Is from the root device (-1) or a virtual device to the global network,
// on the active port and then the others; a limit of -1 on either side sends
// it without limits. Nothing while initiation is disabled.
void svcSendWhoIsFrom(int32_t device, int32_t low, int32_t high);
void svcSendWhoIs(int32_t low, int32_t high);
// A received Who-Has: passed to the application for each device it reaches.
void svcHandleWhoHas(const BACnetAddress *address, const uint8_t *apdu, uint32_t length);
// I-Have from a device (-1 root) as a broadcast on network, on the active
// port and then the others. Nothing while initiation is disabled.
void svcSendIHave(int32_t device, uint16_t network, uint32_t objectId, const CharString *name);

// The core of every property read and write. For a group (ALL, REQUIRED,
// OPTIONAL) *currentProperty is the cursor: the group identifier at first,
// then the property each call produced, kGroupEnd past the last one.
PackedError svcAccessProperty(int32_t device, uint32_t *objectId, uint32_t property, uint32_t arrayIndex,
                              uint8_t flags, PropertyValue *value, uint32_t *currentProperty);
inline constexpr uint8_t kAccessWrite = 0x01;
inline constexpr uint8_t kAccessIndexGiven = 0x80;
inline constexpr uint32_t kNoArrayIndex = 0xFFFFFFFFu;
inline constexpr uint32_t kGroupEnd = 0xFFFFFFFFu;
// The device object of any instance: the device a request reaches.
inline constexpr uint32_t kDeviceWildcard = objectIdMake(kObjDevice, kMaxInstance);
// The Device object's properties in the order of ALL, from the group
// identifier to kGroupEnd: those the stack answers for a Device object, and
// those the device application's appCheckProperty accepts for one.
extern const uint32_t deviceAllProperties[];

// An array property whose element 0 holds its length, with 32-bit elements.
struct CountedArray {
    uint32_t length;
    uint8_t elementDatatype;  // of one element
    uint8_t arrayDatatype;    // of the whole array
    const void *context;
    // Element index (1..length) into *out; false when it has gone.
    bool (*element)(const void *context, uint32_t index, uint32_t *out);
    // The elements from the first into out, at most max; returns how many.
    uint32_t (*elements)(const void *context, uint32_t *out, uint32_t max);
};

// Reads a CountedArray into value: its length for index 0, one element for
// an index up to the length (kErrInvalidArrayIndex beyond), or every
// element (at most 65535) in an allocated block for kNoArrayIndex. Returns 0
// or the error.
PackedError svcReadCountedArray(const CountedArray &array, uint32_t arrayIndex, PropertyValue *value);
