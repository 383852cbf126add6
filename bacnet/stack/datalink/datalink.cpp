// The port switch over the datalinks' operation records.

#include "bacnet/stack/datalink.h"

#include <atomic>
#include <cstring>

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"

namespace {

// Indexed by DatalinkPort.
const DatalinkOps *const kDatalinks[] = {&mstpDatalink, &bipDatalink, &bipv6Datalink};
static_assert(sizeof kDatalinks / sizeof kDatalinks[0] == kPortNone);

std::atomic<uint8_t> activePort{kPortNone};
std::atomic<uint8_t> allPortsEnabled{1};

const DatalinkOps *datalinkOf(uint8_t port) {
    return port < kPortNone ? kDatalinks[port] : nullptr;
}

// The datalink of a port that is served, or null.
const DatalinkOps *served(uint8_t port) {
    const DatalinkOps *ops = datalinkOf(port);
    return ops != nullptr && (allPortsEnabled || port == activePort) ? ops : nullptr;
}

}  // namespace

uint8_t datalinkActivePort() {
    return activePort;
}

bool datalinkStart(uint8_t port, DeviceRecord *record) {
    allPortsEnabled = 0;
    const DatalinkOps *ops = datalinkOf(port);
    bool ok = ops != nullptr && ops->start(record);
    // A failed start must not leave the port of an earlier run looking live.
    activePort = ok ? port : static_cast<uint8_t>(kPortNone);
    return ok;
}

void datalinkCloseAll() {
    activePort = kPortNone;
    for (const DatalinkOps *ops : kDatalinks) {
        ops->stop();
    }
}

void datalinkSend(uint8_t port, const uint8_t *mac, uint32_t length, const uint8_t *npdu,
                  bool expectingReply) {
    const DatalinkOps *ops = served(port);
    if (ops == nullptr || npdu == nullptr || length == 0) {
        return;
    }
    ops->send(mac, length, npdu, expectingReply);
    BACnetAddress destination{};
    destination.port = port;
    if (mac != nullptr) {
        destination.macLength = ops->macLength;
        std::memcpy(destination.mac, mac, ops->macLength);
    }
    BACnetAddress source{};
    source.port = port;
    uint8_t own[8];
    uint8_t n = ops->ownAddress(own);
    if (n <= 8) {
        source.macLength = n;
        std::memcpy(source.mac, own, n);
    }
    appMonitorPdu(port, length, npdu, &destination, &source, 0);
}

void datalinkPoll(uint32_t elapsedMs) {
    for (const DatalinkOps *ops : kDatalinks) {
        if (served(ops->port) != nullptr) {
            ops->poll(elapsedMs);
        }
    }
}

void datalinkSecond() {
    for (const DatalinkOps *ops : kDatalinks) {
        if (ops->second != nullptr) {
            ops->second();
        }
    }
}

uint32_t datalinkMaxApdu(uint8_t port) {
    const DatalinkOps *ops = served(port);
    return ops != nullptr ? ops->maxApdu() : 0;
}

uint32_t datalinkMaxNpdu(uint8_t port) {
    const DatalinkOps *ops = served(port);
    return ops != nullptr ? ops->maxNpdu() : 0;
}

uint8_t datalinkMaxApduCode(uint32_t length) {
    // The smallest of the six defined lengths that holds length; beyond the
    // largest, the code of the smallest.
    for (uint8_t code = 0; code < kMaxApduCodes; ++code) {
        if (length <= apduMaxApduByCode(code)) {
            return code;
        }
    }
    return 0;
}

uint8_t datalinkGetMyAddress(uint8_t port, uint8_t *out) {
    const DatalinkOps *ops = served(port);
    return ops != nullptr ? ops->ownAddress(out) : 0;
}
