// EventNotification parameters read back: what the event services encode,
// the decoder gives back as the same records, alone and inside event-log
// records; what it cannot hold it refuses without keeping a block; and
// tshark reads the event-log records it writes.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "app_memory_counting.h"
#include "bacnet/event_notification.h"
#include "bacnet/property_decoder.h"
#include "bacnet/property_encoder.h"
#include "bacnet/stack/notify.h"
#include "pcap_tshark.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;

namespace {

// The room the decoder is given for a message text.
constexpr uint32_t kTextRoom = 64;

struct TextRoom {
    CharString str{};
    char room[kTextRoom]{};
};

CharStringStore<16> textOf(const char *s) {
    CharStringStore<16> t;
    t.str.length = static_cast<uint32_t>(std::strlen(s));
    std::memcpy(t.room, s, t.str.length);
    return t;
}

Bytes encodeParameters(const EventNotificationData &d, const EventValues &v, const CharString *text) {
    PduBuffer b;
    EXPECT_EQ(pduInit(&b), 0);
    EXPECT_EQ(svcEncodeEventNotification(&b, 0, &d, &v, text), 0);
    Bytes out(b.writeBase, b.writeBase + b.length);
    pduFree(&b);
    return out;
}

PackedError decodeParameters(const Bytes &in, EventNotificationData *d, EventValues *v, CharString *text,
                             size_t *used = nullptr) {
    // An exact-size heap copy, so that a read past the end is caught.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[in.size() + 1]);
    if (!in.empty())
        std::memcpy(copy.get(), in.data(), in.size());
    const uint8_t *p = copy.get();
    const PackedError e = propDecodeNotificationParameters(&p, copy.get() + in.size(), d, v, text);
    if (used != nullptr)
        *used = static_cast<size_t>(p - copy.get());
    return e;
}

struct RoundTrip {
    const char *name;
    uint16_t type;
    uint8_t notifyType;
    BACnetTimeStamp timeStamp;
    const char *text;  // null: none
    std::function<void(EventValues &)> values;
};

const BACnetTimeStamp kDateTime{kTimeStampDateTime, 0, {12, 30, 15, 0}, {126, 12, 10, 4}};
const BACnetTimeStamp kSequence{kTimeStampSequenceNumber, 513, {}, {}};
const BACnetTimeStamp kTime{kTimeStampTime, 0, {23, 59, 58, 99}, {}};

// A complex event's entries: a real with a priority, and an owned string
// at an array index, whose block the decoder must allocate and release.
ComplexEventEntry complexEntries[2];

std::vector<RoundTrip> roundTrips() {
    return {
        {"change-of-bitstring", kEventChangeOfBitstring, kNotifyAlarm, kDateTime, "alarm",
         [](EventValues &v) { v.changeOfBitstring = {10, {0xA5, 0xC0}, 0x80}; }},
        {"change-of-state, binary value", kEventChangeOfState, kNotifyEvent, kSequence, nullptr,
         [](EventValues &v) { v.changeOfState = {1, 1, 0x40}; }},
        {"change-of-state, a choice beyond 14", kEventChangeOfState, kNotifyAlarm, kTime, nullptr,
         [](EventValues &v) { v.changeOfState = {70000, 40, 0x10}; }},
        {"change-of-value, changed value", kEventChangeOfValue, kNotifyAlarm, kDateTime, nullptr,
         [](EventValues &v) {
             v.changeOfValue.changedValue = 2.5f;
             v.changeOfValue.choice = 1;
             v.changeOfValue.statusFlags = 0x20;
         }},
        {"change-of-value, changed bits", kEventChangeOfValue, kNotifyEvent, kDateTime, nullptr,
         [](EventValues &v) {
             v.changeOfValue.bitCount = 12;
             v.changeOfValue.bits[0] = 0xF0;
             v.changeOfValue.bits[1] = 0x30;
         }},
        {"command-failure", kEventCommandFailure, kNotifyAlarm, kDateTime, nullptr,
         [](EventValues &v) { v.commandFailure = {300, 7, 0x80}; }},
        {"floating-limit", kEventFloatingLimit, kNotifyAlarm, kSequence, "limit",
         [](EventValues &v) { v.floatingLimit = {21.5f, 20.0f, 1.25f, 0x80}; }},
        {"out-of-range", kEventOutOfRange, kNotifyAlarm, kDateTime, nullptr,
         [](EventValues &v) { v.outOfRange = {80.0f, 1.0f, 75.0f, 0x80}; }},
        {"complex-event", kEventComplexEventType, kNotifyEvent, kDateTime, nullptr,
         [](EventValues &v) { v.complexEvent = {2, complexEntries}; }},
        {"complex-event without entries", kEventComplexEventType, kNotifyEvent, kDateTime, nullptr,
         [](EventValues &v) { v.complexEvent = {0, nullptr}; }},
        {"change-of-life-safety", kEventChangeOfLifeSafety, kNotifyAlarm, kDateTime, nullptr,
         [](EventValues &v) { v.changeOfLifeSafety = {3, 1, 0x40, 2}; }},
        {"buffer-ready with index and device", kEventBufferReady, kNotifyEvent, kDateTime, nullptr,
         [](EventValues &v) {
             v.bufferReady = {objectIdMake(kObjTrendLog, 1), kPropLogBuffer, 4, objectIdMake(kObjDevice, 9), 10,
                              20};
         }},
        {"buffer-ready without them", kEventBufferReady, kNotifyEvent, kTime, nullptr,
         [](EventValues &v) {
             v.bufferReady = {objectIdMake(kObjTrendLog, 1), kPropLogBuffer, -1, 0xFFFFFFFFu, 0, 1};
         }},
        {"unsigned-range", kEventUnsignedRange, kNotifyAlarm, kDateTime, nullptr,
         [](EventValues &v) { v.unsignedRange = {80, 75, 0x80}; }},
        {"ack-notification", kEventOutOfRange, kNotifyAckNotification, kDateTime, "ack", [](EventValues &) {}},
    };
}

class NotificationDecoder : public ::testing::Test {
  protected:
    void SetUp() override {
        svcInstallEventLogEncoder();
        appmem::reset();
        base_ = appmem::outstanding();
        static CharStringStore<8> owned;
        owned.str.length = 5;
        std::memcpy(owned.room, "fault", 5);
        complexEntries[0] = {kPropPresentValue, -1, {}};
        complexEntries[0].value.datatype = kDtReal;
        complexEntries[0].value.value.f = 4.0f;
        complexEntries[0].value.priority = 8;
        complexEntries[1] = {kPropStateText, 3, {}};
        complexEntries[1].value.datatype = kDtCharString;
        complexEntries[1].value.value.block = &owned.str;
    }
    void TearDown() override { EXPECT_EQ(appmem::outstanding(), base_) << "blocks leaked"; }
    int64_t base_ = 0;
};

TEST_F(NotificationDecoder, GivesBackWhatTheEventServicesEncode) {
    for (const RoundTrip &c : roundTrips()) {
        SCOPED_TRACE(c.name);
        EventNotificationData d = sampleEvent(c.type, c.notifyType, 200);
        d.timeStamp = c.timeStamp;
        d.initiatingDevice = 4194302;
        d.fromState = c.notifyType == kNotifyAckNotification ? 0 : 2;
        EventValues v;
        std::memset(&v, 0, sizeof v);
        c.values(v);
        auto text = textOf(c.text == nullptr ? "" : c.text);
        const Bytes wire = encodeParameters(d, v, c.text == nullptr ? nullptr : &text.str);

        EventNotificationData got;
        EventValues values;
        TextRoom room;
        room.str.length = kTextRoom;
        size_t used = 0;
        ASSERT_EQ(decodeParameters(wire, &got, &values, &room.str, &used), 0u);
        EXPECT_EQ(used, wire.size());
        EXPECT_EQ(got.processId, d.processId);
        EXPECT_EQ(got.initiatingDevice, d.initiatingDevice);
        EXPECT_EQ(got.eventObject, d.eventObject);
        EXPECT_EQ(got.notificationClass, d.notificationClass);
        EXPECT_EQ(got.timeStamp.choice, d.timeStamp.choice);
        EXPECT_EQ(got.eventType, d.eventType);
        EXPECT_EQ(got.notifyType, d.notifyType);
        EXPECT_EQ(got.priority, d.priority);
        EXPECT_EQ(got.toState, d.toState);
        // Only an alarm or event carries the acknowledgement and the state before.
        const bool full = c.notifyType != kNotifyAckNotification;
        EXPECT_EQ(got.ackRequired, full ? d.ackRequired : 0);
        EXPECT_EQ(got.fromState, full ? d.fromState : 0);
        EXPECT_EQ(got.confirmed, 0) << "not on the wire";
        EXPECT_EQ(std::string(room.str.chars(), room.str.length), c.text == nullptr ? "" : c.text);
        if (c.type == kEventComplexEventType) {
            ASSERT_EQ(values.complexEvent.count, v.complexEvent.count);
            for (uint16_t i = 0; i < v.complexEvent.count; ++i) {
                const ComplexEventEntry &e = values.complexEvent.entries[i];
                EXPECT_EQ(e.propertyId, complexEntries[i].propertyId);
                EXPECT_EQ(e.arrayIndex, complexEntries[i].arrayIndex);
                EXPECT_EQ(e.value.datatype, complexEntries[i].value.datatype);
                EXPECT_EQ(e.value.priority, complexEntries[i].value.priority);
            }
        }
        // Encoded again, the records give the same octets: every field on
        // the wire, the event values and the time stamp's included, was
        // read back into its place.
        EXPECT_EQ(hex(encodeParameters(got, values, room.str.length == 0 ? nullptr : &room.str)), hex(wire));
        propReleaseNotificationValues(&got, &values);
    }
}

TEST_F(NotificationDecoder, CommandValuesOfABinaryOutputAreEnumerated) {
    EventNotificationData d = sampleEvent(kEventCommandFailure, kNotifyAlarm, 200);
    d.eventObject = objectIdMake(kObjBinaryOutput, 1);
    EventValues v{};
    v.commandFailure = {1, 0, 0x80};
    const Bytes wire = encodeParameters(d, v, nullptr);
    EventNotificationData got;
    EventValues values;
    ASSERT_EQ(decodeParameters(wire, &got, &values, nullptr), 0u);
    EXPECT_EQ(values.commandFailure.commandValue, 1u);
    EXPECT_EQ(values.commandFailure.feedbackValue, 0u);
    EXPECT_EQ(hex(encodeParameters(got, values, nullptr)), hex(wire));
}

TEST_F(NotificationDecoder, TextIsCutToTheRoomGiven) {
    EventNotificationData d = sampleEvent(kEventOutOfRange, kNotifyAlarm, 200);
    EventValues v{};
    auto text = textOf("high limit");
    const Bytes wire = encodeParameters(d, v, &text.str);
    EventNotificationData got;
    EventValues values;
    TextRoom room;
    room.str.length = 4;
    ASSERT_EQ(decodeParameters(wire, &got, &values, &room.str), 0u);
    EXPECT_EQ(std::string(room.str.chars(), room.str.length), "high");
    EXPECT_EQ(room.room[4], '\0');
}

// Parameters up to the time stamp's opening tag, from process 1 of device
// 100 about analog input 1.
Bytes head() {
    return {0x09, 0x01, 0x1C, 0x02, 0x00, 0x00, 0x64, 0x2C, 0x00, 0x00, 0x00, 0x01, 0x3E};
}

// A notification of an event type, its time stamp given as octets.
Bytes alarmOf(uint8_t eventType, const Bytes &timeStamp, const Bytes &values) {
    Bytes out = cat(cat(head(), timeStamp), Bytes{0x3F, 0x49, 0x01, 0x59, 0xC8, 0x69, eventType, 0x89, 0x00,
                                                  0x99, 0x01, 0xA9, 0x00, 0xB9, 0x03, 0xCE});
    return cat(cat(out, values), Bytes{0xCF});
}

const Bytes kSeq{0x19, 0x05};
const Bytes kOutOfRangeValues{0x5E, 0x0C, 0x42, 0xA0, 0x00, 0x00, 0x1A, 0x04, 0x80, 0x2C, 0x3F, 0x80,
                              0x00, 0x00, 0x3C, 0x42, 0x96, 0x00, 0x00, 0x5F};

TEST_F(NotificationDecoder, RefusesWhatItCannotHold) {
    const struct {
        const char *name;
        Bytes octets;
        PackedError error;
    } cases[] = {
        {"the hand-made alarm itself", alarmOf(kEventOutOfRange, kSeq, kOutOfRangeValues), 0},
        {"time-stamp choice 3", alarmOf(kEventOutOfRange, {0x39, 0x05}, kOutOfRangeValues),
         kRejectInvalidParameterDataType},
        {"time stamp opened as choice 0", alarmOf(kEventOutOfRange, {0x0E, 0x0F}, kOutOfRangeValues),
         kRejectInvalidParameterDataType},
        {"no time stamp", alarmOf(kEventOutOfRange, {}, kOutOfRangeValues), kRejectInvalidParameterDataType},
        {"event type 7", alarmOf(7, kSeq, {0x7E, 0x7F}), kRejectInvalidParameterDataType},
        {"extended event type", alarmOf(kEventExtended, kSeq, {0x9E, 0x9F}), kRejectInvalidParameterDataType},
        {"event type 12", alarmOf(12, kSeq, {0xCE, 0xCF}), kRejectInvalidParameterDataType},
        {"values of another event type", alarmOf(kEventFloatingLimit, kSeq, kOutOfRangeValues),
         kRejectInvalidTag},
        {"sequence number beyond 16 bits", alarmOf(kEventOutOfRange, {0x1B, 0x01, 0x00, 0x00}, kOutOfRangeValues),
         kErrorValueOutOfRange},
        {"no event values", cat(head(), Bytes{0x19, 0x05, 0x3F, 0x49, 0x01, 0x59, 0xC8, 0x69, 0x05, 0x89, 0x00}),
         kRejectInvalidTag},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EventNotificationData d;
        EventValues v;
        EXPECT_EQ(decodeParameters(c.octets, &d, &v, nullptr), c.error);
        if (c.error == 0) {
            EXPECT_FLOAT_EQ(v.outOfRange.exceededLimit, 75.0f);
        }
    }
}

// Cut anywhere, a notification whose values took blocks is refused and
// leaves none behind.
TEST_F(NotificationDecoder, EveryCutIsRefusedWithoutABlockLeft) {
    EventNotificationData d = sampleEvent(kEventComplexEventType, kNotifyEvent, 200);
    EventValues v{};
    v.complexEvent = {2, complexEntries};
    auto text = textOf("cut");
    const Bytes wire = encodeParameters(d, v, &text.str);
    for (size_t cut = 0; cut < wire.size(); ++cut) {
        SCOPED_TRACE(cut);
        EventNotificationData got;
        EventValues values;
        TextRoom room;
        room.str.length = kTextRoom;
        EXPECT_NE(decodeParameters(Bytes(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(cut)), &got,
                                   &values, &room.str),
                  0u);
        EXPECT_EQ(appmem::outstanding(), base_);
    }
}

// An event-log record of each decoded event type and notify type, as the
// log buffer of an event log is read and written: date and time, then the
// notification inside the log datum.
Bytes eventLogRecord(const Bytes &parameters) {
    return cat(cat(Bytes{0x0E, 0xA4, 126, 12, 10, 4, 0xB4, 12, 0, 0, 0, 0x0F, 0x1E, 0x1E}, parameters),
               Bytes{0x1F, 0x1F});
}

Bytes logBuffer() {
    Bytes all;
    for (const RoundTrip &c : roundTrips()) {
        EventNotificationData d = sampleEvent(c.type, c.notifyType, 200);
        d.timeStamp = c.timeStamp;
        EventValues v;
        std::memset(&v, 0, sizeof v);
        c.values(v);
        auto text = textOf(c.text == nullptr ? "" : c.text);
        all = cat(all, eventLogRecord(encodeParameters(d, v, c.text == nullptr ? nullptr : &text.str)));
    }
    // A log status between them.
    return cat(all, Bytes{0x0E, 0xA4, 126, 12, 10, 4, 0xB4, 12, 0, 1, 0, 0x0F, 0x1E, 0x0A, 0x05, 0x40, 0x1F});
}

TEST_F(NotificationDecoder, EventLogRecordsHoldTheirNotifications) {
    const Bytes buffer = logBuffer();
    const Bytes input = cat(buffer, Bytes{0x3F});
    const uint8_t *p = input.data();
    PropertyValue v{};
    ASSERT_EQ(propDecodeValue(&p, objectIdMake(kObjEventLog, 1), kPropLogBuffer, &v,
                              static_cast<uint32_t>(input.size()), 0x3F, -1),
              0u);
    EXPECT_EQ(v.datatype, kDtEventLogRecord);
    const auto cases = roundTrips();
    ASSERT_EQ(v.count, cases.size() + 1);
    const auto *records = static_cast<const BACnetEventLogRecord *>(v.value.block);
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const BACnetEventLogRecord &r = records[i];
        ASSERT_EQ(r.choice, kEventLogDatumNotification);
        ASSERT_NE(r.notification, nullptr);
        EXPECT_EQ(r.notification->data.eventType, cases[i].type);
        EXPECT_EQ(r.notification->data.notifyType, cases[i].notifyType);
        // A notification without a text keeps no text block.
        if (cases[i].text == nullptr) {
            EXPECT_EQ(r.notification->text, nullptr);
        } else {
            ASSERT_NE(r.notification->text, nullptr);
            EXPECT_EQ(std::string(r.notification->text->chars(), r.notification->text->length), cases[i].text);
        }
    }
    EXPECT_EQ(records[cases.size()].choice, kEventLogDatumLogStatus);

