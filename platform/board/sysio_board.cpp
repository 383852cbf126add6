// The board's side of the sys_* calls: the system calls themselves and
// syslog. A build machine's programs link the host models of platform/host
// instead (METER_PLATFORM=host).

#include "meter/sysio.h"
#include "sysio_impl.h"

#include "meter/root.h"

#include <fcntl.h>
#include <linux/rtc.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <sstream>

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

int sys_wait_readable(int fd, int timeout_ms) { return sysio_wait_readable(fd, timeout_ms); }
int sys_wait_writable(int fd, int timeout_ms) { return sysio_wait_writable(fd, timeout_ms); }
int sys_tcgetattr(int fd, struct termios *settings) { return ::tcgetattr(fd, settings); }
int sys_tcsetattr(int fd, int when, const struct termios *settings) { return ::tcsetattr(fd, when, settings); }
int sys_tcflush(int fd, int queue) { return ::tcflush(fd, queue); }

int sys_set_clock(time_t t) {
    const timespec now{t, 0};
    if (::clock_settime(CLOCK_REALTIME, &now) != 0) {
        return -1;
    }
    // The RTC keeps UTC, as hwclock -w writes it.
    tm utc{};
    if (::gmtime_r(&t, &utc) == nullptr) {
        errno = EINVAL;
        return -1;
    }
    rtc_time rtc{};
    rtc.tm_sec = utc.tm_sec;
    rtc.tm_min = utc.tm_min;
    rtc.tm_hour = utc.tm_hour;
    rtc.tm_mday = utc.tm_mday;
    rtc.tm_mon = utc.tm_mon;
    rtc.tm_year = utc.tm_year;
    rtc.tm_wday = utc.tm_wday;
    rtc.tm_yday = utc.tm_yday;
    const int fd = sys_open("/dev/rtc0", O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    const int rc = ::ioctl(fd, RTC_SET_TIME, &rtc);
    const int err = errno;
    ::close(fd);
    errno = err;
    return rc;
}

bool sys_set_realtime(pthread_t thread, int priority) { return sysio_request_fifo(thread, priority); }

void sys_vlog(int priority, const char *format, va_list args) { vsyslog(priority, format, args); }

namespace {

bool mstpModuleLoaded() {
    // One loaded module a line, its name first.
    std::ifstream modules(meter::meter_path("/proc/modules"));
    for (std::string line; std::getline(modules, line);) {
        if (line.substr(0, line.find(' ')) == "mstp") {
            return true;
        }
    }
    return false;
}

int mstpLoadModule() {
    const int fd = ::open(meter::meter_path(sys_mstp_module_file).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    const long rc = ::syscall(SYS_finit_module, fd, "", 0);
    const int error = errno;
    ::close(fd);
    errno = error;
    return rc == 0 ? 0 : -1;
}

// The UART's interrupt thread: the kernel thread of IRQ 31 of the OMAP
// serial driver, by its name; the lowest process id when several match.
int mstpIrqThread() {
    std::vector<std::string> names;
    const std::string proc = meter::meter_path("/proc");
    if (sysio_list_dir(proc, &names) != 0) {
        return -1;
    }
    std::vector<long> pids;
    for (const std::string &name : names) {
        if (!name.empty() && name.size() < 10 && std::all_of(name.begin(), name.end(), ::isdigit)) {
            pids.push_back(std::stol(name));
        }
    }
    std::sort(pids.begin(), pids.end());
    for (long pid : pids) {
        std::ifstream comm(proc + "/" + std::to_string(pid) + "/comm");
        std::string text;
        std::getline(comm, text);
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
        if (text.find("irq/31") != std::string::npos && text.find("omap") != std::string::npos) {
            return static_cast<int>(pid);
        }
    }
    errno = ESRCH;
    return -1;
}

int mstpRaiseIrqThread(int pid, int priority) {
    sched_param param{};
    param.sched_priority = priority;
    return ::sched_setscheduler(pid, SCHED_FIFO, &param);
}

} // namespace

bool sys_mstp_prepare(SysReport report) {
    static const SysioMstpOps ops{mstpModuleLoaded, mstpLoadModule, mstpIrqThread, mstpRaiseIrqThread};
    return sysio_mstp_prepare(ops, report);
}
