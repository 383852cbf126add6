#include "bacnet/stack/apdu.h"

#include <cstring>

#include "bacnet/property_value.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/notify.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/segment.h"
#include "bacnet/stack/stack.h"
#include "bacnet/stack/tsm.h"

namespace {

PropertyValue stackValue;

constexpr uint16_t kMaxApduByCode[16] = {50, 128, 206, 480, 1024, 1476, 50, 50,
                                         50, 50,  50,  50,  50,   50,   50, 50};
constexpr uint16_t kMaxSegmentsByCode[8] = {0xFFFF, 2, 4, 8, 16, 32, 64, 0xFFFF};

// Shortest APDU of each PDU type that carries what its handler reads.
uint32_t minimumLength(uint8_t type, uint8_t first) {
    switch (type) {
        case kPduConfirmedRequest:
            return (first & kApduSegmentedMessage) ? 6 : 4;
        case kPduUnconfirmedRequest:
            return 2;
        case kPduSimpleAck:
            return 3;
        case kPduComplexAck:
            return (first & kApduSegmentedMessage) ? 5 : 3;
        case kPduSegmentAck:
            return 4;
        case kPduError:
        case kPduReject:
        case kPduAbort:
            return 3;
        default:
            return 1;
    }
}

// A row for a handler that does not use the stack's PropertyValue.
template <void (*Handle)(int32_t, NpduPacket *, const uint8_t *, uint32_t, uint8_t)>
void withoutValue(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length, uint8_t invokeId,
                  PropertyValue *) {
    Handle(device, packet, data, length, invokeId);
}

// The confirmed services of this build.
struct ConfirmedService {
    uint8_t choice;
    void (*handle)(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length, uint8_t invokeId,
                   PropertyValue *value);
};
constexpr ConfirmedService kConfirmedServices[] = {
    {kSvcReadProperty, svcHandleReadProperty},
    {kSvcReadPropertyMultiple, svcHandleReadPropertyMultiple},
    {kSvcWriteProperty, svcHandleWriteProperty},
    {kSvcWritePropertyMultiple, svcHandleWritePropertyMultiple},
    {kSvcDeviceCommunicationControl, withoutValue<svcHandleDeviceCommunicationControl>},
    {kSvcReinitializeDevice, withoutValue<svcHandleReinitializeDevice>},
    {kSvcSubscribeCov, withoutValue<svcHandleSubscribeCov>},
    {kSvcGetEventInformation, withoutValue<svcHandleGetEventInformation>},
};

// The unconfirmed services of this build; the APDU starts at packet->apdu.
struct UnconfirmedService {
    uint8_t choice;
    void (*handle)(int32_t device, NpduPacket *packet);
};
constexpr UnconfirmedService kUnconfirmedServices[] = {
    {kSvcIAm, [](int32_t, NpduPacket *p) { svcHandleIAm(&p->address, p->apdu, p->length); }},
    {kSvcWhoIs, [](int32_t, NpduPacket *p) { svcHandleWhoIs(p); }},
    {kSvcWhoHas, [](int32_t, NpduPacket *p) { svcHandleWhoHas(&p->address, p->apdu, p->length); }},
};

// The services a device executes even while DeviceCommunicationControl has
// disabled its communication, so that it can be enabled again.
bool servedWhileDisabled(uint8_t service) {
    return service == kSvcDeviceCommunicationControl || service == kSvcReinitializeDevice;
}

void sendReply(NpduPacket *packet, const uint8_t *apdu, uint32_t length) {
    apduSendInPlace(packet, apdu, length);
}

}  // namespace

void apduSendInPlace(NpduPacket *packet, const uint8_t *apdu, uint32_t length) {
    npduEncodeReply(packet, 0);
    uint32_t header = packet->length;
    if (header + length > poolPacketCapacity(packet)) {
        return;
    }
    std::memcpy(packet->data + header, apdu, length);
    const BACnetAddress &a = packet->address;
    datalinkSend(a.port, a.macLength == 0 ? nullptr : a.mac, header + length, packet->data, false);
}

