#pragma once
// The base of every BACnet object the meter serves: shared properties,
// status flags and event state, limits with their auto-correction, event
// texts and time stamps, the COV subscription list and the state files.
//
// Locks. covMutex guards the subscription list; fieldMutex guards every
// other field and is held only for the access itself (never while another
// lock is taken or a notification is sent). Order: covMutex, fieldMutex.

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/alarm.h"
#include "meter/json.h"
#include "objects/records.h"

// One COV subscription: the subscriber as its request gave it, the time it
// has left and whether a notification waits for the next tick.
class COVSubscription {
public:
    COVSubscription() = default;

    // 1..57599 s set the remaining lifetime and give 0; anything else
    // gives 0x5002D and changes nothing.
    PackedError setLifetime(uint32_t seconds);
    void setRemainingLifetime(uint32_t ms) { remainingMs = ms; }
    uint32_t getRemainingLifetime() const { return remainingMs; }
    void setSubscriber(const CovSubscriber *record);
    void copySubscriber(CovSubscriber *out) const;
    CovSubscriber getSubscriber() const { return subscriber; }
    void setNotifyPending(bool v) { notifyPending = v; }
    bool isNotifyPending() const { return notifyPending; }

private:
    uint32_t remainingMs = 0;
    CovSubscriber subscriber{};
    bool notifyPending = false;
};

// A consistent copy of what the reporting algorithm reads, taken at once.
struct ReportingSnapshot {
    double highLimit;
    double lowLimit;
    double deadband;
    LimitEnable limitEnable;
    EventTransitions eventEnable;
    StatusFlags statusFlags;
    uint8_t eventState;
    uint32_t timeDelay;
    uint32_t timeDelayNormal;
    uint32_t notificationClass;
    uint8_t notifyType;
    bool useAbsoluteValue;
    bool eventDetectionEnable;
    bool eventAlgorithmInhibit;
    bool outOfService;
};

// A state-file reader: checks a member holding the class's keys and gives
// back what applies them, or throws std::invalid_argument or
// std::out_of_range with the failure's text. It must not change the object:
// a file that fails anywhere leaves every value as it was.
using StateApply = std::function<void()>;
using StateReader = std::function<StateApply(const JsonItem &member)>;

class BACnetObject {
public:
    BACnetObject();
    virtual ~BACnetObject();
    // Maps and sets hold raw pointers to objects: they never move.
    BACnetObject(const BACnetObject &) = delete;
    BACnetObject &operator=(const BACnetObject &) = delete;
    BACnetObject(BACnetObject &&) = delete;
    BACnetObject &operator=(BACnetObject &&) = delete;

    virtual void tickCov(int elapsedMs) = 0;
    virtual void tickCovPeriod(int elapsedMs);
    virtual void tickReporting(int elapsedMs);
    virtual void saveConfig(const std::string &directory);
    virtual bool loadConfig(const std::string &directory);

    // ---- identity ----
    uint32_t getInstance() const;
    void setInstance(uint32_t v);
    uint16_t getObjectType() const;
    void setObjectType(uint16_t v);
    uint32_t getObjectIdentifier() const;
    std::string getObjectName() const;
    void setObjectName(const std::string &v);
    uint32_t getUnits() const;
    void setUnits(uint32_t v);
    bool isUnitsReadOnly() const;
    void setUnitsReadOnly(bool v);
    double getCovIncrement() const;
    void setCovIncrement(double v);
    double getMinPresValue() const;
    void setMinPresValue(double v);
    double getMaxPresValue() const;
    void setMaxPresValue(double v);
    uint32_t getDeviceInstance() const;
    // Also decides, against the root instance in force now, whether the
    // object belongs to the root device.
    void setDeviceInstance(uint32_t v);
    // What the stack's senders take: -1 for an object of the root device,
    // else its virtual device's instance.
    int32_t getSendingDevice() const;
    int16_t getCtNumber() const;
    void setCtNumber(int16_t v);

    // ---- status flags and event state ----
    bool isOutOfService() const;
    void setOutOfService(bool v);
    void setOutOfServiceFlag(bool v);
    void setInAlarm(bool v);
    void setEventStateNormal();
    void setHighLimitState(bool v);
    void setLowLimitState(bool v);
    StatusFlags getStatusFlags() const;
    uint8_t getEventState() const;
    void setEventState(uint8_t v);  // changes no flag
    bool getEventDetectionEnable() const;
    void setEventDetectionEnable(bool v);
    bool getEventAlgorithmInhibit() const;
    void setEventAlgorithmInhibit(bool v);

    // ---- reporting properties ----
    uint32_t getTimeDelay() const;
    void setTimeDelay(uint32_t v);
    uint32_t getTimeDelayNormal() const;
    void setTimeDelayNormal(uint32_t v);
    uint32_t getTimeDelayRemaining() const;
    void setTimeDelayRemaining(uint32_t v);
    uint32_t getTimeDelayNormalRemaining() const;
    void setTimeDelayNormalRemaining(uint32_t v);
    uint32_t getNotificationClass() const;
    void setNotificationClass(uint32_t v);
    double getHighLimit() const;
    double getLowLimit() const;
    double getDeadband() const;
    void setHighLimit(double v);
    void setLowLimit(double v);
    void setDeadband(double v);
    // The three stored at once, then one auto-correction check: values
    // converted to other units are consistent among themselves, while one of
    // them set alone would be checked against the others still in the old
    // units and moved.
    void setLimits(double high, double low, double deadband);
    bool getUseAbsoluteValue() const;
    void setUseAbsoluteValue(bool v);
    LimitEnable getLimitEnable() const;
    bool isLowLimitEnabled() const;
    bool isHighLimitEnabled() const;
    void enableLowLimit();
    void disableLowLimit();
    void enableHighLimit();
    void disableHighLimit();
    EventTransitions getEventEnable() const;
    bool isToOffnormalEventEnabled() const;
    bool isToFaultEventEnabled() const;
    bool isToNormalEventEnabled() const;
    void enableToOffnormalEvent();
    void enableToFaultEvent();
    void enableToNormalEvent();
    void disableToOffnormalEvent();
    void disableToFaultEvent();
    void disableToNormalEvent();
    EventTransitions getAckedTransitions() const;
    void setAckedToOffnormal();
    void setAckedToFault();
    void setAckedToNormal();
    void clearAckedToOffnormal();
    void clearAckedToFault();
    void clearAckedToNormal();
    uint8_t getNotifyType() const;
    ReportingSnapshot getReportingSnapshot() const;

