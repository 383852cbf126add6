#pragma once
// Pulse inputs.
//
// The pulse-input thread reads, once a period, the two free-running u32
// counters that the PRU program keeps in its data memory and reports their
// increase to velsard (pulse channels 0 and 1). The first pass takes the
// counters as they are as its baseline: they are not cleared when the
// program restarts, so counting them again would count pulses twice. A
// report that fails keeps its baseline, so the pulses are reported by the
// next report that succeeds.

#include <cstdint>

// Starts the thread: 1, or 0 (nothing running).
int pulse_init();
// Stops and joins the thread; nothing when it does not run.
void pulse_cleanup();
// Period of the thread in ms (1000; tests make it shorter).
extern int pulse_period_ms;
// The last reported counter of input k (tests).
uint32_t pulse_last_reported(unsigned input);
// Passes of the thread since pulse_init (tests).
uint64_t pulse_passes();
