#include "nerisko/acquisition.h"
#include "nerisko/cal.h"
#include "nerisko/frontend.h"
#include "temp_root.h"
#include "pru_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kTps = 16639;  // ticks per sample near 12019.5 samples per second

// Blocks as the PRU writes them: sample n of the run has the tick
// first_tick + n * tps and, on every input, the raw value n + 1000 * slot.
struct Feed {
    uint64_t next = 0;  // next sample number
    uint32_t first_tick = 0x10000000u;
    uint32_t tps = kTps;

    std::vector<pru_block_t> blocks(uint32_t count) {
        std::vector<pru_block_t> out(count);
        for (pru_block_t &b : out) {
            for (uint32_t s = 0; s < SAMPLES_PER_BLOCK; ++s, ++next) {
                b.ts[s] = static_cast<uint32_t>(first_tick + next * tps);
                for (uint32_t k = 0; k < PRU_ADC_SLOTS; ++k) {
                    for (uint32_t c = 0; c < 6; ++c) {
                        b.adc[k].raw[c][s] = static_cast<int32_t>(next % 100000 + 1000 * (6 * k + c));
                    }
                }
            }
        }
        return out;
    }
    void copy(uint32_t count) {
        auto b = blocks(count);
        acquisition_new_data(b.data(), count);
    }
};

class Acquisition : public ::testing::Test {
protected:
    void SetUp() override { start(48); }
    void TearDown() override { acquisition_clean(); }
    void start(uint32_t ct_channels) {
        acquisition_clean();
        ASSERT_TRUE(frontend_set(ct_channels));
        for (uint32_t r = 0; r < CAL_CHANNELS; ++r) {
            cal_array[r] = {1.0f + 0.01f * static_cast<float>(r), 0};
        }
        ASSERT_TRUE(acquisition_init());
        for (uint32_t r = 0; r < ACQ_CHANNELS; ++r) {
            pos[r] = acquisition_get_cb(r)->base;
        }
    }
    // Frees n samples of every full ring and moves this reader's positions.
    void consume(uint32_t n) {
        for (uint32_t r = 0; r < num_buf; ++r) {
            acquisition_free_samples(r, n);
            pos[r] = cb_step(acquisition_get_cb(r), pos[r], n);
        }
    }
    meter::host::TempRoot root;
    float *pos[ACQ_CHANNELS] = {};
    Feed feed;
};

TEST_F(Acquisition, NothingIsAvailableBeforeTheSecondCopy) {
    feed.copy(32);
    double rate = -1;
    EXPECT_FALSE(acquisition_get_sample_rate(&rate));
    EXPECT_EQ(acquisition_get_ts_per_sample(), 0u);
    for (uint32_t r = 0; r < 54; ++r) {
        EXPECT_EQ(acquisition_items_available(r, pos[r]), 0u) << r;
    }
    feed.copy(32);
    ASSERT_TRUE(acquisition_get_sample_rate(&rate));
    EXPECT_NEAR(rate, 200000000.0 / kTps, 1e-6);
    EXPECT_EQ(acquisition_get_ts_per_sample(), kTps);
    for (uint32_t r = 0; r < 54; ++r) {
        EXPECT_EQ(acquisition_items_available(r, pos[r]), 4096u) << r;
    }
}

// A half delivered twice (a thread that copied the same half again) spans no
// ticks: it must not give a rate, or the rate would be infinite and the ticks
// per sample zero for good. The next genuine half measures it.
TEST_F(Acquisition, AHalfDeliveredTwiceGivesNoRate) {
    const auto half = feed.blocks(32);
    acquisition_new_data(half.data(), 32);
    acquisition_new_data(half.data(), 32);
    double rate = -1;
    EXPECT_FALSE(acquisition_get_sample_rate(&rate));
    EXPECT_EQ(acquisition_get_ts_per_sample(), 0u);
    feed.copy(32);
    ASSERT_TRUE(acquisition_get_sample_rate(&rate));
    EXPECT_NEAR(rate, 200000000.0 / kTps, 1e-6);
    EXPECT_EQ(acquisition_get_ts_per_sample(), kTps);
}

