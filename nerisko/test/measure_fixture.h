#pragma once
// The measurement chain on the simulated PRU in lock-step (acquisition,
// five-cycle processing, one-second aggregation), with the one-second
// results collected from the one-second event list, and a model of the
// scenario that gives every expected value in closed form.

#include "nerisko/agg.h"
#include "nerisko/cal.h"
#include "nerisko/event.h"
#include "nerisko/frontend.h"
#include "nerisko/processing.h"
#include "temp_root.h"
#include "sim_chain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <map>
#include <numbers>
#include <vector>

namespace measure_test {

constexpr double kPi = std::numbers::pi;
constexpr double kDeg = kPi / 180.0;

// One sine component: peak * sin(order * theta + phase).
struct Tone {
    unsigned order;
    double peak;
    double phase;
};
using Signal = std::vector<Tone>;

inline double rms(const Signal &s) {
    double sum = 0;
    for (const Tone &t : s) {
        sum += t.peak * t.peak / 2;
    }
    return std::sqrt(sum);
}
inline double fund_rms(const Signal &s) {
    for (const Tone &t : s) {
        if (t.order == 1) {
            return t.peak / std::sqrt(2.0);
        }
    }
    return 0;
}
inline double harm_rms(const Signal &s) {
    double sum = 0;
    for (const Tone &t : s) {
        if (t.order > 1) {
            sum += t.peak * t.peak / 2;
        }
    }
    return std::sqrt(sum);
}
inline std::map<unsigned, std::complex<double>> phasors(const Signal &s) {
    std::map<unsigned, std::complex<double>> m;
    for (const Tone &t : s) {
        m[t.order] += std::polar(t.peak, t.phase);
    }
    return m;
}
// RMS of a - b.
inline double rms_diff(const Signal &a, const Signal &b) {
    auto pa = phasors(a);
    for (auto &[h, p] : phasors(b)) {
        pa[h] -= p;
    }
    double sum = 0;
    for (auto &[h, p] : pa) {
        sum += std::norm(p) / 2;
    }
    return std::sqrt(sum);
}
// Mean of a * b.
inline double mean_product(const Signal &a, const Signal &b) {
    auto pb = phasors(b);
    double sum = 0;
    for (auto &[h, p] : phasors(a)) {
        if (pb.count(h) != 0) {
            sum += (p * std::conj(pb[h])).real() / 2;
        }
    }
    return sum;
}
inline double fund_phase(const Signal &s) {
    for (const Tone &t : s) {
        if (t.order == 1) {
            return t.phase;
        }
    }
    return 0;
}
inline double wrap(double a) { return std::remainder(a, 2 * kPi); }

inline prusim::ChannelScenario scenario_of(const Signal &s, double f) {
    prusim::ChannelScenario c;
    c.frequency_hz = f;
    for (const Tone &t : s) {
        if (t.order == 1) {
            c.amplitude = t.peak;
            c.phase_rad = t.phase;
        } else {
            c.harmonics.push_back({t.order, t.peak, t.phase});
        }
    }
    return c;
}

// What a load's CTs carry: current of line j lags its voltage by angle.
struct LoadScenario {
    uint32_t uset;
    uint32_t ct_type;
    double amps;       // RMS of the fundamental of the primary current
    double angle_deg;  // current phase minus voltage phase
    bool invert;       // the CT is mounted the other way round
    double third;      // third harmonic, fraction of the fundamental
    double rated_current = 0, rated_mv = 0, factor = 0;
};

// The one-second results collected from the event list.
inline std::vector<data_set_t> seconds;
inline void collect(event_data_t *ev) { seconds.push_back(*ev->data); }

class Chain : public ::testing::Test {
protected:
    void SetUp() override {
        seconds.clear();
        ASSERT_TRUE(frontend_set(48));
        for (cal_entry_t &e : cal_array) {
            e = {1.0f, 0};
        }
        std::memset(&map, 0, sizeof map);
        agg_set_pf_sign_value(0);
    }
    void TearDown() override {
        processing_cleanup();
        event_cleanup();
        feeder.close();
    }

