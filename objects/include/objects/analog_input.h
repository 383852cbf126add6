#pragma once
// Analog Input (type 0) and Large Analog Value (type 46): the meter's
// measured values. The live-data import stores their present values once a
// second; they send their own COV notifications, run the out-of-range
// event algorithm in their reporting slot and keep their configuration in a
// state file.
//
// Locks: covMutex (the base's) before objectMutex, which guards the present
// value and the value last reported to the COV subscribers.

#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>

#include "objects/bacnet_object.h"
#include "objects/out_of_range.h"

class NotificationClass;

// The keys and the COV rule the two classes share.
class AnalogCommon {
public:
    // True when v must be reported against the value last reported: a move
    // of more than the increment, or a change to, from or between
    // non-finite values.
    static bool covMoved(double reported, double v, double increment);
    // Stores v as the present value under objectMutex and tells whether the
    // subscribers must hear of it; while none listens, the reference
    // follows every store, so a first subscriber is measured against the
    // value it was sent.
    static bool store(BACnetObject &object, std::mutex &objectMutex, double &present, double &reported, double v);
    // The state file's member, in the order the file keeps its keys;
    // insert adds a class's own keys before the key named next ("" at the end).
    using KeyInserter = std::function<void(JsonItem &member, const std::string &next)>;
    static JsonItem stateMember(const BACnetObject &object, const KeyInserter &insert = {});
    // Checks the flags and arrays, then the keys listed, in order, and gives
    // what applies the keys all analog classes share.
    static StateApply readState(BACnetObject &object, const JsonItem &member,
                                std::initializer_list<const char *> keys);
    static const std::initializer_list<const char *> kAnalogKeys;
    static JsonItem boolArray(const char *name, std::initializer_list<bool> values);
    // A saved count or code; values out of range are held at the ends
    // instead of being converted with an undefined result.
    static uint32_t unsignedOf(const JsonItem &item);
    static CovPropertyValue statusFlagsValue(uint32_t id, StatusFlags flags);
    // The log line of a COV send's result; withVdevLine: -999 has its own line.
    static void logCovResult(int result, bool withVdevLine);
};

// What the two measured-value classes share: the present value with its
// COV rule and notifications, the reporting slot and the state file. The
// classes differ in their type, their start values and how the present
// value travels (a real or a double).
class MeasuredValue : public BACnetObject {
public:
    ~MeasuredValue() override;

    double getPresentValue() const;
    // Stores v and notifies the subscribers when it moved against the value
    // they last heard.
    void setPresentValue(double v);
    using BACnetObject::notifyCovSubscribers;

    void setNotificationClassLink(NotificationClass *link) { reporter.setLink(link); }
    NotificationClass *getNotificationClassLink() const { return reporter.getLink(); }

    void tickCov(int elapsedMs) override;
    void tickReporting(int elapsedMs) override;
    void saveConfig(const std::string &directory) override;
    bool loadConfig(const std::string &directory) override;

    int sendEventNotificationTo(const BACnetDestination &recipient, uint8_t from, uint8_t to);
    int sendEventNotification(uint8_t from, uint8_t to, int32_t sourceKind);
    void relayAlarmState(uint8_t from, uint8_t to);
    // Notifications waiting for their recipient's binding.
    size_t waitingNotifications() const { return reporter.waitingCount(); }

protected:
    explicit MeasuredValue(RangeClass kind);
    uint16_t covValues(CovPropertyValue *values) override;
    void covSent(int result) override;

private:
    const RangeClass kind;
    mutable std::mutex objectMutex;
    double presentValue = 0.0;
    double reportedValue = 0.0;  // what the subscribers last heard, or the last store while none listens
    OutOfRangeReporter reporter;
};

class AnalogInput : public MeasuredValue {
public:
    AnalogInput(uint32_t instance, const std::string &name, uint32_t units);
};

class LargeAnalogValue : public MeasuredValue {
public:
    LargeAnalogValue(uint32_t instance, const std::string &name, uint32_t units);
};
