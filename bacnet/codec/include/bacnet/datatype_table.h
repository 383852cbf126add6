#pragma once
// Which datatype each property of each object type has.

#include <cstdint>

// The BACnetDatatype code of a property of an object type, with
// *isArrayOrList set for arrays and lists (cleared otherwise). kDtUnknown for
// a property without a value datatype: identifiers after kPropEgressActive,
// the group identifiers (ALL, OPTIONAL, REQUIRED), withdrawn or unassigned
// identifiers, and object-type-dependent properties of types no row names.
int propGetDatatype(uint16_t objectType, uint32_t propertyId, uint8_t *isArrayOrList);
