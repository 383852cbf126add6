#include "meter/sysio.h"
#include "meter/host.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/serial.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using meter::host::TempRoot;

int set_size(int fd, int size) { return sys_ioctl(fd, meter::host::ZOR_SET_SIZE, &size); }

TEST(ResultNode, OnlyTheDriversNodesExist) {
    TempRoot root;
    struct Case {
        const char *path;
        bool exists;
    } const cases[] = {
        {"/dev/zor_data/ct/0", true},      {"/dev/zor_data/ct/47", true},
        {"/dev/zor_data/ct/48", true},     {"/dev/zor_data/ct/49", false},
        {"/dev/zor_data/load/48", true},   {"/dev/zor_data/load/100", false},
        {"/dev/zor_data/input/2", true},   {"/dev/zor_data/input/3", false},
        {"/dev/zor_data/ct/01", false},    {"/dev/zor_data/ct/", false},
        {"/dev/zor_data/ct/x", false},     {"/dev/zor_pulse/other", false},
        {"/dev/zor_adc", true},            {"/dev/zor_pulse/alarm_out", true},
    };
    for (const Case &c : cases) {
        errno = 0;
        int fd = sys_open(c.path, O_WRONLY);
        EXPECT_EQ(fd >= 0, c.exists) << c.path;
        if (fd >= 0) {
            EXPECT_EQ(sys_close(fd), 0);
        } else {
            EXPECT_EQ(errno, ENOENT) << c.path;
        }
    }
}

