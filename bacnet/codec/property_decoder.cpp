#include "bacnet/property_decoder.h"

#include "bacnet/app_memory.h"
#include "bacnet/datatype_table.h"
#include "codec_internal.h"
#include "reader.h"

#include <cstddef>
#include <cstring>

using namespace codec;

namespace {

// Collects elements until the closing tag. `max` limits the number of
// elements (0: no limit); `exact` requires that many.
PackedError collect(Reader &r, const ValueContext &c, PropertyValue *out, uint8_t code,
                    const DatatypeCodec &d, uint32_t max, uint32_t exact) {
    const uint32_t size = d.elementSize;
    const uint32_t batch = kStagingOctets / size;
    alignas(std::max_align_t) unsigned char staging[kStagingOctets];
    std::memset(staging, 0, sizeof staging);
    uint32_t staged = 0;
    uint32_t moved = 0;
    uint32_t position = 0;
    void *block = nullptr;

    auto flush = [&]() -> bool {
        if (staged == 0) {
            return true;
        }
        const uint64_t octets = uint64_t{moved + staged} * size;
        auto *grown = static_cast<unsigned char *>(appCalloc(static_cast<uint32_t>(octets)));
        if (grown == nullptr) {
            return false;
        }
        if (moved > 0) {
            std::memcpy(grown, block, size_t{moved} * size);
        }
        std::memcpy(grown + size_t{moved} * size, staging, size_t{staged} * size);
        appFree(block);
        block = grown;
        moved += staged;
        staged = 0;
        std::memset(staging, 0, sizeof staging);
        return true;
    };
    auto fail = [&](PackedError e) {
        releaseRecords(d, staging, staged);
        releaseRecords(d, block, moved);
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
        const PackedError e = d.decode(r, c, staging + size_t{staged} * size, position);
        ++staged;  // a partial element is released with the others
        if (e != 0) {
            return fail(e);
        }
        if (staged == batch && !flush()) {
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
PackedError collectStrings(Reader &r, const ValueContext &c, PropertyValue *out, uint32_t max) {
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

PackedError decodeElements(Reader &r, const ValueContext &c, PropertyValue *out, uint8_t code, bool isList) {
    // A property that is no array or list holds one element; an indexed write
    // of an array element, one.
    const uint32_t max = (!isList || c.arrayIndex > 0) ? 1 : 0;
    if (code == kDtCharString) {
        return collectStrings(r, c, out, max);
    }
    const DatatypeCodec *d = datatypeCodec(code);
    if (d == nullptr) {
        // Arrays and lists of signed, double, octet string, bit string,
        // date and time values have no element form here.
        out->count = 1;
        return kErrorInvalidDataType;
    }
    if (code == kDtTimeStamp) {
        // The whole array of event time stamps holds three.
        const uint32_t n = isList && c.arrayIndex == kNoIndex ? 3 : 1;
        return collect(r, c, out, code, *d, n, n);
    }
    if (code == kDtDailySchedule) {
        if (!atOpening(r, 0)) {
            out->count = 1;
            return kRejectInvalidTag;
        }
        const uint32_t days = c.arrayIndex > 0 ? 1 : 7;
        CODEC_TRY(collect(r, c, out, code, *d, days, 0));
        if (out->count != 1 && out->count != 7) {
            propFreeValue(out);
            out->value.block = nullptr;
            out->count = 0;
            return kRejectInvalidTag;
        }
        return 0;
    }
    return collect(r, c, out, code, *d, max, 0);
}

// A single record held in the value with count 0 (event and fault
// parameters).
PackedError singleRecord(Reader &r, const ValueContext &c, PropertyValue *out, uint8_t code,
                         const DatatypeCodec &d) {
    void *rec = appCalloc(d.elementSize);
    if (rec == nullptr) {
        out->count = 1;
        return kErrorOutOfMemory;
    }
    PackedError e = d.decode(r, c, rec, 1);
    if (e == 0 && (r.p >= r.end || *r.p != c.closing)) {
        e = kRejectInvalidTag;
    }
    if (e != 0) {
        releaseRecords(d, rec, 1);
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

PackedError checkClosing(const Reader &r, const ValueContext &c) {
    return (r.p < r.end && *r.p == c.closing) ? 0 : kRejectInvalidTag;
}

PackedError decodeInto(Reader &r, const ValueContext &c, PropertyValue *out) {
    uint8_t isList = 0;
    int code = propGetDatatype(c.objectType, c.propertyId, &isList);

    if (code == kDtUnknown) {
        if (c.propertyId < kFirstProprietaryProperty) {
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
    if (isPriorityArray(c) && isList && c.arrayIndex == kNoIndex && code != kDtReal &&
        code != kDtEnumerated && code != kDtUnsigned) {
        code = kDtAny;
    }
    if (c.propertyId == kPropAlarmValues && isList && c.arrayIndex == kNoIndex &&
        (c.objectType == kObjBitstringValue || c.objectType == kObjCharacterstringValue)) {
        code = kDtAny;
    }
    if (isList && c.arrayIndex == 0) {
        code = kDtUnsigned;
        isList = 0;
    }
    if (code <= kDtAny && !isList) {
        if (code == kDtAny) {
            // A schedule's present value: one primitive of any type.
            CODEC_TRY(decodeElements(r, c, out, kDtAny, false));
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
    if (const DatatypeCodec *d = datatypeCodec(static_cast<uint8_t>(code)); d != nullptr && d->single) {
        return singleRecord(r, c, out, static_cast<uint8_t>(code), *d);
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
            if (atApp(r, kTagNull)) {
                if (*r.p != kNullTagOctet) {
                    return kRejectInvalidTag;
                }
                r.p += 1;
                out->value.processIdSelection = {kDtNull, 0};
            } else {
                uint32_t pid = 0;
                CODEC_TRY(appU(r, &pid));
                out->value.processIdSelection = {kDtUnsigned, pid};
            }
            out->datatype = kDtProcessIdSelection;
            return checkClosing(r, c);
        case kDtSetpointReference: {
            out->datatype = kDtSetpointReference;
            if (checkClosing(r, c) == 0) {
                return 0;  // an empty setpoint reference
            }
            out->count = 1;
            BACnetObjectPropertyReference ref{};
            CODEC_TRY(datatypeCodec(kDtSetpointReference)->decode(r, c, &ref, 1));
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
        default:
            break;
    }
    CODEC_TRY(decodeElements(r, c, out, static_cast<uint8_t>(code), isList != 0));
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
    Reader r{*cursor, *cursor + available};
    const ValueContext c{objectIdType(objectId), propertyId, arrayIndex, closingTag};
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
