// EX in-process: the strict number parsing, the answers when the simulated
// PRU stalls, and EX commands running while velsard sends new mappings
// (also in the ThreadSanitizer build).

#include "nerisko/agg.h"
#include "nerisko/event.h"
#include "nerisko/frontend.h"
#include "nerisko/ex.h"
#include "nerisko/program.h"
#include "nerisko/pulse.h"
#include "meter/sysio.h"
#include "prusim/prusim.h"
#include "ex_port.h"
#include "temp_root.h"
#include "test_bus.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

// GLib and GIO are not built with ThreadSanitizer; what happens inside them
// is not this test's to judge (glib.tsan.supp says why, line by line).
#if defined(__SANITIZE_THREAD__)
extern "C" const char *__tsan_default_suppressions() {
    return "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libgio-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "race:libglib-2.0.so.0\n"
           "race:libgio-2.0.so.0\n"
           "race:libgobject-2.0.so.0\n"
           "mutex:_get_type_once\n"
           "mutex:libglib-2.0.so.0\n"
           "mutex:libgobject-2.0.so.0\n"
           "deadlock:libglib-2.0.so.0\n";
}
#endif

namespace {

using velsard_testing::Control;
using velsard_testing::TestBus;
using namespace std::chrono_literals;

TEST(ExParse, WholeDecimalNumbersOnly) {
    struct Case {
        const char *text;
        bool ok;
        long long value;
    } const longs[] = {
        {"0", true, 0},        {"48", true, 48},   {"-1", true, -1},   {"+7", true, 7},
        {"", false, 0},        {"abc", false, 0},  {"1x", false, 0},   {"x1", false, 0},
        {" 1", false, 0},      {"1 ", false, 0},   {"0x10", false, 0}, {"-", false, 0},
        {"99999999999999999999", false, 0},        {"1.0", false, 0},
    };
    for (const Case &c : longs) {
        long long v = 12345;
        EXPECT_EQ(ex_parse_long(c.text, &v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : 12345) << c.text << ": a refused text leaves the value alone";
    }
    struct FloatCase {
        const char *text;
        bool ok;
        double value;
    } const floats[] = {
        {"230", true, 230.0}, {"0.5", true, 0.5},  {"1e2", true, 100.0}, {"-2.5", true, -2.5},
        {"nan", false, 0},    {"NaN", false, 0},   {"inf", false, 0},    {"-inf", false, 0},
        {"1e999", false, 0},  {"0x1p3", false, 0}, {"", false, 0},       {"2.5V", false, 0},
        {"abc", false, 0},
    };
    for (const FloatCase &c : floats) {
        double v = -1;
        EXPECT_EQ(ex_parse_float(c.text, &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_DOUBLE_EQ(v, c.value) << c.text;
        }
    }
}

// Refused before anything is touched: no chain is needed for these.
TEST(ExParse, ChannelsBeyondTheFrontEndAreRefused) {
    meter::host::TempRoot root;
    static std::string out;
    out.clear();
    ex_set_output([](const char *data, size_t n) { out.append(data, n); });
    const uint32_t chan = num_chan;
    const uint32_t buf = num_buf;
    num_chan = 3;  // rings 0..8: CT channels 0..2
    num_buf = 9;
    for (const char *line : {"EX 1001 9\r", "EX 1000 54\r", "EX 1010 0 3\r", "EX 1011 5 47\r", "EX 3002 3\r",
                             "EX 3003 3 1.0\r"}) {
        out.clear();
        ex_receive(line, std::strlen(line));
        EXPECT_EQ(out, "SYNTAX_ERROR\r\n") << line;
        EXPECT_TRUE(meter::host::log_has(LOG_ERR, "EX: requested channel out of range") ||
                    meter::host::log_has(LOG_ERR, "EX: requested current channel out of range"))
            << line;
    }
    num_chan = chan;
    num_buf = buf;
    ex_set_output(nullptr);
}

// The program started in-process on the simulated board, its EX port a
// pseudo-terminal whose master is the station.
class ExProgram : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
#if defined(__SANITIZE_THREAD__)
        // The stand-in, a GLib program of its own, gets the same suppressions.
        if (const char *src = std::getenv("METER_SOURCE_DIR")) {
            const char *old = std::getenv("TSAN_OPTIONS");
            const std::string options = std::string(old != nullptr ? old : "") + ":suppressions=" + src +
                                        "/nerisko/test/glib.tsan.supp";
            setenv("TSAN_OPTIONS", options.c_str(), 1);
        }
#endif
        if (!TestBus::get().velsard_running()) {
            TestBus::get().start_velsard();
        }
    }
    void SetUp() override {
        if (!TestBus::get().velsard_running()) {
            TestBus::get().start_velsard();
        }
        setlogmask(LOG_UPTO(LOG_DEBUG));
        ASSERT_TRUE(sys_platform_start());
        agg_set_pf_sign_value(0);
        pulse_period_ms = 20;
        ASSERT_EQ(main_init(false, 0, 1538500, 0, false, false), 0);
        started = true;
    }
    void TearDown() override {
        ex_set_chain(nullptr);
        if (started) {
            main_cleanup();
        }
        pulse_period_ms = 1000;
    }
    std::string command(const std::string &line) {
        const std::string out = line + "\r";
        EXPECT_EQ(::write(port.master(), out.data(), out.size()), static_cast<ssize_t>(out.size()));
        std::string answer;
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (answer.find("\r\n") == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{port.master(), POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char buf[4096];
                const ssize_t n = ::read(port.master(), buf, sizeof buf);
                if (n > 0) {
                    answer.append(buf, static_cast<size_t>(n));
                }
            }
        }
        return answer;
    }
    // The status line of an answer.
    static std::string status(const std::string &answer) {
        const size_t end = answer.rfind("\r\n");
        if (end == std::string::npos) {
            return "<none>";
        }
        const size_t begin = answer.rfind('\r', end == 0 ? 0 : end - 1);
        return answer.substr(begin == std::string::npos ? 0 : begin + 1, end - (begin == std::string::npos ? 0 : begin + 1));
    }

    meter::host::TempRoot root;
    ex_testing::PtyPort port{root.path()};
    Control control;
    bool started = false;
};

// The PRU stalls right after EX starts its synthetic mapping.
bool start_then_stall(const mapping *m) {
    const bool ok = ex_chain_start_locked(m);
    prusim::inject(prusim::Fault::stall, 0);
    return ok;
}
const ex_chain_t kStallingChain{ex_chain_stop_locked, start_then_stall};

TEST_F(ExProgram, StalledPruAnswersFail) {
    bool measuring = false;
    for (int tries = 0; tries < 10 && !measuring; ++tries) {
        measuring = status(command("EX 1100 1")) == "PASS";
    }
    ASSERT_TRUE(measuring) << "results before the stall";
    ex_set_chain(&kStallingChain);
    for (const char *line : {"EX 1001 6", "EX 1002 0", "EX 1011 0 0", "EX 1103 0", "EX 3001 0 230"}) {
        EXPECT_EQ(status(command(line)), "FAIL") << line;
    }
    // Back on velsard's mapping, then the PRU stalls under the running measurement.
    ex_set_chain(nullptr);
    ASSERT_EQ(status(command("EX 9010")), "PASS");
    measuring = false;
    for (int tries = 0; tries < 10 && !measuring; ++tries) {
        measuring = status(command("EX 1100 1")) == "PASS";
    }
    ASSERT_TRUE(measuring);
    prusim::inject(prusim::Fault::stall, 0);
    EXPECT_EQ(status(command("EX 1100 1")), "FAIL") << "a timeout is no pass";
}

// EX commands that stop and start the chain while velsard sends new
// mappings on the IPC thread: every answer is a whole answer, the restarts
// and EX's stops never interleave, and the program stops cleanly.
TEST_F(ExProgram, CommandsWhileNewMappingsArrive) {
    std::atomic<bool> done{false};
    std::thread mappings([&] {
        while (!done.load()) {
            control.emit("NewMapping");
            std::this_thread::sleep_for(150ms);
        }
    });
    int answered = 0;
    for (int round = 0; round < 4; ++round) {
        for (const char *line : {"EX 1001 6", "EX 1102 0", "EX 1100 1", "EX 1105 1", "EX 3005 7", "EX 9011",
                                 "EX 9010", "EX 2005"}) {
            const std::string s = status(command(line));
            // A restart may take the chain from under a measurement: FAIL is
            // a sound answer then, a missing or torn one is not.
            EXPECT_TRUE(s == "PASS" || s == "FAIL") << line << ": " << s;
            answered += s == "PASS" ? 1 : 0;
        }
    }
    done = true;
    mappings.join();
    EXPECT_GT(answered, 0);
    EXPECT_GT(main_restart_count(), 0u);
    EXPECT_EQ(status(command("EX 2005")), "PASS");
}

}  // namespace
