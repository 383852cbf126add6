#pragma once
// Decoding of WriteProperty and WritePropertyMultiple values.
//
// Every decoder here is bounded: it is given the end of its input (or the
// octets available) and refuses, rather than reads past, an encoding that
// runs beyond it. The received octets are never written.

#include "bacnet/property_value.h"

// Decodes the value at the cursor (after the request's opening tag) by the
// datatype of the object type (bits 31..22 of objectId) and property. On
// success the cursor stands on the closing tag, which is not consumed. On
// failure everything decoded is released, out->value is left as the caller
// set it, ownsValue stays 0, and count holds the position (from 1) of the
// element that failed. The cursor is written back in every case.
//
// An empty array or list of primitive elements (kDtBoolean .. kDtObjectId)
// comes back as kDtEmptyList, count 0: for those codes a count of 0 stands
// for one inline value. Empty lists of constructed records keep their code.
PackedError propDecodeValue(const uint8_t **cursor, uint32_t objectId, uint32_t propertyId,
                            PropertyValue *out, uint32_t available, uint8_t closingTag, int32_t arrayIndex);

// Companion decoders, cursor style with the end of the input. On failure the
// cursor is unspecified and the record holds no owned block.
PackedError propDecodeCalendarEntry(const uint8_t **cursor, const uint8_t *end, BACnetCalendarEntry *out);
PackedError propDecodeTimeValue(const uint8_t **cursor, const uint8_t *end, BACnetTimeValue *out);
PackedError propDecodeLightingCommand(const uint8_t **cursor, const uint8_t *end, BACnetLightingCommand *out);
PackedError propDecodeBitStringValue(const uint8_t **cursor, const uint8_t *end, PropertyValue *out);
PackedError propDecodeSpecialEvent(const uint8_t **cursor, const uint8_t *end, BACnetSpecialEvent *out);
PackedError propDecodeLogRecord(const uint8_t **cursor, const uint8_t *end, BACnetLogRecord *out);
PackedError propDecodeLogMultipleRecord(const uint8_t **cursor, const uint8_t *end,
                                        BACnetLogMultipleRecord *out);
PackedError propDecodeEventLogRecord(const uint8_t **cursor, const uint8_t *end, BACnetEventLogRecord *out);
PackedError propDecodeEventParameter(const uint8_t **cursor, const uint8_t *end, BACnetEventParameter *out);
