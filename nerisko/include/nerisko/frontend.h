#pragma once
// The front end fixed at start-up from the number of CT channels that the
// configuration daemon reports: 3, 12 or 48 CT channels on 1, 3 or 9
// daisy-chained ADCs, with 9, 18 or 54 full-length channel rings.

#include <cstdint>

extern uint32_t num_chan;  // CT channels
extern uint32_t num_adcs;  // ADCs in the daisy chain
extern uint32_t num_buf;   // full-length channel rings

// Sets the three values for a CT channel count; false (values 0) for a
// front end that does not exist.
bool frontend_set(uint32_t ct_channels);
