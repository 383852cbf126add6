// A program with its own global symbols named like the library's module
// state: neither side may see the other's.
#include <gtest/gtest.h>

#include "ipc_support.h"

// The program's own globals, of other types than the library's.
extern "C" {
int conn = 17;
double loop = 2.5;
long velsard_proxy = -3;
}

using namespace arvent_test;
using velsard_testing::Control;
using velsard_testing::TestBus;

namespace {

TEST(Interpose, ProgramGlobalsNamedLikeTheLibrarysStayApart) {
    recorder.reset();
    TestBus::get().start_velsard();
    Control control;
    for (int round = 0; round < 3; round++) {
        ASSERT_EQ(arvent_init(config_handler, nullptr), 1);
        control.emit("NewMapping");
        ASSERT_TRUE(recorder.wait_for(round + 1));
        uint32_t n = 0;
        EXPECT_EQ(ipc_num_channels_get(&n), 1);
        EXPECT_EQ(n, 48u);
        EXPECT_EQ(conn, 17);
        EXPECT_EQ(loop, 2.5);
        EXPECT_EQ(velsard_proxy, -3);
        arvent_cleanup();
    }
    EXPECT_EQ(conn, 17);
    EXPECT_EQ(loop, 2.5);
    EXPECT_EQ(velsard_proxy, -3);
    TestBus::get().stop_velsard();
}

}  // namespace
