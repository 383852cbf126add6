#pragma once
// Helpers shared by the value decoder and encoder; not part of the interface.

#include "bacnet/property_value.h"

// Releases the nested blocks one element record owns and clears the owns
// flags and pointers that marked them.
void propFreeNested(uint8_t datatype, void *element);

#define CODEC_TRY(expr)                  \
    do {                                 \
        const PackedError try_ = (expr); \
        if (try_ != 0) {                 \
            return try_;                 \
        }                                \
    } while (0)
