#pragma once
// A simulated board per test: a temporary METER_ROOT with the PRU files, the
// driver session set up as the measurement program sets it up, and the DDR
// window mapped from the /dev/mem file the way the measurement program maps it.

#include <prusim/layout.h>
#include <prusim/prusim.h>
#include <prussdrv.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace prusim::test {

// Event outputs (host interrupt - 2) the measurement program waits on.
inline constexpr unsigned kOutOneShot = 0;
inline constexpr unsigned kOutStopped = 2;
inline constexpr unsigned kOutPing = 3;
inline constexpr unsigned kOutPong = 4;

// The interrupt set-up of the measurement program.
prussdrv_intc_setup meter_intc();

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Power-cycles the simulator and sets the driver session up again.
    void reboot();
    // Replaces the configuration (the test fails when refused).
    void configure(const Config &config);
    // Starts the acquisition program.
    void start();
    // Sends the stop request and waits (bounded) for the program's answer.
    // False when the program did not answer.
    bool stop(int timeout_ms = 2000);
    // Runs a one-shot program and waits (bounded) for its end event.
    bool run_one_shot(const char *program, int timeout_ms = 2000);
    // Steps lock-step acquisition; the test fails when no half was written.
    HalfInfo step_ok();

    const PruBlock *half(int buffer) const {
        return reinterpret_cast<const PruBlock *>(ddr_ + static_cast<std::size_t>(buffer) * kHalfSize);
    }
    std::uint8_t *dataram() const { return dataram_; }

    std::string root_;

private:
    std::uint8_t *ddr_ = nullptr;
    std::uint8_t *dataram_ = nullptr;
};

// Calibrated value of a raw word as the measurement program computes it:
// gain * scale * (raw - offset), in float.
float reference_calibrate(std::int32_t raw, const ChannelCalibration &cal, unsigned channel);

}  // namespace prusim::test
