#include "bacnet/property_decoder.h"

#include "bacnet/app_memory.h"
#include "bacnet/datatype_table.h"
#include "codec_internal.h"

#include <cstddef>
#include <cstring>

namespace {

// Elements are decoded into a staging area and moved to the growing element
// block a batch at a time, so the block is reallocated once per batch. The
// batch is as many records as fit, whatever the size of a pointer.
constexpr uint32_t kStagingOctets = 512;

// Caps that bound what one request can make us allocate.
constexpr uint32_t kMaxSpecialEventTimeValues = 1024;
constexpr uint32_t kMaxEventListEntries = 0xFFFF;

struct Rd {
    const uint8_t *p;
    const uint8_t *end;
    size_t left() const { return static_cast<size_t>(end - p); }
};

bool peek(const Rd &r, TagHeader *h) {
    return tagDecodeHeader(r.p, r.end, h);
}

bool atOpening(const Rd &r, uint8_t n) {
    TagHeader h;
    return peek(r, &h) && h.opening && h.number == n;
}

bool atClosing(const Rd &r, uint8_t n) {
    TagHeader h;
    return peek(r, &h) && h.closing && h.number == n;
}

// A primitive context tag n.
bool atCtx(const Rd &r, uint8_t n) {
    TagHeader h;
    return peek(r, &h) && h.context && !h.opening && !h.closing && h.number == n;
}

bool atApp(const Rd &r, uint8_t n) {
    TagHeader h;
    return peek(r, &h) && !h.context && h.number == n;
}

PackedError open(Rd &r, uint8_t n) {
    TagHeader h;
    if (!peek(r, &h) || !h.opening || h.number != n) {
        return kRejectInvalidTag;
    }
    r.p += h.headerSize;
    return 0;
}

PackedError close(Rd &r, uint8_t n) {
    TagHeader h;
    if (!peek(r, &h) || !h.closing || h.number != n) {
        return kRejectInvalidTag;
    }
    r.p += h.headerSize;
    return 0;
}

// Required context-tagged values.
PackedError ctxU(Rd &r, uint8_t n, uint32_t *v) {
    if (!atCtx(r, n)) {
        return kRejectInvalidTag;
    }
    return tagDecodeInteger(&r.p, r.end, false, v) ? 0 : kRejectInvalidTag;
}

PackedError ctxU16(Rd &r, uint8_t n, uint16_t *v) {
    uint32_t x = 0;
    CODEC_TRY(ctxU(r, n, &x));
    if (x > 0xFFFF) {
        return kErrorValueOutOfRange;
    }
    *v = static_cast<uint16_t>(x);
    return 0;
}

PackedError ctxU8(Rd &r, uint8_t n, uint8_t *v) {
    uint32_t x = 0;
    CODEC_TRY(ctxU(r, n, &x));
    if (x > 0xFF) {
        return kErrorValueOutOfRange;
    }
    *v = static_cast<uint8_t>(x);
    return 0;
}

PackedError ctxS(Rd &r, uint8_t n, int32_t *v) {
    if (!atCtx(r, n)) {
        return kRejectInvalidTag;
    }
    uint32_t x = 0;
    if (!tagDecodeInteger(&r.p, r.end, true, &x)) {
        return kRejectInvalidTag;
    }
    *v = static_cast<int32_t>(x);
    return 0;
}

PackedError ctxIndex(Rd &r, uint8_t n, int32_t *v) {
    uint32_t x = 0;
    CODEC_TRY(ctxU(r, n, &x));
    *v = static_cast<int32_t>(x);
    return 0;
}

PackedError ctxReal(Rd &r, uint8_t n, float *v) {
    if (!atCtx(r, n)) {
        return kRejectInvalidTag;
    }
    return tagDecodeReal(&r.p, r.end, v) ? 0 : kRejectInvalidTag;
}

PackedError ctxDouble(Rd &r, uint8_t n, double *v) {
    if (!atCtx(r, n)) {
        return kRejectInvalidTag;
    }
    return tagDecodeDouble(&r.p, r.end, v) ? 0 : kRejectInvalidTag;
}

// A context-tagged object identifier (or other fixed 4-octet value), raw.
PackedError ctxOid(Rd &r, uint8_t n, uint32_t *v) {
    TagHeader h;
    if (!atCtx(r, n) || !peek(r, &h) || h.length != 4) {
        return kRejectInvalidTag;
    }
    const uint8_t *q = r.p + h.headerSize;
    *v = (uint32_t{q[0]} << 24) | (uint32_t{q[1]} << 16) | (uint32_t{q[2]} << 8) | q[3];
    r.p = q + 4;
    return 0;
}

PackedError ctxBool(Rd &r, uint8_t n, uint8_t *v) {
    TagHeader h;
    if (!atCtx(r, n) || !peek(r, &h) || h.length != 1) {
        return kRejectInvalidTag;
    }
    const uint8_t o = r.p[h.headerSize];
    if (o > 1) {
        return kRejectInvalidTag;
    }
    *v = o;
    r.p += h.headerSize + 1;
    return 0;
}

PackedError ctxNull(Rd &r, uint8_t n) {
    TagHeader h;
    if (!atCtx(r, n) || !peek(r, &h) || h.length != 0) {
        return kRejectInvalidTag;
    }
    r.p += h.headerSize;
    return 0;
}

// A bit string whose data fits in `maxOctets`, into raw octets.
PackedError ctxBits(Rd &r, uint8_t n, uint8_t *out, uint32_t maxOctets, uint16_t *bits) {
    if (!atCtx(r, n)) {
        return kRejectInvalidTag;
    }
    return tagDecodeBitString(&r.p, r.end, out, maxOctets, bits) ? 0 : kRejectInvalidTag;
}

// Application-tagged values. A tag of another application type is the wrong
// datatype; anything else (context, missing, truncated) a wrong tag.
PackedError appTag(const Rd &r, uint8_t n) {
    TagHeader h;
    if (!peek(r, &h) || h.context) {
        return kRejectInvalidTag;
    }
    return h.number == n ? 0 : kErrorInvalidDataType;
}

PackedError appU(Rd &r, uint32_t *v) {
    CODEC_TRY(appTag(r, kDtUnsigned));
    return tagDecodeUnsigned(&r.p, r.end, v) ? 0 : kRejectInvalidTag;
}

PackedError appU16(Rd &r, uint16_t *v) {
    uint32_t x = 0;
    CODEC_TRY(appU(r, &x));
    if (x > 0xFFFF) {
        return kErrorValueOutOfRange;
    }
    *v = static_cast<uint16_t>(x);
    return 0;
}

PackedError appU8(Rd &r, uint8_t *v) {
    uint32_t x = 0;
    CODEC_TRY(appU(r, &x));
    if (x > 0xFF) {
        return kErrorValueOutOfRange;
    }
    *v = static_cast<uint8_t>(x);
    return 0;
}

PackedError appEnum(Rd &r, uint32_t *v) {
    CODEC_TRY(appTag(r, kDtEnumerated));
    return tagDecodeEnumerated(&r.p, r.end, v) ? 0 : kRejectInvalidTag;
}

PackedError appBool(Rd &r, uint8_t *v) {
    CODEC_TRY(appTag(r, kDtBoolean));
    if (*r.p != 0x10 && *r.p != 0x11) {
        return kRejectInvalidTag;
    }
    *v = *r.p & 1;
    r.p += 1;
    return 0;
}

PackedError appOid(Rd &r, uint32_t *v) {
    CODEC_TRY(appTag(r, kDtObjectId));
    if (*r.p != 0xC4 || r.left() < 5) {
        return kRejectInvalidTag;
    }
    const uint8_t *q = r.p + 1;
    *v = (uint32_t{q[0]} << 24) | (uint32_t{q[1]} << 16) | (uint32_t{q[2]} << 8) | q[3];
    r.p += 5;
    return 0;
}

// An application date or time: the tag octet, then 4 octets kept as they are.
PackedError appFourOctets(Rd &r, uint8_t datatype, void *out) {
    CODEC_TRY(appTag(r, datatype));
    if (*r.p != static_cast<uint8_t>(datatype << 4 | 4) || r.left() < 5) {
        return kRejectInvalidTag;
    }
    std::memcpy(out, r.p + 1, 4);
    r.p += 5;
    return 0;
}

PackedError appDate(Rd &r, BACnetDate *d) {
    static_assert(sizeof(BACnetDate) == 4);
    return appFourOctets(r, kDtDate, d);
}

PackedError appTime(Rd &r, BACnetTime *t) {
    static_assert(sizeof(BACnetTime) == 4);
    return appFourOctets(r, kDtTime, t);
}

// An application octet string of at most `max` octets (MAC addresses).
PackedError appOctets(Rd &r, uint8_t *out, uint16_t max, uint16_t *length) {
    CODEC_TRY(appTag(r, kDtOctetString));
    TagHeader h;
    if (!peek(r, &h)) {
        return kRejectInvalidTag;
    }
    if (h.length > max) {
        return kErrorValueOutOfRange;
    }
    uint32_t full = 0;
    if (!tagDecodeOctetString(&r.p, r.end, out, max, &full)) {
        return kRejectInvalidTag;
    }
    *length = static_cast<uint16_t>(full);
    return 0;
}

// One application primitive (0..12) into a PropertyValue.
PackedError appPrimitive(Rd &r, PropertyValue *v) {
    return tagDecodeApplicationValue(&r.p, v, static_cast<uint32_t>(r.left()));
}

PackedError appCharString(Rd &r, CharString **out) {
    CODEC_TRY(appTag(r, kDtCharString));
    uint32_t chars = 0;
    if (!tagCharStringLength(r.p, r.end, &chars)) {
        return kRejectInvalidTag;
    }
    auto *s = static_cast<CharString *>(appCalloc(chars + sizeof(CharString)));
    if (s == nullptr) {
        return kErrorOutOfMemory;
    }
    tagDecodeCharString(&r.p, r.end, s, chars);
    *out = s;
    return 0;
}

PackedError packError(uint32_t cls, uint32_t code, PackedError *out) {
    if (cls > 0xFFFF || code > 0xFFFF) {
        return kErrorValueOutOfRange;
    }
    *out = (cls << 16) | code;
    return 0;
}

// A value that grows element by element (lists nested inside records).
template <typename T>
PackedError appendOne(T **block, uint32_t *count, const T &element, uint32_t limit) {
    if (*count >= limit) {
        return kErrorOutOfMemory;
    }
    auto *grown = static_cast<T *>(appCalloc(static_cast<uint32_t>((*count + 1) * sizeof(T))));
    if (grown == nullptr) {
        return kErrorOutOfMemory;
    }
    if (*count > 0) {
        std::memcpy(static_cast<void *>(grown), *block, *count * sizeof(T));
    }
    grown[*count] = element;
    appFree(*block);
    *block = grown;
    *count += 1;
    return 0;
}

// Appends one packed CharString (header plus its characters) to a block.
PackedError appendPackedString(void **block, uint32_t *octets, const CharString *s) {
    const uint32_t size = sizeof(CharString) + s->length;
    auto *grown = static_cast<uint8_t *>(appCalloc(*octets + size));
    if (grown == nullptr) {
        return kErrorOutOfMemory;
    }
    if (*octets > 0) {
        std::memcpy(grown, *block, *octets);
    }
    std::memcpy(grown + *octets, s, size);
    appFree(*block);
    *block = grown;
    *octets += size;
    return 0;
}

// Decodes application character strings until the closing tag n into a
// packed block. Strings with character set 1 carry their code page in the
// header, so each record is its header plus exactly `length` characters.
PackedError packedStrings(Rd &r, uint8_t closingN, void **block, uint32_t *count, uint32_t limit) {
    uint32_t octets = 0;
    while (!atClosing(r, closingN)) {
        if (*count >= limit) {
            return kErrorOutOfMemory;
        }
        CharString *s = nullptr;
        CODEC_TRY(appCharString(r, &s));
        const PackedError e = appendPackedString(block, &octets, s);
        appFree(s);
        CODEC_TRY(e);
        *count += 1;
    }
    return 0;
}

// Recipient: ctx 0 device, or 0x1E network MAC 0x1F.
PackedError decRecipient(Rd &r, BACnetRecipient *e) {
    if (atCtx(r, 0)) {
        e->choice = 0;
        return ctxOid(r, 0, &e->device);
    }
    if (atOpening(r, 1)) {
        e->choice = 1;
        e->device = kAbsent;
        CODEC_TRY(open(r, 1));
        CODEC_TRY(appU16(r, &e->network));
        CODEC_TRY(appOctets(r, e->mac, kMaxMac, &e->macLength));
        return close(r, 1);
    }
    return kRejectInvalidTag;
}

// Device object property reference: ctx base+0 object, base+1 property,
// opt base+2 index, opt base+3 device.
PackedError decDevObjPropRef(Rd &r, BACnetDeviceObjectPropertyReference *e) {
    CODEC_TRY(ctxOid(r, 0, &e->objectId));
    CODEC_TRY(ctxU(r, 1, &e->propertyId));
    e->arrayIndex = kNoIndex;
    e->deviceId = kAbsent;
    if (atCtx(r, 2)) {
        CODEC_TRY(ctxIndex(r, 2, &e->arrayIndex));
    }
    if (atCtx(r, 3)) {
        CODEC_TRY(ctxOid(r, 3, &e->deviceId));
    }
    return 0;
}

PackedError decObjPropRef(Rd &r, BACnetObjectPropertyReference *e, uint32_t position) {
    CODEC_TRY(ctxOid(r, 0, &e->objectId));
    CODEC_TRY(ctxU(r, 1, &e->propertyId));
    e->arrayIndex = kNoIndex;
    if (atCtx(r, 2)) {
        CODEC_TRY(ctxIndex(r, 2, &e->arrayIndex));
    }
    e->position = position;
    return 0;
}

PackedError decDevObjRef(Rd &r, uint32_t *device, uint32_t *object) {
    *device = kAbsent;
    if (atCtx(r, 0)) {
        CODEC_TRY(ctxOid(r, 0, device));
    }
    return ctxOid(r, 1, object);
}

PackedError decDateTimeOpen(Rd &r, uint8_t n, BACnetDate *d, BACnetTime *t) {
    CODEC_TRY(open(r, n));
    CODEC_TRY(appDate(r, d));
    CODEC_TRY(appTime(r, t));
    return close(r, n);
}

// A context-tagged primitive of a log datum or a log-multiple entry.
PackedError ctxPrimitiveInto(Rd &r, uint8_t n, uint8_t datatype, PropertyValue *v) {
    v->datatype = datatype;
    switch (datatype) {
        case kDtNull:
            return ctxNull(r, n);
        case kDtBoolean: {
            uint8_t b = 0;
            CODEC_TRY(ctxBool(r, n, &b));
            v->value.u = b;
            return 0;
        }
        case kDtReal:
            return ctxReal(r, n, &v->value.f);
        case kDtUnsigned:
        case kDtEnumerated:
            return ctxU(r, n, &v->value.u);
        case kDtSigned:
            return ctxS(r, n, &v->value.i);
        case kDtBitString:
            if (!atCtx(r, n)) {
                return kRejectInvalidTag;
            }
            return propDecodeBitStringValue(&r.p, r.end, v);
        default:
            return kRejectInvalidTag;
    }
}

// An error as 0x?E class code 0x?F.
PackedError decErrorPair(Rd &r, uint8_t n, PackedError *out) {
    CODEC_TRY(open(r, n));
    uint32_t cls = 0;
    uint32_t code = 0;
    CODEC_TRY(appEnum(r, &cls));
    CODEC_TRY(appEnum(r, &code));
    CODEC_TRY(packError(cls, code, out));
    return close(r, n);
}

// A primitive or an error: 0x(n)E primitive 0x(n)F, or 0x(n+1)E class code 0x(n+1)F.
PackedError decValueOrError(Rd &r, uint8_t n, PropertyValue *v) {
    if (atOpening(r, n)) {
        CODEC_TRY(open(r, n));
        CODEC_TRY(appPrimitive(r, v));
        return close(r, n);
    }
    if (atOpening(r, n + 1)) {
        v->datatype = kDtUnknown;
        return decErrorPair(r, n + 1, &v->value.u);
    }
    return kRejectInvalidTag;
}

// A property state: a context tag number and a value of at most 24 bits.
PackedError decPropertyState(Rd &r, uint32_t *state) {
    TagHeader h;
    if (!peek(r, &h) || !h.context || h.opening || h.closing) {
        return kRejectInvalidTag;
    }
    uint32_t v = 0;
    if (!tagDecodeInteger(&r.p, r.end, false, &v)) {
        return kRejectInvalidTag;
    }
    if (v > 0xFFFFFF) {
        return kErrorValueOutOfRange;
    }
    *state = (uint32_t{h.number} << 24) | v;
    return 0;
}

PackedError decEnumList(Rd &r, uint8_t closingN, uint32_t **list, uint32_t *count, uint32_t limit) {
    while (!atClosing(r, closingN)) {
        uint32_t v = 0;
        CODEC_TRY(appEnum(r, &v));
        CODEC_TRY(appendOne(list, count, v, limit));
    }
    return 0;
}

// ---- element decoders, one per datatype ----

struct Ctx {
    uint16_t objectType;
    uint32_t propertyId;
    int32_t arrayIndex;
    uint8_t closing;
};

bool isPriorityArray(const Ctx &c) {
    return c.propertyId == 87;
}

PackedError decAddressBinding(Rd &r, BACnetAddressBinding *e) {
    CODEC_TRY(appOid(r, &e->deviceId));
    CODEC_TRY(appU16(r, &e->network));
    return appOctets(r, e->mac, kMaxMac, &e->macLength);
}

PackedError decVTSession(Rd &r, BACnetVTSession *e) {
    CODEC_TRY(appU8(r, &e->localSessionId));
    CODEC_TRY(appU8(r, &e->remoteSessionId));
    CODEC_TRY(appU16(r, &e->remoteNetwork));
    return appOctets(r, e->mac, kMaxMac, &e->macLength);
}

// An application bit string whose first two octets must be `tag` `unused`
// and that carries one data octet.
PackedError decFixedBits(Rd &r, uint8_t unused, uint8_t *out) {
    if (r.left() < 3 || r.p[0] != 0x82 || r.p[1] != unused) {
        return kRejectInvalidTag;
    }
    *out = r.p[2];
    r.p += 3;
    return 0;
}

PackedError decDestination(Rd &r, BACnetDestination *e) {
    CODEC_TRY(decFixedBits(r, 0x01, &e->validDays));
    CODEC_TRY(appTime(r, &e->from));
    CODEC_TRY(appTime(r, &e->to));
    CODEC_TRY(decRecipient(r, &e->recipient));
    CODEC_TRY(appU(r, &e->processId));
    CODEC_TRY(appBool(r, &e->issueConfirmed));
    return decFixedBits(r, 0x05, &e->transitions);
}

PackedError decSessionKey(Rd &r, BACnetSessionKey *e) {
    if (r.left() < 10 || r.p[0] != 0x65 || r.p[1] != 0x08) {
        return kRejectInvalidTag;
    }
    std::memcpy(e->key, r.p + 2, 8);
    r.p += 10;
    CODEC_TRY(appU16(r, &e->network));
    return appOctets(r, e->mac, kMaxMac, &e->macLength);
}

PackedError decReadAccessSpec(Rd &r, ReadAccessSpecification *e) {
    CODEC_TRY(ctxOid(r, 0, &e->objectId));
    CODEC_TRY(open(r, 1));
    e->references = static_cast<BACnetPropertyReference *>(
        appCalloc(kMaxReadAccessReferences * sizeof(BACnetPropertyReference)));
    if (e->references == nullptr) {
        return kErrorOutOfMemory;
    }
    e->ownsList = 1;
    while (!atClosing(r, 1)) {
        if (e->referenceCount == kMaxReadAccessReferences) {
            return kErrorOutOfMemory;
        }
        BACnetPropertyReference &ref = e->references[e->referenceCount];
        CODEC_TRY(ctxU(r, 0, &ref.propertyId));
        ref.arrayIndex = kNoIndex;
        if (atCtx(r, 1)) {
            CODEC_TRY(ctxIndex(r, 1, &ref.arrayIndex));
        }
        e->referenceCount++;
    }
    return close(r, 1);
}

PackedError decDailySchedule(Rd &r, BACnetDailySchedule *e) {
    CODEC_TRY(open(r, 0));
    while (!atClosing(r, 0)) {
        BACnetTimeValue tv{};
        PackedError err = propDecodeTimeValue(&r.p, r.end, &tv);
        if (err == 0) {
            err = appendOne(&e->timeValues, &e->timeValueCount, tv, kMaxEventListEntries);
        }
        if (err != 0) {
            propFreeValue(&tv.value);
            return err;
        }
    }
    return close(r, 0);
}

PackedError decActionCommand(Rd &r, BACnetActionCommand *c) {
    CODEC_TRY(decDevObjRef(r, &c->deviceId, &c->objectId));
    CODEC_TRY(ctxU(r, 2, &c->propertyId));
    c->arrayIndex = kNoIndex;
    if (atCtx(r, 3)) {
        CODEC_TRY(ctxIndex(r, 3, &c->arrayIndex));
    }
    CODEC_TRY(open(r, 4));
    CODEC_TRY(appPrimitive(r, &c->value));
    CODEC_TRY(close(r, 4));
    c->priority = 0;
    if (atCtx(r, 5)) {
        CODEC_TRY(ctxU8(r, 5, &c->priority));
    }
    c->postDelay = kAbsent;
    if (atCtx(r, 6)) {
        CODEC_TRY(ctxU(r, 6, &c->postDelay));
    }
    CODEC_TRY(ctxBool(r, 7, &c->quitOnFailure));
    return ctxBool(r, 8, &c->writeSuccessful);
}

PackedError decActionList(Rd &r, BACnetActionList *e) {
    CODEC_TRY(open(r, 0));
    uint32_t count = 0;
    while (!atClosing(r, 0)) {
        BACnetActionCommand cmd{};
        PackedError err = decActionCommand(r, &cmd);
        if (err == 0) {
            err = appendOne(&e->commands, &count, cmd, 0xFFFF);
        }
        e->commandCount = static_cast<uint16_t>(count);
        e->ownsList = e->commands != nullptr;
        if (err != 0) {
            propFreeValue(&cmd.value);
            return err;
        }
    }
    return close(r, 0);
}

PackedError decReadAccessResult(Rd &r, ReadAccessResult *e) {
    CODEC_TRY(ctxOid(r, 0, &e->objectId));
    CODEC_TRY(open(r, 1));
    uint32_t count = 0;
    while (!atClosing(r, 1)) {
        BACnetReadResult res{};
        PackedError err = ctxU(r, 2, &res.propertyId);
        res.arrayIndex = kNoIndex;
        if (err == 0 && atCtx(r, 3)) {
            err = ctxIndex(r, 3, &res.arrayIndex);
        }
        if (err == 0) {
            err = decValueOrError(r, 4, &res.value);
        }
        if (err == 0) {
            err = appendOne(&e->results, &count, res, 0xFFFF);
        }
        e->resultCount = static_cast<uint16_t>(count);
        e->ownsResults = e->results != nullptr;
        if (err != 0) {
            if (res.value.datatype != kDtUnknown) {
                propFreeValue(&res.value);
            }
            return err;
        }
    }
    return close(r, 1);
}

PackedError decCovSubscription(Rd &r, BACnetCOVSubscription *e) {
    CODEC_TRY(open(r, 0));
    CODEC_TRY(open(r, 0));
    CODEC_TRY(decRecipient(r, &e->recipient));
    CODEC_TRY(close(r, 0));
    CODEC_TRY(ctxU(r, 1, &e->processId));
    CODEC_TRY(close(r, 0));
    CODEC_TRY(open(r, 1));
    CODEC_TRY(ctxOid(r, 0, &e->objectId));
    CODEC_TRY(ctxU(r, 1, &e->propertyId));
    e->arrayIndex = kNoIndex;
    if (atCtx(r, 2)) {
        CODEC_TRY(ctxIndex(r, 2, &e->arrayIndex));
    }
    CODEC_TRY(close(r, 1));
    CODEC_TRY(ctxBool(r, 2, &e->issueConfirmed));
    CODEC_TRY(ctxU(r, 3, &e->timeRemaining));
    e->hasCovIncrement = 0;
    if (atCtx(r, 4)) {
        CODEC_TRY(ctxReal(r, 4, &e->covIncrement));
        e->hasCovIncrement = 1;
    }
    return 0;
}

PackedError decAccumulatorRecord(Rd &r, BACnetAccumulatorRecord *e) {
    CODEC_TRY(decDateTimeOpen(r, 0, &e->date, &e->time));
    CODEC_TRY(ctxU(r, 1, &e->presentValue));
    CODEC_TRY(ctxU(r, 2, &e->accumulatedValue));
    return ctxU(r, 3, &e->accumulatorStatus);
}

PackedError decScale(Rd &r, BACnetScale *e) {
    if (atCtx(r, 0)) {
        e->choice = 4;
        return ctxReal(r, 0, &e->floatScale);
    }
    e->choice = 3;
    return ctxS(r, 1, &e->integerScale);
}

PackedError decPrescale(Rd &r, BACnetPrescale *e) {
    CODEC_TRY(ctxU(r, 0, &e->multiplier));
    return ctxU(r, 1, &e->moduloDivide);
}

PackedError decShedLevel(Rd &r, BACnetShedLevel *e) {
    if (atCtx(r, 0)) {
        e->choice = 0;
        return ctxU(r, 0, &e->value);
    }
    if (atCtx(r, 1)) {
        e->choice = 1;
        return ctxU(r, 1, &e->value);
    }
    e->choice = 2;
    return ctxReal(r, 2, &e->amount);
}

PackedError decAuthenticationPolicy(Rd &r, BACnetAuthenticationPolicy *e) {
    CODEC_TRY(open(r, 0));
    uint32_t count = 0;
    while (atOpening(r, 0)) {
        BACnetAuthenticationPolicyEntry entry{};
        CODEC_TRY(open(r, 0));
        CODEC_TRY(decDevObjRef(r, &entry.deviceId, &entry.objectId));
        CODEC_TRY(close(r, 0));
        CODEC_TRY(ctxU(r, 1, &entry.index));
        const PackedError err = appendOne(&e->entries, &count, entry, 0xFFFF);
        e->entryCount = static_cast<uint16_t>(count);
        e->ownsList = e->entries != nullptr;
        CODEC_TRY(err);
    }
    CODEC_TRY(close(r, 0));
    CODEC_TRY(ctxBool(r, 1, &e->orderEnforced));
    return ctxU(r, 2, &e->timeout);
}

PackedError decAccessRule(Rd &r, BACnetAccessRule *e) {
    CODEC_TRY(ctxU(r, 0, &e->timeRangeSpecifier));
    e->timeRange = {kAbsent, kAbsent, kNoIndex, kAbsent};
    if (atOpening(r, 1)) {
        CODEC_TRY(open(r, 1));
        CODEC_TRY(decDevObjPropRef(r, &e->timeRange));
        CODEC_TRY(close(r, 1));
    }
    CODEC_TRY(ctxU(r, 2, &e->locationSpecifier));
    e->locationDeviceId = kAbsent;
    e->locationObjectId = kAbsent;
    if (atOpening(r, 3)) {
        CODEC_TRY(open(r, 3));
        CODEC_TRY(decDevObjRef(r, &e->locationDeviceId, &e->locationObjectId));
        CODEC_TRY(close(r, 3));
    }
    return ctxBool(r, 4, &e->enable);
}

PackedError decAssignedAccessRights(Rd &r, BACnetAssignedAccessRights *e) {
    CODEC_TRY(open(r, 0));
    CODEC_TRY(decDevObjRef(r, &e->deviceId, &e->objectId));
    CODEC_TRY(close(r, 0));
    return ctxBool(r, 1, &e->enable);
}

// A context-tagged octet string into an owned PropertyValue of datatype 6.
PackedError ctxOctetValue(Rd &r, uint8_t n, PropertyValue *v) {
    TagHeader h;
    if (!atCtx(r, n) || !peek(r, &h)) {
        return kRejectInvalidTag;
    }
    v->datatype = kDtOctetString;
    v->length = static_cast<uint16_t>(h.length);
    v->value.block = nullptr;
    if (h.length > 0) {
        auto *block = static_cast<uint8_t *>(appCalloc(h.length));
        if (block == nullptr) {
            return kErrorOutOfMemory;
        }
        std::memcpy(block, r.p + h.headerSize, h.length);
        v->value.block = block;
        v->ownsValue = 1;
    }
    r.p += h.headerSize + h.length;
    return 0;
}

PackedError decAuthenticationFactor(Rd &r, BACnetAuthenticationFactor *e) {
    CODEC_TRY(ctxU(r, 0, &e->formatType));
    CODEC_TRY(ctxU(r, 1, &e->formatClass));
    return ctxOctetValue(r, 2, &e->value);
}

PackedError decAuthenticationFactorFormat(Rd &r, BACnetAuthenticationFactorFormat *e) {
    CODEC_TRY(ctxU(r, 0, &e->formatType));
    e->vendorId = kAbsent;
    e->vendorFormat = kAbsent;
    if (atCtx(r, 1)) {
        CODEC_TRY(ctxU(r, 1, &e->vendorId));
    }
    if (atCtx(r, 2)) {
        CODEC_TRY(ctxU(r, 2, &e->vendorFormat));
    }
    return 0;
}

PackedError decCredentialAuthenticationFactor(Rd &r, BACnetCredentialAuthenticationFactor *e) {
    CODEC_TRY(ctxU(r, 0, &e->disable));
    CODEC_TRY(open(r, 1));
    CODEC_TRY(ctxU(r, 0, &e->formatType));
    CODEC_TRY(ctxU(r, 1, &e->formatClass));
    CODEC_TRY(ctxOctetValue(r, 2, &e->value));
    return close(r, 1);
}

PackedError decPropertyAccessResult(Rd &r, BACnetPropertyAccessResult *e) {
    BACnetDeviceObjectPropertyReference ref{};
    CODEC_TRY(decDevObjPropRef(r, &ref));
    e->objectId = ref.objectId;
    e->propertyId = ref.propertyId;
    e->arrayIndex = ref.arrayIndex;
    e->deviceId = ref.deviceId;
    return decValueOrError(r, 4, &e->value);
}

PackedError decNetworkSecurityPolicy(Rd &r, BACnetNetworkSecurityPolicy *e) {
    CODEC_TRY(ctxU8(r, 0, &e->portId));
    return ctxU(r, 1, &e->securityLevel);
}

PackedError decSecurityKeySet(Rd &r, BACnetSecurityKeySet *e) {
    CODEC_TRY(ctxU8(r, 0, &e->keyRevision));
    CODEC_TRY(decDateTimeOpen(r, 1, &e->activationDate, &e->activationTime));
    CODEC_TRY(decDateTimeOpen(r, 2, &e->expirationDate, &e->expirationTime));
    CODEC_TRY(open(r, 3));
    uint32_t count = 0;
    while (!atClosing(r, 3)) {
        if (count == kMaxKeyIdentifiers) {
            return kRejectInvalidTag;
        }
        BACnetKeyIdentifier key{};
        CODEC_TRY(ctxU8(r, 0, &key.algorithm));
        CODEC_TRY(ctxU8(r, 1, &key.keyNumber));
        const PackedError err = appendOne(&e->keys, &count, key, kMaxKeyIdentifiers);
        e->keyCount = static_cast<uint8_t>(count);
        e->ownsKeys = e->keys != nullptr;
        CODEC_TRY(err);
    }
    return close(r, 3);
}

PackedError decEventNotificationSubscription(Rd &r, BACnetEventNotificationSubscription *e) {
    CODEC_TRY(open(r, 0));
    CODEC_TRY(decRecipient(r, &e->recipient));
    CODEC_TRY(close(r, 0));
    CODEC_TRY(ctxU(r, 1, &e->processId));
    CODEC_TRY(ctxBool(r, 2, &e->issueConfirmed));
    return ctxU(r, 3, &e->timeRemaining);
}

PackedError decPortPermission(Rd &r, BACnetPortPermission *e) {
    CODEC_TRY(ctxU8(r, 0, &e->portId));
    return ctxBool(r, 1, &e->enabled);
}

PackedError decChannelValue(Rd &r, BACnetChannelValue *e) {
    if (atOpening(r, 0)) {
        CODEC_TRY(open(r, 0));
        auto *cmd = static_cast<BACnetLightingCommand *>(appCalloc(sizeof(BACnetLightingCommand)));
        if (cmd == nullptr) {
            return kErrorOutOfMemory;
        }
        e->datatype = kDtLightingCommand;
        e->value.block = cmd;
        e->ownsValue = 1;
        CODEC_TRY(propDecodeLightingCommand(&r.p, r.end, cmd));
        return close(r, 0);
    }
    PropertyValue v{};
    CODEC_TRY(appPrimitive(r, &v));
    e->datatype = v.datatype;
    e->ownsValue = v.ownsValue;
    e->length = v.length;
    e->value = v.value;
    return 0;
}

PackedError decTimeStamp(Rd &r, BACnetTimeStamp *e) {
    if (atCtx(r, 1)) {
        e->choice = 1;
        return ctxU16(r, 1, &e->sequenceNumber);
    }
    if (atOpening(r, 2)) {
        e->choice = 2;
        return decDateTimeOpen(r, 2, &e->date, &e->time);
    }
    if (atCtx(r, 0)) {
        e->choice = 0;
        TagHeader h;
        if (!peek(r, &h) || h.length != 4) {
            return kRejectInvalidTag;
        }
        std::memcpy(&e->time, r.p + h.headerSize, 4);
        std::memset(&e->date, 0xFF, sizeof e->date);
        r.p += h.headerSize + 4;
        return 0;
    }
    return kRejectInvalidTag;
}

PackedError decFaultParameter(Rd &r, BACnetFaultParameter *e) {
    TagHeader h;
    if (!peek(r, &h) || !h.context) {
        return kRejectInvalidTag;
    }
    if (!h.opening) {
        if (h.number != 0 || h.length != 0 || h.closing) {
            return kRejectInvalidTag;
        }
        e->choice = 0;
        r.p += h.headerSize;
        return 0;
    }
    e->choice = h.number;
    uint32_t count = 0;
    switch (h.number) {
        case 1: {  // fault-characterstring
            CODEC_TRY(open(r, 1));
            CODEC_TRY(open(r, 0));
            void *list = nullptr;
            const PackedError err = packedStrings(r, 0, &list, &count, 255);
            e->list = list;
            e->ownsList = list != nullptr;
            e->listCount = static_cast<uint8_t>(count);
            CODEC_TRY(err);
            CODEC_TRY(close(r, 0));
            return close(r, 1);
        }
        case 3: {  // fault-life-safety
            CODEC_TRY(open(r, 3));
            CODEC_TRY(open(r, 0));
            uint32_t *list = nullptr;
            const PackedError err = decEnumList(r, 0, &list, &count, 255);
            e->list = list;
            e->ownsList = list != nullptr;
            e->listCount = static_cast<uint8_t>(count);
            CODEC_TRY(err);
            CODEC_TRY(close(r, 0));
            CODEC_TRY(open(r, 1));
            CODEC_TRY(decDevObjPropRef(r, &e->reference));
            CODEC_TRY(close(r, 1));
            return close(r, 3);
        }
        case 4: {  // fault-state
            CODEC_TRY(open(r, 4));
            CODEC_TRY(open(r, 0));
            uint32_t *list = nullptr;
            PackedError err = 0;
            while (err == 0 && !atClosing(r, 0)) {
                uint32_t state = 0;
                err = decPropertyState(r, &state);
                if (err == 0) {
                    err = appendOne(&list, &count, state, 255);
                }
            }
            e->list = list;
            e->ownsList = list != nullptr;
            e->listCount = static_cast<uint8_t>(count);
            CODEC_TRY(err);
            CODEC_TRY(close(r, 0));
            return close(r, 4);
        }
        case 5:  // fault-status-flags
            CODEC_TRY(open(r, 5));
            CODEC_TRY(open(r, 0));
            CODEC_TRY(decDevObjPropRef(r, &e->reference));
            CODEC_TRY(close(r, 0));
            return close(r, 5);
        default:  // fault-extended and unknown choices
            return kRejectInvalidTag;
    }
}

// ---- the element loop ----

void freeElements(uint8_t code, void *block, uint32_t count) {
    const uint32_t size = propElementSize(code);
    auto *base = static_cast<uint8_t *>(block);
    for (uint32_t i = 0; base != nullptr && i < count; ++i) {
        propFreeNested(code, base + size_t{i} * size);
    }
}

// Collects elements of record type T until the closing tag. `max` limits the
// number of elements (0: no limit); `exact` requires that many.
template <typename T, typename F>
PackedError collect(Rd &r, const Ctx &c, PropertyValue *out, uint8_t code, uint32_t max, uint32_t exact,
                    F decodeOne) {
    static_assert(sizeof(T) <= kStagingOctets, "a record must fit the staging area");
    constexpr uint32_t kBatch = kStagingOctets / sizeof(T);
    alignas(std::max_align_t) unsigned char staging[kStagingOctets];
    std::memset(staging, 0, sizeof staging);
    T *st = reinterpret_cast<T *>(staging);
    uint32_t staged = 0;
    uint32_t moved = 0;
    uint32_t position = 0;
    void *block = nullptr;

    auto flush = [&]() -> bool {
        if (staged == 0) {
            return true;
        }
        const uint64_t octets = uint64_t{moved + staged} * sizeof(T);
        auto *grown = static_cast<unsigned char *>(appCalloc(static_cast<uint32_t>(octets)));
        if (grown == nullptr) {
            return false;
        }
        if (moved > 0) {
            std::memcpy(grown, block, size_t{moved} * sizeof(T));
        }
        std::memcpy(grown + size_t{moved} * sizeof(T), staging, size_t{staged} * sizeof(T));
        appFree(block);
        block = grown;
        moved += staged;
        staged = 0;
        std::memset(staging, 0, sizeof staging);
        return true;
    };
    auto fail = [&](PackedError e) {
        freeElements(code, st, staged);
        freeElements(code, block, moved);
        appFree(block);
        out->count = static_cast<uint16_t>(position > 0xFFFF ? 0xFFFF : position);
        return e;
    };

    for (;;) {
        if (r.p >= r.end) {
            return fail(kRejectInvalidTag);
        }
        if (*r.p == c.closing) {
            break;
        }
        if ((max != 0 && position == max) || position == 0xFFFF) {
            // One element more than the property holds.
            ++position;
            return fail(kRejectInvalidTag);
        }
        ++position;
        T *slot = &st[staged];
        const PackedError e = decodeOne(r, slot, position);
        ++staged;  // a partial element is released with the others
        if (e != 0) {
            return fail(e);
        }
        if (staged == kBatch && !flush()) {
            return fail(kErrorOutOfMemory);
        }
    }
    if (exact != 0 && position != exact) {
        return fail(kRejectInvalidTag);
    }
    if (!flush()) {
        return fail(kErrorOutOfMemory);
    }
    out->datatype = code;
    out->count = static_cast<uint16_t>(moved);
    out->value.block = block;
    out->ownsValue = block != nullptr ? 1 : 0;
    return 0;
}

// Character strings go one by one, each record its header and characters.
PackedError collectStrings(Rd &r, const Ctx &c, PropertyValue *out, uint32_t max) {
    void *block = nullptr;
    uint32_t octets = 0;
    uint32_t position = 0;
    PackedError err = 0;
    for (;;) {
        if (r.p >= r.end) {
            err = kRejectInvalidTag;
            break;
        }
        if (*r.p == c.closing) {
            break;
        }
        ++position;
        if ((max != 0 && position > max) || position > 0xFFFF) {
            err = kRejectInvalidTag;
            break;
        }
        CharString *s = nullptr;
        err = appCharString(r, &s);
        if (err == 0) {
            err = appendPackedString(&block, &octets, s);
            appFree(s);
        }
        if (err != 0) {
            break;
        }
    }
    if (err != 0) {
        appFree(block);
        out->count = static_cast<uint16_t>(position > 0xFFFF ? 0xFFFF : position);
        return err;
    }
    out->datatype = kDtCharString;
    out->count = static_cast<uint16_t>(position);
    out->value.block = block;
    out->ownsValue = block != nullptr ? 1 : 0;
    return 0;
}

PackedError decAnyElement(Rd &r, const Ctx &c, PropertyValue *v) {
    const bool wrapped = isPriorityArray(c) && (c.objectType == 43 || c.objectType == 44) && atOpening(r, 1);
    if (wrapped) {
        CODEC_TRY(open(r, 1));
    }
    if (r.left() >= 10 && r.p[0] == 0xA4 && r.p[5] == 0xB4) {
        v->datatype = kDtDateTime;
        std::memcpy(&v->value.dateTime.date, r.p + 1, 4);
        std::memcpy(&v->value.dateTime.time, r.p + 6, 4);
        r.p += 10;
    } else {
        CODEC_TRY(appPrimitive(r, v));
    }
    if (wrapped) {
        CODEC_TRY(close(r, 1));
    }
    return 0;
}

PackedError elementLoop(Rd &r, const Ctx &c, PropertyValue *out, uint8_t code, bool isList) {
    // A property that is no array or list holds one element; an indexed write
    // of an array element, one.
    const uint32_t max = (!isList || c.arrayIndex > 0) ? 1 : 0;
    const bool pa = isPriorityArray(c);
    switch (code) {
        case kDtBoolean:
            return collect<uint8_t>(r, c, out, code, max, 0, [](Rd &rr, uint8_t *e, uint32_t) {
                uint8_t b = 0;
                CODEC_TRY(appBool(rr, &b));
                *e = b;
                return PackedError{0};
            });
        case kDtUnsigned:
        case kDtEnumerated:
            return collect<uint32_t>(r, c, out, code, max, 0, [pa, code](Rd &rr, uint32_t *e, uint32_t) {
                if (pa && atApp(rr, kDtNull) && *rr.p == 0x00) {
                    rr.p += 1;
                    *e = kAbsent;
                    return PackedError{0};
                }
                CODEC_TRY(appTag(rr, code));
                return tagDecodeUnsigned(&rr.p, rr.end, e) ? PackedError{0} : kRejectInvalidTag;
            });
        case kDtReal:
            return collect<uint32_t>(r, c, out, code, max, 0, [pa](Rd &rr, uint32_t *e, uint32_t) {
                if (pa && atApp(rr, kDtNull) && *rr.p == 0x00) {
                    rr.p += 1;
                    *e = 0xFFFFFFFFu;
                    return PackedError{0};
                }
                CODEC_TRY(appTag(rr, kDtReal));
                float f = 0;
                if (*rr.p != 0x44 || !tagDecodeReal(&rr.p, rr.end, &f)) {
                    return kRejectInvalidTag;
                }
                std::memcpy(e, &f, 4);
                return PackedError{0};
            });
        case kDtCharString:
            return collectStrings(r, c, out, max);
        case kDtObjectId:
        case kDtObjectIdList:
            return collect<uint32_t>(r, c, out, code, max, 0,
                                     [](Rd &rr, uint32_t *e, uint32_t) { return appOid(rr, e); });
        case kDtAny:
            return collect<PropertyValue>(r, c, out, code, max, 0, [&c](Rd &rr, PropertyValue *e, uint32_t) {
                return decAnyElement(rr, c, e);
            });
        case kDtAddressBinding:
            return collect<BACnetAddressBinding>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetAddressBinding *e, uint32_t) { return decAddressBinding(rr, e); });
        case kDtRecipient:
            return collect<BACnetRecipient>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetRecipient *e, uint32_t) { return decRecipient(rr, e); });
        case kDtCalendarEntry:
            return collect<BACnetCalendarEntry>(r, c, out, code, max, 0,
                                                [](Rd &rr, BACnetCalendarEntry *e, uint32_t) {
                                                    return propDecodeCalendarEntry(&rr.p, rr.end, e);
                                                });
        case kDtObjectPropertyReference:
            return collect<BACnetObjectPropertyReference>(
                r, c, out, code, max, 0, [](Rd &rr, BACnetObjectPropertyReference *e, uint32_t pos) {
                    return decObjPropRef(rr, e, pos);
                });
        case kDtVTSession:
            return collect<BACnetVTSession>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetVTSession *e, uint32_t) { return decVTSession(rr, e); });
        case kDtDestination:
            return collect<BACnetDestination>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetDestination *e, uint32_t) { return decDestination(rr, e); });
        case kDtSessionKey:
            return collect<BACnetSessionKey>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetSessionKey *e, uint32_t) { return decSessionKey(rr, e); });
        case kDtReadAccessSpecification:
            return collect<ReadAccessSpecification>(
                r, c, out, code, max, 0,
                [](Rd &rr, ReadAccessSpecification *e, uint32_t) { return decReadAccessSpec(rr, e); });
        case kDtDailySchedule: {
            if (!atOpening(r, 0)) {
                out->count = 1;
                return kRejectInvalidTag;
            }
            const uint32_t days = c.arrayIndex > 0 ? 1 : 7;
            CODEC_TRY(collect<BACnetDailySchedule>(
                r, c, out, code, days, 0,
                [](Rd &rr, BACnetDailySchedule *e, uint32_t) { return decDailySchedule(rr, e); }));
            if (out->count != 1 && out->count != 7) {
                propFreeValue(out);
                out->value.block = nullptr;
                out->count = 0;
                return kRejectInvalidTag;
            }
            return 0;
        }
        case kDtSpecialEvent:
            return collect<BACnetSpecialEvent>(r, c, out, code, max, 0,
                                               [](Rd &rr, BACnetSpecialEvent *e, uint32_t) {
                                                   return propDecodeSpecialEvent(&rr.p, rr.end, e);
                                               });
        case kDtDeviceObjectReference:
            return collect<BACnetDeviceObjectReference>(
                r, c, out, code, max, 0, [](Rd &rr, BACnetDeviceObjectReference *e, uint32_t) {
                    return decDevObjRef(rr, &e->deviceId, &e->objectId);
                });
        case kDtDeviceObjectPropertyReference:
            return collect<BACnetDeviceObjectPropertyReference>(
                r, c, out, code, max, 0, [](Rd &rr, BACnetDeviceObjectPropertyReference *e, uint32_t) {
                    return decDevObjPropRef(rr, e);
                });
        case kDtTimeStamp:
            // The whole array of event time stamps holds three.
            return collect<BACnetTimeStamp>(
                r, c, out, code, isList && c.arrayIndex == kNoIndex ? 3 : 1,
                isList && c.arrayIndex == kNoIndex ? 3 : 1,
                [](Rd &rr, BACnetTimeStamp *e, uint32_t) { return decTimeStamp(rr, e); });
        case kDtActionList:
            return collect<BACnetActionList>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetActionList *e, uint32_t) { return decActionList(rr, e); });
        case kDtReadAccessResult:
            return collect<ReadAccessResult>(
                r, c, out, code, max, 0,
                [](Rd &rr, ReadAccessResult *e, uint32_t) { return decReadAccessResult(rr, e); });
        case kDtCOVSubscription:
            return collect<BACnetCOVSubscription>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetCOVSubscription *e, uint32_t) { return decCovSubscription(rr, e); });
        case kDtLogRecord:
            return collect<BACnetLogRecord>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetLogRecord *e, uint32_t) { return propDecodeLogRecord(&rr.p, rr.end, e); });
        case kDtAccumulatorRecord:
            return collect<BACnetAccumulatorRecord>(
                r, c, out, code, 1, 0,
                [](Rd &rr, BACnetAccumulatorRecord *e, uint32_t) { return decAccumulatorRecord(rr, e); });
        case kDtScale:
            return collect<BACnetScale>(r, c, out, code, max, 0,
                                        [](Rd &rr, BACnetScale *e, uint32_t) { return decScale(rr, e); });
        case kDtPrescale:
            return collect<BACnetPrescale>(r, c, out, code, 1, 0, [](Rd &rr, BACnetPrescale *e, uint32_t) {
                return decPrescale(rr, e);
            });
        case kDtShedLevel:
            return collect<BACnetShedLevel>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetShedLevel *e, uint32_t) { return decShedLevel(rr, e); });
        case kDtEventLogRecord:
            return collect<BACnetEventLogRecord>(r, c, out, code, max, 0,
                                                 [](Rd &rr, BACnetEventLogRecord *e, uint32_t) {
                                                     return propDecodeEventLogRecord(&rr.p, rr.end, e);
                                                 });
        case kDtLogMultipleRecord:
            return collect<BACnetLogMultipleRecord>(r, c, out, code, max, 0,
                                                    [](Rd &rr, BACnetLogMultipleRecord *e, uint32_t) {
                                                        return propDecodeLogMultipleRecord(&rr.p, rr.end, e);
                                                    });
        case kDtAuthenticationPolicy:
            return collect<BACnetAuthenticationPolicy>(r, c, out, code, max, 0,
                                                       [](Rd &rr, BACnetAuthenticationPolicy *e, uint32_t) {
                                                           return decAuthenticationPolicy(rr, e);
                                                       });
        case kDtAccessRule:
            return collect<BACnetAccessRule>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetAccessRule *e, uint32_t) { return decAccessRule(rr, e); });
        case kDtAssignedAccessRights:
            return collect<BACnetAssignedAccessRights>(r, c, out, code, max, 0,
                                                       [](Rd &rr, BACnetAssignedAccessRights *e, uint32_t) {
                                                           return decAssignedAccessRights(rr, e);
                                                       });
        case kDtAuthenticationFactor:
            return collect<BACnetAuthenticationFactor>(r, c, out, code, 1, 0,
                                                       [](Rd &rr, BACnetAuthenticationFactor *e, uint32_t) {
                                                           return decAuthenticationFactor(rr, e);
                                                       });
        case kDtAuthenticationFactorFormat:
            return collect<BACnetAuthenticationFactorFormat>(
                r, c, out, code, max, 0, [](Rd &rr, BACnetAuthenticationFactorFormat *e, uint32_t) {
                    return decAuthenticationFactorFormat(rr, e);
                });
        case kDtCredentialAuthenticationFactor:
            return collect<BACnetCredentialAuthenticationFactor>(
                r, c, out, code, max, 0, [](Rd &rr, BACnetCredentialAuthenticationFactor *e, uint32_t) {
                    return decCredentialAuthenticationFactor(rr, e);
                });
        case kDtPropertyAccessResult:
            return collect<BACnetPropertyAccessResult>(r, c, out, code, max, 0,
                                                       [](Rd &rr, BACnetPropertyAccessResult *e, uint32_t) {
                                                           return decPropertyAccessResult(rr, e);
                                                       });
        case kDtNetworkSecurityPolicy:
            return collect<BACnetNetworkSecurityPolicy>(r, c, out, code, max, 0,
                                                        [](Rd &rr, BACnetNetworkSecurityPolicy *e, uint32_t) {
                                                            return decNetworkSecurityPolicy(rr, e);
                                                        });
        case kDtSecurityKeySet:
            return collect<BACnetSecurityKeySet>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetSecurityKeySet *e, uint32_t) { return decSecurityKeySet(rr, e); });
        case kDtEventNotificationSubscription:
            return collect<BACnetEventNotificationSubscription>(
                r, c, out, code, max, 0, [](Rd &rr, BACnetEventNotificationSubscription *e, uint32_t) {
                    return decEventNotificationSubscription(rr, e);
                });
        case kDtPortPermission:
            return collect<BACnetPortPermission>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetPortPermission *e, uint32_t) { return decPortPermission(rr, e); });
        case kDtLightingCommand:
            return collect<BACnetLightingCommand>(r, c, out, code, max, 0,
                                                  [](Rd &rr, BACnetLightingCommand *e, uint32_t) {
                                                      return propDecodeLightingCommand(&rr.p, rr.end, e);
                                                  });
        case kDtChannelValue:
            return collect<BACnetChannelValue>(
                r, c, out, code, max, 0,
                [](Rd &rr, BACnetChannelValue *e, uint32_t) { return decChannelValue(rr, e); });
        default:
            // Arrays and lists of signed, double, octet string, bit string,
            // date and time values have no element form here.
            out->count = 1;
            return kErrorInvalidDataType;
    }
}

