// Trend files with the test clock: names by start time and by local
// midnight, header and record layout read at fixed offsets, companions,
// clean-up by age and count, bad load ids, files left torn by crashes and
// power cuts at every step of an append.

#include "nerisko/storage.h"
#include "meter/sysio.h"
#include "temp_root.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using meter::host::Mode;

constexpr time_t kStart = 1773154800;      // 2026-03-10 15:00:00 UTC
constexpr time_t kMidnight = 1773187200;   // 2026-03-11 00:00:00 UTC
constexpr size_t kHeader = 11112;
constexpr size_t kRecord = 1408;

template <typename T>
T get(const std::string &b, size_t at) {
    T v{};
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

class Storage : public ::testing::Test {
protected:
    void SetUp() override {
        setlogmask(LOG_UPTO(LOG_DEBUG));
        meter::host::clock_set(kStart);
        map = std::make_unique<mapping>();
        std::memset(map.get(), 0, sizeof *map);
        map->version = 7;
        for (size_t k = 0; k < sizeof map->sets_i[0].name; ++k) {
            map->sets_i[3].name[k] = static_cast<char>('a' + k % 26);
        }
        map->tail_values[47] = 0x5a5a;
        result = std::make_unique<data_set_t>();
        std::memset(result.get(), 0, sizeof *result);
        std::memset(&ps, 0, sizeof ps);
    }
    void TearDown() override {
        meter::host::fault_disarm();
        meter::host::clock_release();
    }
    // Loads in slots 0.. of voltage set `set`, with values that tell them apart.
    void loads(uint32_t set, std::vector<uint32_t> ids) {
        result->set = set;
        result->ts_begin = 0x1122334455667788ull;
        result->ts_end = 0x99aabbccddeeff00ull;
        result->flags = 0x103;
        result->samples = 300.0f;
        result->frequency = {50.01f, 0.5f};
        result->set_u.u[1].rms_ln = {230.5f, 0.1f};
        result->set_u.thd = {2.5f, 0.25f};
        for (size_t k = 0; k < ids.size(); ++k) {
            data_i_set &l = result->sets_i[k];
            l.load_id = ids[k];
            l.i[2].rms = {10.0f + k, 0.01f};
            l.p.wh = {1000.0 + k, 0.5f, 0};
            l.thd = {3.0f, 0.125f};
            ps.isets[k] = &map->sets_i[k];
        }
    }
    void store() {
        event_data_t ev{&ps, result.get()};
        storage_store_five_minutes(&ev);
    }
    std::string file(uint32_t set, uint32_t load, time_t t) const {
        return "/data/set_" + std::to_string(set) + "/" + std::to_string(load) + "/" + std::to_string(t);
    }
    bool exists(const std::string &board) const { return fs::exists(root.host(board)); }
    std::string header() const { return std::string(reinterpret_cast<const char *>(map.get()), sizeof *map); }

    meter::host::TempRoot root;
    std::unique_ptr<mapping> map;
    std::unique_ptr<data_set_t> result;
    processing_set_t ps{};
};

TEST_F(Storage, RecordsGoToTheStartFileThenToTheMidnightFile) {
    ASSERT_TRUE(storage_init(map.get()));
    loads(1, {5, 12});
    meter::host::clock_set(kStart + 300);
    store();
    meter::host::clock_set(kStart + 600);
    store();
    for (uint32_t id : {5u, 12u}) {
        SCOPED_TRACE("load " + std::to_string(id));
        const std::string p = file(1, id, kStart);
        const std::string b = root.get(p);
        ASSERT_EQ(b.size(), kHeader + 2 * kRecord);
        EXPECT_TRUE(b.substr(0, kHeader) == header());
        EXPECT_TRUE(exists(p + "_flag"));
        EXPECT_FALSE(exists(p + "_bu"));
        const size_t slot = id == 5 ? 0 : 1;
        for (size_t n = 0; n < 2; ++n) {
            const size_t r = kHeader + n * kRecord;
            EXPECT_EQ(get<uint32_t>(b, r + 0), static_cast<uint32_t>(kStart + 300 * (n + 1)));
            EXPECT_EQ(get<uint32_t>(b, r + 4), 0u);
            EXPECT_EQ(get<uint32_t>(b, r + 8), 1u);
            EXPECT_EQ(get<uint32_t>(b, r + 12), 0u);
            EXPECT_EQ(get<uint64_t>(b, r + 16), 0x1122334455667788ull);
            EXPECT_EQ(get<uint64_t>(b, r + 24), 0x99aabbccddeeff00ull);
            EXPECT_EQ(get<uint32_t>(b, r + 32), 0x03u) << "the low byte of the flags, then zero padding";
            EXPECT_EQ(get<float>(b, r + 36), 300.0f);
            EXPECT_EQ(get<float>(b, r + 40), 50.01f);
            EXPECT_EQ(get<float>(b, r + 44), 0.5f);
            EXPECT_EQ(std::memcmp(b.data() + r + 48, &result->set_u, 188), 0);
            EXPECT_EQ(get<float>(b, r + 48 + 60 + 12), 230.5f);  // u[1].rms_ln
            EXPECT_EQ(get<uint32_t>(b, r + 236), 0u);
            EXPECT_EQ(get<uint32_t>(b, r + 240), id);
            EXPECT_EQ(get<float>(b, r + 240 + 8 + 2 * 304 + 20), 10.0f + slot);  // i[2].rms
            EXPECT_EQ(get<double>(b, r + 240 + 920 + 24), 1000.0 + slot);      // p.wh
            EXPECT_EQ(std::memcmp(b.data() + r + 240, &result->sets_i[slot], 1168), 0);
        }
    }
    EXPECT_FALSE(exists(file(0, 5, kStart))) << "set 0 has no result";
    // The first result after midnight starts a file named by that midnight.
    meter::host::clock_set(kMidnight - 1);
    store();
    meter::host::clock_set(kMidnight + 60);
    store();
    EXPECT_EQ(root.get(file(1, 5, kStart)).size(), kHeader + 3 * kRecord);
    const std::string b = root.get(file(1, 5, kMidnight));
    ASSERT_EQ(b.size(), kHeader + kRecord);
    EXPECT_EQ(get<uint32_t>(b, kHeader), static_cast<uint32_t>(kMidnight + 60));
    EXPECT_EQ(storage_current_path(1, 12), file(1, 12, kMidnight));
}

// Times past 2038 and past the record's u32 (February 2106): the file is
// named by the whole time, the record's time stays at the field's last
// second instead of wrapping, and records stamped alike still follow each
// other (by their end tick) when the file is checked again.
TEST_F(Storage, TimesPast2038And2106) {
    struct Case {
        const char *name;
        time_t start;
        uint32_t first, second;  // the two records' time fields
    } const cases[] = {
        {"2038, the signed 32-bit end", 2147483647 - 300, 2147483647, 2147483647u + 300},
        {"2100", 4102444800, 4102445100u, 4102445400u},
        {"last second of the field, 2106", 4294967295 - 600, 4294967295u - 300, 4294967295u},
        {"past 2106", 4294967295 - 300, 4294967295u, 4294967295u},
        {"2200", 7258118400, 4294967295u, 4294967295u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root.host("/data"));
        meter::host::clock_set(c.start);
        ASSERT_TRUE(storage_init(map.get()));
        loads(0, {3});
        meter::host::clock_set(c.start + 300);
        store();
        result->ts_end += 1000;
        meter::host::clock_set(c.start + 600);
        store();
        const std::string p = file(0, 3, c.start);
        EXPECT_EQ(storage_current_path(0, 3), p);
        ASSERT_TRUE(storage_repair(p));
        const std::string b = root.get(p);
        ASSERT_EQ(b.size(), kHeader + 2 * kRecord) << "both records kept";
        EXPECT_EQ(get<uint32_t>(b, kHeader), c.first);
        EXPECT_EQ(get<uint32_t>(b, kHeader + kRecord), c.second);
    }
    EXPECT_EQ(sys_time_u32(-5), 0u) << "before the epoch";
}

// Local midnight in the zone of /config/timezone, across both changes of
// daylight saving, converted from the zone's own file.
TEST_F(Storage, NextDayIsLocalMidnightOfTheMetersZone) {
    const fs::path zone = "/usr/share/zoneinfo/Europe/Berlin";
    if (!fs::exists(zone)) {
        GTEST_SKIP() << "no time-zone database on this machine";
    }
    fs::create_directories(root.host("/usr/share/zoneinfo/Europe"));
    fs::copy_file(zone, root.host("/usr/share/zoneinfo/Europe/Berlin"));
    struct Case {
        const char *zone_text;
        time_t now;
        time_t next;
    } const cases[] = {
        {nullptr, kStart, kMidnight},                      // no file: UTC
        {"Europe/Berlin\n", kStart, 1773183600},           // 2026-03-10 23:00 UTC
        {"Europe/Berlin", 1774785600, 1774821600},         // DST begins on the 29th: 22:00 UTC
        {"Europe/Berlin", 1792929600, 1792969200},         // DST ends on the 25th: 23:00 UTC
        {"  UTC  ", kMidnight - 1, kMidnight},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.zone_text ? c.zone_text : "(none)") + " at " + std::to_string(c.now));
        fs::remove(root.host("/config/timezone"));
        if (c.zone_text != nullptr) {
            root.put("/config/timezone", c.zone_text);
        }
        time_t next = 0;
        ASSERT_TRUE(storage_next_day(c.now, &next));
        EXPECT_EQ(next, c.next);
    }
}

