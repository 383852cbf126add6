#pragma once
// The application layer: dispatch of received APDUs to the services, the
// short replies written into the received packet, and the sender of complete
// messages built in a PduBuffer.

#include <cstdint>

#include "bacnet/pdu_buffer.h"
#include "bacnet/stack/address.h"
#include "bacnet/stack/packet.h"
#include "bacnet/tags.h"

struct PropertyValue;

// PackedError: error class in the upper 16 bits, error code in the lower.
inline constexpr PackedError errMake(uint32_t errorClass, uint32_t code) {
    return errorClass << 16 | (code & 0xFFFF);
}
inline constexpr uint32_t errGetClass(PackedError e) {
    return e >> 16;
}
inline constexpr uint32_t errGetCode(PackedError e) {
    return e & 0xFFFF;
}

inline constexpr uint32_t kClassAbort = 0x7FFF;
inline constexpr uint32_t kClassReject = 0x7FFE;
inline constexpr PackedError kNoReply = 0x7FFC0001;
inline constexpr PackedError kErrUnknownObject = 0x0001001F;
inline constexpr PackedError kErrReadAccessDenied = 0x0002001B;
inline constexpr PackedError kErrUnknownProperty = 0x00020020;
inline constexpr PackedError kErrWriteAccessDenied = 0x00020028;
inline constexpr PackedError kErrInvalidArrayIndex = 0x0002002A;
inline constexpr PackedError kErrNotAnArray = 0x00020032;
inline constexpr PackedError kErrCommunicationTimeout = 0x0007001E;

// StackSendResult values of the senders.
inline constexpr int kSendUnconfirmed = 256;
inline constexpr int kSendNotBound = -1;
inline constexpr int kSendNoBuffer = -2;
inline constexpr int kSendNoInvokeId = -11;
inline constexpr int kSendNoSegmentSlot = -13;
inline constexpr int kSendInitiationDisabled = -19;
inline constexpr int kSendTooLong = -21;
inline constexpr int kSendUnknownDevice = -999;

// Reject and Abort reasons the stack sends.
inline constexpr uint8_t kRejectOther = 0;
inline constexpr uint8_t kRejectBufferOverflow = 1;
inline constexpr uint8_t kRejectReasonInvalidTag = 4;
inline constexpr uint8_t kRejectParameterOutOfRange = 6;
inline constexpr uint8_t kRejectUnrecognizedService = 9;
inline constexpr uint8_t kAbortBufferOverflow = 1;
inline constexpr uint8_t kAbortInvalidApduInState = 2;
inline constexpr uint8_t kAbortSegmentationNotSupported = 4;

// The peer's max APDU for a max-APDU code (4 bits).
uint16_t apduMaxApduByCode(uint8_t code);
// The peer's max segments for the 3-bit field (0xFFFF: unspecified or more than 64).
uint16_t apduMaxSegmentsByCode(uint8_t code);

// One application-layer step.
void apduHandle();
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

// The core of every property read and write.
PackedError svcAccessProperty(int32_t device, uint32_t *objectId, uint32_t property, uint32_t arrayIndex,
                              uint8_t flags, PropertyValue *value, uint32_t *currentProperty);
inline constexpr uint8_t kAccessWrite = 0x01;
inline constexpr uint8_t kAccessIndexGiven = 0x80;
inline constexpr uint32_t kNoArrayIndex = 0xFFFFFFFFu;
inline constexpr uint32_t kDeviceWildcard = 0x023FFFFFu;
