// WriteProperty and WritePropertyMultiple.

#include "bacnet/enums.h"
#include "bacnet/property_decoder.h"
#include "bacnet/property_value.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "codec/reader.h"
#include "property_access.h"

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
bool readPriority(codec::Reader &r, uint8_t number, uint8_t *priority) {
    uint32_t value = 0;
    if (codec::ctxParam(r, number, &value) != 0) {
        return false;
    }
    *priority = static_cast<uint8_t>(value);
    return true;
}

// The value of a write between its opening and closing tag n; the cursor
// stays at the closing tag.
PackedError readValue(codec::Reader &r, uint8_t n, uint32_t objectId, uint32_t property, uint32_t index,
                      PropertyValue *v) {
    return propDecodeValue(&r.p, objectId, property, v, static_cast<uint32_t>(r.left()),
                           ctxTagOctet(n, kTagLvtClosing), static_cast<int32_t>(index));
}

}  // namespace

void svcHandleWriteProperty(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                            uint8_t invokeId, PropertyValue *v) {
    codec::Reader r{data, data + length};
    uint32_t objectId = 0;
    uint32_t property = 0;
    uint32_t index = kNoArrayIndex;
    if (!svcReadPropertyReference(r, &objectId, &property)) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    // The check comes before the index: a refused property is answered as
    // such whatever follows it.
    PackedError e = appCheckProperty(device, objectId, property);
    if (e != 0) {
        apduSendFailure(packet, invokeId, kSvcWriteProperty, e);
        return;
    }
    bool indexGiven = false;
    if (!svcReadArrayIndex(r, &index, &indexGiven)) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    uint8_t flags = kAccessWrite;
    if (indexGiven) {
        flags |= kAccessIndexGiven;
    }
    clearValue(v);
    if (!codec::atOpeningOctet(r, kRwpValue)) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    ++r.p;
    e = readValue(r, kRwpValue, objectId, property, index, v);
    if (e != 0) {
        propFreeValue(v);
        apduSendFailure(packet, invokeId, kSvcWriteProperty, e);
        return;
    }
    if (!codec::atClosingOctet(r, kRwpValue)) {
        propFreeValue(v);
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    ++r.p;
    v->priority = 0;
    if (r.p < r.end) {
        if (!readPriority(r, kRwpPriority, &v->priority) || r.p != r.end) {
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
    *q++ = ctxTagOctet(kWpmErrorType, kTagLvtOpening);
    q = tagEncodeEnumerated(q, c);
    q = tagEncodeEnumerated(q, errGetCode(e));
    *q++ = ctxTagOctet(kWpmErrorType, kTagLvtClosing);
    *q++ = ctxTagOctet(kWpmFirstFailedWrite, kTagLvtOpening);
    q = tagEncodeContextObjectId(q, ctxTagOctet(kOprObjectIdentifier), objectId);
    q = tagEncodeContextInteger(q, property, kOprPropertyIdentifier, false);
    if (index != kNoArrayIndex) {
        q = tagEncodeContextInteger(q, index, kOprArrayIndex, false);
    }
    *q++ = ctxTagOctet(kWpmFirstFailedWrite, kTagLvtClosing);
    apduSendInPlace(packet, apdu, static_cast<uint32_t>(q - apdu));
}

}  // namespace

void svcHandleWritePropertyMultiple(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                                    uint8_t invokeId, PropertyValue *v) {
    codec::Reader r{data, data + length};
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
    if (r.p >= r.end) {
        malformed();
        return;
    }
    while (r.p < r.end) {
        if (codec::ctxOid(r, kAccessObjectIdentifier, &objectId) != 0 || !codec::atOpeningOctet(r, kAccessList)) {
            malformed();
            return;
        }
        ++r.p;
        if (!codec::atCtx(r, kPvPropertyIdentifier)) {
            malformed();
            return;
        }
        for (;;) {
            index = kNoArrayIndex;
            uint8_t flags = kAccessWrite;
            if (codec::ctxParam(r, kPvPropertyIdentifier, &property) != 0) {
                malformed();
                return;
            }
            if (codec::atCtx(r, kPvArrayIndex)) {
                if (codec::ctxParam(r, kPvArrayIndex, &index) != 0) {
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
            if (!codec::atOpeningOctet(r, kPvValue)) {
                malformed();
                return;
            }
            ++r.p;
            PackedError e = readValue(r, kPvValue, objectId, property, index, v);
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
            if (!codec::atClosingOctet(r, kPvValue)) {
                propFreeValue(v);
                malformed();
                return;
            }
            ++r.p;
            v->priority = 0;
            if (codec::atCtx(r, kPvPriority) && !readPriority(r, kPvPriority, &v->priority)) {
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
            if (codec::atCtx(r, kPvPropertyIdentifier)) {
                continue;
            }
            if (!codec::atClosingOctet(r, kAccessList)) {
                malformed();
                return;
            }
            ++r.p;
            break;
        }
    }
    apduSendSimpleAck(packet, invokeId, kSvcWritePropertyMultiple);
}
