// The nerisko program itself on the simulated board against the velsard
// stand-in: it measures, prints the results of the chosen channel, and
// SIGINT ends it within a second with status 0.

#include "arvent.h"
#include "ex_port.h"
#include "temp_root.h"
#include "test_bus.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using velsard_testing::Control;
using velsard_testing::TestBus;
using namespace std::chrono_literals;

// A whole number from the environment, or fallback when unset or not a
// positive number.
unsigned env_number(const char *name, unsigned fallback) {
    const char *v = std::getenv(name);
    if (v == nullptr) {
        return fallback;
    }
    char *end = nullptr;
    const unsigned long n = std::strtoul(v, &end, 10);
    return end != v && *end == '\0' && n > 0 && n < 100000 ? static_cast<unsigned>(n) : fallback;
}

// NERISKO_RUN_LOADS=48 runs these tests on a full meter of 48 loads instead
// of the stand-in's four: loads 1-4 as the scenario feeds them (three CTs
// each, channels 6-17), loads 5-40 one CT each on channels 53 down to 18,
// loads 41-48 without a CT, the loads on the two voltage sets by turns.
unsigned run_loads() { return env_number("NERISKO_RUN_LOADS", 4) >= 48 ? 48 : 4; }

mapping mapping_of_48_loads() {
    mapping m{};
    m.version = 2;
    for (uint32_t s = 0; s < 2; ++s) {
        m.sets_u[s].id = s;
        m.sets_u[s].active = true;
        m.sets_u[s].extra_1 = 230;
        m.sets_u[s].extra_2 = 1;
        m.sets_u[s].pt_ratio = 1.0;
        for (uint32_t k = 0; k < 3; ++k) {
            m.sets_u[s].u[k].channel = 3 * s + k;
            m.sets_u[s].u[k].active = true;
        }
    }
    for (uint32_t l = 0; l < 48; ++l) {
        mapping_i_set &load = m.sets_i[l];
        load.id = l;
        load.u_set_id = (l < 4 ? l / 2 : l) % 2;
        load.active = true;
        std::snprintf(load.name, sizeof load.name, "Load %u", l + 1);
        for (uint32_t j = 0; j < 3; ++j) {
            mapping_i_channel &ct = load.i[j];
            ct.channel = l < 4 ? 6 + 3 * l + j : (l < 40 && j == 0 ? 53 - (l - 4) : 0);
            ct.active = ct.channel != 0;
            ct.ct_type = 9;
            ct.rated_current = 100.0;
            ct.rated_mv = 333.0;
            ct.factor = 1.0;
        }
    }
    return m;
}

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
        if (run_loads() == 48) {
            const mapping m = mapping_of_48_loads();
            Control().store("mapping", mapping_serialize(&m));
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
    ex_testing::PtyPort ex_port{root.path()};  // the EX station's port
    std::string log;
    pid_t pid = -1;
};

