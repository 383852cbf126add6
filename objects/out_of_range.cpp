#include "objects/out_of_range.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/stack.h"
#include "device/alarm.h"
#include "objects/notification_class.h"
#include "device/program_services.h"

namespace {

constexpr PackedError kValueOutOfRange = errMake(kErrorClassProperty, kErrorCodeValueOutOfRange);
constexpr uint32_t kBroadcastProcessId = 0xFFFF;
constexpr uint32_t kBroadcastClass = 0x3FFFFF;
constexpr uint16_t kRecipientMaxApdu = 480;
// The block a notification's text travels in.
constexpr size_t kTextBlock = 256;

uint32_t countDown(uint32_t remaining, uint32_t elapsed) {
    return remaining < elapsed ? 0 : remaining - elapsed;
}

uint8_t alarmStateOf(uint8_t eventState) {
    switch (eventState) {
    case kEventStateHighLimit:
        return static_cast<uint8_t>(AlarmState::High);
    case kEventStateLowLimit:
        return static_cast<uint8_t>(AlarmState::Low);
    default:
        return static_cast<uint8_t>(AlarmState::Normal);
    }
}

bool follows(const AlarmEntry &entry, int32_t alarmState) {
    return std::find(entry.followedStates.begin(), entry.followedStates.end(), alarmState) !=
           entry.followedStates.end();
}

bool bacnetDatalink() {
    const uint32_t type = programDatalinkType();
    return type >= static_cast<uint32_t>(DatalinkType::BacnetIp) &&
           type <= static_cast<uint32_t>(DatalinkType::BacnetMstp);
}

}  // namespace

uint32_t delayMilliseconds(uint32_t seconds) {
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{seconds} * 1000, 0xFFFFFFFFu));
}

BACnetAddress recipientAddress(const BACnetRecipient &recipient, uint32_t datalinkType) {
    BACnetAddress address;
    std::memset(&address, 0, sizeof address);
    switch (static_cast<DatalinkType>(datalinkType)) {
    case DatalinkType::BacnetIpv6:
        address.port = kPortBipv6;
        break;
    case DatalinkType::BacnetMstp:
        address.port = kPortMstp;
        break;
    default:
        address.port = kPortBip;
        break;
    }
    address.maxApdu = kRecipientMaxApdu;
    const uint8_t length = static_cast<uint8_t>(std::min<uint16_t>(recipient.macLength, kMaxMac));
    if (recipient.network == 0) {
        address.macLength = length;
        std::memcpy(address.mac, recipient.mac, length);
    } else if (recipient.network == 0xFFFF && length == 0) {
        address.network = 0xFFFF;
    } else {
        // Sent as a local broadcast, which the router to that network takes.
        address.network = recipient.network;
        address.remoteLength = length;
        std::memcpy(address.remoteAddress, recipient.mac, length);
    }
    return address;
}

OutOfRangeReporter::OutOfRangeReporter(BACnetObject &object, RangeClass kind, std::function<double()> presentValue)
    : object_(object), kind_(kind), presentValue_(std::move(presentValue)) {}

void OutOfRangeReporter::reload() {
    object_.setTimeDelayRemaining(delayMilliseconds(object_.getTimeDelay()));
    object_.setTimeDelayNormalRemaining(delayMilliseconds(object_.getTimeDelayNormal()));
}

// A recipient's window holds its from and to seconds themselves: the
// all-day recipient, 00:00:00 to 23:59:59, is reached at every second.
void OutOfRangeReporter::notify(EventTransitions bit, uint8_t from, uint8_t to) {
    NotificationClass *link = link_.load();
    if (link == nullptr) {
        return;
    }
    for (const BACnetDestination &recipient : link->getRecipients()) {
        if ((recipient.transitions & bit) == 0 || !object_.isValidToday(recipient.validDays) ||
            object_.compareTimeOfDay(recipient.from) < 0 || object_.compareTimeOfDay(recipient.to) > 0) {
            continue;
        }
        sendTo(recipient, from, to);
    }
}

void OutOfRangeReporter::returnToNormal(uint8_t from) {
    object_.stampEventTime(2);
    object_.setEventStateNormal();
    notify(kTransitionToNormal, from, kEventStateNormal);
    relay(alarmStateOf(from), static_cast<uint8_t>(AlarmState::Normal));
    reload();
}

