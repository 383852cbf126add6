#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bacnet/stack/bip.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/stack.h"
#include "test_util.h"

using harness::Bytes;
using harness::Datagram;
using namespace tu;

namespace {

const uint32_t kClientIp = harness::ip(192, 0, 2, 20);
const uint32_t kBbmdIp = harness::ip(192, 0, 2, 1);
const uint16_t kBacnetPort = harness::port(47808);

testapp::Config withBbmd() {
    testapp::Config c;
    c.bbmd[0] = 192;
    c.bbmd[1] = 0;
    c.bbmd[2] = 2;
    c.bbmd[3] = 1;
    c.bbmdTtl = 300;
    return c;
}

size_t countFunction(const std::vector<Datagram> &sent, uint8_t function, uint32_t to) {
    size_t n = 0;
    for (const auto &d : sent) {
        if (d.data.size() >= 2 && d.data[1] == function && d.address == to)
            ++n;
    }
    return n;
}

Bytes bvlcResult(uint16_t code) {
    return {
        kBvllTypeBip, kBvlcResult, 0x00, 0x06, static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
}

TEST(Bip, DatagramsThatFailTheBvllChecksAreDropped) {
    harness::Stack stack;
    Bytes request = local(rp(1, analogInput(1), kPropPresentValue));
    Bytes good = harness::bvll(kBvlcOriginalUnicastNpdu, request);
    Bytes lyingLonger = good;
    lyingLonger[3] = static_cast<uint8_t>(good.size() - 4);  // says 20 while 24 arrived
    Bytes lyingShorter = good;
    lyingShorter[3] = static_cast<uint8_t>(good.size() + 4);
    Bytes wrongType = good;
    wrongType[0] = 0x82;
    const std::pair<const char *, Bytes> cases[] = {
        {"length field shorter than received", lyingLonger},
        {"length field longer than received", lyingShorter},
        {"wrong type", wrongType},
        {"three octets", {0x81, 0x0A, 0x00}},
        {"length below 4", {0x81, 0x0A, 0x00, 0x03}},
        {"forwarded NPDU shorter than its address", {0x81, 0x04, 0x00, 0x09, 192, 0, 2, 30, 0xBA}},
        {"unicast with a one-octet NPDU", {0x81, 0x0A, 0x00, 0x05, 0x01}},
    };
    for (const auto &[name, message] : cases) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(stack.datagram(message, kClientIp, kBacnetPort).empty());
    }
    ASSERT_EQ(stack.datagram(good, kClientIp, kBacnetPort).size(), 1u);
}

TEST(Bip, ForwardedNpduIsAnsweredToTheOriginatingDevice) {
    harness::Stack stack;
    Bytes forwarded{0x81, 0x04, 0x00, 0x00, 192, 0, 2, 30, 0xBA, 0xC1};
    forwarded = cat(forwarded, local(rp(1, analogInput(1), kPropPresentValue)));
    forwarded[3] = static_cast<uint8_t>(forwarded.size());
    auto r = stack.datagram(forwarded, kBbmdIp, kBacnetPort);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].address, harness::ip(192, 0, 2, 30));
    EXPECT_EQ(r[0].port, harness::port(0xBAC1));
    // A forwarded copy of the stack's own broadcast is not taken as a request.
    Bytes own{0x81, 0x04, 0x00, 0x00, 192, 0, 2, 10, 0xBA, 0xC0};
    own = cat(own, local(rp(1, analogInput(1), kPropPresentValue)));
    own[3] = static_cast<uint8_t>(own.size());
    EXPECT_TRUE(stack.datagram(own, kBbmdIp, kBacnetPort).empty());
}

TEST(Bip, BbmdRequestsGetTheirNegativeResults) {
    const std::pair<uint8_t, const char *> cases[] = {
        {kBvlcWriteBroadcastDistributionTable, "81 00 00 06 00 10"},
        {kBvlcReadBroadcastDistributionTable, "81 00 00 06 00 20"},
        {kBvlcRegisterForeignDevice, "81 00 00 06 00 30"},
        {kBvlcReadForeignDeviceTable, "81 00 00 06 00 40"},
        {kBvlcDeleteForeignDeviceTableEntry, "81 00 00 06 00 50"},
    };
    harness::Stack stack;
    for (auto [function, answer] : cases) {
        SCOPED_TRACE(function);
        Bytes message = harness::bvll(function, Bytes{0x00, 0x3C});
        auto r = stack.datagram(message, kClientIp, kBacnetPort);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(hex(r[0].data), answer);
        EXPECT_EQ(r[0].address, kClientIp);
    }
    // Distribute-Broadcast-To-Network: refused, and its NPDU still served.
    auto r = stack.datagram(harness::bvll(kBvlcDistributeBroadcastToNetwork, Bytes{0x01, 0x00, 0x10, 0x08}),
                            kClientIp, kBacnetPort);
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(hex(r[0].data), "81 00 00 06 00 60");
    EXPECT_EQ(r[1].data[1], kBvlcOriginalBroadcastNpdu);
}

