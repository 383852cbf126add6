#pragma once
// The result record of one voltage set over one period (five cycles, one
// second, one minute, five minutes). Its byte image is stored inside the
// energy file and, in parts, in the trend files, so the layout is fixed:
// little-endian, natural alignment, every fill byte named and zero.

#include <cstddef>
#include <cstdint>

struct data_float_t {
    float value;
    float resolution;
};

struct data_double_t {
    double value;
    float resolution;
    uint32_t fill;
};

// One voltage entry of a set.
struct data_u {
    uint32_t channel;  // sample channel 0..5, 0 when the entry is inactive
    data_float_t phase;     // rad, relative to entry 0, within +-pi
    data_float_t rms_ln;    // V
    data_float_t rms_ll;    // V, this entry to the next (2 pairs with 0)
    data_float_t rms_fund;  // V
    data_float_t rms_harm;  // V
    data_float_t thd_f;     // % of the fundamental (aggregated results)
    data_float_t thd_r;     // % of the total RMS (aggregated results)
};

struct data_u_set {
    data_u u[3];
    data_float_t thd;  // % (aggregated results)
};

// One CT entry of a load.
struct data_i {
    uint32_t channel;       // sample channel 6..53, 0 when inactive
    data_float_t phase;     // rad, against voltage entry j of the set
    data_float_t w_fund;    // W
    data_float_t rms;       // A
    data_float_t rms_u;     // V at the CT input
    data_float_t rms_fund;  // A
    data_float_t rms_harm;  // A
    data_float_t thd_f;     // %
    data_float_t thd_r;     // %
    data_float_t w;         // W, negative when power flows out
    data_float_t va;        // VA
    data_float_t var;       // var
    uint8_t var_quadrant;   // 1..4
    uint8_t fill[3];
    data_double_t wh;
    data_double_t vah;
    data_double_t varh;
    data_double_t wh_in;
    data_double_t vah_in;
    data_double_t wh_out;
    data_double_t vah_out;
    data_double_t varh_ind_dis;  // quadrant 4
    data_double_t varh_cap_gen;  // quadrant 3
    data_double_t varh_ind_gen;  // quadrant 2
    data_double_t varh_cap_dis;  // quadrant 1
    data_float_t apf;
    data_float_t dpf;
    data_float_t peak_demand;  // W
    data_float_t demand;       // W
};

// A load's totals.
struct data_p_set {
    data_float_t w;
    data_float_t va;
    data_float_t var;
    data_double_t wh;
    data_double_t vah;
    data_double_t varh;
    data_double_t wh_in;
    data_double_t vah_in;
    data_double_t wh_out;
    data_double_t vah_out;
    data_double_t varh_ind_dis;
    data_double_t varh_cap_gen;
    data_double_t varh_ind_gen;
    data_double_t varh_cap_dis;
    data_float_t apf;
    data_float_t dpf;
    data_float_t peak_demand;
    data_float_t demand;
};

struct data_i_set {
    uint32_t load_id;
    uint32_t fill;
    data_i i[3];
    data_p_set p;
    data_float_t rms;  // sum of the CT currents, A
    data_float_t thd;  // % (aggregated results)
};

// flags bit 0: the frequency is the default (no fundamental found).
constexpr uint32_t DATA_FLAG_DEFAULT_FREQUENCY = 1u << 0;
// flags bit 1: the calibration block was valid (five-cycle results).
constexpr uint32_t DATA_FLAG_CALIBRATED = 1u << 1;

struct data_set_t {
    uint32_t set;  // processing slot 0 or 1, not the mapping's set id
    uint32_t fill0;
    uint64_t ts_begin;  // 200 MHz ticks of the first sample
    uint64_t ts_end;    // 200 MHz ticks of the end of the period
    uint32_t flags;
    float samples;
    data_float_t frequency;  // Hz
    data_u_set set_u;
    uint32_t fill1;
    data_i_set sets_i[48];
};

static_assert(sizeof(data_float_t) == 8);
static_assert(sizeof(data_double_t) == 16 && offsetof(data_double_t, resolution) == 8);

