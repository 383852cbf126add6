#pragma once
// Runs act with a power cut at every step in turn, until act gets through
// without reaching the armed step; after each cut the power comes back and
// check sees what a fresh start loads. Each run has a fresh root holding
// the folder dir.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "meter/host.h"
#include "temp_root.h"

template <typename Prepare, typename Act, typename Check>
void cutAtEveryStep(const std::string &dir, Prepare prepare, Act act, Check check,
                    meter::host::Mode mode = meter::host::Mode::power_cut) {
    for (uint64_t step = 0;; ++step) {
        SCOPED_TRACE("power cut at step " + std::to_string(step));
        meter::host::TempRoot root;
        std::filesystem::create_directories(root.host(dir));
        prepare();
        meter::host::fault_arm(step, mode);
        act();
        const bool fired = meter::host::fault_fired();
        meter::host::fault_disarm();
        check();
        if (!fired) {
            EXPECT_GT(step, 3u) << "the protocol took too few steps to be tested";
            return;
        }
        ASSERT_LT(step, 200u);
    }
}
