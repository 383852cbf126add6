// COV and event notifications, SubscribeCOV and GetEventInformation.

#include <gtest/gtest.h>

#include <cstring>

#include "app_memory_counting.h"
#include "bacnet/property_encoder.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/notify.h"
#include "bacnet/stack/stack.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;

namespace {

testapp::Config device100() {
    testapp::Config config;
    config.rootInstance = 100;
    return config;
}

// A subscriber record as SubscribeCOV from the tests' client builds it.
CovSubscriber subscriber(bool confirmed) {
    CovSubscriber s{};
    s.subscriber = clientPeer();
    s.subscriber.maxApdu = 1476;
    s.processId = 18;
    s.monitoredObject = analogInput(1);
    s.lifetime = 60;
    s.issueConfirmed = confirmed ? 1 : 0;
    return s;
}

struct PresentValueAndFlags {
    CovPropertyValue values[2]{};
    PresentValueAndFlags(float pv, uint8_t flags) {
        values[0].objectId = analogInput(1);
        values[0].propertyId = kPropPresentValue;
        values[0].arrayIndex = kNone;
        values[0].value.datatype = kDtReal;
        values[0].value.value.f = pv;
        values[1].objectId = analogInput(1);
        values[1].propertyId = kPropStatusFlags;
        values[1].arrayIndex = kNone;
        values[1].value.datatype = kDtBitString;
        values[1].value.length = 4;
        values[1].value.value.octets[0] = flags;
    }
};

TEST(CovNotification, UnconfirmedBytesAndResult) {
    harness::Stack stack(device100());
    harness::takeSent();
    PresentValueAndFlags v(12.5f, 0);
    CovSubscriber s = subscriber(false);
    s.values = v.values;
    s.valueCount = 2;
    EXPECT_EQ(svcSendCovNotification(-1, &s), 256);
    EXPECT_EQ(s.initiatingDevice, deviceObjectId(100));
    auto sent = harness::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex(apduOf(sent[0])),
              "10 02 09 12 1C 02 00 00 64 2C 00 00 00 01 39 3C 4E 09 55 2E 44 41 48 00 00 2F 09 6F 2E 82 04 00 2F 4F");
}

TEST(CovNotification, ConfirmedWaitsForTheSubscribersAck) {
    harness::Stack stack(device100());
    harness::takeSent();
    PresentValueAndFlags v(1.0f, 0x80);
    CovSubscriber s = subscriber(true);
    s.values = v.values;
    s.valueCount = 2;
    int id = svcSendCovNotification(-1, &s);
    ASSERT_GE(id, 0);
    auto sent = harness::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    Bytes apdu = apduOf(sent[0]);
    EXPECT_EQ(hex(Bytes(apdu.begin(), apdu.begin() + 4)).substr(0, 5), "00 05");
    EXPECT_EQ(apdu[2], id);
    EXPECT_EQ(apdu[3], kSvcConfirmedCovNotification);
    EXPECT_TRUE(tsmIsActive(id));
    stack.request(local(Bytes{0x20, static_cast<uint8_t>(id), kSvcConfirmedCovNotification}, false));
    EXPECT_FALSE(tsmIsActive(id));
}

TEST(CovNotification, Failures) {
    harness::Stack stack(device100());
    PresentValueAndFlags v(1.0f, 0);
    CovSubscriber s = subscriber(true);
    s.values = v.values;
    s.valueCount = 2;
    stackInitiationDisabled = 1;
    EXPECT_EQ(svcSendCovNotification(-1, &s), -19);
    stackInitiationDisabled = 0;
    EXPECT_EQ(svcSendCovNotification(77, &s), -999);
    // The root device by its instance is the root device.
    s.issueConfirmed = 0;
    EXPECT_EQ(svcSendCovNotification(100, &s), 256);
    s.issueConfirmed = 1;
    for (int i = 0; i < 256; ++i)
        ASSERT_GE(tsmAllocInvokeId(kSvcConfirmedCovNotification, nullptr), 0);
    EXPECT_EQ(svcSendCovNotification(-1, &s), -11);
    // A value without an encoding.
    s.issueConfirmed = 0;
    v.values[0].value.datatype = kDtActionList;
    EXPECT_EQ(svcSendCovNotification(-1, &s), -2);
    harness::takeSent();
    // An unconfirmed notification longer than the subscriber takes is not
    // sent (and never turned into a segmented message or an Abort).
    CharStringStore<600> text;
    text.str.length = 600;
    std::memset(text.room, 'x', 600);
    v.values[0].value.datatype = kDtCharString;
    v.values[0].value.value.block = &text.str;
    s.subscriber.maxApdu = 480;
    EXPECT_EQ(svcSendCovNotification(-1, &s), -21);
    EXPECT_TRUE(harness::takeSent().empty());
}

