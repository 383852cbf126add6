// Out-of-range event reporting of the three analog classes: the event state
// tick by tick, every notification the recording senders received and
// every alarm state relayed to TQR.

#include "fake_stack.h"
#include "meter/host.h"
#include "objects/analog_input.h"
#include "objects/clock.h"
#include "objects/notification_class.h"
#include "objects/out_of_range.h"
#include "objects/pulse_converter.h"
#include "device/config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// memcpy of an empty vector would pass its null data().
void copyOctets(uint8_t *to, const std::vector<uint8_t> &from) {
    std::copy(from.begin(), from.end(), to);
}

// ---- the clock: Monday 7 December 2026, seconds of the day set by the test ----

void setClock(int secondsOfDay) {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_isdst = 0;
    meter::host::clock_set(timegm(&t) + secondsOfDay);
}
int secondsOf(const BACnetTimeStamp &s) {
    return s.time.hour * 3600 + s.time.minute * 60 + s.time.second;
}

// ---- the objects under test ----

enum class Kind { AI, LAV, PC };

struct Subject {
    std::unique_ptr<BACnetObject> object;
    std::function<void(double)> set;
    std::function<void(NotificationClass *)> link;
};

Subject make(Kind kind, const std::string &name) {
    Subject s;
    switch (kind) {
    case Kind::AI: {
        auto o = std::make_unique<AnalogInput>(3, name, 48);
        AnalogInput *p = o.get();
        s.set = [p](double v) { p->setPresentValue(v); };
        s.link = [p](NotificationClass *nc) { p->setNotificationClassLink(nc); };
        s.object = std::move(o);
        break;
    }
    case Kind::LAV: {
        auto o = std::make_unique<LargeAnalogValue>(4, name, 19);
        LargeAnalogValue *p = o.get();
        s.set = [p](double v) { p->setPresentValue(v); };
        s.link = [p](NotificationClass *nc) { p->setNotificationClassLink(nc); };
        s.object = std::move(o);
        break;
    }
    case Kind::PC: {
        auto o = std::make_unique<PulseConverter>(1, name, 95);
        PulseConverter *p = o.get();
        s.set = [p](double v) { p->setCount(static_cast<uint32_t>(v)); };
        s.link = [p](NotificationClass *nc) { p->setNotificationClassLink(nc); };
        s.object = std::move(o);
        break;
    }
    }
    return s;
}

BACnetDestination deviceRecipient(uint32_t instance, uint8_t days = 0xFE, uint8_t transitions = 0xE0,
                                  BACnetTime from = {0, 0, 0, 0}, BACnetTime to = {23, 59, 59, 0}) {
    BACnetDestination d;
    std::memset(&d, 0, sizeof d);
    d.validDays = days;
    d.transitions = transitions;
    d.issueConfirmed = 1;
    d.processId = 5;
    d.from = from;
    d.to = to;
    d.recipient.choice = kRecipientDevice;
    d.recipient.device = objectIdMake(kObjDevice, instance);
    return d;
}

BACnetDestination addressRecipient(uint16_t network, std::vector<uint8_t> mac) {
    BACnetDestination d = deviceRecipient(0);
    d.recipient.choice = kRecipientAddress;
    d.recipient.device = 0;
    d.recipient.network = network;
    d.recipient.macLength = static_cast<uint16_t>(mac.size());
    copyOctets(d.recipient.mac, mac);
    return d;
}

std::unique_ptr<AlarmEntry> entry(int32_t id, std::vector<int32_t> follows, int32_t state = 2, int32_t kind = 0,
                                  int32_t index = -1) {
    auto e = std::make_unique<AlarmEntry>();
    e->setId(id);
    e->followedStates = std::move(follows);
    e->setState(state);
    e->setSourceKind(kind);
    e->setSourceIndex(index);
    return e;
}

// ---- the table ----

enum class Act { none, clearHighEnable, setInhibit };

struct Step {
    Step(double v, uint8_t s, Act a = Act::none, std::optional<int> c = std::nullopt)
        : value(v), state(s), act(a), clock(c) {}
    double value;
    uint8_t state;  // after the tick
    Act act;
    std::optional<int> clock;  // seconds of the day; else one second after the previous step
};

