#pragma once
// The local time the objects stamp events with and check recipient windows
// against: the board edge's clock (sys_time), which tests set through the
// host model.

#include <ctime>

// The local broken-down time now (localtime_r of sys_time()).
std::tm objectsLocalTime();
