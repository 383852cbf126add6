#include "runtime/tqr/set_import.h"

#include <cmath>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>

#include "bacnet/enums.h"
#include "meter/json.h"
#include "device/config.h"
#include "runtime/log.h"
#include "runtime/tqr/parse_support.h"
#include "runtime/tqr/transport.h"

namespace {

constexpr double kFloatMin = std::numeric_limits<float>::min();
constexpr double kFloatMax = std::numeric_limits<float>::max();
constexpr double kDoubleMin = std::numeric_limits<double>::min();
constexpr double kDoubleMax = std::numeric_limits<double>::max();
constexpr double kTwoPi = 6.283185307179586;
constexpr uint32_t kUnitsRadians = 103;
// The largest instance a device may have; 4194303 means "unassigned".
constexpr int64_t kLastDeviceInstance = 4194302;

const char *const kMappingWhere = "/data/mapping";

// The notification class whose recipients and priorities the object's
// events use.
void linkToClass(BACnetObject &object, NotificationClass &nc) {
    if (auto *measured = dynamic_cast<MeasuredValue *>(&object)) {
        measured->setNotificationClassLink(&nc);
    } else if (auto *converter = dynamic_cast<PulseConverter *>(&object)) {
        converter->setNotificationClassLink(&nc);
    }
}

void setRange(BACnetObject &object, double min, double max) {
    object.setMinPresValue(min);
    object.setMaxPresValue(max);
}

// The first of keys that the object lacks, or null. Every key of an entry is
// checked before anything of it is built, so that a bad entry leaves nothing
// half made.
const char *missingKey(const JsonItem &object, std::initializer_list<const char *> keys) {
    for (const char *key : keys) {
        if (object.findChild(key) == object.end()) {
            return key;
        }
    }
    return nullptr;
}

void logSkipped(const std::string &what, size_t position, const std::string &why) {
    logMessage(LogLevel::Critical,
               what + " " + std::to_string(position) + " in " + kMappingWhere + " skipped: " + why);
}

// ---- loads ----

struct Range {
    double min, max, cov;
    double deadband = 0.0;
    bool absolute = false;
};

// Limits and COV increment of the totals and energies by their place in
// the load's first table.
Range totalsRange(const BACnetObject &object) {
    const uint32_t instance = object.getInstance();
    if (object.getObjectType() == kObjLargeAnalogValue) {
        switch (instance) {
            case 2:
            case 3:
                return {kDoubleMin, kDoubleMax, 1};
            case 6:
            case 12:
            case 13:
                return {0, kFloatMax, 1};
            default:
                return {0, kDoubleMax, 1};
        }
    }
    switch (instance) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
            return {0, 10000, 1};
        case 6:
            return {kFloatMin, kFloatMax, 1};
        case 7:
            return {45, 65, 1};
        case 8:
        case 10:
        case 13:
            return {kFloatMin, kFloatMax, 5};
        case 9:
            return {0, 6000, 1};
        case 11:
            return {-1, 1, 0.1, 0.1, true};
        case 12:
            return {-1, 1, 0.1, 0.1};
        case 14:
            return {0, 100, 1, 10};
        case 15:
            return {0, kDoubleMax, 1};
        case 16:
            return {0, 100, 1};
        case 141:
        case 142:
            return {kFloatMin, kFloatMax, 1};
        default:  // 17, 140, 143..152
            return {0, kFloatMax, 1};
    }
}

void configureTotals(Load &load) {
    NotificationClass &nc = load.notificationClass();
    objectMapAdd(load.getObjectMap(), &nc);
    const uint32_t vdi = static_cast<uint32_t>(load.getVdi());
    for (size_t p = 0; p < Load::kTotalObjectCount; ++p) {
        BACnetObject &object = *load.object(p);
        object.setDeviceInstance(vdi);
        if (&object != &nc) {
            const Range r = totalsRange(object);
            setRange(object, r.min, r.max);
            object.setCovIncrement(r.cov);
            if (r.deadband != 0.0) {
                object.setDeadband(r.deadband);
            }
            if (r.absolute) {
                object.setUseAbsoluteValue(true);
            }
            linkToClass(object, nc);
        }
        objectMapAdd(load.getObjectMap(), &object);
    }
    const std::string prefix = load.getInput() == 0 ? "Vin1 " : "Vin2 ";
    for (uint32_t instance = 1; instance <= 7; ++instance) {
        AnalogInput *ai = load.analogInput(instance);
        ai->setObjectName(prefix + ai->getObjectName());
    }
}

