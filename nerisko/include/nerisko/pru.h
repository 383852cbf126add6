#pragma once
// PRU control: the DDR buffer that the acquisition program fills, the PRU
// interrupt set-up, the one-shot SPI programs, and the two threads "ping"
// and "pong" that take turns handing a full half of the DDR buffer (32
// blocks) to the block-copy callback.

#include "nerisko/pru_block.h"

#include <cstdint>
#include <cstddef>

using copy_func_t = void (*)(const pru_block_t *blocks, uint32_t count);

extern copy_func_t copy_func;

// PRU 0 data RAM: the SPI command block of the one-shot programs takes bytes
// 0..12; the acquisition program counts the pulses of inputs 0 and 1 in two
// u32 words of their own after it, so that no ADC start-up overwrites them.
constexpr size_t PRU_SPI_BLOCK_OFFSET = 0x00;
constexpr size_t PRU_PULSE_COUNTER_OFFSET = 0x10;

// Maps the DDR buffer and clears it.
bool pru_mem_init();
// Unmaps it, halts the PRU and closes the driver; nothing when not mapped.
void pru_mem_free();
// Driver set-up: event outputs, interrupt routing, data RAM; 0 on success, 1 on failure.
int init_pru(copy_func_t callback);
// Starts ping, pong and the acquisition program; false (nothing left
// running) when a thread cannot be started.
bool pru_start_acq();
// Stops the threads and then the acquisition program. A PRU that does not
// answer within a bounded time is halted.
void pru_stop_acq();
// The same for a caller that flushes the rings afterwards (the test
// station's measurements): the threads wait for no last half, so a stalled
// PRU holds the stop for one wait slice, not the stall limit.
void pru_stop_acq_discarding();
// Stops and joins the threads only; each first copies one more half, taken
// after the stop was asked for (not one it was still busy with), unless
// the PRU has stalled, in which case it gives up after a bounded wait.
void pru_stop_irqthread();
// Runs one one-shot program to its end; false when it cannot be loaded or
// does not finish in time.
bool pru_run_program(const char *path);
uint8_t *pru_get_data_mem();
// Creates the thread of event output 3 (ping) or 4 (pong); 0, the creation
// error, or -1 for another output. A priority above 0 asks for real-time
// scheduling, which falls back to normal scheduling where not permitted.
int pru_start_irqthread(unsigned evtout, int priority);

// Bounds of the waits (ms), changeable by tests.
extern int pru_event_slice_ms;    // one wait of a thread for its half
extern int pru_stall_limit_ms;    // how long a stopping thread waits for its last half
extern int pru_program_limit_ms;  // a one-shot program or the stop answer
