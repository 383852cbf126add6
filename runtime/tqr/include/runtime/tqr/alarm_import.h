// The import of the meter's alarms from TQR: out-of-range settings of the
// objects that watch each alarm's quantity, the AlarmEntry that links the
// alarm to them, the reset of alarms TQR still reports active, and the list
// PUT back with the values in effect.
#pragma once

#include <cstddef>

inline constexpr size_t tqrFlagAlarms = 12;

// GET /api/v1/config/alarms: an array of alarms, each with "id",
// "vinLineLoadOrCt", "setPoint", "deadband", "delay", "type", "state",
// "led" and "relay". First disables every alarmable limit of every Load and
// Input, then configures each alarm by its type; an alarm lacking a key, or
// whose object or voltage input does not exist, configures nothing and goes
// back all the same. Every Load and Input saves its objects once, at the
// end. Runs under tqrMutex during start-up, after the sets are built; raises
// only std::invalid_argument for a body that is not JSON (nothing changed).
int tqrParseAlarms(const char *body, size_t size, size_t count, void *context);
