// COV and event notifications, SubscribeCOV and GetEventInformation.

#include "bacnet/stack/notify.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "bacnet/app_memory.h"
#include "bacnet/enums.h"
#include "bacnet/property_encoder.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/datalink.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/stack.h"
#include "bacnet/stack/tsm.h"
#include "codec/reader.h"
#include "codec/writer.h"

namespace {

// The longest message text a notification carries.
constexpr uint32_t kMessageTextMax = 248;

// A value by its datatype code, if the code is among those allowed. The
// codec encodes a copy, so the caller's value is never changed or freed.
void allowedValue(codec::Writer &w, uint16_t objectType, uint32_t property, const PropertyValue &v,
                  std::initializer_list<uint8_t> codes) {
    if (std::find(codes.begin(), codes.end(), v.datatype) == codes.end()) {
        w.fail();
        return;
    }
    if (v.datatype == kDtEmptyList) {
        return;
    }
    PropertyValue copy = v;
    copy.ownsValue = 0;
    w.value(objectType, property, &copy);
}

// The four status flags as a context-tagged bit string.
void statusFlags(codec::Writer &w, uint8_t number, uint8_t flags) {
    w.bits8(ctxTagOctet(number), flags, 4);
}

// The datatype codes of the values a COV notification and a complex event
// carry (null .. object identifier), and the extra ones of each.
#define PRIMITIVE_CODES                                                                                      \
    kDtNull, kDtBoolean, kDtUnsigned, kDtSigned, kDtReal, kDtDouble, kDtOctetString, kDtCharString,         \
        kDtBitString, kDtEnumerated, kDtDate, kDtTime, kDtObjectId

// The values of the range event types: a value (context 0), the status
// flags (1), then two more values (2 and 3), each written by put.
template <typename T, typename Put>
void rangeValues(codec::Writer &e, T first, uint8_t flags, T second, T third, Put put) {
    put(0, first);
    statusFlags(e, 1, flags);
    put(2, second);
    put(3, third);
}

bool encodeEventValues(codec::Writer &e, const EventNotificationData &d, const EventValues &v) {
    const uint8_t type = static_cast<uint8_t>(d.eventType);
    e.open(type);
    switch (d.eventType) {
        case kEventChangeOfBitstring: {
            const auto &x = v.changeOfBitstring;
            e.bits(ctxTagOctet(0), x.bits, x.bitCount > 112 ? 112 : x.bitCount);
            statusFlags(e, 1, x.statusFlags);
            break;
        }
        case kEventChangeOfState: {
            const auto &x = v.changeOfState;
            e.open(0);
            e.ctxU(static_cast<uint8_t>(x.choice), x.stateValue);
            e.close(0);
            statusFlags(e, 1, x.statusFlags);
            break;
        }
        case kEventChangeOfValue: {
            const auto &x = v.changeOfValue;
            e.open(0);
            if (x.choice == 1) {
                e.ctxReal(1, x.changedValue);
            } else {
                e.bits(ctxTagOctet(0), x.bits, x.bitCount > 112 ? 112 : x.bitCount);
            }
            e.close(0);
            statusFlags(e, 1, x.statusFlags);
            break;
        }
        case kEventCommandFailure: {
            const auto &x = v.commandFailure;
            bool binary = objectIdType(d.eventObject) == kObjBinaryOutput;
            auto put = [&](uint32_t value) { binary ? e.appEnum(value) : e.appU(value); };
            e.open(0);
            put(x.commandValue);
            e.close(0);
            statusFlags(e, 1, x.statusFlags);
            e.open(2);
            put(x.feedbackValue);
            e.close(2);
            break;
        }
        case kEventFloatingLimit: {
            const auto &x = v.floatingLimit;
            rangeValues(e, x.referenceValue, x.statusFlags, x.setpointValue, x.errorLimit,
                        [&](uint8_t n, float f) { e.ctxReal(n, f); });
            break;
        }
        case kEventOutOfRange: {
            const auto &x = v.outOfRange;
            rangeValues(e, x.exceedingValue, x.statusFlags, x.deadband, x.exceededLimit,
                        [&](uint8_t n, float f) { e.ctxReal(n, f); });
            break;
        }
        case kEventComplexEventType: {
            const auto &x = v.complexEvent;
            if (x.count != 0 && x.entries == nullptr) {
                return false;
            }
            for (uint16_t i = 0; i < x.count && e.ok(); ++i) {
                const ComplexEventEntry &entry = x.entries[i];
                e.ctxU(0, entry.propertyId);
                if (entry.arrayIndex != -1) {
                    e.ctxU(1, static_cast<uint32_t>(entry.arrayIndex));
                }
                e.open(2);
                allowedValue(e, objectIdType(d.eventObject), entry.propertyId, entry.value, {PRIMITIVE_CODES});
                e.close(2);
                if (entry.value.priority != 0) {
                    e.ctxU(3, entry.value.priority);
                }
            }
            break;
        }
        case kEventChangeOfLifeSafety: {
            const auto &x = v.changeOfLifeSafety;
            e.ctxU(0, x.newState);
            e.ctxU(1, x.newMode);
            statusFlags(e, 2, x.statusFlags);
            e.ctxU(3, x.operationExpected);
            break;
        }
        case kEventBufferReady: {
            const auto &x = v.bufferReady;
            e.open(0);
            e.ctxOid(0, x.objectId);
            e.ctxU(1, x.propertyId);
            if (x.arrayIndex != -1) {
                e.ctxU(2, static_cast<uint32_t>(x.arrayIndex));
            }
            if (x.deviceId != 0xFFFFFFFFu) {
                e.ctxOid(3, x.deviceId);
            }
            e.close(0);
            e.ctxU(1, x.previousNotification);
            e.ctxU(2, x.currentNotification);
            break;
        }
        case kEventUnsignedRange: {
            const auto &x = v.unsignedRange;
            e.ctxU(0, x.exceedingValue);
            statusFlags(e, 1, x.statusFlags);
            e.ctxU(2, x.exceededLimit);
            break;
        }
        case kEventDoubleOutOfRange: {
            const auto &x = v.doubleOutOfRange;
            rangeValues(e, x.exceedingValue, x.statusFlags, x.deadband, x.exceededLimit,
                        [&](uint8_t n, double f) { e.ctxDouble(n, f); });
            break;
        }
        case kEventSignedOutOfRange: {
            const auto &x = v.signedOutOfRange;
            rangeValues(e, x.exceedingValue, x.statusFlags, x.deadband, x.exceededLimit,
                        [&](uint8_t n, int32_t i) { e.ctxS(n, i); });
            break;
        }
        case kEventUnsignedOutOfRange: {
            const auto &x = v.unsignedOutOfRange;
            rangeValues(e, x.exceedingValue, x.statusFlags, x.deadband, x.exceededLimit,
                        [&](uint8_t n, uint32_t u) { e.ctxU(n, u); });
            break;
        }
        case kEventChangeOfCharacterstring: {
            // The strings stay the caller's, whatever their owns flag says.
            const auto &x = v.changeOfCharacterstring;
            e.ctxCharString(0, x.changedValue);
            statusFlags(e, 1, x.statusFlags);
            e.ctxCharString(2, x.alarmValue);
            break;
        }
        case kEventChangeOfReliability: {
            const auto &x = v.changeOfReliability;
            e.ctxU(0, x.reliability);
            statusFlags(e, 1, x.statusFlags);
            e.open(2);
            uint32_t count = x.count > 4 ? 4 : x.count;
            for (uint32_t i = 0; i < count && e.ok(); ++i) {
                const ChangeOfReliabilityEntry &entry = x.entries[i];
                e.ctxU(0, entry.propertyId);
                if (entry.arrayIndex != -1) {
                    e.ctxU(1, static_cast<uint32_t>(entry.arrayIndex));
                }
                e.open(2);
                allowedValue(e, objectIdType(d.eventObject), entry.propertyId, entry.value,
                             {kDtUnsigned, kDtSigned, kDtReal, kDtDouble, kDtCharString, kDtBitString,
                              kDtEnumerated, kDtDeviceObjectPropertyReference});
                e.close(2);
            }
            e.close(2);
            break;
        }
        default:
            return false;
    }
    e.close(type);
    return true;
}

// The Device identifier of a sending device (-1 root), or -1 when unknown.
int64_t senderDeviceId(int32_t device) {
    if (device < 0 || static_cast<uint32_t>(device) == stackRootInstance()) {
        return objectIdMake(kObjDevice, stackRootInstance());
    }
    if (vdevFind(device) < 0) {
        return -1;
    }
    return objectIdMake(kObjDevice, static_cast<uint32_t>(device));
}

bool rootOrKnown(int32_t device) {
    return device < 0 || static_cast<uint32_t>(device) == stackRootInstance() || vdevFind(device) >= 0;
}

// Sends a notification whose parameters encode writes after its APDU
// header: confirmed (tracked in the transaction table) or unconfirmed,
// directly to address. Consumes the buffer. Returns a StackSendResult.
template <typename Encode>
int sendNotification(const BACnetAddress &address, bool confirmed, uint8_t confirmedChoice,
                     uint8_t unconfirmedChoice, uint8_t control, Encode encode) {
    PduBuffer b;
    if (pduInit(&b) != 0) {
        return kSendNoBuffer;
    }
    b.control = control;
    if (pduWriteNpduHeader(&b, &address, confirmed) != 0) {
        pduFree(&b);
        return kSendNoBuffer;
    }
    if (!confirmed) {
        const uint8_t head[] = {apduFirstOctet(kPduUnconfirmedRequest), unconfirmedChoice};
        int e = pduAppendBytes(&b, sizeof head, head) != 0 ? kSendNoBuffer : encode(&b);
        if (e != 0) {
            pduFree(&b);
            return e;
        }
        // Unconfirmed messages are never segmented: too long for the
        // recipient is a failure, not a bogus Abort.
        if (tsmNeedsSegmentation(address.port, address.maxApdu, b.length)) {
            pduFree(&b);
            return kSendTooLong;
        }
        datalinkSend(address.port, address.macLength == 0 ? nullptr : address.mac, b.length, b.writeBase, false);
        pduFree(&b);
        return kSendUnconfirmed;
    }
    int id = tsmAllocInvokeId(confirmedChoice, nullptr);
    if (id < 0) {
        pduFree(&b);
        return kSendNoInvokeId;
    }
    const uint8_t head[] = {apduFirstOctet(kPduConfirmedRequest), datalinkMaxApduCode(datalinkMaxApdu(address.port)),
                            static_cast<uint8_t>(id), confirmedChoice};
    int e = pduAppendBytes(&b, sizeof head, head) != 0 ? kSendNoBuffer : encode(&b);
    if (e != 0) {
        pduFree(&b);
        tsmFree(id);
        return e;
    }
    if (!tsmNeedsSegmentation(address.port, address.maxApdu, b.length)) {
        int r = tsmStoreAndSend(&address, &b, id);
        pduFree(&b);
        return r == 0 ? id : r;
    }
    if (tsmStoreSegmented(&address, &b, id) != 0) {
        pduFree(&b);
        return kSendNoBuffer;
    }
    int r = apduSendResponse(&address, &b, true);
    if (r != 0) {
        tsmFree(id);
        return r;
    }
    return id;
}

}  // namespace

