#include "runtime/tqr/config_import.h"
#include "runtime/tqr/parse_support.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "meter/json.h"
#include "device/config.h"
#include "runtime/events.h"
#include "runtime/log.h"
#include "runtime/tqr/config_put.h"

JsonItem tqrReadBody(const char *body, size_t size, size_t count, const std::string &invalidLine, LogLevel level) {
    const std::string text(body, size * count);
    try {
        JsonItem root = jsonRead(text);
        tqrLogBody(6, text);
        return root;
    } catch (const std::invalid_argument &) {
        logMessage(level, invalidLine);
        tqrLogBody(1, text);
        throw;
    }
}

namespace {

JsonItem readBody(const char *body, size_t size, size_t count, const char *invalidLine, LogLevel level) {
    return tqrReadBody(body, size, count, invalidLine, level);
}

// A member that must be there: its "node not found" line and a raise when
// it is missing.
const JsonItem &need(const JsonItem &object, const std::string &key, const char *where) {
    try {
        return object.requireChild(key);
    } catch (const std::out_of_range &) {
        logMessage(LogLevel::Critical, key + " node not found in " + where);
        throw;
    }
}

// A whole number of up to 64 bits: the digits when the number is written as
// such, else its value truncated. False for anything that is not a number.
bool wholeNumber(const JsonItem &item, int64_t &value) {
    if (item.getType() != JsonItemType::Number) {
        return false;
    }
    const std::string text = item.getText();
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc() && end == text.data() + text.size()) {
        return true;
    }
    const double d = item.toDouble();
    if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18) {
        return false;
    }
    value = static_cast<int64_t>(d);
    return true;
}

int64_t needWholeNumber(const JsonItem &object, const std::string &key, const char *where) {
    int64_t value = 0;
    if (!wholeNumber(need(object, key, where), value)) {
        logMessage(LogLevel::Critical, key + " in " + where + " is not a number");
        throw std::invalid_argument(key + " is not a number");
    }
    return value;
}

int bodyLength(size_t size, size_t count) { return static_cast<int>(size * count); }

// The baud rate and the base instance go back to TQR in every PUT of the
// communication document, and read back as the same numbers only if 32
// unsigned bits hold them: a negative one, or one past them, would come back
// as another, so the one before stays.
bool unsigned32(const JsonItem &item, const std::string &key, const char *where, uint32_t &value) {
    const double number = item.toDouble();
    if (!(number >= 0 && number < 4294967296.0)) {
        logMessage(LogLevel::Critical, key + " in " + where + " out of range");
        return false;
    }
    value = static_cast<uint32_t>(number);
    return true;
}

} // namespace

// ---- communication ----

int runtimeFetchCommunication(const std::function<bool()> &pause) {
    auto &received = tqrResponseReceived[tqrFlagCommunication];
    for (;;) {
        if (shuttingDown.load()) {
            return 0;
        }
        // Cleared before each request: the flag then tells the site parser
        // whether this start-up holds TQR's configuration.
        received.store(0);
        tqrGet(tqrHost, tqrPort, "/api/v1/config/communication", tqrParseCommunication);
        if (received.load() != 0) {
            return 1;
        }
        // Without it Talvik would start with BACnet off and instance 0, and
        // the site parser would PUT those over TQR's: ask until it comes.
        logMessage(LogLevel::Emergency, "Retrying TQR connection in 1 second.");
        if (!pause()) {
            return 0;
        }
    }
}

int runtimeFetchCommunication() {
    return runtimeFetchCommunication([] { return runtimePause(std::chrono::milliseconds(1000)); });
}