TEST_F(ProgramRun, PrintsFiveCycleResultsAndStopsOnSigint) {
    run({"-d", "-v", "-c6", "-q"});
    ASSERT_TRUE(log_shows("Initialization completed", 20s)) << slurp(log);
    ASSERT_TRUE(log_shows("curr channel:\t               6", 10s)) << slurp(log);
    ASSERT_TRUE(log_shows("current (A):\t       40.", 10s)) << "the scenario's 40 A of load 1";
    ASSERT_EQ(kill(pid, SIGINT), 0);
    // How soon it ends is the machine's business (a busy core can hold any
    // thread); what is checked is that SIGINT alone ends it, cleanly.
    const int status = wait_end(30s);
    ASSERT_NE(status, -1) << "still running 30 s after SIGINT";
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

// The energy registers that only rise.
constexpr bool kRising[11] = {false, true, false, true, true, true, true, true, true, true, true};

// The load totals by slot of an energy image, when it is whole.
bool image_totals(const std::string &image, double out[48][11]) {
    if (image.size() != 56312) {
        return false;
    }
    for (size_t l = 0; l < 48; ++l) {
        for (size_t e = 0; e < 11; ++e) {
            std::memcpy(&out[l][e], image.data() + 1184 + 1168 * l + 16 * e, 8);
        }
    }
    return true;
}

// What a start takes from the energy files of a set, read by the test
// itself: the file when its flag is there; without the flag the file when
// it is whole and no rising register of it is below the backup's (a kill
// after the file's rename, before the flag, leaves the newer image whole),
// else the backup; zeros when the run before saved nothing. Load totals by
// slot.
bool stored_energy(const std::string &root, uint32_t set, double out[48][11]) {
    const std::string n = std::to_string(set);
    const bool flag = std::filesystem::exists(root + "/data/energy_set_flag" + n);
    const std::string file = slurp(root + "/data/energy_set_" + n);
    static double backup[48][11];
    const bool backup_whole = !flag && image_totals(slurp(root + "/data/energy_set_bu" + n), backup);
    if (image_totals(file, out)) {
        bool behind = false;
        for (size_t l = 0; backup_whole && l < 48; ++l) {
            for (size_t e = 0; e < 11; ++e) {
                behind = behind || (kRising[e] && out[l][e] < backup[l][e]);
            }
        }
        if (!behind) {
            return true;
        }
    }
    if (backup_whole) {
        std::memcpy(out, backup, sizeof backup);
        return true;
    }
    if (file.empty()) {
        for (size_t l = 0; l < 48; ++l) {
            for (size_t e = 0; e < 11; ++e) {
                out[l][e] = 0.0;
            }
        }
        return true;
    }
    return false;
}

// Killed (SIGKILL) at 30 random moments of a sped-up run and started again
// each time: the registers are saved once a minute, so what is lost is at
// most a minute of energy; no register that only rises falls, and the run
// goes on from what was kept. A clean stop at the end loses nothing.
TEST_F(ProgramRun, KilledAtRandomMomentsLosesAtMostAMinute) {
    // Ten times real time: a simulated minute and a half is 9 s.
    setenv("METER_PRU_TIME_SCALE", "10", 1);
    const std::string node = root.path() + "/dev/zor_data/load/48";
    std::mt19937 random(14);
    std::uniform_int_distribution<int> moment_ms(0, 9000);
    Snapshot before;
    double stored[2][48][11] = {};
    double kept_before[2][48][11] = {};
    double per_second[48][11] = {};
    double most_lost = 0.0;  // seconds of a register's rate
    auto check_kept = [&](const Snapshot &at_end, double seconds, const Snapshot *next_run) {
        for (size_t m = 0; m < 48; ++m) {
            if (!at_end.active[m]) {
                continue;
            }
            const double *kept = stored[at_end.set[m]][at_end.slot[m]];
            const double *earlier = kept_before[at_end.set[m]][at_end.slot[m]];
            for (size_t e = 0; e < 11; ++e) {
                if (!kRising[e]) {
                    continue;
                }
                const std::string what = "load record " + std::to_string(m) + " register " + std::to_string(e);
                EXPECT_GE(kept[e], earlier[e]) << what << ": a kept register never falls";
                EXPECT_LE(at_end.energy[m][e] - kept[e], seconds * per_second[m][e] + 1e-9) << what;
                if (per_second[m][e] > 0.0) {
                    most_lost = std::max(most_lost, (at_end.energy[m][e] - kept[e]) / per_second[m][e]);
                }
                if (next_run != nullptr) {
                    EXPECT_GE(next_run->energy[m][e], kept[e]) << what << ": the run goes on from what was kept";
                }
            }
        }
        std::memcpy(kept_before, stored, sizeof stored);
    };
    for (int round = 0; round <= 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::filesystem::remove(node);
        run({"-d"});
        Snapshot first;
        const auto limit = std::chrono::steady_clock::now() + 60s;
        while (!snapshot(node, &first)) {
            ASSERT_LT(std::chrono::steady_clock::now(), limit) << slurp(log);
            std::this_thread::sleep_for(5ms);
        }
        if (round > 0) {
            check_kept(before, 61.0, &first);
        } else {
            const auto loads = std::count(std::begin(first.active), std::end(first.active), true);
            EXPECT_EQ(static_cast<unsigned>(loads), run_loads());
        }
        if (round == 30) {
            break;
        }
        // One more second to learn each register's rate, then a random moment.
        Snapshot second_one = first;
        while (!snapshot(node, &second_one) || !all_later(first, second_one)) {
            ASSERT_LT(std::chrono::steady_clock::now(), limit) << slurp(log);
            std::this_thread::sleep_for(2ms);
        }
        // The scenario's rates are steady: the largest second seen is the
        // rate (a second that a loaded machine cut short adds less).
        for (size_t m = 0; m < 48; ++m) {
            for (size_t e = 0; e < 11; ++e) {
                per_second[m][e] = std::max(per_second[m][e], second_one.energy[m][e] - first.energy[m][e]);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(moment_ms(random)));
        ASSERT_TRUE(snapshot(node, &before));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        ASSERT_NE(wait_end(10000ms), -1);
        ASSERT_TRUE(stored_energy(root.path(), 0, stored[0]));
        ASSERT_TRUE(stored_energy(root.path(), 1, stored[1]));
        for (const char *demand : {"/data/stats_set_0", "/data/stats_set_1"}) {
            const std::string d = root.path() + demand;
            if (std::filesystem::exists(d)) {
                EXPECT_EQ(std::filesystem::file_size(d), 1540u) << d << ": the demand file is whole";
            }
        }
    }
    unsetenv("METER_PRU_TIME_SCALE");
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(snapshot(node, &before));
    ASSERT_EQ(kill(pid, SIGINT), 0);
    EXPECT_NE(wait_end(10000ms), -1);
    ASSERT_TRUE(stored_energy(root.path(), 0, stored[0]));
    ASSERT_TRUE(stored_energy(root.path(), 1, stored[1]));
    check_kept(before, 0.0, nullptr);  // the stop saved what the last result showed, or later
    std::printf("%u loads: at most %.1f s of energy lost by a kill\n", run_loads(), most_lost);
}

// Print mode: 640 samples of the 9 ADCs of the default front end, written
// as CSV; the program ends by itself with status 0. Times go up by one
// sample period, every status word is a healthy ADC's, and the voltage
// channels carry the scenario's 230 V.
TEST_F(ProgramRun, PrintModeWritesTheCaptureAndEnds) {
    run({"-p640", "-o", "/capture.csv"});
    const int status = wait_end(60000ms);
    ASSERT_NE(status, -1) << slurp(log);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << slurp(log);
    const std::string csv = slurp(root.host("/capture.csv"));
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < csv.size()) {
        const size_t end = csv.find('\n', at);
        ASSERT_NE(end, std::string::npos) << "the file ends with a whole line";
        lines.push_back(csv.substr(at, end - at + 1));
        at = end + 1;
    }
    ASSERT_EQ(lines.size(), 1u + 640u);
    std::string header = "timestamp,";
    for (int k = 0; k < 9; ++k) {
        header += "adc" + std::to_string(k) + ":head,";
        for (int c = 0; c < 6; ++c) {
            header += "adc" + std::to_string(k) + ":ch" + std::to_string(c) + ",";
        }
    }
    EXPECT_EQ(lines[0], header + "\x08 \n");
    long long last = -1;
    long long step = -1;
    long long peak = 0;
    for (size_t n = 1; n < lines.size(); ++n) {
        SCOPED_TRACE("line " + std::to_string(n));
        const std::string &l = lines[n];
        ASSERT_GE(l.size(), 3u);
        ASSERT_EQ(l.substr(l.size() - 3), "\x08 \n");
        std::vector<std::string> f;
        std::stringstream in(l.substr(0, l.size() - 3));
        for (std::string x; std::getline(in, x, ',');) {
            f.push_back(x);
        }
        ASSERT_EQ(f.size(), 1u + 9u * 7u);
        const long long ts = std::stoll(f[0]);
        if (last >= 0) {
            const long long d = (ts - last + (1ll << 32)) % (1ll << 32);
            if (step < 0) {
                step = d;
            }
            EXPECT_NEAR(static_cast<double>(d), static_cast<double>(step), 1.0);
        }
        last = ts;
        for (int k = 0; k < 9; ++k) {
            EXPECT_EQ(f[1 + 7 * k], "0xc00000");
        }
        peak = std::max(peak, std::llabs(std::stoll(f[2])));  // ADC 0 channel 0: voltage 1
    }
    EXPECT_GT(step, 0);
    // 230 V * sqrt 2 at the voltage scale of one count.
    const double volts = static_cast<double>(peak) * 0.0001451642;
    EXPECT_NEAR(volts, 230.0 * 1.41421356, 230.0 * 1.41421356 * 0.08) << peak;
}

TEST_F(ProgramRun, PrintModeThatCannotWriteEndsWithStatusOne) {
    run({"-d", "-p64", "-o", "/no/such/folder/capture.csv"});
    const int status = wait_end(60000ms);
    ASSERT_NE(status, -1);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(slurp(log).find("Failed to open CSV file for writing"), std::string::npos) << slurp(log);
}

// Every trend file under root: a header and whole records in time order.
void expect_whole_trend_files(const std::string &root, size_t *files, size_t *records) {
    for (const auto &e : std::filesystem::recursive_directory_iterator(root + "/data")) {
        const std::string name = e.path().filename().string();
        if (!e.is_regular_file() || name.find_first_not_of("0123456789") != std::string::npos ||
            e.path().parent_path().filename().string().find("set_") == 0) {
            continue;
        }
        const std::string b = slurp(e.path().string());
        SCOPED_TRACE(e.path().string());
        ASSERT_GE(b.size(), 11112u);
        EXPECT_EQ((b.size() - 11112) % 1408, 0u) << b.size();
        uint32_t last = 0;
        for (size_t at = 11112; at + 1408 <= b.size(); at += 1408) {
            uint32_t t = 0;
            std::memcpy(&t, b.data() + at, 4);
            EXPECT_GE(t, last);
            last = t;
            ++*records;
        }
        ++*files;
    }
}

// Bytes in the trend files under root (companions left out).
size_t trend_bytes(const std::string &root) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root + "/data", ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos && it->is_regular_file(ec)) {
            n += static_cast<size_t>(it->file_size(ec));
        }
    }
    return n;
}

