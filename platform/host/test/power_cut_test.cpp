// What survives a simulated power cut: only what was made durable, file data
// by an fsync of the file and names by an fsync of their folder.

#include "meter/host.h"
#include "meter/sysio.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using meter::host::TempRoot;

// Writes text to a board file opened with flags; fsyncs it when asked.
void write_file(const char *path, int flags, const std::string &text, bool fsync) {
    const int fd = sys_open(path, flags, 0644);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(sys_write_all(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    if (fsync) {
        ASSERT_EQ(sys_fsync(fd), 0);
    }
    ASSERT_EQ(sys_close(fd), 0);
}

constexpr int kCreate = O_WRONLY | O_CREAT | O_TRUNC;

std::optional<std::string> content(const TempRoot &root, const char *path) {
    if (!std::filesystem::exists(root.host(path))) {
        return std::nullopt;
    }
    return root.get(path);
}

TEST(PowerCut, KeepsOnlyWhatWasMadeDurable) {
    struct Case {
        const char *name;
        std::function<void()> act;  // on /data/f, which holds "old" at the start
        const char *path;
        std::optional<std::string> after;  // nullopt: no such file
    } const cases[] = {
        {"new file, no fsync",
         [] { write_file("/data/n", kCreate, "new", false); }, "/data/n", std::nullopt},
        {"new file, fsync, folder not fsynced",
         [] { write_file("/data/n", kCreate, "new", true); }, "/data/n", std::nullopt},
        {"new file, fsync, folder fsync",
         [] {
             write_file("/data/n", kCreate, "new", true);
             ASSERT_EQ(sys_fsync_dir("/data"), 0);
         },
         "/data/n", "new"},
        {"new file, folder fsync, file not fsynced",
         [] {
             write_file("/data/n", kCreate, "new", false);
             ASSERT_EQ(sys_fsync_dir("/data"), 0);
         },
         "/data/n", ""},
        {"overwritten in place, no fsync",
         [] { write_file("/data/f", O_WRONLY, "NE", false); }, "/data/f", "old"},
        {"overwritten in place, fsync",
         [] { write_file("/data/f", O_WRONLY, "NE", true); }, "/data/f", "NEd"},
        {"truncated and rewritten, no fsync",
         [] { write_file("/data/f", kCreate, "new content", false); }, "/data/f", "old"},
        {"truncated and rewritten, fsync",
         [] { write_file("/data/f", kCreate, "new content", true); }, "/data/f", "new content"},
        {"appended, no fsync",
         [] { write_file("/data/f", O_WRONLY | O_APPEND, "+more", false); }, "/data/f", "old"},
        {"appended, fsync",
         [] { write_file("/data/f", O_WRONLY | O_APPEND, "+more", true); }, "/data/f", "old+more"},
        {"renamed over, folder not fsynced",
         [] {
             write_file("/data/f.tmp", kCreate, "new", true);
             ASSERT_EQ(sys_rename("/data/f.tmp", "/data/f"), 0);
         },
         "/data/f", "old"},
        {"renamed over, the temporary name is gone too",
         [] {
             write_file("/data/f.tmp", kCreate, "new", true);
             ASSERT_EQ(sys_rename("/data/f.tmp", "/data/f"), 0);
         },
         "/data/f.tmp", std::nullopt},
        {"renamed over, folder fsync",
         [] {
             write_file("/data/f.tmp", kCreate, "new", true);
             ASSERT_EQ(sys_rename("/data/f.tmp", "/data/f"), 0);
             ASSERT_EQ(sys_fsync_dir("/data"), 0);
         },
         "/data/f", "new"},
        {"renamed over without the data's fsync, folder fsync",
         [] {
             write_file("/data/f.tmp", kCreate, "new", false);
             ASSERT_EQ(sys_rename("/data/f.tmp", "/data/f"), 0);
             ASSERT_EQ(sys_fsync_dir("/data"), 0);
         },
         "/data/f", ""},
        {"renamed away, folder not fsynced",
         [] { ASSERT_EQ(sys_rename("/data/f", "/data/g"), 0); }, "/data/f", "old"},
        {"renamed away: the new name goes",
         [] { ASSERT_EQ(sys_rename("/data/f", "/data/g"), 0); }, "/data/g", std::nullopt},
        {"removed, folder not fsynced",
         [] { ASSERT_EQ(sys_unlink("/data/f"), 0); }, "/data/f", "old"},
        {"removed, folder fsync",
         [] {
             ASSERT_EQ(sys_unlink("/data/f"), 0);
             ASSERT_EQ(sys_fsync_dir("/data"), 0);
         },
         "/data/f", std::nullopt},
        {"overwritten and removed: back with its durable data",
         [] {
             write_file("/data/f", O_WRONLY, "NEW", false);
             ASSERT_EQ(sys_unlink("/data/f"), 0);
         },
         "/data/f", "old"},
        {"folder fsync through a descriptor of the folder",
         [] {
             write_file("/data/n", kCreate, "new", true);
             const int fd = sys_open("/data", O_RDONLY | O_DIRECTORY);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(sys_fsync(fd), 0);
             ASSERT_EQ(sys_close(fd), 0);
         },
         "/data/n", "new"},
        {"new folder whose parent was not fsynced goes with its files",
         [] {
             ASSERT_EQ(sys_mkdir("/data/set_0", 0755), 0);
             write_file("/data/set_0/t", kCreate, "trend", true);
             ASSERT_EQ(sys_fsync_dir("/data/set_0"), 0);
         },
         "/data/set_0", std::nullopt},
        {"new folder, parent fsync",
         [] {
             ASSERT_EQ(sys_mkdir("/data/set_0", 0755), 0);
             ASSERT_EQ(sys_fsync_dir("/data"), 0);
             write_file("/data/set_0/t", kCreate, "trend", true);
             ASSERT_EQ(sys_fsync_dir("/data/set_0"), 0);
         },
         "/data/set_0/t", "trend"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempRoot root;
        root.put("/data/f", "old");
        c.act();
        meter::host::power_cut();
        if (c.after) {
            EXPECT_EQ(content(root, c.path), c.after);
        } else {
            EXPECT_FALSE(std::filesystem::exists(root.host(c.path)));
        }
        meter::host::fault_disarm();
    }
}

TEST(PowerCut, StepsFailUntilThePowerIsBack) {
    TempRoot root;
    root.put("/data/f", "old");
    meter::host::power_cut();
    EXPECT_EQ(sys_open("/data/f", O_RDONLY), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(sys_replace_file("/data/f", "new", 3), -1);
    meter::host::fault_disarm();
    EXPECT_EQ(sys_replace_file("/data/f", "new", 3), 0);
    meter::host::power_cut();
    EXPECT_EQ(root.get("/data/f"), "new") << "a durable state after a cut is the base of the next";
    meter::host::fault_disarm();
}

// A file written in several writes and fsynced now and then keeps what the
// last fsync covered, wherever the power goes.
TEST(PowerCut, AppendsSurviveUpToTheLastFsync) {
    const std::vector<std::string> records = {"r1;", "r2;", "r3;"};
    for (uint64_t step = 0;; ++step) {
        SCOPED_TRACE("cut at step " + std::to_string(step));
        TempRoot root;
        root.put("/data/log", "r0;");
        meter::host::fault_arm(step, meter::host::Mode::power_cut);
        // Each record is two writes, fsynced after the record: 0 open, then
        // per record a write, a write and an fsync, then close.
        std::string synced = "r0;";
        const int fd = sys_open("/data/log", O_WRONLY | O_APPEND);
        bool ok = fd >= 0;
        for (const std::string &r : records) {
            ok = ok && sys_write(fd, r.data(), 2) == 2 && sys_write(fd, r.data() + 2, r.size() - 2) > 0 &&
                 sys_fsync(fd) == 0;
            if (ok) {
                synced += r;
            }
        }
        sys_close(fd);
        const bool fired = meter::host::fault_fired();
        meter::host::fault_disarm();
        EXPECT_EQ(root.get("/data/log"), synced);
        if (!fired) {
            EXPECT_EQ(synced, "r0;r1;r2;r3;");
            break;
        }
    }
}

// The crash of the program alone loses nothing it wrote, even unsynced; the
// power going later takes back what was not durable.
TEST(PowerCut, ACrashKeepsThePageCacheUntilThePowerGoes) {
    TempRoot root;
    root.put("/data/f", "old");
    meter::host::fault_arm(2, meter::host::Mode::crash);  // 0 open, 1 write, 2 close
    const int fd = sys_open("/data/f", O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sys_write(fd, "new", 3), 3);
    EXPECT_EQ(sys_close(fd), -1);
    EXPECT_EQ(root.get("/data/f"), "new");
    meter::host::power_cut();
    EXPECT_EQ(root.get("/data/f"), "old");
    meter::host::fault_disarm();
}

// A way of replacing a file that leaves out an fsync is caught: after some
// cut the file is neither old nor new, or a reported success does not last.
TEST(PowerCut, TellsAMissingFsync) {
    struct Case {
        const char *name;
        bool fsync_file;
        bool fsync_folder;
        bool sound;
    } const cases[] = {
        {"both fsyncs", true, true, true},
        {"no fsync of the data", false, true, false},
        {"no fsync of the folder", true, false, false},
    };
    for (const Case &c : cases) {
        bool sound = true;
        for (uint64_t step = 0;; ++step) {
            TempRoot root;
            root.put("/data/f", "old");
            meter::host::fault_arm(step, meter::host::Mode::power_cut);
            const int fd = sys_open("/data/f.tmp", kCreate, 0644);
            bool ok = fd >= 0 && sys_write_all(fd, "new", 3) == 3 && (!c.fsync_file || sys_fsync(fd) == 0);
            ok = sys_close(fd) == 0 && ok;
            ok = ok && sys_rename("/data/f.tmp", "/data/f") == 0 && (!c.fsync_folder || sys_fsync_dir("/data") == 0);
            const bool fired = meter::host::fault_fired();
            meter::host::power_cut();  // whatever had not been cut yet
            const std::string after = root.get("/data/f");
            sound = sound && (after == "old" || after == "new") && (!ok || after == "new");
            meter::host::fault_disarm();
            if (!fired) {
                break;
            }
        }
        EXPECT_EQ(sound, c.sound) << c.name;
    }
}

// Each file call is one step that a fault can fail, without effect.
TEST(PowerCut, EveryFileCallIsAStep) {
    struct Case {
        const char *name;
        std::function<int()> call;
    } const cases[] = {
        {"rename", [] { return sys_rename("/data/f", "/data/g"); }},
        {"unlink", [] { return sys_unlink("/data/f"); }},
        {"stat",
         [] {
             struct stat st {};
             return sys_stat("/data/f", &st);
         }},
        {"mkdir", [] { return sys_mkdir("/data/d", 0755); }},
        {"list_dir",
         [] {
             std::vector<std::string> names;
             return sys_list_dir("/data", &names);
         }},
        {"fsync_dir", [] { return sys_fsync_dir("/data"); }},
    };
    for (const Case &c : cases) {
        TempRoot root;
        root.put("/data/f", "old");
        meter::host::fault_arm(0, meter::host::Mode::once);
        errno = 0;
        EXPECT_EQ(c.call(), -1) << c.name;
        EXPECT_EQ(errno, EIO) << c.name;
        EXPECT_EQ(meter::host::fault_steps(), 1u) << c.name;
        EXPECT_EQ(c.call(), 0) << c.name << ": the next step works";
        meter::host::fault_disarm();
    }
}

TEST(PowerCut, ListingsLeaveOutTheHostsOwnFiles) {
    TempRoot root;
    root.put("/data/f", "old");
    ASSERT_EQ(sys_unlink("/data/f"), 0);  // kept for a cut outside the board's tree
    std::vector<std::string> names;
    ASSERT_EQ(sys_list_dir("/", &names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"data"});
}

}  // namespace
