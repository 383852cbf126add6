#pragma once
// The calibration of the 54 sample channels: one gain and one offset each,
// kept in the board's two I2C EEPROMs as a checksummed block.
//
// How a store commits: both EEPROMs hold the same 440-byte block at byte 60.
// A store writes one copy completely (write, flush, close, read back and
// compare) before it touches the other, and it starts with the copy that is
// not the only good one. So at every moment at least one copy holds a good
// block, the old or the new one. Loading reads 1-0054 and, when that copy
// cannot be read or is corrupt, 1-0052.

#include "arvent.h"
#include "haldor/shared_types.h"
#include "nerisko/data.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t CAL_CHANNELS = 54;  // 0-5 voltage, 6-53 CT 0-47

// cal_entry_t {f32 gain, i32 offset} is shared with the maths library, which
// calibrates the samples with it.
static_assert(sizeof(cal_entry_t) == 8 && offsetof(cal_entry_t, offset) == 4);

// The EEPROM image, little-endian.
struct cal_eeprom_t {
    uint32_t version;   // 1
    uint32_t checksum;  // CRC-32 of the array
    cal_entry_t cal[CAL_CHANNELS];
};
static_assert(sizeof(cal_eeprom_t) == 440 && offsetof(cal_eeprom_t, checksum) == 4 &&
              offsetof(cal_eeprom_t, cal) == 8);

constexpr uint32_t CAL_VERSION = 1;
constexpr long CAL_EEPROM_OFFSET = 60;
constexpr const char *CAL_EEPROM_FIRST = "/sys/bus/i2c/devices/1-0052/eeprom";
constexpr const char *CAL_EEPROM_SECOND = "/sys/bus/i2c/devices/1-0054/eeprom";

// Volts (voltage channels) and volts at the CT input (CT channels) per raw
// count: a measured value divided by its scale is the noise floor in counts.
constexpr double CAL_VOLTAGE_SCALE = 0.00014516420717592595;
constexpr double CAL_CURRENT_SCALE = 1.959007906626506e-06;

// The array itself never moves: the maths library keeps its address.
extern cal_entry_t cal_array[CAL_CHANNELS];

// Where the serial numbers come from: ipc_serial_get (the configuration
// daemon) unless a test puts another source in; 1 with out filled, 0 on failure.
using cal_serial_source_t = int (*)(serials *out);
// nullptr restores ipc_serial_get.
void cal_set_serial_source(cal_serial_source_t source);

// Loads the array from the EEPROM, or gives every channel gain 1, offset 0
// and marks the calibration not valid.
void cal_init();
// Reads the block into the array; false (array untouched) on any failure.
bool cal_read_eeprom();
int cal_get(cal_entry_t **array);
bool cal_valid();

// Calibration steps on a one-second result that carries only the channel
// under calibration. A measured value that cannot give a sound result (zero,
// negative, NaN or infinite, or a channel outside its range) is refused:
// false, nothing changed.
bool cal_voltage_noise_floor(const data_set_t *r, int32_t *offset);
bool cal_voltage_gain(const data_set_t *r, float *gain, float reference);
bool cal_current_noise_floor(const data_set_t *r, int32_t *offset);
bool cal_current_gain(const data_set_t *r, float *gain, float reference);

bool cal_rm(uint32_t channel);       // gain 1, offset 0
bool cal_rm_gain(uint32_t channel);  // gain 1, offset kept

// Writes the array to both EEPROMs; true only when both hold it.
bool cal_store_eeprom();
void cal_print();
