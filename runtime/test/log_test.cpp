#include "runtime/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// What the calls write to standard output.
template <typename F> std::string captured(F &&calls) {
    testing::internal::CaptureStdout();
    calls();
    return testing::internal::GetCapturedStdout();
}

const std::regex kStamp("^[0-9]{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9] ");

TEST(Log, EachLevelWritesItsNameOrNothing) {
    logSetLevel(6);
    struct {
        int level;
        const char *name; // nullptr: nothing written
    } const cases[] = {
        {1, "emergency"}, {2, "alert"}, {3, "critical"}, {4, "error"}, {5, "warning"},
        {6, "notice"},    {7, nullptr}, {0, "debug"},    {-3, "debug"}, {8, nullptr},
    };
    for (const auto &c : cases) {
        const std::string out = captured([&] { logMessage(c.level, "Restarting..."); });
        if (c.name == nullptr) {
            EXPECT_EQ(out, "") << c.level;
            continue;
        }
        std::smatch m;
        ASSERT_TRUE(std::regex_search(out, m, kStamp)) << c.level << ": " << out;
        EXPECT_EQ(out.substr(m.length()), std::string(c.name) + " Restarting...\n") << c.level;
        EXPECT_STREQ(logLevelName(c.level), c.name);
    }
}

TEST(Log, TheThresholdDropsLessSevereLinesAndLevel7Always) {
    logSetLevel(7); // as before main sets it
    EXPECT_EQ(linesOf(captured([] {
                  for (int level = 1; level <= 7; ++level) {
                      logMessage(level, "x");
                  }
              })).size(),
              6u);
    logSetLevel(3);
    const std::string out = captured([] {
        logMessage(LogLevel::Critical, "kept");
        logMessage(LogLevel::Error, "dropped");
    });
    EXPECT_NE(out.find("critical kept\n"), std::string::npos);
    EXPECT_EQ(out.find("dropped"), std::string::npos);
    logSetLevel(6);
}

TEST(Log, LinesOfManyThreadsStayWhole) {
    logSetLevel(6);
    constexpr int kThreads = 8;
    constexpr int kLines = 500;
    const std::string out = captured([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                const std::string text = "thread " + std::to_string(t) + " " + std::string(200, 'a' + t);
                for (int i = 0; i < kLines; ++i) {
                    logMessage(LogLevel::Notice, text);
                }
            });
        }
        for (auto &th : threads) {
            th.join();
        }
    });
    const std::vector<std::string> lines = linesOf(out);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> perThread(kThreads, 0);
    for (const std::string &line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, kStamp)) << line;
        const std::string rest = line.substr(m.length());
        ASSERT_EQ(rest.rfind("notice thread ", 0), 0u) << line;
        const int t = rest[14] - '0';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(rest, "notice thread " + std::to_string(t) + " " + std::string(200, 'a' + t));
        ++perThread[t];
    }
    EXPECT_EQ(perThread, std::vector<int>(kThreads, kLines));
}

TEST(Log, LockedLoggedReturnsHoldingTheLock) {
    std::mutex m;
    mutexLockLogged(m);
    EXPECT_FALSE(std::async(std::launch::async, [&] { return m.try_lock(); }).get());
    mutexUnlock(m);
    EXPECT_TRUE(mutexTryLock(m));
    mutexUnlock(m);
    mutexLock(m);
    EXPECT_FALSE(std::async(std::launch::async, [&] { return m.try_lock(); }).get());
    mutexUnlock(m);
}

TEST(Log, FileFunctionsLeaveFilesAloneWithoutALogFile) {
    char dir[] = "/tmp/talvik-log-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir), 0);
    std::ofstream("copyof_zor_log.txt") << "the only copy";
    logFilePath.clear();
    logRotate();
    EXPECT_EQ(logFileSize(), -1);
    std::ifstream kept("copyof_zor_log.txt");
    std::string content;
    std::getline(kept, content);
    EXPECT_EQ(content, "the only copy");

    std::ofstream("zor_log.txt") << "12345";
    logFilePath = "zor_log.txt";
    EXPECT_EQ(logFileSize(), 5);
    logRotate();
    EXPECT_EQ(logFileSize(), -1);
    std::ifstream rotated("copyof_zor_log.txt");
    std::getline(rotated, content);
    EXPECT_EQ(content, "12345");
    logFilePath.clear();
    std::remove("copyof_zor_log.txt");
    ASSERT_EQ(chdir(old), 0);
    rmdir(dir);
}

} // namespace