TEST(Bip, OwnLoopedBackDatagramIsDropped) {
    harness::Stack stack;
    const Bytes request = harness::bvll(kBvlcOriginalUnicastNpdu, local(rp(1, analogInput(1), kPropPresentValue)));
    EXPECT_TRUE(stack.datagram(request, harness::ip(192, 0, 2, 10), kBacnetPort).empty());
}

TEST(Bip, LargestValidDatagramsAreReceived) {
    harness::Stack stack;
    // A confirmed request of an unknown service padded to the largest NPDU:
    // it must reach the application layer (which rejects it).
    Bytes npdu = local(Bytes{0x00, 0x05, 0x09, 99});
    npdu.resize(1497, 0x00);
    auto r = stack.datagram(harness::bvll(kBvlcOriginalUnicastNpdu, npdu), kClientIp, kBacnetPort);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(hex(apduOf(r[0])), "60 09 09");
    Bytes forwarded{0x81, 0x04, 0x00, 0x00, 192, 0, 2, 30, 0xBA, 0xC0};
    forwarded = cat(forwarded, npdu);
    forwarded[2] = static_cast<uint8_t>(forwarded.size() >> 8);
    forwarded[3] = static_cast<uint8_t>(forwarded.size());
    EXPECT_EQ(stack.datagram(forwarded, kBbmdIp, kBacnetPort).size(), 1u);
    // One octet more than any datalink accepts is dropped, and so is a
    // datagram longer than the receive buffer.
    npdu.push_back(0);
    EXPECT_TRUE(
        stack.datagram(harness::bvll(kBvlcOriginalUnicastNpdu, npdu), kClientIp, kBacnetPort).empty());
    Bytes huge(2000, 0);
    huge[0] = 0x81;
    huge[1] = kBvlcOriginalUnicastNpdu;
    huge[2] = static_cast<uint8_t>(huge.size() >> 8);
    huge[3] = static_cast<uint8_t>(huge.size());
    EXPECT_TRUE(stack.datagram(huge, kClientIp, kBacnetPort).empty());
}

class ForeignDevice : public ::testing::Test {
  protected:
    // Advances whole seconds and returns what was sent meanwhile.
    std::vector<Datagram> seconds(harness::Stack &stack, int n) {
        stack.advance(static_cast<uint32_t>(n) * 1000, 250);
        return harness::takeSent();
    }
    // The BVLL function of the one datagram that a broadcast Who-Is answer
    // goes out with: Original-Broadcast-NPDU locally, Distribute-Broadcast-To-
    // Network through the BBMD.
    uint8_t broadcastFunction(harness::Stack &stack) {
        auto r = stack.request(Bytes{0x01, 0x00, 0x10, 0x08}, true);
        EXPECT_EQ(r.size(), 1u);
        return r.size() == 1 ? r[0].data[1] : 0;
    }
};

TEST_F(ForeignDevice, RegistersRenewsAtTtlAndBroadcastsThroughTheBbmd) {
    harness::Stack stack(withBbmd());
    harness::takeSent();
    auto sent = seconds(stack, 1);
    ASSERT_EQ(countFunction(sent, kBvlcRegisterForeignDevice, kBbmdIp), 1u);
    for (const auto &d : sent) {
        if (d.data[1] == kBvlcRegisterForeignDevice) {
            EXPECT_EQ(hex(d.data), "81 05 00 06 01 2C");
        }
    }
    EXPECT_EQ(bipFdState(), kFdWaiting);
    stack.datagram(bvlcResult(kBvlcSuccessfulCompletion), kBbmdIp, kBacnetPort);
    EXPECT_EQ(bipFdState(), kFdRegistered);

    // Broadcasts now go to the BBMD as Distribute-Broadcast-To-Network.
    auto r = stack.request(Bytes{0x01, 0x00, 0x10, 0x08}, true);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data[1], kBvlcDistributeBroadcastToNetwork);
    EXPECT_EQ(r[0].address, kBbmdIp);

    EXPECT_EQ(countFunction(seconds(stack, 299), kBvlcRegisterForeignDevice, kBbmdIp), 0u);
    EXPECT_EQ(countFunction(seconds(stack, 1), kBvlcRegisterForeignDevice, kBbmdIp), 1u);
}

