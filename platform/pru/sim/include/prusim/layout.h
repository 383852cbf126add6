#pragma once
// What the PRU programs and the measurement program share: the DDR sample
// buffer with its blocks, the ADC-slot-to-channel table, the PRU 0 data RAM
// words and the system events. These are the simulated PRU programs' own
// definitions; the measurement program keeps its own, and a test checks that
// the two agree.

#include <cstddef>
#include <cstdint>

namespace prusim {

// ---- DDR buffer -------------------------------------------------------------

// Physical window the acquisition program writes. On a host, "physical
// memory" is the file meter_path("/dev/mem"), mapped at this offset.
inline constexpr std::uint64_t kDdrPhysAddr = 0x87F00000;
inline constexpr std::size_t kDdrSize = 0x100000;
inline constexpr std::size_t kHalfSize = kDdrSize / 2;  // ping: first half, pong: second

inline constexpr unsigned kSamplesPerBlock = 64;
inline constexpr unsigned kAdcSlots = 9;
inline constexpr unsigned kChannelsPerAdc = 6;
inline constexpr unsigned kChannels = kAdcSlots * kChannelsPerAdc;  // 54
inline constexpr unsigned kBlocksPerHalf = 32;
inline constexpr unsigned kSamplesPerHalf = kBlocksPerHalf * kSamplesPerBlock;  // 2048

// One ADC of the daisy chain over the 64 sample instants of a block.
struct AdcRows {
    std::uint32_t status[kSamplesPerBlock];  // the ADC's status word per sample
    std::int32_t channel[kChannelsPerAdc][kSamplesPerBlock];  // sign-extended 24-bit results
};

// One block of 64 consecutive sample instants, little-endian 32-bit words.
// Only the first num_adcs ADC slots carry data.
struct PruBlock {
    AdcRows adc[kAdcSlots];
    // Free-running 200 MHz PRU tick counter at each sample, wrapping at 2^32.
    std::uint32_t ticks[kSamplesPerBlock];
};

static_assert(sizeof(AdcRows) == 0x700);
static_assert(offsetof(AdcRows, status) == 0x000);
static_assert(offsetof(AdcRows, channel) == 0x100);
static_assert(sizeof(PruBlock) == 16384);
static_assert(offsetof(PruBlock, adc) == 0x0000);
static_assert(offsetof(PruBlock, ticks) == 0x3F00);
static_assert(kBlocksPerHalf * sizeof(PruBlock) == kHalfSize);

inline constexpr std::uint32_t kTickHz = 200000000;

// Status word of a healthy converting ADC: the fixed 0b1100 header in the
// top nibble of the 24-bit word, no lead-off or GPIO bits.
inline constexpr std::uint32_t kAdcStatusOk = 0x00C00000;

// ---- Channels ---------------------------------------------------------------

// Channel (ring) fed by ADC k, ADC channel c, at index 6k + c, for front ends
// of 3 or 9 ADCs. Channels 0..5 are the voltages, 6..53 the CTs 0..47.
inline constexpr std::uint32_t kAdcSlotChannel[kChannels] = {
    0,  1,  2,  3,  4,  5,   // ADC 0
    6,  7,  8,  9,  10, 11,  // ADC 1
    17, 16, 15, 14, 13, 12,  // ADC 2
    18, 27, 19, 28, 20, 29,  // ADC 3
    47, 38, 46, 37, 45, 36,  // ADC 4
    21, 30, 22, 31, 23, 32,  // ADC 5
    50, 41, 49, 40, 48, 39,  // ADC 6
    24, 33, 25, 34, 26, 35,  // ADC 7
    53, 44, 52, 43, 51, 42,  // ADC 8
};

// Channel fed by ADC k channel c on a front end of num_adcs ADCs. The single
// ADC of the 3-CT front end carries the first voltage set on its channels
// 0..2 and CTs 0..2 (channels 6..8) on its channels 3..5.
constexpr std::uint32_t adc_slot_channel(unsigned num_adcs, unsigned k, unsigned c) {
    if (num_adcs == 1 && c >= 3) {
        return kAdcSlotChannel[6 + (c - 3)];
    }
    return kAdcSlotChannel[kChannelsPerAdc * k + c];
}

// ---- PRU 0 data RAM ---------------------------------------------------------

inline constexpr std::size_t kDataRamSize = 8192;

// SPI command block of the one-shot programs, bytes 0..12:
//   command:        [0] command byte, [1] own-select flag
//   register write: [0] 0x40 | first register, [1] count (1..10),
//                   [2..11] register bytes, [12] own-select flag
//   register read:  [0] 0x20 | first register, [1] own-select flag;
//                   afterwards [0..10] hold the 11 registers read
// The own-select flag asks the program to drive chip select 1 itself.
inline constexpr std::size_t kSpiBlockOffset = 0x00;
inline constexpr std::size_t kSpiBlockSize = 13;
inline constexpr std::size_t kSpiReadBytes = 11;
inline constexpr std::size_t kSpiMaxWriteBytes = 10;

// Free-running u32 pulse counters of pulse inputs 0 and 1. They sit apart
// from the SPI command block: a shared word would be overwritten by every
// ADC start-up and turn into billions of false pulses.
inline constexpr std::size_t kPulseCounterOffset = 0x10;
inline constexpr unsigned kPulseInputs = 2;
static_assert(kPulseCounterOffset >= kSpiBlockOffset + kSpiBlockSize);
static_assert(kPulseCounterOffset % 4 == 0);

// ---- System events and event outputs -----------------------------------------

inline constexpr unsigned kEventOneShotDone = 19;   // one-shot program finished
inline constexpr unsigned kEventStopRequest = 21;   // ARM asks acquisition to stop
inline constexpr unsigned kEventAcqStopped = 23;    // acquisition program finished
inline constexpr unsigned kEventPingFull = 24;      // ping half written
inline constexpr unsigned kEventPongFull = 25;      // pong half written

// ---- Program files -----------------------------------------------------------

inline constexpr const char *kProgramReadData = "/usr/bin/pru-spi-read-data.bin";
inline constexpr const char *kProgramSpiCmd = "/usr/bin/pru-spi-cmd.bin";
inline constexpr const char *kProgramWriteSettings = "/usr/bin/pru-spi-write-settings.bin";
inline constexpr const char *kProgramReadSettings = "/usr/bin/pru-spi-read-settings.bin";

}  // namespace prusim
