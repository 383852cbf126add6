#pragma once
// What the parts of the aggregation share among themselves and with tests.

#include "nerisko/agg.h"

// The pulse output after agg_init: the baseline is taken again from the
// restored registers at the next closed second.
void agg_pulse_out_restart();
// Before a closed second's energies are added: takes the baseline from the
// driving load's register when none is held.
void agg_pulse_out_seed(const processing_set_t *set, const avg_buf_t *a);
// After the one-second list: reports the pulses due.
void agg_pulse_out_step(const processing_set_t *set, const avg_buf_t *a);

// Settings of the pulse output as they are in force (tests).
struct agg_pulse_out_settings {
    bool enabled = false;
    int32_t param = 0;
    double scaler = -1.0;
    int32_t load_id = -1;
    uint32_t u_set_id = 0;  // the mapping's id of the load's voltage set
};
agg_pulse_out_settings agg_pulse_out_get();
// The baseline (Wh, VAh or varh) and whether one is held (tests).
double agg_pulse_out_baseline(bool *seeded);

// Tests: forgets that a save failed or was asked for and that registers are
// held, so that agg_init loads from the files.
void agg_forget_failed_saves();
