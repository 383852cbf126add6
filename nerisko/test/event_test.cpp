#include "nerisko/event.h"
#include "pru/temp_root.h"

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
    pru_host::TempRoot root;
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
    EXPECT_EQ(pru_host::log_count("Incorrect number given"), 2u);
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