int tqrParseCommunication(const char *body, size_t size, size_t count, void *) {
    const char *where = "/config/communication";
    const JsonItem root =
        readBody(body, size, count, "/api/v1/config/communication return isn't valid JSON", LogLevel::Emergency);
    // Filled on a copy and stored whole: a member missing halfway must not
    // leave half a configuration.
    CommunicationConfig next = communicationConfig;
    next.setTypeFromName(need(root, "type", where).getText());
    uint32_t value = 0;
    if (auto it = root.findChild("baudrate"); it != root.end() && unsigned32(*it, "baudrate", where, value)) {
        next.setBaudRate(value);
    }
    if (auto it = root.findChild("modbus"); it != root.end() && it->getType() == JsonItemType::Object) {
        // It goes back to TQR as it came in every PUT of this document, so
        // only a member that is JSON as it stands is kept; otherwise the one
        // kept before (or the defaults) goes back instead.
        if (jsonIsStrictText(it->toCompactText())) {
            next.setModbus(*it);
        } else {
            logMessage(LogLevel::Critical, "modbus in /config/communication isn't valid JSON");
        }
    }
    for (const JsonItem &member : root) {
        if (member.getName() != "bacnet") {
            continue;
        }
        const JsonItem bacnet = member.toObject();
        if (auto it = bacnet.findChild("baudrate"); it != bacnet.end() && unsigned32(*it, "baudrate", where, value)) {
            next.setBaudRate(value);
        }
        const auto number = [&](const char *key) { return static_cast<uint32_t>(need(bacnet, key, where).toInteger()); };
        next.setUdpPort(number("port"));
        if (unsigned32(need(bacnet, "baseInstance", where), "baseInstance", where, value)) {
            next.setBaseInstance(value);
        }
        std::string baseName = need(bacnet, "baseName", where).getText();
        if (baseName.empty()) {
            baseName = "Device " + std::to_string(next.getBaseInstance());
        }
        next.setBaseName(baseName);
        next.setNetwork(number("network"));
        next.setPhysicalNetwork(number("physicalnetwork"));
        next.setBbmdAddress(need(bacnet, "bbmdAddress", where).getText());
        next.setBbmdTtl(number("bbmdTtl"));
        next.setMacAddress(number("macAddress"));
        next.setMaxMaster(number("maxMaster"));
        next.setMaxInfoFrames(number("maxInfoFrames"));
        next.setBbmdIpv6Address(need(bacnet, "bbmdIPv6Address", where).getText());
        next.setMulticastScope(number("multiCastAddress"));
    }
    communicationConfig = next;
    tqrResponseReceived[tqrFlagCommunication].store(1);
    return bodyLength(size, count);
}

// ---- time ----

bool tqrLocalTimeOf(int64_t time, int64_t offset, std::tm &local, std::string &text) {
    // TQR's 64-bit seconds: a 32-bit time_t would refuse every time past 2038.
    static_assert(sizeof(time_t) == 8, "build with _TIME_BITS=64");
    int64_t sum = 0;
    if (__builtin_add_overflow(time, offset, &sum) || sum != static_cast<int64_t>(static_cast<time_t>(sum))) {
        return false;
    }
    // The offset is already in: broken down as UTC, not in the process's
    // own zone, which would add a zone a second time.
    const time_t t = static_cast<time_t>(sum);
    std::tm broken{};
    if (gmtime_r(&t, &broken) == nullptr) {
        return false;
    }
    char stamp[64];
    const size_t n = std::strftime(stamp, sizeof stamp, "%FT%T", &broken);
    if (n == 0) {
        return false;
    }
    // "%z" of a UTC breakdown would read +0000: the zone is TQR's offset.
    const int64_t magnitude = offset < 0 ? -offset : offset;
    char zone[32];
    std::snprintf(zone, sizeof zone, "%c%02lld%02lld", offset < 0 ? '-' : '+',
                  static_cast<long long>(magnitude / 3600), static_cast<long long>(magnitude / 60 % 60));
    local = broken;
    text = std::string(stamp, n) + zone;
    return true;
}

int tqrParseTime(const char *body, size_t size, size_t count, void *) {
    const char *where = "/time";
    const JsonItem root = readBody(body, size, count, "/api/v1/time return isn't valid JSON", LogLevel::Critical);
    if (root.findChild("time") == root.end() || root.findChild("timezoneOffset") == root.end()) {
        logMessage(LogLevel::Critical, "time node not found in /time");
        throw std::out_of_range("time node not found");
    }
    const int64_t time = needWholeNumber(root, "time", where);
    const int64_t offset = needWholeNumber(root, "timezoneOffset", where);
    TqrTime next;
    if (offset < -86400 || offset > 86400 || !tqrLocalTimeOf(time, offset, next.tqrLocalTime, next.tqrTimeText)) {
        logMessage(LogLevel::Critical, "time in /time out of range");
        throw std::invalid_argument("time out of range");
    }
    next.tqrTimezoneMinutes = static_cast<int>(offset / 60);
    next.received = true;
    tqrStoreTime(next);
    logMessage(LogLevel::Debug, "TQR says it's " + next.tqrTimeText);
    tqrResponseReceived[tqrFlagTime].store(1);
    return bodyLength(size, count);
}

// ---- identity and site ----

int tqrParseStatic(const char *body, size_t size, size_t count, void *) {
    const char *where = "/config/static";
    const JsonItem root =
        readBody(body, size, count, "/api/v1/config/static return isn't valid JSON", LogLevel::Emergency);
    const int model = need(root, "model", where).toInteger();
    char text[40];
    std::snprintf(text, sizeof text, "ZOR%02dKEP", model);
    logMessage(LogLevel::Notice, std::string("Model is ") + text);
    staticConfig.setModel(text);
    const std::string serial = need(root, "serial", where).getText();
    logMessage(LogLevel::Notice, "S/N is " + serial);
    staticConfig.setSerial(serial);
    const std::string version = need(root, "version", where).getText();
    logMessage(LogLevel::Notice, "Version is " + version);
    staticConfig.setVersion(version);
    tqrResponseReceived[tqrFlagStatic].store(1);
    return bodyLength(size, count);
}

