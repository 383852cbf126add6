#pragma once
// Shared helpers of the value codec tests: building values whose blocks come
// from appCalloc, encoding them into a PduBuffer, and decoding them back.

#include "app_memory_counting.h"
#include "bacnet/app_memory.h"
#include "bacnet/pdu_buffer.h"
#include "bacnet/property_decoder.h"
#include "bacnet/property_encoder.h"
#include "bacnet/property_value.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace codec_test {

using Bytes = std::vector<uint8_t>;

inline std::string hex(const Bytes &v) {
    std::string s;
    char b[4];
    for (uint8_t o : v) {
        std::snprintf(b, sizeof b, "%02X ", o);
        s += b;
    }
    return s;
}

inline uint32_t oid(uint16_t type, uint32_t instance) { return objectIdMake(type, instance); }

// A zeroed block of n records of T owned by v.
template <typename T>
T *block(PropertyValue &v, uint8_t datatype, uint16_t n) {
    std::memset(&v, 0, sizeof v);
    v.datatype = datatype;
    v.count = n;
    auto *b = static_cast<T *>(appCalloc(static_cast<uint32_t>(sizeof(T) * (n == 0 ? 1 : n))));
    v.value.block = b;
    v.ownsValue = 1;
    return b;
}

// A zeroed block for a nested list.
template <typename T>
T *nested(uint32_t n) {
    return static_cast<T *>(appCalloc(static_cast<uint32_t>(sizeof(T) * (n == 0 ? 1 : n))));
}

// An owned CharString PropertyValue.
inline void charString(PropertyValue &v, const std::string &text, uint8_t charSet = 0) {
    std::memset(&v, 0, sizeof v);
    v.datatype = kDtCharString;
    auto *s = static_cast<CharString *>(appCalloc(static_cast<uint32_t>(sizeof(CharString) + text.size())));
    s->length = static_cast<uint32_t>(text.size());
    s->charSet = charSet;
    s->codePage = charSet == kCharSetDbcs ? 0x0352 : 0;
    std::memcpy(s->chars(), text.data(), text.size());
    v.value.block = s;
    v.ownsValue = 1;
}

// CharString records packed back to back.
inline void *packedStrings(const std::vector<std::string> &texts, uint32_t *octets = nullptr) {
    uint32_t size = 0;
    for (const auto &t : texts) {
        size += static_cast<uint32_t>(sizeof(CharString) + t.size());
    }
    auto *b = static_cast<uint8_t *>(appCalloc(size == 0 ? 1 : size));
    uint8_t *p = b;
    for (const auto &t : texts) {
        CharString header{};
        header.length = static_cast<uint32_t>(t.size());
        std::memcpy(p, &header, sizeof header);
        std::memcpy(p + sizeof header, t.data(), t.size());
        p += sizeof(CharString) + t.size();
    }
    if (octets != nullptr) {
        *octets = size;
    }
    return b;
}

// Encodes v; returns the octets, or fails the test.
inline bool encode(uint16_t type, uint32_t property, PropertyValue *v, Bytes *out) {
    PduBuffer pdu;
    if (pduInit(&pdu) != 0) {
        return false;
    }
    const bool ok = propEncodeValue(&pdu, type, property, v) == 0;
    if (ok) {
        out->assign(pdu.writeBase, pdu.writeBase + pdu.length);
    }
    pduFree(&pdu);
    return ok;
}

// Decodes octets followed by the closing tag 0x3F from a heap copy of exactly
// that size, so the sanitizer build sees any read past the end.
inline PackedError decode(uint16_t type, uint32_t property, int32_t index, const Bytes &octets, PropertyValue *out,
                          bool withClosing = true, size_t *consumed = nullptr) {
    Bytes in = octets;
    if (withClosing) {
        in.push_back(0x3F);
    }
    std::unique_ptr<uint8_t[]> heap(new uint8_t[in.size()]);
    if (!in.empty()) {
        std::memcpy(heap.get(), in.data(), in.size());
    }
    const uint8_t *cur = heap.get();
    std::memset(out, 0, sizeof *out);
    const PackedError e = propDecodeValue(&cur, oid(type, 1), property, out, static_cast<uint32_t>(in.size()), 0x3F,
                                          index);
    if (consumed != nullptr) {
        *consumed = static_cast<size_t>(cur - heap.get());
    }
    return e;
}

}  // namespace codec_test
