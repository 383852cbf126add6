// The device services: SubscribeCOV by device and object type,
// active-cov-subscriptions, GetEventInformation, Who-Has, and the passcode
// of DeviceCommunicationControl and ReinitializeDevice against the TQR
// stand-in. Requests go through the real stack over the fake datalink where
// the answer on the wire is what counts.
#include <gtest/gtest.h>
#include "http_client.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bacnet/app_memory.h"
#include "bacnet/enums.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/notify.h"
#include "device/application.h"
#include "device_fixture.h"
#include "device_wire.h"
#include "fake_link.h"
#include "netns.h"
#include "runtime/state.h"
#include "runtime/tqr/transport.h"
#include "tqr/standin.h"

namespace {

using devtest::DeviceTest;
using devtest::InputLayout;
using devtest::LoadLayout;
using devtest::MeterLayout;
using e2e::Bytes;

constexpr uint16_t kVnet = 100;
constexpr uint32_t kUnknownObject = 0x1001F;
constexpr uint32_t kNotSupported = 0x1002D;
constexpr uint32_t kPasswordFailure = 0x4001A;
constexpr uint32_t kRequestDenied = 0x5001D;

uint32_t ai(uint32_t instance) {
    return objectIdMake(kObjAnalogInput, instance);
}
uint32_t lav(uint32_t instance) {
    return objectIdMake(kObjLargeAnalogValue, instance);
}

// A global (DNET 0xFFFF) unconfirmed request, which reaches the loads too.
Bytes global(const Bytes &apdu) {
    return e2e::cat(Bytes{0x01, e2e::kHasDestination, 0xFF, 0xFF, 0x00, 0xFF}, apdu);
}

// The meter of every test: the root with one voltage input and two pulse
// inputs, and two loads behind the virtual network.
class Services : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        resetRequested.store(false);
        communicationConfig.type = 1;
        communicationConfig.setUdpPort(47808);
        MeterLayout layout;
        layout.baseName = "Main Meter";
        layout.network = kVnet;
        layout.loads = {LoadLayout{1, 1001, "Pump House", 0, {{6}, {7}, {8}}}, LoadLayout{3, 1003, "Chiller", 0, {{9}}}};
        layout.inputs = {InputLayout{0, 0}};
        layout.pulseIds = {0, 1};
        devtest::buildSets(layout);
    }
    void TearDown() override {
        link.reset();
        DeviceTest::TearDown();
    }
    void startLink() {
        link = std::make_unique<harness::FakeLink>();
        ASSERT_TRUE(link->started());
    }
    // The APDUs of what the stack sent for a request.
    std::vector<Bytes> send(const Bytes &npdu, bool broadcast = false) {
        std::vector<Bytes> out;
        for (const auto &d : link->request(npdu, broadcast)) {
            out.push_back(e2e::apduOf(d.data));
        }
        return out;
    }
    Bytes ask(const Bytes &npdu) {
        auto sent = send(npdu);
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? Bytes{} : sent[0];
    }
    BACnetObject *rootObject(uint32_t id) { return objectMapFindId(deviceObjectMap, id); }
    BACnetObject *loadObject(int32_t vdi, uint32_t id) {
        return objectMapFindId(appFindLoad(vdi)->getObjectMap(), id);
    }

    std::unique_ptr<harness::FakeLink> link;
};

CovSubscriber subscriber(uint32_t objectId, uint32_t processId, uint32_t lifetime = 60) {
    CovSubscriber s{};
    s.subscriber.port = 1;
    s.subscriber.macLength = 6;
    const uint8_t mac[6] = {192, 0, 2, 20, 0xBA, 0xC0};
    std::memcpy(s.subscriber.mac, mac, 6);
    s.processId = processId;
    s.monitoredObject = objectId;
    s.lifetime = lifetime;
    s.issueConfirmed = 1;
    s.initiatingDevice = 0xFFFFFFFF;
    return s;
}

// ---- SubscribeCOV ----