constexpr int32_t kBroadcast = -1;
constexpr int32_t kToAddress = -2;

struct Note {
    int32_t recipient;  // a device instance, kBroadcast or kToAddress
    uint8_t from;
    uint8_t to;
    int at;  // seconds of the day of the time stamp sent
    double exceeding;
    double deadband;
    double limit;
    uint8_t flags;
    std::string text;
};

struct Put {
    std::string target;
    int state;
};

struct Row {
    const char *what;
    Kind kind;
    std::function<void(BACnetObject &, NotificationClass &)> setup;
    std::vector<Step> steps;
    std::vector<Note> notes;
    std::vector<Put> puts;
    uint32_t datalink = 1;
};

// The usual configuration: high limit 100 enabled, low 0, no delays, every
// transition reported, one recipient (device 77) and one alarm (id 1)
// following every state.
void usual(BACnetObject &o, NotificationClass &nc) {
    o.setEventDetectionEnable(true);
    o.setEventAlgorithmInhibit(false);
    o.enableHighLimit();
    o.setHighLimit(100);
    o.setLowLimit(0);
    o.setTimeDelay(0);
    o.setTimeDelayNormal(0);
    o.enableToOffnormalEvent();
    o.enableToNormalEvent();
    o.setNotificationClass(7);
    nc.addRecipient(deviceRecipient(77));
    o.alarmEntries.push_back(entry(1, {2, 5, 6}));
}

template <typename F>
std::function<void(BACnetObject &, NotificationClass &)> usualAnd(F more) {
    return [more](BACnetObject &o, NotificationClass &nc) {
        usual(o, nc);
        more(o, nc);
    };
}

const std::string kAbove = "kW has exceeded 100.000 with a deadband of 0.000 with a delay of 0 seconds.  "
                           "Current value is 150.000.";
const std::string kBack = "kW is between 0.000 and 100.000 with a deadband of 0.000 with a delay of 0 seconds.  "
                          "Current value is 50.000.";
const std::string kPut1 = "/api/v1/config/alarm/1/state";
const std::string kPut2 = "/api/v1/config/alarm/2/state";
constexpr int kT = 43200;  // 12:00:00, the clock of step 0

