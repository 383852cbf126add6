#include "nerisko/alarm.h"

#include "meter/sysio.h"

#include <fcntl.h>
#include <syslog.h>

int alarm_set(uint8_t value) {
    const int fd = sys_open("/dev/zor_pulse/alarm_out", O_RDWR);
    if (fd < 0) {
        sys_log(LOG_ERR, "failed to open alarm_out");
        return 0;
    }
    if (sys_write(fd, &value, 1) != 1) {
        sys_log(LOG_ERR, "failed to write to alarm_out");
        sys_close(fd);
        return 0;
    }
    sys_close(fd);
    return 1;
}
