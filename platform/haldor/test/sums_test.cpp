// Five-cycle sums: sample counts, mean squares, line-to-line values and mean
// products, against closed forms and long-double sums, across ring ends.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "reference.h"

namespace haldor_test {
namespace {

constexpr uint32_t kRingSize = 60000;

// The window length as the processing forms it: the sample count of five
// cycles, cut to whole samples.
uint32_t five_cycles(long double f) {
    float n = 0;
    EXPECT_TRUE(hld_sample_count_calc(static_cast<float>(f), kRate, 5, &n));
    return static_cast<uint32_t>(n);
}

// RMS as the processing forms it from the library's mean square and mean.
double rms_from(int64_t m, float d) {
    int64_t x = m - static_cast<int64_t>(static_cast<double>(d) * d);
    return x < 1 ? 0.0 : std::sqrt(static_cast<double>(x));
}

TEST(Sums, FiveCycleRms) {
    struct Row {
        const char *name;
        long double dc;
        long double h3;
        long double noise;
    } rows[] = {
        {"pure", 0, 0, 0},
        {"DC", 0.4L, 0, 0},
        {"harmonics", 0, 0.10L, 0},
        {"noise", -0.1L, 0, 0.01L},
    };
    const long double amp = 400000;
    int i = 0;
    for (long double f : {40.5L, 45.3L, 50.0L, 55.55L, 60.0L, 64.2L, 69.5L}) {
        for (const Row &row : rows) {
            ++i;
            SCOPED_TRACE(std::string(row.name) + " f " + std::to_string(static_cast<double>(f)));
            Signal sig{{{f, amp, 0.3L * i}}, row.dc * amp, row.noise * amp, static_cast<uint32_t>(i)};
            if (row.h3 > 0) {
                sig.tones.push_back({3 * f, row.h3 * amp, 1.0L});
                sig.tones.push_back({5 * f, 0.05L * amp, -0.2L});
            }
            const uint32_t n = five_cycles(f);
            EXPECT_NEAR(n, static_cast<double>(5 * kRate / f), 1.0);
            auto samples = sig.render(n, kRate);
            Ring ring(kRingSize);
            const uint32_t start = kRingSize - 1 - 97 * i;  // crosses the end
            ring.write(start, samples);
            cbi_t cur = ring.cursor(start);
            int64_t m = 0;
            float d = 0;
            ASSERT_TRUE(hld_rmss_dc_calc(static_cast<float>(n), &cur, &m, &d));
            // The library's sums against long-double sums of the same samples.
            EXPECT_NEAR(static_cast<double>(m), static_cast<double>(mean_square_of(samples)), 1.0);
            EXPECT_NEAR(d, static_cast<double>(mean_of(samples)), 1e-6 * static_cast<double>(amp));
            // Five-cycle RMS against the closed form: the window misses at
            // most a fraction of a sample of whole cycles.
            const double expect = static_cast<double>(sig.ac_rms());
            EXPECT_NEAR(rms_from(m, d), expect, (row.noise > 0 ? 2e-3 : 1e-3) * expect);
        }
    }
}

TEST(Sums, LineToLineRms) {
    struct Row {
        const char *name;
        long double amp_a, phase_a, amp_b, phase_b, dc_a, dc_b;
    } rows[] = {
        {"balanced 120 degrees", 325000, 0, 325000, -2.0943951L, 0, 0},
        {"balanced with offsets", 325000, 1.0L, 325000, 1.0L + 2.0943951L, 3000, -2000},
        {"unbalanced", 300000, 0.2L, 350000, -1.9L, 0, 0},
        {"in phase", 300000, 0.5L, 100000, 0.5L, 100, 100},
        {"opposite", 200000, 0.0L, 200000, 3.14159265L, 0, 0},
    };
    int i = 0;
    for (long double f : {40.5L, 50.0L, 59.9L, 69.5L}) {
        for (const Row &row : rows) {
            ++i;
            SCOPED_TRACE(std::string(row.name) + " f " + std::to_string(static_cast<double>(f)));
            Signal a{{{f, row.amp_a, row.phase_a}}, row.dc_a};
            Signal b{{{f, row.amp_b, row.phase_b}}, row.dc_b};
            const uint32_t n = five_cycles(f);
            Ring ra(kRingSize), rb(kRingSize);
            const uint32_t sa = kRingSize - 300 - i, sb = kRingSize - 900 + 13 * i;
            auto xa = a.render(n, kRate);
            auto xb = b.render(n, kRate);
            ra.write(sa, xa);
            rb.write(sb, xb);
            cbi_t ca = ra.cursor(sa), cb = rb.cursor(sb);
            int64_t m = 0;
            float d = 0;
            ASSERT_TRUE(hld_rmss_lineline_dc_calc(static_cast<float>(n), &ca, &cb, &m, &d));
            std::vector<float> diff(n);
            for (uint32_t k = 0; k < n; ++k) {
                diff[k] = xa[k] - xb[k];
            }
            EXPECT_NEAR(d, static_cast<double>(mean_of(diff)), 1e-6 * static_cast<double>(row.amp_a));
            auto pa = std::polar(row.amp_a, row.phase_a), pb = std::polar(row.amp_b, row.phase_b);
            const double expect = static_cast<double>(std::abs(pa - pb) / std::sqrt(2.0L));
            EXPECT_NEAR(rms_from(m, d), expect, 1e-3 * static_cast<double>(row.amp_a) / std::sqrt(2.0));
        }
    }
}

TEST(Sums, RealPowerWithoutMeans) {
    const long double u = 320000, cur = 50000;
    int i = 0;
    for (long double f : {40.5L, 50.0L, 60.0L, 69.5L}) {
        for (long double shift : {0.0L, -0.5L, -1.5707963L, -2.5L, 3.14159265L, 2.0L, 0.7L}) {
            ++i;
            SCOPED_TRACE("f " + std::to_string(static_cast<double>(f)) + " shift " +
                         std::to_string(static_cast<double>(shift)));
            Signal sv{{{f, u, 0.1L * i}}, 2000};
            Signal si{{{f, cur, 0.1L * i + shift}, {3 * f, 0.2L * cur, 0}}, -700};
            const uint32_t n = five_cycles(f);
            Ring rv(kRingSize), ri(kRingSize);
            const uint32_t s_v = kRingSize - 17 * i, s_i = kRingSize - 600 + i;
            auto xv = sv.render(n, kRate), xi = si.render(n, kRate);
            rv.write(s_v, xv);
            ri.write(s_i, xi);
            cbi_t cv = rv.cursor(s_v), ci = ri.cursor(s_i);
            int64_t mv, mi, p;
            float dv, di;
            ASSERT_TRUE(hld_rmss_dc_calc(static_cast<float>(n), &cv, &mv, &dv));
            ASSERT_TRUE(hld_rmss_dc_calc(static_cast<float>(n), &ci, &mi, &di));
            ASSERT_TRUE(hld_real_power_calc(dv, di, static_cast<float>(n), &cv, &ci, &p));
            long double brute = 0;
            for (uint32_t k = 0; k < n; ++k) {
                brute += (xv[k] - static_cast<long double>(dv)) * (xi[k] - static_cast<long double>(di));
            }
            EXPECT_NEAR(static_cast<double>(p), static_cast<double>(brute / n), 1.0);
            // The harmonic carries no power against a pure voltage; a window
            // cut to whole samples misses at most one sample's product.
            const double expect = static_cast<double>(u * cur / 2 * std::cos(shift));
            EXPECT_NEAR(static_cast<double>(p), expect, static_cast<double>(u * cur) / n);
        }
    }
}

TEST(Sums, SampleCount) {
    float n = -1;
    ASSERT_TRUE(hld_sample_count_calc(50.0f, kRate, 5, &n));
    EXPECT_FLOAT_EQ(n, static_cast<float>(5 * kRate / 50));
    ASSERT_TRUE(hld_sample_count_calc(60.0f, 8000.0, 10, &n));
    EXPECT_FLOAT_EQ(n, 10 * 8000.0f / 60);
    struct {
        float f;
        double rate;
        uint32_t cycles;
    } bad[] = {{0, kRate, 5}, {-50, kRate, 5}, {NAN, kRate, 5}, {INFINITY, kRate, 5},
               {50, 0, 5},    {50, -1, 5},     {50, NAN, 5},    {50, kRate, 0}};
    for (const auto &b : bad) {
        SCOPED_TRACE(std::to_string(b.f) + " " + std::to_string(b.rate) + " " + std::to_string(b.cycles));
        n = 7;
        EXPECT_EQ(hld_sample_count_calc(b.f, b.rate, b.cycles, &n), 0);
        EXPECT_EQ(n, 0.0f);
    }
    EXPECT_EQ(hld_sample_count_calc(50, kRate, 5, nullptr), 0);
}

TEST(Sums, FilledCountsWithWrapAround) {
    Ring ring(100);
    struct {
        uint32_t head, position, expect;
    } rows[] = {
        {10, 10, 0}, {10, 11, 99}, {10, 0, 10}, {0, 99, 1}, {99, 0, 99}, {5, 95, 10},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.head) + " " + std::to_string(r.position));
        cbi_t cur = ring.cursor(r.head);
        EXPECT_EQ(hld_cbi_filled(&cur, ring.at(r.position)), r.expect);
    }
    cbi_t cur = ring.cursor(3);
    EXPECT_EQ(hld_cbi_filled(&cur, ring.at(0) + 100), 0u);
    EXPECT_EQ(hld_cbi_filled(&cur, nullptr), 0u);
    EXPECT_EQ(hld_cbi_filled(nullptr, ring.at(0)), 0u);
}

