// The measured values: analog input, large analog value and pulse
// converter. Their COV rule and notifications, the pulse converter's count,
// adjust-value and periodic COV, and the three classes' state files.

#include "fake_stack.h"
#include "meter/host.h"
#include "objects/analog_input.h"
#include "objects/clock.h"
#include "objects/pulse_converter.h"
#include "power_cut.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- the three classes behind one face ----

enum class Kind { AI, LAV, PC };

const char *nameOf(Kind k) {
    return k == Kind::AI ? "analog input" : k == Kind::LAV ? "large analog value" : "pulse converter";
}

struct Subject {
    std::unique_ptr<BACnetObject> object;
    std::function<void(double)> set;
};

// The pulse converter is out of service here, so that the value stored is
// the value reported, as for the other two.
Subject make(Kind kind) {
    Subject s;
    if (kind == Kind::PC) {
        auto o = std::make_unique<PulseConverter>(1, "Pulse Input #1", 95);
        o->setOutOfService(true);
        PulseConverter *p = o.get();
        s.set = [p](double v) { p->setPresentValue(v); };
        s.object = std::move(o);
    } else if (kind == Kind::AI) {
        auto o = std::make_unique<AnalogInput>(3, "kW", 48);
        AnalogInput *p = o.get();
        s.set = [p](double v) { p->setPresentValue(v); };
        s.object = std::move(o);
    } else {
        auto o = std::make_unique<LargeAnalogValue>(4, "kWh", 19);
        LargeAnalogValue *p = o.get();
        s.set = [p](double v) { p->setPresentValue(v); };
        s.object = std::move(o);
    }
    s.object->setDeviceInstance(9);
    return s;
}

CovSubscriber request(uint32_t processId, uint32_t lifetime = 60) {
    CovSubscriber r{};
    r.subscriber.macLength = 1;
    r.subscriber.mac[0] = 7;
    r.processId = processId;
    r.lifetime = lifetime;
    return r;
}

// A subscriber that already heard the start value.
void subscribe(BACnetObject &o) {
    ASSERT_EQ(o.subscribeCov(request(1)), kErrorNone);
    o.tickCov(0);
    fake_stack::reset();
}

// ---- COV rule ----

TEST(MeasuredCov, ChangesAgainstTheValueLastReported) {
    struct Row {
        const char *what;
        std::vector<double> values;  // after a start at 10, increment 1
        std::vector<size_t> sent;    // notifications so far, after each value
        bool subscribed = true;
    } const rows[] = {
        {"a change of exactly the increment", {11}, {0}},
        {"a little more", {11.001}, {1}},
        {"a drift in steps below the increment adds up", {10.6, 11.2, 11.9, 12.3}, {0, 1, 1, 2}},
        {"an unchanged value", {10, 10}, {0, 0}},
        {"to NaN and back", {kNaN, kNaN, 10}, {1, 1, 2}},
        {"to infinity, staying, to the other infinity", {kInf, kInf, -kInf, 10}, {1, 1, 2, 3}},
        {"nobody subscribed", {20, 30, 10.5}, {0, 0, 0}, false},
    };
    for (const Kind kind : {Kind::AI, Kind::LAV, Kind::PC}) {
        for (const Row &row : rows) {
            SCOPED_TRACE(std::string(nameOf(kind)) + ": " + row.what);
            fake_stack::reset();
            Subject s = make(kind);
            s.object->setCovIncrement(1.0);
            s.set(10);
            if (row.subscribed) {
                subscribe(*s.object);
            }
            for (size_t i = 0; i < row.values.size(); ++i) {
                s.set(row.values[i]);
                EXPECT_EQ(fake_stack::covCalls().size(), row.sent[i]) << "after value " << i;
            }
        }
    }
}

// A count rising by one a second with the default increment of 1 is
// reported every second second, not never.
TEST(MeasuredCov, ALiveCountRisingByOneIsReported) {
    fake_stack::reset();
    PulseConverter pc(1, "Pulse Input #1", 95);
    pc.setCount(100);
    subscribe(pc);
    for (uint32_t n = 101; n <= 106; ++n) {
        pc.setCount(n);
    }
    const auto calls = fake_stack::covCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].values[0].value.value.f, 102.0f);
    EXPECT_EQ(calls[2].values[0].value.value.f, 106.0f);
}