// A single record held in the value with count 0 (codes 35 and 58).
template <typename T, typename F>
PackedError singleRecord(Rd &r, const Ctx &c, PropertyValue *out, uint8_t code, F decodeOne) {
    auto *rec = static_cast<T *>(appCalloc(sizeof(T)));
    if (rec == nullptr) {
        out->count = 1;
        return kErrorOutOfMemory;
    }
    PackedError e = decodeOne(r, rec);
    if (e == 0 && (r.p >= r.end || *r.p != c.closing)) {
        e = kRejectInvalidTag;
    }
    if (e != 0) {
        propFreeNested(code, rec);
        appFree(rec);
        out->count = 1;
        return e;
    }
    out->datatype = code;
    out->count = 0;
    out->value.block = rec;
    out->ownsValue = 1;
    return 0;
}

PackedError checkClosing(const Rd &r, const Ctx &c) {
    return (r.p < r.end && *r.p == c.closing) ? 0 : kRejectInvalidTag;
}

PackedError decodeInto(Rd &r, const Ctx &c, PropertyValue *out) {
    uint8_t isList = 0;
    int code = propGetDatatype(c.objectType, c.propertyId, &isList);

    if (code == kDtUnknown) {
        if (c.propertyId < 512) {
            return kErrorInvalidDataType;
        }
        const PackedError e = appPrimitive(r, out);
        if (e != 0) {
            return kErrorInvalidDataType;
        }
        if (checkClosing(r, c) != 0) {
            propFreeValue(out);
            return kRejectInvalidTag;
        }
        return 0;
    }
    if (c.propertyId == 87 && isList && c.arrayIndex == kNoIndex && code != kDtReal &&
        code != kDtEnumerated && code != kDtUnsigned) {
        code = kDtAny;
    }
    if (c.propertyId == 7 && isList && c.arrayIndex == kNoIndex &&
        (c.objectType == 39 || c.objectType == 40)) {
        code = kDtAny;
    }
    if (isList && c.arrayIndex == 0) {
        code = kDtUnsigned;
        isList = 0;
    }
    if (code <= kDtAny && !isList) {
        if (code == kDtAny) {
            // A schedule's present value: one primitive of any type.
            CODEC_TRY(elementLoop(r, c, out, kDtAny, false));
            if (out->value.block == nullptr) {
                out->count = 0;
                return kRejectInvalidTag;
            }
            return 0;
        }
        CODEC_TRY(appPrimitive(r, out));
        if (checkClosing(r, c) != 0) {
            propFreeValue(out);
            return kRejectInvalidTag;
        }
        return 0;
    }
    switch (code) {
        case kDtDateRange:
            CODEC_TRY(appDate(r, &out->value.dateRange.start));
            CODEC_TRY(appDate(r, &out->value.dateRange.end));
            out->datatype = kDtDateRange;
            return checkClosing(r, c);
        case kDtDateTime:
            CODEC_TRY(appDate(r, &out->value.dateTime.date));
            CODEC_TRY(appTime(r, &out->value.dateTime.time));
            out->datatype = kDtDateTime;
            return checkClosing(r, c);
        case kDtProcessIdSelection:
            if (atApp(r, kDtNull)) {
                if (*r.p != 0x00) {
                    return kRejectInvalidTag;
                }
                r.p += 1;
                out->value.processIdSelection = {0, 0};
            } else {
                uint32_t pid = 0;
                CODEC_TRY(appU(r, &pid));
                out->value.processIdSelection = {2, pid};
            }
            out->datatype = kDtProcessIdSelection;
            return checkClosing(r, c);
        case kDtSetpointReference: {
            out->datatype = kDtSetpointReference;
            if (checkClosing(r, c) == 0) {
                return 0;  // an empty setpoint reference
            }
            out->count = 1;
            CODEC_TRY(open(r, 0));
            BACnetObjectPropertyReference ref{};
            CODEC_TRY(decObjPropRef(r, &ref, 1));
            CODEC_TRY(close(r, 0));
            CODEC_TRY(checkClosing(r, c));
            auto *block = static_cast<BACnetObjectPropertyReference *>(appCalloc(sizeof ref));
            if (block == nullptr) {
                return kErrorOutOfMemory;
            }
            *block = ref;
            out->value.block = block;
            out->ownsValue = 1;
            out->count = 1;
            return 0;
        }
        case kDtEventParameter:
            return singleRecord<BACnetEventParameter>(
                r, c, out, kDtEventParameter,
                [](Rd &rr, BACnetEventParameter *e) { return propDecodeEventParameter(&rr.p, rr.end, e); });
        case kDtFaultParameter:
            return singleRecord<BACnetFaultParameter>(
                r, c, out, kDtFaultParameter,
                [](Rd &rr, BACnetFaultParameter *e) { return decFaultParameter(rr, e); });
        default:
            break;
    }
    CODEC_TRY(elementLoop(r, c, out, static_cast<uint8_t>(code), isList != 0));
    if (!isList && out->value.block == nullptr) {
        // A single constructed value that yielded nothing.
        out->count = 0;
        return kRejectInvalidTag;
    }
    if (out->count == 0 && code <= kDtObjectId) {
        // For primitive codes a count of 0 means one inline value, so an
        // empty array or list is told apart as the empty list.
        out->datatype = kDtEmptyList;
    }
    return 0;
}

}  // namespace

