#pragma once
// Shared by the property-access core and the read services.

#include <cstdint>

#include "bacnet/enums.h"
#include "bacnet/tags.h"

// ALL, REQUIRED and OPTIONAL: groups of properties, read one at a time.
inline bool propIsGroup(uint32_t property) {
    return property == kPropAll || property == kPropOptional || property == kPropRequired;
}

// The object types with a log-buffer, which is read with ReadRange only.
inline bool propIsLogType(uint16_t objectType) {
    return objectType == kObjTrendLog || objectType == kObjEventLog || objectType == kObjTrendLogMultiple;
}

// The application's check of an object and a property (appValidateProperty)
// as the error an access with that index and those access flags gives; 0
// when it may go on.
PackedError svcValidateAccess(int32_t device, uint32_t objectId, uint32_t property, uint32_t arrayIndex,
                              uint8_t flags);
