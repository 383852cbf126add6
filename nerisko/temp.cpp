#include "nerisko/temp.h"

#include "meter/sysio.h"

#include <fcntl.h>
#include <syslog.h>

#include <cstdio>

namespace {

constexpr const char *kTemperatureSource = "/sys/bus/iio/devices/iio:device0/in_voltage0_raw";

}  // namespace

bool temp_get_temperature(float *out) {
    const int fd = sys_open(kTemperatureSource, O_RDONLY);
    if (fd < 0) {
        sys_log(LOG_ERR, "failed to access temperature sensor");
        return false;
    }
    char text[32] = {};
    const ssize_t n = sys_read_all(fd, text, sizeof text - 1);
    int raw = 0;
    if (n <= 0 || std::sscanf(text, "%d", &raw) != 1) {
        sys_log(LOG_ERR, "failed to read temperature");
        sys_close(fd);
        return false;
    }
    sys_close(fd);
    // A 12-bit reading of a 1.8 V span: 0 degrees at 1.034 V, one degree
    // more for every 5.5 mV below.
    const float volts = (static_cast<float>(raw) / 4095.0f) * 1.8f;
    *out = (1.034f - volts) / 0.0055f;
    return true;
}
