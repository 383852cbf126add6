#include "ulvora/parsers.h"

#include "meter/json.h"
#include "ulvora/log.h"
#include "ulvora/records.h"

#include <syslog.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace {

std::vector<std::string> g_notes;
std::string g_pending_time;
bool g_time_pending = false;

void note(const std::string &text) {
    if (std::find(g_notes.begin(), g_notes.end(), text) == g_notes.end()) {
        g_notes.push_back(text);
    }
}

JsonItem read_body(const char *body, size_t size, size_t count, const char *path) {
    try {
        return jsonRead(std::string(body, size * count));
    } catch (const std::invalid_argument &) {
        throw std::invalid_argument(std::string(path) + " return isn't valid JSON");
    }
}

// A key without which the answer cannot be used: its absence fails the
// whole answer with a line naming the key and the endpoint.
const JsonItem &need(const JsonItem &object, const char *key, const char *where) {
    auto it = object.findChild(key);
    if (it == object.end()) {
        throw std::out_of_range(std::string(key) + " node not found in " + where);
    }
    return *it;
}

const JsonItem *maybe(const JsonItem &object, const char *key) {
    auto it = object.findChild(key);
    return it == object.end() ? nullptr : &*it;
}

// TQR's numbers + 1, wrapping like the 32-bit registers they go to.
int32_t plus_one(int value) { return static_cast<int32_t>(static_cast<uint32_t>(value) + 1u); }

float number(const JsonItem &item) { return static_cast<float>(item.toDouble()); }

// A whole number of up to 64 bits: the text when it is one, else the
// library's conversion, truncated and saturated.
long long int64_of(const JsonItem &item) {
    const std::string text = item.getText();
    long long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc() && end == text.data() + text.size()) {
        return value;
    }
    const double d = item.toDouble();
    if (std::isnan(d)) {
        return 0;
    }
    if (d >= 9.2e18) {
        return 9200000000000000000LL;
    }
    if (d <= -9.2e18) {
        return -9200000000000000000LL;
    }
    return static_cast<long long>(d);
}

std::string format_utc(long long t, const char *format) {
    // TQR's 64-bit seconds: a 32-bit time_t would wrap them into another date.
    static_assert(sizeof(time_t) == 8, "build with _TIME_BITS=64");
    const time_t tt = static_cast<time_t>(t);
    struct tm broken {};
    if (gmtime_r(&tt, &broken) == nullptr) {
        return {};
    }
    char text[64];
    const size_t n = std::strftime(text, sizeof text, format, &broken);
    return std::string(text, n);
}

} // namespace

std::vector<std::string> mbTakeNotes() {
    std::vector<std::string> notes;
    notes.swap(g_notes);
    return notes;
}

bool mbTimePending() { return g_time_pending; }

void mbCommitTime() {
    if (!g_time_pending) {
        return;
    }
    MbRecords r = mbRecordsSnapshot();
    mbCopyText(g_pending_time, r.header.time, sizeof r.header.time);
    mbRecordsCommit(r);
    g_time_pending = false;
}

void mbDropTime() { g_time_pending = false; }

std::string mbLocalTimeText(long long time, long long offset) {
    long long local = 0;
    if (__builtin_add_overflow(time, offset, &local)) {
        return {};
    }
    std::string text = format_utc(local, "%FT%T");
    if (text.empty()) {
        return {};
    }
    // The sign stands apart from the hours so that -1800 reads -0030.
    const long long magnitude = offset < 0 ? -offset : offset;
    char zone[32];
    std::snprintf(zone, sizeof zone, "%c%.2lld%.2lld", offset < 0 ? '-' : '+', magnitude / 3600,
                  magnitude / 60 % 60);
    return text + zone;
}

int mbParseTime(const char *body, size_t size, size_t count, void *) {
    const JsonItem root = read_body(body, size, count, "/api/v1/time");
    const long long time = int64_of(need(root, "time", "/time"));
    const long long offset = int64_of(need(root, "timezoneOffset", "/time"));
    const std::string local = mbLocalTimeText(time, offset);
    const std::string utc = format_utc(time, "%FT%TZ");
    if (local.empty() || utc.empty()) {
        throw std::invalid_argument("time out of range in /time");
    }
    slog_string(LOG_NOTICE, "TQR says it's " + local + " " + utc);
    g_pending_time = local;
    g_time_pending = true;
    return static_cast<int>(size * count);
}

