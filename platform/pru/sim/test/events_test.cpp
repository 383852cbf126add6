#include "fixture.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace prusim::test {
namespace {

class EventsTest : public SimTest {};

// Which of the ping and pong outputs fired, without waiting.
int fired_buffer() {
    const bool ping = prussdrv_pru_wait_event_timeout(kOutPing, 0) > 0;
    const bool pong = prussdrv_pru_wait_event_timeout(kOutPong, 0) > 0;
    if (ping && pong) {
        return 2;
    }
    return ping ? 0 : pong ? 1 : -1;
}

TEST_F(EventsTest, HalvesAlternateStartingWithPingInEveryRun) {
    for (int run = 0; run < 50; ++run) {
        start();
        for (int h = 0; h < 4; ++h) {
            const HalfInfo info = step_ok();
            ASSERT_EQ(info.buffer, h % 2) << "run " << run << " half " << h;
            ASSERT_TRUE(info.raised);
            ASSERT_EQ(fired_buffer(), h % 2) << "run " << run << " half " << h;
            prussdrv_pru_clear_event(h % 2 == 0 ? kOutPing : kOutPong,
                                     h % 2 == 0 ? kEventPingFull : kEventPongFull);
        }
        ASSERT_TRUE(stop()) << "run " << run;
        EXPECT_EQ(prusim::step(), -1) << "the program has ended";
        EXPECT_EQ(fired_buffer(), -1);
    }
    EXPECT_EQ(stats().halves_written, 200u);
    EXPECT_EQ(stats().events_merged, 0u);
}

TEST_F(EventsTest, SamplesOfConsecutiveRunsFollowEachOther) {
    start();
    const HalfInfo a = step_ok();
    ASSERT_TRUE(stop());
    start();
    const HalfInfo b = step_ok();
    EXPECT_EQ(a.first_sample, 0u);
    EXPECT_EQ(b.first_sample, kSamplesPerHalf);
    EXPECT_EQ(b.buffer, 0);
    EXPECT_NEAR(sample_time(b.first_sample), kSamplesPerHalf / configured_sample_rate(), 1e-12);
}

TEST_F(EventsTest, AnEventRaisedAgainBeforeItIsClearedIsMerged) {
    start();
    step_ok();  // ping
    step_ok();  // pong
    step_ok();  // ping again, the first ping not yet cleared
    EXPECT_EQ(stats().events_merged, 1u);
    EXPECT_GT(prussdrv_pru_wait_event_timeout(kOutPing, 0), 0);
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(kOutPing, 0), 0) << "one firing for two halves";
    prussdrv_pru_clear_event(kOutPing, kEventPingFull);
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(kOutPing, 0), 0);
}

TEST_F(EventsTest, ClearingReArmsAnOutputWithAnotherPendingEvent) {
    // Route ping and pong to the same output: clearing one fires the other.
    prussdrv_intc_setup intc = meter_intc();
    for (prussdrv_sysevent_route &r : intc.sysevent_to_channel) {
        if (r.sysevent == kEventPongFull) {
            r.channel = 5;
        }
    }
    ASSERT_EQ(prussdrv_pruintc_init(&intc), 0);
    start();
    step_ok();
    step_ok();
    EXPECT_GT(prussdrv_pru_wait_event_timeout(kOutPing, 0), 0);
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(kOutPing, 0), 0);
    prussdrv_pru_clear_event(kOutPing, kEventPingFull);
    EXPECT_GT(prussdrv_pru_wait_event_timeout(kOutPing, 0), 0) << "pong still pending";
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(kOutPong, 0), 0);
}