namespace {

// Reads the error class and code of an Error PDU (two application-tagged
// enumerated values from octet 3 on).
bool decodeErrorPdu(const uint8_t *apdu, uint32_t length, uint32_t *errorClass, uint32_t *errorCode) {
    const uint8_t *p = apdu + 3;
    const uint8_t *end = apdu + length;
    TagHeader tag;
    if (!tagDecodeHeader(p, end, &tag) || tag.context || tag.number != kTagEnumerated ||
        !tagDecodeEnumerated(&p, end, errorClass)) {
        return false;
    }
    if (!tagDecodeHeader(p, end, &tag) || tag.context || tag.number != kTagEnumerated ||
        !tagDecodeEnumerated(&p, end, errorCode)) {
        return false;
    }
    return true;
}

// Which device a packet is for: -1 the root device, an instance for a
// virtual device. False when the packet is to be dropped; unconfirmedOnly is
// set for the local MS/TP network's number.
bool chooseDevice(const NpduPacket *packet, uint8_t type, int32_t *device) {
    const BACnetAddress &a = packet->address;
    uint16_t dnet = a.destinationNetwork;
    *device = -1;
    if (dnet == 0 || dnet == kGlobalNetwork) {
        return true;
    }
    uint16_t mstpNetwork = stackDevice().mstpNetwork;
    if (mstpNetwork != 0 && dnet == mstpNetwork) {
        return type == kPduUnconfirmedRequest;
    }
    int32_t instance = -1;
    int32_t found = vdevLookup(dnet, a.virtualLength, a.virtualAddress, &instance);
    if (found < 0) {
        return false;
    }
    *device = found;
    return true;
}

}  // namespace

uint16_t apduMaxApduByCode(uint8_t code) {
    return kMaxApduByCode[code & 0x0F];
}
uint16_t apduMaxSegmentsByCode(uint8_t code) {
    return kMaxSegmentsByCode[code & 0x07];
}

PropertyValue &apduPropertyValue() {
    return stackValue;
}

void apduReset() {
    propFreeValue(&stackValue);
}

uint32_t charStringEncodedSize(const CharString *value) {
    return value->length + 8;
}

void apduSendSimpleAck(NpduPacket *packet, uint8_t invokeId, uint8_t serviceChoice) {
    const uint8_t apdu[] = {apduFirstOctet(kPduSimpleAck), invokeId, serviceChoice};
    sendReply(packet, apdu, sizeof apdu);
}

void apduSendError(NpduPacket *packet, uint8_t invokeId, uint8_t serviceChoice, uint32_t errorClass,
                   uint32_t errorCode) {
    uint8_t apdu[16] = {apduFirstOctet(kPduError), invokeId, serviceChoice};
    uint8_t *p = tagEncodeEnumerated(apdu + 3, errorClass);
    p = tagEncodeEnumerated(p, errorCode);
    sendReply(packet, apdu, static_cast<uint32_t>(p - apdu));
}

void apduSendReject(NpduPacket *packet, uint8_t invokeId, uint8_t reason) {
    const uint8_t apdu[] = {apduFirstOctet(kPduReject), invokeId, reason};
    sendReply(packet, apdu, sizeof apdu);
}

void apduSendAbort(NpduPacket *packet, uint8_t invokeId, uint8_t reason) {
    const uint8_t apdu[] = {apduFirstOctet(kPduAbort, kApduServer), invokeId, reason};
    sendReply(packet, apdu, sizeof apdu);
}

namespace {

// An Abort of a transaction in which this device is the client (an
// acknowledgement it cannot take): the server bit stays clear, so that the
// peer matches it against the transaction it serves.
void sendClientAbort(NpduPacket *packet, uint8_t invokeId, uint8_t reason) {
    const uint8_t apdu[] = {apduFirstOctet(kPduAbort), invokeId, reason};
    sendReply(packet, apdu, sizeof apdu);
}

}  // namespace

void apduSendSegmentAck(NpduPacket *packet, uint8_t invokeId, uint8_t sequence, uint8_t window, bool negative,
                        bool server) {
    const uint8_t apdu[] = {
        apduFirstOctet(kPduSegmentAck, (negative ? kApduNegativeAck : 0) | (server ? kApduServer : 0)),
        invokeId, sequence, window};
    sendReply(packet, apdu, sizeof apdu);
}