TEST_F(Services, SubscribeCovByDeviceAndObjectType) {
    struct Case {
        const char *what;
        int32_t device;
        uint32_t objectId;
        uint32_t expected;
    };
    const Case cases[] = {
        {"root analog-input", -1, ai(8), 0},
        {"root by its instance", 1000, ai(9), 0},
        {"root pulse-converter", -1, objectIdMake(kObjPulseConverter, 1), 0},
        {"root large-analog-value", -1, lav(1), kNotSupported},
        {"root multi-state-value", -1, objectIdMake(kObjMultiStateValue, 1), kNotSupported},
        {"root notification-class", -1, objectIdMake(kObjNotificationClass, 1), kNotSupported},
        {"root binary-value, held by loads only", -1, objectIdMake(kObjBinaryValue, 1), kUnknownObject},
        {"root analog-input 999", -1, ai(999), kUnknownObject},
        {"root Device object", -1, objectIdMake(kObjDevice, 1000), kUnknownObject},
        {"load analog-input", 1001, ai(8), 0},
        {"load large-analog-value", 1001, lav(1), 0},
        {"load binary-value", 1001, objectIdMake(kObjBinaryValue, 1), kNotSupported},
        {"load notification-class", 1001, objectIdMake(kObjNotificationClass, 1), kNotSupported},
        {"load pulse-converter", 1001, objectIdMake(kObjPulseConverter, 1), kUnknownObject},
        {"load multi-state-value", 1001, objectIdMake(kObjMultiStateValue, 1), kUnknownObject},
        {"load CT group of an absent CT", 1003, ai(60), kUnknownObject},
        {"unknown virtual device", 1002, ai(8), kUnknownObject},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const CovSubscriber s = subscriber(c.objectId, 7);
        EXPECT_EQ(appSubscribeCov(c.device, &s), c.expected);
        const ObjectMap *objects = appIsRootDevice(c.device) ? &deviceObjectMap
                                   : appFindLoad(c.device) != nullptr ? &appFindLoad(c.device)->getObjectMap()
                                                                       : nullptr;
        BACnetObject *object = objects != nullptr ? objectMapFindId(*objects, c.objectId) : nullptr;
        if (object != nullptr) {
            EXPECT_EQ(object->getCovSubscriptionCount(), c.expected == 0 ? 1u : 0u);
        }
    }
    EXPECT_EQ(appSubscribeCov(-1, nullptr), 0x5002Bu);
    // The load's analog-input 8 is not the root's.
    EXPECT_EQ(rootObject(ai(8))->getCovSubscriptionCount(), 1u);
    EXPECT_EQ(loadObject(1001, ai(8))->getCovSubscriptionCount(), 1u);
}

// ---- active-cov-subscriptions ----

TEST_F(Services, ActiveCovSubscriptionsListedInObjectOrderWithWholeSeconds) {
    startLink();
    const uint32_t device = e2e::deviceObjectId(1001);
    auto subscribe = [&](uint8_t invokeId, uint32_t processId, uint32_t objectId, uint32_t lifetime) {
        const Bytes ack = ask(e2e::toVirtual(kVnet, 1001, devwire::subscribeCov(invokeId, processId, objectId, true,
                                                                                 lifetime)));
        EXPECT_EQ(e2e::hex(ack), e2e::hex(Bytes{0x20, invokeId, kSvcSubscribeCov}));
    };
    // Two on one object (the newer listed first) and one on an object of a
    // lower identifier, subscribed last.
    subscribe(1, 11, ai(9), 300);
    subscribe(2, 12, ai(9), 120);
    subscribe(3, 13, ai(8), 60);
    // 1.5 s of the COV timer: the first notifications go out and each
    // lifetime loses 1500 ms, which shows as whole seconds.
    loadObject(1001, ai(8))->tickCov(1500);
    loadObject(1001, ai(9))->tickCov(1500);
    link->advance(10);

    const Bytes answer = ask(e2e::toVirtual(kVnet, 1001, e2e::rp(4, device, kPropActiveCovSubscriptions)));
    ASSERT_GE(answer.size(), 3u);
    ASSERT_EQ(answer[0], 0x30) << e2e::hex(answer);
    // The value between [3] and its closing tag.
    const auto open = std::find(answer.begin(), answer.end(), uint8_t{0x3E});
    ASSERT_NE(open, answer.end());
    const Bytes value(open + 1, answer.end() - 1);
    const auto list = devwire::readCovSubscriptions(value);
    ASSERT_TRUE(list.has_value()) << e2e::hex(answer);
    ASSERT_EQ(list->size(), 3u) << e2e::hex(answer);
    const Bytes client{192, 0, 2, 20, 0xBA, 0xC0};
    const uint32_t pids[3] = {13, 12, 11};
    const uint32_t objects[3] = {ai(8), ai(9), ai(9)};
    const uint32_t seconds[3] = {58, 118, 298};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const auto &s = (*list)[i];
        EXPECT_EQ(s.processId, pids[i]);
        EXPECT_EQ(s.objectId, objects[i]);
        EXPECT_EQ(s.property, uint32_t{kPropPresentValue});
        EXPECT_TRUE(s.confirmed);
        EXPECT_EQ(s.timeRemaining, seconds[i]);
        EXPECT_EQ(s.network, 0);
        EXPECT_EQ(s.mac, client);
    }
    // The root has none: an empty list.
    const Bytes none = ask(e2e::local(e2e::rp(5, e2e::deviceObjectId(1000), kPropActiveCovSubscriptions)));
    EXPECT_EQ(e2e::hex(Bytes(none.end() - 2, none.end())), "3E 3F") << e2e::hex(none);
}

