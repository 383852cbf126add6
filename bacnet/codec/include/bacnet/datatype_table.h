#pragma once
// Which datatype each property of each object type has.

#include <cstdint>

// The BACnetDatatype code of a property of an object type, with
// *isArrayOrList set for arrays and lists (cleared otherwise). 255 for a
// property without a value datatype: identifiers 387 and above, the group
// identifiers (all 8, optional 80, required 105), withdrawn or unassigned
// identifiers, and object-type-dependent properties of types no row names.
int propGetDatatype(uint16_t objectType, uint32_t propertyId, uint8_t *isArrayOrList);
