#include "device/alarm.h"

#include "bacnet/enums.h"

#include <sstream>

namespace {

const char *const kPrefixes[] = {"Load #", "Vin #", "CT #", "Line #"};

constexpr uint8_t code(AlarmState state) { return static_cast<uint8_t>(state); }

// Where a cut at most max bytes long ends without splitting a UTF-8 sequence.
size_t cutAt(const std::string &text, size_t max) {
    if (text.size() <= max) {
        return text.size();
    }
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return end;
}

} // namespace

uint8_t alarmStateToEventState(uint8_t state) {
    switch (static_cast<AlarmState>(state)) {
    case AlarmState::High:
        return kEventStateHighLimit;
    case AlarmState::Low:
        return kEventStateLowLimit;
    default:
        return kEventStateNormal;
    }
}

std::string formatFixed(float value, int decimals) {
    std::ostringstream out;
    out.setf(std::ios::fixed, std::ios::floatfield);
    out.precision(decimals);
    out << static_cast<double>(value);
    return out.str();
}

std::string alarmBuildMessage(const AlarmMessage &message) {
    const AlarmEntry &entry = *message.entry;
    std::string text;
    const int32_t kind = entry.getSourceKind();
    if (entry.getSourceIndex() != -1 && kind >= 0 && kind <= 3) {
        text += kPrefixes[kind];
        text += std::to_string(static_cast<uint32_t>(entry.getSourceIndex()) + 1u);
        text += ' ';
    }
    text += message.objectName;
    // The state is an event state or, from some senders, the alarm state
    // TQR relays; the two codes of a kind give the same words.
    switch (message.toState) {
    case kEventStateNormal:
    case code(AlarmState::Normal):
        text += " is between " + formatFixed(message.lowLimit, 3) + " and " + formatFixed(message.highLimit, 3);
        break;
    case kEventStateHighLimit:
    case code(AlarmState::High):
        text += " has exceeded " + formatFixed(message.highLimit, 3);
        break;
    case kEventStateLowLimit:
    case code(AlarmState::Low):
        text += " has gone below " + formatFixed(message.lowLimit, 3);
        break;
    default:
        break;
    }
    text += " with a deadband of " + formatFixed(entry.getDeadband(), 3);
    text += " with a delay of " + std::to_string(static_cast<uint32_t>(entry.delay)) + " seconds. ";
    text += " Current value is " + formatFixed(message.presentValue, 3) + ".";
    text.resize(cutAt(text, alarmMessageMaxLength));
    return text;
}