void OutOfRangeReporter::tick(int elapsedMs) {
    const uint32_t e = elapsedMs > 0 ? static_cast<uint32_t>(elapsedMs) : 0;
    retryWaiting(e);
    const ReportingSnapshot config = object_.getReportingSnapshot();
    if (!config.eventDetectionEnable) {
        return;
    }
    uint32_t r1 = object_.getTimeDelayRemaining();
    uint32_t r2 = object_.getTimeDelayNormalRemaining();
    const uint8_t s = config.eventState;
    snapshot_.eventState = s;
    if (config.eventAlgorithmInhibit) {
        if (s != kEventStateNormal) {
            object_.stampEventTime(2);
            object_.setEventStateNormal();
            notify(kTransitionToNormal, s, kEventStateNormal);
            reload();
        }
        return;
    }

    const double pv = presentValue_();
    snapshot_.present = static_cast<float>(pv);
    snapshot_.presentDouble = pv;
    snapshot_.compared = config.useAbsoluteValue ? std::fabs(snapshot_.present) : snapshot_.present;
    snapshot_.low = static_cast<float>(config.lowLimit);
    snapshot_.high = static_cast<float>(config.highLimit);
    snapshot_.deadband = static_cast<float>(config.deadband);
    snapshot_.lowDouble = config.lowLimit;
    snapshot_.highDouble = config.highLimit;
    snapshot_.deadbandDouble = config.deadband;
    snapshot_.limitEnable = config.limitEnable;
    const float v = snapshot_.compared;
    const float high = snapshot_.high;
    const float low = snapshot_.low;
    const float db = snapshot_.deadband;
    const bool highEnabled = (config.limitEnable & kHighLimitEnable) != 0;
    const bool lowEnabled = (config.limitEnable & kLowLimitEnable) != 0;
    const bool passes = kind_ == RangeClass::PulseConverter;
    const uint32_t delay = delayMilliseconds(config.timeDelay);
    const uint32_t delayNormal = delayMilliseconds(config.timeDelayNormal);

    if (kind_ == RangeClass::AnalogInput) {
        programLog(7, "Analog-Input " + std::to_string(object_.getInstance()) + " timedelay=" + std::to_string(r1) +
                          " timedelaynormal=" + std::to_string(r2));
    }

    // A delay counts only while its condition holds without a break: the
    // counter starts over at every tick where the condition lapsed, so
    // spikes minutes apart never add up to an alarm.
    const auto passTo = [&](uint8_t from, uint8_t to) {
        object_.stampEventTime(0);
        if (to == kEventStateHighLimit) {
            object_.setHighLimitState(true);
        } else {
            object_.setLowLimitState(true);
        }
        notify(kTransitionToOffnormal, from, to);
        reload();
    };

    switch (s) {
    case kEventStateHighLimit:
        if (!highEnabled) {
            returnToNormal(kEventStateHighLimit);
            return;
        }
        if (passes) {
            if (lowEnabled && v < low) {
                r1 = countDown(r1, e);
                object_.setTimeDelayRemaining(r1);
                if (r1 == 0) {
                    passTo(kEventStateHighLimit, kEventStateLowLimit);
                    return;
                }
            } else {
                object_.setTimeDelayRemaining(delay);
            }
        }
        if (v < high - db) {
            r2 = countDown(r2, e);
            object_.setTimeDelayNormalRemaining(r2);
            if (r2 == 0) {
                returnToNormal(kEventStateHighLimit);
            }
        } else {
            object_.setTimeDelayNormalRemaining(delayNormal);
        }
        return;
    case kEventStateLowLimit:
        if (!lowEnabled) {
            returnToNormal(kEventStateLowLimit);
            return;
        }
        if (passes) {
            if (highEnabled && v > high) {
                r1 = countDown(r1, e);
                object_.setTimeDelayRemaining(r1);
                if (r1 == 0) {
                    passTo(kEventStateLowLimit, kEventStateHighLimit);
                }
                return;
            }
            object_.setTimeDelayRemaining(delay);
        }
        if (v > low + db) {
            r2 = countDown(r2, e);
            object_.setTimeDelayNormalRemaining(r2);
            if (r2 == 0) {
                programLog(6, "Return to normal " + std::to_string(object_.getObjectIdentifier()));
                returnToNormal(kEventStateLowLimit);
            }
        } else {
            object_.setTimeDelayNormalRemaining(delayNormal);
        }
        return;
    case kEventStateNormal: {
        const BACnetTimeStamp toNormal = object_.getEventTimeStamp(2);
        if ((v < high || v > low) && toNormal.time.hour == 0xFF && toNormal.date.year == 0xFF &&
            toNormal.date.month == 0xFF) {
            object_.stampEventTime(2);
            object_.setEventStateNormal();
            reload();
            r1 = delay;
        }
        const bool above = highEnabled && v > high;
        const bool below = lowEnabled && v < low;
        if (above) {
            r1 = countDown(r1, e);
            object_.setTimeDelayRemaining(r1);
            if (r1 == 0) {
                object_.stampEventTime(0);
                object_.setHighLimitState(true);
                notify(kTransitionToOffnormal, kEventStateNormal, kEventStateHighLimit);
                relay(static_cast<uint8_t>(AlarmState::Normal), static_cast<uint8_t>(AlarmState::High));
                reload();
                return;
            }
        }
        if (below) {
            r1 = countDown(r1, e);
            object_.setTimeDelayRemaining(r1);
            if (r1 == 0) {
                object_.stampEventTime(0);
                object_.setLowLimitState(true);
                notify(kTransitionToOffnormal, kEventStateNormal, kEventStateLowLimit);
                relay(static_cast<uint8_t>(AlarmState::Normal), static_cast<uint8_t>(AlarmState::Low));
                reload();
            }
        }
        if (!above && !below) {
            object_.setTimeDelayRemaining(delay);
        }
        return;
    }
    default:
        return;
    }
}

