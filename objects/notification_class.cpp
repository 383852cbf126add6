#include "objects/notification_class.h"
#include "objects/state_file.h"

#include "device/program_services.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

using Lock = std::lock_guard<std::mutex>;

BACnetDestination zeroDestination() {
    BACnetDestination d;
    std::memset(&d, 0, sizeof d);
    return d;
}

const JsonItem &requireArray(const JsonItem &object, const char *key, size_t size) {
    if (object.findChild(key) == object.end()) {
        throw std::invalid_argument(std::string(key) + " not found");
    }
    const JsonItem &array = object.requireChild(key);
    if (array.getType() != JsonItemType::Array || array.getSize() != size) {
        throw std::invalid_argument(std::string(key) + " not correct size");
    }
    return array;
}

const JsonItem &requireChildKey(const JsonItem &object, const char *key) {
    if (object.findChild(key) == object.end()) {
        throw std::invalid_argument(std::string(key) + " not found");
    }
    return object.requireChild(key);
}

// A number of the file as the low 32 bits of its whole part. One that no
// 64-bit integer holds (or not a number) refuses the file: converting it
// would be undefined.
uint32_t unsignedOf(const JsonItem &item) {
    const double d = item.toDouble();
    if (!(d > -9223372036854775808.0 && d < 9223372036854775808.0)) {
        throw std::invalid_argument(item.getText() + " out of range");
    }
    return static_cast<uint32_t>(static_cast<int64_t>(d));
}

BACnetTime timeOf(const JsonItem &array) {
    return BACnetTime{static_cast<uint8_t>(array.requireChildAt(0).toInteger()),
                      static_cast<uint8_t>(array.requireChildAt(1).toInteger()),
                      static_cast<uint8_t>(array.requireChildAt(2).toInteger()),
                      static_cast<uint8_t>(array.requireChildAt(3).toInteger())};
}

JsonItem timeItem(const char *name, const BACnetTime &t) {
    JsonItem array(JsonItemType::Array);
    array.setName(name);
    for (const uint8_t v : {t.hour, t.minute, t.second, t.hundredths}) {
        array.appendChild(JsonItem("", static_cast<unsigned int>(v)));
    }
    return array;
}

BACnetDestination readRecipient(const JsonItem &entry) {
    BACnetDestination d = zeroDestination();
    if (entry.findChild("device") != entry.end()) {
        d.recipient.choice = kRecipientDevice;
        d.recipient.device = objectIdMake(kObjDevice, unsignedOf(entry.requireChild("device")));
    } else {
        const JsonItem &addr = requireChildKey(entry, "addr");
        d.recipient.choice = kRecipientAddress;
        d.recipient.network = static_cast<uint16_t>(unsignedOf(requireChildKey(addr, "net")));
        const uint32_t length = unsignedOf(requireChildKey(addr, "maclen"));
        if (length > kMaxMac) {
            throw std::invalid_argument("maclen " + std::to_string(length) + " out of range");
        }
        d.recipient.macLength = static_cast<uint16_t>(length);
        const std::string mac = requireChildKey(addr, "mac").getText();
        if (length > 0) {
            const auto octets = NotificationClass::parseMacAddress(mac, length);
            std::copy(octets.begin(), octets.begin() + length, d.recipient.mac);
        }
    }
    // Recipients saved before the process identifier was kept get 0.
    if (entry.findChild("process") != entry.end()) {
        d.processId = unsignedOf(entry.requireChild("process"));
    }
    d.issueConfirmed = stateFileTrue(requireChildKey(entry, "confirmed").getText()) ? 1 : 0;
    const JsonItem &days = requireArray(entry, "validdays", 7);
    for (size_t i = 0; i < 7; ++i) {
        if (stateFileTrue(days.requireChildAt(i).getText())) {
            d.validDays |= static_cast<uint8_t>(0x80 >> i);
        }
    }
    const JsonItem &transitions = requireArray(entry, "transitions", 3);
    for (size_t i = 0; i < 3; ++i) {
        if (stateFileTrue(transitions.requireChildAt(i).getText())) {
            d.transitions |= static_cast<uint8_t>(0x80 >> i);
        }
    }
    d.from = timeOf(requireArray(entry, "fromtime", 4));
    d.to = timeOf(requireArray(entry, "totime", 4));
    return d;
}

