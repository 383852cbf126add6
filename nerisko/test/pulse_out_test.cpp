// The energy pulse output against the velsard stand-in.

#include "nerisko/agg.h"
#include "nerisko/agg_internal.h"
#include "temp_root.h"
#include "test_bus.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using velsard_testing::Control;
using velsard_testing::TestBus;

class PulseOut : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!TestBus::get().velsard_running()) {
            TestBus::get().start_velsard();
        }
    }
    void SetUp() override {
        setlogmask(LOG_UPTO(LOG_DEBUG));
        std::filesystem::create_directories(root.host("/data"));
        ASSERT_EQ(arvent_init(nullptr, nullptr), 1);
        setlogmask(LOG_UPTO(LOG_DEBUG));
        // Load id 7 in mapping entry 3, on voltage set 1.
        std::memset(&map, 0, sizeof map);
        map.sets_u[0].id = 0;
        map.sets_u[0].active = true;
        map.sets_u[1].id = 1;
        map.sets_u[1].active = true;
        map.sets_i[3].id = 7;
        map.sets_i[3].u_set_id = 1;
        map.sets_i[3].active = true;
        map.sets_i[4].id = 8;
        map.sets_i[4].u_set_id = 1;
        map.sets_i[4].active = true;
        control.store("mapping", mapping_serialize(&map));
        configure(true, true, 19, 0.5, 150, 7);
        control.clear_calls();
        agg_forget_failed_saves();
        agg_pulse_out_off();
    }
    void TearDown() override {
        agg_pulse_out_off();
        arvent_cleanup();
    }
    void configure(bool f1, bool f2, int32_t param, double scaler, int32_t width, int32_t load) {
        pulse_config pc{};
        for (pulse_config_entry &e : pc.entries) {
            e.flag_1 = f1;
            e.flag_2 = f2;
            e.param = param;
            e.scaler = scaler;
            e.pulse_width = width;
            e.load_id = load;
        }
        control.store("pulse_config", pulse_config_serialize(&pc));
    }
    // The set's slot 1 holds load 7 (slot 0 load 8), as processing would
    // order them; one closed second with the register at v, after it was at before.
    void second(double before, double v) {
        static avg_buf_t a;
        std::memset(&a, 0, sizeof a);
        a.data.sets_i[1].p.wh_in.value = before;
        agg_pulse_out_seed(&desc, &a);
        a.data.sets_i[1].p.wh_in.value = v;
        agg_pulse_out_step(&desc, &a);
    }
    std::vector<std::string> reports() {
        std::vector<std::string> out;
        for (const auto &c : control.calls_of("UpdatePulseCount")) {
            out.push_back(velsard_testing::print(c.args.get()));
        }
        return out;
    }

    meter::host::TempRoot root;
    Control control;
    mapping map{};
    processing_set_t desc{&map.sets_u[1], {&map.sets_i[4], &map.sets_i[3]}};
};

TEST_F(PulseOut, CountsPulsesAndCarriesTheRest) {
    ASSERT_EQ(agg_set_pulse_out(), 1);
    EXPECT_EQ(meter::host::pulse_widths(), std::vector<int32_t>{150});
    EXPECT_TRUE(meter::host::log_has("Setting pulse width to: 150"));
    const agg_pulse_out_settings s = agg_pulse_out_get();
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.load_id, 7);
    EXPECT_EQ(s.u_set_id, 1u);

    second(1000.0, 2700.0);  // baseline 1000, then +1700 Wh at 0.5 kWh per pulse
    EXPECT_EQ(reports(), std::vector<std::string>{"(2, 3)"});
    bool seeded = false;
    EXPECT_DOUBLE_EQ(agg_pulse_out_baseline(&seeded), 2500.0);
    EXPECT_TRUE(seeded);
    second(2700.0, 2999.0);  // 499 Wh owed: not a pulse yet
    EXPECT_EQ(reports().size(), 1u);
    second(2999.0, 2000.0);  // below the baseline: nothing
    EXPECT_EQ(reports().size(), 1u);
    second(2000.0, 3000.0);
    EXPECT_EQ(reports().back(), "(2, 1)");

    // The other voltage set's seconds do not count.
    processing_set_t other{&map.sets_u[0], {&map.sets_i[3]}};
    static avg_buf_t a;
    a.data.sets_i[0].p.wh_in.value = 90000.0;
    agg_pulse_out_step(&other, &a);
    EXPECT_EQ(reports().size(), 2u);
}

