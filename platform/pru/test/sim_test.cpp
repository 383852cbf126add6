#include "prussdrv.h"
#include "pru/host.h"
#include "pru/sim.h"
#include "pru/temp_root.h"

#include "meter/root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <set>

namespace {

// The board's event routing: 19 -> output 0, 23 -> 2, 24 -> 3, 25 -> 4.
prussdrv_intc_init_t board_intc() {
    prussdrv_intc_init_t init{};
    const int32_t enabled[] = {17, 18, 19, 20, 21, 22, 23, 24, 25, PRUSS_INTC_END};
    const int32_t ev_ch[][2] = {{17, 1}, {18, 0}, {19, 2}, {20, 3}, {21, 0},
                                {22, 1}, {23, 4}, {24, 5}, {25, 6}, {PRUSS_INTC_END, PRUSS_INTC_END}};
    const int32_t ch_host[][2] = {{0, 0}, {1, 1}, {2, 2}, {3, 3},
                                  {4, 4}, {5, 5}, {6, 6}, {PRUSS_INTC_END, PRUSS_INTC_END}};
    std::memcpy(init.sysevts_enabled, enabled, sizeof enabled);
    std::memcpy(init.sysevt_to_channel, ev_ch, sizeof ev_ch);
    std::memcpy(init.channel_to_host, ch_host, sizeof ch_host);
    init.host_enable_bitmask = 0x7F;
    return init;
}

class Sim : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *p : {"/usr/bin/pru-spi-read-data.bin", "/usr/bin/pru-spi-cmd.bin",
                              "/usr/bin/pru-spi-write-settings.bin", "/usr/bin/pru-spi-read-settings.bin"}) {
            root.put(p, "program");
        }
        ASSERT_EQ(prussdrv_init(), 0);
        for (unsigned n = 0; n < 8; ++n) {
            ASSERT_EQ(prussdrv_open(n), 0);
        }
        const auto init = board_intc();
        ASSERT_EQ(prussdrv_pruintc_init(&init), 0);
        ASSERT_TRUE(pru_host::dev_mem_ready());
        int fd = ::open(meter::meter_path("/dev/mem").c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        void *p = ::mmap(nullptr, pru_sim::kDdrBytes, PROT_READ, MAP_SHARED, fd,
                         static_cast<off_t>(pru_sim::kDdrPhysical));
        ::close(fd);
        ASSERT_NE(p, MAP_FAILED);
        ddr = static_cast<const uint8_t *>(p);
    }
    void TearDown() override {
        prussdrv_exit();
        ::munmap(const_cast<uint8_t *>(ddr), pru_sim::kDdrBytes);
    }
    int32_t raw(int half, uint32_t block, uint32_t adc, uint32_t input, uint32_t s) const {
        int32_t v;
        std::memcpy(&v, ddr + half * pru_sim::kHalfBytes + block * pru_sim::kBlockBytes + 0x700 * adc +
                            0x100 * (input + 1) + 4 * s,
                    4);
        return v;
    }
    pru_host::TempRoot root;
    const uint8_t *ddr = nullptr;
};

pru_sim::Config busy_scenario(uint32_t adcs) {
    pru_sim::Config c;
    c.num_adcs = adcs;
    for (uint32_t r = 0; r < pru_sim::kChannels; ++r) {
        pru_sim::Channel &ch = c.channels[r];
        ch.frequency = 45.0 + 0.37 * r;
        ch.amplitude = 1000.0 + 250.0 * r;
        ch.phase = 0.1 * r;
        ch.harmonics = {{3, 0.1, 0.2}, {5, 0.05, 0.0}};
        ch.dc = r % 3 == 0 ? -40.0 : 3.0;
        ch.noise = r % 4 == 0 ? 2.0 : 0.0;
        ch.steps = {{1000, 61.0}, {3000, 49.5}};
        c.gains[r] = 0.5f + 0.01f * static_cast<float>(r);
    }
    return c;
}

