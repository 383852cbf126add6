#include "runtime/tqr/alarm_import.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/alarm.h"
#include "device/object_sets.h"
#include "meter/json.h"
#include "runtime/log.h"
#include "runtime/tqr/config_import.h"
#include "runtime/tqr/parse_support.h"
#include "runtime/tqr/transport.h"

namespace {

// One alarm as received, and then as it goes back to TQR.
struct Alarm {
    JsonItem received;  // sent back unchanged when it cannot be read
    bool readable = false;
    int32_t id = 0;
    int32_t source = 0;  // "vinLineLoadOrCt"
    bool led = false;
    bool relay = false;
    int32_t type = 0;
    int32_t state = 0;
    uint32_t delay = 0;
    double setPoint = 0;  // the set point in effect
    double deadband = 0;  // as received
};

const char *const kKeys[] = {"id",   "vinLineLoadOrCt", "setPoint", "deadband", "delay",
                             "type", "state",           "led",      "relay"};

// The alarm's nine keys, all present, or false after a log line.
bool readAlarm(const JsonItem &element, Alarm &alarm) {
    const JsonItem object = element.toObject();
    for (const char *key : kKeys) {
        if (element.getType() != JsonItemType::Object || object.findChild(key) == object.end()) {
            logMessage(LogLevel::Critical,
                       std::string(key) + " node not found in /config/alarms: alarm sent back as received");
            return false;
        }
    }
    alarm.id = object.requireChild("id").toInteger();
    alarm.source = object.requireChild("vinLineLoadOrCt").toInteger();
    alarm.setPoint = object.requireChild("setPoint").toDouble();
    alarm.deadband = object.requireChild("deadband").toDouble();
    alarm.delay = static_cast<uint32_t>(object.requireChild("delay").toInteger());
    alarm.type = object.requireChild("type").toInteger();
    alarm.state = object.requireChild("state").toInteger();
    alarm.led = object.requireChild("led").toBoolean();
    alarm.relay = object.requireChild("relay").toBoolean();
    alarm.readable = true;
    return true;
}

JsonItem elementOf(const Alarm &a) {
    if (!a.readable) {
        return a.received;
    }
    JsonItem e(JsonItemType::Object);
    e.appendChild(JsonItem("id", static_cast<int>(a.id)));
    e.appendChild(JsonItem("vinLineLoadOrCt", static_cast<int>(a.source)));
    e.appendChild(JsonItem("led", a.led));
    e.appendChild(JsonItem("relay", a.relay));
    e.appendChild(JsonItem("type", static_cast<int>(a.type)));
    e.appendChild(JsonItem("state", static_cast<int>(a.state)));
    e.appendChild(JsonItem("delay", static_cast<unsigned int>(a.delay)));
    e.appendChild(JsonItem("setPoint", a.setPoint));
    e.appendChild(JsonItem("deadband", a.deadband));
    return e;
}

// Source kinds by alarm type 0..12.
constexpr int32_t kSourceKinds[13] = {0, 0, 1, 0, 2, 2, 2, 0, 3, 3, 0, 0, 0};

constexpr int32_t kNormal = static_cast<int32_t>(AlarmState::Normal);
constexpr int32_t kLow = static_cast<int32_t>(AlarmState::Low);
constexpr int32_t kHigh = static_cast<int32_t>(AlarmState::High);

MeasuredValue &measured(BACnetObject &object) {
    return dynamic_cast<MeasuredValue &>(object);
}

// Each object keeps its own copy of the entry.
void link(BACnetObject &object, const AlarmEntry &entry) {
    object.alarmEntries.push_back(std::make_unique<AlarmEntry>(entry));
}

uint32_t delayMs(uint32_t seconds) {
    const uint64_t ms = static_cast<uint64_t>(seconds) * 1000;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

void setDelays(BACnetObject &o, uint32_t seconds) {
    o.setTimeDelay(seconds);
    o.setTimeDelayNormal(seconds);
    o.setTimeDelayRemaining(delayMs(seconds));
    o.setTimeDelayNormalRemaining(delayMs(seconds));
}

void defaultRecipient(BACnetObject &o) {
    if (NotificationClass *nc = measured(o).getNotificationClassLink();
        nc != nullptr && nc->getRecipientCount() == 0) {
        nc->addDefaultRecipient();
    }
}

void normalState(BACnetObject &o) {
    o.setEventState(kEventStateNormal);
    o.setEventStateNormal();
}

// Event detection on, with the alarm's delay, reported to the object's class.
void eventSetup(BACnetObject &o, uint32_t delay) {
    o.setEventAlgorithmInhibit(false);
    o.setEventDetectionEnable(true);
    setDelays(o, delay);
    o.enableToOffnormalEvent();
    o.enableToNormalEvent();
    normalState(o);
    defaultRecipient(o);
}

int32_t partnerType(int32_t type) {
    switch (type) {
        case 0:
            return 1;
        case 1:
            return 0;
        case 5:
            return 6;
        case 6:
            return 5;
        case 8:
            return 9;
        default:
            return 8;
    }
}

// The earlier alarm on the other limit of the same object takes what is in
// effect now: that limit, this alarm's delay and deadband.
void alignPartner(std::vector<Alarm> &done, const Alarm &a, double otherLimit) {
    const int32_t partner = partnerType(a.type);
    auto it = std::find_if(done.begin(), done.end(), [&](const Alarm &e) {
        return e.readable && e.source == a.source && e.type == partner;
    });
    if (it == done.end()) {
        return;
    }
    it->setPoint = static_cast<float>(otherLimit);
    it->delay = a.delay;
    it->deadband = a.type == 5 || a.type == 6 ? 0.0 : a.deadband;
}

double singlePrecision(double v) {
    return static_cast<float>(v);
}

// The load's CT group whose object at position p carries the CT number;
// the first in ascending vdi order, groups 1..3.
AnalogInput *findCtObject(int64_t ctNumber, uint32_t p, Load *&owner) {
    for (auto &[vdi, load] : loadMapping) {
        for (uint32_t g = 1; g <= 3; ++g) {
            AnalogInput *ai = load->analogInput(30 * g + p);
            if (ai->getCtNumber() == ctNumber) {
                owner = load.get();
                return ai;
            }
        }
    }
    return nullptr;
}

// The voltage input a line alarm or an unbalance alarm addresses, or null
// after a log line: such an alarm configures nothing.
Input *voltageInput(uint32_t position, const Alarm &a) {
    auto it = inputMapping.find(position);
    if (it == inputMapping.end()) {
        logMessage(LogLevel::Critical, "Alarm " + std::to_string(a.id) + " needs voltage input " +
                                           std::to_string(position) + ", which is not configured");
        return nullptr;
    }
    return it->second.get();
}

void configureLoadLimit(Alarm &a, AlarmEntry &entry, std::vector<Alarm> &done, uint32_t instance) {
    const bool high = a.type != 1;
    entry.followedStates.push_back(high ? kHigh : kLow);
    for (auto &[vdi, load] : loadMapping) {
        if (load->getId() != a.source) {
            continue;
        }
        AnalogInput &ai = *load->analogInput(instance);
        link(ai, entry);
        if (high) {
            ai.enableHighLimit();
            ai.setHighLimit(a.setPoint);
        } else {
            ai.enableLowLimit();
            ai.setLowLimit(a.setPoint);
        }
        ai.setDeadband(a.deadband);
        eventSetup(ai, a.delay);
        if (a.type == 0 || a.type == 1) {
            const double limit = singlePrecision(high ? ai.getHighLimit() : ai.getLowLimit());
            if (limit != a.setPoint) {
                a.setPoint = limit;
            }
            alignPartner(done, a, high ? ai.getLowLimit() : ai.getHighLimit());
        }
    }
}

void configure(Alarm &a, AlarmEntry &entry, std::vector<Alarm> &done) {
    switch (a.type) {
        case 0:
        case 1:
            configureLoadLimit(a, entry, done, 8);
            break;
        case 10:
            configureLoadLimit(a, entry, done, 9);
            break;
        case 11:
            configureLoadLimit(a, entry, done, 15);
            break;
        case 12:
            entry.followedStates.push_back(kLow);
            for (auto &[vdi, load] : loadMapping) {
                if (load->getId() == a.source) {
                    AnalogInput &ai = *load->analogInput(11);
                    link(ai, entry);
                    ai.enableLowLimit();
                    ai.setLowLimit(a.setPoint / 100);
                    ai.setDeadband(0);
                    eventSetup(ai, a.delay);
                }
            }
            break;
        case 3:
            entry.followedStates.push_back(kHigh);
            for (auto &[vdi, load] : loadMapping) {
                if (load->getId() == a.source) {
                    for (BACnetObject *o : {static_cast<BACnetObject *>(load->largeAnalogValue(1)),
                                            static_cast<BACnetObject *>(load->analogInput(140))}) {
                        link(*o, entry);
                        o->enableHighLimit();
                        o->setHighLimit(a.setPoint);
                        o->setDeadband(0);
                        eventSetup(*o, a.delay);
                    }
                }
            }
            break;
        case 2:
            entry.followedStates.push_back(kHigh);
            for (auto &[position, input] : inputMapping) {
                if (input->getId() == a.source) {
                    for (BACnetObject *o : {static_cast<BACnetObject *>(&input->totalEnergy()),
                                            static_cast<BACnetObject *>(&input->totalEnergySingle())}) {
                        link(*o, entry);
                        o->setEventAlgorithmInhibit(false);
                        o->enableHighLimit();
                        o->setHighLimit(a.setPoint);
                        o->setDeadband(0);
                        eventSetup(*o, a.delay);
                    }
                }
            }
            break;
        case 7:
            entry.followedStates.push_back(kHigh);
            for (auto &[vdi, load] : loadMapping) {
                if (load->getId() != a.source) {
                    continue;
                }
                Input *input = voltageInput(static_cast<uint32_t>(load->getInput()), a);
                if (input == nullptr || (input->getService() != 1 && input->getService() != 2)) {
                    continue;
                }
                AnalogInput &ai = *load->analogInput(16);
                link(ai, entry);
                ai.setHighLimit(a.setPoint);
                ai.setDeadband(0);
                eventSetup(ai, a.delay);
                ai.enableHighLimit();
            }
            break;
        case 4: {
            Load *load = nullptr;
            AnalogInput *ai = findCtObject(int64_t{a.source} + 1, 2, load);
            if (ai == nullptr) {
                break;
            }
            entry.followedStates.push_back(kLow);
            link(*ai, entry);
            // A CT's real power alarms when it runs backwards: at once, whatever
            // the set point and delay.
            ai->setEventAlgorithmInhibit(false);
            ai->setEventDetectionEnable(true);
            ai->setLowLimit(0);
            ai->setDeadband(0);
            setDelays(*ai, 0);
            ai->enableToOffnormalEvent();
            normalState(*ai);
            ai->enableToNormalEvent();
            ai->enableLowLimit();
            defaultRecipient(*ai);
            break;
        }
        case 5:
        case 6: {
            Load *load = nullptr;
            AnalogInput *ai = findCtObject(int64_t{a.source} + 1, 0, load);
            if (ai == nullptr) {
                break;
            }
            ai->setEventDetectionEnable(true);
            ai->setEventAlgorithmInhibit(false);
            ai->enableToOffnormalEvent();
            ai->enableToNormalEvent();
            normalState(*ai);
            defaultRecipient(*ai);
            setDelays(*ai, a.delay);
            const bool high = a.type == 6;
            if (high) {
                ai->setHighLimit(a.setPoint);
            } else {
                ai->setLowLimit(a.setPoint);
            }
            ai->setDeadband(0);
            entry.followedStates.push_back(high ? kHigh : kLow);
            if (high) {
                ai->enableHighLimit();
            } else {
                ai->enableLowLimit();
            }
            const double limit = singlePrecision(high ? ai->getHighLimit() : ai->getLowLimit());
            if (limit != a.setPoint) {
                a.setPoint = limit;
            }
            alignPartner(done, a, high ? ai->getLowLimit() : ai->getHighLimit());
            link(*ai, entry);
            break;
        }
        case 8:
        case 9: {
            const uint32_t position = a.source > 2 ? 1 : 0;
            Input *input = voltageInput(position, a);
            if (input == nullptr) {
                break;
            }
            const int32_t line = a.source > 2 ? a.source - 3 : a.source;
            if (line < 0 || line > 2) {
                break;
            }
            AnalogInput &ai =
                *input->analogInput(static_cast<size_t>(input->getService() == 2 ? 3 + line : line));
            const double volts = input->getVoltage();
            const bool high = a.type == 9;
            const double limit = a.setPoint / 100 * volts;
            if (high) {
                ai.setHighLimit(limit);
            } else {
                ai.setLowLimit(limit);
            }
            setDelays(ai, a.delay);
            entry.followedStates.push_back(high ? kHigh : kLow);
            if (high) {
                ai.enableHighLimit();
            } else {
                ai.enableLowLimit();
            }
            // Percent of the nominal voltage; without one there is no percent
            // to give back, and the set point stays as received.
            if (volts != 0) {
                a.setPoint = (high ? ai.getHighLimit() : ai.getLowLimit()) / volts * 100;
                alignPartner(done, a, (high ? ai.getLowLimit() : ai.getHighLimit()) / volts * 100);
            }
            link(ai, entry);
            ai.enableToOffnormalEvent();
            ai.enableToNormalEvent();
            ai.setEventAlgorithmInhibit(false);
            ai.setEventDetectionEnable(true);
            normalState(ai);
            defaultRecipient(ai);
            break;
        }
        default:
            break;
    }
}

// Alarms removed from TQR lose their effect: every limit an alarm can set
// starts disabled.
void disableAlarmLimits() {
    const auto disable = [](BACnetObject &o) {
        o.disableLowLimit();
        o.disableHighLimit();
    };
    for (auto &[vdi, load] : loadMapping) {
        disable(*load->largeAnalogValue(1));
        for (uint32_t instance : {140u, 9u, 15u, 11u, 16u, 8u, 32u, 62u, 92u, 30u, 60u, 90u}) {
            disable(*load->analogInput(instance));
        }
    }
    for (auto &[position, input] : inputMapping) {
        disable(input->totalEnergy());
        disable(input->totalEnergySingle());
        for (size_t p = 0; p < 6; ++p) {
            disable(*input->analogInput(p));
        }
    }
}

// Every set writes its state once: the reset touched them all.
void saveAll() {
    for (auto &[vdi, load] : loadMapping) {
        load->saveObjects();
    }
    for (auto &[position, input] : inputMapping) {
        input->saveObjects();
    }
}

}  // namespace

int tqrParseAlarms(const char *body, size_t size, size_t count, void *) {
    const JsonItem root =
        tqrReadBody(body, size, count, "/api/v1/config/alarms return isn't valid JSON", LogLevel::Emergency);
    disableAlarmLimits();
    const JsonItem list = root.toArray();
    std::vector<Alarm> done;
    try {
        for (const JsonItem &element : list) {
            Alarm a;
            a.received = element;
            if (!readAlarm(element, a)) {
                done.push_back(a);
                continue;
            }
            AlarmEntry entry;
            entry.setId(a.id);
            entry.setSourceIndex(a.source);
            entry.setSetPoint(static_cast<float>(a.setPoint));
            entry.setDeadband(static_cast<float>(a.deadband));
            entry.setDelay(static_cast<int32_t>(a.delay));
            entry.setType(a.type);
            entry.setState(a.state);
            entry.followedStates.push_back(kNormal);
            if (a.state > 2 && a.state < 7) {
                logMessage(LogLevel::Debug, "Found an offnormal alarm exists, setting it to normal");
                tqrPutAlarmState(tqrHost, tqrPort, kNormal, a.id);
                entry.setState(kNormal);
                a.state = kNormal;
            }
            if (a.type >= 0 && a.type <= 12) {
                entry.setSourceKind(kSourceKinds[a.type]);
            }
            configure(a, entry, done);
            done.push_back(a);
        }
    } catch (...) {
        // What was configured so far is kept as it would be at the end.
        saveAll();
        throw;
    }
    saveAll();
    if (!done.empty()) {
        JsonItem put(JsonItemType::Array);
        for (const Alarm &a : done) {
            put.appendChild(elementOf(a));
        }
        logMessage(LogLevel::Debug, put.toIndentedText());
        if (tqrPutAlarms(tqrHost, tqrPort, put.toCompactText(), 0) == 200) {
            logMessage(LogLevel::Notice, "Portal alarms successfully updated.");
        }
    }
    tqrResponseReceived[tqrFlagAlarms].store(1);
    return static_cast<int>(size * count);
}
