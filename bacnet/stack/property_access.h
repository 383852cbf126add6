#pragma once
// Shared by the property-access core and the read services.

#include <cstdint>

#include "bacnet/enums.h"

// ALL, REQUIRED and OPTIONAL: groups of properties, read one at a time.
inline bool propIsGroup(uint32_t property) {
    return property == kPropAll || property == kPropOptional || property == kPropRequired;
}

// The object types with a log-buffer, which is read with ReadRange only.
inline bool propIsLogType(uint16_t objectType) {
    return objectType == kObjTrendLog || objectType == kObjEventLog || objectType == kObjTrendLogMultiple;
}
