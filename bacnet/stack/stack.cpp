#include "bacnet/stack/stack.h"

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/datalink.h"
#include "bacnet/stack/notify.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/segment.h"
#include "bacnet/stack/tsm.h"

std::atomic<uint8_t> communicationEnabled{1};
std::atomic<uint8_t> stackInitiationDisabled{0};
std::atomic<int64_t> dccTimerMs{0};

namespace {

uint8_t stackStopped = 0;
uint32_t tickAccumulatorMs = 0;
DeviceRecord deviceRecord;
std::atomic<uint32_t> apduTimeoutMs{10000};
std::atomic<uint32_t> segmentTimeoutMs{30000};
std::atomic<uint32_t> rootInstance{0};
std::atomic<uint8_t> proposedWindowSize{1};
std::atomic<uint8_t> segmentationSupported{1};

// Publishes the record's values that other threads read.
void publishRecord() {
    apduTimeoutMs = deviceRecord.apduTimeoutMs;
    rootInstance = objectIdInstance(deviceRecord.instance);
    segmentTimeoutMs = deviceRecord.apduSegmentTimeoutMs;
    proposedWindowSize = deviceRecord.proposedWindowSize;
    segmentationSupported = deviceRecord.segmentationSupported;
}

// The application's stack lock, released on every way out.
struct StackLock {
    StackLock() { appStackLock(); }
    ~StackLock() { appStackUnlock(); }
    StackLock(const StackLock &) = delete;
    StackLock &operator=(const StackLock &) = delete;
};

void clearTables() {
    tsmReset();
    bindingReset();
    segReset();
    for (auto &queue : npduQueues) {
        queueClear(&queue);
    }
    queueClear(&apduQueue);
}

}  // namespace

DeviceRecord &stackDevice() {
    return deviceRecord;
}

uint32_t stackApduTimeoutMs() {
    return apduTimeoutMs;
}
uint32_t stackRootInstance() {
    return rootInstance;
}
uint32_t stackSegmentTimeoutMs() {
    return segmentTimeoutMs;
}
uint8_t stackProposedWindowSize() {
    return proposedWindowSize;
}
uint8_t stackSegmentationSupported() {
    return segmentationSupported;
}

bool stackInit(uint8_t port) {
    svcInstallEventLogEncoder();
    clearTables();
    poolInit();
    deviceRecord = DeviceRecord{};
    appFillDeviceRecord(&deviceRecord);
    publishRecord();
    bool started = datalinkStart(port, &deviceRecord);
    routerReset();
    if (started) {
        routerStart();
    }
    tickAccumulatorMs = 0;
    stackStopped = 0;
    return started;
}

void stackShutdown() {
    StackLock lock;
    stackStopped = 1;
    datalinkCloseAll();
    clearTables();
    apduReset();
}

void stackTick(uint32_t elapsedMs) {
    StackLock lock;
    if (stackStopped) {
        return;
    }
    // One-second tasks: once per whole second elapsed, so that a cycle that
    // blocked for several seconds still counts them; the excess below a
    // second is dropped.
    tickAccumulatorMs += elapsedMs;
    if (tickAccumulatorMs >= 1000) {
        uint32_t seconds = tickAccumulatorMs / 1000;
        tickAccumulatorMs = 0;
        if (seconds > 3600) {
            seconds = 3600;
        }
        for (uint32_t i = 0; i < seconds; ++i) {
            routerTick();
            datalinkSecond();
        }
    }
    datalinkPoll(elapsedMs);
    if ((communicationEnabled != 1 || stackInitiationDisabled != 0) && dccTimerMs > 0) {
        int64_t left = int64_t{dccTimerMs} - elapsedMs;
        if (left <= 0) {
            dccTimerMs = 0;
            communicationEnabled = 1;
            stackInitiationDisabled = 0;
        } else {
            dccTimerMs = left;
        }
    }
    tsmTick(elapsedMs, deviceRecord.apduRetries);
    segTick(elapsedMs, deviceRecord.apduRetries);
    bindingTick(elapsedMs);
}

void stackProcess() {
    StackLock lock;
    if (stackStopped) {
        return;
    }
    npduProcess();
    apduHandle();
    segProcess();
}

uint8_t stackActivePort() {
    return datalinkActivePort();
}

void stackRefreshDevice() {
    // The router's learned numbers and the database revision the stack
    // counts survive a refill.
    uint32_t revision = deviceRecord.databaseRevision;
    uint16_t bipNetwork = deviceRecord.bipNetwork;
    uint8_t bipLearned = deviceRecord.bipNetworkLearned;
    uint16_t mstpNetwork = deviceRecord.mstpNetwork;
    uint8_t mstpLearned = deviceRecord.mstpNetworkLearned;
    appFillDeviceRecord(&deviceRecord);
    publishRecord();
    if (deviceRecord.databaseRevision < revision) {
        deviceRecord.databaseRevision = revision;
    }
    if (bipLearned) {
        deviceRecord.bipNetwork = bipNetwork;
        deviceRecord.bipNetworkLearned = 1;
    }
    if (mstpLearned) {
        deviceRecord.mstpNetwork = mstpNetwork;
        deviceRecord.mstpNetworkLearned = 1;
    }
}