void apduSendFailure(NpduPacket *packet, uint8_t invokeId, uint8_t service, PackedError e) {
    uint32_t c = errGetClass(e);
    if (e == kNoReply) {
        return;
    }
    if (c == kClassAbort || c == kClassReject) {
        apduSendAbortOrReject(packet, invokeId, e);
        return;
    }
    apduSendError(packet, invokeId, service, c, errGetCode(e));
}

void apduSendAbortOrReject(NpduPacket *packet, uint8_t invokeId, PackedError error) {
    if (errGetClass(error) == kClassAbort) {
        apduSendAbort(packet, invokeId, static_cast<uint8_t>(errGetCode(error)));
    } else {
        apduSendReject(packet, invokeId, static_cast<uint8_t>(errGetCode(error)));
    }
}

void apduHandle() {
    NpduPacket *packet = queuePop(&apduQueue);
    if (packet == nullptr) {
        return;
    }
    const uint8_t *apdu = packet->apdu;
    uint32_t length = packet->length;
    if (apdu == nullptr || length == 0) {
        poolFree(packet);
        return;
    }
    uint8_t type = apdu[0] >> 4;
    int32_t device = -1;
    // A PDU shorter than its fixed header is dropped before anything reads it.
    if (length < minimumLength(type, apdu[0]) || !chooseDevice(packet, type, &device)) {
        poolFree(packet);
        return;
    }
    BACnetAddress &a = packet->address;
    a.segmentedResponseAccepted = 0;
    uint8_t receives = stackDevice().segmentationSupported;
    bool receivesSegments = receives == kSegmentedBoth || receives == kSegmentedReceive;
    switch (type) {
        case kPduConfirmedRequest:
            a.maxSegments = apduMaxSegmentsByCode(static_cast<uint8_t>(apdu[1] >> 4));
            a.maxApdu = apduMaxApduByCode(apdu[1]);
            a.segmentedResponseAccepted = (apdu[0] & kApduSegmentedResponseAccepted) ? 1 : 0;
            if (!(apdu[0] & kApduSegmentedMessage)) {
                apduHandleConfirmed(device, packet);
            } else if (receivesSegments) {
                PackedError e = apduReceiveSegment(device, packet);
                if (e != 0) {
                    apduSendAbortOrReject(packet, apdu[2], e);
                }
            } else {
                apduSendAbort(packet, apdu[2], kAbortReasonSegmentationNotSupported);
            }
            break;
        case kPduUnconfirmedRequest:
            apduHandleUnconfirmed(device, packet);
            break;
        case kPduComplexAck:
            if (!(apdu[0] & kApduSegmentedMessage)) {
                // No service of the stack expects data in an acknowledgement:
                // the transaction is completed and the data ignored.
                tsmComplete(device, &a, apdu[1], apdu[2], true, 0, false);
            } else if (!receivesSegments) {
                sendClientAbort(packet, apdu[1], kAbortReasonSegmentationNotSupported);
            } else if (!tsmWaitsFor(&a, apdu[1], -1)) {
                // Segments of an answer nobody waits for.
                sendClientAbort(packet, apdu[1], kAbortReasonInvalidApduInThisState);
            } else {
                PackedError e = apduReceiveSegment(device, packet);
                if (e != 0 && errGetClass(e) == kClassAbort) {
                    sendClientAbort(packet, apdu[1], static_cast<uint8_t>(errGetCode(e)));
                } else if (e != 0) {
                    apduSendReject(packet, apdu[1], static_cast<uint8_t>(errGetCode(e)));
                }
            }
            break;
        case kPduSegmentAck:
            apduHandleSegmentAck(packet);
            break;
        case kPduSimpleAck:
            tsmComplete(device, &a, apdu[1], apdu[2], true, 0, true);
            break;
        case kPduError: {
            uint32_t errorClass = 0;
            uint32_t errorCode = 0;
            if (decodeErrorPdu(apdu, length, &errorClass, &errorCode)) {
                tsmComplete(device, &a, apdu[1], apdu[2], true, errMake(errorClass, errorCode), true);
            }
            break;
        }
        case kPduReject:
        case kPduAbort: {
            PackedError e = errMake(type == kPduReject ? kClassReject : kClassAbort, apdu[2]);
            // A segmented transfer to that peer under that invoke id ends in
            // any case; a request of the stack waiting for that peer completes.
            segAbortSending(&a, apdu[1]);
            tsmComplete(device, &a, apdu[1], -1, false, e, true);
            break;
        }
        default:
            // Types 8..15 do not exist.
            break;
    }
    poolFree(packet);
}

