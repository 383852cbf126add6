// The stack as a client: invoke ids, retries and completion of its confirmed
// requests, and the device address bindings found with Who-Is.

#include <gtest/gtest.h>

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/stack.h"
#include "bacnet/stack/tsm.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;

namespace {

// The Who-Is limits of every Who-Is among datagrams, as "low..high".
std::vector<std::string> whoIsRanges(const std::vector<harness::Datagram> &sent) {
    std::vector<std::string> out;
    for (const auto &d : sent) {
        Bytes apdu = apduOf(d);
        if (apdu.size() < 2 || apdu[0] != 0x10 || apdu[1] != kSvcWhoIs)
            continue;
        const uint8_t *p = apdu.data() + 2;
        const uint8_t *end = apdu.data() + apdu.size();
        uint32_t low = 0, high = 0;
        TagHeader h;
        if (p == end) {
            out.push_back("all");
            continue;
        }
        tagDecodeHeader(p, end, &h);
        low = tagUnsigned(p, h);
        p += h.headerSize + h.length;
        tagDecodeHeader(p, end, &h);
        high = tagUnsigned(p, h);
        out.push_back(std::to_string(low) + ".." + std::to_string(high));
    }
    return out;
}

Bytes iAm(uint32_t instance, uint16_t maxApdu = 1476, uint8_t segmentation = 3) {
    Bytes apdu{0x10, 0x00, 0xC4, static_cast<uint8_t>(0x02 | (instance >> 24 & 0x03)),
               static_cast<uint8_t>(instance >> 16), static_cast<uint8_t>(instance >> 8),
               static_cast<uint8_t>(instance)};
    apdu = cat(apdu, Bytes{0x22, static_cast<uint8_t>(maxApdu >> 8), static_cast<uint8_t>(maxApdu)});
    apdu = cat(apdu, Bytes{0x91, segmentation, 0x21, 0x07});
    return local(apdu, false);
}

TEST(InvokeIds, RoundRobinAndExhaustion) {
    harness::Stack stack;
    EXPECT_EQ(tsmAllocInvokeId(kSvcConfirmedCovNotification, nullptr), 0);
    EXPECT_EQ(tsmAllocInvokeId(kSvcConfirmedCovNotification, nullptr), 1);
    for (int i = 2; i < 256; ++i)
        ASSERT_EQ(tsmAllocInvokeId(kSvcConfirmedCovNotification, nullptr), i);
    EXPECT_EQ(tsmAllocInvokeId(kSvcConfirmedCovNotification, nullptr), -1);
    tsmFree(255);
    tsmFree(10);
    // Round robin: the search starts after the last id handed out.
    EXPECT_EQ(tsmAllocInvokeId(kSvcConfirmedCovNotification, nullptr), 10);
    EXPECT_EQ(tsmAllocInvokeId(kSvcConfirmedCovNotification, nullptr), 255);
}

TEST(Bindings, UnknownDeviceIsAskedForAndBoundByItsIAm) {
    harness::Stack stack;
    harness::takeSent();
    EXPECT_EQ(bindingFind(5), kBindingNotBound);
    stack.advance(5);
    EXPECT_EQ(whoIsRanges(harness::takeSent()), std::vector<std::string>{"5..5"});
    stack.request(iAm(5), true);
    EXPECT_EQ(bindingFind(5), 0);
    BACnetAddress a{};
    ASSERT_TRUE(bindingAddress(0, &a));
    EXPECT_EQ(a.maxApdu, 1476);
    EXPECT_EQ(a.macLength, 6);
    // A device nobody looked up is not entered.
    stack.request(iAm(77), true);
    EXPECT_EQ(bindingCountBound(), 1);
}

TEST(Bindings, WhoIsGroupsAdjacentPendingInstances) {
    struct Case {
        const char *name;
        std::vector<uint32_t> instances;
        std::vector<std::string> whoIs;
    };
    const Case cases[] = {
        {"three in a row", {10, 11, 12}, {"10..12"}},
        {"two pairs", {10, 11, 20, 21}, {"20..20", "21..21", "10..11"}},
        {"extended below", {11, 12, 10}, {"10..12"}},
        {"apart", {3, 30}, {"3..3", "30..30"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        harness::Stack stack;
        harness::takeSent();
        for (uint32_t i : c.instances)
            bindingFind(i);
        stack.advance(5);
        EXPECT_EQ(whoIsRanges(harness::takeSent()), c.whoIs);
    }
}

TEST(Bindings, HoldOffDefersTheNextWhoIsAndAPendingDeviceIsAskedAgain) {
    harness::Stack stack;
    harness::takeSent();
    bindingFind(5);
    stack.advance(5);
    EXPECT_EQ(whoIsRanges(harness::takeSent()).size(), 1u);
    // A new instance within the hold-off waits for its end.
    stack.advance(5000, 100);
    bindingFind(6);
    stack.advance(9000, 100);
    EXPECT_TRUE(whoIsRanges(harness::takeSent()).empty());
    stack.advance(1100, 100);
    EXPECT_EQ(whoIsRanges(harness::takeSent()), std::vector<std::string>{"5..6"});
    // Device 5 never answers: looking it up again after the hold-off asks again.
    stack.advance(16000, 100);
    EXPECT_TRUE(whoIsRanges(harness::takeSent()).empty());
    EXPECT_EQ(bindingFind(5), kBindingNotBound);
    stack.advance(5);
    EXPECT_EQ(whoIsRanges(harness::takeSent()).size(), 1u);
}

TEST(Bindings, NoWhoIsWhileInitiationIsDisabled) {
    harness::Stack stack;
    harness::takeSent();
    stackInitiationDisabled = 1;
    bindingFind(5);
    stack.advance(5);
    EXPECT_TRUE(whoIsRanges(harness::takeSent()).empty());
    stackInitiationDisabled = 0;
}

class Requests : public ::testing::Test {
  protected:
    harness::Stack stack;
    RequestCompletion done{1, 0, 0};
    int id = -1;

    void SetUp() override {
        testapp::resetCounters();
        harness::takeSent();
        id = sendStoredRequest(kSvcConfirmedEventNotification, &done);
        ASSERT_GE(id, 0);
    }
    Bytes answer(Bytes apdu) const {
        apdu[1] = static_cast<uint8_t>(id);
        return local(apdu, false);
    }
};

TEST_F(Requests, FourSendsThenTheTimeoutHook) {
    EXPECT_EQ(harness::takeSent().size(), 1u);
    for (int retry = 1; retry <= 3; ++retry) {
        stack.advance(10000, 100);
        EXPECT_EQ(harness::takeSent().size(), 1u) << "retry " << retry;
        EXPECT_EQ(testapp::counters().requestTimeouts, 0u);
    }
    stack.advance(10000, 100);
    EXPECT_TRUE(harness::takeSent().empty());
    EXPECT_EQ(testapp::counters().requestTimeouts, 1u);
    EXPECT_EQ(done.state, 2);
    EXPECT_EQ(done.result, kErrCommunicationTimeout);
    EXPECT_FALSE(tsmIsActive(id));
}

TEST_F(Requests, CompletionByEachKindOfAnswer) {
    struct Case {
        const char *name;
        Bytes apdu;
        uint32_t result;
    };
    const Case cases[] = {
        {"SimpleACK", {0x20, 0, kSvcConfirmedEventNotification}, 0},
        {"Error", {0x50, 0, kSvcConfirmedEventNotification, 0x91, 0x07, 0x91, 0x1E}, kErrCommunicationTimeout},
        {"Reject", {0x60, 0, 0x04}, errMake(kClassReject, 4)},
        {"Abort", {0x71, 0, 0x04}, errMake(kClassAbort, 4)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!tsmIsActive(id)) {
            SetUp();
        }
        done = {1, 0, 0};
        stack.request(answer(c.apdu));
        EXPECT_EQ(done.state, 2);
        EXPECT_EQ(done.status, 255);
        EXPECT_EQ(done.result, c.result);
        EXPECT_FALSE(tsmIsActive(id));
    }
}

TEST_F(Requests, AnAnswerFromAnotherPeerDoesNotCompleteTheRequest) {
    harness::Bytes ack = harness::bvll(0x0A, answer(Bytes{0x20, 0, kSvcConfirmedEventNotification}));
    stack.datagram(ack, harness::ip(192, 0, 2, 21), harness::port(47808));
    EXPECT_TRUE(tsmIsActive(id));
    stack.datagram(harness::bvll(0x0A, answer(Bytes{0x71, 0, 0x04})), harness::ip(192, 0, 2, 21),
                   harness::port(47808));
    EXPECT_TRUE(tsmIsActive(id));
    stack.request(answer(Bytes{0x20, 0, kSvcConfirmedEventNotification}));
    EXPECT_FALSE(tsmIsActive(id));
}

}  // namespace