// The current rating of a CT type in amperes; false for a type the meter
// does not know.
bool ctRating(int type, const JsonItem &ct, double &rating) {
    static const double ratings[] = {kFloatMax, 20, 50, 100, 200, 400, 1500, 3000, 6000};
    if (type >= 0 && type <= 8) {
        rating = ratings[type];
        return true;
    }
    if (type == 9) {
        rating = ct.requireChild("maxRating").toDouble();
        return true;
    }
    return false;
}

// The phase angle's range and COV increment by its units: radians or
// degrees-phase, the two units a client may give it.
void configurePhaseAngle(BACnetObject &object, double min) {
    if (object.getUnits() == kUnitsRadians) {
        object.setCovIncrement(kTwoPi / 10);
        setRange(object, min * kTwoPi, kTwoPi);
    } else {
        object.setCovIncrement(static_cast<double>(57.29578f) * M_PI * 0.1);
        setRange(object, min * 360, 360);
    }
    object.setUnitsReadOnly(false);
}

void configureCtGroup(Load &load, int group, const JsonItem &ct, int type, bool haveRating, double rating) {
    const uint32_t channel = static_cast<uint32_t>(ct.requireChild("channel").toInteger());
    const bool active = ct.requireChild("active").toBoolean();
    NotificationClass &nc = load.notificationClass();
    const uint32_t first = 30 * static_cast<uint32_t>(group);
    for (uint32_t p = 0; p <= 22; ++p) {
        tqrConfigureCtObject(load, channel, *load.analogInput(first + p), active);
    }
    BinaryValue &polarity = *load.polarity(group);
    tqrConfigureCtObject(load, channel, polarity, active);
    polarity.setPresentValue(ct.requireChild("inverse").toBoolean() ? 1 : 0);
    polarity.setDeviceInstance(static_cast<uint32_t>(load.getVdi()));

    for (uint32_t p = 0; p <= 22; ++p) {
        AnalogInput &ai = *load.analogInput(first + p);
        linkToClass(ai, nc);
        if (p == 0) {
            if (!active) {
                continue;
            }
            if (!haveRating) {
                logMessage(LogLevel::Critical, "CT type " + std::to_string(type) + " of load #" +
                                                   std::to_string(load.getId()) +
                                                   " is unknown: no current limits");
                continue;
            }
            setRange(ai, 0, rating);
            AnalogInput &total = *load.analogInput(9);
            total.setMaxPresValue(total.getMaxPresValue() + rating);
            total.setMinPresValue(0);
            total.setCovIncrement((std::fabs(total.getMinPresValue()) + total.getMaxPresValue()) * 0.1);
        } else if (p == 5) {
            setRange(ai, 0, 100);
        } else if (p == 6 || p == 7) {
            setRange(ai, -1, 1);
        } else if (p == 20) {
            configurePhaseAngle(ai, 0);
            ai.setNotificationClass(1);
        } else if (p == 21 || p == 22) {
            ai.setNotificationClass(1);
            setRange(ai, 0, kFloatMax);
        } else if (p >= 11) {
            setRange(ai, 0, kFloatMax);
        } else {
            setRange(ai, kFloatMin, kFloatMax);
        }
    }
}