TEST_F(Storage, ChangedTimeZoneFileStartsNewFiles) {
    root.put("/config/timezone", "UTC\n");
    ASSERT_TRUE(storage_init(map.get()));
    loads(0, {1, 2});
    meter::host::clock_set(kStart + 300);
    store();
    fs::last_write_time(root.host("/config/timezone"), fs::file_time_type::clock::now() + std::chrono::hours(1));
    meter::host::clock_set(kStart + 600);
    store();
    for (uint32_t id : {1u, 2u}) {
        EXPECT_EQ(root.get(file(0, id, kStart)).size(), kHeader + kRecord);
        EXPECT_EQ(root.get(file(0, id, kStart + 600)).size(), kHeader + kRecord);
    }
    // Removing the file is a change too.
    fs::remove(root.host("/config/timezone"));
    meter::host::clock_set(kStart + 900);
    store();
    EXPECT_EQ(root.get(file(0, 1, kStart + 900)).size(), kHeader + kRecord);
}

TEST_F(Storage, CleanUpByAgeAndByCount) {
    // By age: a file named 1000000000 goes once the clock is 61 days past it.
    // Files with a whole header: one without could be removed by recovery.
    const std::string hdr = header();
    const time_t old = 1000000000;
    root.put(file(0, 3, old), hdr);
    root.put(file(0, 3, old) + "_flag", "");
    root.put(file(1, 3, old + 10), hdr);
    meter::host::clock_set(old + STORAGE_MAX_AGE);
    ASSERT_TRUE(storage_init(map.get()));
    EXPECT_TRUE(exists(file(0, 3, old))) << "exactly 61 days old stays";
    meter::host::clock_set(old + STORAGE_MAX_AGE + 1);
    ASSERT_TRUE(storage_init(map.get()));
    EXPECT_FALSE(exists(file(0, 3, old)));
    EXPECT_FALSE(exists(file(0, 3, old) + "_flag"));
    EXPECT_TRUE(exists(file(1, 3, old + 10)));

    // By count: 1100 trend files lose the 100 oldest (with their
    // companions); companions of the others do not count.
    const time_t base = 1600000000;
    for (time_t k = 0; k < 1100; ++k) {
        root.put(file(0, 7, base + k * 300), hdr);
        if (k < 10 || k >= 1000) {
            root.put(file(0, 7, base + k * 300) + "_flag", "");
        }
    }
    meter::host::clock_set(base + 1100 * 300);
    ASSERT_TRUE(storage_init(map.get()));
    size_t trend = 0;
    size_t flags = 0;
    for (const auto &e : fs::directory_iterator(root.host("/data/set_0/7"))) {
        const std::string name = e.path().filename().string();
        (name.find('_') == std::string::npos ? trend : flags) += 1;
    }
    EXPECT_EQ(trend, 1000u);
    EXPECT_EQ(flags, 100u) << "the companions of the removed files go with them";
    EXPECT_FALSE(exists(file(0, 7, base + 99 * 300)));
    EXPECT_TRUE(exists(file(0, 7, base + 100 * 300)));
    EXPECT_TRUE(meter::host::log_has(LOG_INFO, "Too many files in data folder /data/set_0/7. Cleanup"));
}

