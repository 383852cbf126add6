#pragma once
// Pulse Converter (type 24): one pulse input of the meter in the root
// device. Its present value is the live count times the scale; a client may
// adjust it; it sends COV notifications on changes and, while it has
// subscribers, every cov-period seconds; it runs the out-of-range algorithm
// with direct passages between the two limit states and no relay to TQR.
//
// Locks, in this order: valueMutex (a count update, an adjust-value write
// or a store, with the COV notifications it causes), the base's covMutex,
// objectMutex (the members below, for the access itself only).

#include <ctime>
#include <mutex>
#include <string>

#include "objects/bacnet_object.h"
#include "objects/out_of_range.h"

class NotificationClass;

class PulseConverter : public BACnetObject {
public:
    PulseConverter(uint32_t instance, const std::string &name, uint32_t units);
    ~PulseConverter() override;

    // count x scale while in service (stored first), else the stored value.
    double getPresentValue() const;
    void setPresentValue(double v);
    // A live count: stamps update-time when it changed; the present value
    // is recomputed either way.
    void setCount(uint32_t n);
    // 0, or 0x20025 (nothing changed) for a value that is not finite, whose
    // pulses do not fit 32 bits or exceed the count.
    PackedError writeAdjustValue(double a);
    double getAdjustValue() const;
    uint32_t getCount() const;
    uint32_t getCountUnlocked() const { return count; }
    uint32_t getCountBeforeChange() const;
    void writeCountBeforeChange(uint32_t v);
    // For callers that hold valueMutex; still stored under objectMutex,
    // which the getters read under.
    void setCountBeforeChange(uint32_t v) { writeCountBeforeChange(v); }
    void setScale(double v);
    double getScale() const;
    PackedError setCovPeriod(uint32_t seconds);
    uint32_t getCovPeriod() const;
    void getUpdateTime(BACnetDateTimeValue *out) const;
    void getCountChangeTime(BACnetDateTimeValue *out) const;
    void stampUpdateTime();
    void stampCountChangeTime();
    void clearUpdateTime();
    void clearCountChangeTime();
    void setUpdateTime(const std::tm &local);
    void setCountChangeTime(const std::tm &local);
    using BACnetObject::notifyCovSubscribers;

    void setNotificationClassLink(NotificationClass *link) { reporter.setLink(link); }
    NotificationClass *getNotificationClassLink() const { return reporter.getLink(); }

    void tickCov(int elapsedMs) override;
    void tickCovPeriod(int elapsedMs) override;
    void tickReporting(int elapsedMs) override;
    void saveConfig(const std::string &directory) override;
    bool loadConfig(const std::string &directory) override;

    int sendEventNotificationTo(const BACnetDestination &recipient, uint8_t from, uint8_t to);
    void relayAlarmState(uint8_t, uint8_t) {}

protected:
    uint16_t covValues(CovPropertyValue *values) override;
    void covSent(int result) override;

private:
    static BACnetDateTimeValue dateTimeOf(const std::tm &local);
    static BACnetDateTimeValue unspecifiedTime();

    mutable std::mutex objectMutex;
    std::recursive_mutex valueMutex;
    mutable double presentValue = 0.0;
    double scale = 1.0;
    double adjustValue = 0.0;
    uint32_t covPeriod = 0;
    uint32_t count = 0;
    uint32_t countBeforeChange = 0;
    BACnetDateTimeValue updateTime;
    BACnetDateTimeValue countChangeTime;
    uint32_t remainingCovPeriod = 0;
    double reportedValue = 0.0;  // what the subscribers last heard, or the last store while none listens
    OutOfRangeReporter reporter;
};
