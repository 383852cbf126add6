#include "nerisko/temp.h"
#include "temp_root.h"

#include <gtest/gtest.h>

namespace {

constexpr const char *kSource = "/sys/bus/iio/devices/iio:device0/in_voltage0_raw";

TEST(Temperature, ConvertsTheRawReading) {
    struct Case {
        const char *content;
        float celsius;
    } const cases[] = {
        {"0\n", 188.0f},          // 1.034 V / 5.5 mV
        {"4095\n", -139.2727f},  // the top of the 1.8 V span
        {"2048", 24.3236f},
        {"3160 trailing", -64.5475f},
    };
    for (const Case &c : cases) {
        meter::host::TempRoot root;
        root.put(kSource, c.content);
        float t = 0;
        ASSERT_TRUE(temp_get_temperature(&t)) << c.content;
        EXPECT_NEAR(t, c.celsius, 0.01f) << c.content;
    }
}

TEST(Temperature, ReportsASensorThatCannotBeRead) {
    struct Case {
        const char *content;  // nullptr: no file
        const char *line;
    } const cases[] = {
        {nullptr, "failed to access temperature sensor"},
        {"", "failed to read temperature"},
        {"abc\n", "failed to read temperature"},
    };
    for (const Case &c : cases) {
        meter::host::TempRoot root;
        if (c.content != nullptr) {
            root.put(kSource, c.content);
        }
        float t = 42.0f;
        EXPECT_FALSE(temp_get_temperature(&t));
        EXPECT_EQ(t, 42.0f);
        EXPECT_TRUE(meter::host::log_has(c.line)) << c.line;
    }
}

}  // namespace