TEST_F(Acquisition, SamplesAreCalibratedIntoTheWiredRings) {
    feed.copy(2);
    feed.copy(2);
    for (uint32_t k = 0; k < 9; ++k) {
        for (uint32_t c = 0; c < 6; ++c) {
            const uint32_t r = adc_ct_mapping[6 * k + c];
            for (uint32_t n : {0u, 63u, 64u, 255u}) {
                const float want = static_cast<float>(n + 1000 * (6 * k + c)) * cal_array[r].gain;
                EXPECT_FLOAT_EQ(pos[r][n], want) << "ring " << r << " sample " << n;
            }
        }
    }
}

// The wiring checked against the PRU programs' own slot table rather than
// against adc_ct_mapping itself: every slot of the block reaches the ring
// that the slot feeds on the board, on each of the three front ends.
TEST_F(Acquisition, EverySlotReachesTheRingThePruProgramsWire) {
    for (uint32_t cts : {3u, 12u, 48u}) {
        start(cts);
        feed = Feed{};
        feed.copy(1);
        feed.copy(1);
        for (uint32_t k = 0; k < num_adcs; ++k) {
            for (uint32_t c = 0; c < 6; ++c) {
                const uint32_t r = prusim::adc_slot_channel(num_adcs, k, c);
                ASSERT_LT(r, num_buf) << cts << " CTs, ADC " << k << " input " << c;
                const float want = static_cast<float>(100 + 1000 * (6 * k + c)) * cal_array[r].gain;
                EXPECT_FLOAT_EQ(pos[r][100], want) << cts << " CTs, ADC " << k << " input " << c << " ring " << r;
            }
        }
    }
}

TEST_F(Acquisition, ThreeCtFrontEndFeedsOnlyItsRings) {
    start(3);
    feed.copy(2);
    feed.copy(2);
    for (uint32_t r = 0; r < 9; ++r) {
        const bool fed = r <= 2 || r >= 6;
        EXPECT_EQ(acquisition_items_available(r, pos[r]), fed ? 256u : 0u) << r;
    }
    // Input 3 of the ADC is CT 0 (ring 6).
    EXPECT_FLOAT_EQ(pos[6][5], static_cast<float>(5 + 3000) * cal_array[6].gain);
    EXPECT_EQ(acquisition_items_available(9, acquisition_get_cb(9)->base), 0u) << "no full ring above num_buf";
    acquisition_free_samples(9, 100);  // ignored
    EXPECT_EQ(acquisition_get_cb(54), nullptr);
}

TEST_F(Acquisition, RateFromMarksAcrossTheRingEnd) {
    feed.copy(900);  // 57600 samples: the first mark near the end of the ring
    consume(57600);
    feed.copy(100);  // the second mark wrapped to 3999
    double rate = 0;
    ASSERT_TRUE(acquisition_get_sample_rate(&rate));
    EXPECT_NEAR(rate, 200000000.0 / kTps, 1e-6);
    EXPECT_EQ(acquisition_items_available(0, pos[0]), 6400u);
}

TEST_F(Acquisition, TickCounterWrapRaisesTheUpperWord) {
    feed.first_tick = 0xFFFFFFFFu - 100 * kTps;  // wraps within the second copy
    feed.copy(1);
    const uint64_t upper = acquisition_get_ts(63) >> 32;  // no rate yet: the newest time
    EXPECT_GT(upper, 0u) << "samples before the first tick word keep times above 0";
    feed.copy(2);
    const uint32_t newest = 64 * 3 - 1;
    const uint64_t want = ((upper + 1) << 32) | static_cast<uint32_t>(feed.first_tick + uint64_t{newest} * kTps);
    EXPECT_EQ(acquisition_get_ts(newest), want);
    EXPECT_EQ(acquisition_get_ts(newest - 10), want - 10 * kTps);
    EXPECT_EQ(acquisition_get_index(want, 1), static_cast<int>(newest));
    EXPECT_EQ(acquisition_get_index(want - kTps, 1), static_cast<int>(newest - 1));
    EXPECT_EQ(acquisition_get_index(want - kTps / 3, 0), static_cast<int>(newest)) << "nearest";
    EXPECT_EQ(acquisition_get_index(want - kTps / 3, 1), static_cast<int>(newest - 1)) << "down";
    EXPECT_EQ(acquisition_get_ts_frac(static_cast<float>(newest - 1) + 0.5f), want - kTps + kTps / 2);
}