int mbParseStatic(const char *body, size_t size, size_t count, void *) {
    const char *where = "/config/static";
    const JsonItem root = read_body(body, size, count, "/api/v1/config/static");
    MbRecords r = mbRecordsSnapshot();
    const std::string model = "ZOR" + std::to_string(static_cast<long>(need(root, "model", where).toInteger())) + "KEP";
    const std::string serial = need(root, "serial", where).getText();
    const std::string version = need(root, "version", where).getText();
    slog_string(LOG_NOTICE, "Model is " + model);
    slog_string(LOG_NOTICE, "S/N is " + serial);
    slog_string(LOG_NOTICE, "Version is " + version);
    mbCopyText(model, r.header.model, sizeof r.header.model);
    mbCopyText(serial, r.header.serial, sizeof r.header.serial);
    mbCopyText(version, r.header.version, sizeof r.header.version);
    mbRecordsCommit(r);
    return static_cast<int>(size * count);
}

int mbParseInfo(const char *body, size_t size, size_t count, void *) {
    const char *where = "/config/info";
    const JsonItem root = read_body(body, size, count, "/api/v1/config/info");
    MbRecords r = mbRecordsSnapshot();
    for (const JsonItem &member : root) {
        const std::string name = member.getName();
        if (name == "siteInfo") {
            const JsonItem info = member.toObject();
            std::string site = need(info, "name", where).getText();
            slog_string(LOG_DEBUG, "Sitename is " + site);
            slog_string(LOG_DEBUG, "Site is " + need(info, "site", where).getText());
            slog_string(LOG_DEBUG, "Address is " + need(info, "addr1", where).getText() + " " +
                                       need(info, "addr2", where).getText());
            slog_string(LOG_DEBUG, "Location is " + need(info, "loc1", where).getText() + " " +
                                       need(info, "loc2", where).getText());
            slog_string(LOG_DEBUG, "Panel # is " + need(info, "panel", where).getText());
            slog_string(LOG_DEBUG, "Panel type is " + need(info, "type", where).getText());
            if (site.empty()) {
                site = "Krevo Power Meter";
            }
            mbCopyText(site, r.header.site_name, sizeof r.header.site_name);
        } else if (name == "defaults") {
            const JsonItem d = member.toObject();
            const int backlight = need(d, "backlight", where).toInteger();
            const int sign = need(d, "powerFactorSign", where).toInteger();
            const int frequency = need(d, "frequency", where).toInteger();
            const int window = need(d, "demandWindow", where).toInteger();
            const int day = need(d, "billingCycleDay", where).toInteger();
            const int time = need(d, "billingCycleTime", where).toInteger();
            slog_string(LOG_DEBUG, "Backlight level is " + std::to_string(backlight));
            slog_string(LOG_DEBUG, "Power factor sign is " + std::to_string(sign));
            slog_string(LOG_DEBUG, "Frequency is " + std::to_string(frequency));
            slog_string(LOG_DEBUG, "Demand Window is " + std::to_string(window));
            r.header.power_factor_sign = plus_one(sign);
            r.header.demand_window = window;
            r.header.billing_cycle_day = day;
            r.header.billing_cycle_time = time;
        }
    }
    mbRecordsCommit(r);
    return static_cast<int>(size * count);
}