int svcEncodeCovNotification(PduBuffer *buffer, uint32_t processId, uint32_t initiatingDevice,
                             uint32_t monitoredObject, uint32_t timeRemaining, const CovPropertyValue *values,
                             uint16_t count) {
    codec::Writer e(buffer);
    e.ctxU(kCovProcessIdentifier, processId);
    e.ctxOid(kCovInitiatingDevice, initiatingDevice);
    e.ctxOid(kCovMonitoredObject, monitoredObject);
    e.ctxU(kCovTimeRemaining, timeRemaining);
    e.open(kCovValues);
    for (uint16_t i = 0; i < count && e.ok(); ++i) {
        const CovPropertyValue &v = values[i];
        e.ctxU(kPvPropertyIdentifier, v.propertyId);
        if (v.arrayIndex != kNoArrayIndex) {
            e.ctxU(kPvArrayIndex, v.arrayIndex);
        }
        e.open(kPvValue);
        allowedValue(e, objectIdType(v.objectId), v.propertyId, v.value,
                     {PRIMITIVE_CODES, kDtEmptyList, kDtDateTime, kDtTimeStamp, kDtShedLevel});
        e.close(kPvValue);
    }
    e.close(kCovValues);
    return e.ok() ? 0 : 1;
}

int svcSendCovNotification(int32_t device, CovSubscriber *s) {
    if (stackInitiationDisabled != 0) {
        return kSendInitiationDisabled;
    }
    if (!rootOrKnown(device)) {
        return kSendUnknownDevice;
    }
    int64_t id = senderDeviceId(device);
    if (id < 0) {
        return kSendUnknownDevice;
    }
    s->initiatingDevice = static_cast<uint32_t>(id);
    if (s->valueCount != 0 && s->values == nullptr) {
        return kSendNoBuffer;
    }
    const CovSubscriber record = *s;
    return sendNotification(record.subscriber, record.issueConfirmed != 0, kSvcConfirmedCovNotification,
                            kSvcUnconfirmedCovNotification, 0, [&](PduBuffer *b) {
                                return svcEncodeCovNotification(b, record.processId, record.initiatingDevice,
                                                                record.monitoredObject, record.lifetime,
                                                                record.values, record.valueCount) == 0
                                           ? 0
                                           : kSendNoBuffer;
                            });
}

