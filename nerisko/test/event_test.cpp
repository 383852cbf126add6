#include "nerisko/event.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> calls;
event_data_t *seen = nullptr;

void cb_a(event_data_t *ev) { calls.push_back("a"), seen = ev; }
void cb_b(event_data_t *ev) { calls.push_back("b"), seen = ev; }
void cb_c(event_data_t *ev) { calls.push_back("c"), seen = ev; }

class Events : public ::testing::Test {
protected:
    void SetUp() override {
        event_cleanup();
        calls.clear();
        seen = nullptr;
    }
    void TearDown() override { event_cleanup(); }
    meter::host::TempRoot root;
};

TEST_F(Events, RunNewestFirstAndOnlyTheirKind) {
    ASSERT_TRUE(event_register(cb_a, EVENT_ONE_SECOND));
    ASSERT_TRUE(event_register(cb_b, EVENT_ONE_SECOND));
    ASSERT_TRUE(event_register(cb_c, EVENT_FIVE_CYCLE));
    ASSERT_TRUE(event_register(cb_a, EVENT_FIVE_CYCLE));
    data_set_t result{};
    event_data_t ev{nullptr, &result};

    event_exec(&ev, EVENT_ONE_SECOND);
    EXPECT_EQ(calls, (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(seen, &ev) << "every callback gets the same argument";

    calls.clear();
    event_exec(&ev, EVENT_FIVE_CYCLE);
    EXPECT_EQ(calls, (std::vector<std::string>{"a", "c"}));

    calls.clear();
    event_exec(&ev, EVENT_MINUTE);
    event_exec(&ev, EVENT_FIVE_MINUTE);
    EXPECT_TRUE(calls.empty()) << "an empty list runs nothing";
}

TEST_F(Events, AnUnknownKindIsRefusedAtRegistration) {
    EXPECT_FALSE(event_register(cb_a, 4));
    EXPECT_FALSE(event_register(cb_a, 0xFFFFFFFFu));
    EXPECT_EQ(meter::host::log_count("Incorrect number given"), 2u);
    for (event_node_t *head : event_list) {
        EXPECT_EQ(head, nullptr);
    }
}

TEST_F(Events, RunningAnUnknownKindStopsTheProgram) {
    event_data_t ev{nullptr, nullptr};
    EXPECT_DEATH(event_exec(&ev, EVENTS_MAX), "event < EVENTS_MAX");
}

TEST_F(Events, CleanupEmptiesEveryList) {
    for (uint32_t kind = 0; kind < EVENTS_MAX; ++kind) {
        event_register(cb_a, kind);
        event_register(cb_b, kind);
    }
    event_cleanup();
    data_set_t result{};
    event_data_t ev{nullptr, &result};
    for (uint32_t kind = 0; kind < EVENTS_MAX; ++kind) {
        EXPECT_EQ(event_list[kind], nullptr);
        event_exec(&ev, kind);
    }
    EXPECT_TRUE(calls.empty());
}

}  // namespace

namespace {

// A set of two loads: load 0 with CTs on channels 6 and 7 (7 inactive),
// load 1 with a CT on channel 7.
struct PrintFixture {
    PrintFixture() {
        m.sets_u[0].active = true;
        for (uint32_t j = 0; j < 3; ++j) {
            m.sets_u[0].u[j] = {j, true, {}};
        }
        m.sets_i[0].active = true;
        m.sets_i[0].i[0].channel = 6;
        m.sets_i[0].i[0].active = true;
        m.sets_i[0].i[1].channel = 7;
        m.sets_i[0].i[1].active = false;
        m.sets_i[1].active = true;
        m.sets_i[1].i[0].channel = 7;
        m.sets_i[1].i[0].active = true;
        set.uset = &m.sets_u[0];
        set.isets[0] = &m.sets_i[0];
        set.isets[1] = &m.sets_i[1];
        r.ts_begin = 0x1234;
        r.ts_end = 0x5678;
        r.flags = 3;
        r.frequency.value = 50.0f;
        r.sets_i[0].i[0].rms.value = 1.5f;
        r.sets_i[1].i[0].channel = 7;
        r.sets_i[1].i[0].rms.value = 2.5f;
        r.sets_i[1].i[0].thd_f.value = 0.125f;
        r.sets_i[1].i[0].wh.value = 1e6;
        r.sets_i[1].rms.value = 2.5f;
    }
    mapping m{};
    processing_set_t set{};
    data_set_t r{};
};

TEST_F(Events, PrintDumpsTheLoadThatHoldsTheChannel) {
    PrintFixture f;
    event_data_t ev{&f.set, &f.r};

    event_set_print_ch(9);  // no load has it
    event_print_data(&ev);
    EXPECT_TRUE(meter::host::log_lines().empty());

    event_set_print_ch(7);  // inactive in load 0, active in load 1
    event_print_data(&ev);
    const auto lines = meter::host::log_lines();
    ASSERT_EQ(lines.size(), 42u);
    EXPECT_EQ(lines.front().text, std::string(80, '*'));
    EXPECT_EQ(lines.back().text, std::string(80, '*'));
    EXPECT_TRUE(meter::host::log_has("ts: begin: 0x1234"));
    EXPECT_TRUE(meter::host::log_has("      end: 0x5678"));
    EXPECT_TRUE(meter::host::log_has("    flags: 0x1"));
    EXPECT_TRUE(meter::host::log_has("curr channel:\t               7\t               0\t               0"));
    EXPECT_TRUE(meter::host::log_has("current (A):\t        2.500000\t        0.000000\t        0.000000"));
    EXPECT_TRUE(meter::host::log_has("thd_f (%):\t       12.500000\t        0.000000\t        0.000000"));
    EXPECT_TRUE(meter::host::log_has("Wh:\t\t  1000000.000000\t        0.000000\t        0.000000"));
    EXPECT_TRUE(meter::host::log_has("Current (A):\t        2.500000"));
}

}  // namespace
