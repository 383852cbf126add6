#include "bacnet/property_value.h"

#include "bacnet/app_memory.h"
#include "codec_internal.h"

#include <cstring>

uint32_t propElementSize(uint8_t datatype) {
    const codec::DatatypeCodec *d = codec::datatypeCodec(datatype);
    return d != nullptr ? d->elementSize : 0;
}

PackedError tagDecodeApplicationValue(const uint8_t **cursor, PropertyValue *out, uint32_t available) {
    out->count = 0;
    out->ownsValue = 0;
    if (cursor == nullptr || *cursor == nullptr) {
        return kRejectInvalidTag;
    }
    const uint8_t *p = *cursor;
    const uint8_t *end = p + available;
    TagHeader h;
    if (!tagDecodeHeader(p, end, &h) || h.context || h.lvt > kTagLvtExtendedLength) {
        return kRejectInvalidTag;
    }
    if (h.number > kTagObjectIdentifier) {
        return kErrorInvalidDataType;
    }
    const uint8_t *v = p + h.headerSize;
    const uint8_t tag = p[0];
    switch (h.number) {
        case kTagNull:
            if (tag != kNullTagOctet) {
                return kRejectInvalidTag;
            }
            break;
        case kTagBoolean:
            if (tag != kFalseTagOctet && tag != kTrueTagOctet) {
                return kRejectInvalidTag;
            }
            out->value.u = tag & 1u;
            break;
        case kTagUnsigned:
        case kTagSigned:
        case kTagEnumerated: {
            if (h.length > 4) {
                return kErrorValueOutOfRange;
            }
            uint32_t raw = 0;
            const uint8_t *c = p;
            if (!tagDecodeInteger(&c, end, h.number == kTagSigned, &raw)) {
                return kRejectInvalidTag;
            }
            out->value.u = raw;
            break;
        }
        case kTagReal:
            if (tag != kRealTagOctet) {
                return kRejectInvalidTag;
            }
            {
                const uint8_t *c = p;
                tagDecodeReal(&c, end, &out->value.f);
            }
            break;
        case kTagDouble:
            if (tag != kDoubleTagOctet || h.length != 8 || h.headerSize != 2) {
                return kRejectInvalidTag;
            }
            {
                const uint8_t *c = p;
                tagDecodeDouble(&c, end, &out->value.d);
            }
            break;
        case kTagOctetString:
            out->length = static_cast<uint16_t>(h.length);
            out->value.block = nullptr;
            if (h.length > 0) {
                auto *block = static_cast<uint8_t *>(appCalloc(h.length));
                if (block == nullptr) {
                    out->datatype = kDtOctetString;
                    *cursor = v + h.length;
                    return kErrorOutOfMemory;
                }
                std::memcpy(block, v, h.length);
                out->value.block = block;
                out->ownsValue = 1;
            }
            break;
        case kTagCharacterString: {
            uint32_t characters = 0;
            if (!tagCharStringLength(p, end, &characters)) {
                return kRejectInvalidTag;
            }
            auto *str = static_cast<CharString *>(appCalloc(characters + sizeof(CharString)));
            if (str == nullptr) {
                out->datatype = kDtCharString;
                out->value.block = nullptr;
                *cursor = v + h.length;
                return kErrorOutOfMemory;
            }
            const uint8_t *c = p;
            tagDecodeCharString(&c, end, str, characters);
            out->value.block = str;
            out->ownsValue = 1;
            break;
        }
        case kTagBitString: {
            if (h.length == 0 || v[0] > 7 || (h.length == 1 && v[0] != 0) ||
                (h.length - 1) * 8 - v[0] > 0xFFFF) {
                return kRejectInvalidTag;
            }
            const uint32_t octets = h.length - 1;
            out->length = static_cast<uint16_t>(octets * 8 - v[0]);
            if (h.length <= 8) {
                std::memset(out->value.octets, 0, sizeof out->value.octets);
                std::memcpy(out->value.octets, v + 1, octets);
            } else {
                auto *block = static_cast<uint8_t *>(appCalloc(octets));
                if (block == nullptr) {
                    out->datatype = kDtBitString;
                    out->value.block = nullptr;
                    *cursor = v + h.length;
                    return kErrorOutOfMemory;
                }
                std::memcpy(block, v + 1, octets);
                out->value.block = block;
                out->ownsValue = 1;
            }
            break;
        }
        case kTagDate:
            if (tag != kDateTagOctet) {
                return kRejectInvalidTag;
            }
            std::memcpy(&out->value.date, v, 4);
            break;
        case kTagTime:
            if (tag != kTimeTagOctet) {
                return kRejectInvalidTag;
            }
            std::memcpy(&out->value.time, v, 4);
            break;
        case kTagObjectIdentifier:
            if (tag != kObjectIdTagOctet) {
                return kRejectInvalidTag;
            }
            out->value.u = (uint32_t{v[0]} << 24) | (uint32_t{v[1]} << 16) | (uint32_t{v[2]} << 8) | v[3];
            break;
        default:
            return kErrorInvalidDataType;
    }
    out->datatype = h.number;
    *cursor = v + h.length;
    return 0;
}

void *propConcatBlocks(void *oldBlock, const void *newOctets, uint32_t oldLength, uint32_t newLength) {
    const uint64_t total = uint64_t{oldLength} + newLength;
    void *block = total <= UINT32_MAX ? appCalloc(static_cast<uint32_t>(total)) : nullptr;
    if (block != nullptr) {
        if (oldLength > 0 && oldBlock != nullptr) {
            std::memcpy(block, oldBlock, oldLength);
        }
        if (newLength > 0 && newOctets != nullptr) {
            std::memcpy(static_cast<uint8_t *>(block) + oldLength, newOctets, newLength);
        }
    }
    appFree(oldBlock);
    return block;
}

void propFreeValue(PropertyValue *value) {
    if (value == nullptr) {
        return;
    }
    if (const codec::DatatypeCodec *d = codec::datatypeCodec(value->datatype)) {
        codec::releaseElements(*d, value);
    }
    if (value->ownsValue) {
        appFree(value->value.block);
        value->value.block = nullptr;
    }
    value->ownsValue = 0;
}
