#pragma once
// Helpers shared by the value decoder and encoder; not part of the interface.

#include "bacnet/property_value.h"

// Releases the nested blocks one element record owns and clears the owns
// flags and pointers that marked them.
void propFreeNested(uint8_t datatype, void *element);

// The event-parameter choices this codec reads and writes; the others are
// refused by both directions alike.
inline bool eventParameterChoiceKnown(uint8_t choice) {
    // 6, 7 and 12 name no parameter form of their own.
    return choice <= 18 && choice != 6 && choice != 7 && choice != 12;
}

#define CODEC_TRY(expr)                  \
    do {                                 \
        const PackedError try_ = (expr); \
        if (try_ != 0) {                 \
            return try_;                 \
        }                                \
    } while (0)
