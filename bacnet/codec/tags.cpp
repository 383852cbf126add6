#include "bacnet/tags.h"

#include <cstring>

namespace {

// The extended length octets that announce a 16-bit or a 32-bit length.
constexpr uint8_t kLength16 = 254;
constexpr uint8_t kLength32 = 255;

// Reads the header at the cursor and checks that it is a primitive (not an
// opening or closing tag) whose value length is `want` (or any length when
// want is negative). On success the cursor moves to the first value octet.
bool takePrimitive(const uint8_t **cursor, const uint8_t *end, int want, TagHeader *h) {
    if (cursor == nullptr || *cursor == nullptr || !tagDecodeHeader(*cursor, end, h)) {
        return false;
    }
    if (h->opening || h->closing) {
        return false;
    }
    if (want >= 0 && h->length != static_cast<uint32_t>(want)) {
        return false;
    }
    return true;
}

uint32_t readBig(const uint8_t *p, uint32_t n) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < n; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

uint8_t *writeBig32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
    return p + 4;
}

// Octets the integer rule keeps: leading octets that carry no information are
// dropped, and at least one octet is always written.
uint32_t integerOctets(uint32_t value, bool isSigned) {
    if (!isSigned) {
        return value < 0x100u ? 1 : value < 0x10000u ? 2 : value < 0x1000000u ? 3 : 4;
    }
    int32_t v = static_cast<int32_t>(value);
    if (v >= -128 && v <= 127) {
        return 1;
    }
    if (v >= -32768 && v <= 32767) {
        return 2;
    }
    if (v >= -8388608 && v <= 8388607) {
        return 3;
    }
    return 4;
}

uint8_t *writeIntegerOctets(uint8_t *p, uint32_t value, uint32_t n) {
    for (uint32_t i = n; i > 0; --i) {
        *p++ = static_cast<uint8_t>(value >> (8 * (i - 1)));
    }
    return p;
}

}  // namespace

bool tagDecodeHeader(const uint8_t *p, const uint8_t *end, TagHeader *h) {
    if (p == nullptr || end == nullptr || p >= end) {
        return false;
    }
    const size_t avail = static_cast<size_t>(end - p);
    const uint8_t t = p[0];
    size_t pos = 1;
    h->number = t >> 4;
    h->context = (t & kTagClassContext) != 0;
    h->lvt = t & kTagLvtMask;
    h->opening = false;
    h->closing = false;
    h->length = 0;
    if (h->number == kTagNumberExtended) {
        // 255 is reserved as an extended tag number.
        if (avail < 2 || p[1] == 255) {
            return false;
        }
        h->number = p[1];
        pos = 2;
    }
    if (h->context && h->lvt >= kTagLvtOpening) {
        h->opening = h->lvt == kTagLvtOpening;
        h->closing = h->lvt == kTagLvtClosing;
    } else if (!h->context && h->number == kTagBoolean) {
        // An application boolean carries its value in the length field.
        h->length = 0;
    } else if (h->lvt == kTagLvtExtendedLength) {
        if (avail < pos + 1) {
            return false;
        }
        const uint8_t ext = p[pos++];
        if (ext == kLength32) {
            return false;  // 32-bit lengths are not supported
        }
        if (ext == kLength16) {
            if (avail < pos + 2) {
                return false;
            }
            h->length = readBig(p + pos, 2);
            pos += 2;
        } else {
            h->length = ext;
        }
    } else if (h->lvt >= kTagLvtOpening) {
        return false;  // application tags have no opening or closing form
    } else {
        h->length = h->lvt;
    }
    if (avail - pos < h->length) {
        return false;
    }
    h->headerSize = static_cast<uint8_t>(pos);
    return true;
}

uint8_t *bytesCopy(uint8_t *destination, const uint8_t *source, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        destination[i] = source[i];
    }
    return destination;
}

