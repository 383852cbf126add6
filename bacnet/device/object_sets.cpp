#include "device/object_sets.h"

#include "bacnet/enums.h"
#include "objects/object_threads.h"

#include <vector>

std::map<int32_t, std::unique_ptr<Load>> loadMapping;
std::map<uint32_t, std::unique_ptr<Input>> inputMapping;
std::map<int32_t, std::unique_ptr<PulseInput>> pulseMapping;

Load *appFindLoad(int32_t device) {
    auto it = loadMapping.find(device);
    return it == loadMapping.end() ? nullptr : it->second.get();
}

void appSetLoadObjectMaps() {
    setLoadObjectMapsSource([] {
        std::vector<const ObjectMap *> maps;
        for (const auto &[vdi, load] : loadMapping) {
            maps.push_back(&load->getObjectMap());
        }
        return maps;
    });
}

namespace {

struct Row {
    uint32_t instance;
    const char *name;
    uint32_t units;
};

// Engineering units.
constexpr uint32_t kAmperes = 3;
constexpr uint32_t kVolts = 5;
constexpr uint32_t kKva = 9;
constexpr uint32_t kKvar = 12;
constexpr uint32_t kDegreesPhase = 14;
constexpr uint32_t kPowerFactor = 15;
constexpr uint32_t kKwh = 19;
constexpr uint32_t kHertz = 27;
constexpr uint32_t kKw = 48;
constexpr uint32_t kNoUnits = 95;
constexpr uint32_t kPercent = 98;
constexpr uint32_t kKvah = 240;
constexpr uint32_t kKvarh = 243;

const Row loadTotals[17] = {
    {1, "Line 1 Measured Line-Neutral Voltage (L1-N)", kVolts},
    {2, "Line 2 Measured Line-Neutral Voltage (L2-N)", kVolts},
    {3, "Line 3 Measured Line-Neutral Voltage (L3-N)", kVolts},
    {4, "Line 1 - Line 2 Measured Voltage (L1-L2)", kVolts},
    {5, "Line 2 - Line 3 Measured Voltage (L2-L3)", kVolts},
    {6, "Line 3 - Line 1 Measured Voltage (L3-L1)", kVolts},
    {7, "Frequency", kHertz},
    {8, "Total Real Power (kW)", kKw},
    {9, "Total Amperage (A)", kAmperes},
    {10, "Total Reactive Power (kvar)", kKvar},
    {11, "Total Apparent Power Factor (aPF)", kPowerFactor},
    {12, "Total Displacement Power Factor (dPF)", kPowerFactor},
    {13, "Total Apparent Power (kVA)", kKva},
    {14, "Total Harmonic Distortion (THD)", kPercent},
    {15, "Total Peak Demand (PD)", kKw},
    {16, "3-phase Current Unbalance", kPercent},
    {17, "Total Present Demand", kKw},
};

const Row loadEnergies[13] = {
    {1, "Total Kilowatt Hours (kWh) - FP64", kKwh},
    {2, "Total Kilovolt Ampere Hours (kVAh) - FP64", kKvah},
    {3, "Total Kilovolt Ampere Reactive Hours (kvarh)  - FP64", kKvarh},
    {4, "Total Export Kilowatt Hours (kWh-)  - FP64", kKwh},
    {5, "Total Import Kilowatt Hours (kWh+)  - FP64", kKwh},
    {6, "Total Export Kilovolt Ampere Hours (kVAh-)  - FP64", kKvah},
    {7, "Total Import Kilovolt Ampere Hours (kVAh+)  - FP64", kKvah},
    {8, "Total Reactive Energy Accumulated in Quadrant 3 (kvarh_Q3)  - FP64", kKvarh},
    {9, "Total Reactive Energy Accumulated in Quadrant 4 (kvarh_Q4)  - FP64", kKvarh},
    {10, "Total Reactive Energy Accumulated in Quadrant 2 (kvarh_Q2)  - FP64", kKvarh},
    {11, "Total Reactive Energy Accumulated in Quadrant 1 (kvarh_Q1)  - FP64", kKvarh},
    {12, "Total Reactive Energy Delivered (kvarh+)  - FP64", kKvarh},
    {13, "Total Reactive Energy Received (kvarh-)  - FP64", kKvarh},
};

const Row loadEnergiesSingle[13] = {
    {140, "Total Kilowatt Hours (kWh)", kKwh},
    {141, "Total Kilovolt Ampere Hours (kVAh)", kKvah},
    {142, "Total Kilovolt Ampere Reactive Hours (kvarh)", kKvarh},
    {143, "Total Export Kilowatt Hours (kWh-)", kKwh},
    {144, "Total Import Kilowatt Hours (kWh+)", kKwh},
    {145, "Total Export Kilovolt Ampere Hours (kVAh-)", kKvah},
    {146, "Total Import Kilovolt Ampere Hours (kVAh+)", kKvah},
    {147, "Total Reactive Energy Accumulated in Quadrant 3 (kvarh_Q3)", kKvarh},
    {148, "Total Reactive Energy Accumulated in Quadrant 4 (kvarh_Q4)", kKvarh},
    {149, "Total Reactive Energy Accumulated in Quadrant 2 (kvarh_Q2)", kKvarh},
    {150, "Total Reactive Energy Accumulated in Quadrant 1 (kvarh_Q1)", kKvarh},
    {151, "Total Reactive Energy Delivered (kvarh+)", kKvarh},
    {152, "Total Reactive Energy Received (kvarh-)", kKvarh},
};

// One CT group's analog inputs by position; group 1 names two of them
// differently. "{id}" becomes the CT number at import.
struct GroupRow {
    const char *name;
    const char *firstGroupName;  // null: the same in every group
    uint32_t units;
};

const GroupRow groupRows[23] = {
    {"CT# {id} Amperage (A)", nullptr, kAmperes},
    {"CT# {id} Demand ", nullptr, kKw},
    {"CT# {id} Real Power (kW)", nullptr, kKw},
    {"CT# {id} Apparent Power (kVA)", nullptr, kKva},
    {"CT# {id} Reactive Power (kvar)", nullptr, kKvar},
    {"CT# {id} Harmonic Distortion", "CT# {id} Harmonic Distortion (HD)", kPercent},
    {"CT# {id} Apparent Power Factor (aPF)", nullptr, kPowerFactor},
    {"CT# {id} Displacement Power Factor (dPF)", nullptr, kPowerFactor},
    {"CT# {id} Watt Hours (kWh)", "CT# {id} Kilowatt Hours (kWh)", kKwh},
    {"CT# {id} Kilovolt Ampere Reactive Hours (kvarh)", nullptr, kKvar},
    {"CT# {id} Kilovolt Ampere Hours (kVAh)", nullptr, kKvah},
    {"CT# {id} Export Kilowatt Hours (kWh-)", nullptr, kKwh},
    {"CT# {id} Import Kilowatt Hours (kWh+)", nullptr, kKwh},
    {"CT# {id} Export Kilovolt Ampere Hours (kVAh-)", nullptr, kKvah},
    {"CT# {id} Import Kilovolt Ampere Hours (kVAh+)", nullptr, kKvah},
    {"CT# {id} Reactive Energy Accumulated in Quadrant 3 (kvarh_Q3)", nullptr, kKvarh},
    {"CT# {id} Reactive Energy Accumulated in Quadrant 4 (kvarh_Q4)", nullptr, kKvarh},
    {"CT# {id} Reactive Energy Accumulated in Quadrant 2 (kvarh_Q2)", nullptr, kKvarh},
    {"CT# {id} Reactive Energy Accumulated in Quadrant 1 (kvarh_Q1)", nullptr, kKvarh},
    {"CT# {id} Peak Demand", nullptr, kKw},
    {"CT# {id} Phase Angle", nullptr, kDegreesPhase},
    {"CT# {id} Reactive Energy Delivered (kvarh+)", nullptr, kKvarh},
    {"CT# {id} Reactive Energy Received (kvarh-)", nullptr, kKvarh},
};

const Row inputAnalogInputs[13] = {
    {1, "Line 1 Measured Line-Neutral Voltage", kVolts},
    {2, "Line 2 Measured Line-Neutral Voltage", kVolts},
    {3, "Line 3 Measured Line-Neutral Voltage", kVolts},
    {4, "Line 1 - Line 2 Measured Voltage", kVolts},
    {5, "Line 2 - Line 3 Measured Voltage", kVolts},
    {6, "Line 3 - Line 1 Measured Voltage", kVolts},
    {7, "Line 1 Phase Angle", kDegreesPhase},
    {8, "Line 2 Phase Angle", kDegreesPhase},
    {9, "Line 3 Phase Angle", kDegreesPhase},
    {10, "Line 1 Harmonic Distortion", kPercent},
    {11, "Line 2 Harmonic Distortion", kPercent},
    {12, "Line 3 Harmonic Distortion", kPercent},
    {13, "Frequency", kHertz},
};

// Positions in a Load's table.
constexpr size_t kNotificationClassPosition = 17;
constexpr size_t kFirstEnergyPosition = 18;
constexpr size_t kFirstSingleEnergyPosition = 31;

// Positions in an Input's table.
constexpr size_t kInputTotalEnergy = 13;
constexpr size_t kInputTotalEnergySingle = 14;
constexpr size_t kInputServiceType = 15;
constexpr size_t kInputNotificationClass = 16;

constexpr const char *kLoadsDirectory = "/config/talvik/loads/";
constexpr const char *kInputsDirectory = "/config/talvik/inputs/";

}  // namespace

