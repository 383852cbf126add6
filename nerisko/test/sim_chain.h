#pragma once
// The offline lock-step driver of the measurement chain: the simulated PRU's
// acquisition program writes one DDR half per step, the half goes through
// the block copy into the channel rings, and processing passes run on the
// same thread until nothing more is produced. No PRU thread, no timing: the
// same scenario always gives the same results. Used by tests and the
// benchmark; needs METER_ROOT set and the front end chosen.

#include "nerisko/acquisition.h"
#include "nerisko/processing.h"
#include "meter/sysio.h"
#include "prusim/layout.h"
#include "prusim/prusim.h"
#include "prussdrv.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cstdint>
#include <vector>

namespace sim_chain {

class Feeder {
public:
    Feeder() = default;
    Feeder(const Feeder &) = delete;
    Feeder &operator=(const Feeder &) = delete;
    ~Feeder() { close(); }

    // Installs the board files, configures the simulated PRU (lock-step) and
    // starts its acquisition program; the DDR buffer is mapped here.
    bool open(const prusim::Config &config) {
        if (prusim::install() != 0) {
            return false;
        }
        prusim::Config c = config;
        c.pace = prusim::Pace::lockstep;
        if (prusim::configure(c) != 0 || prussdrv_init() != 0) {
            return false;
        }
        if (clock_hz_ > 0 && prusim::adc_clock(clock_hz_) != 0) {
            return false;
        }
        if (prussdrv_exec_program(0, prusim::kProgramReadData) != 0) {
            return false;
        }
        fd_ = sys_open("/dev/mem", O_RDWR);
        if (fd_ < 0) {
            return false;
        }
        void *p = sys_mmap(prusim::kDdrSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd_,
                           static_cast<off_t>(prusim::kDdrPhysAddr));
        if (p == MAP_FAILED) {
            return false;
        }
        ddr_ = static_cast<uint8_t *>(p);
        return true;
    }
    // ADC clock for the next open (0: the default).
    void set_clock(int hz) { clock_hz_ = hz; }

    // What became of each half the PRU wrote.
    struct Written {
        uint64_t first_sample;  // session sample number of its first sample
        bool stored;            // in the rings (not lost, not dropped for want of room)
    };

    // One half written by the PRU, copied into the rings.
    bool write_half() {
        prusim::HalfInfo info;
        if (prusim::step(&info) != 0) {
            return false;
        }
        last_ = reinterpret_cast<const pru_block_t *>(ddr_ + prusim::kHalfSize * info.buffer);
        const uint64_t dropped = acquisition_dropped_blocks();
        acquisition_new_data(last_, prusim::kBlocksPerHalf);
        written_.push_back({info.first_sample, acquisition_dropped_blocks() == dropped});
        ++halves_;
        return true;
    }
    // One half written by the PRU and overwritten before anybody copied it.
    bool lose_half() {
        prusim::HalfInfo info;
        if (prusim::step(&info) != 0) {
            return false;
        }
        written_.push_back({info.first_sample, false});
        return true;
    }
    // At most n processing passes, fewer when it waits for samples.
    void passes(int n) {
        for (int k = 0; k < n && processing_pass(); ++k) {
        }
    }
    const std::vector<Written> &written() const { return written_; }
    // One half, then processing until it waits for samples.
    bool step() {
        if (!write_half()) {
            return false;
        }
        while (processing_pass()) {
        }
        return true;
    }
    uint64_t halves() const { return halves_; }
    // The blocks of the half written last.
    const pru_block_t *last_half() const { return last_; }

    void close() {
        if (ddr_ != nullptr) {
            sys_munmap(ddr_, prusim::kDdrSize);
            ddr_ = nullptr;
        }
        if (fd_ >= 0) {
            sys_close(fd_);
            fd_ = -1;
            prussdrv_exit();
        }
    }

private:
    uint8_t *ddr_ = nullptr;
    int fd_ = -1;
    int clock_hz_ = 0;
    uint64_t halves_ = 0;
    const pru_block_t *last_ = nullptr;
    std::vector<Written> written_;
};

}  // namespace sim_chain
