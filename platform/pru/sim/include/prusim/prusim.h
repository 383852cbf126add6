#pragma once
// Controls of the simulated PRU behind <prussdrv.h>: the signal scenario, the
// calibration it inverts, the pace, the ADC daisy chain's register model and
// its hooks for the /dev/zor_adc and data-ready node models, fault injection,
// and what tests need to look at.
//
// Sample rate. The ADCs convert at f_clk / (32 * 2^DR), DR being bits 2..0
// of register CONFIG1 (1) of the first ADC of the chain, which paces the
// chain. The measurement program sets f_clk = 1 538 500 Hz (its default
// clock) and writes CONFIG1 = 0x92 (DR = 2), so the chain runs at
// 1 538 500 / 128 = 12 019.53 samples/s:
//   - a DDR half of 2048 samples spans 170.4 ms: a half must be copied within
//     that time, before the PRU comes back to it, about six times a second;
//   - 16 639.6 ticks of the 200 MHz counter per sample; the counter wraps every
//     21.47 s, about every 126 halves;
//   - 240.4 samples per 50 Hz cycle (200.3 at 60 Hz); five cycles take about
//     1 202 samples, the 2048-sample analysis window 8.5 cycles, and a channel
//     ring of 60 000 samples holds 4.99 s.
// The ADCs power up with those same register values, so a run that never
// configures them still samples at 12 019.53 Hz; other clocks and DR values
// give other rates, and DR = 7, which is no rate, leaves the chain silent
// (the acquisition program then waits for data forever, as on the board).
//
// Calibration. The measurement chain keeps raw counts times the channel's
// gain in its rings (the offset is a noise floor that the RMS takes out, not
// a shift of the samples), and scales ring units to volts or amperes with the
// fixed scale of the channel kind (counts_to_unit). The simulator writes
//     raw = round(scenario / (gain * counts_to_unit)),
// clipped to the 24-bit range of the converters, so that
//     gain * counts_to_unit * raw
// equals the scenario within half a count (plus float rounding).
//
// Time. Sample n of the session has the time t(n) in seconds since the ADCs
// started sampling, the tick counter reads tick_start + floor(t(n) * 200 MHz)
// modulo 2^32. Lock-step runs place the samples of consecutive acquisition
// runs back to back; real-time runs follow the steady clock (scaled), so
// samples keep their wall-clock times across stops.
//
// Everything here is process-wide, as the PRU is; the functions are
// thread-safe.

#include <prusim/layout.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace prusim {

// ---- Scenario ---------------------------------------------------------------

struct Harmonic {
    unsigned order = 2;       // multiple of the fundamental, >= 2
    double amplitude = 0.0;   // peak, in the channel's unit
    double phase_rad = 0.0;   // at t = 0, relative to order * fundamental phase
};

// From time at_s on the fundamental runs at frequency_hz; the phase is
// continuous across the step, as on a real network.
struct FrequencyStep {
    double at_s = 0.0;
    double frequency_hz = 50.0;
};

// One channel's signal in its calibrated unit (volts, amperes):
//   dc + amplitude * sin(phi(t) + phase) + sum_h a_h * sin(h * phi(t) + phase_h) + noise
// where phi(t) = 2 pi * integral of the frequency. The noise is Gaussian with
// the given RMS, a fixed function of (seed, channel, sample number).
struct ChannelScenario {
    double frequency_hz = 50.0;
    double amplitude = 0.0;
    double phase_rad = 0.0;
    std::vector<Harmonic> harmonics;
    double dc_offset = 0.0;
    double noise_rms = 0.0;
    std::vector<FrequencyStep> steps;  // in increasing time
};

// Calibration entry to invert, as in the measurement program's calibration
// array, and the channel's raw-count scale.
struct ChannelCalibration {
    float gain = 1.0f;
    std::int32_t offset = 0;      // noise floor in counts: kept with the array, not applied to samples
    double counts_to_unit = 0.0;  // 0: the default scale of the channel kind
};

inline constexpr double kVoltsPerCount = 0.00014516420717592595;   // channels 0..5
inline constexpr double kAmperesPerCount = 1.959007906626506e-06;  // channels 6..53

// The scale a channel uses when its counts_to_unit is 0.
double default_counts_to_unit(unsigned channel);

// ---- Configuration ----------------------------------------------------------

enum class Pace {
    lockstep,  // no PRU thread: every step() writes and raises the next half
    timed,     // a PRU thread writes each half when its last sample is due
};

struct Config {
    unsigned num_adcs = 9;              // 1, 3 or 9: the front end of 3, 12 or 48 CTs
    Pace pace = Pace::lockstep;
    double time_scale = 1.0;            // timed pace: 1 real time, 10 ten times faster
    // Timed pace: before writing a half, wait until the consumer has cleared
    // the events of the halves before it. The board's PRU never waits; this
    // lets a fast run go as fast as the consumer copies, in order, without
    // losing or overwriting a half.
    bool backpressure = false;
    std::uint32_t tick_start = 0xF0000000;  // tick counter at t = 0; non-zero
    std::uint64_t noise_seed = 1;
    std::array<ChannelScenario, kChannels> channels{};
    std::array<ChannelCalibration, kChannels> calibration{};
    // Pulses per second on pulse inputs 0 and 1 while acquisition runs.
    std::array<double, kPulseInputs> pulse_rate_hz{};
};

// Replaces the configuration. Refused (-1) while the acquisition program runs
// or when a value is out of range (front end, zero or non-finite gain or
// scale, time scale <= 0, harmonic order < 2). 0 on success.
int configure(const Config &config);
Config configuration();

