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
//
// Seeding. The chain's memory lasts seconds, so a state that does not belong
// to the samples that follow (at rest at a start, or carried across a gap in
// the samples) rings for seconds. With every pole at the same place, the
// output of any state with no input is a sum of three slow modes, r^n, n r^n
// and n^2 r^n: the settled output of a current at 40 Hz or more has almost
// none of them over a few cycles. So the state at the first sample is the
// one whose slow output cancels the slow part of what the samples give from
// rest, found by a weighted least-squares fit over the first samples.

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "haldor/haldor.h"
#include "ring.h"

namespace {

// y[n] = b0 x[n] + w[n-1];  w[n] = b1 x[n] - a1 y[n]  (transposed direct form)
struct Section {
    double b0 = 0, b1 = 0, a1 = 0;

    // The bilinear image of (p1 s + p0) / (s + q0) at the rate, c = 2 * rate.
    static Section from_analog(double p1, double p0, double q0, double c) {
        const double d = c + q0;
        return {(p1 * c + p0) / d, (p0 - p1 * c) / d, (q0 - c) / d};
    }
    std::complex<double> response(std::complex<double> z1) const { return (b0 + b1 * z1) / (1.0 + a1 * z1); }
};

using State = std::array<double, 3>;  // w of each section

std::vector<State> g_state;
Section g_sections[3];
double g_gain = 0.0;

// Fewer samples than this tell too little to seed from: the chain starts at rest.
constexpr uint32_t kSeedMin = 1024;
// Samples the fit looks at, at most: 7 to 12 cycles at 40 to 70 Hz at the
// nominal rate; more would only lower further what the current leaks into it.
constexpr uint32_t kSeedMax = 4096;

// The fit over the first n samples as three weight vectors: the state is
// s_k = -sum_i q[k][i] * y0[i], y0 the output (without K) from rest.
struct Fit {
    uint32_t n = 0;
    std::vector<double> q[3];
};
Fit g_fit;  // for kSeedMax samples, made at set-up

// One step of the chain; returns the output without K.
inline double step(const Section (&f)[3], State &s, double in) {
    const double y0 = f[0].b0 * in + s[0];
    s[0] = f[0].b1 * in - f[0].a1 * y0;
    const double y1 = f[1].b0 * y0 + s[1];
    s[1] = f[1].b1 * y0 - f[1].a1 * y1;
    const double y2 = f[2].b0 * y1 + s[2];
    s[2] = f[2].b1 * y1 - f[2].a1 * y2;
    return y2;
}

// The weighted least-squares projection onto the outputs of the three unit
// states with no input: q = (P^T W P)^-1 P^T W. False when the modes cannot
// be told apart over n samples.
bool make_fit(uint32_t n, Fit &fit) {
    fit.n = n;
    std::vector<double> p[3];
    for (uint32_t k = 0; k < 3; ++k) {
        State s{0, 0, 0};
        s[k] = 1.0;
        p[k].resize(n);
        for (uint32_t i = 0; i < n; ++i) {
            p[k][i] = step(g_sections, s, 0.0);
        }
    }
    std::vector<double> w(n);
    for (uint32_t i = 0; i < n; ++i) {
        // sin^4: its ends are flat to the third derivative, so a current of a
        // few cycles leaks next to nothing into the slow modes.
        const double sn = std::sin(std::numbers::pi * (i + 0.5) / n);
        w[i] = sn * sn * sn * sn;
    }
    // The modes differ in size by orders of magnitude: each is scaled to a
    // weighted norm of 1 before the 3 x 3 system is solved.
    double scale[3];
    double g[3][3] = {};
    for (uint32_t a = 0; a < 3; ++a) {
        for (uint32_t b = a; b < 3; ++b) {
            double sum = 0;
            for (uint32_t i = 0; i < n; ++i) {
                sum += w[i] * p[a][i] * p[b][i];
            }
            g[a][b] = g[b][a] = sum;
        }
    }
    for (uint32_t a = 0; a < 3; ++a) {
        if (!(g[a][a] > 0.0)) {
            return false;
        }
        scale[a] = 1.0 / std::sqrt(g[a][a]);
    }
    double m[3][3];
    for (uint32_t a = 0; a < 3; ++a) {
        for (uint32_t b = 0; b < 3; ++b) {
            m[a][b] = g[a][b] * scale[a] * scale[b];
        }
    }
    // Inverse of the scaled Gram matrix by its adjugate.
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (!(std::fabs(det) > 1e-13)) {
        return false;
    }
    double inv[3][3];
    for (uint32_t a = 0; a < 3; ++a) {
        for (uint32_t b = 0; b < 3; ++b) {
            const uint32_t r0 = (b + 1) % 3, r1 = (b + 2) % 3, c0 = (a + 1) % 3, c1 = (a + 2) % 3;
            inv[a][b] = (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) / det;
        }
    }
    for (uint32_t k = 0; k < 3; ++k) {
        fit.q[k].assign(n, 0.0);
        for (uint32_t i = 0; i < n; ++i) {
            double sum = 0;
            for (uint32_t b = 0; b < 3; ++b) {
                sum += inv[k][b] * scale[b] * p[b][i];
            }
            fit.q[k][i] = scale[k] * sum * w[i];
        }
    }
    return true;
}

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
    if (!make_fit(kSeedMax, g_fit)) {
        return 0;
    }
    g_gain = 1.0 / std::abs(h);
    g_state.assign(channels, State{0, 0, 0});
    return 1;
}

extern "C" void hld_flex_clean(void) {
    g_state.clear();
    g_state.shrink_to_fit();
    for (std::vector<double> &q : g_fit.q) {
        q.clear();
        q.shrink_to_fit();
    }
    g_fit.n = 0;
    g_gain = 0.0;
}

extern "C" int hld_flex_calc(uint32_t channel, const cbi_t *cursor, uint32_t n) {
    if (channel >= g_state.size() || !haldor::cursor_ok(cursor) || n > cursor->cb->size) {
        return 0;
    }
    State s = g_state[channel];
    const Section f[3] = {g_sections[0], g_sections[1], g_sections[2]};
    const double gain = g_gain;
    haldor::for_each_run(cursor, n, [&](float *x, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            x[i] = static_cast<float>(gain * step(f, s, x[i]));
        }
    });
    g_state[channel] = s;
    return 1;
}

extern "C" int hld_flex_seed(uint32_t channel, const cbi_t *cursor, uint32_t n) {
    if (channel >= g_state.size() || !haldor::cursor_ok(cursor) || n > cursor->cb->size) {
        return 0;
    }
    State &state = g_state[channel];
    state = State{0, 0, 0};
    const uint32_t len = std::min(n, kSeedMax);
    if (len < kSeedMin) {
        return 1;
    }
    Fit shorter;
    const Fit *fit = &g_fit;
    if (len < g_fit.n) {
        if (!make_fit(len, shorter)) {
            return 1;
        }
        fit = &shorter;
    }
    State rest{0, 0, 0};
    double sum[3] = {0, 0, 0};
    uint32_t i = 0;
    haldor::for_each_run(cursor, len, [&](float *x, uint32_t count) {
        for (uint32_t j = 0; j < count; ++j, ++i) {
            const double y = step(g_sections, rest, x[j]);
            sum[0] += fit->q[0][i] * y;
            sum[1] += fit->q[1][i] * y;
            sum[2] += fit->q[2][i] * y;
        }
    });
    for (uint32_t k = 0; k < 3; ++k) {
        state[k] = -sum[k];
    }
    return 1;
}
