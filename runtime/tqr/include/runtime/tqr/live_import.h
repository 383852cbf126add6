// The import of TQR's live measurements into the present values of the
// object sets, once a second on the poller thread. The parsers only store
// values, each through the object's own setter and only into objects in
// service; they never change the sets.
#pragma once

#include <cstddef>

inline constexpr size_t tqrFlagLoadData = 8;
inline constexpr size_t tqrFlagInputData = 9;
inline constexpr size_t tqrFlagPulseData = 10;

// The magnitude conversion of a phase angle that TQR sends in radians.
inline constexpr double tqrDegreesPerRadian = 57.29577951308232;

// GET /api/v1/data/loads: {"load": [{"id", totals, "cts": [...]}, ...]}
// (the member's name in any letter case). Each entry goes to every Load of
// that id; an entry lacking a key it needs is skipped whole. Without the
// member: a log line and nothing stored, the flag clear.
int tqrParseLoadData(const char *body, size_t size, size_t count, void *context);
// GET /api/v1/data/inputs: {"Input": [{"id", "en", "freq", "lines"}, ...]},
// the element at position i for the Input held under i (none: skipped).
// Raises std::out_of_range when "Input" is missing.
int tqrParseInputData(const char *body, size_t size, size_t count, void *context);
// GET /api/v1/data/pulses: [{"count"}, ...], the element at position i for
// the pulse input of id i (none: skipped).
int tqrParsePulseData(const char *body, size_t size, size_t count, void *context);

// The load's 3-phase current unbalance in percent: the largest deviation
// of a CT's current from the total shared out over the CTs, against that
// share. 0 without CTs or without current.
double tqrCurrentUnbalance(float totalCurrent, const double *currents, size_t n);
