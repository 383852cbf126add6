// The one-time conversion of old trend files (one per voltage set and day,
// whole results), written here by the test's own writer, into per-load
// files compared with records built by hand; failures, crashes and power
// cuts at every step keep the old data or the verified new data.

#include "nerisko/storage.h"
#include "temp_root.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using meter::host::Mode;

constexpr size_t kOldHeader = 10920;
constexpr size_t kOldRecord = 56304;
constexpr size_t kHeader = 11112;
constexpr size_t kRecord = 1408;

void put_u32(std::string &b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, sizeof v); }
void put_f32(std::string &b, size_t at, float v) { std::memcpy(b.data() + at, &v, sizeof v); }

struct Load {
    uint32_t entry;  // position in the header
    uint32_t id;
    uint32_t u_set_id;
};

// An old header: voltage sets (active flag, id) and loads at their offsets.
std::string old_header(bool set0_active, bool set1_active, const std::vector<Load> &loads) {
    std::string h(kOldHeader, '\0');
    put_u32(h, 0, 3);
    put_u32(h, 8, 0);
    h[8 + 4] = set0_active ? 1 : 0;
    put_u32(h, 8 + 80, 1);
    h[8 + 80 + 4] = set1_active ? 1 : 0;
    for (const Load &l : loads) {
        const size_t at = 168 + 224 * l.entry;
        put_u32(h, at, l.id);
        put_u32(h, at + 8, l.u_set_id);
        h[at + 12] = 1;
        h[at + 13] = static_cast<char>('L' + l.entry);  // name
    }
    return h;
}

// An old record: the time, then a whole result whose slot k carries load ids[k].
std::string old_record(uint32_t time, uint32_t set, const std::vector<uint32_t> &ids, float seed) {
    std::string r(kOldRecord, '\0');
    put_u32(r, 0, time);
    put_u32(r, 8, set);
    put_u32(r, 16, 0x01020304);  // ts_begin
    put_u32(r, 24, 0x05060708);  // ts_end
    put_u32(r, 32, 0x0201);      // flags
    put_f32(r, 36, 600.0f);
    put_f32(r, 40, 49.9f + seed);
    put_f32(r, 48 + 12, 229.0f + seed);  // set_u.u[0].rms_ln
    for (size_t k = 0; k < 48; ++k) {
        const size_t at = 240 + 1168 * k;
        put_u32(r, at, k < ids.size() ? ids[k] : 0);
        put_f32(r, at + 8 + 20, static_cast<float>(k) + seed);  // i[0].rms
        put_f32(r, at + 1152, 100.0f + k);                       // rms
    }
    return r;
}

// The converted record of slot k, put together by hand from the old bytes.
std::string new_record(const std::string &old, size_t k) {
    std::string n(kRecord, '\0');
    std::memcpy(n.data(), old.data(), 4);               // time
    std::memcpy(n.data() + 8, old.data() + 8, 4);       // set
    std::memcpy(n.data() + 16, old.data() + 16, 16);    // ts_begin, ts_end
    n[32] = old[32];                                    // low byte of the flags
    std::memcpy(n.data() + 36, old.data() + 36, 4 + 8 + 188);  // samples, frequency, set_u
    std::memcpy(n.data() + 240, old.data() + 240 + 1168 * k, 1168);
    return n;
}

class Migration : public ::testing::Test {
protected:
    void SetUp() override {
        setlogmask(LOG_UPTO(LOG_DEBUG));
        for (int s = 0; s < 2; ++s) {
            for (int l : {0, 7, 12}) {
                fs::create_directories(root.host("/data/set_" + std::to_string(s) + "/" + std::to_string(l)));
            }
        }
    }
    void TearDown() override { meter::host::fault_disarm(); }

