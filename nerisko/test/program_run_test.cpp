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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
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

// The energy registers of the load totals of all 48 load records as the
// node load/48 shows them, with each record's time, voltage set and slot
// (its place among the active records of its set); complete once every
// active record holds a result.
struct Snapshot {
    uint64_t ts[48] = {};
    bool active[48] = {};
    uint32_t set[48] = {};
    uint32_t slot[48] = {};
    double energy[48][11] = {};
};

bool snapshot(const std::string &path, Snapshot *out) {
    const std::string b = slurp(path);
    if (b.size() != 48 * 736) {
        return false;
    }
    bool measured = true;
    uint32_t next_slot[2] = {};
    for (size_t m = 0; m < 48; ++m) {
        std::memcpy(&out->ts[m], b.data() + 736 * m + 48, 8);
        out->active[m] = b[736 * m + 44] != 0;
        std::memcpy(&out->set[m], b.data() + 736 * m + 512, 4);
        if (out->active[m] && out->set[m] < 2) {
            out->slot[m] = next_slot[out->set[m]]++;
        }
        std::memcpy(out->energy[m], b.data() + 736 * m + 632, sizeof out->energy[m]);
        measured = measured && (!out->active[m] || out->ts[m] != 0);
    }
    return measured && out->active[0];
}

// Every active record of b is of a later second than in a.
bool all_later(const Snapshot &a, const Snapshot &b) {
    for (size_t m = 0; m < 48; ++m) {
        if (b.active[m] && b.ts[m] == a.ts[m]) {
            return false;
        }
    }
    return true;
}

// What a start finds in the energy files of a set, read by the test
// itself: the file when its flag is there, else the backup. Load totals by
// slot.
bool stored_energy(const std::string &root, uint32_t set, double out[48][11]) {
    const std::string n = std::to_string(set);
    const bool flag = std::filesystem::exists(root + "/data/energy_set_flag" + n);
    std::string f = slurp(root + (flag ? "/data/energy_set_" : "/data/energy_set_bu") + n);
    if (f.size() != 56312) {
        f = slurp(root + "/data/energy_set_" + n);
    }
    if (f.size() != 56312) {
        return false;
    }
    for (size_t l = 0; l < 48; ++l) {
        for (size_t e = 0; e < 11; ++e) {
            std::memcpy(&out[l][e], f.data() + 1184 + 1168 * l + 16 * e, 8);
        }
    }
    return true;
}

// Killed (SIGKILL) at 50 random moments of a sped-up run and started again
// each time: no register that only rises falls or comes back at zero, and
// what is lost is less than two seconds of energy.
TEST_F(ProgramRun, KilledAtRandomMomentsLosesUnderTwoSeconds) {
    // Three times real time: each second of results costs two durable saves
    // and a hundred node writes, which a faster pace on a loaded machine
    // would let fall behind.
    setenv("METER_PRU_TIME_SCALE", "3", 1);
    const std::string node = root.path() + "/dev/zor_data/load/48";
    const bool rising[11] = {false, true, false, true, true, true, true, true, true, true, true};
    std::mt19937 random(14);
    std::uniform_int_distribution<int> moment_ms(0, 400);
    Snapshot before;
    double stored[2][48][11] = {};
    double per_second[48][11] = {};
    for (int round = 0; round <= 50; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::filesystem::remove(node);
        run({"-d"});
        Snapshot first;
        const auto limit = std::chrono::steady_clock::now() + 30s;
        while (!snapshot(node, &first)) {
            ASSERT_LT(std::chrono::steady_clock::now(), limit) << slurp(log);
            std::this_thread::sleep_for(5ms);
        }
        if (round > 0) {
            for (size_t m = 0; m < 48; ++m) {
                if (!before.active[m]) {
                    continue;
                }
                const double *kept = stored[before.set[m]][before.slot[m]];
                for (size_t e = 0; e < 11; ++e) {
                    if (!rising[e] || before.energy[m][e] == 0.0) {
                        continue;
                    }
                    const std::string what = "load record " + std::to_string(m) + " register " + std::to_string(e);
                    ASSERT_GT(kept[e], 0.0) << what;
                    EXPECT_LT(before.energy[m][e] - kept[e], 2.0 * per_second[m][e]) << what;
                    EXPECT_GE(first.energy[m][e], kept[e]) << what << ": the run goes on from what was kept";
                }
            }
        }
        if (round == 50) {
            break;
        }
        // One more second to learn each register's rate, then a random moment.
        Snapshot second_one = first;
        while (!snapshot(node, &second_one) || !all_later(first, second_one)) {
            ASSERT_LT(std::chrono::steady_clock::now(), limit) << slurp(log);
            std::this_thread::sleep_for(2ms);
        }
        for (size_t m = 0; m < 48; ++m) {
            for (size_t e = 0; e < 11; ++e) {
                per_second[m][e] = second_one.energy[m][e] - first.energy[m][e];
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(moment_ms(random)));
        ASSERT_TRUE(snapshot(node, &before));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        ASSERT_NE(wait_end(10000ms), -1);
        ASSERT_TRUE(stored_energy(root.path(), 0, stored[0]));
        ASSERT_TRUE(stored_energy(root.path(), 1, stored[1]));
    }
    unsetenv("METER_PRU_TIME_SCALE");
    ASSERT_EQ(kill(pid, SIGINT), 0);
    EXPECT_NE(wait_end(5000ms), -1);
}

}  // namespace