// ---- ObjectSet ----

std::string ObjectSet::stateDirectory() const {
    return directory_ + std::to_string(static_cast<uint32_t>(id_));
}

int ObjectSet::saveObjects() {
    const std::string directory = stateDirectory();
    for (const auto &[id, object] : map_) {
        object->saveConfig(directory);
    }
    return 1;
}

int ObjectSet::saveObject(uint32_t objectId) {
    BACnetObject *object = objectMapFindId(map_, objectId);
    if (object == nullptr) {
        return 0;
    }
    object->saveConfig(stateDirectory());
    return 1;
}

int ObjectSet::loadObjects() {
    const std::string directory = stateDirectory();
    for (const auto &[id, object] : map_) {
        object->loadConfig(directory);
    }
    return 1;
}

void ObjectSet::clearCovSubscriptions() {
    for (const auto &[id, object] : map_) {
        object->clearCovSubscriptions();
    }
}

void ObjectSet::clearAlarmEntries() {
    for (const auto &[id, object] : map_) {
        object->clearAlarmEntries();
    }
}

// ---- Load ----

Load::Load() : ObjectSet(kLoadsDirectory, objectMap_) {
    for (const Row &r : loadTotals) {
        objects_.emplace<AnalogInput>(r.instance, r.name, r.units);
    }
    objects_.emplace<NotificationClass>(1, "Event Notification Class", 1);
    for (const Row &r : loadEnergies) {
        objects_.emplace<LargeAnalogValue>(r.instance, r.name, r.units);
    }
    for (const Row &r : loadEnergiesSingle) {
        objects_.emplace<AnalogInput>(r.instance, r.name, r.units);
    }
    for (uint32_t g = 1; g <= 3; ++g) {
        for (uint32_t p = 0; p < 23; ++p) {
            const GroupRow &r = groupRows[p];
            const char *name = g == 1 && r.firstGroupName != nullptr ? r.firstGroupName : r.name;
            objects_.emplace<AnalogInput>(30 * g + p, name, r.units);
        }
        objects_.emplace<BinaryValue>(g, "CT# {id} Polarity Correction", "off", "on");
    }
}

