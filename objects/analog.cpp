#include "objects/analog_input.h"
#include "objects/state_file.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "bacnet/stack/apdu.h"
#include "objects/notification_class.h"
#include "device/program_services.h"

namespace {

using Lock = std::lock_guard<std::mutex>;

const JsonItem &require(const JsonItem &member, const char *key) {
    if (member.findChild(key) == member.end()) {
        throw std::invalid_argument(std::string(key) + " not found");
    }
    return member.requireChild(key);
}

void requireSize(const JsonItem &member, const char *key, size_t size) {
    const JsonItem &array = member.requireChild(key);
    if (array.getType() != JsonItemType::Array || array.getSize() != size) {
        throw std::invalid_argument(std::string(key) + " not correct size");
    }
}

bool isTrue(const JsonItem &item) {
    return stateFileTrue(item.getText());
}

// The settings every analog class starts with.
void startAnalog(BACnetObject &o, uint32_t instance, uint16_t type, const std::string &name, uint32_t units) {
    o.setInstance(instance);
    o.setObjectType(type);
    o.setObjectName(name);
    o.setUnits(units);
}

void startReporting(BACnetObject &o) {
    o.setOutOfService(false);
    o.setEventState(kEventStateNormal);
    o.setEventStateNormal();
    o.clearAckedToOffnormal();
    o.clearAckedToFault();
    o.clearAckedToNormal();
    o.disableHighLimit();
    o.disableLowLimit();
    o.setHighLimit(0.0);
    o.setLowLimit(0.0);
    o.setDeadband(0.0);
}

void finishReporting(BACnetObject &o, uint32_t delaySeconds) {
    o.setEventDetectionEnable(false);
    o.setEventAlgorithmInhibit(true);
    o.setNotificationClass(1);
    o.setTimeDelay(delaySeconds);
    o.setTimeDelayNormal(delaySeconds);
    for (uint8_t i = 0; i < 3; ++i) {
        o.setEventMessageText("", i);
    }
}

}  // namespace

const std::initializer_list<const char *> AnalogCommon::kAnalogKeys = {
    "cov-increment", "deadband", "high-limit", "low-limit", "object-name", "time-delay", "time-delay-normal", "units"};

JsonItem AnalogCommon::boolArray(const char *name, std::initializer_list<bool> values) {
    JsonItem array(JsonItemType::Array);
    array.setName(name);
    for (const bool v : values) {
        array.appendChild(JsonItem("", v));
    }
    return array;
}

uint32_t AnalogCommon::unsignedOf(const JsonItem &item) {
    const double d = item.toDouble();
    if (!(d > 0)) {
        return 0;
    }
    return d >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(d);
}

CovPropertyValue AnalogCommon::statusFlagsValue(uint32_t id, StatusFlags flags) {
    CovPropertyValue v{id, kPropStatusFlags, 0xFFFFFFFF, {}};
    v.value.datatype = kDtBitString;
    v.value.length = 4;
    v.value.value.octets[0] =
        static_cast<uint8_t>(flags & (kStatusInAlarm | kStatusFault | kStatusOverridden | kStatusOutOfService));
    return v;
}

// ---- shared ----

bool AnalogCommon::covMoved(double reported, double v, double increment) {
    if (std::isfinite(reported) && std::isfinite(v)) {
        return std::fabs(reported - v) > increment;
    }
    if (std::isnan(reported) && std::isnan(v)) {
        return false;
    }
    return !(reported == v);
}

bool AnalogCommon::store(BACnetObject &object, std::mutex &objectMutex, double &present, double &reported,
                         double v) {
    const double increment = object.getCovIncrement();
    const bool listening = object.getCovSubscriptionCount() > 0;
    Lock lock(objectMutex);
    present = v;
    if (!listening) {
        reported = v;
        return false;
    }
    return covMoved(reported, v, increment);
}

