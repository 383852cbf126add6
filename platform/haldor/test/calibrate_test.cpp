// Raw ADC words into calibrated ring samples.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>

#include "reference.h"

namespace haldor_test {
namespace {

struct Calibration {
    Calibration() {
        for (auto &e : cal) {
            e = {1.0f, 0};
        }
    }
    ~Calibration() { hld_calibrate_clean(); }
    std::array<cal_entry_t, HLD_CHANNELS> cal{};
};

TEST(Calibrate, GainTimesSignedCountAcrossTheRingEnd) {
    Calibration c;
    c.cal[7] = {1.5f, 1234};  // the offset is a noise floor, never applied to samples
    ASSERT_TRUE(hld_calibrate_setup(c.cal.data(), 9));
    std::array<uint32_t, 64> raw{};
    for (uint32_t i = 0; i < raw.size(); ++i) {
        raw[i] = static_cast<uint32_t>(static_cast<int32_t>(i * 100000) - 3000000);
    }
    raw[0] = 0xFFFFFFFFu;  // -1
    raw[1] = 0xFF800000u;  // -8388608, the converter's most negative count
    raw[2] = 0x007FFFFFu;  // 8388607
    Ring ring(1000);
    cbi_t cur = ring.cursor(990);  // 10 samples before the end
    ASSERT_TRUE(hld_calibrate_calc(7, raw.data(), 64, &cur));
    for (uint32_t i = 0; i < raw.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ring.at((990 + i) % 1000)[0], static_cast<float>(static_cast<int32_t>(raw[i])) * 1.5f);
    }
    EXPECT_EQ(ring.at(54)[0], 0.0f);  // nothing beyond the 64 samples
    EXPECT_EQ(ring.at(989)[0], 0.0f);
}

// Raw counts calibrated block by block, as the acquisition does, then
// measured: the result is the gain times the counts' own values.
TEST(Calibrate, CalibratedBlocksFeedTheMeasurement) {
    Calibration c;
    c.cal[4] = {1.25f, 0};
    ASSERT_TRUE(hld_calibrate_setup(c.cal.data(), 9));
    SpectrumKernels k;
    ASSERT_TRUE(k.ok);
    const long double f = 50.3L, amp = 2000000;  // counts
    auto counts = Signal{{{f, amp, 0.9L}}, -15000}.render(64 * 40, kRate);
    Ring ring(60000);
    const uint32_t start = 60000 - 64 * 17;
    uint32_t head = start;
    for (uint32_t b = 0; b < 40; ++b) {
        uint32_t raw[64];
        for (uint32_t i = 0; i < 64; ++i) {
            raw[i] = static_cast<uint32_t>(static_cast<int32_t>(std::lround(counts[b * 64 + i])));
        }
        cbi_t cur = ring.cursor(head);
        ASSERT_TRUE(hld_calibrate_calc(4, raw, 64, &cur));
        head = (head + 64) % ring.size();
    }
    cbi_t cur = ring.cursor(start);
    auto spectrum = k.spectrum(cur);
    float fr, bin, phase, fund, harm, n;
    ASSERT_TRUE(hld_fund_frequency_calc(kRate, spectrum.data(), &fr, &bin));
    EXPECT_NEAR(fr, static_cast<double>(f), 0.01);
    ASSERT_TRUE(hld_fund_rms_phase_calc(kRate, bin, spectrum.data(), &phase, &fund, &harm));
    const double rms = 1.25 * static_cast<double>(amp) / std::sqrt(2.0);
    EXPECT_NEAR(fund, rms, 5e-4 * rms);
    ASSERT_TRUE(hld_sample_count_calc(fr, kRate, 5, &n));
    int64_t m;
    float d;
    ASSERT_TRUE(hld_rmss_dc_calc(std::floor(n), &cur, &m, &d));
    EXPECT_NEAR(d, 1.25 * -15000, 0.02 * rms);
    EXPECT_NEAR(std::sqrt(static_cast<double>(m - static_cast<int64_t>(static_cast<double>(d) * d))), rms,
                1e-3 * rms);
}

TEST(Calibrate, LaterGainChangesTakeEffect) {
    Calibration c;
    ASSERT_TRUE(hld_calibrate_setup(c.cal.data(), 54));
    const uint32_t raw[4] = {1000, 2000, 3000, 4000};
    Ring ring(16);
    cbi_t cur = ring.cursor(0);
    ASSERT_TRUE(hld_calibrate_calc(53, raw, 4, &cur));
    EXPECT_EQ(ring.at(3)[0], 4000.0f);
    c.cal[53].gain = 0.25f;
    ASSERT_TRUE(hld_calibrate_calc(53, raw, 4, &cur));
    EXPECT_EQ(ring.at(3)[0], 1000.0f);
}

TEST(Calibrate, NonFiniteGainGivesZerosNotNan) {
    Calibration c;
    c.cal[2].gain = NAN;
    c.cal[3].gain = INFINITY;
    ASSERT_TRUE(hld_calibrate_setup(c.cal.data(), 9));
    const uint32_t raw[4] = {5, 6, 7, 8};
    for (uint32_t ch : {2u, 3u}) {
        SCOPED_TRACE(ch);
        Ring ring(8);
        for (uint32_t i = 0; i < 8; ++i) {
            ring.at(i)[0] = 9.0f;
        }
        cbi_t cur = ring.cursor(6);
        EXPECT_EQ(hld_calibrate_calc(ch, raw, 4, &cur), 0);
        EXPECT_EQ(ring.read(6, 4), std::vector<float>(4, 0.0f));
        EXPECT_EQ(ring.at(2)[0], 9.0f);
    }
}

TEST(Calibrate, RefusesBadSetUpAndCalls) {
    Calibration c;
    EXPECT_EQ(hld_calibrate_setup(nullptr, 9), 0);
    EXPECT_EQ(hld_calibrate_setup(c.cal.data(), 0), 0);
    EXPECT_EQ(hld_calibrate_setup(c.cal.data(), 55), 0);
    const uint32_t raw[64] = {};
    Ring ring(64);
    cbi_t cur = ring.cursor(0);
    EXPECT_EQ(hld_calibrate_calc(0, raw, 64, &cur), 0);  // not set up
    ASSERT_TRUE(hld_calibrate_setup(c.cal.data(), 18));
    EXPECT_EQ(hld_calibrate_calc(17, raw, 64, &cur), 1);
    EXPECT_EQ(hld_calibrate_calc(18, raw, 64, &cur), 0);  // a minimal ring beyond num_buf
    EXPECT_EQ(hld_calibrate_calc(0, raw, 65, &cur), 0);   // more than the ring holds
    EXPECT_EQ(hld_calibrate_calc(0, nullptr, 64, &cur), 0);
    EXPECT_EQ(hld_calibrate_calc(0, raw, 64, nullptr), 0);
    cbi_t outside{cur.cb, ring.at(0) + 64};
    EXPECT_EQ(hld_calibrate_calc(0, raw, 1, &outside), 0);
    hld_calibrate_clean();
    EXPECT_EQ(hld_calibrate_calc(0, raw, 64, &cur), 0);
}

}  // namespace
}  // namespace haldor_test
