#pragma once
// One active voltage set of the mapping with its active loads, as the
// processing thread holds it: slot 0 is the first active voltage set.

#include "arvent.h"

struct processing_set_t {
    mapping_u_set *uset;                      // into the processing's mapping copy
    mapping_i_set *isets[MAPPING_I_SET_MAX];  // the set's active loads in mapping order, then null
};
