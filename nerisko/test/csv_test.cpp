// Raw capture: how many blocks are taken and written, the file's exact
// bytes for one ADC, the cap, and failures while writing.

#include "nerisko/csv.h"
#include "nerisko/frontend.h"
#include "temp_root.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using meter::host::Mode;

// Block b of a capture: sample i of it has the time 7000 + 64 b + i, status
// 0xc00000 + i and channel values that are negative on channels 0-2.
std::vector<pru_block_t> blocks(uint32_t first, uint32_t n) {
    std::vector<pru_block_t> v(n);
    for (uint32_t b = 0; b < n; ++b) {
        for (uint32_t i = 0; i < 64; ++i) {
            v[b].ts[i] = 7000 + 64 * (first + b) + i;
            v[b].adc[0].status[i] = 0xc00000 + i;
            for (int c = 0; c < 6; ++c) {
                v[b].adc[0].raw[c][i] = (c - 3) * 100000 - static_cast<int32_t>(first + b) * 64 - static_cast<int32_t>(i);
            }
            v[b].adc[1].status[i] = 0xdead;  // a second slot that one ADC does not use
        }
    }
    return v;
}

// The file as the test expects it, written out here without the program's code.
std::string expected(uint32_t whole_blocks) {
    const std::string end = "\x08 \n";
    std::string s = "timestamp,adc0:head,adc0:ch0,adc0:ch1,adc0:ch2,adc0:ch3,adc0:ch4,adc0:ch5," + end;
    for (uint32_t b = 0; b < whole_blocks; ++b) {
        for (uint32_t i = 0; i < 64; ++i) {
            s += std::to_string(7000 + 64 * b + i) + ",";
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%x,", 0xc00000u + i);
            s += hex;
            for (int c = 0; c < 6; ++c) {
                s += std::to_string((c - 3) * 100000 - static_cast<int>(b * 64 + i)) + ",";
            }
            s += end;
        }
    }
    return s;
}

class Csv : public ::testing::Test {
protected:
    void SetUp() override {
        setlogmask(LOG_UPTO(LOG_DEBUG));
        ASSERT_TRUE(frontend_set(3));  // one ADC
    }
    void TearDown() override { meter::host::fault_disarm(); }
    // Hands halves of 32 blocks to the capture until it is complete.
    void capture(uint32_t count) {
        ASSERT_TRUE(csv_init(count));
        uint32_t first = 0;
        while (csv_get_sample_cnt() != 0) {
            const auto half = blocks(first, 32);
            csv_copy_data(half.data(), 32);
            first += 32;
        }
        const auto late = blocks(first, 32);
        csv_copy_data(late.data(), 32);  // after the capture: copies nothing
    }
    meter::host::TempRoot root;
};

TEST_F(Csv, CapturedAndWrittenBlocks) {
    struct Case {
        uint32_t count;
        uint32_t samples_to_capture;
        uint32_t lines;
    } const cases[] = {{64, 64, 64}, {100, 128, 64}, {10, 64, 0}, {128, 128, 128}};
    for (const Case &c : cases) {
        SCOPED_TRACE("count " + std::to_string(c.count));
        ASSERT_TRUE(csv_init(c.count));
        EXPECT_EQ(csv_get_sample_cnt(), c.samples_to_capture);
        capture(c.count);
        ASSERT_TRUE(csv_print("/capture.csv"));
        EXPECT_EQ(root.get("/capture.csv"), expected(c.lines / 64));
        EXPECT_TRUE(meter::host::log_has(LOG_INFO, "Finished generating csv"));
    }
}

// 2000000 samples are capped at 1048576 (16384 blocks), and no more than
// the capped count is written.
TEST_F(Csv, CountIsCapped) {
    ASSERT_TRUE(csv_init(2000000));
    EXPECT_TRUE(meter::host::log_has(LOG_INFO, "Too much samples requested, capping at 1048576"));
    EXPECT_EQ(csv_get_sample_cnt(), 1048576u);
    const auto half = blocks(0, 32);
    for (int k = 0; k < 512; ++k) {
        csv_copy_data(half.data(), 32);
    }
    EXPECT_EQ(csv_get_sample_cnt(), 0u);
    ASSERT_TRUE(csv_print("/capture.csv"));
    const std::string f = root.get("/capture.csv");
    size_t lines = 0;
    for (char ch : f) {
        lines += ch == '\n' ? 1 : 0;
    }
    EXPECT_EQ(lines, 1u + 1048576u);
}

TEST_F(Csv, FailedOpenOrWriteIsReported) {
    capture(64);
    EXPECT_FALSE(csv_print("/no/such/folder/capture.csv"));
    EXPECT_TRUE(meter::host::log_has(LOG_ERR, "Failed to open CSV file for writing"));
    // A failure at any step of the writing (a full disk) is an error, a
    // write cut short is carried on.
    bool completed = false;
    for (uint64_t step = 0; !completed && step < 50; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        for (Mode mode : {Mode::once, Mode::partial}) {
            capture(128);
            meter::host::fault_arm(step, mode);
            const bool ok = csv_print("/capture.csv");
            const bool fired = meter::host::fault_fired();
            meter::host::fault_disarm();
            if (mode == Mode::once) {
                EXPECT_EQ(ok, !fired);
                completed = !fired;
            } else {
                EXPECT_TRUE(ok);
                EXPECT_EQ(root.get("/capture.csv"), expected(2));
            }
        }
    }
    EXPECT_TRUE(completed);
}

}  // namespace