TEST(MeasuredCov, NotificationsCarryTheClassValues) {
    ::setenv("TZ", "UTC", 1);
    tzset();
    std::time_t now = 0;
    {
        std::tm t{};
        t.tm_year = 126;
        t.tm_mon = 11;
        t.tm_mday = 6;  // a Sunday
        t.tm_hour = 8;
        t.tm_min = 30;
        t.tm_sec = 15;
        now = timegm(&t);
    }
    meter::host::clock_set(now);

    AnalogInput ai(3, "kW", 48);
    LargeAnalogValue lav(4, "kWh", 19);
    PulseConverter pc(1, "Pulse Input #1", 95);
    ai.setOutOfService(true);
    for (BACnetObject *o : std::initializer_list<BACnetObject *>{&ai, &lav, &pc}) {
        o->setDeviceInstance(9);
        fake_stack::reset();
        subscribe(*o);
        o->tickCov(1);  // 59,999 ms left
    }
    fake_stack::reset();
    ai.setPresentValue(12.5);
    lav.setPresentValue(1e15 + 0.25);
    pc.setCount(7);
    meter::host::clock_release();

    const auto calls = fake_stack::covCalls();
    ASSERT_EQ(calls.size(), 3u);
    for (const RecordedCov &c : calls) {
        EXPECT_EQ(c.device, 9);
        EXPECT_EQ(c.subscriber.lifetime, 59u) << "the time remaining is truncated";
        EXPECT_EQ(c.subscriber.processId, 1u);
    }
    const auto flagsOf = [](const CovPropertyValue &v) {
        EXPECT_EQ(v.propertyId, 111u);
        EXPECT_EQ(v.value.datatype, kDtBitString);
        EXPECT_EQ(v.value.length, 4);
        return v.value.value.octets[0];
    };
    ASSERT_EQ(calls[0].values.size(), 2u);
    EXPECT_EQ(calls[0].values[0].objectId, ai.getObjectIdentifier());
    EXPECT_EQ(calls[0].values[0].propertyId, 85u);
    EXPECT_EQ(calls[0].values[0].arrayIndex, 0xFFFFFFFFu);
    EXPECT_EQ(calls[0].values[0].value.datatype, kDtReal);
    EXPECT_EQ(calls[0].values[0].value.value.f, 12.5f);
    EXPECT_EQ(flagsOf(calls[0].values[1]), kStatusOutOfService);

    ASSERT_EQ(calls[1].values.size(), 2u);
    EXPECT_EQ(calls[1].values[0].value.datatype, kDtDouble);
    EXPECT_EQ(calls[1].values[0].value.value.d, 1e15 + 0.25);
    EXPECT_EQ(flagsOf(calls[1].values[1]), 0);

    ASSERT_EQ(calls[2].values.size(), 3u);
    EXPECT_EQ(calls[2].values[0].value.datatype, kDtReal);
    EXPECT_EQ(calls[2].values[0].value.value.f, 7.0f);
    EXPECT_EQ(flagsOf(calls[2].values[1]), 0);
    EXPECT_EQ(calls[2].values[2].propertyId, 189u);
    EXPECT_EQ(calls[2].values[2].value.datatype, kDtDateTime);
    const BACnetDateTimeValue t = calls[2].values[2].value.value.dateTime;
    EXPECT_EQ((std::vector<int>{t.date.year, t.date.month, t.date.day, t.date.weekday, t.time.hour, t.time.minute,
                                t.time.second, t.time.hundredths}),
              (std::vector<int>{126, 12, 6, 7, 8, 30, 15, 0}));
}

