// The fuzz targets link the imports without the program's events: no stop
// requested, and a pause that never waits and reports a stop, so that
// nothing retries.
#include "runtime/events.h"

std::atomic<bool> shuttingDown{false};

bool runtimePause(std::chrono::milliseconds) { return false; }
