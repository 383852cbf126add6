// One-second results of the whole chain against the scenario's closed forms.

#include "measure_fixture.h"

#include "haldor/haldor.h"

#include <string>

namespace {

using namespace measure_test;

// Relative error within rel of expected (absolute floor for zero values).
::testing::AssertionResult near_rel(double got, double want, double rel, double floor = 1e-6) {
    const double tol = std::max(std::fabs(want) * rel, floor);
    if (std::fabs(got - want) <= tol) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << got << " vs " << want << " (tolerance " << tol << ")";
}

// Power factor by the sign rule: with pf_sign 0 the sign of the real power,
// with 1 negative when the current leads (CT) or the reactive power is negative (load).
double expected_apf(double w, double va, bool negative_by_reactive, uint32_t pf_sign) {
    double apf = std::fabs(va) > std::fabs(w) ? w / va : (w < 0 ? -1.0 : 1.0);
    if (pf_sign == 1) {
        apf = std::fabs(apf);
        if (negative_by_reactive) {
            apf = -apf;
        }
    }
    return apf;
}

class Accuracy : public Chain {
protected:
    // Every line of set s and every load of it in the result r.
    void check_set(const data_set_t &r, uint32_t s, uint32_t pf_sign) {
        const mapping_u_set &u = map.sets_u[s];
        SCOPED_TRACE("voltage set " + std::to_string(s) + " at " + std::to_string(frequency) + " Hz");
        EXPECT_NEAR(r.frequency.value, frequency, 0.01);
        EXPECT_EQ(r.flags & DATA_FLAG_DEFAULT_FREQUENCY, 0u);
        EXPECT_EQ(r.ts_end - r.ts_begin, AGG_TICKS_PER_SECOND);
        double rate = 0;
        acquisition_get_sample_rate(&rate);
        EXPECT_NEAR(r.samples, rate, 0.01);
        double sum_f = 0, sum_h = 0;
        for (uint32_t j = 0; j < 3; ++j) {
            SCOPED_TRACE("line " + std::to_string(j));
            const Signal &v = signals[u.u[j].channel];
            const Signal &next = signals[u.u[(j + 1) % 3].channel];
            const data_u &d = r.set_u.u[j];
            EXPECT_EQ(d.channel, u.u[j].channel);
            EXPECT_TRUE(near_rel(d.rms_ln.value, rms(v), 0.001));
            EXPECT_TRUE(near_rel(d.rms_fund.value, fund_rms(v), 0.001));
            EXPECT_TRUE(near_rel(d.rms_ll.value, rms_diff(v, next), 0.001));
            EXPECT_TRUE(near_rel(d.rms_harm.value, harm_rms(v), 0.01, 0.01));
            EXPECT_NEAR(d.thd_f.value, harm_rms(v) / fund_rms(v) * 100, 0.05);
            EXPECT_NEAR(d.phase.value, wrap(fund_phase(v) - fund_phase(signals[u.u[0].channel])), 0.002);
            sum_f += fund_rms(v) * fund_rms(v);
            sum_h += harm_rms(v) * harm_rms(v);
        }
        EXPECT_NEAR(r.set_u.thd.value, std::sqrt(sum_h / sum_f) * 100, 0.05);

        uint32_t k = 0;
        for (uint32_t slot = 0; slot < 48; ++slot) {
            const mapping_i_set &l = map.sets_i[slot];
            if (!l.active || l.u_set_id != u.id) {
                continue;
            }
            const data_i_set &d = r.sets_i[k++];
            const LoadSpec &spec = specs[slot];
            SCOPED_TRACE("load " + std::to_string(l.id) + " type " + std::to_string(spec.ct_type) +
                         (spec.invert ? " inverted" : "") + " angle " + std::to_string(spec.angle_deg));
            EXPECT_EQ(d.load_id, l.id);
            double p_w = 0, p_va = 0, p_var = 0, p_rms = 0, va_dpf = 0;
            for (uint32_t j = 0; j < 3; ++j) {
                SCOPED_TRACE("CT " + std::to_string(j));
                const Signal &v = signals[u.u[j].channel];
                const Signal &i = signals[l.i[j].channel];
                const data_i &c = r.sets_i[k - 1].i[j];
                const double phase = wrap(fund_phase(i) - fund_phase(v));
                const double w = mean_product(v, i);
                const double va = rms(v) * rms(i);
                const double var = -fund_rms(v) * fund_rms(i) * std::sin(phase);
                EXPECT_EQ(c.channel, l.i[j].channel);
                EXPECT_TRUE(near_rel(c.rms.value, rms(i), 0.001));
                EXPECT_TRUE(near_rel(c.rms_fund.value, fund_rms(i), 0.001));
                EXPECT_TRUE(near_rel(c.rms_u.value, rms(i) / ct_scale(&l.i[j]) * PROCESSING_CT_BASE, 0.001));
                EXPECT_NEAR(c.thd_f.value, harm_rms(i) / fund_rms(i) * 100, 0.05 + 0.01 * spec.third * 100);
                EXPECT_NEAR(c.phase.value, phase, 0.003);
                EXPECT_TRUE(near_rel(c.w.value, w, 0, 0.002 * va)) << "real power";
                EXPECT_TRUE(near_rel(c.va.value, va, 0.002)) << "apparent power";
                EXPECT_TRUE(near_rel(c.var.value, var, 0, 0.002 * va)) << "reactive power";
                const double apf = expected_apf(w, va, phase > 0, pf_sign);
                EXPECT_NEAR(c.apf.value, apf, 0.003);
                const double dpf = std::cos(phase) * (apf < 0 ? -1 : 1) * (std::cos(phase) < 0 ? -1 : 1);
                EXPECT_NEAR(c.dpf.value, dpf, 0.003);
                EXPECT_EQ(c.var_quadrant, [&] {
                    uint8_t q = 0;
                    hld_reactive_power_quadrant(static_cast<float>(phase), &q);
                    return q;
                }());
                p_w += w;
                p_va += va;
                p_var += var;
                p_rms += rms(i);
                va_dpf += va * dpf;
            }
            EXPECT_TRUE(near_rel(d.rms.value, p_rms, 0.001));
            EXPECT_TRUE(near_rel(d.p.w.value, p_w, 0, 0.002 * p_va));
            EXPECT_TRUE(near_rel(d.p.va.value, p_va, 0.002));
            EXPECT_TRUE(near_rel(d.p.var.value, p_var, 0, 0.002 * p_va));
            EXPECT_NEAR(d.p.apf.value, expected_apf(p_w, p_va, p_var < 0, pf_sign), 0.003);
            EXPECT_NEAR(d.p.dpf.value, va_dpf / p_va, 0.003);
        }
        for (; k < 48; ++k) {
            EXPECT_EQ(r.sets_i[k].load_id, 0u);
            EXPECT_EQ(r.sets_i[k].p.dpf.value, 1.0f) << "empty load slot " << k;
        }
    }

