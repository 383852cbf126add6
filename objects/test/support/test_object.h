#pragma once
// A small object with COV and a state file, standing in for the classes
// that report COV: present value and status flags are its COV values; its
// file holds the common keys and "cov-increment".

#include <mutex>

#include "objects/bacnet_object.h"

class TestCovObject : public BACnetObject {
public:
    explicit TestCovObject(uint32_t instance, const std::string &name = "test");

    void tickCov(int elapsedMs) override;
    void saveConfig(const std::string &directory) override;
    bool loadConfig(const std::string &directory) override;

    // Notifies the subscribers when the value moves by the COV increment or more.
    void setPresentValue(double v);
    double getPresentValue() const;
    // The results svcSendCovNotification gave, in order.
    std::vector<int> sendResults() const;

protected:
    uint16_t covValues(CovPropertyValue *values) override;
    void covSent(int result) override;

private:
    mutable std::mutex objectMutex;
    double presentValue = 0.0;
    std::vector<int> results;
};
