// TEMPORARY stand-in until the measured-value classes reach main: identity,
// units and a state file only. Removed with the merge.
#pragma once

#include <string>

#include "objects/bacnet_object.h"

class AnalogInput : public BACnetObject {
public:
    AnalogInput(uint32_t instance, const std::string &name, uint32_t units) {
        setObjectType(0);
        setInstance(instance);
        setObjectName(name);
        setUnits(units);
    }
    void tickCov(int) override {}
    void saveConfig(const std::string &directory) override {
        JsonItem member(JsonItemType::Object);
        writeCommonKeys(member, true);
        writeStateFile(directory, kKindAnalogInput, member);
    }
    bool loadConfig(const std::string &directory) override {
        return readStateFile(directory, kKindAnalogInput, [this](const JsonItem &m) { return readCommonKeys(m); });
    }
};
