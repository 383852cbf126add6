#pragma once
// Evaluation of the channel scenarios and their conversion to raw counts.

#include <prusim/prusim.h>

#include <array>
#include <cstdint>
#include <vector>

namespace prusim::detail {

// One channel, prepared for fast evaluation.
class ChannelPlan {
public:
    ChannelPlan() = default;
    ChannelPlan(const ChannelScenario &scenario, const ChannelCalibration &cal, unsigned channel,
                std::uint64_t seed);

    // Scenario value at time t of session sample n (n only seeds the noise).
    double value(double t, std::uint64_t n) const;
    // Raw word for that value; *clipped is set when the 24-bit range was exceeded.
    std::int32_t raw(double value, bool *clipped) const;

private:
    struct Segment {
        double start_s;
        double frequency_hz;
        double cycles_at_start;  // whole and fractional fundamental cycles before start_s
    };
    double cycles(double t) const;

    std::vector<Segment> segments_;
    double amplitude_ = 0.0;
    double phase_ = 0.0;
    std::vector<Harmonic> harmonics_;
    double dc_ = 0.0;
    double noise_rms_ = 0.0;
    std::uint64_t noise_key_ = 0;
    double counts_per_unit_ = 0.0;  // 1 / (gain * counts_to_unit)
};

// Every channel of a configuration.
using Plan = std::array<ChannelPlan, kChannels>;
Plan make_plan(const Config &config);

// Checks a configuration: empty text when acceptable, else what is wrong.
const char *check_config(const Config &config);

inline constexpr std::int32_t kRawMin = -(1 << 23);
inline constexpr std::int32_t kRawMax = (1 << 23) - 1;

}  // namespace prusim::detail
