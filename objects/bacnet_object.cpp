#include "objects/bacnet_object.h"

#include "device/alarm.h"
#include "objects/clock.h"
#include "device/program_services.h"

#include <cstring>

namespace {

using Lock = std::lock_guard<std::mutex>;

constexpr uint8_t kTextCount = 3;

}  // namespace

// ---- COVSubscription ----

PackedError COVSubscription::setLifetime(uint32_t seconds) {
    if (seconds == 0 || seconds > 57599) {
        return kErrorOptionalFunctionalityNotSupported;
    }
    remainingMs = seconds * 1000;
    return kErrorNone;
}

void COVSubscription::setSubscriber(const CovSubscriber *record) {
    if (record != nullptr) {
        subscriber = *record;
    }
}

void COVSubscription::copySubscriber(CovSubscriber *out) const {
    if (out != nullptr) {
        *out = subscriber;
    }
}

// ---- construction ----

BACnetObject::BACnetObject() {
    for (auto &stamp : eventTimeStamps) {
        stamp = timeStampUnspecified();
    }
}

BACnetObject::~BACnetObject() = default;

void BACnetObject::clearAlarmEntries() {
    alarmEntries.clear();
}

void BACnetObject::tickCovPeriod(int) {}
void BACnetObject::tickReporting(int) {}
void BACnetObject::saveConfig(const std::string &) {}
bool BACnetObject::loadConfig(const std::string &) {
    return false;
}

// ---- plain fields ----

#define OBJECT_FIELD(Type, getter, setter, field) \
    Type BACnetObject::getter() const {           \
        Lock lock(fieldMutex);                    \
        return field;                             \
    }                                             \
    void BACnetObject::setter(Type v) {           \
        Lock lock(fieldMutex);                    \
        field = v;                                \
    }

OBJECT_FIELD(uint32_t, getInstance, setInstance, instance)
OBJECT_FIELD(uint16_t, getObjectType, setObjectType, objectType)
OBJECT_FIELD(uint32_t, getUnits, setUnits, units)
OBJECT_FIELD(bool, isUnitsReadOnly, setUnitsReadOnly, unitsReadOnly)
OBJECT_FIELD(double, getCovIncrement, setCovIncrement, covIncrement)
OBJECT_FIELD(double, getMinPresValue, setMinPresValue, minPresValue)
OBJECT_FIELD(double, getMaxPresValue, setMaxPresValue, maxPresValue)
OBJECT_FIELD(int16_t, getCtNumber, setCtNumber, ctNumber)
OBJECT_FIELD(uint8_t, getEventState, setEventState, eventState)
OBJECT_FIELD(bool, getEventAlgorithmInhibit, setEventAlgorithmInhibit, eventAlgorithmInhibit)
OBJECT_FIELD(uint32_t, getTimeDelay, setTimeDelay, timeDelay)
OBJECT_FIELD(uint32_t, getTimeDelayNormal, setTimeDelayNormal, timeDelayNormal)
OBJECT_FIELD(uint32_t, getTimeDelayRemaining, setTimeDelayRemaining, timeDelayRemaining)
OBJECT_FIELD(uint32_t, getTimeDelayNormalRemaining, setTimeDelayNormalRemaining, timeDelayNormalRemaining)
OBJECT_FIELD(uint32_t, getNotificationClass, setNotificationClass, notificationClass)
OBJECT_FIELD(bool, getUseAbsoluteValue, setUseAbsoluteValue, useAbsoluteValue)
#undef OBJECT_FIELD

uint32_t BACnetObject::getDeviceInstance() const {
    Lock lock(fieldMutex);
    return deviceInstance;
}

// Membership of the root device is settled here, once: a client that later
// rewrites the Device's object-identifier changes the root instance in
// force, and a comparison made at every send would then turn every root
// object into one of an unknown device until the next restart.
void BACnetObject::setDeviceInstance(uint32_t v) {
    const bool root = v == programBaseInstance();
    Lock lock(fieldMutex);
    deviceInstance = v;
    rootMember = root;
}

int32_t BACnetObject::getSendingDevice() const {
    Lock lock(fieldMutex);
    return rootMember ? -1 : static_cast<int32_t>(deviceInstance);
}

