#pragma once
// The systemd service watchdog, fed by the measurement itself: one kick
// every kick interval of one-second results of processing slot 0, so that
// systemd restarts the service when no results flow.

#include "nerisko/event.h"

#include <cstdint>

// Reads WATCHDOG_USEC; the interval is half the timeout in whole seconds,
// 0 (disabled) when the variable is missing or gives less than one second.
void watchdog_init();
bool watchdog_get_enabled();
uint32_t watchdog_get_kick_interval_sec();
// Sends "WATCHDOG=1" to systemd; the watchdog must be enabled.
void watchdog_kick();
// One-second callback: kicks on the first result of slot 0 and on every
// kick-interval-th one after it.
void kick_watchdog(event_data_t *ev);
// Back to the state before watchdog_init (disabled, no results seen); for tests.
void watchdog_reset();