Bytes subscribe(uint8_t invokeId, const Bytes &body) {
    return local(cat(Bytes{0x00, 0x05, invokeId, kSvcSubscribeCov}, body));
}

TEST(SubscribeCov, RequestsAndAnswers) {
    harness::Stack stack;
    testapp::clearSubscriptions();
    const Bytes ai1{0x09, 0x12, 0x1C, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(answer(stack, subscribe(1, cat(ai1, Bytes{0x29, 0x01, 0x39, 0x3C}))), "20 01 05");
    auto subs = testapp::subscriptions(-1, analogInput(1));
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(subs[0].lifetime, 60u);
    EXPECT_EQ(subs[0].issueConfirmed, 1);
    EXPECT_EQ(subs[0].cancel, 0);
    EXPECT_EQ(subs[0].processId, 18u);
    EXPECT_EQ(subs[0].initiatingDevice, 0xFFFFFFFFu);
    struct Case {
        const char *name;
        Bytes body;
        std::string reply;
    };
    const Case cases[] = {
        {"lifetime in 5 octets", cat(ai1, Bytes{0x29, 0x00, 0x3D, 0x05, 0, 0, 0, 0, 60}), "50 02 05 91 05 91 25"},
        {"object as application tag", Bytes{0x09, 0x12, 0xC4, 0, 0, 0, 1}, "60 02 04"},
        {"process as opening tag", Bytes{0x0E, 0x1C, 0, 0, 0, 1}, "60 02 04"},
        {"lifetime with another tag", cat(ai1, Bytes{0x29, 0x00, 0x49, 0x3C}), "60 02 04"},
        {"unknown object", Bytes{0x09, 0x12, 0x1C, 0x00, 0x00, 0x00, 0x63}, "50 02 05 91 01 91 1F"},
        {"second subscriber", cat(cat(Bytes{0x09, 0x13}, Bytes(ai1.begin() + 2, ai1.end())), Bytes{0x29, 0x00}),
         "20 02 05"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(answer(stack, subscribe(2, c.body)), c.reply);
    }
    EXPECT_EQ(answer(stack, subscribe(3, cat(cat(Bytes{0x09, 0x14}, Bytes(ai1.begin() + 2, ai1.end())),
                                             Bytes{0x29, 0x00}))),
              "50 03 05 91 03 91 13");
    // The subscriber record alone is a cancellation.
    EXPECT_EQ(answer(stack, subscribe(4, ai1)), "20 04 05");
    EXPECT_EQ(testapp::subscriptions(-1, analogInput(1)).size(), 1u);
}

EventNotificationData outOfRange(uint8_t notifyType, uint8_t priority) {
    EventNotificationData d = sampleEvent(kEventOutOfRange, notifyType, priority);
    d.toState = 3;
    return d;
}

Bytes encodeEvent(const EventNotificationData &d, const EventValues &v, const CharString *text, int *result) {
    PduBuffer b;
    EXPECT_EQ(pduInit(&b), 0);
    *result = svcEncodeEventNotification(&b, 0, &d, &v, text);
    Bytes out = b.writeBase == nullptr ? Bytes{} : Bytes(b.writeBase, b.writeBase + b.length);
    pduFree(&b);
    return out;
}

std::string tail(const Bytes &b, size_t n) {
    return hex(Bytes(b.end() - static_cast<long>(n), b.end()));
}

TEST(EventNotification, EncodingsOfTheNotifyTypesAndText) {
    EventValues v{};
    v.outOfRange = {80.0f, 1.0f, 75.0f, 0x80};
    int r = 0;
    Bytes alarm = encodeEvent(outOfRange(0, 100), v, nullptr, &r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(tail(alarm, 24), "B9 03 CE 5E 0C 42 A0 00 00 1A 04 80 2C 3F 80 00 00 3C 42 96 00 00 5F CF");
    EXPECT_EQ(hex(Bytes(alarm.begin(), alarm.begin() + 12)), "09 01 1C 02 00 00 64 2C 00 00 00 01");
    Bytes ack = encodeEvent(outOfRange(2, 100), v, nullptr, &r);
    EXPECT_EQ(tail(ack, 4), "89 02 B9 03");
    CharStringStore<249> text;
    std::memset(text.room, 'm', 249);
    text.str.length = 249;
    EXPECT_EQ(encodeEvent(outOfRange(0, 100), v, &text.str, &r).size(), alarm.size());
    text.str.length = 248;
    EXPECT_GT(encodeEvent(outOfRange(0, 100), v, &text.str, &r).size(), alarm.size() + 248);
}

TEST(EventNotification, EveryEncodableTypeAndTheOthers) {
    CharStringStore<8> changed;
    changed.str.length = 2;
    std::memcpy(changed.room, "on", 2);
    const uint16_t encodable[] = {0, 1, 2, 3, 4, 5, 6, 8, 10, 11, 14, 15, 16, 17, 19};
    for (uint16_t type : encodable) {
        SCOPED_TRACE(type);
        EventValues v{};
        std::memset(&v, 0, sizeof v);
        if (type == kEventChangeOfCharacterstring) {
            // Owned strings that do not come from the heap: releasing them
            // would fail, and the encoder must not.
            v.changeOfCharacterstring.ownsStrings = 1;
            v.changeOfCharacterstring.changedValue = &changed.str;
            v.changeOfCharacterstring.alarmValue = &changed.str;
        }
        if (type == kEventBufferReady) {
            v.bufferReady.arrayIndex = -1;
            v.bufferReady.deviceId = 0xFFFFFFFFu;
        }
        EventNotificationData d = outOfRange(0, 100);
        d.eventType = type;
        int r = -99;
        Bytes b = encodeEvent(d, v, nullptr, &r);
        EXPECT_EQ(r, 0);
        uint8_t open = type <= 14 ? static_cast<uint8_t>(type * 16 + 0x0E) : 0xFE;
        size_t at = b.size() - (type <= 14 ? 2 : 3);
        EXPECT_EQ(b.back(), 0xCF);
        EXPECT_EQ(b[at] & 0xF0, open & 0xF0);
    }
    for (uint16_t type : {7, 9, 12, 13, 18, 20, 22}) {
        SCOPED_TRACE(type);
        EventValues v{};
        EventNotificationData d = outOfRange(0, 100);
        d.eventType = type;
        int r = 0;
        encodeEvent(d, v, nullptr, &r);
        EXPECT_EQ(r, -6);
    }
}

TEST(EventNotification, NetworkPriorityOfTheEventPriority) {
    const std::pair<uint8_t, uint8_t> cases[] = {{10, 3}, {63, 3}, {64, 2}, {100, 2}, {127, 2},
                                                 {128, 1}, {191, 1}, {192, 0}, {200, 0}};
    for (auto [priority, network] : cases) {
        uint8_t control = 0x04;
        svcNetworkPriority(&control, priority);
        EXPECT_EQ(control, 0x04 | network) << static_cast<int>(priority);
    }
}

TEST(EventNotification, SendersToRecipientsBroadcastAndAddress) {
    harness::Stack stack(device100());
    harness::takeSent();
    EventValues v{};
    v.outOfRange = {80.0f, 1.0f, 75.0f, 0x80};
    EventNotificationData d = outOfRange(0, 100);
    d.confirmed = 1;
    // Not bound: -1 and a Who-Is for the recipient.
    EXPECT_EQ(svcSendEventNotification(-1, 7, &d, &v, nullptr), -1);
    stack.advance(5);
    auto sent = harness::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex(apduOf(sent[0])), "10 08 09 07 19 07");
    // Bound by its I-Am: sent confirmed with the priority's network priority.
    stack.request(local(Bytes{0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x07, 0x22, 0x05, 0xC4, 0x91, 0x03, 0x21, 0x07},
                        false),
                  true);
    int id = svcSendEventNotification(-1, 7, &d, &v, nullptr);
    ASSERT_GE(id, 0);
    sent = harness::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    Bytes npdu = npduOf(sent[0]);
    EXPECT_EQ(npdu[1], 0x04 | 2);
    EXPECT_EQ(apduOf(sent[0])[3], kSvcConfirmedEventNotification);
    // Broadcast: unconfirmed, global.
    EXPECT_EQ(svcSendEventNotification(-1, -1, &d, &v, nullptr), 256);
    sent = harness::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    Bytes broadcast = apduOf(sent[0]);
    EXPECT_EQ(hex(Bytes(broadcast.begin(), broadcast.begin() + 2)), "10 03");
    NpduHeader h;
    Bytes npduBroadcast = npduOf(sent[0]);
    ASSERT_TRUE(npduParseHeader(npduBroadcast.data(), static_cast<uint32_t>(npduBroadcast.size()), &h));
    EXPECT_EQ(h.dnet, 0xFFFF);
    // Event type 9 sends nothing.
    d.eventType = kEventExtended;
    EXPECT_EQ(svcSendEventNotification(-1, -1, &d, &v, nullptr), -6);
    BACnetAddress to = clientPeer();
    to.maxApdu = 480;
    EXPECT_EQ(svcSendEventNotificationToAddress(-1, &to, &d, &v, nullptr), -6);
    EXPECT_TRUE(harness::takeSent().empty());
    d.eventType = kEventOutOfRange;
    d.confirmed = 0;
    EXPECT_EQ(svcSendEventNotificationToAddress(-1, &to, &d, &v, nullptr), 256);
    EXPECT_EQ(harness::takeSent().size(), 1u);
}

TEST(EventLog, RecordsWithANotificationAreEncodedByTheEventEncoder) {
    harness::Stack stack(device100());
    EventLogNotification n{};
    n.data = outOfRange(1, 200);
    n.values.outOfRange = {80.0f, 1.0f, 75.0f, 0x80};
    BACnetEventLogRecord record{};
    record.date = {126, 12, 10, 4};
    record.time = {12, 0, 0, 0};
    record.choice = kEventLogDatumNotification;
    record.notification = &n;
    PropertyValue v{};
    v.datatype = kDtEventLogRecord;
    v.count = 1;
    v.value.block = &record;
    PduBuffer b;
    ASSERT_EQ(pduInit(&b), 0);
    ASSERT_EQ(propEncodeValue(&b, kObjEventLog, kPropLogBuffer, &v), 0);
    Bytes out(b.writeBase, b.writeBase + b.length);
    pduFree(&b);
    PduBuffer alone;
    ASSERT_EQ(pduInit(&alone), 0);
    ASSERT_EQ(svcEncodeEventNotification(&alone, 0, &n.data, &n.values, nullptr), 0);
    Bytes parameters(alone.writeBase, alone.writeBase + alone.length);
    pduFree(&alone);
    Bytes expected = cat(cat(Bytes{0x0E, 0xA4, 126, 12, 10, 4, 0xB4, 12, 0, 0, 0, 0x0F, 0x1E, 0x1E}, parameters),
                         Bytes{0x1F, 0x1F});
    EXPECT_EQ(hex(out), hex(expected));
    // The record is read, not released, by the encoding.
    EXPECT_EQ(record.notification, &n);
}

Bytes gei(uint8_t invokeId, const Bytes &body, uint8_t maxOctet = 0x05) {
    return local(cat(Bytes{0x00, maxOctet, invokeId, kSvcGetEventInformation}, body));
}

TEST(GetEventInformation, ListsTheObjectsInAlarm) {
    testapp::Config config;
    harness::Stack none(config);
    EXPECT_EQ(answer(none, gei(1, {})), "30 01 1D 0E 0F 19 00");
    EXPECT_EQ(answer(none, gei(2, Bytes{0x0C, 0, 0, 0})), "60 02 04");
    EXPECT_EQ(answer(none, gei(3, Bytes{0x1C, 0, 0, 0, 1})), "60 03 04");
}

TEST(GetEventInformation, SummariesAndContinuation) {
    testapp::Config config;
    config.alarmObjects = {2, 5};
    harness::Stack stack(config);
    std::string all = answer(stack, gei(1, {}));
    EXPECT_EQ(all.substr(0, 29), "30 01 1D 0E 0C 00 00 00 02 19");
    EXPECT_NE(all.find("0C 00 00 00 05"), std::string::npos);
    EXPECT_EQ(all.substr(all.size() - 8), "0F 19 00");
    EXPECT_NE(all.find("6E 21 64 21 64 21 C8 6F"), std::string::npos);
    std::string after = answer(stack, gei(2, ctxObjectId(0, analogInput(2))));
    EXPECT_EQ(after.find("0C 00 00 00 02"), std::string::npos);
    EXPECT_NE(after.find("0C 00 00 00 05"), std::string::npos);
}

}  // namespace
