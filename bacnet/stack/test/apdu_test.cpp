#include <gtest/gtest.h>

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/stack.h"
#include "bacnet/stack/tsm.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;

namespace {

TEST(Apdu, MaxApduAndSegmentFields) {
    EXPECT_EQ(apduMaxSegmentsByCode(0x75 >> 4), 0xFFFF);
    EXPECT_EQ(apduMaxApduByCode(0x75 & 0x0F), 1476);
    EXPECT_EQ(apduMaxSegmentsByCode(0x1F >> 4), 2);
    EXPECT_EQ(apduMaxApduByCode(0x1F & 0x0F), 50);
    const uint16_t apdu[16] = {50, 128, 206, 480, 1024, 1476, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50};
    for (uint8_t c = 0; c < 16; ++c)
        EXPECT_EQ(apduMaxApduByCode(c), apdu[c]);
    const uint16_t segments[8] = {0xFFFF, 2, 4, 8, 16, 32, 64, 0xFFFF};
    for (uint8_t c = 0; c < 8; ++c)
        EXPECT_EQ(apduMaxSegmentsByCode(c), segments[c]);
}

TEST(Apdu, ServicesOutsideThisBuildAreRejectedAsUnrecognized) {
    harness::Stack stack;
    const std::initializer_list<uint8_t> services = {kSvcReadRange, kSvcAtomicReadFile, kSvcAcknowledgeAlarm, 99};
    for (uint8_t service : services) {
        SCOPED_TRACE(static_cast<int>(service));
        EXPECT_EQ(answer(stack, local(Bytes{0x00, 0x05, 0x09, service, 0x09, 0x01})), "60 09 09");
    }
}

TEST(Apdu, ShortPdusAreDroppedBeforeTheirFieldsAreRead) {
    const std::pair<const char *, Bytes> cases[] = {
        {"confirmed, 3 octets", {0x00, 0x05, 0x01}},
        {"segmented confirmed, 5 octets", {0x0C, 0x05, 0x01, 0x00, 0x01}},
        {"unconfirmed, 1 octet", {0x10}},
        {"simple ack, 2 octets", {0x20, 0x01}},
        {"complex ack, 2 octets", {0x30, 0x01}},
        {"segmented complex ack, 4 octets", {0x38, 0x01, 0x00, 0x01}},
        {"segment ack, 3 octets", {0x40, 0x01, 0x00}},
        {"error, 2 octets", {0x50, 0x01}},
        {"reject, 2 octets", {0x60, 0x01}},
        {"abort, 2 octets", {0x71, 0x01}},
        {"type 8", {0x80, 0x01, 0x02, 0x03}},
    };
    harness::Stack stack;
    for (const auto &[name, apdu] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(answer(stack, local(apdu)), "");
        EXPECT_EQ(freePackets(), static_cast<uint32_t>(kPoolPackets));
    }
}

TEST(Apdu, SegmentedRequestsAreAbortedAsNotSupported) {
    harness::Stack stack;
    EXPECT_EQ(answer(stack, local(Bytes{0x0C, 0x05, 0x21, 0x00, 0x04, 0x0C, 0x0C, 0, 0, 0, 1})), "71 21 04");
    // A segmented ComplexACK is aborted as the client of that transaction:
    // the server bit is clear.
    EXPECT_EQ(answer(stack, local(Bytes{0x3C, 0x22, 0x00, 0x04, 0x0E})), "70 22 04");
}

TEST(Apdu, NothingIsAnsweredWhileCommunicationIsDisabled) {
    harness::Stack stack;
    communicationEnabled = 0;
    EXPECT_EQ(answer(stack, local(rp(1, analogInput(1), kPropPresentValue))), "");
    EXPECT_EQ(answer(stack, local(Bytes{0x10, 0x08}, false)), "");
    // DeviceCommunicationControl is still served (here refused: no password).
    EXPECT_EQ(answer(stack, local(Bytes{0x00, 0x05, 0x03, 17, 0x19, 0x00})), "50 03 11 91 04 91 1A");
    communicationEnabled = 1;
    EXPECT_NE(answer(stack, local(rp(1, analogInput(1), kPropPresentValue))), "");
}

class Answers : public ::testing::Test {
  protected:
    harness::Stack stack;
    RequestCompletion done{1, 0, 0};
    int id = -1;

    uint8_t invoke() const { return static_cast<uint8_t>(id); }
    Bytes answerPdu(Bytes apdu) const {
        apdu[1] = static_cast<uint8_t>(apdu[1] + id);
        return local(apdu, false);
    }

    void SetUp() override {
        testapp::resetCounters();
        id = sendStoredRequest(kSvcConfirmedEventNotification, &done);
        ASSERT_GE(id, 0);
        harness::takeSent();
    }
};

TEST_F(Answers, ErrorCompletesWithItsClassAndCode) {
    stack.request(answerPdu(Bytes{0x50, 0x00, 0x02, 0x91, 0x07, 0x91, 0x1E}));
    EXPECT_EQ(done.state, 2);
    EXPECT_EQ(done.result, kErrCommunicationTimeout);
    EXPECT_EQ(testapp::counters().repliesReceived, 1u);
    EXPECT_FALSE(tsmIsActive(id));
}

TEST_F(Answers, MalformedOrMismatchedAnswersLeaveTheRequestWaiting) {
    const Bytes cases[] = {
        {0x50, 0x00, 0x02, 0x91},                    // error code missing
        {0x50, 0x00, 0x02, 0x91, 0x07, 0x19, 0x1E},  // code not enumerated
        {0x20, 0x00, 0x03},                          // SimpleACK of another service
        {0x20, 0x01, 0x02},                          // another invoke id
        {0x50, 0x00, 0x02, 0x95, 0x07},              // length beyond the end
    };
    for (const Bytes &apdu : cases) {
        SCOPED_TRACE(hex(apdu));
        stack.request(answerPdu(apdu));
        EXPECT_TRUE(tsmIsActive(id));
        EXPECT_EQ(done.state, 1);
    }
}

TEST_F(Answers, AbortAndRejectMatchByInvokeIdAlone) {
    stack.request(answerPdu(Bytes{0x71, 0x00, 0x04}));
    EXPECT_EQ(done.state, 2);
    EXPECT_EQ(done.result, errMake(kClassAbort, kAbortReasonSegmentationNotSupported));
}

TEST_F(Answers, SimpleAckCompletesWithSuccess) {
    stack.request(answerPdu(Bytes{0x20, 0x00, 0x02}));
    EXPECT_EQ(done.state, 2);
    EXPECT_EQ(done.result, 0u);
}

TEST(ApduResponse, RepliesLongerThanThePeerTakesBecomeAnAbort) {
    testapp::Config config;
    config.rootObjects = 200;
    harness::Stack stack(config);
    // Object-list of 201 identifiers (about 1 kB): too long for max APDU 480
    // without segmentation, and this build sends no segmented replies.
    EXPECT_EQ(answer(stack, local(rp(5, deviceObjectId(1234), kPropObjectList, kNone, 0x03))), "71 05 04");
    EXPECT_EQ(answer(stack, local(rp(6, deviceObjectId(1234), kPropObjectList, kNone, 0x43))), "71 06 04");
    std::string whole = answer(stack, local(rp(7, deviceObjectId(1234), kPropObjectList, kNone, 0x05)));
    EXPECT_EQ(whole.substr(0, 8), "30 07 0C");
}

}  // namespace