TEST_F(Services, ActiveCovSubscriptionsFillOnlyWhatIsStillThere) {
    BACnetObject *first = rootObject(ai(3));
    BACnetObject *second = rootObject(ai(4));
    // A subscriber behind a router: known by network 5 and its address 07
    // there, not by the router's MAC.
    CovSubscriber remote = subscriber(ai(3), 21);
    remote.subscriber.network = 5;
    remote.subscriber.remoteLength = 1;
    remote.subscriber.remoteAddress[0] = 0x07;
    ASSERT_EQ(first->subscribeCov(remote), 0u);
    ASSERT_EQ(first->subscribeCov(subscriber(ai(3), 22)), 0u);
    ASSERT_EQ(second->subscribeCov(subscriber(ai(4), 23)), 0u);

    const int32_t counted = appCountCovSubscriptions(-1);
    ASSERT_EQ(counted, 3);
    PropertyValue value{};
    value.datatype = kDtCOVSubscription;
    value.count = static_cast<uint16_t>(counted);
    value.ownsValue = 1;
    value.value.block = appCalloc(counted * sizeof(BACnetCOVSubscription));
    // One ends between the count and the fill.
    CovSubscriber cancel = subscriber(ai(3), 22);
    cancel.cancel = 1;
    ASSERT_EQ(first->subscribeCov(cancel), 0u);
    EXPECT_EQ(appGetCovSubscription(-1, &value), 0u);
    ASSERT_EQ(value.count, 2);
    const auto *entries = static_cast<const BACnetCOVSubscription *>(value.value.block);
    EXPECT_EQ(entries[0].processId, 21u);
    EXPECT_EQ(entries[0].recipient.choice, kRecipientAddress);
    EXPECT_EQ(entries[0].recipient.network, 5);
    ASSERT_EQ(entries[0].recipient.macLength, 1);
    EXPECT_EQ(entries[0].recipient.mac[0], 0x07);
    EXPECT_EQ(entries[0].arrayIndex, -1);
    EXPECT_EQ(entries[0].hasCovIncrement, 0);
    EXPECT_EQ(entries[0].timeRemaining, 60u);
    EXPECT_EQ(entries[1].processId, 23u);
    EXPECT_EQ(entries[1].objectId, ai(4));
    EXPECT_EQ(entries[1].recipient.macLength, 6);
    appFree(value.value.block);
    EXPECT_EQ(appCountCovSubscriptions(1002), 0);
}

// ---- GetEventInformation ----

void raise(BACnetObject *object, uint8_t state = 3, bool detection = true) {
    object->setEventDetectionEnable(detection);
    object->setEventState(state);
}

