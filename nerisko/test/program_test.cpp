// The program's start-up, restarts and signal handling in-process, on the
// simulated board in real time, against the velsard stand-in on a private bus.

#include "nerisko/agg.h"
#include "nerisko/alarm.h"
#include "nerisko/dev.h"
#include "nerisko/pulse.h"
#include "nerisko/stats.h"
#include "nerisko/event.h"
#include "nerisko/frontend.h"
#include "nerisko/processing.h"
#include "nerisko/program.h"
#include "meter/sysio.h"
#include "prusim/prusim.h"
#include "ex_port.h"
#include "temp_root.h"
#include "test_bus.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using velsard_testing::Control;
using velsard_testing::TestBus;
using namespace std::chrono_literals;

std::atomic<int> one_second_results{0};
void count_result(event_data_t *) { ++one_second_results; }

// The limit only keeps a broken program from hanging the run: on a machine
// busy with parallel builds, eight restarts take far longer than alone.
template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

class Program : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!TestBus::get().velsard_running()) {
            TestBus::get().start_velsard();
        }
    }
    void SetUp() override {
        if (!TestBus::get().velsard_running()) {
            TestBus::get().start_velsard();
        }
        control.clear_calls();
        setlogmask(LOG_UPTO(LOG_DEBUG));
        ASSERT_TRUE(sys_platform_start());
        one_second_results = 0;
        agg_set_pf_sign_value(0);
        pulse_period_ms = 20;
    }
    void TearDown() override {
        if (started) {
            main_cleanup();
        }
        control.store("num_channels", g_variant_new_uint32(48));
        control.store("pulse_config", g_variant_ref(default_pulse_config.get()));
        pulse_period_ms = 1000;
    }
    // The simulated front end of this many CT channels, then start-up.
    int start(uint32_t channels, bool chan_given = false, uint32_t channel = 0) {
        control.store("num_channels", g_variant_new_uint32(channels));
        prusim::Config c = prusim::configuration();
        c.num_adcs = channels == 3 ? 1 : channels == 12 ? 3 : 9;
        prusim::configure(c);
        event_register(count_result, EVENT_ONE_SECOND);
        const int status = main_init(false, 0, 1538500, channel, false, chan_given);
        started = status == 0;
        if (!started) {
            event_cleanup();  // the counter's registration, when start-up ended without clean-up
        }
        return status;
    }
    bool results_flow(int more = 2) {
        const int now = one_second_results.load();
        return wait_until([&] { return one_second_results.load() >= now + more; });
    }

    std::vector<std::string> reports_of(int channel) {
        std::vector<std::string> out;
        for (const auto &c : control.calls_of("UpdatePulseCount")) {
            const std::string text = velsard_testing::print(c.args.get());
            if (text.rfind("(" + std::to_string(channel) + ",", 0) == 0) {
                out.push_back(text);
            }
        }
        return out;
    }

    meter::host::TempRoot root;
    ex_testing::PtyPort ex_port{root.path()};  // the EX station's port
    Control control;
    velsard_testing::Variant default_pulse_config{control.fetch("pulse_config")};
    bool started = false;
};

struct StartCase {
    const char *name;
    uint32_t channels;
    bool chan_given;
    uint32_t channel;
    int status;
    const char *line;  // logged at error level; nullptr for none
};

const StartCase kStartCases[] = {
    {"no_front_end", 0, false, 0, 1, "Failed to detect frontend"},
    {"three", 3, false, 0, 0, nullptr},
    {"six", 6, false, 0, 1, "Failed to detect frontend"},
    {"twelve", 12, false, 0, 0, nullptr},
    {"twentyfour", 24, false, 0, 1, "Failed to detect frontend"},
    {"fortyeight", 48, false, 0, 0, nullptr},
    {"chan_without_channel", 48, true, 0, 1,
     "Requested channel 0 is a voltage channel. Please select a current channel (6 or higer)"},
    {"chan_6_of_three", 3, true, 6, 0, nullptr},
    {"chan_9_of_three", 3, true, 9, 1, "Requested channel 9 is out of range"},
    {"chan_53_of_fortyeight", 48, true, 53, 0, nullptr},
    {"chan_54_of_fortyeight", 48, true, 54, 1, "Requested channel 54 is out of range"},
};

