// The device records the stack reads, the routing to the virtual devices,
// and the Device object's writes with what they push to TQR.
#include <gtest/gtest.h>
#include "http_client.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "bacnet/app_memory.h"
#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "device/application.h"
#include "device_fixture.h"
#include "netns.h"
#include "runtime/tqr/transport.h"
#include "tqr/standin.h"

namespace {

using devtest::DeviceTest;
using devtest::LoadLayout;
using devtest::MeterLayout;

std::string text(const CharString *s) {
    return s == nullptr ? "(none)" : std::string(s->chars(), s->length);
}

std::string octets(const uint8_t *p, size_t n) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", p[i]);
        out += two;
    }
    return out;
}

class Records : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        communicationConfig.type = 1;
        communicationConfig.setUdpPort(47809);
        communicationConfig.setPhysicalNetwork(7);
        communicationConfig.setBbmdAddress("192.0.2.1");
        communicationConfig.setBbmdTtl(600);
        communicationConfig.setMaxMaster(100);
        communicationConfig.setMacAddress(5);
        communicationConfig.setMaxInfoFrames(3);
        communicationConfig.setBaudRate(38400);
        staticConfig.setModel("M-48");
        staticConfig.setVersion("2.1.0");
        staticConfig.setSerial("SN42");
        siteInfo.setLoc1("Floor 2");
        siteInfo.setLoc2("Room 12");
        siteInfo.setPanel("P4");
        siteInfo.setType("Sub");
        MeterLayout layout;
        layout.loads = {LoadLayout{1, 1001, "Pump House", 0, {}}, LoadLayout{2, 1002, "Chiller", 1, {}}};
        layout.inputs = {devtest::InputLayout{0, 0}};
        devtest::buildSets(layout);
    }
};

TEST_F(Records, RootRecordFields) {
    DeviceRecord r{};
    appFillDeviceRecord(&r);
    EXPECT_EQ(r.instance, 1000u);
    EXPECT_EQ(r.maxApdu, 1476u);
    EXPECT_EQ(r.apduTimeoutMs, 10000u);
    EXPECT_EQ(r.apduSegmentTimeoutMs, 30000u);
    EXPECT_EQ(r.maxSegmentsAccepted, 1u);
    EXPECT_EQ(r.apduRetries, 3);
    EXPECT_EQ(r.segmentationSupported, 1);
    EXPECT_EQ(r.proposedWindowSize, 1);
    EXPECT_EQ(r.databaseRevision, 0u);
    EXPECT_EQ(r.vendorId, 64999);
    EXPECT_EQ(octets(r.objectTypesSupported, 7), "80 81 10 80 00 02 00");
    EXPECT_EQ(text(r.objectName), "Meter");
    EXPECT_EQ(text(r.vendorName), "Krevo Systems, Inc.");
    EXPECT_EQ(text(r.modelName), "M-48");
    EXPECT_EQ(text(r.firmwareRevision), "2.1.0");
    EXPECT_EQ(text(r.applicationSoftwareVersion), "01.14.05");
    EXPECT_EQ(text(r.location), "Floor 2 Room 12");
    EXPECT_EQ(text(r.description), "P4");
    EXPECT_EQ(r.profileName, nullptr);
    EXPECT_EQ(r.bipNetwork, 7);
    EXPECT_EQ(r.mstpNetwork, 0);
    EXPECT_EQ(r.udpPort, 47809);
    EXPECT_EQ(octets(r.bbmdAddress, 4), "C0 00 02 01");
    EXPECT_EQ(r.bbmdTtl, 600);
    EXPECT_STREQ(r.mstpTty, "/dev/ttyO4");
    EXPECT_STREQ(r.mstpBaud, "38400");
    EXPECT_EQ(r.tolerance, 0);
    EXPECT_EQ(r.maxMaster, 100);
    EXPECT_EQ(r.mstpMac, 5);
    EXPECT_EQ(r.maxInfoFrames, 3);

    communicationConfig.type = 3;
    appFillDeviceRecord(&r);
    EXPECT_EQ(r.maxApdu, 480u);
    EXPECT_EQ(r.bipNetwork, 0);
    EXPECT_EQ(r.mstpNetwork, 7);
}

