// Process-wide values that several parts of Talvik share and that no single
// part owns: the restart request and the time last fetched from TQR.
#pragma once

#include <atomic>
#include <ctime>
#include <string>

// A restart is requested. Set by signals, configuration events, a warm start
// and the runtime's own requests; the main loop takes it between cycles.
extern std::atomic<bool> resetRequested;

// TQR's local time as the last successful time poll left it. The poller
// replaces it once a second while the main thread reads it for the Device
// object, so it is only handed out as a whole copy.
struct TqrTime {
    std::tm tqrLocalTime{};      // broken down, TQR's zone already applied
    int tqrTimezoneMinutes = 0;  // "timezoneOffset" / 60, towards zero
    std::string tqrTimeText;     // "%FT%T%z"
    bool received = false;       // false until the first successful poll
};

// Replaces the stored time as one unit.
void tqrStoreTime(const TqrTime &time);
// A consistent copy; received is false before TQR's first answer.
TqrTime tqrTimeSnapshot();
