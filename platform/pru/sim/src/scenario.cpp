#include "scenario.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace prusim {

double default_counts_to_unit(unsigned channel) {
    return channel < 6 ? kVoltsPerCount : kAmperesPerCount;
}

}  // namespace prusim

namespace prusim::detail {

namespace {

std::uint64_t mix(std::uint64_t x) {
    // splitmix64 finaliser: a counter-based generator, so the noise of a
    // sample depends on nothing but (seed, channel, sample number).
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double unit_open(std::uint64_t bits) {
    // (0, 1]: never 0, so that log() below stays finite.
    return (static_cast<double>(bits >> 11) + 1.0) * 0x1.0p-53;
}

double frac_turn(double cycles) {
    return 2.0 * std::numbers::pi * (cycles - std::floor(cycles));
}

}  // namespace

ChannelPlan::ChannelPlan(const ChannelScenario &s, const ChannelCalibration &cal, unsigned channel,
                         std::uint64_t seed)
    : amplitude_(s.amplitude),
      phase_(s.phase_rad),
      harmonics_(s.harmonics),
      dc_(s.dc_offset),
      noise_rms_(s.noise_rms),
      noise_key_(mix(seed ^ mix(channel + 1))) {
    const double scale = cal.counts_to_unit != 0.0 ? cal.counts_to_unit : default_counts_to_unit(channel);
    counts_per_unit_ = 1.0 / (static_cast<double>(cal.gain) * scale);

    segments_.push_back({0.0, s.frequency_hz, 0.0});
    std::vector<FrequencyStep> steps = s.steps;
    std::stable_sort(steps.begin(), steps.end(),
                     [](const FrequencyStep &a, const FrequencyStep &b) { return a.at_s < b.at_s; });
    for (const FrequencyStep &step : steps) {
        Segment &last = segments_.back();
        if (step.at_s <= last.start_s) {
            last.frequency_hz = step.frequency_hz;  // a step at or before the segment start replaces it
            continue;
        }
        const double c = last.cycles_at_start + last.frequency_hz * (step.at_s - last.start_s);
        segments_.push_back({step.at_s, step.frequency_hz, c});
    }
}

double ChannelPlan::cycles(double t) const {
    auto it = std::upper_bound(segments_.begin(), segments_.end(), t,
                               [](double v, const Segment &seg) { return v < seg.start_s; });
    const Segment &seg = it == segments_.begin() ? segments_.front() : *(it - 1);
    return seg.cycles_at_start + seg.frequency_hz * (t - seg.start_s);
}

double ChannelPlan::value(double t, std::uint64_t n) const {
    double v = dc_;
    if (amplitude_ != 0.0 || !harmonics_.empty()) {
        const double c = cycles(t);
        if (amplitude_ != 0.0) {
            v += amplitude_ * std::sin(frac_turn(c) + phase_);
        }
        for (const Harmonic &h : harmonics_) {
            v += h.amplitude * std::sin(frac_turn(c * h.order) + h.phase_rad);
        }
    }
    if (noise_rms_ != 0.0) {
        const std::uint64_t a = mix(noise_key_ ^ mix(2 * n));
        const std::uint64_t b = mix(noise_key_ ^ mix(2 * n + 1));
        v += noise_rms_ * std::sqrt(-2.0 * std::log(unit_open(a))) *
             std::cos(2.0 * std::numbers::pi * unit_open(b));
    }
    return v;
}

std::int32_t ChannelPlan::raw(double value, bool *clipped) const {
    const double counts = std::nearbyint(value * counts_per_unit_);
    if (counts < kRawMin || counts > kRawMax || std::isnan(counts)) {
        *clipped = true;
        return counts > 0 ? kRawMax : kRawMin;
    }
    *clipped = false;
    return static_cast<std::int32_t>(counts);
}

Plan make_plan(const Config &config) {
    Plan plan;
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        plan[ch] = ChannelPlan(config.channels[ch], config.calibration[ch], ch, config.noise_seed);
    }
    return plan;
}

const char *check_config(const Config &c) {
    if (c.num_adcs != 1 && c.num_adcs != 3 && c.num_adcs != 9) {
        return "num_adcs must be 1, 3 or 9";
    }
    if (!(c.time_scale > 0.0) || !std::isfinite(c.time_scale)) {
        return "time_scale must be positive";
    }
    if (c.tick_start == 0) {
        return "tick_start must not be 0";
    }
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        const ChannelCalibration &cal = c.calibration[ch];
        if (!std::isfinite(cal.gain) || cal.gain == 0.0f || !std::isfinite(cal.counts_to_unit) ||
            cal.counts_to_unit < 0.0) {
            return "calibration gain must be finite and non-zero, scale finite and >= 0";
        }
        const ChannelScenario &s = c.channels[ch];
        const double values[] = {s.frequency_hz, s.amplitude, s.phase_rad, s.dc_offset, s.noise_rms};
        for (double v : values) {
            if (!std::isfinite(v)) {
                return "scenario values must be finite";
            }
        }
        if (s.noise_rms < 0.0 || s.frequency_hz < 0.0) {
            return "noise and frequency must not be negative";
        }
        for (const Harmonic &h : s.harmonics) {
            if (h.order < 2 || !std::isfinite(h.amplitude) || !std::isfinite(h.phase_rad)) {
                return "harmonic order must be >= 2 and values finite";
            }
        }
        for (const FrequencyStep &st : s.steps) {
            if (!std::isfinite(st.at_s) || !std::isfinite(st.frequency_hz) || st.frequency_hz < 0.0) {
                return "frequency steps must be finite and not negative";
            }
        }
    }
    for (double r : c.pulse_rate_hz) {
        if (!(r >= 0.0) || !std::isfinite(r)) {
            return "pulse rates must be finite and not negative";
        }
    }
    return "";
}

}  // namespace prusim::detail
