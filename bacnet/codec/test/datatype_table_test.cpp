// The datatype table against a separate transcription of the property
// datatypes: the rows below are kept in their original text form, by number,
// and parsed here, so that a slip in the table's rows or in the numbers of
// the property names does not repeat itself.

#include "bacnet/datatype_table.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bacnet/enums.h"
#include "bacnet/property_value.h"

namespace {

// code | array or list | property identifiers
const char *kIndependent = R"(
| 1 | no | 9, 13, 24, 47, 51, 81, 99, 133, 144, 193, 205, 271, 282, 287, 291, 292, 295, 298, 308, 329, 344, 353, 354, 357, 360, 365, 373, 386 |
| 1 | yes | 169, 172 |
| 2 | no | 10, 11, 15, 17, 33, 42, 62..64, 66, 67, 73, 74, 88, 89, 98, 113, 118, 120, 124, 126, 128, 134, 137, 139..141, 145..148, 153, 155, 162, 167, 173, 177, 178, 180, 182, 186, 190, 191, 195, 204, 213, 219, 227, 229, 230, 232, 244, 253, 255, 273, 274, 283, 285, 289, 290, 294, 297, 301, 309, 322, 323, 326, 328, 333..335, 337, 339..341, 348, 349, 356, 366, 369, 374, 377, 381 |
| 2 | yes | 221, 305, 336, 367, 368 |
| 3 | no | 119, 267, 319 |
| 4 | no | 14, 21, 26, 34, 49, 61, 68, 93, 108, 125, 127, 135, 136, 151, 156, 188, 215, 375, 376, 379, 382..384 |
| 7 | no | 4, 12, 28, 29, 31, 43, 44, 46, 48, 58, 70, 77, 91, 121, 168, 207, 222, 310, 311, 317, 372 |
| 7 | yes | 3, 110, 210, 220, 259, 343, 346, 351, 352 |
| 8 | no | 0, 1, 35, 52, 96, 97, 111, 342, 347 |
| 9 | no | 6, 20, 27, 36, 37, 41, 50, 72, 79, 82, 84, 90, 92, 94, 100, 103, 107, 112, 117, 158, 160, 161, 163, 164, 196, 197, 208, 226, 231, 233, 235, 247, 260, 261, 263, 264, 275, 296, 300, 306, 307, 318, 327, 338, 359, 370, 378, 385 |
| 9 | yes | 122, 166, 175, 234, 245, 251, 272, 303, 364, 371 |
| 10 | no | 56 |
| 11 | no | 57 |
| 12 | no | 75, 183 |
| 15 | no | 174 |
| 16 | yes | 76, 154, 209 |
| 18 | no | 331 |
| 18 | yes | 30, 170, 171 |
| 19 | no | 101 |
| 19 | yes | 116, 202, 206, 350 |
| 20 | yes | 23 |
| 21 | no | 19, 60, 181, 355 |
| 22 | yes | 5 |
| 23 | yes | 102 |
| 24 | yes | 55 |
| 25 | yes | 53 |
| 26 | yes | 123 |
| 27 | yes | 38 |
| 28 | no | 249, 252, 262, 276, 277, 279, 320, 321 |
| 28 | yes | 159, 165, 211, 228, 246, 265, 266, 268, 269, 286 |
| 29 | yes | 54, 345 |
| 30 | no | 32 |
| 31 | no | 16, 71, 114, 115, 129, 138, 142, 143, 149, 150, 179, 192, 254, 270, 278, 280, 281 |
| 32 | no | 157, 203, 250 |
| 32 | yes | 130 |
| 33 | yes | 109 |
| 35 | no | 83 |
| 37 | yes | 152 |
| 41 | no | 184 |
| 43 | no | 187 |
| 44 | no | 185 |
| 46 | no | 212, 214, 218 |
| 49 | yes | 258 |
| 50 | yes | 288, 302 |
| 51 | yes | 256 |
| 52 | no | 248 |
| 53 | yes | 304 |
| 54 | yes | 257 |
| 56 | yes | 332 |
| 57 | yes | 330 |
| 58 | no | 358 |
| 59 | no | 361 |
| 60 | yes | 362 |
| 61 | yes | 363 |
| 62 | no | 380 |
| 255 | no | 8, 18, 80, 95, 105, 194, 198..201, 216, 217, 223..225, 236..243, 284, 293, 299, 312..316, 324, 325 |)";

