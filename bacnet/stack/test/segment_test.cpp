// Segmented transfer in virtual time: windows, SegmentACKs, retries and
// aborts on the sending side, reassembly and duplicates on the receiving one.

#include <gtest/gtest.h>

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/segment.h"
#include "bacnet/stack/stack.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;

namespace {

constexpr uint8_t kSegmentedAccepted = 0x02;

// A ReadProperty of the root device's object-list (about 1 kB with 200
// objects), allowing segmented answers with the given max-segments and
// max-APDU octet.
Bytes longRead(uint8_t invokeId, uint8_t maxOctet) {
    Bytes apdu = rp(invokeId, deviceObjectId(1234), kPropObjectList, kNone, maxOctet);
    apdu[0] |= kSegmentedAccepted;
    return local(apdu);
}

testapp::Config manyObjects() {
    testapp::Config config;
    config.rootObjects = 200;
    return config;
}

Bytes segmentAck(uint8_t invokeId, uint8_t sequence, uint8_t window) {
    return local(Bytes{0x40, invokeId, sequence, window}, false);
}

// The service data of a (segmented) ComplexACK.
Bytes dataOf(const Bytes &apdu) {
    size_t header = (apdu[0] & kApduSegmentedMessage) ? 5 : 3;
    return Bytes(apdu.begin() + static_cast<long>(header), apdu.end());
}

class Sending : public ::testing::Test {
  protected:
    harness::Stack stack{manyObjects()};
    Bytes whole;  // the ACK's service data as sent unsegmented

