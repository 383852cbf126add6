#include "bacnet/property_encoder.h"

#include "bacnet/datatype_table.h"
#include "codec_internal.h"
#include "writer.h"

using namespace codec;

void codec::primitive(Writer &w, const PropertyValue &v) {
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
            w.octets(appTagOctet(kTagOctetString), static_cast<const uint8_t *>(v.value.block), v.length);
            break;
        case kDtCharString:
            w.charString(static_cast<const CharString *>(v.value.block));
            break;
        case kDtBitString:
            w.bits(appTagOctet(kTagBitString), bitData(v), v.length);
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

namespace {

// The values held inline: a primitive (kDtNull .. kDtObjectId) with count 0,
// a date range, a date-time and a process-identifier selection. False for
// the others.
bool encodeInline(Writer &w, const ValueContext &c, const PropertyValue &v, const DatatypeCodec *d) {
    const uint8_t dt = v.datatype;
    if (dt <= kDtObjectId) {
        if (dt == kDtCharString && v.count > 0) {
            packedStrings(w, v.value.block, v.count);
            return true;
        }
        if (v.count == 0) {
            primitive(w, v);
            return true;
        }
        if (d == nullptr) {
            // Signed, double, octet and bit strings, dates and times have no
            // element form: a count over a block cannot be written, and the
            // inline slot then holds the block's address, not a value.
            w.fail();
            return true;
        }
        return false;
    }
    switch (dt) {
        case kDtDateRange:
            w.appDate(v.value.dateRange.start);
            w.appDate(v.value.dateRange.end);
            return true;
        case kDtDateTime:
            dateTimeSlot(w, isDateTimePriorityArray(c), v.value.dateTime);
            return true;
        case kDtProcessIdSelection:
            if (v.value.processIdSelection.choice == kDtNull) {
                w.appNull();
            } else if (v.value.processIdSelection.choice == kDtUnsigned) {
                w.appU(v.value.processIdSelection.processId);
            } else {
                w.fail();
            }
            return true;
        default:
            return false;
    }
}

void encodeValue(Writer &w, const ValueContext &c, const PropertyValue &v, const DatatypeCodec *d) {
    if (encodeInline(w, c, v, d)) {
        return;
    }
    if (d == nullptr) {
        // The empty list, kDtUnknown and the codes without a datatype:
        // nothing to write.
        return;
    }
    if (d->single) {
        if (v.value.block == nullptr) {
            w.fail();
        } else {
            d->encode(w, c, v.value.block, 1);
        }
        return;
    }
    uint32_t count = v.count;
    if (v.datatype == kDtObjectPropertyReference) {
        // A single reference writes its first element, and needs one.
        uint8_t isArray = 0;
        propGetDatatype(c.objectType, c.propertyId, &isArray);
        if (!isArray && count > 1) {
            count = 1;
        }
        if (count == 0) {
            w.fail();
            return;
        }
    }
    if (v.datatype == kDtDailySchedule && count != 1 && count != 7) {
        w.fail();  // a week, or one day of it
        return;
    }
    if (w.present(v.value.block, count)) {
        d->encode(w, c, v.value.block, count);
    }
}

}  // namespace

uint8_t propEncodeValue(PduBuffer *buffer, uint16_t objectType, uint32_t propertyId, PropertyValue *value) {
    if (value == nullptr) {
        return 1;
    }
    const ValueContext c{objectType, propertyId, kNoIndex, 0};
    const DatatypeCodec *d = datatypeCodec(value->datatype);
    const uint8_t result = appendAll(buffer, [&](Writer &w) { encodeValue(w, c, *value, d); });
    // The encoder hands the nested blocks of action lists, fault parameters
    // and channel values back once they are written.
    if (d != nullptr && d->releasedByEncoder) {
        releaseElements(*d, value);
    }
    return result;
}
