#include "nerisko/cal.h"

#include "arvent.h"
#include "meter/sysio.h"

#include <fcntl.h>
#include <syslog.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

static_assert(std::endian::native == std::endian::little, "the block is stored as it lies in memory");

cal_entry_t cal_array[CAL_CHANNELS];

namespace {

bool valid = false;

cal_serial_source_t serial_source = ipc_serial_get;

uint32_t block_checksum(const cal_eeprom_t &b) {
    return checksum(reinterpret_cast<const uint8_t *>(b.cal), sizeof b.cal);
}

void set_defaults() {
    for (cal_entry_t &e : cal_array) {
        e.gain = 1.0f;
        e.offset = 0;
    }
}

// Reads count bytes at the descriptor's position; false on failure or end of file.
bool read_all(int fd, void *buf, size_t count) {
    return sys_read_all(fd, buf, count) == static_cast<ssize_t>(count);
}

// Reads the block of one EEPROM, logging why it cannot be used.
bool read_block(const char *path, cal_eeprom_t *out) {
    const int fd = sys_open(path, O_RDONLY);
    if (fd < 0) {
        sys_log(LOG_ERR, "error opening eeprom for reading");
        return false;
    }
    if (sys_lseek(fd, CAL_EEPROM_OFFSET, SEEK_SET) != CAL_EEPROM_OFFSET) {
        sys_log(LOG_ERR, "failed to search in eeprom file");
        sys_close(fd);
        return false;
    }
    if (!read_all(fd, out, sizeof *out)) {
        sys_log(LOG_ERR, "failed to read calibration data");
        sys_close(fd);
        return false;
    }
    sys_close(fd);
    bool good = true;
    if (out->checksum != block_checksum(*out)) {
        sys_log(LOG_ERR, "Calibration array checksum invalid");
        good = false;
    } else if (out->version != CAL_VERSION) {
        sys_log(LOG_ERR, "Calibration array version invalid");
        good = false;
    }
    if (!good) {
        sys_log(LOG_ERR, "calibration corrupted");
    }
    return good;
}

// Whether an EEPROM holds a good block, without a word in the log.
bool block_good(const char *path) {
    const int fd = sys_open(path, O_RDONLY);
    if (fd < 0) {
        return false;
    }
    cal_eeprom_t b;
    const bool read = sys_lseek(fd, CAL_EEPROM_OFFSET, SEEK_SET) == CAL_EEPROM_OFFSET &&
                      read_all(fd, &b, sizeof b);
    sys_close(fd);
    return read && b.checksum == block_checksum(b) && b.version == CAL_VERSION;
}

// Writes the block to one EEPROM and makes sure that it is there: written,
// flushed, closed, read back equal.
bool write_block(const char *path, const cal_eeprom_t &b) {
    const int fd = sys_open(path, O_WRONLY);
    if (fd < 0) {
        sys_log(LOG_ERR, "error opening eeprom for writing");
        return false;
    }
    if (sys_lseek(fd, CAL_EEPROM_OFFSET, SEEK_SET) != CAL_EEPROM_OFFSET) {
        sys_log(LOG_ERR, "failed to search in eeprom file");
        sys_close(fd);
        return false;
    }
    if (sys_write_all(fd, &b, sizeof b) != static_cast<ssize_t>(sizeof b)) {
        sys_log(LOG_ERR, "failed to write cal_array to eeprom");
        sys_close(fd);
        return false;
    }
    if (sys_fsync(fd) != 0) {
        sys_log(LOG_ERR, "failed to flush cal_array to eeprom");
        sys_close(fd);
        return false;
    }
    if (sys_close(fd) != 0) {
        sys_log(LOG_ERR, "failed to close eeprom after writing");
        return false;
    }
    const int rfd = sys_open(path, O_RDONLY);
    cal_eeprom_t back;
    bool same = false;
    if (rfd >= 0) {
        same = sys_lseek(rfd, CAL_EEPROM_OFFSET, SEEK_SET) == CAL_EEPROM_OFFSET &&
               read_all(rfd, &back, sizeof back) && std::memcmp(&back, &b, sizeof b) == 0;
        sys_close(rfd);
    }
    if (!same) {
        sys_log(LOG_ERR, "failed to verify cal_array in eeprom");
        return false;
    }
    return true;
}

// The PRU threads calibrate with the gains while the test station's steps
// change them: each member is one aligned word, stored atomically.
void store_gain(uint32_t channel, float gain) {
    std::atomic_ref<float>(cal_array[channel].gain).store(gain, std::memory_order_relaxed);
}

void store_offset(uint32_t channel, int32_t offset) {
    std::atomic_ref<int32_t>(cal_array[channel].offset).store(offset, std::memory_order_relaxed);
}

bool usable(float measured) { return std::isfinite(measured) && measured > 0.0f; }

bool noise_floor(uint32_t channel, bool channel_ok, float measured, double scale, const char *kind,
                 int32_t *offset) {
    if (!channel_ok) {
        sys_log(LOG_ERR, "calibration refused: channel %u out of range", channel);
        return false;
    }
    const double counts = static_cast<double>(measured) / scale;
    if (!std::isfinite(counts) || counts < std::numeric_limits<int32_t>::min() ||
        counts > std::numeric_limits<int32_t>::max()) {
        sys_log(LOG_ERR, "calibration refused: measured value %f of %s_ch%u", static_cast<double>(measured),
                kind, channel);
        return false;
    }
    const auto value = static_cast<int32_t>(counts);  // truncated toward zero
    store_offset(channel, value);
    *offset = value;
    sys_log(LOG_INFO, "offset %s_ch%d: %d", kind, static_cast<int>(channel), value);
    return true;
}

bool gain_step(uint32_t channel, bool channel_ok, float measured, float reference, const char *kind,
               float *gain) {
    if (!channel_ok) {
        sys_log(LOG_ERR, "calibration refused: channel %u out of range", channel);
        return false;
    }
    // A zero or missing measurement would store an infinite or undefined gain
    // and silence or blow up the channel until the next calibration.
    const bool sound = usable(measured) && usable(reference) && usable(reference / measured);
    if (!sound) {
        sys_log(LOG_ERR, "calibration refused: measured value %f, reference %f of %s_ch%u",
                static_cast<double>(measured), static_cast<double>(reference), kind, channel);
        return false;
    }
    const float value = reference / measured;
    store_gain(channel, value);
    *gain = value;
    sys_log(LOG_INFO, "gain %s_ch%d: %f", kind, static_cast<int>(channel), static_cast<double>(value));
    return true;
}

uint32_t voltage_channel(const data_set_t *r) { return r->set_u.u[0].channel; }
uint32_t current_channel(const data_set_t *r) { return r->sets_i[0].i[0].channel; }
bool voltage_channel_ok(uint32_t ch) { return ch < 6; }
bool current_channel_ok(uint32_t ch) { return ch >= 6 && ch < CAL_CHANNELS; }

}  // namespace