JsonItem recipientItem(const BACnetDestination &d) {
    JsonItem entry(JsonItemType::Object);
    if (d.recipient.choice == kRecipientDevice) {
        entry.appendChild(JsonItem("device", objectIdInstance(d.recipient.device)));
    } else {
        JsonItem addr(JsonItemType::Object);
        addr.setName("addr");
        addr.appendChild(JsonItem("net", static_cast<unsigned int>(d.recipient.network)));
        addr.appendChild(JsonItem("maclen", static_cast<unsigned int>(d.recipient.macLength)));
        addr.appendChild(JsonItem("mac", NotificationClass::formatMacAddress(d)));
        entry.appendChild(addr);
    }
    entry.appendChild(JsonItem("process", d.processId));
    entry.appendChild(JsonItem("confirmed", d.issueConfirmed != 0));
    JsonItem transitions(JsonItemType::Array);
    transitions.setName("transitions");
    for (int i = 0; i < 3; ++i) {
        transitions.appendChild(JsonItem("", (d.transitions & (0x80 >> i)) != 0));
    }
    entry.appendChild(transitions);
    JsonItem days(JsonItemType::Array);
    days.setName("validdays");
    for (int i = 0; i < 7; ++i) {
        days.appendChild(JsonItem("", (d.validDays & (0x80 >> i)) != 0));
    }
    entry.appendChild(days);
    entry.appendChild(timeItem("fromtime", d.from));
    entry.appendChild(timeItem("totime", d.to));
    return entry;
}

}  // namespace

NotificationClass::NotificationClass(uint32_t instance, const std::string &name, uint32_t number)
    : classNumber(number) {
    setInstance(instance);
    setObjectName(name);
    setObjectType(kObjNotificationClass);
}

void NotificationClass::setClassNumber(uint32_t v) {
    Lock lock(recipientMutex);
    classNumber = v;
}

uint32_t NotificationClass::getClassNumber() const {
    Lock lock(recipientMutex);
    return classNumber;
}

PackedError NotificationClass::setPriority(uint32_t value, uint32_t index) {
    if (index > 2 || value >= 256) {
        return errMake(kErrorClassProperty, kErrorCodeValueOutOfRange);
    }
    Lock lock(recipientMutex);
    priorities[index] = value;
    return kErrorNone;
}

uint32_t NotificationClass::getPriority(uint32_t index) const {
    if (index > 2) {
        return 256;
    }
    Lock lock(recipientMutex);
    return priorities[index];
}

void NotificationClass::setAckRequiredToOffnormal(bool v) {
    Lock lock(recipientMutex);
    ackRequired = v ? (ackRequired | 0x01) : (ackRequired & ~0x01);
}

void NotificationClass::setAckRequiredToFault(bool v) {
    Lock lock(recipientMutex);
    ackRequired = v ? (ackRequired | 0x02) : (ackRequired & ~0x02);
}

void NotificationClass::setAckRequiredToNormal(bool v) {
    Lock lock(recipientMutex);
    ackRequired = v ? (ackRequired | 0x04) : (ackRequired & ~0x04);
}

uint8_t NotificationClass::getAckRequired() const {
    Lock lock(recipientMutex);
    return ackRequired;
}

bool NotificationClass::isAckRequiredToOffnormal() const {
    return (getAckRequired() & 0x01) != 0;
}

bool NotificationClass::isAckRequiredToNormal() const {
    return (getAckRequired() & 0x04) != 0;
}

void NotificationClass::normalize(std::vector<BACnetDestination> &list) {
    std::sort(list.begin(), list.end(), destinationLess);
    list.erase(std::unique(list.begin(), list.end(), destinationEqual), list.end());
}

bool NotificationClass::addRecipient(const BACnetDestination &destination) {
    Lock lock(recipientMutex);
    if (recipientList.size() >= kMaxRecipients) {
        return false;
    }
    recipientList.push_back(destination);
    normalize(recipientList);
    return true;
}

BACnetDestination NotificationClass::broadcastRecipient() {
    BACnetDestination d = zeroDestination();
    d.validDays = 0xFE;
    d.transitions = 0xE0;
    d.to = BACnetTime{23, 59, 59, 99};
    d.recipient.choice = kRecipientAddress;
    d.recipient.network = 0xFFFF;
    return d;
}

