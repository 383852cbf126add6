#include "arvent.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace {

TEST(Checksum, KnownValues) {
    const std::string check = "123456789";
    EXPECT_EQ(checksum(reinterpret_cast<const uint8_t *>(check.data()), check.size()), 0xCBF43926u);
    EXPECT_EQ(checksum(nullptr, 0), 0u);
    const uint8_t high[] = {0x80, 0xFF, 0xA5};
    EXPECT_EQ(checksum(high, sizeof high), crc32(0, high, sizeof high));
}

TEST(Checksum, AgreesWithZlibOnRandomBuffers) {
    std::mt19937 rng(1234);
    for (size_t len : {1u, 7u, 432u, 4096u, 65537u}) {
        std::vector<uint8_t> buf(len);
        for (auto &b : buf) {
            b = static_cast<uint8_t>(rng());
        }
        EXPECT_EQ(checksum(buf.data(), buf.size()), crc32(0, buf.data(), static_cast<uInt>(buf.size())))
            << "length " << len;
    }
}

TEST(Slog, LevelSetsTheMask) {
    struct {
        int level;
        int mask;
    } const cases[] = {
        {LOG_WARNING, LOG_UPTO(LOG_WARNING)},
        {LOG_DEBUG, 0xFF},
        {LOG_EMERG, 0x01},
        {31, 0xFF},  // would shift out of range unclamped
        {1000, 0xFF},
        {-1, 0x01},  // LOG_UPTO(-1) is 0, which setlogmask ignores
        {-1000, 0x01},
    };
    for (const auto &c : cases) {
        slog_level(c.level);
        EXPECT_EQ(setlogmask(0), c.mask) << "level " << c.level;
    }
    slog_level(LOG_DEBUG);
}

// Runs body in a child whose standard error goes into a pipe; returns what it wrote.
template <typename F>
std::string stderr_of_child(F body) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "pipe failed";
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        body();
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

TEST(Slog, PerrorOnlyWhenAsked) {
    std::string with = stderr_of_child([] {
        slog_open("slogtest", 1);
        slog_level(LOG_DEBUG);
        syslog(LOG_ERR, "to standard error");
        syslog(LOG_DEBUG, "debug too");
    });
    EXPECT_NE(with.find("slogtest: to standard error"), std::string::npos) << with;
    EXPECT_NE(with.find("debug too"), std::string::npos) << with;

    std::string masked = stderr_of_child([] {
        slog_open("slogtest", 1);
        slog_level(LOG_WARNING);
        syslog(LOG_INFO, "hidden line");
        syslog(LOG_WARNING, "shown line");
    });
    EXPECT_EQ(masked.find("hidden line"), std::string::npos) << masked;
    EXPECT_NE(masked.find("shown line"), std::string::npos) << masked;

    std::string without = stderr_of_child([] {
        slog_open("slogtest", 0);
        syslog(LOG_ERR, "syslog only");
    });
    EXPECT_EQ(without.find("syslog only"), std::string::npos) << without;
}

}  // namespace