TEST(MeasuredCov, SendResultsAreLoggedPerClass) {
    struct Row {
        int result;
        int level;
        std::string ai;
        std::string others;  // large analog value and pulse converter
    } const rows[] = {
        {-2, 3, "No free buffer space available to send a COV notification",
         "No free buffer space available to send a COV notification"},
        {-11, 3, "No free invoke IDs available to send a COV notification",
         "No free invoke IDs available to send a COV notification"},
        {-999, 3, "Attempt to transmit from unknown VDEV!", "Send a COV notification, invoke ID [-999]"},
        {5, 6, "Send a COV notification, invoke ID [5]", "Send a COV notification, invoke ID [5]"},
        {256, 0, "", ""},
    };
    for (const Kind kind : {Kind::AI, Kind::LAV, Kind::PC}) {
        for (const Row &row : rows) {
            SCOPED_TRACE(std::string(nameOf(kind)) + ": " + std::to_string(row.result));
            fake_stack::reset();
            Subject s = make(kind);
            subscribe(*s.object);
            fake_stack::programResults({row.result});
            s.set(50);
            const std::string &want = kind == Kind::AI ? row.ai : row.others;
            std::vector<RecordedLog> lines;
            for (const RecordedLog &l : fake_stack::logLines()) {
                if (l.text.find("COV") != std::string::npos || l.text.find("VDEV") != std::string::npos) {
                    lines.push_back(l);
                }
            }
            if (want.empty()) {
                EXPECT_TRUE(lines.empty());
                continue;
            }
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].level, row.level == 3 && kind != Kind::AI && row.result == -999 ? 6 : row.level);
            EXPECT_EQ(lines[0].text, want);
        }
    }
}

// ---- pulse converter ----

class Pulse : public ::testing::Test {
protected:
    void SetUp() override {
        fake_stack::reset();
        ::setenv("TZ", "UTC", 1);
        tzset();
        std::tm t{};
        t.tm_year = 126;
        t.tm_mon = 11;
        t.tm_mday = 6;  // a Sunday
        t.tm_hour = 10;
        now = timegm(&t);
        meter::host::clock_set(now);
    }
    void TearDown() override { meter::host::clock_release(); }
    static bool unspecified(const BACnetDateTimeValue &t) {
        return t.date.year == 0xFF && t.date.month == 0xFF && t.date.day == 0xFF && t.date.weekday == 0xFF &&
               t.time.hour == 0xFF && t.time.minute == 0xFF && t.time.second == 0xFF && t.time.hundredths == 0xFF;
    }
    static inline std::time_t now = 0;
};

