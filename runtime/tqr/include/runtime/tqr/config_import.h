// The import of Talvik's own configuration from TQR: the communication
// settings (fetched first, until they arrive), the system time, the device
// identity, the site texts and the Ethernet settings. Each parser is a
// TqrParser for tqrGet: it runs under tqrMutex, fills the records of
// device/config.h (the time through tqrStoreTime), sets its flag of
// tqrResponseReceived and reports a failure only by raising
// std::invalid_argument (not JSON, or a value that cannot be used) or
// std::out_of_range (a member missing), after its own log line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "runtime/state.h"
#include "runtime/tqr/address.h"

// Flags of tqrResponseReceived that these parsers set.
inline constexpr size_t tqrFlagTime = 0;
inline constexpr size_t tqrFlagStatic = 1;
inline constexpr size_t tqrFlagInfo = 2;
inline constexpr size_t tqrFlagCommunication = 4;
inline constexpr size_t tqrFlagEthernet = 13;

// Fetches the communication configuration, asking again after each failed
// attempt (refused, no answer, an error status, a body that cannot be used),
// with "Retrying TQR connection in 1 second." and pause() in between. 1 once
// it arrived; 0 when pause() returned false (a stop), or at once when a stop
// was already requested.
int runtimeFetchCommunication(const std::function<bool()> &pause);
// The same, pausing 1 s through runtimePause, so that a stop ends the wait.
int runtimeFetchCommunication();

// GET /api/v1/system/time: {"time": seconds since the epoch, "timezoneOffset":
// seconds}, both whole numbers of up to 64 bits. Stores TQR's local time (the
// offset added once, broken down as UTC), the offset in minutes and the text.
int tqrParseTime(const char *body, size_t size, size_t count, void *context);
// GET /api/v1/config/static: "model" (a number), "serial", "version".
int tqrParseStatic(const char *body, size_t size, size_t count, void *context);
// GET /api/v1/config/info: "siteInfo" texts and "defaults" (logged only).
// A site name other than the base name becomes the base name and, when this
// start-up received the communication configuration, is PUT back with it.
int tqrParseInfo(const char *body, size_t size, size_t count, void *context);
// GET /api/v1/config/ethernet: logged; "ipv6Address" is kept.
int tqrParseEthernet(const char *body, size_t size, size_t count, void *context);
// GET /api/v1/config/communication: "type", "baudrate", and the "bacnet"
// object. All of it is checked before anything is stored.
int tqrParseCommunication(const char *body, size_t size, size_t count, void *context);

// TQR's local time and its text for time + offset seconds; false when the
// sum leaves the range that can be broken down.
bool tqrLocalTimeOf(int64_t time, int64_t offset, std::tm &local, std::string &text);
