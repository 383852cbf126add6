// TEMPORARY stand-in until the measured-value classes reach main: identity,
// units and a state file only. Removed with the merge.
#pragma once

#include <string>

#include "objects/bacnet_object.h"

class LargeAnalogValue : public BACnetObject {
public:
    LargeAnalogValue(uint32_t instance, const std::string &name, uint32_t units) {
        setObjectType(46);
        setInstance(instance);
        setObjectName(name);
        setUnits(units);
    }
    void tickCov(int) override {}
    void saveConfig(const std::string &directory) override {
        JsonItem member(JsonItemType::Object);
        writeCommonKeys(member, true);
        writeStateFile(directory, kKindLargeAnalogValue, member);
    }
    bool loadConfig(const std::string &directory) override {
        return readStateFile(directory, kKindLargeAnalogValue, [this](const JsonItem &m) { return readCommonKeys(m); });
    }
};
