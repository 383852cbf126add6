#include "bacnet/property_encoder.h"

#include "bacnet/app_memory.h"
#include "bacnet/datatype_table.h"
#include "codec_internal.h"

#include <cstring>

namespace {

// Appends to the PDU buffer; the first failure sticks, and every later call
// does nothing.
class Wr {
  public:
    explicit Wr(PduBuffer *b) : b_(b) {}

    bool ok() const { return ok_; }
    void fail() { ok_ = false; }

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
        if (n <= 14) {
            byte(static_cast<uint8_t>(n * 16 + 0x0E));
        } else {
            byte(0xFE);
            byte(n);
        }
    }
    void close(uint8_t n) {
        if (n <= 14) {
            byte(static_cast<uint8_t>(n * 16 + 0x0F));
        } else {
            byte(0xFF);
            byte(n);
        }
    }

    void ctxU(uint8_t n, uint32_t v) { span(t_, tagEncodeContextInteger(t_, v, n, false)); }
    void ctxS(uint8_t n, int32_t v) {
        span(t_, tagEncodeContextInteger(t_, static_cast<uint32_t>(v), n, true));
    }
    void ctxBool(uint8_t n, uint8_t v) { ctxU(n, v != 0 ? 1 : 0); }
    void ctxOid(uint8_t n, uint32_t v) {
        span(t_, tagEncodeContextObjectId(t_, static_cast<uint8_t>(n * 16 + 8), v));
    }
    void ctxReal(uint8_t n, float f) {
        uint8_t *e = tagEncodeReal(t_, f);
        t_[0] = static_cast<uint8_t>(n * 16 + 0x0C);
        span(t_, e);
    }
    void ctxDouble(uint8_t n, double d) {
        uint8_t *e = tagEncodeDouble(t_, d);
        t_[0] = static_cast<uint8_t>(n * 16 + 0x0D);
        span(t_, e);
    }
    void ctxNull(uint8_t n) { byte(static_cast<uint8_t>(n * 16 + 0x08)); }

