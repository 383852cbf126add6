// COV subscriptions: request sequences and their results, list order and
// lifetimes, and the tick that sends and expires them.

#include "fake_stack.h"
#include "test_object.h"

#include <gtest/gtest.h>

namespace {

constexpr PackedError kNoSpace = 0x30013;
constexpr PackedError kRefused = 0x5002D;
constexpr uint32_t kMonitored = (46u << 22) + 7;

CovSubscriber request(uint32_t processId, uint32_t lifetime, uint8_t port = 1, bool cancel = false,
                      bool confirmed = false) {
    CovSubscriber r{};
    r.subscriber.port = port;
    r.subscriber.macLength = 6;
    const uint8_t mac[6] = {192, 168, 1, 20, 0xBA, 0xC0};
    std::copy(mac, mac + 6, r.subscriber.mac);
    r.subscriber.maxApdu = 1476;
    r.processId = processId;
    r.initiatingDevice = 0xFFFFFFFF;
    r.monitoredObject = kMonitored;
    r.lifetime = lifetime;
    r.cancel = cancel ? 1 : 0;
    r.issueConfirmed = confirmed ? 1 : 0;
    return r;
}

CovSubscriber cancel(uint32_t processId, uint8_t port = 1) {
    return request(processId, 0, port, true);
}

struct Held {
    uint32_t processId;
    uint8_t port;
    uint32_t remainingMs;
    bool confirmed;
    bool operator==(const Held &) const = default;
};

std::vector<Held> held(const BACnetObject &o) {
    std::vector<Held> out;
    for (const COVSubscription &s : o.copyCovSubscriptions()) {
        const CovSubscriber r = s.getSubscriber();
        out.push_back({r.processId, r.subscriber.port, s.getRemainingLifetime(), r.issueConfirmed != 0});
    }
    return out;
}

TEST(CovSubscribe, RequestSequences) {
    struct Step {
        CovSubscriber request;
        PackedError result;
    };
    struct Case {
        const char *what;
        std::vector<Step> steps;
        std::vector<Held> after;  // newest first
    } const cases[] = {
        {"two subscribers, a third refused",
         {{request(1, 60), 0}, {request(2, 60), 0}, {request(3, 60), kNoSpace}},
         {{2, 1, 60000, false}, {1, 1, 60000, false}}},
        {"renewal sets the new lifetime", {{request(1, 60), 0}, {request(1, 300), 0}}, {{1, 1, 300000, false}}},
        {"renewal takes the issue-confirmed flag",
         {{request(1, 60), 0}, {request(1, 60, 1, false, true), 0}},
         {{1, 1, 60000, true}}},
        {"renewal beyond the longest lifetime ends the subscription",
         {{request(1, 60), 0}, {request(1, 57600), kRefused}},
         {}},
        {"renewal with lifetime 0 ends the subscription", {{request(1, 60), 0}, {request(1, 0), kRefused}}, {}},
        {"new with lifetime 0 is refused", {{request(1, 0), kRefused}}, {}},
        {"new beyond the longest lifetime is refused", {{request(1, 57600), kRefused}}, {}},
        {"a lifetime that would wrap the milliseconds is refused", {{request(1, 4294968), kRefused}}, {}},
        {"the longest and the shortest lifetimes", {{request(1, 57599), 0}, {request(2, 1), 0}},
         {{2, 1, 1000, false}, {1, 1, 57599000, false}}},
        {"another port is another subscriber", {{request(1, 60, 1), 0}, {request(1, 60, 2), 0}},
         {{1, 2, 60000, false}, {1, 1, 60000, false}}},
        {"cancelling an unknown subscription", {{request(1, 60), 0}, {cancel(2), 0}}, {{1, 1, 60000, false}}},
        {"cancelling one of two", {{request(1, 60), 0}, {request(2, 90), 0}, {cancel(1), 0}},
         {{2, 1, 90000, false}}},
        {"a cancelled place is free again",
         {{request(1, 60), 0}, {request(2, 60), 0}, {cancel(2), 0}, {request(3, 30), 0}},
         {{3, 1, 30000, false}, {1, 1, 60000, false}}},
        {"a refused new request leaves a full list", {{request(1, 60), 0}, {request(2, 60), 0}, {request(3, 0), kRefused}},
         {{2, 1, 60000, false}, {1, 1, 60000, false}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fake_stack::reset();
        TestCovObject o(7);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            EXPECT_EQ(o.subscribeCov(c.steps[i].request), c.steps[i].result) << "step " << i;
        }
        EXPECT_EQ(held(o), c.after);
        EXPECT_EQ(o.getCovSubscriptionCount(), c.after.size());
    }
}

TEST(CovSubscribe, NewSubscriptionIsLogged) {
    fake_stack::reset();
    TestCovObject o(7);
    ASSERT_EQ(o.subscribeCov(request(1, 60)), 0u);
    ASSERT_EQ(o.subscribeCov(request(1, 120)), 0u);  // a renewal: no line
    EXPECT_EQ(fake_stack::logTexts(6),
              std::vector<std::string>{"Adding a new COV Subscription for objid " + std::to_string(kMonitored)});
}

TEST(CovTick, FirstNotificationAtTheNextTickRemovalWhenTheLifetimeEnds) {
    fake_stack::reset();
    fake_stack::programResults({-2, 17});
    TestCovObject o(7);
    o.setDeviceInstance(1003);
    o.setPresentValue(42.5);
    ASSERT_EQ(o.subscribeCov(request(9, 2, 1, false, true)), 0u);
    EXPECT_TRUE(fake_stack::covCalls().empty()) << "nothing is sent before the tick";

    o.tickCov(999);
    auto calls = fake_stack::covCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].device, 1003);
    EXPECT_EQ(calls[0].subscriber.processId, 9u);
    EXPECT_EQ(calls[0].subscriber.lifetime, 2u) << "time remaining before the tick counts down";
    EXPECT_EQ(calls[0].subscriber.issueConfirmed, 1);
    EXPECT_EQ(calls[0].subscriber.subscriber.port, 1);
    ASSERT_EQ(calls[0].values.size(), 2u);
    EXPECT_EQ(calls[0].values[0].propertyId, 85u);
    EXPECT_EQ(calls[0].values[0].value.value.d, 42.5);
    EXPECT_EQ(calls[0].values[1].propertyId, 111u);
    EXPECT_EQ(held(o), (std::vector<Held>{{9, 1, 1001, true}}));

