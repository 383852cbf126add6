#include "fixture.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

namespace prusim::test {
namespace {

TEST(Layout, RowsSitAtTheirByteOffsets) {
    // Write a distinct word into every row through the struct and find it at
    // the byte offset the acquisition reads it from.
    std::vector<std::uint8_t> bytes(sizeof(PruBlock));
    auto *block = reinterpret_cast<PruBlock *>(bytes.data());
    for (unsigned k = 0; k < kAdcSlots; ++k) {
        block->adc[k].status[5] = 0xA0000000u | k;
        for (unsigned c = 0; c < kChannelsPerAdc; ++c) {
            block->adc[k].channel[c][7] = -static_cast<std::int32_t>(100 * k + c + 1);
        }
    }
    block->ticks[63] = 0xDEADBEEF;
    auto word = [&](std::size_t off) {
        std::uint32_t w;
        std::memcpy(&w, bytes.data() + off, 4);
        return w;
    };
    for (unsigned k = 0; k < kAdcSlots; ++k) {
        EXPECT_EQ(word(0x700 * k + 4 * 5), 0xA0000000u | k) << "adc " << k;
        for (unsigned c = 1; c <= 6; ++c) {
            EXPECT_EQ(static_cast<std::int32_t>(word(0x700 * k + 0x100 * c + 4 * 7)),
                      -static_cast<std::int32_t>(100 * k + (c - 1) + 1))
                << "adc " << k << " row " << c;
        }
    }
    EXPECT_EQ(word(0x3F00 + 4 * 63), 0xDEADBEEFu);
}

TEST(Layout, SlotTableCoversEveryChannelOnce) {
    struct Case {
        unsigned num_adcs;
        std::set<std::uint32_t> channels;
    };
    std::set<std::uint32_t> all;
    for (std::uint32_t ch = 0; ch < kChannels; ++ch) {
        all.insert(ch);
    }
    std::set<std::uint32_t> twelve;
    for (std::uint32_t ch = 0; ch < 18; ++ch) {
        twelve.insert(ch);
    }
    const Case cases[] = {
        {1, {0, 1, 2, 6, 7, 8}},
        {3, twelve},
        {9, all},
    };
    for (const Case &c : cases) {
        std::multiset<std::uint32_t> seen;
        for (unsigned k = 0; k < c.num_adcs; ++k) {
            for (unsigned ch = 0; ch < kChannelsPerAdc; ++ch) {
                seen.insert(adc_slot_channel(c.num_adcs, k, ch));
            }
        }
        EXPECT_EQ(std::set<std::uint32_t>(seen.begin(), seen.end()), c.channels)
            << "num_adcs " << c.num_adcs;
        EXPECT_EQ(seen.size(), c.channels.size()) << "a channel fed twice, num_adcs " << c.num_adcs;
    }
}

TEST(Layout, DataRamKeepsPulseCountersApartFromTheSpiBlock) {
    EXPECT_GE(kPulseCounterOffset, kSpiBlockOffset + kSpiBlockSize);
    EXPECT_LE(kPulseCounterOffset + 4 * kPulseInputs, kDataRamSize);
}

class TickTest : public SimTest {};

TEST_F(TickTest, TicksCountAt200MHzAndWrapAcrossHalves) {
    struct Case {
        std::uint32_t tick_start;
        unsigned halves;
    };
    const Case cases[] = {
        {0xFFFFFFFFu - 20000, 2},   // wraps after the first sample
        {0xFFFFFFFFu - 51000000, 2},  // wraps in the middle of the second half
        {0x00000001u, 1},
    };
    for (const Case &c : cases) {
        ASSERT_NO_FATAL_FAILURE(reboot());
        Config config;
        config.tick_start = c.tick_start;
        configure(config);
        start();
        const double ticks_per_sample = kTickHz / configured_sample_rate();
        std::uint32_t prev = 0;
        bool first = true;
        bool wrapped = false;
        for (unsigned h = 0; h < c.halves; ++h) {
            const HalfInfo info = step_ok();
            const PruBlock *blocks = half(info.buffer);
            for (unsigned i = 0; i < kSamplesPerHalf; ++i) {
                const std::uint32_t t = blocks[i / kSamplesPerBlock].ticks[i % kSamplesPerBlock];
                EXPECT_EQ(t, sample_ticks(info.first_sample + i));
                if (first) {
                    EXPECT_EQ(t, c.tick_start) << "sample 0 is at t = 0";
                    first = false;
                } else {
                    const std::uint32_t d = t - prev;  // modulo 2^32
                    EXPECT_TRUE(d == static_cast<std::uint32_t>(ticks_per_sample) ||
                                d == static_cast<std::uint32_t>(ticks_per_sample) + 1)
                        << "case " << std::hex << c.tick_start << std::dec << " half " << h
                        << " sample " << i << " step " << d;
                    wrapped = wrapped || t < prev;
                }
                prev = t;
            }
        }
        EXPECT_EQ(wrapped, c.tick_start > 0xF0000000u) << std::hex << c.tick_start;
    }
}

}  // namespace
}  // namespace prusim::test
