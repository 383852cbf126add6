// Demand, peak demand, the billing-cycle reset in the meter's time zone and
// the demand file, with the settings and requests from the velsard stand-in.

#include "nerisko/program.h"
#include "nerisko/stats.h"
#include "temp_root.h"
#include "test_bus.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using velsard_testing::Control;
using velsard_testing::TestBus;
using namespace std::chrono_literals;

template <typename Pred>
bool wait_until(Pred pred) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Seconds since the epoch of a UTC date.
time_t utc(int y, int mo, int d, int h, int mi, int s) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return timegm(&t);
}

float get_float(const std::string &b, size_t offset) {
    float f = 0;
    std::memcpy(&f, b.data() + offset, 4);
    return f;
}

class Demand : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!TestBus::get().velsard_running()) {
            TestBus::get().start_velsard();
        }
    }
    void SetUp() override {
        setlogmask(LOG_UPTO(LOG_DEBUG));
        std::filesystem::create_directories(root.host("/data"));
        // The board's time-zone database, as far as the tests need it.
        std::filesystem::create_directories(root.host("/usr/share/zoneinfo/Europe"));
        std::filesystem::copy_file("/usr/share/zoneinfo/Europe/Berlin", root.host("/usr/share/zoneinfo/Europe/Berlin"));
        ASSERT_EQ(arvent_init(handle_config_change, nullptr), 1);
        setlogmask(LOG_UPTO(LOG_DEBUG));
        meter::host::clock_set(utc(2026, 6, 15, 8, 0, 0));
        device(15, 1, 0);
        ASSERT_EQ(stats_update_config(), 1);
        stats_init();
    }
    void TearDown() override {
        arvent_cleanup();
        meter::host::clock_release();
    }
    void device(uint32_t window, uint32_t day, uint32_t seconds) {
        control.store("device_config", g_variant_new("(uuuuuuuuuuuuuuu)", 0u, 0u, 0u, window, 0u, day, seconds, 0u,
                                                      0u, 0u, 0u, 0u, 0u, 0u, 0u));
    }
    // One minute result of set s whose CT j of slot 2 has w = base * (j + 1).
    void minute(uint32_t s, float base) {
        static data_set_t r;
        std::memset(&r, 0, sizeof r);
        r.set = s;
        for (uint32_t j = 0; j < 3; ++j) {
            r.sets_i[2].i[j].w.value = base * static_cast<float>(j + 1);
        }
        event_data_t ev{nullptr, &r};
        stats_collect_demand(&ev);
    }
    meter::host::TempRoot root;
    Control control;
};

// A window of 15: fourteen minutes of 0, then the mean of fifteen; a window
// changed by the stand-in takes effect at the next minute with the minutes
// already held; windows below 1 are refused and above 60 not taken.
TEST_F(Demand, WindowAndItsChanges) {
    for (int n = 1; n <= 14; ++n) {
        minute(0, static_cast<float>(n));
        ASSERT_EQ(stats_get_demand(0, 2, 0), 0.0f) << "minute " << n;
    }
    minute(0, 15.0f);
    EXPECT_FLOAT_EQ(stats_get_demand(0, 2, 0), 8.0f);  // mean of 1..15
    EXPECT_FLOAT_EQ(stats_get_demand(0, 2, 2), 24.0f);
    EXPECT_FLOAT_EQ(stats_get_demand(0, 2, -1), 48.0f) << "the load is the sum of its CTs";
    EXPECT_FLOAT_EQ(stats_get_peak_demand(0, 2, -1), 48.0f);
    EXPECT_EQ(stats_get_demand(1, 2, 0), 0.0f) << "the other set has no minutes";

    device(5, 1, 0);
    control.emit("NewDeviceConfig");
    ASSERT_TRUE(wait_until([] { return stats_get_window() == 5; }));
    minute(0, 1.0f);  // the window: 12, 13, 14, 15, 1
    EXPECT_FLOAT_EQ(stats_get_demand(0, 2, 0), 11.0f);
    EXPECT_FLOAT_EQ(stats_get_peak_demand(0, 2, 0), 11.0f);
    minute(0, 0.0f);  // 13, 14, 15, 1, 0: the demand falls, the peak stays
    EXPECT_FLOAT_EQ(stats_get_demand(0, 2, 0), 8.6f);
    EXPECT_FLOAT_EQ(stats_get_peak_demand(0, 2, 0), 11.0f);

    struct Case {
        int32_t value;
        int32_t in_force;
        bool refused_line;
    } const cases[] = {{0, 5, true}, {-3, 5, true}, {61, 5, false}, {60, 60, false}, {1, 1, false}};
    for (const Case &c : cases) {
        meter::host::log_clear();
        device(static_cast<uint32_t>(c.value), 1, 0);
        ASSERT_EQ(stats_update_config(), 1);
        EXPECT_EQ(stats_get_window(), c.in_force) << c.value;
        EXPECT_EQ(meter::host::log_count("Setting peak demand window to " + std::to_string(c.in_force) + " minutes"),
                  1u);
        if (c.refused_line) {
            EXPECT_TRUE(meter::host::log_has(LOG_ERR, "Invalid peak demand window " + std::to_string(c.value) +
                                                          ", keeping 5 minutes"));
        }
        minute(0, 2.0f);  // a window of 0 would divide by zero
        EXPECT_TRUE(std::isfinite(stats_get_demand(0, 2, 0)));
    }
}

