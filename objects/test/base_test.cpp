// The base object: defaults, limits with their auto-correction, status
// flags and event state, event texts and time stamps on a set clock.

#include "fake_stack.h"
#include "meter/host.h"
#include "objects/clock.h"
#include "test_object.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

namespace {

class BaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_stack::reset();
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
    }
    void TearDown() override { meter::host::clock_release(); }
};

bool allOctets(const BACnetTimeStamp &stamp, uint8_t v, size_t from, size_t to) {
    const auto *p = reinterpret_cast<const uint8_t *>(&stamp);
    for (size_t i = from; i < to; ++i) {
        if (p[i] != v) {
            return false;
        }
    }
    return true;
}

TEST_F(BaseTest, NewObjectDefaults) {
    TestCovObject o(kNoInstance);
    EXPECT_EQ(o.getInstance(), 4194303u);
    EXPECT_EQ(o.getUnits(), 95u);
    EXPECT_EQ(o.getNotifyType(), 1);
    EXPECT_EQ(o.getEventState(), kEventStateNormal);
    EXPECT_EQ(o.getStatusFlags(), 0);
    EXPECT_EQ(o.getTimeDelayRemaining(), 0xFFFFFFFFu);
    for (uint8_t i = 0; i < 3; ++i) {
        const BACnetTimeStamp s = o.getEventTimeStamp(i);
        EXPECT_EQ(s.choice, kTimeStampDateTime);
        EXPECT_TRUE(allOctets(s, 0xFF, 4, 12));
        EXPECT_EQ(o.getEventMessageText(i), "");
    }
}

TEST_F(BaseTest, AlarmEntriesAreOwnedAndCleared) {
    // The object owns its entries: clearing releases them and the object
    // takes new ones; whatever is linked at destruction is released then
    // (the AddressSanitizer build reports a leak otherwise).
    TestCovObject o(1);
    EXPECT_TRUE(o.alarmEntries.empty());
    for (int32_t id : {7, 8}) {
        auto entry = std::make_unique<AlarmEntry>();
        entry->setId(id);
        o.alarmEntries.push_back(std::move(entry));
    }
    ASSERT_EQ(o.alarmEntries.size(), 2u);
    EXPECT_EQ(o.alarmEntries[1]->getId(), 8);
    o.clearAlarmEntries();
    EXPECT_TRUE(o.alarmEntries.empty());
    o.clearAlarmEntries();
    o.alarmEntries.push_back(std::make_unique<AlarmEntry>());
    EXPECT_EQ(o.alarmEntries.size(), 1u);
}

