#pragma once
// The float sample ring and its cursor. The acquisition's channel rings and
// the processing thread's read positions are built on it.
//
// A ring holds `size` floats. The cursor's head is where the next sample
// goes; a read position is a plain pointer into the same ring. Position ==
// head means nothing unread, so a ring holds at most size - 1 unread samples.
// No lock here: where threads share a ring, the acquisition mutex guards it.

#include <cstdint>

// cb_t {base, size} and cbi_t {cb, head} are shared with the maths library,
// which reads the rings through the same cursors.
#include "haldor/shared_types.h"

// Allocates n zeroed floats for the cursor's ring; false when n is 0 or the
// allocation fails.
bool cb_init(cbi_t *c, uint32_t n);
// As cb_init over caller-supplied storage of n floats, which the ring never frees.
bool cb_init_static(cbi_t *c, float *storage, uint32_t n);
// Releases the storage that cb_init allocated (never caller-supplied
// storage); the ring is empty (base null, size 0) after.
void cb_free(cbi_t *c);

// Samples from position up to the head, with wrap-around.
uint32_t cb_items_available(const cbi_t *c, const float *position);
// Moves the head on by n samples.
void cb_added_items(cbi_t *c, uint32_t n);

// The ring step used wherever a position moves: n counts as a signed 32-bit
// step (a count that wrapped below zero moves backwards) and the result is
// brought back into the ring whatever the size of the step.
float *cb_step(const cb_t *cb, float *position, uint32_t n);
