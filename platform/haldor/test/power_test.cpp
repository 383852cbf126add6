// Angle wrapping, fundamental reactive power and quadrants, alone and
// through the whole chain from samples to a current's phase.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "reference.h"

namespace haldor_test {
namespace {

constexpr double kPi = std::numbers::pi;

TEST(Power, WrapToPi) {
    struct {
        float in;
        double expect;
    } rows[] = {
        {0.0f, 0.0},       {1.0f, 1.0},          {-1.0f, -1.0},         {3.0f, 3.0},
        {4.0f, 4.0 - 2 * kPi}, {-4.0f, 2 * kPi - 4.0}, {7.0f, 7.0 - 2 * kPi}, {-20.0f, -20.0 + 6 * kPi},
        {100.0f, 100.0 - 32 * kPi},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_NEAR(hld_angles_wrap_to_pi(r.in), r.expect, 1e-5);
    }
    for (float in : {3.1415927f, -3.1415927f, 1e6f, -1e7f, 6.2831855f}) {
        SCOPED_TRACE(in);
        EXPECT_LE(std::fabs(hld_angles_wrap_to_pi(in)), std::numbers::pi_v<float>);
    }
    EXPECT_EQ(hld_angles_wrap_to_pi(NAN), 0.0f);
    EXPECT_EQ(hld_angles_wrap_to_pi(INFINITY), 0.0f);
}

// Phase is the current's angle minus its voltage's: negative when the
// current lags (inductive load, positive var).
TEST(Power, ReactivePowerAndQuadrant) {
    const float pi_f = std::numbers::pi_v<float>;
    struct {
        float phase;
        uint8_t quadrant;
    } rows[] = {
        {-0.5f, 1},  {-1.2f, 1},  {0.0f, 1},   {-1.5707f, 1}, {-1.5709f, 2}, {-2.5f, 2},
        {-3.1f, 2},  {2.0f, 3},   {3.1f, 3},   {pi_f, 3},     {-pi_f, 3},    {1.5709f, 3},
        {0.3f, 4},   {1.2f, 4},   {1e-7f, 4},  {1.5707f, 4},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.phase);
        uint8_t q = 0, aux = 0;
        double var = 0;
        ASSERT_TRUE(hld_reactive_power_quadrant(r.phase, &q));
        EXPECT_EQ(q, r.quadrant);
        ASSERT_TRUE(hld_reactive_power_fund_calc(230.0, 10.0, r.phase, &var, &aux));
        EXPECT_NEAR(var, -2300.0 * std::sin(static_cast<double>(r.phase)), 1e-9);
        EXPECT_EQ(aux, r.quadrant);
        // The quadrant agrees with the signs of P and Q.
        const double p = 2300.0 * std::cos(static_cast<double>(r.phase));
        if (std::fabs(p) > 1e-3 && std::fabs(var) > 1e-3) {
            uint8_t by_sign = p > 0 ? (var > 0 ? 1 : 4) : (var > 0 ? 2 : 3);
            EXPECT_EQ(q, by_sign);
        }
    }
    for (float bad : {NAN, INFINITY, -INFINITY, 3.15f, -3.15f, 10.0f}) {
        SCOPED_TRACE(bad);
        uint8_t q = 9, aux = 9;
        double var = 9;
        EXPECT_EQ(hld_reactive_power_quadrant(bad, &q), 0);
        EXPECT_EQ(q, 0);
        EXPECT_EQ(hld_reactive_power_fund_calc(230.0, 10.0, bad, &var, &aux), 0);
        EXPECT_EQ(var, 0.0);
        EXPECT_EQ(aux, 0);
    }
    uint8_t aux;
    double var = 9;
    EXPECT_EQ(hld_reactive_power_fund_calc(-1.0, 10.0, 0.5f, &var, &aux), 0);
    EXPECT_EQ(var, 0.0);
    EXPECT_EQ(hld_reactive_power_fund_calc(230.0, NAN, 0.5f, &var, &aux), 0);
    EXPECT_EQ(hld_reactive_power_fund_calc(0.0, 0.0, 0.5f, &var, &aux), 1);
    EXPECT_EQ(var, -0.0);
}

// From samples to var and quadrant, with the current in each quadrant
// against its voltage, both windows across ring ends.
TEST(Power, ChainGivesPhaseVarAndQuadrantInAllFourQuadrants) {
    SpectrumKernels k;
    ASSERT_TRUE(k.ok);
    struct {
        double phase;  // current minus voltage
        uint8_t quadrant;
    } rows[] = {
        {-0.6435, 1}, {-0.05, 1}, {-2.0, 2}, {-3.0, 2}, {2.5, 3}, {1.7, 3}, {0.3, 4}, {1.4, 4},
    };
    const long double u = 300000, cur = 40000;
    int i = 0;
    for (long double f : {40.5L, 50.02L, 59.9L, 69.5L}) {
        for (const auto &r : rows) {
            ++i;
            SCOPED_TRACE("f " + std::to_string(static_cast<double>(f)) + " phase " + std::to_string(r.phase));
            const long double pu = -1.0L + 0.45L * i;
            Signal sv{{{f, u, pu}, {5 * f, 0.04L * u, 0.3L}}, 900};
            Signal si{{{f, cur, pu + r.phase}, {3 * f, 0.3L * cur, -1.0L}}, -300};
            Ring rv(9000), ri(7000);
            const uint32_t s_v = 9000 - 100 * (i % 7) - 1, s_i = 7000 - 2000 + 3 * i;
            rv.write(s_v, sv.render(kWindow, kRate));
            ri.write(s_i, si.render(kWindow, kRate));
            auto spectrum_v = k.spectrum(rv.cursor(s_v));
            auto spectrum_i = k.spectrum(ri.cursor(s_i));
            float fr, bin, phase_v, phase_i, u_fund, i_fund, harm;
            ASSERT_TRUE(hld_fund_frequency_calc(kRate, spectrum_v.data(), &fr, &bin));
            ASSERT_TRUE(hld_fund_rms_phase_calc(kRate, bin, spectrum_v.data(), &phase_v, &u_fund, &harm));
            ASSERT_TRUE(hld_fund_rms_phase_calc(kRate, bin, spectrum_i.data(), &phase_i, &i_fund, &harm));
            const float phase = hld_angles_wrap_to_pi(phase_i - phase_v);
            EXPECT_NEAR(angle_diff(phase, r.phase), 0.0, 1e-3);
            double var = 0;
            uint8_t aux = 0, q = 0;
            ASSERT_TRUE(hld_reactive_power_fund_calc(u_fund, i_fund, phase, &var, &aux));
            const double ui = static_cast<double>(u * cur / 2);
            EXPECT_NEAR(var, -ui * std::sin(r.phase), 1e-3 * ui);
            ASSERT_TRUE(hld_reactive_power_quadrant(phase, &q));
            EXPECT_EQ(q, r.quadrant);
            EXPECT_EQ(aux, r.quadrant);
        }
    }
}

}  // namespace
}  // namespace haldor_test