// Creates the simulated board files under METER_ROOT: the /dev/mem file
// (sparse, reaching the DDR window) and the four PRU program files. 0 or -1.
int install();

// Back to power-on: PRUs halted, interrupt controller and data RAM cleared,
// ADCs at their power-on registers, chip selects released, clock default,
// faults and logs cleared, default configuration, session clock restarted.
void reset();

// ---- Pace and time ----------------------------------------------------------

struct HalfInfo {
    int buffer = -1;             // 0 ping, 1 pong
    std::uint64_t half = 0;      // halves written since the program started
    std::uint64_t first_sample = 0;  // session sample number of its first sample
    double sample_rate = 0.0;
    bool raised = false;         // its event was raised
};

// Lock-step: runs the acquisition program until it has written the next
// half (and raised its event, unless a fault says otherwise). Returns 0, or
// -1 when no acquisition program runs in lock-step or it is stalled.
int step(HalfInfo *info = nullptr);

// Sample rate of the running (or last) acquisition run; 0 before the first.
double sample_rate();
// Sample rate the chain would run at now, from the clock and ADC 1's CONFIG1.
double configured_sample_rate();

// Time in seconds of session sample n of the current (or last) run; as
// lock-step runs lie back to back, this holds for their earlier samples too.
double sample_time(std::uint64_t n);
// Tick counter word of session sample n (same reach).
std::uint32_t sample_ticks(std::uint64_t n);
// The scenario's value of a channel at time t, noise of sample n included.
double scenario_value(unsigned channel, std::uint64_t n);
// The raw word the program writes for a channel at sample n.
std::int32_t raw_value(unsigned channel, std::uint64_t n);

// ---- ADC daisy chain (hooks for the /dev/zor_adc model) ------------------------

// RESET request: every ADC back to its power-on registers, stopped, in
// continuous-read mode.
void adc_reset();
// ENABLE_CS / DISABLE_CS of chip select 2..9 (-1 for any other).
int adc_chip_select(int cs, bool asserted);
// ENABLE_DAISY / DISABLE_DAISY.
void adc_daisy(bool on);
// SET_ADC_CLK in Hz (-1 for a clock <= 0).
int adc_clock(int hz);

struct AdcState {
    std::array<std::uint8_t, 32> reg{};
    bool converting = false;       // START received, no STOP since
    bool continuous_read = true;   // RDATAC mode: register access is ignored
    bool selected = false;         // chip select asserted by /dev/zor_adc (ADC 1: never)
};
// ADC 1..num_adcs; an empty state for any other number.
AdcState adc_state(unsigned adc);
bool adc_daisy_on();
int adc_clock_hz();

// One SPI transaction of a one-shot program, in order of execution.
struct SpiTransaction {
    enum Kind { command, write, read } kind = command;
    std::uint8_t opcode = 0;   // command byte, or 0x40 / 0x20 | first register
    std::uint8_t count = 0;    // register bytes written or read
    std::uint16_t selected = 0;  // bit n: ADC n took part (1..9)
    bool ignored = false;      // no ADC selected, or a register access in RDATAC mode
    bool contention = false;   // a read with more than one ADC driving the line
};
std::vector<SpiTransaction> spi_log();
void clear_spi_log();

// ---- Pulse inputs -----------------------------------------------------------

// Pulses counted on input 0 or 1 (what the data RAM word holds).
std::uint32_t pulse_count(unsigned input);
// Pulses arrive on an input now.
void add_pulses(unsigned input, std::uint32_t n);

// ---- Faults -----------------------------------------------------------------

enum class Fault {
    stall,        // from that half on nothing is written or raised; a stop is still answered
    hang,         // as stall, and the stop request is never answered
    skip_event,   // the half is written but its event is not raised
    repeat_half,  // the half after it goes to the same buffer again (ping, ping)
    drdy,         // the daisy chain falls out of step: the data-ready hook is called
    spi_hang,     // the next one-shot program never raises its end event
};

// Arms a fault for the n-th half written from now on (0: the next one); for
// spi_hang n is ignored. Several faults may be armed at once.
void inject(Fault fault, std::uint64_t n = 0);
// Ends a stall or hang: the program goes on with the half due next.
void resume();
// Disarms every fault not yet reached.
void clear_faults();

// A consumer kept from the CPU. The wait on the event output of the n-th half
// written from now on (0: the next) returns only once `late` more halves
// have been written, as if the thread waiting for it ran that many half
// periods late. With both_threads the other half's output is held as long
// (both threads late: the halves in between are overwritten); otherwise the
// held output is let go only once the other output's halves have been taken
// (their events cleared), so the thread on time always goes first.
void hold_consumer(std::uint64_t n, unsigned late, bool both_threads = false);

// Called (outside every simulator lock) with true when the daisy chain falls
// out of step. The data-ready node model sets its byte from it.
void set_drdy_hook(std::function<void(bool out_of_sync)> hook);

// ---- Counters for tests -----------------------------------------------------

struct Stats {
    std::uint64_t halves_written = 0;
    std::uint64_t events_raised = 0;     // ping and pong events raised by the program
    std::uint64_t events_merged = 0;     // raised while still pending: lost to the consumer
    std::uint64_t clipped_samples = 0;   // scenario values beyond the 24-bit range
    std::uint64_t programs_started = 0;
    std::uint64_t stalls_reached = 0;    // halves a stall or hang held back: the program waits from then on
    unsigned half_events_pending = 0;    // ping and pong events raised and not cleared yet (0..2)
};
Stats stats();

}  // namespace prusim