    // ---- event texts and time stamps; index 0 to-offnormal, 1 to-fault, 2 to-normal ----
    bool setEventMessageText(const std::string &text, uint8_t index);
    std::string getEventMessageText(uint8_t index) const;
    bool setTimeStamp(const BACnetTimeStamp &stamp, uint8_t index);
    BACnetTimeStamp getEventTimeStamp(uint8_t index) const;
    bool stampEventTime(uint8_t index);
    // Recipient windows against the local time now.
    bool isValidToday(uint8_t validDays) const;
    int compareTimeOfDay(const BACnetTime &time) const;

    // ---- COV subscriptions ----
    PackedError subscribeCov(const CovSubscriber &request);
    uint32_t getCovSubscriptionCount() const { return covCount.load(); }
    // Copies of the subscriptions, newest first, taken under covMutex.
    std::vector<COVSubscription> copyCovSubscriptions() const;
    void clearCovSubscriptions();
    static bool isSameSubscriber(const BACnetAddress &a, const BACnetAddress &b);

    // ---- meter alarms ----
    // The alarms that watch this object. The alarm import fills the list and
    // the clean-up clears it while the COV and event threads are stopped.
    std::vector<std::unique_ptr<AlarmEntry>> alarmEntries;
    void clearAlarmEntries();

protected:
    // The COV tick of the classes that report COV: under covMutex, each
    // subscription in list order sends its pending notification, then
    // counts down; one that reaches 0 is removed and ends the walk.
    void serveCovSubscriptions(int elapsedMs);
    // A change of the reported values: one notification to every live
    // subscription now, under covMutex (so a cancellation waits for it).
    void notifyCovSubscribers();
    // Fills the values of one notification (at most kMaxCovValues) into
    // values and gives their count; called under covMutex.
    static constexpr uint16_t kMaxCovValues = 3;
    virtual uint16_t covValues(CovPropertyValue *values);
    // Called after each COV send with its StackSendResult.
    virtual void covSent(int result);

    // Writes the member's keys durably: the main file keeps the old text
    // until the new one is complete and fsynced.
    void writeStateFile(const std::string &directory, const char *kind, const JsonItem &member);
    bool readStateFile(const std::string &directory, const char *kind, const StateReader &reader);
    // The keys every class writes first; "object-name" is checked when
    // read but never applied (the mapping import names the objects).
    void writeCommonKeys(JsonItem &member, bool withOutOfService) const;
    static void requireKey(const JsonItem &member, const char *key);
    // Checks both common keys and applies out-of-service.
    StateApply readCommonKeys(const JsonItem &member);

    mutable std::mutex covMutex;

private:
    // Applies under fieldMutex, then logs the corrections made.
    void sendCov(int32_t device, COVSubscription &subscription);
    void correctLimits(void (BACnetObject::*apply)(double, std::vector<std::string> &), double v);
    void applyHighLimit(double x, std::vector<std::string> &lines);
    void applyLowLimit(double x, std::vector<std::string> &lines);
    void applyDeadband(double d, std::vector<std::string> &lines);
    std::string stateFilePath(const std::string &directory, const char *kind) const;

    mutable std::mutex fieldMutex;
    uint32_t units = 95;
    double covIncrement = 0.0;
    double minPresValue = 0.0;
    double maxPresValue = 0.0;
    uint32_t instance = kNoInstance;
    uint16_t objectType = 0;
    bool outOfService = false;
    std::string objectName;
    StatusFlags statusFlags = 0;
    uint8_t eventState = kEventStateNormal;
    uint32_t timeDelay = 0;
    uint32_t timeDelayNormal = 0;
    uint32_t timeDelayRemaining = 0xFFFFFFFF;
    uint32_t timeDelayNormalRemaining = 0xFFFFFFFF;
    uint32_t notificationClass = 0;
    double highLimit = 0.0;
    double lowLimit = 0.0;
    double deadband = 0.0;
    bool useAbsoluteValue = false;
    LimitEnable limitEnable = 0;
    EventTransitions eventEnable = 0;
    EventTransitions ackedTransitions = 0;
    uint8_t notifyType = 1;
    BACnetTimeStamp eventTimeStamps[3];
    std::string eventMessageTexts[3];
    bool eventDetectionEnable = false;
    bool eventAlgorithmInhibit = false;
    uint32_t deviceInstance = 0;
    bool rootMember = false;
    bool unitsReadOnly = false;
    int16_t ctNumber = -1;

    std::list<COVSubscription> covSubscriptions;  // newest first, at most two
    std::atomic<uint32_t> covCount{0};
};

// Declared only: no object of it is made.
class AnalogValue : public BACnetObject {};