PackedError propDecodeValue(const uint8_t **cursor, uint32_t objectId, uint32_t propertyId,
                            PropertyValue *out, uint32_t available, uint8_t closingTag, int32_t arrayIndex) {
    if (cursor == nullptr || *cursor == nullptr || out == nullptr) {
        return kRejectInvalidTag;
    }
    const PropertyValueData callerValue = out->value;
    out->ownsValue = 0;
    out->count = 0;
    Rd r{*cursor, *cursor + available};
    const Ctx c{static_cast<uint16_t>(objectId >> 22), propertyId, arrayIndex, closingTag};
    const PackedError e = decodeInto(r, c, out);
    if (e != 0) {
        // Everything decoded has been released; the caller's value stays.
        out->ownsValue = 0;
        out->value = callerValue;
        if (out->count == 0) {
            out->count = 1;
        }
    }
    *cursor = r.p;
    return e;
}

PackedError propDecodeCalendarEntry(const uint8_t **cursor, const uint8_t *end, BACnetCalendarEntry *out) {
    Rd r{*cursor, end};
    TagHeader h;
    if (!peek(r, &h)) {
        return kRejectInvalidTag;
    }
    if (atCtx(r, 0)) {
        if (h.length != 4) {
            return kRejectInvalidTag;
        }
        out->choice = 0;
        std::memcpy(&out->date, r.p + h.headerSize, 4);
        r.p += h.headerSize + 4;
    } else if (atOpening(r, 1)) {
        out->choice = 1;
        CODEC_TRY(open(r, 1));
        CODEC_TRY(appDate(r, &out->date));
        CODEC_TRY(appDate(r, &out->endDate));
        CODEC_TRY(close(r, 1));
    } else if (atCtx(r, 2)) {
        if (h.length != 3) {
            return kRejectInvalidTag;
        }
        const uint8_t *w = r.p + h.headerSize;
        const bool ok = ((w[0] >= 1 && w[0] <= 14) || w[0] == 255) &&
                        ((w[1] >= 1 && w[1] <= 6) || w[1] == 255) &&
                        ((w[2] >= 1 && w[2] <= 7) || w[2] == 255);
        if (!ok) {
            return kErrorValueOutOfRange;
        }
        out->choice = 2;
        std::memcpy(out->weekNDay, w, 3);
        r.p += h.headerSize + 3;
    } else {
        return kErrorInvalidDataType;
    }
    *cursor = r.p;
    return 0;
}

