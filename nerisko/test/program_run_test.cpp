// The nerisko program itself on the simulated board against the velsard
// stand-in: it measures, prints the results of the chosen channel, and
// SIGINT ends it within a second with status 0.

#include "temp_root.h"
#include "test_bus.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using velsard_testing::TestBus;
using namespace std::chrono_literals;

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ProgramRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TestBus::get().velsard_running()) {
            TestBus::get().start_velsard();
        }
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    void run(std::vector<std::string> options) {
        log = root.path() + "/nerisko.log";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        options.insert(options.begin(), NERISKO_PATH);
        std::vector<char *> argv;
        for (std::string &o : options) {
            argv.push_back(o.data());
        }
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&pid, NERISKO_PATH, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    bool log_shows(const std::string &text, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (slurp(log).find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    // Waits for the end of the program; its wait status, or -1 after limit.
    int wait_end(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return status;
            }
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }

    meter::host::TempRoot root;  // METER_ROOT of the program
    std::string log;
    pid_t pid = -1;
};

TEST_F(ProgramRun, PrintsFiveCycleResultsAndStopsOnSigint) {
    run({"-d", "-v", "-c6", "-q"});
    ASSERT_TRUE(log_shows("Initialization completed", 20s)) << slurp(log);
    ASSERT_TRUE(log_shows("curr channel:\t               6", 10s)) << slurp(log);
    ASSERT_TRUE(log_shows("current (A):\t       40.", 1s)) << "the scenario's 40 A of load 1";
    ASSERT_EQ(kill(pid, SIGINT), 0);
    const auto sent = std::chrono::steady_clock::now();
    const int status = wait_end(1000ms);
    ASSERT_NE(status, -1) << "still running a second after SIGINT";
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(slurp(log).find("Received SIGINT. stopping now"), std::string::npos);
}

TEST_F(ProgramRun, StartUpFailureEndsWithStatusOne) {
    run({"-d", "--chan"});
    const int status = wait_end(20000ms);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(slurp(log).find("Requested channel 0 is a voltage channel. Please select a current channel (6 or higer)"),
              std::string::npos);
}

}  // namespace
