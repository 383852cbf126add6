// What the tests of Talvik's life cycle share: a network namespace of the
// test process's own (TQR's fixed address, the BACnet port, an eth0 of its
// own) and standard output read while the program writes it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line_log.h"
#include "netns.h"
#include "runtime/events.h"

extern char **environ;

namespace programtest {

// Enters the namespace while the process still has one thread; every test
// is skipped where namespaces are refused.
class OwnNetwork : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string why;
        if (!tqr_testing::enterOwnNetworkNamespace(why)) {
            GTEST_SKIP() << "no network namespace of its own: " << why;
        }
    }
};

// Runs a program with a fixed argument vector; its exit status.
inline int runCommand(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The meter's eth0 in the test's namespace: 192.0.2.10/24, one end of a
// veth pair whose other end (192.0.2.20/24) a client may use.
inline bool makeEth0() {
    return runCommand({"ip", "link", "add", "eth0", "type", "veth", "peer", "name", "peer0"}) == 0 &&
           runCommand({"ip", "addr", "add", "192.0.2.10/24", "brd", "+", "dev", "eth0"}) == 0 &&
           runCommand({"ip", "addr", "add", "192.0.2.20/24", "brd", "+", "dev", "peer0"}) == 0 &&
           runCommand({"ip", "link", "set", "eth0", "up"}) == 0 &&
           runCommand({"ip", "link", "set", "peer0", "up"}) == 0;
}

// Standard output goes to a pipe read on a thread of the tap's own, so that
// a test can wait for a line while the program runs; restored at the end.
class StdoutTap : public LineLog {
  public:
    StdoutTap() {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        wake_ = eventfd(0, EFD_CLOEXEC);
        // Programs the test starts inherit the pipe as their standard
        // output and keep it open: the reader ends on the wake, not at end
        // of file.
        reader_ = std::thread([this, fd = fds[0]] {
            pollfd fds[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
            char buf[4096];
            for (;;) {
                if (poll(fds, 2, -1) < 0) {
                    continue;
                }
                if ((fds[0].revents & POLLIN) != 0) {
                    const ssize_t n = read(fd, buf, sizeof buf);
                    if (n > 0) {
                        append(buf, static_cast<size_t>(n));
                        continue;
                    }
                }
                if (fds[1].revents != 0 || (fds[0].revents & (POLLHUP | POLLERR)) != 0) {
                    break;
                }
            }
            close(fd);
        });
    }
    ~StdoutTap() {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        const uint64_t one = 1;
        EXPECT_EQ(write(wake_, &one, sizeof one), static_cast<ssize_t>(sizeof one));
        reader_.join();
        close(wake_);
        if (::testing::Test::HasFailure()) {
            std::fputs(text().c_str(), stderr);
        }
    }

  private:
    int saved_ = -1;
    int wake_ = -1;
    std::thread reader_;
};

// Waits until condition holds; the bound only keeps a broken test from
// hanging.
template <typename F> bool eventually(F &&condition) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A clock the test moves by hand, for the restart requests. It starts at the
// steady clock's now, which the transport's count of own alarm PUTs keeps.
struct HandClock {
    std::atomic<int64_t> ms{std::chrono::duration_cast<std::chrono::milliseconds>(
                                RestartRequests::Clock::now().time_since_epoch())
                                .count()};
    RestartRequests::Now now() {
        return [this] { return RestartRequests::Clock::time_point(std::chrono::milliseconds(ms.load())); };
    }
    void advance(std::chrono::milliseconds by) { ms.fetch_add(by.count()); }
};

} // namespace programtest