    void SetUp() override {
        auto r = stack.request(local(rp(1, deviceObjectId(1234), kPropObjectList)));
        ASSERT_EQ(r.size(), 1u);
        whole = dataOf(apduOf(r[0]));
        ASSERT_GT(whole.size(), 950u);
        ASSERT_LT(whole.size(), 3 * 475u);
    }
};

TEST_F(Sending, FirstSegmentAloneThenTheWindowTheClientAsks) {
    auto r = stack.request(longRead(5, 0x33));
    ASSERT_EQ(r.size(), 1u);
    Bytes first = apduOf(r[0]);
    EXPECT_EQ(hex(Bytes(first.begin(), first.begin() + 5)), "3C 05 00 01 0C");
    EXPECT_EQ(first.size(), 480u);
    r = stack.request(segmentAck(5, 0, 4));
    ASSERT_EQ(r.size(), 2u);
    Bytes second = apduOf(r[0]);
    Bytes third = apduOf(r[1]);
    EXPECT_EQ(hex(Bytes(second.begin(), second.begin() + 5)), "3C 05 01 01 0C");
    EXPECT_EQ(hex(Bytes(third.begin(), third.begin() + 5)), "38 05 02 01 0C");
    Bytes joined = cat(cat(dataOf(first), dataOf(second)), dataOf(third));
    EXPECT_EQ(joined, whole);
    EXPECT_EQ(segSlotsInUse(), 1);
    EXPECT_TRUE(stack.request(segmentAck(5, 2, 4)).empty());
    EXPECT_EQ(segSlotsInUse(), 0);
}

TEST_F(Sending, PartialAcknowledgementResendsFromTheNextSegment) {
    stack.request(longRead(5, 0x33));
    stack.request(segmentAck(5, 0, 4));
    // Segment 1 arrived, segment 2 did not: the next window starts at 2.
    auto r = stack.request(segmentAck(5, 1, 4));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(apduOf(r[0])[0], 0x38);
    EXPECT_EQ(apduOf(r[0])[2], 2);
}

TEST_F(Sending, AcknowledgementsOutsideTheWindowAreIgnored) {
    stack.request(longRead(5, 0x33));
    // Sequence numbers never sent in this window would move the window past
    // the message.
    for (uint8_t sequence : {1, 5, 200}) {
        SCOPED_TRACE(static_cast<int>(sequence));
        EXPECT_TRUE(stack.request(segmentAck(5, sequence, 16)).empty());
    }
    EXPECT_EQ(segSlotsInUse(), 1);
    EXPECT_EQ(stack.request(segmentAck(5, 0, 1)).size(), 1u);
}

TEST_F(Sending, ThreeTimerExpiriesResendTheWindowTheFourthDropsTheTransfer) {
    stack.request(longRead(5, 0x33));
    stack.advance(30000, 100);
    auto r = harness::takeSent();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(apduOf(r[0])[2], 0);  // segment 0 alone again
    stack.request(segmentAck(5, 0, 1));
    // The count runs over the whole transfer: two more in a later window.
    stack.advance(30000, 100);
    stack.advance(30000, 100);
    EXPECT_EQ(harness::takeSent().size(), 2u);
    EXPECT_EQ(segSlotsInUse(), 1);
    stack.advance(30000, 100);
    EXPECT_TRUE(harness::takeSent().empty());
    EXPECT_EQ(segSlotsInUse(), 0);
}

TEST_F(Sending, AnAbortOfThePeerEndsTheTransferAnotherPeersDoesNot) {
    stack.request(longRead(7, 0x33));
    stack.datagram(harness::bvll(0x0A, local(Bytes{0x70, 0x07, 0x00}, false)), harness::ip(192, 0, 2, 21),
                   harness::port(47808));
    EXPECT_EQ(segSlotsInUse(), 1);
    stack.request(local(Bytes{0x70, 0x08, 0x00}, false));
    EXPECT_EQ(segSlotsInUse(), 1);
    stack.request(local(Bytes{0x70, 0x07, 0x00}, false));
    EXPECT_EQ(segSlotsInUse(), 0);
}

TEST_F(Sending, LimitsOfTheClientAndOfTheSlots) {
    // Two segments of 480 cannot carry it: Abort buffer-overflow.
    EXPECT_EQ(answer(stack, longRead(2, 0x13)), "71 02 01");
    // No segmented-response-accepted: Abort segmentation-not-supported.
    EXPECT_EQ(answer(stack, local(rp(3, deviceObjectId(1234), kPropObjectList, kNone, 0x33))), "71 03 04");
    for (uint8_t id = 10; id < 14; ++id)
        EXPECT_EQ(stack.request(longRead(id, 0x33)).size(), 1u);
    // A fifth transfer finds no slot; a retry of a running one is dropped.
    EXPECT_EQ(answer(stack, longRead(14, 0x33)), "71 0E 01");
    EXPECT_TRUE(stack.request(longRead(10, 0x33)).empty());
    EXPECT_EQ(segSlotsInUse(), 4);
}

// Receiving side: the device receives segmented requests.
testapp::Config receiving(uint32_t maxSegments, uint8_t window) {
    testapp::Config config;
    config.segmentationSupported = kSegmentedBoth;
    config.maxSegmentsAccepted = maxSegments;
    config.proposedWindowSize = window;
    return config;
}

// Segment sequence of a confirmed request carrying data.
Bytes requestSegment(uint8_t invokeId, uint8_t sequence, uint8_t window, bool more, const Bytes &data) {
    Bytes apdu{static_cast<uint8_t>(0x08 | (more ? 0x04 : 0)), 0x05, invokeId, sequence, window,
               kSvcReadProperty};
    return local(cat(apdu, data));
}

TEST(Receiving, TwoSegmentsAreReassembledAndServed) {
    harness::Stack stack(receiving(4, 1));
    Bytes rpData = cat(ctxObjectId(0, analogInput(1)), ctxUnsigned(1, kPropPresentValue));
    Bytes head(rpData.begin(), rpData.begin() + 3);
    Bytes tail(rpData.begin() + 3, rpData.end());
    EXPECT_EQ(answer(stack, requestSegment(9, 0, 1, true, head)), "41 09 00 01");
    auto r = stack.request(requestSegment(9, 1, 1, false, tail));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(hex(apduOf(r[0])), "41 09 01 01");
    EXPECT_EQ(hex(apduOf(r[1])).substr(0, 8), "30 09 0C");
    EXPECT_EQ(segSlotsInUse(), 0);
}

TEST(Receiving, MoreSegmentsThanAcceptedAreAborted) {
    harness::Stack stack(receiving(2, 1));
    stack.request(requestSegment(9, 0, 1, true, Bytes{0x0C}));
    stack.request(requestSegment(9, 1, 1, true, Bytes{0x00}));
    // The third segment is one more than the two accepted.
    EXPECT_EQ(answer(stack, requestSegment(9, 2, 1, true, Bytes{0x00})), "71 09 01");
    EXPECT_EQ(segSlotsInUse(), 0);
}

TEST(Receiving, FirstSegmentChecks) {
    harness::Stack stack(receiving(4, 1));
    EXPECT_EQ(answer(stack, requestSegment(9, 1, 1, true, Bytes{0x0C})), "71 09 02");
    EXPECT_EQ(answer(stack, requestSegment(9, 0, 0, true, Bytes{0x0C})), "60 09 06");
    EXPECT_EQ(answer(stack, requestSegment(9, 0, 128, true, Bytes{0x0C})), "60 09 06");
    EXPECT_EQ(segSlotsInUse(), 0);
}

TEST(Receiving, RepeatedSegmentsAreIgnoredUpToTheWindowThenNegativelyAcknowledged) {
    harness::Stack stack(receiving(16, 4));
    EXPECT_EQ(answer(stack, requestSegment(9, 0, 4, true, Bytes{0x0C})), "41 09 00 04");
    for (uint8_t s = 1; s <= 3; ++s)
        EXPECT_EQ(answer(stack, requestSegment(9, s, 4, true, Bytes{0x00})), "");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(answer(stack, requestSegment(9, 1, 4, true, Bytes{0x00})), "") << i;
    EXPECT_EQ(answer(stack, requestSegment(9, 1, 4, true, Bytes{0x00})), "43 09 03 04");
}

TEST(Receiving, AnIdleTransferIsDropped) {
    harness::Stack stack(receiving(4, 1));
    stack.request(requestSegment(9, 0, 1, true, Bytes{0x0C}));
    EXPECT_EQ(segSlotsInUse(), 1);
    stack.advance(4 * 30000, 500);
    EXPECT_EQ(segSlotsInUse(), 0);
}

}  // namespace