TEST_F(Acquisition, IndexBeforeZeroWrapsToTheRingEnd) {
    feed.copy(1);
    feed.copy(1);
    acquisition_flush();  // newest index 0 at time 0, the rate stays known
    double rate = 0;
    EXPECT_TRUE(acquisition_get_sample_rate(&rate));
    EXPECT_EQ(acquisition_get_index(0 - uint64_t{kTps}, 1), 59999);
    for (uint32_t r = 0; r < 54; ++r) {
        EXPECT_EQ(acquisition_items_available(r, acquisition_get_cb(r)->base), 0u) << "flushed ring " << r;
    }
}

// At 1000 samples per second ticks x distance passes 2^32; the time of an
// old sample must still be exact.
TEST_F(Acquisition, TimesOfOldSamplesAtLowRatesDoNotOverflow) {
    feed.tps = 200000;
    feed.first_tick = 0;
    feed.copy(100);
    feed.copy(100);
    ASSERT_EQ(acquisition_get_ts_per_sample(), 200000u);
    const uint32_t newest = 12799;
    const uint64_t newest_time = acquisition_get_ts(newest);
    const uint64_t distance = 59999;  // index 12800 is the oldest position of the ring
    EXPECT_EQ(acquisition_get_ts(12800), newest_time - 200000 * distance);
}

// Nobody reads (processing failed to start): the rings fill up, then whole
// copies are dropped for every ring alike, without stopping the program.
TEST_F(Acquisition, FullRingsDropWholeHalvesAndStayAligned) {
    for (int half = 0; half < 40; ++half) {
        feed.copy(32);
    }
    EXPECT_EQ(acquisition_dropped_blocks(), 11u * 32);
    EXPECT_EQ(meter::host::log_count("Channel buffers full, dropping samples until they are read"), 1u);
    for (uint32_t r = 0; r < 54; ++r) {
        EXPECT_EQ(acquisition_items_available(r, pos[r]), 29u * 2048) << r;
    }
    consume(10 * 2048);
    feed.copy(32);
    EXPECT_TRUE(meter::host::log_has("Channel buffers read again, 352 blocks dropped"));
    for (uint32_t r = 0; r < 54; ++r) {
        EXPECT_EQ(acquisition_items_available(r, pos[r]), 20u * 2048) << r;
    }
}

// A half lost between two copies: every full ring knows the first sample
// after the gap, at the same position, and nothing else is taken for one.
TEST_F(Acquisition, TheFirstSampleAfterAGapIsKnownOnEveryRing) {
    start(12);
    feed.copy(64);
    feed.next += 2048;  // lost before the copy
    feed.copy(32);
    for (const uint32_t r : {0u, 5u, 6u, 17u}) {
        SCOPED_TRACE("ring " + std::to_string(r));
        float *base = acquisition_get_cb(r)->base;
        EXPECT_TRUE(acquisition_gap_at(r, base + 4096));
        EXPECT_FALSE(acquisition_gap_at(r, base));
        EXPECT_FALSE(acquisition_gap_at(r, base + 4095));
        EXPECT_FALSE(acquisition_gap_at(r, base + 4097));
        EXPECT_FALSE(acquisition_gap_at(r, base + 6144)) << "the head: no sample there yet";
        EXPECT_EQ(acquisition_gap_within(r, base, 6144), 4096u);
        EXPECT_EQ(acquisition_gap_within(r, base + 4096, 2048), 0u) << "a run that starts at the gap";
    }
    EXPECT_FALSE(acquisition_gap_at(18, acquisition_get_cb(18)->base)) << "a ring of one sample";
}

using AcquisitionDeath = Acquisition;

