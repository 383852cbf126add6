#include <gtest/gtest.h>

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/stack.h"
#include "test_util.h"

using harness::Bytes;
using harness::Datagram;
using namespace tu;

namespace {

constexpr uint32_t kAi1 = objectIdMake(kObjAnalogInput, 1);

TEST(Router, StartAnnouncesTheVirtualNetworkAndAsksForTheNetworkNumber) {
    harness::Stack stack;
    ASSERT_TRUE(stack.started());
    auto sent = harness::takeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(hex(sent[0].data), "81 0B 00 09 01 80 01 00 64");
    EXPECT_EQ(hex(sent[1].data), "81 0B 00 07 01 80 12");
    EXPECT_EQ(sent[0].address, harness::ip(192, 0, 2, 255));
    EXPECT_EQ(sent[0].port, harness::port(47808));
}

TEST(Router, RepliesFromVirtualDevicesCarryTheRightAddressing) {
    harness::Stack stack;
    // A local client: the reply names the virtual device as source only.
    auto r = stack.request(toVirtual(100, 42, rp(1, objectIdMake(kObjDevice, 42), kPropObjectIdentifier)));
    ASSERT_EQ(r.size(), 1u);
    Bytes npdu = npduOf(r[0]);
    ASSERT_GE(npdu.size(), 11u);
    EXPECT_EQ(hex(Bytes(npdu.begin(), npdu.begin() + 11)), "01 08 00 64 06 00 00 00 00 00 2A");
    EXPECT_EQ(r[0].address, harness::ip(192, 0, 2, 20));

    // A client behind router network 5 (SADR 0A): DNET/DADR of the client,
    // SNET/SADR of the virtual device; hop count 254 on a ComplexACK, 255 on
    // a short reply.
    Bytes routed{0x01, 0x2C, 0x00, 0x64, 0x06, 0, 0, 0, 0, 0, 0x2A, 0x00, 0x05, 0x01, 0x0A, 0xFF};
    r = stack.request(cat(routed, rp(2, objectIdMake(kObjDevice, 42), kPropObjectIdentifier)));
    ASSERT_EQ(r.size(), 1u);
    npdu = npduOf(r[0]);
    EXPECT_EQ(hex(Bytes(npdu.begin(), npdu.begin() + 16)), "01 28 00 05 01 0A 00 64 06 00 00 00 00 00 2A FE");
    EXPECT_EQ(npdu[16], 0x30);

    r = stack.request(cat(routed, rp(3, deviceObjectId(42), kUnknownProperty)));
    ASSERT_EQ(r.size(), 1u);
    npdu = npduOf(r[0]);
    EXPECT_EQ(hex(Bytes(npdu.begin(), npdu.begin() + 16)), "01 28 00 05 01 0A 00 64 06 00 00 00 00 00 2A FF");
    EXPECT_EQ(npdu[16], 0x50);
}

TEST(Router, RequestsForUnknownVirtualDevicesOrOtherNetworksAreDropped) {
    harness::Stack stack;
    EXPECT_TRUE(stack.request(toVirtual(100, 77, rp(1, objectIdMake(kObjDevice, 77), kPropObjectIdentifier)))
                    .empty());
    EXPECT_TRUE(stack.request(toVirtual(101, 42, rp(1, objectIdMake(kObjDevice, 42), kPropObjectIdentifier)))
                    .empty());
    EXPECT_EQ(freePackets(), static_cast<uint32_t>(kPoolPackets));
}

TEST(Router, BroadcastsReachOnlyUnconfirmedServices) {
    harness::Stack stack;
    // Global Who-Is: the root device and the three virtual devices answer.
    auto r = stack.request(Bytes{0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08}, true);
    EXPECT_EQ(r.size(), 4u);
    // A ReadProperty received as a broadcast is not answered.
    EXPECT_TRUE(stack.request(local(rp(1, kAi1, kPropPresentValue)), true).empty());
    // A confirmed request to a remote broadcast (DNET with DLEN 0) neither.
    Bytes remoteBroadcast{0x01, 0x24, 0x00, 0x64, 0x00, 0xFF};
    EXPECT_TRUE(stack.request(cat(remoteBroadcast, rp(1, kAi1, kPropPresentValue))).empty());
}

struct NetworkCase {
    const char *name;
    Bytes npdu;
    const char *reply;  // expected NPDU of the one reply, or null for none
};

TEST(Router, NetworkMessages) {
    const NetworkCase cases[] = {
        {"who-is-router, no network", {0x01, 0x80, 0x00}, "01 80 01 00 64"},
        {"who-is-router, virtual network", {0x01, 0x80, 0x00, 0x00, 0x64}, "01 80 01 00 64"},
        {"who-is-router, list naming it", {0x01, 0x80, 0x00, 0x00, 0x05, 0x00, 0x64}, "01 80 01 00 64"},
        {"who-is-router, other network", {0x01, 0x80, 0x00, 0x00, 0x05}, nullptr},
        {"who-is-router, odd octet", {0x01, 0x80, 0x00, 0x00}, "01 80 01 00 64"},
        {"unknown type from a local sender", {0x01, 0x80, 0x20}, "01 80 03 03 00 CB"},
        {"unknown type via a router",
         {0x01, 0x88, 0x00, 0x05, 0x01, 0x0A, 0x20},
         "01 A0 00 05 01 0A FF 03 03 00 CB"},
        {"reserved type ignored", {0x01, 0x80, 0x05}, nullptr},
        {"network message for another network", {0x01, 0xA0, 0x00, 0x07, 0x00, 0xFF, 0x00}, nullptr},
        {"network message without its type", {0x01, 0x80}, nullptr},
    };
    harness::Stack stack;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = stack.request(c.npdu, false);
        if (c.reply == nullptr) {
            EXPECT_TRUE(r.empty());
        } else {
            ASSERT_EQ(r.size(), 1u);
            EXPECT_EQ(hex(npduOf(r[0])), c.reply);
        }
    }
}

