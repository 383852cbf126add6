#include "fake_stack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>

#include "device/config.h"
#include "device/program_services.h"

namespace {

std::mutex mutex;
std::deque<int> results;
std::vector<RecordedCov> covs;
std::vector<RecordedEvent> events;
std::vector<RecordedLog> logs;
std::vector<RecordedRelay> relays;
std::atomic<uint32_t> apduTimeout{10000};

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

uint32_t stackApduTimeoutMs() {
    return apduTimeout.load();
}

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

namespace {

// What the program provides, as the objects see it: the lines kept as the
// program's logger would write them (debug lines never), the relays kept,
// the datalink and the base instance those of the configuration records.
void keepLine(void *, int level, const std::string &text) {
    if (level >= 7) {
        return;
    }
    std::lock_guard lock(mutex);
    logs.push_back({level, text});
}

void keepRelay(void *, int alarmId, int state) {
    std::lock_guard lock(mutex);
    relays.push_back({alarmId, state, events.size()});
}

uint32_t configuredDatalink(void *) { return communicationConfig.getDatalinkType(); }
uint32_t configuredBaseInstance(void *) { return communicationConfig.getBaseInstance(); }

[[maybe_unused]] const bool servicesInstalled = [] {
    ProgramServices services;
    services.log = keepLine;
    services.relayAlarmState = keepRelay;
    services.datalinkType = configuredDatalink;
    services.baseInstance = configuredBaseInstance;
    programSetServices(services);
    return true;
}();

}  // namespace

namespace fake_stack {

void reset() {
    std::lock_guard lock(mutex);
    results.clear();
    apduTimeout.store(10000);
    covs.clear();
    events.clear();
    logs.clear();
    relays.clear();
}

void setApduTimeout(uint32_t ms) {
    apduTimeout.store(ms);
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

std::vector<RecordedRelay> relayCalls() {
    std::lock_guard lock(mutex);
    return relays;
}

std::vector<std::string> logTexts(int level) {
    std::vector<std::string> out;
    for (const auto &line : logLines()) {
        if (line.level == level) {
            out.push_back(line.text);
        }
    }
    return out;
}

}  // namespace fake_stack
