#pragma once
// A simulated board for the PRU and ADC tests: a fresh root with the PRU
// program files, the simulated PRU configured, the DDR buffer mapped and the
// driver set up, every half that reaches the copy callback recorded.

#include "nerisko/adc.h"
#include "nerisko/frontend.h"
#include "nerisko/pru.h"
#include "prusim/prusim.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace pru_test {

struct Half {
    const pru_block_t *blocks;
    uint32_t count;
    uint32_t first_tick;
};

struct Copies {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Half> halves;

    size_t size() {
        std::lock_guard lock(mutex);
        return halves.size();
    }
    bool wait_for(size_t n, int timeout_ms = 10000) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return halves.size() >= n; });
    }
    std::vector<Half> snapshot() {
        std::lock_guard lock(mutex);
        return halves;
    }
};

inline Copies copies;

inline void record_copy(const pru_block_t *blocks, uint32_t count) {
    std::lock_guard lock(copies.mutex);
    copies.halves.push_back({blocks, count, blocks[0].ts[0]});
    copies.cv.notify_all();
}

// Fast and in order: the PRU writes the next half as soon as the previous
// one has been taken.
inline prusim::Config fast_pace() {
    prusim::Config c;
    c.pace = prusim::Pace::timed;
    c.backpressure = true;
    c.time_scale = 1000.0;
    return c;
}

class SimBoard : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(prusim::install(), 0);
        {
            std::lock_guard lock(copies.mutex);
            copies.halves.clear();
        }
        pru_event_slice_ms = 20;
        pru_stall_limit_ms = 4000;  // far above a slow machine's half
        pru_program_limit_ms = 1000;
        configure(9);
        ASSERT_TRUE(pru_mem_init());
        ASSERT_EQ(init_pru(record_copy), 0);
    }
    void TearDown() override {
        pru_stop_acq();
        adc_close();
        pru_mem_free();
    }
    // Power-cycles the board: models, simulated PRU and driver set-up anew.
    void reboot(uint32_t adcs) {
        TearDown();
        meter::host::reset();
        meter::host::log_capture(true);
        ASSERT_EQ(prusim::install(), 0);
        configure(adcs);
        ASSERT_TRUE(pru_mem_init());
        ASSERT_EQ(init_pru(record_copy), 0);
    }
    void configure(uint32_t adcs, prusim::Config c = fast_pace()) {
        static const uint32_t chans[] = {0, 3, 0, 12, 0, 0, 0, 0, 0, 48};
        frontend_set(chans[adcs]);
        c.num_adcs = adcs;
        ASSERT_EQ(prusim::configure(c), 0);
    }
    // Lock-step: writes n more halves, each once the one before was copied.
    void step_halves(size_t n, std::vector<prusim::HalfInfo> *infos = nullptr) {
        for (size_t k = 0; k < n; ++k) {
            const size_t before = copies.size();
            prusim::HalfInfo info;
            ASSERT_EQ(prusim::step(&info), 0);
            ASSERT_TRUE(copies.wait_for(before + 1));
            if (infos != nullptr) {
                infos->push_back(info);
            }
        }
    }
    // Stops a lock-step acquisition as the PRU's pace would: each thread
    // takes one more half once the stop is under way. The threads are let
    // back to their waits first (a thread that notices the stop while still
    // in its copy needs no further half); a half that no thread waits for
    // any more is not written.
    void stop_lockstep() {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::thread last([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (int k = 0; k < 2; ++k) {
                const size_t before = copies.size();
                if (prusim::step() != 0) {
                    return;  // the program has already finished
                }
                copies.wait_for(before + 1, 2000);
            }
        });
        pru_stop_acq();
        last.join();
    }
    meter::host::TempRoot root;
};

}  // namespace pru_test