TEST(Router, DuplicateRouteIsLogged) {
    harness::Stack stack;
    testapp::clearLog();
    stack.request(Bytes{0x01, 0x80, 0x01, 0x00, 0x05, 0x00, 0x64});
    EXPECT_TRUE(testapp::logContains("1 Detected a duplicate route to 100, please correct."));
}

TEST(Router, AnswersWhatIsNetworkNumberAfterNineSecondsUnlessCancelled) {
    testapp::Config config;
    config.bipNetwork = 7;
    harness::Stack stack(config);
    stack.advance(10000, 5);  // the start-up announcement runs out first
    harness::takeSent();

    stack.request(Bytes{0x01, 0x80, 0x12});
    stack.advance(8500);
    EXPECT_EQ(harness::sentCount(), 0u);
    stack.advance(1000);
    auto sent = harness::takeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex(sent[0].data), "81 0B 00 0A 01 80 13 00 07 00");

    // A Network-Number-Is in between cancels the answer.
    stack.request(Bytes{0x01, 0x80, 0x12});
    stack.advance(3000);
    stack.request(Bytes{0x01, 0x80, 0x13, 0x00, 0x07, 0x00});
    stack.advance(10000);
    EXPECT_EQ(harness::sentCount(), 0u);

    // Asked through a router (SNET) or of all networks (DNET), the question
    // is not about the network this port is on.
    const Bytes notLocal[] = {
        {0x01, 0x88, 0x00, 0x05, 0x01, 0x0A, 0x12},
        {0x01, 0xA0, 0xFF, 0xFF, 0x00, 0xFF, 0x12},
    };
    for (const Bytes &npdu : notLocal) {
        SCOPED_TRACE(hex(npdu));
        stack.request(npdu);
        stack.advance(10000);
        EXPECT_EQ(harness::sentCount(), 0u);
        EXPECT_EQ(routerNetworkNumberCountdown(), 255);
    }
}

TEST(Router, LearnsTheNetworkNumberFromConfiguredAnnouncements) {
    harness::Stack stack;
    testapp::clearLog();
    stack.request(Bytes{0x01, 0x80, 0x13, 0x00, 0x09, 0x00});  // not configured: ignored
    EXPECT_EQ(stackDevice().bipNetwork, 0);
    stack.request(Bytes{0x01, 0x80, 0x13, 0x00, 0x09, 0x01});
    EXPECT_EQ(stackDevice().bipNetwork, 9);
    EXPECT_EQ(stackDevice().bipNetworkLearned, 1);
    EXPECT_TRUE(testapp::logContains("6 Configuring B/IP network to 9"));
    stack.request(Bytes{0x01, 0x80, 0x13, 0x00, 0x0B, 0x01});
    EXPECT_EQ(stackDevice().bipNetwork, 9);
    EXPECT_TRUE(testapp::logContains("1 B/IP network is configured as 9, ignoring new # 11"));
    stack.request(Bytes{0x01, 0x80, 0x13, 0x00, 0x64, 0x01});
    EXPECT_TRUE(testapp::logContains("1 Detected a duplicate of VNET 100, please correct."));
}