std::vector<Row> rows() {
    return {
        {"delay 0 raises at the first tick above",
         Kind::AI,
         usual,
         {{50, 0}, {150, 3}, {50, 0}},
         {{77, 0, 3, kT + 1, 150, 0, 100, kStatusInAlarm, kAbove}, {77, 3, 0, kT + 2, 50, 0, 100, 0, kBack}},
         {{kPut1, 6}, {kPut1, 2}}},
        {"a delay starts over when the value falls back",
         Kind::AI,
         usualAnd([](BACnetObject &o, NotificationClass &) { o.setTimeDelay(5); }),
         {{50, 0}, {150, 0}, {150, 0}, {150, 0}, {50, 0}, {150, 0}, {150, 0}, {50, 0}, {150, 0}, {150, 0},
          {150, 0}, {150, 0}, {150, 3}},
         {{77, 0, 3, kT + 12, 150, 0, 100, kStatusInAlarm,
           "kW has exceeded 100.000 with a deadband of 0.000 with a delay of 5 seconds.  Current value is 150.000."}},
         {{kPut1, 6}}},
        {"a value on the limit stays normal", Kind::AI, usual, {{100, 0}, {100, 0}, {100, 0}}, {}, {}},
        {"deadband 2: the return needs a value below 98",
         Kind::AI,
         usualAnd([](BACnetObject &o, NotificationClass &) { o.setDeadband(2); }),
         {{150, 3}, {98, 3}, {97.5, 0}},
         {{77, 0, 3, kT, 150, 2, 100, kStatusInAlarm,
           "kW has exceeded 100.000 with a deadband of 2.000 with a delay of 0 seconds.  Current value is 150.000."},
          {77, 3, 0, kT + 2, 97.5, 2, 100, 0,
           "kW is between 0.000 and 100.000 with a deadband of 2.000 with a delay of 0 seconds.  Current value is "
           "97.500."}},
         {{kPut1, 6}, {kPut1, 2}}},
        {"high-limit-enable cleared in high-limit returns at once, relayed",
         Kind::AI,
         usual,
         {{150, 3}, {150, 0, Act::clearHighEnable}},
         {{77, 0, 3, kT, 150, 0, 100, kStatusInAlarm, kAbove},
          {77, 3, 0, kT + 1, 150, 0, 100, 0,
           "kW is between 0.000 and 100.000 with a deadband of 0.000 with a delay of 0 seconds.  Current value is "
           "150.000."}},
         {{kPut1, 6}, {kPut1, 2}}},
        {"inhibit in high-limit returns at once, not relayed",
         Kind::AI,
         usual,
         {{150, 3}, {150, 0, Act::setInhibit}},
         {{77, 0, 3, kT, 150, 0, 100, kStatusInAlarm, kAbove},
          {77, 3, 0, kT + 1, 150, 0, 100, 0,
           "kW is between 0.000 and 100.000 with a deadband of 0.000 with a delay of 0 seconds.  Current value is "
           "150.000."}},
         {{kPut1, 6}}},
        {"the magnitude of -120 exceeds 100",
         Kind::AI,
         usualAnd([](BACnetObject &o, NotificationClass &) { o.setUseAbsoluteValue(true); }),
         {{-120, 3}},
         {{77, 0, 3, kT, -120, 0, 100, kStatusInAlarm,
           "kW has exceeded 100.000 with a deadband of 0.000 with a delay of 0 seconds.  Current value is -120.000."}},
         {{kPut1, 6}}},
        {"windows hold their edges; valid days and transition bits choose",
         Kind::AI,
         [](BACnetObject &o, NotificationClass &nc) {
             usual(o, nc);
             nc.replaceRecipients({deviceRecipient(1), deviceRecipient(2, 0x7E), deviceRecipient(3, 0xFE, 0x80),
                                   deviceRecipient(4, 0xFE, 0xE0, {12, 0, 0, 0}, {12, 0, 0, 0})});
         },
         {{150, 3, Act::none, 0}, {50, 0, Act::none, 86399}, {150, 3, Act::none, 43200}},
         {{3, 0, 3, 0, 150, 0, 100, kStatusInAlarm, kAbove},
          {1, 0, 3, 0, 150, 0, 100, kStatusInAlarm, kAbove},
          {1, 3, 0, 86399, 50, 0, 100, 0, kBack},
          {3, 0, 3, kT, 150, 0, 100, kStatusInAlarm, kAbove},
          {1, 0, 3, kT, 150, 0, 100, kStatusInAlarm, kAbove},
          {4, 0, 3, kT, 150, 0, 100, kStatusInAlarm, kAbove}},
         {{kPut1, 6}, {kPut1, 2}, {kPut1, 6}}},
        {"no recipients: one broadcast and one PUT per alarm following the state, never a source prefix",
         Kind::AI,
         [](BACnetObject &o, NotificationClass &nc) {
             usual(o, nc);
             nc.replaceRecipients({});
             o.clearAlarmEntries();
             o.alarmEntries.push_back(entry(1, {2, 6}, 2, 0, 4));
             o.alarmEntries.push_back(entry(2, {2, 5, 6}, 2, 1, 0));
             o.alarmEntries.push_back(entry(3, {2, 5}));
         },
         {{150, 3}},
         {{kBroadcast, 0, 3, kT, 150, 0, 100, kStatusInAlarm, kAbove},
          {kBroadcast, 0, 3, kT, 150, 0, 100, kStatusInAlarm, kAbove}},
         {{kPut1, 6}, {kPut2, 6}}},
        {"a per-recipient text carries the first following alarm's source",
         Kind::AI,
         [](BACnetObject &o, NotificationClass &nc) {
             usual(o, nc);
             o.clearAlarmEntries();
             o.alarmEntries.push_back(entry(2, {2, 5}, 2, 2, 8));
             o.alarmEntries.push_back(entry(1, {2, 6}, 2, 0, 2));
         },
         {{150, 3}},
         {{77, 0, 3, kT, 150, 0, 100, kStatusInAlarm, "Load #3 " + kAbove}},
         {{kPut1, 6}}},
        {"an alarm in state 7 is relayed only its return to normal",
         Kind::AI,
         [](BACnetObject &o, NotificationClass &nc) {
             usual(o, nc);
             o.alarmEntries[0]->setState(7);
         },
         {{150, 3}, {50, 0}},
         {{77, 0, 3, kT, 150, 0, 100, kStatusInAlarm, kAbove}, {77, 3, 0, kT + 1, 50, 0, 100, 0, kBack}},
         {{kPut1, 2}}},
        {"no BACnet datalink: relayed, never sent",
         Kind::AI,
         usual,
         {{150, 3}, {50, 0}},
         {},
         {{kPut1, 6}, {kPut1, 2}},
         4},
        {"a large analog value reports doubles, event type 14",
         Kind::LAV,
         usualAnd([](BACnetObject &o, NotificationClass &) { o.setHighLimit(2e10); }),
         {{2e10 + 4096.5, 3}},
         {{77, 0, 3, kT, 2e10 + 4096.5, 0, 2e10, kStatusInAlarm,
           "kW has exceeded 20000000000.000 with a deadband of 0.000 with a delay of 0 seconds.  Current value is "
           "20000004096.000."}},
         {{kPut1, 6}}},
        {"a pulse converter passes from high-limit to low-limit directly, and relays nothing",
         Kind::PC,
         usualAnd([](BACnetObject &o, NotificationClass &) {
             o.enableLowLimit();
             o.setLowLimit(10);
             o.setTimeDelay(2);
             o.setTimeDelayNormal(10);
         }),
         {{150, 0}, {150, 3}, {5, 3}, {5, 4}},
         {{77, 0, 3, kT + 1, 150, 0, 100, kStatusInAlarm,
           "kW has exceeded 100.000 with a deadband of 0.000 with a delay of 2 seconds.  Current value is 150.000."},
          {77, 3, 4, kT + 3, 5, 0, 10, kStatusInAlarm,
           "kW has gone below 10.000 with a deadband of 0.000 with a delay of 2 seconds.  Current value is 5.000."}},
         {}},
    };
}

