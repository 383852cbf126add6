#include "objects/pulse_converter.h"

#include <cmath>
#include <cstring>

#include "objects/analog_input.h"
#include "objects/clock.h"
#include "objects/notification_class.h"

namespace {

using Lock = std::lock_guard<std::mutex>;
using ValueLock = std::lock_guard<std::recursive_mutex>;

constexpr PackedError kValueOutOfRange = 0x20025;

}  // namespace

BACnetDateTimeValue PulseConverter::unspecifiedTime() {
    return BACnetDateTimeValue{{0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}};
}

BACnetDateTimeValue PulseConverter::dateTimeOf(const std::tm &t) {
    return BACnetDateTimeValue{{static_cast<uint8_t>(t.tm_year), static_cast<uint8_t>(t.tm_mon + 1),
                                static_cast<uint8_t>(t.tm_mday), static_cast<uint8_t>(t.tm_wday == 0 ? 7 : t.tm_wday)},
                               {static_cast<uint8_t>(t.tm_hour), static_cast<uint8_t>(t.tm_min),
                                static_cast<uint8_t>(t.tm_sec), 0}};
}

PulseConverter::PulseConverter(uint32_t instance, const std::string &name, uint32_t units)
    : updateTime(unspecifiedTime()),
      countChangeTime(unspecifiedTime()),
      reporter(*this, RangeClass::PulseConverter, [this] { return getPresentValue(); }) {
    setInstance(instance);
    setObjectType(kObjPulseConverter);
    setObjectName(name);
    setUnits(units);
    setOutOfService(false);
    setCovIncrement(1.0);
    setEventDetectionEnable(false);
    setEventState(kEventStateNormal);
    setEventStateNormal();
    clearAckedToOffnormal();
    clearAckedToFault();
    clearAckedToNormal();
    disableHighLimit();
    disableLowLimit();
    setHighLimit(0.0);
    setLowLimit(0.0);
    setDeadband(0.0);
    setEventAlgorithmInhibit(true);
    setNotificationClass(1);
    setTimeDelay(0);
    setTimeDelayNormal(0);
    for (uint8_t i = 0; i < 3; ++i) {
        setEventMessageText("", i);
    }
}

PulseConverter::~PulseConverter() = default;

double PulseConverter::getPresentValue() const {
    const bool inService = !isOutOfService();
    Lock lock(objectMutex);
    // Kept, so that the object taken out of service shows the value it had.
    if (inService) {
        presentValue = static_cast<double>(count) * scale;
    }
    return presentValue;
}

void PulseConverter::setPresentValue(double v) {
    ValueLock value(valueMutex);
    if (AnalogCommon::store(*this, objectMutex, presentValue, reportedValue, v)) {
        notifyCovSubscribers();
    }
}

// count-before-change keeps the count from before the last adjust-value
// write, its meaning for a client; a live count leaves it alone.
void PulseConverter::setCount(uint32_t n) {
    ValueLock value(valueMutex);
    const std::tm now = objectsLocalTime();
    double v;
    {
        Lock lock(objectMutex);
        if (n != count) {
            count = n;
            updateTime = dateTimeOf(now);
        }
        v = static_cast<double>(count) * scale;
    }
    setPresentValue(v);
}

// The pulses a value stands for are worked out wide: a quotient that is not
// finite or does not fit 32 bits is refused instead of being converted with
// an undefined result, and count - k cannot wrap.
PackedError PulseConverter::writeAdjustValue(double a) {
    ValueLock value(valueMutex);
    if (!std::isfinite(a)) {
        return kValueOutOfRange;
    }
    double s;
    uint32_t c;
    {
        Lock lock(objectMutex);
        s = scale;
        c = count;
    }
    int64_t k = 0;
    if (s != 0) {
        const double q = std::trunc(a / s);
        if (!std::isfinite(q) || q < -2147483648.0 || q > 2147483647.0) {
            return kValueOutOfRange;
        }
        k = static_cast<int64_t>(q);
    }
    if (k > 0 && static_cast<int64_t>(c) < k) {
        return kValueOutOfRange;
    }
    const BACnetDateTimeValue now = dateTimeOf(objectsLocalTime());
    {
        Lock lock(objectMutex);
        adjustValue = a;
        countBeforeChange = c;
        updateTime = now;
        countChangeTime = now;
    }
    setPresentValue(static_cast<double>(static_cast<int64_t>(c) - k) * s);
    return kErrorNone;
}

#define PULSE_GET(Type, getter, field) \
    Type PulseConverter::getter() const { \
        Lock lock(objectMutex);          \
        return field;                    \
    }
PULSE_GET(double, getAdjustValue, adjustValue)
PULSE_GET(uint32_t, getCount, count)
PULSE_GET(uint32_t, getCountBeforeChange, countBeforeChange)
PULSE_GET(double, getScale, scale)
PULSE_GET(uint32_t, getCovPeriod, covPeriod)
#undef PULSE_GET

void PulseConverter::writeCountBeforeChange(uint32_t v) {
    Lock lock(objectMutex);
    countBeforeChange = v;
}

void PulseConverter::setScale(double v) {
    Lock lock(objectMutex);
    scale = v;
}

PackedError PulseConverter::setCovPeriod(uint32_t seconds) {
    Lock lock(objectMutex);
    covPeriod = seconds;
    remainingCovPeriod = delayMilliseconds(seconds);
    return kErrorNone;
}