TEST_F(BaseTest, LimitAutoCorrection) {
    const std::string name = "Load 1 kW";
    struct Case {
        const char *what;
        bool lowEnabled, highEnabled;
        double high, low, deadband;
        std::function<void(BACnetObject &)> act;
        double expectHigh, expectLow, expectDeadband;
        std::vector<std::string> lines;
    } const cases[] = {
        {"inverted high limit swaps", true, true, 100, 0, 0, [](BACnetObject &o) { o.setHighLimit(-5); }, 0, -5, 0,
         {"Found misconfigured low-limit (high-limit < low-limit) in: " + name +
          ", autocorrecting low-limit to -5.000"}},
        {"equal low limit raises the high limit", true, true, 100, 0, 0,
         [](BACnetObject &o) { o.setLowLimit(100); }, 101, 100, 0,
         {"Found misconfigured high-limit (high-limit = low-limit) in: " + name +
          "autocorrecting high-limit to 101.000"}},
        {"inverted low limit swaps", true, true, 10, 0, 0, [](BACnetObject &o) { o.setLowLimit(20); }, 20, 10, 0,
         {"Found misconfigured high-limit (high-limit < low-limit) in: " + name +
          ", autocorrecting high-limit to 20.000"}},
        {"equal high limit below 1 stays", true, false, 0, 0.5, 0, [](BACnetObject &o) { o.setHighLimit(0.5); },
         0.5, 0.5, 0, {}},
        {"equal high limit lowers the low limit", true, false, 0, 3, 0, [](BACnetObject &o) { o.setHighLimit(3); },
         3, 2, 0,
         {"Found misconfigured low-limit (high-limit = low-limit) in: " + name +
          ", autocorrecting low-limit to 2.000"}},
        {"neither enabled: stored as given", false, false, 5, 10, 0,
         [](BACnetObject &o) {
             o.setHighLimit(-3);
             o.setDeadband(50);
         },
         -3, 10, 50, {}},
        {"smaller deadband moves nothing", true, true, 101, 0, 99, [](BACnetObject &o) { o.setDeadband(10); }, 101,
         0, 10, {}},
        {"deadband wider than the band raises the high limit", true, true, 101, 0, 0,
         [](BACnetObject &o) { o.setDeadband(150); }, 152, 0, 150,
         {"Found misconfigured deadband, autocorrecting high-limit to 152.000"}},
        {"a narrow power-factor band stays reachable", true, true, 1, -1, 0.1,
         [](BACnetObject &o) { o.setHighLimit(0.95); }, 0.95, -1, 0.1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fake_stack::reset();
        TestCovObject o(1, name);
        // Set up the starting point with no limit enabled, then enable.
        o.setHighLimit(c.high);
        o.setLowLimit(c.low);
        o.setDeadband(c.deadband);
        if (c.lowEnabled) {
            o.enableLowLimit();
        }
        if (c.highEnabled) {
            o.enableHighLimit();
        }
        c.act(o);
        EXPECT_DOUBLE_EQ(o.getHighLimit(), c.expectHigh);
        EXPECT_DOUBLE_EQ(o.getLowLimit(), c.expectLow);
        EXPECT_DOUBLE_EQ(o.getDeadband(), c.expectDeadband);
        EXPECT_EQ(fake_stack::logTexts(3), c.lines);
    }
}

TEST_F(BaseTest, StatusFlagsAndEventState) {
    TestCovObject o(1);
    o.setOutOfService(true);
    EXPECT_TRUE(o.isOutOfService());
    EXPECT_EQ(o.getStatusFlags(), kStatusOutOfService);
    o.setHighLimitState(true);
    EXPECT_EQ(o.getEventState(), kEventStateHighLimit);
    EXPECT_EQ(o.getStatusFlags(), kStatusOutOfService | kStatusInAlarm);
    EXPECT_EQ(o.getReportingSnapshot().statusFlags, kStatusOutOfService | kStatusInAlarm);
    o.setLowLimitState(true);
    EXPECT_EQ(o.getEventState(), kEventStateLowLimit);
    o.setEventStateNormal();
    EXPECT_EQ(o.getEventState(), kEventStateNormal);
    EXPECT_EQ(o.getStatusFlags(), kStatusOutOfService);
    o.setOutOfServiceFlag(false);
    EXPECT_TRUE(o.isOutOfService()) << "the flag alone leaves the property";
    EXPECT_EQ(o.getStatusFlags(), 0);
    o.setEventState(kEventStateHighLimit);
    EXPECT_EQ(o.getStatusFlags(), 0) << "the plain setter changes no flag";
}

TEST_F(BaseTest, SwitchingEventDetectionOffClearsTheAlarm) {
    TestCovObject o(1);
    o.setEventDetectionEnable(true);
    o.setHighLimitState(true);
    ASSERT_TRUE(o.stampEventTime(0));
    o.setEventDetectionEnable(false);
    EXPECT_EQ(o.getEventState(), kEventStateNormal);
    EXPECT_EQ(o.getStatusFlags() & kStatusInAlarm, 0) << "normal with in-alarm set could never clear";
    EXPECT_TRUE(allOctets(o.getEventTimeStamp(0), 0xFF, 4, 12));

    // Switching on, or off again, changes nothing more.
    o.setInAlarm(true);
    o.setEventDetectionEnable(false);
    EXPECT_EQ(o.getStatusFlags(), kStatusInAlarm);
}

TEST_F(BaseTest, TimeStampsAndWindowsOnTheSetClock) {
    // Sunday 2026-12-13 12:00:00 UTC.
    meter::host::clock_set(1797163200);
    TestCovObject o(1);
    ASSERT_TRUE(o.stampEventTime(2));
    const BACnetTimeStamp s = o.getEventTimeStamp(2);
    EXPECT_EQ(s.choice, kTimeStampDateTime);
    EXPECT_EQ(s.time.hour, 12);
    EXPECT_EQ(s.time.minute, 0);
    EXPECT_EQ(s.time.hundredths, 0);
    EXPECT_EQ(s.date.year, 126);
    EXPECT_EQ(s.date.month, 12);
    EXPECT_EQ(s.date.day, 13);
    EXPECT_EQ(s.date.weekday, 7) << "Sunday";

    EXPECT_FALSE(o.stampEventTime(3));
    EXPECT_FALSE(o.setEventMessageText("x", 3));
    EXPECT_EQ(o.getEventMessageText(3), "");
    EXPECT_FALSE(o.setTimeStamp(s, 3));
    EXPECT_TRUE(allOctets(o.getEventTimeStamp(3), 0, 0, 12));
    EXPECT_TRUE(allOctets(o.getEventTimeStamp(0), 0xFF, 4, 12)) << "index 3 touched another stamp";

    EXPECT_TRUE(o.isValidToday(0x02));   // Sunday
    EXPECT_FALSE(o.isValidToday(0xFC));  // Monday to Saturday
    EXPECT_EQ(o.compareTimeOfDay({12, 0, 0, 50}), 0);
    EXPECT_EQ(o.compareTimeOfDay({11, 59, 59, 0}), 1);
    EXPECT_EQ(o.compareTimeOfDay({12, 0, 1, 0}), -1);
    meter::host::clock_advance(86400);  // Monday
    EXPECT_TRUE(o.isValidToday(0x80));
}

}  // namespace
