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
    r.choice = 0;
    r.device = oid(8, instance);
    return r;
}

inline BACnetRecipient addressRecipient(uint16_t net, std::initializer_list<uint8_t> mac) {
    BACnetRecipient r{};
    r.choice = 1;
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
    add({"boolean", 0, 81, -1, [](PropertyValue &v) { v.datatype = 1; v.value.u = 1; }, {0x11}});
    add({"boolean list", 0, 169, -1,
         [](PropertyValue &v) {
             auto *b = block<uint8_t>(v, 1, 3);
             b[0] = 1;
             b[2] = 1;
         },
         {0x11, 0x10, 0x11}, true});
    add({"unsigned 0", 8, 62, -1, [](PropertyValue &v) { primitiveUnsigned(v, 0); }, {0x21, 0x00}});
    add({"unsigned max", 8, 62, -1, [](PropertyValue &v) { primitiveUnsigned(v, 0xFFFFFFFF); },
         {0x24, 0xFF, 0xFF, 0xFF, 0xFF}});
    add({"priority (unsigned array)", 15, 86, -1,
         [](PropertyValue &v) {
             auto *b = block<uint32_t>(v, 2, 3);
             b[0] = 1;
             b[1] = 128;
             b[2] = 255;
         },
         {0x21, 0x01, 0x21, 0x80, 0x21, 0xFF}, true});
    add({"multi-state priority array with NULLs", 19, 87, -1,
         [](PropertyValue &v) {
             auto *b = block<uint32_t>(v, 2, 16);
             for (int i = 0; i < 16; ++i) b[i] = kAbsent;
             b[7] = 3;
         },
         {}, true});
    add({"signed", 45, 85, -1, [](PropertyValue &v) { v.datatype = 3; v.value.i = -129; }, {0x32, 0xFF, 0x7F}});
    add({"real", 2, 85, -1, [](PropertyValue &v) { v.datatype = 4; v.value.f = 20.0f; },
         {0x44, 0x41, 0xA0, 0x00, 0x00}});
    add({"real NaN", 0, 85, -1, [](PropertyValue &v) { v.datatype = 4; v.value.u = 0x7FC00000; },
         {0x44, 0x7F, 0xC0, 0x00, 0x00}});
    add({"analog output priority array", 1, 87, -1,
         [](PropertyValue &v) {
             auto *b = block<uint32_t>(v, 4, 16);
             for (int i = 0; i < 15; ++i) b[i] = 0xFFFFFFFF;
             float f = 20.0f;
             std::memcpy(&b[15], &f, 4);
         },
         {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
          0x44, 0x41, 0xA0, 0x00, 0x00},
         true});
    add({"double -inf", 46, 85, -1, [](PropertyValue &v) { v.datatype = 5; v.value.d = -INFINITY; },
         {0x55, 0x08, 0xFF, 0xF0, 0, 0, 0, 0, 0, 0}});
    add({"octet string", 47, 85, -1,
         [](PropertyValue &v) {
             v.datatype = 6;
             v.length = 3;
             auto *b = nested<uint8_t>(3);
             b[0] = 0xDE;
             b[1] = 0xAD;
             b[2] = 0x01;
             v.value.block = b;
             v.ownsValue = 1;
         },
         {0x63, 0xDE, 0xAD, 0x01}});
    add({"octet string of 200", 47, 85, -1,
         [](PropertyValue &v) {
             std::memset(&v, 0, sizeof v);
             v.datatype = 6;
             v.length = 200;
             auto *b = static_cast<uint8_t *>(appCalloc(200));
             for (int i = 0; i < 200; ++i) b[i] = static_cast<uint8_t>(i);
             v.value.block = b;
             v.ownsValue = 1;
         }});
    add({"object name", 0, 77, -1, [](PropertyValue &v) { charString(v, "Total Real Power (kW)"); }});
    add({"character set 1", 0, 28, -1, [](PropertyValue &v) { charString(v, "abc", 1); },
         {0x75, 0x06, 0x01, 0x03, 0x52, 'a', 'b', 'c'}});
    add({"64-character description", 0, 28, -1, [](PropertyValue &v) { charString(v, std::string(64, 'd')); }});
    add({"state text (string array)", 19, 110, -1,
         [](PropertyValue &v) {
             std::memset(&v, 0, sizeof v);
             v.datatype = 7;
             v.count = 3;
             v.value.block = packedStrings({"Off", "", "On"});
             v.ownsValue = 1;
         },
         {0x74, 0x00, 'O', 'f', 'f', 0x71, 0x00, 0x73, 0x00, 'O', 'n'}});
    add({"status flags", 0, 111, -1,
         [](PropertyValue &v) {
             v.datatype = 8;
             v.length = 4;
             v.value.octets[0] = 0x50;
         },
         {0x82, 0x04, 0x50}});
    add({"bit string of 10 bits", 39, 85, -1,
         [](PropertyValue &v) {
             v.datatype = 8;
             v.length = 10;
             v.value.octets[0] = 0xFF;
             v.value.octets[1] = 0xC0;
         },
         {0x83, 0x06, 0xFF, 0xC0}});
    add({"bit string of 80 bits", 39, 85, -1,
         [](PropertyValue &v) {
             v.datatype = 8;
             v.length = 80;
             auto *b = nested<uint8_t>(10);
             for (int i = 0; i < 10; ++i) b[i] = static_cast<uint8_t>(0x11 * i);
             v.value.block = b;
             v.ownsValue = 1;
         },
         {0x85, 0x0B, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99}});
    add({"enumerated", 3, 85, -1, [](PropertyValue &v) { v.datatype = 9; v.value.u = 1; }, {0x91, 0x01}});
    add({"binary priority array", 4, 87, -1,
         [](PropertyValue &v) {
             auto *b = block<uint32_t>(v, 9, 16);
             for (int i = 0; i < 16; ++i) b[i] = kAbsent;
             b[0] = 1;
         },
         {}, true});
    add({"date", 42, 85, -1, [](PropertyValue &v) { v.datatype = 10; v.value.date = date(124, 3, 15, 5); },
         {0xA4, 0x7C, 0x03, 0x0F, 0x05}});
    add({"time", 50, 85, -1, [](PropertyValue &v) { v.datatype = 11; v.value.time = tm(23, 59, 59, 99); },
         {0xB4, 0x17, 0x3B, 0x3B, 0x63}});
    add({"object identifier", 8, 75, -1, [](PropertyValue &v) { v.datatype = 12; v.value.u = oid(8, 123); },
         {0xC4, 0x02, 0x00, 0x00, 0x7B}});
    add({"schedule present value (any)", 17, 85, -1,
         [](PropertyValue &v) {
             auto *b = block<PropertyValue>(v, 15, 1);
             b[0].datatype = 4;
             b[0].value.f = 21.5f;
         },
         {0x44, 0x41, 0xAC, 0x00, 0x00}});
    add({"integer value priority array (any)", 45, 87, -1,
         [](PropertyValue &v) {
             auto *b = block<PropertyValue>(v, 15, 16);
             for (int i = 0; i < 16; ++i) b[i].datatype = 0;
             b[3].datatype = 3;
             b[3].value.i = -5;
             b[9].datatype = 1;
             b[9].value.u = 1;
         }});
    add({"datetime value priority array (any)", 44, 87, -1,
         [](PropertyValue &v) {
             auto *b = block<PropertyValue>(v, 15, 2);
             b[0].datatype = 0;
             b[1].datatype = 31;
             b[1].value.dateTime = {date(124, 1, 2, 2), tm(3, 4, 5, 6)};
         },
         {0x00, 0x1E, 0xA4, 0x7C, 0x01, 0x02, 0x02, 0xB4, 0x03, 0x04, 0x05, 0x06, 0x1F}});
    add({"object list of 3", 8, 76, -1,
         [](PropertyValue &v) {
             auto *b = block<uint32_t>(v, 16, 3);
             b[0] = oid(8, 1);
             b[1] = oid(0, 0);
             b[2] = oid(2, 7);
         },
         {0xC4, 0x02, 0x00, 0x00, 0x01, 0xC4, 0x00, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x80, 0x00, 0x07}, true});
    add({"device address binding", 8, 30, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAddressBinding>(v, 18, 2);
             b[0] = {oid(8, 5), 0, 6, {192, 168, 1, 9, 0xBA, 0xC0}};
             b[1] = {oid(8, 0x3FFFFF), 7, 1, {0x7F}};
         },
         {}, true});
    add({"recipient (scalar)", 0, 101, -1,
         [](PropertyValue &v) { block<BACnetRecipient>(v, 19, 1)[0] = deviceRecipient(123); },
         {0x0C, 0x02, 0x00, 0x00, 0x7B}, true});
    add({"recipients", 8, 116, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetRecipient>(v, 19, 3);
             b[0] = deviceRecipient(5);
             b[1] = addressRecipient(0, {10, 0, 0, 1, 0xBA, 0xC0});
             b[2] = addressRecipient(0xFFFF, {});
         },
         {}, true});
    add({"calendar date list", 6, 23, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetCalendarEntry>(v, 20, 3);
             b[0].choice = 0;
             b[0].date = date(124, 12, 25, 255);
             b[1].choice = 1;
             b[1].date = date(124, 7, 1, 255);
             b[1].endDate = date(124, 8, 31, 255);
             b[2].choice = 2;
             b[2].weekNDay[0] = 255;
             b[2].weekNDay[1] = 1;
             b[2].weekNDay[2] = 7;
         },
         {0x0C, 0x7C, 0x0C, 0x19, 0xFF, 0x1E, 0xA4, 0x7C, 0x07, 0x01, 0xFF, 0xA4, 0x7C, 0x08, 0x1F, 0xFF, 0x1F,
          0x2B, 0xFF, 0x01, 0x07},
         true});
    add({"object property reference", 0, 19, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetObjectPropertyReference>(v, 21, 1);
             b[0] = {oid(0, 3), 85, kNoIndex, 1};
         },
         {0x0C, 0x00, 0x00, 0x00, 0x03, 0x19, 0x55}, true});
    add({"vt sessions", 8, 5, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetVTSession>(v, 22, 1);
             b[0] = {1, 2, 3, 2, {0xAB, 0xCD}};
         },
         {0x21, 0x01, 0x21, 0x02, 0x21, 0x03, 0x62, 0xAB, 0xCD}, true});
    add({"recipient list", 15, 102, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetDestination>(v, 23, 5);
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
    add({"session keys", 8, 55, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetSessionKey>(v, 24, 1);
             b[0] = {{1, 2, 3, 4, 5, 6, 7, 8}, 9, 1, {0x42}};
         },
         {0x65, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x21, 0x09, 0x61, 0x42}, true});
    add({"read access specifications", 11, 53, -1,
         [](PropertyValue &v) {
             auto *b = block<ReadAccessSpecification>(v, 25, 2);
             b[0].objectId = oid(0, 1);
             b[0].referenceCount = 2;
             b[0].ownsList = 1;
             b[0].references = nested<BACnetPropertyReference>(2);
             b[0].references[0] = {85, kNoIndex};
             b[0].references[1] = {87, 16};
             b[1].objectId = oid(2, 2);
             b[1].referenceCount = 0;
             b[1].ownsList = 0;
         }});
    add({"weekly schedule", 17, 123, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetDailySchedule>(v, 26, 7);
             b[0].timeValueCount = 2;
             b[0].timeValues = nested<BACnetTimeValue>(2);
             b[0].timeValues[0].time = tm(8, 0, 0, 0);
             b[0].timeValues[0].value.datatype = 4;
             b[0].timeValues[0].value.value.f = 21.0f;
             b[0].timeValues[1].time = tm(18, 0, 0, 0);
             b[0].timeValues[1].value.datatype = 0;
             b[3].timeValueCount = 1;
             b[3].timeValues = nested<BACnetTimeValue>(1);
             b[3].timeValues[0].time = tm(12, 30, 0, 0);
             charString(b[3].timeValues[0].value, "noon");
         }});
    add({"exception schedule", 17, 38, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetSpecialEvent>(v, 27, 2);
             b[0].periodChoice = 0;
             b[0].calendarEntry.choice = 0;
             b[0].calendarEntry.date = date(124, 12, 24, 2);
             b[0].calendarId = kAbsent;
             b[0].priority = 16;
             b[0].timeValueCount = 1;
             b[0].timeValues = nested<BACnetTimeValue>(1);
             b[0].timeValues[0].time = tm(0, 0, 0, 0);
             b[0].timeValues[0].value.datatype = 9;
             b[0].timeValues[0].value.value.u = 1;
             b[1].periodChoice = 1;
             b[1].calendarId = oid(6, 1);
             b[1].priority = 1;
         }});
    add({"device object reference", 0, 249, -1,
         [](PropertyValue &v) { block<BACnetDeviceObjectReference>(v, 28, 1)[0] = {oid(8, 9), oid(0, 1)}; },
         {0x0C, 0x02, 0x00, 0x00, 0x09, 0x1C, 0x00, 0x00, 0x00, 0x01}, true});
    add({"device object references", 0, 159, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetDeviceObjectReference>(v, 28, 2);
             b[0] = {kAbsent, oid(0, 1)};
             b[1] = {oid(8, 2), oid(1, 1)};
         },
         {}, true});
    add({"object property references", 17, 54, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetDeviceObjectPropertyReference>(v, 29, 2);
             b[0] = dopr(oid(0, 1), 85, kNoIndex, kAbsent);
             b[1] = dopr(oid(1, 2), 87, 8, oid(8, 77));
         },
         {}, true});
    add({"log device object property", 20, 132, -1,
         [](PropertyValue &v) {
             block<BACnetDeviceObjectPropertyReference>(v, 29, 1)[0] = dopr(oid(0, 1), 85, kNoIndex, kAbsent);
         },
         {0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55}, true});
    add({"effective period", 17, 32, -1,
         [](PropertyValue &v) {
             v.datatype = 30;
             v.value.dateRange = {date(124, 1, 1, 255), date(255, 255, 255, 255)};
         },
         {0xA4, 0x7C, 0x01, 0x01, 0xFF, 0xA4, 0xFF, 0xFF, 0xFF, 0xFF}});
    add({"date time", 0, 16, -1,
         [](PropertyValue &v) {
             v.datatype = 31;
             v.value.dateTime = {date(124, 2, 29, 4), tm(12, 0, 0, 0)};
         },
         {0xA4, 0x7C, 0x02, 0x1D, 0x04, 0xB4, 0x0C, 0x00, 0x00, 0x00}});
    add({"event time stamps", 0, 130, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetTimeStamp>(v, 32, 3);
             b[0].choice = 2;
             b[0].date = date(124, 5, 6, 1);
             b[0].time = tm(7, 8, 9, 10);
             b[1].choice = 1;
             b[1].sequenceNumber = 300;
             b[2].choice = 0;
             b[2].time = tm(1, 2, 3, 4);
             std::memset(&b[2].date, 0xFF, 4);
         },
         {0x2E, 0xA4, 0x7C, 0x05, 0x06, 0x01, 0xB4, 0x07, 0x08, 0x09, 0x0A, 0x2F, 0x1A, 0x01, 0x2C, 0x0C, 0x01,
          0x02, 0x03, 0x04},
         true});
    add({"time stamp (scalar)", 0, 157, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetTimeStamp>(v, 32, 1);
             b[0].choice = 1;
             b[0].sequenceNumber = 7;
         },
         {0x19, 0x07}, true});
    add({"setpoint reference", 12, 109, -1,
         [](PropertyValue &v) {
             block<BACnetObjectPropertyReference>(v, 33, 1)[0] = {oid(2, 4), 85, kNoIndex, 1};
         },
         {0x0E, 0x0C, 0x00, 0x80, 0x00, 0x04, 0x19, 0x55, 0x0F}, true});
    add({"command action lists", 7, 2, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetActionList>(v, 34, 2);
             b[0].commandCount = 2;
             b[0].ownsList = 1;
             b[0].commands = nested<BACnetActionCommand>(2);
             b[0].commands[0] = {kAbsent, oid(1, 1), 85, kNoIndex, {}, 8, 0, 0, kAbsent};
             b[0].commands[0].value.datatype = 4;
             b[0].commands[0].value.value.f = 1.0f;
             b[0].commands[1] = {oid(8, 2), oid(19, 1), 85, 3, {}, 0, 1, 1, 500};
             charString(b[0].commands[1].value, "x");
             b[1].commandCount = 0;
         },
         {0x0E, 0x1C, 0x00, 0x40, 0x00, 0x01, 0x29, 0x55, 0x4E, 0x44, 0x3F, 0x80, 0x00, 0x00, 0x4F, 0x59, 0x08,
          0x79, 0x00, 0x89, 0x00,
          0x0C, 0x02, 0x00, 0x00, 0x02, 0x1C, 0x04, 0xC0, 0x00, 0x01, 0x29, 0x55, 0x39, 0x03, 0x4E, 0x72, 0x00,
          'x', 0x4F, 0x6A, 0x01, 0xF4, 0x79, 0x01, 0x89, 0x01, 0x0F, 0x0E, 0x0F}});
    // One action command longer than any small work area: it goes to the
    // PDU buffer whole.
    add({"action command with a 300-character value", 7, 2, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetActionList>(v, 34, 1);
             b[0].commandCount = 1;
             b[0].ownsList = 1;
             b[0].commands = nested<BACnetActionCommand>(1);
             b[0].commands[0] = {kAbsent, oid(40, 1), 85, kNoIndex, {}, 0, 0, 0, kAbsent};
             charString(b[0].commands[0].value, std::string(300, 'w'));
         }});
    add({"event parameters: out of range", 9, 83, -1,
         [](PropertyValue &v) {
             auto *e = block<BACnetEventParameter>(v, 35, 0);
             e->choice = 5;
             e->timeDelay = 10;
             e->realLow = 1.0f;
             e->realHigh = 2.0f;
             e->realDeadband = 0.5f;
         },
         {0x5E, 0x09, 0x0A, 0x1C, 0x3F, 0x80, 0x00, 0x00, 0x2C, 0x40, 0x00, 0x00, 0x00, 0x3C, 0x3F, 0x00, 0x00,
          0x00, 0x5F}});
    add({"group present value", 11, 85, -1,
         [](PropertyValue &v) {
             auto *b = block<ReadAccessResult>(v, 36, 1);
             b[0].objectId = oid(0, 1);
             b[0].resultCount = 2;
             b[0].ownsResults = 1;
             b[0].results = nested<BACnetReadResult>(2);
             b[0].results[0].propertyId = 85;
             b[0].results[0].arrayIndex = kNoIndex;
             b[0].results[0].value.datatype = 4;
             b[0].results[0].value.value.f = 3.5f;
             b[0].results[1].propertyId = 28;
             b[0].results[1].arrayIndex = kNoIndex;
             b[0].results[1].value.datatype = 255;
             b[0].results[1].value.value.u = 0x00020020;
         }});
    add({"active cov subscriptions", 8, 152, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetCOVSubscription>(v, 37, 2);
             b[0].recipient = deviceRecipient(9);
             b[0].processId = 1;
             b[0].objectId = oid(0, 3);
             b[0].propertyId = 85;
             b[0].arrayIndex = kNoIndex;
             b[0].issueConfirmed = 1;
             b[0].timeRemaining = 300;
             b[1].recipient = addressRecipient(2, {0x05});
             b[1].processId = 2;
             b[1].objectId = oid(0, 4);
             b[1].propertyId = 85;
             b[1].arrayIndex = kNoIndex;
             b[1].hasCovIncrement = 1;
             b[1].covIncrement = 0.25f;
         },
         {}, true});
    add({"trend log buffer", 20, 131, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetLogRecord>(v, 38, 4);
             for (int i = 0; i < 4; ++i) {
                 b[i].date = date(124, 1, 1, 1);
                 b[i].time = tm(0, 0, i, 0);
                 b[i].statusFlags = 255;
             }
             b[0].datumChoice = 2;
             b[0].datum.datatype = 4;
             b[0].datum.value.f = 1.5f;
             b[1].datumChoice = 5;
             b[1].datum.datatype = 3;
             b[1].datum.value.i = 200;  // must stay +200, not -56
             b[1].statusFlags = 0x40;
             b[2].datumChoice = 8;
             b[2].datum.datatype = 255;
             b[2].datum.value.u = 0x00030085;
             b[3].datumChoice = 1;
             b[3].datum.datatype = 1;
             b[3].datum.value.u = 1;
         }});
    add({"accumulator record", 23, 184, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAccumulatorRecord>(v, 41, 1);
             b[0] = {date(124, 1, 2, 3), tm(4, 5, 6, 7), 100, 2000, 1};
         },
         {}, true});
    add({"scale", 24, 187, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetScale>(v, 43, 1);
             b[0].choice = 3;
             b[0].integerScale = -1000;
         },
         {0x1A, 0xFC, 0x18}, true});
    add({"prescale", 23, 185, -1,
         [](PropertyValue &v) { block<BACnetPrescale>(v, 44, 1)[0] = {10, 1000}; }, {0x09, 0x0A, 0x1A, 0x03, 0xE8},
         true});
    add({"shed level", 28, 212, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetShedLevel>(v, 46, 1);
             b[0].choice = 0;
             b[0].value = 200;
         },
         {0x09, 0xC8}, true});
    add({"event log buffer", 25, 131, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetEventLogRecord>(v, 47, 2);
             b[0].date = date(124, 1, 1, 1);
             b[0].time = tm(1, 1, 1, 1);
             b[0].choice = 0;
             b[0].statusBits = 0x40;
             b[1].date = date(124, 1, 1, 1);
             b[1].time = tm(1, 1, 1, 2);
             b[1].choice = 2;
             b[1].timeChange = -3.5f;
         },
         {}, true});
    add({"trend log multiple buffer", 27, 131, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetLogMultipleRecord>(v, 48, 2);
             b[0].date = date(124, 1, 1, 1);
             b[0].time = tm(2, 2, 2, 2);
             b[0].choice = 1;
             b[0].entryCount = 8;
             b[0].ownsEntries = 1;
             b[0].entries = nested<BACnetLogMultipleEntry>(8);
             for (uint8_t i = 0; i < 8; ++i) b[0].entries[i].choice = i;
             b[0].entries[0].datum = 1;
             float f = 2.5f;
             std::memcpy(&b[0].entries[1].datum, &f, 4);
             b[0].entries[2].datum = 3;
             b[0].entries[3].datum = 70000;
             b[0].entries[4].datum = static_cast<uint32_t>(-200);
             b[0].entries[5].bitCount = 12;
             b[0].entries[5].datum = 0xABC00000;
             b[0].entries[7].datum = 0x00020020;
             b[1].date = date(124, 1, 1, 1);
             b[1].time = tm(2, 2, 2, 3);
             b[1].choice = 0;
             b[1].statusBits = 0x80;
         }});
    add({"authentication policy", 32, 258, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAuthenticationPolicy>(v, 49, 1);
             b[0].orderEnforced = 1;
             b[0].timeout = 30;
             b[0].entryCount = 2;
             b[0].ownsList = 1;
             b[0].entries = nested<BACnetAuthenticationPolicyEntry>(2);
             b[0].entries[0] = {kAbsent, oid(37, 1), 0};
             b[0].entries[1] = {oid(8, 3), oid(37, 2), 1};
         }});
    add({"access rules", 35, 288, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAccessRule>(v, 50, 2);
             // Field by field: the records are compared octet by octet,
             // padding included.
             b[0].timeRange = dopr(kAbsent, kAbsent, kNoIndex, kAbsent);
             b[0].locationDeviceId = kAbsent;
             b[0].locationObjectId = kAbsent;
             b[0].enable = 1;
             b[1].timeRangeSpecifier = 1;
             b[1].timeRange = dopr(oid(0, 1), 85, kNoIndex, kAbsent);
             b[1].locationSpecifier = 1;
             b[1].locationDeviceId = oid(8, 1);
             b[1].locationObjectId = oid(30, 2);
         },
         {}, true});
    add({"assigned access rights", 32, 256, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAssignedAccessRights>(v, 51, 1);
             b[0].deviceId = kAbsent;
             b[0].objectId = oid(34, 1);
             b[0].enable = 1;
         },
         {0x0E, 0x1C, 0x08, 0x80, 0x00, 0x01, 0x0F, 0x19, 0x01}, true});
    add({"credential data input present value", 37, 85, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAuthenticationFactor>(v, 52, 1);
             b[0].formatType = 1;
             b[0].formatClass = 2;
             b[0].value.datatype = 6;
             b[0].value.length = 2;
             b[0].value.ownsValue = 1;
             auto *o = nested<uint8_t>(2);
             o[0] = 0xCA;
             o[1] = 0xFE;
             b[0].value.value.block = o;
         },
         {0x09, 0x01, 0x19, 0x02, 0x2A, 0xCA, 0xFE}});
    add({"supported formats", 37, 304, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetAuthenticationFactorFormat>(v, 53, 2);
             b[0] = {1, kAbsent, kAbsent};
             b[1] = {2, 999, 3};
         },
         {}, true});
    add({"authentication factors", 32, 257, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetCredentialAuthenticationFactor>(v, 54, 1);
             b[0].disable = 0;
             b[0].formatType = 1;
             b[0].formatClass = 2;
             b[0].value.datatype = 6;
             b[0].value.length = 1;
             b[0].value.ownsValue = 1;
             auto *o = nested<uint8_t>(1);
             o[0] = 0x77;
             b[0].value.value.block = o;
         }});
    add({"global group present value", 26, 85, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetPropertyAccessResult>(v, 55, 2);
             b[0] = {oid(0, 1), 85, kNoIndex, kAbsent, {}};
             b[0].value.datatype = 4;
             b[0].value.value.f = 7.0f;
             b[1] = {oid(0, 2), 85, kNoIndex, oid(8, 4), {}};
             b[1].value.datatype = 255;
             b[1].value.value.u = 0x0001001F;
         }});
    add({"network access security policies", 56, 332, -1,
         [](PropertyValue &v) { block<BACnetNetworkSecurityPolicy>(v, 56, 1)[0] = {1, 3}; },
         {0x09, 0x01, 0x19, 0x03}, true});
    add({"key sets", 56, 330, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetSecurityKeySet>(v, 57, 1);
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
    add({"fault parameters: status flags", 0, 358, -1,
         [](PropertyValue &v) {
             auto *f = block<BACnetFaultParameter>(v, 58, 0);
             f->choice = 5;
             f->reference = dopr(oid(0, 1), 111, kNoIndex, kAbsent);
         },
         {0x5E, 0x0E, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x6F, 0x0F, 0x5F}});
    add({"process identifier filter", 15, 361, -1,
         [](PropertyValue &v) {
             v.datatype = 59;
             v.value.processIdSelection = {2, 77};
         },
         {0x21, 0x4D}});
    add({"event notification subscriptions", 15, 362, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetEventNotificationSubscription>(v, 60, 1);
             b[0].recipient = addressRecipient(1, {1, 2, 3, 4, 5, 6, 7, 8});
             b[0].processId = 3;
             b[0].timeRemaining = 60;
             b[0].issueConfirmed = 1;
         },
         {}, true});
    add({"port filter", 56, 363, -1,
         [](PropertyValue &v) { block<BACnetPortPermission>(v, 61, 1)[0] = {1, 1}; }, {0x09, 0x01, 0x19, 0x01},
         true});
    add({"lighting command", 54, 380, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetLightingCommand>(v, 62, 1);
             b[0].operation = 1;
             b[0].hasTargetLevel = 1;
             b[0].targetLevel = 50.0f;
             b[0].hasPriority = 1;
             b[0].priority = 8;
         },
         {0x09, 0x01, 0x1C, 0x42, 0x48, 0x00, 0x00, 0x59, 0x08}, true});
    add({"channel present value", 53, 85, -1,
         [](PropertyValue &v) {
             auto *b = block<BACnetChannelValue>(v, 63, 1);
             b[0].datatype = 2;
             b[0].value.u = 42;
         },
         {0x21, 0x2A}, true});
    return c;
}

}  // namespace codec_test
