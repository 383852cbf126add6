// The board's sys_* calls are the system calls: a file written through them
// is there, and a refused request comes back as the system's error.
#include "meter/emulation.h"
#include "meter/sysio.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

TEST(BoardSysio, PassesStraightToTheSystem) {
    std::string dir = (std::filesystem::temp_directory_path() / "meter-board-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    ::setenv("METER_ROOT", dir.c_str(), 1);
    std::filesystem::create_directories(dir + "/data");

    int fd = sys_open("/data/file", O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sys_write(fd, "abcdef", 6), 6);
    EXPECT_EQ(sys_fsync(fd), 0);
    EXPECT_EQ(sys_lseek(fd, 2, SEEK_SET), 2);
    char buf[8] = {};
    EXPECT_EQ(sys_read(fd, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "cdef");
    int value = 0;
    EXPECT_EQ(sys_ioctl(fd, 0x40046d01, &value), -1);
    if (!meter::under_emulation()) {  // the emulator answers a request it does not know ENOSYS
        EXPECT_EQ(errno, ENOTTY);
    }
    EXPECT_EQ(sys_close(fd), 0);
    EXPECT_TRUE(std::filesystem::exists(dir + "/data/file"));
    EXPECT_LE(std::abs(sys_time() - ::time(nullptr)), 2);

    ::unsetenv("METER_ROOT");
    std::filesystem::remove_all(dir);
}

// The waits report input, room and a closed descriptor; terminal settings
// are the terminal's.
TEST(BoardSysio, WaitsAndTerminalSettings) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    EXPECT_EQ(sys_wait_readable(p[0], 0), 0);
    EXPECT_EQ(sys_wait_writable(p[1], 0), 1);
    ASSERT_EQ(::write(p[1], "x", 1), 1);
    EXPECT_EQ(sys_wait_readable(p[0], 1000), 1);
    ::close(p[1]);
    ::close(p[0]);
    EXPECT_EQ(sys_wait_readable(p[0], 0), -1);
    EXPECT_EQ(errno, EBADF);

    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios t{};
    ASSERT_EQ(sys_tcgetattr(slave, &t), 0);
    cfmakeraw(&t);
    cfsetospeed(&t, B115200);
    ASSERT_EQ(sys_tcsetattr(slave, TCSANOW, &t), 0);
    termios back{};
    ASSERT_EQ(sys_tcgetattr(slave, &back), 0);
    EXPECT_EQ(back.c_lflag & ICANON, 0u);
    EXPECT_EQ(cfgetospeed(&back), static_cast<speed_t>(B115200));
    EXPECT_EQ(sys_tcflush(slave, TCIOFLUSH), 0);
    ::close(slave);
    ::close(master);
}

TEST(BoardSysio, FileCallsReachTheFileSystem) {
    std::string dir = (std::filesystem::temp_directory_path() / "meter-board-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    ::setenv("METER_ROOT", dir.c_str(), 1);

    EXPECT_EQ(sys_mkdir("/data", 0755), 0);
    EXPECT_EQ(sys_mkdir("/data", 0755), -1);
    EXPECT_EQ(errno, EEXIST);
    ASSERT_EQ(sys_replace_file("/data/a", "first", 5, 0600), 0);
    ASSERT_EQ(sys_replace_file("/data/a", "second", 6), 0);
    struct stat st {};
    ASSERT_EQ(sys_stat("/data/a", &st), 0);
    EXPECT_EQ(st.st_size, 6);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "the new file's mode";
    EXPECT_FALSE(std::filesystem::exists(dir + "/data/a.tmp"));

    const int fd = sys_open("/data/a", O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[16] = {};
    EXPECT_EQ(sys_read_all(fd, buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "second");
    EXPECT_EQ(sys_close(fd), 0);

    EXPECT_EQ(sys_rename("/data/a", "/data/b"), 0);
    EXPECT_EQ(sys_fsync_dir("/data"), 0);
    std::vector<std::string> names;
    ASSERT_EQ(sys_list_dir("/data", &names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"b"});
    EXPECT_EQ(sys_unlink("/data/b"), 0);
    EXPECT_EQ(sys_unlink("/data/b"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sys_list_dir("/missing", &names), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sys_fsync_dir("/missing"), -1);
    EXPECT_EQ(sys_replace_file("/missing/a", "x", 1), -1);
    EXPECT_EQ(errno, ENOENT);

    ::unsetenv("METER_ROOT");
    std::filesystem::remove_all(dir);
}

// A pipe hands over what its writer has put in so far: the loops go on until
// all of it has passed.
TEST(BoardSysio, WholeBufferLoopsOverAPipe) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    const std::string text(200000, 'x');  // more than the pipe holds
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(p[0]);
        ::_exit(sys_write_all(p[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    ::close(p[1]);
    std::string back(text.size() + 1, '\0');
    EXPECT_EQ(sys_read_all(p[0], back.data(), back.size()), static_cast<ssize_t>(text.size()));
    ::close(p[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Without the privilege a thread keeps normal scheduling and says so by the
// result; nothing fails. Run in a child that has given up root, if it had it.
TEST(BoardSysio, RealTimeNotPermittedKeepsNormalScheduling) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::geteuid() == 0 && ::setuid(65534) != 0) {
            ::_exit(2);
        }
        const rlimit no_realtime{0, 0};
        ::setrlimit(RLIMIT_RTPRIO, &no_realtime);
        const bool realtime = sys_set_realtime(::pthread_self(), 10);
        int policy = -1;
        sched_param param{};
        ::pthread_getschedparam(::pthread_self(), &policy, &param);
        ::_exit(!realtime && policy == SCHED_OTHER ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

namespace {

std::vector<std::string> reported;
void keep(int level, const std::string &text) { reported.push_back(std::to_string(level) + " " + text); }

// A fake /proc and module file under METER_ROOT; the interrupt thread is a
// child process of the test that waits to be killed.
TEST(BoardSysio, MstpPrepareFindsTheModuleAndTheInterruptThreadUnderProc) {
    std::string dir = (std::filesystem::temp_directory_path() / "meter-board-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    ::setenv("METER_ROOT", dir.c_str(), 1);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (;;) {
            ::pause();
        }
    }
    const auto write = [&](const std::string &path, const std::string &text) {
        std::filesystem::create_directories(std::filesystem::path(dir + path).parent_path());
        std::ofstream(dir + path) << text;
    };
    write("/proc/1/comm", "init\n");
    write("/proc/self/comm", "irq/31-OMAP UAR\n"); // not a process id
    write("/proc/7/comm", "irq/30-OMAP UAR\n");
    write("/proc/" + std::to_string(child) + "/comm", "irq/31-OMAP UAR\n");

    // Listed: nothing loaded, the thread found and raised (or the refusal reported).
    write("/proc/modules", "pru_rproc 20480 0 - Live 0x00000000\nmstp 36864 1 - Live 0x00000000\n");
    reported.clear();
    EXPECT_TRUE(sys_mstp_prepare(keep));
    const std::string setting = "6 MS/TP: Setting " + std::to_string(child) + " to a high priority.";
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported[0], setting);
    if (reported.size() == 1) {
        EXPECT_EQ(::sched_getscheduler(child), SCHED_FIFO);
        sched_param param{};
        ASSERT_EQ(::sched_getparam(child, &param), 0);
        EXPECT_EQ(param.sched_priority, 98);
    } else {
        EXPECT_EQ(reported[1].rfind("4 MS/TP: cannot raise " + std::to_string(child) + " to priority 98: ", 0), 0u)
            << reported[1];
    }

    // Not listed: the module file is loaded; one that is not a module is refused.
    write("/proc/modules", "pru_rproc 20480 0 - Live 0x00000000\nmstp_other 1 0 - Live 0x0\n");
    reported.clear();
    EXPECT_FALSE(sys_mstp_prepare(keep));
    EXPECT_EQ(reported, std::vector<std::string>{"1 MS/TP: cannot load /lib/modules/4.14.32-rt25/extra/mstp.ko: " +
                                                 std::string(std::strerror(ENOENT))});
    write(sys_mstp_module_file, "not a module");
    reported.clear();
    EXPECT_FALSE(sys_mstp_prepare(keep));
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].rfind("1 MS/TP: cannot load /lib/modules/4.14.32-rt25/extra/mstp.ko: ", 0), 0u);

    // No interrupt thread: reported, the module still counts.
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    std::filesystem::remove_all(dir + "/proc/" + std::to_string(child));
    write("/proc/modules", "mstp 36864 1 - Live 0x00000000\n");
    reported.clear();
    EXPECT_TRUE(sys_mstp_prepare(keep));
    EXPECT_EQ(reported, std::vector<std::string>{"4 MS/TP: no UART interrupt thread found to raise: " +
                                                 std::string(std::strerror(ESRCH))});

    ::unsetenv("METER_ROOT");
    std::filesystem::remove_all(dir);
}

} // namespace