int bytesCompare(const uint8_t *a, const uint8_t *b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

uint16_t bytesSwap16(uint16_t value) {
    return static_cast<uint16_t>((value << 8) | (value >> 8));
}

bool tagDecodeNull(const uint8_t **cursor, const uint8_t *end) {
    TagHeader h;
    if (!takePrimitive(cursor, end, 0, &h)) {
        return false;
    }
    *cursor += h.headerSize;
    return true;
}

bool tagDecodeBoolean(const uint8_t **cursor, const uint8_t *end, bool *value) {
    if (cursor == nullptr || *cursor == nullptr || end == nullptr || *cursor >= end) {
        return false;
    }
    *value = (**cursor & kTagLvtMask) == 1;
    *cursor += 1;
    return true;
}

bool tagDecodeInteger(const uint8_t **cursor, const uint8_t *end, bool isSigned, uint32_t *value) {
    TagHeader h;
    if (!takePrimitive(cursor, end, -1, &h) || h.length > 4) {
        return false;
    }
    const uint8_t *v = *cursor + h.headerSize;
    uint32_t result = 0;
    if (h.length > 0) {
        if (isSigned && (v[0] & 0x80) != 0) {
            result = 0xFFFFFFFFu;
        }
        for (uint32_t i = 0; i < h.length; ++i) {
            result = (result << 8) | v[i];
        }
    }
    *value = result;
    *cursor = v + h.length;
    return true;
}

bool tagDecodeUnsigned(const uint8_t **cursor, const uint8_t *end, uint32_t *value) {
    return tagDecodeInteger(cursor, end, false, value);
}

bool tagDecodeEnumerated(const uint8_t **cursor, const uint8_t *end, uint32_t *value) {
    return tagDecodeInteger(cursor, end, false, value);
}

bool tagDecodeSigned(const uint8_t **cursor, const uint8_t *end, int32_t *value) {
    uint32_t raw = 0;
    if (!tagDecodeInteger(cursor, end, true, &raw)) {
        return false;
    }
    *value = static_cast<int32_t>(raw);
    return true;
}

bool tagDecodeContextUnsigned(const uint8_t **cursor, const uint8_t *end, bool isSigned, uint32_t *value) {
    return tagDecodeInteger(cursor, end, isSigned, value);
}

bool tagDecodeReal(const uint8_t **cursor, const uint8_t *end, float *value) {
    TagHeader h;
    if (!takePrimitive(cursor, end, 4, &h)) {
        return false;
    }
    const uint32_t bits = readBig(*cursor + h.headerSize, 4);
    std::memcpy(value, &bits, 4);
    *cursor += h.headerSize + 4;
    return true;
}

bool tagDecodeDouble(const uint8_t **cursor, const uint8_t *end, double *value) {
    TagHeader h;
    if (!takePrimitive(cursor, end, 8, &h)) {
        return false;
    }
    const uint8_t *v = *cursor + h.headerSize;
    const uint64_t bits = (uint64_t{readBig(v, 4)} << 32) | readBig(v + 4, 4);
    std::memcpy(value, &bits, 8);
    *cursor = v + 8;
    return true;
}

bool tagCharStringLength(const uint8_t *p, const uint8_t *end, uint32_t *characters) {
    TagHeader h;
    if (!tagDecodeHeader(p, end, &h) || h.opening || h.closing || h.length == 0) {
        return false;
    }
    const uint8_t charSet = p[h.headerSize];
    const uint32_t overhead = charSet == kCharSetDbcs ? 3 : 1;
    if (h.length < overhead) {
        return false;
    }
    *characters = h.length - overhead;
    return true;
}

bool tagDecodeCharString(const uint8_t **cursor, const uint8_t *end, CharString *out, uint32_t max) {
    TagHeader h;
    if (!takePrimitive(cursor, end, -1, &h) || h.length == 0) {
        return false;
    }
    const uint8_t *v = *cursor + h.headerSize;
    const uint8_t charSet = v[0];
    const uint32_t overhead = charSet == kCharSetDbcs ? 3 : 1;
    if (h.length < overhead) {
        return false;
    }
    out->charSet = charSet;
    out->codePage = charSet == kCharSetDbcs ? static_cast<uint16_t>(readBig(v + 1, 2)) : 0;
    const uint32_t count = h.length - overhead;
    const uint32_t stored = count < max ? count : max;
    if (stored > 0) {
        std::memcpy(out->chars(), v + overhead, stored);
    }
    out->length = count;
    *cursor = v + h.length;
    return true;
}

bool tagDecodeOctetString(const uint8_t **cursor, const uint8_t *end, uint8_t *out, uint32_t max,
                          uint32_t *length) {
    TagHeader h;
    if (!takePrimitive(cursor, end, -1, &h)) {
        return false;
    }
    const uint8_t *v = *cursor + h.headerSize;
    const uint32_t stored = h.length < max ? h.length : max;
    if (stored > 0) {
        std::memcpy(out, v, stored);
    }
    *length = h.length;
    *cursor = v + h.length;
    return true;
}

bool tagDecodeBitString(const uint8_t **cursor, const uint8_t *end, uint8_t *out, uint32_t maxOctets,
                        uint16_t *bits) {
    TagHeader h;
    if (!takePrimitive(cursor, end, -1, &h) || h.length == 0) {
        return false;
    }
    const uint8_t *v = *cursor + h.headerSize;
    const uint32_t unused = v[0];
    const uint32_t octets = h.length - 1;
    if (unused > 7 || (octets == 0 && unused != 0) || octets > maxOctets) {
        return false;
    }
    const uint32_t count = octets * 8 - unused;
    if (count > 0xFFFF) {
        return false;
    }
    if (octets > 0) {
        std::memcpy(out, v + 1, octets);
    }
    *bits = static_cast<uint16_t>(count);
    *cursor = v + h.length;
    return true;
}

bool tagDecodeDate(const uint8_t **cursor, const uint8_t *end, uint16_t *year, uint8_t *month, uint8_t *day,
                   uint8_t *weekday) {
    TagHeader h;
    if (!takePrimitive(cursor, end, 4, &h)) {
        return false;
    }
    const uint8_t *v = *cursor + h.headerSize;
    *year = static_cast<uint16_t>(v[0] + 1900);
    *month = v[1];
    *day = v[2];
    *weekday = v[3];
    *cursor = v + 4;
    return true;
}

bool tagDecodeTime(const uint8_t **cursor, const uint8_t *end, uint8_t *hour, uint8_t *minute,
                   uint8_t *second, uint8_t *hundredths) {
    TagHeader h;
    if (!takePrimitive(cursor, end, 4, &h)) {
        return false;
    }
    const uint8_t *v = *cursor + h.headerSize;
    *hour = v[0];
    *minute = v[1];
    *second = v[2];
    *hundredths = v[3];
    *cursor = v + 4;
    return true;
}

bool tagDecodeObjectId(const uint8_t **cursor, const uint8_t *end, uint16_t *objectType, uint32_t *instance) {
    TagHeader h;
    if (!takePrimitive(cursor, end, 4, &h)) {
        return false;
    }
    const uint32_t raw = readBig(*cursor + h.headerSize, 4);
    *objectType = objectIdType(raw);
    *instance = objectIdInstance(raw);
    *cursor += h.headerSize + 4;
    return true;
}

bool tagValueLength(const uint8_t *p, const uint8_t *end, uint32_t *length) {
    TagHeader h;
    if (!tagDecodeHeader(p, end, &h)) {
        return false;
    }
    *length = h.length;
    return true;
}

uint8_t *tagEncodeNull(uint8_t *p) {
    *p++ = kNullTagOctet;
    return p;
}

uint8_t *tagEncodeBoolean(uint8_t *p, bool value) {
    *p++ = value ? kTrueTagOctet : kFalseTagOctet;
    return p;
}

uint8_t *tagEncodeInteger(uint8_t *p, uint32_t value, uint8_t tagBase, bool isSigned) {
    const uint32_t n = integerOctets(value, isSigned);
    *p++ = static_cast<uint8_t>(tagBase + n);
    return writeIntegerOctets(p, value, n);
}

uint8_t *tagEncodeContextInteger(uint8_t *p, uint32_t value, uint8_t tagNumber, bool isSigned) {
    if (tagNumber < kTagNumberExtended) {
        return tagEncodeInteger(p, value, ctxTagOctet(tagNumber), isSigned);
    }
    const uint32_t n = integerOctets(value, isSigned);
    *p++ = ctxTagOctet(kTagNumberExtended, static_cast<uint8_t>(n));
    *p++ = tagNumber;
    return writeIntegerOctets(p, value, n);
}

uint8_t *tagEncodeUnsigned(uint8_t *p, uint32_t value) {
    return tagEncodeInteger(p, value, appTagOctet(kTagUnsigned), false);
}

uint8_t *tagEncodeSigned(uint8_t *p, int32_t value) {
    return tagEncodeInteger(p, static_cast<uint32_t>(value), appTagOctet(kTagSigned), true);
}

uint8_t *tagEncodeEnumerated(uint8_t *p, uint32_t value) {
    return tagEncodeInteger(p, value, appTagOctet(kTagEnumerated), false);
}

uint8_t *tagEncodeReal(uint8_t *p, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    *p++ = kRealTagOctet;
    return writeBig32(p, bits);
}

uint8_t *tagEncodeDouble(uint8_t *p, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    *p++ = kDoubleTagOctet;
    *p++ = 8;
    p = writeBig32(p, static_cast<uint32_t>(bits >> 32));
    return writeBig32(p, static_cast<uint32_t>(bits));
}

uint8_t *tagEncodeTagAndLength(uint8_t *p, uint8_t tagBase, uint32_t length) {
    if (length <= 4) {
        *p++ = static_cast<uint8_t>(tagBase + length);
    } else if (length < kLength16) {
        *p++ = static_cast<uint8_t>(tagBase + kTagLvtExtendedLength);
        *p++ = static_cast<uint8_t>(length);
    } else if (length <= 0xFFFF) {
        *p++ = static_cast<uint8_t>(tagBase + kTagLvtExtendedLength);
        *p++ = kLength16;
        *p++ = static_cast<uint8_t>(length >> 8);
        *p++ = static_cast<uint8_t>(length);
    } else {
        return nullptr;
    }
    return p;
}

uint8_t *tagEncodeOctetString(uint8_t *p, const uint8_t *octets, uint32_t count) {
    p = tagEncodeTagAndLength(p, appTagOctet(kTagOctetString), count);
    if (p == nullptr) {
        return nullptr;
    }
    if (count > 0) {
        std::memcpy(p, octets, count);
    }
    return p + count;
}

uint32_t tagCharStringValueLength(const CharString *value) {
    return value->length + (value->charSet == kCharSetDbcs ? 3u : 1u);
}

uint8_t *tagEncodeCharString(uint8_t *p, const CharString *value) {
    if (value->length > 0xFFFF) {
        return nullptr;
    }
    p = tagEncodeTagAndLength(p, appTagOctet(kTagCharacterString), tagCharStringValueLength(value));
    if (p == nullptr) {
        return nullptr;
    }
    *p++ = value->charSet;
    if (value->charSet == kCharSetDbcs) {
        *p++ = static_cast<uint8_t>(value->codePage >> 8);
        *p++ = static_cast<uint8_t>(value->codePage);
    }
    if (value->length > 0) {
        std::memcpy(p, value->chars(), value->length);
    }
    return p + value->length;
}

uint8_t *tagEncodeBitString(uint8_t *p, const uint8_t *data, uint8_t tagBase, uint32_t bits) {
    const uint32_t octets = (bits + 7) / 8;
    p = tagEncodeTagAndLength(p, tagBase, octets + 1);
    if (p == nullptr) {
        return nullptr;
    }
    *p++ = static_cast<uint8_t>(octets * 8 - bits);
    if (octets > 0) {
        std::memcpy(p, data, octets);
    }
    return p + octets;
}

uint8_t *tagEncodeDate(uint8_t *p, uint16_t year, uint8_t month, uint8_t day, uint8_t weekday) {
    uint32_t y = year >= 1900 ? year - 1900u : year;
    if (y > 255) {
        y = 255;
    }
    *p++ = kDateTagOctet;
    *p++ = static_cast<uint8_t>(y);
    *p++ = (month == 0 || month > 14) ? 255 : month;
    *p++ = (day == 0 || day > 34) ? 255 : day;
    *p++ = (weekday == 0 || weekday > 7) ? 255 : weekday;
    return p;
}

uint8_t *tagEncodeTime(uint8_t *p, uint8_t hour, uint8_t minute, uint8_t second, uint8_t hundredths) {
    *p++ = kTimeTagOctet;
    *p++ = hour > 23 ? 255 : hour;
    *p++ = minute > 59 ? 255 : minute;
    *p++ = second > 59 ? 255 : second;
    *p++ = hundredths > 99 ? 255 : hundredths;
    return p;
}

uint8_t *tagEncodeObjectId(uint8_t *p, uint16_t objectType, uint32_t instance) {
    *p++ = kObjectIdTagOctet;
    return writeBig32(p, objectIdMake(objectType, instance));
}

uint8_t *tagEncodeContextObjectId(uint8_t *p, uint8_t tagBase, uint32_t value) {
    *p++ = static_cast<uint8_t>(tagBase + 4);
    return writeBig32(p, value);
}