// Killed (SIGKILL) at 30 random moments of trend writing on a sped-up run,
// then started once more until it writes: every trend file is a header and
// whole records in time order. Disabled for its length (about six minutes on
// a loaded machine, most of it waiting for five-minute results); run it by
// hand with --gtest_also_run_disabled_tests.
TEST_F(ProgramRun, DISABLED_KilledWhileWritingTrendsLeavesWholeFiles) {
    setenv("METER_PRU_TIME_SCALE", "30", 1);  // a five-minute result every 10 s
    std::mt19937 random(18);
    std::uniform_int_distribution<int> moment_ms(0, 1500);
    for (int round = 0; round <= 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const size_t before = trend_bytes(root.path());
        std::set<std::string> folders;
        std::set<std::string> old_names;
        if (round == 30) {
            for (const auto &e : std::filesystem::recursive_directory_iterator(root.path() + "/data")) {
                const std::string name = e.path().filename().string();
                if (e.is_regular_file() && name.find_first_not_of("0123456789") == std::string::npos) {
                    folders.insert(e.path().parent_path().string());
                    old_names.insert(e.path().string());
                }
            }
        }
        run({"-d"});
        const auto limit = std::chrono::steady_clock::now() + 120s;
        while (trend_bytes(root.path()) == before) {
            ASSERT_LT(std::chrono::steady_clock::now(), limit) << slurp(log);
            std::this_thread::sleep_for(2ms);
        }
        if (round == 30) {
            // The first write of a run to a load repairs what earlier runs
            // left in the load's folder: wait until every folder has its new file.
            auto all_written = [&] {
                for (const std::string &f : folders) {
                    bool fresh = false;
                    for (const auto &e : std::filesystem::directory_iterator(f)) {
                        const std::string name = e.path().filename().string();
                        fresh = fresh || (name.find_first_not_of("0123456789") == std::string::npos &&
                                          !old_names.count(e.path().string()) && e.file_size() >= 11112 + 1408);
                    }
                    if (!fresh) {
                        return false;
                    }
                }
                return true;
            };
            while (!all_written()) {
                ASSERT_LT(std::chrono::steady_clock::now(), limit) << slurp(log);
                std::this_thread::sleep_for(5ms);
            }
            ASSERT_EQ(kill(pid, SIGINT), 0);
            ASSERT_NE(wait_end(10000ms), -1);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(moment_ms(random)));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        ASSERT_NE(wait_end(10000ms), -1);
    }
    unsetenv("METER_PRU_TIME_SCALE");
    size_t files = 0;
    size_t records = 0;
    expect_whole_trend_files(root.path(), &files, &records);
    EXPECT_GT(records, 30u);
}

}  // namespace