int mbParseMapping(const char *body, size_t size, size_t count, void *) {
    const char *where = "/config/mapping";
    const JsonItem root = read_body(body, size, count, "/api/v1/config/mapping");
    MbRecords r = mbRecordsSnapshot();

    std::string version = "0";
    if (const JsonItem *v = maybe(root, "version")) {
        version = v->getText();
    } else {
        slog_string(LOG_NOTICE, "No version in /data/mapping.");
    }
    slog_string(LOG_DEBUG, "Using mapping version v" + version);

    // Loads and inputs that the list no longer holds are not served.
    const JsonItem loads = need(root, "loads", where).toArray();
    int active_loads = 0;
    int i = 0;
    for (const JsonItem &item : loads) {
        if (i == MB_LOAD_MAX) {
            note("Ignoring loads beyond " + std::to_string(MB_LOAD_MAX) + " in /config/mapping");
            break;
        }
        const JsonItem entry = item.toObject();
        mb_load &load = r.loads[i++];
        if (!need(entry, "active", where).toBoolean()) {
            load.active = 0;
            continue;
        }
        ++active_loads;
        mbCopyText(need(entry, "name", where).getText(), load.name, sizeof load.name);
        load.id = plus_one(need(entry, "id", where).toInteger());
        load.input = plus_one(need(entry, "input", where).toInteger());
        load.active = 1;
        const JsonItem cts = need(entry, "cts", where).toArray();
        int j = 0;
        for (const JsonItem &ct_item : cts) {
            if (j == MB_CT_MAX) {
                note("Ignoring CTs beyond " + std::to_string(MB_CT_MAX) + " of a load in /config/mapping");
                break;
            }
            const JsonItem ct = ct_item.toObject();
            const int channel = need(ct, "channel", where).toInteger();
            load.cts[j].channel = channel >= 6 && channel <= 53 ? channel - 5 : 0;
            load.cts[j].phase_correction = need(ct, "phaseCorrection", where).toBoolean() ? 1 : 0;
            ++j;
        }
        for (; j < MB_CT_MAX; ++j) {
            load.cts[j].channel = 0;
            load.cts[j].phase_correction = 0;
        }
    }
    for (; i < MB_LOAD_MAX; ++i) {
        r.loads[i].active = 0;
    }
    r.header.active_loads = active_loads;

    const JsonItem inputs = need(root, "inputs", where).toArray();
    int k = 0;
    for (const JsonItem &item : inputs) {
        if (k == MB_VOLTAGE_INPUT_MAX) {
            note("Ignoring inputs beyond " + std::to_string(MB_VOLTAGE_INPUT_MAX) + " in /config/mapping");
            break;
        }
        const JsonItem entry = item.toObject();
        mb_voltage_input &input = r.inputs[k++];
        input.active = 0;
        input.id = plus_one(need(entry, "id", where).toInteger());
        if (need(entry, "active", where).toBoolean()) {
            input.active = 1;
            input.service = need(entry, "service", where).toInteger();
            input.voltage = need(entry, "voltage", where).toInteger();
            input.voltage_scaler = need(entry, "voltageScaler", where).toInteger();
        }
    }
    for (; k < MB_VOLTAGE_INPUT_MAX; ++k) {
        r.inputs[k].active = 0;
    }
    mbRecordsCommit(r);
    return 0;
}

int mbParsePulseConfig(const char *body, size_t size, size_t count, void *) {
    const char *where = "/config/pulse";
    const JsonItem root = read_body(body, size, count, "/api/v1/config/pulse").toArray();
    MbRecords r = mbRecordsSnapshot();
    bool listed[MB_PULSE_INPUT_MAX] = {};
    for (const JsonItem &item : root) {
        const JsonItem entry = item.toObject();
        const bool active = need(entry, "active", where).toBoolean();
        const bool out = need(entry, "out", where).toBoolean();
        const int id = need(entry, "id", where).toInteger();
        if (id < 0 || id >= MB_PULSE_INPUT_MAX) {
            // The pulse output has no record; an input with another id is noted.
            if (!out) {
                note("Ignoring pulse input id " + std::to_string(id) + " in /config/pulse");
            }
            continue;
        }
        mb_pulse_input &pulse = r.pulses[id];
        listed[id] = true;
        pulse.active = 0;
        if (active && !out) {
            pulse.active = 1;
            pulse.scaler = need(entry, "scaler", where).toInteger();
            const int param = need(entry, "param", where).toInteger();
            const int type = need(entry, "type", where).toInteger();
            if (auto u = unitNames.find(param); u != unitNames.end()) {
                mbCopyText(u->second, pulse.unit, sizeof pulse.unit);
            }
            if (auto m = meterKindNames.find(type); m != meterKindNames.end()) {
                mbCopyText(m->second, pulse.meter_kind, sizeof pulse.meter_kind);
            }
        }
    }
    for (int k = 0; k < MB_PULSE_INPUT_MAX; ++k) {
        if (!listed[k]) {
            r.pulses[k].active = 0;
        }
    }
    mbRecordsCommit(r);
    return static_cast<int>(size * count);
}