void importLoad(const JsonItem &entry, size_t position) {
    if (const char *key = missingKey(entry, {"active"})) {
        logSkipped("Load", position, std::string(key) + " node not found");
        return;
    }
    if (!entry.requireChild("active").toBoolean()) {
        return;
    }
    if (const char *key = missingKey(entry, {"id", "vdi", "name", "input", "cts"})) {
        logSkipped("Load", position, std::string(key) + " node not found");
        return;
    }
    const double vdi = entry.requireChild("vdi").toDouble();
    if (!(vdi >= 0 && vdi <= kLastDeviceInstance) || vdi != std::floor(vdi) ||
        static_cast<uint32_t>(vdi) == communicationConfig.getBaseInstance()) {
        logSkipped("Load", position,
                   "vdi " + entry.requireChild("vdi").getText() + " is no virtual device instance");
        return;
    }
    if (loadMapping.count(static_cast<int32_t>(vdi)) != 0) {
        logSkipped("Load", position, "vdi " + entry.requireChild("vdi").getText() + " is taken already");
        return;
    }
    auto load = std::make_unique<Load>();
    load->setId(entry.requireChild("id").toInteger());
    load->setVdi(static_cast<int32_t>(vdi));
    load->setName(entry.requireChild("name").getText());
    load->setActive(true);
    load->setInput(entry.requireChild("input").toInteger());
    configureTotals(*load);

    const JsonItem cts = entry.requireChild("cts").toArray();
    size_t i = 0;
    for (const JsonItem &item : cts) {
        const size_t k = i++;
        if (k > 2) {
            break;  // the meter has three CT groups per load
        }
        const JsonItem ct = item.toObject();
        if (const char *key = missingKey(ct, {"type", "channel", "active", "inverse"})) {
            logSkipped("CT", k,
                       std::string(key) + " node not found (load #" + std::to_string(load->getId()) + ")");
            continue;
        }
        const int type = ct.requireChild("type").toInteger();
        if (type == 9 && ct.findChild("maxRating") == ct.end()) {
            logSkipped("CT", k, "maxRating node not found (load #" + std::to_string(load->getId()) + ")");
            continue;
        }
        double rating = 0;
        const bool haveRating = ctRating(type, ct, rating);
        configureCtGroup(*load, static_cast<int>(k + 1), ct, type, haveRating, rating);
    }
    loadMapping.emplace(static_cast<int32_t>(vdi), std::move(load));
}

// ---- voltage inputs ----

const char *const kInputNames[13] = {
    "Line 1 Measured Line-Neutral Voltage (L1-N)",
    "Line 2 Measured Line-Neutral Voltage (L2-N)",
    "Line 3 Measured Line-Neutral Voltage (L3-N)",
    "Line 1 - Line 2 Measured Voltage (L1-L2)",
    "Line 2 - Line 3 Measured Voltage (L2-L3)",
    "Line 3 - Line 1 Measured Voltage (L3-L1)",
    "Line 1 Phase Angle",
    "Line 2 Phase Angle",
    "Line 3 Phase Angle",
    "Line 1 Harmonic Distortion",
    "Line 2 Harmonic Distortion",
    "Line 3 Harmonic Distortion",
    "Frequency",
};

const char *const kServiceTexts[] = {
    "", "4-Wire wye", "3-Wire delta", "Reserved", "3-Wire single phase (split-phase)", "2-Wire single phase"};

