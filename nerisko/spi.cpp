#include "nerisko/adc.h"

#include "nerisko/pru.h"
#include "nerisko/sysio.h"

#include <syslog.h>

#include <cstring>
#include <mutex>

namespace {

constexpr size_t kBlockBytes = 13;
// The pulse-input counters share the first words of the data RAM with the
// command block; they are put back after every transaction.
constexpr size_t kSavedBytes = 16;

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
    bool ran;
    {
        std::lock_guard lock(pru_data_mem_mutex);
        uint8_t saved[kSavedBytes];
        std::memcpy(saved, mem, kSavedBytes);
        const char *program = nullptr;
        switch (op) {
        case Op::command:
            mem[0] = command;
            mem[1] = own;
            program = "/usr/bin/pru-spi-cmd.bin";
            break;
        case Op::write:
            mem[0] = static_cast<uint8_t>(0x40u | command);
            mem[1] = static_cast<uint8_t>(count);
            std::memcpy(mem + 2, bytes, count);
            mem[12] = own;
            program = "/usr/bin/pru-spi-write-settings.bin";
            break;
        case Op::read:
            mem[0] = 0x20;
            mem[1] = own;
            program = "/usr/bin/pru-spi-read-settings.bin";
            break;
        }
        ran = pru_run_program(program);
        if (ran && op == Op::read) {
            sys_log(LOG_INFO, "adc %d settings: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x", cs, mem[0],
                    mem[1], mem[2], mem[3], mem[4], mem[5], mem[6], mem[7], mem[8], mem[9], mem[10]);
        }
        std::memcpy(mem, saved, kSavedBytes);
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