TEST_F(Records, VirtualRecordReplacesInstanceNameAndTypes) {
    DeviceRecord r{};
    appFillVirtualDeviceRecord(1002, &r);
    EXPECT_EQ(r.instance, 1002u);
    EXPECT_EQ(text(r.objectName), "Chiller");
    EXPECT_EQ(octets(r.objectTypesSupported, 7), "84 81 00 00 00 02 00");
    EXPECT_EQ(r.vendorId, 64999);
    EXPECT_EQ(text(r.modelName), "M-48");
    // The root's own instance, -1 and an instance no load has: the root record.
    for (int32_t device : {-1, 1000, 4242}) {
        appFillVirtualDeviceRecord(device, &r);
        EXPECT_EQ(r.instance, 1000u) << device;
        EXPECT_EQ(text(r.objectName), "Meter") << device;
        EXPECT_EQ(octets(r.objectTypesSupported, 7), "80 81 10 80 00 02 00") << device;
    }
}

// The stack keeps the root record; a load's fill must not rename the root.
TEST_F(Records, AVirtualFillLeavesTheRootRecordsName) {
    DeviceRecord root{};
    appFillDeviceRecord(&root);
    DeviceRecord load{};
    appFillVirtualDeviceRecord(1001, &load);
    EXPECT_EQ(text(root.objectName), "Meter");
    EXPECT_EQ(text(load.objectName), "Pump House");
}

