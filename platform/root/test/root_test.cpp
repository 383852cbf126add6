#include "meter/root.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct Case {
    const char *root;  // nullptr: METER_ROOT unset
    const char *in;
    const char *out;
};

TEST(MeterPath, MapsBoardPathsUnderTheRoot) {
    const Case cases[] = {
        {nullptr, "/dev/zor_adc", "/dev/zor_adc"},
        {"", "/data/energy_set_0", "/data/energy_set_0"},
        {"/tmp/m", "/dev/zor_data/ct", "/tmp/m/dev/zor_data/ct"},
        {"/tmp/m/", "/config/timezone", "/tmp/m/config/timezone"},
        {"/tmp/m//", "/etc/zor-driver/adc_settings", "/tmp/m/etc/zor-driver/adc_settings"},
        {"/tmp/m", "relative/file", "relative/file"},
        {"/tmp/m", "", ""},
    };
    for (const Case &c : cases) {
        if (c.root == nullptr) {
            unsetenv("METER_ROOT");
        } else {
            setenv("METER_ROOT", c.root, 1);
        }
        EXPECT_EQ(meter::meter_path(c.in), c.out) << "root=" << (c.root ? c.root : "(unset)")
                                                  << " path=" << c.in;
    }
    unsetenv("METER_ROOT");
}

}  // namespace