    // Two voltage sets (the second behind PT ratio 2) and sixteen loads of
    // three CTs: every CT type, inductive and capacitive, import and export,
    // inverted CTs, some third harmonic.
    void full_meter() {
        voltage_set(0, 0, 230.0, 1.0, 5, 0.03);
        voltage_set(1, 3, 240.0, 2.0, 3, 0.02);
        const LoadSpec loads[] = {
            {0, 0, 5.0, -30, false, 0.10},
            {0, 1, 20.0, 40, false, 0.0},
            {0, 2, 50.0, 155, false, 0.05},
            {0, 3, 80.0, -165, false, 0.0},
            {0, 4, 200.0, -10, true, 0.0},
            {0, 5, 400.0, 20, true, 0.08},
            {0, 9, 60.0, -45, false, 0.0, 100.0, 333.0, 0.0},
            {0, 10, 1000.0, -20, false, 0.0, 0.0, 0.0, 3000.0},
            {1, 6, 800.0, -30, false, 0.0},
            {1, 7, 500.0, 170, false, 0.05},
            {1, 8, 300.0, 30, true, 0.0},
            {1, 9, 150.0, -60, false, 0.0, 400.0, 100.0, 0.0},
            {1, 0, 3.0, 8, false, 0.0},
            {1, 2, 40.0, 60, false, 0.0},
            {1, 1, 15.0, -100, false, 0.0},
            {1, 3, 100.0, 120, true, 0.0},
        };
        for (uint32_t n = 0; n < 16; ++n) {
            load(n, loads[n]);
        }
    }
};

struct Case {
    double hz;
    uint32_t pf_sign;
};

class AccuracyAt : public Accuracy, public ::testing::WithParamInterface<Case> {};

// Seconds 5 and 6: the flexible sensors' integrators have settled.
TEST_P(AccuracyAt, OneSecondResultsMatchTheScenario) {
    full_meter();
    agg_set_pf_sign_value(GetParam().pf_sign);
    start(GetParam().hz);
    run_seconds(6, 0);
    run_seconds(6, 1);
    check_set(last(0), 0, GetParam().pf_sign);
    check_set(last(1), 1, GetParam().pf_sign);
    EXPECT_FALSE(pru_host::log_has("Channel buffers full, dropping samples until they are read"));
}

INSTANTIATE_TEST_SUITE_P(Frequencies, AccuracyAt,
                         ::testing::Values(Case{40.5, 0}, Case{50.0, 0}, Case{50.0, 1}, Case{60.0, 0},
                                           Case{69.5, 0}),
                         [](const auto &info) {
                             return std::to_string(static_cast<int>(info.param.hz * 10)) + "dHz_pfsign" +
                                    std::to_string(info.param.pf_sign);
                         });

}  // namespace