TEST(Router, NetworkNumberIsFromBeyondARouterIsIgnored) {
    harness::Stack stack;
    // Carried with an SNET, the network field sits 6 octets later than in a
    // local message; reading it at the local offsets would take the SNET
    // octets for the number.
    stack.request(Bytes{0x01, 0x88, 0x00, 0x05, 0x01, 0x0A, 0x13, 0x00, 0x09, 0x01});
    stack.request(Bytes{0x01, 0xA0, 0xFF, 0xFF, 0x00, 0xFF, 0x13, 0x00, 0x09, 0x01});
    EXPECT_EQ(stackDevice().bipNetwork, 0);
    EXPECT_EQ(stackDevice().bipNetworkLearned, 0);
    // Too short to hold network and flag.
    stack.request(Bytes{0x01, 0x80, 0x13, 0x00, 0x09});
    EXPECT_EQ(stackDevice().bipNetwork, 0);
}

TEST(Npdu, ShortOrLyingHeadersAreDroppedWithoutReadingPastTheEnd) {
    // DLEN 255 with all its octets present: only the limit of 8 keeps the
    // address from being copied over the packet's own fields.
    Bytes dlen255{0x01, 0x24, 0x00, 0x64, 0xFF};
    dlen255.insert(dlen255.end(), 255, 0xFF);
    dlen255.insert(dlen255.end(), {0xFF, 0x10, 0x08});
    const std::pair<const char *, Bytes> cases[] = {
        {"one octet", {0x01}},
        {"version 2", {0x02, 0x04, 0x00, 0x05, 0x01, 0x0C}},
        {"DNET announced, nothing follows", {0x01, 0x24}},
        {"DNET without DLEN", {0x01, 0x24, 0x00, 0x64}},
        {"DLEN above 8", {0x01, 0x24, 0x00, 0x64, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0x10, 0x08}},
        {"DLEN 255 with its octets, hop count and APDU", dlen255},
        {"DADR longer than the message", {0x01, 0x24, 0x00, 0x64, 0x06, 0x00, 0x00}},
        {"hop count missing", {0x01, 0x24, 0x00, 0x64, 0x06, 0, 0, 0, 0, 0, 0x2A}},
        {"DNET 0", {0x01, 0x24, 0x00, 0x00, 0x00, 0xFF, 0x10, 0x08}},
        {"SNET without SLEN", {0x01, 0x0C, 0x00, 0x05}},
        {"SLEN above 8", {0x01, 0x0C, 0x00, 0x05, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x10, 0x08}},
        {"SLEN 0", {0x01, 0x08, 0x00, 0x05, 0x00, 0x10, 0x08}},
        {"SADR longer than the message", {0x01, 0x08, 0x00, 0x05, 0x04, 0x0A}},
        {"no APDU after the header", {0x01, 0x04}},
    };
    harness::Stack stack;
    for (const auto &[name, npdu] : cases) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(stack.request(npdu).empty());
        EXPECT_EQ(freePackets(), static_cast<uint32_t>(kPoolPackets));
    }
}

TEST(Npdu, ReceiveRejectsInvalidInputBeforeQueueing) {
    harness::Stack stack;
    uint8_t mac[6] = {192, 0, 2, 20, 0xBA, 0xC0};
    Bytes big(1498, 0);
    big[0] = 1;
    npduReceive(kPortBip, 6, mac, nullptr, static_cast<uint32_t>(big.size()), big.data(), false);
    Bytes ok = local(rp(1, kAi1, kPropPresentValue));
    npduReceive(kPortBip, 9, mac, nullptr, static_cast<uint32_t>(ok.size()), ok.data(), false);
    npduReceive(kPortMstp, 1, mac, nullptr, static_cast<uint32_t>(ok.size()), ok.data(), false);
    for (const auto &q : npduQueues)
        EXPECT_EQ(q.count, 0);
    npduReceive(kPortBip, 6, mac, nullptr, static_cast<uint32_t>(ok.size()), ok.data(), false);
    EXPECT_EQ(npduQueues[0].count, 1);
}

TEST(Npdu, PriorityStepPassesAVirtualDeviceRequestAlone) {
    harness::Stack stack;
    harness::takeSent();
    uint8_t mac[6] = {192, 0, 2, 20, 0xBA, 0xC0};
    auto put = [&](const Bytes &npdu) {
        npduReceive(kPortBip, 6, mac, nullptr, static_cast<uint32_t>(npdu.size()), npdu.data(), false);
    };
    auto withPriority = [](Bytes npdu, uint8_t priority) {
        npdu[1] |= priority;
        return npdu;
    };
    put(withPriority(toVirtual(100, 42, rp(1, objectIdMake(kObjDevice, 42), kPropObjectIdentifier)), 3));
    put(withPriority(local(rp(2, kAi1, kPropPresentValue)), 2));
    put(withPriority(local(rp(3, kAi1, kPropPresentValue)), 1));
    put(withPriority(local(rp(4, kAi1, kPropPresentValue)), 0));
    npduProcess();
    EXPECT_EQ(apduQueue.count, 1);
    EXPECT_EQ(npduQueues[2].count, 1);
    EXPECT_EQ(npduQueues[1].count, 1);

    // A global Who-Is at priority 3 is passed on and the step goes on.
    poolInit();
    for (auto &q : npduQueues)
        queueClear(&q);
    queueClear(&apduQueue);
    put(Bytes{0x01, 0x23, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08});
    put(withPriority(local(rp(2, kAi1, kPropPresentValue)), 2));
    npduProcess();
    EXPECT_EQ(apduQueue.count, 2);
}

