// The simulated board under a program on a build machine: the PRU's
// program files and physical memory under METER_ROOT, and the signals the
// simulated front end samples, in real time.
//
// Two variables of the environment change the run:
//   METER_PRU_TIME_SCALE  how many times faster than real time the simulated
//                         PRU samples (default 1); above 1 it also waits for
//                         the program's PRU threads to take each half, so no
//                         half is overwritten (five minutes of results in
//                         seconds). It does not wait for processing: when
//                         processing and what a closed second drives fall
//                         behind that pace, the channel rings fill and halves
//                         are dropped as on a starved board, and the results
//                         show the gap (a second cut short, the next one
//                         starting after the gap, no energy for it);
//   METER_PULSE_RATES     pulses per second on pulse inputs 0 and 1, "R0,R1"
//                         (default none).
//
// The default scenario matches the velsard stand-in's default mapping: two
// voltage sets of 230 V at 50 Hz on channels 0-5 and four loads of three CTs
// (100 A / 333 mV sensors on channels 6-17) with different power factors,
// one of them exporting, and some harmonics.

#include "meter/sysio.h"

#include "prusim/prusim.h"

#include <syslog.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <string>

namespace {

constexpr double kDeg = std::numbers::pi / 180.0;
constexpr double kSqrt2 = std::numbers::sqrt2;
// Amperes per count of a 100 A / 333 mV sensor.
constexpr double kCtScale = 100.0 / 0.333 * 1.959007906626506e-06;

struct Load {
    unsigned first_channel;
    unsigned voltage_first;  // first channel of its voltage set
    double amps;
    double angle_deg;  // current phase minus voltage phase
    unsigned harmonic;
    double share;
};

// A finite number >= 0 from text, or nothing.
bool parse_rate(const std::string &text, double *out) {
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(v) || v < 0.0) {
        return false;
    }
    *out = v;
    return true;
}

void pace_from_environment(prusim::Config &c) {
    if (const char *scale = std::getenv("METER_PRU_TIME_SCALE")) {
        double v = 0.0;
        if (parse_rate(scale, &v) && v > 0.0) {
            c.time_scale = v;
            c.backpressure = v > 1.0;
        } else {
            sys_log(LOG_ERR, "METER_PRU_TIME_SCALE=%s is not a positive number, real time is kept", scale);
        }
    }
    if (const char *rates = std::getenv("METER_PULSE_RATES")) {
        const std::string text = rates;
        const size_t comma = text.find(',');
        double r0 = 0.0;
        double r1 = 0.0;
        if (comma != std::string::npos && parse_rate(text.substr(0, comma), &r0) &&
            parse_rate(text.substr(comma + 1), &r1)) {
            c.pulse_rate_hz = {r0, r1};
        } else {
            sys_log(LOG_ERR, "METER_PULSE_RATES=%s is not two rates \"R0,R1\", no pulses", rates);
        }
    }
}

}  // namespace

bool sys_platform_start() {
    if (prusim::install() != 0) {
        return false;
    }
    prusim::Config c;
    c.pace = prusim::Pace::timed;
    c.time_scale = 1.0;
    c.num_adcs = 9;
    for (unsigned ch = 0; ch < 6; ++ch) {
        prusim::ChannelScenario &v = c.channels[ch];
        v.frequency_hz = 50.0;
        v.amplitude = (ch < 3 ? 230.0 : 231.0) * kSqrt2;
        v.phase_rad = -120.0 * kDeg * (ch % 3);
        v.harmonics = {{ch < 3 ? 5u : 3u, v.amplitude * (ch < 3 ? 0.02 : 0.015), 0.2}};
        v.noise_rms = 0.02;
    }
    const Load loads[] = {
        {6, 0, 40.0, -18.2, 3, 0.08},   // PF 0.95 inductive
        {9, 0, 25.0, 36.9, 0, 0.0},     // PF 0.8 capacitive
        {12, 3, 60.0, -25.8, 5, 0.05},  // PF 0.9 inductive
        {15, 3, 15.0, 166.0, 0, 0.0},   // exporting
    };
    for (const Load &l : loads) {
        for (unsigned j = 0; j < 3; ++j) {
            const unsigned ch = l.first_channel + j;
            prusim::ChannelScenario &i = c.channels[ch];
            i.frequency_hz = 50.0;
            i.amplitude = l.amps * kSqrt2;
            i.phase_rad = c.channels[l.voltage_first + j].phase_rad + l.angle_deg * kDeg;
            if (l.harmonic != 0) {
                i.harmonics = {{l.harmonic, i.amplitude * l.share, l.harmonic * i.phase_rad}};
            }
            i.noise_rms = 0.005;
            c.calibration[ch].counts_to_unit = kCtScale;
        }
    }
    pace_from_environment(c);
    return prusim::configure(c) == 0;
}
