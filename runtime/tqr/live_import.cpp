#include "runtime/tqr/live_import.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/object_sets.h"
#include "meter/json.h"
#include "runtime/log.h"
#include "runtime/tqr/parse_support.h"
#include "runtime/tqr/transport.h"

namespace {

constexpr uint32_t kUnitsRadians = 103;

// TQR's values travel as single precision.
double valueOf(const JsonItem &item) {
    return static_cast<float>(item.toDouble());
}

// Stores v unless a client holds the object out of service.
void store(MeasuredValue *object, double v) {
    if (object != nullptr && !object->isOutOfService()) {
        object->setPresentValue(v);
    }
}

double phaseAngle(const MeasuredValue &object, double radians) {
    if (object.getUnits() == kUnitsRadians) {
        return radians;
    }
    return static_cast<float>(radians * tqrDegreesPerRadian);
}

// The first of keys the object lacks, or null; logged as not found in where.
const char *missingKey(const JsonItem &object, std::initializer_list<const char *> keys, const char *where) {
    for (const char *key : keys) {
        if (object.findChild(key) == object.end()) {
            logMessage(LogLevel::Critical, std::string(key) + " node not found in " + where);
            return key;
        }
    }
    return nullptr;
}

// ---- loads ----

const char *const kLoadsWhere = "/data/loads";

// Totals read straight from the entry: key, analog input, large analog
// value (0: none), divided by 1000.
struct TotalRow {
    const char *key;
    uint32_t ai;
    uint32_t lav;
    bool kilo;
};

const TotalRow kTotalsBeforeVoltages[] = {{"tot_p", 8, 0, true}, {"tot_a", 9, 0, false}};
const TotalRow kTotalsAfterVoltages[] = {
    {"tot_s", 13, 0, true},
    {"tot_q", 10, 0, true},
    {"tot_apf", 11, 0, false},
    {"tot_dpf", 12, 0, false},
};
const TotalRow kEnergies[] = {
    {"tot_demand", 17, 0, true},        {"tot_wh", 140, 1, true},
    {"tot_vah", 141, 2, true},          {"tot_varh", 142, 3, true},
    {"tot_wh_in", 144, 5, true},        {"tot_wh_out", 143, 4, true},
    {"tot_vah_in", 146, 7, true},       {"tot_vah_out", 145, 6, true},
    {"tot_varh_cap_dis", 148, 9, true}, {"tot_varh_ind_dis", 150, 11, true},
    {"tot_varh_cap_gen", 147, 8, true}, {"tot_varh_ind_gen", 149, 10, true},
};

// One CT entry's values: key, position in the group, divided by 1000.
struct CtRow {
    const char *key;
    uint32_t p;
    bool kilo;
};

const CtRow kCtBeforeSums[] = {
    {"a", 0, false},
    {"p", 2, true},
    {"s", 3, true},
    {"q", 4, true},
    {"wh", 8, true},
    {"vah", 10, true},
    {"varh", 9, true},
    {"wh_out", 11, true},
    {"wh_in", 12, true},
    {"vah_in", 14, true},
    {"vah_out", 13, true},
    {"varh_cap_dis", 16, true},
    {"varh_cap_gen", 15, true},
    {"varh_ind_dis", 18, true},
    {"varh_ind_gen", 17, true},
};
const CtRow kCtAfterSums[] = {
    {"thd", 5, false}, {"demand", 1, true}, {"pd", 19, true}, {"apf", 6, false}, {"dpf", 7, false},
};

const std::initializer_list<const char *> kLoadKeys = {"id",
                                                       "tot_p",
                                                       "tot_a",
                                                       "tot_s",
                                                       "tot_q",
                                                       "tot_apf",
                                                       "tot_dpf",
                                                       "tot_demand",
                                                       "tot_wh",
                                                       "tot_vah",
                                                       "tot_varh",
                                                       "tot_wh_in",
                                                       "tot_wh_out",
                                                       "tot_vah_in",
                                                       "tot_vah_out",
                                                       "tot_varh_cap_dis",
                                                       "tot_varh_ind_dis",
                                                       "tot_varh_cap_gen",
                                                       "tot_varh_ind_gen",
                                                       "cts"};
const std::initializer_list<const char *> kCtKeys = {"a",
                                                     "p",
                                                     "s",
                                                     "q",
                                                     "wh",
                                                     "vah",
                                                     "varh",
                                                     "wh_out",
                                                     "wh_in",
                                                     "vah_in",
                                                     "vah_out",
                                                     "varh_cap_dis",
                                                     "varh_cap_gen",
                                                     "varh_ind_dis",
                                                     "varh_ind_gen",
                                                     "thd",
                                                     "demand",
                                                     "pd",
                                                     "apf",
                                                     "dpf",
                                                     "ph"};

// Every key the entry's stores need, its first three CT entries included:
// an entry that lacks one is skipped before anything of it is stored.
bool loadEntryComplete(const JsonItem &entry) {
    if (missingKey(entry, kLoadKeys, kLoadsWhere) != nullptr) {
        return false;
    }
    const JsonItem cts = entry.requireChild("cts").toArray();
    size_t k = 0;
    for (const JsonItem &item : cts) {
        if (k++ > 2) {
            break;
        }
        const JsonItem ct = item.toObject();
        if (missingKey(ct, {"en"}, kLoadsWhere) != nullptr) {
            return false;
        }
        if (ct.requireChild("en").toBoolean() && missingKey(ct, kCtKeys, kLoadsWhere) != nullptr) {
            return false;
        }
    }
    return true;
}

void storeRow(Load &load, const JsonItem &entry, const TotalRow &row) {
    const double v = valueOf(entry.requireChild(row.key));
    const double stored = row.kilo ? v / 1000 : v;
    if (row.lav != 0) {
        store(load.largeAnalogValue(row.lav), stored);
    }
    store(load.analogInput(row.ai), stored);
}

// The first of the two spellings present, else 0.
double eitherKey(const JsonItem &entry, const char *key, const char *other) {
    if (auto it = entry.findChild(key); it != entry.end()) {
        return valueOf(*it);
    }
    if (auto it = entry.findChild(other); it != entry.end()) {
        return valueOf(*it);
    }
    return 0.0;
}

double presentOf(const MeasuredValue *object) {
    return object->getPresentValue();
}

void storeCt(Load &load, int group, const JsonItem &ct) {
    const uint32_t first = 30 * static_cast<uint32_t>(group);
    const auto at = [&](uint32_t p) { return load.analogInput(first + p); };
    for (const CtRow &row : kCtBeforeSums) {
        const double v = valueOf(ct.requireChild(row.key));
        store(at(row.p), row.kilo ? v / 1000 : v);
    }
    store(at(22), presentOf(at(15)) + presentOf(at(16)));
    store(at(21), presentOf(at(18)) + presentOf(at(17)));
    for (const CtRow &row : kCtAfterSums) {
        const double v = valueOf(ct.requireChild(row.key));
        store(at(row.p), row.kilo ? v / 1000 : v);
    }
    store(at(20), phaseAngle(*at(20), valueOf(ct.requireChild("ph"))));
}

void storeLoad(Load &load, const JsonItem &entry) {
    for (const TotalRow &row : kTotalsBeforeVoltages) {
        storeRow(load, entry, row);
    }
    // The load's voltages are its input's, as the last input poll left them.
    auto input = inputMapping.find(static_cast<uint32_t>(load.getInput()));
    const Input *source = input == inputMapping.end() ? nullptr : input->second.get();
    if (source != nullptr) {
        for (uint32_t i = 1; i <= 6; ++i) {
            store(load.analogInput(i), presentOf(source->analogInput(i - 1)));
        }
        store(load.analogInput(7), presentOf(source->analogInput(12)));
    }
    for (const TotalRow &row : kTotalsAfterVoltages) {
        storeRow(load, entry, row);
    }
    store(load.analogInput(14), eitherKey(entry, "tot_thd", "tot_Thd"));
    store(load.analogInput(15), eitherKey(entry, "tot_pd", "tot_Pd") / 1000);
    for (const TotalRow &row : kEnergies) {
        storeRow(load, entry, row);
    }
    store(load.largeAnalogValue(13),
          presentOf(load.largeAnalogValue(8)) + presentOf(load.largeAnalogValue(9)));
    store(load.analogInput(152), presentOf(load.analogInput(147)) + presentOf(load.analogInput(148)));
    store(load.largeAnalogValue(12),
          presentOf(load.largeAnalogValue(11)) + presentOf(load.largeAnalogValue(10)));
    store(load.analogInput(151), presentOf(load.analogInput(150)) + presentOf(load.analogInput(149)));

    double unbalance = 0.0;
    const JsonItem cts = entry.requireChild("cts").toArray();
    if (cts.getSize() > 0) {
        std::vector<double> currents;
        size_t k = 0;
        for (const JsonItem &item : cts) {
            const size_t position = k++;
            if (position > 2) {
                break;
            }
            const JsonItem ct = item.toObject();
            if (!ct.requireChild("en").toBoolean()) {
                continue;
            }
            currents.push_back(valueOf(ct.requireChild("a")));
            storeCt(load, static_cast<int>(position + 1), ct);
        }
        if (source != nullptr && (source->getService() == 1 || source->getService() == 2)) {
            const float total = static_cast<float>(entry.requireChild("tot_a").toDouble());
            unbalance = tqrCurrentUnbalance(total, currents.data(), currents.size());
        }
    }
    store(load.analogInput(16), unbalance);
}

// ---- voltage inputs ----

const char *const kInputsWhere = "/data/inputs";

void storeInput(Input &input, int id, const JsonItem &entry) {
    LargeAnalogValue &energy = input.totalEnergy();
    if (!energy.isOutOfService()) {
        double sum = 0.0;
        bool fed = false;
        for (const auto &[vdi, load] : loadMapping) {
            if (load->getInput() == id) {
                sum += load->largeAnalogValue(1)->getPresentValue();
                fed = true;
            }
        }
        // Stored once, as the total: the partial sums are no value of the
        // input and would reach COV subscribers as such.
        if (fed) {
            energy.setPresentValue(sum);
            input.totalEnergySingle().setPresentValue(sum);
        }
    }
    if (auto it = entry.findChild("freq"); it != entry.end()) {
        store(input.analogInput(12), valueOf(*it));
    }
    const JsonItem lines = entry.requireChild("lines").toArray();
    size_t j = 0;
    for (const JsonItem &item : lines) {
        const size_t line = j++;
        if (line > 2) {
            break;
        }
        const JsonItem values = item.toObject();
        if (auto it = values.findChild("v"); it != values.end()) {
            store(input.analogInput(line), valueOf(*it));
        }
        if (auto it = values.findChild("v_ll"); it != values.end()) {
            store(input.analogInput(3 + line), valueOf(*it));
        }
        if (auto it = values.findChild("ph"); it != values.end()) {
            AnalogInput *angle = input.analogInput(6 + line);
            store(angle, phaseAngle(*angle, valueOf(*it)));
        }
        if (auto it = values.findChild("thd"); it != values.end()) {
            store(input.analogInput(9 + line), valueOf(*it));
        }
    }
}

// A pulse count: 32 bits unsigned, as the meter counts.
bool countOf(const JsonItem &item, uint32_t &count) {
    const std::string text = item.getText();
    int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) {
        const double d = item.toDouble();
        if (!std::isfinite(d) || d < -2147483648.0 || d > 4294967295.0) {
            return false;
        }
        v = static_cast<int64_t>(d);
    }
    if (v < -2147483648LL || v > 4294967295LL) {
        return false;
    }
    count = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

double tqrCurrentUnbalance(float totalCurrent, const double *currents, size_t n) {
    if (n == 0) {
        return 0.0;
    }
    const double share = static_cast<float>(totalCurrent / static_cast<float>(n));
    if (share == 0.0 || !std::isfinite(share)) {
        return 0.0;
    }
    double deviation = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double d = currents[i] > share ? currents[i] - share : share - currents[i];
        if (d > deviation) {
            deviation = d;
        }
    }
    const double unbalance = deviation / share * 100;
    return std::isfinite(unbalance) ? unbalance : 0.0;
}