PackedError propDecodeTimeValue(const uint8_t **cursor, const uint8_t *end, BACnetTimeValue *out) {
    Rd r{*cursor, end};
    if (r.p >= r.end || *r.p != 0xB4) {
        return kErrorInvalidDataType;
    }
    CODEC_TRY(appTime(r, &out->time));
    CODEC_TRY(appPrimitive(r, &out->value));
    *cursor = r.p;
    return 0;
}

PackedError propDecodeLightingCommand(const uint8_t **cursor, const uint8_t *end,
                                      BACnetLightingCommand *out) {
    Rd r{*cursor, end};
    CODEC_TRY(ctxU(r, 0, &out->operation));
    if (atCtx(r, 1)) {
        CODEC_TRY(ctxReal(r, 1, &out->targetLevel));
        out->hasTargetLevel = 1;
    }
    if (atCtx(r, 2)) {
        CODEC_TRY(ctxReal(r, 2, &out->rampRate));
        out->hasRampRate = 1;
    }
    if (atCtx(r, 3)) {
        CODEC_TRY(ctxReal(r, 3, &out->stepIncrement));
        out->hasStepIncrement = 1;
    }
    if (atCtx(r, 4)) {
        CODEC_TRY(ctxU(r, 4, &out->fadeTime));
        out->hasFadeTime = 1;
    }
    if (atCtx(r, 5)) {
        CODEC_TRY(ctxU8(r, 5, &out->priority));
        out->hasPriority = 1;
    }
    *cursor = r.p;
    return 0;
}