    PduBuffer b;
    ASSERT_EQ(pduInit(&b), 0);
    ASSERT_EQ(propEncodeValue(&b, kObjEventLog, kPropLogBuffer, &v), 0);
    EXPECT_EQ(hex(Bytes(b.writeBase, b.writeBase + b.length)), hex(buffer));
    pduFree(&b);
    propFreeValue(&v);
}

TEST_F(NotificationDecoder, ARefusedNotificationLeavesNoRecordBehind) {
    EventNotificationData d = sampleEvent(kEventComplexEventType, kNotifyEvent, 200);
    EventValues values{};
    values.complexEvent = {2, complexEntries};
    auto text = textOf("kept");
    Bytes good = eventLogRecord(encodeParameters(d, values, &text.str));
    // The closing tag of the event values is missing.
    Bytes broken = good;
    broken.erase(broken.end() - 3);
    for (const Bytes &records : {cat(good, broken), cat(broken, good)}) {
        const Bytes input = cat(records, Bytes{0x3F});
        const uint8_t *p = input.data();
        PropertyValue v{};
        EXPECT_EQ(propDecodeValue(&p, objectIdMake(kObjEventLog, 1), kPropLogBuffer, &v,
                                  static_cast<uint32_t>(input.size()), 0x3F, -1),
                  kRejectInvalidTag);
        EXPECT_EQ(v.ownsValue, 0);
        EXPECT_EQ(appmem::outstanding(), base_);
    }
}

