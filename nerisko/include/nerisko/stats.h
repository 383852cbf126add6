#pragma once
// Demand statistics: for every CT and load of each voltage set the demand
// (mean real power over a sliding window of whole minutes) and the peak
// demand since the last reset, fed by the minute results. The peaks survive
// restarts in the demand file ("/data/stats_set_" + set) and are reset at a
// monthly billing time in the meter's time zone, or on request.

#include "nerisko/data.h"
#include "nerisko/event.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

struct demand_ct_t {
    float peak_demand;  // W
    float demand;       // W
};

struct demand_load_t {
    float peak_demand;  // load total, W
    float demand;
    demand_ct_t ct[3];
};

// One voltage set's demands; its image (peaks only, demands 0) is the demand file.
struct demand_values_t {
    uint32_t reserved;  // carried from a loaded file, never set
    demand_load_t loads[48];
};
static_assert(sizeof(demand_ct_t) == 8 && sizeof(demand_load_t) == 32);
static_assert(sizeof(demand_values_t) == 1540);
static_assert(offsetof(demand_values_t, loads) == 4 && offsetof(demand_values_t, loads[1]) == 36 &&
              offsetof(demand_load_t, demand) == 4 && offsetof(demand_load_t, ct) == 8 &&
              offsetof(demand_load_t, ct[1]) == 16);

constexpr const char *STATS_TIMEZONE_PATH = "/config/timezone";

// Start-up: clears the minute rings and both records, then loads each set's
// demand file when it is whole. A set whose file was last written before the
// last billing time (the meter was off when it passed) starts with its peaks
// reset.
void stats_init();
// Takes window, billing day and billing time from the device configuration
// and computes the next reset: 1, or 0 when the configuration cannot be read.
// Windows below 1 are refused with a log line (the previous one stays),
// windows above 60 are not taken.
int stats_update_config();
// Minute callback (minute list).
void stats_collect_demand(event_data_t *ev);
float stats_get_demand(uint32_t set, uint32_t slot, int32_t ct);
float stats_get_peak_demand(uint32_t set, uint32_t slot, int32_t ct);
// Puts every demand and peak of the set into the result, under one lock.
void stats_fill(uint32_t set, data_set_t *d);
// Sets every peak of both voltage sets to 0 and computes the next reset.
void stats_reset_peak_demand();
// Reads the set's demand file into dst when it is whole and finite: 1;
// otherwise 0, dst unchanged.
int stats_load(demand_values_t *dst, int set);
// The next billing instant after now (the same instant when now is exactly
// on it) in the time zone of /config/timezone: 1, or 0 when it cannot be
// computed.
int stats_next_reset(uint32_t day, uint32_t seconds, time_t *out);
// The last billing instant at or before now: 1, or 0.
int stats_last_reset(uint32_t day, uint32_t seconds, time_t *out);

// What is in force (tests).
int32_t stats_get_window();
uint32_t stats_get_billing_day();
uint32_t stats_get_billing_time();
// The next reset; false while it is unknown.
bool stats_get_reset_time(time_t *out);
