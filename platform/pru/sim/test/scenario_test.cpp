#include "fixture.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>

namespace prusim::test {
namespace {

class ScenarioTest : public SimTest {};

// The channel each ADC slot feeds, written out here independently of the
// simulator's table.
constexpr std::uint32_t kSlotChannel[54] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 17, 16, 15, 14, 13, 12,
    18, 27, 19, 28, 20, 29, 47, 38, 46, 37, 45, 36, 21, 30, 22, 31, 23, 32,
    50, 41, 49, 40, 48, 39, 24, 33, 25, 34, 26, 35, 53, 44, 52, 43, 51, 42,
};

std::uint32_t channel_of(unsigned num_adcs, unsigned k, unsigned c) {
    if (num_adcs == 1) {
        return c < 3 ? kSlotChannel[c] : kSlotChannel[6 + c - 3];
    }
    return kSlotChannel[6 * k + c];
}

// A busy scenario and an uneven calibration on every channel.
Config busy_config(unsigned num_adcs, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Config config;
    config.num_adcs = num_adcs;
    config.noise_seed = seed;
    config.tick_start = 0xFFFFFFFFu - 40000000;  // wraps inside the first two halves
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        ChannelScenario &s = config.channels[ch];
        const bool volts = ch < 6;
        s.frequency_hz = 49.5 + u(rng);
        s.amplitude = volts ? 200.0 + 150.0 * u(rng) : 0.5 + 9.0 * u(rng);
        s.phase_rad = 2.0 * std::numbers::pi * u(rng);
        s.harmonics = {{3, s.amplitude * 0.05, u(rng)}, {5, s.amplitude * 0.02, u(rng)}};
        s.dc_offset = s.amplitude * 0.01 * (u(rng) - 0.5);
        s.noise_rms = s.amplitude * 0.001;
        s.steps = {{0.2, 50.2}};
        ChannelCalibration &cal = config.calibration[ch];
        cal.gain = static_cast<float>(0.8 + 0.4 * u(rng));
        cal.offset = static_cast<std::int32_t>(20000 * (u(rng) - 0.5));
        if (ch % 7 == 3) {
            cal.counts_to_unit = volts ? 1e-4 : 2.5e-6;  // a channel with its own scale
        }
    }
    return config;
}

TEST_F(ScenarioTest, CalibratedSamplesEqualTheScenarioOnEveryFrontEnd) {
    for (unsigned num_adcs : {1u, 3u, 9u}) {
        SCOPED_TRACE(testing::Message() << "num_adcs " << num_adcs);
        ASSERT_NO_FATAL_FAILURE(reboot());
        const Config config = busy_config(num_adcs, 1000 + num_adcs);
        configure(config);
        start();
        unsigned checked = 0;
        double worst_lsb = 0.0;
        for (int h = 0; h < 4; ++h) {
            const HalfInfo info = step_ok();
            const PruBlock *blocks = half(info.buffer);
            for (unsigned k = 0; k < kAdcSlots; ++k) {
                for (unsigned c = 0; c < kChannelsPerAdc; ++c) {
                    for (unsigned i = 0; i < kSamplesPerHalf; ++i) {
                        const PruBlock &b = blocks[i / kSamplesPerBlock];
                        const unsigned s = i % kSamplesPerBlock;
                        if (k >= num_adcs) {
                            ASSERT_EQ(b.adc[k].channel[c][s], 0) << "slot " << k << " carries no ADC";
                            continue;
                        }
                        if (c == 0) {
                            ASSERT_EQ(b.adc[k].status[s], kAdcStatusOk);
                        }
                        const std::uint32_t ch = channel_of(num_adcs, k, c);
                        const ChannelCalibration &cal = config.calibration[ch];
                        const std::int32_t raw = b.adc[k].channel[c][s];
                        ASSERT_GE(raw, -(1 << 23));
                        ASSERT_LT(raw, 1 << 23);
                        const std::uint64_t n = info.first_sample + i;
                        const double want = scenario_value(ch, n);
                        const float got = reference_calibrate(raw, cal, ch);
                        const double scale = cal.counts_to_unit != 0.0 ? cal.counts_to_unit
                                                                        : default_counts_to_unit(ch);
                        const double lsb = std::abs(cal.gain * scale);
                        // Quantisation to whole counts, then float rounding.
                        const double tol = 0.5 * lsb + 4.0 * std::numeric_limits<float>::epsilon() *
                                                           (std::abs(want) + lsb);
                        ASSERT_NEAR(got, want, tol) << "channel " << ch << " sample " << n;
                        // The exact calibrated value of the raw word, within float rounding.
                        const double exact = cal.gain * scale * static_cast<double>(raw);
                        ASSERT_NEAR(got, exact,
                                    4.0 * std::numeric_limits<float>::epsilon() * (std::abs(exact) + lsb))
                            << "channel " << ch << " sample " << n;
                        worst_lsb = std::max(worst_lsb, std::abs(exact - want) / lsb);
                        ++checked;
                    }
                }
            }
        }
        EXPECT_EQ(checked, 4u * 6u * num_adcs * kSamplesPerHalf);
        EXPECT_LE(worst_lsb, 0.5 + 1e-6) << "the raw word is the nearest count";
        EXPECT_EQ(stats().clipped_samples, 0u);
    }
}