// Names, instances, ranges, links and registration of the objects of the
// input at position 0 or 1. rootClass is the class the root device shows.
void configureInput(Input &input, uint32_t position, NotificationClass &rootClass) {
    const std::string prefix = position == 0 ? "Vin1 " : "Vin2 ";
    const uint32_t offset = position == 0 ? 0 : 20;
    const uint32_t base = communicationConfig.getBaseInstance();
    for (size_t p = 0; p < 13; ++p) {
        AnalogInput &ai = *input.analogInput(p);
        ai.setObjectName(prefix + kInputNames[p]);
        ai.setInstance(static_cast<uint32_t>(p + 1 + offset));
        if (p < 6) {
            setRange(ai, 0, 100000);
            ai.setCovIncrement(1);
        } else if (p < 9) {
            configurePhaseAngle(ai, -1);
        } else if (p < 12) {
            setRange(ai, 0, 100);
            ai.setCovIncrement(1);
        } else {
            setRange(ai, 45, 65);
            ai.setCovIncrement(1);
        }
    }
    LargeAnalogValue &energy = input.totalEnergy();
    energy.setInstance(position == 0 ? 1 : 2);
    energy.setObjectName(prefix + "Total Energy Usage - FP64");
    energy.setCovIncrement(1);
    AnalogInput &energySingle = input.totalEnergySingle();
    energySingle.setInstance(position == 0 ? 14 : 34);
    energySingle.setObjectName(prefix + "Total Energy Usage");
    energySingle.setCovIncrement(1);
    MultiStateValue &service = input.serviceType();
    service.setInstance(position == 0 ? 1 : 2);
    service.setObjectName(prefix + "Service Type");
    size_t texts = 0;
    for (const char *text : kServiceTexts) {
        texts = service.addStateText(text, static_cast<uint8_t>(texts));
    }
    service.writePresentValue(static_cast<uint32_t>(input.getService()));

    NotificationClass &own = input.notificationClass();
    for (size_t p = 0; p < Input::kObjectCount; ++p) {
        BACnetObject &object = *input.object(p);
        if (&object == &own) {
            continue;
        }
        object.setDeviceInstance(base);
        linkToClass(object, &object == &energySingle ? own : rootClass);
        objectMapAdd(deviceObjectMap, &object);
    }
    if (&rootClass == &own) {
        objectMapAdd(deviceObjectMap, &own);
    }
}

void importInput(const JsonItem &entry, uint32_t position) {
    if (const char *key = missingKey(entry, {"active"})) {
        logSkipped("Input", position, std::string(key) + " node not found");
        return;
    }
    if (!entry.requireChild("active").toBoolean()) {
        return;
    }
    if (const char *key = missingKey(entry, {"id", "voltage", "service", "lines"})) {
        logSkipped("Input", position, std::string(key) + " node not found");
        return;
    }
    const JsonItem lines = entry.requireChild("lines").toArray();
    bool lineActive[3] = {false, false, false};
    for (size_t j = 0; j < 3; ++j) {
        if (j >= lines.getSize() || lines.getChildAt(j).findChild("active") == lines.getChildAt(j).end()) {
            logSkipped("Input", position, "line " + std::to_string(j + 1) + " has no active node");
            return;
        }
        lineActive[j] = lines.getChildAt(j).requireChild("active").toBoolean();
    }
    auto input = std::make_unique<Input>();
    input->setId(entry.requireChild("id").toInteger());
    input->setActive(true);
    input->setVoltage(entry.requireChild("voltage").toInteger());
    input->setService(entry.requireChild("service").toInteger());
    input->setLine1Active(lineActive[0]);
    input->setLine2Active(lineActive[1]);
    input->setLine3Active(lineActive[2]);
    if (position <= 1) {
        // The root device shows one notification class, the first input's.
        // A second input without a first one shows its own instead.
        auto first = inputMapping.find(0);
        NotificationClass &rootClass = position == 1 && first != inputMapping.end()
                                           ? first->second->notificationClass()
                                           : input->notificationClass();
        configureInput(*input, position, rootClass);
    }
    inputMapping.emplace(position, std::move(input));
}

}  // namespace

void tqrConfigureCtObject(Load &load, uint32_t channel, BACnetObject &object, bool) {
    if (channel < tqrFirstCtChannel || channel > tqrLastCtChannel) {
        return;
    }
    const std::string number = std::to_string(channel - 5);
    object.setCtNumber(static_cast<int16_t>(channel - 5));
    std::string name = object.getObjectName();
    if (name.size() >= 8) {
        name.replace(4, 4, number);
        object.setObjectName(name);
    }
    object.setDeviceInstance(static_cast<uint32_t>(load.getVdi()));
    objectMapAdd(load.getObjectMap(), &object);
}