namespace {

void applySiteInfo(const JsonItem &info) {
    const char *where = "/config/info";
    // Every text is read before one is stored.
    std::vector<std::string> texts;
    for (const char *key : {"name", "site", "addr1", "addr2", "loc1", "loc2", "panel", "type"}) {
        texts.push_back(need(info, key, where).getText());
    }
    std::string name = texts[0];
    const std::string &site = texts[1], &addr1 = texts[2], &addr2 = texts[3], &loc1 = texts[4], &loc2 = texts[5],
                      &panel = texts[6], &type = texts[7];
    logMessage(LogLevel::Notice, "Panelname is " + name);
    logMessage(LogLevel::Notice, "Site is " + site);
    logMessage(LogLevel::Notice, "Address is " + addr1 + " " + addr2);
    logMessage(LogLevel::Notice, "Location is " + loc1 + " " + loc2);
    logMessage(LogLevel::Notice, "Panel # is " + panel);
    logMessage(LogLevel::Notice, "Panel type is " + type);
    if (name.empty()) {
        name = "No Panel Name";
    }
    siteInfo.setName(name);
    // TQR's root device name follows the site name.
    if (name != communicationConfig.getBaseName()) {
        communicationConfig.setBaseName(name);
        if (tqrResponseReceived[tqrFlagCommunication].load() != 0) {
            tqrPutCommunication(tqrHost, tqrPort, "/api/v1/config/communication", communicationConfig, tqrPutDone);
        } else {
            // What the records hold did not come from TQR in this start-up:
            // sending it would overwrite TQR's settings.
            logMessage(LogLevel::Warning,
                       "Site name not sent to TQR: its communication configuration did not arrive");
        }
    }
    siteInfo.setSite(site);
    siteInfo.setAddr1(addr1);
    siteInfo.setAddr2(addr2);
    siteInfo.setLoc1(loc1);
    siteInfo.setLoc2(loc2);
    siteInfo.setPanel(panel);
    siteInfo.setType(type);
}

// The meter's defaults are only logged; a missing one costs its line only.
void logDefaults(const JsonItem &defaults) {
    const struct {
        const char *key;
        const char *line;
    } items[] = {{"backlight", "Backlight level is "},
                 {"powerFactorSign", "Power factor sign is "},
                 {"frequency", "Frequency is "},
                 {"demandWindow", "Demand Window is "}};
    for (const auto &item : items) {
        auto it = defaults.findChild(item.key);
        if (it == defaults.end()) {
            logMessage(LogLevel::Critical, std::string(item.key) + " node not found in /config/info");
            continue;
        }
        logMessage(LogLevel::Notice, item.line + std::to_string(it->toInteger()));
    }
}

} // namespace

int tqrParseInfo(const char *body, size_t size, size_t count, void *) {
    const JsonItem root =
        readBody(body, size, count, "/api/v1/config/info return isn't valid JSON", LogLevel::Emergency);
    for (const JsonItem &member : root) {
        const std::string name = member.getName();
        if (name == "siteInfo") {
            applySiteInfo(member.toObject());
        } else if (name == "defaults") {
            logDefaults(member.toObject());
        }
    }
    tqrResponseReceived[tqrFlagInfo].store(1);
    return bodyLength(size, count);
}

int tqrParseEthernet(const char *body, size_t size, size_t count, void *) {
    const JsonItem root =
        readBody(body, size, count, "/api/v1/config/ethernet return isn't valid JSON", LogLevel::Emergency);
    const JsonItem object = root.toObject();
    logMessage(LogLevel::Notice, stringToBool(tqrNodeText(object, "dhcp")) ? "DHCP is enabled" : "DHCP is disabled");
    logMessage(LogLevel::Notice, "MAC ID: " + tqrNodeText(object, "macAddress"));
    logMessage(LogLevel::Notice, "IP Address: " + tqrNodeText(object, "ipAddress"));
    logMessage(LogLevel::Notice, "Subnet Mask: " + tqrNodeText(object, "subnetMask"));
    logMessage(LogLevel::Notice, "Def. Gateway: " + tqrNodeText(object, "gatewayAddress"));
    const std::string ipv6 = tqrNodeText(object, "ipv6Address");
    communicationConfig.setIpv6Address(ipv6);
    logMessage(LogLevel::Notice, "IPv6 Address :" + ipv6);
    tqrResponseReceived[tqrFlagEthernet].store(1);
    return bodyLength(size, count);
}