uint32_t BACnetObject::getObjectIdentifier() const {
    Lock lock(fieldMutex);
    return objectIdMake(objectType, instance);
}

std::string BACnetObject::getObjectName() const {
    Lock lock(fieldMutex);
    return objectName;
}

void BACnetObject::setObjectName(const std::string &v) {
    Lock lock(fieldMutex);
    objectName = v;
}

#define OBJECT_GET(Type, getter, expression) \
    Type BACnetObject::getter() const {      \
        Lock lock(fieldMutex);               \
        return expression;                   \
    }
#define OBJECT_BITS(name, field, operation) \
    void BACnetObject::name() {             \
        Lock lock(fieldMutex);              \
        field operation;                    \
    }

OBJECT_GET(bool, isOutOfService, outOfService)
OBJECT_GET(StatusFlags, getStatusFlags, statusFlags)
OBJECT_GET(bool, getEventDetectionEnable, eventDetectionEnable)
OBJECT_GET(double, getHighLimit, highLimit)
OBJECT_GET(double, getLowLimit, lowLimit)
OBJECT_GET(double, getDeadband, deadband)
OBJECT_GET(LimitEnable, getLimitEnable, limitEnable)
OBJECT_GET(bool, isLowLimitEnabled, (limitEnable & kLowLimitEnable) != 0)
OBJECT_GET(bool, isHighLimitEnabled, (limitEnable & kHighLimitEnable) != 0)
OBJECT_GET(EventTransitions, getEventEnable, eventEnable)
OBJECT_GET(bool, isToOffnormalEventEnabled, (eventEnable & kTransitionToOffnormal) != 0)
OBJECT_GET(bool, isToFaultEventEnabled, (eventEnable & kTransitionToFault) != 0)
OBJECT_GET(bool, isToNormalEventEnabled, (eventEnable & kTransitionToNormal) != 0)
OBJECT_GET(EventTransitions, getAckedTransitions, ackedTransitions)
OBJECT_GET(uint8_t, getNotifyType, notifyType)

OBJECT_BITS(enableLowLimit, limitEnable, |= kLowLimitEnable)
OBJECT_BITS(disableLowLimit, limitEnable, &= static_cast<LimitEnable>(~kLowLimitEnable))
OBJECT_BITS(enableHighLimit, limitEnable, |= kHighLimitEnable)
OBJECT_BITS(disableHighLimit, limitEnable, &= static_cast<LimitEnable>(~kHighLimitEnable))
OBJECT_BITS(enableToOffnormalEvent, eventEnable, |= kTransitionToOffnormal)
OBJECT_BITS(enableToFaultEvent, eventEnable, |= kTransitionToFault)
OBJECT_BITS(enableToNormalEvent, eventEnable, |= kTransitionToNormal)
OBJECT_BITS(disableToOffnormalEvent, eventEnable, &= static_cast<EventTransitions>(~kTransitionToOffnormal))
OBJECT_BITS(disableToFaultEvent, eventEnable, &= static_cast<EventTransitions>(~kTransitionToFault))
OBJECT_BITS(disableToNormalEvent, eventEnable, &= static_cast<EventTransitions>(~kTransitionToNormal))
OBJECT_BITS(setAckedToOffnormal, ackedTransitions, |= kTransitionToOffnormal)
OBJECT_BITS(setAckedToFault, ackedTransitions, |= kTransitionToFault)
OBJECT_BITS(setAckedToNormal, ackedTransitions, |= kTransitionToNormal)
OBJECT_BITS(clearAckedToOffnormal, ackedTransitions, &= static_cast<EventTransitions>(~kTransitionToOffnormal))
OBJECT_BITS(clearAckedToFault, ackedTransitions, &= static_cast<EventTransitions>(~kTransitionToFault))
OBJECT_BITS(clearAckedToNormal, ackedTransitions, &= static_cast<EventTransitions>(~kTransitionToNormal))
#undef OBJECT_GET
#undef OBJECT_BITS

ReportingSnapshot BACnetObject::getReportingSnapshot() const {
    Lock lock(fieldMutex);
    return ReportingSnapshot{highLimit,         lowLimit,          deadband,        limitEnable,
                             eventEnable,       statusFlags,       eventState,      timeDelay,
                             timeDelayNormal,   notificationClass, notifyType,      useAbsoluteValue,
                             eventDetectionEnable, eventAlgorithmInhibit, outOfService};
}

