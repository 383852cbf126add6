#pragma once
// One sample block as the PRU's acquisition program writes it into the DDR
// buffer: 64 consecutive sample instants, little-endian 32-bit words.

#include <cstddef>
#include <cstdint>

constexpr uint32_t SAMPLES_PER_BLOCK = 64;
constexpr uint32_t PRU_ADC_SLOTS = 9;

struct pru_adc_rows_t {
    uint32_t status[SAMPLES_PER_BLOCK];      // the ADC's status word per instant
    int32_t raw[6][SAMPLES_PER_BLOCK];       // ADC input c, signed counts
};

struct pru_block_t {
    pru_adc_rows_t adc[PRU_ADC_SLOTS];       // only the first num_adcs carry data
    uint32_t ts[SAMPLES_PER_BLOCK];          // 200 MHz tick per instant, wrapping at 2^32
};

static_assert(sizeof(pru_adc_rows_t) == 0x700);
static_assert(offsetof(pru_adc_rows_t, raw) == 0x100 && offsetof(pru_adc_rows_t, raw[5]) == 0x600);
static_assert(offsetof(pru_block_t, adc[8]) == 0x700 * 8);
static_assert(offsetof(pru_block_t, ts) == 0x3F00);
static_assert(sizeof(pru_block_t) == 16384);