int tqrParseLoadData(const char *body, size_t size, size_t count, void *) {
    const JsonItem root =
        tqrReadBody(body, size, count, "/api/v1/data/loads return isn't valid JSON", LogLevel::Emergency);
    // The member as it is spelled: the presence test and the read must find
    // the same one.
    auto member = root.findChildIgnoringCase("Load");
    if (member == root.end()) {
        logMessage(LogLevel::Emergency, "No load in /data/loads.");
        logMessage(LogLevel::Debug, "Rec'd " + std::string(body, size * count));
        return static_cast<int>(size * count);
    }
    const JsonItem entries = member->toArray();
    for (const JsonItem &item : entries) {
        const JsonItem entry = item.toObject();
        auto id = entry.findChild("id");
        if (id == entry.end()) {
            logMessage(LogLevel::Critical, std::string("id node not found in ") + kLoadsWhere);
            continue;
        }
        const int32_t loadId = id->toInteger();
        bool checked = false;
        for (auto &[vdi, load] : loadMapping) {
            if (load->getId() != loadId) {
                continue;
            }
            if (!checked) {
                if (!loadEntryComplete(entry)) {
                    break;
                }
                checked = true;
            }
            storeLoad(*load, entry);
        }
    }
    tqrResponseReceived[tqrFlagLoadData].store(1);
    return static_cast<int>(size * count);
}