void svcNetworkPriority(uint8_t *control, uint8_t priority) {
    uint8_t network = priority < 64 ? 3 : priority < 128 ? 2 : priority < 192 ? 1 : 0;
    *control = static_cast<uint8_t>((*control & ~3) | network);
}

int svcEncodeEventNotification(PduBuffer *buffer, uint32_t, const EventNotificationData *d,
                               const EventValues *v, const CharString *text) {
    codec::Writer e(buffer);
    e.ctxU(kEvnProcessIdentifier, d->processId);
    e.ctxOid(kEvnInitiatingDevice, objectIdMake(kObjDevice, objectIdInstance(d->initiatingDevice)));
    e.ctxOid(kEvnEventObject, d->eventObject);
    e.open(kEvnTimeStamp);
    codec::encTimeStamp(e, d->timeStamp);
    e.close(kEvnTimeStamp);
    e.ctxU(kEvnNotificationClass, d->notificationClass);
    e.ctxU(kEvnPriority, d->priority);
    e.ctxU(kEvnEventType, d->eventType);
    if (text != nullptr && text->length > 0 && text->length <= kMessageTextMax) {
        e.ctxCharString(kEvnMessageText, text);
    }
    e.ctxU(kEvnNotifyType, d->notifyType);
    if (d->notifyType == kNotifyAckNotification) {
        e.ctxU(kEvnToState, d->toState);
    } else {
        e.ctxU(kEvnAckRequired, d->ackRequired);
        e.ctxU(kEvnFromState, d->fromState);
        e.ctxU(kEvnToState, d->toState);
        e.open(kEvnEventValues);
        if (v == nullptr || !encodeEventValues(e, *d, *v)) {
            return e.ok() ? kSendNoEncoding : kSendNoBuffer;
        }
        e.close(kEvnEventValues);
    }
    return e.ok() ? 0 : kSendNoBuffer;
}

