// WriteProperty, WritePropertyMultiple, DeviceCommunicationControl and
// ReinitializeDevice.

#include <gtest/gtest.h>

#include <cstring>

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/stack.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;

namespace {

Bytes realValue(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return Bytes{0x44, static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16),
                 static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
}

Bytes wp(uint8_t invokeId, const Bytes &body) {
    return local(cat(Bytes{0x00, 0x05, invokeId, kSvcWriteProperty}, body));
}

Bytes wpm(uint8_t invokeId, const Bytes &body) {
    return local(cat(Bytes{0x00, 0x05, invokeId, kSvcWritePropertyMultiple}, body));
}

// One property value of a WriteProperty request (object, property, value).
Bytes wpBody(uint32_t objectId, uint32_t property, const Bytes &value) {
    return cat(cat(cat(ctxObjectId(0, objectId), ctxUnsigned(1, property)), Bytes{0x3E}), cat(value, Bytes{0x3F}));
}

// One WriteAccessSpecification with one property.
Bytes wpmSpec(uint32_t objectId, uint32_t property, const Bytes &value) {
    return cat(cat(ctxObjectId(0, objectId), Bytes{0x1E}),
               cat(cat(ctxUnsigned(0, property), Bytes{0x2E}), cat(value, Bytes{0x2F, 0x1F})));
}

// A cov-increment write of the object with `index` between the property and
// the value.
Bytes withIndex(uint32_t objectId, const Bytes &index) {
    return cat(cat(cat(ctxObjectId(0, objectId), ctxUnsigned(1, kPropCovIncrement)), index),
               cat(Bytes{0x3E}, cat(realValue(1), Bytes{0x3F})));
}

TEST(WriteProperty, AnswersAndPriority) {
    harness::Stack stack;
    const Bytes covIncrement = wpBody(analogInput(2), kPropCovIncrement, realValue(1.0f));
    struct Case {
        const char *name;
        Bytes request;
        std::string reply;
    };
    const Case cases[] = {
        {"written", wp(1, covIncrement), "20 01 0F"},
        {"with priority", wp(2, cat(covIncrement, ctxUnsigned(4, 8))), "20 02 0F"},
        {"no value", wp(3, cat(ctxObjectId(0, analogInput(2)), ctxUnsigned(1, kPropCovIncrement))), "60 03 04"},
        {"closing tag missing", wp(4, Bytes(covIncrement.begin(), covIncrement.end() - 1)), "60 04 04"},
        {"application tag as object", wp(5, cat(Bytes{0xC4, 0, 0, 0, 1}, ctxUnsigned(1, 85))), "60 05 04"},
        {"opening tag as property", wp(6, cat(ctxObjectId(0, analogInput(2)), Bytes{0x1E, 0x1F})), "60 06 04"},
        {"read-only", wp(7, wpBody(analogInput(2), kPropUnits, Bytes{0x91, 0x30})), "50 07 0F 91 02 91 28"},
        {"unknown object", wp(8, wpBody(objectIdMake(kObjBinaryValue, 1), 85, Bytes{0x91, 1})),
         "50 08 0F 91 01 91 1F"},
        {"index on a non-array", wp(9, cat(cat(cat(ctxObjectId(0, analogInput(2)), ctxUnsigned(1, kPropCovIncrement)),
                                               ctxUnsigned(2, 1)), cat(Bytes{0x3E}, cat(realValue(1), Bytes{0x3F})))),
         "50 09 0F 91 02 91 32"},
        {"wrong datatype", wp(10, wpBody(analogInput(2), kPropCovIncrement, Bytes{0x21, 0x05})),
         "50 0A 0F 91 02 91 09"},
        {"index as an application unsigned", wp(12, withIndex(analogInput(2), Bytes{0x21, 0x01})), "60 0C 04"},
        {"empty index", wp(13, withIndex(analogInput(2), Bytes{0x28})), "60 0D 04"},
        // The object is checked before the index is read.
        {"empty index of an unknown object", wp(14, withIndex(objectIdMake(kObjBinaryValue, 1), Bytes{0x28})),
         "50 0E 0F 91 01 91 1F"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(answer(stack, c.request), c.reply);
    }
    EXPECT_EQ(testapp::lastWrite().priority, 8);
    answer(stack, wp(11, covIncrement));
    EXPECT_EQ(testapp::lastWrite().priority, 0);
}

TEST(WritePropertyMultiple, FirstFailureIsReportedAndEarlierWritesStay) {
    harness::Stack stack;
    uint64_t before = testapp::lastWrite().count;
    Bytes request = cat(wpmSpec(analogInput(1), kPropCovIncrement, realValue(2.0f)),
                        wpmSpec(analogInput(3), kPropUnits, Bytes{0x91, 0x30}));
    EXPECT_EQ(answer(stack, wpm(1, request)), "50 01 10 0E 91 02 91 28 0F 1E 0C 00 00 00 03 19 75 1F");
    EXPECT_EQ(testapp::lastWrite().count, before + 1);
    EXPECT_EQ(testapp::lastWrite().objectId, analogInput(1));
    EXPECT_EQ(answer(stack, wpm(2, wpmSpec(analogInput(1), kPropCovIncrement, realValue(2.0f)))), "20 02 10");
}

TEST(WritePropertyMultiple, MalformedBeforeAndAfterAWrite) {
    harness::Stack stack;
    Bytes good = wpmSpec(analogInput(1), kPropCovIncrement, realValue(2.0f));
    Bytes bad = wpmSpec(analogInput(2), kPropCovIncrement, Bytes{0x44, 0x00});
    EXPECT_EQ(answer(stack, wpm(1, bad)), "60 01 04");
    EXPECT_EQ(answer(stack, wpm(2, Bytes{})), "60 02 04");
    EXPECT_EQ(answer(stack, wpm(3, cat(good, bad))), "50 03 10 0E 91 05 91 39 0F 1E 0C 00 00 00 02 19 16 1F");
    // Cut off after the first write.
    EXPECT_EQ(answer(stack, wpm(4, cat(good, Bytes{0x0C, 0x00}))),
              "50 04 10 0E 91 05 91 39 0F 1E 0C 00 00 00 01 19 16 1F");
}

TEST(DatabaseRevision, CountedForNamesAndIdentifiersAndKeptAcrossDeviceWrites) {
    harness::Stack stack;
    uint32_t before = stackDevice().databaseRevision;
    Bytes location = cat(Bytes{0x75, 0x04, 0x00}, Bytes{'L', 'a', 'b'});
    EXPECT_EQ(answer(stack, wp(1, wpBody(deviceObjectId(1234), kPropLocation, location))), "20 01 0F");
    EXPECT_EQ(stackDevice().databaseRevision, before);
    stackDevice().databaseRevision = before + 5;
    stackRefreshDevice();
    EXPECT_EQ(stackDevice().databaseRevision, before + 5);
}

Bytes dcc(uint8_t invokeId, int minutes, uint8_t state, const char *password) {
    Bytes body;
    if (minutes >= 0)
        body = ctxUnsigned(0, static_cast<uint32_t>(minutes));
    body = cat(body, ctxUnsigned(1, state));
    if (password != nullptr) {
        Bytes s{0x2D, static_cast<uint8_t>(std::strlen(password) + 1), 0x00};
        s.insert(s.end(), password, password + std::strlen(password));
        body = cat(body, s);
    }
    return local(cat(Bytes{0x00, 0x05, invokeId, kSvcDeviceCommunicationControl}, body));
}

Bytes reinit(uint8_t invokeId, uint8_t state, const char *password) {
    Bytes body = ctxUnsigned(0, state);
    if (password != nullptr) {
        Bytes s{0x1D, static_cast<uint8_t>(std::strlen(password) + 1), 0x00};
        s.insert(s.end(), password, password + std::strlen(password));
        body = cat(body, s);
    }
    return local(cat(Bytes{0x00, 0x05, invokeId, kSvcReinitializeDevice}, body));
}

class Control : public ::testing::Test {
  protected:
    harness::Stack stack;
    void TearDown() override {
        communicationEnabled = 1;
        stackInitiationDisabled = 0;
        dccTimerMs = 0;
    }
    bool answersReads() { return !answer(stack, local(rp(40, analogInput(1), kPropPresentValue))).empty(); }
};

TEST_F(Control, TimedDisableSilencesTheDeviceUntilItRunsOut) {
    testapp::clearLog();
    EXPECT_EQ(answer(stack, dcc(1, 2, 1, "secret")), "20 01 11");
    EXPECT_TRUE(testapp::logContains("Rcv'd DCC mode = 1, Enable = FALSE, Disable = TRUE, Disable-Initiation = TRUE"));
    EXPECT_FALSE(answersReads());
    EXPECT_TRUE(stack.request(local(Bytes{0x10, 0x08}, false), true).empty());
    stack.advance(119000, 1000);
    EXPECT_FALSE(answersReads());
    stack.advance(1000, 1000);
    EXPECT_TRUE(answersReads());
}

TEST_F(Control, LongestDurationDoesNotOverflow) {
    EXPECT_EQ(answer(stack, dcc(1, 65535, 2, "secret")), "20 01 11");
    EXPECT_EQ(dccTimerMs.load(), int64_t{65535} * 60000);
    EXPECT_EQ(stackInitiationDisabled.load(), 1);
    // About 45 days later initiation is still disabled.
    stack.advance(45u * 24 * 3600 * 1000, 3600u * 1000);
    EXPECT_EQ(stackInitiationDisabled.load(), 1);
    stack.advance(uint32_t{1} * 24 * 3600 * 1000, 3600u * 1000);
    EXPECT_EQ(stackInitiationDisabled.load(), 0);
}

TEST_F(Control, PasswordsAndStates) {
    testapp::clearLog();
    struct Case {
        const char *name;
        Bytes request;
        std::string reply;
    };
    const Case cases[] = {
        {"no password", dcc(1, -1, 1, nullptr), "50 01 11 91 04 91 1A"},
        {"wrong password", dcc(2, -1, 1, "guess"), "50 02 11 91 04 91 1A"},
        {"undefined state", dcc(3, -1, 3, "secret"), "60 03 08"},
        {"state missing", local(Bytes{0x00, 0x05, 4, kSvcDeviceCommunicationControl, 0x09, 0x01}), "60 04 04"},
        {"password of 65 characters",
         dcc(5, -1, 1, "01234567890123456789012345678901234567890123456789012345678901234"), "60 05 04"},
        {"password as application string", local(cat(Bytes{0x00, 0x05, 6, kSvcDeviceCommunicationControl, 0x19, 0x01},
                                                       Bytes{0x75, 0x02, 0x00, 'x'})),
         "60 06 04"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(answer(stack, c.request), c.reply);
        EXPECT_EQ(communicationEnabled.load(), 1);
    }
    EXPECT_TRUE(testapp::logContains("Received BACnet DCC, password check failure"));
    // Disabled without a duration: until enabled again.
    EXPECT_EQ(answer(stack, dcc(7, -1, 1, "secret")), "20 07 11");
    stack.advance(3600000, 60000);
    EXPECT_FALSE(answersReads());
    EXPECT_EQ(answer(stack, dcc(8, -1, 0, "secret")), "20 08 11");
    EXPECT_TRUE(answersReads());
}

TEST_F(Control, ReinitializeDevice) {
    struct Case {
        const char *name;
        Bytes request;
        std::string reply;
    };
    const Case cases[] = {
        {"state 7", reinit(1, 7, "secret"), "60 01 06"},
        {"wrong password", reinit(2, 1, "nope"), "50 02 14 91 04 91 1A"},
        {"backup refused", reinit(3, 2, "secret"), "50 03 14 91 05 91 1D"},
        {"password of 21 characters", reinit(4, 1, "012345678901234567890"), "60 04 04"},
        {"application tag", local(Bytes{0x00, 0x05, 5, kSvcReinitializeDevice, 0x91, 0x01}), "60 05 04"},
        {"coldstart", reinit(6, 0, "secret"), "20 06 14"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(answer(stack, c.request), c.reply);
    }
    // While initiation is disabled backup is refused as communication-disabled,
    // while warm start reaches the application, and lifts the restriction.
    EXPECT_EQ(answer(stack, dcc(9, -1, 2, "secret")), "20 09 11");
    EXPECT_EQ(answer(stack, reinit(10, 2, "secret")), "50 0A 14 91 05 91 53");
    testapp::takeWarmStartRequest();
    EXPECT_EQ(answer(stack, reinit(11, 1, "secret")), "20 0B 14");
    EXPECT_TRUE(testapp::takeWarmStartRequest());
    EXPECT_EQ(stackInitiationDisabled.load(), 0);
}

}  // namespace
