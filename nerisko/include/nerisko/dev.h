#pragma once
// The result nodes under /dev/zor_data: one record per CT, per load and per
// voltage set, and per kind one node of all its records. The static part of
// the records (ids, names, which channels are active) comes from the
// mapping; each one-second result of a voltage set rewrites that set's
// measured fields. Every record is written whole with one write.
//
// Voltage sets are numbered by their place in the mapping, for the mapping's
// records and the measured ones alike. Entries that the records cannot hold
// (a CT channel outside 6..53, a load without an active CT, a voltage set
// beyond the second, a result load that has no record) are left out with a
// log line.

#include "arvent.h"
#include "nerisko/event.h"

#include <cstddef>
#include <cstdint>

struct dev_ct_t {
    uint32_t ct_no;
    bool active;
    uint8_t flags;
    uint8_t fill0[2];
    uint64_t ts;  // ts_end of the result, 200 MHz ticks
    float phase;
    uint32_t fill1;
    float rms;
    float rms_fund;
    float thd_f;
    float w;
    float va;
    float var;
    double energy[11];  // register order wh ... varh_cap_dis
    float apf;
    float dpf;
    float peak_demand;
    float demand;
};
static_assert(sizeof(dev_ct_t) == 152);
static_assert(offsetof(dev_ct_t, active) == 4 && offsetof(dev_ct_t, flags) == 5 && offsetof(dev_ct_t, ts) == 8 &&
              offsetof(dev_ct_t, phase) == 16 && offsetof(dev_ct_t, rms) == 24 && offsetof(dev_ct_t, rms_fund) == 28 &&
              offsetof(dev_ct_t, thd_f) == 32 && offsetof(dev_ct_t, w) == 36 && offsetof(dev_ct_t, va) == 40 &&
              offsetof(dev_ct_t, var) == 44 && offsetof(dev_ct_t, energy) == 48 && offsetof(dev_ct_t, apf) == 136 &&
              offsetof(dev_ct_t, dpf) == 140 && offsetof(dev_ct_t, peak_demand) == 144 &&
              offsetof(dev_ct_t, demand) == 148);

struct dev_line_t {
    bool active;
    uint8_t fill[3];
    float phase;
    float rms_ln;
    float rms_ll;
    float rms_fund;
    float thd_f;
};
static_assert(sizeof(dev_line_t) == 24 && offsetof(dev_line_t, phase) == 4 && offsetof(dev_line_t, thd_f) == 20);

struct dev_input_t {
    uint32_t set;
    bool active;
    uint8_t flags;
    uint8_t fill0[2];
    uint64_t ts;
    float frequency;
    dev_line_t line[3];
    uint32_t fill1;
};
static_assert(sizeof(dev_input_t) == 96);
static_assert(offsetof(dev_input_t, active) == 4 && offsetof(dev_input_t, flags) == 5 &&
              offsetof(dev_input_t, ts) == 8 && offsetof(dev_input_t, frequency) == 16 &&
              offsetof(dev_input_t, line) == 20 && offsetof(dev_input_t, line[1]) == 44 &&
              offsetof(dev_input_t, fill1) == 92);

struct dev_load_t {
    uint32_t load_id;
    char name[40];  // not terminated when the name has 40 or more characters
    bool active;
    uint8_t flags;
    uint8_t fill0[2];
    uint64_t ts;
    dev_ct_t ct[3];
    dev_input_t input;
    float rms;
    float thd;
    float w;
    float va;
    float var;
    uint32_t fill1;
    double energy[11];
    float apf;
    float dpf;
    float peak_demand;
    float demand;
};
static_assert(sizeof(dev_load_t) == 736);
static_assert(offsetof(dev_load_t, name) == 4 && offsetof(dev_load_t, active) == 44 &&
              offsetof(dev_load_t, flags) == 45 && offsetof(dev_load_t, ts) == 48 && offsetof(dev_load_t, ct) == 56 &&
              offsetof(dev_load_t, ct[1]) == 208 && offsetof(dev_load_t, input) == 512 &&
              offsetof(dev_load_t, rms) == 608 && offsetof(dev_load_t, thd) == 612 && offsetof(dev_load_t, w) == 616 &&
              offsetof(dev_load_t, va) == 620 && offsetof(dev_load_t, var) == 624 &&
              offsetof(dev_load_t, energy) == 632 && offsetof(dev_load_t, apf) == 720 &&
              offsetof(dev_load_t, dpf) == 724 && offsetof(dev_load_t, peak_demand) == 728 &&
              offsetof(dev_load_t, demand) == 732);

constexpr uint32_t ACQ_U_CH_MAX = 6;

// Opens and sizes every node and allocates the shadows: 1, or 0 (nothing left open).
int dev_init();
// Rebuilds the static part of every record from m and writes all nodes.
void dev_update_mapping(const mapping *m);
// One-second callback: the set's records from the result, then its nodes.
void dev_update(event_data_t *ev);
// Writes the records of voltage set `set` (mapping numbering).
void dev_write_devices(uint32_t set);
// Closes the nodes and frees the shadows.
void dev_cleanup();

// The shadows (tests): nullptr before dev_init.
const dev_ct_t *dev_ct_shadow();
const dev_load_t *dev_load_shadow();
const dev_input_t *dev_input_shadow();
