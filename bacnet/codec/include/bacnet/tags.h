#pragma once
// BACnet tags and primitive values (ASHRAE 135 clause 20.2).
//
// Decoders take a cursor (pointer to the read pointer) and the end of the
// received octets. They return true and leave the cursor after the last octet
// they consumed, or return false and leave the cursor where it was when the
// encoding is malformed or would run past `end`. They check the form of the
// value (its length); the tag number and class are the caller's to check,
// because the same decoder serves application and context tags.
//
// Encoders take a write pointer and return the pointer after the last octet
// written. The caller provides the room (the sizes below bound every
// primitive but the strings); the property value encoder appends to a
// PduBuffer instead, which checks its room itself.
//
// Multi-octet fields are big-endian on the wire.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "bacnet/enums.h"

// A tag octet: the tag number in the upper four bits, the class bit, and the
// length/value/type field in the lower three bits.
inline constexpr uint8_t kTagClassContext = 0x08;
inline constexpr uint8_t kTagLvtMask = 0x07;
inline constexpr uint8_t kTagLvtExtendedLength = 5;  // the length follows the tag
inline constexpr uint8_t kTagLvtOpening = 6;         // context tags only
inline constexpr uint8_t kTagLvtClosing = 7;
// Tag number 15 in the tag octet: the tag number follows it.
inline constexpr uint8_t kTagNumberExtended = 15;

// The tag octet of an application tag, and of a context tag 0..14; with an
// lvt of 0 they are the tag bases of the encoders below.
inline constexpr uint8_t appTagOctet(BACnetApplicationTag tag, uint8_t lvt = 0) {
    return static_cast<uint8_t>(tag << 4 | lvt);
}
inline constexpr uint8_t ctxTagOctet(uint8_t number, uint8_t lvt = 0) {
    return static_cast<uint8_t>(number << 4 | kTagClassContext | lvt);
}

// The tag octets of the primitives whose length is fixed.
inline constexpr uint8_t kNullTagOctet = appTagOctet(kTagNull);
inline constexpr uint8_t kFalseTagOctet = appTagOctet(kTagBoolean, 0);
inline constexpr uint8_t kTrueTagOctet = appTagOctet(kTagBoolean, 1);
inline constexpr uint8_t kRealTagOctet = appTagOctet(kTagReal, 4);
inline constexpr uint8_t kDoubleTagOctet = appTagOctet(kTagDouble, kTagLvtExtendedLength);  // then 8
inline constexpr uint8_t kDateTagOctet = appTagOctet(kTagDate, 4);
inline constexpr uint8_t kTimeTagOctet = appTagOctet(kTagTime, 4);
inline constexpr uint8_t kObjectIdTagOctet = appTagOctet(kTagObjectIdentifier, 4);

// Error class in the upper 16 bits, error code in the lower. 0 is success.
using PackedError = uint32_t;

inline constexpr PackedError errMake(uint32_t errorClass, uint32_t code) {
    return errorClass << 16 | (code & 0xFFFF);
}
inline constexpr uint32_t errGetClass(PackedError e) {
    return e >> 16;
}
inline constexpr uint32_t errGetCode(PackedError e) {
    return e & 0xFFFF;
}

// Classes outside the protocol's: an Abort or a Reject, the code its reason.
inline constexpr uint32_t kClassAbort = 0x7FFF;
inline constexpr uint32_t kClassReject = 0x7FFE;

inline constexpr PackedError kRejectInvalidParameterDataType =
    errMake(kClassReject, kRejectReasonInvalidParameterDataType);
inline constexpr PackedError kRejectInvalidTag = errMake(kClassReject, kRejectReasonInvalidTag);
inline constexpr PackedError kErrorInvalidDataType = errMake(kErrorClassProperty, kErrorCodeInvalidDataType);
inline constexpr PackedError kErrorValueOutOfRange = errMake(kErrorClassProperty, kErrorCodeValueOutOfRange);
inline constexpr PackedError kErrorOutOfMemory = errMake(kErrorClassResources, kErrorCodeOutOfMemory);

