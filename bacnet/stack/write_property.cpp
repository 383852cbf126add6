// WriteProperty and WritePropertyMultiple.

#include "bacnet/enums.h"
#include "bacnet/property_decoder.h"
#include "bacnet/property_value.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "property_access.h"
#include "service_util.h"

using svc::isContextTag;
using svc::readContextObjectId;
using svc::readContextUnsigned;

namespace {

inline constexpr PackedError kErrInvalidTagAfterWrite = errMake(kErrorClassServices, kErrorCodeInvalidTag);

void clearValue(PropertyValue *v) {
    v->reserved = 0;
    v->datatype = 0;
    v->priority = 0;
    v->ownsValue = 0;
    v->value.u = 0;
    v->value.block = nullptr;
}

// The write priority with a context tag: its low octet.
bool readPriority(const uint8_t **p, const uint8_t *end, uint8_t number, uint8_t *priority) {
    uint32_t value = 0;
    if (!readContextUnsigned(p, end, number, &value)) {
        return false;
    }
    *priority = static_cast<uint8_t>(value);
    return true;
}

}  // namespace

void svcHandleWriteProperty(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                            uint8_t invokeId, PropertyValue *v) {
    const uint8_t *p = data;
    const uint8_t *end = data + length;
    uint32_t objectId = 0;
    uint32_t property = 0;
    uint32_t index = kNoArrayIndex;
    uint8_t flags = kAccessWrite;
    if (!readContextObjectId(&p, end, 0, &objectId) || !readContextUnsigned(&p, end, 1, &property)) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    PackedError e = appCheckProperty(device, objectId, property);
    if (e != 0) {
        apduSendFailure(packet, invokeId, kSvcWriteProperty, e);
        return;
    }
    if (isContextTag(p, end, 2)) {
        if (!readContextUnsigned(&p, end, 2, &index)) {
            apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
            return;
        }
        flags |= kAccessIndexGiven;
    }
    clearValue(v);
    if (p >= end || *p != 0x3E) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    ++p;
    e = propDecodeValue(&p, objectId, property, v, static_cast<uint32_t>(end - p), 0x3F,
                        static_cast<int32_t>(index));
    if (e != 0) {
        propFreeValue(v);
        apduSendFailure(packet, invokeId, kSvcWriteProperty, e);
        return;
    }
    if (p >= end || *p != 0x3F) {
        propFreeValue(v);
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    ++p;
    v->priority = 0;
    if (p < end) {
        if (!readPriority(&p, end, 4, &v->priority) || p != end) {
            propFreeValue(v);
            apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
            return;
        }
    }
    e = svcAccessProperty(device, &objectId, property, index, flags, v, nullptr);
    propFreeValue(v);
    if (e == 0) {
        apduSendSimpleAck(packet, invokeId, kSvcWriteProperty);
    } else {
        apduSendFailure(packet, invokeId, kSvcWriteProperty, e);
    }
}

namespace {

// The WritePropertyMultiple-Error naming the property that failed, written
// into the received packet in place of the request.
void sendWpmError(NpduPacket *packet, uint8_t invokeId, PackedError e, uint32_t objectId, uint32_t property,
                  uint32_t index) {
    uint32_t c = errGetClass(e);
    if (c == kClassAbort || c == kClassReject || e == kNoReply) {
        apduSendFailure(packet, invokeId, kSvcWritePropertyMultiple, e);
        return;
    }
    uint8_t apdu[48];
    uint8_t *q = apdu;
    *q++ = apduFirstOctet(kPduError);
    *q++ = invokeId;
    *q++ = kSvcWritePropertyMultiple;
    *q++ = 0x0E;
    q = tagEncodeEnumerated(q, c);
    q = tagEncodeEnumerated(q, errGetCode(e));
    *q++ = 0x0F;
    *q++ = 0x1E;
    q = tagEncodeContextObjectId(q, ctxTagOctet(0), objectId);
    q = tagEncodeContextInteger(q, property, 1, false);
    if (index != kNoArrayIndex) {
        q = tagEncodeContextInteger(q, index, 2, false);
    }
    *q++ = 0x1F;
    apduSendInPlace(packet, apdu, static_cast<uint32_t>(q - apdu));
}

}  // namespace

void svcHandleWritePropertyMultiple(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                                    uint8_t invokeId, PropertyValue *v) {
    const uint8_t *p = data;
    const uint8_t *end = data + length;
    uint32_t written = 0;
    uint32_t objectId = 0;
    uint32_t property = 0;
    uint32_t index = kNoArrayIndex;
    // A malformed request: rejected while nothing was written, otherwise
    // reported as the property it stopped at, so the client knows where.
    auto malformed = [&]() {
        if (written == 0) {
            apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        } else {
            sendWpmError(packet, invokeId, kErrInvalidTagAfterWrite, objectId, property, index);
        }
    };
    if (p >= end) {
        malformed();
        return;
    }
    while (p < end) {
        if (!readContextObjectId(&p, end, 0, &objectId) || p >= end || *p != 0x1E) {
            malformed();
            return;
        }
        ++p;
        if (!isContextTag(p, end, 0)) {
            malformed();
            return;
        }
        for (;;) {
            index = kNoArrayIndex;
            uint8_t flags = kAccessWrite;
            if (!readContextUnsigned(&p, end, 0, &property)) {
                malformed();
                return;
            }
            if (isContextTag(p, end, 1)) {
                if (!readContextUnsigned(&p, end, 1, &index)) {
                    malformed();
                    return;
                }
                flags |= kAccessIndexGiven;
            }
            if (!propIsGroup(property)) {
                PackedError e = appCheckProperty(device, objectId, property);
                if (e != 0) {
                    sendWpmError(packet, invokeId, e, objectId, property, index);
                    return;
                }
            }
            clearValue(v);
            if (p >= end || *p != 0x2E) {
                malformed();
                return;
            }
            ++p;
            PackedError e = propDecodeValue(&p, objectId, property, v, static_cast<uint32_t>(end - p), 0x2F,
                                            static_cast<int32_t>(index));
            if (e == kRejectInvalidTag) {
                propFreeValue(v);
                malformed();
                return;
            }
            if (e != 0) {
                propFreeValue(v);
                sendWpmError(packet, invokeId, e, objectId, property, index);
                return;
            }
            if (p >= end || *p != 0x2F) {
                propFreeValue(v);
                malformed();
                return;
            }
            ++p;
            v->priority = 0;
            if (isContextTag(p, end, 3) && !readPriority(&p, end, 3, &v->priority)) {
                propFreeValue(v);
                malformed();
                return;
            }
            uint32_t current = kGroupEnd;
            e = svcAccessProperty(device, &objectId, property, index, flags, v, &current);
            propFreeValue(v);
            if (e != 0) {
                sendWpmError(packet, invokeId, e, objectId, property, index);
                return;
            }
            ++written;
            if (isContextTag(p, end, 0)) {
                continue;
            }
            if (p >= end || *p != 0x1F) {
                malformed();
                return;
            }
            ++p;
            break;
        }
    }
    apduSendSimpleAck(packet, invokeId, kSvcWritePropertyMultiple);
}