// Raw counts times the calibration gain give back the scenario, for every
// ADC input that the front end wires to a ring; in both halves.
TEST_F(Sim, RawCountsInvertTheCalibrationAndWiring) {
    struct Case {
        uint32_t adcs;
        std::set<uint32_t> rings;
    };
    std::set<uint32_t> all, twelve = {0, 1, 2, 3, 4, 5};
    for (uint32_t r = 0; r < 54; ++r) {
        all.insert(r);
    }
    for (uint32_t r = 6; r < 18; ++r) {
        twelve.insert(r);
    }
    const Case cases[] = {{9, all}, {3, twelve}, {1, {0, 1, 2, 6, 7, 8}}};
    const double rate = pru_sim::sample_rate_at(pru_sim::kNominalClockHz);
    for (const Case &c : cases) {
        const pru_sim::Config cfg = busy_scenario(c.adcs);
        pru_sim::configure(cfg);
        ASSERT_EQ(prussdrv_exec_program(0, "/usr/bin/pru-spi-read-data.bin"), 0);
        std::set<uint32_t> fed;
        for (int half = 0; half < 2; ++half) {
            ASSERT_EQ(prussdrv_pru_wait_event_timeout(half == 0 ? 3 : 4, 5000), 1) << c.adcs;
            for (uint32_t adc = 0; adc < 9; ++adc) {
                for (uint32_t in = 0; in < 6; ++in) {
                    const int ring = pru_sim::ring_of_input(c.adcs, adc, in);
                    for (uint32_t b = 0; b < 32; b += 7) {
                        for (uint32_t s = 0; s < 64; s += 9) {
                            const int32_t got = raw(half, b, adc, in, s);
                            if (ring < 0) {
                                ASSERT_EQ(got, 0) << "unwired input " << adc << "/" << in;
                                continue;
                            }
                            const uint64_t n = uint64_t{2048} * half + 64 * b + s;
                            const double want = pru_sim::sample_value(cfg.channels[ring], ring, n, rate);
                            const double gain = cfg.gains[ring];
                            ASSERT_NEAR(got * gain, want, gain / 2 + 1e-6)
                                << c.adcs << " ADCs, ring " << ring << " sample " << n;
                        }
                    }
                    if (ring >= 0) {
                        EXPECT_TRUE(fed.insert(static_cast<uint32_t>(ring)).second) << "ring fed twice: " << ring;
                    }
                }
            }
            prussdrv_pru_clear_event(half == 0 ? 3 : 4, half == 0 ? 24 : 25);
            if (half == 0) {
                fed.clear();
            }
        }
        EXPECT_EQ(fed, c.rings) << c.adcs;
        ASSERT_EQ(prussdrv_pru_send_event(21), 0);
        EXPECT_EQ(prussdrv_pru_wait_event_timeout(2, 5000), 1) << "the program answers a stop";
        // As the program's user does after a stop: drop a half raised meanwhile.
        prussdrv_pru_clear_event(2, 23);
        prussdrv_pru_clear_event(3, 24);
        prussdrv_pru_clear_event(4, 25);
    }
}

TEST_F(Sim, FrequencyStepsKeepTheWaveformContinuous) {
    pru_sim::Channel ch;
    ch.amplitude = 1.0;
    ch.frequency = 50.0;
    ch.steps = {{100, 65.0}, {200, 42.0}};
    const double rate = 12019.53125;
    double most = 0;
    for (uint64_t n = 0; n < 400; ++n) {
        most = std::max(most, std::abs(pru_sim::sample_value(ch, 0, n + 1, rate) -
                                       pru_sim::sample_value(ch, 0, n, rate)));
    }
    // The largest step between samples of a unit sine at 65 Hz.
    EXPECT_LT(most, 2 * M_PI * 65.0 / rate * 1.0001);
    EXPECT_NEAR(pru_sim::sample_value(ch, 0, 0, rate), 0.0, 1e-12);
}

TEST_F(Sim, LockStepWaitsForTheConsumerAndLimitsHalves) {
    pru_sim::Config c;
    c.max_halves = 3;
    pru_sim::configure(c);
    ASSERT_EQ(prussdrv_exec_program(0, "/usr/bin/pru-spi-read-data.bin"), 0);
    ASSERT_EQ(prussdrv_pru_wait_event_timeout(3, 5000), 1);
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(4, 100), 0) << "no pong before the ping is cleared";
    prussdrv_pru_clear_event(3, 24);
    ASSERT_EQ(prussdrv_pru_wait_event_timeout(4, 5000), 1);
    prussdrv_pru_clear_event(4, 25);
    ASSERT_EQ(prussdrv_pru_wait_event_timeout(3, 5000), 1);
    prussdrv_pru_clear_event(3, 24);
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(4, 100), 0) << "the limit holds";
    EXPECT_EQ(pru_sim::halves_produced(), 3u);
    pru_sim::allow_halves(1);
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(4, 5000), 1);
}

