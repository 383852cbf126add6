#pragma once
// The simulated PRU behind prussdrv.h, and the handles that tests, the local
// run and the benchmarks use to drive it.
//
// Acquisition program (/usr/bin/pru-spi-read-data.bin): fills one half of the
// DDR buffer at a time with 32 sample blocks (64 sample instants each: per ADC
// a status row and six rows of signed raw counts, then the 200 MHz tick of
// every instant) and raises system event 24 for the ping half and 25 for the
// pong half; system event 21 makes it finish and answer with event 23.
//
// Samples come from a scenario per channel ring and are turned into raw
// counts through the inverse of the calibration gain and of the board's
// wiring from ADC inputs to rings, so that calibrated ring samples equal the
// scenario (to the rounding of a count).
//
// Sample rate: the ADCs run from the clock set on /dev/zor_adc (1538500 Hz by
// default) and register 1 = 0x92 selects an output rate of clock / 128, so a
// channel delivers 12019.53125 samples per second. A half (2048 instants)
// lasts about 170 ms.
//
// SPI programs (pru-spi-cmd.bin, pru-spi-write-settings.bin,
// pru-spi-read-settings.bin): act on a register model of each ADC of the
// daisy chain, through the command block at the start of PRU 0 data RAM, on
// the ADCs selected by the block's own-select flag (chip select 1) and the
// chip selects held by the /dev/zor_adc model (2..9); end with event 19.
//
// Program files must exist under METER_ROOT, as they must on the board.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace pru_sim {

constexpr double kNominalClockHz = 1538500.0;
constexpr double kTicksPerSecond = 200000000.0;
constexpr uint32_t kChannels = 54;
constexpr uint32_t kBlockBytes = 16384;
constexpr uint32_t kBlocksPerHalf = 32;
constexpr uint32_t kSamplesPerBlock = 64;
constexpr uint32_t kHalfBytes = kBlockBytes * kBlocksPerHalf;
constexpr uint64_t kDdrPhysical = 0x87F00000;
constexpr uint32_t kDdrBytes = 0x100000;

// Output rate of the ADCs at a clock.
constexpr double sample_rate_at(double clock_hz) { return clock_hz / 128.0; }

struct Harmonic {
    uint32_t order;    // 2, 3, ...
    double amplitude;  // peak, relative to the fundamental's
    double phase;      // rad, of the harmonic's own sine
};

struct FrequencyStep {
    uint64_t at_sample;  // sample instant from the program's start
    double frequency;    // Hz from there on
};

// One channel's waveform in ring units (calibrated values):
// dc + amplitude * (sin(theta) + sum a_h sin(h theta + phi_h)) + noise,
// theta advancing by 2 pi f / rate per sample from `phase`.
struct Channel {
    double frequency = 50.0;
    double amplitude = 0.0;  // peak
    double phase = 0.0;      // rad at sample 0
    std::vector<Harmonic> harmonics;
    double dc = 0.0;
    double noise = 0.0;  // RMS of a deterministic pseudo-random noise
    std::vector<FrequencyStep> steps;
};

// The scenario's value of a channel ring at a sample instant; tests compute
// the expected ring contents with it.
double sample_value(const Channel &ch, uint32_t ring, uint64_t sample, double rate);

enum class Pace {
    realtime,  // one half every 2048 samples' time, divided by time_scale
    lockstep,  // the next half only once the previous half's event is cleared
};

struct Config {
    uint32_t num_adcs = 9;  // 1, 3 or 9
    std::array<Channel, kChannels> channels{};
    std::array<float, kChannels> gains{};  // calibration gain per ring; 0 counts as 1
    uint32_t first_tick = 0xFFF00000u;     // the tick counter at sample 0
    Pace pace = Pace::lockstep;
    double time_scale = 1.0;
    uint64_t max_halves = 0;  // stop producing after this many (0: no limit)
    // Pulses seen on the two pulse inputs during each half; the acquisition
    // program counts them in the first two words of PRU 0 data RAM.
    std::array<uint32_t, 2> pulses_per_half{};
};

// Replaces the configuration; takes effect at the next start of the
// acquisition program. Resets the faults and counters.
void configure(const Config &config);
Config config();

// Which ring an ADC input feeds (the board's wiring), for num_adcs ADCs;
// -1 when that input feeds no ring.
int ring_of_input(uint32_t num_adcs, uint32_t adc, uint32_t input);

// ---- running ----
bool acquisition_running();
uint64_t halves_produced();
// Lets a lock-step or limited run produce n more halves.
void allow_halves(uint64_t n);
// Waits until halves_produced() reaches n, at most timeout_ms; true when it did.
bool wait_halves(uint64_t n, int timeout_ms);

// ---- faults ----
// The program hangs: no more halves, no answer to the stop event, until the
// PRU is disabled or a new program is loaded.
void fault_stall();
// The next half is skipped: the same buffer is filled and raised twice.
void fault_miss_half();
// The event of the last half is raised once more.
void fault_repeat_half();
// The ADCs' data-ready lines fall out of step: the data-ready node reports it.
void fault_drdy();

// ---- ADCs ----
constexpr uint32_t kAdcRegisters = 11;
std::array<uint8_t, kAdcRegisters> adc_registers(uint32_t adc);  // ADC 0 .. 8
bool adc_converting(uint32_t adc);   // START received
bool adc_continuous(uint32_t adc);   // in continuous-read mode

struct SpiRun {
    std::string program;  // file name without folder
    uint8_t command;      // byte 0 of the block
    uint32_t selected;    // bit n: chip select n asserted during the run (1..9)
    std::vector<uint8_t> data;  // register bytes written
    bool operator==(const SpiRun &) const = default;
};
std::vector<SpiRun> spi_runs();

}  // namespace pru_sim