// ---- what was relayed to TQR ----

class Reporting : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        tzset();
        communicationConfig.type = 1;
    }
    void TearDown() override {
        meter::host::clock_release();
        communicationConfig.type = 0;
    }
    // The relays as the alarm-state PUTs the program makes of them.
    static std::vector<Put> puts() {
        std::vector<Put> out;
        for (const RecordedRelay &r : fake_stack::relayCalls()) {
            out.push_back({"/api/v1/config/alarm/" + std::to_string(r.alarmId) + "/state", r.state});
        }
        return out;
    }
};

void expectNote(const RecordedEvent &got, const Note &want, uint16_t eventType, bool doubles) {
    const EventNotificationData &d = got.data;
    if (want.recipient == kToAddress) {
        EXPECT_TRUE(got.toAddress);
    } else {
        EXPECT_FALSE(got.toAddress);
        EXPECT_EQ(got.recipient, want.recipient);
    }
    EXPECT_EQ(d.fromState, want.from);
    EXPECT_EQ(d.toState, want.to);
    const bool offnormal = want.to != 0;
    if (want.recipient == kBroadcast) {
        EXPECT_EQ(d.processId, 0xFFFFu);
        EXPECT_EQ(d.notificationClass, 0x3FFFFFu);
        EXPECT_EQ(d.priority, 10) << "the to-offnormal priority for every broadcast";
        EXPECT_EQ(d.ackRequired, 0);
        EXPECT_EQ(d.confirmed, 0);
    } else {
        EXPECT_EQ(d.processId, 5u);
        EXPECT_EQ(d.notificationClass, 7u);
        EXPECT_EQ(d.priority, offnormal ? 10 : 30);
        EXPECT_EQ(d.ackRequired, offnormal ? 1 : 0);
        EXPECT_EQ(d.confirmed, 1);
    }
    EXPECT_EQ(d.timeStamp.choice, kTimeStampDateTime);
    EXPECT_EQ(secondsOf(d.timeStamp), want.at);
    EXPECT_EQ(d.eventType, eventType);
    EXPECT_EQ(d.notifyType, 1);
    ASSERT_TRUE(got.hasValues);
    if (doubles) {
        EXPECT_EQ(got.values.doubleOutOfRange.exceedingValue, want.exceeding);
        EXPECT_EQ(got.values.doubleOutOfRange.deadband, want.deadband);
        EXPECT_EQ(got.values.doubleOutOfRange.exceededLimit, want.limit);
        EXPECT_EQ(got.values.doubleOutOfRange.statusFlags, want.flags);
    } else {
        EXPECT_EQ(got.values.outOfRange.exceedingValue, static_cast<float>(want.exceeding));
        EXPECT_EQ(got.values.outOfRange.deadband, static_cast<float>(want.deadband));
        EXPECT_EQ(got.values.outOfRange.exceededLimit, static_cast<float>(want.limit));
        EXPECT_EQ(got.values.outOfRange.statusFlags, want.flags);
    }
    EXPECT_TRUE(got.hasText);
    EXPECT_EQ(got.text, want.text);
}

