// Demand statistics and the demand file.
//
// The demand file is replaced whole every minute (temporary file, fsync,
// rename), so a crash or power cut leaves the previous minute's peaks or the
// new ones, never a torn or empty file. The rename is made durable by the
// energy save's folder fsync (see agg_energy.cpp): a power cut costs at most
// the peaks of the last minute.
//
// The billing time is local time of the zone named in /config/timezone,
// converted from the zone's file of the time-zone database without touching
// the process's TZ; daylight saving is the one of the reset date itself.
// Only a zone written as a POSIX rule (no file) is converted by the C
// library with TZ set for the length of the conversion, under one lock.

#include "nerisko/stats.h"
#include "nerisko/agg.h"
#include "nerisko/writer.h"
#include "nerisko/tzfile.h"

#include "arvent.h"
#include "meter/sysio.h"

#include <fcntl.h>
#include <syslog.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

namespace {

std::mutex stats_mutex;
demand_values_t demand_values[2];  // under stats_mutex

// The minute rings: processing thread only.
float demand_minutes[2][48][3][60];
uint32_t demand_ring_pos[2];
uint32_t demand_ring_count[2];

std::atomic<int32_t> demand_window{15};
std::atomic<uint32_t> billing_day{1};
std::atomic<uint32_t> billing_time{0};

// The next reset and the time-zone file's state it was computed with.
std::mutex reset_mutex;
time_t peak_reset_time = 0;
bool peak_reset_known = false;
time_t tz_file_mtime = 0;

std::string demand_path(uint32_t set) { return "/data/stats_set_" + std::to_string(set); }

time_t tz_mtime() {
    struct stat st {};
    return sys_stat(STATS_TIMEZONE_PATH, &st) == 0 ? st.st_mtime : 0;
}

// The billing instant of the month `months` after now's month, by the
// zone's conversions.
template <typename ToInstant>
time_t billing_in_month(const struct tm &now_tm, int months, uint32_t day, uint32_t seconds, ToInstant to_instant) {
    struct tm t = now_tm;
    t.tm_mon += months;
    t.tm_mday = static_cast<int>(day);
    t.tm_hour = 0;
    t.tm_min = 0;
    t.tm_sec = static_cast<int>(seconds);
    t.tm_isdst = -1;  // daylight saving of the reset date, not of now
    return to_instant(t);
}

template <typename ToLocal, typename ToInstant>
int billing_in_zone(time_t now, uint32_t day, uint32_t seconds, bool next, bool strict, time_t *out,
                    ToLocal to_local, ToInstant to_instant) {
    struct tm now_tm {};
    if (!to_local(now, &now_tm)) {
        sys_log(LOG_ERR, "Error getting time info");
        return 0;
    }
    const uint32_t secs = static_cast<uint32_t>(now_tm.tm_hour * 3600 + now_tm.tm_min * 60 + now_tm.tm_sec);
    const uint32_t mday = static_cast<uint32_t>(now_tm.tm_mday);
    const bool passed = mday > day || (mday == day && (strict ? secs >= seconds : secs > seconds));
    const bool reached = mday > day || (mday == day && secs >= seconds);
    const int months = next ? (passed ? 1 : 0) : (reached ? 0 : -1);
    const time_t t = billing_in_month(now_tm, months, day, seconds, to_instant);
    if (t == static_cast<time_t>(-1)) {
        return 0;
    }
    *out = t;
    return 1;
}

// next: the first billing instant at or after now (after now when strict);
// else the last one at or before now. A zone of the time-zone database is
// converted from its own file; only a zone given as a POSIX rule needs TZ.
int billing_instant(uint32_t day, uint32_t seconds, bool next, bool strict, time_t *out) {
    const time_t now = sys_time();
    MeterZone zone;
    zone.load();
    return billing_in_zone(
        now, day, seconds, next, strict, out, [&](time_t t, struct tm *tm) { return zone.to_local(t, tm); },
        [&](struct tm &tm) { return zone.from_local(tm); });
}

// After a reset the next one lies strictly after now, so that a reset in the
// very second of the billing time does not come again a minute later.
void refresh_reset_time(bool after_reset = false) {
    const time_t mtime = tz_mtime();
    time_t t = 0;
    const bool ok = after_reset ? billing_instant(billing_day.load(), billing_time.load(), true, true, &t) == 1
                                : stats_next_reset(billing_day.load(), billing_time.load(), &t) == 1;
    std::lock_guard lock(reset_mutex);
    tz_file_mtime = mtime;
    peak_reset_known = ok;
    if (ok) {
        peak_reset_time = t;
    } else {
        sys_log(LOG_ERR, "Error setting new billing cycle");
    }
}

bool finite_peaks(const demand_values_t &v) {
    for (const demand_load_t &l : v.loads) {
        if (!std::isfinite(l.peak_demand) || !std::isfinite(l.demand)) {
            return false;
        }
        for (const demand_ct_t &c : l.ct) {
            if (!std::isfinite(c.peak_demand) || !std::isfinite(c.demand)) {
                return false;
            }
        }
    }
    return true;
}

void clear_peaks(demand_values_t &v) {
    for (demand_load_t &l : v.loads) {
        l.peak_demand = 0.0f;
        for (demand_ct_t &c : l.ct) {
            c.peak_demand = 0.0f;
        }
    }
}

void write_demand_file(uint32_t s) {
    demand_values_t image{};
    {
        std::lock_guard lock(stats_mutex);
        image.reserved = demand_values[s].reserved;
        for (uint32_t l = 0; l < 48; ++l) {
            image.loads[l].peak_demand = demand_values[s].loads[l].peak_demand;
            for (uint32_t j = 0; j < 3; ++j) {
                image.loads[l].ct[j].peak_demand = demand_values[s].loads[l].ct[j].peak_demand;
            }
        }
    }
    // The file writer makes it, the newest image replacing one that waits.
    // Its rename is durable with the next fsync of /data, the energy save's
    // within the minute: a power cut before it leaves the previous peaks.
    const std::string path = demand_path(s);
    writer_replace(path, [path, image] {
        if (sys_replace_file_lazily(path.c_str(), &image, sizeof image) != 0) {
            sys_log(LOG_ERR, "failed to write demand values");
        }
    });
}

}  // namespace

