#pragma once
// The alarm output of the pulse driver.

#include <cstdint>

// Writes the alarm output byte (1 on, 0 off) to /dev/zor_pulse/alarm_out,
// opening the node for the call: 1, or 0 with a log line.
int alarm_set(uint8_t value);