bool NotificationClass::addDefaultRecipient() {
    addRecipient(broadcastRecipient());
    return true;
}

std::vector<BACnetDestination> NotificationClass::getRecipients() const {
    Lock lock(recipientMutex);
    return recipientList;
}

size_t NotificationClass::getRecipientCount() const {
    Lock lock(recipientMutex);
    return recipientList.size();
}

bool NotificationClass::replaceRecipients(const std::vector<BACnetDestination> &list) {
    std::vector<BACnetDestination> checked = list;
    normalize(checked);
    if (checked.size() > kMaxRecipients) {
        return false;
    }
    Lock lock(recipientMutex);
    recipientList.swap(checked);
    return true;
}

std::string NotificationClass::formatMacAddress(const BACnetDestination &destination) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    const size_t length = std::min<size_t>(destination.recipient.macLength, kMaxMac);
    for (size_t i = 0; i < length; ++i) {
        if (i > 0) {
            text += ':';
        }
        text += kHex[destination.recipient.mac[i] >> 4];
        text += kHex[destination.recipient.mac[i] & 0x0F];
    }
    return text;
}

std::array<uint8_t, 8> NotificationClass::parseMacAddress(const std::string &text, size_t length) {
    std::array<uint8_t, 8> octets{};
    const auto invalid = [&text] { return std::runtime_error(text + " is an invalid MAC address"); };
    if (length < 1 || length > octets.size()) {
        throw invalid();
    }
    size_t at = 0;
    for (size_t field = 0; field < length; ++field) {
        if (field > 0) {
            if (at >= text.size() || text[at] != ':') {
                throw invalid();
            }
            ++at;
        }
        unsigned value = 0;
        size_t digits = 0;
        while (at < text.size() && digits < 3 && std::isxdigit(static_cast<unsigned char>(text[at]))) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[at])));
            value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
            ++digits;
            ++at;
        }
        if (digits == 0 || digits > 2) {
            throw invalid();
        }
        octets[field] = static_cast<uint8_t>(value);
    }
    if (at != text.size()) {
        throw invalid();
    }
    return octets;
}

void NotificationClass::saveConfig(const std::string &directory) {
    JsonItem member(JsonItemType::Object);
    writeCommonKeys(member, false);
    JsonItem priority(JsonItemType::Array);
    priority.setName("priority");
    for (uint32_t i = 0; i < 3; ++i) {
        priority.appendChild(JsonItem("", getPriority(i)));
    }
    member.appendChild(priority);
    const std::vector<BACnetDestination> recipients = getRecipients();
    if (!recipients.empty()) {
        JsonItem list(JsonItemType::Array);
        list.setName("recipient-list");
        for (const BACnetDestination &d : recipients) {
            list.appendChild(recipientItem(d));
        }
        member.appendChild(list);
    }
    writeStateFile(directory, kKindNotificationClass, member);
}

bool NotificationClass::loadConfig(const std::string &directory) {
    return readStateFile(directory, kKindNotificationClass, [this](const JsonItem &member) -> StateApply {
        requireKey(member, "object-name");
        const JsonItem &priority = requireArray(member, "priority", 3);
        uint32_t values[3];
        for (size_t i = 0; i < 3; ++i) {
            values[i] = unsignedOf(priority.requireChildAt(i));
        }
        std::vector<BACnetDestination> loaded;
        const bool hasList = member.findChild("recipient-list") != member.end();
        if (hasList) {
            const JsonItem &list = member.requireChild("recipient-list");
            if (list.getType() != JsonItemType::Array) {
                throw std::invalid_argument("recipient-list not correct size");
            }
            for (size_t i = 0; i < list.getSize(); ++i) {
                loaded.push_back(readRecipient(list.requireChildAt(i)));
            }
        }
        return [this, values, loaded, hasList] {
            if (!hasList) {
                programLog(7, "Empty recipeient-list");
            }
            // Appended to the recipients already listed, as one step.
            std::vector<BACnetDestination> merged = getRecipients();
            for (const BACnetDestination &d : loaded) {
                if (merged.size() < kMaxRecipients) {
                    merged.push_back(d);
                    normalize(merged);
                }
            }
            replaceRecipients(merged);
            for (uint32_t i = 0; i < 3; ++i) {
                setPriority(values[i], i);
            }
        };
    });
}
