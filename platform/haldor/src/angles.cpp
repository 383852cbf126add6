// Angle wrapping, fundamental reactive power and its quadrant.

#include <cmath>
#include <numbers>

#include "haldor/haldor.h"

namespace {

constexpr float kPiF = std::numbers::pi_v<float>;  // rounds above pi

bool phase_ok(float phase) { return std::isfinite(phase) && std::fabs(phase) <= kPiF; }

uint8_t quadrant_of(float phase) {
    const double p = phase;
    const double half = std::numbers::pi / 2;
    if (p > half || p <= -std::numbers::pi) {
        return 3;
    }
    if (p > 0.0) {
        return 4;
    }
    if (p > -half) {
        return 1;
    }
    return 2;
}

}  // namespace

extern "C" float hld_angles_wrap_to_pi(float angle) {
    if (!std::isfinite(angle)) {
        return 0.0f;
    }
    // remainder() is exact, so the result lies within -pi .. pi of the
    // double 2 pi; rounding to float may reach the float pi, never beyond.
    return static_cast<float>(std::remainder(static_cast<double>(angle), 2.0 * std::numbers::pi));
}

extern "C" int hld_reactive_power_quadrant(float phase, uint8_t *q) {
    if (q == nullptr) {
        return 0;
    }
    if (!phase_ok(phase)) {
        *q = 0;
        return 0;
    }
    *q = quadrant_of(phase);
    return 1;
}

extern "C" int hld_reactive_power_fund_calc(double u_fund, double i_fund, float phase, double *var,
                                            uint8_t *aux) {
    if (var == nullptr || aux == nullptr) {
        return 0;
    }
    *var = 0.0;
    *aux = 0;
    if (!phase_ok(phase) || !std::isfinite(u_fund) || !std::isfinite(i_fund) || u_fund < 0.0 ||
        i_fund < 0.0) {
        return 0;
    }
    *var = -u_fund * i_fund * std::sin(static_cast<double>(phase));
    *aux = quadrant_of(phase);
    return 1;
}
