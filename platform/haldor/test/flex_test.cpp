// The flexible-sensor integrator: a di/dt signal streamed into a ring in
// blocks, integrated as it arrives, then measured like any current.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "reference.h"

namespace haldor_test {
namespace {

constexpr uint32_t kRingSize = 60000;

struct FlexSetup {
    explicit FlexSetup(uint32_t channels = 54) { ok = hld_flex_setup(kRate, channels); }
    ~FlexSetup() { hld_flex_clean(); }
    FlexSetup(const FlexSetup &) = delete;
    FlexSetup &operator=(const FlexSetup &) = delete;
    bool ok = false;
};

// The output of a sensor rated at 50 Hz for the current
// i(t) = amplitude cos(2 pi f t + phase): its derivative, scaled so that at
// 50 Hz its amplitude equals the current's.
Signal sensor_output(long double f, long double amplitude, long double phase, long double dc) {
    return Signal{{{f, amplitude * f / HLD_FLEX_REFERENCE_HZ, phase + kPiL / 2}}, dc};
}

// Streams `seconds` of the signal into the ring in blocks of `block`
// samples, integrating each block as it lands. Returns the ring position of
// the first sample of the last 2048 and that sample's index in the stream.
std::pair<uint32_t, uint64_t> stream(Ring &ring, uint32_t channel, const Signal &sig, double seconds,
                                     uint32_t block) {
    const auto total = static_cast<uint64_t>(seconds * kRate);
    uint64_t done = 0;
    uint32_t head = 0;
    while (done < total) {
        auto count = static_cast<uint32_t>(std::min<uint64_t>(block, total - done));
        ring.write(head, sig.render(count, kRate, done));
        cbi_t cur = ring.cursor(head);
        EXPECT_TRUE(hld_flex_calc(channel, &cur, count));
        head = (head + count) % ring.size();
        done += count;
    }
    return {(head + ring.size() - kWindow) % ring.size(), total - kWindow};
}

TEST(Flex, IntegratesToTheCurrent) {
    struct Row {
        long double f, amplitude, phase, dc;
        uint32_t block;
    } rows[] = {
        {50.0L, 200000, 0.0L, 0, 64},     {50.0L, 200000, 1.0L, 30000, 2048}, {40.5L, 150000, -2.0L, -5000, 777},
        {45.0L, 100000, 2.5L, 0, 64},     {60.0L, 100000, -0.4L, 12000, 4096}, {69.5L, 300000, 3.0L, 100, 1000},
    };
    SpectrumKernels k;
    ASSERT_TRUE(k.ok);
    for (const Row &r : rows) {
        SCOPED_TRACE("f " + std::to_string(static_cast<double>(r.f)) + " block " + std::to_string(r.block));
        FlexSetup flex;
        ASSERT_TRUE(flex.ok);
        Ring ring(kRingSize);
        auto [pos, first] = stream(ring, 7, sensor_output(r.f, r.amplitude, r.phase, r.dc), 30.0, r.block);

        // Five-cycle RMS of the integrated samples.
        float n = 0;
        ASSERT_TRUE(hld_sample_count_calc(static_cast<float>(r.f), kRate, 5, &n));
        cbi_t cur = ring.cursor(pos);
        int64_t m;
        float d;
        ASSERT_TRUE(hld_rmss_dc_calc(std::floor(n), &cur, &m, &d));
        const double rms = static_cast<double>(r.amplitude / std::sqrt(2.0L));
        EXPECT_NEAR(std::sqrt(static_cast<double>(m - static_cast<int64_t>(static_cast<double>(d) * d))), rms,
                    1e-3 * rms);

        // Fundamental amplitude and phase against the current itself: the
        // chain lags the derivative by 90 degrees.
        auto spectrum = k.spectrum(cur);
        float f, bin, phase, fund, harm;
        ASSERT_TRUE(hld_fund_frequency_calc(kRate, spectrum.data(), &f, &bin));
        EXPECT_NEAR(f, static_cast<double>(r.f), 0.01);
        ASSERT_TRUE(hld_fund_rms_phase_calc(kRate, bin, spectrum.data(), &phase, &fund, &harm));
        EXPECT_NEAR(fund, rms, 5e-4 * rms);
        const long double middle = 2 * kPiL * r.f * (first + kWindow / 2) / kRate + r.phase;
        EXPECT_NEAR(angle_diff(phase, static_cast<double>(middle)), 0.0, 2e-4);
        EXPECT_LT(harm, 1e-3 * rms);
    }
}

TEST(Flex, GainIsOneAtTheReferenceFrequency) {
    SpectrumKernels k;
    ASSERT_TRUE(k.ok);
    FlexSetup flex;
    ASSERT_TRUE(flex.ok);
    Ring ring(kRingSize);
    auto [pos, first] = stream(ring, 0, sensor_output(50.0L, 100000, 0.2L, 0), 20.0, 2048);
    auto spectrum = k.spectrum(ring.cursor(pos));
    float phase, fund, harm;
    ASSERT_TRUE(hld_fund_rms_phase_calc(kRate, static_cast<float>(50.0 * kWindow / kRate), spectrum.data(), &phase,
                                        &fund, &harm));
    EXPECT_NEAR(fund, 100000 / std::sqrt(2.0), 2e-4 * 100000 / std::sqrt(2.0));
}

TEST(Flex, InputOffsetNeverRampsTheOutput) {
    FlexSetup flex;
    ASSERT_TRUE(flex.ok);
    // An offset alone leaves a transient at start and then nothing.
    Ring ring(kRingSize);
    stream(ring, 3, Signal{{}, 40000}, 12.0, 640);
    float worst = 0;
    for (uint32_t i = 0; i < kRingSize; ++i) {  // from 7 s to 12 s
        worst = std::max(worst, std::fabs(ring.at(i)[0]));
    }
    EXPECT_LT(worst, 1e-3f * 40000);

    // An offset that appears under a running current: 5 s later the
    // current is measured as before and the output is centred again.
    FlexSetup again;
    Signal sig = sensor_output(50.0L, 100000, 0.0L, 0);
    Ring r2(kRingSize);
    auto [pos, first] = stream(r2, 3, sig, 5.0, 640);
    sig.dc = 20000;
    uint64_t done = first + kWindow;
    uint32_t head = (pos + kWindow) % kRingSize;
    for (int block = 0; block < 100; ++block) {  // 5 s
        r2.write(head, sig.render(601, kRate, done));
        cbi_t cur = r2.cursor(head);
        ASSERT_TRUE(hld_flex_calc(3, &cur, 601));
        head = (head + 601) % kRingSize;
        done += 601;
    }
    cbi_t last = r2.cursor((head + kRingSize - 1202) % kRingSize);  // 5 cycles
    int64_t m;
    float d;
    ASSERT_TRUE(hld_rmss_dc_calc(1202, &last, &m, &d));
    EXPECT_LT(std::fabs(d), 1e-3f * 100000);
    EXPECT_NEAR(std::sqrt(static_cast<double>(m) - static_cast<double>(d) * d), 100000 / std::sqrt(2.0),
                5e-4 * 100000 / std::sqrt(2.0));
}

TEST(Flex, BlocksAndChannelsAreIndependent) {
    Signal sig = sensor_output(52.0L, 80000, 0.7L, 3000);
    auto x = sig.render(20000, kRate);
    // One call over everything ...
    Ring whole(kRingSize);
    {
        FlexSetup flex;
        whole.write(kRingSize - 5000, x);
        cbi_t cur = whole.cursor(kRingSize - 5000);
        ASSERT_TRUE(hld_flex_calc(10, &cur, 20000));
    }
    // ... equals blocks of 64 interleaved with another channel's work, and a
    // set-up starts every channel afresh.
    FlexSetup flex;
    Ring blocks(kRingSize), noise(kRingSize);
    blocks.write(kRingSize - 5000, x);
    noise.write(0, Signal{{{50, 1e5, 0}}, 0, 1e4}.render(20000, kRate));
    for (uint32_t done = 0; done < 20000; done += 64) {
        cbi_t cur = blocks.cursor((kRingSize - 5000 + done) % kRingSize);
        ASSERT_TRUE(hld_flex_calc(10, &cur, 64 > 20000 - done ? 20000 - done : 64));
        cbi_t other = noise.cursor(done);
        ASSERT_TRUE(hld_flex_calc(11, &other, 64 > 20000 - done ? 20000 - done : 64));
    }
    EXPECT_EQ(blocks.read(kRingSize - 5000, 20000), whole.read(kRingSize - 5000, 20000));
}

TEST(Flex, RefusesBadSetUpAndCalls) {
    EXPECT_EQ(hld_flex_setup(0.0, 54), 0);
    EXPECT_EQ(hld_flex_setup(NAN, 54), 0);
    EXPECT_EQ(hld_flex_setup(kRate, 0), 0);
    EXPECT_EQ(hld_flex_setup(kRate, 55), 0);
    Ring ring(100);
    cbi_t cur = ring.cursor(0);
    EXPECT_EQ(hld_flex_calc(0, &cur, 10), 0);  // not set up
    FlexSetup flex(18);
    ASSERT_TRUE(flex.ok);
    EXPECT_EQ(hld_flex_calc(17, &cur, 100), 1);
    EXPECT_EQ(hld_flex_calc(18, &cur, 10), 0);
    EXPECT_EQ(hld_flex_calc(0, &cur, 101), 0);
    EXPECT_EQ(hld_flex_calc(0, nullptr, 1), 0);
    cbi_t outside{cur.cb, ring.at(0) + 100};
    EXPECT_EQ(hld_flex_calc(0, &outside, 1), 0);
    hld_flex_clean();
    EXPECT_EQ(hld_flex_calc(0, &cur, 10), 0);
}

}  // namespace
}  // namespace haldor_test
