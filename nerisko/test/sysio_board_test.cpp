// The board's sys_* calls are the system calls: a file written through them
// is there, and a refused request comes back as the system's error.
#include "nerisko/sysio.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
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

}  // namespace