    // An old file and what its conversion must give: path -> content.
    void old_file(int set, const std::string &name, const std::string &header,
                  const std::vector<std::pair<uint32_t, float>> &records, const std::vector<uint32_t> &ids,
                  const std::string &tail = "") {
        std::string f = header;
        std::vector<std::string> kept;
        for (const auto &[time, seed] : records) {
            const std::string r = old_record(time, static_cast<uint32_t>(set), ids, seed);
            f += r;
            if (time > 1514764799u) {
                kept.push_back(r);
            }
        }
        f += tail;
        const std::string path = "/data/set_" + std::to_string(set) + "/" + name;
        root.put(path, f);
        olds[path] = f;
        for (size_t k = 0; k < ids.size(); ++k) {
            std::string want = header + std::string(kHeader - kOldHeader, '\0');
            for (const std::string &r : kept) {
                want += new_record(r, k);
            }
            wants["/data/set_" + std::to_string(set) + "/" + std::to_string(ids[k]) + "/" + name] = want;
        }
    }
    bool exists(const std::string &board) const { return fs::exists(root.host(board)); }
    void expect_converted() {
        EXPECT_TRUE(exists("/data/migrationSucess"));
        for (const auto &[path, content] : olds) {
            EXPECT_FALSE(exists(path)) << path;
        }
        for (const auto &[path, content] : wants) {
            EXPECT_TRUE(root.get(path) == content) << path;
        }
    }
    // Each old file is there unchanged, or converted whole; never neither.
    void expect_old_or_new() {
        for (const auto &[path, content] : olds) {
            if (exists(path)) {
                EXPECT_TRUE(root.get(path) == content) << path;
                continue;
            }
            const std::string name = path.substr(path.rfind('/') + 1);
            for (const auto &[w, want] : wants) {
                if (w.size() > name.size() && w.compare(w.size() - name.size(), name.size(), name) == 0) {
                    EXPECT_TRUE(root.get(w) == want) << path << " is gone, so " << w << " must be whole";
                }
            }
        }
    }
    void standard_files() {
        // Set folder 1 holds the second active voltage set (id 1): loads 12,
        // 3 and 40 in mapping order; folder 0 holds load 7.
        const std::vector<Load> loads = {{0, 12, 1}, {1, 7, 0}, {2, 3, 1}, {5, 40, 1}};
        const std::string h = old_header(true, true, loads);
        old_file(1, "1514764000", h, {{1514764799, 0.5f}, {1514764800, 1.5f}, {1514765100, 2.5f}}, {12, 3, 40});
        old_file(0, "1514764900", h, {{1514765000, 3.5f}}, {7}, std::string(1000, 'x'));
    }

    meter::host::TempRoot root;
    std::map<std::string, std::string> olds;
    std::map<std::string, std::string> wants;
};

TEST_F(Migration, OldFilesBecomePerLoadFiles) {
    standard_files();
    const std::string backup = olds["/data/set_1/1514764000"];
    storage_migrate();
    expect_converted();
    EXPECT_EQ(wants.size(), 4u);
    EXPECT_EQ(root.get("/data/set_1/12/1514764000").size(), kHeader + 2 * kRecord)
        << "1514764799 skipped, 1514764800 kept";
    EXPECT_TRUE(root.get("/data/backup/set_1/1514764000") == backup);
    EXPECT_TRUE(meter::host::log_has(LOG_INFO, "Data Migration Succeeded\n"));
    EXPECT_TRUE(meter::host::log_has(LOG_INFO, "Data set file migrated: /data/set_1/1514764000\n"));
    // Once done, never again.
    meter::host::log_clear();
    storage_migrate();
    EXPECT_TRUE(meter::host::log_has(LOG_INFO, "Data Migration - Old data already migrated once\n"));
}

TEST_F(Migration, NothingToMigrateSetsTheMarkerWithoutBackup) {
    root.put("/data/set_0/7/1600000000", "trend");
    root.put("/data/set_0/12345678", "eight digits are no old file");
    storage_migrate();
    EXPECT_TRUE(exists("/data/migrationSucess"));
    EXPECT_FALSE(exists("/data/backup"));
    EXPECT_TRUE(exists("/data/set_0/12345678"));
    EXPECT_TRUE(meter::host::log_has(LOG_INFO, "Data Migration - No old data set files to process further. Skipped!\n"));
}

