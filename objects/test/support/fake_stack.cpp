#include "fake_stack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <sstream>

#include "runtime/log.h"

namespace {

std::mutex mutex;
std::deque<int> results;
std::vector<RecordedCov> covs;
std::vector<RecordedEvent> events;
std::vector<RecordedLog> logs;
bool capturing = false;  // standard output goes to gtest's capture file
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

// The runtime's logger writes "<stamp> <level name> <text>" lines to
// standard output; they are read back from gtest's capture. The captured
// text is passed on to standard error so that a failing test still shows it.
void collectLogs() {
    if (!capturing) {
        return;
    }
    const std::string out = testing::internal::GetCapturedStdout();
    capturing = false;
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const size_t afterStamp = line.find(' ');
        const size_t afterName = afterStamp == std::string::npos ? std::string::npos : line.find(' ', afterStamp + 1);
        if (afterName == std::string::npos) {
            continue;  // not a logger line
        }
        const std::string name = line.substr(afterStamp + 1, afterName - afterStamp - 1);
        for (int level = 1; level <= 7; ++level) {
            if (name == logLevelName(level)) {
                logs.push_back({level, line.substr(afterName + 1)});
                break;
            }
        }
    }
}

void startCapture() {
    testing::internal::CaptureStdout();
    capturing = true;
}

// A capture must not outlive its test: gtest's own output would vanish in it.
class CaptureEnd : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo &) override {
        std::lock_guard lock(mutex);
        collectLogs();
    }
};

[[maybe_unused]] const bool captureEndRegistered = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new CaptureEnd);
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
    collectLogs();
    logs.clear();
    startCapture();
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
    const bool wasCapturing = capturing;
    collectLogs();
    if (wasCapturing) {
        startCapture();
    }
    return logs;
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
