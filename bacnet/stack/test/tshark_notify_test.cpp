// tshark decodes what the stack sends as a client and notifier: an
// EventNotification of every encodable event type with notify types 0, 1
// and 2, confirmed and unconfirmed COV notifications, a segmented ComplexACK,
// I-Have, a GetEventInformation-ACK and a WritePropertyMultiple-Error. No
// packet may be malformed or draw an expert warning, and the event types and
// notify types tshark reads must be those sent.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/notify.h"
#include "bacnet/stack/stack.h"
#include "pcap_tshark.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;

namespace {

// Event values that tshark can check for each encodable event type.
EventValues valuesFor(uint16_t type, ComplexEventEntry *complex, const CharString *text) {
    EventValues v{};
    std::memset(&v, 0, sizeof v);
    switch (type) {
        case kEventChangeOfBitstring:
            v.changeOfBitstring.bitCount = 8;
            v.changeOfBitstring.bits[0] = 0xA5;
            break;
        case kEventChangeOfState:
            v.changeOfState = {1, 1, 0x80};  // binary-value active
            break;
        case kEventChangeOfValue:
            v.changeOfValue.changedValue = 2.5f;
            v.changeOfValue.choice = 1;
            break;
        case kEventCommandFailure:
            v.commandFailure = {1, 0, 0x80};
            break;
        case kEventComplexEventType:
            complex->propertyId = kPropPresentValue;
            complex->arrayIndex = -1;
            complex->value.datatype = kDtReal;
            complex->value.value.f = 4.0f;
            v.complexEvent = {1, complex};
            break;
        case kEventBufferReady:
            v.bufferReady = {objectIdMake(kObjTrendLog, 1), kPropLogBuffer, -1, 0xFFFFFFFFu, 10, 20};
            break;
        case kEventChangeOfCharacterstring:
            v.changeOfCharacterstring.changedValue = text;
            v.changeOfCharacterstring.alarmValue = text;
            break;
        case kEventChangeOfReliability:
            v.changeOfReliability.reliability = 1;
            v.changeOfReliability.count = 1;
            v.changeOfReliability.entries[0].propertyId = kPropPresentValue;
            v.changeOfReliability.entries[0].arrayIndex = -1;
            v.changeOfReliability.entries[0].value.datatype = kDtReal;
            v.changeOfReliability.entries[0].value.value.f = 1.0f;
            break;
        default:
            v.doubleOutOfRange = {};
            v.outOfRange = {80.0f, 1.0f, 75.0f, 0x80};
            if (type == kEventDoubleOutOfRange)
                v.doubleOutOfRange = {80.0, 1.0, 75.0, 0x80};
            if (type == kEventSignedOutOfRange)
                v.signedOutOfRange = {-5, 1, -4, 0x80};
            if (type == kEventUnsignedOutOfRange || type == kEventUnsignedRange)
                v.unsignedOutOfRange = {80, 1, 75, 0x80};
            if (type == kEventUnsignedRange)
                v.unsignedRange = {80, 75, 0x80};
            break;
    }
    return v;
}

TEST(Tshark, DecodesTheNotificationsAndAnswersCleanly) {
    if (access(pcap::kTshark, X_OK) != 0)
        GTEST_SKIP() << "tshark is not installed";
    testapp::Config config;
    config.rootInstance = 100;
    config.rootObjects = 200;
    config.alarmObjects = {2, 5};
    harness::Stack stack(config);
    harness::takeSent();
    std::vector<Bytes> frames;
    auto keep = [&](const std::vector<harness::Datagram> &sent) {
        for (const auto &d : sent)
            frames.push_back(pcap::udpFrame(d.data, static_cast<uint8_t>(frames.size())));
    };

    CharStringStore<16> text;
    text.str.length = 5;
    std::memcpy(text.room, "alarm", 5);
    BACnetAddress to = clientPeer();
    to.maxApdu = 1476;
    std::string expected;
    const uint16_t types[] = {0, 1, 2, 3, 4, 5, 6, 8, 10, 11, 14, 15, 16, 17, 19};
    for (uint16_t type : types) {
        for (uint8_t notify : {0, 1, 2}) {
            ComplexEventEntry complex{};
            EventValues v = valuesFor(type, &complex, &text.str);
            EventNotificationData d = sampleEvent(type, notify, 100);
            d.confirmed = type % 2;
            ASSERT_GE(svcSendEventNotificationToAddress(-1, &to, &d, &v, notify == 1 ? &text.str : nullptr), 0)
                << type << "/" << int{notify};
            expected += std::to_string(type) + "\t" + std::to_string(notify) + "\n";
        }
    }
    keep(harness::takeSent());

    CovPropertyValue values[2]{};
    values[0] = {analogInput(1), kPropPresentValue, 0xFFFFFFFFu, {}};
    values[0].value.datatype = kDtReal;
    values[0].value.value.f = 12.5f;
    values[1] = {analogInput(1), kPropStatusFlags, 0xFFFFFFFFu, {}};
    values[1].value.datatype = kDtBitString;
    values[1].value.length = 4;
    for (uint8_t confirmed : {0, 1}) {
        CovSubscriber s{};
        s.subscriber = to;
        s.processId = 18;
        s.monitoredObject = analogInput(1);
        s.lifetime = 60;
        s.issueConfirmed = confirmed;
        s.values = values;
        s.valueCount = 2;
        ASSERT_GE(svcSendCovNotification(-1, &s), 0);
    }
    keep(harness::takeSent());

    // A segmented ComplexACK, acknowledged segment by segment.
    Bytes read = rp(1, deviceObjectId(100), kPropObjectList, kNone, 0x73);
    read[0] |= 0x02;
    auto sent = stack.request(local(read));
    keep(sent);
    for (int guard = 0; guard < 10 && !sent.empty(); ++guard) {
        Bytes last = apduOf(sent.back());
        sent = stack.request(local(Bytes{0x40, 0x01, last[2], 0x01}, false));
        keep(sent);
    }
    // I-Have, the GetEventInformation-ACK and a WritePropertyMultiple-Error.
    keep(stack.request(local(Bytes{0x10, kSvcWhoHas, 0x3D, 0x05, 0x00, 'A', 'I', ' ', '3'}, false), true));
    keep(stack.request(local(Bytes{0x00, 0x05, 0x02, kSvcGetEventInformation})));
    keep(stack.request(local(cat(Bytes{0x00, 0x05, 0x03, kSvcWritePropertyMultiple},
                                 cat(ctxObjectId(0, analogInput(2)),
                                     Bytes{0x1E, 0x09, kPropUnits, 0x2E, 0x91, 0x30, 0x2F, 0x1F})))));

    std::string dir = std::filesystem::temp_directory_path() / ("bacnet-tshark-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string file = dir + "/notifications.pcap";
    pcap::writePcap(file, frames);
    EXPECT_EQ(pcap::runTshark(dir, {"-r", file, "-Y", "_ws.malformed || _ws.expert.severity >= 0x00600000"}), "");
    std::string fields = pcap::runTshark(
        dir, {"-r", file, "-Y", "bacapp.event_type", "-T", "fields", "-e", "bacapp.event_type", "-e",
              "bacapp.notify_type"});
    EXPECT_EQ(fields, expected);
    std::string services = pcap::runTshark(
        dir, {"-r", file, "-Y", "bacapp.unconfirmed_service == 1 || bacapp.confirmed_service == 29 || "
                                "bacapp.confirmed_service == 1 || bacapp.unconfirmed_service == 2 || "
                                "bacapp.type == 5",
              "-T", "fields", "-e", "bacapp.type"});
    EXPECT_EQ(services, "1\n0\n1\n3\n5\n") << "COV unconfirmed and confirmed, I-Have, GEI-ACK, WPM-Error";
    if (!HasFailure())
        std::filesystem::remove_all(dir);
}

}  // namespace