class StartUp : public Program, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartUp, FrontEndsAndChannels) {
    const StartCase &c = GetParam();
    EXPECT_EQ(start(c.channels, c.chan_given, c.channel), c.status);
    if (c.line != nullptr) {
        EXPECT_TRUE(meter::host::log_has(LOG_ERR, c.line));
    }
    if (c.status == 0) {
        EXPECT_TRUE(meter::host::log_has("Initialization completed"));
        EXPECT_EQ(num_buf, c.channels == 3 ? 9u : c.channels == 12 ? 18u : 54u);
        EXPECT_TRUE(results_flow()) << "measuring";
    } else {
        EXPECT_FALSE(meter::host::log_has("Initialization completed"));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, StartUp, ::testing::ValuesIn(kStartCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Program, VelsardMissing) {
    control.release_name();
    EXPECT_EQ(main_init(false, 0, 1538500, 0, false, false), 1);
    control.take_name();
    EXPECT_TRUE(meter::host::log_has(LOG_ERR, "failed to get number of channels from IPC"));
    EXPECT_TRUE(meter::host::log_has(LOG_ERR, "Failed to detect frontend"));
}

TEST_F(Program, ChanWithoutChannelSelectsChannelZero) {
    struct Case {
        std::vector<const char *> argv;
        bool chan_given;
        uint32_t channel;
        bool five_cycle;
        uint32_t frequency;
    } const cases[] = {
        {{"nerisko"}, false, 0, false, 1538500},
        {{"nerisko", "--chan"}, true, 0, false, 1538500},
        {{"nerisko", "-c12", "-q"}, true, 12, true, 1538500},
        {{"nerisko", "--chan=7", "--five_cycle", "--frequency=3077000"}, true, 7, true, 3077000},
        {{"nerisko", "-f"}, false, 0, false, 1538500},
        {{"nerisko", "-c", "6"}, true, 0, false, 1538500},  // an optional argument must be attached
    };
    for (const Case &c : cases) {
        arguments a;
        std::vector<char *> argv;
        for (const char *s : c.argv) {
            argv.push_back(const_cast<char *>(s));
        }
        ASSERT_EQ(parse_arguments(static_cast<int>(argv.size()), argv.data(), &a), 0);
        EXPECT_EQ(a.chan_given, c.chan_given) << c.argv.size();
        EXPECT_EQ(a.channel, c.channel) << c.argv.size();
        EXPECT_EQ(a.five_cycle, c.five_cycle) << c.argv.size();
        EXPECT_EQ(a.frequency, c.frequency) << c.argv.size();
    }
}

// Each wake that reads a raised data-ready byte restarts the chain once and
// reports it to velsard; a wake without it does nothing.
TEST_F(Program, DataReadyFaultRestartsOncePerWake) {
    ASSERT_EQ(start(48), 0);
    ASSERT_TRUE(results_flow(1));
    for (uint32_t n = 1; n <= 3; ++n) {
        meter::host::drdy_raise(1);
        main_watch_drdy();
        EXPECT_EQ(main_restart_count(), n);
        EXPECT_EQ(meter::host::drdy_value(), 0) << "reset by the restart";
        EXPECT_EQ(meter::host::log_count("Resetting daisychain"), n);
    }
    main_watch_drdy();
    EXPECT_EQ(main_restart_count(), 3u);
    const auto errors = control.calls_of("CreateError");
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(velsard_testing::print(errors[0].args.get()), "(uint32 0, 'Resetting daisy chain')");
    EXPECT_TRUE(results_flow()) << "measuring again";
}

// A read of the node that gives no byte must not repeat the last fault.
TEST_F(Program, ReadWithoutAByteIsNoFault) {
    ASSERT_EQ(start(48), 0);
    meter::host::drdy_raise(1);
    main_watch_drdy();
    ASSERT_EQ(main_restart_count(), 1u);
    root.put("/data/empty", "");
    const int saved = drdy_fd;
    drdy_fd = sys_open("/data/empty", O_RDWR);
    ASSERT_GE(drdy_fd, 0);
    for (int n = 0; n < 3; ++n) {
        main_watch_drdy();
    }
    sys_close(drdy_fd);
    drdy_fd = saved;
    EXPECT_EQ(main_restart_count(), 1u);
}

// A new mapping from velsard restarts the chain with it; the other kinds of
// change restart nothing.
TEST_F(Program, ConfigurationChanges) {
    ASSERT_EQ(start(48), 0);
    ASSERT_TRUE(results_flow(1));
    ASSERT_NE(processing_get_set(1)->uset, nullptr);
    ASSERT_TRUE(processing_channel_used(17));

    for (const char *signal : {"NewModbusConfig", "NewBacnetConfig", "NewTestConfig", "NewEthernetConfig",
                               "RequestSetLed", "NewPulseConfig", "RequestPeakDemandReset", "NewAlarmState",
                               "FactoryReset", "NewIpAddress"}) {
        control.emit(signal);
    }
    // Signals arrive in order: once the device setting is in force, all the others were handled.
    control.store("device_config", g_variant_new("(uuuuuuuuuuuuuuu)", 0u, 1u, 0u, 15u, 0u, 1u, 0u, 0u, 0u, 0u, 0u,
                                                  0u, 0u, 0u, 0u));
    control.emit("NewDeviceConfig");
    ASSERT_TRUE(wait_until([] { return agg_get_pf_sign() == 1; }));
    EXPECT_EQ(main_restart_count(), 0u);
    EXPECT_NE(processing_get_set(1)->uset, nullptr);

    mapping m{};
    ASSERT_EQ(arvent_get(&m), 1);
    m.sets_u[1].active = false;
    for (mapping_i_set &l : m.sets_i) {
        l.active = l.active && l.u_set_id == 0;
    }
    control.store("mapping", mapping_serialize(&m));
    control.emit("NewMapping");
    ASSERT_TRUE(wait_until([] { return main_restart_count() == 1; }));
    EXPECT_EQ(processing_get_set(1)->uset, nullptr);
    EXPECT_FALSE(processing_channel_used(17));
    EXPECT_TRUE(processing_channel_used(11));
    EXPECT_TRUE(results_flow());
}

// Restarts asked for by the IPC thread and the main thread at once run one
// after the other, and the chain measures afterwards.
TEST_F(Program, RestartsFromBothThreadsAreSerialised) {
    ASSERT_EQ(start(48), 0);
    std::thread ipc([this] {
        for (int n = 0; n < 4; ++n) {
            control.emit("NewMapping");
        }
    });
    // A restart on the IPC thread resets the data-ready node: a raise it
    // clears before the main thread reads it asks for no restart, and is
    // raised again.
    while (meter::host::log_count("Resetting daisychain") < 4) {
        meter::host::drdy_raise(1);
        main_watch_drdy();
    }
    ipc.join();
    ASSERT_TRUE(wait_until([] { return main_restart_count() == 8; }, 180s));
    EXPECT_FALSE(meter::host::log_has("Processing is already running"));
    EXPECT_TRUE(results_flow());
}

// A new mapping that arrives while start-up is still under way is not lost
// and does not touch a chain that is not started yet: the chain starts with
// the newest mapping.
TEST_F(Program, NewMappingDuringStartUp) {
    std::thread ipc([&] {
        // One signal once start-up has its mapping, one while the chain is
        // being set up, before it starts.
        const auto wait_log = [](const char *line) { wait_until([&] { return meter::host::log_has(line); }); };
        wait_log("Setting power factor sign to 0");
        mapping m{};
        arvent_get(&m);
        m.sets_u[1].active = false;
        for (mapping_i_set &l : m.sets_i) {
            l.active = l.active && l.u_set_id == 0;
        }
        control.store("mapping", mapping_serialize(&m));
        control.emit("NewMapping");
        wait_log("Initialize circular buffers");
        control.emit("NewMapping");
    });
    const int status = start(48);
    ipc.join();
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(wait_until([] { return processing_get_set(1)->uset == nullptr; })) << "the newest mapping";
    EXPECT_FALSE(meter::host::log_has("Processing is not initialised"));
    EXPECT_FALSE(meter::host::log_has("Processing is already running"));
    EXPECT_TRUE(results_flow());
}

// The handler only records the signal: measurement goes on until the main
// thread acts on it.
TEST_F(Program, SignalHandlerOnlyRecords) {
    ASSERT_EQ(start(48), 0);
    handle_signal(SIGINT);
    EXPECT_EQ(running, 0);
    EXPECT_FALSE(meter::host::log_has("Received SIGINT. stopping now"));
    EXPECT_TRUE(results_flow(1)) << "the chain is still running";
    main_handle_signals();
    EXPECT_TRUE(meter::host::log_has("Signal received: 2."));
    EXPECT_TRUE(meter::host::log_has("Received SIGINT. stopping now"));
    handle_signal(SIGHUP);
    main_handle_signals();
    EXPECT_TRUE(meter::host::log_has("Received SIGHUP. restarting serial connection"));
}

// The pulse-input thread takes the counters as they stand as its baseline
// (a program restart does not clear them), then reports each increase once,
// also across a wrap of the counter; still counters cause no call, and a
// refused report is made again.
TEST_F(Program, PulseInputs) {
    ASSERT_EQ(start(48), 0);
    ASSERT_TRUE(wait_until([] { return pulse_passes() >= 1; }));
    const uint32_t base0 = prusim::pulse_count(0);
    prusim::add_pulses(0, 4294967290u - base0);
    prusim::add_pulses(1, 3);
    ASSERT_TRUE(wait_until([] { return pulse_last_reported(0) == 4294967290u; }));
    ASSERT_TRUE(wait_until([] { return pulse_last_reported(1) == prusim::pulse_count(1); }));
    control.clear_calls();
    prusim::add_pulses(0, 11);
    ASSERT_TRUE(wait_until([&] { return !reports_of(0).empty(); }));
    EXPECT_EQ(reports_of(0), std::vector<std::string>{"(0, 11)"});
    EXPECT_EQ(prusim::pulse_count(0), 5u);

    const uint64_t passes = pulse_passes();
    ASSERT_TRUE(wait_until([&] { return pulse_passes() >= passes + 3; }));
    EXPECT_EQ(control.calls_of("UpdatePulseCount").size(), 1u) << "still counters: no call";

    control.fail_next("UpdatePulseCount");
    prusim::add_pulses(1, 4);
    ASSERT_TRUE(wait_until([&] { return reports_of(1).size() >= 2; }));
    EXPECT_EQ(reports_of(1), (std::vector<std::string>{"(1, 4)", "(1, 4)"})) << "refused, then reported again";
    EXPECT_TRUE(alarm_set(1));
    EXPECT_TRUE(alarm_set(0));
    EXPECT_EQ(meter::host::alarm_out_bytes(), (std::vector<uint8_t>{1, 0}));
}

// A pulse-output configuration that cannot run switches the output off and
// the meter measures on; the configuration handler applies a new one, and
// the device-configuration and peak-reset kinds reach the demand.
TEST_F(Program, OutputConfigurationAtStartAndChanges) {
    pulse_config pc{};
    pc.entries[2].flag_1 = true;
    pc.entries[2].flag_2 = true;
    pc.entries[2].param = 19;
    pc.entries[2].scaler = 0.0;  // no pulse can be that small
    pc.entries[2].load_id = 1;
    control.store("pulse_config", pulse_config_serialize(&pc));
    ASSERT_EQ(start(48), 0);
    EXPECT_TRUE(meter::host::log_has(LOG_ERR, "Pulse out scaler invalid"));
    EXPECT_TRUE(meter::host::log_has(LOG_ERR, "Pulse output switched off"));
    EXPECT_FALSE(agg_pulse_out_enabled());
    EXPECT_TRUE(results_flow());

    pc.entries[2].scaler = 0.001;
    pc.entries[2].pulse_width = 120;
    control.store("pulse_config", pulse_config_serialize(&pc));
    control.emit("NewPulseConfig");
    ASSERT_TRUE(wait_until([] { return agg_pulse_out_enabled(); }));
    EXPECT_EQ(meter::host::pulse_widths().back(), 120);
    // Load 1 draws some 9 kW: a 1 Wh pulse is due every second or so.
    ASSERT_TRUE(wait_until([&] { return !reports_of(2).empty(); }));

    control.store("device_config", g_variant_new("(uuuuuuuuuuuuuuu)", 0u, 0u, 0u, 3u, 0u, 5u, 0u, 0u, 0u, 0u, 0u,
                                                  0u, 0u, 0u, 0u));
    control.emit("NewDeviceConfig");
    ASSERT_TRUE(wait_until([] { return stats_get_window() == 3 && stats_get_billing_day() == 5; }));
    control.emit("RequestPeakDemandReset");
    ASSERT_TRUE(wait_until([] { return meter::host::log_has("Resetting peak demand"); }));
}

// While measuring, every second rewrites the result nodes with the time of
// its result, and the energy file is saved from the registers.
TEST_F(Program, NodesAndEnergyFileWhileMeasuring) {
    ASSERT_EQ(start(48), 0);
    const auto ts_of = [] {
        const std::string b = meter::host::node_content("/dev/zor_data/load/0");
        uint64_t ts = 0;
        if (b.size() == 736) {
            std::memcpy(&ts, b.data() + 48, 8);
        }
        return ts;
    };
    ASSERT_TRUE(wait_until([&] { return ts_of() != 0; }));
    const uint64_t first = ts_of();
    ASSERT_TRUE(wait_until([&] { return ts_of() != first; }));
    const std::string load = meter::host::node_content("/dev/zor_data/load/0");
    uint32_t id = 0;
    std::memcpy(&id, load.data(), 4);
    EXPECT_EQ(id, 0u); // the velsard stand-in's first load
    double wh_in = 0;
    std::memcpy(&wh_in, load.data() + 632 + 8 * 3, 8);
    EXPECT_GT(wh_in, 0.0);
    // The first save comes after a minute of results; each takes the flag
    // away while it writes: wait for a save's end.
    EXPECT_TRUE(wait_until(
        [&] {
            return root.get("/data/energy_set_0").size() == 56312 &&
                   std::filesystem::exists(root.host("/data/energy_set_flag0"));
        },
        180s));
}

}  // namespace
