#pragma once
// A counting appCalloc/appFree for tests, fuzz targets and benchmarks.
//
// Linking this library provides appCalloc and appFree. They count the blocks
// handed out and not yet returned, count every appCalloc call, and can be
// told to fail one chosen call so that tests walk every allocation failure.

#include <cstdint>

namespace appmem {

// Clears the counters and any planned failure. Blocks still outstanding stay
// allocated (and keep being counted when they are freed).
void reset();

// Blocks handed out by appCalloc and not yet released through appFree.
int64_t outstanding();

// appCalloc calls since the last reset(), failed ones included.
uint64_t calls();

// Makes the call that comes after `successes` further successful calls fail
// (0: the next call fails). A negative value never fails. The failure is
// one-shot: later calls succeed again.
void failAfter(int64_t successes);

// Makes every call from now on fail (true) or none (false).
void failAll(bool on);

}  // namespace appmem
