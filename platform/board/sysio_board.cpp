// The board's side of the sys_* calls: the system calls themselves and
// syslog. A build machine's programs link the host models of platform/host
// instead (METER_PLATFORM=host).

#include "meter/sysio.h"
#include "sysio_impl.h"

#include "meter/root.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

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

int sys_rename(const char *from_board_path, const char *to_board_path) {
    return ::rename(meter::meter_path(from_board_path).c_str(), meter::meter_path(to_board_path).c_str());
}

int sys_unlink(const char *board_path) { return ::unlink(meter::meter_path(board_path).c_str()); }

int sys_stat(const char *board_path, struct stat *st) { return ::stat(meter::meter_path(board_path).c_str(), st); }

int sys_mkdir(const char *board_path, mode_t mode) { return ::mkdir(meter::meter_path(board_path).c_str(), mode); }

int sys_list_dir(const char *board_path, std::vector<std::string> *names) {
    return sysio_list_dir(meter::meter_path(board_path), names);
}

int sys_fsync_dir(const char *board_path) { return sysio_fsync_dir(meter::meter_path(board_path)); }

time_t sys_time() { return ::time(nullptr); }

bool sys_set_realtime(pthread_t thread, int priority) { return sysio_request_fifo(thread, priority); }

void sys_vlog(int priority, const char *format, va_list args) { vsyslog(priority, format, args); }
