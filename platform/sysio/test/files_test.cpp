// The file calls composed of the primitives, on the host platform, whose
// fault injection interrupts, shortens, fails or cuts each of their steps.

#include "meter/host.h"
#include "meter/sysio.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace {

using meter::host::Mode;
using meter::host::TempRoot;

// Long enough for several halvings.
std::string text_of(size_t size) {
    std::string s(size, '\0');
    for (size_t k = 0; k < size; ++k) {
        s[k] = static_cast<char>('a' + k % 26);
    }
    return s;
}

// Interrupted and short transfers are taken up again; a failed one ends the
// loop with the failure.
TEST(FileLoops, GoOnAfterShortTransfersAndInterruptions) {
    const std::string text = text_of(1000);
    struct Case {
        Mode mode;
        bool whole;
    } const cases[] = {{Mode::interrupt, true}, {Mode::partial, true}, {Mode::once, false}};
    for (const Case &c : cases) {
        // Steps: 0 open; the loop's first call is step 1, later ones follow it.
        for (uint64_t step = 1; step < 4; ++step) {
            SCOPED_TRACE("mode " + std::to_string(static_cast<int>(c.mode)) + " step " + std::to_string(step));
            TempRoot root;
            std::filesystem::create_directories(root.host("/data"));
            meter::host::fault_arm(step, c.mode);
            int fd = sys_open("/data/f", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            const ssize_t wrote = sys_write_all(fd, text.data(), text.size());
            sys_close(fd);
            meter::host::fault_disarm();
            if (c.whole) {
                EXPECT_EQ(wrote, static_cast<ssize_t>(text.size()));
                EXPECT_EQ(root.get("/data/f"), text);
            } else if (step == 1) {
                EXPECT_EQ(wrote, -1);
                EXPECT_EQ(errno, EIO);
            }

            root.put("/data/g", text);
            meter::host::fault_arm(step, c.mode);
            fd = sys_open("/data/g", O_RDONLY);
            ASSERT_GE(fd, 0);
            std::string back(text.size() + 10, '\0');
            const ssize_t got = sys_read_all(fd, back.data(), back.size());
            sys_close(fd);
            meter::host::fault_disarm();
            if (c.whole) {
                ASSERT_EQ(got, static_cast<ssize_t>(text.size())) << "short only at the end of the file";
                EXPECT_EQ(back.substr(0, text.size()), text);
            } else if (step == 1) {
                EXPECT_EQ(got, -1);
                EXPECT_EQ(errno, EIO);
            }
        }
    }
}

TEST(FileLoops, ReadAllStopsAtTheEndOfTheFile) {
    TempRoot root;
    root.put("/data/f", "12345");
    const int fd = sys_open("/data/f", O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[16] = {};
    EXPECT_EQ(sys_read_all(fd, buf, 3), 3);
    EXPECT_EQ(sys_read_all(fd, buf, sizeof buf), 2);
    EXPECT_EQ(sys_read_all(fd, buf, sizeof buf), 0);
    sys_close(fd);
}

// Cut, crashed or failed at any step, a replacement leaves the old or the
// new content, and reports success only when the new content is durable.
TEST(ReplaceFile, LeavesTheOldOrTheNewContentWhereverItStops) {
    const std::string old_text = "old content";
    const std::string new_text = text_of(10000);
    for (Mode mode : {Mode::power_cut, Mode::crash, Mode::once}) {
        bool saw_old = false;
        bool saw_new = false;
        for (uint64_t step = 0;; ++step) {
            SCOPED_TRACE("mode " + std::to_string(static_cast<int>(mode)) + " step " + std::to_string(step));
            TempRoot root;
            root.put("/data/energy", old_text);
            meter::host::fault_arm(step, mode);
            const int rc = sys_replace_file("/data/energy", new_text.data(), new_text.size());
            const int err = errno;
            const bool fired = meter::host::fault_fired();
            meter::host::fault_disarm();
            if (!fired) {
                EXPECT_EQ(rc, 0);
                meter::host::power_cut();
                EXPECT_EQ(root.get("/data/energy"), new_text) << "durable once it returns";
                meter::host::fault_disarm();
                break;
            }
            EXPECT_EQ(rc, -1) << "a step failed";
            EXPECT_EQ(err, EIO);
            const std::string now = root.get("/data/energy");
            EXPECT_TRUE(now == old_text || now == new_text);
            saw_old = saw_old || now == old_text;
            saw_new = saw_new || now == new_text;
            if (mode == Mode::once) {
                // Only a failed fsync of the folder comes after the rename.
                EXPECT_FALSE(std::filesystem::exists(root.host("/data/energy.tmp"))) << "cleaned up";
            }
            // The power going now keeps only what was durable: the replacement
            // failed, so that is the old content.
            meter::host::power_cut();
            EXPECT_EQ(root.get("/data/energy"), old_text);
            EXPECT_FALSE(std::filesystem::exists(root.host("/data/energy.tmp")));
            meter::host::fault_disarm();
        }
        EXPECT_TRUE(saw_old);
        EXPECT_EQ(saw_new, mode != Mode::power_cut) << "the content is new only past the rename";
    }
}

TEST(ReplaceFile, CreatesAMissingFileWithItsMode) {
    TempRoot root;
    std::filesystem::create_directories(root.host("/config"));
    ASSERT_EQ(sys_replace_file("/config/state", "{}", 2, 0600), 0);
    EXPECT_EQ(root.get("/config/state"), "{}");
    struct stat st {};
    ASSERT_EQ(sys_stat("/config/state", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    meter::host::power_cut();
    EXPECT_EQ(root.get("/config/state"), "{}") << "durable once it returns";
    meter::host::fault_disarm();
    EXPECT_EQ(sys_replace_file("/missing/state", "{}", 2), -1);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