int stats_next_reset(uint32_t day, uint32_t seconds, time_t *out) {
    time_t t = 0;
    if (billing_instant(day, seconds, true, false, &t) == 0) {
        return 0;
    }
    *out = t;
    sys_log(LOG_INFO, "New peak demand reset on %llu", static_cast<unsigned long long>(t));
    return 1;
}

int stats_last_reset(uint32_t day, uint32_t seconds, time_t *out) {
    return billing_instant(day, seconds, false, false, out);
}

int stats_load(demand_values_t *dst, int set) {
    const std::string path = demand_path(static_cast<uint32_t>(set));
    const int fd = sys_open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        sys_log(LOG_ERR, "failed to open %s for reading", path.c_str());
        return 0;
    }
    demand_values_t v{};
    const ssize_t n = sys_read_all(fd, &v, sizeof v);
    sys_close(fd);
    if (n != static_cast<ssize_t>(sizeof v)) {
        sys_log(LOG_ERR, "failed load to demand values");
        return 0;
    }
    if (!finite_peaks(v)) {
        sys_log(LOG_ERR, "Demand file %s holds values that are not numbers", path.c_str());
        return 0;
    }
    *dst = v;
    return 1;
}

void stats_init() {
    std::memset(demand_minutes, 0, sizeof demand_minutes);
    std::memset(demand_ring_pos, 0, sizeof demand_ring_pos);
    std::memset(demand_ring_count, 0, sizeof demand_ring_count);
    time_t last_reset = 0;
    const bool know_last = stats_last_reset(billing_day.load(), billing_time.load(), &last_reset) == 1;
    std::lock_guard lock(stats_mutex);
    std::memset(demand_values, 0, sizeof demand_values);
    for (uint32_t s = 0; s < 2; ++s) {
        const std::string path = demand_path(s);
        struct stat st {};
        if (sys_stat(path.c_str(), &st) != 0) {
            continue;
        }
        if (stats_load(&demand_values[s], static_cast<int>(s)) == 0) {
            continue;
        }
        // Demands restart from the minutes measured from now on.
        for (demand_load_t &l : demand_values[s].loads) {
            l.demand = 0.0f;
            for (demand_ct_t &c : l.ct) {
                c.demand = 0.0f;
            }
        }
        if (know_last && st.st_mtime < last_reset) {
            // The billing time passed while the meter was off.
            sys_log(LOG_INFO, "Resetting peak demand");
            clear_peaks(demand_values[s]);
        }
    }
}

int stats_update_config() {
    device_config c{};
    if (ipc_device_config_get(&c) == 0) {
        sys_log(LOG_ERR, "Failed to get device config from IPC");
        return 0;
    }
    const auto window = static_cast<int32_t>(c.values[3]);
    if (window < 1) {
        sys_log(LOG_ERR, "Invalid peak demand window %d, keeping %d minutes", window, demand_window.load());
    } else if (window <= 60) {
        demand_window = window;
    }
    billing_day = c.values[5] >= 1 && c.values[5] <= 28 ? c.values[5] : 1;
    billing_time = c.values[6] <= 86399 ? c.values[6] : 0;
    sys_log(LOG_INFO, "Setting peak demand window to %d minutes", demand_window.load());
    refresh_reset_time();
    return 1;
}