JsonItem AnalogCommon::stateMember(const BACnetObject &o, const KeyInserter &insert) {
    JsonItem member(JsonItemType::Object);
    const auto add = [&](const JsonItem &item) {
        if (insert) {
            insert(member, item.getName());
        }
        member.appendChild(item);
    };
    add(JsonItem("cov-increment", o.getCovIncrement()));
    add(JsonItem("deadband", o.getDeadband()));
    add(JsonItem("event-algorithm-inhibit", o.getEventAlgorithmInhibit()));
    add(JsonItem("event-detection-enable", o.getEventDetectionEnable()));
    add(boolArray("event-enable", {o.isToOffnormalEventEnabled(), o.isToFaultEventEnabled(),
                                                  o.isToNormalEventEnabled()}));
    add(boolArray("limit-enable", {o.isHighLimitEnabled(), o.isLowLimitEnabled()}));
    add(JsonItem("high-limit", o.getHighLimit()));
    add(JsonItem("low-limit", o.getLowLimit()));
    add(JsonItem("object-name", o.getObjectName()));
    add(JsonItem("out-of-service", o.isOutOfService()));
    add(JsonItem("time-delay", o.getTimeDelay()));
    add(JsonItem("time-delay-normal", o.getTimeDelayNormal()));
    add(JsonItem("units", o.getUnits()));
    if (insert) {
        insert(member, "");
    }
    return member;
}

StateApply AnalogCommon::readState(BACnetObject &o, const JsonItem &m, std::initializer_list<const char *> keys) {
    for (const char *key : {"event-algorithm-inhibit", "event-detection-enable", "out-of-service", "event-enable",
                            "limit-enable"}) {
        require(m, key);
    }
    requireSize(m, "event-enable", 3);
    requireSize(m, "limit-enable", 2);
    for (const char *key : keys) {
        require(m, key);
    }
    const bool inhibit = isTrue(m.requireChild("event-algorithm-inhibit"));
    const bool detection = isTrue(m.requireChild("event-detection-enable"));
    const bool outOfService = isTrue(m.requireChild("out-of-service"));
    const double increment = m.requireChild("cov-increment").toDouble();
    const double deadband = m.requireChild("deadband").toDouble();
    const double high = m.requireChild("high-limit").toDouble();
    const double low = m.requireChild("low-limit").toDouble();
    const uint32_t delay = unsignedOf(m.requireChild("time-delay"));
    const uint32_t delayNormal = unsignedOf(m.requireChild("time-delay-normal"));
    const uint32_t units = unsignedOf(m.requireChild("units"));
    const JsonItem &limits = m.requireChild("limit-enable");
    const JsonItem &events = m.requireChild("event-enable");
    const bool highEnabled = isTrue(limits.requireChildAt(0));
    const bool lowEnabled = isTrue(limits.requireChildAt(1));
    const bool toOffnormal = isTrue(events.requireChildAt(0));
    const bool toFault = isTrue(events.requireChildAt(1));
    const bool toNormal = isTrue(events.requireChildAt(2));
    // The name stays as the mapping import gave it, as for every class.
    return [&o, inhibit, detection, outOfService, increment, deadband, high, low, delay, delayNormal, units,
            highEnabled, lowEnabled, toOffnormal, toFault, toNormal] {
        o.setEventAlgorithmInhibit(inhibit);
        o.setEventDetectionEnable(detection);
        o.setOutOfService(outOfService);
        // The limits' corrections work with the enable bits held before
        // the file's own are applied.
        o.setCovIncrement(increment);
        o.setDeadband(deadband);
        o.setHighLimit(high);
        o.setLowLimit(low);
        o.setTimeDelay(delay);
        o.setTimeDelayNormal(delayNormal);
        o.setUnits(units);
        o.disableHighLimit();
        o.disableLowLimit();
        if (highEnabled) {
            o.enableHighLimit();
        }
        if (lowEnabled) {
            o.enableLowLimit();
        }
        o.disableToOffnormalEvent();
        o.disableToFaultEvent();
        o.disableToNormalEvent();
        if (toOffnormal) {
            o.enableToOffnormalEvent();
        }
        if (toFault) {
            o.enableToFaultEvent();
        }
        if (toNormal) {
            o.enableToNormalEvent();
        }
    };
}

