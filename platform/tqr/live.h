// The stand-in's live data: a deterministic generator shaped by the
// mapping, or Nerisko's result nodes.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace tqr {

// The generator. Step 0 is the state at start; every step is one second of
// the meter: the values of each CT move on a fixed pattern, energies and
// pulse counts rise by what that second adds. Two generators of the same
// mapping give the same answers after the same number of steps.
class Generator {
  public:
    // frequency: the voltage inputs' nominal frequency in Hz.
    explicit Generator(const nlohmann::ordered_json &mapping, double frequency = 60);
    void step();
    uint64_t steps() const { return steps_; }
    // The answers of GET /api/v1/data/loads, inputs and pulses.
    nlohmann::ordered_json loads() const;
    nlohmann::ordered_json inputs() const;
    nlohmann::ordered_json pulses() const;

  private:
    struct Ct {
        bool active = false;
        int line = 0;
        double a = 0, p = 0, s = 0, q = 0, thd = 0, ph = 0, dpf = 1, demand = 0, pd = 0;
        double energy[11] = {};
    };
    struct Load {
        int id = 0;
        int input = 0;
        std::vector<Ct> cts;
    };
    struct Input {
        int id = 0;
        bool active = false;
        double voltage = 120;
        double freq = 60;
        double v[3] = {}, thd[3] = {};
    };
    void compute();
    uint64_t steps_ = 0;
    double frequency_ = 60;
    std::vector<Load> loads_;
    std::vector<Input> inputs_;
    uint64_t counts_[2] = {};
};

// The same answers from Nerisko's result nodes under root (METER_ROOT):
// zeros while the nodes do not exist yet.
nlohmann::ordered_json meterLoads(const std::string &root, const nlohmann::ordered_json &mapping);
nlohmann::ordered_json meterInputs(const std::string &root, const nlohmann::ordered_json &mapping);

// The energy registers' keys in the nodes' order, without prefix.
extern const char *const energyKeys[11];

} // namespace tqr