TEST_F(Services, GetEventInformationWalksQualifyingObjectsOneAtATime) {
    bool more = true;
    EXPECT_EQ(appGetEventInformation(-1, 1, -1, &more), nullptr);
    EXPECT_FALSE(more);

    raise(rootObject(ai(3)));
    raise(rootObject(ai(4)), 3, false);  // high-limit, detection off: not reported
    raise(rootObject(ai(5)), 4);
    raise(rootObject(objectIdMake(kObjPulseConverter, 2)));
    inputMapping.at(0)->notificationClass().setPriority(3, 0);
    inputMapping.at(0)->notificationClass().setPriority(5, 1);
    inputMapping.at(0)->notificationClass().setPriority(7, 2);

    struct Step {
        int32_t last;
        uint32_t reported;
        uint16_t state;
        bool more;
    };
    const uint32_t pc2 = objectIdMake(kObjPulseConverter, 2);
    const Step steps[] = {
        {-1, ai(3), 3, true},
        {static_cast<int32_t>(ai(3)), ai(5), 4, true},
        {static_cast<int32_t>(ai(5)), pc2, 3, false},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.last);
        EventSummary *summary = appGetEventInformation(-1, 1, s.last, &more);
        ASSERT_NE(summary, nullptr);
        EXPECT_EQ(summary->objectId, s.reported);
        EXPECT_EQ(summary->eventState, s.state);
        EXPECT_EQ(more, s.more);
        EXPECT_EQ(summary->priorities[0], 3u);
        EXPECT_EQ(summary->priorities[1], 5u);
        EXPECT_EQ(summary->priorities[2], 7u);
        appFree(summary);
    }
    EXPECT_EQ(appGetEventInformation(-1, 1, static_cast<int32_t>(pc2), &more), nullptr);
    EXPECT_FALSE(more);
    // An identifier the root does not hold continues nothing.
    EXPECT_EQ(appGetEventInformation(-1, 1, static_cast<int32_t>(ai(999)), &more), nullptr);
}

// A load's alarms are reported by its own device, with the priorities of
// the class its notifications use, not the root's.
TEST_F(Services, GetEventInformationOfALoadUsesItsOwnClass) {
    inputMapping.at(0)->notificationClass().setPriority(3, 0);
    NotificationClass &loadClass = appFindLoad(1001)->notificationClass();
    loadClass.setPriority(10, 0);
    loadClass.setPriority(20, 1);
    loadClass.setPriority(30, 2);
    raise(loadObject(1001, ai(8)));
    bool more = true;
    EventSummary *summary = appGetEventInformation(1001, 1, -1, &more);
    ASSERT_NE(summary, nullptr);
    EXPECT_EQ(summary->objectId, ai(8));
    EXPECT_EQ((std::vector<uint32_t>{summary->priorities[0], summary->priorities[1], summary->priorities[2]}),
              (std::vector<uint32_t>{10, 20, 30}));
    EXPECT_FALSE(more);
    appFree(summary);
    EXPECT_EQ(appGetEventInformation(-1, 1, -1, &more), nullptr);
    EXPECT_EQ(appGetEventInformation(1002, 1, -1, &more), nullptr);
}

TEST_F(Services, GetEventInformationAnswerCarriesEveryQualifyingObject) {
    for (uint32_t instance : {2u, 6u, 11u}) {
        raise(rootObject(ai(instance)));
    }
    startLink();
    const Bytes answer = ask(e2e::local(devwire::getEventInformation(1)));
    ASSERT_GE(answer.size(), 3u);
    ASSERT_EQ(e2e::hex(Bytes(answer.begin(), answer.begin() + 3)), "30 01 1D") << e2e::hex(answer);
    const auto info = devwire::readEventInformation(Bytes(answer.begin() + 3, answer.end()));
    ASSERT_TRUE(info.has_value()) << e2e::hex(answer);
    std::vector<uint32_t> ids;
    for (const auto &s : info->summaries) {
        ids.push_back(s.objectId);
        EXPECT_EQ(s.priorities.size(), 3u);
    }
    EXPECT_EQ(ids, (std::vector<uint32_t>{ai(2), ai(6), ai(11)}));
    EXPECT_FALSE(info->moreEvents);
    // Continued after the second: the third alone.
    const Bytes rest = ask(e2e::local(devwire::getEventInformation(2, ai(6))));
    const auto tail = devwire::readEventInformation(Bytes(rest.begin() + 3, rest.end()));
    ASSERT_TRUE(tail.has_value());
    ASSERT_EQ(tail->summaries.size(), 1u);
    EXPECT_EQ(tail->summaries[0].objectId, ai(11));
}

// ---- Who-Has ----

