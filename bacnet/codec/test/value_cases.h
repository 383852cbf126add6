#pragma once
// The round-trip cases of the value codec: values of every datatype code the
// datatype table gives, with the octets they encode to where those were
// worked out by hand. The round-trip test and the golden record share them.

#include "value_fixture.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <vector>

namespace codec_test {

struct Case {
    const char *name;
    uint16_t type;
    uint32_t property;
    int32_t index;
    std::function<void(PropertyValue &)> make;
    Bytes expected{};    // hand-computed octets; empty: not checked
    bool flat = false;   // element records hold no pointers: compare them octet by octet
};

inline BACnetDate date(uint8_t y, uint8_t m, uint8_t d, uint8_t wd) { return BACnetDate{y, m, d, wd}; }
inline BACnetTime tm(uint8_t h, uint8_t m, uint8_t s, uint8_t hs) { return BACnetTime{h, m, s, hs}; }

inline BACnetRecipient deviceRecipient(uint32_t instance) {
    BACnetRecipient r{};
    r.choice = kRecipientDevice;
    r.device = oid(kObjDevice, instance);
    return r;
}

inline BACnetRecipient addressRecipient(uint16_t net, std::initializer_list<uint8_t> mac) {
    BACnetRecipient r{};
    r.choice = kRecipientAddress;
    r.device = kAbsent;
    r.network = net;
    r.macLength = static_cast<uint16_t>(mac.size());
    std::copy(mac.begin(), mac.end(), r.mac);
    return r;
}

inline BACnetDeviceObjectPropertyReference dopr(uint32_t obj, uint32_t prop, int32_t idx, uint32_t dev) {
    return BACnetDeviceObjectPropertyReference{obj, prop, idx, dev};
}

inline void primitiveUnsigned(PropertyValue &v, uint32_t x) {
    std::memset(&v, 0, sizeof v);
    v.datatype = kDtUnsigned;
    v.value.u = x;
}

inline std::vector<Case> cases() {
    std::vector<Case> c;
    auto add = [&](Case k) { c.push_back(std::move(k)); };

    // Primitives.
    add({"boolean", kObjAnalogInput, kPropOutOfService, -1,
         [](PropertyValue &v) { v.datatype = kDtBoolean; v.value.u = 1; }, {0x11}});
    add({"boolean list", kObjAnalogInput, kPropAutoSlaveDiscovery, -1,
         [](PropertyValue &v) {
             auto *b = block<uint8_t>(v, kDtBoolean, 3);
             b[0] = 1;
             b[2] = 1;
         },
         {0x11, 0x10, 0x11}, true});
    add({"unsigned 0", kObjDevice, kPropMaxApduLengthAccepted, -1,
         [](PropertyValue &v) { primitiveUnsigned(v, 0); }, {0x21, 0x00}});
    add({"unsigned max", kObjDevice, kPropMaxApduLengthAccepted, -1,
         [](PropertyValue &v) { primitiveUnsigned(v, 0xFFFFFFFF); },
         {0x24, 0xFF, 0xFF, 0xFF, 0xFF}});
    add({"priority (unsigned array)", kObjNotificationClass, kPropPriority, -1,
         [](PropertyValue &v) {
             auto *b = block<uint32_t>(v, kDtUnsigned, 3);
             b[0] = 1;
             b[1] = 128;
             b[2] = 255;
         },
         {0x21, 0x01, 0x21, 0x80, 0x21, 0xFF}, true});
    add({"multi-state priority array with NULLs", kObjMultiStateValue, kPropPriorityArray, -1,
         [](PropertyValue &v) {
             auto *b = block<uint32_t>(v, kDtUnsigned, 16);
             for (int i = 0; i < 16; ++i) b[i] = kAbsent;
             b[7] = 3;
         },
         {}, true});
    add({"signed", kObjIntegerValue, kPropPresentValue, -1,
         [](PropertyValue &v) { v.datatype = kDtSigned; v.value.i = -129; }, {0x32, 0xFF, 0x7F}});
    add({"real", kObjAnalogValue, kPropPresentValue, -1,
         [](PropertyValue &v) { v.datatype = kDtReal; v.value.f = 20.0f; },
         {0x44, 0x41, 0xA0, 0x00, 0x00}});
    add({"real NaN", kObjAnalogInput, kPropPresentValue, -1,
         [](PropertyValue &v) { v.datatype = kDtReal; v.value.u = 0x7FC00000; },
         {0x44, 0x7F, 0xC0, 0x00, 0x00}});
    add({"analog output priority array", kObjAnalogOutput, kPropPriorityArray, -1,
         [](PropertyValue &v) {
             auto *b = block<uint32_t>(v, kDtReal, 16);
             for (int i = 0; i < 15; ++i) b[i] = 0xFFFFFFFF;
             float f = 20.0f;
             std::memcpy(&b[15], &f, 4);
         },
         {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
          0x44, 0x41, 0xA0, 0x00, 0x00},
         true});
    add({"double -inf", kObjLargeAnalogValue, kPropPresentValue, -1,
         [](PropertyValue &v) { v.datatype = kDtDouble; v.value.d = -INFINITY; },
         {0x55, 0x08, 0xFF, 0xF0, 0, 0, 0, 0, 0, 0}});
    add({"octet string", kObjOctetstringValue, kPropPresentValue, -1,
         [](PropertyValue &v) {
             v.datatype = kDtOctetString;
             v.length = 3;
             auto *b = nested<uint8_t>(3);
             b[0] = 0xDE;
             b[1] = 0xAD;
             b[2] = 0x01;
             v.value.block = b;
             v.ownsValue = 1;
         },
         {0x63, 0xDE, 0xAD, 0x01}});
    add({"octet string of 200", kObjOctetstringValue, kPropPresentValue, -1,
         [](PropertyValue &v) {
             std::memset(&v, 0, sizeof v);
             v.datatype = kDtOctetString;
             v.length = 200;
             auto *b = static_cast<uint8_t *>(appCalloc(200));
             for (int i = 0; i < 200; ++i) b[i] = static_cast<uint8_t>(i);
             v.value.block = b;
             v.ownsValue = 1;
         }});
    add({"object name", kObjAnalogInput, kPropObjectName, -1,
         [](PropertyValue &v) { charString(v, "Total Real Power (kW)"); }});
    add({"character set 1", kObjAnalogInput, kPropDescription, -1,
         [](PropertyValue &v) { charString(v, "abc", kCharSetDbcs); },
         {0x75, 0x06, 0x01, 0x03, 0x52, 'a', 'b', 'c'}});
    add({"64-character description", kObjAnalogInput, kPropDescription, -1,
         [](PropertyValue &v) { charString(v, std::string(64, 'd')); }});
    add({"state text (string array)", kObjMultiStateValue, kPropStateText, -1,
         [](PropertyValue &v) {
             std::memset(&v, 0, sizeof v);
             v.datatype = kDtCharString;
             v.count = 3;
             v.value.block = packedStrings({"Off", "", "On"});
             v.ownsValue = 1;
         },
         {0x74, 0x00, 'O', 'f', 'f', 0x71, 0x00, 0x73, 0x00, 'O', 'n'}});
    add({"status flags", kObjAnalogInput, kPropStatusFlags, -1,
         [](PropertyValue &v) {
             v.datatype = kDtBitString;
             v.length = 4;
             v.value.octets[0] = 0x50;
         },
         {0x82, 0x04, 0x50}});
    add({"bit string of 10 bits", kObjBitstringValue, kPropPresentValue, -1,
         [](PropertyValue &v) {
             v.datatype = kDtBitString;
             v.length = 10;
             v.value.octets[0] = 0xFF;
             v.value.octets[1] = 0xC0;
         },
         {0x83, 0x06, 0xFF, 0xC0}});
    add({"bit string of 80 bits", kObjBitstringValue, kPropPresentValue, -1,
         [](PropertyValue &v) {
             v.datatype = kDtBitString;
             v.length = 80;
             auto *b = nested<uint8_t>(10);
             for (int i = 0; i < 10; ++i) b[i] = static_cast<uint8_t>(0x11 * i);
             v.value.block = b;
             v.ownsValue = 1;
         },
         {0x85, 0x0B, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99}});
    add({"enumerated", kObjBinaryInput, kPropPresentValue, -1,
         [](PropertyValue &v) { v.datatype = kDtEnumerated; v.value.u = 1; }, {0x91, 0x01}});
    add({"binary priority array", kObjBinaryOutput, kPropPriorityArray, -1,
         [](PropertyValue &v) {
             auto *b = block<uint32_t>(v, kDtEnumerated, 16);
             for (int i = 0; i < 16; ++i) b[i] = kAbsent;
             b[0] = 1;
         },
         {}, true});
    add({"date", kObjDateValue, kPropPresentValue, -1,
         [](PropertyValue &v) { v.datatype = kDtDate; v.value.date = date(124, 3, 15, 5); },
         {0xA4, 0x7C, 0x03, 0x0F, 0x05}});
    add({"time", kObjTimeValue, kPropPresentValue, -1,
         [](PropertyValue &v) { v.datatype = kDtTime; v.value.time = tm(23, 59, 59, 99); },
         {0xB4, 0x17, 0x3B, 0x3B, 0x63}});
    add({"object identifier", kObjDevice, kPropObjectIdentifier, -1,
         [](PropertyValue &v) { v.datatype = kDtObjectId; v.value.u = oid(kObjDevice, 123); },
         {0xC4, 0x02, 0x00, 0x00, 0x7B}});
    add({"schedule present value (any)", kObjSchedule, kPropPresentValue, -1,
         [](PropertyValue &v) {
             auto *b = block<PropertyValue>(v, kDtAny, 1);
             b[0].datatype = kDtReal;
             b[0].value.f = 21.5f;
         },
         {0x44, 0x41, 0xAC, 0x00, 0x00}});
    add({"integer value priority array (any)", kObjIntegerValue, kPropPriorityArray, -1,
         [](PropertyValue &v) {
             auto *b = block<PropertyValue>(v, kDtAny, 16);
             for (int i = 0; i < 16; ++i) b[i].datatype = kDtNull;
             b[3].datatype = kDtSigned;
             b[3].value.i = -5;
             b[9].datatype = kDtBoolean;
             b[9].value.u = 1;
         }});
    add({"datetime value priority array (any)", kObjDatetimeValue, kPropPriorityArray, -1,
         [](PropertyValue &v) {
             auto *b = block<PropertyValue>(v, kDtAny, 2);
             b[0].datatype = kDtNull;
             b[1].datatype = kDtDateTime;
             b[1].value.dateTime = {date(124, 1, 2, 2), tm(3, 4, 5, 6)};
         },
         {0x00, 0x1E, 0xA4, 0x7C, 0x01, 0x02, 0x02, 0xB4, 0x03, 0x04, 0x05, 0x06, 0x1F}});
    add({"object list of 3", kObjDevice, kPropObjectList, -1,
         [](PropertyValue &v) {
             auto *b = block<uint32_t>(v, kDtObjectIdList, 3);
             b[0] = oid(kObjDevice, 1);
             b[1] = oid(kObjAnalogInput, 0);
             b[2] = oid(kObjAnalogValue, 7);
         },
         {0xC4, 0x02, 0x00, 0x00, 0x01, 0xC4, 0x00, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x80, 0x00, 0x07}, true});
    add({"device address binding", kObjDevice, kPropDeviceAddressBinding, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAddressBinding>(v, kDtAddressBinding, 2);
             b[0] = {oid(kObjDevice, 5), 0, 6, {192, 168, 1, 9, 0xBA, 0xC0}};
             b[1] = {oid(kObjDevice, 0x3FFFFF), 7, 1, {0x7F}};
         },
         {}, true});
    add({"recipient (scalar)", kObjAnalogInput, kPropRecipient, -1,
         [](PropertyValue &v) { block<BACnetRecipient>(v, kDtRecipient, 1)[0] = deviceRecipient(123); },
         {0x0C, 0x02, 0x00, 0x00, 0x7B}, true});
    add({"recipients", kObjDevice, kPropTimeSynchronizationRecipients, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetRecipient>(v, kDtRecipient, 3);
             b[0] = deviceRecipient(5);
             b[1] = addressRecipient(0, {10, 0, 0, 1, 0xBA, 0xC0});
             b[2] = addressRecipient(0xFFFF, {});
         },
         {}, true});
    add({"calendar date list", kObjCalendar, kPropDateList, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetCalendarEntry>(v, kDtCalendarEntry, 3);
             b[0].choice = kCalendarEntryDate;
             b[0].date = date(124, 12, 25, 255);
             b[1].choice = kCalendarEntryDateRange;
             b[1].date = date(124, 7, 1, 255);
             b[1].endDate = date(124, 8, 31, 255);
             b[2].choice = kCalendarEntryWeekNDay;
             b[2].weekNDay[0] = 255;
             b[2].weekNDay[1] = 1;
             b[2].weekNDay[2] = 7;
         },
         {0x0C, 0x7C, 0x0C, 0x19, 0xFF, 0x1E, 0xA4, 0x7C, 0x07, 0x01, 0xFF, 0xA4, 0x7C, 0x08, 0x1F, 0xFF, 0x1F,
          0x2B, 0xFF, 0x01, 0x07},
         true});
    add({"object property reference", kObjAnalogInput, kPropControlledVariableReference, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetObjectPropertyReference>(v, kDtObjectPropertyReference, 1);
             b[0] = {oid(kObjAnalogInput, 3), kPropPresentValue, kNoIndex, 1};
         },
         {0x0C, 0x00, 0x00, 0x00, 0x03, 0x19, 0x55}, true});
    add({"vt sessions", kObjDevice, kPropActiveVtSessions, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetVTSession>(v, kDtVTSession, 1);
             b[0] = {1, 2, 3, 2, {0xAB, 0xCD}};
         },
         {0x21, 0x01, 0x21, 0x02, 0x21, 0x03, 0x62, 0xAB, 0xCD}, true});
    add({"recipient list", kObjNotificationClass, kPropRecipientList, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetDestination>(v, kDtDestination, 5);
             for (int i = 0; i < 5; ++i) {
                 b[i].validDays = 0xFE;
                 b[i].transitions = 0xE0;
                 b[i].issueConfirmed = i & 1;
                 b[i].processId = 100u + i;
                 b[i].from = tm(0, 0, 0, 0);
                 b[i].to = tm(23, 59, 59, 99);
                 b[i].recipient = i < 3 ? deviceRecipient(1000u + i) : addressRecipient(5, {1, 2, 3, 4, 5, 6});
             }
         },
         {}, true});
    add({"session keys", kObjDevice, kPropListOfSessionKeys, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetSessionKey>(v, kDtSessionKey, 1);
             b[0] = {{1, 2, 3, 4, 5, 6, 7, 8}, 9, 1, {0x42}};
         },
         {0x65, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x21, 0x09, 0x61, 0x42}, true});
    add({"read access specifications", kObjGroup, kPropListOfGroupMembers, -1,
         [](PropertyValue &v) {
             auto *b = block<ReadAccessSpecification>(v, kDtReadAccessSpecification, 2);
             b[0].objectId = oid(kObjAnalogInput, 1);
             b[0].referenceCount = 2;
             b[0].ownsList = 1;
             b[0].references = nested<BACnetPropertyReference>(2);
             b[0].references[0] = {kPropPresentValue, kNoIndex};
             b[0].references[1] = {kPropPriorityArray, 16};
             b[1].objectId = oid(kObjAnalogValue, 2);
             b[1].referenceCount = 0;
             b[1].ownsList = 0;
         }});
    add({"weekly schedule", kObjSchedule, kPropWeeklySchedule, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetDailySchedule>(v, kDtDailySchedule, 7);
             b[0].timeValueCount = 2;
             b[0].timeValues = nested<BACnetTimeValue>(2);
             b[0].timeValues[0].time = tm(8, 0, 0, 0);
             b[0].timeValues[0].value.datatype = kDtReal;
             b[0].timeValues[0].value.value.f = 21.0f;
             b[0].timeValues[1].time = tm(18, 0, 0, 0);
             b[0].timeValues[1].value.datatype = kDtNull;
             b[3].timeValueCount = 1;
             b[3].timeValues = nested<BACnetTimeValue>(1);
             b[3].timeValues[0].time = tm(12, 30, 0, 0);
             charString(b[3].timeValues[0].value, "noon");
         }});
    add({"exception schedule", kObjSchedule, kPropExceptionSchedule, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetSpecialEvent>(v, kDtSpecialEvent, 2);
             b[0].periodChoice = kSpecialEventCalendarEntry;
             b[0].calendarEntry.choice = kCalendarEntryDate;
             b[0].calendarEntry.date = date(124, 12, 24, 2);
             b[0].calendarId = kAbsent;
             b[0].priority = 16;
             b[0].timeValueCount = 1;
             b[0].timeValues = nested<BACnetTimeValue>(1);
             b[0].timeValues[0].time = tm(0, 0, 0, 0);
             b[0].timeValues[0].value.datatype = kDtEnumerated;
             b[0].timeValues[0].value.value.u = 1;
             b[1].periodChoice = kSpecialEventCalendarReference;
             b[1].calendarId = oid(kObjCalendar, 1);
             b[1].priority = 1;
         }});
    add({"device object reference", kObjAnalogInput, kPropAccessEventCredential, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetDeviceObjectReference>(v, kDtDeviceObjectReference, 1);
             b[0] = {oid(kObjDevice, 9), oid(kObjAnalogInput, 1)};
         },
         
         {0x0C, 0x02, 0x00, 0x00, 0x09, 0x1C, 0x00, 0x00, 0x00, 0x01}, true});
    add({"device object references", kObjAnalogInput, kPropMemberOf, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetDeviceObjectReference>(v, kDtDeviceObjectReference, 2);
             b[0] = {kAbsent, oid(kObjAnalogInput, 1)};
             b[1] = {oid(kObjDevice, 2), oid(kObjAnalogOutput, 1)};
         },
         {}, true});
    add({"object property references", kObjSchedule, kPropListOfObjectPropertyReferences, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetDeviceObjectPropertyReference>(v, kDtDeviceObjectPropertyReference, 2);
             b[0] = dopr(oid(kObjAnalogInput, 1), kPropPresentValue, kNoIndex, kAbsent);
             b[1] = dopr(oid(kObjAnalogOutput, 2), kPropPriorityArray, 8, oid(kObjDevice, 77));
         },
         {}, true});
    add({"log device object property", kObjTrendLog, kPropLogDeviceObjectProperty, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetDeviceObjectPropertyReference>(v, kDtDeviceObjectPropertyReference, 1);
             b[0] = dopr(oid(kObjAnalogInput, 1), kPropPresentValue, kNoIndex, kAbsent);
         },
         {0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55}, true});
    add({"effective period", kObjSchedule, kPropEffectivePeriod, -1,
         [](PropertyValue &v) {
             v.datatype = kDtDateRange;
             v.value.dateRange = {date(124, 1, 1, 255), date(255, 255, 255, 255)};
         },
         {0xA4, 0x7C, 0x01, 0x01, 0xFF, 0xA4, 0xFF, 0xFF, 0xFF, 0xFF}});
    add({"date time", kObjAnalogInput, kPropChangeOfStateTime, -1,
         [](PropertyValue &v) {
             v.datatype = kDtDateTime;
             v.value.dateTime = {date(124, 2, 29, 4), tm(12, 0, 0, 0)};
         },
         {0xA4, 0x7C, 0x02, 0x1D, 0x04, 0xB4, 0x0C, 0x00, 0x00, 0x00}});
    add({"event time stamps", kObjAnalogInput, kPropEventTimeStamps, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetTimeStamp>(v, kDtTimeStamp, 3);
             b[0].choice = kTimeStampDateTime;
             b[0].date = date(124, 5, 6, 1);
             b[0].time = tm(7, 8, 9, 10);
             b[1].choice = kTimeStampSequenceNumber;
             b[1].sequenceNumber = 300;
             b[2].choice = kTimeStampTime;
             b[2].time = tm(1, 2, 3, 4);
             std::memset(&b[2].date, 0xFF, 4);
         },
         {0x2E, 0xA4, 0x7C, 0x05, 0x06, 0x01, 0xB4, 0x07, 0x08, 0x09, 0x0A, 0x2F, 0x1A, 0x01, 0x2C, 0x0C, 0x01,
          0x02, 0x03, 0x04},
         true});
    add({"time stamp (scalar)", kObjAnalogInput, kPropLastRestoreTime, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetTimeStamp>(v, kDtTimeStamp, 1);
             b[0].choice = kTimeStampSequenceNumber;
             b[0].sequenceNumber = 7;
         },
         {0x19, 0x07}, true});
    add({"setpoint reference", kObjLoop, kPropSetpointReference, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetObjectPropertyReference>(v, kDtSetpointReference, 1);
             b[0] = {oid(kObjAnalogValue, 4), kPropPresentValue, kNoIndex, 1};
         },
         {0x0E, 0x0C, 0x00, 0x80, 0x00, 0x04, 0x19, 0x55, 0x0F}, true});
    add({"command action lists", kObjCommand, kPropAction, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetActionList>(v, kDtActionList, 2);
             b[0].commandCount = 2;
             b[0].ownsList = 1;
             b[0].commands = nested<BACnetActionCommand>(2);
             b[0].commands[0] = {kAbsent, oid(kObjAnalogOutput, 1), kPropPresentValue, kNoIndex, {}, 8, 0, 0,
                                 kAbsent};
             b[0].commands[0].value.datatype = kDtReal;
             b[0].commands[0].value.value.f = 1.0f;
             b[0].commands[1] = {
                 oid(kObjDevice, 2), oid(kObjMultiStateValue, 1), kPropPresentValue, 3, {}, 0, 1, 1, 500};
             charString(b[0].commands[1].value, "x");
             b[1].commandCount = 0;
         },
         {0x0E, 0x1C, 0x00, 0x40, 0x00, 0x01, 0x29, 0x55, 0x4E, 0x44, 0x3F, 0x80, 0x00, 0x00, 0x4F, 0x59, 0x08,
          0x79, 0x00, 0x89, 0x00,
          0x0C, 0x02, 0x00, 0x00, 0x02, 0x1C, 0x04, 0xC0, 0x00, 0x01, 0x29, 0x55, 0x39, 0x03, 0x4E, 0x72, 0x00,
          'x', 0x4F, 0x6A, 0x01, 0xF4, 0x79, 0x01, 0x89, 0x01, 0x0F, 0x0E, 0x0F}});
    // One action command longer than any small work area: it goes to the
    // PDU buffer whole.
    add({"action command with a 300-character value", kObjCommand, kPropAction, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetActionList>(v, kDtActionList, 1);
             b[0].commandCount = 1;
             b[0].ownsList = 1;
             b[0].commands = nested<BACnetActionCommand>(1);
             b[0].commands[0] = {
                 kAbsent, oid(kObjCharacterstringValue, 1), kPropPresentValue, kNoIndex, {}, 0, 0, 0, kAbsent};
             charString(b[0].commands[0].value, std::string(300, 'w'));
         }});
    add({"event parameters: out of range", kObjEventEnrollment, kPropEventParameters, -1,
         [](PropertyValue &v) {
             auto *e = block<BACnetEventParameter>(v, kDtEventParameter, 0);
             e->choice = kEventOutOfRange;
             e->timeDelay = 10;
             e->realLow = 1.0f;
             e->realHigh = 2.0f;
             e->realDeadband = 0.5f;
         },
         {0x5E, 0x09, 0x0A, 0x1C, 0x3F, 0x80, 0x00, 0x00, 0x2C, 0x40, 0x00, 0x00, 0x00, 0x3C, 0x3F, 0x00, 0x00,
          0x00, 0x5F}});
    add({"group present value", kObjGroup, kPropPresentValue, -1,
         [](PropertyValue &v) {
             auto *b = block<ReadAccessResult>(v, kDtReadAccessResult, 1);
             b[0].objectId = oid(kObjAnalogInput, 1);
             b[0].resultCount = 2;
             b[0].ownsResults = 1;
             b[0].results = nested<BACnetReadResult>(2);
             b[0].results[0].propertyId = kPropPresentValue;
             b[0].results[0].arrayIndex = kNoIndex;
             b[0].results[0].value.datatype = kDtReal;
             b[0].results[0].value.value.f = 3.5f;
             b[0].results[1].propertyId = kPropDescription;
             b[0].results[1].arrayIndex = kNoIndex;
             b[0].results[1].value.datatype = kDtUnknown;
             b[0].results[1].value.value.u = errMake(kErrorClassProperty, kErrorCodeUnknownProperty);
         }});
    add({"active cov subscriptions", kObjDevice, kPropActiveCovSubscriptions, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetCOVSubscription>(v, kDtCOVSubscription, 2);
             b[0].recipient = deviceRecipient(9);
             b[0].processId = 1;
             b[0].objectId = oid(kObjAnalogInput, 3);
             b[0].propertyId = kPropPresentValue;
             b[0].arrayIndex = kNoIndex;
             b[0].issueConfirmed = 1;
             b[0].timeRemaining = 300;
             b[1].recipient = addressRecipient(2, {0x05});
             b[1].processId = 2;
             b[1].objectId = oid(kObjAnalogInput, 4);
             b[1].propertyId = kPropPresentValue;
             b[1].arrayIndex = kNoIndex;
             b[1].hasCovIncrement = 1;
             b[1].covIncrement = 0.25f;
         },
         {}, true});
    add({"trend log buffer", kObjTrendLog, kPropLogBuffer, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetLogRecord>(v, kDtLogRecord, 4);
             for (int i = 0; i < 4; ++i) {
                 b[i].date = date(124, 1, 1, 1);
                 b[i].time = tm(0, 0, i, 0);
                 b[i].statusFlags = 255;
             }
             b[0].datumChoice = kLogDatumReal;
             b[0].datum.datatype = kDtReal;
             b[0].datum.value.f = 1.5f;
             b[1].datumChoice = kLogDatumSigned;
             b[1].datum.datatype = kDtSigned;
             b[1].datum.value.i = 200;  // must stay +200, not -56
             b[1].statusFlags = 0x40;
             b[2].datumChoice = kLogDatumFailure;
             b[2].datum.datatype = kDtUnknown;
             b[2].datum.value.u = kErrorOutOfMemory;
             b[3].datumChoice = kLogDatumBoolean;
             b[3].datum.datatype = kDtBoolean;
             b[3].datum.value.u = 1;
         }});
    add({"accumulator record", kObjAccumulator, kPropLoggingRecord, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAccumulatorRecord>(v, kDtAccumulatorRecord, 1);
             b[0] = {date(124, 1, 2, 3), tm(4, 5, 6, 7), 100, 2000, 1};
         },
         {}, true});
    add({"scale", kObjPulseConverter, kPropScale, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetScale>(v, kDtScale, 1);
             b[0].choice = kDtSigned;
             b[0].integerScale = -1000;
         },
         {0x1A, 0xFC, 0x18}, true});
    add({"prescale", kObjAccumulator, kPropPrescale, -1,
         [](PropertyValue &v) {
             block<BACnetPrescale>(v, kDtPrescale, 1)[0] = {10, 1000};
         },
         {0x09, 0x0A, 0x1A, 0x03, 0xE8},
         true});
    add({"shed level", kObjLoadControl, kPropActualShedLevel, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetShedLevel>(v, kDtShedLevel, 1);
             b[0].choice = kShedLevelPercent;
             b[0].value = 200;
         },
         {0x09, 0xC8}, true});
    add({"event log buffer", kObjEventLog, kPropLogBuffer, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetEventLogRecord>(v, kDtEventLogRecord, 2);
             b[0].date = date(124, 1, 1, 1);
             b[0].time = tm(1, 1, 1, 1);
             b[0].choice = kEventLogDatumLogStatus;
             b[0].statusBits = 0x40;
             b[1].date = date(124, 1, 1, 1);
             b[1].time = tm(1, 1, 1, 2);
             b[1].choice = kEventLogDatumTimeChange;
             b[1].timeChange = -3.5f;
         },
         {}, true});
    add({"trend log multiple buffer", kObjTrendLogMultiple, kPropLogBuffer, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetLogMultipleRecord>(v, kDtLogMultipleRecord, 2);
             b[0].date = date(124, 1, 1, 1);
             b[0].time = tm(2, 2, 2, 2);
             b[0].choice = kLogDataLogData;
             b[0].entryCount = 8;
             b[0].ownsEntries = 1;
             b[0].entries = nested<BACnetLogMultipleEntry>(8);
             // One entry of every choice, each at the position of its choice.
             for (uint8_t i = kLogEntryBoolean; i <= kLogEntryFailure; ++i) b[0].entries[i].choice = i;
             b[0].entries[kLogEntryBoolean].datum = 1;
             float f = 2.5f;
             std::memcpy(&b[0].entries[kLogEntryReal].datum, &f, 4);
             b[0].entries[kLogEntryEnumerated].datum = 3;
             b[0].entries[kLogEntryUnsigned].datum = 70000;
             b[0].entries[kLogEntrySigned].datum = static_cast<uint32_t>(-200);
             b[0].entries[kLogEntryBitString].bitCount = 12;
             b[0].entries[kLogEntryBitString].datum = 0xABC00000;
             b[0].entries[kLogEntryFailure].datum = errMake(kErrorClassProperty, kErrorCodeUnknownProperty);
             b[1].date = date(124, 1, 1, 1);
             b[1].time = tm(2, 2, 2, 3);
             b[1].choice = kLogDataLogStatus;
             b[1].statusBits = 0x80;
         }});
    add({"authentication policy", kObjAccessCredential, kPropAuthenticationPolicyList, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAuthenticationPolicy>(v, kDtAuthenticationPolicy, 1);
             b[0].orderEnforced = 1;
             b[0].timeout = 30;
             b[0].entryCount = 2;
             b[0].ownsList = 1;
             b[0].entries = nested<BACnetAuthenticationPolicyEntry>(2);
             b[0].entries[0] = {kAbsent, oid(kObjCredentialDataInput, 1), 0};
             b[0].entries[1] = {oid(kObjDevice, 3), oid(kObjCredentialDataInput, 2), 1};
         }});
    add({"access rules", kObjAccessUser, kPropNegativeAccessRules, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAccessRule>(v, kDtAccessRule, 2);
             // Field by field: the records are compared octet by octet,
             // padding included.
             b[0].timeRange = dopr(kAbsent, kAbsent, kNoIndex, kAbsent);
             b[0].locationDeviceId = kAbsent;
             b[0].locationObjectId = kAbsent;
             b[0].enable = 1;
             b[1].timeRangeSpecifier = 1;
             b[1].timeRange = dopr(oid(kObjAnalogInput, 1), kPropPresentValue, kNoIndex, kAbsent);
             b[1].locationSpecifier = 1;
             b[1].locationDeviceId = oid(kObjDevice, 1);
             b[1].locationObjectId = oid(kObjAccessDoor, 2);
         },
         {}, true});
    add({"assigned access rights", kObjAccessCredential, kPropAssignedAccessRights, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAssignedAccessRights>(v, kDtAssignedAccessRights, 1);
             b[0].deviceId = kAbsent;
             b[0].objectId = oid(kObjAccessRights, 1);
             b[0].enable = 1;
         },
         {0x0E, 0x1C, 0x08, 0x80, 0x00, 0x01, 0x0F, 0x19, 0x01}, true});
    add({"credential data input present value", kObjCredentialDataInput, kPropPresentValue, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAuthenticationFactor>(v, kDtAuthenticationFactor, 1);
             b[0].formatType = 1;
             b[0].formatClass = 2;
             b[0].value.datatype = kDtOctetString;
             b[0].value.length = 2;
             b[0].value.ownsValue = 1;
             auto *o = nested<uint8_t>(2);
             o[0] = 0xCA;
             o[1] = 0xFE;
             b[0].value.value.block = o;
         },
         {0x09, 0x01, 0x19, 0x02, 0x2A, 0xCA, 0xFE}});
    add({"supported formats", kObjCredentialDataInput, kPropSupportedFormats, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAuthenticationFactorFormat>(v, kDtAuthenticationFactorFormat, 2);
             b[0] = {1, kAbsent, kAbsent};
             b[1] = {2, 999, 3};
         },
         {}, true});
    add({"authentication factors", kObjAccessCredential, kPropAuthenticationFactors, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetCredentialAuthenticationFactor>(v, kDtCredentialAuthenticationFactor, 1);
             b[0].disable = 0;
             b[0].formatType = 1;
             b[0].formatClass = 2;
             b[0].value.datatype = kDtOctetString;
             b[0].value.length = 1;
             b[0].value.ownsValue = 1;
             auto *o = nested<uint8_t>(1);
             o[0] = 0x77;
             b[0].value.value.block = o;
         }});
    add({"global group present value", kObjGlobalGroup, kPropPresentValue, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetPropertyAccessResult>(v, kDtPropertyAccessResult, 2);
             b[0] = {oid(kObjAnalogInput, 1), kPropPresentValue, kNoIndex, kAbsent, {}};
             b[0].value.datatype = kDtReal;
             b[0].value.value.f = 7.0f;
             b[1] = {oid(kObjAnalogInput, 2), kPropPresentValue, kNoIndex, oid(kObjDevice, 4), {}};
             b[1].value.datatype = kDtUnknown;
             b[1].value.value.u = errMake(kErrorClassObject, kErrorCodeUnknownObject);
         }});
    add({"network access security policies", kObjNetworkPort, kPropNetworkAccessSecurityPolicies, -1,
         [](PropertyValue &v) {
             block<BACnetNetworkSecurityPolicy>(v, kDtNetworkSecurityPolicy, 1)[0] = {1, 3};
         },
         
         {0x09, 0x01, 0x19, 0x03}, true});
    add({"key sets", kObjNetworkPort, kPropKeySets, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetSecurityKeySet>(v, kDtSecurityKeySet, 1);
             b[0].keyRevision = 2;
             b[0].activationDate = date(124, 1, 1, 1);
             b[0].activationTime = tm(0, 0, 0, 0);
             b[0].expirationDate = date(125, 1, 1, 3);
             b[0].expirationTime = tm(0, 0, 0, 0);
             b[0].keyCount = 2;
             b[0].ownsKeys = 1;
             b[0].keys = nested<BACnetKeyIdentifier>(2);
             b[0].keys[0] = {1, 2};
             b[0].keys[1] = {3, 4};
         }});
    add({"fault parameters: status flags", kObjAnalogInput, kPropFaultParameters, -1,
         [](PropertyValue &v) {
             auto *f = block<BACnetFaultParameter>(v, kDtFaultParameter, 0);
             f->choice = kFaultStatusFlags;
             f->reference = dopr(oid(kObjAnalogInput, 1), kPropStatusFlags, kNoIndex, kAbsent);
         },
         {0x5E, 0x0E, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x6F, 0x0F, 0x5F}});
    add({"process identifier filter", kObjNotificationClass, kPropProcessIdentifierFilter, -1,
         [](PropertyValue &v) {
             v.datatype = kDtProcessIdSelection;
             v.value.processIdSelection = {kDtUnsigned, 77};
         },
         {0x21, 0x4D}});
    add({"event notification subscriptions", kObjNotificationClass, kPropSubscribedRecipients, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetEventNotificationSubscription>(v, kDtEventNotificationSubscription, 1);
             b[0].recipient = addressRecipient(1, {1, 2, 3, 4, 5, 6, 7, 8});
             b[0].processId = 3;
             b[0].timeRemaining = 60;
             b[0].issueConfirmed = 1;
         },
         {}, true});
    add({"port filter", kObjNetworkPort, kPropPortFilter, -1,
         [](PropertyValue &v) {
             block<BACnetPortPermission>(v, kDtPortPermission, 1)[0] = {1, 1};
         },
         {0x09, 0x01, 0x19, 0x01},
         true});
    add({"lighting command", kObjLightingOutput, kPropLightingCommand, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetLightingCommand>(v, kDtLightingCommand, 1);
             b[0].operation = 1;
             b[0].hasTargetLevel = 1;
             b[0].targetLevel = 50.0f;
             b[0].hasPriority = 1;
             b[0].priority = 8;
         },
         {0x09, 0x01, 0x1C, 0x42, 0x48, 0x00, 0x00, 0x59, 0x08}, true});
    add({"channel present value", kObjChannel, kPropPresentValue, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetChannelValue>(v, kDtChannelValue, 1);
             b[0].datatype = kDtUnsigned;
             b[0].value.u = 42;
         },
         {0x21, 0x2A}, true});
    return c;
}

}  // namespace codec_test