void cal_set_serial_source(cal_serial_source_t source) {
    serial_source = source != nullptr ? source : ipc_serial_get;
}

bool cal_read_eeprom() {
    serials ids{};
    if (serial_source(&ids) == 0) {
        sys_log(LOG_ERR, "failed to get serials");
        return false;
    }
    if (std::strncmp(ids.serial[1], ids.serial[2], sizeof ids.serial[1]) != 0) {
        sys_log(LOG_ERR, "eeprom serials do not match");
        return false;
    }
    cal_eeprom_t block;
    if (!read_block(CAL_EEPROM_SECOND, &block)) {
        // A store cut short may have left this copy torn; the other one then
        // holds the calibration.
        if (!read_block(CAL_EEPROM_FIRST, &block)) {
            return false;
        }
        sys_log(LOG_WARNING, "Calibration loaded from the first eeprom");
    }
    std::memcpy(cal_array, block.cal, sizeof cal_array);
    return true;
}

void cal_init() {
    if (cal_read_eeprom()) {
        valid = true;
        return;
    }
    sys_log(LOG_WARNING, "Calibration init failed, loaded default calibration array");
    valid = false;
    set_defaults();
}

int cal_get(cal_entry_t **array) {
    *array = cal_array;
    return 0;
}

bool cal_valid() { return valid; }

bool cal_voltage_noise_floor(const data_set_t *r, int32_t *offset) {
    const uint32_t ch = voltage_channel(r);
    return noise_floor(ch, voltage_channel_ok(ch), r->set_u.u[0].rms_ln.value, CAL_VOLTAGE_SCALE, "u", offset);
}

bool cal_voltage_gain(const data_set_t *r, float *gain, float reference) {
    const uint32_t ch = voltage_channel(r);
    return gain_step(ch, voltage_channel_ok(ch), r->set_u.u[0].rms_ln.value, reference, "u", gain);
}

bool cal_current_noise_floor(const data_set_t *r, int32_t *offset) {
    const uint32_t ch = current_channel(r);
    return noise_floor(ch, current_channel_ok(ch), r->sets_i[0].i[0].rms_u.value, CAL_CURRENT_SCALE, "i",
                       offset);
}

bool cal_current_gain(const data_set_t *r, float *gain, float reference) {
    const uint32_t ch = current_channel(r);
    return gain_step(ch, current_channel_ok(ch), r->sets_i[0].i[0].rms_u.value, reference, "i", gain);
}

bool cal_rm(uint32_t channel) {
    SYS_ASSERT(channel < CAL_CHANNELS, "channel < CAL_CHANNELS");
    store_gain(channel, 1.0f);
    store_offset(channel, 0);
    return true;
}

bool cal_rm_gain(uint32_t channel) {
    SYS_ASSERT(channel < CAL_CHANNELS, "channel < CAL_CHANNELS");
    store_gain(channel, 1.0f);
    return true;
}

bool cal_store_eeprom() {
    cal_eeprom_t block{};
    block.version = CAL_VERSION;
    std::memcpy(block.cal, cal_array, sizeof block.cal);
    block.checksum = block_checksum(block);

    // Never start with the only copy that still holds a good block.
    const char *first = CAL_EEPROM_FIRST;
    const char *second = CAL_EEPROM_SECOND;
    if (block_good(CAL_EEPROM_FIRST) && !block_good(CAL_EEPROM_SECOND)) {
        std::swap(first, second);
    }
    return write_block(first, block) && write_block(second, block);
}

void cal_print() {
    for (uint32_t ch = 0; ch < 6; ++ch) {
        sys_log(LOG_INFO, "cal u_ch%d offset: %d\tgain: %f", static_cast<int>(ch), cal_array[ch].offset,
                static_cast<double>(cal_array[ch].gain));
    }
    for (uint32_t ch = 6; ch < CAL_CHANNELS; ++ch) {
        sys_log(LOG_INFO, "cal i_ch%d offset: %d\tgain: %f", static_cast<int>(ch - 6), cal_array[ch].offset,
                static_cast<double>(cal_array[ch].gain));
    }
}