void stats_reset_peak_demand() {
    sys_log(LOG_INFO, "Resetting peak demand");
    // The registers at the end of a billing period are made durable.
    agg_energy_save_soon();
    {
        std::lock_guard lock(stats_mutex);
        clear_peaks(demand_values[0]);
        clear_peaks(demand_values[1]);
    }
    refresh_reset_time(true);
}

void stats_collect_demand(event_data_t *ev) {
    const data_set_t *r = ev->data;
    const uint32_t s = r->set;
    if (s >= 2) {
        return;
    }
    // A changed or removed time-zone file moves the billing instant.
    const time_t mtime = tz_mtime();
    bool recompute = false;
    bool due = false;
    {
        std::lock_guard lock(reset_mutex);
        recompute = mtime != tz_file_mtime;
    }
    if (recompute) {
        refresh_reset_time();
    }
    {
        std::lock_guard lock(reset_mutex);
        due = peak_reset_known && sys_time() >= peak_reset_time;
    }
    if (due) {
        stats_reset_peak_demand();
    }

    const uint32_t pos = demand_ring_pos[s];
    for (uint32_t l = 0; l < 48; ++l) {
        for (uint32_t j = 0; j < 3; ++j) {
            demand_minutes[s][l][j][pos] = r->sets_i[l].i[j].w.value;
        }
    }
    demand_ring_count[s] = demand_ring_count[s] < 60 ? demand_ring_count[s] + 1 : 60;
    demand_ring_pos[s] = (pos + 1) % 60;

    const int32_t window = demand_window.load();
    if (window >= 1 && static_cast<uint32_t>(window) <= demand_ring_count[s]) {
        std::lock_guard lock(stats_mutex);
        for (uint32_t l = 0; l < 48; ++l) {
            demand_load_t &load = demand_values[s].loads[l];
            float total = 0.0f;
            for (uint32_t j = 0; j < 3; ++j) {
                float sum = 0.0f;
                uint32_t k = pos;
                for (int32_t n = 0; n < window; ++n) {
                    sum += demand_minutes[s][l][j][k];
                    k = k == 0 ? 59 : k - 1;
                }
                demand_ct_t &c = load.ct[j];
                c.demand = sum / static_cast<float>(window);
                if (c.demand > c.peak_demand) {
                    c.peak_demand = c.demand;
                }
                total += c.demand;
            }
            load.demand = total;
            if (total > load.peak_demand) {
                load.peak_demand = total;
            }
        }
    }
    write_demand_file(s);
}

namespace {

float demand_of(uint32_t set, uint32_t slot, int32_t ct, bool peak) {
    if (set >= 2 || slot >= 48 || ct > 2) {
        return 0.0f;
    }
    std::lock_guard lock(stats_mutex);
    const demand_load_t &l = demand_values[set].loads[slot];
    if (ct < 0) {
        return peak ? l.peak_demand : l.demand;
    }
    return peak ? l.ct[ct].peak_demand : l.ct[ct].demand;
}

}  // namespace

float stats_get_demand(uint32_t set, uint32_t slot, int32_t ct) { return demand_of(set, slot, ct, false); }

float stats_get_peak_demand(uint32_t set, uint32_t slot, int32_t ct) { return demand_of(set, slot, ct, true); }

void stats_fill(uint32_t set, data_set_t *d) {
    if (set >= 2) {
        return;
    }
    std::lock_guard lock(stats_mutex);
    for (uint32_t l = 0; l < 48; ++l) {
        const demand_load_t &v = demand_values[set].loads[l];
        data_i_set &r = d->sets_i[l];
        for (uint32_t j = 0; j < 3; ++j) {
            r.i[j].demand.value = v.ct[j].demand;
            r.i[j].peak_demand.value = v.ct[j].peak_demand;
        }
        r.p.demand.value = v.demand;
        r.p.peak_demand.value = v.peak_demand;
    }
}

int32_t stats_get_window() { return demand_window.load(); }
uint32_t stats_get_billing_day() { return billing_day.load(); }
uint32_t stats_get_billing_time() { return billing_time.load(); }

bool stats_get_reset_time(time_t *out) {
    std::lock_guard lock(reset_mutex);
    *out = peak_reset_time;
    return peak_reset_known;
}