PackedError propDecodeBitStringValue(const uint8_t **cursor, const uint8_t *end, PropertyValue *out) {
    TagHeader h;
    if (!tagDecodeHeader(*cursor, end, &h) || h.opening || h.closing || h.length == 0) {
        return kRejectInvalidTag;
    }
    const uint32_t octets = h.length - 1;
    out->datatype = kDtBitString;
    out->ownsValue = 0;
    if (h.length <= 8) {
        std::memset(out->value.octets, 0, sizeof out->value.octets);
        return tagDecodeBitString(cursor, end, out->value.octets, 7, &out->length) ? 0 : kRejectInvalidTag;
    }
    auto *block = static_cast<uint8_t *>(appCalloc(octets));
    if (block == nullptr) {
        return kErrorOutOfMemory;
    }
    if (!tagDecodeBitString(cursor, end, block, octets, &out->length)) {
        appFree(block);
        return kRejectInvalidTag;
    }
    out->value.block = block;
    out->ownsValue = 1;
    return 0;
}

PackedError propDecodeSpecialEvent(const uint8_t **cursor, const uint8_t *end, BACnetSpecialEvent *out) {
    Rd r{*cursor, end};
    if (atOpening(r, 0)) {
        out->periodChoice = 0;
        out->calendarId = kAbsent;
        CODEC_TRY(open(r, 0));
        CODEC_TRY(propDecodeCalendarEntry(&r.p, r.end, &out->calendarEntry));
        CODEC_TRY(close(r, 0));
    } else if (atCtx(r, 1)) {
        out->periodChoice = 1;
        CODEC_TRY(ctxOid(r, 1, &out->calendarId));
    } else {
        return kRejectInvalidTag;
    }
    CODEC_TRY(open(r, 2));
    while (r.p < r.end && *r.p == 0xB4) {
        BACnetTimeValue tv{};
        PackedError err = propDecodeTimeValue(&r.p, r.end, &tv);
        if (err == 0) {
            err = appendOne(&out->timeValues, &out->timeValueCount, tv, kMaxSpecialEventTimeValues - 1);
        }
        if (err != 0) {
            propFreeValue(&tv.value);
            return err;
        }
    }
    CODEC_TRY(close(r, 2));
    CODEC_TRY(ctxU8(r, 3, &out->priority));
    *cursor = r.p;
    return 0;
}