// tshark reads the log buffer of an event log with a notification of every
// decoded event type as a clean ReadProperty-ACK.
TEST_F(NotificationDecoder, TsharkReadsTheEventLogRecords) {
    if (access(pcap::kTshark, X_OK) != 0)
        GTEST_SKIP() << "tshark is not installed";
    const Bytes buffer = logBuffer();
    Bytes apdu = {0x30, 0x01, 0x0C, 0x0C};
    const uint32_t id = objectIdMake(kObjEventLog, 1);
    for (int s = 24; s >= 0; s -= 8)
        apdu.push_back(static_cast<uint8_t>(id >> s));
    apdu = cat(cat(cat(apdu, Bytes{0x19, static_cast<uint8_t>(kPropLogBuffer), 0x3E}), buffer), Bytes{0x3F});
    Bytes bvlc = {0x81, 0x0A};
    pcap::put16(bvlc, static_cast<uint16_t>(6 + apdu.size()));
    bvlc = cat(cat(bvlc, Bytes{0x01, 0x00}), apdu);

    std::string dir = std::filesystem::temp_directory_path() / ("bacnet-tshark-log-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string file = dir + "/log.pcap";
    pcap::writePcap(file, {pcap::udpFrame(bvlc, 1)});
    EXPECT_EQ(pcap::runTshark(dir, {"-r", file, "-Y", "_ws.malformed || _ws.expert.severity >= 0x00600000"}), "");
    // The event type and notify type of each record, as tshark reads them.
    std::string types, notifyTypes;
    for (const RoundTrip &c : roundTrips()) {
        types += (types.empty() ? "" : ",") + std::to_string(c.type);
        notifyTypes += (notifyTypes.empty() ? "" : ",") + std::to_string(c.notifyType);
    }
    EXPECT_EQ(pcap::runTshark(dir, {"-r", file, "-T", "fields", "-e", "bacapp.event_type", "-e",
                                    "bacapp.notify_type"}),
              types + "\t" + notifyTypes + "\n");
    if (!HasFailure())
        std::filesystem::remove_all(dir);
}

}  // namespace
