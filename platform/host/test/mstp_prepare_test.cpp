// The MS/TP preparation on a build machine: the module and interrupt
// thread of the emulation.
#include "meter/sysio.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "mstp/emulator.h"

namespace {

std::vector<std::string> reported;
void keep(int level, const std::string &text) { reported.push_back(std::to_string(level) + " " + text); }

TEST(HostMstpPrepare, LoadsTheModuleOnceAndRaisesTheInterruptThread) {
    struct Case {
        const char *name;
        bool loadedBefore;
        mstpemu::Failure failure;
        int error; // 0: no failure
        bool result;
        int loads;
        int priority;
        std::vector<std::string> lines;
    } const cases[] = {
        {"not loaded", false, mstpemu::Failure::kOpen, 0, true, 1, 98, {"6 MS/TP: Setting 31 to a high priority."}},
        {"already loaded", true, mstpemu::Failure::kOpen, 0, true, 0, 98, {"6 MS/TP: Setting 31 to a high priority."}},
        {"the load refused", false, mstpemu::Failure::kModuleLoad, EPERM, false, 0, 0,
         {"1 MS/TP: cannot load /lib/modules/4.14.32-rt25/extra/mstp.ko: Operation not permitted"}},
        {"the priority refused", false, mstpemu::Failure::kIrqPriority, EPERM, true, 1, 0,
         {"6 MS/TP: Setting 31 to a high priority.", "4 MS/TP: cannot raise 31 to priority 98: Operation not permitted"}},
    };
    for (const Case &c : cases) {
        mstpemu::reset();
        if (c.loadedBefore) {
            ASSERT_EQ(mstpemu::loadModule(), 0);
        }
        if (c.error != 0) {
            mstpemu::fail(c.failure, c.error);
        }
        const int loadsBefore = mstpemu::state().moduleLoads;
        reported.clear();
        EXPECT_EQ(sys_mstp_prepare(keep), c.result) << c.name;
        EXPECT_EQ(reported, c.lines) << c.name;
        EXPECT_EQ(mstpemu::state().moduleLoads - loadsBefore, c.loads) << c.name;
        EXPECT_EQ(mstpemu::state().irqPriority, c.priority) << c.name;
    }
    mstpemu::reset();
}

} // namespace