TEST_F(ForeignDevice, RefusedBroadcastRegistersAgainAtTheNextSecond) {
    harness::Stack stack(withBbmd());
    seconds(stack, 1);
    stack.datagram(bvlcResult(kBvlcSuccessfulCompletion), kBbmdIp, kBacnetPort);
    ASSERT_EQ(bipFdState(), kFdRegistered);
    // The BBMD lost its table and refuses the next broadcast.
    stack.datagram(bvlcResult(kBvlcDistributeBroadcastToNetworkNak), kBbmdIp, kBacnetPort);
    EXPECT_NE(bipFdState(), kFdRegistered);
    EXPECT_EQ(broadcastFunction(stack), kBvlcOriginalBroadcastNpdu);
    EXPECT_EQ(countFunction(seconds(stack, 1), kBvlcRegisterForeignDevice, kBbmdIp), 1u);
    stack.datagram(bvlcResult(kBvlcSuccessfulCompletion), kBbmdIp, kBacnetPort);
    EXPECT_EQ(bipFdState(), kFdRegistered);
}

TEST_F(ForeignDevice, RefusalRetriesAfterThreeSeconds) {
    harness::Stack stack(withBbmd());
    seconds(stack, 1);
    stack.datagram(bvlcResult(kBvlcRegisterForeignDeviceNak), kBbmdIp, kBacnetPort);
    EXPECT_EQ(bipFdState(), kFdNotRegistered);
    EXPECT_EQ(countFunction(seconds(stack, 2), kBvlcRegisterForeignDevice, kBbmdIp), 0u);
    EXPECT_EQ(countFunction(seconds(stack, 1), kBvlcRegisterForeignDevice, kBbmdIp), 1u);
    // Broadcasts stay local while not registered.
    EXPECT_EQ(broadcastFunction(stack), kBvlcOriginalBroadcastNpdu);
}

TEST_F(ForeignDevice, SilenceRetriesEveryTenSecondsAndBacksOffAfterEleven) {
    harness::Stack stack(withBbmd());
    std::vector<int> at;
    for (int t = 1; t <= 200; ++t) {
        if (countFunction(seconds(stack, 1), kBvlcRegisterForeignDevice, kBbmdIp) == 1)
            at.push_back(t);
    }
    std::vector<int> expected;
    for (int i = 0; i < 11; ++i)
        expected.push_back(1 + 10 * i);
    expected.push_back(161);
    for (int i = 1; 161 + 10 * i <= 200; ++i)
        expected.push_back(161 + 10 * i);
    EXPECT_EQ(at, expected);
}

TEST_F(ForeignDevice, ResultsFromOtherNodesDoNotChangeTheRegistration) {
    harness::Stack stack(withBbmd());
    seconds(stack, 1);
    stack.datagram(bvlcResult(kBvlcSuccessfulCompletion), kClientIp, kBacnetPort);
    EXPECT_EQ(bipFdState(), kFdWaiting);
    stack.datagram(Bytes{0x81, 0x00, 0x00, 0x05, 0x00}, kBbmdIp, kBacnetPort);
    EXPECT_EQ(bipFdState(), kFdWaiting);
}

TEST_F(ForeignDevice, RestartDeletesTheEntryAndRegistersAgain) {
    {
        harness::Stack stack(withBbmd());
        seconds(stack, 1);
        stack.datagram(bvlcResult(kBvlcSuccessfulCompletion), kBbmdIp, kBacnetPort);
        ASSERT_EQ(bipFdState(), kFdRegistered);
        stackShutdown();
        auto sent = harness::takeSent();
        ASSERT_EQ(countFunction(sent, kBvlcDeleteForeignDeviceTableEntry, kBbmdIp), 1u);
        for (const auto &d : sent) {
            if (d.data[1] == kBvlcDeleteForeignDeviceTableEntry) {
                EXPECT_EQ(hex(d.data), "81 08 00 0A C0 00 02 0A BA C0");
            }
        }
    }
    harness::Stack again(withBbmd());
    EXPECT_NE(bipFdState(), kFdRegistered);
    // Until the BBMD confirms, broadcasts are local, and the registration is
    // sent at the first second.
    auto r = again.request(Bytes{0x01, 0x00, 0x10, 0x08}, true);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data[1], kBvlcOriginalBroadcastNpdu);
    EXPECT_EQ(countFunction(seconds(again, 1), kBvlcRegisterForeignDevice, kBbmdIp), 1u);
}

}  // namespace

