// Who-Has answered with I-Have per device by the request's DNET, and I-Have
// and Who-Is silenced while initiation is disabled.

#include <gtest/gtest.h>

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/stack.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;

namespace {

Bytes byName(const std::string &name) {
    Bytes chars(name.begin(), name.end());
    return cat(Bytes{0x3D, static_cast<uint8_t>(name.size() + 1), 0x00}, chars);
}

// A Who-Has APDU with optional limits.
Bytes whoHas(const Bytes &object, int64_t low = -1, int64_t high = -1) {
    Bytes apdu{0x10, kSvcWhoHas};
    if (low >= 0)
        apdu = cat(apdu, ctxUnsigned(0, static_cast<uint32_t>(low)));
    if (high >= 0)
        apdu = cat(apdu, ctxUnsigned(1, static_cast<uint32_t>(high)));
    return cat(apdu, object);
}

Bytes withDnet(uint16_t dnet, const Bytes &apdu) {
    Bytes npdu{0x01, 0x20, static_cast<uint8_t>(dnet >> 8), static_cast<uint8_t>(dnet), 0x00, 0xFF};
    return cat(npdu, apdu);
}

// The device instances of the I-Have messages sent, in order, as "device:object".
std::vector<std::string> iHaves(const std::vector<harness::Datagram> &sent) {
    std::vector<std::string> out;
    for (const auto &d : sent) {
        Bytes apdu = apduOf(d);
        if (apdu.size() < 12 || apdu[0] != 0x10 || apdu[1] != kSvcIHave)
            continue;
        uint32_t device = (uint32_t{apdu[3]} << 24 | uint32_t{apdu[4]} << 16 | uint32_t{apdu[5]} << 8 | apdu[6]) &
                          kMaxInstance;
        uint32_t object = uint32_t{apdu[8]} << 24 | uint32_t{apdu[9]} << 16 | uint32_t{apdu[10]} << 8 | apdu[11];
        out.push_back(std::to_string(device) + ":" + std::to_string(objectIdType(object)) + "/" +
                      std::to_string(objectIdInstance(object)));
    }
    return out;
}

using List = std::vector<std::string>;

// A name of 121 characters; the root's analog input 5 is named with its
// first 120, the longest a Who-Has may ask for, so that a longer name cut
// short would find it.
const std::string kName121 = [] {
    std::string name;
    for (int i = 0; i < 121; ++i)
        name += static_cast<char>('A' + i % 26);
    return name;
}();
const std::string kName120 = kName121.substr(0, 120);

testapp::Config withLongName() {
    testapp::Config config;
    config.objectNames[5] = kName120;
    return config;
}

TEST(WhoHas, AnswersByDnetAndLimits) {
    harness::Stack stack(withLongName());
    struct Case {
        const char *name;
        Bytes npdu;
        List answers;
    };
    const Case cases[] = {
        {"local, by name", local(whoHas(byName("AI 2")), false), {"1234:0/2"}},
        {"global, by name", withDnet(0xFFFF, whoHas(byName("AI 2"))),
         {"1234:0/2", "42:0/2", "43:0/2", "44:0/2"}},
        {"virtual network, by name", withDnet(100, whoHas(byName("AI 1"))),
         {"1234:0/1", "42:0/1", "43:0/1", "44:0/1"}},
        {"virtual device by DADR", toVirtual(100, 43, whoHas(ctxObjectId(2, analogInput(3)))),
         {"1234:0/3", "43:0/3"}},
        {"by identifier, limits 43..43", withDnet(0xFFFF, whoHas(ctxObjectId(2, analogInput(1)), 43, 43)),
         {"43:0/1"}},
        {"device by name", local(whoHas(byName("Meter 1234")), false), {"1234:8/1234"}},
        {"no such object", local(whoHas(byName("nothing")), false), {}},
        {"limits out of order", local(whoHas(byName("AI 2"), 10, 5), false), {}},
        {"high limit out of range", local(whoHas(byName("AI 2"), 0, 4194304), false), {}},
        {"low limit only", local(whoHas(byName("AI 2"), 0), false), {}},
        {"neither name nor identifier", local(Bytes{0x10, kSvcWhoHas}, false), {}},
        {"name as application string", local(whoHas(Bytes{0x75, 0x02, 0x00, 'x'}), false), {}},
        {"identifier with 3 octets", local(whoHas(Bytes{0x2B, 0, 0, 1}), false), {}},
        {"name of 120 characters", local(whoHas(byName(kName120)), false), {"1234:0/5"}},
        {"name of 121 characters", local(whoHas(byName(kName121)), false), {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(iHaves(stack.request(c.npdu, true)), c.answers);
    }
}

TEST(WhoHas, IHaveOfAVirtualDeviceCarriesItsNetworkAsSource) {
    harness::Stack stack;
    auto sent = stack.request(toVirtual(100, 42, whoHas(ctxObjectId(2, analogInput(1)))), true);
    ASSERT_EQ(sent.size(), 2u);
    Bytes npdu = npduOf(sent[1]);
    NpduHeader h;
    ASSERT_TRUE(npduParseHeader(npdu.data(), static_cast<uint32_t>(npdu.size()), &h));
    EXPECT_TRUE(h.hasDnet);
    EXPECT_EQ(h.dnet, 0xFFFF);
    EXPECT_TRUE(h.hasSnet);
    EXPECT_EQ(h.snet, 100);
    ASSERT_EQ(h.slen, 6);
    EXPECT_EQ(h.sadr[5], 42);
    EXPECT_EQ(h.hopCount, 254);
}

TEST(Initiation, DisabledSilencesIHaveAndWhoIsButNotIAm) {
    harness::Stack stack;
    stackInitiationDisabled = 1;
    EXPECT_TRUE(iHaves(stack.request(local(whoHas(byName("AI 2")), false), true)).empty());
    svcSendWhoIs(1, 2);
    EXPECT_TRUE(harness::takeSent().empty());
    EXPECT_EQ(stack.request(local(Bytes{0x10, 0x08}, false), true).size(), 1u);
    stackInitiationDisabled = 0;
}

}  // namespace
