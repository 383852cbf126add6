// What the handler frame (handlers.cpp) and the class rows of the property
// handlers (analog_handlers.cpp, value_handlers.cpp) share: one access to a
// property of a found object, and the helpers that fill a read's value.
// Internal to the device application.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bacnet/property_value.h"
#include "objects/bacnet_object.h"

namespace handler {

// One read (mode 0) or write (mode 1) of a property of an object the frame
// found on its device.
struct Access {
    BACnetObject &object;
    uint8_t mode;
    uint32_t property;
    uint32_t index;  // 0xFFFFFFFF the whole value
    PropertyValue *value;
    // A row clears it for a successful write the state file does not keep.
    bool save = true;

    bool reading() const { return mode == 0; }
};

// A row's answer for a property that is not among the class's own rows:
// the frame then tries the common encodings.
inline constexpr uint32_t kNotOwnRow = 0xFFFFFFFE;

// The class rows of each handler. Each answers a PackedError, or kNotOwnRow.
uint32_t analogInputRows(Access &a);
uint32_t largeAnalogValueRows(Access &a);
uint32_t pulseConverterRows(Access &a);
uint32_t notificationClassRows(Access &a);
uint32_t multiStateValueRows(Access &a);
uint32_t binaryValueRows(Access &a);

// What a change of out-of-service does beside the flag, per class.
void analogOutOfServiceChanged(BACnetObject &object);
void pulseOutOfServiceChanged(BACnetObject &object);
void multiStateOutOfServiceChanged(BACnetObject &object);
void binaryOutOfServiceChanged(BACnetObject &object);

// ---- read values; every one answers 0 or out-of-memory ----
void setScalar(PropertyValue *v, uint8_t datatype, uint32_t u);
void setReal(PropertyValue *v, double x);
void setDouble(PropertyValue *v, double x);
// A bit string of up to 8 bits, the first in the top bit of octet.
void setBits(PropertyValue *v, uint8_t octet, uint16_t bits);
void setOwned(PropertyValue *v, uint8_t datatype, uint16_t count, void *block);
// One owned CharString holding the text (cut to the longest a block holds).
uint32_t readText(PropertyValue *v, const std::string &text);
// The texts packed into one owned block: for each an 8-octet header and
// its characters, without gap.
uint32_t readPacked(PropertyValue *v, const std::vector<std::string> &texts);

// ---- written values ----
// The elements of a written unsigned value: one inline value (count 0) or
// the elements of its block; false for any other datatype.
bool unsignedElements(const PropertyValue *v, std::vector<uint32_t> *out);

}  // namespace handler