int tqrParseInputData(const char *body, size_t size, size_t count, void *) {
    const JsonItem root =
        tqrReadBody(body, size, count, "/api/v1/data/inputs return isn't valid JSON", LogLevel::Emergency);
    auto member = root.findChild("Input");
    if (member == root.end()) {
        logMessage(LogLevel::Critical, std::string("Input node not found in ") + kInputsWhere);
        throw std::out_of_range("Input node not found");
    }
    const JsonItem entries = member->toArray();
    uint32_t position = 0;
    for (const JsonItem &item : entries) {
        const uint32_t i = position++;
        const JsonItem entry = item.toObject();
        if (missingKey(entry, {"id", "en"}, kInputsWhere) != nullptr ||
            !entry.requireChild("en").toBoolean()) {
            continue;
        }
        if (missingKey(entry, {"lines"}, kInputsWhere) != nullptr) {
            continue;
        }
        auto input = inputMapping.find(i);
        if (input == inputMapping.end()) {
            continue;  // a voltage input the mapping does not use
        }
        storeInput(*input->second, entry.requireChild("id").toInteger(), entry);
    }
    tqrResponseReceived[tqrFlagInputData].store(1);
    return static_cast<int>(size * count);
}

int tqrParsePulseData(const char *body, size_t size, size_t count, void *) {
    const JsonItem root =
        tqrReadBody(body, size, count, "/api/v1/data/pulses return isn't valid JSON", LogLevel::Emergency);
    const JsonItem entries = root.toArray();
    int32_t position = 0;
    for (const JsonItem &item : entries) {
        const int32_t i = position++;
        auto pulse = pulseMapping.find(i);
        if (pulse == pulseMapping.end()) {
            continue;  // a pulse channel that is no configured input
        }
        const JsonItem entry = item.toObject();
        auto it = entry.findChild("count");
        uint32_t n = 0;
        if (it == entry.end() || !countOf(*it, n)) {
            logMessage(LogLevel::Critical,
                       "count of pulse " + std::to_string(i) + " in /data/pulses missing or unusable");
            continue;
        }
        PulseConverter &converter = pulse->second->converter();
        if (!converter.isOutOfService()) {
            converter.setCount(n);
        }
    }
    tqrResponseReceived[tqrFlagPulseData].store(1);
    return static_cast<int>(size * count);
}
