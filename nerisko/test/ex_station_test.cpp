// A scripted test station drives the nerisko program over socat
// pseudo-terminal pairs: /dev/ttyGS0 (the EX port) and /dev/ttyO4 (the
// RS-485 line) are socat's ends under METER_ROOT, the keypad is a FIFO of
// 16-byte input events, the PRU is the simulated one with its default
// scenario and velsard is the stand-in on a private bus. The station speaks
// the line protocol with code of its own.

#include "temp_root.h"
#include "test_bus.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using velsard_testing::Control;
using velsard_testing::TestBus;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

pid_t spawn(const std::vector<std::string> &args, const std::vector<std::string> &extra_env,
            const std::string &stderr_path = "") {
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e) {
        env_text.emplace_back(*e);
    }
    for (const std::string &e : extra_env) {
        env_text.push_back(e);
    }
    std::vector<char *> envp;
    for (std::string &e : env_text) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> copy = args;
    std::vector<char *> argv;
    for (std::string &a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stderr_path.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

void end_process(pid_t &pid, int sig) {
    if (pid > 0) {
        kill(pid, sig);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

// One end of a socat pair, raw.
class Line {
public:
    bool open(const std::string &path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) {
            return false;
        }
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
        return true;
    }
    ~Line() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    void send(const std::string &bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t w = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (w > 0) {
                done += static_cast<size_t>(w);
            } else {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    }
    // Reads until text holds `until` (or limit passes); returns what was read.
    std::string read_until(const std::string &until, std::chrono::milliseconds limit = 30s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (pending_.find(until) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char buf[4096];
                const ssize_t n = ::read(fd_, buf, sizeof buf);
                if (n > 0) {
                    pending_.append(buf, static_cast<size_t>(n));
                }
            }
        }
        const size_t at = pending_.find(until);
        std::string out;
        if (at == std::string::npos) {
            out.swap(pending_);
        } else {
            out = pending_.substr(0, at + until.size());
            pending_.erase(0, at + until.size());
        }
        return out;
    }
    // Whatever arrives within the moment (a line that should stay silent).
    std::string drain(std::chrono::milliseconds wait) {
        read_until(std::string(1, '\0') + "never", wait);
        std::string out;
        out.swap(pending_);
        return out;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string pending_;
};

// An answer: the value lines and the status.
struct Answer {
    std::vector<std::string> values;
    std::string status;
    std::string raw;
};

Answer parse_answer(const std::string &raw) {
    Answer a;
    a.raw = raw;
    if (raw.size() < 2 || raw.compare(raw.size() - 2, 2, "\r\n") != 0) {
        a.status = "<no answer: " + raw + ">";
        return a;
    }
    std::string body = raw.substr(0, raw.size() - 2);
    size_t start = 0;
    for (size_t cr = body.find('\r'); cr != std::string::npos; cr = body.find('\r', start)) {
        a.values.push_back(body.substr(start, cr - start));
        start = cr + 1;
    }
    a.status = body.substr(start);
    return a;
}

double num(const std::string &text) { return std::strtod(text.c_str(), nullptr); }

// ---- the scenario's closed forms (the default board scenario) ----
constexpr double kDeg = std::numbers::pi / 180.0;
// Volts at the CT input per ampere of the 100 A / 333 mV sensors: the
// synthetic mappings read CTs with sensor type 0, in those volts.
constexpr double kVoltsPerAmp = 0.333 / 100.0;

double voltage_rms(unsigned ch) {
    return ch < 3 ? 230.0 * std::sqrt(1 + 0.02 * 0.02) : 231.0 * std::sqrt(1 + 0.015 * 0.015);
}
double voltage_fund_phase(unsigned ch) { return -120.0 * kDeg * (ch % 3); }

struct CtScenario {
    double amps = 0;
    double angle_deg = 0;  // against its voltage line
    double share = 0;      // harmonic share
};
CtScenario ct_scenario(unsigned ct) {  // CT 0..47 on channel ct + 6
    if (ct < 3) return {40.0, -18.2, 0.08};
    if (ct < 6) return {25.0, 36.9, 0.0};
    if (ct < 9) return {60.0, -25.8, 0.05};
    if (ct < 12) return {15.0, 166.0, 0.0};
    return {};
}
double ct_volts(unsigned ct) {
    const CtScenario c = ct_scenario(ct);
    return c.amps * std::sqrt(1 + c.share * c.share) * kVoltsPerAmp;
}
double wrap(double a) {
    while (a > std::numbers::pi) a -= 2 * std::numbers::pi;
    while (a <= -std::numbers::pi) a += 2 * std::numbers::pi;
    return a;
}

::testing::AssertionResult near_rel(double got, double want, double rel, double floor = 1e-4) {
    const double tol = std::max(std::fabs(want) * rel, floor);
    if (std::fabs(got - want) <= tol) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << got << " vs " << want << " (tolerance " << tol << ")";
}

// A running meter with its station.
class Station : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!TestBus::get().velsard_running()) {
            TestBus::get().start_velsard();
        }
    }
    void SetUp() override {
        if (!TestBus::get().velsard_running()) {
            TestBus::get().start_velsard();
        }
        control.clear_calls();
        fs::create_directories(root.path() + "/dev/input");
        fs::create_directories(root.path() + "/station");
        ex_socat = spawn({"socat", "pty,raw,echo=0,link=" + root.path() + "/dev/ttyGS0",
                          "pty,raw,echo=0,link=" + root.path() + "/station/ex"},
                         {});
        rs485_socat = spawn({"socat", "pty,raw,echo=0,link=" + root.path() + "/dev/ttyO4",
                             "pty,raw,echo=0,link=" + root.path() + "/station/rs485"},
                            {});
        ASSERT_GT(ex_socat, 0);
        ASSERT_GT(rs485_socat, 0);
        ASSERT_TRUE(wait_until([&] {
            return fs::exists(root.path() + "/dev/ttyGS0") && fs::exists(root.path() + "/station/ex") &&
                   fs::exists(root.path() + "/dev/ttyO4") && fs::exists(root.path() + "/station/rs485");
        }));
        ASSERT_EQ(mkfifo((root.path() + "/dev/input/event0").c_str(), 0600), 0);
        // Held open read-write: the keypad never reports a hang-up, and events
        // written before a command wait in the FIFO for it.
        keys = ::open((root.path() + "/dev/input/event0").c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(keys, 0);
        // The board's two EEPROMs, blank.
        for (const char *eeprom : {"/sys/bus/i2c/devices/1-0052/eeprom", "/sys/bus/i2c/devices/1-0054/eeprom"}) {
            root.put(eeprom, std::string(4096, '\xff'));
        }
        ASSERT_TRUE(ex.open(root.path() + "/station/ex"));
        ASSERT_TRUE(rs485.open(root.path() + "/station/rs485"));
    }
    void TearDown() override {
        end_process(nerisko, SIGKILL);
        end_process(ex_socat, SIGTERM);
        end_process(rs485_socat, SIGTERM);
        if (keys >= 0) {
            ::close(keys);
        }
        if (notify >= 0) {
            ::close(notify);
        }
    }
    void start(const std::vector<std::string> &env = {}) {
        log = root.path() + "/nerisko.log";
        // The last run's lines must not pass for this run's: posix_spawn may
        // return before the child has opened (and emptied) the log, as it
        // does under an emulator.
        ::unlink(log.c_str());
        nerisko = spawn({NERISKO_PATH, "-d", "-v"}, env, log);
        ASSERT_GT(nerisko, 0);
        ASSERT_TRUE(wait_until([&] { return slurp(log).find("Initialization completed") != std::string::npos; }))
            << slurp(log);
    }
    // Ends the program with SIGINT; its exit status.
    int stop() {
        kill(nerisko, SIGINT);
        int status = -1;
        waitpid(nerisko, &status, 0);
        nerisko = -1;
        return status;
    }
    Answer command(const std::string &line) {
        ex.send(line + "\r");
        return parse_answer(ex.read_until("\r\n"));
    }
    bool log_has(const std::string &text) { return slurp(log).find(text) != std::string::npos; }

    meter::host::TempRoot root;
    Control control;
    Line ex;
    Line rs485;
    int keys = -1;
    int notify = -1;
    pid_t ex_socat = -1;
    pid_t rs485_socat = -1;
    pid_t nerisko = -1;
    std::string log;
};

// ---- framing ----

struct FramingCase {
    const char *name;
    std::vector<std::string> writes;  // sent one after the other
    std::vector<std::string> values;
    const char *status;
};

TEST_F(Station, FramingTokensAndDispatch) {
    start();
    const std::vector<FramingCase> cases = {
        {"ID", {"ID\r"}, {"1.0.0"}, "PASS"},
        {"IDENTIFY", {"IDENTIFY\r"}, {"1.0.0"}, "PASS"},
        {"blank separator", {"EX 2005\r"}, {"48"}, "PASS"},
        {"comma separator", {"EX,2005\r"}, {"48"}, "PASS"},
        {"blanks and commas mixed", {"  EX , ,2005 \r"}, {"48"}, "PASS"},
        {"EX alone", {"EX\r"}, {}, "SYNTAX_ERROR"},
        {"code not in the table", {"EX 1234\r"}, {}, "NOT_IMPLEMENTED"},
        {"code longer than any", {"EX 12345678901234567890\r"}, {}, "NOT_IMPLEMENTED"},
        {"2001 without its argument", {"EX 2001\r"}, {}, "SYNTAX_ERROR"},
        {"2000 with extra arguments", {"EX 2000 a b\r"}, {"02:00:00:00:00:01"}, "PASS"},
        {"1101", {"EX 1101\r"}, {}, "DEPRECATED"},
        {"foreign first token", {"HELLO 2005\r"}, {}, "NOT_IMPLEMENTED"},
        {"CR alone", {"\r"}, {}, "SYNTAX_ERROR"},
        {"one character", {"E\r"}, {}, "SYNTAX_ERROR"},
        {"only separators", {" ,, \r"}, {}, "SYNTAX_ERROR"},
        {"two commands in one write", {"EX 2005\rEX 2005\r"}, {}, "NOT_IMPLEMENTED"},
        {"one command over three writes", {"E", "X 20", "05\r"}, {"48"}, "PASS"},
        {"more than ten tokens", {"EX 2000 1 2 3 4 5 6 7 8 9 10 11 12\r"}, {"02:00:00:00:00:01"}, "PASS"},
    };
    for (const FramingCase &c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t i = 0; i < c.writes.size(); ++i) {
            ex.send(c.writes[i]);
            if (i + 1 < c.writes.size()) {
                // Each part is read on its own before the next comes.
                std::this_thread::sleep_for(50ms);
            }
        }
        const Answer a = parse_answer(ex.read_until("\r\n"));
        EXPECT_EQ(a.status, c.status) << a.raw;
        EXPECT_EQ(a.values, c.values) << a.raw;
    }

    // 600 bytes without CR: the first 512 are dropped, the rest starts the
    // next line, which a CR then ends.
    ex.send(std::string(512, 'A') + "EX 2005");
    ASSERT_TRUE(wait_until([&] { return log_has("EX: buffer is overflown. Removing all data"); }));
    EXPECT_EQ(ex.drain(200ms), "") << "nothing is answered for the dropped bytes";
    Answer a = command("");
    EXPECT_EQ(a.status, "PASS") << a.raw;
    EXPECT_EQ(a.values, std::vector<std::string>{"48"});

    // Exactly 512 bytes ending in CR are one line, and the line after it is whole.
    std::string full = "EX 2005" + std::string(512 - 8, ' ') + "\r";
    ASSERT_EQ(full.size(), 512u);
    ex.send(full);
    a = parse_answer(ex.read_until("\r\n"));
    EXPECT_EQ(a.status, "PASS") << a.raw;
    EXPECT_EQ(command("EX 2005").status, "PASS");

    // SIGHUP between two commands: the port is closed and opened again, and
    // the next command is answered.
    ASSERT_EQ(kill(nerisko, SIGHUP), 0);
    ASSERT_TRUE(wait_until([&] {
        const std::string l = slurp(log);
        size_t n = 0;
        for (size_t at = l.find("Initializing EX at port /dev/ttyGS0"); at != std::string::npos;
             at = l.find("Initializing EX at port /dev/ttyGS0", at + 1)) {
            ++n;
        }
        return n >= 2;
    }));
    a = command("ID");
    EXPECT_EQ(a.status, "PASS") << a.raw;
    EXPECT_TRUE(log_has("Received SIGHUP. restarting serial connection"));
    // The pseudo-terminal has no serial driver behind it: logged, not fatal.
    EXPECT_TRUE(log_has("low-latency flag failed on /dev/ttyGS0"));
    EXPECT_EQ(WEXITSTATUS(stop()), 0);
}

