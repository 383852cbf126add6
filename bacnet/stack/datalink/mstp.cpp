// MS/TP (port 0) is not part of this build: it never starts, so the port
// switch never serves it. The MS/TP datalink replaces this file.

#include <syslog.h>

#include "bacnet/stack/app.h"
#include "bacnet/stack/datalink.h"

namespace {

bool start(DeviceRecord *) {
    appSyslog(LOG_ERR, "MS/TP datalink is not available");
    return false;
}
void stop() {}
void send(const uint8_t *, uint32_t, const uint8_t *, bool) {}
void poll(uint32_t) {}
uint32_t maxApdu() {
    return 480;
}
uint32_t maxNpdu() {
    return 509;
}
uint8_t noAddress(uint8_t *) {
    return 0;
}

}  // namespace

const DatalinkOps mstpDatalink{kPortMstp, 1,       start,   stop,      send,     poll,
                               nullptr,   maxApdu, maxNpdu, noAddress, noAddress};