TEST_F(ScenarioTest, WaveformsFollowTheirDefinition) {
    struct Case {
        const char *name;
        ChannelScenario s;
        // Independent evaluation at time t.
        double (*expect)(double t);
    };
    const Case cases[] = {
        {"sine with phase and dc",
         {50.0, 100.0, 0.5, {}, 2.0, 0.0, {}},
         [](double t) { return 2.0 + 100.0 * std::sin(2 * std::numbers::pi * 50.0 * t + 0.5); }},
        {"third harmonic",
         {60.0, 10.0, 0.0, {{3, 1.5, 0.25}}, 0.0, 0.0, {}},
         [](double t) {
             return 10.0 * std::sin(2 * std::numbers::pi * 60.0 * t) +
                    1.5 * std::sin(3 * 2 * std::numbers::pi * 60.0 * t + 0.25);
         }},
        {"frequency step with continuous phase",
         {50.0, 1.0, 0.0, {}, 0.0, 0.0, {{0.1, 51.0}, {0.25, 49.0}}},
         [](double t) {
             double cycles = 50.0 * std::min(t, 0.1);
             if (t > 0.1) {
                 cycles += 51.0 * (std::min(t, 0.25) - 0.1);
             }
             if (t > 0.25) {
                 cycles += 49.0 * (t - 0.25);
             }
             return std::sin(2 * std::numbers::pi * cycles);
         }},
        {"dc only", {50.0, 0.0, 0.0, {}, -3.25, 0.0, {}}, [](double) { return -3.25; }},
    };
    for (const Case &c : cases) {
        Config config;
        config.channels[6] = c.s;
        configure(config);
        for (std::uint64_t n = 0; n < 6000; n += 7) {
            const double t = sample_time(n);
            ASSERT_NEAR(scenario_value(6, n), c.expect(t), 1e-9 * (1.0 + std::abs(c.s.amplitude)))
                << c.name << " sample " << n;
        }
    }
}

TEST_F(ScenarioTest, NoiseHasItsRmsAndRepeatsForItsSeed) {
    Config config;
    config.channels[10].noise_rms = 0.02;
    configure(config);
    double sum = 0.0;
    double sq = 0.0;
    const int count = 40000;
    for (int n = 0; n < count; ++n) {
        const double v = scenario_value(10, static_cast<std::uint64_t>(n));
        sum += v;
        sq += v * v;
    }
    EXPECT_NEAR(sum / count, 0.0, 0.02 * 0.03);
    EXPECT_NEAR(std::sqrt(sq / count), 0.02, 0.02 * 0.03);
    const double first = scenario_value(10, 1234);
    configure(config);
    EXPECT_EQ(scenario_value(10, 1234), first);
    EXPECT_NE(scenario_value(11, 1234), first) << "channels have their own noise";
    config.channels[11].noise_rms = 0.02;
    configure(config);
    EXPECT_NE(scenario_value(11, 1234), scenario_value(10, 1234));
}

TEST_F(ScenarioTest, ValuesBeyondTheConverterRangeAreClippedAndCounted) {
    Config config;
    config.channels[0].dc_offset = 2000.0;    // 13.8 M counts at the default scale
    config.channels[1].dc_offset = -2000.0;
    configure(config);
    start();
    const HalfInfo info = step_ok();
    EXPECT_EQ(half(info.buffer)[0].adc[0].channel[0][0], (1 << 23) - 1);
    EXPECT_EQ(half(info.buffer)[0].adc[0].channel[1][0], -(1 << 23));
    EXPECT_EQ(stats().clipped_samples, 2u * kSamplesPerHalf);
}

TEST_F(ScenarioTest, ConfigurationsOutOfRangeAreRefused) {
    struct Case {
        const char *name;
        void (*spoil)(Config &);
    };
    const Case cases[] = {
        {"front end of 2 ADCs", [](Config &c) { c.num_adcs = 2; }},
        {"zero gain", [](Config &c) { c.calibration[7].gain = 0.0f; }},
        {"nan gain", [](Config &c) { c.calibration[7].gain = std::nanf(""); }},
        {"negative scale", [](Config &c) { c.calibration[7].counts_to_unit = -1.0; }},
        {"time scale 0", [](Config &c) { c.time_scale = 0.0; }},
        {"tick start 0", [](Config &c) { c.tick_start = 0; }},
        {"harmonic order 1", [](Config &c) { c.channels[3].harmonics = {{1, 1.0, 0.0}}; }},
        {"infinite amplitude", [](Config &c) { c.channels[3].amplitude = INFINITY; }},
        {"negative noise", [](Config &c) { c.channels[3].noise_rms = -1.0; }},
        {"negative pulse rate", [](Config &c) { c.pulse_rate_hz[1] = -1.0; }},
    };
    for (const Case &c : cases) {
        Config config;
        c.spoil(config);
        EXPECT_EQ(prusim::configure(config), -1) << c.name;
    }
    start();
    EXPECT_EQ(prusim::configure(Config{}), -1) << "refused while acquisition runs";
    EXPECT_TRUE(stop());
    EXPECT_EQ(prusim::configure(Config{}), 0);
}

TEST_F(ScenarioTest, PulsesAccumulateAtTheirRateWhileAcquiring) {
    Config config;
    config.pulse_rate_hz = {100.0, 0.5};
    configure(config);
    start();
    const int halves = 30;  // 5.1 s
    for (int h = 0; h < halves; ++h) {
        step_ok();
    }
    const double seconds = halves * kSamplesPerHalf / configured_sample_rate();
    EXPECT_EQ(pulse_count(0), static_cast<std::uint32_t>(std::floor(100.0 * seconds)));
    EXPECT_EQ(pulse_count(1), static_cast<std::uint32_t>(std::floor(0.5 * seconds)));
    std::uint32_t word;
    std::memcpy(&word, dataram() + kPulseCounterOffset, 4);
    EXPECT_EQ(word, pulse_count(0));
    add_pulses(1, 0xFFFFFFFFu);  // the counter wraps like the hardware word
    EXPECT_EQ(pulse_count(1), static_cast<std::uint32_t>(std::floor(0.5 * seconds)) - 1);
}

}  // namespace
}  // namespace prusim::test