struct Expect {
    int code;
    int flag;
};

std::map<uint32_t, Expect> parseIndependent() {
    std::map<uint32_t, Expect> out;
    std::istringstream in(kIndependent);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) {
            continue;
        }
        std::vector<std::string> cells;
        std::string cell;
        std::istringstream ls(line);
        while (std::getline(ls, cell, '|')) {
            cells.push_back(cell);
        }
        // "", " code ", " yes ", " ids "
        const int code = std::stoi(cells.at(1));
        const int flag = cells.at(2).find("yes") != std::string::npos ? 1 : 0;
        std::istringstream ids(cells.at(3));
        std::string item;
        while (std::getline(ids, item, ',')) {
            const size_t dots = item.find("..");
            const uint32_t first = std::stoul(item.substr(0, dots));
            const uint32_t last = dots == std::string::npos ? first : std::stoul(item.substr(dots + 2));
            for (uint32_t id = first; id <= last; ++id) {
                EXPECT_EQ(out.count(id), 0u) << "property " << id << " listed twice";
                out[id] = {code, flag};
            }
        }
    }
    return out;
}

// The properties whose datatype depends on the object type.
struct Dependent {
    std::vector<uint32_t> properties;
    Expect fallback;
    std::vector<std::pair<std::vector<uint16_t>, Expect>> byType;
};

