#pragma once
// Writing the tags of a value or of a service's parameters straight into
// the outgoing PDU; the codec's value encoder and the stack's services share
// it. Not part of the codec's public interface.

#include "bacnet/pdu_buffer.h"
#include "bacnet/property_encoder.h"
#include "bacnet/property_value.h"

#include <cstddef>
#include <cstring>

namespace codec {

// Appends to the PDU buffer; the first failure sticks, and every later call
// does nothing.
class Writer {
  public:
    explicit Writer(PduBuffer *b) : b_(b) {}

    bool ok() const { return ok_; }
    void fail() { ok_ = false; }
    // The buffer, for an encoder outside the codec that appends to it
    // directly; null once the writing has failed.
    PduBuffer *buffer() const { return ok_ ? b_ : nullptr; }
    // False, and the encoding fails, when a record counts elements in a
    // block it does not have.
    bool present(const void *block, uint32_t count) {
        if (count > 0 && block == nullptr) {
            ok_ = false;
        }
        return ok_;
    }

    void raw(const uint8_t *p, size_t n) {
        if (ok_ && n > 0 && pduAppendBytes(b_, static_cast<uint32_t>(n), p) != 0) {
            ok_ = false;
        }
    }
    void byte(uint8_t o) {
        if (ok_ && pduAppendByte(b_, o) != 0) {
            ok_ = false;
        }
    }
    void span(const uint8_t *from, const uint8_t *to) {
        if (to == nullptr) {
            ok_ = false;
            return;
        }
        raw(from, static_cast<size_t>(to - from));
    }

    void open(uint8_t n) {
        if (n < kTagNumberExtended) {
            byte(ctxTagOctet(n, kTagLvtOpening));
        } else {
            byte(ctxTagOctet(kTagNumberExtended, kTagLvtOpening));
            byte(n);
        }
    }
    void close(uint8_t n) {
        if (n < kTagNumberExtended) {
            byte(ctxTagOctet(n, kTagLvtClosing));
        } else {
            byte(ctxTagOctet(kTagNumberExtended, kTagLvtClosing));
            byte(n);
        }
    }

    void ctxU(uint8_t n, uint32_t v) { span(t_, tagEncodeContextInteger(t_, v, n, false)); }
    void ctxS(uint8_t n, int32_t v) {
        span(t_, tagEncodeContextInteger(t_, static_cast<uint32_t>(v), n, true));
    }
    void ctxBool(uint8_t n, uint8_t v) { ctxU(n, v != 0 ? 1 : 0); }
    void ctxOid(uint8_t n, uint32_t v) { span(t_, tagEncodeContextObjectId(t_, ctxTagOctet(n), v)); }
    void ctxReal(uint8_t n, float f) {
        uint8_t *e = tagEncodeReal(t_, f);
        t_[0] = ctxTagOctet(n, 4);
        span(t_, e);
    }
    void ctxDouble(uint8_t n, double d) {
        uint8_t *e = tagEncodeDouble(t_, d);
        t_[0] = ctxTagOctet(n, kTagLvtExtendedLength);
        span(t_, e);
    }
    void ctxNull(uint8_t n) { byte(ctxTagOctet(n)); }
    // Optional fields: nothing for an absent mark.
    void optIndex(uint8_t n, int32_t index) {
        if (index != kNoIndex) {
            ctxU(n, static_cast<uint32_t>(index));
        }
    }
    void optOid(uint8_t n, uint32_t v) {
        if (v != kAbsent) {
            ctxOid(n, v);
        }
    }
    void optU(uint8_t n, uint32_t v) {
        if (v != kAbsent) {
            ctxU(n, v);
        }
    }

    void appNull() { byte(kNullTagOctet); }
    void appBool(bool v) { byte(v ? kTrueTagOctet : kFalseTagOctet); }
    void appU(uint32_t v) { span(t_, tagEncodeUnsigned(t_, v)); }
    void appS(int32_t v) { span(t_, tagEncodeSigned(t_, v)); }
    void appEnum(uint32_t v) { span(t_, tagEncodeEnumerated(t_, v)); }
    void appReal(float f) { span(t_, tagEncodeReal(t_, f)); }
    void appDouble(double d) { span(t_, tagEncodeDouble(t_, d)); }
    void appOidRaw(uint32_t raw) {
        t_[0] = kObjectIdTagOctet;
        t_[1] = static_cast<uint8_t>(raw >> 24);
        t_[2] = static_cast<uint8_t>(raw >> 16);
        t_[3] = static_cast<uint8_t>(raw >> 8);
        t_[4] = static_cast<uint8_t>(raw);
        raw_(t_, 5);
    }
    // A date record holds year - 1900, which the tag encoder takes as
    // already offset.
    void appDate(const BACnetDate &d) { span(t_, tagEncodeDate(t_, d.year, d.month, d.day, d.weekday)); }
    void appTime(const BACnetTime &t) {
        span(t_, tagEncodeTime(t_, t.hour, t.minute, t.second, t.hundredths));
    }
    // The same with the tag octet made context n.
    void ctxDate(uint8_t n, const BACnetDate &d) {
        uint8_t *e = tagEncodeDate(t_, d.year, d.month, d.day, d.weekday);
        t_[0] = ctxTagOctet(n, 4);
        span(t_, e);
    }
    void ctxTime(uint8_t n, const BACnetTime &t) {
        uint8_t *e = tagEncodeTime(t_, t.hour, t.minute, t.second, t.hundredths);
        t_[0] = ctxTagOctet(n, 4);
        span(t_, e);
    }

