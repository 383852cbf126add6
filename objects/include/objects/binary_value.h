#pragma once
// Binary Value (type 5): the polarity correction of a CT. No COV, no
// reporting; its state file keeps the name and out-of-service.

#include <mutex>
#include <string>

#include "objects/bacnet_object.h"

class BinaryValue : public BACnetObject {
public:
    BinaryValue(uint32_t instance, const std::string &name, const std::string &inactiveText,
                const std::string &activeText);

    void setInactiveText(const std::string &text);
    void setActiveText(const std::string &text);
    std::string getInactiveText() const;
    std::string getActiveText() const;
    void setPresentValue(uint32_t v);
    uint32_t getPresentValue() const;
    void onOutOfServiceChange() {}

    void tickCov(int) override {}
    void saveConfig(const std::string &directory) override;
    bool loadConfig(const std::string &directory) override;

private:
    mutable std::mutex objectMutex;
    std::string inactiveText;
    std::string activeText;
    uint32_t presentValue = 0;
};