const std::vector<Dependent> &dependents() {
    static const std::vector<Dependent> d = {
        {{kPropAction},
         {kDtUnknown, 0},
         {{{kObjCommand}, {kDtActionList, 1}}, {{kObjLoop}, {kDtEnumerated, 0}}}},
        {{kPropAlarmValues},
         {kDtUnknown, 0},
         {{{kObjMultiStateInput, kObjMultiStateValue}, {kDtUnsigned, 1}},
          {{kObjLifeSafetyPoint, kObjLifeSafetyZone, kObjAccessDoor, kObjAccessZone}, {kDtEnumerated, 1}},
          {{kObjBitstringValue}, {kDtBitString, 1}},
          {{kObjCharacterstringValue}, {kDtCharString, 1}}}},
        {{kPropFaultValues},
         {kDtUnknown, 0},
         {{{kObjMultiStateInput, kObjMultiStateValue}, {kDtUnsigned, 1}},
          {{kObjLifeSafetyPoint, kObjLifeSafetyZone, kObjAccessDoor, kObjAccessZone}, {kDtEnumerated, 1}},
          {{kObjCharacterstringValue}, {kDtCharString, 1}}}},
        {{kPropFeedbackValue},
         {kDtUnknown, 0},
         {{{kObjBinaryOutput}, {kDtEnumerated, 0}}, {{kObjMultiStateOutput}, {kDtUnsigned, 0}}}},
        {{kPropCovIncrement, kPropDeadband},
         {kDtReal, 0},
         {{{kObjIntegerValue, kObjPositiveIntegerValue}, {kDtUnsigned, 0}},
          {{kObjLargeAnalogValue}, {kDtDouble, 0}}}},
        {{kPropHighLimit, kPropLowLimit, kPropMaxPresValue},
         {kDtReal, 0},
         {{{kObjAccumulator, kObjPositiveIntegerValue}, {kDtUnsigned, 0}},
          {{kObjIntegerValue}, {kDtSigned, 0}},
          {{kObjLargeAnalogValue}, {kDtDouble, 0}}}},
        {{kPropMinPresValue, kPropResolution},
         {kDtReal, 0},
         {{{kObjIntegerValue}, {kDtSigned, 0}},
          {{kObjLargeAnalogValue}, {kDtDouble, 0}},
          {{kObjPositiveIntegerValue}, {kDtUnsigned, 0}}}},
        {{kPropObjectPropertyReference, kPropLogDeviceObjectProperty},
         {kDtDeviceObjectPropertyReference, 0},
         {{{kObjTrendLogMultiple}, {kDtDeviceObjectPropertyReference, 1}}}},
        {{kPropPresentValue},
         {kDtUnknown, 0},
         {{{kObjAnalogInput, kObjAnalogOutput, kObjAnalogValue, kObjLoop, kObjPulseConverter,
            kObjLightingOutput},
           {kDtReal, 0}},
          {{kObjBinaryInput, kObjBinaryOutput, kObjBinaryValue, kObjLifeSafetyPoint, kObjLifeSafetyZone,
            kObjLoadControl, kObjAccessDoor},
           {kDtEnumerated, 0}},
          {{kObjCalendar}, {kDtBoolean, 0}},
          {{kObjCommand, kObjMultiStateInput, kObjMultiStateOutput, kObjMultiStateValue, kObjAccumulator,
            kObjPositiveIntegerValue},
           {kDtUnsigned, 0}},
          {{kObjGroup}, {kDtReadAccessResult, 1}},
          {{kObjSchedule}, {kDtAny, 0}},
          {{kObjGlobalGroup}, {kDtPropertyAccessResult, 1}},
          {{kObjCredentialDataInput}, {kDtAuthenticationFactor, 0}},
          {{kObjBitstringValue}, {kDtBitString, 0}},
          {{kObjCharacterstringValue}, {kDtCharString, 0}},
          {{kObjDatePatternValue, kObjDateValue}, {kDtDate, 0}},
          {{kObjDatetimePatternValue, kObjDatetimeValue}, {kDtDateTime, 0}},
          {{kObjIntegerValue}, {kDtSigned, 0}},
          {{kObjLargeAnalogValue}, {kDtDouble, 0}},
          {{kObjOctetstringValue}, {kDtOctetString, 0}},
          {{kObjTimePatternValue, kObjTimeValue}, {kDtTime, 0}},
          {{kObjAlertEnrollment}, {kDtObjectId, 0}},
          {{kObjChannel}, {kDtChannelValue, 0}}}},
        {{kPropPriority}, {kDtUnsigned, 0}, {{{kObjNotificationClass}, {kDtUnsigned, 1}}}},
        {{kPropPriorityArray},
         {kDtUnknown, 1},
         {{{kObjAnalogOutput, kObjAnalogValue, kObjLightingOutput}, {kDtReal, 1}},
          {{kObjBinaryOutput, kObjBinaryValue, kObjAccessDoor}, {kDtEnumerated, 1}},
          {{kObjMultiStateOutput, kObjMultiStateValue}, {kDtUnsigned, 1}},
          {{kObjBitstringValue, kObjCharacterstringValue, kObjDatePatternValue, kObjDateValue,
            kObjDatetimePatternValue, kObjDatetimeValue, kObjIntegerValue, kObjLargeAnalogValue,
            kObjOctetstringValue, kObjPositiveIntegerValue, kObjTimePatternValue, kObjTimeValue},
           {kDtAny, 1}}}},
        {{kPropRelinquishDefault},
         {kDtUnknown, 0},
         {{{kObjAnalogOutput, kObjAnalogValue, kObjLightingOutput}, {kDtReal, 0}},
          {{kObjBinaryOutput, kObjBinaryValue, kObjAccessDoor}, {kDtEnumerated, 0}},
          {{kObjMultiStateOutput, kObjMultiStateValue, kObjPositiveIntegerValue}, {kDtUnsigned, 0}},
          {{kObjBitstringValue}, {kDtBitString, 0}},
          {{kObjCharacterstringValue}, {kDtCharString, 0}},
          {{kObjDatePatternValue, kObjDateValue}, {kDtDate, 0}},
          {{kObjDatetimePatternValue, kObjDatetimeValue}, {kDtDateTime, 0}},
          {{kObjIntegerValue}, {kDtSigned, 0}},
          {{kObjLargeAnalogValue}, {kDtDouble, 0}},
          {{kObjOctetstringValue}, {kDtOctetString, 0}},
          {{kObjTimePatternValue, kObjTimeValue}, {kDtTime, 0}}}},
        {{kPropLogBuffer},
         {kDtUnknown, 1},
         {{{kObjTrendLog}, {kDtLogRecord, 1}},
          {{kObjEventLog}, {kDtEventLogRecord, 1}},
          {{kObjTrendLogMultiple}, {kDtLogMultipleRecord, 1}}}},
        {{kPropAdjustValue}, {kDtReal, 0}, {{{kObjAccessZone}, {kDtSigned, 0}}}},
        {{kPropUpdateTime}, {kDtDateTime, 0}, {{{kObjCredentialDataInput}, {kDtTimeStamp, 0}}}},
    };
    return d;
}