PackedError propDecodeLogRecord(const uint8_t **cursor, const uint8_t *end, BACnetLogRecord *out) {
    Rd r{*cursor, end};
    CODEC_TRY(decDateTimeOpen(r, 0, &out->date, &out->time));
    CODEC_TRY(open(r, 1));
    TagHeader h;
    if (!peek(r, &h) || !h.context || h.closing) {
        return kRejectInvalidTag;
    }
    out->datumChoice = h.number;
    // The datum is decoded from its context tag directly: the received octets
    // are never rewritten.
    static constexpr uint8_t kDatumType[] = {kDtBitString, kDtBoolean,   kDtReal, kDtEnumerated, kDtUnsigned,
                                             kDtSigned,    kDtBitString, kDtNull, kDtUnknown,    kDtReal};
    if (h.number > 9) {
        return kRejectInvalidTag;
    }
    if (h.number == 8) {
        out->datum.datatype = kDtUnknown;
        CODEC_TRY(decErrorPair(r, 8, &out->datum.value.u));
    } else {
        if (h.opening) {
            return kRejectInvalidTag;
        }
        CODEC_TRY(ctxPrimitiveInto(r, h.number, kDatumType[h.number], &out->datum));
    }
    CODEC_TRY(close(r, 1));
    out->statusFlags = 255;
    if (atCtx(r, 2)) {
        uint8_t bits[1] = {0};
        uint16_t count = 0;
        CODEC_TRY(ctxBits(r, 2, bits, 1, &count));
        out->statusFlags = bits[0] & 0xF0;
    }
    *cursor = r.p;
    return 0;
}

