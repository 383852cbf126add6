#pragma once
// Readers of the tags of service requests, shared by the service handlers.
// Each checks the tag's class, number and length before it reads a value, so
// that an application, opening or closing tag never passes for a context tag.

#include <cstdint>

#include "bacnet/tags.h"

namespace svc {

// Whether the next tag is a context tag of that number holding a value (not
// an opening or closing tag).
inline bool isContextTag(const uint8_t *p, const uint8_t *end, uint8_t number) {
    TagHeader tag;
    return p < end && tagDecodeHeader(p, end, &tag) && tag.context && !tag.opening && !tag.closing &&
           tag.number == number;
}

// A context tag of that number holding a 1..4 octet unsigned value.
inline bool readContextUnsigned(const uint8_t **p, const uint8_t *end, uint8_t number, uint32_t *value) {
    TagHeader tag;
    if (!tagDecodeHeader(*p, end, &tag) || !tag.context || tag.opening || tag.closing || tag.number != number ||
        tag.length < 1 || tag.length > 4) {
        return false;
    }
    return tagDecodeContextUnsigned(p, end, false, value);
}

inline bool readContextObjectId(const uint8_t **p, const uint8_t *end, uint8_t number, uint32_t *value) {
    TagHeader tag;
    if (!tagDecodeHeader(*p, end, &tag) || !tag.context || tag.opening || tag.closing || tag.number != number ||
        tag.length != 4) {
        return false;
    }
    const uint8_t *v = *p + tag.headerSize;
    *value = uint32_t{v[0]} << 24 | uint32_t{v[1]} << 16 | uint32_t{v[2]} << 8 | v[3];
    *p = v + 4;
    return true;
}

// A context tag of that number holding a character string; at most max
// characters are accepted (a longer string is refused, not cut).
inline bool readContextCharString(const uint8_t **p, const uint8_t *end, uint8_t number, CharString *out,
                                  uint32_t max) {
    TagHeader tag;
    if (!tagDecodeHeader(*p, end, &tag) || !tag.context || tag.opening || tag.closing || tag.number != number) {
        return false;
    }
    uint32_t characters = 0;
    if (!tagCharStringLength(*p, end, &characters) || characters > max) {
        return false;
    }
    return tagDecodeCharString(p, end, out, max) && out->length <= max;
}

// A context boolean of that number (one content octet).
inline bool readContextBoolean(const uint8_t **p, const uint8_t *end, uint8_t number, bool *value) {
    TagHeader tag;
    if (!tagDecodeHeader(*p, end, &tag) || !tag.context || tag.opening || tag.closing || tag.number != number ||
        tag.length != 1) {
        return false;
    }
    *value = ((*p)[tag.headerSize] & 0x07) == 1;
    *p += tag.headerSize + 1;
    return true;
}

}  // namespace svc