void PulseConverter::getUpdateTime(BACnetDateTimeValue *out) const {
    if (out != nullptr) {
        Lock lock(objectMutex);
        *out = updateTime;
    }
}

void PulseConverter::getCountChangeTime(BACnetDateTimeValue *out) const {
    if (out != nullptr) {
        Lock lock(objectMutex);
        *out = countChangeTime;
    }
}

void PulseConverter::stampUpdateTime() {
    setUpdateTime(objectsLocalTime());
}

void PulseConverter::stampCountChangeTime() {
    setCountChangeTime(objectsLocalTime());
}

void PulseConverter::clearUpdateTime() {
    Lock lock(objectMutex);
    updateTime = unspecifiedTime();
}

void PulseConverter::clearCountChangeTime() {
    Lock lock(objectMutex);
    countChangeTime = unspecifiedTime();
}

void PulseConverter::setUpdateTime(const std::tm &local) {
    ValueLock value(valueMutex);
    Lock lock(objectMutex);
    updateTime = dateTimeOf(local);
}

void PulseConverter::setCountChangeTime(const std::tm &local) {
    ValueLock value(valueMutex);
    Lock lock(objectMutex);
    countChangeTime = dateTimeOf(local);
}

// ---- COV ----

uint16_t PulseConverter::covValues(CovPropertyValue *values) {
    const uint32_t id = getObjectIdentifier();
    const StatusFlags flags = getStatusFlags();
    const double v = getPresentValue();
    Lock lock(objectMutex);
    reportedValue = v;
    values[0] = CovPropertyValue{id, kPropPresentValue, 0xFFFFFFFF, {}};
    values[0].value.datatype = kDtReal;
    values[0].value.value.f = static_cast<float>(v);
    values[1] = AnalogCommon::statusFlagsValue(id, flags);
    values[2] = CovPropertyValue{id, kPropUpdateTime, 0xFFFFFFFF, {}};
    values[2].value.datatype = kDtDateTime;
    values[2].value.value.dateTime = updateTime;
    return 3;
}

void PulseConverter::covSent(int result) {
    AnalogCommon::logCovResult(result, false);
}

void PulseConverter::tickCov(int elapsedMs) {
    serveCovSubscriptions(elapsedMs);
}

void PulseConverter::tickCovPeriod(int elapsedMs) {
    const uint32_t e = elapsedMs > 0 ? static_cast<uint32_t>(elapsedMs) : 0;
    bool due = false;
    {
        Lock lock(objectMutex);
        if (remainingCovPeriod == 0 && covPeriod == 0) {
            return;
        }
        remainingCovPeriod = e < remainingCovPeriod ? remainingCovPeriod - e : 100;
        if (remainingCovPeriod <= 100) {
            remainingCovPeriod = delayMilliseconds(covPeriod);
            due = true;
        }
    }
    if (due) {
        notifyCovSubscribers();
    }
}

// ---- reporting ----

void PulseConverter::tickReporting(int elapsedMs) {
    reporter.tick(elapsedMs);
}

int PulseConverter::sendEventNotificationTo(const BACnetDestination &recipient, uint8_t from, uint8_t to) {
    return reporter.sendTo(recipient, from, to);
}

// ---- state file ----

void PulseConverter::saveConfig(const std::string &directory) {
    double adjust;
    double s;
    uint32_t c;
    uint32_t period;
    {
        Lock lock(objectMutex);
        adjust = adjustValue;
        s = scale;
        c = count;
        period = covPeriod;
    }
    const JsonItem member = AnalogCommon::stateMember(*this, [&](JsonItem &m, const std::string &next) {
        if (next == "cov-increment") {
            m.appendChild(JsonItem("adjust-value", adjust));
        } else if (next == "deadband") {
            m.appendChild(JsonItem("cov-period", period));
            m.appendChild(JsonItem("count", c));
        } else if (next == "units") {
            m.appendChild(JsonItem("scaler", s));
        }
    });
    writeStateFile(directory, kKindPulseConverter, member);
}

// The saved adjust-value, count and scale are restored as they were: a
// load neither tests them against each other (the count is still 0 at the
// first load of a start) nor stamps the times of a client's write.
bool PulseConverter::loadConfig(const std::string &directory) {
    return readStateFile(directory, kKindPulseConverter, [this](const JsonItem &m) -> StateApply {
        StateApply common = AnalogCommon::readState(
            *this, m,
            {"adjust-value", "cov-increment", "deadband", "high-limit", "low-limit", "scaler", "object-name", "count",
             "cov-period", "time-delay", "time-delay-normal", "units"});
        const double adjust = m.requireChild("adjust-value").toDouble();
        const double s = m.requireChild("scaler").toDouble();
        const uint32_t c = AnalogCommon::unsignedOf(m.requireChild("count"));
        const uint32_t period = AnalogCommon::unsignedOf(m.requireChild("cov-period"));
        return [this, common, adjust, s, c, period] {
            ValueLock value(valueMutex);
            common();
            double v;
            {
                Lock lock(objectMutex);
                adjustValue = adjust;
                scale = s;
                count = c;
                v = static_cast<double>(c) * s;
            }
            setCovPeriod(period);
            setPresentValue(v);
        };
    });
}