// ---- status flags and event state: each a read-modify-write under the lock ----

void BACnetObject::setOutOfService(bool v) {
    Lock lock(fieldMutex);
    outOfService = v;
    statusFlags = v ? (statusFlags | kStatusOutOfService) : (statusFlags & ~kStatusOutOfService);
}

void BACnetObject::setOutOfServiceFlag(bool v) {
    Lock lock(fieldMutex);
    statusFlags = v ? (statusFlags | kStatusOutOfService) : (statusFlags & ~kStatusOutOfService);
}

void BACnetObject::setInAlarm(bool v) {
    Lock lock(fieldMutex);
    statusFlags = v ? (statusFlags | kStatusInAlarm) : (statusFlags & ~kStatusInAlarm);
}

void BACnetObject::setEventStateNormal() {
    Lock lock(fieldMutex);
    eventState = kEventStateNormal;
    statusFlags &= static_cast<StatusFlags>(~kStatusInAlarm);
}

void BACnetObject::setHighLimitState(bool v) {
    Lock lock(fieldMutex);
    eventState = v ? kEventStateHighLimit : kEventStateNormal;
    statusFlags = v ? (statusFlags | kStatusInAlarm) : (statusFlags & ~kStatusInAlarm);
}

void BACnetObject::setLowLimitState(bool v) {
    Lock lock(fieldMutex);
    eventState = v ? kEventStateLowLimit : kEventStateNormal;
    statusFlags = v ? (statusFlags | kStatusInAlarm) : (statusFlags & ~kStatusInAlarm);
}

void BACnetObject::setEventDetectionEnable(bool v) {
    Lock lock(fieldMutex);
    const bool switchedOff = eventDetectionEnable && !v;
    eventDetectionEnable = v;
    if (switchedOff) {
        for (auto &stamp : eventTimeStamps) {
            stamp = timeStampUnspecified();
        }
        // Normal with in-alarm still set would be a state no client can clear.
        eventState = kEventStateNormal;
        statusFlags &= static_cast<StatusFlags>(~kStatusInAlarm);
    }
}

// ---- limits with auto-correction ----
//
// A correction acts only on an empty or inverted band (high - deadband <=
// low, the test the property writes make): a margin wider than that would
// push the high limit of a narrow band (a power factor, a frequency) out of
// reach and so switch its alarm off without a word.

void BACnetObject::correctLimits(void (BACnetObject::*apply)(double, std::vector<std::string> &), double v) {
    std::vector<std::string> lines;
    {
        Lock lock(fieldMutex);
        (this->*apply)(v, lines);
    }
    for (const auto &line : lines) {
        programLog(3, line);
    }
}

void BACnetObject::setHighLimit(double v) {
    correctLimits(&BACnetObject::applyHighLimit, v);
}

void BACnetObject::setLowLimit(double v) {
    correctLimits(&BACnetObject::applyLowLimit, v);
}

void BACnetObject::setDeadband(double v) {
    correctLimits(&BACnetObject::applyDeadband, v);
}

void BACnetObject::setLimits(double high, double low, double deadband) {
    std::vector<std::string> lines;
    {
        Lock lock(fieldMutex);
        highLimit = high;
        lowLimit = low;
        applyDeadband(deadband, lines);
    }
    for (const auto &line : lines) {
        programLog(3, line);
    }
}

void BACnetObject::applyHighLimit(double x, std::vector<std::string> &lines) {
    double high = x;
    if ((limitEnable & kLowLimitEnable) != 0) {
        if (lowLimit > x) {
            high = lowLimit;
            lowLimit = x;
            lines.push_back("Found misconfigured low-limit (high-limit < low-limit) in: " + objectName +
                            ", autocorrecting low-limit to " + formatFixed(static_cast<float>(lowLimit), 3));
        } else if (lowLimit == x && x >= 1) {
            lowLimit = x - 1;
            lines.push_back("Found misconfigured low-limit (high-limit = low-limit) in: " + objectName +
                            ", autocorrecting low-limit to " + formatFixed(static_cast<float>(lowLimit), 3));
        }
    }
    highLimit = high;
    applyDeadband(deadband, lines);
}