    o.tickCov(999);
    EXPECT_EQ(fake_stack::covCalls().size(), 1u) << "no change, no notification";
    ASSERT_EQ(o.subscribeCov(request(9, 2, 1, false, true)), 0u);  // renewal: a notification again
    o.tickCov(999);
    calls = fake_stack::covCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].subscriber.lifetime, 2u);
    o.tickCov(999);
    EXPECT_EQ(held(o), (std::vector<Held>{{9, 1, 2, true}}));
    o.tickCov(999);
    EXPECT_TRUE(held(o).empty()) << "removed in the tick that reaches 0";
    EXPECT_EQ(o.getCovSubscriptionCount(), 0u);
    EXPECT_EQ(o.sendResults(), (std::vector<int>{-2, 17}));
}

TEST(CovTick, ExpiryEndsTheWalkForThatTick) {
    fake_stack::reset();
    TestCovObject o(7);
    ASSERT_EQ(o.subscribeCov(request(1, 60)), 0u);
    ASSERT_EQ(o.subscribeCov(request(2, 1)), 0u);  // newest: first in the walk
    o.tickCov(1000);
    const auto calls = fake_stack::covCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].subscriber.processId, 2u);
    EXPECT_EQ(held(o), (std::vector<Held>{{1, 1, 60000, false}}));
    o.tickCov(1000);
    EXPECT_EQ(fake_stack::covCalls().size(), 2u);
    EXPECT_EQ(held(o), (std::vector<Held>{{1, 1, 59000, false}}));
}

TEST(CovChange, AChangeNotifiesEverySubscriberAtOnce) {
    fake_stack::reset();
    TestCovObject o(7);
    o.setCovIncrement(1.0);
    ASSERT_EQ(o.subscribeCov(request(1, 60)), 0u);
    ASSERT_EQ(o.subscribeCov(request(2, 60)), 0u);
    o.setPresentValue(0.5);
    EXPECT_TRUE(fake_stack::covCalls().empty()) << "below the increment";
    o.setPresentValue(1.5);
    auto calls = fake_stack::covCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].subscriber.processId, 2u);
    EXPECT_EQ(calls[1].subscriber.processId, 1u);
    EXPECT_EQ(calls[0].values[0].value.value.d, 1.5);
    o.tickCov(1000);
    EXPECT_EQ(fake_stack::covCalls().size(), 2u) << "the change took the pending notifications";
}

TEST(CovSubscribe, ClearEmptiesTheList) {
    fake_stack::reset();
    TestCovObject o(7);
    ASSERT_EQ(o.subscribeCov(request(1, 60)), 0u);
    ASSERT_EQ(o.subscribeCov(request(2, 60)), 0u);
    o.clearCovSubscriptions();
    EXPECT_EQ(o.getCovSubscriptionCount(), 0u);
    EXPECT_TRUE(held(o).empty());
    o.tickCov(1000);
    EXPECT_TRUE(fake_stack::covCalls().empty());
}

}  // namespace