void AnalogCommon::logCovResult(int result, bool withVdevLine) {
    switch (result) {
    case kSendUnconfirmed:
        return;
    case kSendNoBuffer:
        programLog(3, "No free buffer space available to send a COV notification");
        return;
    case kSendNoInvokeId:
        programLog(3, "No free invoke IDs available to send a COV notification");
        return;
    case kSendUnknownDevice:
        if (withVdevLine) {
            programLog(3, "Attempt to transmit from unknown VDEV!");
            return;
        }
        break;
    default:
        break;
    }
    programLog(6, "Send a COV notification, invoke ID [" + std::to_string(result) + "]");
}

// ---- MeasuredValue ----

MeasuredValue::MeasuredValue(RangeClass k)
    : kind(k), reporter(*this, k, [this] { return getPresentValue(); }) {}

MeasuredValue::~MeasuredValue() = default;

double MeasuredValue::getPresentValue() const {
    Lock lock(objectMutex);
    return presentValue;
}

void MeasuredValue::setPresentValue(double v) {
    if (AnalogCommon::store(*this, objectMutex, presentValue, reportedValue, v)) {
        notifyCovSubscribers();
    }
}

uint16_t MeasuredValue::covValues(CovPropertyValue *values) {
    const uint32_t id = getObjectIdentifier();
    const StatusFlags flags = getStatusFlags();
    Lock lock(objectMutex);
    reportedValue = presentValue;
    values[0] = CovPropertyValue{id, kPropPresentValue, 0xFFFFFFFF, {}};
    if (kind == RangeClass::LargeAnalogValue) {
        values[0].value.datatype = kDtDouble;
        values[0].value.value.d = presentValue;
    } else {
        values[0].value.datatype = kDtReal;
        values[0].value.value.f = static_cast<float>(presentValue);
    }
    values[1] = AnalogCommon::statusFlagsValue(id, flags);
    return 2;
}

void MeasuredValue::covSent(int result) {
    AnalogCommon::logCovResult(result, kind == RangeClass::AnalogInput);
}

void MeasuredValue::tickCov(int elapsedMs) {
    serveCovSubscriptions(elapsedMs);
}

void MeasuredValue::tickReporting(int elapsedMs) {
    reporter.tick(elapsedMs);
}

void MeasuredValue::saveConfig(const std::string &directory) {
    writeStateFile(directory, kind == RangeClass::LargeAnalogValue ? kKindLargeAnalogValue : kKindAnalogInput,
                   AnalogCommon::stateMember(*this));
}

bool MeasuredValue::loadConfig(const std::string &directory) {
    return readStateFile(directory,
                         kind == RangeClass::LargeAnalogValue ? kKindLargeAnalogValue : kKindAnalogInput,
                         [this](const JsonItem &m) { return AnalogCommon::readState(*this, m, AnalogCommon::kAnalogKeys); });
}

int MeasuredValue::sendEventNotificationTo(const BACnetDestination &recipient, uint8_t from, uint8_t to) {
    return reporter.sendTo(recipient, from, to);
}

int MeasuredValue::sendEventNotification(uint8_t from, uint8_t to, int32_t sourceKind) {
    return reporter.sendBroadcast(from, to, sourceKind);
}

void MeasuredValue::relayAlarmState(uint8_t from, uint8_t to) {
    reporter.relay(from, to);
}

// ---- the two classes ----

AnalogInput::AnalogInput(uint32_t instance, const std::string &name, uint32_t units)
    : MeasuredValue(RangeClass::AnalogInput) {
    startAnalog(*this, instance, kObjAnalogInput, name, units);
    setPresentValue(0.0);
    startReporting(*this);
    setMinPresValue(0.0);
    setMaxPresValue(0.0);
    finishReporting(*this, 1);
    setUnitsReadOnly(true);
}

LargeAnalogValue::LargeAnalogValue(uint32_t instance, const std::string &name, uint32_t units)
    : MeasuredValue(RangeClass::LargeAnalogValue) {
    startAnalog(*this, instance, kObjLargeAnalogValue, name, units);
    setPresentValue(0.0);
    startReporting(*this);
    finishReporting(*this, 0);
}