TEST(DatatypeTable, EveryPropertyIdentifierOfEveryObjectType) {
    const std::map<uint32_t, Expect> independent = parseIndependent();
    std::map<uint32_t, const Dependent *> dependent;
    for (const Dependent &d : dependents()) {
        for (uint32_t p : d.properties) {
            dependent[p] = &d;
        }
    }
    // Every identifier 0..386 is in exactly one of the two transcriptions.
    for (uint32_t p = 0; p <= 386; ++p) {
        EXPECT_NE(independent.count(p) + dependent.count(p), 0u) << "property " << p << " missing";
        EXPECT_NE(independent.count(p) + dependent.count(p), 2u) << "property " << p << " in both";
    }
    EXPECT_EQ(dependent.size(), 20u);
    for (uint16_t type = 0; type < 64; ++type) {
        for (uint32_t p = 0; p <= 386; ++p) {
            Expect want{};
            if (auto it = independent.find(p); it != independent.end()) {
                want = it->second;
            } else {
                const Dependent &d = *dependent.at(p);
                want = d.fallback;
                for (const auto &[types, e] : d.byType) {
                    for (uint16_t t : types) {
                        if (t == type) {
                            want = e;
                        }
                    }
                }
            }
            uint8_t flag = 7;
            const int code = propGetDatatype(type, p, &flag);
            EXPECT_EQ(code, want.code) << "object type " << type << " property " << p;
            EXPECT_EQ(flag, want.flag) << "object type " << type << " property " << p;
        }
    }
}

TEST(DatatypeTable, BeyondTheTableAndGroupIdentifiers) {
    struct Case {
        uint16_t type;
        uint32_t property;
        int code;
        uint8_t flag;
    };
    const Case cases[] = {
        {kObjAnalogInput, kPropPresentValue, kDtReal, 0},
        {kObjMultiStateValue, kPropPresentValue, kDtUnsigned, 0},
        {kObjDevice, kPropPresentValue, kDtUnknown, 0},
        {kObjBinaryInput, kPropObjectList, kDtObjectIdList, 1},
        {kObjAnalogInput, kPropPriorityArray, kDtUnknown, 1},
        {kObjTrendLog, kPropLogBuffer, kDtLogRecord, 1},
        {kObjAnalogInput, kPropLogBuffer, kDtUnknown, 1},
        {kObjAnalogInput, kPropAll, kDtUnknown, 0},
        {kObjAnalogInput, kPropOptional, kDtUnknown, 0},
        {kObjAnalogInput, kPropRequired, kDtUnknown, 0},
        {kObjAnalogInput, kPropEgressActive + 1, kDtUnknown, 0},
        {kObjAnalogInput, 4000, kDtUnknown, 0},
        {kObjLargeAnalogValue, kPropCovIncrement, kDtDouble, 0},
        {kObjPositiveIntegerValue, kPropCovIncrement, kDtUnsigned, 0},
        {1023, kPropPresentValue, kDtUnknown, 0},
        {kObjAnalogInput, 0xFFFFFFFF, kDtUnknown, 0},
    };
    for (const Case &c : cases) {
        uint8_t flag = 9;
        EXPECT_EQ(propGetDatatype(c.type, c.property, &flag), c.code) << c.type << "/" << c.property;
        EXPECT_EQ(flag, c.flag) << c.type << "/" << c.property;
    }
}

}  // namespace
