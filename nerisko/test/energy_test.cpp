// Energy registers, the energy file and its recovery after crashes and power
// cuts at every step of a save, and the minute and five-minute results.

#include "nerisko/agg.h"
#include "nerisko/agg_internal.h"
#include "nerisko/event.h"
#include "nerisko/stats.h"
#include "temp_root.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

namespace {

using meter::host::Mode;

constexpr size_t kImage = 56312;

double get_double(const std::string &bytes, size_t offset) {
    double d = 0;
    std::memcpy(&d, bytes.data() + offset, sizeof d);
    return d;
}
uint32_t get_u32(const std::string &bytes, size_t offset) {
    uint32_t v = 0;
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

// Registers all set from one base value: register e of CT j of slot L is
// base + L + j / 4 + e / 64, of the load totals base + L + e / 64 + 0.9.
void fill_registers(avg_buf_t *a, double base) {
    for (uint32_t l = 0; l < 48; ++l) {
        for (uint32_t j = 0; j < 3; ++j) {
            data_double_t *r = &a->data.sets_i[l].i[j].wh;
            for (uint32_t e = 0; e < AGG_ENERGY_REGISTERS; ++e) {
                r[e].value = base + l + j / 4.0 + e / 64.0;
            }
        }
        data_double_t *r = &a->data.sets_i[l].p.wh;
        for (uint32_t e = 0; e < AGG_ENERGY_REGISTERS; ++e) {
            r[e].value = base + l + e / 64.0 + 0.9;
        }
    }
}

// Whether every register of a was filled from base (no mix of two saves).
bool registers_from(const avg_buf_t &a, double base) {
    avg_buf_t want{};
    fill_registers(&want, base);
    for (uint32_t l = 0; l < 48; ++l) {
        for (uint32_t j = 0; j < 3; ++j) {
            if (std::memcmp(&a.data.sets_i[l].i[j].wh, &want.data.sets_i[l].i[j].wh,
                            AGG_ENERGY_REGISTERS * sizeof(data_double_t)) != 0) {
                return false;
            }
        }
        if (std::memcmp(&a.data.sets_i[l].p.wh, &want.data.sets_i[l].p.wh,
                        AGG_ENERGY_REGISTERS * sizeof(data_double_t)) != 0) {
            return false;
        }
    }
    return true;
}

bool all_zero(const avg_buf_t &a) {
    avg_buf_t zero{};
    agg_copy_energy(&a, &zero);
    zero.reserved_word = 0;
    const avg_buf_t empty{};
    return std::memcmp(&zero, &empty, sizeof zero) == 0;
}

class Energy : public ::testing::Test {
protected:
    void SetUp() override {
        setlogmask(LOG_UPTO(LOG_DEBUG));
        agg_forget_failed_saves();
        std::filesystem::create_directories(root.host("/data"));
    }
    void TearDown() override {
        meter::host::fault_disarm();
        agg_forget_failed_saves();
    }
    void save(double base) {
        avg_buf_t a{};
        fill_registers(&a, base);
        ASSERT_TRUE(agg_save_energy(&a, 0));
    }
    // A fresh start: agg_init as the program runs it at start-up.
    const avg_buf_t &restart() {
        meter::host::fault_disarm();
        agg_forget_failed_saves();
        agg_init();
        return five_cycle_avg_buf[0];
    }
    // Whether the file is one whole image whose registers are all from base.
    bool file_holds(double base, const char *path = "/data/energy_set_0") const {
        const std::string f = root.get(path);
        avg_buf_t b{};
        if (f.size() != kImage) {
            return false;
        }
        std::memcpy(&b, f.data(), kImage);
        return registers_from(b, base);
    }
    meter::host::TempRoot root;
};

// A second of -100 W on one CT and +300 W on another of the same load, and
// the reactive registers by quadrant (0 reaches none of them).
TEST_F(Energy, OneSecondIncrements) {
    struct Case {
        uint8_t quadrant;
        int reg;  // the quadrant register that takes |Q|, -1 for none
    } const cases[] = {{0, -1}, {1, 10}, {2, 9}, {3, 8}, {4, 7}, {5, -1}};
    for (const Case &c : cases) {
        SCOPED_TRACE("quadrant " + std::to_string(c.quadrant));
        avg_buf_t a{};
        data_i_set &l = a.data.sets_i[5];
        l.i[0].w.value = -100.0f;
        l.i[0].va.value = 120.0f;
        l.i[0].var.value = -40.0f;
        l.i[0].var_quadrant = c.quadrant;
        l.i[1].w.value = 300.0f;
        l.i[1].va.value = 360.0f;
        l.i[1].var.value = 72.0f;
        l.i[1].var_quadrant = c.quadrant;
        agg_advance_energy(&a);
        const double h = 3600.0;
        EXPECT_DOUBLE_EQ(l.p.wh_out.value, 100.0f / 3600.0f);
        EXPECT_DOUBLE_EQ(l.p.wh_in.value, 300.0f / 3600.0f);
        EXPECT_NEAR(l.p.wh.value, 200.0 / h, 1e-7);
        EXPECT_NEAR(l.p.vah.value, 480.0 / h, 1e-7);
        EXPECT_DOUBLE_EQ(l.p.vah_in.value, 360.0f / 3600.0f);
        EXPECT_DOUBLE_EQ(l.p.vah_out.value, 120.0f / 3600.0f);
        EXPECT_NEAR(l.p.varh.value, 32.0 / h, 1e-7);
        EXPECT_DOUBLE_EQ(l.i[0].wh.value, -100.0f / 3600.0f);
        EXPECT_DOUBLE_EQ(l.i[0].wh_in.value, 0.0);
        EXPECT_DOUBLE_EQ(l.i[1].wh_out.value, 0.0);
        const data_double_t *p = &l.p.wh;
        for (int e = 7; e <= 10; ++e) {
            EXPECT_NEAR(p[e].value, e == c.reg ? 112.0 / h : 0.0, 1e-7) << "register " << e;
        }
        EXPECT_EQ(a.data.sets_i[4].p.wh.value, 0.0) << "other slots untouched";
    }
}

// The file's bytes at their offsets, read by the test itself.
TEST_F(Energy, FileLayout) {
    avg_buf_t a{};
    fill_registers(&a, 1000.0);
    a.reserved_word = 0xA5A5A5A5;
    a.data.sets_i[3].i[1].w.value = 55.0f;  // not an energy: not in the file
    a.weight = 9.0f;
    ASSERT_TRUE(agg_save_energy(&a, 1));
    const std::string f = root.get("/data/energy_set_1");
    ASSERT_EQ(f.size(), kImage);
    EXPECT_EQ(get_u32(f, 0), 0xA5A5A5A5u);
    std::string expected(kImage, '\0');
    std::memcpy(expected.data(), &a.reserved_word, 4);
    for (size_t l = 0; l < 48; ++l) {
        for (size_t j = 0; j < 3; ++j) {
            for (size_t e = 0; e < 11; ++e) {
                const double v = 1000.0 + l + j / 4.0 + e / 64.0;
                ASSERT_EQ(get_double(f, 344 + 1168 * l + 304 * j + 16 * e), v) << l << " " << j << " " << e;
                std::memcpy(expected.data() + 344 + 1168 * l + 304 * j + 16 * e, &v, 8);
            }
        }
        for (size_t e = 0; e < 11; ++e) {
            const double v = 1000.0 + l + e / 64.0 + 0.9;
            ASSERT_EQ(get_double(f, 1184 + 1168 * l + 16 * e), v) << l << " " << e;
            std::memcpy(expected.data() + 1184 + 1168 * l + 16 * e, &v, 8);
        }
    }
    EXPECT_TRUE(f == expected) << "every other byte is 0";
    EXPECT_TRUE(std::filesystem::exists(root.host("/data/energy_set_flag1")));

    // A loaded file gives back the registers and the reserved word, nothing else.
    const avg_buf_t &b = (agg_init(), five_cycle_avg_buf[1]);
    EXPECT_TRUE(registers_from(b, 1000.0));
    EXPECT_EQ(b.reserved_word, 0xA5A5A5A5u);
    EXPECT_EQ(b.data.sets_i[3].i[1].w.value, 0.0f);
    EXPECT_EQ(b.data.ts_begin, 0u);
}

enum class Start { no_files, all_good, flag_missing, backup_missing };

const char *name_of(Start s) {
    switch (s) {
    case Start::no_files: return "no files";
    case Start::all_good: return "all three good";
    case Start::flag_missing: return "flag missing";
    case Start::backup_missing: return "backup missing";
    }
    return "";
}

// From each starting state, a crash or a power cut at every step of a save.
// After the restart the registers are all those of one save, the old one or
// the new one, never a mix; never older than the last save whose image
// reached the energy file whole (the backup is a save older still: taking it
// then would cost two minutes instead of one); and once the new image is in
// the file, the new one. What a start goes on from stays when the power
// goes right after it.
TEST_F(Energy, CrashAndPowerCutAtEveryStepOfASave) {
    for (Start start : {Start::no_files, Start::all_good, Start::flag_missing, Start::backup_missing}) {
        for (Mode mode : {Mode::crash, Mode::power_cut}) {
            bool completed = false;
            for (uint64_t step = 0; !completed && step < 100; ++step) {
                SCOPED_TRACE(std::string(name_of(start)) + (mode == Mode::crash ? ", crash" : ", power cut") +
                             " at step " + std::to_string(step));
                std::filesystem::remove_all(root.host("/data"));
                std::filesystem::create_directories(root.host("/data"));
                agg_forget_failed_saves();
                // The last save whose image reached the file: 20 (a flag
                // missing is a kill after the file's rewrite of that save).
                double last_saved = 0.0;
                if (start != Start::no_files) {
                    save(10.0);
                    save(20.0);  // the backup now holds 10, the file 20
                    last_saved = 20.0;
                    if (start == Start::flag_missing) {
                        std::filesystem::remove(root.host("/data/energy_set_flag0"));
                    } else if (start == Start::backup_missing) {
                        std::filesystem::remove(root.host("/data/energy_set_bu0"));
                    }
                    ASSERT_TRUE(registers_from(restart(), last_saved)) << "the starting state alone";
                }
                meter::host::reset();  // everything on disk now counts as durable
                avg_buf_t next{};
                fill_registers(&next, 30.0);
                meter::host::fault_arm(step, mode);
                agg_save_energy(&next, 0);
                completed = !meter::host::fault_fired();
                meter::host::fault_disarm();
                const bool new_in_file = file_holds(30.0);
                avg_buf_t after{};
                std::memcpy(&after, &restart(), sizeof after);
                const bool is_new = registers_from(after, 30.0);
                if (start == Start::no_files) {
                    EXPECT_TRUE(is_new || all_zero(after));
                } else {
                    EXPECT_TRUE(is_new || registers_from(after, last_saved))
                        << "the new save or the last one that reached the file";
                }
                if (new_in_file || completed) {
                    EXPECT_TRUE(is_new) << "the new image was whole in the file";
                }
                meter::host::power_cut();
                EXPECT_EQ(std::memcmp(&restart(), &after, sizeof after), 0) << "a power cut after the start";
            }
            EXPECT_TRUE(completed) << "the save ends within 100 steps";
        }
    }
}

// The demand file is replaced without a fsync of its folder: the energy save
// after it makes it durable. A crash or power cut at any step of a minute's
// demand write and the save that follows leaves the peaks of that minute or
// of the minute before, never less than what was durable.
TEST_F(Energy, DemandFileUnderCrashesAndPowerCuts) {
    static data_set_t r;
    auto minute = [](float w) {
        std::memset(&r, 0, sizeof r);
        r.sets_i[0].i[0].w.value = w;
        event_data_t ev{nullptr, &r};
        stats_collect_demand(&ev);
    };
    ASSERT_EQ(stats_get_window(), 15);
    for (Mode mode : {Mode::crash, Mode::power_cut}) {
        bool completed = false;
        for (uint64_t step = 0; !completed && step < 100; ++step) {
            SCOPED_TRACE(std::string(mode == Mode::crash ? "crash" : "power cut") + " at step " +
                         std::to_string(step));
            std::filesystem::remove_all(root.host("/data"));
            std::filesystem::create_directories(root.host("/data"));
            agg_forget_failed_saves();
            stats_init();
            for (int m = 0; m < 15; ++m) {
                minute(100.0f);  // demand and peak 100 W
            }
            save(10.0);
            meter::host::reset();
            meter::host::fault_arm(step, mode);
            minute(1600.0f);  // (14 * 100 + 1600) / 15: 200 W
            avg_buf_t next{};
            fill_registers(&next, 20.0);
            agg_save_energy(&next, 0);
            completed = !meter::host::fault_fired();
            meter::host::fault_disarm();
            stats_init();
            const float peak = stats_get_peak_demand(0, 0, 0);
            EXPECT_TRUE(peak == 100.0f || peak == 200.0f) << peak;
            if (completed) {
                EXPECT_EQ(peak, 200.0f);
            }
            meter::host::power_cut();
            meter::host::fault_disarm();
            stats_init();
            const float kept = stats_get_peak_demand(0, 0, 0);
            EXPECT_GE(kept, 100.0f) << "what was durable stays";
            if (completed) {
                EXPECT_EQ(kept, 200.0f) << "the energy save made the new peaks durable";
            }
        }
        EXPECT_TRUE(completed);
    }
}

// A save that fails at any step is made again at the next closed second,
// not a minute later: the file is never more than one save behind.
TEST_F(Energy, FailedSaveIsMadeAgainAtTheNextSecond) {
    bool failed_any = false;
    bool completed = false;
    for (uint64_t step = 0; !completed && step < 100; ++step) {
        SCOPED_TRACE("failure at step " + std::to_string(step));
        std::filesystem::remove_all(root.host("/data"));
        std::filesystem::create_directories(root.host("/data"));
        restart();
        avg_buf_t &a = five_cycle_avg_buf[0];
        for (int second = 1; second < 60; ++second) {
            fill_registers(&a, second);
            agg_energy_second_closed(&a, 0);
        }
        fill_registers(&a, 60);
        meter::host::fault_arm(step, Mode::once);
        agg_energy_second_closed(&a, 0);
        completed = !meter::host::fault_fired();
        meter::host::fault_disarm();
        const bool saved = file_holds(60) && std::filesystem::exists(root.host("/data/energy_set_flag0"));
        failed_any = failed_any || !saved;
        fill_registers(&a, 61);
        agg_energy_second_closed(&a, 0);
        EXPECT_TRUE(file_holds(61) || (saved && file_holds(60))) << "saved again when the first did not land";
        EXPECT_TRUE(std::filesystem::exists(root.host("/data/energy_set_flag0")));
    }
    EXPECT_TRUE(completed);
    EXPECT_TRUE(failed_any) << "some step's failure fails the save";
}

// Files that must not be taken: registers that are not numbers, a file cut
// short or longer than the image, and a file whose rising-only registers are
// below its backup's; the backup then stands in for them. Without the flag
// the file must also hold nothing but registers (a rewrite in place by an
// earlier program, cut short, leaves bytes out of place).
TEST_F(Energy, UnusableFilesAreRefused) {
    struct Case {
        const char *name;
        void (*spoil)(std::string &file);
        bool backup_taken;          // with the flag
        bool backup_taken_no_flag;  // without it
    } const cases[] = {
        {"not a number",
         [](std::string &f) {
             const double nan = std::numeric_limits<double>::quiet_NaN();
             std::memcpy(f.data() + 344 + 16 * 3, &nan, 8);
         },
         true, true},
        {"infinite",
         [](std::string &f) {
             const double inf = std::numeric_limits<double>::infinity();
             std::memcpy(f.data() + 1184 + 1168 * 47, &inf, 8);
         },
         true, true},
        {"short", [](std::string &f) { f.resize(kImage - 1); }, true, true},
        {"long", [](std::string &f) { f.push_back('\0'); }, true, true},
        {"wh_in below the backup's",
         [](std::string &f) {
             const double less = 1.0;
             std::memcpy(f.data() + 1184 + 16 * 3, &less, 8);
         },
         true, true},
        {"a block of zeros", [](std::string &f) { std::memset(f.data() + 4096, 0, 4096); }, true, true},
        {"wh (signed) below the backup's",
         [](std::string &f) {
             const double less = -5.0;
             std::memcpy(f.data() + 1184, &less, 8);
         },
         false, false},
        {"a byte out of place", [](std::string &f) { f[352 + 1168 * 7] = 1; }, false, true},
        {"untouched", [](std::string &) {}, false, false},
    };
    for (const Case &c : cases) {
        for (bool flag : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (flag ? "" : ", no flag"));
            std::filesystem::remove_all(root.host("/data"));
            std::filesystem::create_directories(root.host("/data"));
            save(10.0);
            save(20.0);
            std::string f = root.get("/data/energy_set_0");
            c.spoil(f);
            root.put("/data/energy_set_0", f);
            if (!flag) {
                std::filesystem::remove(root.host("/data/energy_set_flag0"));
            }
            const avg_buf_t &a = restart();
            if (flag ? c.backup_taken : c.backup_taken_no_flag) {
                EXPECT_TRUE(registers_from(a, 10.0));
                EXPECT_TRUE(meter::host::log_has("Energy file created from backup file - /data/energy_set_0"));
                EXPECT_EQ(root.get("/data/energy_set_0").size(), kImage) << "the file is whole again";
            } else {
                EXPECT_EQ(a.data.sets_i[0].p.wh.value, get_double(f, 1184)) << "the file is taken";
                EXPECT_EQ(a.data.sets_i[5].p.wh_in.value, get_double(f, 1184 + 1168 * 5 + 16 * 3));
            }
            meter::host::log_clear();
        }
    }
}

// Without any file the registers start at 0 and the first save writes the
// file and its flag; a second save also writes the backup.
TEST_F(Energy, NoFilesThenFirstSaves) {
    const avg_buf_t &a = restart();
    EXPECT_TRUE(all_zero(a));
    EXPECT_TRUE(meter::host::log_has(LOG_ERR, "Flag file does not exist - /data/energy_set_flag0"));
    EXPECT_TRUE(meter::host::log_has(LOG_ERR, "Backup file does not exist - /data/energy_set_bu0"));
    save(1.0);
    EXPECT_TRUE(std::filesystem::exists(root.host("/data/energy_set_0")));
    EXPECT_TRUE(std::filesystem::exists(root.host("/data/energy_set_flag0")));
    EXPECT_FALSE(std::filesystem::exists(root.host("/data/energy_set_bu0")));
    save(2.0);
    EXPECT_EQ(root.get("/data/energy_set_bu0").size(), kImage);
    EXPECT_TRUE(file_holds(1.0, "/data/energy_set_bu0"));
}

// A restart of the chain after saves that failed keeps the registers it
// has: the file is behind them.
TEST_F(Energy, RestartAfterFailedSavesKeepsRegisters) {
    save(5.0);
    avg_buf_t a{};
    fill_registers(&a, 6.0);
    std::memcpy(&five_cycle_avg_buf[0], &a, sizeof a);
    meter::host::fault_arm(0, Mode::crash);  // the disk refuses from now on
    EXPECT_FALSE(agg_save_energy(&five_cycle_avg_buf[0], 0));
    agg_init();
    EXPECT_TRUE(registers_from(five_cycle_avg_buf[0], 6.0));
}

// The registers reach the file once a minute of closed seconds, and at
// once where a restart, an EX stop or a clean stop would otherwise lose what
// they gained since; a billing reset asks for a save at the next second.
TEST_F(Energy, SavedOnceAMinuteAndWheneverTheyWouldBeLost) {
    enum class End { restart, stop, billing_reset };
    for (End end : {End::restart, End::stop, End::billing_reset}) {
        SCOPED_TRACE(static_cast<int>(end));
        std::filesystem::remove_all(root.host("/data"));
        restart();
        avg_buf_t &a = five_cycle_avg_buf[0];
        for (int second = 1; second <= 59; ++second) {
            fill_registers(&a, second);
            agg_energy_second_closed(&a, 0);
        }
        EXPECT_FALSE(std::filesystem::exists(root.host("/data/energy_set_0"))) << "59 seconds: no save yet";
        fill_registers(&a, 60);
        agg_energy_second_closed(&a, 0);
        EXPECT_TRUE(file_holds(60));
        for (int second = 61; second <= 70; ++second) {
            fill_registers(&a, second);
            agg_energy_second_closed(&a, 0);
        }
        EXPECT_TRUE(file_holds(60));
        switch (end) {
        case End::restart:
            agg_init();
            EXPECT_TRUE(registers_from(five_cycle_avg_buf[0], 70)) << "nothing lost over the restart";
            break;
        case End::stop:
            agg_energy_stop();
            break;
        case End::billing_reset:
            stats_reset_peak_demand();
            fill_registers(&a, 71);
            agg_energy_second_closed(&a, 0);
            EXPECT_TRUE(file_holds(71));
            fill_registers(&a, 72);
            agg_energy_second_closed(&a, 0);
            EXPECT_TRUE(file_holds(71)) << "one save asked, one made";
            continue;
        }
        EXPECT_TRUE(file_holds(70));
        EXPECT_TRUE(std::filesystem::exists(root.host("/data/energy_set_flag0")));
    }
}

// ---- minute and five-minute results ----

std::vector<data_set_t> minutes;
std::vector<data_set_t> fives;
void collect_minute(event_data_t *ev) { minutes.push_back(*ev->data); }
void collect_five(event_data_t *ev) { fives.push_back(*ev->data); }

TEST_F(Energy, MinuteAndFiveMinuteResults) {
    minutes.clear();
    fives.clear();
    agg_init();
    ASSERT_TRUE(event_register(agg_collect_five_minutes, EVENT_MINUTE));
    ASSERT_TRUE(event_register(collect_minute, EVENT_MINUTE));
    ASSERT_TRUE(event_register(collect_five, EVENT_FIVE_MINUTE));
    const uint64_t t0 = 1000;
    static data_set_t r;
    for (uint32_t n = 0; n < 300; ++n) {
        std::memset(&r, 0, sizeof r);
        r.set = 1;
        r.ts_begin = t0 + n * AGG_TICKS_PER_SECOND;
        r.ts_end = r.ts_begin + AGG_TICKS_PER_SECOND;
        r.samples = 12000.0f + static_cast<float>(n % 3);
        r.flags = n == 70 ? DATA_FLAG_DEFAULT_FREQUENCY : 0;
        r.frequency.value = 50.0f;
        r.sets_i[2].i[0].w.value = static_cast<float>(n);  // the mean of a minute is its middle
        r.sets_i[2].p.wh_in.value = 100.0 + n;              // cumulative
        r.sets_i[2].i[1].varh_cap_dis.value = 7.0 * n;
        event_data_t ev{nullptr, &r};
        agg_collect_one_minute(&ev);
    }
    ASSERT_EQ(minutes.size(), 5u);
    ASSERT_EQ(fives.size(), 1u);
    for (uint32_t m = 0; m < 5; ++m) {
        SCOPED_TRACE("minute " + std::to_string(m));
        const data_set_t &d = minutes[m];
        EXPECT_EQ(d.set, 1u);
        EXPECT_EQ(d.ts_begin, t0 + 60 * m * AGG_TICKS_PER_SECOND);
        EXPECT_EQ(d.ts_end, t0 + 60 * (m + 1) * AGG_TICKS_PER_SECOND);
        EXPECT_FLOAT_EQ(d.samples, 60 * 12000.0f + 60.0f);
        EXPECT_EQ(d.flags, m == 1 ? DATA_FLAG_DEFAULT_FREQUENCY : 0u);
        EXPECT_FLOAT_EQ(d.frequency.value, 50.0f);
        EXPECT_FLOAT_EQ(d.sets_i[2].i[0].w.value, 60 * m + 29.5f);
        EXPECT_EQ(d.sets_i[2].p.wh_in.value, 100.0 + 60 * m + 59) << "the registers of its sixtieth second";
        EXPECT_EQ(d.sets_i[2].i[1].varh_cap_dis.value, 7.0 * (60 * m + 59));
    }
    const data_set_t &f = fives[0];
    EXPECT_EQ(f.ts_begin, t0);
    EXPECT_EQ(f.ts_end, t0 + 300 * AGG_TICKS_PER_SECOND);
    EXPECT_FLOAT_EQ(f.samples, 5 * (60 * 12000.0f + 60.0f));
    EXPECT_EQ(f.flags, DATA_FLAG_DEFAULT_FREQUENCY);
    EXPECT_FLOAT_EQ(f.sets_i[2].i[0].w.value, 149.5f);
    EXPECT_EQ(f.sets_i[2].p.wh_in.value, 100.0 + 299);
    event_cleanup();
}

}  // namespace