// A character string as the stack and the application hold it. The
// characters follow the 8-octet header directly (no terminator); the owner of
// the record provides their room. Arrays of strings are records of
// 8 + length octets packed back to back, so a record in such an array may
// sit at any address: copy its header out before reading it.
struct CharString {
    uint32_t length;    // characters in the encoding (may exceed those stored)
    uint16_t codePage;  // meaningful only when charSet is 1
    uint8_t charSet;    // BACnet character set octet (0 UTF-8)
    uint8_t reserved;

    char *chars() { return reinterpret_cast<char *>(this + 1); }
    const char *chars() const { return reinterpret_cast<const char *>(this + 1); }
};
static_assert(sizeof(CharString) == 8, "the characters start 8 octets after the record");

// A CharString with room for N characters, for locals and members.
template <size_t N>
struct CharStringStore {
    CharString str{};
    char room[N]{};
};

// The parsed tag octet(s) at a position.
struct TagHeader {
    uint8_t number;      // tag number 0..254
    bool context;        // class bit
    bool opening;        // opening tag (context, length/value/type 6)
    bool closing;        // closing tag (context, length/value/type 7)
    uint8_t lvt;         // the length/value/type field, 0..7
    uint32_t length;     // value length (extended lengths resolved); 0 for opening/closing
    uint8_t headerSize;  // octets of tag, extended tag number and extended length
};

// Parses the tag at p. False when the tag runs past end, uses a 32-bit
// extended length (255), or declares a value longer than what remains.
bool tagDecodeHeader(const uint8_t *p, const uint8_t *end, TagHeader *header);

// Octet utilities.
uint8_t *bytesCopy(uint8_t *destination, const uint8_t *source, size_t count);
int bytesCompare(const uint8_t *a, const uint8_t *b, size_t count);
uint16_t bytesSwap16(uint16_t value);

// Decoders.
bool tagDecodeNull(const uint8_t **cursor, const uint8_t *end);
// Consumes one octet; true when its low three bits are 1. Serves the
// application tag octet 0x10/0x11 and the content octet of a context boolean.
bool tagDecodeBoolean(const uint8_t **cursor, const uint8_t *end, bool *value);
// A tag and 0..4 value octets; longer integers are refused.
bool tagDecodeInteger(const uint8_t **cursor, const uint8_t *end, bool isSigned, uint32_t *value);
bool tagDecodeUnsigned(const uint8_t **cursor, const uint8_t *end, uint32_t *value);
bool tagDecodeEnumerated(const uint8_t **cursor, const uint8_t *end, uint32_t *value);
bool tagDecodeSigned(const uint8_t **cursor, const uint8_t *end, int32_t *value);
bool tagDecodeContextUnsigned(const uint8_t **cursor, const uint8_t *end, bool isSigned, uint32_t *value);
bool tagDecodeReal(const uint8_t **cursor, const uint8_t *end, float *value);
bool tagDecodeDouble(const uint8_t **cursor, const uint8_t *end, double *value);
// Copies the first min(length, max) characters into out->chars() and stores
// the full character count in out->length. Refuses a value length of 0 and,
// for character set 1, one shorter than 3.
bool tagDecodeCharString(const uint8_t **cursor, const uint8_t *end, CharString *out, uint32_t max);
// Characters of the encoded string at p, without consuming it.
bool tagCharStringLength(const uint8_t *p, const uint8_t *end, uint32_t *characters);
// Copies at most max octets, skips the rest, and gives the full length.
bool tagDecodeOctetString(const uint8_t **cursor, const uint8_t *end, uint8_t *out, uint32_t max,
                          uint32_t *length);
// Copies the data octets (at most maxOctets, else refused) and gives the
// number of bits. Refuses a value length of 0 and more than 7 unused bits.
bool tagDecodeBitString(const uint8_t **cursor, const uint8_t *end, uint8_t *out, uint32_t maxOctets,
                        uint16_t *bits);
