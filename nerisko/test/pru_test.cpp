#include "pru_fixture.h"

#include "nerisko/acquisition.h"
#include "nerisko/cal.h"
#include "meter/sysio.h"
#include "prusim/layout.h"
#include "prussdrv.h"

#include <fcntl.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <future>

namespace {

using pru_test::copies;
using pru_test::SimBoard;
using Clock = std::chrono::steady_clock;

// The block layout is shared with the PRU's acquisition program.
static_assert(sizeof(pru_block_t) == sizeof(prusim::PruBlock));
static_assert(offsetof(pru_block_t, ts) == offsetof(prusim::PruBlock, ticks));
static_assert(offsetof(pru_block_t, adc[3].raw[2]) == offsetof(prusim::PruBlock, adc[3].channel[2]));
static_assert(PRU_PULSE_COUNTER_OFFSET == prusim::kPulseCounterOffset);
static_assert(PRU_SPI_BLOCK_OFFSET == prusim::kSpiBlockOffset);
static_assert(SAMPLES_PER_BLOCK == prusim::kSamplesPerBlock && PRU_ADC_SLOTS == prusim::kAdcSlots);
static_assert(offsetof(pru_block_t, adc[0].status) == offsetof(prusim::PruBlock, adc[0].status));
static_assert(offsetof(pru_block_t, adc[8].status[63]) == offsetof(prusim::PruBlock, adc[8].status[63]));
static_assert(offsetof(pru_block_t, adc[8].raw[5][63]) == offsetof(prusim::PruBlock, adc[8].channel[5][63]));
// The simulated front end turns signals into counts with the scales that
// the calibration steps turn measurements back with.
static_assert(prusim::kVoltsPerCount == CAL_VOLTAGE_SCALE && prusim::kAmperesPerCount == CAL_CURRENT_SCALE);

TEST(PruLayout, SlotTableAgreesWithThePruPrograms) {
    for (uint32_t slot = 0; slot < ACQ_CHANNELS; ++slot) {
        EXPECT_EQ(adc_ct_mapping[slot], prusim::kAdcSlotChannel[slot]) << "slot " << slot;
    }
}

TEST_F(SimBoard, HalvesAlternatePingFirstWithTheirTicks) {
    prusim::Config c;  // lock-step
    c.tick_start = 0xFFFF0000u;  // the 32-bit counter wraps within the first half
    configure(9, c);
    ASSERT_TRUE(pru_start_acq());
    std::vector<prusim::HalfInfo> infos;
    step_halves(12, &infos);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // both threads back at their wait
    std::thread last_halves([this] {  // one more for each thread, once the stop is under way
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        step_halves(2);
    });
    pru_stop_acq();
    last_halves.join();
    const auto halves = copies.snapshot();
    ASSERT_EQ(halves.size(), 14u);
    for (size_t h = 0; h < infos.size(); ++h) {
        EXPECT_EQ(infos[h].buffer, static_cast<int>(h % 2));
        EXPECT_EQ(halves[h].count, 32u);
        EXPECT_EQ(halves[h].first_tick, prusim::sample_ticks(infos[h].first_sample)) << "half " << h;
    }
    EXPECT_LT(halves[1].first_tick, halves[0].first_tick) << "the counter wrapped";
    EXPECT_FALSE(meter::host::log_has("PRU stalled, stopping ping thread without its last half"));
}

TEST_F(SimBoard, StartAndStopManyTimes) {
    for (int round = 0; round < 25; ++round) {
        const size_t before = copies.size();
        ASSERT_TRUE(pru_start_acq()) << round;
        ASSERT_TRUE(copies.wait_for(before + 3)) << round;
        pru_stop_acq();
    }
    EXPECT_FALSE(meter::host::log_has("PRU did not answer the stop request, halting it"));
    EXPECT_FALSE(meter::host::log_has("PRU stalled, stopping ping thread without its last half"));
    EXPECT_FALSE(meter::host::log_has("PRU stalled, stopping pong thread without its last half"));
}

TEST_F(SimBoard, StoppingThreadsCopyOneMoreHalfEach) {
    configure(9, prusim::Config{});  // lock-step
    ASSERT_TRUE(pru_start_acq());
    step_halves(4);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // both threads back at their wait
    std::thread more([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        step_halves(2);
    });
    pru_stop_irqthread();
    more.join();
    EXPECT_EQ(copies.size(), 6u) << "one more half each";
    EXPECT_TRUE(meter::host::log_has("Stopping ping thread"));
    EXPECT_TRUE(meter::host::log_has("Stopping pong thread"));
}

std::atomic<int> halves_seen{0};

// A stop that comes while a thread is still busy with a half (in its copy,
// or just after it) does not make that half the thread's last one: each
// thread takes one more half once the stop is under way.
TEST_F(SimBoard, AHalfTakenBeforeTheStopIsNotTheLastOne) {
    configure(9, prusim::Config{});  // lock-step
    halves_seen = 0;
    copy_func = [](const pru_block_t *blocks, uint32_t count) {
        pru_test::record_copy(blocks, count);
        if (++halves_seen == 2) {
            const auto t0 = Clock::now();
            while (!meter::host::log_has("Stopping IRQ threads") && Clock::now() - t0 < std::chrono::seconds(5)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the stop flag is down now
        }
    };
    ASSERT_TRUE(pru_start_acq());
    step_halves(1);
    ASSERT_EQ(prusim::step(), 0);  // the pong half, whose copy is under way when the stop comes
    stop_lockstep();
    EXPECT_EQ(copies.size(), 4u) << "the pong thread left without a half taken after the stop";
    EXPECT_TRUE(meter::host::log_has("Stopping pong thread"));
}

// A hung PRU program must not hang a stop or the restart after it.
TEST_F(SimBoard, AHungPruDoesNotHangStopOrRestart) {
    ASSERT_TRUE(pru_start_acq());
    ASSERT_TRUE(copies.wait_for(3));
    prusim::inject(prusim::Fault::hang);
    const auto t0 = Clock::now();
    pru_stop_acq();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(8));
    EXPECT_TRUE(meter::host::log_has("PRU did not answer the stop request, halting it"));

    prusim::clear_faults();
    const size_t before = copies.size();
    ASSERT_TRUE(pru_start_acq());
    EXPECT_TRUE(copies.wait_for(before + 4)) << "acquisition runs again after a restart";
}

// Runs a stop beside the test; false when it has not ended within limit (a
// stalled PRU held it), after which the PRU is let go so that the test ends.
bool stops_within(void (*stop)(), std::chrono::seconds limit) {
    auto stopped = std::async(std::launch::async, stop);
    const bool bounded = stopped.wait_for(limit) == std::future_status::ready;
    if (!bounded) {
        prusim::resume();
    }
    stopped.wait();
    return bounded;
}

// SIGINT stops only the threads: a stalled PRU must not keep them waiting
// for their last half.
TEST_F(SimBoard, AStalledPruDoesNotHangTheThreadsStop) {
    pru_stall_limit_ms = 300;
    ASSERT_TRUE(pru_start_acq());
    ASSERT_TRUE(copies.wait_for(3));
    prusim::inject(prusim::Fault::stall);
    EXPECT_TRUE(stops_within(pru_stop_irqthread, std::chrono::seconds(5))) << "stopping the threads waited for a stalled PRU";
    EXPECT_TRUE(meter::host::log_has("PRU stalled, stopping ping thread without its last half") ||
                meter::host::log_has("PRU stalled, stopping pong thread without its last half"));
}

// A stop whose data is thrown away (the test station's) waits for no last
// half: a stalled PRU holds it for a wait slice, not for the stall limit.
TEST_F(SimBoard, ADiscardingStopWaitsForNoLastHalf) {
    const int limit = pru_stall_limit_ms;
    pru_stall_limit_ms = 600000;  // only the discarding stop can end soon
    ASSERT_TRUE(pru_start_acq());
    ASSERT_TRUE(copies.wait_for(3));
    prusim::inject(prusim::Fault::stall);
    const bool bounded = stops_within(pru_stop_acq_discarding, std::chrono::seconds(30));
    pru_stall_limit_ms = limit;
    EXPECT_TRUE(bounded) << "the stop waited for the stalled PRU's last half";
    EXPECT_FALSE(meter::host::log_has("PRU stalled, stopping ping thread without its last half"));
    EXPECT_FALSE(meter::host::log_has("PRU stalled, stopping pong thread without its last half"));
    prusim::clear_faults();
    const size_t before = copies.size();
    ASSERT_TRUE(pru_start_acq());
    EXPECT_TRUE(copies.wait_for(before + 2)) << "acquisition runs again";
    pru_stop_acq();
}

TEST_F(SimBoard, StopWithoutStartOnlyStopsThreads) {
    pru_stop_acq();
    EXPECT_FALSE(meter::host::log_has("Stopping PRU and ADCs"));
    pru_mem_free();
    pru_mem_free();  // a second release does nothing
    EXPECT_FALSE(pru_start_acq()) << "no DDR buffer mapped";
    EXPECT_TRUE(meter::host::log_has("PRU not set up, acquisition not started"));
    EXPECT_EQ(prusim::stats().programs_started, 0u);
}

TEST_F(SimBoard, ThreadsKeepNormalSchedulingWhereRealTimeIsNotAllowed) {
    ::unsetenv("METER_REALTIME");
    ASSERT_TRUE(pru_start_acq());
    EXPECT_EQ(meter::host::log_count("Real-time scheduling not used on this host, thread keeps normal scheduling"), 2u);
    EXPECT_TRUE(copies.wait_for(2)) << "and acquisition runs";
    EXPECT_EQ(pru_start_irqthread(5, 0), -1);
    EXPECT_TRUE(meter::host::log_has("Incorrect host interrupt for PRU IRQ thread"));
}

TEST_F(SimBoard, ADataReadyFaultReachesTheNode) {
    ASSERT_TRUE(pru_start_acq());
    int fd = sys_open("/dev/zor_pulse/drdy_out_of_sync", O_RDWR);
    ASSERT_GE(fd, 0);
    prusim::inject(prusim::Fault::drdy);
    const auto t0 = Clock::now();
    uint8_t b = 0;
    while (b == 0 && Clock::now() - t0 < std::chrono::seconds(5)) {
        ASSERT_EQ(sys_read(fd, &b, 1), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(b, 1);
    sys_close(fd);
}

// Halves taken late or out of turn. Whichever thread wakes first copies the
// older half first; a half overwritten before anybody took it is lost, once
// logged for the whole run of lost halves, and acquisition goes on: every
// half reaches the copy once, in the PRU's order.
struct LateCase {
    const char *name;
    int late_half;       // the half whose consumer runs late (-1: none)
    unsigned late;       // by this many half periods
    bool both;           // both threads late
    int repeat_half;     // the PRU writes the half after this one to the same buffer (-1: no)
    std::vector<unsigned> pending;  // ping/pong events still pending after each half
    std::vector<size_t> copied;     // halves copied after each half
    std::vector<int> lost;          // halves never copied
};

const LateCase kLateCases[] = {
    {"one_thread_one_half_late", 1, 1, false, -1, {0, 1, 0, 0, 0, 0, 0, 0}, {1, 1, 3, 4, 5, 6, 7, 8}, {}},
    {"one_thread_several_halves_late", 1, 4, false, -1, {0, 1, 1, 1, 1, 0, 0, 0}, {1, 1, 3, 3, 5, 6, 7, 8}, {}},
    {"both_threads_several_halves_late", 1, 4, true, -1, {0, 1, 2, 2, 2, 0, 0, 0}, {1, 1, 1, 1, 1, 3, 4, 5},
     {1, 2, 3}},
    {"same_buffer_twice", -1, 0, false, 2, {0, 0, 0, 0, 0, 0, 0, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, {}},
};

class LateHalves : public SimBoard, public ::testing::WithParamInterface<LateCase> {};

TEST_P(LateHalves, AreCopiedInThePrusOrderOrLostAsAGap) {
    const LateCase &lc = GetParam();
    configure(9, prusim::Config{});  // lock-step
    ASSERT_TRUE(pru_start_acq());
    if (lc.late_half >= 0) {
        prusim::hold_consumer(static_cast<uint64_t>(lc.late_half), lc.late, lc.both);
    }
    if (lc.repeat_half >= 0) {
        prusim::inject(prusim::Fault::repeat_half, static_cast<uint64_t>(lc.repeat_half));
    }
    std::vector<prusim::HalfInfo> infos;
    for (size_t k = 0; k < lc.pending.size(); ++k) {
        prusim::HalfInfo info;
        ASSERT_EQ(prusim::step(&info), 0);
        infos.push_back(info);
        // The threads settle before the next half: a held thread keeps its
        // event, the others have taken theirs and copied what they could.
        const auto settled = [&] {
            return prusim::stats().half_events_pending == lc.pending[k] && copies.size() >= lc.copied[k];
        };
        const auto t0 = Clock::now();
        while (!settled() && Clock::now() - t0 < std::chrono::seconds(10)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(prusim::stats().half_events_pending, lc.pending[k]) << "half " << k;
        ASSERT_EQ(copies.size(), lc.copied[k]) << "half " << k;
    }
    std::vector<uint32_t> want;
    for (size_t k = 0; k < infos.size(); ++k) {
        if (std::find(lc.lost.begin(), lc.lost.end(), static_cast<int>(k)) == lc.lost.end()) {
            want.push_back(prusim::sample_ticks(infos[k].first_sample));
        }
    }
    ASSERT_TRUE(copies.wait_for(want.size()));
    stop_lockstep();
    const auto halves = copies.snapshot();
    ASSERT_GE(halves.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(halves[k].first_tick, want[k]) << "copy " << k;
        EXPECT_EQ(halves[k].count, 32u);
    }
    const std::string lost_line = "PRU halves lost, not copied in time: " + std::to_string(lc.lost.size());
    EXPECT_EQ(meter::host::log_has(LOG_ERR, lost_line.c_str()), !lc.lost.empty());
    size_t lines = 0;
    for (const auto &l : meter::host::log_lines()) {
        lines += l.text.rfind("PRU halves lost", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(lines, lc.lost.empty() ? 0u : 1u) << "one line for the whole run of lost halves";
}

INSTANTIATE_TEST_SUITE_P(Halves, LateHalves, ::testing::ValuesIn(kLateCases),
                         [](const auto &info) { return std::string(info.param.name); });

// The pulse-input counters must survive an ADC restart: the SPI command
// block never reaches their words.
TEST_F(SimBoard, PulseCountersSurviveAnAdcRestart) {
    uint8_t *mem = pru_get_data_mem();
    ASSERT_NE(mem, nullptr);
    prusim::add_pulses(0, 4294967290u);
    prusim::add_pulses(1, 1000);
    auto counter = [mem](unsigned k) {
        uint32_t v;
        std::memcpy(&v, mem + PRU_PULSE_COUNTER_OFFSET + 4 * k, 4);
        return v;
    };
    ASSERT_EQ(counter(0), 4294967290u);
    ASSERT_TRUE(adc_open(1538500));
    ASSERT_TRUE(adc_start());
    ASSERT_TRUE(pru_start_acq());
    ASSERT_TRUE(copies.wait_for(3));
    pru_stop_acq();
    ASSERT_TRUE(adc_start());  // the restart path
    EXPECT_EQ(counter(0), 4294967290u);
    EXPECT_EQ(counter(1), 1000u);
    EXPECT_EQ(prusim::pulse_count(1), 1000u);
}

}  // namespace