TEST_F(Storage, FoldersAreSearchable) {
    ASSERT_TRUE(storage_init(map.get()));
    for (const char *f : {"/data/set_0", "/data/set_1/47"}) {
        const auto perms = fs::status(root.host(f)).permissions();
        EXPECT_NE(perms & fs::perms::owner_exec, fs::perms::none) << f;
    }
}

// A bad load id is refused and a load whose file cannot be written does not
// keep the loads after it from theirs.
TEST_F(Storage, BadLoadIdAndFailingLoadLeaveTheOthersWritten) {
    ASSERT_TRUE(storage_init(map.get()));
    loads(0, {48, 2, 3, 4});
    fs::remove_all(root.host("/data/set_0/3"));
    root.put("/data/set_0/3", "a file where the folder should be");
    meter::host::clock_set(kStart + 300);
    store();
    EXPECT_TRUE(meter::host::log_has(LOG_ERR, "Invalid load id 48 in slot 0, no trend record"));
    EXPECT_EQ(root.get(file(0, 2, kStart)).size(), kHeader + kRecord);
    EXPECT_EQ(root.get(file(0, 4, kStart)).size(), kHeader + kRecord);
    EXPECT_FALSE(fs::exists(root.host("/data/set_0/48")));
}

// Files as a crash or power cut may leave them: the file being continued
// (the current one) and another file of the folder (the newest at start-up,
// or swept when a new file starts). Each ends as a header and good records,
// nothing good lost: a torn or zero-filled tail, or a record that does not
// come after the one before it, is cut off.
TEST_F(Storage, TornAndHalfAppendedFilesAreRepaired) {
    const std::string hdr = header();
    auto records = [&](int n) {
        std::string r;
        for (int k = 0; k < n; ++k) {
            std::string one(kRecord, static_cast<char>('A' + k));
            r += one;
        }
        return r;
    };
    struct Case {
        const char *name;
        std::string file;
        std::string backup;  // "" for none
        bool flag;
        size_t keep;  // whole records that must remain
    } const cases[] = {
        {"torn header", hdr.substr(0, 5000), "", false, 0},
        {"empty file", "", "", false, 0},
        {"flag beside a torn header", hdr.substr(0, 5000), "", true, 0},
        {"torn record", hdr + records(2) + std::string(700, 'z'), "", true, 2},
        {"backup without flag", hdr + records(2) + std::string(700, 'z'), hdr + records(2), false, 2},
        {"flag beside a torn file", hdr + records(1) + std::string(100, 'z'), "", true, 1},
        {"backup longer than its file", hdr + records(1), hdr + records(3) + "tail", false, 3},
        {"backup with a torn header", hdr + records(1), hdr.substr(0, 10), false, 1},
        {"zero-filled first record", hdr + std::string(kRecord, '\0'), "", true, 0},
        {"zero-filled tail", hdr + records(2) + std::string(2 * kRecord, '\0'), "", true, 2},
        {"zero-filled torn tail", hdr + records(2) + std::string(kRecord + 500, '\0'), "", true, 2},
        {"record older than the one before", hdr + records(3) + records(1), "", true, 3},
        {"backup with a zero-filled tail", hdr + records(1), hdr + records(2) + std::string(kRecord, '\0'), false,
         2},
    };
    for (const Case &c : cases) {
        for (bool continued : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (continued ? ", continued file" : ", other file of the folder"));
            fs::remove_all(root.host("/data"));
            meter::host::log_clear();
            const time_t name_time = continued ? kStart : kStart - 86400;
            const std::string p = file(0, 6, name_time);
            root.put(p, c.file);
            if (!c.backup.empty()) {
                root.put(p + "_bu", c.backup);
            }
            if (c.flag) {
                root.put(p + "_flag", "");
            }
            meter::host::clock_set(kStart);
            ASSERT_TRUE(storage_init(map.get()));
            loads(0, {6});
            meter::host::clock_set(kStart + 300);
            store();
            const std::string b = root.get(p);
            const size_t own = continued ? 1 : 0;
            if (!continued && c.keep == 0) {
                if (c.file.size() < kHeader) {
                    EXPECT_FALSE(exists(p)) << "a file without a whole header is removed";
                    EXPECT_FALSE(exists(p + "_flag"));
                } else {
                    EXPECT_TRUE(b == hdr) << "no record, and the header kept";
                }
                continue;
            }
            ASSERT_EQ(b.size(), kHeader + (c.keep + own) * kRecord);
            if (c.keep > 0) {
                EXPECT_TRUE(b.substr(0, kHeader + c.keep * kRecord) == hdr + records(static_cast<int>(c.keep)));
            } else {
                EXPECT_TRUE(b.substr(0, kHeader) == hdr);
            }
            if (continued) {
                EXPECT_EQ(get<uint32_t>(b, kHeader + c.keep * kRecord), static_cast<uint32_t>(kStart + 300));
            } else {
                EXPECT_EQ(root.get(file(0, 6, kStart)).size(), kHeader + kRecord);
            }
            EXPECT_TRUE(exists(p + "_flag"));
            EXPECT_FALSE(exists(p + "_bu"));
        }
    }
}

