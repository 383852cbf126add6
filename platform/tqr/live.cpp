#include "live.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tqr {

const char *const energyKeys[11] = {"wh",     "vah",          "varh",         "wh_in",        "vah_in",      "wh_out",
                                    "vah_out", "varh_ind_dis", "varh_cap_gen", "varh_ind_gen", "varh_cap_dis"};

namespace {

constexpr double kTwoPi = 6.283185307179586;

bool isTrue(const nlohmann::ordered_json &object, const char *key) {
    auto it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
}

int integer(const nlohmann::ordered_json &object, const char *key, int fallback) {
    auto it = object.find(key);
    return it != object.end() && it->is_number() ? it->get<int>() : fallback;
}

const nlohmann::ordered_json &arrayOf(const nlohmann::ordered_json &object, const char *key) {
    static const nlohmann::ordered_json empty = nlohmann::ordered_json::array();
    if (!object.is_object()) {
        return empty;
    }
    auto it = object.find(key);
    return it != object.end() && it->is_array() ? *it : empty;
}

nlohmann::ordered_json ctJson(bool en, double a, double p, double s, double q, const double *e, double thd, double demand,
                      double pd, double apf, double dpf, double ph) {
    nlohmann::ordered_json ct = {{"en", en}, {"a", a}, {"p", p}, {"s", s}, {"q", q}};
    for (int k = 0; k < 11; ++k) {
        ct[energyKeys[k]] = e[k];
    }
    ct["thd"] = thd;
    ct["demand"] = demand;
    ct["pd"] = pd;
    ct["apf"] = apf;
    ct["dpf"] = dpf;
    ct["ph"] = ph;
    return ct;
}

} // namespace

Generator::Generator(const nlohmann::ordered_json &mapping, double frequency) : frequency_(frequency) {
    for (const auto &entry : arrayOf(mapping, "loads")) {
        if (!isTrue(entry, "active")) {
            continue;
        }
        Load load;
        load.id = integer(entry, "id", 0);
        load.input = integer(entry, "input", 0);
        int k = 0;
        for (const auto &ctEntry : arrayOf(entry, "cts")) {
            Ct ct;
            ct.active = isTrue(ctEntry, "active");
            ct.line = k++ % 3;
            load.cts.push_back(ct);
        }
        loads_.push_back(load);
    }
    for (const auto &entry : arrayOf(mapping, "inputs")) {
        Input input;
        input.id = integer(entry, "id", 0);
        input.active = isTrue(entry, "active");
        input.voltage = integer(entry, "voltage", 120);
        inputs_.push_back(input);
    }
    compute();
}

// The values of the current step; they depend on nothing but the step, the
// load's and the CT's position.
void Generator::compute() {
    const double t = static_cast<double>(steps_);
    for (size_t n = 0; n < inputs_.size(); ++n) {
        Input &in = inputs_[n];
        in.freq = frequency_ + 0.01 * std::sin(0.1 * t + static_cast<double>(n));
        for (int k = 0; k < 3; ++k) {
            in.v[k] = in.voltage * (1 + 0.002 * std::sin(0.3 * t + k + static_cast<double>(n)));
            in.thd[k] = 1.5 + 0.2 * std::sin(0.05 * t + k);
        }
    }
    for (size_t l = 0; l < loads_.size(); ++l) {
        Load &load = loads_[l];
        const Input *in = nullptr;
        for (const Input &candidate : inputs_) {
            if (candidate.id == load.input) {
                in = &candidate;
            }
        }
        for (size_t k = 0; k < load.cts.size(); ++k) {
            Ct &ct = load.cts[k];
            const double li = static_cast<double>(l);
            const double ki = static_cast<double>(k);
            const double v = in != nullptr ? in->v[ct.line] : 120.0;
            const double phi = 0.3 + 0.05 * std::sin(0.2 * t + li);
            ct.a = (5 + 3 * li + ki) * (1 + 0.1 * std::sin(0.5 * t + li + 2 * ki));
            ct.s = v * ct.a;
            ct.p = ct.s * std::cos(phi);
            ct.q = ct.s * std::sin(phi);
            ct.dpf = std::cos(phi);
            ct.thd = 2 + 0.5 * std::sin(0.05 * t + ki);
            ct.ph = std::fmod(phi + kTwoPi * static_cast<double>(ct.line) / 3, kTwoPi);
            ct.demand = ct.p;
            ct.pd = std::max(ct.pd, ct.demand);
        }
    }
}

