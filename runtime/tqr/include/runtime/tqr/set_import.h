// The imports that build Talvik's object sets from TQR: the channel mapping
// (the Loads with their virtual devices, the voltage Inputs on the root
// device) and the pulse configuration (the PulseInputs). Both are TqrParsers
// that run under tqrMutex during start-up, while the maps are empty and no
// thread walks them; they fill loadMapping, inputMapping, pulseMapping, the
// loads' ObjectMaps and deviceObjectMap.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/object_sets.h"

inline constexpr size_t tqrFlagPulseConfig = 3;
inline constexpr size_t tqrFlagMapping = 6;

// CT channels are the sample channels 6..53: CT number = channel - 5.
inline constexpr uint32_t tqrFirstCtChannel = 6;
inline constexpr uint32_t tqrLastCtChannel = 53;

// GET /api/v1/config/mapping: one Load per active "loads" entry (keyed by
// its "vdi"), one Input per active "inputs" entry (keyed by its position).
// An entry lacking a key, an input with fewer than three "lines", a vdi that
// is no virtual device instance (outside 0..4194302, or the root's) or one
// taken already is skipped with a log line; the rest is built. Raises only
// std::invalid_argument for a body that is not JSON.
int tqrParseMapping(const char *body, size_t size, size_t count, void *context);

// One object of a load's CT group on a sample channel: with a CT channel the
// object gets its CT number (in place of the "{id}" of its name), the load's
// vdi and a place in the load's map, active or not; with any other channel
// it stays as it is, unseen by clients.
void tqrConfigureCtObject(Load &load, uint32_t channel, BACnetObject &object, bool active);

// GET /api/v1/config/pulse: an array of pulse entries; each active input
// ("active" true, "out" false) becomes a PulseInput whose converter joins
// the root device, linked to the first voltage input's notification class
// (none without inputs). A number that cannot be read raises
// std::invalid_argument (std::out_of_range beyond int), keeping the pulse
// inputs built before it.
int tqrParsePulseConfig(const char *body, size_t size, size_t count, void *context);
