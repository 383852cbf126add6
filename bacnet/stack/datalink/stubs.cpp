// MS/TP and BACnet/IPv6 are not part of this build: they never start, so the
// port switch reports them as not started and sends nothing through them.

#include "bacnet/stack/datalink_stubs.h"

#include <syslog.h>

#include "bacnet/stack/app.h"

bool mstpInit(const DeviceRecord *) {
    appSyslog(LOG_ERR, "MS/TP datalink is not available");
    return false;
}
void mstpClose() {}
void mstpSend(uint8_t, const uint8_t *, uint32_t, bool) {}
void mstpWork(uint32_t) {}

bool bipv6Init(const DeviceRecord *) {
    appSyslog(LOG_ERR, "B/IPv6 datalink is not available");
    return false;
}
void bipv6Close() {}
void bipv6Send(const uint8_t *, uint32_t, const uint8_t *) {}
void bipv6Poll() {}