TEST(Npdu, HeaderWritersHonourTheHopCountRule) {
    harness::Stack stack;
    BACnetAddress a{};
    a.port = kPortBip;
    a.network = 5;
    a.remoteLength = 1;
    a.remoteAddress[0] = 0x0A;
    a.destinationNetwork = 100;
    a.virtualLength = 6;
    a.virtualAddress[5] = 0x2A;
    uint8_t out[32];
    uint8_t *end = npduEncodeHeader(out, &a, true);
    EXPECT_EQ(hex(Bytes(out, end)), "01 2C 00 05 01 0A 00 64 06 00 00 00 00 00 2A FF");
    PduBuffer b;
    ASSERT_EQ(pduInit(&b), 0);
    ASSERT_EQ(pduWriteNpduHeader(&b, &a, false), 0);
    EXPECT_EQ(hex(Bytes(b.writeBase, b.writeBase + b.length)),
              "01 28 00 05 01 0A 00 64 06 00 00 00 00 00 2A FE");
    EXPECT_EQ(b.cursor, b.writeBase + b.length);
    pduFree(&b);
}

}  // namespace

namespace {

std::vector<uint32_t> iAmInstances(const std::vector<Datagram> &sent) {
    std::vector<uint32_t> out;
    for (const auto &d : sent) {
        Bytes apdu = apduOf(d);
        if (apdu.size() >= 7 && apdu[0] == apduFirstOctet(kPduUnconfirmedRequest) && apdu[1] == kSvcIAm &&
            apdu[2] == 0xC4) {
            out.push_back(objectIdInstance(uint32_t{apdu[4]} << 16 | uint32_t{apdu[5]} << 8 | apdu[6]));
        }
    }
    return out;
}

TEST(WhoIs, AnsweredByTheDevicesTheRequestReaches) {
    testapp::Config config;
    config.rootInstance = 5;
    harness::Stack stack(config);
    const Bytes global{0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF};
    const Bytes toVnet{0x01, 0x20, 0x00, 0x64, 0x00, 0xFF};
    const Bytes toVdev43{0x01, 0x20, 0x00, 0x64, 0x06, 0, 0, 0, 0, 0, 0x2B, 0xFF};
    const Bytes localNpdu{0x01, 0x00};
    struct Case {
        const char *name;
        Bytes npdu;
        std::vector<uint32_t> answered;
    };
    const Case cases[] = {
        {"global", cat(global, {0x10, 0x08}), {5, 42, 43, 44}},
        {"local", cat(localNpdu, {0x10, 0x08}), {5}},
        {"virtual network", cat(toVnet, {0x10, 0x08}), {42, 43, 44}},
        {"one virtual device", cat(toVdev43, {0x10, 0x08}), {43}},
        {"global 5..5", cat(global, {0x10, 0x08, 0x09, 0x05, 0x19, 0x05}), {5}},
        {"global 43..100", cat(global, {0x10, 0x08, 0x09, 0x2B, 0x19, 0x64}), {43, 44}},
        {"low limit only", cat(global, {0x10, 0x08, 0x09, 0x05}), {}},
        {"limits with wrong tags", cat(global, {0x10, 0x08, 0x19, 0x05, 0x09, 0x05}), {}},
        {"limit longer than the request", cat(global, {0x10, 0x08, 0x09, 0x05, 0x1A, 0x05}), {}},
        {"limit beyond the instance range",
         cat(global, {0x10, 0x08, 0x09, 0x00, 0x1B, 0x40, 0x00, 0x00}),
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(iAmInstances(stack.request(c.npdu, true)), c.answered);
    }
}

TEST(WhoIs, IAmOfAVirtualDeviceNamesItsNetworkAndAddress) {
    harness::Stack stack;
    auto sent =
        stack.request(Bytes{0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08, 0x09, 0x2A, 0x19, 0x2A}, true);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex(sent[0].data),
              "81 0B 00 22 01 28 FF FF 00 00 64 06 00 00 00 00 00 2A FE "
              "10 00 C4 02 00 00 2A 22 05 C4 91 01 22 02 2B");
    EXPECT_EQ(sent[0].address, harness::ip(192, 0, 2, 255));
}

}  // namespace