void svcInstallEventLogEncoder() {
    propSetEventLogNotificationEncoder([](PduBuffer *buffer, const EventLogNotification *n) {
        return svcEncodeEventNotification(buffer, 0, &n->data, &n->values, n->text);
    });
}

namespace {

// An event notification to address from a device; the event values are
// checked first, so that a type without an encoding sends nothing.
int sendEvent(const BACnetAddress &address, const EventNotificationData *d, const EventValues *v,
              const CharString *text, bool confirmed) {
    uint8_t control = 0;
    svcNetworkPriority(&control, d->priority);
    return sendNotification(address, confirmed, kSvcConfirmedEventNotification, kSvcUnconfirmedEventNotification,
                            control, [&](PduBuffer *b) { return svcEncodeEventNotification(b, 0, d, v, text); });
}

}  // namespace

int svcSendEventNotification(int32_t device, int32_t recipient, const EventNotificationData *d,
                             const EventValues *v, const CharString *text) {
    if (stackInitiationDisabled != 0) {
        return kSendInitiationDisabled;
    }
    if (device >= 0 && vdevFind(device) < 0) {
        return kSendUnknownDevice;
    }
    if (d == nullptr) {
        return kSendNoBuffer;
    }
    BACnetAddress a{};
    if (recipient == -1) {
        // Encoded once, then broadcast on every port that carries it.
        PduBuffer b;
        if (pduInit(&b) != 0) {
            return kSendNoBuffer;
        }
        int e = svcEncodeEventNotification(&b, 0, d, v, text);
        if (e != 0) {
            pduFree(&b);
            return e;
        }
        std::vector<uint8_t> apdu{apduFirstOctet(kPduUnconfirmedRequest), kSvcUnconfirmedEventNotification};
        apdu.insert(apdu.end(), b.writeBase, b.writeBase + b.length);
        pduFree(&b);
        a.network = kGlobalNetwork;
        if (device >= 0) {
            uint16_t network = 0;
            uint8_t macLength = 0;
            vdevGetAddress(device, &network, &macLength, a.virtualAddress);
            a.destinationNetwork = network;
            a.virtualLength = macLength > 8 ? 0 : macLength;
        }
        std::vector<uint8_t> message(apdu.size() + 32);
        uint8_t active = stackActivePort();
        const uint8_t ports[] = {active, kPortMstp, kPortBip, kPortBipv6};
        bool sent = false;
        for (size_t i = 0; i < 4; ++i) {
            uint8_t port = ports[i];
            if (port == kPortNone || (i > 0 && port == active)) {
                continue;
            }
            a.port = port;
            uint8_t *p = npduEncodeHeader(message.data(), &a, false);
            uint32_t length = static_cast<uint32_t>(p - message.data() + apdu.size());
            if (length > datalinkMaxNpdu(port)) {
                continue;
            }
            std::memcpy(p, apdu.data(), apdu.size());
            datalinkSend(port, nullptr, length, message.data(), false);
            sent = sent || i == 0;
        }
        return sent || active == kPortNone ? kSendUnconfirmed : kSendTooLong;
    }
    uint16_t index = bindingFind(static_cast<uint32_t>(recipient));
    if (index == kBindingNotBound || !bindingAddress(index, &a)) {
        return kSendNotBound;
    }
    a.destinationNetwork = 0;
    a.virtualLength = 0;
    if (device >= 0) {
        uint16_t network = 0;
        uint8_t macLength = 0;
        vdevGetAddress(device, &network, &macLength, a.virtualAddress);
        a.destinationNetwork = network;
        a.virtualLength = macLength > 8 ? 0 : macLength;
    }
    return sendEvent(a, d, v, text, d->confirmed != 0);
}

