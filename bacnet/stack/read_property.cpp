// ReadProperty and ReadPropertyMultiple.

#include "bacnet/enums.h"
#include "bacnet/property_encoder.h"
#include "bacnet/property_value.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/npdu.h"
#include "property_access.h"
#include "service_util.h"

using svc::isContextTag;
using svc::readContextObjectId;
using svc::readContextUnsigned;

namespace {

bool appendContextUnsigned(PduBuffer *b, uint8_t number, uint32_t value) {
    uint8_t tmp[8];
    uint8_t *end = tagEncodeContextInteger(tmp, value, number, false);
    return pduAppendBytes(b, static_cast<uint32_t>(end - tmp), tmp) == 0;
}

bool appendContextObjectId(PduBuffer *b, uint8_t number, uint32_t value) {
    uint8_t tmp[8];
    uint8_t *end = tagEncodeContextObjectId(tmp, static_cast<uint8_t>(number * 16 + 8), value);
    return pduAppendBytes(b, static_cast<uint32_t>(end - tmp), tmp) == 0;
}

bool appendErrorPair(PduBuffer *b, PackedError e) {
    uint8_t tmp[16];
    uint8_t *p = tmp;
    *p++ = 0x5E;
    p = tagEncodeEnumerated(p, errGetClass(e));
    p = tagEncodeEnumerated(p, errGetCode(e));
    *p++ = 0x5F;
    return pduAppendBytes(b, static_cast<uint32_t>(p - tmp), tmp) == 0;
}

bool startAck(PduBuffer *b, const NpduPacket *packet, uint8_t invokeId, uint8_t service) {
    if (pduInit(b) != 0) {
        return false;
    }
    b->control = packet->priority & 3;
    if (pduWriteNpduHeader(b, &packet->address, false) != 0) {
        return false;
    }
    const uint8_t head[] = {apduFirstOctet(kPduComplexAck), invokeId, service};
    return pduAppendBytes(b, sizeof head, head) == 0;
}

// An ACK larger than this can never be sent whole; building stops there.
constexpr uint32_t kMaxAckBuild = 65536 + 64;

}  // namespace

void svcHandleReadProperty(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                           uint8_t invokeId, PropertyValue *v) {
    v->ownsValue = 0;
    v->value.u = 0;
    v->value.block = nullptr;
    const uint8_t *p = data;
    const uint8_t *end = data + length;
    uint32_t objectId = 0;
    uint32_t property = 0;
    uint32_t index = kNoArrayIndex;
    bool hasIndex = false;
    if (!readContextObjectId(&p, end, 0, &objectId) || !readContextUnsigned(&p, end, 1, &property)) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    if (p < end && (*p >> 4) == 2) {
        if (!readContextUnsigned(&p, end, 2, &index)) {
            apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
            return;
        }
        hasIndex = true;
    }
    if (p != end) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    PackedError e;
    uint16_t type = objectIdType(objectId);
    if (propIsGroup(property)) {
        e = kErrReadAccessDenied;
    } else if (property == kPropLogBuffer) {
        if (propIsLogType(type)) {
            e = kErrReadAccessDenied;
        } else {
            bool objectAccepted = false, propertyKnown = false, isArray = false, accessAllowed = false;
            appValidateProperty(device, objectId, property, &objectAccepted, &propertyKnown, &isArray,
                                &accessAllowed);
            e = objectAccepted ? kErrUnknownProperty : kErrUnknownObject;
        }
    } else {
        e = svcAccessProperty(device, &objectId, property, index, 0, v, nullptr);
    }
    if (e != 0) {
        propFreeValue(v);
        apduSendFailure(packet, invokeId, kSvcReadProperty, e);
        return;
    }
    PduBuffer b;
    bool ok = startAck(&b, packet, invokeId, kSvcReadProperty) && appendContextObjectId(&b, 0, objectId) &&
              appendContextUnsigned(&b, 1, property) && (!hasIndex || appendContextUnsigned(&b, 2, index)) &&
              pduAppendByte(&b, 0x3E) == 0 && propEncodeValue(&b, objectIdType(objectId), property, v) == 0 &&
              pduAppendByte(&b, 0x3F) == 0;
    propFreeValue(v);
    if (!ok) {
        pduFree(&b);
        apduSendReject(packet, invokeId, kRejectReasonOther);
        return;
    }
    apduSendResponse(&packet->address, &b, false);
}

