#include "pru_fixture.h"

#include "nerisko/sysio.h"
#include "prussdrv.h"

#include <cmath>
#include <cstring>

namespace {

using pru_test::copies;
using pru_test::SimBoard;
using Clock = std::chrono::steady_clock;

constexpr size_t kHalf = 0x80000;

TEST_F(SimBoard, HalvesAlternatePingFirstWithContinuousTicks) {
    pru_sim::Config c;
    c.first_tick = 0xFFFF0000u;  // the 32-bit counter wraps within the first halves
    configure(9, c);
    ASSERT_TRUE(pru_start_acq());
    ASSERT_TRUE(copies.wait_for(12));
    pru_stop_acq();
    const auto halves = copies.snapshot();
    const uint8_t *ping = reinterpret_cast<const uint8_t *>(halves[0].blocks);
    const double ticks_per_sample = pru_sim::kTicksPerSecond / pru_sim::sample_rate_at(pru_sim::kNominalClockHz);
    for (size_t h = 0; h < halves.size(); ++h) {
        const auto *p = reinterpret_cast<const uint8_t *>(halves[h].blocks);
        EXPECT_EQ(p, ping + kHalf * (h % 2)) << "half " << h;
        EXPECT_EQ(halves[h].count, 32u);
        const auto want = static_cast<uint32_t>(
            c.first_tick + static_cast<uint64_t>(std::llround(static_cast<double>(h * 2048) * ticks_per_sample)));
        EXPECT_EQ(halves[h].first_tick, want) << "half " << h;
    }
    EXPECT_FALSE(pru_sim::acquisition_running());
}

TEST_F(SimBoard, StartAndStopManyTimes) {
    for (int round = 0; round < 25; ++round) {
        const size_t before = copies.size();
        ASSERT_TRUE(pru_start_acq()) << round;
        ASSERT_TRUE(copies.wait_for(before + 1)) << round;
        pru_stop_acq();
        EXPECT_FALSE(pru_sim::acquisition_running()) << round;
    }
    // Each round starts again with the ping half.
    EXPECT_FALSE(pru_host::log_has("PRU did not answer the stop request, halting it"));
}

TEST_F(SimBoard, StoppingThreadsCopyOneMoreHalfEach) {
    pru_sim::Config c;
    c.max_halves = 4;  // then the PRU waits, and both threads with it
    configure(9, c);
    ASSERT_TRUE(pru_start_acq());
    ASSERT_TRUE(copies.wait_for(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // both threads back at their wait
    std::thread more([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pru_sim::allow_halves(2);
    });
    pru_stop_irqthread();
    more.join();
    EXPECT_EQ(copies.size(), 6u) << "one more half each";
    EXPECT_TRUE(pru_host::log_has("Stopping ping thread"));
    EXPECT_TRUE(pru_host::log_has("Stopping pong thread"));
}

// A hung PRU program must not hang a stop or the restart after it.
TEST_F(SimBoard, AStalledPruDoesNotHangStopOrRestart) {
    ASSERT_TRUE(pru_start_acq());
    ASSERT_TRUE(copies.wait_for(3));
    pru_sim::fault_stall();
    const auto t0 = Clock::now();
    pru_stop_acq();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    EXPECT_TRUE(pru_host::log_has("PRU did not answer the stop request, halting it"));
    EXPECT_FALSE(pru_sim::acquisition_running());

    const size_t before = copies.size();
    ASSERT_TRUE(pru_start_acq());
    EXPECT_TRUE(copies.wait_for(before + 4)) << "acquisition runs again after a restart";
}

TEST_F(SimBoard, StopWithoutStartOnlyStopsThreads) {
    pru_stop_acq();
    EXPECT_FALSE(pru_host::log_has("Stopping PRU and ADCs"));
    pru_mem_free();
    pru_mem_free();  // a second release does nothing
}

TEST_F(SimBoard, ThreadsKeepNormalSchedulingWhereRealTimeIsNotAllowed) {
    ::unsetenv("METER_REALTIME");
    ASSERT_TRUE(pru_start_acq());
    EXPECT_EQ(pru_host::log_count("Real-time scheduling not used on this host, thread keeps normal scheduling"), 2u);
    EXPECT_TRUE(copies.wait_for(2)) << "and acquisition runs";
    EXPECT_EQ(pru_start_irqthread(5, 0), -1);
    EXPECT_TRUE(pru_host::log_has("Incorrect host interrupt for PRU IRQ thread"));
}

using SimBoardDeath = SimBoard;

TEST_F(SimBoardDeath, HalvesOutOfTurnStopTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            pru_sim::fault_miss_half();  // ping twice
            pru_start_acq();
            std::this_thread::sleep_for(std::chrono::seconds(5));
        },
        "last_buffer != t->buffer");
    EXPECT_DEATH(
        {
            pru_sim::Config c;
            c.max_halves = 3;  // the PRU then idles after a ping
            configure(9, c);
            pru_start_acq();
            copies.wait_for(3);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pru_sim::fault_repeat_half();
            std::this_thread::sleep_for(std::chrono::seconds(5));
        },
        "last_buffer != t->buffer");
}

// The pulse-input counters live in the first words of PRU data RAM, where
// the SPI command block goes too: an ADC restart must leave them alone.
TEST_F(SimBoard, PulseCountersSurviveAnAdcRestart) {
    pru_sim::Config c;
    c.pulses_per_half = {3, 5};
    configure(9, c);
    uint8_t *mem = pru_get_data_mem();
    ASSERT_NE(mem, nullptr);
    const uint32_t start[2] = {4294967290u, 1000};
    std::memcpy(mem, start, sizeof start);

    ASSERT_TRUE(adc_open(1538500));
    ASSERT_TRUE(adc_start());
    uint32_t after[2];
    std::memcpy(after, mem, sizeof after);
    EXPECT_EQ(after[0], start[0]);
    EXPECT_EQ(after[1], start[1]);

    ASSERT_TRUE(pru_start_acq());
    ASSERT_TRUE(copies.wait_for(4));
    pru_stop_acq();
    const uint64_t halves = pru_sim::halves_produced();
    ASSERT_TRUE(adc_start());  // the restart path
    std::memcpy(after, mem, sizeof after);
    EXPECT_EQ(after[0], static_cast<uint32_t>(start[0] + 3 * halves));
    EXPECT_EQ(after[1], static_cast<uint32_t>(start[1] + 5 * halves));
}

}  // namespace
