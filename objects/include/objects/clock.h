#pragma once
// The local time the objects stamp events with and check recipient windows
// against. Tests set the source; the program keeps the system clock.

#include <ctime>

using ObjectsTimeSource = std::time_t (*)();

// nullptr puts the system clock back.
void objectsSetTimeSource(ObjectsTimeSource source);
// The local broken-down time now (localtime_r of the source).
std::tm objectsLocalTime();
