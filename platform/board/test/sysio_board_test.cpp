// The board's sys_* calls are the system calls: a file written through them
// is there, and a refused request comes back as the system's error.
#include "meter/sysio.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

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
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(sys_close(fd), 0);
    EXPECT_TRUE(std::filesystem::exists(dir + "/data/file"));
    EXPECT_LE(std::abs(sys_time() - ::time(nullptr)), 2);

    ::unsetenv("METER_ROOT");
    std::filesystem::remove_all(dir);
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
