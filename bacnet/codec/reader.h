#pragma once
// Reading the tags of a value or a service request: a cursor over the
// received octets and the checks every element decoder and the stack's
// service handlers build on. None reads past the end. Not part of the
// codec's public interface.

#include "bacnet/app_memory.h"
#include "bacnet/property_value.h"
#include "codec_internal.h"

#include <cstddef>
#include <cstring>

namespace codec {

struct Reader {
    const uint8_t *p;
    const uint8_t *end;
    size_t left() const { return static_cast<size_t>(end - p); }
};

inline bool peek(const Reader &r, TagHeader *h) {
    return tagDecodeHeader(r.p, r.end, h);
}

inline bool atOpening(const Reader &r, uint8_t n) {
    TagHeader h;
    return peek(r, &h) && h.opening && h.number == n;
}

inline bool atClosing(const Reader &r, uint8_t n) {
    TagHeader h;
    return peek(r, &h) && h.closing && h.number == n;
}

// A primitive context tag n.
inline bool atCtx(const Reader &r, uint8_t n) {
    TagHeader h;
    return peek(r, &h) && h.context && !h.opening && !h.closing && h.number == n;
}

inline bool atApp(const Reader &r, uint8_t n) {
    TagHeader h;
    return peek(r, &h) && !h.context && h.number == n;
}

inline PackedError open(Reader &r, uint8_t n) {
    TagHeader h;
    if (!peek(r, &h) || !h.opening || h.number != n) {
        return kRejectInvalidTag;
    }
    r.p += h.headerSize;
    return 0;
}

inline PackedError close(Reader &r, uint8_t n) {
    TagHeader h;
    if (!peek(r, &h) || !h.closing || h.number != n) {
        return kRejectInvalidTag;
    }
    r.p += h.headerSize;
    return 0;
}

// Required context-tagged values.
inline PackedError ctxU(Reader &r, uint8_t n, uint32_t *v) {
    if (!atCtx(r, n)) {
        return kRejectInvalidTag;
    }
    return tagDecodeInteger(&r.p, r.end, false, v) ? 0 : kRejectInvalidTag;
}

inline PackedError ctxU16(Reader &r, uint8_t n, uint16_t *v) {
    uint32_t x = 0;
    CODEC_TRY(ctxU(r, n, &x));
    if (x > 0xFFFF) {
        return kErrorValueOutOfRange;
    }
    *v = static_cast<uint16_t>(x);
    return 0;
}

inline PackedError ctxU8(Reader &r, uint8_t n, uint8_t *v) {
    uint32_t x = 0;
    CODEC_TRY(ctxU(r, n, &x));
    if (x > 0xFF) {
        return kErrorValueOutOfRange;
    }
    *v = static_cast<uint8_t>(x);
    return 0;
}

inline PackedError ctxS(Reader &r, uint8_t n, int32_t *v) {
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

inline PackedError ctxIndex(Reader &r, uint8_t n, int32_t *v) {
    uint32_t x = 0;
    CODEC_TRY(ctxU(r, n, &x));
    *v = static_cast<int32_t>(x);
    return 0;
}

inline PackedError ctxReal(Reader &r, uint8_t n, float *v) {
    if (!atCtx(r, n)) {
        return kRejectInvalidTag;
    }
    return tagDecodeReal(&r.p, r.end, v) ? 0 : kRejectInvalidTag;
}

inline PackedError ctxDouble(Reader &r, uint8_t n, double *v) {
    if (!atCtx(r, n)) {
        return kRejectInvalidTag;
    }
    return tagDecodeDouble(&r.p, r.end, v) ? 0 : kRejectInvalidTag;
}

// A context-tagged object identifier (or other fixed 4-octet value), raw.
inline PackedError ctxOid(Reader &r, uint8_t n, uint32_t *v) {
    TagHeader h;
    if (!atCtx(r, n) || !peek(r, &h) || h.length != 4) {
        return kRejectInvalidTag;
    }
    const uint8_t *q = r.p + h.headerSize;
    *v = (uint32_t{q[0]} << 24) | (uint32_t{q[1]} << 16) | (uint32_t{q[2]} << 8) | q[3];
    r.p = q + 4;
    return 0;
}

inline PackedError ctxBool(Reader &r, uint8_t n, uint8_t *v) {
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

inline PackedError ctxNull(Reader &r, uint8_t n) {
    TagHeader h;
    if (!atCtx(r, n) || !peek(r, &h) || h.length != 0) {
        return kRejectInvalidTag;
    }
    r.p += h.headerSize;
    return 0;
}

// The parameters of a service request are stricter or looser than values
// in places, and the services answer on the wire as they always have.

// Whether the tag number field of the next octet is n, whatever the class;
// the services know an optional parameter by it.
inline bool atTagNumber(const Reader &r, uint8_t n) {
    return r.p < r.end && (*r.p >> 4) == n;
}

// The opening or closing tag n (0..14) in its one-octet form, the only form
// the services take for the lists of their requests.
inline bool atOpeningOctet(const Reader &r, uint8_t n) {
    return r.p < r.end && *r.p == ctxTagOctet(n, kTagLvtOpening);
}

inline bool atClosingOctet(const Reader &r, uint8_t n) {
    return r.p < r.end && *r.p == ctxTagOctet(n, kTagLvtClosing);
}

// A context unsigned of 1..4 octets: an empty one, which a value reads as 0,
// is no service parameter.
inline PackedError ctxParam(Reader &r, uint8_t n, uint32_t *v) {
    TagHeader h;
    if (!atCtx(r, n) || !peek(r, &h) || h.length < 1) {
        return kRejectInvalidTag;
    }
    return ctxU(r, n, v);
}

// A context boolean of a request: its one content octet read as
// tagDecodeBoolean reads it.
inline PackedError ctxFlag(Reader &r, uint8_t n, bool *v) {
    TagHeader h;
    if (!atCtx(r, n) || !peek(r, &h) || h.length != 1) {
        return kRejectInvalidTag;
    }
    const uint8_t *q = r.p + h.headerSize;
    tagDecodeBoolean(&q, r.end, v);
    r.p = q;
    return 0;
}

// A context character string of at most max characters into the caller's
// room (a longer one is refused, not cut).
inline PackedError ctxCharString(Reader &r, uint8_t n, CharString *out, uint32_t max) {
    uint32_t characters = 0;
    if (!atCtx(r, n) || !tagCharStringLength(r.p, r.end, &characters) || characters > max ||
        !tagDecodeCharString(&r.p, r.end, out, max) || out->length > max) {
        return kRejectInvalidTag;
    }
    return 0;
}

// Optional context-tagged values: a field whose tag is not there holds its
// absent mark.
inline PackedError optIndex(Reader &r, uint8_t n, int32_t *v) {
    *v = kNoIndex;
    return atCtx(r, n) ? ctxIndex(r, n, v) : PackedError{0};
}

inline PackedError optOid(Reader &r, uint8_t n, uint32_t *v) {
    *v = kAbsent;
    return atCtx(r, n) ? ctxOid(r, n, v) : PackedError{0};
}

inline PackedError optU(Reader &r, uint8_t n, uint32_t *v) {
    *v = kAbsent;
    return atCtx(r, n) ? ctxU(r, n, v) : PackedError{0};
}

// A bit string whose data fits in `maxOctets`, into raw octets.
inline PackedError ctxBits(Reader &r, uint8_t n, uint8_t *out, uint32_t maxOctets, uint16_t *bits) {
    if (!atCtx(r, n)) {
        return kRejectInvalidTag;
    }
    return tagDecodeBitString(&r.p, r.end, out, maxOctets, bits) ? 0 : kRejectInvalidTag;
}

// Application-tagged values. A tag of another application type is the wrong
// datatype; anything else (context, missing, truncated) a wrong tag.
inline PackedError appTag(const Reader &r, uint8_t n) {
    TagHeader h;
    if (!peek(r, &h) || h.context) {
        return kRejectInvalidTag;
    }
    return h.number == n ? 0 : kErrorInvalidDataType;
}

inline PackedError appU(Reader &r, uint32_t *v) {
    CODEC_TRY(appTag(r, kTagUnsigned));
    return tagDecodeUnsigned(&r.p, r.end, v) ? 0 : kRejectInvalidTag;
}

inline PackedError appU16(Reader &r, uint16_t *v) {
    uint32_t x = 0;
    CODEC_TRY(appU(r, &x));
    if (x > 0xFFFF) {
        return kErrorValueOutOfRange;
    }
    *v = static_cast<uint16_t>(x);
    return 0;
}

inline PackedError appU8(Reader &r, uint8_t *v) {
    uint32_t x = 0;
    CODEC_TRY(appU(r, &x));
    if (x > 0xFF) {
        return kErrorValueOutOfRange;
    }
    *v = static_cast<uint8_t>(x);
    return 0;
}

inline PackedError appEnum(Reader &r, uint32_t *v) {
    CODEC_TRY(appTag(r, kTagEnumerated));
    return tagDecodeEnumerated(&r.p, r.end, v) ? 0 : kRejectInvalidTag;
}

inline PackedError appBool(Reader &r, uint8_t *v) {
    CODEC_TRY(appTag(r, kTagBoolean));
    if (*r.p != kFalseTagOctet && *r.p != kTrueTagOctet) {
        return kRejectInvalidTag;
    }
    *v = *r.p & 1;
    r.p += 1;
    return 0;
}

inline PackedError appOid(Reader &r, uint32_t *v) {
    CODEC_TRY(appTag(r, kTagObjectIdentifier));
    if (*r.p != kObjectIdTagOctet || r.left() < 5) {
        return kRejectInvalidTag;
    }
    const uint8_t *q = r.p + 1;
    *v = (uint32_t{q[0]} << 24) | (uint32_t{q[1]} << 16) | (uint32_t{q[2]} << 8) | q[3];
    r.p += 5;
    return 0;
}

// An application date or time: the tag octet, then 4 octets kept as they are.
inline PackedError appFourOctets(Reader &r, BACnetApplicationTag tag, void *out) {
    CODEC_TRY(appTag(r, tag));
    if (*r.p != appTagOctet(tag, 4) || r.left() < 5) {
        return kRejectInvalidTag;
    }
    std::memcpy(out, r.p + 1, 4);
    r.p += 5;
    return 0;
}

inline PackedError appDate(Reader &r, BACnetDate *d) {
    static_assert(sizeof(BACnetDate) == 4);
    return appFourOctets(r, kTagDate, d);
}

inline PackedError appTime(Reader &r, BACnetTime *t) {
    static_assert(sizeof(BACnetTime) == 4);
    return appFourOctets(r, kTagTime, t);
}

// An application octet string of at most `max` octets (MAC addresses).
inline PackedError appOctets(Reader &r, uint8_t *out, uint16_t max, uint16_t *length) {
    CODEC_TRY(appTag(r, kTagOctetString));
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

// One application primitive (kTagNull .. kTagObjectIdentifier) into a PropertyValue.
inline PackedError appPrimitive(Reader &r, PropertyValue *v) {
    return tagDecodeApplicationValue(&r.p, v, static_cast<uint32_t>(r.left()));
}

inline PackedError appCharString(Reader &r, CharString **out) {
    CODEC_TRY(appTag(r, kTagCharacterString));
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

// Appends one packed CharString (header plus its characters) to a block.
inline PackedError appendPackedString(void **block, uint32_t *octets, const CharString *s) {
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

}  // namespace codec
