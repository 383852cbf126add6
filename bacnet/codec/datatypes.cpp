// One descriptor per datatype whose values are element records: how a record
// is read, how it is written, and which nested blocks it owns. The value
// decoder and encoder run their element loops over these; the datatypes
// whose values are held inline are theirs alone.

#include "bacnet/app_memory.h"
#include "bacnet/event_notification.h"
#include "bacnet/property_decoder.h"
#include "bacnet/property_encoder.h"
#include "codec_internal.h"
#include "reader.h"
#include "writer.h"

#include <atomic>
#include <array>
#include <cstring>
#include <iterator>
#include <type_traits>

namespace codec {
namespace {

// Caps that bound what one request can make us allocate.
constexpr uint32_t kMaxSpecialEventTimeValues = 1024;
constexpr uint32_t kMaxEventListEntries = 0xFFFF;

// The datatype of the datum of each log-datum choice of a log record.
constexpr std::array<uint8_t, kLogDatumTimeChange + 1> kLogDatumDatatype = [] {
    std::array<uint8_t, kLogDatumTimeChange + 1> t{};
    t[kLogDatumLogStatus] = kDtBitString;
    t[kLogDatumBoolean] = kDtBoolean;
    t[kLogDatumReal] = kDtReal;
    t[kLogDatumEnumerated] = kDtEnumerated;
    t[kLogDatumUnsigned] = kDtUnsigned;
    t[kLogDatumSigned] = kDtSigned;
    t[kLogDatumBitString] = kDtBitString;
    t[kLogDatumNull] = kDtNull;
    t[kLogDatumFailure] = kDtUnknown;
    t[kLogDatumTimeChange] = kDtReal;
    return t;
}();

// ---- parts that several records share ----

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

// Decodes application character strings until the closing tag n into a
// packed block. Strings with character set 1 carry their code page in the
// header, so each record is its header plus exactly `length` characters.
PackedError packedStrings(Reader &r, uint8_t closingN, void **block, uint32_t *count, uint32_t limit) {
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

PackedError decDateTimeOpen(Reader &r, uint8_t n, BACnetDate *d, BACnetTime *t) {
    CODEC_TRY(open(r, n));
    CODEC_TRY(appDate(r, d));
    CODEC_TRY(appTime(r, t));
    return close(r, n);
}

void encDateTimeOpen(Writer &w, uint8_t n, const BACnetDate &d, const BACnetTime &t) {
    w.open(n);
    w.appDate(d);
    w.appTime(t);
    w.close(n);
}

// An error as 0x?E class code 0x?F.
PackedError decErrorPair(Reader &r, uint8_t n, PackedError *out) {
    CODEC_TRY(open(r, n));
    uint32_t cls = 0;
    uint32_t code = 0;
    CODEC_TRY(appEnum(r, &cls));
    CODEC_TRY(appEnum(r, &code));
    CODEC_TRY(packError(cls, code, out));
    return close(r, n);
}

// A primitive or an error: 0x(n)E primitive 0x(n)F, or 0x(n+1)E class code 0x(n+1)F.
PackedError decValueOrError(Reader &r, uint8_t n, PropertyValue *v) {
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

void encValueOrError(Writer &w, uint8_t n, const PropertyValue &v) {
    if (v.datatype == kDtUnknown) {
        encErrorPair(w, n + 1, v.value.u);
    } else {
        w.open(n);
        primitive(w, v);
        w.close(n);
    }
}

// A property state: a context tag number and a value of at most 24 bits.
PackedError decPropertyState(Reader &r, uint32_t *state) {
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

void encPropertyState(Writer &w, uint32_t state) {
    w.ctxU(static_cast<uint8_t>(state >> 24), state & 0xFFFFFF);
}

// A context-tagged primitive of a log datum or a log-multiple entry.
PackedError ctxPrimitiveInto(Reader &r, uint8_t n, uint8_t datatype, PropertyValue *v) {
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

PackedError decEnumList(Reader &r, uint8_t closingN, uint32_t **list, uint32_t *count, uint32_t limit) {
    while (!atClosing(r, closingN)) {
        uint32_t v = 0;
        CODEC_TRY(appEnum(r, &v));
        CODEC_TRY(appendOne(list, count, v, limit));
    }
    return 0;
}

// Gives a nested list to the record, also one that failed part way: the
// record owns it from then on, and its release frees it.
template <typename Field, typename Block, typename Count>
void handOver(Field &field, Block *block, uint32_t count, Count *countField, uint8_t *owns) {
    field = block;
    *countField = static_cast<Count>(count);
    *owns = block != nullptr;
}

// An enumerated list inside the context tag n. What was decoded goes to the
// record's list also when the decode fails part way, so that the record's
// release frees it.
template <typename Field, typename Count>
PackedError decEnumListIn(Reader &r, uint8_t n, Field *list, Count *count, uint8_t *owns, uint32_t limit) {
    CODEC_TRY(open(r, n));
    uint32_t *values = nullptr;
    uint32_t decoded = 0;
    const PackedError err = decEnumList(r, n, &values, &decoded, limit);
    handOver(*list, values, decoded, count, owns);
    CODEC_TRY(err);
    return close(r, n);
}

void encEnumListIn(Writer &w, uint8_t n, const uint32_t *list, uint32_t count) {
    w.open(n);
    for (uint32_t i = 0; list != nullptr && i < count; ++i) {
        w.appEnum(list[i]);
    }
    w.close(n);
}

// An application bit string of one data octet whose unused-bits octet must
// be `unused`.
PackedError decFixedBits(Reader &r, uint8_t unused, uint8_t *out) {
    if (r.left() < 3 || r.p[0] != appTagOctet(kTagBitString, 2) || r.p[1] != unused) {
        return kRejectInvalidTag;
    }
    *out = r.p[2];
    r.p += 3;
    return 0;
}

// A context-tagged octet string into an owned PropertyValue of kDtOctetString.
PackedError ctxOctetValue(Reader &r, uint8_t n, PropertyValue *v) {
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

void encTimeValue(Writer &w, const BACnetTimeValue &tv) {
    w.appTime(tv.time);
    primitive(w, tv.value);
}

void encTimeValues(Writer &w, const BACnetTimeValue *tv, uint32_t count) {
    if (!w.present(tv, count)) {
        return;
    }
    for (uint32_t i = 0; i < count && w.ok(); ++i) {
        encTimeValue(w, tv[i]);
    }
}

// Frees a nested block that the record owns, and clears the flag, the
// pointer and the count that marked it.
template <typename Owns, typename Block, typename Count>
void releaseOwned(Owns &owns, Block *&block, Count &count) {
    if (owns) {
        appFree(block);
        block = nullptr;
        count = 0;
    }
    owns = 0;
}

template <typename Owns, typename Block>
void releaseOwned(Owns &owns, Block *&block) {
    if (owns) {
        appFree(block);
        block = nullptr;
    }
    owns = 0;
}

void freeTimeValues(BACnetTimeValue *tv, uint32_t count) {
    for (uint32_t i = 0; tv != nullptr && i < count; ++i) {
        propFreeValue(&tv[i].value);
    }
    appFree(tv);
}

void freeParameters(PropertyValue *params, uint32_t count) {
    for (uint32_t i = 0; params != nullptr && i < count; ++i) {
        if (params[i].datatype == kDtDeviceObjectPropertyReference) {
            if (params[i].ownsValue) {
                appFree(params[i].value.block);
            }
            params[i].value.block = nullptr;
            params[i].ownsValue = 0;
        } else {
            propFreeValue(&params[i]);
        }
    }
    appFree(params);
}

// ---- primitive elements ----

PackedError decBoolean(Reader &r, uint8_t *e) {
    uint8_t b = 0;
    CODEC_TRY(appBool(r, &b));
    *e = b;
    return 0;
}

void encBoolean(Writer &w, const uint8_t &x) {
    w.appBool(x != 0);
}

// An empty slot of a priority array: NULL on the wire, all bits set in the
// element. In any other array all bits set are the value 4294967295.
bool decEmptySlot(Reader &r, const ValueContext &c, uint32_t *e) {
    if (isPriorityArray(c) && atApp(r, kTagNull) && *r.p == kNullTagOctet) {
        r.p += 1;
        *e = kAbsent;
        return true;
    }
    return false;
}

bool encEmptySlot(Writer &w, const ValueContext &c, uint32_t x) {
    if (isPriorityArray(c) && x == kAbsent) {
        w.appNull();
        return true;
    }
    return false;
}

PackedError decUnsignedOrEnumerated(Reader &r, const ValueContext &c, BACnetApplicationTag tag, uint32_t *e) {
    if (decEmptySlot(r, c, e)) {
        return 0;
    }
    CODEC_TRY(appTag(r, tag));
    return tagDecodeUnsigned(&r.p, r.end, e) ? PackedError{0} : kRejectInvalidTag;
}

PackedError decUnsigned(Reader &r, const ValueContext &c, uint32_t *e) {
    return decUnsignedOrEnumerated(r, c, kTagUnsigned, e);
}

PackedError decEnumerated(Reader &r, const ValueContext &c, uint32_t *e) {
    return decUnsignedOrEnumerated(r, c, kTagEnumerated, e);
}

void encUnsigned(Writer &w, const ValueContext &c, const uint32_t &x) {
    if (!encEmptySlot(w, c, x)) {
        w.appU(x);
    }
}

void encEnumerated(Writer &w, const ValueContext &c, const uint32_t &x) {
    if (!encEmptySlot(w, c, x)) {
        w.appEnum(x);
    }
}

// Real elements are held as their bits.
PackedError decReal(Reader &r, const ValueContext &c, uint32_t *e) {
    if (decEmptySlot(r, c, e)) {
        return 0;
    }
    CODEC_TRY(appTag(r, kTagReal));
    float f = 0;
    if (*r.p != kRealTagOctet || !tagDecodeReal(&r.p, r.end, &f)) {
        return kRejectInvalidTag;
    }
    std::memcpy(e, &f, 4);
    return 0;
}

void encReal(Writer &w, const ValueContext &c, const uint32_t &x) {
    if (!encEmptySlot(w, c, x)) {
        float f;
        std::memcpy(&f, &x, 4);
        w.appReal(f);
    }
}

void encObjectId(Writer &w, const uint32_t &x) {
    w.appOidRaw(x);
}

// ---- any primitive, or a date-time ----

PackedError decAnyElement(Reader &r, const ValueContext &c, PropertyValue *v) {
    const bool wrapped = isDateTimePriorityArray(c) && atOpening(r, kPriorityValueDateTime);
    if (wrapped) {
        CODEC_TRY(open(r, kPriorityValueDateTime));
    }
    if (r.left() >= 10 && r.p[0] == kDateTagOctet && r.p[5] == kTimeTagOctet) {
        v->datatype = kDtDateTime;
        std::memcpy(&v->value.dateTime.date, r.p + 1, 4);
        std::memcpy(&v->value.dateTime.time, r.p + 6, 4);
        r.p += 10;
    } else {
        CODEC_TRY(appPrimitive(r, v));
    }
    if (wrapped) {
        CODEC_TRY(close(r, kPriorityValueDateTime));
    }
    return 0;
}

void encAny(Writer &w, const ValueContext &c, const PropertyValue &x) {
    if (x.datatype == kDtDateTime) {
        dateTimeSlot(w, isDateTimePriorityArray(c), x.value.dateTime);
    } else {
        primitive(w, x);
    }
}

void releaseAny(PropertyValue *e) {
    propFreeValue(e);
}

// ---- address binding ----

PackedError decAddressBinding(Reader &r, BACnetAddressBinding *e) {
    CODEC_TRY(appOid(r, &e->deviceId));
    CODEC_TRY(appU16(r, &e->network));
    return appOctets(r, e->mac, kMaxMac, &e->macLength);
}

void encAddressBinding(Writer &w, const BACnetAddressBinding &b) {
    w.appOidRaw(objectIdMake(kObjDevice, b.deviceId));
    w.appU(b.network);
    w.mac(b.macLength, b.mac);
}

// ---- recipient ----

// Recipient: ctx 0 device, or 0x1E network MAC 0x1F.
PackedError decRecipient(Reader &r, BACnetRecipient *e) {
    if (atCtx(r, kRecipientDevice)) {
        e->choice = kRecipientDevice;
        return ctxOid(r, kRecipientDevice, &e->device);
    }
    if (atOpening(r, kRecipientAddress)) {
        e->choice = kRecipientAddress;
        e->device = kAbsent;
        CODEC_TRY(open(r, kRecipientAddress));
        CODEC_TRY(appU16(r, &e->network));
        CODEC_TRY(appOctets(r, e->mac, kMaxMac, &e->macLength));
        return close(r, kRecipientAddress);
    }
    return kRejectInvalidTag;
}

void encRecipient(Writer &w, const BACnetRecipient &r) {
    if (r.choice == kRecipientDevice) {
        // A device identifier is always the 4-octet object identifier.
        w.ctxOid(kRecipientDevice, r.device);
    } else if (r.choice == kRecipientAddress) {
        w.open(kRecipientAddress);
        w.appU(r.network);
        w.mac(r.macLength, r.mac);
        w.close(kRecipientAddress);
    } else {
        w.fail();
    }
}

// ---- calendar entry ----

PackedError decCalendarEntry(Reader &r, BACnetCalendarEntry *e) {
    return propDecodeCalendarEntry(&r.p, r.end, e);
}

void encCalendarEntry(Writer &w, const BACnetCalendarEntry &e) {
    switch (e.choice) {
        case kCalendarEntryDate:
            w.ctxDate(kCalendarEntryDate, e.date);
            break;
        case kCalendarEntryDateRange:
            w.open(kCalendarEntryDateRange);
            w.appDate(e.date);
            w.appDate(e.endDate);
            w.close(kCalendarEntryDateRange);
            break;
        case kCalendarEntryWeekNDay:
            w.octets(ctxTagOctet(kCalendarEntryWeekNDay), e.weekNDay, 3);
            break;
        default:
            w.fail();
    }
}

// ---- object property reference, setpoint reference ----

PackedError decObjPropRef(Reader &r, BACnetObjectPropertyReference *e, uint32_t position) {
    CODEC_TRY(ctxOid(r, 0, &e->objectId));
    CODEC_TRY(ctxU(r, 1, &e->propertyId));
    CODEC_TRY(optIndex(r, 2, &e->arrayIndex));
    e->position = position;
    return 0;
}

void encObjPropRef(Writer &w, const BACnetObjectPropertyReference &r) {
    w.ctxOid(0, r.objectId);
    w.ctxU(1, r.propertyId);
    w.optIndex(2, r.arrayIndex);
}

PackedError decSetpointReference(Reader &r, BACnetObjectPropertyReference *e, uint32_t position) {
    CODEC_TRY(open(r, 0));
    CODEC_TRY(decObjPropRef(r, e, position));
    return close(r, 0);
}

void encSetpointReference(Writer &w, const BACnetObjectPropertyReference &r) {
    w.open(0);
    encObjPropRef(w, r);
    w.close(0);
}

// ---- VT session ----

PackedError decVTSession(Reader &r, BACnetVTSession *e) {
    CODEC_TRY(appU8(r, &e->localSessionId));
    CODEC_TRY(appU8(r, &e->remoteSessionId));
    CODEC_TRY(appU16(r, &e->remoteNetwork));
    return appOctets(r, e->mac, kMaxMac, &e->macLength);
}

void encVTSession(Writer &w, const BACnetVTSession &s) {
    w.appU(s.localSessionId);
    w.appU(s.remoteSessionId);
    w.appU(s.remoteNetwork);
    w.mac(s.macLength, s.mac);
}

// ---- destination ----

PackedError decDestination(Reader &r, BACnetDestination *e) {
    CODEC_TRY(decFixedBits(r, 0x01, &e->validDays));
    CODEC_TRY(appTime(r, &e->from));
    CODEC_TRY(appTime(r, &e->to));
    CODEC_TRY(decRecipient(r, &e->recipient));
    CODEC_TRY(appU(r, &e->processId));
    CODEC_TRY(appBool(r, &e->issueConfirmed));
    return decFixedBits(r, 0x05, &e->transitions);
}

void encDestination(Writer &w, const BACnetDestination &d) {
    w.bits8(appTagOctet(kTagBitString), static_cast<uint8_t>(d.validDays & 0xFE), 7);
    w.appTime(d.from);
    w.appTime(d.to);
    encRecipient(w, d.recipient);
    w.appU(d.processId);
    w.appBool(d.issueConfirmed != 0);
    w.bits8(appTagOctet(kTagBitString), static_cast<uint8_t>(d.transitions & 0xE0), 3);
}

// ---- session key ----

PackedError decSessionKey(Reader &r, BACnetSessionKey *e) {
    if (r.left() < 10 || r.p[0] != appTagOctet(kTagOctetString, kTagLvtExtendedLength) || r.p[1] != 8) {
        return kRejectInvalidTag;
    }
    std::memcpy(e->key, r.p + 2, 8);
    r.p += 10;
    CODEC_TRY(appU16(r, &e->network));
    return appOctets(r, e->mac, kMaxMac, &e->macLength);
}

void encSessionKey(Writer &w, const BACnetSessionKey &k) {
    w.octets(appTagOctet(kTagOctetString), k.key, 8);
    w.appU(k.network);
    w.mac(k.macLength, k.mac);
}

// ---- ReadAccessSpecification ----

PackedError decReadAccessSpec(Reader &r, ReadAccessSpecification *e) {
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
        CODEC_TRY(optIndex(r, 1, &ref.arrayIndex));
        e->referenceCount++;
    }
    return close(r, 1);
}

void encReadAccessSpec(Writer &w, const ReadAccessSpecification &s) {
    if (!w.present(s.references, s.referenceCount)) {
        return;
    }
    w.ctxOid(0, s.objectId);
    w.open(1);
    for (uint32_t i = 0; i < s.referenceCount; ++i) {
        w.ctxU(0, s.references[i].propertyId);
        w.optIndex(1, s.references[i].arrayIndex);
    }
    w.close(1);
}

void releaseReadAccessSpec(ReadAccessSpecification *e) {
    if (e->ownsList) {
        appFree(e->references);
    }
    e->ownsList = 0;
    e->references = nullptr;
    e->referenceCount = 0;
}

// ---- daily schedule ----

PackedError decDailySchedule(Reader &r, BACnetDailySchedule *e) {
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

void encDailySchedule(Writer &w, const BACnetDailySchedule &d) {
    w.open(0);
    encTimeValues(w, d.timeValues, d.timeValueCount);
    w.close(0);
}

// Daily schedules and special events own their time values.
template <typename T>
void releaseTimeValues(T *e) {
    freeTimeValues(e->timeValues, e->timeValueCount);
    e->timeValues = nullptr;
    e->timeValueCount = 0;
}

// ---- special event ----

PackedError decSpecialEvent(Reader &r, BACnetSpecialEvent *e) {
    return propDecodeSpecialEvent(&r.p, r.end, e);
}

void encSpecialEvent(Writer &w, const BACnetSpecialEvent &e) {
    if (e.periodChoice == kSpecialEventCalendarEntry) {
        w.open(kSpecialEventCalendarEntry);
        encCalendarEntry(w, e.calendarEntry);
        w.close(kSpecialEventCalendarEntry);
    } else if (e.periodChoice == kSpecialEventCalendarReference) {
        w.ctxOid(kSpecialEventCalendarReference, e.calendarId);
    } else {
        w.fail();
    }
    w.open(2);
    encTimeValues(w, e.timeValues, e.timeValueCount);
    w.close(2);
    w.ctxU(3, e.priority);
}

// ---- device object reference ----

PackedError decDevObjRef(Reader &r, uint32_t *device, uint32_t *object) {
    CODEC_TRY(optOid(r, 0, device));
    return ctxOid(r, 1, object);
}

void encDevObjRef(Writer &w, uint32_t device, uint32_t object) {
    w.optOid(0, device);
    w.ctxOid(1, object);
}

PackedError decDeviceObjectReference(Reader &r, BACnetDeviceObjectReference *e) {
    return decDevObjRef(r, &e->deviceId, &e->objectId);
}

void encDeviceObjectReference(Writer &w, const BACnetDeviceObjectReference &r) {
    encDevObjRef(w, r.deviceId, r.objectId);
}

// ---- device object property reference ----

// Device object property reference: ctx base+0 object, base+1 property,
// opt base+2 index, opt base+3 device.
PackedError decDevObjPropRef(Reader &r, BACnetDeviceObjectPropertyReference *e) {
    CODEC_TRY(ctxOid(r, 0, &e->objectId));
    CODEC_TRY(ctxU(r, 1, &e->propertyId));
    CODEC_TRY(optIndex(r, 2, &e->arrayIndex));
    return optOid(r, 3, &e->deviceId);
}

void encDevObjPropRef(Writer &w, const BACnetDeviceObjectPropertyReference &r) {
    w.ctxOid(0, r.objectId);
    w.ctxU(1, r.propertyId);
    w.optIndex(2, r.arrayIndex);
    w.optOid(3, r.deviceId);
}

// The same inside the context tag n.
PackedError decDevObjPropRefIn(Reader &r, uint8_t n, BACnetDeviceObjectPropertyReference *e) {
    CODEC_TRY(open(r, n));
    CODEC_TRY(decDevObjPropRef(r, e));
    return close(r, n);
}

void encDevObjPropRefIn(Writer &w, uint8_t n, const BACnetDeviceObjectPropertyReference &r) {
    w.open(n);
    encDevObjPropRef(w, r);
    w.close(n);
}

// ---- time stamp ----

PackedError decTimeStamp(Reader &r, BACnetTimeStamp *e) {
    if (atCtx(r, kTimeStampSequenceNumber)) {
        e->choice = kTimeStampSequenceNumber;
        return ctxU16(r, kTimeStampSequenceNumber, &e->sequenceNumber);
    }
    if (atOpening(r, kTimeStampDateTime)) {
        e->choice = kTimeStampDateTime;
        return decDateTimeOpen(r, kTimeStampDateTime, &e->date, &e->time);
    }
    if (atCtx(r, kTimeStampTime)) {
        e->choice = kTimeStampTime;
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

// ---- action list ----

PackedError decActionCommand(Reader &r, BACnetActionCommand *c) {
    CODEC_TRY(decDevObjRef(r, &c->deviceId, &c->objectId));
    CODEC_TRY(ctxU(r, 2, &c->propertyId));
    CODEC_TRY(optIndex(r, 3, &c->arrayIndex));
    CODEC_TRY(open(r, 4));
    CODEC_TRY(appPrimitive(r, &c->value));
    CODEC_TRY(close(r, 4));
    c->priority = 0;
    if (atCtx(r, 5)) {
        CODEC_TRY(ctxU8(r, 5, &c->priority));
    }
    CODEC_TRY(optU(r, 6, &c->postDelay));
    CODEC_TRY(ctxBool(r, 7, &c->quitOnFailure));
    return ctxBool(r, 8, &c->writeSuccessful);
}

PackedError decActionList(Reader &r, BACnetActionList *e) {
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

void encActionList(Writer &w, const BACnetActionList &l) {
    if (!w.present(l.commands, l.commandCount)) {
        return;
    }
    w.open(0);
    for (uint32_t i = 0; i < l.commandCount && w.ok(); ++i) {
        const BACnetActionCommand &c = l.commands[i];
        encDevObjRef(w, c.deviceId, c.objectId);
        w.ctxU(2, c.propertyId);
        w.optIndex(3, c.arrayIndex);
        w.open(4);
        primitive(w, c.value);
        w.close(4);
        if (c.priority >= 1 && c.priority <= 16) {
            w.ctxU(5, c.priority);
        }
        w.optU(6, c.postDelay);
        w.ctxBool(7, c.quitOnFailure);
        w.ctxBool(8, c.writeSuccessful);
    }
    w.close(0);
}

void releaseActionList(BACnetActionList *e) {
    for (uint32_t i = 0; e->commands != nullptr && i < e->commandCount; ++i) {
        propFreeValue(&e->commands[i].value);
    }
    releaseOwned(e->ownsList, e->commands, e->commandCount);
}

// ---- event parameter ----

PackedError decEventParameter(Reader &r, BACnetEventParameter *e) {
    return propDecodeEventParameter(&r.p, r.end, e);
}

void encEventParameter(Writer &w, const BACnetEventParameter &e) {
    const uint8_t c = e.choice;
    if (!eventParameterChoiceKnown(c)) {
        w.fail();
        return;
    }
    w.open(c);
    if (eventParameterHasTimeDelay(c)) {
        w.ctxU(0, e.timeDelay);
    }
    switch (c) {
        case kEventChangeOfBitstring: {
            w.bits(ctxTagOctet(1), bitData(e.criteria), e.criteria.length);
            w.open(2);
            const auto *masks = static_cast<const PropertyValue *>(e.list);
            for (uint32_t i = 0; masks != nullptr && i < e.listCount; ++i) {
                w.bits(appTagOctet(kTagBitString), bitData(masks[i]), masks[i].length);
            }
            w.close(2);
            break;
        }
        case kEventChangeOfState: {
            w.open(1);
            const auto *states = static_cast<const uint32_t *>(e.list);
            for (uint32_t i = 0; states != nullptr && i < e.listCount; ++i) {
                encPropertyState(w, states[i]);
            }
            w.close(1);
            break;
        }
        case kEventChangeOfValue:
            w.open(1);
            if (e.criteria.datatype == kDtBitString) {
                w.bits(ctxTagOctet(0), bitData(e.criteria), e.criteria.length);
            } else if (e.criteria.datatype == kDtReal) {
                w.ctxReal(1, e.criteria.value.f);
            } else {
                w.fail();
            }
            w.close(1);
            break;
        case kEventCommandFailure:
        case kEventFloatingLimit:
            encDevObjPropRefIn(w, 1, e.reference);
            if (c == kEventFloatingLimit) {
                w.ctxReal(2, e.realLow);
                w.ctxReal(3, e.realHigh);
                w.ctxReal(4, e.realDeadband);
            }
            break;
        case kEventOutOfRange:
            w.ctxReal(1, e.realLow);
            w.ctxReal(2, e.realHigh);
            w.ctxReal(3, e.realDeadband);
            break;
        case kEventChangeOfLifeSafety:
            encEnumListIn(w, 1, static_cast<const uint32_t *>(e.list), e.listCount);
            encEnumListIn(w, 2, e.list2, e.list2Count);
            encDevObjPropRefIn(w, 3, e.reference);
            break;
        case kEventExtended:
            w.ctxU(0, e.vendorId);
            w.ctxU(1, e.extendedType);
            w.open(2);
            for (uint32_t i = 0; e.parameters != nullptr && i < e.parameterCount; ++i) {
                const PropertyValue &p = e.parameters[i];
                switch (p.datatype) {
                    case kDtDeviceObjectPropertyReference:
                        if (p.value.block == nullptr) {
                            w.fail();
                            break;
                        }
                        encDevObjPropRefIn(
                            w, 0, *static_cast<const BACnetDeviceObjectPropertyReference *>(p.value.block));
                        break;
                    case kDtNull:
                    case kDtBoolean:
                    case kDtUnsigned:
                    case kDtSigned:
                    case kDtReal:
                    case kDtDouble:
                    case kDtOctetString:
                    case kDtBitString:
                    case kDtEnumerated:
                    case kDtObjectId:
                        primitive(w, p);
                        break;
                    default:
                        break;  // no parameter form
                }
            }
            w.close(2);
            break;
        case kEventBufferReady:
            w.ctxU(0, e.notificationThreshold);
            w.ctxU(1, e.previousCount);
            break;
        case kEventUnsignedRange:
            w.ctxU(1, e.low);
            w.ctxU(2, e.high);
            break;
        case kEventAccessEvent:
            encEnumListIn(w, 0, static_cast<const uint32_t *>(e.list), e.listCount);
            encDevObjPropRefIn(w, 1, e.reference);
            break;
        case kEventDoubleOutOfRange:
            w.ctxDouble(1, e.doubleLow);
            w.ctxDouble(2, e.doubleHigh);
            w.ctxDouble(3, e.doubleDeadband);
            break;
        case kEventSignedOutOfRange:
            w.ctxS(1, static_cast<int32_t>(e.low));
            w.ctxS(2, static_cast<int32_t>(e.high));
            w.ctxU(3, e.deadband);
            break;
        case kEventUnsignedOutOfRange:
            w.ctxU(1, e.low);
            w.ctxU(2, e.high);
            w.ctxU(3, e.deadband);
            break;
        case kEventChangeOfCharacterstring:
            w.open(1);
            packedStrings(w, e.list, e.listCount);
            w.close(1);
            break;
        case kEventChangeOfStatusFlags:
            w.bits8(ctxTagOctet(1), e.selectedFlags, 4);
            break;
    }
    w.close(c);
}

void releaseEventParameter(BACnetEventParameter *e) {
    propFreeValue(&e->criteria);
    if (e->choice == kEventChangeOfBitstring && e->list != nullptr) {
        auto *masks = static_cast<PropertyValue *>(e->list);
        for (uint32_t i = 0; i < e->listCount; ++i) {
            propFreeValue(&masks[i]);
        }
    }
    releaseOwned(e->ownsList, e->list, e->listCount);
    releaseOwned(e->ownsList2, e->list2, e->list2Count);
    if (e->ownsParameters) {
        freeParameters(e->parameters, e->parameterCount);
        e->parameters = nullptr;
        e->parameterCount = 0;
    }
    e->ownsParameters = 0;
}

// ---- read access result ----

PackedError decReadAccessResult(Reader &r, ReadAccessResult *e) {
    CODEC_TRY(ctxOid(r, 0, &e->objectId));
    CODEC_TRY(open(r, 1));
    uint32_t count = 0;
    while (!atClosing(r, 1)) {
        BACnetReadResult res{};
        PackedError err = ctxU(r, 2, &res.propertyId);
        if (err == 0) {
            err = optIndex(r, 3, &res.arrayIndex);
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

void encReadAccessResult(Writer &w, const ReadAccessResult &s) {
    if (!w.present(s.results, s.resultCount)) {
        return;
    }
    w.ctxOid(0, s.objectId);
    w.open(1);
    for (uint32_t i = 0; i < s.resultCount && w.ok(); ++i) {
        const BACnetReadResult &res = s.results[i];
        w.ctxU(2, res.propertyId);
        w.optIndex(3, res.arrayIndex);
        encValueOrError(w, 4, res.value);
    }
    w.close(1);
}

void releaseReadAccessResult(ReadAccessResult *e) {
    for (uint32_t i = 0; e->results != nullptr && i < e->resultCount; ++i) {
        if (e->results[i].value.datatype != kDtUnknown) {
            propFreeValue(&e->results[i].value);
        }
    }
    releaseOwned(e->ownsResults, e->results, e->resultCount);
}

// ---- COV subscription ----

PackedError decCovSubscription(Reader &r, BACnetCOVSubscription *e) {
    CODEC_TRY(open(r, 0));
    CODEC_TRY(open(r, 0));
    CODEC_TRY(decRecipient(r, &e->recipient));
    CODEC_TRY(close(r, 0));
    CODEC_TRY(ctxU(r, 1, &e->processId));
    CODEC_TRY(close(r, 0));
    CODEC_TRY(open(r, 1));
    CODEC_TRY(ctxOid(r, 0, &e->objectId));
    CODEC_TRY(ctxU(r, 1, &e->propertyId));
    CODEC_TRY(optIndex(r, 2, &e->arrayIndex));
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

void encCovSubscription(Writer &w, const BACnetCOVSubscription &s) {
    w.open(0);
    w.open(0);
    encRecipient(w, s.recipient);
    w.close(0);
    w.ctxU(1, s.processId);
    w.close(0);
    w.open(1);
    w.ctxOid(0, s.objectId);
    w.ctxU(1, s.propertyId);
    w.optIndex(2, s.arrayIndex);
    w.close(1);
    w.ctxBool(2, s.issueConfirmed);
    w.ctxU(3, s.timeRemaining);
    if (s.hasCovIncrement) {
        w.ctxReal(4, s.covIncrement);
    }
}

// ---- log record ----

PackedError decLogRecord(Reader &r, BACnetLogRecord *e) {
    return propDecodeLogRecord(&r.p, r.end, e);
}

void encLogDatum(Writer &w, const BACnetLogRecord &r) {
    const uint8_t c = r.datumChoice;
    if (c >= kLogDatumDatatype.size() || r.datum.datatype != kLogDatumDatatype[c]) {
        w.fail();
        return;
    }
    const PropertyValue &d = r.datum;
    switch (c) {
        case kLogDatumLogStatus:
        case kLogDatumBitString:
            w.bits(ctxTagOctet(c), bitData(d), d.length);
            break;
        case kLogDatumBoolean:
            w.ctxBool(c, d.value.u != 0);
            break;
        case kLogDatumReal:
        case kLogDatumTimeChange:
            w.ctxReal(c, d.value.f);
            break;
        case kLogDatumEnumerated:
        case kLogDatumUnsigned:
            w.ctxU(c, d.value.u);
            break;
        case kLogDatumSigned:
            w.ctxS(c, d.value.i);
            break;
        case kLogDatumNull:
            w.ctxNull(c);
            break;
        case kLogDatumFailure:
            encErrorPair(w, c, d.value.u);
            break;
    }
}

void encLogRecord(Writer &w, const BACnetLogRecord &r) {
    encDateTimeOpen(w, 0, r.date, r.time);
    w.open(1);
    encLogDatum(w, r);
    w.close(1);
    if (r.statusFlags != 255) {
        w.bits8(ctxTagOctet(2), r.statusFlags, 4);
    }
}

void releaseLogRecord(BACnetLogRecord *e) {
    if (e->datum.datatype != kDtUnknown) {
        propFreeValue(&e->datum);
    }
}

// ---- accumulator record ----

PackedError decAccumulatorRecord(Reader &r, BACnetAccumulatorRecord *e) {
    CODEC_TRY(decDateTimeOpen(r, 0, &e->date, &e->time));
    CODEC_TRY(ctxU(r, 1, &e->presentValue));
    CODEC_TRY(ctxU(r, 2, &e->accumulatedValue));
    return ctxU(r, 3, &e->accumulatorStatus);
}

void encAccumulatorRecord(Writer &w, const BACnetAccumulatorRecord &r) {
    encDateTimeOpen(w, 0, r.date, r.time);
    w.ctxU(1, r.presentValue);
    w.ctxU(2, r.accumulatedValue);
    w.ctxU(3, r.accumulatorStatus);
}

// ---- scale ----

// The record names its choice by the datatype of the scale.
PackedError decScale(Reader &r, BACnetScale *e) {
    if (atCtx(r, kScaleFloat)) {
        e->choice = kDtReal;
        return ctxReal(r, kScaleFloat, &e->floatScale);
    }
    e->choice = kDtSigned;
    return ctxS(r, kScaleInteger, &e->integerScale);
}

void encScale(Writer &w, const BACnetScale &s) {
    if (s.choice == kDtReal) {
        w.ctxReal(kScaleFloat, s.floatScale);
    } else if (s.choice == kDtSigned) {
        w.ctxS(kScaleInteger, s.integerScale);
    } else {
        w.fail();
    }
}

// ---- prescale ----

PackedError decPrescale(Reader &r, BACnetPrescale *e) {
    CODEC_TRY(ctxU(r, 0, &e->multiplier));
    return ctxU(r, 1, &e->moduloDivide);
}

void encPrescale(Writer &w, const BACnetPrescale &s) {
    w.ctxU(0, s.multiplier);
    w.ctxU(1, s.moduloDivide);
}

// ---- shed level ----

PackedError decShedLevel(Reader &r, BACnetShedLevel *e) {
    if (atCtx(r, kShedLevelPercent)) {
        e->choice = kShedLevelPercent;
        return ctxU(r, kShedLevelPercent, &e->value);
    }
    if (atCtx(r, kShedLevelLevel)) {
        e->choice = kShedLevelLevel;
        return ctxU(r, kShedLevelLevel, &e->value);
    }
    e->choice = kShedLevelAmount;
    return ctxReal(r, kShedLevelAmount, &e->amount);
}

void encShedLevel(Writer &w, const BACnetShedLevel &s) {
    // Percent and level are unsigned values.
    if (s.choice == kShedLevelPercent || s.choice == kShedLevelLevel) {
        w.ctxU(s.choice, s.value);
    } else if (s.choice == kShedLevelAmount) {
        w.ctxReal(kShedLevelAmount, s.amount);
    } else {
        w.fail();
    }
}

// ---- event log record ----

PackedError decEventLogRecord(Reader &r, BACnetEventLogRecord *e) {
    return propDecodeEventLogRecord(&r.p, r.end, e);
}

std::atomic<EventLogNotificationEncoder> eventLogNotificationEncoder{nullptr};

void encEventLogRecord(Writer &w, const BACnetEventLogRecord &r) {
    encDateTimeOpen(w, 0, r.date, r.time);
    w.open(1);
    if (r.choice == kEventLogDatumLogStatus) {
        w.bits8(ctxTagOctet(kEventLogDatumLogStatus), r.statusBits, 3);
    } else if (r.choice == kEventLogDatumTimeChange) {
        w.ctxReal(kEventLogDatumTimeChange, r.timeChange);
    } else if (r.choice == kEventLogDatumNotification) {
        // The event services encode the notification.
        EventLogNotificationEncoder encode = eventLogNotificationEncoder;
        w.open(kEventLogDatumNotification);
        if (encode == nullptr || r.notification == nullptr || w.buffer() == nullptr ||
            encode(w.buffer(), r.notification) != 0) {
            w.fail();
        }
        w.close(kEventLogDatumNotification);
    } else {
        w.fail();
    }
    w.close(1);
}

void releaseEventLogRecord(BACnetEventLogRecord *e) {
    // An owned notification is one the decoder built: its text and event
    // values go with it. One the application lent stays as it is.
    if (e->ownsNotification && e->notification != nullptr) {
        EventLogNotification *n = e->notification;
        propReleaseNotificationValues(&n->data, &n->values);
        appFree(const_cast<CharString *>(n->text));
        n->text = nullptr;
    }
    releaseOwned(e->ownsNotification, e->notification);
}

// ---- log-multiple record ----

PackedError decLogMultipleRecord(Reader &r, BACnetLogMultipleRecord *e) {
    return propDecodeLogMultipleRecord(&r.p, r.end, e);
}

void encLogMultipleEntry(Writer &w, const BACnetLogMultipleEntry &e) {
    switch (e.choice) {
        case kLogEntryBoolean:
            w.ctxBool(kLogEntryBoolean, e.datum != 0);
            break;
        case kLogEntryReal: {
            float f;
            std::memcpy(&f, &e.datum, 4);
            w.ctxReal(kLogEntryReal, f);
            break;
        }
        case kLogEntryEnumerated:
        case kLogEntryUnsigned:
            w.ctxU(e.choice, e.datum);
            break;
        case kLogEntrySigned:
            w.ctxS(kLogEntrySigned, static_cast<int32_t>(e.datum));
            break;
        case kLogEntryBitString: {
            if (e.bitCount > 32) {
                w.fail();
                break;
            }
            const uint8_t bits[4] = {static_cast<uint8_t>(e.datum >> 24), static_cast<uint8_t>(e.datum >> 16),
                                     static_cast<uint8_t>(e.datum >> 8), static_cast<uint8_t>(e.datum)};
            w.bits(ctxTagOctet(kLogEntryBitString), bits, e.bitCount);
            break;
        }
        case kLogEntryNull:
            w.ctxNull(kLogEntryNull);
            break;
        case kLogEntryFailure:
            encErrorPair(w, kLogEntryFailure, e.datum);
            break;
        default:
            w.fail();
    }
}

void encLogMultipleRecord(Writer &w, const BACnetLogMultipleRecord &r) {
    encDateTimeOpen(w, 0, r.date, r.time);
    w.open(1);
    if (r.choice == kLogDataLogStatus) {
        w.bits8(ctxTagOctet(kLogDataLogStatus), r.statusBits, 3);
    } else if (r.choice == kLogDataLogData) {
        if (!w.present(r.entries, r.entryCount)) {
            return;
        }
        w.open(kLogDataLogData);
        for (uint32_t i = 0; i < r.entryCount; ++i) {
            encLogMultipleEntry(w, r.entries[i]);
        }
        w.close(kLogDataLogData);
    } else {
        w.ctxReal(kLogDataTimeChange, r.timeChange);
    }
    w.close(1);
}

void releaseLogMultipleRecord(BACnetLogMultipleRecord *e) {
    releaseOwned(e->ownsEntries, e->entries, e->entryCount);
}

// ---- authentication policy ----

PackedError decAuthenticationPolicy(Reader &r, BACnetAuthenticationPolicy *e) {
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

void encAuthenticationPolicy(Writer &w, const BACnetAuthenticationPolicy &p) {
    if (!w.present(p.entries, p.entryCount)) {
        return;
    }
    w.open(0);
    for (uint32_t i = 0; i < p.entryCount; ++i) {
        w.open(0);
        encDevObjRef(w, p.entries[i].deviceId, p.entries[i].objectId);
        w.close(0);
        w.ctxU(1, p.entries[i].index);
    }
    w.close(0);
    w.ctxBool(1, p.orderEnforced);
    w.ctxU(2, p.timeout);
}

void releaseAuthenticationPolicy(BACnetAuthenticationPolicy *e) {
    releaseOwned(e->ownsList, e->entries, e->entryCount);
}

// ---- access rule ----

PackedError decAccessRule(Reader &r, BACnetAccessRule *e) {
    CODEC_TRY(ctxU(r, 0, &e->timeRangeSpecifier));
    e->timeRange = {kAbsent, kAbsent, kNoIndex, kAbsent};
    if (atOpening(r, 1)) {
        CODEC_TRY(decDevObjPropRefIn(r, 1, &e->timeRange));
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

void encAccessRule(Writer &w, const BACnetAccessRule &a) {
    w.ctxU(0, a.timeRangeSpecifier);
    if (a.timeRange.objectId != kAbsent || a.timeRange.deviceId != kAbsent) {
        encDevObjPropRefIn(w, 1, a.timeRange);
    }
    w.ctxU(2, a.locationSpecifier);
    if (a.locationDeviceId != kAbsent || a.locationObjectId != kAbsent) {
        w.open(3);
        encDevObjRef(w, a.locationDeviceId, a.locationObjectId);
        w.close(3);
    }
    w.ctxBool(4, a.enable);
}

// ---- assigned access rights ----

PackedError decAssignedAccessRights(Reader &r, BACnetAssignedAccessRights *e) {
    CODEC_TRY(open(r, 0));
    CODEC_TRY(decDevObjRef(r, &e->deviceId, &e->objectId));
    CODEC_TRY(close(r, 0));
    return ctxBool(r, 1, &e->enable);
}

void encAssignedAccessRights(Writer &w, const BACnetAssignedAccessRights &a) {
    w.open(0);
    encDevObjRef(w, a.deviceId, a.objectId);
    w.close(0);
    w.ctxBool(1, a.enable);
}

// ---- authentication factor ----

PackedError decAuthenticationFactor(Reader &r, BACnetAuthenticationFactor *e) {
    CODEC_TRY(ctxU(r, 0, &e->formatType));
    CODEC_TRY(ctxU(r, 1, &e->formatClass));
    return ctxOctetValue(r, 2, &e->value);
}

void encAuthenticationFactor(Writer &w, const BACnetAuthenticationFactor &f) {
    w.ctxU(0, f.formatType);
    w.ctxU(1, f.formatClass);
    w.octets(ctxTagOctet(2), static_cast<const uint8_t *>(f.value.value.block), f.value.length);
}

void releaseAuthenticationFactor(BACnetAuthenticationFactor *e) {
    propFreeValue(&e->value);
}

// ---- authentication factor format ----

PackedError decAuthenticationFactorFormat(Reader &r, BACnetAuthenticationFactorFormat *e) {
    CODEC_TRY(ctxU(r, 0, &e->formatType));
    CODEC_TRY(optU(r, 1, &e->vendorId));
    return optU(r, 2, &e->vendorFormat);
}

void encAuthenticationFactorFormat(Writer &w, const BACnetAuthenticationFactorFormat &f) {
    w.ctxU(0, f.formatType);
    if (f.vendorId < 65536) {
        w.ctxU(1, f.vendorId);
    }
    if (f.vendorFormat < 65536) {
        w.ctxU(2, f.vendorFormat);
    }
}

// ---- credential authentication factor ----

PackedError decCredentialAuthenticationFactor(Reader &r, BACnetCredentialAuthenticationFactor *e) {
    CODEC_TRY(ctxU(r, 0, &e->disable));
    CODEC_TRY(open(r, 1));
    CODEC_TRY(ctxU(r, 0, &e->formatType));
    CODEC_TRY(ctxU(r, 1, &e->formatClass));
    CODEC_TRY(ctxOctetValue(r, 2, &e->value));
    return close(r, 1);
}

void encCredentialAuthenticationFactor(Writer &w, const BACnetCredentialAuthenticationFactor &f) {
    w.ctxU(0, f.disable);
    w.open(1);
    w.ctxU(0, f.formatType);
    w.ctxU(1, f.formatClass);
    w.octets(ctxTagOctet(2), static_cast<const uint8_t *>(f.value.value.block), f.value.length);
    w.close(1);
}

void releaseCredentialAuthenticationFactor(BACnetCredentialAuthenticationFactor *e) {
    propFreeValue(&e->value);
}

// ---- property access result ----

PackedError decPropertyAccessResult(Reader &r, BACnetPropertyAccessResult *e) {
    BACnetDeviceObjectPropertyReference ref{};
    CODEC_TRY(decDevObjPropRef(r, &ref));
    e->objectId = ref.objectId;
    e->propertyId = ref.propertyId;
    e->arrayIndex = ref.arrayIndex;
    e->deviceId = ref.deviceId;
    return decValueOrError(r, 4, &e->value);
}

void encPropertyAccessResult(Writer &w, const BACnetPropertyAccessResult &r) {
    encDevObjPropRef(w, {r.objectId, r.propertyId, r.arrayIndex, r.deviceId});
    encValueOrError(w, 4, r.value);
}

void releasePropertyAccessResult(BACnetPropertyAccessResult *e) {
    if (e->value.datatype != kDtUnknown) {
        propFreeValue(&e->value);
    }
}

// ---- network security policy ----

PackedError decNetworkSecurityPolicy(Reader &r, BACnetNetworkSecurityPolicy *e) {
    CODEC_TRY(ctxU8(r, 0, &e->portId));
    return ctxU(r, 1, &e->securityLevel);
}

void encNetworkSecurityPolicy(Writer &w, const BACnetNetworkSecurityPolicy &p) {
    w.ctxU(0, p.portId);
    w.ctxU(1, p.securityLevel);
}

// ---- security key set ----

PackedError decSecurityKeySet(Reader &r, BACnetSecurityKeySet *e) {
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

void encSecurityKeySet(Writer &w, const BACnetSecurityKeySet &k) {
    if (!w.present(k.keys, k.keyCount)) {
        return;
    }
    w.ctxU(0, k.keyRevision);
    encDateTimeOpen(w, 1, k.activationDate, k.activationTime);
    encDateTimeOpen(w, 2, k.expirationDate, k.expirationTime);
    w.open(3);
    for (uint32_t i = 0; i < k.keyCount; ++i) {
        w.ctxU(0, k.keys[i].algorithm);
        w.ctxU(1, k.keys[i].keyNumber);
    }
    w.close(3);
}

void releaseSecurityKeySet(BACnetSecurityKeySet *e) {
    releaseOwned(e->ownsKeys, e->keys, e->keyCount);
}

// ---- fault parameter ----

PackedError decFaultParameter(Reader &r, BACnetFaultParameter *e) {
    TagHeader h;
    if (!peek(r, &h) || !h.context) {
        return kRejectInvalidTag;
    }
    if (!h.opening) {
        if (h.number != kFaultNone || h.length != 0 || h.closing) {
            return kRejectInvalidTag;
        }
        e->choice = kFaultNone;
        r.p += h.headerSize;
        return 0;
    }
    e->choice = h.number;
    uint32_t count = 0;
    switch (h.number) {
        case kFaultCharacterstring: {
            CODEC_TRY(open(r, kFaultCharacterstring));
            CODEC_TRY(open(r, 0));
            void *list = nullptr;
            const PackedError err = packedStrings(r, 0, &list, &count, 255);
            handOver(e->list, list, count, &e->listCount, &e->ownsList);
            CODEC_TRY(err);
            CODEC_TRY(close(r, 0));
            return close(r, kFaultCharacterstring);
        }
        case kFaultLifeSafety: {
            CODEC_TRY(open(r, kFaultLifeSafety));
            CODEC_TRY(decEnumListIn(r, 0, &e->list, &e->listCount, &e->ownsList, 255));
            CODEC_TRY(decDevObjPropRefIn(r, 1, &e->reference));
            return close(r, kFaultLifeSafety);
        }
        case kFaultState: {
            CODEC_TRY(open(r, kFaultState));
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
            handOver(e->list, list, count, &e->listCount, &e->ownsList);
            CODEC_TRY(err);
            CODEC_TRY(close(r, 0));
            return close(r, kFaultState);
        }
        case kFaultStatusFlags:
            CODEC_TRY(open(r, kFaultStatusFlags));
            CODEC_TRY(decDevObjPropRefIn(r, 0, &e->reference));
            return close(r, kFaultStatusFlags);
        default:  // fault-extended and unknown choices
            return kRejectInvalidTag;
    }
}

void encFaultParameter(Writer &w, const BACnetFaultParameter &f) {
    switch (f.choice) {
        case kFaultNone:
            w.ctxNull(kFaultNone);
            break;
        case kFaultCharacterstring:
            w.open(kFaultCharacterstring);
            w.open(0);
            packedStrings(w, f.list, f.listCount);
            w.close(0);
            w.close(kFaultCharacterstring);
            break;
        case kFaultExtended: {
            const auto *ext = static_cast<const BACnetFaultExtended *>(f.list);
            if (ext == nullptr) {
                w.fail();
                break;
            }
            w.open(kFaultExtended);
            w.ctxU(0, ext->vendorId);
            w.ctxU(1, ext->extendedFaultType);
            w.open(2);
            for (uint32_t i = 0; ext->parameters != nullptr && i < ext->parameterCount; ++i) {
                const PropertyValue &p = ext->parameters[i];
                if (p.datatype == kDtDeviceObjectPropertyReference && p.value.block != nullptr) {
                    encDevObjPropRefIn(
                        w, 0, *static_cast<const BACnetDeviceObjectPropertyReference *>(p.value.block));
                } else {
                    primitive(w, p);
                }
            }
            w.close(2);
            w.close(kFaultExtended);
            break;
        }
        case kFaultLifeSafety:
            w.open(kFaultLifeSafety);
            encEnumListIn(w, 0, static_cast<const uint32_t *>(f.list), f.listCount);
            encDevObjPropRefIn(w, 1, f.reference);
            w.close(kFaultLifeSafety);
            break;
        case kFaultState: {
            const auto *states = static_cast<const uint32_t *>(f.list);
            w.open(kFaultState);
            w.open(0);
            for (uint32_t i = 0; states != nullptr && i < f.listCount; ++i) {
                encPropertyState(w, states[i]);
            }
            w.close(0);
            w.close(kFaultState);
            break;
        }
        case kFaultStatusFlags:
            w.open(kFaultStatusFlags);
            encDevObjPropRefIn(w, 0, f.reference);
            w.close(kFaultStatusFlags);
            break;
        default:
            w.fail();
    }
}

void releaseFaultParameter(BACnetFaultParameter *e) {
    if (e->choice == kFaultExtended && e->list != nullptr) {
        auto *ext = static_cast<BACnetFaultExtended *>(e->list);
        freeParameters(ext->parameters, ext->parameterCount);
        ext->parameters = nullptr;
        ext->parameterCount = 0;
    }
    releaseOwned(e->ownsList, e->list, e->listCount);
}

// ---- event notification subscription ----

PackedError decEventNotificationSubscription(Reader &r, BACnetEventNotificationSubscription *e) {
    CODEC_TRY(open(r, 0));
    CODEC_TRY(decRecipient(r, &e->recipient));
    CODEC_TRY(close(r, 0));
    CODEC_TRY(ctxU(r, 1, &e->processId));
    CODEC_TRY(ctxBool(r, 2, &e->issueConfirmed));
    return ctxU(r, 3, &e->timeRemaining);
}

void encEventNotificationSubscription(Writer &w, const BACnetEventNotificationSubscription &s) {
    w.open(0);
    encRecipient(w, s.recipient);
    w.close(0);
    w.ctxU(1, s.processId);
    w.ctxBool(2, s.issueConfirmed);
    w.ctxU(3, s.timeRemaining);
}

// ---- port permission ----

PackedError decPortPermission(Reader &r, BACnetPortPermission *e) {
    CODEC_TRY(ctxU8(r, 0, &e->portId));
    return ctxBool(r, 1, &e->enabled);
}

void encPortPermission(Writer &w, const BACnetPortPermission &p) {
    w.ctxU(0, p.portId);
    w.ctxBool(1, p.enabled);
}

// ---- lighting command ----

PackedError decLightingCommand(Reader &r, BACnetLightingCommand *e) {
    return propDecodeLightingCommand(&r.p, r.end, e);
}

void encLightingCommand(Writer &w, const BACnetLightingCommand &c, uint8_t openingTag) {
    if (openingTag != 255) {
        w.open(openingTag);
    }
    w.ctxU(0, c.operation);
    if (c.hasTargetLevel) {
        w.ctxReal(1, c.targetLevel);
    }
    if (c.hasRampRate) {
        w.ctxReal(2, c.rampRate);
    }
    if (c.hasStepIncrement) {
        w.ctxReal(3, c.stepIncrement);
    }
    if (c.hasFadeTime) {
        w.ctxU(4, c.fadeTime);
    }
    if (c.hasPriority) {
        w.ctxU(5, c.priority);
    }
    if (openingTag != 255) {
        w.close(openingTag);
    }
}

void encLightingCommandElement(Writer &w, const BACnetLightingCommand &c) {
    encLightingCommand(w, c, 255);
}

// ---- channel value ----

PackedError decChannelValue(Reader &r, BACnetChannelValue *e) {
    if (atOpening(r, kChannelValueLightingCommand)) {
        CODEC_TRY(open(r, kChannelValueLightingCommand));
        auto *cmd = static_cast<BACnetLightingCommand *>(appCalloc(sizeof(BACnetLightingCommand)));
        if (cmd == nullptr) {
            return kErrorOutOfMemory;
        }
        e->datatype = kDtLightingCommand;
        e->value.block = cmd;
        e->ownsValue = 1;
        CODEC_TRY(propDecodeLightingCommand(&r.p, r.end, cmd));
        return close(r, kChannelValueLightingCommand);
    }
    PropertyValue v{};
    CODEC_TRY(appPrimitive(r, &v));
    e->datatype = v.datatype;
    e->ownsValue = v.ownsValue;
    e->length = v.length;
    e->value = v.value;
    return 0;
}

void encChannelValue(Writer &w, const BACnetChannelValue &c) {
    if (c.datatype == kDtLightingCommand) {
        if (c.value.block == nullptr) {
            w.fail();
            return;
        }
        encLightingCommand(w, *static_cast<const BACnetLightingCommand *>(c.value.block),
                           kChannelValueLightingCommand);
    } else {
        PropertyValue pv{};
        pv.datatype = c.datatype;
        pv.ownsValue = c.ownsValue;
        pv.length = c.length;
        pv.value = c.value;
        primitive(w, pv);
    }
}

void releaseChannelValue(BACnetChannelValue *e) {
    releaseOwned(e->ownsValue, e->value.block);
}

// ---- the descriptors ----

// The table's signatures from the typed functions above, which take the
// value's context or the element's position only where they need them.
template <typename T, auto Decode>
PackedError decodeAs(Reader &r, const ValueContext &c, void *element, uint32_t position) {
    auto *e = static_cast<T *>(element);
    if constexpr (std::is_invocable_v<decltype(Decode), Reader &, const ValueContext &, T *>) {
        return Decode(r, c, e);
    } else if constexpr (std::is_invocable_v<decltype(Decode), Reader &, T *, uint32_t>) {
        return Decode(r, e, position);
    } else {
        return Decode(r, e);
    }
}

template <typename T, auto Encode>
void encodeAs(Writer &w, const ValueContext &c, const void *records, uint32_t count) {
    const auto *e = static_cast<const T *>(records);
    for (uint32_t i = 0; i < count && w.ok(); ++i) {
        if constexpr (std::is_invocable_v<decltype(Encode), Writer &, const ValueContext &, const T &>) {
            Encode(w, c, e[i]);
        } else {
            Encode(w, e[i]);
        }
    }
}

template <typename T, auto Release>
void releaseAs(void *element) {
    Release(static_cast<T *>(element));
}

enum Flags : uint8_t { kElements = 0, kSingle = 1, kReleasedByEncoder = 2 };

// A descriptor of records of type T. Release null: the record owns nothing.
template <typename T, auto Decode, auto Encode, auto Release = nullptr>
constexpr DatatypeCodec codecOf(uint8_t flags = kElements) {
    static_assert(sizeof(T) <= kStagingOctets, "a record must fit the staging area");
    DatatypeCodec d{sizeof(T),
                    (flags & kSingle) != 0,
                    (flags & kReleasedByEncoder) != 0,
                    &decodeAs<T, Decode>,
                    &encodeAs<T, Encode>,
                    nullptr};
    if constexpr (!std::is_null_pointer_v<decltype(Release)>) {
        d.release = &releaseAs<T, Release>;
    }
    return d;
}

struct Row {
    uint8_t code;
    DatatypeCodec codec;
};

constexpr Row kRows[] = {
    {kDtBoolean, codecOf<uint8_t, decBoolean, encBoolean>()},
    {kDtUnsigned, codecOf<uint32_t, decUnsigned, encUnsigned>()},
    {kDtReal, codecOf<uint32_t, decReal, encReal>()},
    {kDtEnumerated, codecOf<uint32_t, decEnumerated, encEnumerated>()},
    {kDtObjectId, codecOf<uint32_t, appOid, encObjectId>()},
    {kDtAny, codecOf<PropertyValue, decAnyElement, encAny, releaseAny>()},
    {kDtObjectIdList, codecOf<uint32_t, appOid, encObjectId>()},
    {kDtAddressBinding, codecOf<BACnetAddressBinding, decAddressBinding, encAddressBinding>()},
    {kDtRecipient, codecOf<BACnetRecipient, decRecipient, encRecipient>()},
    {kDtCalendarEntry, codecOf<BACnetCalendarEntry, decCalendarEntry, encCalendarEntry>()},
    {kDtObjectPropertyReference, codecOf<BACnetObjectPropertyReference, decObjPropRef, encObjPropRef>()},
    {kDtVTSession, codecOf<BACnetVTSession, decVTSession, encVTSession>()},
    {kDtDestination, codecOf<BACnetDestination, decDestination, encDestination>()},
    {kDtSessionKey, codecOf<BACnetSessionKey, decSessionKey, encSessionKey>()},
    {kDtReadAccessSpecification,
     codecOf<ReadAccessSpecification, decReadAccessSpec, encReadAccessSpec, releaseReadAccessSpec>()},
    {kDtDailySchedule, codecOf<BACnetDailySchedule, decDailySchedule, encDailySchedule,
                               releaseTimeValues<BACnetDailySchedule>>()},
    {kDtSpecialEvent,
     codecOf<BACnetSpecialEvent, decSpecialEvent, encSpecialEvent, releaseTimeValues<BACnetSpecialEvent>>()},
    {kDtDeviceObjectReference,
     codecOf<BACnetDeviceObjectReference, decDeviceObjectReference, encDeviceObjectReference>()},
    {kDtDeviceObjectPropertyReference,
     codecOf<BACnetDeviceObjectPropertyReference, decDevObjPropRef, encDevObjPropRef>()},
    {kDtTimeStamp, codecOf<BACnetTimeStamp, decTimeStamp, encTimeStamp>()},
    {kDtSetpointReference,
     codecOf<BACnetObjectPropertyReference, decSetpointReference, encSetpointReference>()},
    {kDtActionList,
     codecOf<BACnetActionList, decActionList, encActionList, releaseActionList>(kReleasedByEncoder)},
    {kDtEventParameter,
     codecOf<BACnetEventParameter, decEventParameter, encEventParameter, releaseEventParameter>(kSingle)},
    {kDtReadAccessResult,
     codecOf<ReadAccessResult, decReadAccessResult, encReadAccessResult, releaseReadAccessResult>()},
    {kDtCOVSubscription, codecOf<BACnetCOVSubscription, decCovSubscription, encCovSubscription>()},
    {kDtLogRecord, codecOf<BACnetLogRecord, decLogRecord, encLogRecord, releaseLogRecord>()},
    {kDtAccumulatorRecord, codecOf<BACnetAccumulatorRecord, decAccumulatorRecord, encAccumulatorRecord>()},
    {kDtScale, codecOf<BACnetScale, decScale, encScale>()},
    {kDtPrescale, codecOf<BACnetPrescale, decPrescale, encPrescale>()},
    {kDtShedLevel, codecOf<BACnetShedLevel, decShedLevel, encShedLevel>()},
    {kDtEventLogRecord,
     codecOf<BACnetEventLogRecord, decEventLogRecord, encEventLogRecord, releaseEventLogRecord>()},
    {kDtLogMultipleRecord, codecOf<BACnetLogMultipleRecord, decLogMultipleRecord, encLogMultipleRecord,
                                   releaseLogMultipleRecord>()},
    {kDtAuthenticationPolicy, codecOf<BACnetAuthenticationPolicy, decAuthenticationPolicy,
                                      encAuthenticationPolicy, releaseAuthenticationPolicy>()},
    {kDtAccessRule, codecOf<BACnetAccessRule, decAccessRule, encAccessRule>()},
    {kDtAssignedAccessRights,
     codecOf<BACnetAssignedAccessRights, decAssignedAccessRights, encAssignedAccessRights>()},
    {kDtAuthenticationFactor, codecOf<BACnetAuthenticationFactor, decAuthenticationFactor,
                                      encAuthenticationFactor, releaseAuthenticationFactor>()},
    {kDtAuthenticationFactorFormat, codecOf<BACnetAuthenticationFactorFormat, decAuthenticationFactorFormat,
                                            encAuthenticationFactorFormat>()},
    {kDtCredentialAuthenticationFactor,
     codecOf<BACnetCredentialAuthenticationFactor, decCredentialAuthenticationFactor,
             encCredentialAuthenticationFactor, releaseCredentialAuthenticationFactor>()},
    {kDtPropertyAccessResult, codecOf<BACnetPropertyAccessResult, decPropertyAccessResult,
                                      encPropertyAccessResult, releasePropertyAccessResult>()},
    {kDtNetworkSecurityPolicy,
     codecOf<BACnetNetworkSecurityPolicy, decNetworkSecurityPolicy, encNetworkSecurityPolicy>()},
    {kDtSecurityKeySet,
     codecOf<BACnetSecurityKeySet, decSecurityKeySet, encSecurityKeySet, releaseSecurityKeySet>()},
    {kDtFaultParameter,
     codecOf<BACnetFaultParameter, decFaultParameter, encFaultParameter, releaseFaultParameter>(
         kSingle | kReleasedByEncoder)},
    {kDtEventNotificationSubscription,
     codecOf<BACnetEventNotificationSubscription, decEventNotificationSubscription,
             encEventNotificationSubscription>()},
    {kDtPortPermission, codecOf<BACnetPortPermission, decPortPermission, encPortPermission>()},
    {kDtLightingCommand, codecOf<BACnetLightingCommand, decLightingCommand, encLightingCommandElement>()},
    {kDtChannelValue,
     codecOf<BACnetChannelValue, decChannelValue, encChannelValue, releaseChannelValue>(kReleasedByEncoder)},
};

}  // namespace

constinit const std::array<const DatatypeCodec *, 256> kDatatypeCodecs = [] {
    std::array<const DatatypeCodec *, 256> byCode{};
    for (const Row &row : kRows) {
        byCode[row.code] = &row.codec;
    }
    return byCode;
}();

void releaseRecords(const DatatypeCodec &codec, void *block, uint32_t count) {
    auto *base = static_cast<uint8_t *>(block);
    for (uint32_t i = 0; codec.release != nullptr && base != nullptr && i < count; ++i) {
        codec.release(base + size_t{i} * codec.elementSize);
    }
}

}  // namespace codec

// ---- the companion decoders and encoders of the interface ----

using namespace codec;

void propSetEventLogNotificationEncoder(EventLogNotificationEncoder encoder) {
    eventLogNotificationEncoder = encoder;
}

PackedError propDecodeCalendarEntry(const uint8_t **cursor, const uint8_t *end, BACnetCalendarEntry *out) {
    Reader r{*cursor, end};
    TagHeader h;
    if (!peek(r, &h)) {
        return kRejectInvalidTag;
    }
    if (atCtx(r, kCalendarEntryDate)) {
        if (h.length != 4) {
            return kRejectInvalidTag;
        }
        out->choice = kCalendarEntryDate;
        std::memcpy(&out->date, r.p + h.headerSize, 4);
        r.p += h.headerSize + 4;
    } else if (atOpening(r, kCalendarEntryDateRange)) {
        out->choice = kCalendarEntryDateRange;
        CODEC_TRY(open(r, kCalendarEntryDateRange));
        CODEC_TRY(appDate(r, &out->date));
        CODEC_TRY(appDate(r, &out->endDate));
        CODEC_TRY(close(r, kCalendarEntryDateRange));
    } else if (atCtx(r, kCalendarEntryWeekNDay)) {
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
        out->choice = kCalendarEntryWeekNDay;
        std::memcpy(out->weekNDay, w, 3);
        r.p += h.headerSize + 3;
    } else {
        return kErrorInvalidDataType;
    }
    *cursor = r.p;
    return 0;
}

PackedError propDecodeTimeValue(const uint8_t **cursor, const uint8_t *end, BACnetTimeValue *out) {
    Reader r{*cursor, end};
    if (r.p >= r.end || *r.p != kTimeTagOctet) {
        return kErrorInvalidDataType;
    }
    CODEC_TRY(appTime(r, &out->time));
    CODEC_TRY(appPrimitive(r, &out->value));
    *cursor = r.p;
    return 0;
}

PackedError propDecodeLightingCommand(const uint8_t **cursor, const uint8_t *end,
                                      BACnetLightingCommand *out) {
    Reader r{*cursor, end};
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
    Reader r{*cursor, end};
    if (atOpening(r, kSpecialEventCalendarEntry)) {
        out->periodChoice = kSpecialEventCalendarEntry;
        out->calendarId = kAbsent;
        CODEC_TRY(open(r, kSpecialEventCalendarEntry));
        CODEC_TRY(propDecodeCalendarEntry(&r.p, r.end, &out->calendarEntry));
        CODEC_TRY(close(r, kSpecialEventCalendarEntry));
    } else if (atCtx(r, kSpecialEventCalendarReference)) {
        out->periodChoice = kSpecialEventCalendarReference;
        CODEC_TRY(ctxOid(r, kSpecialEventCalendarReference, &out->calendarId));
    } else {
        return kRejectInvalidTag;
    }
    CODEC_TRY(open(r, 2));
    while (r.p < r.end && *r.p == kTimeTagOctet) {
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
    Reader r{*cursor, end};
    CODEC_TRY(decDateTimeOpen(r, 0, &out->date, &out->time));
    CODEC_TRY(open(r, 1));
    TagHeader h;
    if (!peek(r, &h) || !h.context || h.closing) {
        return kRejectInvalidTag;
    }
    out->datumChoice = h.number;
    // The datum is decoded from its context tag directly: the received octets
    // are never rewritten.
    if (h.number >= kLogDatumDatatype.size()) {
        return kRejectInvalidTag;
    }
    if (h.number == kLogDatumFailure) {
        out->datum.datatype = kDtUnknown;
        CODEC_TRY(decErrorPair(r, kLogDatumFailure, &out->datum.value.u));
    } else {
        if (h.opening) {
            return kRejectInvalidTag;
        }
        CODEC_TRY(ctxPrimitiveInto(r, h.number, kLogDatumDatatype[h.number], &out->datum));
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
    Reader r{*cursor, end};
    CODEC_TRY(decDateTimeOpen(r, 0, &out->date, &out->time));
    CODEC_TRY(open(r, 1));
    if (atCtx(r, kLogDataLogStatus)) {
        out->choice = kLogDataLogStatus;
        uint16_t bits = 0;
        CODEC_TRY(ctxBits(r, kLogDataLogStatus, &out->statusBits, 1, &bits));
    } else if (atOpening(r, kLogDataLogData)) {
        out->choice = kLogDataLogData;
        CODEC_TRY(open(r, kLogDataLogData));
        uint32_t count = 0;
        while (!atClosing(r, kLogDataLogData)) {
            BACnetLogMultipleEntry entry{};
            TagHeader h;
            if (!peek(r, &h) || !h.context) {
                return kRejectInvalidTag;
            }
            entry.choice = h.number;
            PackedError err = 0;
            switch (h.number) {
                case kLogEntryBoolean: {
                    uint8_t b = 0;
                    err = ctxBool(r, kLogEntryBoolean, &b);
                    entry.datum = b;
                    break;
                }
                case kLogEntryReal: {
                    float f = 0;
                    err = ctxReal(r, kLogEntryReal, &f);
                    std::memcpy(&entry.datum, &f, 4);
                    break;
                }
                case kLogEntryEnumerated:
                case kLogEntryUnsigned:
                    err = ctxU(r, h.number, &entry.datum);
                    break;
                case kLogEntrySigned: {
                    int32_t s = 0;
                    err = ctxS(r, kLogEntrySigned, &s);
                    entry.datum = static_cast<uint32_t>(s);
                    break;
                }
                case kLogEntryBitString: {
                    uint8_t bits[4] = {0, 0, 0, 0};
                    uint16_t n = 0;
                    TagHeader bh;
                    if (peek(r, &bh) && bh.length > 5) {
                        err = kErrorOutOfMemory;  // more than 32 bits
                        break;
                    }
                    err = ctxBits(r, kLogEntryBitString, bits, 4, &n);
                    entry.bitCount = static_cast<uint8_t>(n);
                    entry.datum = (uint32_t{bits[0]} << 24) | (uint32_t{bits[1]} << 16) |
                                  (uint32_t{bits[2]} << 8) | bits[3];
                    break;
                }
                case kLogEntryNull:
                    err = ctxNull(r, kLogEntryNull);
                    break;
                case kLogEntryFailure:
                    err = decErrorPair(r, kLogEntryFailure, &entry.datum);
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
        CODEC_TRY(close(r, kLogDataLogData));
    } else if (atCtx(r, kLogDataTimeChange)) {
        out->choice = kLogDataTimeChange;
        CODEC_TRY(ctxReal(r, kLogDataTimeChange, &out->timeChange));
    } else {
        return kRejectInvalidTag;
    }
    CODEC_TRY(close(r, 1));
    *cursor = r.p;
    return 0;
}

namespace {

// The room for the message text of a logged notification.
constexpr uint32_t kLoggedTextRoom = 1000;

// A logged notification into a record of its own, owned by out, with a text
// block that goes again when the notification carries no text.
PackedError decodeLoggedNotification(Reader &r, BACnetEventLogRecord *out) {
    auto *n = static_cast<EventLogNotification *>(appCalloc(sizeof(EventLogNotification)));
    if (n == nullptr) {
        return kErrorOutOfMemory;
    }
    out->notification = n;
    out->ownsNotification = 1;
    auto *text = static_cast<CharString *>(appCalloc(sizeof(CharString) + kLoggedTextRoom));
    if (text == nullptr) {
        return kErrorOutOfMemory;
    }
    n->text = text;
    text->length = kLoggedTextRoom;
    CODEC_TRY(propDecodeNotificationParameters(&r.p, r.end, &n->data, &n->values, text));
    if (text->length == 0) {
        appFree(text);
        n->text = nullptr;
    }
    return 0;
}

}  // namespace

PackedError propDecodeEventLogRecord(const uint8_t **cursor, const uint8_t *end, BACnetEventLogRecord *out) {
    Reader r{*cursor, end};
    CODEC_TRY(decDateTimeOpen(r, 0, &out->date, &out->time));
    CODEC_TRY(open(r, 1));
    if (atCtx(r, kEventLogDatumLogStatus)) {
        out->choice = kEventLogDatumLogStatus;
        uint16_t bits = 0;
        CODEC_TRY(ctxBits(r, kEventLogDatumLogStatus, &out->statusBits, 1, &bits));
    } else if (atCtx(r, kEventLogDatumTimeChange)) {
        out->choice = kEventLogDatumTimeChange;
        CODEC_TRY(ctxReal(r, kEventLogDatumTimeChange, &out->timeChange));
    } else if (atOpening(r, kEventLogDatumNotification)) {
        out->choice = kEventLogDatumNotification;
        CODEC_TRY(open(r, kEventLogDatumNotification));
        const PackedError e = decodeLoggedNotification(r, out);
        if (e != 0) {
            releaseEventLogRecord(out);
            return e;
        }
        if (const PackedError c = close(r, kEventLogDatumNotification); c != 0) {
            releaseEventLogRecord(out);
            return c;
        }
    } else {
        return kRejectInvalidTag;
    }
    if (const PackedError c = close(r, 1); c != 0) {
        releaseEventLogRecord(out);
        return c;
    }
    *cursor = r.p;
    return 0;
}

PackedError propDecodeEventParameter(const uint8_t **cursor, const uint8_t *end, BACnetEventParameter *out) {
    Reader r{*cursor, end};
    TagHeader h;
    if (!peek(r, &h) || !h.opening) {
        return kRejectInvalidTag;
    }
    const uint8_t choice = h.number;
    out->choice = choice;
    out->reference = {kAbsent, kAbsent, kNoIndex, kAbsent};
    CODEC_TRY(open(r, choice));
    if (!eventParameterChoiceKnown(choice)) {
        return kRejectInvalidTag;
    }
    if (eventParameterHasTimeDelay(choice)) {
        CODEC_TRY(ctxU(r, 0, &out->timeDelay));
    }
    uint32_t count = 0;
    switch (choice) {
        case kEventChangeOfBitstring: {
            if (!atCtx(r, 1)) {
                return kRejectInvalidTag;
            }
            CODEC_TRY(propDecodeBitStringValue(&r.p, r.end, &out->criteria));
            CODEC_TRY(open(r, 2));
            PropertyValue *list = nullptr;
            PackedError err = 0;
            while (err == 0 && !atClosing(r, 2)) {
                PropertyValue bits{};
                err = appTag(r, kTagBitString);
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
            handOver(out->list, list, count, &out->listCount, &out->ownsList);
            CODEC_TRY(err);
            CODEC_TRY(close(r, 2));
            break;
        }
        case kEventChangeOfState: {
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
            handOver(out->list, list, count, &out->listCount, &out->ownsList);
            CODEC_TRY(err);
            CODEC_TRY(close(r, 1));
            break;
        }
        case kEventChangeOfValue:
            CODEC_TRY(open(r, 1));
            if (atCtx(r, 0)) {
                CODEC_TRY(propDecodeBitStringValue(&r.p, r.end, &out->criteria));
            } else {
                out->criteria.datatype = kDtReal;
                CODEC_TRY(ctxReal(r, 1, &out->criteria.value.f));
            }
            CODEC_TRY(close(r, 1));
            break;
        case kEventCommandFailure:
        case kEventFloatingLimit:
            CODEC_TRY(decDevObjPropRefIn(r, 1, &out->reference));
            if (choice == kEventFloatingLimit) {
                CODEC_TRY(ctxReal(r, 2, &out->realLow));
                CODEC_TRY(ctxReal(r, 3, &out->realHigh));
                CODEC_TRY(ctxReal(r, 4, &out->realDeadband));
            }
            break;
        case kEventOutOfRange:
            CODEC_TRY(ctxReal(r, 1, &out->realLow));
            CODEC_TRY(ctxReal(r, 2, &out->realHigh));
            CODEC_TRY(ctxReal(r, 3, &out->realDeadband));
            break;
        case kEventChangeOfLifeSafety:
            CODEC_TRY(decEnumListIn(r, 1, &out->list, &out->listCount, &out->ownsList, kMaxEventListEntries));
            CODEC_TRY(
                decEnumListIn(r, 2, &out->list2, &out->list2Count, &out->ownsList2, kMaxEventListEntries));
            CODEC_TRY(decDevObjPropRefIn(r, 3, &out->reference));
            break;
        case kEventExtended: {
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
                    err = decDevObjPropRefIn(r, 0, ref);
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
            handOver(out->parameters, params, count, &out->parameterCount, &out->ownsParameters);
            CODEC_TRY(err);
            CODEC_TRY(close(r, 2));
            break;
        }
        case kEventBufferReady:
            CODEC_TRY(ctxU16(r, 0, &out->notificationThreshold));
            CODEC_TRY(ctxU(r, 1, &out->previousCount));
            break;
        case kEventUnsignedRange:
            CODEC_TRY(ctxU(r, 1, &out->low));
            CODEC_TRY(ctxU(r, 2, &out->high));
            break;
        case kEventAccessEvent:
            CODEC_TRY(decEnumListIn(r, 0, &out->list, &out->listCount, &out->ownsList, kMaxEventListEntries));
            CODEC_TRY(decDevObjPropRefIn(r, 1, &out->reference));
            break;
        case kEventDoubleOutOfRange:
            CODEC_TRY(ctxDouble(r, 1, &out->doubleLow));
            CODEC_TRY(ctxDouble(r, 2, &out->doubleHigh));
            CODEC_TRY(ctxDouble(r, 3, &out->doubleDeadband));
            break;
        case kEventSignedOutOfRange: {
            int32_t lo = 0;
            int32_t hi = 0;
            CODEC_TRY(ctxS(r, 1, &lo));
            CODEC_TRY(ctxS(r, 2, &hi));
            out->low = static_cast<uint32_t>(lo);
            out->high = static_cast<uint32_t>(hi);
            CODEC_TRY(ctxU(r, 3, &out->deadband));
            break;
        }
        case kEventUnsignedOutOfRange:
            CODEC_TRY(ctxU(r, 1, &out->low));
            CODEC_TRY(ctxU(r, 2, &out->high));
            CODEC_TRY(ctxU(r, 3, &out->deadband));
            break;
        case kEventChangeOfCharacterstring: {
            CODEC_TRY(open(r, 1));
            void *list = nullptr;
            const PackedError err = packedStrings(r, 1, &list, &count, kMaxEventListEntries);
            handOver(out->list, list, count, &out->listCount, &out->ownsList);
            CODEC_TRY(err);
            CODEC_TRY(close(r, 1));
            break;
        }
        case kEventChangeOfStatusFlags: {
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

uint8_t propEncodeCalendarEntry(PduBuffer *buffer, const BACnetCalendarEntry *entry) {
    if (entry == nullptr) {
        return 1;
    }
    return appendAll(buffer, [&](Writer &w) { encCalendarEntry(w, *entry); });
}

uint8_t propEncodeLightingCommand(PduBuffer *buffer, const BACnetLightingCommand *command,
                                  uint8_t openingTag) {
    if (command == nullptr) {
        return 1;
    }
    return appendAll(buffer, [&](Writer &w) { encLightingCommand(w, *command, openingTag); });
}

uint8_t propEncodeTimeValue(PduBuffer *buffer, const BACnetTimeValue *timeValue) {
    if (timeValue == nullptr) {
        return 1;
    }
    return appendAll(buffer, [&](Writer &w) { encTimeValue(w, *timeValue); });
}