TEST_F(Records, LongTextsAreCutAtACharacterBoundary) {
    // 255 ASCII octets and a two-octet character across the 256th octet.
    std::string name(255, 'a');
    name += "\xC3\xBC";
    name += "tail";
    communicationConfig.setBaseName(name);
    siteInfo.setPanel(std::string(300, 'p'));
    DeviceRecord r{};
    appFillDeviceRecord(&r);
    EXPECT_EQ(text(r.objectName), std::string(255, 'a'));
    EXPECT_EQ(text(r.description), std::string(256, 'p'));
    EXPECT_EQ(appCutText(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(appCutText("\xE2\x82\xAC\xE2\x82\xAC", 4), "\xE2\x82\xAC");
}

TEST_F(Records, AnEmptyOrBadBbmdAddressIsNoBbmd) {
    for (const char *bad : {"", "not an address", "255.255.255.255x"}) {
        communicationConfig.setBbmdAddress(bad);
        DeviceRecord r{};
        appFillDeviceRecord(&r);
        EXPECT_EQ(octets(r.bbmdAddress, 4), "00 00 00 00") << bad;
    }
}

TEST_F(Records, SerialNumberIsAnsweredByTheApplication) {
    PropertyValue v{};
    uint32_t cursor = 0;
    ASSERT_EQ(appReadProperty(-1, objectIdMake(8, 1000), kPropSerialNumber, kNoArrayIndex, &v, &cursor), 0u);
    EXPECT_EQ(v.datatype, kDtCharString);
    EXPECT_EQ(v.ownsValue, 1);
    EXPECT_EQ(text(static_cast<CharString *>(v.value.block)), "SN42");
    appFree(v.value.block);
    EXPECT_EQ(appReadProperty(-1, objectIdMake(8, 1000), kPropModelName, kNoArrayIndex, &v, &cursor),
              kErrUnknownProperty);
}

TEST_F(Records, Routing) {
    MeterLayout more;
    more.loads = {LoadLayout{5, 1005, "Five", 0, {}}};
    devtest::buildSets(more);
    const uint8_t mac1001[6] = {0, 0, 0, 0, 0x03, 0xE9};
    const uint8_t mac4242[6] = {0, 0, 0, 0, 0x10, 0x92};
    const uint8_t mac3[3] = {0, 0x03, 0xE9};
    struct Case {
        const char *what;
        uint16_t network;
        uint8_t macLength;
        const uint8_t *mac;
        int32_t known;
        int32_t expected;
    };
    const Case cases[] = {
        {"6-octet MAC of a load", 100, 6, mac1001, -1, 1001},
        {"6-octet MAC of no load", 100, 6, mac4242, -1, -1},
        {"empty MAC: the lowest load", 100, 0, nullptr, -1, 1001},
        {"another network", 101, 6, mac1001, -1, -1},
        {"3-octet MAC", 100, 3, mac3, -1, -1},
        {"7-octet MAC", 100, 7, mac1001, -1, -1},
        {"no instance assigned", 100, 6, mac1001, 0x3FFFFF, -1},
        {"known load", 0, 0, nullptr, 1005, 1005},
        {"known instance of no load", 100, 6, mac1001, 4242, -1},
    };
    for (const Case &c : cases) {
        int32_t known = c.known;
        EXPECT_EQ(vdevLookup(c.network, c.macLength, c.mac, &known), c.expected) << c.what;
        EXPECT_EQ(known, c.known) << c.what << ": the instance is an input only";
    }
    EXPECT_EQ(vdevGetNetwork(), 100);
    EXPECT_EQ(vdevFind(1000), -1);
    EXPECT_EQ(vdevFind(1001), 1001);
    EXPECT_EQ(vdevFind(4242), -1);
    uint16_t network = 9;
    uint8_t length = 9;
    uint8_t mac[8];
    std::memset(mac, 0xAA, sizeof mac);
    vdevGetAddress(1001, &network, &length, mac);
    EXPECT_EQ(network, 100);
    EXPECT_EQ(length, 6);
    EXPECT_EQ(octets(mac, 8), "00 00 00 00 03 E9 00 00");
    vdevGetAddress(4242, &network, &length, mac);
    EXPECT_EQ(network, 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(vdevNext(-1), 1001);
    EXPECT_EQ(vdevNext(1002), 1005);
    EXPECT_EQ(vdevNext(1005), -1);
    EXPECT_EQ(vdevNext(1003), 1005) << "an instance of no load: the next higher one";
    devtest::clearSets();
    EXPECT_EQ(vdevNext(-1), -1);
    int32_t none = -1;
    EXPECT_EQ(vdevLookup(100, 0, nullptr, &none), -1);
}

// ---- Device object writes, pushed to TQR on its own address ----

class DeviceWrites : public Records {
  protected:
    void SetUp() override {
        std::string why;
        if (!tqr_testing::enterOwnNetworkNamespace(why)) {
            GTEST_SKIP() << "no network namespace of its own: " << why;
        }
        Records::SetUp();
        tqrGlobalInit();
        tqr::Options options;
        options.port = 8160;
        standIn = std::make_unique<tqr::StandIn>(options);
        standIn->start();
        control = std::make_unique<tqr_testing::HttpClient>("127.0.0.1", 8160);
        control->Delete("/_stub/log");
    }
    void TearDown() override {
        standIn.reset();
        Records::TearDown();
    }
    // The (target, body) of every request TQR got since the last call.
    std::vector<std::pair<std::string, nlohmann::json>> pushed() {
        std::vector<std::pair<std::string, nlohmann::json>> out;
        auto res = control->Get("/_stub/log");
        EXPECT_TRUE(res);
        if (res) {
            const nlohmann::json log = nlohmann::json::parse(res->body);
            for (const auto &r : log["requests"]) {
                out.emplace_back(r["target"].get<std::string>(),
                                 nlohmann::json::parse(r["body"].get<std::string>(), nullptr, false));
            }
        }
        control->Delete("/_stub/log");
        return out;
    }

    std::unique_ptr<tqr::StandIn> standIn;
    std::unique_ptr<tqr_testing::HttpClient> control;
};

PropertyValue unsignedValue(uint32_t u) {
    PropertyValue v{};
    v.datatype = kDtUnsigned;
    v.value.u = u;
    return v;
}

struct NameValue {
    CharStringStore<128> store;
    PropertyValue value{};
    NameValue(const std::string &text, uint8_t charSet = 0) {
        store.str.length = static_cast<uint32_t>(text.size());
        store.str.charSet = charSet;
        std::memcpy(store.room, text.data(), text.size());
        value.datatype = kDtCharString;
        value.value.block = &store.str;
    }
};

TEST_F(DeviceWrites, AnswersAndWhatReachesTqr) {
    PropertyValue objectId{};
    objectId.datatype = kDtObjectId;
    struct Case {
        const char *what;
        uint32_t property;
        PropertyValue value;
        uint32_t expected;
        std::vector<std::string> targets;  // what TQR got, in order
    };
    const std::vector<std::string> communication = {"/api/v1/config/communication"};
    const std::vector<std::string> both = {"/api/v1/config/communication", "/api/v1/config/info"};
    NameValue name80(std::string(80, 'n'));
    NameValue name81(std::string(81, 'n'));
    NameValue emptyName("\0abc");
    NameValue wideName("Name", 4);
    NameValue latin1Name("Salle \xF4");
    NameValue cutName("Z\xC3");
    NameValue overlongName("\xC0\xAF");
    NameValue surrogateName("\xED\xA0\x80");
    PropertyValue instance5 = objectId;
    instance5.value.u = objectIdMake(0, 5);
    PropertyValue unassigned = objectId;
    unassigned.value.u = objectIdMake(8, 0x3FFFFF);
    PropertyValue loadsInstance = objectId;
    loadsInstance.value.u = objectIdMake(8, 1001);
    PropertyValue real{};
    real.datatype = kDtReal;
    const Case cases[] = {
        {"max-master 127 with MAC 5", kPropMaxMaster, unsignedValue(127), 0, communication},
        {"max-master 128", kPropMaxMaster, unsignedValue(128), kErrorValueOutOfRange, {}},
        {"max-master below the MAC", kPropMaxMaster, unsignedValue(4), kErrorValueOutOfRange, {}},
        {"max-master as a real", kPropMaxMaster, real, kErrorInvalidDataType, {}},
        {"max-info-frames 100", kPropMaxInfoFrames, unsignedValue(100), 0, communication},
        {"max-info-frames 101", kPropMaxInfoFrames, unsignedValue(101), kErrorValueOutOfRange, {}},
        {"max-info-frames as a real", kPropMaxInfoFrames, real, kErrorInvalidDataType, {}},
        {"object-name of 80", kPropObjectName, name80.value, 0, both},
        {"object-name of 81", kPropObjectName, name81.value, kErrorValueOutOfRange, {}},
        {"empty object-name", kPropObjectName, emptyName.value, kErrorValueOutOfRange, {}},
        {"object-name in UCS-2", kPropObjectName, wideName.value, kErrorValueOutOfRange, {}},
        {"object-name with a Latin-1 byte", kPropObjectName, latin1Name.value, kErrorValueOutOfRange, {}},
        {"object-name ending inside a character", kPropObjectName, cutName.value, kErrorValueOutOfRange, {}},
        {"object-name with an overlong form", kPropObjectName, overlongName.value, kErrorValueOutOfRange, {}},
        {"object-name with a surrogate", kPropObjectName, surrogateName.value, kErrorValueOutOfRange, {}},
        {"object-name as unsigned", kPropObjectName, unsignedValue(1), kErrorInvalidDataType, {}},
        {"object-identifier unassigned", kPropObjectIdentifier, unassigned, kErrorValueOutOfRange, {}},
        {"object-identifier of a load", kPropObjectIdentifier, loadsInstance, kErrorValueOutOfRange, {}},
        {"object-identifier as unsigned", kPropObjectIdentifier, unsignedValue(5), kErrorInvalidDataType, {}},
        {"object-identifier (analog-input, 5)", kPropObjectIdentifier, instance5, 0, communication},
        {"location", kPropLocation, name80.value, kErrWriteAccessDenied, {}},
    };
    for (const Case &c : cases) {
        PropertyValue v = c.value;
        const uint32_t id = objectIdMake(8, communicationConfig.getBaseInstance());
        EXPECT_EQ(appWriteProperty(-1, id, c.property, kNoArrayIndex, &v), c.expected) << c.what;
        std::vector<std::string> targets;
        for (const auto &[target, body] : pushed()) {
            targets.push_back(target);
        }
        EXPECT_EQ(targets, c.targets) << c.what;
    }
    EXPECT_EQ(communicationConfig.getMaxMaster(), 127);
    EXPECT_EQ(communicationConfig.getMaxInfoFrames(), 100);
    EXPECT_EQ(communicationConfig.getBaseName(), std::string(80, 'n'));
    EXPECT_EQ(siteInfo.getName(), std::string(80, 'n'));
    EXPECT_EQ(communicationConfig.getBaseInstance(), 5u);
    EXPECT_EQ(appDatabaseRevision(), 2u);
    DeviceRecord r{};
    appFillDeviceRecord(&r);
    EXPECT_EQ(r.databaseRevision, 2u) << "kept across fills";
    EXPECT_EQ(r.instance, 5u);
}

TEST_F(DeviceWrites, BodiesCarryTheNewValues) {
    NameValue name("Main Meter");
    PropertyValue v = name.value;
    ASSERT_EQ(appWriteProperty(-1, objectIdMake(8, 1000), kPropObjectName, kNoArrayIndex, &v), 0u);
    auto got = pushed();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].second["bacnet"]["baseName"], "Main Meter") << got[0].second.dump();
    EXPECT_EQ(got[1].second["siteinfo"]["name"], "Main Meter") << got[1].second.dump();
}

TEST_F(DeviceWrites, AUtf8NameReachesTqrUnchanged) {
    const std::string text = "Z\xC3\xA4hler \xE2\x82\xAC \xF0\x9F\x94\x8C";
    NameValue name(text);
    PropertyValue v = name.value;
    ASSERT_EQ(appWriteProperty(-1, objectIdMake(8, 1000), kPropObjectName, kNoArrayIndex, &v), 0u);
    auto got = pushed();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].second["bacnet"]["baseName"], text) << got[0].second.dump();
    EXPECT_EQ(got[1].second["siteinfo"]["name"], text) << got[1].second.dump();
}