// The year is the octet plus 1900 (an unspecified year, 255, reads as 2155).
bool tagDecodeDate(const uint8_t **cursor, const uint8_t *end, uint16_t *year, uint8_t *month, uint8_t *day,
                   uint8_t *weekday);
bool tagDecodeTime(const uint8_t **cursor, const uint8_t *end, uint8_t *hour, uint8_t *minute,
                   uint8_t *second, uint8_t *hundredths);
bool tagDecodeObjectId(const uint8_t **cursor, const uint8_t *end, uint16_t *objectType, uint32_t *instance);
// The value length of the tag at p.
bool tagValueLength(const uint8_t *p, const uint8_t *end, uint32_t *length);

// Encoders (application tags unless named context). Bounds: null, boolean 1;
// integers 6 (context tags above 14: 7); real 5; double 10; date, time and
// object identifier 5 (context: 6); strings their header (at most 4 octets,
// plus 3 for character set 1 and 1 for the unused-bits octet) and data.
inline constexpr size_t kTagMaxPrimitive = 10;

uint8_t *tagEncodeNull(uint8_t *p);
uint8_t *tagEncodeBoolean(uint8_t *p, bool value);
// tagBase: tag number * 16, plus 8 for a context tag 0..14.
uint8_t *tagEncodeInteger(uint8_t *p, uint32_t value, uint8_t tagBase, bool isSigned);
uint8_t *tagEncodeContextInteger(uint8_t *p, uint32_t value, uint8_t tagNumber, bool isSigned);
uint8_t *tagEncodeUnsigned(uint8_t *p, uint32_t value);
uint8_t *tagEncodeSigned(uint8_t *p, int32_t value);
uint8_t *tagEncodeEnumerated(uint8_t *p, uint32_t value);
uint8_t *tagEncodeReal(uint8_t *p, float value);
uint8_t *tagEncodeDouble(uint8_t *p, double value);
// Writes a tag of the given base (tag number * 16, plus 8 for context) with a
// value length, choosing the extended forms. Null when the length exceeds
// 65535 (longer values are not supported).
uint8_t *tagEncodeTagAndLength(uint8_t *p, uint8_t tagBase, uint32_t length);
// The string encoders return null when the value would exceed 65535 octets.
uint8_t *tagEncodeOctetString(uint8_t *p, const uint8_t *octets, uint32_t count);
uint8_t *tagEncodeCharString(uint8_t *p, const CharString *value);
uint8_t *tagEncodeBitString(uint8_t *p, const uint8_t *data, uint8_t tagBase, uint32_t bits);
// A year of 1900 or more is offset by 1900 (capped at 255); a smaller one is
// taken as already offset. Out-of-range fields become 255 (unspecified);
// months 13, 14 and days 32..34 pass as the standard's special values.
uint8_t *tagEncodeDate(uint8_t *p, uint16_t year, uint8_t month, uint8_t day, uint8_t weekday);
uint8_t *tagEncodeTime(uint8_t *p, uint8_t hour, uint8_t minute, uint8_t second, uint8_t hundredths);
uint8_t *tagEncodeObjectId(uint8_t *p, uint16_t objectType, uint32_t instance);
// tagBase + 4, then value as 4 octets (context object identifiers).
uint8_t *tagEncodeContextObjectId(uint8_t *p, uint8_t tagBase, uint32_t value);

// The data octets of a bit string with the given bits set (bit 0 the top bit
// of octet 0), for the fixed bit strings of named bits.
template <size_t Octets, typename Bit>
constexpr std::array<uint8_t, Octets> bitsSet(std::initializer_list<Bit> bits) {
    std::array<uint8_t, Octets> octets{};
    for (Bit b : bits) {
        octets[b / 8] = static_cast<uint8_t>(octets[b / 8] | 0x80 >> (b % 8));
    }
    return octets;
}

// Octets of the header that tagEncodeCharString writes for a string.
uint32_t tagCharStringValueLength(const CharString *value);