TEST_F(Reporting, TableOfTicks) {
    for (const Row &row : rows()) {
        SCOPED_TRACE(row.what);
        fake_stack::reset();
        communicationConfig.type = row.datalink;
        NotificationClass nc(1, "Alarms", 7);
        nc.setPriority(10, 0);
        nc.setPriority(20, 1);
        nc.setPriority(30, 2);
        nc.setAckRequiredToOffnormal(true);
        Subject s = make(row.kind, "kW");
        s.link(&nc);
        BACnetObject &o = *s.object;
        o.setDeviceInstance(9);
        row.setup(o, nc);
        int clock = kT - 1;
        for (size_t i = 0; i < row.steps.size(); ++i) {
            const Step &step = row.steps[i];
            clock = step.clock ? *step.clock : clock + 1;
            setClock(clock);
            s.set(step.value);
            if (step.act == Act::clearHighEnable) {
                o.disableHighLimit();
            } else if (step.act == Act::setInhibit) {
                o.setEventAlgorithmInhibit(true);
            }
            o.tickReporting(1000);
            EXPECT_EQ(o.getEventState(), step.state) << "after step " << i;
        }
        const auto events = fake_stack::eventCalls();
        EXPECT_EQ(events.size(), row.notes.size());
        for (size_t i = 0; i < std::min(events.size(), row.notes.size()); ++i) {
            SCOPED_TRACE("notification " + std::to_string(i));
            EXPECT_EQ(events[i].device, 9);
            EXPECT_EQ(events[i].data.initiatingDevice, 9u);
            EXPECT_EQ(events[i].data.eventObject, o.getObjectIdentifier());
            expectNote(events[i], row.notes[i], row.kind == Kind::LAV ? 14 : 5, row.kind == Kind::LAV);
        }
        const auto received = puts();
        EXPECT_EQ(received.size(), row.puts.size());
        for (size_t i = 0; i < std::min(received.size(), row.puts.size()); ++i) {
            EXPECT_EQ(received[i].target, row.puts[i].target) << "PUT " << i;
            EXPECT_EQ(received[i].state, row.puts[i].state) << "PUT " << i;
        }
    }
}

// The texts sent to a recipient and stored as event-message-texts match.
TEST_F(Reporting, TextsAreStoredAndCutToTheirBlock) {
    fake_stack::reset();
    NotificationClass nc(1, "Alarms", 7);
    Subject s = make(Kind::AI, std::string(300, 'n'));
    s.link(&nc);
    usual(*s.object, nc);
    setClock(kT);
    s.set(150);
    s.object->tickReporting(1000);
    const auto events = fake_stack::eventCalls();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].hasText);
    EXPECT_LE(events[0].text.size(), 256u);
    EXPECT_EQ(events[0].text, std::string(248, 'n'));
    EXPECT_EQ(s.object->getEventMessageText(0), events[0].text);
}

// Without a notification-class link an object has no recipients: the
// analog input broadcasts with the lowest priority, the pulse converter
// sends nothing.
TEST_F(Reporting, AMissingLinkCountsAsNoRecipients) {
    for (const Kind kind : {Kind::AI, Kind::PC}) {
        fake_stack::reset();
        NotificationClass unused(1, "Alarms", 7);
        Subject s = make(kind, "kW");
        usual(*s.object, unused);
        setClock(kT);
        s.set(150);
        s.object->tickReporting(1000);
        EXPECT_EQ(s.object->getEventState(), kEventStateHighLimit);
        const auto events = fake_stack::eventCalls();
        if (kind == Kind::AI) {
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].recipient, -1);
            EXPECT_EQ(events[0].data.priority, 255);
            EXPECT_EQ(puts().size(), 1u);
        } else {
            EXPECT_TRUE(events.empty());
            EXPECT_TRUE(puts().empty());
        }
    }
}

