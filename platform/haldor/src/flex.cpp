// Integrators for flexible (di/dt) current sensors.
//
// Per channel, three first-order sections (bilinear transform of the analog
// prototype), state in double:
//   H(s) = K * s/(s + wc) * 1/(s + wc) * (s + 3 wc)/(s + wc)
// The first section blocks the input's DC, the second is a leaky integrator,
// the third is a lag network whose zero at 3 wc cancels the leading 2 wc / w
// of phase lead that the first two leave, so that from 40 to 70 Hz the chain
// differs from an ideal integrator by less than 2e-5 rad and 2e-4 in gain,
// while an input offset settles within seconds. K makes |H| = 1 at the
// reference frequency.

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "haldor/haldor.h"
#include "ring.h"

namespace {

// y[n] = b0 x[n] + b1 x[n-1] - a1 y[n-1]
struct Section {
    double b0 = 0, b1 = 0, a1 = 0;

    // The bilinear image of (p1 s + p0) / (s + q0) at the rate, c = 2 * rate.
    static Section from_analog(double p1, double p0, double q0, double c) {
        const double d = c + q0;
        return {(p1 * c + p0) / d, (p0 - p1 * c) / d, (q0 - c) / d};
    }
    std::complex<double> response(std::complex<double> z1) const { return (b0 + b1 * z1) / (1.0 + a1 * z1); }
};

struct State {
    double x1[3] = {0, 0, 0};  // previous input of each section
    double y1[3] = {0, 0, 0};  // previous output of each section
};

std::vector<State> g_state;
Section g_sections[3];
double g_gain = 0.0;

}  // namespace

extern "C" int hld_flex_setup(double rate, uint32_t channels) {
    hld_flex_clean();
    if (!std::isfinite(rate) || rate <= 4.0 * HLD_FLEX_REFERENCE_HZ || channels == 0 ||
        channels > HLD_CHANNELS) {
        return 0;
    }
    const double wc = 2.0 * std::numbers::pi * HLD_FLEX_CORNER_HZ;
    const double c = 2.0 * rate;
    g_sections[0] = Section::from_analog(1.0, 0.0, wc, c);
    g_sections[1] = Section::from_analog(0.0, 1.0, wc, c);
    g_sections[2] = Section::from_analog(1.0, 3.0 * wc, wc, c);
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * HLD_FLEX_REFERENCE_HZ / rate);
    std::complex<double> h = 1.0;
    for (const Section &s : g_sections) {
        h *= s.response(z1);
    }
    g_gain = 1.0 / std::abs(h);
    g_state.assign(channels, State{});
    return 1;
}

extern "C" void hld_flex_clean(void) {
    g_state.clear();
    g_state.shrink_to_fit();
    g_gain = 0.0;
}

extern "C" int hld_flex_calc(uint32_t channel, const cbi_t *cursor, uint32_t n) {
    if (channel >= g_state.size() || !haldor::cursor_ok(cursor) || n > cursor->cb->size) {
        return 0;
    }
    State s = g_state[channel];
    const Section f0 = g_sections[0], f1 = g_sections[1], f2 = g_sections[2];
    const double gain = g_gain;
    haldor::for_each_run(cursor, n, [&](float *x, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            const double in = x[i];
            const double y0 = f0.b0 * in + f0.b1 * s.x1[0] - f0.a1 * s.y1[0];
            const double y1 = f1.b0 * y0 + f1.b1 * s.x1[1] - f1.a1 * s.y1[1];
            const double y2 = f2.b0 * y1 + f2.b1 * s.x1[2] - f2.a1 * s.y1[2];
            s.x1[0] = in;
            s.y1[0] = y0;
            s.x1[1] = y0;
            s.y1[1] = y1;
            s.x1[2] = y1;
            s.y1[2] = y2;
            x[i] = static_cast<float>(gain * y2);
        }
    });
    g_state[channel] = s;
    return 1;
}