namespace {

// The trend records under root by load folder: the time of each record, in
// the order of the files (named by their start) and of the records in them.
// Every record must be whole and hold more than its time.
std::map<std::string, std::vector<uint32_t>> trend_times(const std::string &root) {
    std::set<std::filesystem::path> files;
    for (const auto &e : std::filesystem::recursive_directory_iterator(root + "/data")) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && name.find_first_not_of("0123456789") == std::string::npos) {
            files.insert(e.path());
        }
    }
    std::map<std::string, std::vector<uint32_t>> out;
    for (const std::filesystem::path &f : files) {
        const std::string b = slurp(f.string());
        SCOPED_TRACE(f.string());
        if (b.size() < 11112) {
            ADD_FAILURE() << "no whole header: " << b.size();
            continue;
        }
        EXPECT_EQ((b.size() - 11112) % 1408, 0u) << b.size();
        std::vector<uint32_t> &times = out[f.parent_path().string()];
        for (size_t at = 11112; at + 1408 <= b.size(); at += 1408) {
            uint32_t t = 0;
            std::memcpy(&t, b.data() + at, 4);
            EXPECT_LT(b.find_first_not_of('\0', at + 4), at + 1408) << "record " << times.size() << ": zeros";
            times.push_back(t);
        }
    }
    return out;
}