// A recipient device not bound yet answers -1: the notification is sent
// again at the next ticks until it goes, for at most the APDU time-out.
TEST_F(Reporting, AnUnboundRecipientGetsTheNotificationOnceBound) {
    fake_stack::reset();
    NotificationClass nc(1, "Alarms", 7);
    Subject s = make(Kind::AI, "kW");
    s.link(&nc);
    usual(*s.object, nc);
    auto &ai = static_cast<AnalogInput &>(*s.object);
    fake_stack::programResults({-1, -1, 256});
    setClock(kT);
    s.set(150);
    ai.tickReporting(1000);
    EXPECT_EQ(ai.waitingNotifications(), 1u);
    ai.tickReporting(1000);  // -1 again
    ai.tickReporting(1000);  // sent
    EXPECT_EQ(ai.waitingNotifications(), 0u);
    const auto events = fake_stack::eventCalls();
    ASSERT_EQ(events.size(), 3u);
    for (const auto &e : events) {
        EXPECT_EQ(e.recipient, 77);
        EXPECT_EQ(e.data.toState, 3);
        EXPECT_EQ(secondsOf(e.data.timeStamp), kT) << "the notification as it was first sent";
        EXPECT_EQ(e.text, kAbove);
    }

    // Never bound: dropped once the APDU time-out has passed.
    fake_stack::reset();
    fake_stack::setApduTimeout(2500);
    fake_stack::programResults(std::vector<int>(10, -1));
    s.set(50);
    ai.tickReporting(1000);
    EXPECT_EQ(ai.getEventState(), kEventStateNormal);
    ai.tickReporting(1000);
    ai.tickReporting(1000);
    EXPECT_EQ(ai.waitingNotifications(), 1u);
    ai.tickReporting(1000);
    EXPECT_EQ(ai.waitingNotifications(), 0u);
    EXPECT_EQ(fake_stack::eventCalls().size(), 3u) << "the first send and two more within 2.5 s";
    EXPECT_EQ(fake_stack::logTexts(3), std::vector<std::string>{"No binding to device 77: an event notification is dropped"});
}

// The objects of the root device keep sending as the root after a client
// gave the Device another identifier; a load's objects send as their device.
TEST_F(Reporting, RootMembershipIsFixedWhenTheDeviceInstanceIsSet) {
    fake_stack::reset();
    communicationConfig.setBaseInstance(1000);
    NotificationClass nc(1, "Alarms", 7);
    Subject root = make(Kind::AI, "kW");
    Subject load = make(Kind::LAV, "kWh");
    for (Subject *s : {&root, &load}) {
        s->link(&nc);
        usual(*s->object, nc);
    }
    root.object->setDeviceInstance(1000);
    load.object->setDeviceInstance(17);
    communicationConfig.setBaseInstance(2000);  // a client's write of the Device's identifier
    setClock(kT);
    root.set(150);
    load.set(150);
    root.object->tickReporting(1000);
    load.object->tickReporting(1000);
    const auto events = fake_stack::eventCalls();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].device, -1);
    EXPECT_EQ(events[0].data.initiatingDevice, 1000u);
    EXPECT_EQ(events[1].device, 17);
    communicationConfig.setBaseInstance(0);
}