PackedError propDecodeLogMultipleRecord(const uint8_t **cursor, const uint8_t *end,
                                        BACnetLogMultipleRecord *out) {
    Rd r{*cursor, end};
    CODEC_TRY(decDateTimeOpen(r, 0, &out->date, &out->time));
    CODEC_TRY(open(r, 1));
    if (atCtx(r, 0)) {
        out->choice = 0;
        uint16_t bits = 0;
        CODEC_TRY(ctxBits(r, 0, &out->statusBits, 1, &bits));
    } else if (atOpening(r, 1)) {
        out->choice = 1;
        CODEC_TRY(open(r, 1));
        uint32_t count = 0;
        while (!atClosing(r, 1)) {
            BACnetLogMultipleEntry entry{};
            TagHeader h;
            if (!peek(r, &h) || !h.context) {
                return kRejectInvalidTag;
            }
            entry.choice = h.number;
            PackedError err = 0;
            switch (h.number) {
                case 0: {
                    uint8_t b = 0;
                    err = ctxBool(r, 0, &b);
                    entry.datum = b;
                    break;
                }
                case 1: {
                    float f = 0;
                    err = ctxReal(r, 1, &f);
                    std::memcpy(&entry.datum, &f, 4);
                    break;
                }
                case 2:
                case 3:
                    err = ctxU(r, h.number, &entry.datum);
                    break;
                case 4: {
                    int32_t s = 0;
                    err = ctxS(r, 4, &s);
                    entry.datum = static_cast<uint32_t>(s);
                    break;
                }
                case 5: {
                    uint8_t bits[4] = {0, 0, 0, 0};
                    uint16_t n = 0;
                    TagHeader bh;
                    if (peek(r, &bh) && bh.length > 5) {
                        err = kErrorOutOfMemory;  // more than 32 bits
                        break;
                    }
                    err = ctxBits(r, 5, bits, 4, &n);
                    entry.bitCount = static_cast<uint8_t>(n);
                    entry.datum = (uint32_t{bits[0]} << 24) | (uint32_t{bits[1]} << 16) |
                                  (uint32_t{bits[2]} << 8) | bits[3];
                    break;
                }
                case 6:
                    err = ctxNull(r, 6);
                    break;
                case 7:
                    err = decErrorPair(r, 7, &entry.datum);
                    break;
                default:
                    err = kRejectInvalidTag;
            }
            if (err == 0) {
                err = appendOne(&out->entries, &count, entry, 255);
            }
            out->entryCount = static_cast<uint8_t>(count);
            out->ownsEntries = out->entries != nullptr;
            CODEC_TRY(err);
        }
        CODEC_TRY(close(r, 1));
    } else if (atCtx(r, 2)) {
        out->choice = 2;
        CODEC_TRY(ctxReal(r, 2, &out->timeChange));
    } else {
        return kRejectInvalidTag;
    }
    CODEC_TRY(close(r, 1));
    *cursor = r.p;
    return 0;
}

