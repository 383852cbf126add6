#pragma once
// Multi-state Value (type 19): the service type of a voltage input. No COV,
// no reporting; its state file keeps the name and out-of-service.

#include <mutex>
#include <string>
#include <vector>

#include "objects/bacnet_object.h"

class MultiStateValue : public BACnetObject {
public:
    // The third argument is not used.
    MultiStateValue(uint32_t instance, const std::string &name, uint32_t unused);

    // Inserts the text before position (the size appends) and gives the new
    // size; the first text also makes the present value 1. A position past
    // the end inserts nothing and gives the size as it is.
    size_t addStateText(const std::string &text, uint8_t position);
    uint32_t getNumberOfStates() const;
    // Index 0 is the placeholder; past the end an empty text.
    std::string getStateText(uint8_t n) const;
    // 0x20025 for 0 or a state beyond the last.
    PackedError writePresentValue(uint32_t v);
    uint32_t getPresentValue() const;
    void onOutOfServiceChange() {}

    void tickCov(int) override {}
    void saveConfig(const std::string &directory) override;
    bool loadConfig(const std::string &directory) override;

private:
    mutable std::mutex objectMutex;
    uint32_t presentValue = 0;
    std::vector<std::string> stateTexts;  // filled at start-up only
};