TEST_F(Pulse, AdjustValue) {
    struct Row {
        const char *what;
        double scale;
        uint32_t count;
        double adjust;
        PackedError result;
        double value;  // read while out of service
    } const rows[] = {
        {"scale 0.5, count 10, 3.0: k 6", 0.5, 10, 3.0, 0, 2.0},
        {"more pulses than the count", 1.0, 3, 4.0, 0x20025, 3.0},
        {"a negative value adds pulses", 1.0, 3, -4.0, 0, 7.0},
        {"scale 0 takes any finite value with k 0", 0.0, 3, 1e12, 0, 0.0},
        {"1e12 pulses do not fit", 0.5, 10, 1e12, 0x20025, 5.0},
        {"-1e12 pulses do not fit", 0.5, 10, -1e12, 0x20025, 5.0},
        {"a quotient past every double", 1e-300, 10, 1e10, 0x20025, 1e-299},
        {"NaN", 1.0, 10, kNaN, 0x20025, 10.0},
        {"+inf", 1.0, 10, kInf, 0x20025, 10.0},
        {"-inf", 0.0, 10, -kInf, 0x20025, 0.0},
        {"count - k past 32 bits does not wrap", 1.0, 4000000000u, -2000000000.0, 0, 6000000000.0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        PulseConverter pc(1, "Pulse Input #1", 95);
        pc.setScale(row.scale);
        pc.setCount(row.count);
        pc.clearUpdateTime();
        EXPECT_EQ(pc.writeAdjustValue(row.adjust), row.result);
        pc.setOutOfService(true);
        EXPECT_EQ(pc.getPresentValue(), row.value);
        EXPECT_EQ(pc.getCount(), row.count) << "the count itself never changes";
        BACnetDateTimeValue update;
        BACnetDateTimeValue change;
        pc.getUpdateTime(&update);
        pc.getCountChangeTime(&change);
        if (row.result == 0) {
            EXPECT_EQ(pc.getAdjustValue(), row.adjust);
            EXPECT_EQ(pc.getCountBeforeChange(), row.count);
            EXPECT_EQ(change.date.weekday, 7) << "Sunday";
            EXPECT_EQ(change.time.hour, 10);
            EXPECT_EQ(std::memcmp(&update, &change, sizeof update), 0);
        } else {
            EXPECT_EQ(pc.getAdjustValue(), 0.0);
            EXPECT_EQ(pc.getCountBeforeChange(), 0u);
            EXPECT_TRUE(unspecified(update));
            EXPECT_TRUE(unspecified(change));
        }
    }
}

TEST_F(Pulse, AnUnchangedCountRecomputesTheValue) {
    PulseConverter pc(1, "Pulse Input #1", 95);
    pc.setCount(10);
    BACnetDateTimeValue first;
    pc.getUpdateTime(&first);
    subscribe(pc);
    now += 3600;
    meter::host::clock_set(now);
    pc.setScale(2.0);
    pc.setCount(10);
    const auto calls = fake_stack::covCalls();
    ASSERT_EQ(calls.size(), 1u) << "the new scale moved the value by 10";
    EXPECT_EQ(calls[0].values[0].value.value.f, 20.0f);
    BACnetDateTimeValue again;
    pc.getUpdateTime(&again);
    EXPECT_EQ(std::memcmp(&first, &again, sizeof first), 0) << "update-time keeps the last change of the count";
    EXPECT_EQ(pc.getCountBeforeChange(), 0u) << "only an adjust-value write sets it";
}

TEST_F(Pulse, PeriodicCov) {
    for (const uint32_t period : {5u, 1u, 0u}) {
        SCOPED_TRACE("cov-period " + std::to_string(period));
        PulseConverter pc(1, "Pulse Input #1", 95);
        pc.setCovPeriod(period);
        subscribe(pc);
        std::vector<int> ticks;
        for (int tick = 1; tick <= 15; ++tick) {
            const size_t before = fake_stack::covCalls().size();
            pc.tickCovPeriod(1000);
            pc.tickCov(1000);
            if (fake_stack::covCalls().size() > before) {
                ticks.push_back(tick);
            }
        }
        const std::vector<int> want = period == 5   ? std::vector<int>{5, 10, 15}
                                      : period == 1 ? std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
                                                                       14, 15}
                                                    : std::vector<int>{};
        EXPECT_EQ(ticks, want);
    }
}

// ---- state files ----

class MeasuredFiles : public ::testing::Test {
protected:
    void SetUp() override {
        fake_stack::reset();
        std::filesystem::create_directories(root.host(kDir));
    }
    const std::string kDir = "/config/talvik/loads/3";
    meter::host::TempRoot root;
};

void configure(BACnetObject &o) {
    o.setCovIncrement(0.5);
    o.enableHighLimit();
    o.setHighLimit(120.5);
    o.setLowLimit(-3);
    o.setDeadband(2);
    o.setEventAlgorithmInhibit(false);
    o.setEventDetectionEnable(true);
    o.enableToOffnormalEvent();
    o.enableToNormalEvent();
    o.setOutOfService(true);
    o.setTimeDelay(30);
    o.setTimeDelayNormal(4294967295u);
    o.setUnits(98);
}