TEST_F(EventsTest, WithoutInterruptSetUpNothingReachesTheOutputsNorTheProgram) {
    prussdrv_intc_setup none{};
    none.sysevents_enabled[0] = -1;
    none.sysevent_to_channel[0] = {-1, -1};
    none.channel_to_host[0] = {-1, -1};
    ASSERT_EQ(prussdrv_pruintc_init(&none), 0);
    start();
    step_ok();
    EXPECT_EQ(fired_buffer(), -1);
    EXPECT_FALSE(stop(50)) << "the stop request cannot reach the program";
    EXPECT_EQ(prussdrv_pru_disable(0), 0);
    EXPECT_EQ(prusim::step(), -1);
}

TEST_F(EventsTest, DriverCallsRefuseBadArguments) {
    prussdrv_intc_setup bad = meter_intc();
    bad.channel_to_host[0] = {0, 10};
    EXPECT_EQ(prussdrv_pruintc_init(&bad), -1);
    bad = meter_intc();
    bad.sysevents_enabled[0] = 64;
    EXPECT_EQ(prussdrv_pruintc_init(&bad), -1);
    EXPECT_EQ(prussdrv_pruintc_init(nullptr), -1);
    EXPECT_EQ(prussdrv_open(8), -1);
    void *p = nullptr;
    EXPECT_EQ(prussdrv_map_prumem(7, &p), -1);
    EXPECT_EQ(prussdrv_exec_program(1, kProgramReadData), -1);
    EXPECT_EQ(prussdrv_exec_program(0, "/usr/bin/no-such-program.bin"), -1);
    EXPECT_EQ(prussdrv_exec_program(0, nullptr), -1);
    EXPECT_EQ(prussdrv_pru_send_event(64), -1);
    EXPECT_EQ(prussdrv_pru_clear_event(8, 24), -1);
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(9, 0), -1);
}

