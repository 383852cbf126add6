// The parts of the sys_* calls that are the same on the board and on the
// host, built into each implementation.

#include "meter/sysio.h"
#include "sysio_impl.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void *sys_mmap(size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(nullptr, length, prot, flags, fd, offset);
}

int sys_munmap(void *address, size_t length) { return ::munmap(address, length); }

bool sysio_request_fifo(pthread_t thread, int priority) {
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

std::string sysio_folder_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int sysio_list_dir(const std::string &path, std::vector<std::string> *names) {
    DIR *dir = ::opendir(path.c_str());
    if (dir == nullptr) {
        return -1;
    }
    names->clear();
    errno = 0;
    while (const dirent *e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            names->emplace_back(e->d_name);
        }
    }
    const int err = errno;
    ::closedir(dir);
    errno = err;
    return err == 0 ? 0 : -1;
}

int sysio_fsync_dir(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    errno = err;
    return rc;
}

namespace {

int wait_for(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) {
        return rc;
    }
    if ((p.revents & POLLNVAL) != 0) {
        errno = EBADF;
        return -1;
    }
    return 1;
}

}  // namespace

int sysio_wait_readable(int fd, int timeout_ms) { return wait_for(fd, POLLIN, timeout_ms); }
int sysio_wait_writable(int fd, int timeout_ms) { return wait_for(fd, POLLOUT, timeout_ms); }

void sys_log(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    sys_vlog(priority, format, args);
    va_end(args);
}

void sys_invariant_failed(const char *text) {
    sys_log(LOG_CRIT, "%s", text);
    std::fprintf(stderr, "%s\n", text);
    std::abort();
}

bool sysio_mstp_prepare(const SysioMstpOps &ops, SysReport report) {
    const auto say = [report](int level, const std::string &text) {
        if (report != nullptr) {
            report(level, text);
        }
    };
    if (!ops.module_loaded()) {
        if (ops.load_module() != 0 && errno != EEXIST) {
            say(1, std::string("MS/TP: cannot load ") + sys_mstp_module_file + ": " + std::strerror(errno));
            return false;
        }
    }
    const int pid = ops.irq_thread();
    if (pid < 0) {
        // Without it the token passing runs at normal priority: it works,
        // but may miss its timing under load.
        say(4, "MS/TP: no UART interrupt thread found to raise: " + std::string(std::strerror(errno)));
        return true;
    }
    say(6, "MS/TP: Setting " + std::to_string(pid) + " to a high priority.");
    if (ops.raise_irq_thread(pid, 98) != 0) {
        say(4, "MS/TP: cannot raise " + std::to_string(pid) + " to priority 98: " + std::strerror(errno));
    }
    return true;
}