TEST_F(DeviceWrites, ANewInstanceReachesTheRootObjects) {
    PropertyValue v{};
    v.datatype = kDtObjectId;
    v.value.u = objectIdMake(8, 77);
    ASSERT_EQ(appWriteProperty(-1, objectIdMake(8, 1000), kPropObjectIdentifier, kNoArrayIndex, &v), 0u);
    for (const auto &[id, object] : deviceObjectMap) {
        EXPECT_EQ(object->getDeviceInstance(), 77u) << object->getObjectName();
    }
    EXPECT_TRUE(appIsRootDevice(77));
    EXPECT_FALSE(appIsRootDevice(1000));
}

TEST_F(DeviceWrites, AVirtualDeviceObjectIsReadOnly) {
    PropertyValue v = unsignedValue(10);
    EXPECT_EQ(appWriteProperty(1001, objectIdMake(8, 1001), kPropMaxInfoFrames, kNoArrayIndex, &v),
              kErrWriteAccessDenied);
    EXPECT_TRUE(pushed().empty());
}

TEST_F(DeviceWrites, AFailedPushStillAnswersAndLogs) {
    standIn.reset();
    testing::internal::CaptureStdout();
    PropertyValue v = unsignedValue(50);
    EXPECT_EQ(appWriteProperty(-1, objectIdMake(8, 1000), kPropMaxInfoFrames, kNoArrayIndex, &v), 0u);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("critical Communication configuration not stored by TQR"), std::string::npos) << out;
    EXPECT_EQ(communicationConfig.getMaxInfoFrames(), 50);
}

}  // namespace