int tqrParseMapping(const char *body, size_t size, size_t count, void *) {
    const JsonItem root =
        tqrReadBody(body, size, count, "/api/v1/config/mapping return isn't valid JSON", LogLevel::Emergency);
    std::string version = "0";
    if (auto it = root.findChild("version"); it != root.end()) {
        version = it->getText();
    } else {
        logMessage(LogLevel::Notice, "No version in /data/mapping.");
    }
    logMessage(LogLevel::Debug, "Using mapping version v" + version);

    if (auto it = root.findChild("loads"); it != root.end()) {
        const JsonItem loads = it->toArray();
        size_t position = 0;
        for (const JsonItem &entry : loads) {
            importLoad(entry.toObject(), position++);
        }
    } else {
        logMessage(LogLevel::Notice, "No loads in /data/mapping.");
    }
    if (auto it = root.findChild("inputs"); it != root.end()) {
        const JsonItem inputs = it->toArray();
        uint32_t position = 0;
        for (const JsonItem &entry : inputs) {
            importInput(entry.toObject(), position++);
        }
    } else {
        logMessage(LogLevel::Notice, "No inputs in /data/mapping.");
    }
    tqrResponseReceived[tqrFlagMapping].store(1);
    return static_cast<int>(size * count);
}

// ---- pulse configuration ----

namespace {

// A number's leading decimal digits, as the pulse configuration gives them.
int leadingInt(const std::string &text) {
    return std::stoi(text);
}

// A number, fraction included ("0.01" is a hundredth).
double leadingNumber(const std::string &text) {
    const double v = std::stod(text);
    if (!std::isfinite(v)) {
        throw std::invalid_argument("not a finite number");
    }
    return v;
}

}  // namespace

int tqrParsePulseConfig(const char *body, size_t size, size_t count, void *) {
    const JsonItem root =
        tqrReadBody(body, size, count, "/api/v1/config/pulse return isn't valid JSON", LogLevel::Emergency);
    const JsonItem entries = root.toArray();
    for (const JsonItem &item : entries) {
        const JsonItem entry = item.toObject();
        const bool active = stringToBool(tqrNodeText(entry, "active"));
        const bool out = stringToBool(tqrNodeText(entry, "out"));
        if (!active || out) {
            continue;
        }
        auto pulse = std::make_unique<PulseInput>();
        const std::string idText = tqrNodeText(entry, "id");
        const int id = leadingInt(idText);
        pulse->setId(static_cast<uint8_t>(id));
        PulseConverter &converter = pulse->converter();
        converter.setInstance(static_cast<uint32_t>(id) + 1);
        converter.setObjectName("Pulse Input #" + std::to_string(static_cast<int64_t>(id) + 1));
        converter.setDeviceInstance(communicationConfig.getBaseInstance());
        logMessage(LogLevel::Notice, "Pulse ID is " + idText);
        pulse->setOut(out);
        logMessage(LogLevel::Notice, "Pulse is output: " + boolToString(out));
        pulse->setActive(active);
        logMessage(LogLevel::Notice, "Pulse is active: " + boolToString(active));
        const std::string type = tqrNodeText(entry, "type");
        pulse->setType(type);
        logMessage(LogLevel::Notice, "Pulse type is " + type);
        const std::string param = tqrNodeText(entry, "param");
        converter.setUnits(static_cast<uint32_t>(leadingInt(param)));
        logMessage(LogLevel::Notice, "Pulse units is " + param);
        const std::string scaler = tqrNodeText(entry, "scaler");
        converter.setScale(leadingNumber(scaler));
        logMessage(LogLevel::Notice, "Pulse scaler is " + scaler);
        const std::string width = tqrNodeText(entry, "pulseWidth");
        pulse->setPulseWidth(leadingInt(width));
        logMessage(LogLevel::Notice, "Pulse width is " + width);
        // The class the root device shows: the first voltage input's.
        if (!inputMapping.empty()) {
            linkToClass(converter, inputMapping.begin()->second->notificationClass());
        }
        const int32_t key = pulse->getId();
        if (pulseMapping.count(key) != 0) {
            continue;
        }
        PulseConverter *registered = &pulse->converter();
        pulseMapping.emplace(key, std::move(pulse));
        objectMapAdd(deviceObjectMap, registered);
    }
    tqrResponseReceived[tqrFlagPulseConfig].store(1);
    return static_cast<int>(size * count);
}