void apduHandleConfirmed(int32_t device, NpduPacket *packet) {
    const uint8_t *apdu = packet->apdu;
    uint8_t invokeId = apdu[2];
    uint8_t service = apdu[3];
    if (communicationEnabled != 1 && !servedWhileDisabled(service)) {
        return;
    }
    for (const ConfirmedService &s : kConfirmedServices) {
        if (s.choice == service) {
            // The write services take the request's priority, 255 until given.
            bool write = service == kSvcWriteProperty || service == kSvcWritePropertyMultiple;
            stackValue.priority = write ? 255 : 0;
            s.handle(device, packet, apdu + 4, packet->length - 4u, invokeId, &stackValue);
            return;
        }
    }
    apduSendReject(packet, invokeId, kRejectReasonUnrecognizedService);
}

void apduHandleUnconfirmed(int32_t device, NpduPacket *packet) {
    if (communicationEnabled != 1) {
        return;
    }
    for (const UnconfirmedService &s : kUnconfirmedServices) {
        if (s.choice == packet->apdu[1]) {
            s.handle(device, packet);
            return;
        }
    }
}

int apduSendResponse(const BACnetAddress *a, PduBuffer *buffer, bool isRequest) {
    if (buffer->writeBase == nullptr || buffer->cursor == nullptr) {
        pduFree(buffer);
        return isRequest ? kSendNoBuffer : 0;
    }
    uint32_t h = static_cast<uint32_t>(buffer->cursor - buffer->writeBase);
    uint32_t total = buffer->length;
    if (h >= total || total - h < (isRequest ? 4u : 3u)) {
        pduFree(buffer);
        return isRequest ? kSendNoBuffer : 0;
    }
    uint32_t apduLength = total - h;
    uint32_t portMax = datalinkMaxApdu(a->port);
    uint32_t m = a->maxApdu != 0 ? a->maxApdu : portMax;
    if (m > portMax) {
        m = portMax;
    }
    if (apduLength <= m && total <= datalinkMaxNpdu(a->port)) {
        datalinkSend(a->port, a->macLength == 0 ? nullptr : a->mac, total, buffer->writeBase, isRequest);
        pduFree(buffer);
        return 0;
    }
    uint8_t s = stackSegmentationSupported();
    bool transmits = s == kSegmentedBoth || s == kSegmentedTransmit;
    bool segmentable = transmits && a->segmentedResponseAccepted;
    uint32_t limit = m;
    if (a->segmentedResponseAccepted && a->maxSegments != 0) {
        limit = uint32_t{a->maxSegments} * m - 5u * (a->maxSegments - 1u);
    }
    uint32_t cap = transmits ? 65535u : portMax;
    if (limit > cap) {
        limit = cap;
    }
    int failure = kSendTooLong;
    uint8_t reason = segmentable ? kAbortReasonBufferOverflow : kAbortReasonSegmentationNotSupported;
    if (apduLength <= limit && segmentable) {
        switch (segStart(a, buffer, m, isRequest)) {
            case SegmentStart::kStarted:
            case SegmentStart::kDuplicate:
                return 0;
            case SegmentStart::kNoMemory:
                failure = kSendNoBuffer;
                break;
            case SegmentStart::kNoSlot:
                failure = kSendNoSegmentSlot;
                break;
            case SegmentStart::kTooManySegments:
                break;
        }
    }
    if (isRequest) {
        pduFree(buffer);
        return failure;
    }
    uint8_t *abort = buffer->cursor;
    abort[0] = apduFirstOctet(kPduAbort, kApduServer);
    abort[2] = reason;
    datalinkSend(a->port, a->macLength == 0 ? nullptr : a->mac, h + 3, buffer->writeBase, false);
    pduFree(buffer);
    return 0;
}