void Generator::step() {
    // What the second that ends now adds, at the values it had.
    for (Load &load : loads_) {
        for (Ct &ct : load.cts) {
            ct.energy[0] += ct.p / 3600;
            ct.energy[1] += ct.s / 3600;
            ct.energy[2] += ct.q / 3600;
            ct.energy[3] += ct.p / 3600;
            ct.energy[4] += ct.s / 3600;
            ct.energy[7] += ct.q / 3600;
        }
    }
    counts_[0] += 1;
    counts_[1] += 2;
    ++steps_;
    compute();
}

nlohmann::ordered_json Generator::loads() const {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Load &load : loads_) {
        double a = 0, p = 0, s = 0, q = 0, thd = 0, demand = 0, pd = 0, e[11] = {};
        int active = 0;
        nlohmann::ordered_json cts = nlohmann::ordered_json::array();
        for (const Ct &ct : load.cts) {
            if (!ct.active) {
                const double none[11] = {};
                cts.push_back(ctJson(false, 0, 0, 0, 0, none, 0, 0, 0, 0, 0, 0));
                continue;
            }
            ++active;
            a += ct.a;
            p += ct.p;
            s += ct.s;
            q += ct.q;
            thd += ct.thd;
            demand += ct.demand;
            pd += ct.pd;
            for (int k = 0; k < 11; ++k) {
                e[k] += ct.energy[k];
            }
            cts.push_back(ctJson(true, ct.a, ct.p, ct.s, ct.q, ct.energy, ct.thd, ct.demand, ct.pd,
                                 ct.s > 0 ? ct.p / ct.s : 0, ct.dpf, ct.ph));
        }
        nlohmann::ordered_json entry = {{"id", load.id}, {"tot_p", p}, {"tot_a", a}, {"tot_s", s}, {"tot_q", q}};
        entry["tot_apf"] = s > 0 ? p / s : 0;
        entry["tot_dpf"] = p != 0 || q != 0 ? std::cos(std::atan2(q, p)) : 0;
        entry["tot_thd"] = active > 0 ? thd / active : 0;
        entry["tot_pd"] = pd;
        entry["tot_demand"] = demand;
        for (int k = 0; k < 11; ++k) {
            entry[std::string("tot_") + energyKeys[k]] = e[k];
        }
        entry["cts"] = cts;
        list.push_back(entry);
    }
    return {{"load", list}};
}

nlohmann::ordered_json Generator::inputs() const {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Input &in : inputs_) {
        nlohmann::ordered_json lines = nlohmann::ordered_json::array();
        for (int k = 0; k < 3; ++k) {
            const int next = (k + 1) % 3;
            lines.push_back({{"v", in.v[k]},
                             {"v_ll", std::sqrt(in.v[k] * in.v[k] + in.v[next] * in.v[next] + in.v[k] * in.v[next])},
                             {"ph", kTwoPi * k / 3},
                             {"thd", in.thd[k]}});
        }
        list.push_back({{"id", in.id}, {"en", in.active}, {"freq", in.freq}, {"lines", lines}});
    }
    return {{"Input", list}};
}

nlohmann::ordered_json Generator::pulses() const {
    return nlohmann::ordered_json::array({{{"id", 0}, {"count", counts_[0]}}, {{"id", 1}, {"count", counts_[1]}}});
}

// ---- Nerisko's result nodes ----

