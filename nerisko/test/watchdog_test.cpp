#include "nerisko/watchdog.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            ADD_FAILURE() << "cannot bind " << path;
        }
    }
    ~NotifySocket() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    // Every datagram received so far.
    std::vector<std::string> take() {
        std::vector<std::string> out;
        char buf[256];
        ssize_t n;
        while ((n = ::recv(fd_, buf, sizeof buf, 0)) > 0) {
            out.emplace_back(buf, static_cast<size_t>(n));
        }
        return out;
    }

private:
    std::string path_;
    int fd_ = -1;
};

class Watchdog : public ::testing::Test {
protected:
    void SetUp() override {
        watchdog_reset();
        event_cleanup();
        ::unsetenv("WATCHDOG_USEC");
        ::unsetenv("NOTIFY_SOCKET");
        old_mask_ = setlogmask(LOG_UPTO(LOG_DEBUG));
    }
    void TearDown() override {
        setlogmask(old_mask_);
        watchdog_reset();
        event_cleanup();
        ::unsetenv("WATCHDOG_USEC");
        ::unsetenv("NOTIFY_SOCKET");
    }
    void set_usec(const char *value) {
        if (value == nullptr) {
            ::unsetenv("WATCHDOG_USEC");
        } else {
            ::setenv("WATCHDOG_USEC", value, 1);
        }
    }
    // The start-up decision: register the kick only when enabled.
    void start() {
        watchdog_init();
        if (watchdog_get_enabled()) {
            event_register(kick_watchdog, EVENT_ONE_SECOND);
        }
    }
    void one_second(uint32_t slot, uint64_t ts) {
        data_set_t result{};
        result.set = slot;
        result.ts_begin = ts;
        event_data_t ev{nullptr, &result};
        event_exec(&ev, EVENT_ONE_SECOND);
    }
    meter::host::TempRoot root;
    int old_mask_ = 0;
};

TEST_F(Watchdog, IntervalIsHalfTheTimeoutInWholeSeconds) {
    struct Case {
        const char *usec;  // nullptr: unset
        uint32_t interval;
        const char *line;
    } const cases[] = {
        {nullptr, 0, "No watchdog timeout configured"},
        {"0", 0, "Invalid watchdog timeout"},
        {"-5", 0, "Invalid watchdog timeout"},
        {"junk", 0, "Invalid watchdog timeout"},
        {"1999999", 0, "Invalid watchdog timeout"},
        {"2000000", 1, "Watchdog enabled with interval 1s"},
        {"3999999", 1, "Watchdog enabled with interval 1s"},
        {"20000000", 10, "Watchdog enabled with interval 10s"},
        {"180000000", 90, "Watchdog enabled with interval 90s"},
    };
    for (const Case &c : cases) {
        watchdog_reset();
        meter::host::log_clear();
        set_usec(c.usec);
        watchdog_init();
        const std::string name = c.usec ? c.usec : "(unset)";
        EXPECT_EQ(watchdog_get_kick_interval_sec(), c.interval) << name;
        EXPECT_EQ(watchdog_get_enabled(), c.interval != 0) << name;
        EXPECT_TRUE(meter::host::log_has(c.line)) << name;
    }
}

TEST_F(Watchdog, KicksReachTheNotifySocketEveryInterval) {
    NotifySocket sock(root.path() + "/notify");
    ::setenv("NOTIFY_SOCKET", (root.path() + "/notify").c_str(), 1);
    struct Case {
        const char *usec;
        uint32_t interval;
    } const cases[] = {{"2000000", 1}, {"6000000", 3}, {"20000000", 10}};
    for (const Case &c : cases) {
        watchdog_reset();
        event_cleanup();
        set_usec(c.usec);
        start();
        ASSERT_EQ(watchdog_get_kick_interval_sec(), c.interval);
        std::vector<uint32_t> kicked_at;
        for (uint32_t second = 0; second < 25; ++second) {
            one_second(1, second);  // the second voltage set never counts
            EXPECT_TRUE(sock.take().empty()) << c.usec << " second " << second;
            one_second(0, second);
            for (const std::string &msg : sock.take()) {
                EXPECT_EQ(msg, "WATCHDOG=1");
                kicked_at.push_back(second);
            }
        }
        std::vector<uint32_t> want;
        for (uint32_t s = 0; s < 25; s += c.interval) {
            want.push_back(s);
        }
        EXPECT_EQ(kicked_at, want) << c.usec;
    }
    EXPECT_TRUE(meter::host::log_has(LOG_DEBUG, "kicking watchdog at ts=10, seconds=10"));
}

TEST_F(Watchdog, NothingKicksWithoutATimeout) {
    NotifySocket sock(root.path() + "/notify");
    ::setenv("NOTIFY_SOCKET", (root.path() + "/notify").c_str(), 1);
    for (const char *usec : {static_cast<const char *>(nullptr), "0", "1000000"}) {
        watchdog_reset();
        event_cleanup();
        set_usec(usec);
        start();
        for (uint32_t second = 0; second < 5; ++second) {
            one_second(0, second);
        }
        EXPECT_TRUE(sock.take().empty()) << (usec ? usec : "(unset)");
    }
}

TEST_F(Watchdog, KickingADisabledWatchdogStopsTheProgram) {
    data_set_t result{};
    event_data_t ev{nullptr, &result};
    EXPECT_DEATH(kick_watchdog(&ev), "watchdog_get_enabled\\(\\)");
    EXPECT_DEATH(watchdog_kick(), "watchdog_get_enabled\\(\\)");
}

}  // namespace
