#include "scenario.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tqr {

const char *const scenarioEndpoints[11] = {
    "system/time",   "config/static",        "config/info",    "config/ethernet", "config/pulse", "config/mapping",
    "config/alarms", "config/communication", "data/loads",     "data/inputs",     "data/pulses",
};

namespace {

nlohmann::ordered_json mapping(int loads) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (int l = 0; l < loads; ++l) {
        nlohmann::ordered_json cts = nlohmann::ordered_json::array();
        for (int k = 0; k < 3; ++k) {
            // 48 CT channels: loads past the sixteenth share them.
            cts.push_back({{"type", 9},
                           {"channel", 6 + (l * 3 + k) % 48},
                           {"maxRating", 100.0},
                           {"active", true},
                           {"inverse", false},
                           {"phaseCorrection", 0}});
        }
        list.push_back({{"active", true},
                        {"id", l},
                        {"vdi", kBaseInstance + 1 + static_cast<unsigned>(l)},
                        {"name", "Load " + std::to_string(l + 1)},
                        {"input", (l / 2) % 2},
                        {"cts", cts}});
    }
    nlohmann::ordered_json inputs = nlohmann::ordered_json::array();
    for (int n = 0; n < 2; ++n) {
        inputs.push_back({{"active", true},
                          {"id", n},
                          {"voltage", 120},
                          {"service", 1},
                          {"voltageScaler", 1},
                          {"lines", nlohmann::ordered_json::array({{{"active", true}}, {{"active", true}}, {{"active", true}}})}});
    }
    return {{"version", "1"}, {"loads", list}, {"inputs", inputs}};
}

nlohmann::ordered_json pulse(int id, bool active, bool out) {
    return {{"id", id}, {"active", active}, {"out", out}, {"type", 0}, {"param", 19}, {"scaler", 1}, {"pulseWidth", 100}};
}

} // namespace

std::map<std::string, nlohmann::ordered_json> builtInScenario(int loads) {
    std::map<std::string, nlohmann::ordered_json> s;
    s["system/time"] = {{"timezoneOffset", 0}};
    s["config/static"] = {{"model", 7}, {"serial", "ZM-000001"}, {"version", "1.0.0"}};
    s["config/info"] = {
        {"siteInfo",
         {{"name", "Meter"}, {"site", "Test site"}, {"addr1", "1 Sample Street"}, {"addr2", "Unit 2"},
          {"loc1", "Building A"}, {"loc2", "Floor 1"}, {"panel", "Panel 1"}, {"type", "Main"}}},
        {"defaults",
         {{"backlight", 100}, {"powerFactorSign", 0}, {"frequency", 60}, {"demandWindow", 15},
          {"billingCycleDay", 1}, {"billingCycleTime", 0}}}};
    s["config/ethernet"] = {{"dhcp", false},
                            {"macAddress", "02:00:00:00:00:01"},
                            {"ipAddress", "192.0.2.10"},
                            {"subnetMask", "255.255.255.0"},
                            {"gatewayAddress", "192.0.2.1"},
                            {"ipv6Address", ""}};
    s["config/pulse"] = nlohmann::ordered_json::array({pulse(0, false, false), pulse(1, false, false), pulse(2, true, true)});
    s["config/communication"] = {
        {"type", "bac_ip"},
        {"baudrate", 38400},
        {"modbus", {{"address", 1}, {"port", 502}, {"baudrate", 19200}}},
        {"bacnet",
         {{"port", 47808}, {"baudrate", 38400}, {"baseInstance", kBaseInstance}, {"baseName", "Meter"},
          {"network", 1000}, {"physicalnetwork", 1}, {"bbmdAddress", ""}, {"bbmdTtl", 0}, {"macAddress", 1},
          {"maxMaster", 127}, {"maxInfoFrames", 1}, {"bbmdIPv6Address", ""}, {"multiCastAddress", 1}}}};
    s["config/mapping"] = mapping(loads);
    s["config/alarms"] = nlohmann::ordered_json::array(
        {{{"id", 1}, {"vinLineLoadOrCt", 0}, {"setPoint", 50}, {"deadband", 1}, {"delay", 10}, {"led", true},
          {"relay", false}, {"type", 0}, {"state", 2}},
         {{"id", 2}, {"vinLineLoadOrCt", 1}, {"setPoint", 80}, {"deadband", 2}, {"delay", 5}, {"led", true},
          {"relay", false}, {"type", 10}, {"state", 2}}});
    return s;
}

std::map<std::string, nlohmann::ordered_json> loadScenario(const std::string &dir, int loads,
                                                           std::set<std::string> *fromFiles) {
    std::map<std::string, nlohmann::ordered_json> s = builtInScenario(loads);
    if (dir.empty()) {
        return s;
    }
    if (!std::filesystem::is_directory(dir)) {
        throw std::runtime_error("scenario folder " + dir + " cannot be read");
    }
    for (const char *endpoint : scenarioEndpoints) {
        const std::string file = dir + "/" + endpoint + ".json";
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            continue;
        }
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        nlohmann::ordered_json value = nlohmann::ordered_json::parse(text, nullptr, false);
        if (value.is_discarded() || !(value.is_object() || value.is_array())) {
            throw std::runtime_error(file + " is not a JSON object or array");
        }
        s[endpoint] = std::move(value);
        if (fromFiles != nullptr) {
            fromFiles->insert(endpoint);
        }
    }
    return s;
}

} // namespace tqr
