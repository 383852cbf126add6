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

// Streams samples from..from + count - 1 of the signal into the ring at
// head, a half (2048) at a time, integrating each as it lands; returns the
// new head.
uint32_t stream_from(Ring &ring, uint32_t head, uint32_t channel, const Signal &sig, uint64_t from, uint64_t count) {
    for (uint64_t done = 0; done < count;) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(2048, count - done));
        ring.write(head, sig.render(n, kRate, from + done));
        cbi_t cur = ring.cursor(head);
        EXPECT_TRUE(hld_flex_calc(channel, &cur, n));
        head = (head + n) % ring.size();
        done += n;
    }
    return head;
}

// The samples of a channel start anew: at the first samples, or after a gap
// (the chain went on with samples from before it, at another time). Seeded
// from the samples there, the chain's output equals, from the first sample
// on, that of a chain that has run on the same current for 10 s, with any
// offset and harmonics; at rest, or with the state carried across the gap,
// it rings for seconds.
TEST(Flex, SeededChainIsSettledAtOnce) {
    struct Row {
        const char *name;
        long double f, phase, dc, third;  // third harmonic, share of the current
        double before;                    // seconds streamed before the gap, 0 for a start
        uint64_t jump;                    // samples missing at the gap
        uint32_t seen;                    // samples there when the seed is made
    } rows[] = {
        {"start_50Hz", 50.0L, 0.3L, 0, 0, 0, 0, 2048},
        {"start_40.5Hz_offset_distorted", 40.5L, -2.0L, -8000, 0.1L, 0, 0, 2048},
        {"start_69.5Hz_long_backlog", 69.5L, 1.7L, 3000, 0.05L, 0, 0, 30000},
        {"gap_50Hz_one_half", 50.0L, 0.0L, 0, 0, 3.0, 2048, 2048},
        {"gap_40.5Hz_past_a_ring_distorted", 40.5L, 2.5L, 20000, 0.5L, 3.0, 97 * 2048 + 5, 4096},
        {"gap_60Hz_whole_cycles", 60.0L, -0.4L, 500, 0.08L, 2.0, 3 * 2048, 2048},
        {"gap_69.5Hz", 69.5L, 3.0L, -200, 0, 4.0, 2048 * 11, 6144},
    };
    constexpr long double kAmplitude = 150000;
    const auto history = static_cast<uint64_t>(10.0 * kRate);
    const auto after = static_cast<uint64_t>(4.0 * kRate);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Signal sig = sensor_output(r.f, kAmplitude, r.phase, r.dc);
        if (r.third > 0) {
            sig.tones.push_back({3 * r.f, kAmplitude * r.third * 3 * r.f / HLD_FLEX_REFERENCE_HZ, 3 * r.phase + 0.5L});
        }
        const uint64_t first = history + r.jump + static_cast<uint64_t>(r.before * kRate);

        // The settled output: 10 s of the same current before.
        std::vector<float> settled;
        {
            FlexSetup flex;
            ASSERT_TRUE(flex.ok);
            Ring ring(kRingSize);
            const uint32_t at = stream_from(ring, 0, 5, sig, first - history, history);
            stream_from(ring, at, 5, sig, first, after);
            settled = ring.read(at, static_cast<uint32_t>(after));
        }
        // The largest difference from it from `from` seconds on, in parts of the amplitude.
        auto worst_from = [&](const std::vector<float> &out, double from) {
            double worst = 0;
            for (auto i = static_cast<size_t>(from * kRate); i < out.size(); ++i) {
                worst = std::max(worst, std::fabs(static_cast<double>(out[i]) - settled[i]));
            }
            return worst / static_cast<double>(kAmplitude);
        };
        for (const bool seeded : {true, false}) {
            SCOPED_TRACE(seeded ? "seeded" : "not seeded");
            FlexSetup flex;
            ASSERT_TRUE(flex.ok);
            Ring ring(kRingSize);
            uint32_t head = 0;
            if (r.before > 0) {
                head = stream_from(ring, 0, 5, sig, first - r.jump - static_cast<uint64_t>(r.before * kRate),
                                   static_cast<uint64_t>(r.before * kRate));
            }
            const uint32_t start = head;
            ring.write(head, sig.render(r.seen, kRate, first));
            cbi_t cur = ring.cursor(head);
            if (seeded) {
                ASSERT_TRUE(hld_flex_seed(5, &cur, r.seen));
            }
            ASSERT_TRUE(hld_flex_calc(5, &cur, r.seen));
            stream_from(ring, (head + r.seen) % kRingSize, 5, sig, first + r.seen, after - r.seen);
            const std::vector<float> out = ring.read(start, static_cast<uint32_t>(after));
            const double at_once = worst_from(out, 0.0);
            // What a five-cycle window sees: the difference less its mean.
            double ac = 0;
            for (size_t w = 0; w + 1202 <= out.size(); w += 1202) {
                double mean = 0, square = 0;
                for (size_t i = w; i < w + 1202; ++i) {
                    const double e = static_cast<double>(out[i]) - settled[i];
                    mean += e;
                    square += e * e;
                }
                mean /= 1202;
                ac = std::max(ac, std::sqrt(std::max(0.0, square / 1202 - mean * mean)));
            }
            ac /= static_cast<double>(kAmplitude);
            if (seeded) {
                EXPECT_LT(ac, 4e-4);
                EXPECT_LT(at_once, 5e-3);
            } else {
                EXPECT_GT(at_once, 0.1) << "no transient to seed away: the case shows nothing";
            }
        }
    }
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
    EXPECT_EQ(hld_flex_seed(17, &cur, 100), 1);
    EXPECT_EQ(hld_flex_seed(17, &cur, 3), 1) << "too few samples: at rest";
    EXPECT_EQ(hld_flex_seed(18, &cur, 10), 0);
    EXPECT_EQ(hld_flex_seed(0, &cur, 101), 0);
    EXPECT_EQ(hld_flex_seed(0, nullptr, 1), 0);
    EXPECT_EQ(hld_flex_seed(0, &outside, 1), 0);
    hld_flex_clean();
    EXPECT_EQ(hld_flex_calc(0, &cur, 10), 0);
    EXPECT_EQ(hld_flex_seed(0, &cur, 10), 0);
}

}  // namespace
}  // namespace haldor_test