    // Octet strings and bit strings: the header, then the data straight from
    // the caller's octets.
    void octets(uint8_t tagBase, const uint8_t *data, uint32_t n) {
        if (n > 0 && data == nullptr) {
            ok_ = false;
            return;
        }
        span(t_, tagEncodeTagAndLength(t_, tagBase, n));
        raw(data, n);
    }
    void bits(uint8_t tagBase, const uint8_t *data, uint32_t nbits) {
        const uint32_t n = (nbits + 7) / 8;
        if (n > 0 && data == nullptr) {
            ok_ = false;
            return;
        }
        uint8_t *e = tagEncodeTagAndLength(t_, tagBase, n + 1);
        if (e == nullptr) {
            ok_ = false;
            return;
        }
        *e++ = static_cast<uint8_t>(n * 8 - nbits);
        span(t_, e);
        raw(data, n);
    }
    void bits8(uint8_t tagBase, uint8_t data, uint32_t nbits) { bits(tagBase, &data, nbits); }
    void charString(const CharString *s) { string(appTagOctet(kTagCharacterString), s); }
    void ctxCharString(uint8_t n, const CharString *s) { string(ctxTagOctet(n), s); }
    // A string given as its header and its characters (packed records need
    // not be aligned, so their header is copied out first).
    void charString(const CharString &s, const uint8_t *chars) {
        string(appTagOctet(kTagCharacterString), s, chars);
    }
    void mac(uint16_t length, const uint8_t *m) {
        if (length > kMaxMac) {
            ok_ = false;
            return;
        }
        octets(appTagOctet(kTagOctetString), m, length);
    }

    // A value as the codec encodes it for its object type and property.
    void value(uint16_t objectType, uint32_t property, PropertyValue *v) {
        if (ok_ && propEncodeValue(b_, objectType, property, v) != 0) {
            ok_ = false;
        }
    }

  private:
    void raw_(const uint8_t *p, size_t n) { raw(p, n); }
    void string(uint8_t tagBase, const CharString *s) {
        if (s == nullptr) {
            ok_ = false;
            return;
        }
        string(tagBase, *s, reinterpret_cast<const uint8_t *>(s->chars()));
    }
    void string(uint8_t tagBase, const CharString &s, const uint8_t *chars) {
        if (s.length > 0xFFFF) {
            ok_ = false;
            return;
        }
        uint8_t *e = tagEncodeTagAndLength(t_, tagBase, tagCharStringValueLength(&s));
        if (e == nullptr) {
            ok_ = false;
            return;
        }
        *e++ = s.charSet;
        if (s.charSet == kCharSetDbcs) {
            *e++ = static_cast<uint8_t>(s.codePage >> 8);
            *e++ = static_cast<uint8_t>(s.codePage);
        }
        span(t_, e);
        raw(chars, s.length);
    }

    PduBuffer *b_;
    bool ok_ = true;
    uint8_t t_[16] = {};
};

// The data octets of a bit-string value: inline when short and not owned.
inline const uint8_t *bitData(const PropertyValue &v) {
    const uint32_t octets = (uint32_t{v.length} + 7) / 8;
    if (octets <= 7 && !v.ownsValue) {
        return v.value.octets;
    }
    return static_cast<const uint8_t *>(v.value.block);
}

// One primitive (kDtNull .. kDtObjectId) with its application tag (with the
// encoder).
void primitive(Writer &w, const PropertyValue &v);

// A date-time value; in a slot of a date-time priority array, inside its
// context tag.
inline void dateTimeSlot(Writer &w, bool wrapped, const BACnetDateTimeValue &v) {
    if (wrapped) {
        w.open(kPriorityValueDateTime);
    }
    w.appDate(v.date);
    w.appTime(v.time);
    if (wrapped) {
        w.close(kPriorityValueDateTime);
    }
}

// An error as opening tag n, class and code, closing tag n.
inline void encErrorPair(Writer &w, uint8_t n, PackedError e) {
    w.open(n);
    w.appEnum(errGetClass(e));
    w.appEnum(errGetCode(e));
    w.close(n);
}

// A time stamp by its choice; an unknown choice fails the writing.
inline void encTimeStamp(Writer &w, const BACnetTimeStamp &t) {
    if (t.choice == kTimeStampSequenceNumber) {
        w.ctxU(kTimeStampSequenceNumber, t.sequenceNumber);
    } else if (t.choice == kTimeStampDateTime) {
        w.open(kTimeStampDateTime);
        w.appDate(t.date);
        w.appTime(t.time);
        w.close(kTimeStampDateTime);
    } else if (t.choice == kTimeStampTime) {
        w.ctxTime(kTimeStampTime, t.time);
    } else {
        w.fail();
    }
}

// CharString records packed back to back, each as an application string.
inline void packedStrings(Writer &w, const void *list, uint32_t count) {
    const auto *p = static_cast<const uint8_t *>(list);
    if (!w.present(p, count)) {
        return;
    }
    for (uint32_t i = 0; i < count && w.ok(); ++i) {
        CharString header;
        std::memcpy(&header, p, sizeof header);
        w.charString(header, p + sizeof header);
        p += sizeof(CharString) + header.length;
    }
}

// Runs body on a writer over the buffer: 0 when everything was appended, 1
// otherwise.
template <typename F>
uint8_t appendAll(PduBuffer *buffer, F body) {
    if (buffer == nullptr || buffer->start == nullptr) {
        return 1;
    }
    const uint32_t mark = buffer->length;
    Writer w(buffer);
    body(w);
    if (w.ok()) {
        return 0;
    }
    // Take back what this call appended, so a half-written value never goes
    // out (a buffer that could not grow has been freed already).
    if (buffer->start != nullptr && buffer->length > mark) {
        std::memset(buffer->writeBase + mark, 0, buffer->length - mark);
        buffer->length = mark;
    }
    return 1;
}

}  // namespace codec