// ---- measurements ----

TEST_F(Station, MeasurementsMatchTheScenario) {
    start();
    // Read first, while the configured mapping runs.
    // CT 1 (channel 6) is line 0 of load 0 on voltage set 0.
    Answer a = command("EX 1100 1");
    ASSERT_EQ(a.status, "PASS") << a.raw;
    ASSERT_EQ(a.values.size(), 3u);
    EXPECT_NEAR(num(a.values[0]), 50.0, 0.01);
    EXPECT_TRUE(near_rel(num(a.values[1]), voltage_rms(0), 0.001));
    EXPECT_TRUE(near_rel(num(a.values[2]), 40.0 * std::sqrt(1 + 0.08 * 0.08), 0.001));
    // CT 8 (channel 13) is line 1 of the load on voltage set 1.
    a = command("EX 1100 8");
    ASSERT_EQ(a.status, "PASS") << a.raw;
    ASSERT_EQ(a.values.size(), 3u);
    EXPECT_TRUE(near_rel(num(a.values[1]), voltage_rms(4), 0.001));
    EXPECT_TRUE(near_rel(num(a.values[2]), 60.0 * std::sqrt(1 + 0.05 * 0.05), 0.001));
    // CT 30 is on no load of the mapping.
    EXPECT_EQ(command("EX 1100 30").status, "FAIL");
    EXPECT_EQ(command("EX 1105 30").status, "FAIL");

    // 1105: the energy of CT 1 equals the wh of its ct node for the same second.
    bool matched = false;
    for (int tries = 0; tries < 20 && !matched; ++tries) {
        a = command("EX 1105 1");
        ASSERT_EQ(a.status, "PASS") << a.raw;
        ASSERT_EQ(a.values.size(), 2u);
        const std::string node = slurp(root.path() + "/dev/zor_data/ct/0");
        ASSERT_EQ(node.size(), 152u);
        uint64_t ts_end = 0;
        double wh = 0;
        std::memcpy(&ts_end, node.data() + 8, 8);
        std::memcpy(&wh, node.data() + 48, 8);
        if (ts_end == std::stoull(a.values[1]) + 200000000ull) {
            matched = true;
            EXPECT_NEAR(num(a.values[0]), wh, 1e-5);
            EXPECT_GT(wh, 0.0);
        }
    }
    EXPECT_TRUE(matched) << "no 1105 answer of the second the node showed";

    struct Case {
        const char *line;
        std::vector<double> want;
        double rel;
    };
    const double v0 = voltage_rms(0);
    const CtScenario c0 = ct_scenario(0);
    const double i0 = ct_volts(0);
    const double phi0 = c0.angle_deg * kDeg;
    // The fundamental of channel 0 against the fundamental of CT 0 (their
    // harmonics differ in order and give no power).
    const double w0 = 230.0 * c0.amps * kVoltsPerAmp * std::cos(phi0);
    const double var0 = -230.0 * c0.amps * kVoltsPerAmp * std::sin(phi0);
    const std::vector<Case> cases = {
        {"EX 1000 0", {50.0}, 0.0002},
        {"EX 1000 6", {50.0}, 0.0002},
        {"EX 1001 3", {voltage_rms(3)}, 0.001},
        {"EX 1001 10", {ct_volts(4)}, 0.001},
        {"EX 1002 0", {0.0, wrap(voltage_fund_phase(1)), wrap(voltage_fund_phase(2))}, 0.001},
        {"EX 1010 0 0", {50.0}, 0.0002},
        {"EX 1011 0 0", {v0, i0}, 0.001},
        {"EX 1012 0 0", {0.0, wrap(phi0)}, 0.002},
        {"EX 1013 0 0", {w0}, 0.002},
        {"EX 1014 0 0", {v0 * i0}, 0.002},
        {"EX 1015 0 0", {var0}, 0.003},
        {"EX 1102 1", {voltage_rms(3), voltage_rms(4), voltage_rms(5)}, 0.001},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        a = command(c.line);
        ASSERT_EQ(a.status, "PASS") << a.raw;
        ASSERT_EQ(a.values.size(), c.want.size()) << a.raw;
        for (size_t n = 0; n < c.want.size(); ++n) {
            EXPECT_TRUE(near_rel(num(a.values[n]), c.want[n], c.rel, 0.003)) << "value " << n;
        }
    }

    // 1103 and 1104: the set's three lines, then all 48 CTs.
    a = command("EX 1103 0");
    ASSERT_EQ(a.status, "PASS") << a.raw;
    ASSERT_EQ(a.values.size(), 3u + 48u);
    for (unsigned j = 0; j < 3; ++j) {
        EXPECT_TRUE(near_rel(num(a.values[j]), voltage_rms(j), 0.001)) << j;
    }
    for (unsigned ct = 0; ct < 48; ++ct) {
        EXPECT_TRUE(near_rel(num(a.values[3 + ct]), ct_volts(ct), 0.001, 1e-4)) << "CT " << ct;
    }
    a = command("EX 1104 0");
    ASSERT_EQ(a.status, "PASS") << a.raw;
    ASSERT_EQ(a.values.size(), 3u + 48u);
    for (unsigned ct = 0; ct < 12; ++ct) {
        // Every CT against line ct % 3 of set 0, whose phase it follows in
        // the scenario only for the loads of set 0.
        if (ct < 6) {
            EXPECT_NEAR(num(a.values[3 + ct]), wrap(ct_scenario(ct).angle_deg * kDeg), 0.003) << "CT " << ct;
        }
    }

    // Out of range and beyond the front end: refused before anything changes.
    for (const char *line : {"EX 1001 54", "EX 1001 -1", "EX 1001 abc", "EX 1001 1x", "EX 1010 0 48",
                             "EX 1010 6 0", "EX 1002 2", "EX 1100 0", "EX 1100 49", "EX 1105 abc"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(command(line).status, "SYNTAX_ERROR");
    }
    EXPECT_EQ(WEXITSTATUS(stop()), 0);
}

// ---- device tests ----

std::string event(uint16_t type, uint16_t code, int32_t value) {
    std::string e(16, '\0');
    std::memcpy(e.data() + 8, &type, 2);
    std::memcpy(e.data() + 10, &code, 2);
    std::memcpy(e.data() + 12, &value, 4);
    return e;
}

TEST_F(Station, DeviceTestsReachTheirFakes) {
    start();
    struct Case {
        const char *line;
        std::vector<std::string> values;
        const char *status;
        const char *method;  // the velsard call it makes, or nullptr
    };
    const std::vector<Case> cases = {
        {"EX 2000", {"02:00:00:00:00:01"}, "PASS", "GetMacAddress"},
        {"EX 2002", {"ZM-000001", "ZM-000001", "ZM-000001"}, "PASS", "GetSerial"},
        {"EX 2001 ZM-4711", {"ZM-4711"}, "PASS", "SetSerial"},
        {"EX 2003 5", {"5"}, "PASS", "UpdatePulseCount"},
        {"EX 2003 -1", {}, "SYNTAX_ERROR", nullptr},
        {"EX 2004 2", {"0"}, "PASS", "GetPulseCount"},
        {"EX 2004 3", {}, "SYNTAX_ERROR", nullptr},
        {"EX 2004 0", {}, "SYNTAX_ERROR", nullptr},
        {"EX 2005", {"48"}, "PASS", nullptr},
        {"EX 2008 1", {}, "PASS", "SetTestConfig"},
        {"EX 2008 2", {}, "SYNTAX_ERROR", nullptr},
        {"EX 2009 6", {}, "PASS", "SetTestConfig"},
        {"EX 2009 7", {}, "SYNTAX_ERROR", nullptr},
        {"EX 2014 1", {}, "PASS", "ResetPulseCount"},
        {"EX 2014 3", {}, "SYNTAX_ERROR", nullptr},
        {"EX 9001", {}, "PASS", "Reboot"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        control.clear_calls();
        const Answer a = command(c.line);
        EXPECT_EQ(a.status, c.status) << a.raw;
        EXPECT_EQ(a.values, c.values) << a.raw;
        if (c.method != nullptr && std::string(c.method) == "UpdatePulseCount") {
            // The pulse output reports on the same channel every second.
            bool seen = false;
            for (const auto &call : control.calls_of(c.method)) {
                seen = seen || velsard_testing::print(call.args.get()) == "(2, 5)";
            }
            EXPECT_TRUE(seen);
        } else if (c.method != nullptr) {
            EXPECT_EQ(control.calls_of(c.method).size(), 1u);
        } else {
            for (const auto &call : control.calls()) {
                EXPECT_TRUE(call.method.rfind("Get", 0) != 0 || call.method == "GetMapping") << call.method;
            }
        }
    }
    control.store("serials", g_variant_new("(sss)", "ZM-000001", "ZM-000001", "ZM-000001"));
    // The test configuration sent by 2009 carries the backlight of 2008.
    EXPECT_EQ(velsard_testing::print(control.fetch("test_config").get()).find("uint32 6, true") != std::string::npos,
              true)
        << velsard_testing::print(control.fetch("test_config").get());
    // A refused velsard call answers FAIL.
    control.fail_next("GetMacAddress");
    EXPECT_EQ(command("EX 2000").status, "FAIL");

    // The alarm byte.
    Answer a = command("EX 2006 1");
    EXPECT_EQ(a.status, "PASS");
    EXPECT_EQ(a.values, std::vector<std::string>{"1"});
    EXPECT_EQ(command("EX 2006 0").status, "PASS");
    EXPECT_EQ(command("EX 2006 2").status, "SYNTAX_ERROR");
    EXPECT_TRUE(log_has("alarm input not a boolean: 2"));

    // Keys: a match, another key, a release of the right key, lower case, no key.
    const std::string press_enter = event(1, 28, 1);
    ASSERT_EQ(::write(keys, press_enter.data(), 16), 16);
    EXPECT_EQ(command("EX 2007 ENTER").status, "PASS");
    const std::string press_up = event(1, 103, 1);
    ASSERT_EQ(::write(keys, press_up.data(), 16), 16);
    EXPECT_EQ(command("EX 2007 DOWN").status, "FAIL");
    const std::string sync = event(0, 0, 0);
    ASSERT_EQ(::write(keys, sync.data(), 16), 16);
    EXPECT_EQ(command("EX 2007 UP").status, "FAIL");
    EXPECT_EQ(command("EX 2007 enter").status, "SYNTAX_ERROR");
    EXPECT_EQ(command("EX 2007 BACK").status, "FAIL");
    EXPECT_TRUE(log_has("Timeout reached"));

    // RS-485 both ways, and a silent line.
    EXPECT_EQ(command("EX 2010 hello-485").status, "PASS");
    EXPECT_EQ(rs485.read_until("\r"), "hello-485\r");
    // The port is flushed when it opens: the line comes once it is open.
    const auto rs485_opened = [&](size_t n) {
        return wait_until([&] {
            const std::string l = slurp(log);
            size_t count = 0;
            for (size_t at = l.find("Initializing RS485"); at != std::string::npos;
                 at = l.find("Initializing RS485", at + 1)) {
                ++count;
            }
            return count >= n;
        });
    };
    ex.send("EX 2011\r");
    ASSERT_TRUE(rs485_opened(2));
    rs485.send("from the line\n");
    a = parse_answer(ex.read_until("\r\n"));
    EXPECT_EQ(a.status, "PASS") << a.raw;
    EXPECT_EQ(a.values, std::vector<std::string>{"from the line"});
    // 200 characters without a line feed: the first 127 are the answer.
    ex.send("EX 2011\r");
    ASSERT_TRUE(rs485_opened(3));
    rs485.send(std::string(200, 'x'));
    a = parse_answer(ex.read_until("\r\n"));
    EXPECT_EQ(a.status, "PASS") << a.raw;
    EXPECT_EQ(a.values, std::vector<std::string>{std::string(127, 'x')});
    a = command("EX 2011");
    EXPECT_EQ(a.status, "FAIL") << "a silent line times out";
    EXPECT_EQ(command("EX 2010 " + std::string(127, 'y')).status, "SYNTAX_ERROR") << "no room for its CR";

    // The clock: digits only, set without a shell, recorded by the host.
    const std::string clock_file = root.path() + "/host/clock_settings";
    a = command("EX 2012 0");
    EXPECT_EQ(a.status, "PASS") << a.raw;
    ASSERT_EQ(a.values.size(), 1u);
    EXPECT_NE(a.values[0].find("1970"), std::string::npos) << a.values[0];
    EXPECT_EQ(slurp(clock_file), "0\n");
    for (const char *bad : {"EX 2012 0;reboot", "EX 2012 -5", "EX 2012 1e9", "EX 2012 $(reboot)"}) {
        SCOPED_TRACE(bad);
        control.clear_calls();
        EXPECT_EQ(command(bad).status, "SYNTAX_ERROR");
        EXPECT_TRUE(control.calls_of("Reboot").empty());
    }
    EXPECT_EQ(slurp(clock_file), "0\n") << "no refused value reached the clock";
    a = command("EX 2012 1700000000");
    EXPECT_EQ(a.status, "PASS");
    EXPECT_EQ(slurp(clock_file), "0\n1700000000\n");
    a = command("EX 2013");
    EXPECT_EQ(a.status, "PASS");
    ASSERT_EQ(a.values.size(), 1u);
    EXPECT_GT(std::stoll(a.values[0]), 1700000000) << "the host's own clock did not change";
    EXPECT_EQ(WEXITSTATUS(stop()), 0);
}

// ---- calibration ----

std::string eeprom_block(const std::string &path) {
    const std::string e = slurp(path);
    return e.size() >= 60 + 440 ? e.substr(60, 440) : std::string();
}

uint32_t crc32(const uint8_t *data, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

TEST_F(Station, CalibrationRoundTrip) {
    // The serials the block needs to be loaded agree (the stand-in's default).
    start();
    // Noise floors: the scenario's channels carry signals, so a noise floor
    // here is the offset of that signal; what matters is that it is stored.
    Answer a = command("EX 3000 1");
    ASSERT_EQ(a.status, "PASS") << a.raw;
    ASSERT_EQ(a.values.size(), 1u);
    const long u_offset = std::stol(a.values[0]);
    EXPECT_TRUE(near_rel(static_cast<double>(u_offset), voltage_rms(1) / 0.00014516420717592595, 0.002));
    a = command("EX 3002 4");
    ASSERT_EQ(a.status, "PASS") << a.raw;
    const long i_offset = std::stol(a.values[0]);
    EXPECT_TRUE(near_rel(static_cast<double>(i_offset), ct_volts(4) / 1.959007906626506e-06, 0.002));
    // Put them back before the gains: a noise floor that large hides the signal.
    EXPECT_EQ(command("EX 3005 1").status, "PASS");
    a = command("EX 3005 10");
    EXPECT_EQ(a.values, std::vector<std::string>{"10"});

    // Gains against known references: voltage channel 2 carries 230 V (and
    // its 2 % fifth harmonic), CT channel 4 carries 25 A.
    a = command("EX 3001 2 250");
    ASSERT_EQ(a.status, "PASS") << a.raw;
    const double u_gain = num(a.values.at(0));
    EXPECT_NEAR(u_gain, 250.0 / voltage_rms(2), 2e-3);
    a = command("EX 3003 4 0.1");
    ASSERT_EQ(a.status, "PASS") << a.raw;
    const double i_gain = num(a.values.at(0));
    EXPECT_NEAR(i_gain, 0.1 / ct_volts(4), 2e-3 * 0.1 / ct_volts(4));

    // Refused references change nothing: the gain stays.
    for (const char *bad : {"EX 3001 2 0", "EX 3001 2 401", "EX 3001 2 nan", "EX 3001 2 abc", "EX 3001 2 inf",
                            "EX 3001 6 230", "EX 3003 4 5.5", "EX 3003 4 -1", "EX 3003 48 1", "EX 3002 48"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(command(bad).status, "SYNTAX_ERROR");
    }
    EXPECT_EQ(command("EX 3004").status, "PASS");
    EXPECT_TRUE(log_has("cal u_ch2 offset: 0\tgain: " + std::to_string(u_gain).substr(0, 6)));

    // Voltage channel 2 now reads the reference.
    a = command("EX 1001 2");
    ASSERT_EQ(a.status, "PASS") << a.raw;
    EXPECT_NEAR(num(a.values.at(0)), 250.0, 0.25);

    // Stored: both EEPROMs hold the block with its CRC.
    EXPECT_EQ(command("EX 3006").status, "PASS");
    for (const char *path : {"/sys/bus/i2c/devices/1-0052/eeprom", "/sys/bus/i2c/devices/1-0054/eeprom"}) {
        SCOPED_TRACE(path);
        const std::string b = eeprom_block(root.path() + path);
        ASSERT_EQ(b.size(), 440u);
        uint32_t version = 0;
        uint32_t crc = 0;
        float gain2 = 0;
        float gain10 = 0;
        std::memcpy(&version, b.data(), 4);
        std::memcpy(&crc, b.data() + 4, 4);
        std::memcpy(&gain2, b.data() + 8 + 8 * 2, 4);
        std::memcpy(&gain10, b.data() + 8 + 8 * 10, 4);
        EXPECT_EQ(version, 1u);
        EXPECT_EQ(crc, crc32(reinterpret_cast<const uint8_t *>(b.data()) + 8, 432));
        EXPECT_NEAR(gain2, u_gain, 1e-5);
        EXPECT_NEAR(gain10, i_gain, 1e-4 * i_gain);
    }
    EXPECT_EQ(WEXITSTATUS(stop()), 0);

    // After a restart the calibration is valid and in use.
    start();
    EXPECT_FALSE(log_has("Calibration init failed"));
    a = command("EX 1001 2");
    ASSERT_EQ(a.status, "PASS") << a.raw;
    EXPECT_NEAR(num(a.values.at(0)), 250.0, 0.25);
    a = command("EX 1001 10");
    ASSERT_EQ(a.status, "PASS") << a.raw;
    EXPECT_NEAR(num(a.values.at(0)), 0.1, 1e-3);
    EXPECT_EQ(WEXITSTATUS(stop()), 0);
}

// ---- test mode and the watchdog ----

class StationWatchdog : public Station {
protected:
    // A datagram socket standing in for systemd's notification socket.
    void listen_notify() {
        notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(notify, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        notify_path = root.path() + "/notify";
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", notify_path.c_str());
        ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        reader = std::thread([this] {
            for (;;) {
                char buf[256];
                const ssize_t n = ::recv(notify, buf, sizeof buf, 0);
                if (n <= 0) {
                    return;
                }
                if (std::string(buf, static_cast<size_t>(n)).find("WATCHDOG=1") != std::string::npos) {
                    std::lock_guard lock(mutex);
                    kicks.push_back(std::chrono::steady_clock::now());
                }
            }
        });
    }
    void TearDown() override {
        if (nerisko > 0) {
            end_process(nerisko, SIGKILL);
        }
        if (notify >= 0) {
            ::shutdown(notify, SHUT_RDWR);
        }
        if (reader.joinable()) {
            reader.join();
        }
        Station::TearDown();
    }
    std::chrono::milliseconds longest_gap(std::chrono::steady_clock::time_point until) {
        std::lock_guard lock(mutex);
        std::chrono::milliseconds gap{0};
        for (size_t n = 1; n < kicks.size(); ++n) {
            gap = std::max(gap, std::chrono::duration_cast<std::chrono::milliseconds>(kicks[n] - kicks[n - 1]));
        }
        if (!kicks.empty()) {
            gap = std::max(gap, std::chrono::duration_cast<std::chrono::milliseconds>(until - kicks.back()));
        }
        return gap;
    }
    size_t kick_count() {
        std::lock_guard lock(mutex);
        return kicks.size();
    }

    std::string notify_path;
    std::thread reader;
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> kicks;
};

TEST_F(StationWatchdog, KicksNeverATimeoutApartAcrossStopsAndTestMode) {
    listen_notify();
    // 4 s: a kick every 2 s from the results.
    start({"NOTIFY_SOCKET=" + notify_path, "WATCHDOG_USEC=4000000"});
    ASSERT_TRUE(wait_until([&] { return kick_count() >= 2; }));
    // Each holds the measurement stopped; between them the station waits
    // longer than a timeout.
    for (const char *line : {"EX 3004", "EX 3006", "EX 9011", "EX 9000", "EX 9000"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(command(line).status, "PASS");
        const size_t before = kick_count();
        ASSERT_TRUE(wait_until([&] { return kick_count() >= before + 3; }));
    }
    EXPECT_EQ(control.calls_of("SetTestConfig").size(), 2u) << "9000 twice clears the test configuration twice";
    EXPECT_EQ(slurp(log).find("Starting EX watchdog thread") == std::string::npos, false);
    // Back to velsard's mapping: results flow and test mode stays on.
    EXPECT_EQ(command("EX 9010").status, "PASS");
    const size_t before = kick_count();
    ASSERT_TRUE(wait_until([&] { return kick_count() >= before + 3; }));
    Answer a = command("EX 1100 1");
    EXPECT_EQ(a.status, "PASS") << a.raw << " (measuring on velsard's mapping again)";
    EXPECT_LT(longest_gap(std::chrono::steady_clock::now()), 4000ms);
    EXPECT_EQ(WEXITSTATUS(stop()), 0);
    EXPECT_TRUE(log_has("Stopping watchdog thread"));
}

TEST_F(Station, TestModeWithoutWatchdogFails) {
    start();
    EXPECT_EQ(command("EX 9000").status, "FAIL");
    EXPECT_TRUE(control.calls_of("SetTestConfig").empty());
    // 9010 with a failing mapping fetch: FAIL, the program goes on.
    control.fail_next("GetMapping");
    EXPECT_EQ(command("EX 9010").status, "FAIL");
    EXPECT_EQ(command("EX 9010").status, "PASS");
    EXPECT_EQ(command("EX 1100 1").status, "PASS");
    EXPECT_EQ(WEXITSTATUS(stop()), 0);
}

// ---- outputs kept apart from test runs ----

// Every file under /data and every result node, by path.
std::map<std::string, std::string> outputs(const std::string &root) {
    std::map<std::string, std::string> out;
    for (const char *top : {"/data", "/dev/zor_data"}) {
        if (!fs::exists(root + top)) {
            continue;
        }
        for (const auto &e : fs::recursive_directory_iterator(root + top)) {
            if (e.is_regular_file()) {
                out[e.path().string()] = slurp(e.path().string());
            }
        }
    }
    return out;
}

TEST_F(Station, TestRunsLeaveTheOutputsAlone) {
    // The stand-in's pulse configuration has the pulse output on.
    start();
    // The measurement stops: from here on nothing may change.
    EXPECT_EQ(command("EX 9011").status, "PASS");
    const auto before = outputs(root.path());
    ASSERT_FALSE(before.empty());
    control.clear_calls();
    for (const char *line : {"EX 1001 6", "EX 1011 0 0", "EX 1103 0", "EX 1104 1", "EX 1102 1", "EX 3002 0"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(command(line).status, "PASS");
    }
    // A few seconds of synthetic results have passed through the lists.
    EXPECT_EQ(outputs(root.path()), before);
    EXPECT_TRUE(control.calls_of("UpdatePulseCount").empty());
    // Back on velsard's mapping the outputs go on.
    EXPECT_EQ(command("EX 9010").status, "PASS");
    EXPECT_TRUE(wait_until([&] { return outputs(root.path()) != before; }));
    EXPECT_EQ(WEXITSTATUS(stop()), 0);
}

}  // namespace