TEST_F(EventsTest, ProgramPathsResolveUnderTheRootOnce) {
    // Either the board path or the path already under METER_ROOT works.
    EXPECT_TRUE(run_one_shot(kProgramSpiCmd));
    EXPECT_TRUE(run_one_shot((root_ + kProgramSpiCmd).c_str()));
    // A file that is no program is refused.
    const std::string junk = root_ + "/usr/bin/junk.bin";
    FILE *f = std::fopen(junk.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("\x7f" "ELF", f);
    std::fclose(f);
    EXPECT_EQ(prussdrv_exec_program(0, "/usr/bin/junk.bin"), -1);
}

TEST_F(EventsTest, AcquisitionNeedsTheDdrWindow) {
    prussdrv_exit();
    ASSERT_EQ(std::remove((root_ + "/dev/mem").c_str()), 0);
    ASSERT_EQ(prussdrv_init(), 0);
    EXPECT_EQ(prussdrv_exec_program(0, kProgramReadData), -1);
    // A file too short to reach the window is refused too (it would fault).
    FILE *f = std::fopen((root_ + "/dev/mem").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(prussdrv_exec_program(0, kProgramReadData), -1);
}

TEST_F(EventsTest, ExitReleasesABlockedWaiter) {
    std::atomic<unsigned> result{99};
    std::thread waiter([&] { result = prussdrv_pru_wait_event(kOutPing); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    prussdrv_exit();
    waiter.join();
    EXPECT_EQ(result.load(), 0u);
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(kOutPing, 0), -1) << "no session";
}

TEST_F(EventsTest, LockStepRunsAreDeterministic) {
    Config config;
    config.noise_seed = 77;
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        config.channels[ch].amplitude = ch < 6 ? 325.0 : 5.0;
        config.channels[ch].noise_rms = ch < 6 ? 0.5 : 0.01;
        config.channels[ch].harmonics = {{3, ch < 6 ? 10.0 : 0.5, 0.3}};
    }
    auto capture = [&](std::uint64_t seed) {
        reboot();
        Config c = config;
        c.noise_seed = seed;
        configure(c);
        start();
        std::vector<std::uint8_t> bytes;
        for (int h = 0; h < 3; ++h) {
            const HalfInfo info = step_ok();
            const auto *p = reinterpret_cast<const std::uint8_t *>(half(info.buffer));
            bytes.insert(bytes.end(), p, p + kHalfSize);
        }
        return bytes;
    };
    const std::vector<std::uint8_t> a = capture(77);
    const std::vector<std::uint8_t> b = capture(77);
    const std::vector<std::uint8_t> c = capture(78);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == c) << "another seed gives other noise";
}

// The two interrupt threads of the measurement program, in miniature: each
// waits (bounded) for its output, checks the alternation, copies, clears.
struct PingPong {
    std::mutex mu;
    int last = 1;
    int active = -1;
    std::atomic<bool> run{true};
    std::atomic<int> halves{0};
    std::atomic<int> order_errors{0};
    std::vector<std::thread> threads;

    void start() {
        // A firing of the run before that its threads stopped before taking
        // (a thread that timed out just then and found the stop) is not a
        // half of this run.
        prussdrv_pru_wait_event_timeout(kOutPing, 0);
        prussdrv_pru_wait_event_timeout(kOutPong, 0);
        for (int buffer = 0; buffer < 2; ++buffer) {
            threads.emplace_back([this, buffer] {
                const unsigned out = buffer == 0 ? kOutPing : kOutPong;
                const unsigned ev = buffer == 0 ? kEventPingFull : kEventPongFull;
                while (run) {
                    const int r = prussdrv_pru_wait_event_timeout(out, 50);
                    if (r <= 0) {
                        continue;
                    }
                    std::lock_guard<std::mutex> g(mu);
                    if (active != -1 || last == buffer) {
                        ++order_errors;
                    }
                    active = buffer;
                    prussdrv_pru_clear_event(out, ev);
                    last = buffer;
                    active = -1;
                    ++halves;
                }
            });
        }
    }
    void stop() {
        run = false;
        for (std::thread &t : threads) {
            t.join();
        }
    }
};

TEST_F(EventsTest, TimedPaceFeedsTwoThreadsInStrictAlternation) {
    Config config;
    config.pace = Pace::timed;
    config.time_scale = 50.0;  // a half every 3.4 ms
    config.backpressure = true;
    configure(config);
    for (int run = 0; run < 5; ++run) {
        PingPong pp;
        pp.start();
        start();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (pp.halves < 20 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_TRUE(stop()) << "run " << run;
        pp.stop();
        EXPECT_GE(pp.halves.load(), 20) << "run " << run;
        EXPECT_EQ(pp.order_errors.load(), 0) << "run " << run;
    }
    EXPECT_EQ(stats().events_merged, 0u);
}

TEST_F(EventsTest, TimedPaceKeepsToTheClock) {
    Config config;
    config.pace = Pace::timed;
    config.time_scale = 2.0;  // a half every 85 ms
    configure(config);
    const auto t0 = std::chrono::steady_clock::now();
    start();
    // The first half is due 2048 samples after the start, not at once.
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(kOutPing, 5), 0);
    EXPECT_GT(prussdrv_pru_wait_event_timeout(kOutPing, 2000), 0);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(elapsed, kSamplesPerHalf / configured_sample_rate() / 2.0 * 0.9);
    EXPECT_TRUE(stop());
}

TEST_F(EventsTest, OneShotProgramEndsWithItsEvent) {
    EXPECT_TRUE(run_one_shot(kProgramSpiCmd));
    EXPECT_TRUE(run_one_shot(kProgramWriteSettings));
    EXPECT_TRUE(run_one_shot(kProgramReadSettings));
    EXPECT_EQ(stats().programs_started, 3u);
}

TEST_F(EventsTest, ExecutingAnotherProgramHaltsAcquisitionSilently) {
    start();
    step_ok();
    prussdrv_pru_clear_event(kOutPing, kEventPingFull);
    EXPECT_TRUE(run_one_shot(kProgramSpiCmd));
    EXPECT_EQ(prusim::step(), -1);
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(kOutStopped, 0), 0) << "halted, not stopped";
}

}  // namespace
}  // namespace prusim::test