TEST_F(Services, WhoHasIsAnsweredByTheDeviceThatHoldsTheObject) {
    rootObject(ai(12))->setObjectName("Frequency");
    rootObject(ai(5))->setObjectName("Frequency");
    startLink();
    struct IHave {
        uint32_t device;
        uint32_t objectId;
        std::string name;
        bool operator==(const IHave &) const = default;
    };
    struct Case {
        const char *what;
        Bytes npdu;
        std::vector<IHave> expected;
    };
    const uint32_t root = e2e::deviceObjectId(1000);
    const uint32_t pump = e2e::deviceObjectId(1001);
    const uint32_t chiller = e2e::deviceObjectId(1003);
    const std::string power = "Total Real Power (kW)";
    const Case cases[] = {
        {"a name twice on the root: the lower identifier", e2e::local(devwire::whoHasName("Frequency"), false),
         {{root, ai(5), "Frequency"}}},
        {"the root Device's name", e2e::local(devwire::whoHasName("Main Meter"), false),
         {{root, root, "Main Meter"}}},
        {"the root Device's name and more", e2e::local(devwire::whoHasName("Main Meter 2"), false), {}},
        {"part of the root Device's name", e2e::local(devwire::whoHasName("Main"), false), {}},
        {"a name every load has", global(devwire::whoHasName(power)),
         {{pump, ai(8), power}, {chiller, ai(8), power}}},
        {"a load Device's name", global(devwire::whoHasName("Pump House")), {{pump, pump, "Pump House"}}},
        {"a load Device's name and more", global(devwire::whoHasName("Pump House 2")), {}},
        {"part of a load Device's name", global(devwire::whoHasName("Pump")), {}},
        {"by identifier on the root", e2e::local(devwire::whoHasId(ai(5)), false), {{root, ai(5), "Frequency"}}},
        {"an identifier nobody holds", global(devwire::whoHasId(ai(999))), {}},
        {"the root Device by identifier", e2e::local(devwire::whoHasId(root), false), {{root, root, "Main Meter"}}},
        {"a load Device by identifier", global(devwire::whoHasId(chiller)), {{chiller, chiller, "Chiller"}}},
        {"a load's Device at the root only", e2e::local(devwire::whoHasId(pump), false), {}},
        {"a load's polarity", global(devwire::whoHasId(objectIdMake(kObjBinaryValue, 3))),
         {{pump, objectIdMake(kObjBinaryValue, 3), loadObject(1001, objectIdMake(kObjBinaryValue, 3))->getObjectName()}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<IHave> got;
        for (const Bytes &apdu : send(c.npdu, true)) {
            if (auto i = devwire::readIHave(apdu)) {
                got.push_back({i->device, i->objectId, i->name});
            }
        }
        EXPECT_EQ(got, c.expected);
    }
}

// The name arrives without a terminator: a name that fills the request's
// room is compared as it came.
TEST_F(Services, WhoHasNameIsTakenAsReceived) {
    const std::string longName(120, 'x');
    rootObject(ai(6))->setObjectName(longName);
    startLink();
    CharStringStore<120> store;
    std::memcpy(store.room, longName.data(), longName.size());
    store.str.length = 120;
    link->advance(5);
    harness::takeSent();
    appWhoHas(-1, 0, true, &store.str, 0);
    harness::pump();
    const auto sent = harness::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    const auto i = devwire::readIHave(e2e::apduOf(sent[0].data));
    ASSERT_TRUE(i.has_value());
    EXPECT_EQ(i->objectId, ai(6));
}

// ---- passcodes ----

// DeviceCommunicationControl and ReinitializeDevice against the TQR
// stand-in on its fixed address, in a network namespace of the test's own.
class Passcodes : public Services {
  protected:
    static constexpr const char *kPincode = "pass\"word\\ 20 chars!";

    void SetUp() override {
        std::string why;
        if (!tqr_testing::enterOwnNetworkNamespace(why)) {
            GTEST_SKIP() << "no network namespace of its own: " << why;
        }
        Services::SetUp();
        tqrGlobalInit();
        startTqr();
        control = std::make_unique<tqr_testing::HttpClient>("127.0.0.1", 8160);
    }
    void TearDown() override {
        control.reset();
        standIn.reset();
        Services::TearDown();
    }
    void startTqr() {
        tqr::Options options;
        options.port = 8160;
        options.pincode = kPincode;
        standIn = std::make_unique<tqr::StandIn>(options);
        standIn->start();
    }
    // The bodies TQR's login got since the last call.
    std::vector<std::string> logins() {
        std::vector<std::string> out;
        auto res = control->Get("/_stub/log");
        if (res) {
            const nlohmann::json log = nlohmann::json::parse(res->body);
            for (const auto &r : log["requests"]) {
                if (r["target"] == "/api/v1/login") {
                    out.push_back(r["body"].get<std::string>());
                }
            }
        }
        control->Delete("/_stub/log");
        return out;
    }

    std::unique_ptr<tqr::StandIn> standIn;
    std::unique_ptr<tqr_testing::HttpClient> control;
};

struct Passcode {
    CharStringStore<64> store;
    explicit Passcode(const std::string &text) {
        std::memcpy(store.room, text.data(), text.size());
        store.str.length = static_cast<uint32_t>(text.size());
    }
    const CharString *get() const { return &store.str; }
};

// The last line written to standard output, without its time stamp.
std::string lastLine(const std::string &out) {
    std::string line = out;
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    line = line.substr(line.rfind('\n') == std::string::npos ? 0 : line.rfind('\n') + 1);
    const size_t blank = line.find(' ');
    return blank == std::string::npos ? "" : line.substr(blank + 1);
}

TEST_F(Passcodes, AnswersAndLogLinesOfDeviceCommunicationControlAndReinitializeDevice) {
    const Passcode right(kPincode);
    const Passcode wrong("1234");
    struct Case {
        const char *what;
        std::function<uint32_t()> call;
        uint32_t expected;
        std::string line;  // "" when nothing is logged
        bool restart;
    };
    const std::string disable = "notice Rec'd a DCC request to disable comm with a valid passcode. ";
    const Case cases[] = {
        {"DCC without passcode", [&] { return appDeviceCommunicationControl(-1, 1, 0, nullptr); }, kPasswordFailure,
         "emergency Invalid login attempt for DeviceCommunicationControl (no passcode).", false},
        {"DCC with a refused passcode", [&] { return appDeviceCommunicationControl(-1, 1, 0, wrong.get()); },
         kPasswordFailure, "emergency Invalid login attempt for DeviceCommunicationControl (wrong passcode).", false},
        {"DCC disable for 90 minutes", [&] { return appDeviceCommunicationControl(-1, 1, 90 * 60000, right.get()); },
         0, disable + "Disabling comms for 90 minutes.", false},
        {"DCC enable", [&] { return appDeviceCommunicationControl(1001, 0, 0, right.get()); }, 0,
         "notice Rec'd a DCC request to enable comm with a valid passcode.", false},
        {"DCC disable initiation", [&] { return appDeviceCommunicationControl(-1, 2, 150000, right.get()); }, 0,
         "notice Rec'd a DCC request to disable initiation of comms with a valid passcode. Disabling initiation "
         "of comms for 2 minutes.",
         false},
        {"DCC of another state", [&] { return appDeviceCommunicationControl(-1, 7, 0, right.get()); }, 0, "", false},
        {"warm start without passcode", [&] { return appReinitializeDevice(-1, 1, nullptr); }, kPasswordFailure,
         "emergency Invalid login attempt for ReinitializeDevice (no passcode).", false},
        {"warm start with a refused passcode", [&] { return appReinitializeDevice(-1, 1, wrong.get()); },
         kPasswordFailure, "emergency Invalid login attempt for ReinitializeDevice (wrong passcode).", false},
        {"warm start", [&] { return appReinitializeDevice(-1, 1, right.get()); }, 0,
         "emergency Warm boot requested for root device, restarting.", true},
        {"warm start of a load", [&] { return appReinitializeDevice(1001, 1, right.get()); }, 0,
         "emergency Warm boot requested for root device, restarting.", true},
        {"cold start", [&] { return appReinitializeDevice(-1, 0, right.get()); }, 0,
         "emergency Cold boot requested for root device, just logging it.", false},
        {"cold start of a load", [&] { return appReinitializeDevice(1003, 0, right.get()); }, 0,
         "emergency Cold boot requested for root device, just logging it.", false},
        {"start backup", [&] { return appReinitializeDevice(-1, 2, right.get()); }, kRequestDenied, "", false},
        {"start backup of a load", [&] { return appReinitializeDevice(1001, 2, right.get()); }, kRequestDenied, "",
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        resetRequested.store(false);
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.call(), c.expected);
        const std::string out = testing::internal::GetCapturedStdout();
        if (c.line.empty()) {
            EXPECT_EQ(out.find("Rec'd"), std::string::npos) << out;
            EXPECT_EQ(out.find("boot"), std::string::npos) << out;
        } else {
            EXPECT_EQ(lastLine(out), c.line) << out;
        }
        EXPECT_EQ(resetRequested.load(), c.restart);
    }
    resetRequested.store(false);
}

// The passcode reaches TQR as the characters received, escaped in the JSON
// body; one that fills the request's whole room is read no further.
TEST_F(Passcodes, PasscodeReachesTqrAsReceived) {
    logins();
    CharStringStore<20> full;
    ASSERT_EQ(std::strlen(kPincode), 20u);
    std::memcpy(full.room, kPincode, 20);
    full.str.length = 20;
    EXPECT_EQ(appCheckPasscode(&full.str), 0u);
    const auto bodies = logins();
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(bodies[0])["pincode"], kPincode) << bodies[0];
    // A zero character is part of the passcode, not its end.
    const Passcode cut(std::string(kPincode, 4) + std::string(1, '\0') + "x");
    EXPECT_EQ(appCheckPasscode(cut.get()), kPasswordFailure);
}

// Over the stack: a TQR that never answers makes the passcode fail within
// the transport's time-out and the device serves again afterwards; a TQR
// that refuses connections fails every passcode.
TEST_F(Passcodes, SilentOrAbsentTqrFailsThePasscodeAndTheDeviceServesOn) {
    startLink();
    const uint32_t device = e2e::deviceObjectId(1000);
    const std::string passwordFailure = "50 01 14 91 04 91 1A";

    ASSERT_TRUE(control->Put("/_stub/delay/api/v1/login?method=POST", "600000", "text/plain"));
    EXPECT_EQ(e2e::hex(ask(e2e::local(devwire::reinitializeDevice(1, 1, std::string(kPincode))))),
              passwordFailure);
    EXPECT_FALSE(resetRequested.load());
    ASSERT_TRUE(control->Put("/_stub/delay/api/v1/login?method=POST", "0", "text/plain"));
    const Bytes name = ask(e2e::local(e2e::rp(2, device, kPropObjectName)));
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name[0], 0x30);
    EXPECT_EQ(e2e::hex(ask(e2e::local(devwire::reinitializeDevice(3, 0, std::string(kPincode))))), "20 03 14");

    // DCC refused by TQR: the stack's Error and its own line too.
    testing::internal::CaptureStdout();
    EXPECT_EQ(e2e::hex(ask(e2e::local(devwire::deviceCommunicationControl(4, 1, 5, std::string("nope"))))),
              "50 04 11 91 04 91 1A");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("emergency Invalid login attempt for DeviceCommunicationControl (wrong passcode).\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("emergency Received BACnet DCC, password check failure\n"), std::string::npos) << out;

    standIn.reset();
    EXPECT_EQ(e2e::hex(ask(e2e::local(devwire::reinitializeDevice(5, 1, std::string(kPincode))))),
              "50 05 14 91 04 91 1A");
    EXPECT_FALSE(resetRequested.load());
    startTqr();
    EXPECT_EQ(e2e::hex(ask(e2e::local(devwire::reinitializeDevice(6, 1, std::string(kPincode))))), "20 06 14");
    EXPECT_TRUE(resetRequested.exchange(false));
}

// While communication is disabled the device answers nothing but DCC and
// ReinitializeDevice; enabling brings the answers back.
TEST_F(Passcodes, DisabledCommunicationSilencesReads) {
    startLink();
    const uint32_t device = e2e::deviceObjectId(1000);
    EXPECT_EQ(e2e::hex(ask(e2e::local(devwire::deviceCommunicationControl(1, 1, 10, std::string(kPincode))))),
              "20 01 11");
    EXPECT_TRUE(send(e2e::local(e2e::rp(2, device, kPropObjectName))).empty());
    EXPECT_EQ(e2e::hex(ask(e2e::local(devwire::deviceCommunicationControl(3, 0, std::nullopt, std::string(kPincode))))),
              "20 03 11");
    EXPECT_EQ(ask(e2e::local(e2e::rp(4, device, kPropObjectName))).at(0), 0x30);
}

}  // namespace
