#pragma once
// The few records that libhaldor shares with the measurement program: the
// float sample ring, its cursor, and one channel's calibration entry.
//
// The measurement program builds its channel rings, read cursors and
// calibration array from these same definitions (it includes this header
// rather than repeating them), so that both sides agree on every byte.
// Plain C so that the library keeps a C interface.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A ring of float samples: `size` samples from `base`.
typedef struct cb_t {
    float *base;
    uint32_t size;
} cb_t;

// A cursor over a ring. `head` is the next sample position and always lies
// within base .. base + size - 1. A read position is a plain float pointer into
// the same ring; position == head means nothing to read, so a ring holds at most
// size - 1 unread samples.
typedef struct cbi_t {
    cb_t *cb;
    float *head;
} cbi_t;

// One channel's calibration: samples are raw ADC counts times `gain`;
// `offset` is the channel's noise floor in raw counts (an RMS measured with no
// signal), which the program removes from mean squares, never from samples.
typedef struct cal_entry_t {
    float gain;
    int32_t offset;
} cal_entry_t;

// Channels of the front end: 6 voltage channels and up to 48 CT channels.
#define HLD_CHANNELS 54

#ifdef __cplusplus
static_assert(sizeof(cal_entry_t) == 8, "cal_entry_t is stored as 8 bytes");
static_assert(offsetof(cal_entry_t, gain) == 0 && offsetof(cal_entry_t, offset) == 4,
              "cal_entry_t layout is part of the calibration block");
}
#else
_Static_assert(sizeof(cal_entry_t) == 8, "cal_entry_t is stored as 8 bytes");
_Static_assert(offsetof(cal_entry_t, gain) == 0 && offsetof(cal_entry_t, offset) == 4,
               "cal_entry_t layout is part of the calibration block");
#endif
