// The board's side of the sys_* calls: the system calls themselves and
// syslog. A build machine's programs link the host models of platform/host
// instead (METER_PLATFORM=host).

#include "meter/sysio.h"

#include "meter/root.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool sys_platform_start() { return true; }

int sys_open(const char *board_path, int flags, mode_t mode) {
    return ::open(meter::meter_path(board_path).c_str(), flags | O_CLOEXEC, mode);
}

int sys_close(int fd) { return ::close(fd); }
ssize_t sys_read(int fd, void *buf, size_t count) { return ::read(fd, buf, count); }
ssize_t sys_write(int fd, const void *buf, size_t count) { return ::write(fd, buf, count); }
off_t sys_lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int sys_fsync(int fd) { return ::fsync(fd); }
int sys_ioctl(int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }

void *sys_mmap(size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(nullptr, length, prot, flags, fd, offset);
}

int sys_munmap(void *address, size_t length) { return ::munmap(address, length); }

time_t sys_time() { return ::time(nullptr); }

bool sys_set_realtime(pthread_t thread, int priority) {
    sched_param param{};
    param.sched_priority = priority;
    const int rc = pthread_setschedparam(thread, SCHED_FIFO, &param);
    if (rc != 0) {
        sys_log(LOG_WARNING, "Real-time scheduling not permitted (%s), thread keeps normal scheduling",
                std::strerror(rc));
        return false;
    }
    return true;
}

void sys_vlog(int priority, const char *format, va_list args) { vsyslog(priority, format, args); }

void sys_log(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
}

void sys_invariant_failed(const char *text) {
    syslog(LOG_CRIT, "%s", text);
    std::fprintf(stderr, "%s\n", text);
    std::abort();
}