// Another file's flag is left alone when a new file starts.
TEST_F(Storage, RecoveryTouchesOnlyTheFileConcerned) {
    const std::string other = file(0, 6, kStart - 86400);
    const std::string whole = header() + std::string(kRecord, 'r');
    root.put(other, whole);
    root.put(other + "_flag", "");
    ASSERT_TRUE(storage_init(map.get()));
    loads(0, {6});
    meter::host::clock_set(kStart + 300);
    store();
    EXPECT_TRUE(exists(other + "_flag"));
    EXPECT_TRUE(root.get(other) == whole);
}

// A crash or power cut at every step of an append, then either the same
// run going on with the same file or a restart with a new file: every
// earlier record intact, the interrupted one whole or absent, the records
// after it aligned.
TEST_F(Storage, CrashAndPowerCutAtEveryStepOfAnAppend) {
    for (Mode mode : {Mode::crash, Mode::power_cut}) {
        for (bool restart : {false, true}) {
            bool completed = false;
            for (uint64_t step = 0; !completed && step < 200; ++step) {
                SCOPED_TRACE(std::string(mode == Mode::crash ? "crash" : "power cut") +
                             (restart ? ", restart" : ", same run") + " at step " + std::to_string(step));
                fs::remove_all(root.host("/data"));
                meter::host::clock_set(kStart);
                ASSERT_TRUE(storage_init(map.get()));
                loads(0, {6, 9});
                meter::host::clock_set(kStart + 300);
                store();
                meter::host::clock_set(kStart + 600);
                store();
                const std::string p = file(0, 9, kStart);
                const std::string before = root.get(p);
                ASSERT_EQ(before.size(), kHeader + 2 * kRecord);
                meter::host::reset();  // all of it is durable now
                meter::host::fault_arm(step, mode);
                meter::host::clock_set(kStart + 900);
                store();
                completed = !meter::host::fault_fired();
                meter::host::fault_disarm();
                if (restart) {
                    meter::host::clock_set(kStart + 1000);
                    ASSERT_TRUE(storage_init(map.get()));
                }
                meter::host::clock_set(kStart + 1200);
                store();
                for (uint32_t id : {6u, 9u}) {
                    SCOPED_TRACE("load " + std::to_string(id));
                    const std::string b = root.get(file(0, id, kStart));
                    ASSERT_GE(b.size(), kHeader + 2 * kRecord);
                    ASSERT_EQ((b.size() - kHeader) % kRecord, 0u) << b.size();
                    EXPECT_TRUE(b.substr(0, kHeader) == header());
                    std::vector<uint32_t> times;
                    for (size_t at = kHeader; at < b.size(); at += kRecord) {
                        times.push_back(get<uint32_t>(b, at));
                        EXPECT_EQ(get<uint32_t>(b, at + 240), id);
                    }
                    std::vector<uint32_t> want{uint32_t(kStart + 300), uint32_t(kStart + 600)};
                    const bool has_900 = times.size() > 2 && times[2] == kStart + 900;
                    if (has_900 || completed) {
                        want.push_back(kStart + 900);
                    }
                    if (!restart) {
                        want.push_back(kStart + 1200);
                    }
                    EXPECT_EQ(times, want);
                    if (id == 9) {
                        EXPECT_TRUE(b.substr(0, before.size()) == before);
                    }
                    const std::string p_id = file(0, id, kStart);
                    EXPECT_TRUE(exists(p_id + "_flag"));
                    EXPECT_FALSE(exists(p_id + "_bu"));
                    if (restart) {
                        EXPECT_EQ(root.get(file(0, id, kStart + 1000)).size(), kHeader + kRecord);
                    }
                }
            }
            EXPECT_TRUE(completed) << "an append ends within 200 steps";
        }
    }
}

