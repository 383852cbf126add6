#include "bacnet/stack/stack.h"

#include <cstring>

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/bip.h"
#include "bacnet/stack/datalink_stubs.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/tsm.h"

std::atomic<uint8_t> communicationEnabled{1};
std::atomic<uint8_t> stackInitiationDisabled{0};
std::atomic<int32_t> dccTimerMs{0};

namespace {

std::atomic<uint8_t> activePort{kPortNone};
std::atomic<uint8_t> allPortsEnabled{1};
uint8_t stackStopped = 0;
uint32_t tickAccumulatorMs = 0;
DeviceRecord deviceRecord;
std::atomic<uint32_t> apduTimeoutMs{10000};

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
    for (auto &queue : npduQueues) {
        queueClear(&queue);
    }
    queueClear(&apduQueue);
}

bool served(uint8_t port) {
    return allPortsEnabled || port == activePort;
}

}  // namespace

DeviceRecord &stackDevice() {
    return deviceRecord;
}

uint32_t stackApduTimeoutMs() {
    return apduTimeoutMs;
}

bool stackInit(uint8_t port) {
    clearTables();
    poolInit();
    deviceRecord = DeviceRecord{};
    appFillDeviceRecord(&deviceRecord);
    apduTimeoutMs = deviceRecord.apduTimeoutMs;
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
            bipTick();
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
            dccTimerMs = static_cast<int32_t>(left);
        }
    }
    tsmTick(elapsedMs, deviceRecord.apduRetries);
}

void stackProcess() {
    StackLock lock;
    if (stackStopped) {
        return;
    }
    npduProcess();
    apduHandle();
}

uint8_t stackActivePort() {
    return activePort;
}

void stackRefreshDevice() {
    // The router's learned numbers survive a refill.
    uint16_t bipNetwork = deviceRecord.bipNetwork;
    uint8_t bipLearned = deviceRecord.bipNetworkLearned;
    uint16_t mstpNetwork = deviceRecord.mstpNetwork;
    uint8_t mstpLearned = deviceRecord.mstpNetworkLearned;
    appFillDeviceRecord(&deviceRecord);
    apduTimeoutMs = deviceRecord.apduTimeoutMs;
    if (bipLearned) {
        deviceRecord.bipNetwork = bipNetwork;
        deviceRecord.bipNetworkLearned = 1;
    }
    if (mstpLearned) {
        deviceRecord.mstpNetwork = mstpNetwork;
        deviceRecord.mstpNetworkLearned = 1;
    }
}

bool datalinkStart(uint8_t port, DeviceRecord *record) {
    allPortsEnabled = 0;
    bool ok = false;
    switch (port) {
        case kPortMstp:
            ok = mstpInit(record);
            break;
        case kPortBip:
            ok = bipStart(record);
            break;
        case kPortBipv6:
            ok = bipv6Init(record);
            break;
        default:
            break;
    }
    if (ok) {
        activePort = port;
    }
    return ok;
}

void datalinkCloseAll() {
    mstpClose();
    bipClose();
    bipv6Close();
}

void datalinkSend(uint8_t port, const uint8_t *mac, uint32_t length, const uint8_t *npdu,
                  bool expectingReply) {
    if (!served(port) || npdu == nullptr || length == 0) {
        return;
    }
    switch (port) {
        case kPortMstp:
            mstpSend(mac != nullptr ? mac[0] : 255, npdu, length, expectingReply);
            break;
        case kPortBip:
            bipSend(mac, length, npdu);
            break;
        case kPortBipv6:
            bipv6Send(mac, length, npdu);
            break;
        default:
            return;
    }
    BACnetAddress destination{};
    destination.port = port;
    if (mac != nullptr) {
        uint8_t n = port == kPortMstp ? 1 : port == kPortBip ? 6 : 3;
        destination.macLength = n;
        std::memcpy(destination.mac, mac, n);
    }
    BACnetAddress source{};
    source.port = port;
    uint8_t own[8];
    uint8_t n = datalinkGetMyAddress(port, own);
    if (n <= 8) {
        source.macLength = n;
        std::memcpy(source.mac, own, n);
    }
    appMonitorPdu(port, length, npdu, &destination, &source, 0);
}

void datalinkPoll(uint32_t elapsedMs) {
    if (served(kPortMstp)) {
        mstpWork(elapsedMs);
    }
    if (served(kPortBip)) {
        bipPoll();
    }
    bipv6Poll();
}

uint32_t datalinkMaxApdu(uint8_t port) {
    switch (port) {
        case kPortMstp:
            return served(port) ? 480 : 0;
        case kPortBip:
            return served(port) ? 1476 : 0;
        case kPortBipv6:
            return 1476;
        default:
            return 0;
    }
}

uint32_t datalinkMaxNpdu(uint8_t port) {
    switch (port) {
        case kPortMstp:
            return served(port) ? 509 : 0;
        case kPortBip:
            return served(port) ? 1497 : 0;
        case kPortBipv6:
            return 1497;
        default:
            return 0;
    }
}

uint8_t datalinkMaxApduCode(uint32_t length) {
    if (length <= 50)
        return 0;
    if (length <= 128)
        return 1;
    if (length <= 206)
        return 2;
    if (length <= 480)
        return 3;
    if (length <= 1024)
        return 4;
    if (length <= 1476)
        return 5;
    return 0;
}

uint8_t datalinkGetMyAddress(uint8_t port, uint8_t *out) {
    if (port == kPortBip && served(port)) {
        return bipGetAddress(out, false);
    }
    if (port == kPortBipv6) {
        return 3;
    }
    return 0;
}
