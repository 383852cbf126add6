// The calibration block takes the EEPROMs' serial numbers from the
// configuration daemon; here from the velsard stand-in on a private bus.
#include "nerisko/cal.h"
#include "temp_root.h"
#include "test_bus.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using velsard_testing::Control;
using velsard_testing::TestBus;

cal_eeprom_t good_block() {
    cal_eeprom_t b{};
    b.version = CAL_VERSION;
    for (uint32_t ch = 0; ch < CAL_CHANNELS; ++ch) {
        b.cal[ch] = {1.0f + 0.01f * static_cast<float>(ch), static_cast<int32_t>(ch)};
    }
    b.checksum = checksum(reinterpret_cast<const uint8_t *>(b.cal), sizeof b.cal);
    return b;
}

class CalOverIpc : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TestBus::get().start_velsard(); }
    void SetUp() override {
        cal_set_serial_source(nullptr);
        std::string img(600, '\0');
        const cal_eeprom_t b = good_block();
        std::memcpy(img.data() + CAL_EEPROM_OFFSET, &b, sizeof b);
        root.put(CAL_EEPROM_SECOND, img);
        ASSERT_EQ(arvent_init(nullptr, nullptr), 1);
    }
    void TearDown() override {
        arvent_cleanup();
        if (!TestBus::get().velsard_running()) {
            TestBus::get().start_velsard();
        }
    }
    meter::host::TempRoot root;
    Control control;
};

TEST_F(CalOverIpc, SerialNumbersDecideWhetherTheBlockIsRead) {
    struct Case {
        const char *device, *first, *second;
        bool valid;
        const char *line;  // nullptr: none expected
    } const cases[] = {
        {"ZM-1", "EE-42", "EE-42", true, nullptr},
        {"ZM-1", "EE-42", "EE-43", false, "eeprom serials do not match"},
        {"ZM-1", "", "EE-42", false, "eeprom serials do not match"},
        {"", "", "", true, nullptr},
    };
    for (const Case &c : cases) {
        control.store("serials", g_variant_new("(sss)", c.device, c.first, c.second));
        meter::host::log_clear();
        cal_init();
        EXPECT_EQ(cal_valid(), c.valid) << c.first << "/" << c.second;
        if (c.valid) {
            EXPECT_EQ(cal_array[53].offset, 53);
        } else {
            EXPECT_EQ(cal_array[53].offset, 0);
            EXPECT_TRUE(meter::host::log_has(c.line)) << c.line;
        }
        EXPECT_FALSE(control.calls_of("GetSerial").empty());
        control.clear_calls();
    }
}

TEST_F(CalOverIpc, NoSerialNumbersNoCalibration) {
    control.store("serials", g_variant_new("(sss)", "ZM-1", "EE-42", "EE-42"));
    control.fail_next("GetSerial");
    cal_init();
    EXPECT_FALSE(cal_valid());
    EXPECT_TRUE(meter::host::log_has("failed to get serials"));

    TestBus::get().stop_velsard();  // velsard gone
    meter::host::log_clear();
    cal_init();
    EXPECT_FALSE(cal_valid());
    EXPECT_TRUE(meter::host::log_has("failed to get serials"));
}

}  // namespace
