#pragma once
// The latest one-second result of each voltage set and the set's mapping
// entries it was computed with, kept so that another thread can take a
// whole copy at any time. The entries are copied, not referenced: a
// measurement restart rewrites the processing's mapping while readers run.

#include "arvent.h"
#include "nerisko/data.h"
#include "nerisko/event.h"

#include <cstdint>

// A set descriptor with its entries held by value.
struct live_set_t {
    bool has_uset;               // false before the first result of the set
    mapping_u_set uset;
    uint32_t loads;              // entries used in isets
    mapping_i_set isets[MAPPING_I_SET_MAX];  // the set's loads in slot order
};

int live_data_init();
// One-second callback: copies the result and the set's entries of its set.
void live_data_update(event_data_t *ev);
// Whole copies of set 0 or 1 (zeros before its first result): 1; other sets
// are refused with a log line: 0.
int live_data_get_data(uint32_t set, data_set_t *out);
int live_data_get_mapping(uint32_t set, live_set_t *out);
void live_data_cleanup();