TEST_F(Sim, RealTimePaceFollowsTheSampleRate) {
    pru_sim::Config c;
    c.pace = pru_sim::Pace::realtime;
    c.time_scale = 20.0;  // a half every 8.5 ms
    pru_sim::configure(c);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(prussdrv_exec_program(0, "/usr/bin/pru-spi-read-data.bin"), 0);
    ASSERT_TRUE(pru_sim::wait_halves(6, 5000));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(45));
    EXPECT_EQ(prussdrv_pru_disable(0), 0);
    EXPECT_FALSE(pru_sim::acquisition_running());
}

TEST_F(Sim, AStalledProgramAnswersNothingUntilHalted) {
    pru_sim::configure({});
    ASSERT_EQ(prussdrv_exec_program(0, "/usr/bin/pru-spi-read-data.bin"), 0);
    ASSERT_EQ(prussdrv_pru_wait_event_timeout(3, 5000), 1);
    pru_sim::fault_stall();
    prussdrv_pru_clear_event(3, 24);
    prussdrv_pru_send_event(21);
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(4, 200), 0);
    EXPECT_EQ(prussdrv_pru_wait_event_timeout(2, 200), 0);
    EXPECT_TRUE(pru_sim::acquisition_running());
    prussdrv_pru_disable(0);
    EXPECT_FALSE(pru_sim::acquisition_running());
}

TEST_F(Sim, DataReadyFaultRaisesTheNode) {
    pru_sim::fault_drdy();
    EXPECT_EQ(pru_host::drdy_value(), 1);
}

TEST_F(Sim, SpiProgramsActOnTheSelectedAdcs) {
    pru_sim::Config c;
    c.num_adcs = 3;
    pru_sim::configure(c);
    void *mem = nullptr;
    ASSERT_EQ(prussdrv_map_prumem(PRUSS0_PRU0_DATARAM, &mem), 0);
    auto *blk = static_cast<uint8_t *>(mem);
    auto run = [&](const char *program) {
        ASSERT_EQ(prussdrv_exec_program(0, program), 0);
        ASSERT_EQ(prussdrv_pru_wait_event_timeout(0, 1000), 1);
        prussdrv_pru_clear_event(0, 19);
    };
    // Write registers 2..3 of ADC 1 (own select) only.
    blk[0] = 0x42;
    blk[1] = 2;
    blk[2] = 0xAB;
    blk[3] = 0xCD;
    blk[12] = 1;
    run("/usr/bin/pru-spi-write-settings.bin");
    EXPECT_EQ(pru_sim::adc_registers(0)[2], 0xAB);
    EXPECT_EQ(pru_sim::adc_registers(0)[3], 0xCD);
    EXPECT_EQ(pru_sim::adc_registers(1)[2], 0xE0) << "ADC 2 was not selected";

    // Without its own select and with no chip select held, nobody listens.
    blk[12] = 0;
    blk[2] = 0x11;
    run("/usr/bin/pru-spi-write-settings.bin");
    EXPECT_EQ(pru_sim::adc_registers(2)[2], 0xE0) << "no chip select held: nobody listens";

    // Continuous-read mode makes a converter ignore register access.
    blk[0] = 0x10;
    blk[1] = 1;
    run("/usr/bin/pru-spi-cmd.bin");
    EXPECT_TRUE(pru_sim::adc_continuous(0));
    blk[0] = 0x20;
    blk[1] = 1;
    run("/usr/bin/pru-spi-read-settings.bin");
    EXPECT_EQ(blk[0], 0xFF) << "a converter in continuous mode does not answer";
    blk[0] = 0x11;
    blk[1] = 1;
    run("/usr/bin/pru-spi-cmd.bin");
    blk[0] = 0x20;
    blk[1] = 1;
    run("/usr/bin/pru-spi-read-settings.bin");
    EXPECT_EQ(blk[0], 0xD2);
    EXPECT_EQ(blk[2], 0xAB);
    EXPECT_EQ(pru_sim::spi_runs().size(), 6u);
    EXPECT_EQ(prussdrv_exec_program(0, "/usr/bin/no-such-program.bin"), -1);
}

}  // namespace
