#pragma once
// The values the tshark interoperability test encodes, with what tshark must
// show of each. The golden record of the codec encodes them too.

#include "value_fixture.h"

#include <functional>
#include <string>
#include <vector>

namespace codec_test {

struct Sample {
    const char *what;
    uint16_t type;
    uint32_t property;
    std::function<void(PropertyValue &)> make;
    // tshark field and the text it must show for this frame; empty field:
    // only the -V text below is checked.
    const char *field;
    std::string fieldValue;
    std::vector<std::string> verbose;  // texts the detailed dissection must contain
};

inline std::vector<Sample> samples() {
    std::vector<Sample> s;
    s.push_back({"real present value", kObjAnalogInput, kPropPresentValue,
                 [](PropertyValue &v) { v.datatype = kDtReal; v.value.f = 230.5f; },
                 "bacapp.present_value.real", "230.5", {}});
    s.push_back({"enumerated present value", kObjBinaryValue, kPropPresentValue,
                 [](PropertyValue &v) { v.datatype = kDtEnumerated; v.value.u = 1; },
                 "bacapp.present_value.enum_index", "1", {}});
    s.push_back({"unsigned present value", kObjMultiStateValue, kPropPresentValue,
                 [](PropertyValue &v) { v.datatype = kDtUnsigned; v.value.u = 70000; },
                 "bacapp.present_value.uint", "70000", {}});
    s.push_back({"signed present value", kObjIntegerValue, kPropPresentValue,
                 [](PropertyValue &v) { v.datatype = kDtSigned; v.value.i = -200; },
                 "bacapp.present_value.int", "-200", {}});
    s.push_back({"double present value", kObjLargeAnalogValue, kPropPresentValue,
                 [](PropertyValue &v) { v.datatype = kDtDouble; v.value.d = 1234567.25; },
                 "bacapp.present_value.double", "1234567.25", {}});
    s.push_back({"64-character string", kObjCharacterstringValue, kPropPresentValue,
                 [](PropertyValue &v) {
                     std::string t;
                     for (int i = 0; i < 64; ++i) t += static_cast<char>('A' + i % 26);
                     charString(v, t);
                 },
                 "bacapp.present_value.char_string", "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKL",
                 {}});
    s.push_back({"octet string", kObjOctetstringValue, kPropPresentValue,
                 [](PropertyValue &v) {
                     v.datatype = kDtOctetString;
                     v.length = 4;
                     auto *b = nested<uint8_t>(4);
                     b[0] = 0xDE;
                     b[1] = 0xAD;
                     b[2] = 0xBE;
                     b[3] = 0xEF;
                     v.value.block = b;
                     v.ownsValue = 1;
                 },
                 "bacapp.present_value.octet_string", "64deadbeef", {}});  // the field covers the tag
    s.push_back({"boolean present value", kObjCalendar, kPropPresentValue,
                 [](PropertyValue &v) { v.datatype = kDtBoolean; v.value.u = 1; },
                 "bacapp.present_value.boolean", "1", {}});
    s.push_back({"status flags", kObjAnalogInput, kPropStatusFlags,
                 [](PropertyValue &v) {
                     v.datatype = kDtBitString;
                     v.length = 4;
                     v.value.octets[0] = 0x90;  // in-alarm, out-of-service
                 },
                 "", "", {"status-flags: (Bit String) (TFFT)"}});
    s.push_back({"object list of 117", kObjDevice, kPropObjectList,
                 [](PropertyValue &v) {
                     auto *b = block<uint32_t>(v, kDtObjectIdList, 117);
                     for (uint32_t i = 0; i < 117; ++i) b[i] = oid(i == 0 ? kObjDevice : kObjAnalogInput, i);
                 },
                 "", "", {"ObjectIdentifier: device, 0", "ObjectIdentifier: analog-input, 116"}});
    s.push_back({"recipient list of 5", kObjNotificationClass, kPropRecipientList,
                 [](PropertyValue &v) {
                     auto *b = block<BACnetDestination>(v, kDtDestination, 5);
                     for (uint32_t i = 0; i < 5; ++i) {
                         b[i].validDays = 0xFE;
                         b[i].transitions = 0xE0;
                         b[i].issueConfirmed = i & 1;
                         b[i].processId = 100 + i;
                         b[i].to = {23, 59, 59, 99};
                         if (i < 3) {
                             b[i].recipient.choice = kRecipientDevice;
                             b[i].recipient.device = oid(kObjDevice, 1000 + i);
                         } else {
                             b[i].recipient.choice = kRecipientAddress;
                             b[i].recipient.network = 5;
                             b[i].recipient.macLength = 6;
                             const uint8_t mac[6] = {192, 168, 1, 50, 0xBA, 0xC0};
                             std::memcpy(b[i].recipient.mac, mac, 6);
                         }
                     }
                 },
                 "", "", {"DeviceIdentifier: device, 1002", "ProcessIdentifier: 104", "IPV4: 192.168.1.50",
                         "transitions: (Bit String) (TTT)", "valid Days: (Bit String) (TTTTTTT)"}});
    s.push_back({"priority array with one real", kObjAnalogOutput, kPropPriorityArray,
                 [](PropertyValue &v) {
                     auto *b = block<uint32_t>(v, kDtReal, 16);
                     for (int i = 0; i < 15; ++i) b[i] = 0xFFFFFFFF;
                     const float f = 20.0f;
                     std::memcpy(&b[15], &f, 4);
                 },
                 "", "", {"priority-array[15]: NULL", "priority-array[16]: 20.000000 (Real)"}});
    s.push_back({"date value", kObjDateValue, kPropPresentValue,
                 [](PropertyValue &v) { v.datatype = kDtDate; v.value.date = {124, 3, 15, 5}; },
                 "", "", {"Date: March 15, 2024, (Day of Week = Friday)"}});
    s.push_back({"time value", kObjTimeValue, kPropPresentValue,
                 [](PropertyValue &v) { v.datatype = kDtTime; v.value.time = {13, 45, 30, 25}; },
                 "", "", {"= 13:45:30.25"}});
    s.push_back({"event time stamps", kObjAnalogInput, kPropEventTimeStamps,
                 [](PropertyValue &v) {
                     auto *b = block<BACnetTimeStamp>(v, kDtTimeStamp, 3);
                     b[0].choice = kTimeStampDateTime;
                     b[0].date = {124, 5, 6, 1};
                     b[0].time = {7, 8, 9, 10};
                     b[1].choice = kTimeStampSequenceNumber;
                     b[1].sequenceNumber = 300;
                     b[2].choice = kTimeStampTime;
                     b[2].time = {1, 2, 3, 4};
                 },
                 "", "", {"Date: May 6, 2024", "= 07:08:09.10", "TO-FAULT timestamp: (Unsigned) 300",
                         "TO-NORMAL timestamp: 1:02:03.4"}});
    s.push_back({"cov subscriptions", kObjDevice, kPropActiveCovSubscriptions,
                 [](PropertyValue &v) {
                     auto *b = block<BACnetCOVSubscription>(v, kDtCOVSubscription, 1);
                     b[0].recipient.choice = kRecipientDevice;
                     b[0].recipient.device = oid(kObjDevice, 9);
                     b[0].processId = 77;
                     b[0].objectId = oid(kObjAnalogInput, 3);
                     b[0].propertyId = kPropPresentValue;
                     b[0].arrayIndex = kNoIndex;
                     b[0].issueConfirmed = 1;
                     b[0].timeRemaining = 300;
                     b[0].hasCovIncrement = 1;
                     b[0].covIncrement = 0.5f;
                 },
                 "", "", {"DeviceIdentifier: device, 9", "ProcessIdentifier: 77", "Time Remaining: (Unsigned) 300",
                         "COV Increment: 0.500000 (Real)", "Issue Confirmed Notifications: TRUE"}});
    s.push_back({"event parameters (out of range)", kObjEventEnrollment, kPropEventParameters,
                 [](PropertyValue &v) {
                     auto *e = block<BACnetEventParameter>(v, kDtEventParameter, 0);
                     e->choice = kEventOutOfRange;
                     e->timeDelay = 10;
                     e->realLow = 1.0f;
                     e->realHigh = 2.0f;
                     e->realDeadband = 0.5f;
                 },
                 "", "", {"event parameters (5) out-of-range", "Time Delay (hh.mm.ss): 0.00.10",
                         "low limit: 1.000000", "high limit: 2.000000", "deadband: 0.500000"}});
    s.push_back({"trend log buffer", kObjTrendLog, kPropLogBuffer,
                 [](PropertyValue &v) {
                     auto *b = block<BACnetLogRecord>(v, kDtLogRecord, 2);
                     b[0].date = {124, 1, 1, 1};
                     b[0].datumChoice = kLogDatumReal;
                     b[0].datum.datatype = kDtReal;
                     b[0].datum.value.f = 1.5f;
                     b[0].statusFlags = 255;
                     b[1].date = {124, 1, 1, 1};
                     b[1].time = {0, 15, 0, 0};
                     b[1].datumChoice = kLogDatumSigned;
                     b[1].datum.datatype = kDtSigned;
                     b[1].datum.value.i = 200;
                     b[1].statusFlags = 0x40;
                 },
                 "", "", {"real value: 1.500000 (Real)", "signed value: (Signed) 200", "Status Flags: (Bit String) (FTFF)"}});
    s.push_back({"weekly schedule", kObjSchedule, kPropWeeklySchedule,
                 [](PropertyValue &v) {
                     auto *b = block<BACnetDailySchedule>(v, kDtDailySchedule, 7);
                     b[0].timeValueCount = 1;
                     b[0].timeValues = nested<BACnetTimeValue>(1);
                     b[0].timeValues[0].time = {8, 0, 0, 0};
                     b[0].timeValues[0].value.datatype = kDtReal;
                     b[0].timeValues[0].value.value.f = 21.0f;
                 },
                 "", "", {"Monday", "= 08:00:00.0", "Value: 21.000000 (Real)", "Sunday"}});
    return s;
}

}  // namespace codec_test
