// ReadProperty and ReadPropertyMultiple.

#include "bacnet/enums.h"
#include "bacnet/property_encoder.h"
#include "bacnet/property_value.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/npdu.h"
#include "codec/reader.h"
#include "codec/writer.h"
#include "property_access.h"

namespace {

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
    codec::Reader r{data, data + length};
    uint32_t objectId = 0;
    uint32_t property = 0;
    uint32_t index = kNoArrayIndex;
    bool hasIndex = false;
    if (!svcReadPropertyReference(r, &objectId, &property) || !svcReadArrayIndex(r, &index, &hasIndex) ||
        r.p != r.end) {
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
            e = svcValidateAccess(device, objectId, property, kNoArrayIndex, 0) == kErrUnknownObject
                    ? kErrUnknownObject
                    : kErrUnknownProperty;
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
    bool ok = startAck(&b, packet, invokeId, kSvcReadProperty);
    if (ok) {
        codec::Writer w(&b);
        w.ctxOid(kRwpObjectIdentifier, objectId);
        w.ctxU(kRwpPropertyIdentifier, property);
        if (hasIndex) {
            w.ctxU(kRwpArrayIndex, index);
        }
        w.open(kRwpValue);
        w.value(objectIdType(objectId), property, v);
        w.close(kRwpValue);
        ok = w.ok();
    }
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
    codec::Reader r{data, data + length};
    codec::Writer w(&b);
    enum class Outcome { kOk, kMalformed, kNoMemory, kNotAnArray, kAbortOrReject };
    Outcome outcome = Outcome::kOk;
    PackedError special = 0;
    if (r.p == r.end) {
        outcome = Outcome::kMalformed;
    }
    while (outcome == Outcome::kOk && r.p < r.end) {
        uint32_t objectId = 0;
        if (codec::ctxOid(r, kAccessObjectIdentifier, &objectId) != 0 || !codec::atOpeningOctet(r, kAccessList)) {
            outcome = Outcome::kMalformed;
            break;
        }
        ++r.p;
        bool first = true;
        for (;;) {
            uint32_t property = 0;
            uint32_t index = kNoArrayIndex;
            bool hasIndex = false;
            if (codec::ctxParam(r, kPvPropertyIdentifier, &property) != 0) {
                outcome = Outcome::kMalformed;
                break;
            }
            if (!codec::atClosingOctet(r, kAccessList) && codec::atTagNumber(r, kPvArrayIndex)) {
                if (codec::ctxParam(r, kPvArrayIndex, &index) != 0) {
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
                    w.ctxOid(kAccessObjectIdentifier, objectId);
                    w.open(kAccessList);
                    if (!w.ok()) {
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
                w.ctxU(kRarPropertyIdentifier, shown);
                if (hasIndex) {
                    w.ctxU(kRarArrayIndex, index);
                }
                if (e == 0) {
                    w.open(kRarValue);
                    w.value(objectIdType(objectId), shown, v);
                    w.close(kRarValue);
                } else {
                    codec::encErrorPair(w, kRarError, e);
                }
                propFreeValue(v);
                if (!w.ok()) {
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
            if (codec::atCtx(r, kPvPropertyIdentifier)) {
                continue;
            }
            if (!codec::atClosingOctet(r, kAccessList)) {
                outcome = Outcome::kMalformed;
                break;
            }
            ++r.p;
            w.close(kAccessList);
            if (!w.ok()) {
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
