#pragma once
// What the value decoder and encoder share; not part of the interface.

#include "bacnet/enums.h"
#include "bacnet/property_value.h"

#include <array>

namespace codec {

struct Reader;  // reader.h
class Writer;   // writer.h

// Where a value sits: its object type and property and, for a decode, the
// array index the request names and the tag octet that closes the value.
struct ValueContext {
    uint16_t objectType;
    uint32_t propertyId;
    int32_t arrayIndex;
    uint8_t closing;
};

// Empty slots of a priority array hold NULL.
inline bool isPriorityArray(const ValueContext &c) {
    return c.propertyId == kPropPriorityArray;
}

// The priority array of a date-time value object: each date-time slot sits
// in its own context tag.
inline bool isDateTimePriorityArray(const ValueContext &c) {
    return isPriorityArray(c) &&
           (c.objectType == kObjDatetimePatternValue || c.objectType == kObjDatetimeValue);
}

// Elements are decoded into a staging area of this size and moved to the
// element block a batch at a time; every element record fits it.
inline constexpr uint32_t kStagingOctets = 512;

// A datatype whose values are element records in a block: one descriptor
// tells the decoder, the encoder and the release what a record is.
struct DatatypeCodec {
    uint32_t elementSize;  // octets of one record
    // The value is one record, held with count 0 (event and fault parameters).
    bool single;
    // propEncodeValue hands the nested blocks back once they are written.
    bool releasedByEncoder;
    // Decodes one element into a zeroed record; position counts from 1. On
    // failure the record may hold blocks, which release frees.
    PackedError (*decode)(Reader &r, const ValueContext &c, void *element, uint32_t position);
    // Appends count records, stopping at the first failed append.
    void (*encode)(Writer &w, const ValueContext &c, const void *records, uint32_t count);
    // Releases the nested blocks the record owns and clears the flags and
    // pointers that marked them, so a repeated release finds nothing; null
    // where a record owns none.
    void (*release)(void *element);
};

// The descriptor of each datatype code; null for the codes held inline
// (null, signed, double, octet and bit strings, date, time, date range,
// date-time, process-identifier selection), for character strings (packed
// records of their own length) and for codes without a value form.
extern const std::array<const DatatypeCodec *, 256> kDatatypeCodecs;

inline const DatatypeCodec *datatypeCodec(uint8_t code) {
    return kDatatypeCodecs[code];
}

// Releases the nested blocks of count records from block (none when block
// is null), clearing their owns flags.
void releaseRecords(const DatatypeCodec &codec, void *block, uint32_t count);

// The same for every record of a value's block.
inline void releaseElements(const DatatypeCodec &codec, PropertyValue *value) {
    releaseRecords(codec, value->value.block, codec.single ? 1u : value->count);
}

// The event-parameter choices this codec reads and writes; the others are
// refused by both directions alike.
inline bool eventParameterChoiceKnown(uint8_t choice) {
    switch (choice) {
        case kEventChangeOfBitstring:
        case kEventChangeOfState:
        case kEventChangeOfValue:
        case kEventCommandFailure:
        case kEventFloatingLimit:
        case kEventOutOfRange:
        case kEventChangeOfLifeSafety:
        case kEventExtended:
        case kEventBufferReady:
        case kEventUnsignedRange:
        case kEventAccessEvent:
        case kEventDoubleOutOfRange:
        case kEventSignedOutOfRange:
        case kEventUnsignedOutOfRange:
        case kEventChangeOfCharacterstring:
        case kEventChangeOfStatusFlags:
            return true;
        default:
            return false;
    }
}

// Every event parameter but these opens with its time delay in context tag 0.
inline bool eventParameterHasTimeDelay(uint8_t choice) {
    return choice != kEventExtended && choice != kEventBufferReady && choice != kEventAccessEvent;
}

}  // namespace codec

#define CODEC_TRY(expr)                  \
    do {                                 \
        const PackedError try_ = (expr); \
        if (try_ != 0) {                 \
            return try_;                 \
        }                                \
    } while (0)