Load::~Load() = default;

AnalogInput *Load::analogInput(uint32_t instance) const {
    size_t position;
    if (instance >= 1 && instance <= 17) {
        position = instance - 1;
    } else if (instance >= 140 && instance <= 152) {
        position = kFirstSingleEnergyPosition + (instance - 140);
    } else if (instance >= 30 && instance < 120 && instance % 30 <= 22) {
        position = kTotalObjectCount + (instance / 30 - 1) * kGroupObjectCount + instance % 30;
    } else {
        return nullptr;
    }
    return static_cast<AnalogInput *>(objects_.at(position));
}

LargeAnalogValue *Load::largeAnalogValue(uint32_t instance) const {
    if (instance < 1 || instance > 13) {
        return nullptr;
    }
    return static_cast<LargeAnalogValue *>(objects_.at(kFirstEnergyPosition + instance - 1));
}

BinaryValue *Load::polarity(int group) const {
    if (group < 1 || group > 3) {
        return nullptr;
    }
    return static_cast<BinaryValue *>(objects_.at(kTotalObjectCount + group * kGroupObjectCount - 1));
}

NotificationClass &Load::notificationClass() const {
    return *static_cast<NotificationClass *>(objects_.at(kNotificationClassPosition));
}

// ---- Input ----

Input::Input() : ObjectSet(kInputsDirectory, deviceObjectMap) {
    for (const Row &r : inputAnalogInputs) {
        objects_.emplace<AnalogInput>(r.instance, r.name, r.units);
    }
    objects_.emplace<LargeAnalogValue>(kNoInstance, "Total Energy Usage (kWh) - FP64", kKwh);
    objects_.emplace<AnalogInput>(kNoInstance, "Total Energy Usage (kWh)", kKwh);
    objects_.emplace<MultiStateValue>(kNoInstance, "Service Type", 0);
    objects_.emplace<NotificationClass>(1, "Event Notification Class", 1);
}

Input::~Input() = default;

AnalogInput *Input::analogInput(size_t position) const {
    if (position < 13 || position == kInputTotalEnergySingle) {
        return static_cast<AnalogInput *>(objects_.at(position));
    }
    return nullptr;
}

LargeAnalogValue &Input::totalEnergy() const {
    return *static_cast<LargeAnalogValue *>(objects_.at(kInputTotalEnergy));
}

AnalogInput &Input::totalEnergySingle() const {
    return *static_cast<AnalogInput *>(objects_.at(kInputTotalEnergySingle));
}

MultiStateValue &Input::serviceType() const {
    return *static_cast<MultiStateValue *>(objects_.at(kInputServiceType));
}

NotificationClass &Input::notificationClass() const {
    return *static_cast<NotificationClass *>(objects_.at(kInputNotificationClass));
}

// ---- PulseInput ----

// The import gives the converter its instance and name before it is
// registered anywhere.
PulseInput::PulseInput() : converter_(kNoInstance, "Pulse Input", kNoUnits) {}

PulseInput::~PulseInput() = default;