int mbParseLoadData(const char *body, size_t size, size_t count, void *) {
    const char *where = "/data/loads";
    const JsonItem root = read_body(body, size, count, "/api/v1/data/loads");
    auto member = root.findChildIgnoringCase("load");
    if (member == root.end()) {
        slog_string(LOG_DEBUG, "Rec'd " + std::string(body, size * count));
        throw std::invalid_argument("No load in /data/loads.");
    }
    // The member found is the one read, whatever the case of its name.
    const JsonItem loads = member->toArray();
    MbRecords r = mbRecordsSnapshot();
    auto total = [&](const JsonItem &e, const char *key) { return number(need(e, key, where)) / 1000.0f; };
    auto ct_value = [&](const JsonItem &e, const char *key) {
        return static_cast<float>(need(e, key, where).toDouble() / 1000.0);
    };
    for (const JsonItem &item : loads) {
        const JsonItem entry = item.toObject();
        const long long id = need(entry, "id", where).toInteger();
        for (mb_load &load : r.loads) {
            // Only records that the mapping numbered (id + 1) take load data.
            if (load.id == 0 || static_cast<long long>(load.id) - 1 != id) {
                continue;
            }
            load.p = total(entry, "tot_p");
            load.a = number(need(entry, "tot_a", where));
            load.s = total(entry, "tot_s");
            load.q = total(entry, "tot_q");
            load.apf = number(need(entry, "tot_apf", where));
            load.dpf = number(need(entry, "tot_dpf", where));
            if (const JsonItem *thd = maybe(entry, "tot_thd")) {
                load.thd = number(*thd);
            } else if (const JsonItem *thd_old = maybe(entry, "tot_Thd")) {
                load.thd = number(*thd_old);
            } else {
                load.thd = 0;
            }
            if (const JsonItem *pd = maybe(entry, "tot_pd")) {
                load.pd = number(*pd) / 1000.0f;
            } else if (const JsonItem *pd_old = maybe(entry, "tot_Pd")) {
                load.pd = number(*pd_old) / 1000.0f;
            } else {
                load.pd = 0;
            }
            load.demand = total(entry, "tot_demand");
            load.wh = total(entry, "tot_wh");
            load.wh_in = total(entry, "tot_wh_in");
            load.wh_out = total(entry, "tot_wh_out");
            load.vah = total(entry, "tot_vah");
            load.varh = total(entry, "tot_varh");
            load.vah_in = total(entry, "tot_vah_in");
            load.vah_out = total(entry, "tot_vah_out");
            load.varh_cap_dis = total(entry, "tot_varh_cap_dis");
            load.varh_ind_dis = total(entry, "tot_varh_ind_dis");
            load.varh_cap_gen = total(entry, "tot_varh_cap_gen");
            load.varh_ind_gen = total(entry, "tot_varh_ind_gen");

            float sum_ind = 0;
            float sum_cap = 0;
            const JsonItem cts = need(entry, "cts", where).toArray();
            int j = 0;
            for (const JsonItem &ct_item : cts) {
                if (j == MB_CT_MAX) {
                    note("Ignoring CTs beyond " + std::to_string(MB_CT_MAX) + " of a load in /data/loads");
                    break;
                }
                const JsonItem e = ct_item.toObject();
                mb_ct &ct = load.cts[j++];
                ct.en = 0;
                if (!need(e, "en", where).toBoolean()) {
                    continue;
                }
                ct.en = 1;
                ct.a = number(need(e, "a", where));
                ct.p = ct_value(e, "p");
                ct.s = ct_value(e, "s");
                ct.q = ct_value(e, "q");
                ct.wh = ct_value(e, "wh");
                ct.vah = ct_value(e, "vah");
                ct.varh = ct_value(e, "varh");
                ct.wh_out = ct_value(e, "wh_out");
                ct.wh_in = ct_value(e, "wh_in");
                ct.vah_in = ct_value(e, "vah_in");
                ct.vah_out = ct_value(e, "vah_out");
                ct.varh_cap_dis = ct_value(e, "varh_cap_dis");
                ct.varh_cap_gen = ct_value(e, "varh_cap_gen");
                ct.varh_ind_dis = ct_value(e, "varh_ind_dis");
                ct.varh_ind_gen = ct_value(e, "varh_ind_gen");
                ct.varh_cap = ct.varh_cap_dis + ct.varh_cap_gen;
                ct.varh_ind = ct.varh_ind_gen + ct.varh_ind_dis;
                sum_cap = static_cast<float>((need(e, "varh_cap_gen", where).toDouble() / 1000 +
                                              need(e, "varh_cap_dis", where).toDouble() / 1000) +
                                             sum_cap);
                sum_ind = static_cast<float>((need(e, "varh_ind_gen", where).toDouble() / 1000 +
                                              need(e, "varh_ind_dis", where).toDouble() / 1000) +
                                             sum_ind);
                ct.thd = number(need(e, "thd", where));
                ct.demand = ct_value(e, "demand");
                ct.pd = ct_value(e, "pd");
                ct.apf = number(need(e, "apf", where));
                ct.dpf = number(need(e, "dpf", where));
            }
            // A CT that the answer no longer carries is not enabled.
            for (; j < MB_CT_MAX; ++j) {
                load.cts[j].en = 0;
            }
            load.varh_ind = sum_ind;
            load.varh_cap = sum_cap;
        }
    }
    mbRecordsCommit(r);
    return static_cast<int>(size * count);
}

