#include "netns.h"

#include "meter/emulation.h"

#include <dirent.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tqr_testing {
namespace {

int threadCount() {
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(dir);
    return n;
}

} // namespace

bool enterOwnNetworkNamespace(std::string &why) {
    if (threadCount() != 1) {
        why = meter::under_emulation()
                  ? "under the emulator, whose own thread counts among the process's and would stay in the old "
                    "network namespace"
                  : "the process already runs threads, which would stay in the old network namespace";
        return false;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        why = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    if (up) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
        up = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (!up) {
        why = std::string("bringing lo up: ") + std::strerror(errno);
    }
    close(fd);
    return up;
}

} // namespace tqr_testing
