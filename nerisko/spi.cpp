#include "nerisko/adc.h"

#include "nerisko/pru.h"
#include "meter/sysio.h"

#include <syslog.h>

#include <cstring>

namespace {

enum class Op { command, write, read };

int transact(int fd, Op op, uint8_t command, const uint8_t *bytes, uint32_t count, int cs) {
    if (cs < 1 || cs > 9) {
        sys_log(LOG_ERR, "not a valid cs: %d", cs);
        return -1;
    }
    uint8_t *mem = pru_get_data_mem();
    if (mem == nullptr) {
        sys_log(LOG_ERR, "PRU data memory not mapped");
        return -1;
    }
    const uint8_t own = cs == 1 ? 1 : 0;
    if (cs != 1) {
        int value = cs;
        if (sys_ioctl(fd, ADC_ENABLE_CS, &value) == -1) {
            sys_log(LOG_ERR, "failed to send ENABLE_CS");
            return -1;
        }
    }
    uint8_t *blk = mem + PRU_SPI_BLOCK_OFFSET;
    const char *program = nullptr;
    switch (op) {
    case Op::command:
        blk[0] = command;
        blk[1] = own;
        program = "/usr/bin/pru-spi-cmd.bin";
        break;
    case Op::write:
        blk[0] = static_cast<uint8_t>(0x40u | command);
        blk[1] = static_cast<uint8_t>(count);
        std::memcpy(blk + 2, bytes, count);
        blk[12] = own;
        program = "/usr/bin/pru-spi-write-settings.bin";
        break;
    case Op::read:
        blk[0] = 0x20;
        blk[1] = own;
        program = "/usr/bin/pru-spi-read-settings.bin";
        break;
    }
    const bool ran = pru_run_program(program);
    if (ran && op == Op::read) {
        sys_log(LOG_INFO, "adc %d settings: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x", cs, blk[0],
                blk[1], blk[2], blk[3], blk[4], blk[5], blk[6], blk[7], blk[8], blk[9], blk[10]);
    }
    if (cs != 1) {
        int value = cs;
        if (sys_ioctl(fd, ADC_DISABLE_CS, &value) == -1) {
            sys_log(LOG_ERR, "failed to send DISABLE_CS");
            return -1;
        }
    }
    return ran ? 0 : -1;
}

}  // namespace

int spi_cmd(int fd, uint8_t command, int cs) { return transact(fd, Op::command, command, nullptr, 0, cs); }

int spi_write(int fd, uint8_t first_register, const uint8_t *bytes, uint32_t count, int cs) {
    if (count > 10) {
        sys_log(LOG_ERR, "too many register bytes: %u", count);
        return -1;
    }
    return transact(fd, Op::write, first_register, bytes, count, cs);
}

int spi_read_settings(int fd, int cs) { return transact(fd, Op::read, 0, nullptr, 0, cs); }