// Where each kind of recipient is sent: device and broadcast recipients by
// svcSendEventNotification, addresses through the address built for them;
// a pulse converter sends even the broadcast address that way.
TEST_F(Reporting, RecipientsByAddress) {
    const std::vector<BACnetDestination> recipients = {
        addressRecipient(0, {192, 168, 1, 9, 0xBA, 0xC0}), addressRecipient(5, {0x21}),
        addressRecipient(0xFFFF, {})};
    for (const Kind kind : {Kind::AI, Kind::PC}) {
        SCOPED_TRACE(kind == Kind::AI ? "analog input" : "pulse converter");
        fake_stack::reset();
        NotificationClass nc(1, "Alarms", 7);
        Subject s = make(kind, "kW");
        s.link(&nc);
        usual(*s.object, nc);
        nc.replaceRecipients(recipients);
        setClock(kT);
        s.set(150);
        s.object->tickReporting(1000);
        const auto events = fake_stack::eventCalls();
        ASSERT_EQ(events.size(), 3u);
        // Image order: network 0, network 5, network 65535.
        EXPECT_TRUE(events[0].toAddress);
        EXPECT_EQ(events[0].address.macLength, 6);
        EXPECT_TRUE(events[1].toAddress);
        EXPECT_EQ(events[1].address.network, 5);
        if (kind == Kind::AI) {
            EXPECT_FALSE(events[2].toAddress);
            EXPECT_EQ(events[2].recipient, -1);
        } else {
            EXPECT_TRUE(events[2].toAddress);
            EXPECT_EQ(events[2].address.network, 0xFFFF);
        }
    }
}

TEST(RecipientAddress, PlacesNetworkAndMac) {
    struct Case {
        const char *what;
        uint16_t network;
        std::vector<uint8_t> mac;
        uint32_t datalink;
        uint8_t port;
        uint16_t wantNetwork;
        std::vector<uint8_t> wantMac;
        std::vector<uint8_t> wantRemote;
    } const cases[] = {
        {"local B/IP", 0, {192, 168, 1, 9, 0xBA, 0xC0}, 1, kPortBip, 0, {192, 168, 1, 9, 0xBA, 0xC0}, {}},
        {"local B/IPv6", 0, {1, 2, 3}, 2, kPortBipv6, 0, {1, 2, 3}, {}},
        {"one-octet MS/TP", 0, {7}, 3, kPortMstp, 0, {7}, {}},
        {"remote: the router's local broadcast", 5, {0x21}, 1, kPortBip, 5, {}, {0x21}},
        {"global broadcast", 0xFFFF, {}, 3, kPortMstp, 0xFFFF, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        BACnetRecipient r{};
        r.choice = kRecipientAddress;
        r.network = c.network;
        r.macLength = static_cast<uint16_t>(c.mac.size());
        copyOctets(r.mac, c.mac);
        const BACnetAddress a = recipientAddress(r, c.datalink);
        BACnetAddress want;
        std::memset(&want, 0, sizeof want);
        want.network = c.wantNetwork;
        want.maxApdu = 480;
        want.port = c.port;
        want.macLength = static_cast<uint8_t>(c.wantMac.size());
        copyOctets(want.mac, c.wantMac);
        want.remoteLength = static_cast<uint8_t>(c.wantRemote.size());
        copyOctets(want.remoteAddress, c.wantRemote);
        EXPECT_EQ(std::memcmp(&a, &want, sizeof a), 0);
    }
}

TEST(Delays, SaturateInsteadOfWrapping) {
    EXPECT_EQ(delayMilliseconds(0), 0u);
    EXPECT_EQ(delayMilliseconds(5), 5000u);
    EXPECT_EQ(delayMilliseconds(4294967), 4294967000u);
    EXPECT_EQ(delayMilliseconds(4294968), 0xFFFFFFFFu);
    EXPECT_EQ(delayMilliseconds(0xFFFFFFFF), 0xFFFFFFFFu);
}

// The relay to TQR comes after the notification: a TQR that is slow to
// answer never holds a notification back.
TEST_F(Reporting, TheNotificationGoesBeforeTheRelay) {
    fake_stack::reset();
    NotificationClass nc(1, "Alarms", 7);
    Subject s = make(Kind::AI, "kW");
    s.link(&nc);
    usual(*s.object, nc);
    setClock(kT);
    s.set(150);
    s.object->tickReporting(1000);
    EXPECT_EQ(s.object->getEventState(), kEventStateHighLimit);
    EXPECT_EQ(fake_stack::eventCalls().size(), 1u);
    const auto relays = fake_stack::relayCalls();
    ASSERT_EQ(relays.size(), 1u);
    EXPECT_EQ(relays[0].eventsBefore, 1u) << "the notification went before the PUT";
}

}  // namespace
