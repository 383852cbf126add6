// Several threads on one object at once: run under ThreadSanitizer (tsan
// build) and AddressSanitizer (asan build). The checks after each run catch
// a lost update in any build.

#include "fake_stack.h"
#include "objects/notification_class.h"
#include "test_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

CovSubscriber request(uint32_t processId, uint32_t lifetime, bool cancel = false) {
    CovSubscriber r{};
    r.subscriber.macLength = 1;
    r.subscriber.mac[0] = 7;
    r.processId = processId;
    r.monitoredObject = (46u << 22) + 7;
    r.lifetime = lifetime;
    r.cancel = cancel ? 1 : 0;
    return r;
}

TEST(ObjectConcurrency, SubscribeTickAndReadAtOnce) {
    fake_stack::reset();
    TestCovObject o(7);
    std::atomic<bool> done{false};
    std::thread ticker([&] {
        while (!done.load()) {
            o.tickCov(1);
        }
    });
    // Change-driven sends and readers of the list on a third thread.
    std::thread changer([&] {
        while (!done.load()) {
            for (const COVSubscription &s : o.copyCovSubscriptions()) {
                EXPECT_LE(s.getRemainingLifetime(), 60000u);
            }
            o.setPresentValue(o.getPresentValue() + 1);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        const uint32_t pid = static_cast<uint32_t>(i % 3);
        o.subscribeCov(request(pid, 60));
        o.subscribeCov(request(pid, 30));  // renewal: notified again at the next tick
        o.subscribeCov(request(pid, 0, true));  // cancelled while the ticker may be notifying it
    }
    done.store(true);
    ticker.join();
    changer.join();
    EXPECT_EQ(o.getCovSubscriptionCount(), o.copyCovSubscriptions().size());
    EXPECT_LE(o.getCovSubscriptionCount(), 2u);
}

TEST(ObjectConcurrency, FlagsFromTwoThreadsLoseNoBit) {
    TestCovObject o(7);
    for (int round = 0; round < 200; ++round) {
        o.setOutOfService(false);
        o.setEventStateNormal();
        std::thread service([&] { o.setOutOfService(true); });
        std::thread alarm([&] { o.setHighLimitState(true); });
        service.join();
        alarm.join();
        ASSERT_EQ(o.getStatusFlags(), kStatusOutOfService | kStatusInAlarm) << "round " << round;
    }
}

TEST(ObjectConcurrency, TextsStampsAndLimitsWrittenAndReadAtOnce) {
    fake_stack::reset();
    TestCovObject o(7, "Load");
    o.setHighLimit(100);
    o.enableHighLimit();
    o.enableLowLimit();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            o.setEventMessageText(std::string(static_cast<size_t>(i % 200), 'a' + i % 26), 1);
            o.stampEventTime(static_cast<uint8_t>(i % 3));
            o.setHighLimit(100 + i % 7);
            o.setLowLimit(i % 5);
        }
        done.store(true);
    });
    while (!done.load()) {
        const std::string text = o.getEventMessageText(1);
        if (!text.empty()) {
            EXPECT_EQ(text, std::string(text.size(), text[0])) << "a text read half-written";
        }
        const ReportingSnapshot s = o.getReportingSnapshot();
        EXPECT_LT(s.lowLimit, s.highLimit);
        (void)o.getEventTimeStamp(0);
    }
    writer.join();
}

TEST(ObjectConcurrency, RecipientListReplacedWhileCopied) {
    NotificationClass nc(1, "N", 1);
    std::vector<BACnetDestination> lists[2];
    for (uint32_t i = 0; i < 5; ++i) {
        BACnetDestination d = NotificationClass::broadcastRecipient();
        d.recipient.network = static_cast<uint16_t>(i);
        lists[0].push_back(d);
        if (i < 2) {
            lists[1].push_back(d);
        }
    }
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 5000; ++i) {
            nc.replaceRecipients(lists[i % 2]);
            nc.setPriority(static_cast<uint32_t>(i % 256), 1);
        }
        done.store(true);
    });
    while (!done.load()) {
        const size_t n = nc.getRecipients().size();
        EXPECT_TRUE(n == 0 || n == 2 || n == 5) << "a list seen half-replaced: " << n;
        EXPECT_LT(nc.getPriority(1), 256u);
    }
    writer.join();
}

}  // namespace
