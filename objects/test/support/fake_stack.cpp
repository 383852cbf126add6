#include "fake_stack.h"

#include <deque>
#include <mutex>

#include "bacnet/stack/app.h"

namespace {

std::mutex mutex;
std::deque<int> results;
std::vector<RecordedCov> covs;
std::vector<RecordedEvent> events;
std::vector<RecordedLog> logs;

int nextResult() {
    if (results.empty()) {
        return 256;
    }
    const int r = results.front();
    results.pop_front();
    return r;
}

void recordEvent(RecordedEvent event, const EventNotificationData *data, const EventValues *values,
                 const CharString *text) {
    if (data != nullptr) {
        event.data = *data;
    }
    event.hasValues = values != nullptr;
    if (values != nullptr) {
        event.values = *values;
    }
    event.hasText = text != nullptr;
    if (text != nullptr) {
        event.text.assign(text->chars(), text->length);
    }
    events.push_back(event);
}

}  // namespace

int svcSendCovNotification(int32_t device, CovSubscriber *subscriber) {
    std::lock_guard lock(mutex);
    RecordedCov call{device, *subscriber, {}};
    if (subscriber->values != nullptr) {
        call.values.assign(subscriber->values, subscriber->values + subscriber->valueCount);
    }
    call.subscriber.values = nullptr;
    covs.push_back(call);
    return nextResult();
}

int svcSendEventNotification(int32_t device, int32_t recipient, const EventNotificationData *data,
                             const EventValues *values, const CharString *text) {
    std::lock_guard lock(mutex);
    RecordedEvent event;
    event.device = device;
    event.recipient = recipient;
    event.toAddress = false;
    recordEvent(event, data, values, text);
    return nextResult();
}

int svcSendEventNotificationToAddress(int32_t device, const BACnetAddress *recipient,
                                      const EventNotificationData *data, const EventValues *values,
                                      const CharString *text) {
    std::lock_guard lock(mutex);
    RecordedEvent event;
    event.device = device;
    event.recipient = 0;
    event.toAddress = true;
    if (recipient != nullptr) {
        event.address = *recipient;
    }
    recordEvent(event, data, values, text);
    return nextResult();
}

void logMessage(int level, const char *text) {
    std::lock_guard lock(mutex);
    logs.push_back({level, text});
}

namespace fake_stack {

void reset() {
    std::lock_guard lock(mutex);
    results.clear();
    covs.clear();
    events.clear();
    logs.clear();
}

void programResults(const std::vector<int> &r) {
    std::lock_guard lock(mutex);
    results.assign(r.begin(), r.end());
}

std::vector<RecordedCov> covCalls() {
    std::lock_guard lock(mutex);
    return covs;
}

std::vector<RecordedEvent> eventCalls() {
    std::lock_guard lock(mutex);
    return events;
}

std::vector<RecordedLog> logLines() {
    std::lock_guard lock(mutex);
    return logs;
}

std::vector<std::string> logTexts(int level) {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const auto &line : logs) {
        if (line.level == level) {
            out.push_back(line.text);
        }
    }
    return out;
}

}  // namespace fake_stack
