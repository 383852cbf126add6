#pragma once
// Shared by the property-access core and the read and write services.

#include <cstdint>

#include "bacnet/enums.h"
#include "bacnet/tags.h"
#include "codec/reader.h"

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

// The object identifier [0] and property identifier [1] that open a
// ReadProperty and a WriteProperty request; false when either is missing or
// malformed (the request is rejected).
inline bool svcReadPropertyReference(codec::Reader &r, uint32_t *objectId, uint32_t *property) {
    return codec::ctxOid(r, kRwpObjectIdentifier, objectId) == 0 &&
           codec::ctxParam(r, kRwpPropertyIdentifier, property) == 0;
}

// The optional array index [2] that may follow them, known by its tag
// number: whatever else has that number is no index and is rejected, as it
// would be in the place of what comes next. False when it is malformed;
// `given` tells whether it was there.
inline bool svcReadArrayIndex(codec::Reader &r, uint32_t *index, bool *given) {
    *given = codec::atTagNumber(r, kRwpArrayIndex);
    return !*given || codec::ctxParam(r, kRwpArrayIndex, index) == 0;
}