PackedError propDecodeEventLogRecord(const uint8_t **cursor, const uint8_t *end, BACnetEventLogRecord *out) {
    Rd r{*cursor, end};
    CODEC_TRY(decDateTimeOpen(r, 0, &out->date, &out->time));
    CODEC_TRY(open(r, 1));
    if (atCtx(r, 0)) {
        out->choice = 0;
        uint16_t bits = 0;
        CODEC_TRY(ctxBits(r, 0, &out->statusBits, 1, &bits));
    } else if (atCtx(r, 2)) {
        out->choice = 2;
        CODEC_TRY(ctxReal(r, 2, &out->timeChange));
    } else {
        // Notifications are decoded by the event services.
        return atOpening(r, 1) ? kErrorInvalidDataType : kRejectInvalidTag;
    }
    CODEC_TRY(close(r, 1));
    *cursor = r.p;
    return 0;
}

PackedError propDecodeEventParameter(const uint8_t **cursor, const uint8_t *end, BACnetEventParameter *out) {
    Rd r{*cursor, end};
    TagHeader h;
    if (!peek(r, &h) || !h.opening) {
        return kRejectInvalidTag;
    }
    const uint8_t choice = h.number;
    out->choice = choice;
    out->reference = {kAbsent, kAbsent, kNoIndex, kAbsent};
    CODEC_TRY(open(r, choice));
    const bool hasDelay = choice != 9 && choice != 10 && choice != 13;
    if (!eventParameterChoiceKnown(choice)) {
        return kRejectInvalidTag;
    }
    if (hasDelay) {
        CODEC_TRY(ctxU(r, 0, &out->timeDelay));
    }
    uint32_t count = 0;
    switch (choice) {
        case 0: {
            if (!atCtx(r, 1)) {
                return kRejectInvalidTag;
            }
            CODEC_TRY(propDecodeBitStringValue(&r.p, r.end, &out->criteria));
            CODEC_TRY(open(r, 2));
            PropertyValue *list = nullptr;
            PackedError err = 0;
            while (err == 0 && !atClosing(r, 2)) {
                PropertyValue bits{};
                err = appTag(r, kDtBitString);
                if (err == 0) {
                    err = propDecodeBitStringValue(&r.p, r.end, &bits);
                }
                if (err == 0) {
                    err = appendOne(&list, &count, bits, kMaxEventListEntries);
                }
                if (err != 0) {
                    propFreeValue(&bits);
                }
            }
            out->list = list;
            out->listCount = static_cast<uint16_t>(count);
            out->ownsList = list != nullptr;
            CODEC_TRY(err);
            CODEC_TRY(close(r, 2));
            break;
        }
        case 1: {
            CODEC_TRY(open(r, 1));
            uint32_t *list = nullptr;
            PackedError err = 0;
            while (err == 0 && !atClosing(r, 1)) {
                uint32_t state = 0;
                err = decPropertyState(r, &state);
                if (err == 0) {
                    err = appendOne(&list, &count, state, kMaxEventListEntries);
                }
            }
            out->list = list;
            out->listCount = static_cast<uint16_t>(count);
            out->ownsList = list != nullptr;
            CODEC_TRY(err);
            CODEC_TRY(close(r, 1));
            break;
        }
        case 2:
            CODEC_TRY(open(r, 1));
            if (atCtx(r, 0)) {
                CODEC_TRY(propDecodeBitStringValue(&r.p, r.end, &out->criteria));
            } else {
                out->criteria.datatype = kDtReal;
                CODEC_TRY(ctxReal(r, 1, &out->criteria.value.f));
            }
            CODEC_TRY(close(r, 1));
            break;
        case 3:
        case 4:
            CODEC_TRY(open(r, 1));
            CODEC_TRY(decDevObjPropRef(r, &out->reference));
            CODEC_TRY(close(r, 1));
            if (choice == 4) {
                CODEC_TRY(ctxReal(r, 2, &out->realLow));
                CODEC_TRY(ctxReal(r, 3, &out->realHigh));
                CODEC_TRY(ctxReal(r, 4, &out->realDeadband));
            }
            break;
        case 5:
            CODEC_TRY(ctxReal(r, 1, &out->realLow));
            CODEC_TRY(ctxReal(r, 2, &out->realHigh));
            CODEC_TRY(ctxReal(r, 3, &out->realDeadband));
            break;
        case 8: {
            CODEC_TRY(open(r, 1));
            uint32_t *list = nullptr;
            PackedError err = decEnumList(r, 1, &list, &count, kMaxEventListEntries);
            out->list = list;
            out->listCount = static_cast<uint16_t>(count);
            out->ownsList = list != nullptr;
            CODEC_TRY(err);
            CODEC_TRY(close(r, 1));
            CODEC_TRY(open(r, 2));
            uint32_t *list2 = nullptr;
            uint32_t count2 = 0;
            err = decEnumList(r, 2, &list2, &count2, kMaxEventListEntries);
            out->list2 = list2;
            out->list2Count = static_cast<uint16_t>(count2);
            out->ownsList2 = list2 != nullptr;
            CODEC_TRY(err);
            CODEC_TRY(close(r, 2));
            CODEC_TRY(open(r, 3));
            CODEC_TRY(decDevObjPropRef(r, &out->reference));
            CODEC_TRY(close(r, 3));
            break;
        }
        case 9: {
            CODEC_TRY(ctxU(r, 0, &out->vendorId));
            CODEC_TRY(ctxU(r, 1, &out->extendedType));
            CODEC_TRY(open(r, 2));
            PackedError err = 0;
            PropertyValue *params = nullptr;
            while (err == 0 && !atClosing(r, 2)) {
                PropertyValue v{};
                if (atOpening(r, 0)) {
                    auto *ref = static_cast<BACnetDeviceObjectPropertyReference *>(
                        appCalloc(sizeof(BACnetDeviceObjectPropertyReference)));
                    if (ref == nullptr) {
                        err = kErrorOutOfMemory;
                        break;
                    }
                    v.datatype = kDtDeviceObjectPropertyReference;
                    v.value.block = ref;
                    v.ownsValue = 1;
                    err = open(r, 0);
                    if (err == 0)
                        err = decDevObjPropRef(r, ref);
                    if (err == 0)
                        err = close(r, 0);
                } else {
                    err = appPrimitive(r, &v);
                    if (err == 0 &&
                        (v.datatype == kDtCharString || v.datatype == kDtDate || v.datatype == kDtTime)) {
                        err = kErrorInvalidDataType;
                    }
                }
                if (err == 0) {
                    err = appendOne(&params, &count, v, kMaxEventListEntries);
                }
                if (err != 0) {
                    if (v.datatype == kDtDeviceObjectPropertyReference) {
                        appFree(v.value.block);
                    } else {
                        propFreeValue(&v);
                    }
                }
            }
            out->parameters = params;
            out->parameterCount = static_cast<uint16_t>(count);
            out->ownsParameters = params != nullptr;
            CODEC_TRY(err);
            CODEC_TRY(close(r, 2));
            break;
        }
        case 10:
            CODEC_TRY(ctxU16(r, 0, &out->notificationThreshold));
            CODEC_TRY(ctxU(r, 1, &out->previousCount));
            break;
        case 11:
            CODEC_TRY(ctxU(r, 1, &out->low));
            CODEC_TRY(ctxU(r, 2, &out->high));
            break;
        case 13: {
            CODEC_TRY(open(r, 0));
            uint32_t *list = nullptr;
            const PackedError err = decEnumList(r, 0, &list, &count, kMaxEventListEntries);
            out->list = list;
            out->listCount = static_cast<uint16_t>(count);
            out->ownsList = list != nullptr;
            CODEC_TRY(err);
            CODEC_TRY(close(r, 0));
            CODEC_TRY(open(r, 1));
            CODEC_TRY(decDevObjPropRef(r, &out->reference));
            CODEC_TRY(close(r, 1));
            break;
        }
        case 14:
            CODEC_TRY(ctxDouble(r, 1, &out->doubleLow));
            CODEC_TRY(ctxDouble(r, 2, &out->doubleHigh));
            CODEC_TRY(ctxDouble(r, 3, &out->doubleDeadband));
            break;
        case 15: {
            int32_t lo = 0;
            int32_t hi = 0;
            CODEC_TRY(ctxS(r, 1, &lo));
            CODEC_TRY(ctxS(r, 2, &hi));
            out->low = static_cast<uint32_t>(lo);
            out->high = static_cast<uint32_t>(hi);
            CODEC_TRY(ctxU(r, 3, &out->deadband));
            break;
        }
        case 16:
            CODEC_TRY(ctxU(r, 1, &out->low));
            CODEC_TRY(ctxU(r, 2, &out->high));
            CODEC_TRY(ctxU(r, 3, &out->deadband));
            break;
        case 17: {
            CODEC_TRY(open(r, 1));
            void *list = nullptr;
            const PackedError err = packedStrings(r, 1, &list, &count, kMaxEventListEntries);
            out->list = list;
            out->listCount = static_cast<uint16_t>(count);
            out->ownsList = list != nullptr;
            CODEC_TRY(err);
            CODEC_TRY(close(r, 1));
            break;
        }
        case 18: {
            uint8_t bits[1] = {0};
            uint16_t n = 0;
            CODEC_TRY(ctxBits(r, 1, bits, 1, &n));
            out->selectedFlags = bits[0];
            break;
        }
    }
    CODEC_TRY(close(r, choice));
    *cursor = r.p;
    return 0;
}
