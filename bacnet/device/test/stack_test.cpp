// The device application behind the real stack, in virtual time over the
// fake datalink: discovery of the root and the loads, object-list, and a
// whole object of a virtual device.
#include <gtest/gtest.h>

#include <algorithm>

#include "bacnet/enums.h"
#include "bacnet/stack/bip.h"
#include "device_fixture.h"
#include "e2e_wire.h"
#include "fake_link.h"

namespace {

using devtest::DeviceTest;
using devtest::LoadLayout;
using devtest::MeterLayout;
using e2e::Bytes;
using e2e::cat;

constexpr uint16_t kVnet = 100;

// A Who-Is to every network (DNET 0xFFFF), which the loads behind the
// router answer too.
Bytes whoIs() {
    return Bytes{0x01, e2e::kHasDestination, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08};
}

class ThroughStack : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        communicationConfig.type = 1;
        communicationConfig.setUdpPort(47808);
        MeterLayout layout;
        layout.baseName = "Main Meter";
        layout.network = kVnet;
        layout.loads = {LoadLayout{1, 1001, "Pump House", 0, {{6}, {7}, {8}}}, LoadLayout{3, 1003, "Chiller", 0, {}}};
        layout.inputs = {devtest::InputLayout{0, 0}};
        devtest::buildSets(layout);
        link = std::make_unique<harness::FakeLink>();
        ASSERT_TRUE(link->started());
    }
    void TearDown() override {
        link.reset();
        DeviceTest::TearDown();
    }
    // The APDU of the one reply to a request.
    Bytes ask(const Bytes &npdu) {
        auto sent = link->request(npdu);
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? Bytes{} : e2e::apduOf(sent[0].data);
    }
    std::unique_ptr<harness::FakeLink> link;
};

// The device instance an I-Am announces (its first tag, an object identifier).
uint32_t iAmInstance(const Bytes &apdu) {
    if (apdu.size() < 7 || apdu[0] != 0x10 || apdu[1] != 0x00 || apdu[2] != 0xC4) {
        return 0xFFFFFFFF;
    }
    return (uint32_t{apdu[3]} << 24 | uint32_t{apdu[4]} << 16 | uint32_t{apdu[5]} << 8 | apdu[6]) & 0x3FFFFF;
}

TEST_F(ThroughStack, WhoIsIsAnsweredByTheRootAndEveryLoad) {
    auto sent = link->request(whoIs(), true);
    struct Seen {
        uint32_t instance;
        bool routed;
        uint16_t snet;
        Bytes sadr;
    };
    std::vector<Seen> seen;
    for (const auto &d : sent) {
        Bytes npdu = e2e::npduOf(d.data);
        e2e::Npdu h;
        ASSERT_TRUE(e2e::parseNpdu(npdu, &h));
        if (h.networkMessage) {
            continue;
        }
        Bytes apdu(npdu.begin() + static_cast<std::ptrdiff_t>(h.headerLength), npdu.end());
        seen.push_back({iAmInstance(apdu), h.hasSnet, h.snet, h.sadr});
    }
    std::sort(seen.begin(), seen.end(), [](const Seen &a, const Seen &b) { return a.instance < b.instance; });
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].instance, 1000u);
    EXPECT_FALSE(seen[0].routed);
    EXPECT_EQ(seen[1].instance, 1001u);
    EXPECT_TRUE(seen[1].routed);
    EXPECT_EQ(seen[1].snet, kVnet);
    EXPECT_EQ(seen[1].sadr, (Bytes{0, 0, 0, 0, 0x03, 0xE9}));
    EXPECT_EQ(seen[2].instance, 1003u);
    EXPECT_EQ(seen[2].sadr, (Bytes{0, 0, 0, 0, 0x03, 0xEB}));
}

