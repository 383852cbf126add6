#pragma once
// Aggregation of the five-cycle results of each voltage set into one result
// per second: sample-weighted sums while a second is open, and on closing the
// secondary quantities (RMS from mean squares, harmonic distortion, apparent
// and reactive power, phase, reactive quadrant, power factors). The one-second
// event list runs when a second closes.
//
// Seconds are contiguous and exactly one second of the 200 MHz time base
// long, anchored to the first result after the accumulators were cleared; a
// result that straddles the boundary is split by its samples on either side.

#include "nerisko/data.h"
#include "nerisko/event.h"

#include <cstddef>
#include <cstdint>

constexpr uint64_t AGG_TICKS_PER_SECOND = 200000000;

// The accumulator of one voltage set; its byte image is also the energy file.
struct avg_buf_t {
    uint32_t reserved_word;  // carried through unchanged
    uint32_t reserved;       // 0
    data_set_t data;         // running sums while open, the result once closed
    float weight;            // sum of the weights added
    uint32_t padding;        // 0
};
static_assert(sizeof(avg_buf_t) == 56312);
static_assert(offsetof(avg_buf_t, data) == 8 && offsetof(avg_buf_t, weight) == 56304 &&
              offsetof(avg_buf_t, padding) == 56308);

// The one-second accumulators, by processing slot.
extern avg_buf_t five_cycle_avg_buf[2];

// Clears the accumulators: the next result of each set opens a new second.
void agg_init();

// Five-cycle callback: folds the result into its set's second and, when the
// second closes, runs the one-second list with the closed result.
void agg_collect_one_second(event_data_t *ev);

// Reads the power-factor sign convention (0 or 1) from the device
// configuration; 1 when taken, 0 when it cannot be read or is above 1 (the
// old convention stays).
int agg_set_pf_sign();
uint32_t agg_get_pf_sign();
// Sets the convention directly (tests); values above 1 are refused.
bool agg_set_pf_sign_value(uint32_t sign);

// Adds r with weight w. samples_weight: the weight counts samples (seconds),
// else r's own sample count is added. aggregated: r is itself an aggregated
// result (its w_fund and var are taken as they are).
void agg_accumulate(avg_buf_t *a, const data_set_t *r, float w, bool samples_weight, bool aggregated);
// Closes a in place.
void agg_finish(avg_buf_t *a);
// Demand values of every load of the set (from the demand statistics once
// they exist; nothing before).
void agg_fill_demand(avg_buf_t *a, uint32_t set);
