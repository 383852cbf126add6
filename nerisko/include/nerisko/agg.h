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
// The minute and five-minute accumulators, by processing slot.
extern avg_buf_t one_minute_avg_buf[2];
extern avg_buf_t five_minute_avg_buf[2];

// Saves the registers of a run (agg_energy_stop), clears the accumulators
// (the next result of each set opens a new second, minute and five minutes)
// and restores the energy registers of both sets from their energy files
// (see agg_energy.cpp for how a file is chosen).
void agg_init();

// While EX measures on a synthetic mapping, its results must reach none of
// the meter's outputs: the energy registers and their file, the pulse
// output, the minute and five-minute results (demand, trends), the result
// nodes and the live data. The one-second list still runs for EX and the
// watchdog; each output's callback checks this.
void agg_outputs_suspend(bool on);
bool agg_outputs_suspended();

// Minute callback (one-second list): folds a one-second result into its
// set's minute; the sixtieth closes it and runs the minute list.
void agg_collect_one_minute(event_data_t *ev);
// Five-minute callback (minute list): the fifth minute result closes five
// minutes and runs the five-minute list.
void agg_collect_five_minutes(event_data_t *ev);

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

// ---- energy registers and the energy file ----

constexpr uint32_t AGG_ENERGY_REGISTERS = 11;

// Adds one closed second's energies to the registers of a (every CT of
// every load slot, and the CTs' increments to their load's totals).
void agg_advance_energy(avg_buf_t *a);
// Copies the reserved word and every energy register from src to dst;
// nothing else.
void agg_copy_energy(const avg_buf_t *src, avg_buf_t *dst);

// Writes the set's energy file from a's registers (backup of the complete
// current file, flag removed, the file replaced durably, flag created).
// True when the new file and its flag are durable.
bool agg_save_energy(const avg_buf_t *a, uint32_t set);
// After each closed second of the set (processing thread): hands a save of
// a's registers to the file writer once a minute, or at the next second
// after agg_energy_save_soon.
void agg_energy_second_closed(const avg_buf_t *a, uint32_t set);
// Asks for a save of both sets' registers at their next closed second (a
// billing reset; any thread).
void agg_energy_save_soon();
// Saves the registers in memory now, after what the file writer holds (a
// clean stop, with the processing thread stopped).
void agg_energy_stop();
// Reads the set's energy file into dst when it is whole and holds only
// finite registers: 1; otherwise 0 and dst unchanged.
int agg_load_energy(avg_buf_t *dst, int set);
// The register values of one CT or load total, in register order.
const data_double_t *agg_ct_energy(const data_i &ct);
const data_double_t *agg_load_energy_of(const data_p_set &p);

// ---- pulse output ----

// Reads entry 2 of the pulse configuration (and the mapping for its load)
// and puts the new settings in force as one whole: 1 on success or when the
// output is switched off; 0 on any failure, the settings in force stay.
int agg_set_pulse_out();
// Switches the pulse output off (start-up, when its configuration is unusable).
void agg_pulse_out_off();
bool agg_pulse_out_enabled();
