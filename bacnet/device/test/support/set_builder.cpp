#include "set_builder.h"

#include "bacnet/enums.h"
#include "device/config.h"
#include "runtime/services.h"

namespace devtest {
namespace {

// The tests and benchmarks that build sets run the application as Talvik
// does: its logger, TQR and its configuration records behind the objects.
[[maybe_unused]] const bool servicesInstalled = (talvikInstallServices(), true);

bool validChannel(int channel) {
    return channel >= 6 && channel <= 53;
}

// The CT number in place of "{id}" (characters 5 to 8).
void numberCtObject(Load &load, BACnetObject &object, int channel) {
    object.setCtNumber(static_cast<int16_t>(channel - 5));
    std::string name = object.getObjectName();
    if (name.size() >= 8) {
        name.replace(4, 4, std::to_string(channel - 5));
    }
    object.setObjectName(name);
    object.setDeviceInstance(static_cast<uint32_t>(load.getVdi()));
    objectMapAdd(load.getObjectMap(), &object);
}

// The class whose recipients and priorities the object's events use.
void linkToClass(BACnetObject &object, NotificationClass &nc) {
    object.setNotificationClass(nc.getClassNumber());
    if (auto *measured = dynamic_cast<MeasuredValue *>(&object)) {
        measured->setNotificationClassLink(&nc);
    } else if (auto *converter = dynamic_cast<PulseConverter *>(&object)) {
        converter->setNotificationClassLink(&nc);
    }
}

void buildLoad(const LoadLayout &layout) {
    auto load = std::make_unique<Load>();
    load->setId(layout.id);
    load->setVdi(layout.vdi);
    load->setName(layout.name);
    load->setActive(true);
    load->setInput(layout.input);
    objectMapAdd(load->getObjectMap(), &load->notificationClass());
    for (size_t p = 0; p < Load::kTotalObjectCount; ++p) {
        BACnetObject &object = *load->object(p);
        object.setDeviceInstance(static_cast<uint32_t>(layout.vdi));
        if (object.getObjectType() == kObjAnalogInput || object.getObjectType() == kObjLargeAnalogValue) {
            linkToClass(object, load->notificationClass());
        }
        objectMapAdd(load->getObjectMap(), &object);
    }
    const std::string prefix = layout.input == 0 ? "Vin1 " : "Vin2 ";
    for (uint32_t instance = 1; instance <= 7; ++instance) {
        AnalogInput *ai = load->analogInput(instance);
        ai->setObjectName(prefix + ai->getObjectName());
    }
    for (size_t g = 1; g <= layout.cts.size() && g <= 3; ++g) {
        const CtLayout &ct = layout.cts[g - 1];
        const size_t first = Load::kTotalObjectCount + (g - 1) * Load::kGroupObjectCount;
        for (size_t p = first; p < first + Load::kGroupObjectCount; ++p) {
            BACnetObject &object = *load->object(p);
            if (validChannel(ct.channel)) {
                numberCtObject(*load, object, ct.channel);
            }
            if (object.getObjectType() == kObjAnalogInput) {
                linkToClass(object, load->notificationClass());
            }
        }
        BinaryValue *polarity = load->polarity(static_cast<int>(g));
        polarity->setPresentValue(ct.inverse ? 1 : 0);
        polarity->setDeviceInstance(static_cast<uint32_t>(layout.vdi));
    }
    loadMapping.emplace(layout.vdi, std::move(load));
}

void buildInput(const InputLayout &layout) {
    auto input = std::make_unique<Input>();
    input->setId(layout.id);
    input->setActive(true);
    input->setVoltage(layout.voltage);
    input->setService(layout.service);
    const uint32_t base = communicationConfig.getBaseInstance();
    // Every root object links to the first input's class, the one the root
    // device shows (the second input's is never registered).
    NotificationClass &rootClass =
        layout.position == 0 || inputMapping.count(0) == 0 ? input->notificationClass()
                                                         : inputMapping.at(0)->notificationClass();
    const std::string prefix = layout.position == 0 ? "Vin1 " : "Vin2 ";
    const uint32_t offset = layout.position == 0 ? 0 : 20;
    for (size_t p = 0; p < 13; ++p) {
        AnalogInput *ai = input->analogInput(p);
        std::string name = ai->getObjectName();
        if (p < 6) {
            name += name.find("Neutral") != std::string::npos
                        ? std::string(" (L") + char('1' + p) + "-N)"
                        : std::string(" (L") + char('1' + (p - 3)) + "-L" + char('1' + (p - 3 + 1) % 3) + ")";
        }
        ai->setObjectName(prefix + name);
        ai->setInstance(static_cast<uint32_t>(p + 1 + offset));
    }
    input->totalEnergy().setInstance(layout.position == 0 ? 1 : 2);
    input->totalEnergy().setObjectName(prefix + "Total Energy Usage - FP64");
    input->totalEnergySingle().setInstance(layout.position == 0 ? 14 : 34);
    input->totalEnergySingle().setObjectName(prefix + "Total Energy Usage");
    MultiStateValue &service = input->serviceType();
    service.setInstance(layout.position == 0 ? 1 : 2);
    service.setObjectName(prefix + "Service Type");
    size_t texts = 0;
    for (const char *text : {"", "4-Wire wye", "3-Wire delta", "Reserved", "3-Wire single phase (split-phase)",
                             "2-Wire single phase"}) {
        texts = service.addStateText(text, static_cast<uint8_t>(texts));
    }
    service.writePresentValue(static_cast<uint32_t>(layout.service));
    for (size_t p = 0; p < Input::kObjectCount; ++p) {
        BACnetObject &object = *input->object(p);
        if (&object == &input->notificationClass()) {
            continue;
        }
        object.setDeviceInstance(base);
        if (object.getObjectType() == kObjAnalogInput || object.getObjectType() == kObjLargeAnalogValue) {
            linkToClass(object, rootClass);
        }
        objectMapAdd(deviceObjectMap, &object);
    }
    if (layout.position == 0) {
        objectMapAdd(deviceObjectMap, &input->notificationClass());
    }
    inputMapping.emplace(layout.position, std::move(input));
}

void buildPulse(uint8_t id) {
    auto pulse = std::make_unique<PulseInput>();
    pulse->setId(id);
    pulse->setActive(true);
    pulse->setOut(false);
    PulseConverter &converter = pulse->converter();
    converter.setInstance(id + 1u);
    converter.setObjectName("Pulse Input #" + std::to_string(id + 1));
    converter.setDeviceInstance(communicationConfig.getBaseInstance());
    if (inputMapping.count(0) != 0) {
        linkToClass(converter, inputMapping.at(0)->notificationClass());
    }
    objectMapAdd(deviceObjectMap, &converter);
    pulseMapping.emplace(id, std::move(pulse));
}

}  // namespace

void buildSets(const MeterLayout &layout) {
    communicationConfig.setBaseInstance(layout.baseInstance);
    communicationConfig.setBaseName(layout.baseName);
    communicationConfig.setNetwork(layout.network);
    for (const LoadLayout &l : layout.loads) {
        if (loadMapping.count(l.vdi) == 0) {
            buildLoad(l);
        }
    }
    for (const InputLayout &i : layout.inputs) {
        buildInput(i);
    }
    for (uint8_t id : layout.pulseIds) {
        buildPulse(id);
    }
}

void clearSets() {
    deviceObjectMap.clear();
    for (auto &[vdi, load] : loadMapping) {
        load->getObjectMap().clear();
    }
    loadMapping.clear();
    inputMapping.clear();
    pulseMapping.clear();
}

MeterLayout loadsLayout(int n, int ctsPerLoad) {
    MeterLayout layout;
    int channel = 6;
    for (int i = 0; i < n; ++i) {
        LoadLayout l;
        l.id = i;
        l.vdi = 1001 + i;
        l.name = "Load " + std::to_string(i + 1);
        for (int c = 0; c < ctsPerLoad; ++c) {
            l.cts.push_back(CtLayout{channel, true, false});
            channel = channel == 53 ? 6 : channel + 1;
        }
        layout.loads.push_back(l);
    }
    return layout;
}

}  // namespace devtest