TEST_F(AcquisitionDeath, ProgrammingErrorsStopTheProgram) {
    feed.copy(1);
    feed.copy(1);
    EXPECT_DEATH(acquisition_get_index(0, 2), "mode == 0 \\|\\| mode == 1");
    EXPECT_DEATH(acquisition_free_samples(7, 129), "n <= filled samples");
    EXPECT_DEATH(acquisition_get_ts(60000), "index < channel_buffers\\[0\\].cb->size");
    EXPECT_DEATH(acquisition_get_ts_frac(-1.5f), "index < channel_buffers\\[0\\].cb->size");
    EXPECT_DEATH(acquisition_get_ts_frac(60000.5f), "index < channel_buffers\\[0\\].cb->size");
    EXPECT_DEATH(acquisition_get_index(uint64_t{1} << 62, 1), "index >= 0 && index < channel_buffers");
    float elsewhere = 0;
    EXPECT_DEATH(acquisition_items_available(7, &elsewhere), "index >= channel_buffers\\[pc\\].cb->base");
    acquisition_clean();
    const auto blocks = feed.blocks(1);
    EXPECT_DEATH(acquisition_new_data(blocks.data(), 1), "acquisition initialised");
}

// ---- on the simulated PRU ----

using pru_test::SimBoard;

// Calibrated ring samples equal the scenario for every channel of the three
// front ends, across the ring end and the 32-bit tick wrap.
TEST_F(SimBoard, CalibratedRingsEqualTheScenario) {
    for (uint32_t adcs : {1u, 3u, 9u}) {
        SCOPED_TRACE(testing::Message() << adcs << " ADCs");
        reboot(adcs);
        prusim::Config c;  // lock-step
        c.tick_start = 0xFFFFFFFFu - 3000u * 16640u;  // wraps in the second half
        for (uint32_t r = 0; r < 54; ++r) {
            prusim::ChannelScenario &ch = c.channels[r];
            ch.frequency_hz = 45.0 + 0.4 * r;
            ch.amplitude = 20000.0 + 3000.0 * r;
            ch.phase_rad = 0.11 * r;
            ch.harmonics = {{3, 0.1 * ch.amplitude, 0.3}, {5, 0.05 * ch.amplitude, 0.0}};
            ch.dc_offset = r % 2 == 0 ? 150.0 : -75.0;
            ch.noise_rms = r % 5 == 0 ? 30.0 : 0.0;
            ch.steps = {{1.0, 58.0}};
            cal_array[r] = {0.5f + 0.02f * static_cast<float>(r), 0};
            c.calibration[r] = {cal_array[r].gain, 0, 1.0};
        }
        configure(adcs, c);
        ASSERT_TRUE(acquisition_init());
        copy_func = acquisition_new_data;
        ASSERT_TRUE(pru_start_acq());

        std::vector<uint32_t> active;
        for (uint32_t r = 0; r < num_buf; ++r) {
            if (adcs != 1 || r <= 2 || r >= 6) {
                active.push_back(r);
            }
        }
        float *pos[54];
        for (uint32_t r = 0; r < 54; ++r) {
            pos[r] = acquisition_get_cb(r)->base;
        }
        // Nothing is readable before the second copy gives the sample rate,
        // so the first check covers two halves. The halves come one at a
        // time, as the PRU's pace gives them to the two threads.
        uint64_t first = 0;
        for (int round = 0; round < 33; ++round) {  // 34 halves pass the ring end
            const uint32_t halves = round == 0 ? 2 : 1;
            for (uint32_t k = 0; k < halves; ++k) {
                prusim::HalfInfo info;
                ASSERT_EQ(prusim::step(&info), 0);
                if (round == 0 && k == 0) {
                    first = info.first_sample;
                    const auto t0 = std::chrono::steady_clock::now();
                    while (acquisition_get_ts(0) == 0) {  // the newest time of the first copy
                        ASSERT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                }
            }
            const uint32_t n = 2048 * halves;
            const auto t0 = std::chrono::steady_clock::now();
            while (acquisition_items_available(0, pos[0]) < n) {
                ASSERT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10)) << "round " << round;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            for (uint32_t r : active) {
                cb_t *cb = acquisition_get_cb(r);
                for (uint32_t i = 0; i < n; i += 7) {
                    const double want = prusim::scenario_value(r, first + i);
                    const float got = *cb_step(cb, pos[r], i);
                    ASSERT_NEAR(got, want, 0.5 * cal_array[r].gain + 1e-6 * std::abs(want))
                        << "ring " << r << " sample " << first + i << " round " << round;
                }
                acquisition_free_samples(r, n);
                pos[r] = cb_step(cb, pos[r], n);
            }
            for (uint32_t r = 0; r < num_buf; ++r) {
                if (std::find(active.begin(), active.end(), r) == active.end()) {
                    EXPECT_EQ(acquisition_get_cb(r)->base, pos[r]) << "ring " << r << " never fed";
                    EXPECT_EQ(acquisition_items_available(r, pos[r]), 0u) << "ring " << r << " never fed";
                }
            }
            first += n;
        }
        // The newest sample's time: the tick word with the wrap in the upper word.
        const cb_t *cb0 = acquisition_get_cb(0);
        const auto newest = static_cast<uint32_t>((pos[0] - cb0->base + cb0->size - 1) % cb0->size);
        const uint64_t ts = acquisition_get_ts(newest);
        EXPECT_EQ(static_cast<uint32_t>(ts), prusim::sample_ticks(first - 1));
        EXPECT_EQ(ts >> 32, 2u) << "the 32-bit counter wrapped once (the count starts at 1)";
        // One more half for each thread once the stop is under way, one at a time.
        std::thread last([p0 = pos[0]] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (uint32_t k = 1; k <= 2; ++k) {
                prusim::step();
                const auto t0 = std::chrono::steady_clock::now();
                while (acquisition_items_available(0, p0) < 2048 * k &&
                       std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
        pru_stop_acq();
        last.join();
        acquisition_clean();
    }
}

// Ring values are raw counts times the channel's gain; times the fixed scale
// of the channel kind they are the signal in volts or amperes. The offset is
// a noise floor: neither the PRU programs nor the copy subtract it.
TEST_F(SimBoard, RingTimesTheChannelKindScaleIsTheSignal) {
    reboot(9);
    prusim::Config c;  // lock-step, the default scale of each channel kind
    for (uint32_t r = 0; r < 54; ++r) {
        const bool volts = r < 6;
        prusim::ChannelScenario &ch = c.channels[r];
        ch.amplitude = volts ? 325.0 : 4.0 + 0.1 * r;
        ch.phase_rad = 0.1 * r;
        ch.dc_offset = volts ? 2.0 : -0.05;
        cal_array[r] = {0.9f + 0.005f * static_cast<float>(r), 4000 + static_cast<int32_t>(r)};
        c.calibration[r] = {cal_array[r].gain, cal_array[r].offset, 0.0};
    }
    configure(9, c);
    ASSERT_TRUE(acquisition_init());
    copy_func = [](const pru_block_t *blocks, uint32_t count) {
        acquisition_new_data(blocks, count);
        pru_test::record_copy(blocks, count);
    };
    ASSERT_TRUE(pru_start_acq());
    std::vector<prusim::HalfInfo> infos;
    step_halves(2, &infos);
    for (uint32_t r = 0; r < 54; ++r) {
        const float *ring = acquisition_get_cb(r)->base;
        ASSERT_EQ(acquisition_items_available(r, ring), 4096u) << r;
        const double scale = r < 6 ? CAL_VOLTAGE_SCALE : CAL_CURRENT_SCALE;
        for (uint32_t i = 0; i < 4096; i += 11) {
            const double want = prusim::scenario_value(r, infos[0].first_sample + i);
            ASSERT_NEAR(ring[i] * scale, want, 0.5 * cal_array[r].gain * scale + 1e-6 * std::abs(want))
                << "ring " << r << " sample " << i;
        }
    }
    stop_lockstep();
    acquisition_clean();
}

// The processing side reads while the ping and pong threads copy: the rate
// it sees is whole, and under the lock every ring holds the same count. The
// PRU writes each half once the one before is copied and while the reader is
// less than 16 halves behind, so a loaded machine that holds the reader back
// never fills the rings: no half may be dropped.
TEST_F(SimBoard, ReadingWhileTheThreadsCopy) {
    reboot(3);
    configure(3, prusim::Config{});  // lock-step
    ASSERT_TRUE(acquisition_init());
    copy_func = [](const pru_block_t *blocks, uint32_t count) {
        acquisition_new_data(blocks, count);
        pru_test::record_copy(blocks, count);
    };
    ASSERT_TRUE(pru_start_acq());
    const double want_rate = prusim::configured_sample_rate();
    constexpr uint64_t kHalves = 40;
    std::atomic<uint64_t> consumed{0};
    std::atomic<bool> reading{true};
    std::thread pru([&] {
        for (uint64_t h = 0; h < kHalves && reading; ++h) {
            while (reading && h * 2048 >= consumed + 16 * 2048) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            step_halves(1);
        }
    });
    float *pos[ACQ_CHANNELS];
    for (uint32_t r = 0; r < ACQ_CHANNELS; ++r) {
        pos[r] = acquisition_get_cb(r)->base;
    }
    auto read = [&] {
        const auto t0 = std::chrono::steady_clock::now();
        while (consumed < kHalves * 2048) {
            ASSERT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(60)) << consumed << " read";
            double rate = 0;
            if (!acquisition_get_sample_rate(&rate)) {
                continue;
            }
            ASSERT_NEAR(rate, want_rate, 1e-3 * want_rate);
            ASSERT_EQ(acquisition_get_ts_per_sample(), static_cast<uint32_t>(200000000.0 / rate));
            acquisition_lock_buffers();
            const uint32_t n = acquisition_items_available(0, pos[0]);
            for (uint32_t r = 0; r < num_buf; ++r) {
                EXPECT_EQ(acquisition_items_available(r, pos[r]), n) << "ring " << r;
                acquisition_free_samples(r, n);
                pos[r] = cb_step(acquisition_get_cb(r), pos[r], n);
            }
            acquisition_unlock_buffers();
            consumed += n;
        }
    };
    read();
    reading = false;
    pru.join();
    EXPECT_EQ(consumed, kHalves * 2048);
    stop_lockstep();
    EXPECT_EQ(acquisition_dropped_blocks(), 0u);
    acquisition_clean();
}

// A calibration step runs while the calibration measurement is acquiring:
// the new gain reaches the rings at the next block, without a restart.
TEST_F(SimBoard, AGainStepTakesEffectWhileTheThreadsCopy) {
    reboot(1);
    prusim::Config c = pru_test::fast_pace();
    c.channels[0].amplitude = 100.0;
    configure(1, c);
    for (cal_entry_t &e : cal_array) {
        e = {1.0f, 0};
    }
    ASSERT_TRUE(acquisition_init());
    copy_func = acquisition_new_data;
    ASSERT_TRUE(pru_start_acq());
    float *pos[ACQ_CHANNELS];
    for (uint32_t r = 0; r < ACQ_CHANNELS; ++r) {
        pos[r] = acquisition_get_cb(r)->base;
    }
    // The peak of the newest 2048 samples of ring 0, in volts. Every ring is
    // emptied: a half that does not fit into every ring goes into none, so
    // rings left full would stop ring 0 as well.
    auto newest_peak = [&pos] {
        const auto t0 = std::chrono::steady_clock::now();
        while (acquisition_items_available(0, pos[0]) < 2048) {
            if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(10)) {
                return -1.0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        acquisition_lock_buffers();
        const uint32_t n = acquisition_items_available(0, pos[0]);
        cb_t *cb0 = acquisition_get_cb(0);
        double peak = 0;
        for (uint32_t i = n - 2048; i < n; ++i) {
            peak = std::max(peak, std::abs(static_cast<double>(*cb_step(cb0, pos[0], i))));
        }
        for (uint32_t r = 0; r < num_buf; ++r) {
            const uint32_t have = acquisition_items_available(r, pos[r]);
            acquisition_free_samples(r, have);
            pos[r] = cb_step(acquisition_get_cb(r), pos[r], have);
        }
        acquisition_unlock_buffers();
        return peak * CAL_VOLTAGE_SCALE;
    };
    EXPECT_NEAR(newest_peak(), 100.0, 0.5);

    // The step runs on a thread of its own, as on the test station's
    // receive thread, which never takes the acquisition lock.
    std::thread station([] {
        data_set_t result{};
        result.set_u.u[0].rms_ln.value = 100.0f;
        float gain = 0;
        EXPECT_TRUE(cal_voltage_gain(&result, &gain, 200.0f));
        EXPECT_EQ(gain, 2.0f);
    });
    station.join();
    newest_peak();  // may still hold blocks copied before the step
    EXPECT_NEAR(newest_peak(), 200.0, 1.0);
    pru_stop_acq();
    acquisition_clean();
}

}  // namespace
