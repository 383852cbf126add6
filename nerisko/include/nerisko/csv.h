#pragma once
// Raw capture (print mode): COUNT raw samples of every ADC of the front end
// are copied block by block from the PRU threads into one buffer, then
// written with their PRU times and ADC status words as a CSV file. Every
// line, the header included, ends with backspace, space, line feed.

#include "nerisko/pru_block.h"

#include <cstdint>

constexpr uint32_t CSV_MAX_SAMPLES = 0x100000;

// Sizes and allocates the capture of count samples (capped at 1048576);
// false when the buffer cannot be had.
bool csv_init(uint32_t count);
// The block-copy callback in print mode: takes at most the blocks still missing.
void csv_copy_data(const pru_block_t *blocks, uint32_t count);
// Samples still to capture: blocks still to capture x 64.
uint32_t csv_get_sample_cnt();
// Writes the captured blocks (capped count / 64 of them) to path, fsyncs it
// and frees the buffer; false when the file cannot be opened or written.
bool csv_print(const char *path);
