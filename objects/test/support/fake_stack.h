#pragma once
// Recording stand-ins for the stack's notification senders, and the lines
// the runtime's logger writes. Every call is kept as a deep copy; the
// senders answer a programmed sequence of results (then 256, sent
// unconfirmed). Thread-safe. reset() starts reading the logger's lines from
// standard output until the end of the test; level 7 lines are never
// written, so they never show.

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

}  // namespace fake_stack
