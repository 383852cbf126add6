#include "objects/clock.h"

#include "meter/sysio.h"

std::tm objectsLocalTime() {
    const std::time_t now = sys_time();
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}
