#include "test_object.h"

#include <cmath>
#include <stdexcept>

TestCovObject::TestCovObject(uint32_t instance, const std::string &name) {
    setInstance(instance);
    setObjectType(kObjLargeAnalogValue);
    setObjectName(name);
    setOutOfService(false);
}

void TestCovObject::tickCov(int elapsedMs) {
    serveCovSubscriptions(elapsedMs);
}

void TestCovObject::saveConfig(const std::string &directory) {
    JsonItem member(JsonItemType::Object);
    writeCommonKeys(member, true);
    member.appendChild(JsonItem("cov-increment", getCovIncrement()));
    writeStateFile(directory, kKindLargeAnalogValue, member);
}

bool TestCovObject::loadConfig(const std::string &directory) {
    return readStateFile(directory, kKindLargeAnalogValue, [this](const JsonItem &member) -> StateApply {
        requireKey(member, "object-name");
        requireKey(member, "out-of-service");
        requireKey(member, "cov-increment");
        const bool outOfService = member.requireChild("out-of-service").getText() == "true";
        const double increment = member.requireChild("cov-increment").toDouble();
        return [this, outOfService, increment] {
            setOutOfService(outOfService);
            setCovIncrement(increment);
        };
    });
}

void TestCovObject::setPresentValue(double v) {
    const double increment = getCovIncrement();
    bool changed;
    {
        std::lock_guard lock(objectMutex);
        changed = std::abs(v - presentValue) >= increment && v != presentValue;
        presentValue = v;
    }
    if (changed) {
        notifyCovSubscribers();
    }
}

double TestCovObject::getPresentValue() const {
    std::lock_guard lock(objectMutex);
    return presentValue;
}

std::vector<int> TestCovObject::sendResults() const {
    std::lock_guard lock(objectMutex);
    return results;
}

uint16_t TestCovObject::covValues(CovPropertyValue *values) {
    const uint32_t id = getObjectIdentifier();
    const StatusFlags flags = getStatusFlags();
    std::lock_guard lock(objectMutex);
    values[0] = CovPropertyValue{id, 85, 0xFFFFFFFF, {}};
    values[0].value.datatype = 5;  // double
    values[0].value.value.d = presentValue;
    values[1] = CovPropertyValue{id, 111, 0xFFFFFFFF, {}};
    values[1].value.datatype = 8;  // bit string, four bits
    values[1].value.length = 4;
    values[1].value.value.octets[0] = flags;
    return 2;
}

void TestCovObject::covSent(int result) {
    std::lock_guard lock(objectMutex);
    results.push_back(result);
}