TEST(Sums, RefusesWindowsItCannotRead) {
    Ring ring(1000), other(1000);
    cbi_t cur = ring.cursor(999), cur2 = other.cursor(0);
    cb_t empty{nullptr, 0};
    cbi_t no_ring{&empty, nullptr};
    cbi_t outside{cur.cb, ring.at(0) + 1000};
    int64_t m = 5;
    float d = 5;
    for (float n : {0.0f, 0.5f, -3.0f, 1001.0f, NAN, INFINITY, 1e20f}) {
        SCOPED_TRACE(n);
        m = 5;
        d = 5;
        EXPECT_EQ(hld_rmss_dc_calc(n, &cur, &m, &d), 0);
        EXPECT_EQ(m, 0);
        EXPECT_EQ(d, 0.0f);
        EXPECT_EQ(hld_rmss_lineline_dc_calc(n, &cur, &cur2, &m, &d), 0);
        EXPECT_EQ(hld_real_power_calc(0, 0, n, &cur, &cur2, &m), 0);
        EXPECT_EQ(m, 0);
    }
    for (const cbi_t *c : std::initializer_list<const cbi_t *>{nullptr, &no_ring, &outside}) {
        EXPECT_EQ(hld_rmss_dc_calc(10, c, &m, &d), 0);
        EXPECT_EQ(hld_rmss_lineline_dc_calc(10, &cur, c, &m, &d), 0);
        EXPECT_EQ(hld_real_power_calc(0, 0, 10, c, &cur, &m), 0);
    }
    EXPECT_EQ(hld_real_power_calc(NAN, 0, 10, &cur, &cur2, &m), 0);
    // A whole ring can be read; 1.9 samples are one sample.
    EXPECT_EQ(hld_rmss_dc_calc(1000.0f, &cur, &m, &d), 1);
    ring.at(999)[0] = 3.0f;
    EXPECT_EQ(hld_rmss_dc_calc(1.9f, &cur, &m, &d), 1);
    EXPECT_EQ(m, 9);
    EXPECT_EQ(d, 3.0f);
}

}  // namespace
}  // namespace haldor_test
