#pragma once
// Encoding of property values into an outgoing PDU.
//
// Everything is appended to the PduBuffer directly, so no element, however
// large, passes through a fixed work buffer. On failure the octets this call
// appended are taken back (the buffer is left as it was, or freed when it
// could not grow).

#include "bacnet/pdu_buffer.h"
#include "bacnet/property_value.h"

// Appends the encoding of value by its own datatype. The object type and the
// property give the array flag of the datatype table (for
// kDtObjectPropertyReference) and the date-time wrapping of the
// priority-arrays of date-time values (kDtAny and kDtDateTime). Returns 0 on
// success, 1 when an append failed or a record holds a choice without an
// encoding. The nested blocks of kDtActionList, kDtFaultParameter and
// kDtChannelValue are released afterwards (also after a failure), and their
// owns flags cleared. In a priority array an element with all bits set is
// written as NULL.
uint8_t propEncodeValue(PduBuffer *buffer, uint16_t objectType, uint32_t propertyId, PropertyValue *value);

// Companion encoders; 0 success, 1 failure (unknown choice or append failed).
uint8_t propEncodeCalendarEntry(PduBuffer *buffer, const BACnetCalendarEntry *entry);
// openingTag: the number of the enclosing context tag, or 255 for none.
uint8_t propEncodeLightingCommand(PduBuffer *buffer, const BACnetLightingCommand *command,
                                  uint8_t openingTag);
uint8_t propEncodeTimeValue(PduBuffer *buffer, const BACnetTimeValue *timeValue);