// A slow flash (50 ms per fsync, every write 1 ms) under a sped-up run,
// then a clean stop: the processing thread drops no sample and every load
// has every five-minute record of the run. By default ten times real time
// for 92 s (15 simulated minutes); NERISKO_RUN_SCALE and NERISKO_RUN_SECONDS
// change the pace and the length, NERISKO_RUN_LOADS=48 the meter. Disabled:
// its pace is the machine's (a loaded machine can fall behind for want of
// CPU, not of the flash); run it by hand with --gtest_also_run_disabled_tests.
TEST_F(ProgramRun, DISABLED_SlowFlashDropsNoSample) {
    const unsigned scale = env_number("NERISKO_RUN_SCALE", 10);
    const unsigned seconds = env_number("NERISKO_RUN_SECONDS", 92);
    setenv("METER_PRU_TIME_SCALE", std::to_string(scale).c_str(), 1);
    setenv(meter::host::kFsyncMsVariable, "50", 1);
    setenv(meter::host::kWriteMsVariable, "1", 1);
    run({"-d", "-v"});
    unsetenv("METER_PRU_TIME_SCALE");
    unsetenv(meter::host::kFsyncMsVariable);
    unsetenv(meter::host::kWriteMsVariable);
    ASSERT_TRUE(log_shows("Initialization completed", 60s)) << slurp(log);
    // The simulated seconds of the run, from the time of the results of the
    // first two seconds and of the last one before the stop: the run may
    // go slower than the pace asked for, never faster.
    const std::string node = root.path() + "/dev/zor_data/load/48";
    Snapshot first;
    Snapshot second_one;
    const auto limit = std::chrono::steady_clock::now() + 60s;
    while (!snapshot(node, &first)) {
        ASSERT_LT(std::chrono::steady_clock::now(), limit) << slurp(log);
        std::this_thread::sleep_for(2ms);
    }
    second_one = first;
    while (!snapshot(node, &second_one) || !all_later(first, second_one)) {
        ASSERT_LT(std::chrono::steady_clock::now(), limit) << slurp(log);
        std::this_thread::sleep_for(2ms);
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    Snapshot last;
    ASSERT_TRUE(snapshot(node, &last));
    ASSERT_EQ(kill(pid, SIGINT), 0);
    ASSERT_NE(wait_end(60000ms), -1);
    const double tick = static_cast<double>(second_one.ts[0] - first.ts[0]);
    const double simulated = static_cast<double>(last.ts[0] - first.ts[0]) / tick;
    const std::string text = slurp(log);
    size_t drops = 0;
    for (size_t at = text.find("Channel buffers full"); at != std::string::npos;
         at = text.find("Channel buffers full", at + 1)) {
        ++drops;
    }
    EXPECT_EQ(drops, 0u) << text;
    const auto times = trend_times(root.path());
    const size_t expected = static_cast<size_t>(simulated / 300.0);
    size_t fewest = times.empty() ? 0 : SIZE_MAX;
    size_t most = 0;
    for (const auto &[folder, t] : times) {
        fewest = std::min(fewest, t.size());
        most = std::max(most, t.size());
    }
    std::printf("%u loads at %u times real time for %u s: %.0f simulated seconds, %zu trend files of %zu to "
                "%zu records (%zu expected), \"Channel buffers full\" %zu times\n",
                run_loads(), scale, seconds, simulated, times.size(), fewest, most, expected, drops);
    EXPECT_EQ(times.size(), run_loads()) << "a trend file for each load";
    // Each five-minute result of a set is one record in the file of every
    // load of the set, with the same time.
    std::map<std::string, std::vector<uint32_t>> of_set;
    for (const auto &[folder, t] : times) {
        SCOPED_TRACE(folder);
        EXPECT_GE(t.size(), expected) << "every five-minute result of " << simulated << " s";
        EXPECT_TRUE(std::is_sorted(t.begin(), t.end()));
        EXPECT_EQ(std::adjacent_find(t.begin(), t.end()), t.end()) << "no record twice";
        const std::string set = std::filesystem::path(folder).parent_path().string();
        if (!of_set.count(set)) {
            of_set[set] = t;
        }
        EXPECT_EQ(t, of_set[set]) << "the records of the first load of " << set;
    }
}

}  // namespace