// Each load's I-Am fills a virtual record; the root keeps its own name.
TEST_F(ThroughStack, TheRootKeepsItsNameAfterTheLoadsAnswered) {
    link->request(whoIs(), true);
    const Bytes answer = ask(e2e::local(e2e::rp(1, e2e::deviceObjectId(1000), kPropObjectName)));
    const std::string text = "Main Meter";
    const Bytes value = cat(Bytes{0x75, static_cast<uint8_t>(text.size() + 1), 0x00}, Bytes(text.begin(), text.end()));
    EXPECT_EQ(e2e::hex(answer), e2e::hex(cat(Bytes{0x30, 0x01, 0x0C}, cat(e2e::ctxObjectId(0, e2e::deviceObjectId(1000)),
                                                                             cat(Bytes{0x19, 0x4D, 0x3E}, cat(value, Bytes{0x3F}))))));
    const Bytes load = ask(e2e::toVirtual(kVnet, 1001, e2e::rp(2, e2e::deviceObjectId(1001), kPropObjectName)));
    EXPECT_NE(e2e::hex(load).find(e2e::hex(Bytes{'P', 'u', 'm', 'p'})), std::string::npos) << e2e::hex(load);
}

TEST_F(ThroughStack, ObjectListWholeAndByIndex) {
    const uint32_t device = e2e::deviceObjectId(1001);
    // Element 0: the length, the Device object and the 116 objects.
    Bytes count = ask(e2e::toVirtual(kVnet, 1001, e2e::rp(1, device, kPropObjectList, 0)));
    EXPECT_EQ(e2e::hex(Bytes(count.end() - 4, count.end())), "3E 21 75 3F");
    Bytes first = ask(e2e::toVirtual(kVnet, 1001, e2e::rp(2, device, kPropObjectList, 1)));
    EXPECT_EQ(e2e::hex(Bytes(first.end() - 7, first.end())), e2e::hex(cat(Bytes{0x3E, 0xC4}, Bytes{0x02, 0x00, 0x03, 0xE9, 0x3F})));
    Bytes last = ask(e2e::toVirtual(kVnet, 1001, e2e::rp(3, device, kPropObjectList, 117)));
    // The highest identifier: large-analog-value 13.
    EXPECT_EQ(e2e::hex(Bytes(last.end() - 6, last.end())), "C4 0B 80 00 0D 3F");
    Bytes past = ask(e2e::toVirtual(kVnet, 1001, e2e::rp(4, device, kPropObjectList, 118)));
    EXPECT_EQ(e2e::hex(past), "50 04 0C 91 02 91 2A");
    // Whole: 117 object identifiers, each 5 octets.
    Bytes whole = ask(e2e::toVirtual(kVnet, 1001, e2e::rp(5, device, kPropObjectList)));
    ASSERT_GT(whole.size(), 117u * 5u);
    size_t ids = 0;
    for (size_t i = 0; i + 4 < whole.size(); ++i) {
        ids += whole[i] == 0xC4 ? 1 : 0;
    }
    EXPECT_GE(ids, 117u);
    Bytes root = ask(e2e::local(e2e::rp(6, e2e::deviceObjectId(1000), kPropObjectList, 0)));
    EXPECT_EQ(e2e::hex(Bytes(root.end() - 4, root.end())), "3E 21 12 3F");
}

TEST_F(ThroughStack, ReadPropertyMultipleAllOfAVirtualDevicesObject) {
    const uint32_t polarity = e2e::objectId(5, 2);
    Bytes answer = ask(e2e::toVirtual(kVnet, 1001, e2e::rpm(1, {{polarity, {{kPropAll}}}})));
    ASSERT_GE(answer.size(), 3u);
    ASSERT_EQ(answer[0], 0x30) << e2e::hex(answer);
    std::vector<e2e::RpmResult> results;
    ASSERT_TRUE(e2e::readRpmAck(Bytes(answer.begin() + 3, answer.end()), &results)) << e2e::hex(answer);
    std::vector<uint32_t> properties;
    for (const auto &r : results) {
        EXPECT_TRUE(r.ok) << r.property;
        EXPECT_EQ(r.objectId, polarity);
        properties.push_back(r.property);
    }
    // Every property of the list, property-list left out.
    EXPECT_EQ(properties, (std::vector<uint32_t>{75, 77, 79, 85, 111, 36, 81, 46, 4}));
    // The object is the load's, not the root's.
    Bytes fromRoot = ask(e2e::local(e2e::rp(2, polarity, kPropObjectName)));
    EXPECT_EQ(e2e::hex(fromRoot), "50 02 0C 91 01 91 1F");
}

}  // namespace