// Cases that once lost or refused data: only the second voltage set active
// (its results are in folder 0), more than 100 old files, fields that are
// not numbers.
TEST_F(Migration, AwkwardOldFilesAreConvertedWhole) {
    const std::vector<Load> second_only = {{3, 12, 1}, {4, 0, 1}};
    old_file(0, "1600000000", old_header(false, true, second_only), {{1600000000, 1.0f}}, {12, 0});
    const std::vector<Load> one = {{0, 7, 0}};
    for (int k = 0; k < 101; ++k) {
        old_file(1, std::to_string(1600100000 + k), old_header(true, true, {{0, 7, 1}}),
                 {{1600100000u + static_cast<uint32_t>(k), 0.0f}}, {7});
    }
    std::string h = old_header(true, false, one);
    old_file(0, "1600200000", h, {{1600200000, std::numeric_limits<float>::quiet_NaN()}}, {7});
    storage_migrate();
    expect_converted();
    EXPECT_EQ(wants.size(), 2u + 101u + 1u);
}

TEST_F(Migration, FailedBackupKeepsEverything) {
    standard_files();
    root.put("/data/backup", "a file where the folder should be");
    storage_migrate();
    EXPECT_FALSE(exists("/data/migrationSucess"));
    expect_old_or_new();
    for (const auto &[path, content] : olds) {
        EXPECT_TRUE(exists(path)) << path;
    }
}

// Old files that name no active load of their set are converted under the
// loads their header names; those that cannot be converted at all (no load
// of the set, records that carry other loads than the header names there:
// never into the wrong load's file) are kept whole in the kept folder. Either
// way the migration completes, and the next start backs nothing up again.
TEST_F(Migration, CompletesOnceWithFilesThatNameNoActiveLoad) {
    struct Case {
        const char *name;
        std::vector<Load> loads;
        std::vector<uint32_t> record_ids;
        bool loads_active;
        bool converted;
    } const cases[] = {
        {"loads switched off", {{0, 7, 0}, {2, 12, 0}}, {7, 12}, false, true},
        {"no load of the set", {{0, 7, 1}}, {7}, true, false},
        {"slots carry other loads", {{0, 7, 0}, {1, 12, 0}}, {12, 7}, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root.host("/data"));
        olds.clear();
        wants.clear();
        meter::host::log_clear();
        std::string h = old_header(true, false, c.loads);
        if (!c.loads_active) {
            for (const Load &l : c.loads) {
                h[168 + 224 * l.entry + 12] = 0;
            }
        }
        old_file(0, "1600000000", h, {{1600000000, 1.0f}, {1600000300, 2.0f}}, c.record_ids);
        const std::string old = olds.begin()->second;
        storage_migrate();
        EXPECT_TRUE(exists("/data/migrationSucess"));
        EXPECT_FALSE(exists("/data/set_0/1600000000"));
        EXPECT_TRUE(root.get("/data/backup/set_0/1600000000") == old);
        if (c.converted) {
            expect_converted();
        } else {
            EXPECT_TRUE(root.get("/data/unmigrated/set_0/1600000000") == old);
            for (const auto &[path, content] : wants) {
                EXPECT_FALSE(exists(path)) << path;
            }
        }
        fs::remove_all(root.host("/data/backup"));
        meter::host::log_clear();
        storage_migrate();  // the next start
        EXPECT_FALSE(exists("/data/backup"));
        EXPECT_TRUE(meter::host::log_has(LOG_INFO, "Data Migration - Old data already migrated once\n"));
    }
}

// A failure (disk full and the like), a crash or a power cut at every step:
// old or new, never neither; the next start finishes the job, with one
// header per converted file.
TEST_F(Migration, FailureCrashAndPowerCutAtEveryStep) {
    standard_files();
    const auto start_olds = olds;
    for (Mode mode : {Mode::once, Mode::crash, Mode::power_cut}) {
        bool completed = false;
        for (uint64_t step = 0; !completed && step < 400; ++step) {
            SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + " at step " + std::to_string(step));
            fs::remove_all(root.host("/data"));
            SetUp();
            for (const auto &[path, content] : start_olds) {
                root.put(path, content);
            }
            meter::host::reset();
            meter::host::log_capture(true);
            meter::host::fault_arm(step, mode);
            storage_migrate();
            completed = !meter::host::fault_fired();
            meter::host::fault_disarm();
            expect_old_or_new();
            storage_migrate();  // the next start
            expect_converted();
        }
        EXPECT_TRUE(completed);
    }
}

}  // namespace