std::string OutOfRangeReporter::fill(uint8_t from, uint8_t to, int32_t sourceKind, int32_t sourceIndex) {
    AlarmEntry entry;
    entry.setDeadband(static_cast<float>(object_.getDeadband()));
    entry.delay = static_cast<int32_t>(object_.getTimeDelay());
    entry.setSourceKind(sourceKind);
    entry.setSourceIndex(sourceIndex);
    AlarmMessage message;
    message.entry = &entry;
    message.fromState = from;
    message.toState = to;
    message.highLimit = static_cast<float>(object_.getHighLimit());
    message.lowLimit = static_cast<float>(object_.getLowLimit());
    message.presentValue = snapshot_.present;
    message.objectName = object_.getObjectName();

    const bool offnormal = to != kEventStateNormal;
    record_.initiatingDevice = object_.getDeviceInstance();
    record_.eventObject = object_.getObjectIdentifier();
    record_.timeStamp = object_.getEventTimeStamp(offnormal ? 0 : 2);
    record_.eventType = kind_ == RangeClass::LargeAnalogValue ? kEventDoubleOutOfRange : kEventOutOfRange;
    record_.notifyType = object_.getNotifyType();
    record_.fromState = from;
    record_.toState = to;

    const bool lowSide = to == kEventStateLowLimit || (to == kEventStateNormal && from == kEventStateLowLimit);
    const StatusFlags flags =
        object_.getStatusFlags() & (kStatusInAlarm | kStatusFault | kStatusOverridden | kStatusOutOfService);
    std::memset(&values_, 0, sizeof values_);
    if (kind_ == RangeClass::LargeAnalogValue) {
        values_.doubleOutOfRange = DoubleOutOfRangeEventValues{
            snapshot_.presentDouble, snapshot_.deadbandDouble, lowSide ? snapshot_.lowDouble : snapshot_.highDouble,
            flags};
    } else {
        values_.outOfRange =
            OutOfRangeEventValues{snapshot_.present, snapshot_.deadband, lowSide ? snapshot_.low : snapshot_.high, flags};
    }

    const std::string text = alarmBuildMessage(message);
    programLog(7, text);
    object_.setEventMessageText(text, offnormal ? 0 : 2);
    return text;
}

int OutOfRangeReporter::send(int32_t device, int32_t recipient, const BACnetAddress *address,
                             const std::string &text) {
    CharStringStore<kTextBlock> block;
    const CharString *message = nullptr;
    if (!text.empty()) {
        // Never past the block, whatever the text builder gave.
        const size_t length = std::min(text.size(), kTextBlock);
        block.str.length = static_cast<uint32_t>(length);
        std::memcpy(block.room, text.data(), length);
        message = &block.str;
    }
    if (address != nullptr) {
        return svcSendEventNotificationToAddress(device, address, &record_, &values_, message);
    }
    return svcSendEventNotification(device, recipient, &record_, &values_, message);
}

void OutOfRangeReporter::logResult(int result, bool toRecipient) const {
    switch (result) {
    case kSendUnconfirmed:
        return;
    case kSendNoBuffer:
        programLog(3, "No free buffer space available to send an event notification");
        return;
    case kSendNoInvokeId:
        programLog(3, toRecipient && kind_ != RangeClass::LargeAnalogValue
                          ? "No free invoke IDs available to send an notification"
                          : "No free invoke IDs available to send an event notification");
        return;
    case kSendUnknownDevice:
        programLog(3, "Attempt to transmit from unknown VDEV!");
        return;
    default:
        programLog(6, "Sent an event notification, invoke ID [" + std::to_string(result) + "]");
        return;
    }
}

// Held back without a BACnet datalink and for a transition the object does
// not report: 0; a to state the algorithm never reaches: 0x20025.
int OutOfRangeReporter::gate(uint8_t to) const {
    if (to != kEventStateNormal && to != kEventStateHighLimit && to != kEventStateLowLimit) {
        return static_cast<int>(kValueOutOfRange);
    }
    const bool enabled =
        to == kEventStateNormal ? object_.isToNormalEventEnabled() : object_.isToOffnormalEventEnabled();
    return bacnetDatalink() && enabled ? kPass : 0;
}