// The real UDP socket, in a private network namespace of this test process
// so that the BACnet port cannot collide with anything else.
class RealUdp : public ::testing::Test {
  protected:
    int client = -1;

    void SetUp() override {
        if (unshare(CLONE_NEWNET) != 0)
            GTEST_SKIP() << "cannot make a network namespace: " << std::strerror(errno);
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
        ASSERT_EQ(ioctl(s, SIOCGIFFLAGS, &ifr), 0);
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        ASSERT_EQ(ioctl(s, SIOCSIFFLAGS, &ifr), 0);
        close(s);
        testapp::configure(testapp::Config{});
        bipSetSocketOps(nullptr);
        bipOwnAddress = htonl(INADDR_LOOPBACK);
        bipBroadcastAddress = htonl(0x7FFFFFFF);
        client = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sin.sin_port = htons(40000);
        ASSERT_EQ(bind(client, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    }

    void TearDown() override {
        if (client >= 0)
            close(client);
    }

    void send(const Bytes &message) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(47808);
        ASSERT_EQ(
            sendto(client, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
            static_cast<ssize_t>(message.size()));
    }

    // Runs the stack for a while and returns the first datagram back.
    Bytes serveAndReceive() {
        for (int i = 0; i < 200; ++i) {
            stackTick(1);
            stackProcess();
            uint8_t buffer[2048];
            ssize_t n = recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                return Bytes(buffer, buffer + n);
            usleep(1000);
        }
        return {};
    }
};

TEST_F(RealUdp, BindFailureIsReportedAndTheStackStartsOnceThePortIsFree) {
    int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(47808);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    testapp::clearLog();
    EXPECT_FALSE(stackInit(kPortBip));
    EXPECT_TRUE(testapp::logContains("ZOR BACnet:  Error binding UDP socket"));
    EXPECT_TRUE(testapp::logContains("bipInit: socket error opening first bip socket"));
    stackShutdown();
    close(blocker);

    ASSERT_TRUE(stackInit(kPortBip));
    send(harness::bvll(kBvlcOriginalUnicastNpdu, local(rp(1, analogInput(1), kPropPresentValue))));
    Bytes reply = serveAndReceive();
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(hex(Bytes(reply.begin() + 6, reply.end())),
              "30 01 0C 0C 00 00 00 01 19 55 3E 44 3F C0 00 00 3F");
    stackShutdown();
}

TEST_F(RealUdp, MaximumDatagramIsReceivedAndAnOversizedOneDropped) {
    ASSERT_TRUE(stackInit(kPortBip));
    Bytes npdu = local(Bytes{0x00, 0x05, 0x09, 99});
    npdu.resize(1497, 0);
    send(harness::bvll(kBvlcOriginalUnicastNpdu, npdu));
    Bytes reply = serveAndReceive();
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(hex(Bytes(reply.begin() + 6, reply.end())), "60 09 09");
    // A datagram longer than the receive buffer is recognised as truncated,
    // even when its first kBipReceiveBuffer octets make a whole message of
    // their own: a Read-Broadcast-Distribution-Table whose BVLL length says
    // 1600. Sent alone, those 1600 octets are answered with a NAK.
    Bytes head(kBipReceiveBuffer, 0);
    head[0] = 0x81;
    head[1] = kBvlcReadBroadcastDistributionTable;
    head[2] = static_cast<uint8_t>(head.size() >> 8);
    head[3] = static_cast<uint8_t>(head.size());
    send(head);
    EXPECT_EQ(hex(serveAndReceive()), "81 00 00 06 00 20");
    Bytes huge = head;
    huge.resize(3000, 0);
    send(huge);
    EXPECT_TRUE(serveAndReceive().empty());
    stackShutdown();
}