    // Voltage set s on channels first..first+2, lines 120 degrees apart.
    void voltage_set(uint32_t s, uint32_t first, double volts, double pt_ratio, unsigned harmonic, double share) {
        mapping_u_set &u = map.sets_u[s];
        u.id = s;
        u.active = true;
        u.pt_ratio = pt_ratio;
        for (uint32_t j = 0; j < 3; ++j) {
            u.u[j] = {first + j, true, {}};
            const double ph = -120.0 * kDeg * j;
            Signal v{{1, volts * std::sqrt(2.0), ph}};
            if (harmonic > 0) {
                v.push_back({harmonic, volts * std::sqrt(2.0) * share, harmonic * ph + 0.3});
            }
            signals[first + j] = v;
            const double scale = pt_ratio >= 0.001 && pt_ratio <= 1000 ? pt_ratio : 1.0;
            cfg.calibration[first + j].counts_to_unit = prusim::kVoltsPerCount * scale;
        }
    }
    // Load number `slot` (id slot + 1) on CT channels 6 + 3 slot ...
    void load(uint32_t slot, const LoadScenario &want) {
        mapping_i_set &l = map.sets_i[slot];
        l.id = slot + 1;
        l.u_set_id = want.uset;
        l.active = true;
        load_scenarios[slot] = want;
        for (uint32_t j = 0; j < 3; ++j) {
            mapping_i_channel &ct = l.i[j];
            ct.channel = 6 + 3 * slot + j;
            ct.active = true;
            ct.ct_type = want.ct_type;
            ct.invert = want.invert;
            ct.rated_current = want.rated_current;
            ct.rated_mv = want.rated_mv;
            ct.factor = want.factor;
            const Signal &v = signals[map.sets_u[want.uset].u[j].channel];
            const double vph = fund_phase(v);
            Signal i{{1, want.amps * std::sqrt(2.0), vph + want.angle_deg * kDeg}};
            if (want.third > 0) {
                i.push_back({3, want.amps * std::sqrt(2.0) * want.third, 3 * (vph + want.angle_deg * kDeg) + 0.5});
            }
            signals[ct.channel] = i;
            cfg.calibration[ct.channel].counts_to_unit = ct_scale(&ct);
        }
    }
    // What the sensor puts out for channel ch: the current the other way
    // round for an inverted CT, its derivative (normalised at 50 Hz) for a
    // flexible sensor.
    Signal sensor_signal(uint32_t ch, double f) const {
        Signal s = signals.at(ch);
        if (ch < 6) {
            return s;
        }
        const mapping_i_channel &ct = map.sets_i[(ch - 6) / 3].i[(ch - 6) % 3];
        for (Tone &t : s) {
            if (ct.invert) {
                t.phase += kPi;
            }
            if (ct_is_flexible(ct.ct_type)) {
                t.peak *= t.order * f / 50.0;
                t.phase += kPi / 2;
            }
        }
        return s;
    }
    void start(double f, std::vector<prusim::FrequencyStep> steps = {}) {
        frequency = f;
        for (auto &[ch, s] : signals) {
            cfg.channels[ch] = scenario_of(sensor_signal(ch, f), f);
            cfg.channels[ch].steps = steps;
        }
        ASSERT_TRUE(acquisition_init());
        ASSERT_TRUE(processing_init());
        agg_init();
        ASSERT_TRUE(event_register(agg_collect_one_second, EVENT_FIVE_CYCLE));
        ASSERT_TRUE(event_register(collect, EVENT_ONE_SECOND));
        ASSERT_TRUE(feeder.open(cfg));
        ASSERT_TRUE(processing_start_offline(&map));
    }
    // Steps until n one-second results of slot `set` exist.
    void run_seconds(size_t n, uint32_t set = 0) {
        for (int guard = 0; guard < 1000; ++guard) {
            size_t have = 0;
            for (const data_set_t &d : seconds) {
                have += d.set == set ? 1 : 0;
            }
            if (have >= n) {
                return;
            }
            ASSERT_TRUE(feeder.step());
        }
        FAIL() << "no results";
    }
    const data_set_t &last(uint32_t set) const {
        for (auto it = seconds.rbegin(); it != seconds.rend(); ++it) {
            if (it->set == set) {
                return *it;
            }
        }
        throw std::runtime_error("no result");
    }

    meter::host::TempRoot root;
    sim_chain::Feeder feeder;
    mapping map{};
    prusim::Config cfg;
    std::map<uint32_t, Signal> signals;  // by channel: primary volts and amperes
    std::map<uint32_t, LoadScenario> load_scenarios;
    double frequency = 50;
};

}  // namespace measure_test