void svcHandleReadPropertyMultiple(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                                   uint8_t invokeId, PropertyValue *v) {
    v->ownsValue = 0;
    v->value.block = nullptr;
    PduBuffer b;
    if (!startAck(&b, packet, invokeId, kSvcReadPropertyMultiple)) {
        pduFree(&b);
        apduSendReject(packet, invokeId, kRejectReasonOther);
        return;
    }
    const uint8_t *p = data;
    const uint8_t *end = data + length;
    enum class Outcome { kOk, kMalformed, kNoMemory, kNotAnArray, kAbortOrReject };
    Outcome outcome = Outcome::kOk;
    PackedError special = 0;
    if (p == end) {
        outcome = Outcome::kMalformed;
    }
    while (outcome == Outcome::kOk && p < end) {
        uint32_t objectId = 0;
        if (!readContextObjectId(&p, end, 0, &objectId) || p >= end || *p != 0x1E) {
            outcome = Outcome::kMalformed;
            break;
        }
        ++p;
        bool first = true;
        for (;;) {
            uint32_t property = 0;
            uint32_t index = kNoArrayIndex;
            bool hasIndex = false;
            if (!readContextUnsigned(&p, end, 0, &property)) {
                outcome = Outcome::kMalformed;
                break;
            }
            if (p < end && *p != 0x1F && (*p >> 4) == 1) {
                if (!readContextUnsigned(&p, end, 1, &index)) {
                    outcome = Outcome::kMalformed;
                    break;
                }
                hasIndex = true;
            }
            bool group = propIsGroup(property);
            if (group && hasIndex) {
                outcome = Outcome::kNotAnArray;
                break;
            }
            uint32_t k = property;
            for (int step = 0; step < 4096; ++step) {
                v->priority = 0;
                v->ownsValue = 0;
                v->value.block = nullptr;
                PackedError e =
                    svcAccessProperty(device, &objectId, property, index, 0, v, group ? &k : nullptr);
                if (first) {
                    first = false;
                    if (!appendContextObjectId(&b, 0, objectId) || pduAppendByte(&b, 0x1E) != 0) {
                        outcome = Outcome::kNoMemory;
                        break;
                    }
                }
                if (group && e == kErrUnknownProperty) {
                    propFreeValue(v);
                    if (k == kGroupEnd) {
                        break;
                    }
                    continue;
                }
                uint32_t c = errGetClass(e);
                if (e == kNoReply || c == kClassAbort || c == kClassReject) {
                    propFreeValue(v);
                    special = e;
                    outcome = Outcome::kAbortOrReject;
                    break;
                }
                uint32_t shown = group ? k : property;
                bool ok =
                    appendContextUnsigned(&b, 2, shown) && (!hasIndex || appendContextUnsigned(&b, 3, index));
                if (ok && e == 0) {
                    ok = pduAppendByte(&b, 0x4E) == 0 &&
                         propEncodeValue(&b, objectIdType(objectId), shown, v) == 0 &&
                         pduAppendByte(&b, 0x4F) == 0;
                } else if (ok) {
                    ok = appendErrorPair(&b, e);
                }
                propFreeValue(v);
                if (!ok) {
                    outcome = Outcome::kNoMemory;
                    break;
                }
                if (b.length > kMaxAckBuild) {
                    break;
                }
                if (!group || e == kErrUnknownObject) {
                    break;
                }
                if (k == kGroupEnd) {
                    break;
                }
            }
            if (outcome != Outcome::kOk) {
                break;
            }
            if (isContextTag(p, end, 0)) {
                continue;
            }
            if (p >= end || *p != 0x1F) {
                outcome = Outcome::kMalformed;
                break;
            }
            ++p;
            if (pduAppendByte(&b, 0x1F) != 0) {
                outcome = Outcome::kNoMemory;
            }
            break;
        }
        if (b.length > kMaxAckBuild) {
            break;
        }
    }
    propFreeValue(v);
    switch (outcome) {
        case Outcome::kOk:
            apduSendResponse(&packet->address, &b, false);
            return;
        case Outcome::kMalformed:
            pduFree(&b);
            apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
            return;
        case Outcome::kNoMemory:
            pduFree(&b);
            apduSendReject(packet, invokeId, kRejectReasonOther);
            return;
        case Outcome::kNotAnArray:
            pduFree(&b);
            apduSendError(packet, invokeId, kSvcReadPropertyMultiple, errGetClass(kErrNotAnArray),
                          errGetCode(kErrNotAnArray));
            return;
        case Outcome::kAbortOrReject:
            pduFree(&b);
            apduSendFailure(packet, invokeId, kSvcReadPropertyMultiple, special);
            return;
    }
}