// A run that starts in the second the last one started continues its files;
// one whose mapping changed puts its records in a new file under its own
// header, so no file mixes two mappings.
TEST_F(Storage, ContinuedFileKeepsOneMapping) {
    for (bool changed : {false, true}) {
        SCOPED_TRACE(changed ? "mapping changed" : "same mapping");
        fs::remove_all(root.host("/data"));
        map->version = 7;
        meter::host::clock_set(kStart);
        ASSERT_TRUE(storage_init(map.get()));
        loads(0, {4});
        meter::host::clock_set(kStart + 300);
        store();
        const std::string first_header = header();
        if (changed) {
            map->version = 8;
        }
        meter::host::clock_set(kStart);
        ASSERT_TRUE(storage_init(map.get()));
        meter::host::clock_set(kStart + 600);
        store();
        const std::string b = root.get(file(0, 4, kStart));
        EXPECT_TRUE(b.substr(0, kHeader) == first_header);
        if (!changed) {
            ASSERT_EQ(b.size(), kHeader + 2 * kRecord);
            EXPECT_FALSE(exists(file(0, 4, kStart + 600)));
            continue;
        }
        ASSERT_EQ(b.size(), kHeader + kRecord);
        const std::string n = root.get(file(0, 4, kStart + 600));
        ASSERT_EQ(n.size(), kHeader + kRecord);
        EXPECT_TRUE(n.substr(0, kHeader) == header());
        EXPECT_EQ(get<uint32_t>(n, kHeader), static_cast<uint32_t>(kStart + 600));
        EXPECT_TRUE(exists(file(0, 4, kStart + 600) + "_flag"));
        meter::host::clock_set(kStart + 900);
        store();
        EXPECT_EQ(root.get(file(0, 4, kStart + 600)).size(), kHeader + 2 * kRecord) << "the new file is continued";
    }
}

// An append costs the record and one fsync of its file; only a new file
// costs its header, its flag and a fsync of its folder. Nothing is copied.
TEST_F(Storage, AnAppendWritesOnlyItsRecord) {
    ASSERT_TRUE(storage_init(map.get()));
    loads(0, {2, 3});
    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        meter::host::io_clear();
        meter::host::clock_set(kStart + 300 * n);
        store();
        const auto io = meter::host::io_counts();
        uint64_t bytes = 0;
        uint64_t syncs = 0;
        for (const auto &[path, counts] : io) {
            bytes += counts.bytes;
            syncs += counts.syncs;
        }
        const bool fresh = n == 1;
        EXPECT_EQ(bytes, 2 * (kRecord + (fresh ? kHeader : 0)));
        EXPECT_EQ(syncs, fresh ? 4u : 2u);
    }
}

}  // namespace