int svcSendEventNotificationToAddress(int32_t device, const BACnetAddress *recipient,
                                      const EventNotificationData *d, const EventValues *v,
                                      const CharString *text) {
    if (stackInitiationDisabled != 0) {
        return kSendInitiationDisabled;
    }
    if (device >= 0 && vdevFind(device) < 0) {
        return kSendUnknownDevice;
    }
    if (d == nullptr || recipient == nullptr) {
        return kSendNoBuffer;
    }
    return sendEvent(*recipient, d, v, text, d->confirmed != 0);
}

void svcHandleSubscribeCov(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                           uint8_t invokeId) {
    codec::Reader r{data, data + length};
    CovSubscriber s{};
    if (codec::ctxParam(r, kSubscribeProcessIdentifier, &s.processId) != 0 ||
        codec::ctxOid(r, kSubscribeMonitoredObject, &s.monitoredObject) != 0) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    if (!codec::atCtx(r, kSubscribeIssueConfirmed)) {
        if (r.p != r.end) {
            apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
            return;
        }
        s.cancel = 1;
    } else {
        bool confirmed = false;
        if (codec::ctxFlag(r, kSubscribeIssueConfirmed, &confirmed) != 0) {
            apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
            return;
        }
        s.issueConfirmed = confirmed ? 1 : 0;
        if (r.p < r.end) {
            TagHeader tag;
            if (!codec::atCtx(r, kSubscribeLifetime) || !codec::peek(r, &tag) || tag.length < 1) {
                apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
                return;
            }
            if (tag.length > 4) {
                apduSendError(packet, invokeId, kSvcSubscribeCov, kErrorClassServices, kErrorCodeValueOutOfRange);
                return;
            }
            if (codec::ctxParam(r, kSubscribeLifetime, &s.lifetime) != 0 || r.p != r.end) {
                apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
                return;
            }
        }
    }
    s.subscriber = packet->address;
    s.initiatingDevice = 0xFFFFFFFFu;
    PackedError e = appSubscribeCov(device, &s);
    if (e == 0) {
        apduSendSimpleAck(packet, invokeId, kSvcSubscribeCov);
    } else if (e != kNoReply) {
        apduSendError(packet, invokeId, kSvcSubscribeCov, errGetClass(e), errGetCode(e));
    }
}

