// The class rows of the analog handlers: analog input (real values, writable
// phase-angle units, min and max), large analog value (double values) and
// pulse converter (real values, scale, adjust-value, counts and times).
//
// Every numeric write must be finite: a NaN passes every comparison of the
// checks below and would make the state file unreadable, so that the
// object came back with its factory defaults at the next start.

#include <cmath>

#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "handler_frame.h"
#include "objects/analog_input.h"
#include "objects/pulse_converter.h"

namespace handler {
namespace {

enum class Kind { Input, Large, Pulse };

constexpr uint32_t kRadians = 103;
constexpr uint32_t kDegreesPhase = 14;
// The units a client may write where units are writable at all: only the
// phase angles are, in either of these.
constexpr uint32_t kWritableUnits[] = {kRadians, kDegreesPhase};
constexpr double kDegreesPerRadian = 57.29577951308232;
constexpr double kRadiansPerDegree = 0.017453292519943295;
// The longest cov-period the converter can count: it counts milliseconds
// in 32 bits.
constexpr uint32_t kMaxCovPeriodSeconds = 0xFFFFFFFFu / 1000u;

double presentValue(Kind kind, BACnetObject &o) {
    return kind == Kind::Pulse ? static_cast<PulseConverter &>(o).getPresentValue()
                               : static_cast<MeasuredValue &>(o).getPresentValue();
}

void setPresentValue(Kind kind, BACnetObject &o, double v) {
    if (kind == Kind::Pulse) {
        static_cast<PulseConverter &>(o).setPresentValue(v);
    } else {
        static_cast<MeasuredValue &>(o).setPresentValue(v);
    }
}

// A value in the class's own datatype: double for the large analog value,
// real for the others.
void readNumber(Kind kind, PropertyValue *v, double x) {
    kind == Kind::Large ? setDouble(v, x) : setReal(v, x);
}

// The written number into *x: 0, 0x20009 for another datatype, 0x20025
// for a value that is not finite.
uint32_t writtenNumber(Kind kind, const PropertyValue *v, double *x) {
    const uint8_t datatype = kind == Kind::Large ? kDtDouble : kDtReal;
    if (v->datatype != datatype) {
        return kErrorInvalidDataType;
    }
    *x = kind == Kind::Large ? v->value.d : static_cast<double>(v->value.f);
    return std::isfinite(*x) ? 0 : kErrorValueOutOfRange;
}

// A units write of an analog input: the limits, the deadband and the
// cov-increment follow the units, converted together so that the limits'
// auto-correction never sees them half in the old units.
uint32_t writeUnits(BACnetObject &o, const PropertyValue *v) {
    if (o.isUnitsReadOnly()) {
        return kErrWriteAccessDenied;
    }
    if (v->datatype != kDtEnumerated) {
        return kErrorInvalidDataType;
    }
    const uint32_t units = v->value.u;
    bool accepted = false;
    for (uint32_t u : kWritableUnits) {
        accepted = accepted || u == units;
    }
    if (!accepted) {
        return kErrorValueOutOfRange;
    }
    const uint32_t old = o.getUnits();
    if (units == old) {
        return 0;
    }
    const double factor = old == kRadians ? kDegreesPerRadian : kRadiansPerDegree;
    auto convert = [factor](double x) { return static_cast<double>(static_cast<float>(x)) * factor; };
    o.setUnits(units);
    o.setCovIncrement(convert(o.getCovIncrement()));
    o.setLimits(convert(o.getHighLimit()), convert(o.getLowLimit()), convert(o.getDeadband()));
    return 0;
}

uint32_t writeDeadband(BACnetObject &o, double d) {
    // A negative deadband makes an alarm return and rise again in turn.
    if (d < 0.0) {
        return kErrorValueOutOfRange;
    }
    const double low = o.getLowLimit();
    const double high = o.getHighLimit();
    if (o.isLowLimitEnabled() && !(low < high - d)) {
        return kErrorValueOutOfRange;
    }
    if (o.isHighLimitEnabled() && !(low + d < high)) {
        return kErrorValueOutOfRange;
    }
    o.setDeadband(d);
    return 0;
}

// The rows the three classes share; kNotOwnRow for any other property.
uint32_t sharedRows(Kind kind, Access &a) {
    BACnetObject &o = a.object;
    PropertyValue *v = a.value;
    double x = 0.0;
    uint32_t e = 0;
    switch (a.property) {
        case kPropPresentValue:
            if (a.reading()) {
                readNumber(kind, v, presentValue(kind, o));
                return 0;
            }
            if (!o.isOutOfService()) {
                return kErrWriteAccessDenied;
            }
            if ((e = writtenNumber(kind, v, &x)) != 0) {
                return e;
            }
            setPresentValue(kind, o, x);
            return 0;
        case kPropUnits:
            if (a.reading()) {
                setScalar(v, kDtEnumerated, o.getUnits());
                return 0;
            }
            return kind == Kind::Input ? writeUnits(o, v) : kErrWriteAccessDenied;
        case kPropCovIncrement:
            if (a.reading()) {
                readNumber(kind, v, o.getCovIncrement());
                return 0;
            }
            if ((e = writtenNumber(kind, v, &x)) != 0) {
                return e;
            }
            if (!(x > 0.0)) {
                return kErrorValueOutOfRange;
            }
            o.setCovIncrement(x);
            return 0;
        case kPropHighLimit:
            if (a.reading()) {
                // An analog input without a band shows its range's top.
                const bool noBand = kind == Kind::Input && o.getHighLimit() == o.getLowLimit();
                readNumber(kind, v, noBand ? o.getMaxPresValue() : o.getHighLimit());
                return 0;
            }
            if ((e = writtenNumber(kind, v, &x)) != 0) {
                return e;
            }
            if (!(x > o.getLowLimit())) {
                return kErrorValueOutOfRange;
            }
            o.setHighLimit(x);
            return 0;
        case kPropLowLimit:
            if (a.reading()) {
                readNumber(kind, v, o.getLowLimit());
                return 0;
            }
            if ((e = writtenNumber(kind, v, &x)) != 0) {
                return e;
            }
            if (!(x < o.getHighLimit())) {
                return kErrorValueOutOfRange;
            }
            o.setLowLimit(x);
            return 0;
        case kPropDeadband:
            if (a.reading()) {
                readNumber(kind, v, o.getDeadband());
                return 0;
            }
            if ((e = writtenNumber(kind, v, &x)) != 0) {
                return e;
            }
            return writeDeadband(o, x);
        default:
            return kNotOwnRow;
    }
}

void readDateTime(PropertyValue *v, const BACnetDateTimeValue &t) {
    v->datatype = kDtDateTime;
    v->count = 0;
    v->ownsValue = 0;
    v->value.dateTime = t;
}

}  // namespace

uint32_t pulseConverterRows(Access &a) {
    auto &pc = static_cast<PulseConverter &>(a.object);
    PropertyValue *v = a.value;
    BACnetDateTimeValue t{};
    switch (a.property) {
        case kPropInputReference:  // listed, but the meter has none to give
            return kErrUnknownProperty;
        case kPropAdjustValue:
            if (a.reading()) {
                setReal(v, pc.getAdjustValue());
                return 0;
            }
            if (v->datatype != kDtReal) {
                return kErrorInvalidDataType;
            }
            return pc.writeAdjustValue(static_cast<double>(v->value.f));
        case kPropCount:
            if (!a.reading()) {
                return kErrWriteAccessDenied;
            }
            setScalar(v, kDtUnsigned, pc.getCount());
            return 0;
        case kPropCountBeforeChange:
            if (!a.reading()) {
                return kErrWriteAccessDenied;
            }
            setScalar(v, kDtUnsigned, pc.getCountBeforeChange());
            return 0;
        case kPropCountChangeTime:
            if (!a.reading()) {
                return kErrWriteAccessDenied;
            }
            pc.getCountChangeTime(&t);
            readDateTime(v, t);
            return 0;
        case kPropUpdateTime:
            if (!a.reading()) {
                return kErrWriteAccessDenied;
            }
            pc.getUpdateTime(&t);
            readDateTime(v, t);
            return 0;
        case kPropCovPeriod:
            if (a.reading()) {
                setScalar(v, kDtUnsigned, pc.getCovPeriod());
                return 0;
            }
            if (v->datatype != kDtUnsigned) {
                return kErrorInvalidDataType;
            }
            // A longer period would wrap to a short one in the countdown.
            if (v->value.u > kMaxCovPeriodSeconds) {
                return kErrorValueOutOfRange;
            }
            return pc.setCovPeriod(v->value.u);
        case kPropScaleFactor: {
            if (a.reading()) {
                setReal(v, pc.getScale());
                return 0;
            }
            if (v->datatype != kDtReal) {
                return kErrorInvalidDataType;
            }
            const double s = static_cast<double>(v->value.f);
            if (!std::isfinite(s) || !(s > 0.0)) {
                return kErrorValueOutOfRange;
            }
            pc.setScale(s);
            return 0;
        }
        default:
            return sharedRows(Kind::Pulse, a);
    }
}

uint32_t analogInputRows(Access &a) {
    switch (a.property) {
        case kPropMinPresValue:
        case kPropMaxPresValue:
            if (!a.reading()) {
                return kErrWriteAccessDenied;
            }
            setReal(a.value, a.property == kPropMinPresValue ? a.object.getMinPresValue() : a.object.getMaxPresValue());
            return 0;
        default:
            return sharedRows(Kind::Input, a);
    }
}

uint32_t largeAnalogValueRows(Access &a) {
    return sharedRows(Kind::Large, a);
}

// The subscribers hear of the changed status flags.
void analogOutOfServiceChanged(BACnetObject &object) {
    static_cast<MeasuredValue &>(object).notifyCovSubscribers();
}

void pulseOutOfServiceChanged(BACnetObject &object) {
    static_cast<PulseConverter &>(object).notifyCovSubscribers();
}

}  // namespace handler