static_assert(sizeof(data_u) == 60);
static_assert(offsetof(data_u, phase) == 4 && offsetof(data_u, rms_ln) == 12 &&
              offsetof(data_u, rms_ll) == 20 && offsetof(data_u, rms_fund) == 28 &&
              offsetof(data_u, rms_harm) == 36 && offsetof(data_u, thd_f) == 44 &&
              offsetof(data_u, thd_r) == 52);
static_assert(sizeof(data_u_set) == 188 && offsetof(data_u_set, u[1]) == 60 &&
              offsetof(data_u_set, u[2]) == 120 && offsetof(data_u_set, thd) == 180);

static_assert(sizeof(data_i) == 304);
static_assert(offsetof(data_i, phase) == 4 && offsetof(data_i, w_fund) == 12 &&
              offsetof(data_i, rms) == 20 && offsetof(data_i, rms_u) == 28 &&
              offsetof(data_i, rms_fund) == 36 && offsetof(data_i, rms_harm) == 44 &&
              offsetof(data_i, thd_f) == 52 && offsetof(data_i, thd_r) == 60 &&
              offsetof(data_i, w) == 68 && offsetof(data_i, va) == 76 &&
              offsetof(data_i, var) == 84 && offsetof(data_i, var_quadrant) == 92 &&
              offsetof(data_i, wh) == 96 && offsetof(data_i, vah) == 112 &&
              offsetof(data_i, varh) == 128 && offsetof(data_i, wh_in) == 144 &&
              offsetof(data_i, vah_in) == 160 && offsetof(data_i, wh_out) == 176 &&
              offsetof(data_i, vah_out) == 192 && offsetof(data_i, varh_ind_dis) == 208 &&
              offsetof(data_i, varh_cap_gen) == 224 && offsetof(data_i, varh_ind_gen) == 240 &&
              offsetof(data_i, varh_cap_dis) == 256 && offsetof(data_i, apf) == 272 &&
              offsetof(data_i, dpf) == 280 && offsetof(data_i, peak_demand) == 288 &&
              offsetof(data_i, demand) == 296);

static_assert(sizeof(data_p_set) == 232);
static_assert(offsetof(data_p_set, va) == 8 && offsetof(data_p_set, var) == 16 &&
              offsetof(data_p_set, wh) == 24 && offsetof(data_p_set, vah) == 40 &&
              offsetof(data_p_set, varh) == 56 && offsetof(data_p_set, wh_in) == 72 &&
              offsetof(data_p_set, vah_in) == 88 && offsetof(data_p_set, wh_out) == 104 &&
              offsetof(data_p_set, vah_out) == 120 && offsetof(data_p_set, varh_ind_dis) == 136 &&
              offsetof(data_p_set, varh_cap_gen) == 152 && offsetof(data_p_set, varh_ind_gen) == 168 &&
              offsetof(data_p_set, varh_cap_dis) == 184 && offsetof(data_p_set, apf) == 200 &&
              offsetof(data_p_set, dpf) == 208 && offsetof(data_p_set, peak_demand) == 216 &&
              offsetof(data_p_set, demand) == 224);

static_assert(sizeof(data_i_set) == 1168);
static_assert(offsetof(data_i_set, i) == 8 && offsetof(data_i_set, i[1]) == 312 &&
              offsetof(data_i_set, i[2]) == 616 && offsetof(data_i_set, p) == 920 &&
              offsetof(data_i_set, rms) == 1152 && offsetof(data_i_set, thd) == 1160);

static_assert(sizeof(data_set_t) == 56296);
static_assert(offsetof(data_set_t, ts_begin) == 8 && offsetof(data_set_t, ts_end) == 16 &&
              offsetof(data_set_t, flags) == 24 && offsetof(data_set_t, samples) == 28 &&
              offsetof(data_set_t, frequency) == 32 && offsetof(data_set_t, set_u) == 40 &&
              offsetof(data_set_t, set_u.thd) == 220 && offsetof(data_set_t, sets_i) == 232 &&
              offsetof(data_set_t, sets_i[1]) == 232 + 1168);