namespace {

constexpr size_t kCtSize = 152;
constexpr size_t kInputSize = 96;
constexpr size_t kLoadSize = 736;

// The host's result nodes are written in place: read under a shared flock,
// which the writer's exclusive one keeps from a record half written.
std::string readNode(const std::string &root, const char *node, size_t size) {
    std::string bytes;
    const int fd = ::open((root + node).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (::flock(fd, LOCK_SH) == 0) {
            char buf[4096];
            ssize_t n;
            while ((n = ::read(fd, buf, sizeof buf)) > 0) {
                bytes.append(buf, static_cast<size_t>(n));
            }
        }
        ::close(fd);
    }
    if (bytes.size() != size) {
        bytes.assign(size, '\0'); // not there yet: the meter has not measured
    }
    return bytes;
}

template <typename T> T at(const std::string &bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

double f32(const std::string &b, size_t offset) { return at<float>(b, offset); }

nlohmann::ordered_json nodeCt(const std::string &b, size_t base) {
    double e[11];
    for (int k = 0; k < 11; ++k) {
        e[k] = at<double>(b, base + 48 + 8 * static_cast<size_t>(k));
    }
    return ctJson(at<uint8_t>(b, base + 4) != 0, f32(b, base + 24), f32(b, base + 36), f32(b, base + 40),
                  f32(b, base + 44), e, f32(b, base + 32), f32(b, base + 148), f32(b, base + 144),
                  f32(b, base + 136), f32(b, base + 140), f32(b, base + 16));
}

} // namespace

nlohmann::ordered_json meterLoads(const std::string &root, const nlohmann::ordered_json &mapping) {
    const std::string all = readNode(root, "/dev/zor_data/load/48", 48 * kLoadSize);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    size_t m = 0;
    for (const auto &entry : arrayOf(mapping, "loads")) {
        const size_t base = m++ * kLoadSize;
        if (!isTrue(entry, "active") || base + kLoadSize > all.size()) {
            continue;
        }
        nlohmann::ordered_json out = {{"id", integer(entry, "id", 0)}, {"tot_p", f32(all, base + 616)},
                              {"tot_a", f32(all, base + 608)}, {"tot_s", f32(all, base + 620)},
                              {"tot_q", f32(all, base + 624)}, {"tot_apf", f32(all, base + 720)},
                              {"tot_dpf", f32(all, base + 724)}, {"tot_thd", f32(all, base + 612)},
                              {"tot_pd", f32(all, base + 728)}, {"tot_demand", f32(all, base + 732)}};
        for (int k = 0; k < 11; ++k) {
            out[std::string("tot_") + energyKeys[k]] = at<double>(all, base + 632 + 8 * static_cast<size_t>(k));
        }
        nlohmann::ordered_json cts = nlohmann::ordered_json::array();
        const size_t count = std::min<size_t>(3, arrayOf(entry, "cts").size());
        for (size_t j = 0; j < count; ++j) {
            cts.push_back(nodeCt(all, base + 56 + kCtSize * j));
        }
        out["cts"] = cts;
        list.push_back(out);
    }
    return {{"load", list}};
}

nlohmann::ordered_json meterInputs(const std::string &root, const nlohmann::ordered_json &mapping) {
    const std::string all = readNode(root, "/dev/zor_data/input/2", 2 * kInputSize);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    size_t s = 0;
    for (const auto &entry : arrayOf(mapping, "inputs")) {
        if (s >= 2) {
            break;
        }
        const size_t base = s++ * kInputSize;
        nlohmann::ordered_json lines = nlohmann::ordered_json::array();
        for (size_t k = 0; k < 3; ++k) {
            const size_t line = base + 20 + 24 * k;
            lines.push_back({{"v", f32(all, line + 8)},
                             {"v_ll", f32(all, line + 12)},
                             {"ph", f32(all, line + 4)},
                             {"thd", f32(all, line + 20)}});
        }
        list.push_back({{"id", integer(entry, "id", 0)},
                        {"en", isTrue(entry, "active")},
                        {"freq", f32(all, base + 16)},
                        {"lines", lines}});
    }
    return {{"Input", list}};
}

} // namespace tqr
