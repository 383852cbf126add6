#pragma once
// The out-of-range event algorithm of the analog classes: the event state
// between normal, high-limit and low-limit after the time delays, the event
// notifications to the notification class's recipients, and the relay of
// the meter alarms' new states to TQR.
//
// Only the event thread runs a reporter: its snapshot, its notification
// record and its list of notifications waiting for a binding are that
// thread's alone. What it reads of the object goes through the object's
// locked accessors; the notification-class link is an atomic pointer.

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "objects/bacnet_object.h"

class NotificationClass;

enum class RangeClass {
    AnalogInput,       // event type 5, float values, relay to TQR
    LargeAnalogValue,  // event type 14, double values, relay to TQR
    PulseConverter,    // event type 5, passes between the limits, no relay
};

// The address given to svcSendEventNotificationToAddress for a recipient
// given by network and MAC, on the port of the configured datalink: a local
// MAC on network 0, a router's local broadcast carrying the MAC as remote
// address on another network, a global broadcast for 65535 without MAC.
BACnetAddress recipientAddress(const BACnetRecipient &recipient, uint32_t datalinkType);

// time-delay seconds as milliseconds, saturating at 0xFFFFFFFF.
uint32_t delayMilliseconds(uint32_t seconds);

class OutOfRangeReporter {
public:
    OutOfRangeReporter(BACnetObject &object, RangeClass kind, std::function<double()> presentValue);

    // The notification class whose recipients and priorities the
    // notifications use; nullptr counts as no recipients.
    void setLink(NotificationClass *link) { link_.store(link); }
    NotificationClass *getLink() const { return link_.load(); }

    void tick(int elapsedMs);
    // One notification of from -> to (event states) to one recipient: the
    // StackSendResult, 0 when a gate holds it back, 0x20025 for a to state
    // other than 0, 3 or 4.
    int sendTo(const BACnetDestination &recipient, uint8_t from, uint8_t to);
    // The same as a global broadcast, for a class without recipients.
    int sendBroadcast(uint8_t from, uint8_t to, int32_t sourceKind);
    // Relay of a transition given as alarm states (2, 5, 6).
    void relay(uint8_t fromAlarm, uint8_t toAlarm);

    // Notifications to devices not bound yet, sent again at the next ticks.
    size_t waitingCount() const { return waiting_.size(); }

private:
    struct Snapshot {
        uint8_t eventState = 0;
        float compared = 0;
        float present = 0;
        double presentDouble = 0;
        float low = 0;
        float high = 0;
        float deadband = 0;
        double lowDouble = 0;
        double highDouble = 0;
        double deadbandDouble = 0;
        LimitEnable limitEnable = 0;
    };
    struct Waiting {
        int32_t device;
        int32_t recipient;
        EventNotificationData data;
        EventValues values;
        std::string text;
        uint32_t remainingMs;
    };

    static constexpr int kPass = 1;
    int gate(uint8_t to) const;
    void retryWaiting(uint32_t elapsed);
    void notify(EventTransitions bit, uint8_t from, uint8_t to);
    void returnToNormal(uint8_t from);
    void reload();
    // Fills record, values and text for from -> to; the message's source
    // from (kind, index).
    std::string fill(uint8_t from, uint8_t to, int32_t sourceKind, int32_t sourceIndex);
    int send(int32_t device, int32_t recipient, const BACnetAddress *address, const std::string &text);
    void logResult(int result, bool toRecipient) const;

    BACnetObject &object_;
    const RangeClass kind_;
    const std::function<double()> presentValue_;
    std::atomic<NotificationClass *> link_{nullptr};
    Snapshot snapshot_;
    EventNotificationData record_{};
    EventValues values_{};
    std::list<Waiting> waiting_;
};