TEST(ResultNode, HonoursItsSizeAndReplacesWholeRecords) {
    TempRoot root;
    int fd = sys_open("/dev/zor_data/ct/3", O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::string rec(152, 'a');
    EXPECT_EQ(sys_write(fd, rec.data(), rec.size()), -1) << "write before sizing";
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(set_size(fd, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(set_size(fd, 152), 0);
    EXPECT_EQ(meter::host::node_content("/dev/zor_data/ct/3"), std::string(152, '\0'));
    EXPECT_EQ(sys_write(fd, rec.data(), rec.size()), 152);
    EXPECT_EQ(meter::host::node_content("/dev/zor_data/ct/3"), rec);
    for (size_t wrong : {size_t{1}, size_t{151}, size_t{153}}) {
        const std::string other(wrong, 'b');
        EXPECT_EQ(sys_write(fd, other.data(), other.size()), -1) << wrong;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(meter::host::node_content("/dev/zor_data/ct/3"), rec) << "a refused write changes nothing";
    EXPECT_EQ(sys_ioctl(fd, 0x1234, nullptr), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(sys_close(fd), 0);
}

// How a reader outside the models reads a node: under a shared flock.
std::string read_locked(const std::string &host) {
    const int r = ::open(host.c_str(), O_RDONLY);
    if (r < 0) {
        return "missing";
    }
    std::string out;
    if (::flock(r, LOCK_SH) == 0) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(r, buf, sizeof buf)) > 0) {
            out.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(r);
    return out;
}

// A reader that comes while a record is half written waits for the whole
// record, and the write is made in place: no new file per record.
TEST(ResultNode, AReaderInTheMiddleOfAWriteGetsTheWholeRecord) {
    TempRoot root;
    constexpr size_t kSize = 1168;
    int fd = sys_open("/dev/zor_data/load/3", O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(set_size(fd, kSize), 0);
    const std::string host = root.host("/dev/zor_data/load/3");
    const std::string a(kSize, 'A');
    const std::string b(kSize, 'B');
    ASSERT_EQ(sys_write(fd, a.data(), kSize), static_cast<ssize_t>(kSize));
    struct stat before {};
    ASSERT_EQ(::stat(host.c_str(), &before), 0);

    std::future<std::string> reader;
    meter::host::set_node_write_pause([&] {
        reader = std::async(std::launch::async, [&] { return read_locked(host); });
        // Long enough for a reader that does not wait to read the half record.
        reader.wait_for(std::chrono::milliseconds(300));
    });
    ASSERT_EQ(sys_write(fd, b.data(), kSize), static_cast<ssize_t>(kSize));
    meter::host::set_node_write_pause(nullptr);
    ASSERT_TRUE(reader.valid());
    EXPECT_EQ(reader.get(), b) << "a reader saw a record half written";
    struct stat after {};
    ASSERT_EQ(::stat(host.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "a new file per record";
    EXPECT_EQ(meter::host::node_content("/dev/zor_data/load/3"), b);
    sys_close(fd);
}

// A reader in another process must never see a record that mixes two writes.
TEST(ResultNode, AnOutsideReaderSeesOnlyWholeRecords) {
    TempRoot root;
    constexpr int kSize = 35328;
    int fd = sys_open("/dev/zor_data/load/48", O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(set_size(fd, kSize), 0);
    const std::string host = root.host("/dev/zor_data/load/48");

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0; i < 3000; ++i) {
            const std::string rec = read_locked(host);
            if (rec == "missing") {
                _exit(2);
            }
            if (rec.size() != kSize) {
                _exit(3);
            }
            for (size_t k = 1; k < rec.size(); ++k) {
                if (rec[k] != rec[0]) {
                    _exit(4);
                }
            }
        }
        _exit(0);
    }
    for (int i = 0; i < 3000; ++i) {
        const std::string rec(kSize, static_cast<char>('A' + i % 20));
        ASSERT_EQ(sys_write(fd, rec.data(), rec.size()), kSize);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: missing, 3: short record, 4: mixed record";
    sys_close(fd);
}

TEST(DataReadyNode, AnswersOneByteAndClearsOnReset) {
    TempRoot root;
    int fd = sys_open("/dev/zor_pulse/drdy_out_of_sync", O_RDWR);
    ASSERT_GE(fd, 0);
    uint8_t buf[8] = {0xEE, 0xEE};
    EXPECT_EQ(sys_read(fd, buf, sizeof buf), 1);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], 0xEE) << "only one byte per read";

    meter::host::drdy_raise();
    EXPECT_EQ(sys_read(fd, buf, 1), 1);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(sys_read(fd, buf, 1), 1) << "the fault stays until reset";
    EXPECT_EQ(buf[0], 1);

    EXPECT_EQ(sys_write(fd, "rst", 3), -1) << "the NUL belongs to the reset";
    EXPECT_EQ(sys_write(fd, "rsx", 4), -1);
    EXPECT_EQ(meter::host::drdy_value(), 1);
    EXPECT_EQ(sys_write(fd, "rst", 4), 4);
    EXPECT_EQ(meter::host::drdy_value(), 0);
    EXPECT_EQ(sys_read(fd, buf, 1), 1);
    EXPECT_EQ(buf[0], 0);
    sys_close(fd);
}

TEST(OutputNodes, KeepWhatTheyReceive) {
    TempRoot root;
    int pulse = sys_open("/dev/zor_pulse/pulse_out", O_RDWR);
    int alarm = sys_open("/dev/zor_pulse/alarm_out", O_RDWR);
    ASSERT_GE(pulse, 0);
    ASSERT_GE(alarm, 0);
    int width = 100;
    EXPECT_EQ(sys_ioctl(pulse, meter::host::ZOR_SET_PULSE_WIDTH, &width), 0);
    width = 250;
    EXPECT_EQ(sys_ioctl(pulse, meter::host::ZOR_SET_PULSE_WIDTH, &width), 0);
    EXPECT_EQ(meter::host::pulse_widths(), (std::vector<int32_t>{100, 250}));
    const uint8_t on = 1, off = 0;
    EXPECT_EQ(sys_write(alarm, &on, 1), 1);
    EXPECT_EQ(sys_write(alarm, &off, 1), 1);
    EXPECT_EQ(sys_write(alarm, "ab", 2), -1) << "the alarm output takes one byte";
    EXPECT_EQ(meter::host::alarm_out_bytes(), (std::vector<uint8_t>{1, 0}));
    sys_close(pulse);
    sys_close(alarm);
}

TEST(AdcNode, KeepsTheRequestsAndTheirState) {
    TempRoot root;
    int fd = sys_open("/dev/zor_adc", O_WRONLY);
    ASSERT_GE(fd, 0);
    int clk = 1538500, cs3 = 3, cs9 = 9;
    EXPECT_EQ(sys_ioctl(fd, meter::host::ZOR_ADC_SET_CLK, &clk), 0);
    EXPECT_EQ(sys_ioctl(fd, meter::host::ZOR_ADC_RESET, nullptr), 0);
    EXPECT_EQ(sys_ioctl(fd, meter::host::ZOR_ADC_ENABLE_DAISY, nullptr), 0);
    EXPECT_EQ(sys_ioctl(fd, meter::host::ZOR_ADC_ENABLE_CS, &cs3), 0);
    EXPECT_EQ(sys_ioctl(fd, meter::host::ZOR_ADC_ENABLE_CS, &cs9), 0);
    EXPECT_EQ(sys_ioctl(fd, meter::host::ZOR_ADC_DISABLE_CS, &cs3), 0);
    for (int bad : {0, 1, 10, -1}) {
        EXPECT_EQ(sys_ioctl(fd, meter::host::ZOR_ADC_ENABLE_CS, &bad), -1) << bad;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(sys_ioctl(fd, 0x6d99, nullptr), -1);
    EXPECT_EQ(errno, ENOTTY);
    const std::vector<meter::host::AdcRequest> want = {
        {meter::host::ZOR_ADC_SET_CLK, 1538500}, {meter::host::ZOR_ADC_RESET, 0},
        {meter::host::ZOR_ADC_ENABLE_DAISY, 0},  {meter::host::ZOR_ADC_ENABLE_CS, 3},
        {meter::host::ZOR_ADC_ENABLE_CS, 9},     {meter::host::ZOR_ADC_DISABLE_CS, 3},
    };
    EXPECT_EQ(meter::host::adc_requests(), want);
    const auto st = meter::host::adc_state();
    EXPECT_EQ(st.clock_hz, 1538500);
    EXPECT_TRUE(st.daisy);
    EXPECT_EQ(st.chip_selects, 1u << 9);
    EXPECT_EQ(st.resets, 1u);
    sys_close(fd);
}

TEST(PlainFiles, LiveUnderTheRoot) {
    TempRoot root;
    root.put("/sys/bus/iio/devices/iio:device0/in_voltage0_raw", "1234\n");
    int fd = sys_open("/sys/bus/iio/devices/iio:device0/in_voltage0_raw", O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[16] = {};
    EXPECT_EQ(sys_read(fd, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "1234\n");
    EXPECT_EQ(sys_close(fd), 0);
    EXPECT_LT(sys_open("/config/missing", O_RDONLY), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST(Clock, TestsSetAndMoveIt) {
    TempRoot root;
    const time_t now = sys_time();
    EXPECT_LE(std::abs(now - ::time(nullptr)), 2);
    meter::host::clock_set(1700000000);
    EXPECT_EQ(sys_time(), 1700000000);
    meter::host::clock_advance(61);
    EXPECT_EQ(sys_time(), 1700000061);
    meter::host::clock_release();
    EXPECT_LE(std::abs(sys_time() - ::time(nullptr)), 2);
}

// The EX station's port, the RS-485 port and the keypad: what the root holds
// under their names, outside the fault injection, and never under the lock
// that a blocking read would hold against every other call.
TEST(Terminals, PtysAndFifosPassStraightThrough) {
    TempRoot root;
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    std::filesystem::create_directories(root.host("/dev/input"));
    std::filesystem::create_symlink(name, root.host("/dev/ttyGS0"));
    ASSERT_EQ(::mkfifo(root.host("/dev/input/event0").c_str(), 0600), 0);

    // Every step on a plain file fails from now on; these are not plain files.
    meter::host::fault_arm(0, meter::host::Mode::crash);
    const int tty = sys_open("/dev/ttyGS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(tty, 0);
    termios t{};
    ASSERT_EQ(sys_tcgetattr(tty, &t), 0);
    cfmakeraw(&t);
    ASSERT_EQ(sys_tcsetattr(tty, TCSANOW, &t), 0);
    EXPECT_EQ(sys_tcflush(tty, TCIOFLUSH), 0);
    serial_struct serial{};
    EXPECT_NE(sys_ioctl(tty, TIOCGSERIAL, &serial), 0) << "no serial driver behind a pseudo-terminal";
    EXPECT_EQ(sys_wait_readable(tty, 0), 0);
    ASSERT_EQ(::write(master, "ID\r", 3), 3);
    EXPECT_EQ(sys_wait_readable(tty, 10000), 1);
    char buf[8] = {};
    EXPECT_EQ(sys_read(tty, buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "ID\r");
    EXPECT_EQ(sys_wait_writable(tty, 10000), 1);
    EXPECT_EQ(sys_write(tty, "PASS\r\n", 6), 6);

    // A read that waits on the keypad holds up no other call.
    const int keys = sys_open("/dev/input/event0", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(keys, 0);
    ASSERT_EQ(::fcntl(keys, F_SETFL, 0), 0);  // reads block from here on
    // A FIFO without a writer reads as at its end: the writer comes first.
    const int writer = ::open(root.host("/dev/input/event0").c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    char got[16];
    std::thread waiter([&] { EXPECT_EQ(sys_read(keys, got, sizeof got), 16); });
    int size = 8;
    const int node = sys_open("/dev/zor_data/ct/0", O_WRONLY);
    EXPECT_EQ(sys_ioctl(node, meter::host::ZOR_SET_SIZE, &size), 0);
    sys_close(node);
    const std::string event(16, '\x01');
    ASSERT_EQ(::write(writer, event.data(), 16), 16);
    waiter.join();
    EXPECT_EQ(meter::host::fault_steps(), 0u) << "no step counted";
    meter::host::fault_disarm();
    ::close(writer);
    sys_close(keys);
    sys_close(tty);
    ::close(master);
}

TEST(Clock, SettingsAreRecordedNotMade) {
    TempRoot root;
    const time_t before = sys_time();
    EXPECT_EQ(sys_set_clock(0), 0);
    EXPECT_EQ(sys_set_clock(1700000000), 0);
    EXPECT_EQ(meter::host::clock_settings(), (std::vector<time_t>{0, 1700000000}));
    EXPECT_EQ(root.get(meter::host::kClockSettingsFile), "0\n1700000000\n");
    EXPECT_GE(sys_time(), before) << "the host's clock did not move";
}

TEST(Log, CapturedLinesFollowTheMask) {
    TempRoot root;
    const int old = setlogmask(LOG_UPTO(LOG_INFO));
    sys_log(LOG_INFO, "value %d", 7);
    sys_log(LOG_DEBUG, "hidden");
    sys_log(LOG_DAEMON | LOG_ERR, "with facility");
    setlogmask(old);
    const auto lines = meter::host::log_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, LOG_INFO);
    EXPECT_EQ(lines[0].text, "value 7");
    EXPECT_TRUE(meter::host::log_has(LOG_ERR, "with facility"));
    EXPECT_FALSE(meter::host::log_has("hidden"));
}

TEST(Scheduling, NoRealTimeOnTheHostWithoutLeave) {
    TempRoot root;
    ::unsetenv("METER_REALTIME");
    EXPECT_FALSE(sys_set_realtime(pthread_self(), 80));
    EXPECT_TRUE(meter::host::log_has("Real-time scheduling not used on this host, thread keeps normal scheduling"));
    int policy = -1;
    sched_param p{};
    ASSERT_EQ(pthread_getschedparam(pthread_self(), &policy, &p), 0);
    EXPECT_EQ(policy, SCHED_OTHER);
}

TEST(Invariant, StopsWithItsText) {
    EXPECT_DEATH(SYS_ASSERT(1 + 1 == 3, "arithmetic holds"), "arithmetic holds");
}

TEST(Faults, OnceFailsOneStepCrashFailsTheRest) {
    TempRoot root;
    root.put("/data/f", "");
    struct Case {
        meter::host::Mode mode;
        bool later_steps_work;
    } const cases[] = {{meter::host::Mode::once, true}, {meter::host::Mode::crash, false}};
    for (const Case &c : cases) {
        // Steps: 0 open, 1 write (fails, half written), 2 fsync, 3 close.
        meter::host::fault_arm(1, c.mode);
        int fd = sys_open("/data/f", O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0);
        EXPECT_FALSE(meter::host::fault_fired());
        EXPECT_EQ(sys_write(fd, "12345678", 8), -1);
        EXPECT_EQ(errno, EIO);
        EXPECT_TRUE(meter::host::fault_fired());
        EXPECT_EQ(sys_fsync(fd) == 0, c.later_steps_work);
        EXPECT_EQ(sys_close(fd) == 0, c.later_steps_work);
        EXPECT_EQ(meter::host::fault_steps(), 4u);
        EXPECT_EQ(root.get("/data/f"), "1234") << "a cut write leaves its first half";
        meter::host::fault_disarm();
    }
}

}  // namespace

// A slow flash: each fsync and write of a plain file takes at least its
// time; what reaches the files is counted per board path.
TEST(SlowFlash, SyncsAndWritesTakeTheirTimeAndAreCounted) {
    TempRoot root;
    struct Case {
        const char *name;
        unsigned fsync_ms;
        unsigned write_ms;
        int writes;
        int syncs;
    } const cases[] = {
        {"fsyncs", 40, 0, 1, 2},
        {"writes", 0, 30, 3, 0},
        {"both", 20, 10, 2, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        meter::host::reset();
        meter::host::slow_flash(c.fsync_ms, c.write_ms);
        const auto start = std::chrono::steady_clock::now();
        sys_mkdir("/data", 0755);
        const int fd = sys_open("/data/slow", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        for (int k = 0; k < c.writes; ++k) {
            ASSERT_EQ(sys_write(fd, "abcd", 4), 4);
        }
        for (int k = 0; k < c.syncs; ++k) {
            ASSERT_EQ(sys_fsync(fd), 0);
        }
        ASSERT_EQ(sys_close(fd), 0);
        ASSERT_EQ(sys_fsync_dir("/data"), 0);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(c.fsync_ms * (c.syncs + 1) + c.write_ms * c.writes));
        const auto io = meter::host::io_counts();
        ASSERT_EQ(io.count("/data/slow"), 1u);
        EXPECT_EQ(io.at("/data/slow").bytes, 4u * c.writes);
        EXPECT_EQ(io.at("/data/slow").writes, static_cast<uint64_t>(c.writes));
        EXPECT_EQ(io.at("/data/slow").syncs, static_cast<uint64_t>(c.syncs));
        EXPECT_EQ(io.at("/data").syncs, 1u);
    }
    meter::host::slow_flash(0, 0);
}

// The environment gives a program its slow flash.
TEST(SlowFlash, TheEnvironmentSetsIt) {
    TempRoot root;
    ::setenv(meter::host::kFsyncMsVariable, "35", 1);
    meter::host::reset();
    ::unsetenv(meter::host::kFsyncMsVariable);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(sys_fsync_dir("/"), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(35));
    meter::host::reset();
}
