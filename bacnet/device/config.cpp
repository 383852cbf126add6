#include "device/config.h"

CommunicationConfig communicationConfig;
StaticConfig staticConfig;
SiteInfo siteInfo;

CommunicationConfig::CommunicationConfig()
    : datalinkNames{{0, "none"}, {1, "bac_ip"}, {2, "bac_ipv6"}, {3, "bac_mstp"}, {4, "mod_tcp"}, {5, "mod_rtu"}},
      multicastScopes{{0, "FF01::BAC0"}, {1, "FF02::BAC0"}, {2, "FF04::BAC0"},
                      {3, "FF05::BAC0"}, {4, "FF08::BAC0"}, {5, "FF0E::BAC0"}} {}

void CommunicationConfig::setTypeFromName(const std::string &name) {
    static const std::map<std::string, uint32_t> kNames = {
        {"none", 0},   {"bac_ip", 1},  {"bac_ipv6", 2}, {"bac_mstp", 3},
        {"mb_tcp", 4}, {"mod_tcp", 4}, {"mb_rtu", 5},   {"mod_rtu", 5},
    };
    auto it = kNames.find(name);
    type = it == kNames.end() ? 0 : it->second;
}

std::string CommunicationConfig::getTypeName(int code) const {
    auto it = datalinkNames.find(code);
    return it == datalinkNames.end() ? "Out of range" : it->second;
}

std::string CommunicationConfig::getMulticastAddress(int index) const {
    auto it = multicastScopes.find(index);
    return it == multicastScopes.end() ? "Out of range" : it->second;
}

int CommunicationConfig::findTypeByName(const std::string &name) const {
    for (const auto &[code, text] : datalinkNames) {
        if (text == name) {
            return code;
        }
    }
    return 0;
}

int CommunicationConfig::findScopeByAddress(const std::string &address) const {
    for (const auto &[index, text] : multicastScopes) {
        if (text == address) {
            return index;
        }
    }
    return 0;
}

void CommunicationConfig::setDefaults() {
    type = 0;
    baudRate_ = 38400;
    udpPort_ = 47808;
    baseInstance_ = 0x3FFFFF;
    baseName_ = "Krevo Power Meter" + std::to_string(baseInstance_);
    bbmdAddress_ = "0.0.0.0";
    network_ = 65535;
    bbmdTtl_ = 300;
    macAddress_ = 127;
    maxMaster_ = 127;
    maxInfoFrames_ = 10;
    multicastScope_ = 1;
    bbmdIpv6Address_ = "00:00:00:00:00:00:00:00";
}