TEST_F(MeasuredFiles, TextsAreExact) {
    AnalogInput ai(3, "Phase A \"Current\"", 3);
    configure(ai);
    ai.saveConfig(kDir);
    EXPECT_EQ(root.get(kDir + "/analog-input-3"),
              R"({"analog-input-3":{"cov-increment":0.5,"deadband":2,"event-algorithm-inhibit":false,)"
              R"("event-detection-enable":true,"event-enable":[true,false,true],"limit-enable":[true,false],)"
              R"("high-limit":120.5,"low-limit":-3,"object-name":"Phase A \"Current\"","out-of-service":true,)"
              R"("time-delay":30,"time-delay-normal":4294967295,"units":98}})");

    LargeAnalogValue lav(4, "kWh", 19);
    lav.saveConfig(kDir);
    EXPECT_EQ(root.get(kDir + "/large-analog-value-4"),
              R"({"large-analog-value-4":{"cov-increment":0,"deadband":0,"event-algorithm-inhibit":true,)"
              R"("event-detection-enable":false,"event-enable":[false,false,false],"limit-enable":[false,false],)"
              R"("high-limit":0,"low-limit":0,"object-name":"kWh","out-of-service":false,)"
              R"("time-delay":0,"time-delay-normal":0,"units":19}})");

    PulseConverter pc(1, "Pulse Input #1", 95);
    pc.setScale(0.5);
    pc.setCount(10);
    ASSERT_EQ(pc.writeAdjustValue(3.0), kErrorNone);
    pc.setCovPeriod(15);
    pc.saveConfig(kDir);
    EXPECT_EQ(root.get(kDir + "/pulse-converter-1"),
              R"({"pulse-converter-1":{"adjust-value":3,"cov-increment":1,"cov-period":15,"count":10,"deadband":0,)"
              R"("event-algorithm-inhibit":true,"event-detection-enable":false,"event-enable":[false,false,false],)"
              R"("limit-enable":[false,false],"high-limit":0,"low-limit":0,"object-name":"Pulse Input #1",)"
              R"("out-of-service":false,"time-delay":0,"time-delay-normal":0,"scaler":0.5,"units":95}})");
}

TEST_F(MeasuredFiles, RoundTrips) {
    AnalogInput saved(3, "kW", 3);
    configure(saved);
    saved.saveConfig(kDir);
    AnalogInput ai(3, "kW (renamed by the mapping)", 48);
    EXPECT_TRUE(ai.loadConfig(kDir));
    EXPECT_EQ(ai.getCovIncrement(), 0.5);
    EXPECT_EQ(ai.getHighLimit(), 120.5);
    EXPECT_EQ(ai.getLowLimit(), -3);
    EXPECT_EQ(ai.getDeadband(), 2);
    EXPECT_FALSE(ai.getEventAlgorithmInhibit());
    EXPECT_TRUE(ai.getEventDetectionEnable());
    EXPECT_EQ(ai.getEventEnable(), kTransitionToOffnormal | kTransitionToNormal);
    EXPECT_EQ(ai.getLimitEnable(), kHighLimitEnable) << "[true,false] enables the high limit only";
    EXPECT_TRUE(ai.isOutOfService());
    EXPECT_EQ(ai.getTimeDelay(), 30u);
    EXPECT_EQ(ai.getTimeDelayNormal(), 4294967295u);
    EXPECT_EQ(ai.getUnits(), 98u) << "written past the units' write protection";
    EXPECT_EQ(ai.getObjectName(), "kW (renamed by the mapping)");
}

