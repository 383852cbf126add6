#pragma once
// The processing thread: for each active voltage set of the mapping it cuts
// the calibrated channel rings into consecutive windows of five fundamental
// cycles and computes one five-cycle result per window (frequency, RMS,
// line-to-line RMS, fundamental, harmonics and phase of every voltage; RMS,
// fundamental, harmonics, phase and real power of every CT, with the load
// totals), which it hands to the five-cycle event list. It also drains the
// rings that the mapping does not use, so that no ring fills.
//
// The mapping is checked when processing starts. What would make the chain
// read a ring twice, leave a ring unread or index beyond its tables is
// refused with a log line and left out: a voltage set whose first entry is
// inactive or whose channels are not voltage channels or are used twice,
// a load with an id of 48 or more, a CT channel that is not a CT ring of this
// front end or is used twice, a CT of a load whose voltage set is not
// processed, and a CT whose scale is not a finite positive number.

#include "arvent.h"
#include "nerisko/processing_set.h"

#include <cstdint>

constexpr uint32_t PROCESSING_WINDOW = 2048;        // window and FFT length, samples
constexpr uint32_t PROCESSING_CYCLES = 5;           // fundamental cycles per result
constexpr float PROCESSING_WINDOW_TOLERANCE = 5.0f;  // samples
constexpr double PROCESSING_VOLTAGE_BASE = 0.0001451642;           // V per ring unit at PT ratio 1
constexpr double PROCESSING_CT_BASE = 1.959007906626506e-06;       // V at the CT input per ring unit

// Amperes per ring unit of a CT entry by its sensor type; 0 for an unknown
// type. Type 9 (rated current and millivolts) and 10 (factor) can give a
// zero, infinite or NaN scale for bad entries: the caller refuses those.
float ct_scale(const mapping_i_channel *ct);
// Sensor types whose output is di/dt and is integrated first.
bool ct_is_flexible(uint32_t ct_type);
// Volts per ring unit for a PT ratio; 1.0 for a ratio outside 0.001..1000.
float voltage_scale(double pt_ratio);

// Window, FFT and frequency set-ups and the ring cursors; after acquisition_init.
bool processing_init();
// Copies and checks the mapping, builds the processing sets and starts the
// thread; true when it runs. Refused (false) while processing runs.
bool processing_start(const mapping *m);
// Stops the thread and waits for its end, including the pass under way and
// its callbacks. Safe when nothing runs.
void processing_stop();
// Waits for the thread's end (processing_stop already does).
void processing_join();
// Stops processing if needed, releases the buffers and set-ups, then the
// acquisition (rings, calibration kernel).
void processing_cleanup();

// Offline driving, for a caller that feeds the rings itself on the same
// thread (the benchmark and tests): processing_start_offline sets up as
// processing_start but starts no thread; each processing_pass runs one pass
// of the thread (every processing set, then the drain of unused rings) and
// tells whether a result was produced. processing_stop ends it.
bool processing_start_offline(const mapping *m);
bool processing_pass();

// The processing sets of the running mapping (slot 0, 1); for tests.
const processing_set_t *processing_get_set(uint32_t slot);
// Whether the ring of channel ch is read by the running mapping.
bool processing_channel_used(uint32_t ch);