void BACnetObject::applyLowLimit(double x, std::vector<std::string> &lines) {
    double low = x;
    if ((limitEnable & kHighLimitEnable) != 0) {
        if (highLimit < x) {
            low = highLimit;
            highLimit = x;
            lines.push_back("Found misconfigured high-limit (high-limit < low-limit) in: " + objectName +
                            ", autocorrecting high-limit to " +
                            formatFixed(static_cast<float>(highLimit), 3));
        } else if (highLimit == x) {
            highLimit = x + 1;
            lines.push_back("Found misconfigured high-limit (high-limit = low-limit) in: " + objectName +
                            "autocorrecting high-limit to " + formatFixed(static_cast<float>(highLimit), 3));
        }
    }
    lowLimit = low;
    applyDeadband(deadband, lines);
}

void BACnetObject::applyDeadband(double d, std::vector<std::string> &lines) {
    const bool bothEnabled = (limitEnable & (kLowLimitEnable | kHighLimitEnable)) ==
                             (kLowLimitEnable | kHighLimitEnable);
    if (bothEnabled) {
        const double low = lowLimit;
        if (highLimit - d <= low) {
            highLimit = low + 2 + d;
            lines.push_back("Found misconfigured deadband, autocorrecting high-limit to " +
                            formatFixed(static_cast<float>(highLimit), 3));
        }
        // The new deadband decides: testing the old one would move a sound
        // low limit when the deadband shrinks.
        if (highLimit - d <= lowLimit) {
            lowLimit = highLimit - 2 - d;
            lines.push_back("Found misconfigured deadband, autocorrecting low-limit to " +
                            formatFixed(static_cast<float>(lowLimit), 3));
        }
    }
    deadband = d;
}

// ---- event texts and time stamps ----

bool BACnetObject::setEventMessageText(const std::string &text, uint8_t index) {
    if (index >= kTextCount) {
        return false;
    }
    Lock lock(fieldMutex);
    eventMessageTexts[index] = text;
    return true;
}

std::string BACnetObject::getEventMessageText(uint8_t index) const {
    if (index >= kTextCount) {
        return {};
    }
    Lock lock(fieldMutex);
    return eventMessageTexts[index];
}

bool BACnetObject::setTimeStamp(const BACnetTimeStamp &stamp, uint8_t index) {
    if (index >= kTextCount) {
        return false;
    }
    Lock lock(fieldMutex);
    eventTimeStamps[index] = stamp;
    return true;
}

BACnetTimeStamp BACnetObject::getEventTimeStamp(uint8_t index) const {
    if (index >= kTextCount) {
        BACnetTimeStamp zero;
        std::memset(&zero, 0, sizeof zero);
        return zero;
    }
    Lock lock(fieldMutex);
    return eventTimeStamps[index];
}

bool BACnetObject::stampEventTime(uint8_t index) {
    if (index >= kTextCount) {
        return false;
    }
    const std::tm now = objectsLocalTime();
    Lock lock(fieldMutex);
    BACnetTimeStamp &stamp = eventTimeStamps[index];
    stamp.choice = kTimeStampDateTime;
    stamp.time = BACnetTime{static_cast<uint8_t>(now.tm_hour), static_cast<uint8_t>(now.tm_min),
                            static_cast<uint8_t>(now.tm_sec), 0};
    stamp.date = BACnetDate{static_cast<uint8_t>(now.tm_year), static_cast<uint8_t>(now.tm_mon + 1),
                            static_cast<uint8_t>(now.tm_mday),
                            static_cast<uint8_t>(now.tm_wday == 0 ? 7 : now.tm_wday)};
    return true;
}

bool BACnetObject::isValidToday(uint8_t validDays) const {
    const std::tm now = objectsLocalTime();
    // Monday is bit 7 down to Sunday bit 1.
    const int weekday = now.tm_wday == 0 ? 7 : now.tm_wday;
    return (validDays & (0x100 >> weekday)) != 0;
}

int BACnetObject::compareTimeOfDay(const BACnetTime &time) const {
    const std::tm now = objectsLocalTime();
    const int a = now.tm_hour * 3600 + now.tm_min * 60 + now.tm_sec;
    const int b = time.hour * 3600 + time.minute * 60 + time.second;
    return a == b ? 0 : (a > b ? 1 : -1);
}
