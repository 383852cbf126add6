// Raw capture to CSV. The PRU threads only copy whole blocks; all
// formatting happens after the capture, on the main thread.

#include "nerisko/csv.h"
#include "nerisko/frontend.h"

#include "meter/sysio.h"

#include <fcntl.h>
#include <syslog.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

uint32_t requested = 0;  // capped sample count
uint32_t total_blocks = 0;
std::atomic<uint32_t> blocks_missing{0};
pru_block_t *buffer = nullptr;
uint32_t write_index = 0;  // PRU threads only, one at a time

const char kLineEnd[] = "\x08 \n";

void release() {
    std::free(buffer);
    buffer = nullptr;
}

}  // namespace

bool csv_init(uint32_t count) {
    release();
    if (count > CSV_MAX_SAMPLES) {
        count = CSV_MAX_SAMPLES;
        sys_log(LOG_INFO, "Too much samples requested, capping at %d", static_cast<int>(count));
    }
    requested = count;
    total_blocks = (count + SAMPLES_PER_BLOCK - 1) / SAMPLES_PER_BLOCK;
    sys_log(LOG_DEBUG, "Going to obtain %d samples from %d blocks\r\n", static_cast<int>(count),
            static_cast<int>(total_blocks));
    const size_t size = static_cast<size_t>(total_blocks) * sizeof(pru_block_t);
    buffer = static_cast<pru_block_t *>(std::calloc(total_blocks == 0 ? 1 : total_blocks, sizeof(pru_block_t)));
    if (buffer == nullptr) {
        sys_log(LOG_ERR, "Failed to allocate block buffer memory\r\n");
        return false;
    }
    write_index = 0;
    sys_log(LOG_DEBUG, "Allocated scratch %p - %p: %d bytes\r\n", static_cast<void *>(buffer),
            static_cast<void *>(reinterpret_cast<char *>(buffer) + size), static_cast<int>(size));
    blocks_missing.store(total_blocks);
    return true;
}

void csv_copy_data(const pru_block_t *blocks, uint32_t count) {
    const uint32_t missing = blocks_missing.load();
    const uint32_t n = count < missing ? count : missing;
    if (n == 0 || buffer == nullptr) {
        return;
    }
    std::memcpy(buffer + write_index, blocks, static_cast<size_t>(n) * sizeof(pru_block_t));
    write_index += n;
    blocks_missing.store(missing - n);
}

uint32_t csv_get_sample_cnt() { return blocks_missing.load() * SAMPLES_PER_BLOCK; }

bool csv_print(const char *path) {
    const int fd = sys_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        sys_log(LOG_ERR, "Failed to open CSV file for writing");
        release();
        return false;
    }
    const uint32_t adcs = num_adcs < PRU_ADC_SLOTS ? num_adcs : PRU_ADC_SLOTS;
    // Only blocks that were captured are written, never past the buffer.
    uint32_t blocks = requested / SAMPLES_PER_BLOCK;
    const uint32_t captured = total_blocks - blocks_missing.load();
    if (blocks > captured) {
        blocks = captured;
    }
    std::string out = "timestamp,";
    char field[96];
    for (uint32_t k = 0; k < adcs; ++k) {
        std::snprintf(field, sizeof field, "adc%u:head,", k);
        out += field;
        for (uint32_t c = 0; c < 6; ++c) {
            std::snprintf(field, sizeof field, "adc%u:ch%u,", k, c);
            out += field;
        }
    }
    out += kLineEnd;
    bool ok = true;
    for (uint32_t b = 0; b < blocks && ok; ++b) {
        std::printf("%5.1f%% \r", 100.0 * b / blocks);
        std::fflush(stdout);
        const pru_block_t &blk = buffer[b];
        for (uint32_t i = 0; i < SAMPLES_PER_BLOCK; ++i) {
            std::snprintf(field, sizeof field, "%u,", blk.ts[i]);
            out += field;
            for (uint32_t k = 0; k < adcs; ++k) {
                const pru_adc_rows_t &a = blk.adc[k];
                std::snprintf(field, sizeof field, "0x%x,%d,%d,%d,%d,%d,%d,", a.status[i], a.raw[0][i], a.raw[1][i],
                              a.raw[2][i], a.raw[3][i], a.raw[4][i], a.raw[5][i]);
                out += field;
            }
            out += kLineEnd;
        }
        if (out.size() >= 256 * 1024) {
            ok = sys_write_all(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size());
            out.clear();
        }
    }
    ok = ok && sys_write_all(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size());
    ok = ok && sys_fsync(fd) == 0;
    ok = sys_close(fd) == 0 && ok;
    release();
    if (!ok) {
        sys_log(LOG_ERR, "Failed to write CSV file %s", path);
        return false;
    }
    sys_log(LOG_INFO, "All blocks written to disk\r\n");
    sys_log(LOG_INFO, "Finished generating csv");
    return true;
}
