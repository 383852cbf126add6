// BACnet/IPv6 (port 2) is not part of this build: it never starts, so the
// port switch never serves it. The BACnet/IPv6 datalink replaces this file.

#include <cstring>
#include <syslog.h>

#include "bacnet/stack/app.h"
#include "bacnet/stack/datalink.h"

namespace {

// A virtual MAC address of BACnet/IPv6.
constexpr uint8_t kVmacLength = 3;

bool start(DeviceRecord *) {
    appSyslog(LOG_ERR, "B/IPv6 datalink is not available");
    return false;
}
void stop() {}
void send(const uint8_t *, uint32_t, const uint8_t *, bool) {}
void poll(uint32_t) {}
uint32_t maxApdu() {
    return 1476;
}
uint32_t maxNpdu() {
    return 1497;
}
uint8_t unassignedVmac(uint8_t *out) {
    std::memset(out, 0, kVmacLength);
    return kVmacLength;
}

}  // namespace

const DatalinkOps bipv6Datalink{kPortBipv6, kVmacLength, start,   stop,           send,          poll,
                                nullptr,    maxApdu,     maxNpdu, unassignedVmac, unassignedVmac};