// The next billing reset by day, time and zone.
TEST_F(Demand, NextResetTime) {
    struct Case {
        const char *name;
        time_t now;
        uint32_t day, seconds;
        const char *zone;  // content of /config/timezone; nullptr: no file
        time_t want;
        uint32_t day_in_force, time_in_force;
    } const cases[] = {
        {"on the 10th at 12:00:00 exactly", utc(2026, 6, 10, 12, 0, 0), 10, 43200, nullptr,
         utc(2026, 6, 10, 12, 0, 0), 10, 43200},
        {"one second later", utc(2026, 6, 10, 12, 0, 1), 10, 43200, nullptr, utc(2026, 7, 10, 12, 0, 0), 10, 43200},
        {"day 28 in December", utc(2026, 12, 29, 0, 0, 0), 28, 0, nullptr, utc(2027, 1, 28, 0, 0, 0), 28, 0},
        {"day 31 becomes 1", utc(2026, 6, 15, 0, 0, 0), 31, 0, nullptr, utc(2026, 7, 1, 0, 0, 0), 1, 0},
        {"a day past 24 hours becomes midnight", utc(2026, 6, 15, 0, 0, 0), 1, 86400, nullptr,
         utc(2026, 7, 1, 0, 0, 0), 1, 0},
        {"zone with a newline", utc(2026, 6, 15, 0, 0, 0), 1, 0, "Europe/Berlin\n", utc(2026, 6, 30, 22, 0, 0), 1,
         0},
        {"empty zone file", utc(2026, 6, 15, 0, 0, 0), 1, 0, "", utc(2026, 7, 1, 0, 0, 0), 1, 0},
        // Now in winter time, the reset in summer time: midnight of the
        // reset date in its own daylight saving.
        {"across daylight saving", utc(2026, 3, 20, 12, 0, 0), 1, 0, "Europe/Berlin", utc(2026, 3, 31, 22, 0, 0), 1,
         0},
        {"back to winter time", utc(2026, 10, 20, 12, 0, 0), 1, 3600, "Europe/Berlin", utc(2026, 11, 1, 0, 0, 0), 1,
         3600},
        // A zone written as a POSIX rule has no file: the C library converts it.
        {"POSIX rule", utc(2026, 3, 20, 12, 0, 0), 1, 0, "CET-1CEST,M3.5.0,M10.5.0/3\n", utc(2026, 3, 31, 22, 0, 0), 1,
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(root.host(STATS_TIMEZONE_PATH));
        if (c.zone != nullptr) {
            root.put(STATS_TIMEZONE_PATH, c.zone);
        }
        meter::host::clock_set(c.now);
        device(15, c.day, c.seconds);
        ASSERT_EQ(stats_update_config(), 1);
        EXPECT_EQ(stats_get_billing_day(), c.day_in_force);
        EXPECT_EQ(stats_get_billing_time(), c.time_in_force);
        time_t t = 0;
        ASSERT_TRUE(stats_get_reset_time(&t));
        EXPECT_EQ(t, c.want) << "got " << t;
        EXPECT_EQ(getenv("TZ"), nullptr) << "the environment is as it was";
    }
}

// At the billing time the next minute resets the peaks of both sets; a
// changed time-zone file moves the billing time at the next minute.
TEST_F(Demand, BillingResetAndZoneChange) {
    device(1, 10, 43200);
    meter::host::clock_set(utc(2026, 6, 10, 11, 59, 0));
    ASSERT_EQ(stats_update_config(), 1);
    minute(0, 100.0f);
    minute(1, 50.0f);
    ASSERT_FLOAT_EQ(stats_get_peak_demand(0, 2, 0), 100.0f);
    meter::host::clock_set(utc(2026, 6, 10, 12, 0, 0));
    minute(0, 10.0f);
    EXPECT_FLOAT_EQ(stats_get_peak_demand(0, 2, 0), 10.0f) << "reset, then this minute's demand";
    EXPECT_EQ(stats_get_peak_demand(1, 2, 0), 0.0f) << "both sets";
    time_t t = 0;
    ASSERT_TRUE(stats_get_reset_time(&t));
    EXPECT_EQ(t, utc(2026, 7, 10, 12, 0, 0));
    meter::host::clock_set(utc(2026, 6, 10, 12, 1, 0));
    minute(0, 5.0f);
    EXPECT_FLOAT_EQ(stats_get_peak_demand(0, 2, 0), 10.0f) << "one reset per billing time";

    root.put(STATS_TIMEZONE_PATH, "Europe/Berlin");
    minute(0, 10.0f);
    ASSERT_TRUE(stats_get_reset_time(&t));
    EXPECT_EQ(t, utc(2026, 7, 10, 10, 0, 0)) << "12:00 of Berlin's summer time";
    std::filesystem::remove(root.host(STATS_TIMEZONE_PATH));
    minute(0, 10.0f);
    ASSERT_TRUE(stats_get_reset_time(&t));
    EXPECT_EQ(t, utc(2026, 7, 10, 12, 0, 0)) << "back to UTC once the file is gone";
}

// The stand-in's request resets every peak; the demands stay.
TEST_F(Demand, PeakResetFromTheStandIn) {
    device(1, 1, 0);
    ASSERT_EQ(stats_update_config(), 1);
    minute(0, 40.0f);
    minute(1, 30.0f);
    control.emit("RequestPeakDemandReset");
    ASSERT_TRUE(wait_until([] { return stats_get_peak_demand(0, 2, 0) == 0.0f; }));
    EXPECT_EQ(stats_get_peak_demand(1, 2, -1), 0.0f);
    EXPECT_FLOAT_EQ(stats_get_demand(0, 2, 0), 40.0f);
    EXPECT_TRUE(meter::host::log_has("Resetting peak demand"));
}

// The file holds the peaks at their offsets and no demands; after a restart
// the peaks go on and the demands start again from 0. A file written before
// a billing time that passed while the meter was off starts without peaks.
TEST_F(Demand, FileKeepsPeaksAcrossRestarts) {
    device(1, 1, 0);
    ASSERT_EQ(stats_update_config(), 1);
    minute(1, 7.0f);
    const std::string f = root.get("/data/stats_set_1");
    ASSERT_EQ(f.size(), 1540u);
    EXPECT_FLOAT_EQ(get_float(f, 4 + 32 * 2), 42.0f) << "load peak";
    EXPECT_EQ(get_float(f, 8 + 32 * 2), 0.0f) << "no demand";
    for (uint32_t j = 0; j < 3; ++j) {
        EXPECT_FLOAT_EQ(get_float(f, 12 + 32 * 2 + 8 * j), 7.0f * (j + 1));
        EXPECT_EQ(get_float(f, 16 + 32 * 2 + 8 * j), 0.0f);
    }
    stats_init();
    EXPECT_FLOAT_EQ(stats_get_peak_demand(1, 2, -1), 42.0f);
    EXPECT_EQ(stats_get_demand(1, 2, -1), 0.0f);

    // Off across the first of July: the file's last write is from June.
    std::filesystem::last_write_time(root.host("/data/stats_set_1"),
                                     std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(
                                         utc(2026, 6, 30, 0, 0, 0))));
    meter::host::clock_set(utc(2026, 7, 2, 0, 0, 0));
    ASSERT_EQ(stats_update_config(), 1);
    stats_init();
    EXPECT_EQ(stats_get_peak_demand(1, 2, -1), 0.0f);

    // A file that is not whole or holds no numbers is not taken.
    std::string bad = f;
    bad.resize(1000);
    root.put("/data/stats_set_0", bad);
    stats_init();
    EXPECT_TRUE(meter::host::log_has("failed load to demand values"));
}

// A crash or power cut at every step of the minute's write leaves the old
// peaks or the new ones.
TEST_F(Demand, CrashAndPowerCutDuringTheWrite) {
    device(1, 1, 0);
    ASSERT_EQ(stats_update_config(), 1);
    for (meter::host::Mode mode : {meter::host::Mode::crash, meter::host::Mode::power_cut}) {
        bool completed = false;
        for (uint64_t step = 0; !completed && step < 50; ++step) {
            SCOPED_TRACE("step " + std::to_string(step));
            stats_init();
            minute(0, 10.0f);  // peak 60
            meter::host::reset();
            meter::host::clock_set(utc(2026, 6, 15, 8, 0, 0));
            stats_reset_peak_demand();
            meter::host::fault_arm(step, mode);
            minute(0, 20.0f);  // peak 120
            completed = !meter::host::fault_fired();
            meter::host::fault_disarm();
            stats_init();
            const float peak = stats_get_peak_demand(0, 2, -1);
            EXPECT_TRUE(peak == 60.0f || peak == 120.0f) << peak;
            if (completed) {
                EXPECT_EQ(peak, 120.0f);
            }
        }
        EXPECT_TRUE(completed);
    }
}

}  // namespace
