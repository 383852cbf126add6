#include "nerisko/watchdog.h"

#include "meter/sysio.h"

#include <systemd/sd-daemon.h>
#include <syslog.h>

#include <cstdlib>
#include <limits>

namespace {

uint32_t kick_interval = 0;  // seconds; 0: disabled
uint32_t kick_count = 0;     // one-second results of slot 0 seen

}  // namespace

void watchdog_init() {
    const char *usec = std::getenv("WATCHDOG_USEC");
    if (usec == nullptr) {
        sys_log(LOG_WARNING, "No watchdog timeout configured");
        return;
    }
    const long long timeout = std::strtoll(usec, nullptr, 10);
    if (timeout <= 0) {
        sys_log(LOG_WARNING, "Invalid watchdog timeout");
        return;
    }
    // Half the timeout leaves room for one late second before systemd acts.
    const unsigned long long half = static_cast<unsigned long long>(timeout) / 2000000ULL;
    kick_interval = half > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                                 : static_cast<uint32_t>(half);
    if (kick_interval == 0) {
        sys_log(LOG_WARNING, "Invalid watchdog timeout");
        return;
    }
    sys_log(LOG_INFO, "Watchdog enabled with interval %is", static_cast<int>(kick_interval));
}

bool watchdog_get_enabled() { return kick_interval != 0; }

uint32_t watchdog_get_kick_interval_sec() { return kick_interval; }

void watchdog_kick() {
    SYS_ASSERT(watchdog_get_enabled(), "watchdog_get_enabled()");
    sys_log(LOG_DEBUG, "kicking watchdog");
    sd_notify(0, "WATCHDOG=1");
}

void kick_watchdog(event_data_t *ev) {
    if (ev->data->set != 0) {
        return;
    }
    SYS_ASSERT(watchdog_get_enabled(), "watchdog_get_enabled()");
    const uint32_t interval = kick_interval;
    SYS_ASSERT(interval > 0, "interval > 0");
    if (kick_count % interval == 0) {
        sys_log(LOG_DEBUG, "kicking watchdog at ts=%llu, seconds=%d",
                static_cast<unsigned long long>(ev->data->ts_begin), static_cast<int>(kick_count));
        watchdog_kick();
    }
    ++kick_count;
}

void watchdog_reset() {
    kick_interval = 0;
    kick_count = 0;
}
