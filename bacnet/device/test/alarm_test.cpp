#include "device/alarm.h"

#include <gtest/gtest.h>

namespace {

AlarmEntry entry(int32_t kind, int32_t index, float deadband = 1, int32_t delay = 10) {
    AlarmEntry e;
    e.setSourceKind(kind);
    e.setSourceIndex(index);
    e.setDeadband(deadband);
    e.setDelay(delay);
    return e;
}

AlarmMessage message(const AlarmEntry &e, uint8_t to, std::string name = "Total Real Power (kW)") {
    AlarmMessage m;
    m.entry = &e;
    m.toState = to;
    m.highLimit = 50;
    m.lowLimit = 10;
    m.presentValue = 55.5f;
    m.objectName = std::move(name);
    return m;
}

TEST(AlarmEntry, StartsWithoutSourceOrFollowedStates) {
    AlarmEntry e;
    EXPECT_EQ(e.getSourceIndex(), -1);
    EXPECT_TRUE(e.followedStates.empty());
}

TEST(AlarmText, ExampleAndPrefixes) {
    const AlarmEntry load4 = entry(0, 4);
    EXPECT_EQ(alarmBuildMessage(message(load4, 3)),
              "Load #5 Total Real Power (kW) has exceeded 50.000 with a deadband of 1.000 with a delay of 10 "
              "seconds.  Current value is 55.500.");
    struct {
        int32_t kind;
        int32_t index;
        const char *start;
    } const cases[] = {
        {0, -1, "Total Real"}, {4, 2, "Total Real"}, {-1, 2, "Total Real"}, {0, 0, "Load #1 Total"},
        {1, 1, "Vin #2 Total"}, {2, 47, "CT #48 Total"}, {3, 2, "Line #3 Total"},
    };
    for (const auto &c : cases) {
        const AlarmEntry e = entry(c.kind, c.index);
        EXPECT_EQ(alarmBuildMessage(message(e, 3)).rfind(c.start, 0), 0u) << c.kind << " " << c.index;
    }
    const AlarmEntry none = entry(0, -1);
    EXPECT_EQ(alarmBuildMessage(message(none, 3, "")).rfind(" has exceeded", 0), 0u);
    const AlarmEntry first = entry(0, 0);
    EXPECT_EQ(alarmBuildMessage(message(first, 3, "")).rfind("Load #1  has exceeded", 0), 0u);
}

TEST(AlarmText, ToStatesChooseTheWording) {
    const AlarmEntry e = entry(0, -1, 0.5f, 0);
    const std::string tail = " with a deadband of 0.500 with a delay of 0 seconds.  Current value is 55.500.";
    struct {
        uint8_t to;
        const char *middle;
    } const cases[] = {
        {0, " is between 10.000 and 50.000"}, {2, " is between 10.000 and 50.000"},
        {3, " has exceeded 50.000"},          {6, " has exceeded 50.000"},
        {4, " has gone below 10.000"},        {5, " has gone below 10.000"},
        {1, ""},                              {7, ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(alarmBuildMessage(message(e, c.to, "X")), std::string("X") + c.middle + tail) << int(c.to);
    }
}

TEST(AlarmText, NumbersAreFixedPoint) {
    struct {
        float value;
        const char *text;
    } const cases[] = {
        {55.5f, "55.500"}, {0.1f, "0.100"}, {-2, "-2.000"}, {1e6f, "1000000.000"}, {0, "0.000"},
        {3.4e38f, "339999995214436424907732413799364296704.000"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(formatFixed(c.value, 3), c.text);
    }
    EXPECT_EQ(formatFixed(2.5f, 0), "2");
    const AlarmEntry e = entry(0, -1);
    AlarmMessage m = message(e, 3, "Peak");
    m.highLimit = 3.4e38f;
    EXPECT_NE(alarmBuildMessage(m).find("has exceeded 339999995214436424907732413799364296704.000 with"),
              std::string::npos);
}

TEST(AlarmText, LongTextsAreCutForTheNotification) {
    const AlarmEntry e = entry(0, 4);
    const std::string text = alarmBuildMessage(message(e, 3, std::string(300, 'n')));
    EXPECT_EQ(text.size(), alarmMessageMaxLength);
    EXPECT_EQ(text, "Load #5 " + std::string(240, 'n'));
    // A two-byte character across the cut is left out whole.
    const std::string name = std::string(239, 'n') + "\xC3\xBC" + "tail";
    const std::string cut = alarmBuildMessage(message(e, 3, name));
    EXPECT_EQ(cut, "Load #5 " + std::string(239, 'n'));
}

TEST(AlarmState, ToEventState) {
    EXPECT_EQ(alarmStateToEventState(2), 0);
    EXPECT_EQ(alarmStateToEventState(6), 3);
    EXPECT_EQ(alarmStateToEventState(5), 4);
    EXPECT_EQ(alarmStateToEventState(7), 0);
}

} // namespace