int OutOfRangeReporter::sendTo(const BACnetDestination &recipient, uint8_t from, uint8_t to) {
    if (const int held = gate(to); held != kPass) {
        return held;
    }
    const bool offnormal = to != kEventStateNormal;
    int32_t sourceKind = -1;
    int32_t sourceIndex = -1;
    const int32_t wanted = alarmStateOf(to);
    for (const auto &entry : object_.alarmEntries) {
        if (follows(*entry, wanted)) {
            sourceKind = entry->getSourceKind();
            sourceIndex = entry->getSourceIndex();
            break;
        }
    }
    const std::string text = fill(from, to, sourceKind, sourceIndex);
    NotificationClass *link = link_.load();
    record_.confirmed = recipient.issueConfirmed ? 1 : 0;
    record_.processId = recipient.processId;
    record_.notificationClass = object_.getNotificationClass();
    uint32_t priority = NotificationClass::kDefaultPriority;
    bool ack = false;
    if (link != nullptr) {
        priority = offnormal ? link->getToOffnormalPriority() : link->getToNormalPriority();
        ack = offnormal ? link->isAckRequiredToOffnormal() : link->isAckRequiredToNormal();
    }
    record_.priority = static_cast<uint8_t>(priority);
    record_.ackRequired = ack ? 1 : 0;

    const int32_t device = object_.getSendingDevice();
    int result;
    int32_t recipientDevice = -1;
    if (recipient.recipient.choice == kRecipientDevice) {
        recipientDevice = static_cast<int32_t>(objectIdInstance(recipient.recipient.device));
        result = send(device, recipientDevice, nullptr, text);
    } else if (kind_ != RangeClass::PulseConverter && recipient.recipient.network == 0xFFFF &&
               recipient.recipient.macLength == 0) {
        result = send(device, -1, nullptr, text);
    } else {
        const BACnetAddress address = recipientAddress(recipient.recipient, programDatalinkType());
        result = send(device, 0, &address, text);
    }
    logResult(result, true);
    // The first notification to a device after a restart finds no binding
    // yet: it waits for one, at most the APDU time-out.
    if (result == -1 && recipientDevice >= 0) {
        waiting_.push_back(Waiting{device, recipientDevice, record_, values_, text, stackApduTimeoutMs()});
    }
    return result;
}

void OutOfRangeReporter::retryWaiting(uint32_t elapsed) {
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        it->remainingMs = countDown(it->remainingMs, elapsed);
        if (it->remainingMs == 0) {
            programLog(3, "No binding to device " + std::to_string(it->recipient) +
                              ": an event notification is dropped");
            it = waiting_.erase(it);
            continue;
        }
        record_ = it->data;
        values_ = it->values;
        const int result = send(it->device, it->recipient, nullptr, it->text);
        if (result == -1) {
            ++it;
            continue;
        }
        logResult(result, true);
        it = waiting_.erase(it);
    }
}

int OutOfRangeReporter::sendBroadcast(uint8_t from, uint8_t to, int32_t sourceKind) {
    if (const int held = gate(to); held != kPass) {
        return held;
    }
    const std::string text = fill(from, to, sourceKind, -1);
    NotificationClass *link = link_.load();
    record_.processId = kBroadcastProcessId;
    record_.notificationClass = kBroadcastClass;
    record_.priority = static_cast<uint8_t>(link != nullptr ? link->getToOffnormalPriority()
                                                            : NotificationClass::kDefaultPriority);
    record_.ackRequired = 0;
    record_.confirmed = 0;
    const int result = send(object_.getSendingDevice(), -1, nullptr, text);
    logResult(result, false);
    return result;
}

void OutOfRangeReporter::relay(uint8_t fromAlarm, uint8_t toAlarm) {
    if (kind_ == RangeClass::PulseConverter) {
        return;
    }
    NotificationClass *link = link_.load();
    const size_t recipients = link != nullptr ? link->getRecipientCount() : 0;
    const uint8_t fromEvent = alarmStateToEventState(fromAlarm);
    const uint8_t toEvent = alarmStateToEventState(toAlarm);
    for (const auto &entry : object_.alarmEntries) {
        if (entry->getState() == 7 && toAlarm != static_cast<uint8_t>(AlarmState::Normal)) {
            continue;
        }
        if (!follows(*entry, toAlarm)) {
            continue;
        }
        if (kind_ == RangeClass::AnalogInput) {
            programLog(7, "Setting alarm state: " + std::to_string(fromAlarm) + " to " + std::to_string(toAlarm));
        }
        if (recipients == 0) {
            sendBroadcast(fromEvent, toEvent, entry->getSourceKind());
        }
        programRelayAlarmState(entry->getId(), toAlarm);
    }
}
