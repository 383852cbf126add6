#include "fixture.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace prusim::test {
namespace {

class FaultTest : public SimTest {};

struct Half {
    int buffer;  // -1: no half written
    bool raised;
};

TEST_F(FaultTest, EachFaultShowsInTheHalvesAndEvents) {
    struct Case {
        const char *name;
        Fault fault;
        std::uint64_t at;
        std::vector<Half> halves;
        bool stop_answered;
        int drdy_calls;
    };
    const Case cases[] = {
        {"stall", Fault::stall, 1, {{0, true}, {-1, false}, {-1, false}, {-1, false}}, true, 0},
        {"hang", Fault::hang, 2, {{0, true}, {1, true}, {-1, false}, {-1, false}}, false, 0},
        {"skip event", Fault::skip_event, 1, {{0, true}, {1, false}, {0, true}, {1, true}}, true, 0},
        {"repeat half", Fault::repeat_half, 0, {{0, true}, {0, true}, {1, true}, {0, true}}, true, 0},
        {"data-ready fault", Fault::drdy, 2, {{0, true}, {1, true}, {0, true}, {1, true}}, true, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(reboot());
        std::atomic<int> drdy_calls{0};
        set_drdy_hook([&](bool out_of_sync) { drdy_calls += out_of_sync; });
        start();
        inject(c.fault, c.at);
        std::uint64_t expect_sample = 0;
        for (std::size_t h = 0; h < c.halves.size(); ++h) {
            HalfInfo info;
            const int r = prusim::step(&info);
            if (c.halves[h].buffer < 0) {
                EXPECT_EQ(r, -1) << "half " << h;
                continue;
            }
            ASSERT_EQ(r, 0) << "half " << h;
            EXPECT_EQ(info.buffer, c.halves[h].buffer) << "half " << h;
            EXPECT_EQ(info.raised, c.halves[h].raised) << "half " << h;
            EXPECT_EQ(info.first_sample, expect_sample) << "samples go on without a gap";
            expect_sample += kSamplesPerHalf;
            const unsigned out = info.buffer == 0 ? kOutPing : kOutPong;
            EXPECT_EQ(prussdrv_pru_wait_event_timeout(out, 0) > 0, c.halves[h].raised) << "half " << h;
            prussdrv_pru_clear_event(out, kEventPingFull + static_cast<unsigned>(info.buffer));
        }
        EXPECT_EQ(stop(50), c.stop_answered);
        EXPECT_EQ(drdy_calls.load(), c.drdy_calls);
        set_drdy_hook(nullptr);
        // Whatever happened, a halt and a fresh start bring the PRU back.
        EXPECT_EQ(prussdrv_pru_disable(0), 0);
        start();
        HalfInfo info;
        ASSERT_EQ(prusim::step(&info), 0);
        EXPECT_EQ(info.buffer, 0);
        EXPECT_TRUE(stop());
    }
}

TEST_F(FaultTest, ResumeEndsAStallWhereItLeftOff) {
    start();
    step_ok();  // ping
    inject(Fault::stall);
    EXPECT_EQ(prusim::step(), -1);
    resume();
    const HalfInfo info = step_ok();
    EXPECT_EQ(info.buffer, 1) << "pong follows the last ping";
    EXPECT_EQ(info.first_sample, kSamplesPerHalf);
}

TEST_F(FaultTest, ClearedFaultsNeverFire) {
    start();
    inject(Fault::skip_event, 0);
    inject(Fault::stall, 1);
    inject(Fault::spi_hang);
    clear_faults();
    EXPECT_TRUE(step_ok().raised);
    EXPECT_TRUE(step_ok().raised);
    EXPECT_TRUE(stop());
    EXPECT_TRUE(run_one_shot(kProgramSpiCmd));
}

TEST_F(FaultTest, HungOneShotProgramNeverSignalsItsEnd) {
    inject(Fault::spi_hang);
    EXPECT_FALSE(run_one_shot(kProgramSpiCmd, 50));
    EXPECT_TRUE(run_one_shot(kProgramSpiCmd)) << "only the next program hangs";
}

TEST_F(FaultTest, TimedStallAndHangLeaveWaitersToTheirTimeouts) {
    struct Case {
        Fault fault;
        bool stop_answered;
    };
    for (const Case &c : {Case{Fault::stall, true}, Case{Fault::hang, false}}) {
        SCOPED_TRACE(c.fault == Fault::stall ? "stall" : "hang");
        ASSERT_NO_FATAL_FAILURE(reboot());
        Config config;
        config.pace = Pace::timed;
        config.time_scale = 50.0;
        // A half every 3.4 ms would let a loaded machine see a second ping
        // half before the fault is armed; the program waits for the consumer.
        config.backpressure = true;
        configure(config);
        start();
        ASSERT_GT(prussdrv_pru_wait_event_timeout(kOutPing, 2000), 0);
        // Armed while the ping half is still pending: the program waits for
        // it to be taken, so the fault falls on the pong half whatever the
        // machine's load.
        inject(c.fault, 0);
        const std::uint64_t stalls = stats().stalls_reached;
        prussdrv_pru_clear_event(kOutPing, kEventPingFull);
        // Until the program holds at the fault: a stop sent before it would
        // be answered by a program that has not hung yet.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (stats().stalls_reached == stalls) {
            ASSERT_LT(std::chrono::steady_clock::now(), limit) << "the program never reached the fault";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(prussdrv_pru_wait_event_timeout(kOutPing, 40), 0);
        EXPECT_EQ(prussdrv_pru_wait_event_timeout(kOutPong, 0), 0);
        EXPECT_EQ(stop(c.stop_answered ? 2000 : 100), c.stop_answered);
        // Ending the session never waits for the stuck program.
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(prussdrv_exit(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    }
}

TEST_F(FaultTest, TimedResumeCarriesOnAtTheClock) {
    Config config;
    config.pace = Pace::timed;
    config.time_scale = 10.0;
    configure(config);
    // Armed before the start: a half every 17 ms would let a loaded machine
    // write the first one before a fault armed after the start. Resumed once
    // the program has reached the stall: a resume before it ends nothing.
    inject(Fault::stall, 0);
    start();
    const auto t0 = std::chrono::steady_clock::now();
    while (stats().stalls_reached == 0) {
        ASSERT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30)) << "the stall is never reached";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(kOutPing, 30), 0);
    resume();
    EXPECT_GT(prussdrv_pru_wait_event_timeout(kOutPing, 10000), 0);
    EXPECT_TRUE(stop());
}

}  // namespace
}  // namespace prusim::test