TEST_F(MeasuredFiles, BadFilesChangeNothing) {
    const std::string path = kDir + "/analog-input-3";
    const std::string good =
        R"("cov-increment":0.5,"deadband":2,"event-algorithm-inhibit":false,"event-detection-enable":true,)"
        R"("event-enable":[true,false,true],"limit-enable":[true,false],"high-limit":120.5,"low-limit":-3,)"
        R"("object-name":"kW","out-of-service":true,"time-delay":30,"time-delay-normal":4,"units":98)";
    const auto without = [&](const std::string &key) {
        std::string text = good;
        const size_t at = text.find("\"" + key + "\":");
        const size_t next = text.find(",\"", at);
        if (next == std::string::npos) {
            return text.substr(0, at - 1);  // the last key, with the comma before it
        }
        return text.erase(at, next + 1 - at);
    };
    struct Case {
        std::string member;
        std::string reason;
    } const cases[] = {
        {without("units"), "units not found"},
        {without("event-algorithm-inhibit"), "event-algorithm-inhibit not found"},
        {without("limit-enable"), "limit-enable not found"},
        {without("cov-increment"), "cov-increment not found"},
        {without("object-name"), "object-name not found"},
        {without("time-delay-normal"), "time-delay-normal not found"},
        {std::string(good).replace(good.find("[true,false,true]"), 17, "[true,false]"),
         "event-enable not correct size"},
        {std::string(good).replace(good.find("[true,false]"), 12, "[true,false,true]"),
         "limit-enable not correct size"},
        {std::string(good).replace(good.find("[true,false]"), 12, "true"), "limit-enable not correct size"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reason);
        fake_stack::reset();
        root.put(path, R"({"analog-input-3":{)" + c.member + "}}");
        AnalogInput ai(3, "kW", 48);
        EXPECT_FALSE(ai.loadConfig(kDir));
        EXPECT_EQ(fake_stack::logTexts(1),
                  std::vector<std::string>{"Invalid data in " + path + " (" + c.reason + "). Using factory defaults."});
        EXPECT_EQ(ai.getCovIncrement(), 0.0);
        EXPECT_EQ(ai.getLimitEnable(), 0);
        EXPECT_FALSE(ai.isOutOfService());
        EXPECT_TRUE(ai.getEventAlgorithmInhibit());
        EXPECT_EQ(ai.getUnits(), 48u);
    }
}

// The saved adjust-value, count and scale come back as they were, at the
// first load (count still 0) and at the second, with no time stamped.
TEST_F(MeasuredFiles, PulseConverterReloadsOverTwoLoads) {
    {
        PulseConverter saved(1, "Pulse Input #1", 95);
        saved.setScale(0.5);
        saved.setCount(10);
        ASSERT_EQ(saved.writeAdjustValue(3.0), kErrorNone);
        saved.setCovPeriod(15);
        saved.saveConfig(kDir);
    }
    PulseConverter pc(1, "Pulse Input #1", 95);
    for (int load = 1; load <= 2; ++load) {
        SCOPED_TRACE("load " + std::to_string(load));
        EXPECT_TRUE(pc.loadConfig(kDir));
        EXPECT_EQ(pc.getAdjustValue(), 3.0);
        EXPECT_EQ(pc.getCount(), 10u);
        EXPECT_EQ(pc.getScale(), 0.5);
        EXPECT_EQ(pc.getCovPeriod(), 15u);
        EXPECT_EQ(pc.getPresentValue(), 5.0);
        BACnetDateTimeValue update;
        BACnetDateTimeValue change;
        pc.getUpdateTime(&update);
        pc.getCountChangeTime(&change);
        EXPECT_EQ(update.date.year, 0xFF) << "nothing stamped";
        EXPECT_EQ(change.date.year, 0xFF) << "nothing stamped";
    }
}

TEST(MeasuredFilesPowerCut, ASaveLeavesTheOldOrTheNewValues) {
    fake_stack::reset();
    const std::string dir = "/config/talvik/inputs/0";
    for (const Kind kind : {Kind::AI, Kind::LAV, Kind::PC}) {
        SCOPED_TRACE(nameOf(kind));
        const auto save = [&](double increment) {
            Subject s = make(kind);
            s.object->setCovIncrement(increment);
            s.object->setTimeDelay(static_cast<uint32_t>(increment * 10));
            s.object->saveConfig(dir);
        };
        const auto loaded = [&] {
            Subject s = make(kind);
            s.object->setCovIncrement(-1);
            s.object->loadConfig(dir);
            EXPECT_EQ(s.object->getTimeDelay(), static_cast<uint32_t>(s.object->getCovIncrement() * 10))
                << "one file's values, never a mixture";
            return s.object->getCovIncrement();
        };
        cutAtEveryStep(dir, [&] { save(1.5); }, [&] { save(2.5); },
                       [&] {
                           const double v = loaded();
                           EXPECT_TRUE(v == 1.5 || v == 2.5) << v;
                           EXPECT_EQ(loaded(), v) << "a second start loads the same";
                       });
    }
}

}  // namespace
