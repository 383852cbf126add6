#pragma once
// Recording stand-ins for the stack's notification senders and for what the
// program provides the objects: the log lines (level 7 lines are never
// written, so they never show) and the alarm-state relays to TQR; the
// datalink and the base instance are those of the configuration records.
// Every call is kept as a deep copy; the senders answer a programmed
// sequence of results (then 256, sent unconfirmed). Thread-safe.

#include <cstdint>
#include <string>
#include <vector>

#include "objects/records.h"

struct RecordedCov {
    int32_t device;
    CovSubscriber subscriber;  // values points nowhere: see values
    std::vector<CovPropertyValue> values;
};

struct RecordedEvent {
    int32_t device;
    int32_t recipient;        // for svcSendEventNotification
    bool toAddress;
    BACnetAddress address{};  // for svcSendEventNotificationToAddress
    EventNotificationData data{};
    bool hasValues = false;
    EventValues values{};
    bool hasText = false;
    std::string text;
};

struct RecordedLog {
    int level;
    std::string text;
};

struct RecordedRelay {
    int alarmId;
    int state;
    size_t eventsBefore;  // event notifications sent before the relay
};

namespace fake_stack {

void reset();
// What stackApduTimeoutMs answers (10000 after reset).
void setApduTimeout(uint32_t ms);
// Results the next sends answer, in order.
void programResults(const std::vector<int> &results);
std::vector<RecordedCov> covCalls();
std::vector<RecordedEvent> eventCalls();
std::vector<RecordedLog> logLines();
std::vector<std::string> logTexts(int level);
std::vector<RecordedRelay> relayCalls();

}  // namespace fake_stack