int mbParseInputData(const char *body, size_t size, size_t count, void *) {
    const char *where = "/data/inputs";
    const JsonItem root = read_body(body, size, count, "/api/v1/data/inputs");
    const JsonItem inputs = need(root, "Input", where).toArray();
    MbRecords r = mbRecordsSnapshot();
    int i = 0;
    for (const JsonItem &item : inputs) {
        if (i == MB_VOLTAGE_INPUT_MAX) {
            note("Ignoring inputs beyond " + std::to_string(MB_VOLTAGE_INPUT_MAX) + " in /data/inputs");
            break;
        }
        const JsonItem entry = item.toObject();
        mb_voltage_input &input = r.inputs[i++];
        (void)need(entry, "id", where);
        if (!need(entry, "en", where).toBoolean()) {
            continue;
        }
        if (const JsonItem *freq = maybe(entry, "freq")) {
            input.freq = number(*freq);
        }
        const JsonItem lines = need(entry, "lines", where).toArray();
        int j = 0;
        for (const JsonItem &line_item : lines) {
            if (j == 3) {
                break;
            }
            const JsonItem line = line_item.toObject();
            if (const JsonItem *v = maybe(line, "v")) {
                input.v[j] = number(*v);
            }
            if (const JsonItem *v_ll = maybe(line, "v_ll")) {
                input.v_ll[j] = number(*v_ll);
            }
            if (const JsonItem *ph = maybe(line, "ph")) {
                input.ph[j] = static_cast<float>(static_cast<double>(number(*ph)) * 57.29577951308232);
            }
            if (const JsonItem *thd = maybe(line, "thd")) {
                input.thd[j] = number(*thd);
            }
            ++j;
        }
    }
    mbRecordsCommit(r);
    return static_cast<int>(size * count);
}

int mbParsePulseData(const char *body, size_t size, size_t count, void *) {
    const char *where = "/data/pulses";
    const JsonItem root = read_body(body, size, count, "/api/v1/data/pulses").toArray();
    MbRecords r = mbRecordsSnapshot();
    int i = 0;
    for (const JsonItem &item : root) {
        if (i == MB_PULSE_INPUT_MAX) {
            break; // the pulse output's entry has no record
        }
        const JsonItem entry = item.toObject();
        mb_pulse_input &pulse = r.pulses[i++];
        const int value = need(entry, "count", where).toInteger();
        pulse.count = value;
        // The product in 64 bits; the register keeps its low 32 bits.
        const int64_t product = static_cast<int64_t>(value) * pulse.scaler;
        pulse.scaled_count = static_cast<int32_t>(static_cast<uint32_t>(product));
    }
    mbRecordsCommit(r);
    return static_cast<int>(size * count);
}