// A refused report leaves the pulses due: the next second reports them again.
TEST_F(PulseOut, RefusedReportIsDueAgain) {
    ASSERT_EQ(agg_set_pulse_out(), 1);
    second(0.0, 0.0);
    control.fail_next("UpdatePulseCount");
    second(0.0, 1100.0);
    EXPECT_TRUE(meter::host::log_has(LOG_ERR, "Failed to generate 2 pulses"));
    EXPECT_DOUBLE_EQ(agg_pulse_out_baseline(nullptr), 0.0);
    second(1100.0, 1100.0);
    EXPECT_EQ(reports(), (std::vector<std::string>{"(2, 2)", "(2, 2)"}));
    EXPECT_DOUBLE_EQ(agg_pulse_out_baseline(nullptr), 1000.0);
}

// Configurations: a flag cleared switches the output off; a bad one
// changes nothing of what is in force.
TEST_F(PulseOut, Configurations) {
    ASSERT_EQ(agg_set_pulse_out(), 1);
    struct Case {
        const char *name;
        bool f1, f2;
        int32_t param;
        double scaler;
        int32_t load;
        int result;
        const char *line;
    } const cases[] = {
        {"scaler 0", true, true, 19, 0.0, 7, 0, "Pulse out scaler invalid"},
        {"scaler negative", true, true, 19, -1.0, 7, 0, "Pulse out scaler invalid"},
        {"unknown param", true, true, 20, 1.0, 7, 0, "Pulse out param invalid"},
        {"unknown load", true, true, 19, 1.0, 99, 0, "Faild to find pulse out load"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        configure(c.f1, c.f2, c.param, c.scaler, 80, c.load);
        EXPECT_EQ(agg_set_pulse_out(), c.result);
        EXPECT_TRUE(meter::host::log_has(LOG_ERR, c.line));
        const agg_pulse_out_settings s = agg_pulse_out_get();
        EXPECT_TRUE(s.enabled);
        EXPECT_EQ(s.load_id, 7);
        EXPECT_DOUBLE_EQ(s.scaler, 0.5);
        EXPECT_EQ(s.param, 19);
    }
    configure(true, false, 19, 0.5, 150, 7);
    EXPECT_EQ(agg_set_pulse_out(), 1);
    EXPECT_FALSE(agg_pulse_out_enabled());
    second(0.0, 5000.0);
    second(0.0, 9000.0);
    EXPECT_TRUE(reports().empty());

    control.fail_next("GetPulseConfiguration");
    EXPECT_EQ(agg_set_pulse_out(), 0);
    EXPECT_TRUE(meter::host::log_has(LOG_ERR, "Failed to get pulse config"));
}

// After a restart the baseline comes from the driving load's own restored
// register: no burst of pulses, whatever the other slots hold.
TEST_F(PulseOut, NoBurstAfterARestart) {
    ASSERT_EQ(agg_set_pulse_out(), 1);
    avg_buf_t saved{};
    saved.data.sets_i[1].p.wh_in.value = 123456.0;  // load 7's slot
    ASSERT_TRUE(agg_save_energy(&saved, 0));
    agg_init();
    // The first closed second after the restart: the restored register plus 100 Wh.
    second(123456.0, 123556.0);
    EXPECT_TRUE(reports().empty());
    bool seeded = false;
    EXPECT_DOUBLE_EQ(agg_pulse_out_baseline(&seeded), 123456.0);
    second(123556.0, 123956.0);
    EXPECT_EQ(reports(), std::vector<std::string>{"(2, 1)"});
}

}  // namespace
