#include "objects/binary_value.h"
#include "objects/state_file.h"
#include "objects/multi_state_value.h"

namespace {

using Lock = std::lock_guard<std::mutex>;

// The value classes start in service, with event detection off and normal.
void startValueObject(BACnetObject &o, uint32_t instance, const std::string &name, uint16_t type) {
    o.setInstance(instance);
    o.setObjectName(name);
    o.setObjectType(type);
    o.setOutOfService(false);
    o.setEventDetectionEnable(false);
    o.setEventState(kEventStateNormal);
    o.setEventStateNormal();
    for (uint8_t i = 0; i < 3; ++i) {
        o.setEventMessageText("", i);
    }
}

}  // namespace

// Both classes keep the same two keys; the name is checked but not applied.
StateApply BACnetObject::readCommonKeys(const JsonItem &member) {
    requireKey(member, "object-name");
    requireKey(member, "out-of-service");
    const bool outOfService = stateFileTrue(member.requireChild("out-of-service").getText());
    return [this, outOfService] { setOutOfService(outOfService); };
}

// ---- BinaryValue ----

BinaryValue::BinaryValue(uint32_t instance, const std::string &name, const std::string &inactive,
                         const std::string &active)
    : inactiveText(inactive), activeText(active) {
    startValueObject(*this, instance, name, kObjBinaryValue);
}

void BinaryValue::setInactiveText(const std::string &text) {
    Lock lock(objectMutex);
    inactiveText = text;
}

void BinaryValue::setActiveText(const std::string &text) {
    Lock lock(objectMutex);
    activeText = text;
}

std::string BinaryValue::getInactiveText() const {
    Lock lock(objectMutex);
    return inactiveText;
}

std::string BinaryValue::getActiveText() const {
    Lock lock(objectMutex);
    return activeText;
}

void BinaryValue::setPresentValue(uint32_t v) {
    Lock lock(objectMutex);
    presentValue = v;
}

uint32_t BinaryValue::getPresentValue() const {
    Lock lock(objectMutex);
    return presentValue;
}

void BinaryValue::saveConfig(const std::string &directory) {
    JsonItem member(JsonItemType::Object);
    writeCommonKeys(member, true);
    writeStateFile(directory, kKindBinaryValue, member);
}

bool BinaryValue::loadConfig(const std::string &directory) {
    return readStateFile(directory, kKindBinaryValue, [this](const JsonItem &m) { return readCommonKeys(m); });
}

// ---- MultiStateValue ----

MultiStateValue::MultiStateValue(uint32_t instance, const std::string &name, uint32_t) {
    startValueObject(*this, instance, name, kObjMultiStateValue);
}

size_t MultiStateValue::addStateText(const std::string &text, uint8_t position) {
    if (position > stateTexts.size()) {
        return stateTexts.size();
    }
    if (stateTexts.empty()) {
        Lock lock(objectMutex);
        presentValue = 1;
    }
    stateTexts.insert(stateTexts.begin() + position, text);
    return stateTexts.size();
}

uint32_t MultiStateValue::getNumberOfStates() const {
    return stateTexts.empty() ? 0 : static_cast<uint32_t>(stateTexts.size() - 1);
}

std::string MultiStateValue::getStateText(uint8_t n) const {
    return n < stateTexts.size() ? stateTexts[n] : std::string();
}

PackedError MultiStateValue::writePresentValue(uint32_t v) {
    if (v == 0 || v >= stateTexts.size()) {
        return errMake(kErrorClassProperty, kErrorCodeValueOutOfRange);
    }
    Lock lock(objectMutex);
    presentValue = v;
    return kErrorNone;
}

uint32_t MultiStateValue::getPresentValue() const {
    Lock lock(objectMutex);
    return presentValue;
}

void MultiStateValue::saveConfig(const std::string &directory) {
    JsonItem member(JsonItemType::Object);
    writeCommonKeys(member, true);
    writeStateFile(directory, kKindMultiStateValue, member);
}

bool MultiStateValue::loadConfig(const std::string &directory) {
    return readStateFile(directory, kKindMultiStateValue, [this](const JsonItem &m) { return readCommonKeys(m); });
}
