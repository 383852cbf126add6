// One-second results of the whole chain against the scenario's closed forms.

#include "measure_fixture.h"

#include "haldor/haldor.h"

#include <syslog.h>

#include <string>
#include <vector>

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
    // A second that a gap cut short (whole false) holds fewer samples.
    void check_set(const data_set_t &r, uint32_t s, uint32_t pf_sign, double thd_tol = 0.05, bool skip_flexible = false,
                   bool whole = true) {
        const mapping_u_set &u = map.sets_u[s];
        SCOPED_TRACE("voltage set " + std::to_string(s) + " at " + std::to_string(frequency) + " Hz");
        EXPECT_NEAR(r.frequency.value, frequency, 0.01);
        EXPECT_EQ(r.flags & DATA_FLAG_DEFAULT_FREQUENCY, 0u);
        EXPECT_EQ(r.ts_end - r.ts_begin, AGG_TICKS_PER_SECOND);
        double rate = 0;
        acquisition_get_sample_rate(&rate);
        if (whole) {
            EXPECT_NEAR(r.samples, rate, 0.05);
        } else {
            EXPECT_GT(r.samples, 0.0f);
            EXPECT_LT(r.samples, rate);
        }
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
            EXPECT_TRUE(near_rel(d.rms_harm.value, harm_rms(v), thd_tol / 5, 0.01));
            EXPECT_NEAR(d.thd_f.value, harm_rms(v) / fund_rms(v) * 100, thd_tol);
            EXPECT_NEAR(d.thd_r.value, harm_rms(v) / rms(v) * 100, thd_tol);
            EXPECT_NEAR(d.phase.value, wrap(fund_phase(v) - fund_phase(signals[u.u[0].channel])), 0.002);
            sum_f += fund_rms(v) * fund_rms(v);
            sum_h += harm_rms(v) * harm_rms(v);
        }
        EXPECT_NEAR(r.set_u.thd.value, std::sqrt(sum_h / sum_f) * 100, thd_tol);

        uint32_t k = 0;
        for (uint32_t slot = 0; slot < 48; ++slot) {
            const mapping_i_set &l = map.sets_i[slot];
            if (!l.active || l.u_set_id != u.id) {
                continue;
            }
            const data_i_set &d = r.sets_i[k++];
            const LoadScenario &want = load_scenarios[slot];
            if (skip_flexible && ct_is_flexible(want.ct_type)) {
                continue;  // its sensor's output does not follow a frequency change of the scenario
            }
            SCOPED_TRACE("load " + std::to_string(l.id) + " type " + std::to_string(want.ct_type) +
                         (want.invert ? " inverted" : "") + " angle " + std::to_string(want.angle_deg));
            EXPECT_EQ(d.load_id, l.id);
            double p_w = 0, p_va = 0, p_var = 0, p_rms = 0, va_dpf = 0, p_f = 0, p_h = 0;
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
                EXPECT_NEAR(c.thd_f.value, harm_rms(i) / fund_rms(i) * 100, thd_tol + 0.01 * want.third * 100);
                EXPECT_NEAR(c.thd_r.value, harm_rms(i) / rms(i) * 100, thd_tol + 0.01 * want.third * 100);
                EXPECT_NEAR(c.phase.value, phase, 0.003);
                EXPECT_TRUE(near_rel(c.w.value, w, 0, 0.002 * va)) << "real power";
                EXPECT_TRUE(near_rel(c.va.value, va, 0.002)) << "apparent power";
                EXPECT_TRUE(near_rel(c.var.value, var, 0, 0.002 * va)) << "reactive power";
                EXPECT_TRUE(near_rel(c.w_fund.value, fund_rms(v) * fund_rms(i) * std::cos(phase), 0, 0.002 * va))
                    << "fundamental real power";
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
                p_f += fund_rms(i) * fund_rms(i);
                p_h += harm_rms(i) * harm_rms(i);
            }
            EXPECT_NEAR(d.thd.value, std::sqrt(p_h / p_f) * 100, thd_tol + 0.01 * want.third * 100);
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
        const LoadScenario loads[] = {
            {0, 0, 5.0, -30, false, 0.50},  // a heavily distorted current: thd_f and thd_r differ
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

// Every second from the first: the flexible sensors' integrators are seeded
// from the first samples, so none of their results waits for them to settle.
TEST_P(AccuracyAt, OneSecondResultsMatchTheScenario) {
    full_meter();
    agg_set_pf_sign_value(GetParam().pf_sign);
    start(GetParam().hz);
    run_seconds(6, 0);
    run_seconds(6, 1);
    ASSERT_GE(seconds.size(), 12u);
    for (const data_set_t &d : seconds) {
        SCOPED_TRACE("second ending at " + std::to_string(d.ts_end));
        check_set(d, d.set, GetParam().pf_sign);
    }
    EXPECT_FALSE(meter::host::log_has("Channel buffers full, dropping samples until they are read"));
}

INSTANTIATE_TEST_SUITE_P(Frequencies, AccuracyAt,
                         ::testing::Values(Case{40.5, 0}, Case{50.0, 0}, Case{50.0, 1}, Case{60.0, 0},
                                           Case{69.5, 0}),
                         [](const auto &info) {
                             return std::to_string(static_cast<int>(info.param.hz * 10)) + "dHz_pfsign" +
                                    std::to_string(info.param.pf_sign);
                         });

// No field of a result is NaN or infinite.
::testing::AssertionResult all_finite(const data_set_t &r) {
    // Word by word as floats, but the energy registers as the doubles they
    // are: half of a double can look like an infinite float.
    const auto *base = reinterpret_cast<const char *>(&r);
    std::vector<bool> in_double(sizeof r / sizeof(float), false);
    auto registers = [&](const data_double_t *first) {
        for (uint32_t e = 0; e < AGG_ENERGY_REGISTERS; ++e) {
            if (!std::isfinite(first[e].value)) {
                return false;
            }
            const size_t w = static_cast<size_t>(reinterpret_cast<const char *>(&first[e]) - base) / sizeof(float);
            in_double[w] = in_double[w + 1] = true;
        }
        return true;
    };
    for (const data_i_set &l : r.sets_i) {
        for (const data_i &c : l.i) {
            if (!registers(&c.wh)) {
                return ::testing::AssertionFailure() << "a CT energy register is not finite";
            }
        }
        if (!registers(&l.p.wh)) {
            return ::testing::AssertionFailure() << "a load energy register is not finite";
        }
    }
    const auto *f = reinterpret_cast<const float *>(&r);
    for (size_t k = 0; k < sizeof r / sizeof(float); ++k) {
        if (!in_double[k] && !std::isfinite(f[k])) {
            return ::testing::AssertionFailure() << "word " << k << " is " << f[k];
        }
    }
    return ::testing::AssertionSuccess();
}

// The step from 50 to 57 Hz at 3.5 s: the seconds before it and after it
// carry their own frequency; seconds stay contiguous and one second long.
TEST_F(Accuracy, FrequencyStep) {
    full_meter();
    start(50.0, {{3.5, 57.0}});
    run_seconds(7, 0);
    std::vector<data_set_t> set0;
    for (const data_set_t &d : seconds) {
        if (d.set == 0) {
            set0.push_back(d);
        }
    }
    for (size_t n = 0; n < set0.size(); ++n) {
        SCOPED_TRACE("second " + std::to_string(n));
        EXPECT_TRUE(all_finite(set0[n]));
        if (n > 0) {
            EXPECT_EQ(set0[n].ts_begin, set0[n - 1].ts_end);
        }
        if (n <= 2) {
            EXPECT_NEAR(set0[n].frequency.value, 50.0, 0.01);
        } else if (n >= 4) {
            EXPECT_NEAR(set0[n].frequency.value, 57.0, 0.01);
        }
        EXPECT_EQ(set0[n].flags & DATA_FLAG_DEFAULT_FREQUENCY, 0u);
    }
    frequency = 57.0;
    check_set(set0.back(), 0, 0, 0.05, true);
}

// Without voltage no fundamental is found: the default frequency with its
// flag, no voltage, no power, and the currents still measured over five
// cycles of the default frequency.
TEST_F(Accuracy, LossOfSignal) {
    full_meter();
    for (uint32_t ch = 0; ch < 3; ++ch) {
        signals[ch] = {};
    }
    start(50.0);
    run_seconds(3, 0);
    const data_set_t &r = last(0);
    EXPECT_TRUE(all_finite(r));
    EXPECT_NEAR(r.frequency.value, hld_get_default_frequency(), 1e-4);
    EXPECT_NE(r.flags & DATA_FLAG_DEFAULT_FREQUENCY, 0u);
    for (const data_u &u : r.set_u.u) {
        EXPECT_EQ(u.rms_ln.value, 0.0f);
        EXPECT_EQ(u.phase.value, 0.0f);
    }
    const data_i &ct = r.sets_i[0].i[0];
    EXPECT_TRUE(near_rel(ct.rms.value, rms(signals[6]), 0.001));
    EXPECT_NEAR(ct.w.value, 0.0f, 1e-3);
    EXPECT_EQ(r.sets_i[0].p.apf.value, 1.0f) << "no apparent power: +1 by the sign of the real power";
    // The other set keeps its own frequency.
    EXPECT_EQ(last(1).flags & DATA_FLAG_DEFAULT_FREQUENCY, 0u);
}

// A mapping whose only active voltage set is the second: its results are
// those of slot 0, measured on channels 3..5.
TEST_F(Accuracy, OnlyTheSecondVoltageSet) {
    full_meter();
    map.sets_u[0].active = false;
    for (uint32_t n = 0; n < 8; ++n) {
        map.sets_i[n].active = false;
    }
    start(60.0);
    run_seconds(6, 0);
    for (const data_set_t &d : seconds) {
        EXPECT_EQ(d.set, 0u);
    }
    EXPECT_EQ(last(0).set_u.u[0].channel, 3u);
    check_set(last(0), 1, 0);
}

// At twice the sample rate five cycles need more samples than the 2048 of
// the analysis window: the window waits for them instead of reading past
// the samples written.
TEST_F(Accuracy, FiveCyclesLongerThanTheWindow) {
    full_meter();
    feeder.set_clock(3077000);
    start(50.0);
    run_seconds(6, 0);
    double rate = 0;
    ASSERT_TRUE(acquisition_get_sample_rate(&rate));
    EXPECT_NEAR(rate, 24039.06, 0.1);
    EXPECT_GT(last(0).samples / 10, 2048.0f / 5) << "five cycles exceed the window";
    check_set(last(0), 0, 0, 0.2);  // fewer bins per harmonic in the 2048-sample window
}

// Each second's samples are the samples that fell into it; a record ending
// exactly on the boundary gives the next second no negative weight, even
// though ticks per sample are a truncated whole number.
TEST_F(Accuracy, SecondsSplitTheBoundaryRecordBySamples) {
    full_meter();
    start(50.0);
    run_seconds(4, 0);
    double rate = 0;
    ASSERT_TRUE(acquisition_get_sample_rate(&rate));
    for (const data_set_t &d : seconds) {
        EXPECT_NEAR(d.samples, rate, 0.05);
    }

    agg_init();
    const double true_tps = 200000000.0 / rate;
    ASSERT_GT(true_tps, acquisition_get_ts_per_sample());
    data_set_t r{};
    r.samples = 1202.0f;
    r.frequency.value = 50.0f;
    r.ts_begin = 1000000000;
    r.ts_end = r.ts_begin + static_cast<uint64_t>(r.samples * true_tps);
    processing_set_t ps{};
    event_data_t ev{&ps, &r};
    agg_collect_one_second(&ev);  // opens the second at ts_begin
    const uint64_t boundary = five_cycle_avg_buf[0].data.ts_end;
    r.ts_begin = boundary - static_cast<uint64_t>(r.samples * true_tps);
    r.ts_end = boundary;
    const size_t before = seconds.size();
    agg_collect_one_second(&ev);
    ASSERT_EQ(seconds.size(), before + 1);
    EXPECT_FLOAT_EQ(seconds.back().samples, 2 * r.samples);
    EXPECT_GE(five_cycle_avg_buf[0].weight, 0.0f);
    EXPECT_GE(five_cycle_avg_buf[0].data.samples, 0.0f);
    EXPECT_EQ(five_cycle_avg_buf[0].data.ts_begin, boundary);
}

// A second that holds no samples is absent: a record ending exactly on a
// second's end (five cycles of an exact 50 Hz do, every tenth) leaves
// nothing for the next second, and a gap right after it that reaches past
// that second's end closes it empty. The seconds on either side are
// published as measured.
TEST_F(Accuracy, ASecondWithoutSamplesIsAbsent) {
    full_meter();
    start(50.0);
    run_seconds(1, 0);
    agg_init();
    seconds.clear();
    const uint64_t tps = acquisition_get_ts_per_sample();
    ASSERT_GT(tps, 0u);
    data_set_t r{};
    r.samples = 1202.0f;
    r.frequency.value = 50.0f;
    r.set_u.u[0].rms_ln.value = 230.0f;
    processing_set_t ps{};
    event_data_t ev{&ps, &r};
    auto record = [&](uint64_t begin) {
        r.ts_begin = begin;
        r.ts_end = begin + 1202 * tps;
        agg_collect_one_second(&ev);
    };
    record(1000000000);  // opens the second
    const uint64_t end = five_cycle_avg_buf[0].data.ts_end;
    record(end - 1202 * tps);  // closes it on its very end
    ASSERT_EQ(seconds.size(), 1u);
    const uint64_t after_gap = end + 3 * AGG_TICKS_PER_SECOND / 2;
    record(after_gap);                           // past the end of the empty second
    record(after_gap + 2 * AGG_TICKS_PER_SECOND);  // closes the second of the record after the gap
    ASSERT_EQ(seconds.size(), 2u) << "a second without samples was published";
    EXPECT_EQ(seconds[1].ts_begin, after_gap);
    for (const data_set_t &d : seconds) {
        SCOPED_TRACE("second from " + std::to_string(d.ts_begin));
        EXPECT_GT(d.samples, 0.0f);
        EXPECT_NEAR(d.frequency.value, 50.0f, 1e-4);
        EXPECT_NEAR(d.set_u.u[0].rms_ln.value, 230.0f, 1e-3);
    }
}

// Halves dropped while nobody read: the rings know where the gap is, so no
// window is found inconsistent, and measurement goes on.
TEST_F(Accuracy, DroppedSamplesLeaveNoInconsistentWindow) {
    full_meter();
    start(50.0);
    run_seconds(2, 0);
    for (int n = 0; n < 40; ++n) {
        ASSERT_TRUE(feeder.write_half());
    }
    ASSERT_GT(acquisition_dropped_blocks(), 0u);
    const size_t before = seconds.size();
    for (int n = 0; n < 40; ++n) {
        ASSERT_TRUE(feeder.step());
    }
    EXPECT_GT(meter::host::log_lines().size(), 0u);
    bool skipped = false;
    for (const auto &l : meter::host::log_lines()) {
        skipped = skipped || l.text.rfind("Number of samples ", 0) == 0;
    }
    EXPECT_FALSE(skipped);
    EXPECT_GT(seconds.size(), before + 8);
    EXPECT_TRUE(all_finite(last(0)));
    check_set(last(0), 0, 0);
}

// Samples missing from the rings: processing held back while the PRU goes
// on (a CPU-starved board: once the rings are full the halves that find no
// room are dropped), or halves lost before they were copied; processing has
// read part of the backlog, or nothing, when the next half comes. Every
// one-second result afterwards equals the scenario's closed forms. Seconds
// follow each other on the whole-second grid where nothing was lost and
// start again at the first sample after a gap that reaches past their end;
// a second that a gap cut short holds fewer samples and adds the energy of
// what it measured only.
struct HeldBack {
    const char *name;
    int halves;      // written while nothing is read; the rings take 29 of them
    int lost;        // then lost before the copy
    int read_first;  // processing passes over the backlog before the next half
    int then = 0;    // halves stored after the lost ones, before anything is read
};

const HeldBack kHeldBack[] = {
    {"less_than_a_ring_lost", 40, 0, 0},
    {"less_than_a_ring_lost_part_read", 40, 0, 7},
    {"more_than_a_ring_lost", 90, 0, 0},
    {"more_than_a_ring_lost_part_read", 90, 0, 30},
    {"past_a_wrap_of_the_tick_counter", 200, 0, 0},  // the 32-bit counter wraps every 126 halves
    {"one_half_lost_in_the_copy", 0, 1, 0},
    {"several_halves_lost_in_the_copy", 0, 8, 0},
    {"held_then_lost_part_read", 12, 3, 5},
    {"lost_between_unread_halves", 4, 2, 0, 3},  // the gap lies inside what is read next
};

class HeldBackFor : public Accuracy, public ::testing::WithParamInterface<HeldBack> {};

TEST_P(HeldBackFor, EverySecondAfterTheGapIsTrueOrAbsent) {
    const HeldBack &hb = GetParam();
    full_meter();
    start(50.0);
    run_seconds(2, 0);
    const size_t before = seconds.size();
    for (int n = 0; n < hb.halves; ++n) {
        ASSERT_TRUE(feeder.write_half());
    }
    for (int n = 0; n < hb.lost; ++n) {
        ASSERT_TRUE(feeder.lose_half());
    }
    for (int n = 0; n < hb.then; ++n) {
        ASSERT_TRUE(feeder.write_half());
    }
    feeder.passes(hb.read_first);
    for (int n = 0; n < 60; ++n) {
        ASSERT_TRUE(feeder.step());
    }
    if (hb.halves > 29) {
        EXPECT_TRUE(meter::host::log_has(LOG_ERR, "Channel buffers full, dropping samples until they are read"));
    }
    bool inconsistent = false;
    for (const auto &l : meter::host::log_lines()) {
        inconsistent = inconsistent || l.text.rfind("Number of samples ", 0) == 0;
    }
    EXPECT_FALSE(inconsistent) << "a window across a gap";

    // The tick word of the first sample after each gap.
    std::vector<uint32_t> gap_ends;
    const auto &w = feeder.written();
    for (size_t k = 1; k < w.size(); ++k) {
        if (w[k].stored && !w[k - 1].stored) {
            gap_ends.push_back(prusim::sample_ticks(w[k].first_sample));
        }
    }
    ASSERT_FALSE(gap_ends.empty());
    auto gap_end_within = [&](uint64_t from, uint64_t to) {  // in [from, to)
        for (const uint32_t g : gap_ends) {
            if (static_cast<uint32_t>(g - static_cast<uint32_t>(from)) < to - from) {
                return true;
            }
        }
        return false;
    };

    double rate = 0;
    ASSERT_TRUE(acquisition_get_sample_rate(&rate));
    const uint32_t tps = acquisition_get_ts_per_sample();
    for (uint32_t set = 0; set < 2; ++set) {
        SCOPED_TRACE("set " + std::to_string(set));
        std::vector<data_set_t> after;
        for (size_t n = before - 1; n < seconds.size(); ++n) {
            if (seconds[n].set == set) {
                after.push_back(seconds[n]);
            }
        }
        EXPECT_GT(after.size(), 8u);
        for (size_t n = 1; n < after.size(); ++n) {
            SCOPED_TRACE("second " + std::to_string(n));
            const data_set_t &a = after[n - 1];
            const data_set_t &b = after[n];
            ASSERT_TRUE(all_finite(b));
            if (b.ts_begin != a.ts_end) {
                EXPECT_GT(b.ts_begin, a.ts_end);
                EXPECT_TRUE(gap_end_within(b.ts_begin, b.ts_begin + 1)) << "a jump that is no gap";
            }
            const bool whole = std::fabs(b.samples - rate) <= 0.05;
            if (!whole) {
                const bool next_jumps = n + 1 < after.size() && after[n + 1].ts_begin != b.ts_end;
                EXPECT_TRUE(next_jumps || gap_end_within(b.ts_begin + 1, b.ts_end)) << "a short second without a gap";
            }
            // Every load, the flexible sensors' too: their integrators are
            // seeded at the gap, so there is no settling to wait for.
            check_set(b, set, 0, 0.05, false, whole);
            const double measured = static_cast<double>(b.samples) * tps / AGG_TICKS_PER_SECOND;
            const double share = measured < 0.999 ? measured : 1.0;
            const data_p_set &pa = a.sets_i[0].p;
            const data_p_set &pb = b.sets_i[0].p;
            EXPECT_GT(pb.wh_in.value - pa.wh_in.value, 0.0) << "a second without energy";
            EXPECT_NEAR(pb.wh.value - pa.wh.value, pb.w.value * share / 3600.0,
                        1e-3 * std::fabs(pb.w.value / 3600.0));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Halves, HeldBackFor, ::testing::ValuesIn(kHeldBack),
                         [](const auto &info) { return std::string(info.param.name); });

// The 32-bit tick counter wraps in the middle of the first half: the first
// samples lie before the first tick word seen. The first second still begins
// where the samples do, lasts one second, holds a second of samples and adds
// its energy.
TEST_F(Accuracy, FirstSecondWhenTheTickCounterWrapsInTheFirstHalf) {
    full_meter();
    cfg.tick_start = 0xFFFFFFFFu - 1000u * 16640u;
    start(50.0);
    run_seconds(3, 0);
    double rate = 0;
    ASSERT_TRUE(acquisition_get_sample_rate(&rate));
    double wh_in = 0;
    for (const data_set_t &d : seconds) {
        if (d.set != 0) {
            continue;
        }
        SCOPED_TRACE("second ending at " + std::to_string(d.ts_end));
        EXPECT_TRUE(all_finite(d));
        EXPECT_GT(d.ts_end, d.ts_begin);
        EXPECT_EQ(d.ts_end - d.ts_begin, AGG_TICKS_PER_SECOND);
        EXPECT_NEAR(d.samples, rate, 0.05);
        EXPECT_GT(d.sets_i[0].p.wh_in.value, wh_in) << "a second without energy";
        wh_in = d.sets_i[0].p.wh_in.value;
    }
}

// Mappings that would read a ring twice, leave one unread or index out of
// bounds: the offending set, load or CT is left out with a log line, the
// rest is measured, and no ring fills up.
struct Refusal {
    const char *name;
    void (*change)(mapping &m);
    const char *log;
    uint32_t sets;         // one-second results produced per pass of both sets
    uint32_t loads_set0;   // loads in the results of slot 0
};

const Refusal kRefusals[] = {
    {"voltage_channel_twice", [](mapping &m) { m.sets_u[1].u[1].channel = 1; },
     "A channel shall NEVER be mapped twice (set 1, channel 1)", 1, 8},
    {"voltage_entry_not_a_voltage_channel", [](mapping &m) { m.sets_u[1].u[2].channel = 7; },
     "Voltage set 1: channel 7 is not a voltage channel, set not processed", 1, 8},
    {"first_voltage_entry_inactive", [](mapping &m) { m.sets_u[1].u[0].active = false; },
     "Voltage set 1: its first voltage entry is inactive, set not processed", 1, 8},
    {"ct_channel_beyond_the_rings", [](mapping &m) { m.sets_i[0].i[1].channel = 60; },
     "Load 1: channel 60 is not a CT channel of this front end, CT not read", 2, 8},
    {"voltage_channel_as_ct", [](mapping &m) { m.sets_i[0].i[1].channel = 2; },
     "Load 1: channel 2 is not a CT channel of this front end, CT not read", 2, 8},
    {"ct_of_two_loads", [](mapping &m) { m.sets_i[1].i[0].channel = m.sets_i[0].i[2].channel; },
     "Load 2: a CT channel is used twice, load not processed", 2, 7},
    {"load_of_an_inactive_voltage_set",
     [](mapping &m) {
         m.sets_u[1].active = false;
         for (uint32_t n = 8; n < 16; ++n) {
             m.sets_i[n].active = true;  // still active, on the set that is not
         }
     },
     "Load 9: its voltage set 1 is not processed, load not processed", 1, 8},
    {"load_id_48", [](mapping &m) { m.sets_i[3].id = 48; },
     "Load 48: a load id must be below 48, load not processed", 2, 7},
    {"rated_mv_zero", [](mapping &m) { m.sets_i[6].i[0].rated_mv = 0.0; },
     "Load 7: CT channel 24 has no usable scale (type 9), CT not read", 2, 8},
    {"factor_not_a_number", [](mapping &m) { m.sets_i[7].i[2].factor = std::nan(""); },
     "Load 8: CT channel 29 has no usable scale (type 10), CT not read", 2, 8},
};

class Refusals : public Accuracy, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Refusals, LeftOutWithALogLineAndTheRestMeasured) {
    full_meter();
    GetParam().change(map);
    start(50.0);
    run_seconds(7, 0);  // longer than a ring holds
    EXPECT_TRUE(meter::host::log_has(LOG_ERR, GetParam().log));
    EXPECT_FALSE(meter::host::log_has("Channel buffers full, dropping samples until they are read"));
    EXPECT_EQ(acquisition_dropped_blocks(), 0u);
    const data_set_t &r = last(0);
    EXPECT_TRUE(all_finite(r));
    uint32_t loads = 0;
    while (loads < 48 && r.sets_i[loads].load_id != 0) {
        ++loads;
    }
    EXPECT_EQ(loads, GetParam().loads_set0);
    bool second_set = false;
    for (const data_set_t &d : seconds) {
        EXPECT_TRUE(all_finite(d));
        second_set = second_set || d.set == 1;
    }
    EXPECT_EQ(second_set, GetParam().sets == 2);
    EXPECT_NEAR(r.frequency.value, 50.0, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Mappings, Refusals, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return std::string(info.param.name); });

// A calibration whose noise floor squared does not fit 64 bits (a wild
// offset from a bad calibration step) leaves that CT without RMS and power
// factor nonsense, never an overflow; the other channels measure as before.
TEST_F(Accuracy, NoiseFloorBeyondSixtyFourBits) {
    full_meter();
    cal_array[6] = {1.5f, INT32_MAX};
    cfg.calibration[6].counts_to_unit /= 1.5;  // the same amperes after the gain
    start(50.0);
    run_seconds(3, 0);
    const data_set_t &r = last(0);
    EXPECT_TRUE(all_finite(r));
    EXPECT_EQ(r.sets_i[0].i[0].rms.value, 0.0f);
    EXPECT_TRUE(near_rel(r.sets_i[0].i[1].rms.value, rms(signals[7]), 0.001));
}

// A CT on a line whose voltage entry is inactive has no voltage to give
// power with: no power, never the samples of whatever channel the inactive
// entry names (a channel of no ring, or the live channel of the other set).
class InactiveVoltageEntry : public Accuracy, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(InactiveVoltageEntry, CtOnALineWithoutVoltageHasNoPower) {
    full_meter();
    map.sets_u[0].u[2].active = false;
    map.sets_u[0].u[2].channel = GetParam();
    start(50.0);
    run_seconds(3, 0);
    const data_set_t &r = last(0);
    EXPECT_TRUE(all_finite(r));
    EXPECT_EQ(r.set_u.u[2].channel, 0u);
    EXPECT_EQ(r.set_u.u[1].rms_ll.value, 0.0f) << "no line-to-line voltage to an inactive entry";
    EXPECT_GT(r.set_u.u[0].rms_ll.value, 0.0f);
    for (uint32_t k = 0; k < 8; ++k) {
        EXPECT_EQ(r.sets_i[k].i[2].w.value, 0.0f) << "load " << k;
        EXPECT_GT(r.sets_i[k].i[2].rms.value, 0.0f) << "load " << k;
        EXPECT_NE(r.sets_i[k].i[0].w.value, 0.0f) << "load " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Channels, InactiveVoltageEntry, ::testing::Values(99u, 3u),
                         [](const auto &info) { return "channel_" + std::to_string(info.param); });

}  // namespace

namespace {

// The chain tests build their scenarios with ct_scale itself, so the table is
// checked here against the sensors' own figures.
TEST(Scales, CtTypesAndPtRatios) {
    struct Ct {
        uint32_t type;
        double rated_current, rated_mv, factor;
        float scale;
    } const cts[] = {
        {0, 0, 0, 0, 1.95900793e-06f},
        {1, 0, 0, 0, 0.000117658135f},
        {2, 0, 0, 0, 0.000294145342f},
        {3, 0, 0, 0, 0.000588290684f},
        {4, 0, 0, 0, 0.00117658137f},
        {5, 0, 0, 0, 0.00235316274f},
        {6, 0, 0, 0, 0.0195900798f},
        {7, 0, 0, 0, 0.0195900798f},
        {8, 0, 0, 0, 0.0195900798f},
        {9, 100, 333, 0, static_cast<float>(100 / 0.333 * 1.959007906626506e-06)},
        {10, 0, 0, 3000, static_cast<float>(3000 * 1.959007906626506e-06)},
        {11, 100, 333, 3000, 0.0f},
    };
    for (const Ct &c : cts) {
        mapping_i_channel ct{};
        ct.ct_type = c.type;
        ct.rated_current = c.rated_current;
        ct.rated_mv = c.rated_mv;
        ct.factor = c.factor;
        EXPECT_EQ(ct_scale(&ct), c.scale) << "type " << c.type;
        EXPECT_EQ(ct_is_flexible(c.type), c.type >= 6 && c.type <= 10 && c.type != 9) << "type " << c.type;
    }
    struct Pt {
        double ratio;
        float scale;
    } const pts[] = {
        {1.0, 0.0001451642f}, {1000.0, 0.1451642f}, {0.001, 0.0001451642f * 0.001f},
        {1000.5, 1.0f},       {0.0005, 1.0f},       {std::nan(""), 1.0f},
    };
    for (const Pt &p : pts) {
        EXPECT_FLOAT_EQ(voltage_scale(p.ratio), p.scale) << "ratio " << p.ratio;
    }
}

}  // namespace