void svcHandleGetEventInformation(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                                  uint8_t invokeId) {
    int32_t last = -1;
    if (length != 0) {
        codec::Reader r{data, data + length};
        uint32_t objectId = 0;
        if (length != 5 || data[0] != ctxTagOctet(kGeiLastReceivedObject, 4) ||
            codec::ctxOid(r, kGeiLastReceivedObject, &objectId) != 0) {
            apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
            return;
        }
        last = static_cast<int32_t>(objectId);
    }
    const BACnetAddress &a = packet->address;
    uint8_t s = stackDevice().segmentationSupported;
    bool segmented = a.segmentedResponseAccepted && (s == kSegmentedBoth || s == kSegmentedTransmit);
    uint32_t limit;
    if (segmented) {
        uint32_t segments = a.maxSegments == 0 ? 1 : a.maxSegments;
        limit = segments * a.maxApdu;
        if (limit > 65535) {
            limit = 65535;
        }
    } else {
        uint32_t portMax = datalinkMaxApdu(a.port);
        limit = a.maxApdu < portMax ? a.maxApdu : portMax;
    }
    limit = limit > 64 ? limit - 64 : 0;

    PduBuffer b;
    if (pduInit(&b) != 0) {
        apduSendReject(packet, invokeId, kRejectReasonBufferOverflow);
        return;
    }
    b.control = packet->priority & 3;
    if (pduWriteNpduHeader(&b, &a, false) != 0) {
        pduFree(&b);
        apduSendReject(packet, invokeId, kRejectReasonBufferOverflow);
        return;
    }
    codec::Writer e(&b);
    e.byte(apduFirstOctet(kPduComplexAck));
    e.byte(invokeId);
    e.byte(kSvcGetEventInformation);
    e.open(kGeiSummaries);
    bool more = false;
    EventSummary *summary = appGetEventInformation(device, 1, last, &more);
    uint32_t headerLength = static_cast<uint32_t>(b.cursor - b.writeBase);
    while (summary != nullptr) {
        const EventSummary &x = *summary;
        e.ctxOid(kSummaryObjectIdentifier, x.objectId);
        e.ctxU(kSummaryEventState, x.eventState);
        e.bits8(ctxTagOctet(kSummaryAcknowledgedTransitions), x.acknowledgedTransitions, 3);
        e.open(kSummaryTimeStamps);
        for (const BACnetTimeStamp &t : x.timeStamps) {
            codec::encTimeStamp(e, t);
        }
        e.close(kSummaryTimeStamps);
        e.ctxU(kSummaryNotifyType, x.notifyType);
        e.bits8(ctxTagOctet(kSummaryEventEnable), x.eventEnable, 3);
        e.open(kSummaryPriorities);
        for (uint32_t priority : x.priorities) {
            e.appU(priority);
        }
        e.close(kSummaryPriorities);
        if (!e.ok()) {
            break;
        }
        if (!more || b.length - headerLength >= limit) {
            break;
        }
        int32_t next = static_cast<int32_t>(x.objectId);
        appFree(summary);
        more = false;
        summary = appGetEventInformation(device, 1, next, &more);
    }
    appFree(summary);
    e.close(kGeiSummaries);
    e.ctxU(kGeiMoreEvents, more ? 1 : 0);
    if (!e.ok()) {
        pduFree(&b);
        apduSendReject(packet, invokeId, kRejectReasonBufferOverflow);
        return;
    }
    apduSendResponse(&a, &b, false);
}
