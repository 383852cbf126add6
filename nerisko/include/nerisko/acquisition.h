#pragma once
// The 54 channel rings of calibrated samples that the PRU's sample blocks
// are copied into, the 200 MHz time of the newest sample, the sample rate
// (estimated once from the first two block copies), and the conversions
// between ring positions and times that the processing thread uses.
//
// Rings 0..5 are the voltage channels, 6..53 the CTs 0..47. Rings below
// num_buf hold 60000 samples (about 5 s), the others one sample, so that
// every channel number has a ring. A ring never overwrites unread samples:
// when a half does not fit into every ring it is dropped for all rings alike,
// so the channels stay aligned, and the drop is logged.

#include "nerisko/cb.h"
#include "nerisko/pru_block.h"

#include <cstdint>

constexpr uint32_t ACQ_CHANNELS = 54;
constexpr uint32_t ACQ_RING_SAMPLES = 60000;
constexpr double ACQ_TICKS_PER_SECOND = 200000000.0;

// Ring fed by raw slot 6k + c (ADC k, ADC input c).
extern const uint32_t adc_ct_mapping[ACQ_CHANNELS];

bool acquisition_init();
// The block-copy callback of the PRU threads: calibrates count consecutive
// blocks into the rings.
void acquisition_new_data(const pru_block_t *blocks, uint32_t count);
void acquisition_lock_buffers();
void acquisition_unlock_buffers();
// The ring of channel ch; null for ch > 53.
cb_t *acquisition_get_cb(uint32_t ch);
// Samples from position p up to the head of ring ch; 0 for a channel without
// a full ring and before the sample rate is known.
uint32_t acquisition_items_available(uint32_t ch, const float *p);
// The reader is done with n more samples of ring ch.
void acquisition_free_samples(uint32_t ch, uint32_t n);
// Copies the rate (also before it is known); true once it is known.
bool acquisition_get_sample_rate(double *rate);
// 200 MHz ticks per sample once the rate is known, else 0.
uint32_t acquisition_get_ts_per_sample();
// Time of the sample at position index of a ring (index < ring 0's size):
// counted back from the end of its run of continuous samples, and for the
// first sample after a gap the time its tick word gave.
uint64_t acquisition_get_ts(uint32_t index);
// Time at a fractional ring position.
uint64_t acquisition_get_ts_frac(float position);
// Ring position of a time: mode 1 rounds down, mode 0 to the nearest.
int acquisition_get_index(uint64_t time, int mode);
// Empties every ring; the sample rate stays known.
void acquisition_flush();
// Frees the rings and the calibration set-up.
void acquisition_clean();

// Samples from position p of ring ch up to the first sample after a gap
// (halves dropped or lost before it), when that lies within the next n
// unread samples; 0 when there is none. A window of samples from p that
// reaches this far would not be continuous in time.
uint32_t acquisition_gap_within(uint32_t ch, const float *p, uint32_t n);

// Whether the unread sample at position p of ring ch is the first after a
// gap; false when no sample is there yet.
bool acquisition_gap_at(uint32_t ch, const float *p);

// Halves dropped because a ring had no room (for tests and diagnostics).
uint64_t acquisition_dropped_blocks();
