#include "fixture.h"

#include <array>
#include <cstring>
#include <vector>

namespace prusim::test {
namespace {

class SpiTest : public SimTest {
protected:
    // The one-shot SPI operations as the measurement program fills the
    // command block; chip selects 2..9 go through the /dev/zor_adc hooks.
    void select(int cs, bool on) {
        if (cs >= 2) {
            ASSERT_EQ(adc_chip_select(cs, on), 0);
        }
    }
    void cmd(std::uint8_t command, int cs) {
        std::uint8_t *b = dataram();
        b[0] = command;
        b[1] = cs == 1;
        select(cs, true);
        ASSERT_TRUE(run_one_shot(kProgramSpiCmd));
        select(cs, false);
    }
    void write(std::uint8_t first, const std::uint8_t *bytes, std::uint8_t count, int cs) {
        std::uint8_t *b = dataram();
        b[0] = static_cast<std::uint8_t>(0x40 | first);
        b[1] = count;
        std::memcpy(b + 2, bytes, count);
        b[12] = cs == 1;
        select(cs, true);
        ASSERT_TRUE(run_one_shot(kProgramWriteSettings));
        select(cs, false);
    }
    std::array<std::uint8_t, 11> read(int cs) {
        std::uint8_t *b = dataram();
        b[0] = 0x20;
        b[1] = cs == 1;
        select(cs, true);
        EXPECT_TRUE(run_one_shot(kProgramReadSettings));
        std::array<std::uint8_t, 11> got;
        std::memcpy(got.data(), b, got.size());
        select(cs, false);
        return got;
    }
    static std::array<std::uint8_t, 10> settings_of(unsigned adc) {
        return {0x92, 0xF0, 0x40, 0x00, static_cast<std::uint8_t>(0x10 + adc), 0x10, 0x10, 0x10, 0x10,
                static_cast<std::uint8_t>(0x60 | adc)};
    }
};

TEST_F(SpiTest, StartUpSequenceConfiguresEveryAdcOfTheChain) {
    for (unsigned num_adcs : {1u, 3u, 9u}) {
        SCOPED_TRACE(testing::Message() << "num_adcs " << num_adcs);
        ASSERT_NO_FATAL_FAILURE(reboot());
        Config config;
        config.num_adcs = num_adcs;
        configure(config);
        add_pulses(0, 123456);
        add_pulses(1, 42);

        ASSERT_EQ(adc_clock(1538500), 0);
        for (int n = static_cast<int>(num_adcs); n >= 2; --n) {
            ASSERT_EQ(adc_chip_select(n, false), 0);
        }
        adc_reset();
        adc_daisy(false);
        for (unsigned n = num_adcs; n >= 1; --n) {
            cmd(0x11, static_cast<int>(n));
            const std::array<std::uint8_t, 10> s = settings_of(n);
            write(1, s.data(), 10, static_cast<int>(n));
            const std::array<std::uint8_t, 11> got = read(static_cast<int>(n));
            EXPECT_EQ(got[0], 0xD2) << "ID of ADC " << n;
            EXPECT_TRUE(std::equal(s.begin(), s.end(), got.begin() + 1)) << "ADC " << n;
        }
        adc_daisy(true);
        for (int n = static_cast<int>(num_adcs); n >= 2; --n) {
            ASSERT_EQ(adc_chip_select(n, true), 0);
        }
        // With every chip select held, ADC 1's own select reaches them all.
        std::uint8_t *b = dataram();
        b[0] = 0x08;
        b[1] = 1;
        ASSERT_TRUE(run_one_shot(kProgramSpiCmd));
        b[0] = 0x10;
        ASSERT_TRUE(run_one_shot(kProgramSpiCmd));

        for (unsigned n = 1; n <= num_adcs; ++n) {
            const AdcState st = adc_state(n);
            EXPECT_TRUE(st.converting) << "ADC " << n;
            EXPECT_TRUE(st.continuous_read) << "ADC " << n;
            const std::array<std::uint8_t, 10> s = settings_of(n);
            EXPECT_TRUE(std::equal(s.begin(), s.end(), st.reg.begin() + 1)) << "ADC " << n;
        }
        EXPECT_TRUE(adc_daisy_on());

        // The log shows the order: the chain's last ADC first.
        const std::vector<SpiTransaction> log = spi_log();
        ASSERT_EQ(log.size(), 3 * num_adcs + 2);
        for (unsigned i = 0; i < num_adcs; ++i) {
            const std::uint16_t adc = static_cast<std::uint16_t>(1u << (num_adcs - i));
            EXPECT_EQ(log[3 * i].kind, SpiTransaction::command);
            EXPECT_EQ(log[3 * i].opcode, 0x11);
            EXPECT_EQ(log[3 * i + 1].kind, SpiTransaction::write);
            EXPECT_EQ(log[3 * i + 1].count, 10);
            EXPECT_EQ(log[3 * i + 2].kind, SpiTransaction::read);
            for (unsigned j = 0; j < 3; ++j) {
                EXPECT_EQ(log[3 * i + j].selected, adc) << "transaction " << 3 * i + j;
                EXPECT_FALSE(log[3 * i + j].ignored) << "transaction " << 3 * i + j;
                EXPECT_FALSE(log[3 * i + j].contention) << "transaction " << 3 * i + j;
            }
        }
        std::uint16_t all = 0;
        for (unsigned n = 1; n <= num_adcs; ++n) {
            all |= static_cast<std::uint16_t>(1u << n);
        }
        EXPECT_EQ(log[3 * num_adcs].selected, all);
        EXPECT_EQ(log[3 * num_adcs + 1].selected, all);

        // The pulse counters kept their counts through every SPI transaction.
        EXPECT_EQ(pulse_count(0), 123456u);
        EXPECT_EQ(pulse_count(1), 42u);
    }
}

TEST_F(SpiTest, ChipSelectsDecideWhichAdcsTakePart) {
    struct Case {
        const char *name;
        bool own;
        std::vector<int> held;  // chip selects asserted through /dev/zor_adc
        std::uint16_t selected;
        bool contention;
    };
    const Case cases[] = {
        {"own select only", true, {}, 1u << 1, false},
        {"chip select 3", false, {3}, 1u << 3, false},
        {"own and 2", true, {2}, (1u << 1) | (1u << 2), true},
        {"nothing selected", false, {}, 0, false},
        {"beyond the chain", false, {5}, 0, false},
    };
    Config config;
    config.num_adcs = 3;
    configure(config);
    for (unsigned n = 1; n <= 3; ++n) {
        cmd(0x11, static_cast<int>(n));
        const std::uint8_t id_and_cfg[] = {static_cast<std::uint8_t>(0xF0 | (1u << n))};
        write(4, id_and_cfg, 1, static_cast<int>(n));  // distinct register 4 per ADC
    }
    for (const Case &c : cases) {
        clear_spi_log();
        for (int cs : c.held) {
            ASSERT_EQ(adc_chip_select(cs, true), 0);
        }
        std::uint8_t *b = dataram();
        b[0] = 0x20;
        b[1] = c.own;
        ASSERT_TRUE(run_one_shot(kProgramReadSettings)) << c.name;
        for (int cs : c.held) {
            ASSERT_EQ(adc_chip_select(cs, false), 0);
        }
        const std::vector<SpiTransaction> log = spi_log();
        ASSERT_EQ(log.size(), 1u) << c.name;
        EXPECT_EQ(log[0].selected, c.selected) << c.name;
        EXPECT_EQ(log[0].contention, c.contention) << c.name;
        EXPECT_EQ(log[0].ignored, c.selected == 0) << c.name;
        std::uint8_t want = 0xFF;  // open-drain view: the drivers' bits ANDed
        for (unsigned n = 1; n <= 3; ++n) {
            if ((c.selected >> n) & 1u) {
                want &= static_cast<std::uint8_t>(0xF0 | (1u << n));
            }
        }
        EXPECT_EQ(b[4], want) << c.name;
    }
}

TEST_F(SpiTest, RegisterAccessFollowsTheConverterModes) {
    Config config;
    config.num_adcs = 1;
    configure(config);
    const std::uint8_t v[] = {0x55};

    // Power-on: continuous-read mode ignores register writes and reads.
    write(2, v, 1, 1);
    EXPECT_EQ(adc_state(1).reg[2], 0xF0);
    EXPECT_TRUE(spi_log().back().ignored);
    EXPECT_EQ(read(1)[0], 0xFF);

    cmd(0x11, 1);  // leave continuous read
    write(2, v, 1, 1);
    EXPECT_EQ(adc_state(1).reg[2], 0x55);
    write(0, v, 1, 1);
    EXPECT_EQ(adc_state(1).reg[0], 0xD2) << "the ID register is read-only";

    cmd(0x08, 1);
    EXPECT_TRUE(adc_state(1).converting);
    cmd(0x0A, 1);
    EXPECT_FALSE(adc_state(1).converting);
    cmd(0x06, 1);  // the converter's own reset command
    EXPECT_EQ(adc_state(1).reg[2], 0xF0);
    EXPECT_TRUE(adc_state(1).continuous_read);

    cmd(0x11, 1);
    write(2, v, 1, 1);
    adc_reset();  // the RESET request of /dev/zor_adc
    EXPECT_EQ(adc_state(1).reg[2], 0xF0);

    cmd(0x11, 1);
    dataram()[0] = 0x40 | 1;
    dataram()[1] = 11;  // more than the block holds
    dataram()[12] = 1;
    ASSERT_TRUE(run_one_shot(kProgramWriteSettings));
    EXPECT_TRUE(spi_log().back().ignored);
    cmd(0x77, 1);
    EXPECT_TRUE(spi_log().back().ignored) << "unknown command";
}

TEST_F(SpiTest, SampleRateFollowsClockAndConfig1) {
    struct Case {
        int clock_hz;
        std::uint8_t config1;
        double rate;
    };
    const Case cases[] = {
        {1538500, 0x92, 1538500.0 / 128},  // the measurement program's settings
        {2048000, 0x92, 16000.0},
        {1538500, 0x91, 1538500.0 / 64},
        {1538500, 0x94, 1538500.0 / 512},
        {1538500, 0x97, 0.0},  // no rate: the chain never signals data
    };
    Config config;
    config.num_adcs = 1;
    configure(config);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.clock_hz << " Hz, CONFIG1 " << std::hex << int(c.config1));
        ASSERT_EQ(adc_clock(c.clock_hz), 0);
        cmd(0x11, 1);
        write(1, &c.config1, 1, 1);
        EXPECT_DOUBLE_EQ(configured_sample_rate(), c.rate);
        start();
        if (c.rate == 0.0) {
            EXPECT_EQ(prusim::step(), -1);
            EXPECT_TRUE(stop()) << "a silent chain still lets the program stop";
            continue;
        }
        const HalfInfo info = step_ok();
        EXPECT_DOUBLE_EQ(info.sample_rate, c.rate);
        EXPECT_DOUBLE_EQ(sample_rate(), c.rate);
        const PruBlock *blocks = half(info.buffer);
        const double ticks = (blocks[31].ticks[63] - blocks[0].ticks[0]) / double(kSamplesPerHalf - 1);
        EXPECT_NEAR(ticks, kTickHz / c.rate, 1.0 / kSamplesPerHalf + 1e-9);
        EXPECT_TRUE(stop());
    }
    EXPECT_EQ(adc_clock(0), -1);
    EXPECT_EQ(adc_chip_select(1, true), -1);
    EXPECT_EQ(adc_chip_select(10, true), -1);
}

}  // namespace
}  // namespace prusim::test