    void appNull() { byte(0x00); }
    void appBool(bool v) { byte(v ? 0x11 : 0x10); }
    void appU(uint32_t v) { span(t_, tagEncodeUnsigned(t_, v)); }
    void appS(int32_t v) { span(t_, tagEncodeSigned(t_, v)); }
    void appEnum(uint32_t v) { span(t_, tagEncodeEnumerated(t_, v)); }
    void appReal(float f) { span(t_, tagEncodeReal(t_, f)); }
    void appDouble(double d) { span(t_, tagEncodeDouble(t_, d)); }
    void appOidRaw(uint32_t raw) {
        t_[0] = 0xC4;
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
        t_[0] = static_cast<uint8_t>(n * 16 + 0x0C);
        span(t_, e);
    }
    void ctxTime(uint8_t n, const BACnetTime &t) {
        uint8_t *e = tagEncodeTime(t_, t.hour, t.minute, t.second, t.hundredths);
        t_[0] = static_cast<uint8_t>(n * 16 + 0x0C);
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
    void charString(const CharString *s) {
        if (s == nullptr) {
            ok_ = false;
            return;
        }
        charString(*s, reinterpret_cast<const uint8_t *>(s->chars()));
    }
    // A string given as its header and its characters (packed records need
    // not be aligned, so their header is copied out first).
    void charString(const CharString &s, const uint8_t *chars) {
        if (s.length > 0xFFFF) {
            ok_ = false;
            return;
        }
        uint8_t *e = tagEncodeTagAndLength(t_, 0x70, tagCharStringValueLength(&s));
        if (e == nullptr) {
            ok_ = false;
            return;
        }
        *e++ = s.charSet;
        if (s.charSet == 1) {
            *e++ = static_cast<uint8_t>(s.codePage >> 8);
            *e++ = static_cast<uint8_t>(s.codePage);
        }
        span(t_, e);
        raw(chars, s.length);
    }
    void mac(uint16_t length, const uint8_t *m) {
        if (length > kMaxMac) {
            ok_ = false;
            return;
        }
        octets(0x60, m, length);
    }

  private:
    void raw_(const uint8_t *p, size_t n) { raw(p, n); }

    PduBuffer *b_;
    bool ok_ = true;
    uint8_t t_[16] = {};
};

// The data octets of a bit-string value: inline when short and not owned.
const uint8_t *bitData(const PropertyValue &v) {
    const uint32_t octets = (uint32_t{v.length} + 7) / 8;
    if (octets <= 7 && !v.ownsValue) {
        return v.value.octets;
    }
    return static_cast<const uint8_t *>(v.value.block);
}

// One primitive (0..12) with its application tag.
void primitive(Wr &w, const PropertyValue &v) {
    switch (v.datatype) {
        case kDtNull:
            w.appNull();
            break;
        case kDtBoolean:
            w.appBool(v.value.u != 0);
            break;
        case kDtUnsigned:
            w.appU(v.value.u);
            break;
        case kDtSigned:
            w.appS(v.value.i);
            break;
        case kDtReal:
            w.appReal(v.value.f);
            break;
        case kDtDouble:
            w.appDouble(v.value.d);
            break;
        case kDtOctetString:
            w.octets(0x60, static_cast<const uint8_t *>(v.value.block), v.length);
            break;
        case kDtCharString:
            w.charString(static_cast<const CharString *>(v.value.block));
            break;
        case kDtBitString:
            w.bits(0x80, bitData(v), v.length);
            break;
        case kDtEnumerated:
            w.appEnum(v.value.u);
            break;
        case kDtDate:
            w.appDate(v.value.date);
            break;
        case kDtTime:
            w.appTime(v.value.time);
            break;
        case kDtObjectId:
            w.appOidRaw(v.value.u);
            break;
        default:
            w.fail();
    }
}

void recipient(Wr &w, const BACnetRecipient &r) {
    if (r.choice == 0) {
        // A device identifier is always the 4-octet object identifier.
        w.ctxOid(0, r.device);
    } else if (r.choice == 1) {
        w.open(1);
        w.appU(r.network);
        w.mac(r.macLength, r.mac);
        w.close(1);
    } else {
        w.fail();
    }
}

void devObjPropRef(Wr &w, const BACnetDeviceObjectPropertyReference &r) {
    w.ctxOid(0, r.objectId);
    w.ctxU(1, r.propertyId);
    if (r.arrayIndex != kNoIndex) {
        w.ctxU(2, static_cast<uint32_t>(r.arrayIndex));
    }
    if (r.deviceId != kAbsent) {
        w.ctxOid(3, r.deviceId);
    }
}

void devObjRef(Wr &w, uint32_t device, uint32_t object) {
    if (device != kAbsent) {
        w.ctxOid(0, device);
    }
    w.ctxOid(1, object);
}

void dateTimeIn(Wr &w, uint8_t n, const BACnetDate &d, const BACnetTime &t) {
    w.open(n);
    w.appDate(d);
    w.appTime(t);
    w.close(n);
}

void calendarEntry(Wr &w, const BACnetCalendarEntry &e) {
    switch (e.choice) {
        case 0:
            w.ctxDate(0, e.date);
            break;
        case 1:
            w.open(1);
            w.appDate(e.date);
            w.appDate(e.endDate);
            w.close(1);
            break;
        case 2:
            w.octets(0x28, e.weekNDay, 3);
            break;
        default:
            w.fail();
    }
}

void lightingCommand(Wr &w, const BACnetLightingCommand &c, uint8_t openingTag) {
    if (openingTag != 255) {
        w.open(openingTag);
    }
    w.ctxU(0, c.operation);
    if (c.hasTargetLevel) {
        w.ctxReal(1, c.targetLevel);
    }
    if (c.hasRampRate) {
        w.ctxReal(2, c.rampRate);
    }
    if (c.hasStepIncrement) {
        w.ctxReal(3, c.stepIncrement);
    }
    if (c.hasFadeTime) {
        w.ctxU(4, c.fadeTime);
    }
    if (c.hasPriority) {
        w.ctxU(5, c.priority);
    }
    if (openingTag != 255) {
        w.close(openingTag);
    }
}

void encTimeValue(Wr &w, const BACnetTimeValue &tv) {
    w.appTime(tv.time);
    primitive(w, tv.value);
}

void timeValues(Wr &w, const BACnetTimeValue *tv, uint32_t count) {
    if (count > 0 && tv == nullptr) {
        w.fail();
        return;
    }
    for (uint32_t i = 0; i < count && w.ok(); ++i) {
        encTimeValue(w, tv[i]);
    }
}

void errorPair(Wr &w, uint8_t n, PackedError e) {
    w.open(n);
    w.appEnum(e >> 16);
    w.appEnum(e & 0xFFFF);
    w.close(n);
}

void valueOrError(Wr &w, uint8_t n, const PropertyValue &v) {
    if (v.datatype == kDtUnknown) {
        errorPair(w, n + 1, v.value.u);
    } else {
        w.open(n);
        primitive(w, v);
        w.close(n);
    }
}

void propertyState(Wr &w, uint32_t state) {
    w.ctxU(static_cast<uint8_t>(state >> 24), state & 0xFFFFFF);
}

void packedStrings(Wr &w, const void *list, uint32_t count) {
    const auto *p = static_cast<const uint8_t *>(list);
    if (count > 0 && p == nullptr) {
        w.fail();
        return;
    }
    for (uint32_t i = 0; i < count && w.ok(); ++i) {
        CharString header;
        std::memcpy(&header, p, sizeof header);
        w.charString(header, p + sizeof header);
        p += sizeof(CharString) + header.length;
    }
}

void eventParameter(Wr &w, const BACnetEventParameter &e) {
    const uint8_t c = e.choice;
    if (!eventParameterChoiceKnown(c)) {
        w.fail();
        return;
    }
    w.open(c);
    if (c != 9 && c != 10 && c != 13) {
        w.ctxU(0, e.timeDelay);
    }
    switch (c) {
        case 0: {
            w.bits(0x18, bitData(e.criteria), e.criteria.length);
            w.open(2);
            const auto *masks = static_cast<const PropertyValue *>(e.list);
            for (uint32_t i = 0; masks != nullptr && i < e.listCount; ++i) {
                w.bits(0x80, bitData(masks[i]), masks[i].length);
            }
            w.close(2);
            break;
        }
        case 1: {
            w.open(1);
            const auto *states = static_cast<const uint32_t *>(e.list);
            for (uint32_t i = 0; states != nullptr && i < e.listCount; ++i) {
                propertyState(w, states[i]);
            }
            w.close(1);
            break;
        }
        case 2:
            w.open(1);
            if (e.criteria.datatype == kDtBitString) {
                w.bits(0x08, bitData(e.criteria), e.criteria.length);
            } else if (e.criteria.datatype == kDtReal) {
                w.ctxReal(1, e.criteria.value.f);
            } else {
                w.fail();
            }
            w.close(1);
            break;
        case 3:
        case 4:
            w.open(1);
            devObjPropRef(w, e.reference);
            w.close(1);
            if (c == 4) {
                w.ctxReal(2, e.realLow);
                w.ctxReal(3, e.realHigh);
                w.ctxReal(4, e.realDeadband);
            }
            break;
        case 5:
            w.ctxReal(1, e.realLow);
            w.ctxReal(2, e.realHigh);
            w.ctxReal(3, e.realDeadband);
            break;
        case 8: {
            const auto *alarm = static_cast<const uint32_t *>(e.list);
            w.open(1);
            for (uint32_t i = 0; alarm != nullptr && i < e.listCount; ++i) {
                w.appEnum(alarm[i]);
            }
            w.close(1);
            w.open(2);
            for (uint32_t i = 0; e.list2 != nullptr && i < e.list2Count; ++i) {
                w.appEnum(e.list2[i]);
            }
            w.close(2);
            w.open(3);
            devObjPropRef(w, e.reference);
            w.close(3);
            break;
        }
        case 9:
            w.ctxU(0, e.vendorId);
            w.ctxU(1, e.extendedType);
            w.open(2);
            for (uint32_t i = 0; e.parameters != nullptr && i < e.parameterCount; ++i) {
                const PropertyValue &p = e.parameters[i];
                switch (p.datatype) {
                    case kDtDeviceObjectPropertyReference:
                        if (p.value.block == nullptr) {
                            w.fail();
                            break;
                        }
                        w.open(0);
                        devObjPropRef(
                            w, *static_cast<const BACnetDeviceObjectPropertyReference *>(p.value.block));
                        w.close(0);
                        break;
                    case kDtNull:
                    case kDtBoolean:
                    case kDtUnsigned:
                    case kDtSigned:
                    case kDtReal:
                    case kDtDouble:
                    case kDtOctetString:
                    case kDtBitString:
                    case kDtEnumerated:
                    case kDtObjectId:
                        primitive(w, p);
                        break;
                    default:
                        break;  // no parameter form
                }
            }
            w.close(2);
            break;
        case 10:
            w.ctxU(0, e.notificationThreshold);
            w.ctxU(1, e.previousCount);
            break;
        case 11:
            w.ctxU(1, e.low);
            w.ctxU(2, e.high);
            break;
        case 13: {
            const auto *events = static_cast<const uint32_t *>(e.list);
            w.open(0);
            for (uint32_t i = 0; events != nullptr && i < e.listCount; ++i) {
                w.appEnum(events[i]);
            }
            w.close(0);
            w.open(1);
            devObjPropRef(w, e.reference);
            w.close(1);
            break;
        }
        case 14:
            w.ctxDouble(1, e.doubleLow);
            w.ctxDouble(2, e.doubleHigh);
            w.ctxDouble(3, e.doubleDeadband);
            break;
        case 15:
            w.ctxS(1, static_cast<int32_t>(e.low));
            w.ctxS(2, static_cast<int32_t>(e.high));
            w.ctxU(3, e.deadband);
            break;
        case 16:
            w.ctxU(1, e.low);
            w.ctxU(2, e.high);
            w.ctxU(3, e.deadband);
            break;
        case 17:
            w.open(1);
            packedStrings(w, e.list, e.listCount);
            w.close(1);
            break;
        case 18:
            w.bits8(0x18, e.selectedFlags, 4);
            break;
    }
    w.close(c);
}

void faultParameter(Wr &w, const BACnetFaultParameter &f) {
    switch (f.choice) {
        case 0:
            w.ctxNull(0);
            break;
        case 1:
            w.open(1);
            w.open(0);
            packedStrings(w, f.list, f.listCount);
            w.close(0);
            w.close(1);
            break;
        case 2: {
            const auto *ext = static_cast<const BACnetFaultExtended *>(f.list);
            if (ext == nullptr) {
                w.fail();
                break;
            }
            w.open(2);
            w.ctxU(0, ext->vendorId);
            w.ctxU(1, ext->extendedFaultType);
            w.open(2);
            for (uint32_t i = 0; ext->parameters != nullptr && i < ext->parameterCount; ++i) {
                const PropertyValue &p = ext->parameters[i];
                if (p.datatype == kDtDeviceObjectPropertyReference && p.value.block != nullptr) {
                    w.open(0);
                    devObjPropRef(w,
                                  *static_cast<const BACnetDeviceObjectPropertyReference *>(p.value.block));
                    w.close(0);
                } else {
                    primitive(w, p);
                }
            }
            w.close(2);
            w.close(2);
            break;
        }
        case 3: {
            const auto *modes = static_cast<const uint32_t *>(f.list);
            w.open(3);
            w.open(0);
            for (uint32_t i = 0; modes != nullptr && i < f.listCount; ++i) {
                w.appEnum(modes[i]);
            }
            w.close(0);
            w.open(1);
            devObjPropRef(w, f.reference);
            w.close(1);
            w.close(3);
            break;
        }
        case 4: {
            const auto *states = static_cast<const uint32_t *>(f.list);
            w.open(4);
            w.open(0);
            for (uint32_t i = 0; states != nullptr && i < f.listCount; ++i) {
                propertyState(w, states[i]);
            }
            w.close(0);
            w.close(4);
            break;
        }
        case 5:
            w.open(5);
            w.open(0);
            devObjPropRef(w, f.reference);
            w.close(0);
            w.close(5);
            break;
        default:
            w.fail();
    }
}

void logDatum(Wr &w, const BACnetLogRecord &r) {
    static constexpr uint8_t kDatumType[] = {kDtBitString, kDtBoolean,   kDtReal, kDtEnumerated, kDtUnsigned,
                                             kDtSigned,    kDtBitString, kDtNull, kDtUnknown,    kDtReal};
    const uint8_t c = r.datumChoice;
    if (c > 9 || r.datum.datatype != kDatumType[c]) {
        w.fail();
        return;
    }
    const PropertyValue &d = r.datum;
    switch (c) {
        case 0:
        case 6:
            w.bits(static_cast<uint8_t>(c * 16 + 8), bitData(d), d.length);
            break;
        case 1:
            w.ctxBool(1, d.value.u != 0);
            break;
        case 2:
        case 9:
            w.ctxReal(c, d.value.f);
            break;
        case 3:
        case 4:
            w.ctxU(c, d.value.u);
            break;
        case 5:
            w.ctxS(5, d.value.i);
            break;
        case 7:
            w.ctxNull(7);
            break;
        case 8:
            errorPair(w, 8, d.value.u);
            break;
    }
}

void logMultipleEntry(Wr &w, const BACnetLogMultipleEntry &e) {
    switch (e.choice) {
        case 0:
            w.ctxBool(0, e.datum != 0);
            break;
        case 1: {
            float f;
            std::memcpy(&f, &e.datum, 4);
            w.ctxReal(1, f);
            break;
        }
        case 2:
        case 3:
            w.ctxU(e.choice, e.datum);
            break;
        case 4:
            w.ctxS(4, static_cast<int32_t>(e.datum));
            break;
        case 5: {
            if (e.bitCount > 32) {
                w.fail();
                break;
            }
            const uint8_t bits[4] = {static_cast<uint8_t>(e.datum >> 24), static_cast<uint8_t>(e.datum >> 16),
                                     static_cast<uint8_t>(e.datum >> 8), static_cast<uint8_t>(e.datum)};
            w.bits(0x58, bits, e.bitCount);
            break;
        }
        case 6:
            w.ctxNull(6);
            break;
        case 7:
            errorPair(w, 7, e.datum);
            break;
        default:
            w.fail();
    }
}

bool isDateTimePriorityArray(uint16_t objectType, uint32_t propertyId) {
    return propertyId == 87 && (objectType == 43 || objectType == 44);
}

// Elements of the value's block, or a failure when the block is missing.
template <typename T>
const T *elements(Wr &w, const PropertyValue &v) {
    if (v.count > 0 && v.value.block == nullptr) {
        w.fail();
        return nullptr;
    }
    return static_cast<const T *>(v.value.block);
}

#define EACH(T, name)                                                         \
    const T *arr_ = elements<T>(w, *v);                                       \
    for (uint32_t i_ = 0; arr_ != nullptr && i_ < v->count && w.ok(); ++i_) { \
        const T &name = arr_[i_];

#define END_EACH }

void encodeValue(Wr &w, uint16_t objectType, uint32_t propertyId, PropertyValue *v) {
    const uint8_t dt = v->datatype;
    switch (dt) {
        case kDtBoolean:
            if (v->count == 0) {
                primitive(w, *v);
            } else {
                EACH(uint8_t, x)
                w.appBool(x != 0);
                END_EACH
            }
            break;
        case kDtNull:
        case kDtSigned:
        case kDtDouble:
        case kDtOctetString:
        case kDtBitString:
        case kDtDate:
        case kDtTime:
        case kDtObjectId:
            primitive(w, *v);
            break;
        case kDtUnsigned:
        case kDtEnumerated:
            if (v->count == 0) {
                primitive(w, *v);
            } else {
                // All bits set stand for NULL only in a priority array; in
                // any other array they are the value 4294967295.
                const bool slots = propertyId == 87;
                EACH(uint32_t, x)
                if (slots && x == kAbsent) {
                    w.appNull();
                } else if (dt == kDtUnsigned) {
                    w.appU(x);
                } else {
                    w.appEnum(x);
                }
                END_EACH
            }
            break;
        case kDtReal:
            if (v->count == 0) {
                primitive(w, *v);
            } else {
                const bool slots = propertyId == 87;
                EACH(uint32_t, x)
                if (slots && x == 0xFFFFFFFFu) {
                    w.appNull();
                } else {
                    float f;
                    std::memcpy(&f, &x, 4);
                    w.appReal(f);
                }
                END_EACH
            }
            break;
        case kDtCharString:
            if (v->count == 0) {
                primitive(w, *v);
            } else {
                const auto *p = static_cast<const uint8_t *>(v->value.block);
                packedStrings(w, p, v->count);
            }
            break;
        case kDtAny: {
            const bool wrap = isDateTimePriorityArray(objectType, propertyId);
            EACH(PropertyValue, x)
            if (x.datatype == kDtDateTime) {
                if (wrap) {
                    w.open(1);
                }
                w.appDate(x.value.dateTime.date);
                w.appTime(x.value.dateTime.time);
                if (wrap) {
                    w.close(1);
                }
            } else {
                primitive(w, x);
            }
            END_EACH
            break;
        }
        case kDtObjectIdList: {
            EACH(uint32_t, x)
            w.appOidRaw(x);
            END_EACH
            break;
        }
        case kDtAddressBinding: {
            EACH(BACnetAddressBinding, b)
            w.appOidRaw((uint32_t{8} << 22) | (b.deviceId & 0x3FFFFF));
            w.appU(b.network);
            w.mac(b.macLength, b.mac);
            END_EACH
            break;
        }
        case kDtRecipient: {
            EACH(BACnetRecipient, r)
            recipient(w, r);
            END_EACH
            break;
        }
        case kDtCalendarEntry: {
            EACH(BACnetCalendarEntry, e)
            calendarEntry(w, e);
            END_EACH
            break;
        }
        case kDtObjectPropertyReference:
        case kDtSetpointReference: {
            uint8_t isArray = 0;
            propGetDatatype(objectType, propertyId, &isArray);
            const uint32_t n = (dt == kDtSetpointReference || isArray) ? v->count : (v->count > 0 ? 1 : 0);
            if (dt == kDtObjectPropertyReference && n == 0) {
                w.fail();  // a single reference with nothing to write
                break;
            }
            if (n > 0 && v->value.block == nullptr) {
                w.fail();
                break;
            }
            const auto *refs = static_cast<const BACnetObjectPropertyReference *>(v->value.block);
            for (uint32_t i = 0; i < n && w.ok(); ++i) {
                if (dt == kDtSetpointReference) {
                    w.open(0);
                }
                w.ctxOid(0, refs[i].objectId);
                w.ctxU(1, refs[i].propertyId);
                if (refs[i].arrayIndex != kNoIndex) {
                    w.ctxU(2, static_cast<uint32_t>(refs[i].arrayIndex));
                }
                if (dt == kDtSetpointReference) {
                    w.close(0);
                }
            }
            break;
        }
        case kDtVTSession: {
            EACH(BACnetVTSession, s)
            w.appU(s.localSessionId);
            w.appU(s.remoteSessionId);
            w.appU(s.remoteNetwork);
            w.mac(s.macLength, s.mac);
            END_EACH
            break;
        }
        case kDtDestination: {
            EACH(BACnetDestination, d)
            w.bits8(0x80, static_cast<uint8_t>(d.validDays & 0xFE), 7);
            w.appTime(d.from);
            w.appTime(d.to);
            recipient(w, d.recipient);
            w.appU(d.processId);
            w.appBool(d.issueConfirmed != 0);
            w.bits8(0x80, static_cast<uint8_t>(d.transitions & 0xE0), 3);
            END_EACH
            break;
        }
        case kDtSessionKey: {
            EACH(BACnetSessionKey, k)
            w.octets(0x60, k.key, 8);
            w.appU(k.network);
            w.mac(k.macLength, k.mac);
            END_EACH
            break;
        }
        case kDtReadAccessSpecification: {
            EACH(ReadAccessSpecification, s)
            if (s.referenceCount > 0 && s.references == nullptr) {
                w.fail();
                break;
            }
            w.ctxOid(0, s.objectId);
            w.open(1);
            for (uint32_t i = 0; i < s.referenceCount; ++i) {
                w.ctxU(0, s.references[i].propertyId);
                if (s.references[i].arrayIndex != kNoIndex) {
                    w.ctxU(1, static_cast<uint32_t>(s.references[i].arrayIndex));
                }
            }
            w.close(1);
            END_EACH
            break;
        }
        case kDtDailySchedule: {
            if (v->count != 1 && v->count != 7) {
                w.fail();
                break;
            }
            EACH(BACnetDailySchedule, d)
            w.open(0);
            timeValues(w, d.timeValues, d.timeValueCount);
            w.close(0);
            END_EACH
            break;
        }
        case kDtSpecialEvent: {
            EACH(BACnetSpecialEvent, e)
            if (e.periodChoice == 0) {
                w.open(0);
                calendarEntry(w, e.calendarEntry);
                w.close(0);
            } else if (e.periodChoice == 1) {
                w.ctxOid(1, e.calendarId);
            } else {
                w.fail();
            }
            w.open(2);
            timeValues(w, e.timeValues, e.timeValueCount);
            w.close(2);
            w.ctxU(3, e.priority);
            END_EACH
            break;
        }
        case kDtDeviceObjectReference: {
            EACH(BACnetDeviceObjectReference, r)
            devObjRef(w, r.deviceId, r.objectId);
            END_EACH
            break;
        }
        case kDtDeviceObjectPropertyReference: {
            EACH(BACnetDeviceObjectPropertyReference, r)
            devObjPropRef(w, r);
            END_EACH
            break;
        }
        case kDtDateRange:
            w.appDate(v->value.dateRange.start);
            w.appDate(v->value.dateRange.end);
            break;
        case kDtDateTime: {
            const bool wrap = isDateTimePriorityArray(objectType, propertyId);
            if (wrap) {
                w.open(1);
            }
            w.appDate(v->value.dateTime.date);
            w.appTime(v->value.dateTime.time);
            if (wrap) {
                w.close(1);
            }
            break;
        }
        case kDtTimeStamp: {
            EACH(BACnetTimeStamp, t)
            if (t.choice == 1) {
                w.ctxU(1, t.sequenceNumber);
            } else if (t.choice == 2) {
                dateTimeIn(w, 2, t.date, t.time);
            } else if (t.choice == 0) {
                w.ctxTime(0, t.time);
            } else {
                w.fail();
            }
            END_EACH
            break;
        }
        case kDtActionList: {
            EACH(BACnetActionList, l)
            if (l.commandCount > 0 && l.commands == nullptr) {
                w.fail();
                break;
            }
            w.open(0);
            for (uint32_t i = 0; i < l.commandCount && w.ok(); ++i) {
                const BACnetActionCommand &c = l.commands[i];
                devObjRef(w, c.deviceId, c.objectId);
                w.ctxU(2, c.propertyId);
                if (c.arrayIndex != kNoIndex) {
                    w.ctxU(3, static_cast<uint32_t>(c.arrayIndex));
                }
                w.open(4);
                primitive(w, c.value);
                w.close(4);
                if (c.priority >= 1 && c.priority <= 16) {
                    w.ctxU(5, c.priority);
                }
                if (c.postDelay != kAbsent) {
                    w.ctxU(6, c.postDelay);
                }
                w.ctxBool(7, c.quitOnFailure);
                w.ctxBool(8, c.writeSuccessful);
            }
            w.close(0);
            END_EACH
            break;
        }
        case kDtEventParameter:
            if (v->value.block == nullptr) {
                w.fail();
            } else {
                eventParameter(w, *static_cast<const BACnetEventParameter *>(v->value.block));
            }
            break;
        case kDtReadAccessResult: {
            EACH(ReadAccessResult, s)
            if (s.resultCount > 0 && s.results == nullptr) {
                w.fail();
                break;
            }
            w.ctxOid(0, s.objectId);
            w.open(1);
            for (uint32_t i = 0; i < s.resultCount && w.ok(); ++i) {
                const BACnetReadResult &res = s.results[i];
                w.ctxU(2, res.propertyId);
                if (res.arrayIndex != kNoIndex) {
                    w.ctxU(3, static_cast<uint32_t>(res.arrayIndex));
                }
                valueOrError(w, 4, res.value);
            }
            w.close(1);
            END_EACH
            break;
        }
        case kDtCOVSubscription: {
            EACH(BACnetCOVSubscription, s)
            w.open(0);
            w.open(0);
            recipient(w, s.recipient);
            w.close(0);
            w.ctxU(1, s.processId);
            w.close(0);
            w.open(1);
            w.ctxOid(0, s.objectId);
            w.ctxU(1, s.propertyId);
            if (s.arrayIndex != kNoIndex) {
                w.ctxU(2, static_cast<uint32_t>(s.arrayIndex));
            }
            w.close(1);
            w.ctxBool(2, s.issueConfirmed);
            w.ctxU(3, s.timeRemaining);
            if (s.hasCovIncrement) {
                w.ctxReal(4, s.covIncrement);
            }
            END_EACH
            break;
        }
        case kDtLogRecord: {
            EACH(BACnetLogRecord, r)
            dateTimeIn(w, 0, r.date, r.time);
            w.open(1);
            logDatum(w, r);
            w.close(1);
            if (r.statusFlags != 255) {
                w.bits8(0x28, r.statusFlags, 4);
            }
            END_EACH
            break;
        }
        case kDtAccumulatorRecord: {
            EACH(BACnetAccumulatorRecord, r)
            dateTimeIn(w, 0, r.date, r.time);
            w.ctxU(1, r.presentValue);
            w.ctxU(2, r.accumulatedValue);
            w.ctxU(3, r.accumulatorStatus);
            END_EACH
            break;
        }
        case kDtScale: {
            EACH(BACnetScale, s)
            if (s.choice == 4) {
                w.ctxReal(0, s.floatScale);
            } else if (s.choice == 3) {
                w.ctxS(1, s.integerScale);
            } else {
                w.fail();
            }
            END_EACH
            break;
        }
        case kDtPrescale: {
            EACH(BACnetPrescale, s)
            w.ctxU(0, s.multiplier);
            w.ctxU(1, s.moduloDivide);
            END_EACH
            break;
        }
        case kDtShedLevel: {
            EACH(BACnetShedLevel, s)
            // Percent and level are unsigned values.
            if (s.choice == 0 || s.choice == 1) {
                w.ctxU(s.choice, s.value);
            } else if (s.choice == 2) {
                w.ctxReal(2, s.amount);
            } else {
                w.fail();
            }
            END_EACH
            break;
        }
        case kDtEventLogRecord: {
            EACH(BACnetEventLogRecord, r)
            dateTimeIn(w, 0, r.date, r.time);
            w.open(1);
            if (r.choice == 0) {
                w.bits8(0x08, r.statusBits, 3);
            } else if (r.choice == 2) {
                w.ctxReal(2, r.timeChange);
            } else {
                // Notifications are encoded by the event services.
                w.fail();
            }
            w.close(1);
            END_EACH
            break;
        }
        case kDtLogMultipleRecord: {
            EACH(BACnetLogMultipleRecord, r)
            dateTimeIn(w, 0, r.date, r.time);
            w.open(1);
            if (r.choice == 0) {
                w.bits8(0x08, r.statusBits, 3);
            } else if (r.choice == 1) {
                if (r.entryCount > 0 && r.entries == nullptr) {
                    w.fail();
                    break;
                }
                w.open(1);
                for (uint32_t i = 0; i < r.entryCount; ++i) {
                    logMultipleEntry(w, r.entries[i]);
                }
                w.close(1);
            } else {
                w.ctxReal(2, r.timeChange);
            }
            w.close(1);
            END_EACH
            break;
        }
        case kDtAuthenticationPolicy: {
            EACH(BACnetAuthenticationPolicy, p)
            if (p.entryCount > 0 && p.entries == nullptr) {
                w.fail();
                break;
            }
            w.open(0);
            for (uint32_t i = 0; i < p.entryCount; ++i) {
                w.open(0);
                devObjRef(w, p.entries[i].deviceId, p.entries[i].objectId);
                w.close(0);
                w.ctxU(1, p.entries[i].index);
            }
            w.close(0);
            w.ctxBool(1, p.orderEnforced);
            w.ctxU(2, p.timeout);
            END_EACH
            break;
        }
        case kDtAccessRule: {
            EACH(BACnetAccessRule, a)
            w.ctxU(0, a.timeRangeSpecifier);
            if (a.timeRange.objectId != kAbsent || a.timeRange.deviceId != kAbsent) {
                w.open(1);
                devObjPropRef(w, a.timeRange);
                w.close(1);
            }
            w.ctxU(2, a.locationSpecifier);
            if (a.locationDeviceId != kAbsent || a.locationObjectId != kAbsent) {
                w.open(3);
                devObjRef(w, a.locationDeviceId, a.locationObjectId);
                w.close(3);
            }
            w.ctxBool(4, a.enable);
            END_EACH
            break;
        }
        case kDtAssignedAccessRights: {
            EACH(BACnetAssignedAccessRights, a)
            w.open(0);
            devObjRef(w, a.deviceId, a.objectId);
            w.close(0);
            w.ctxBool(1, a.enable);
            END_EACH
            break;
        }
        case kDtAuthenticationFactor: {
            EACH(BACnetAuthenticationFactor, f)
            w.ctxU(0, f.formatType);
            w.ctxU(1, f.formatClass);
            w.octets(0x28, static_cast<const uint8_t *>(f.value.value.block), f.value.length);
            END_EACH
            break;
        }
        case kDtAuthenticationFactorFormat: {
            EACH(BACnetAuthenticationFactorFormat, f)
            w.ctxU(0, f.formatType);
            if (f.vendorId < 65536) {
                w.ctxU(1, f.vendorId);
            }
            if (f.vendorFormat < 65536) {
                w.ctxU(2, f.vendorFormat);
            }
            END_EACH
            break;
        }
        case kDtCredentialAuthenticationFactor: {
            EACH(BACnetCredentialAuthenticationFactor, f)
            w.ctxU(0, f.disable);
            w.open(1);
            w.ctxU(0, f.formatType);
            w.ctxU(1, f.formatClass);
            w.octets(0x28, static_cast<const uint8_t *>(f.value.value.block), f.value.length);
            w.close(1);
            END_EACH
            break;
        }
        case kDtPropertyAccessResult: {
            EACH(BACnetPropertyAccessResult, r)
            w.ctxOid(0, r.objectId);
            w.ctxU(1, r.propertyId);
            if (r.arrayIndex != kNoIndex) {
                w.ctxU(2, static_cast<uint32_t>(r.arrayIndex));
            }
            if (r.deviceId != kAbsent) {
                w.ctxOid(3, r.deviceId);
            }
            valueOrError(w, 4, r.value);
            END_EACH
            break;
        }
        case kDtNetworkSecurityPolicy: {
            EACH(BACnetNetworkSecurityPolicy, p)
            w.ctxU(0, p.portId);
            w.ctxU(1, p.securityLevel);
            END_EACH
            break;
        }
        case kDtSecurityKeySet: {
            EACH(BACnetSecurityKeySet, k)
            if (k.keyCount > 0 && k.keys == nullptr) {
                w.fail();
                break;
            }
            w.ctxU(0, k.keyRevision);
            dateTimeIn(w, 1, k.activationDate, k.activationTime);
            dateTimeIn(w, 2, k.expirationDate, k.expirationTime);
            w.open(3);
            for (uint32_t i = 0; i < k.keyCount; ++i) {
                w.ctxU(0, k.keys[i].algorithm);
                w.ctxU(1, k.keys[i].keyNumber);
            }
            w.close(3);
            END_EACH
            break;
        }
        case kDtFaultParameter:
            if (v->value.block == nullptr) {
                w.fail();
            } else {
                faultParameter(w, *static_cast<const BACnetFaultParameter *>(v->value.block));
            }
            break;
        case kDtProcessIdSelection:
            if (v->value.processIdSelection.choice == 0) {
                w.appNull();
            } else if (v->value.processIdSelection.choice == 2) {
                w.appU(v->value.processIdSelection.processId);
            } else {
                w.fail();
            }
            break;
        case kDtEventNotificationSubscription: {
            EACH(BACnetEventNotificationSubscription, s)
            w.open(0);
            recipient(w, s.recipient);
            w.close(0);
            w.ctxU(1, s.processId);
            w.ctxBool(2, s.issueConfirmed);
            w.ctxU(3, s.timeRemaining);
            END_EACH
            break;
        }
        case kDtPortPermission: {
            EACH(BACnetPortPermission, p)
            w.ctxU(0, p.portId);
            w.ctxBool(1, p.enabled);
            END_EACH
            break;
        }
        case kDtLightingCommand: {
            EACH(BACnetLightingCommand, c)
            lightingCommand(w, c, 255);
            END_EACH
            break;
        }
        case kDtChannelValue: {
            EACH(BACnetChannelValue, c)
            if (c.datatype == kDtLightingCommand) {
                if (c.value.block == nullptr) {
                    w.fail();
                    break;
                }
                lightingCommand(w, *static_cast<const BACnetLightingCommand *>(c.value.block), 0);
            } else {
                PropertyValue pv{};
                pv.datatype = c.datatype;
                pv.ownsValue = c.ownsValue;
                pv.length = c.length;
                pv.value = c.value;
                primitive(w, pv);
            }
            END_EACH
            break;
        }
        default:
            // 13, 14, 17, 39, 40, 42, 45, above 63 and 255: nothing to write.
            break;
    }
}

#undef EACH
#undef END_EACH

// The encoder hands the nested blocks of action lists, fault parameters and
// channel values back once they are written.
void releaseAfterEncoding(PropertyValue *v) {
    if (v->value.block == nullptr) {
        return;
    }
    switch (v->datatype) {
        case kDtActionList: {
            auto *lists = static_cast<BACnetActionList *>(v->value.block);
            for (uint32_t i = 0; i < v->count; ++i) {
                propFreeNested(kDtActionList, &lists[i]);
            }
            break;
        }
        case kDtFaultParameter:
            propFreeNested(kDtFaultParameter, v->value.block);
            break;
        case kDtChannelValue: {
            auto *values = static_cast<BACnetChannelValue *>(v->value.block);
            for (uint32_t i = 0; i < v->count; ++i) {
                propFreeNested(kDtChannelValue, &values[i]);
            }
            break;
        }
        default:
            break;
    }
}

template <typename F>
uint8_t appendAll(PduBuffer *buffer, F body) {
    if (buffer == nullptr || buffer->start == nullptr) {
        return 1;
    }
    const uint32_t mark = buffer->length;
    Wr w(buffer);
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

}  // namespace

uint8_t propEncodeValue(PduBuffer *buffer, uint16_t objectType, uint32_t propertyId, PropertyValue *value) {
    if (value == nullptr) {
        return 1;
    }
    const uint8_t result = appendAll(buffer, [&](Wr &w) { encodeValue(w, objectType, propertyId, value); });
    releaseAfterEncoding(value);
    return result;
}

uint8_t propEncodeCalendarEntry(PduBuffer *buffer, const BACnetCalendarEntry *entry) {
    if (entry == nullptr) {
        return 1;
    }
    return appendAll(buffer, [&](Wr &w) { calendarEntry(w, *entry); });
}

uint8_t propEncodeLightingCommand(PduBuffer *buffer, const BACnetLightingCommand *command,
                                  uint8_t openingTag) {
    if (command == nullptr) {
        return 1;
    }
    return appendAll(buffer, [&](Wr &w) { lightingCommand(w, *command, openingTag); });
}

uint8_t propEncodeTimeValue(PduBuffer *buffer, const BACnetTimeValue *timeValue) {
    if (timeValue == nullptr) {
        return 1;
    }
    return appendAll(buffer, [&](Wr &w) { encTimeValue(w, *timeValue); });
}
