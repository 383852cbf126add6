// BACnet/IPv6: the datalink through its datagram entry and a fake socket
// edge, and once over real UDP in a network namespace of its own.

#include <gtest/gtest.h>

#include "meter/emulation.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bacnet/stack/bipv6.h"
#include "bacnet/stack/datalink.h"
#include "bacnet/stack/stack.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;

namespace {

using Address = std::vector<uint8_t>;

Address v6(const char *text) {
    Address a(16);
    EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
    return a;
}

std::string v6Text(const Address &a) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, a.data(), text, sizeof text);
    return text;
}

struct Sent {
    Address to;
    uint16_t port;
    uint32_t scope;
    Bytes data;
};

// The fake socket edge: datagrams waiting to be received, what was sent,
// failures on request and the interfaces asked for.
namespace fake {
std::mutex mutex;
std::deque<std::pair<Address, Bytes>> incoming;
std::vector<Sent> sent;
bool failOpen, failJoin, failBind;
uint32_t joinInterface, bindScope;
Address joinGroup;
int opened, closed;

void reset() {
    std::lock_guard lock(mutex);
    incoming.clear();
    sent.clear();
    failOpen = failJoin = failBind = false;
    joinInterface = bindScope = 0;
    joinGroup.clear();
    opened = closed = 0;
}

int open() {
    std::lock_guard lock(mutex);
    if (failOpen) {
        errno = EMFILE;
        return -1;
    }
    ++opened;
    return 0;  // a valid descriptor
}
int join(int, const uint8_t *group, uint32_t interfaceIndex) {
    std::lock_guard lock(mutex);
    joinGroup.assign(group, group + 16);
    joinInterface = interfaceIndex;
    if (failJoin) {
        errno = ENODEV;
        return -1;
    }
    return 0;
}
int bind(int, uint16_t, uint32_t scope) {
    std::lock_guard lock(mutex);
    bindScope = scope;
    if (failBind) {
        errno = EADDRINUSE;
        return -1;
    }
    return 0;
}
void close(int) {
    std::lock_guard lock(mutex);
    ++closed;
}
ssize_t sendTo(int, const uint8_t *data, uint32_t length, const uint8_t *address, uint16_t port,
               uint32_t scope) {
    std::lock_guard lock(mutex);
    sent.push_back(Sent{Address(address, address + 16), port, scope, Bytes(data, data + length)});
    return length;
}
ssize_t receive(int, uint8_t *buffer, uint32_t capacity, uint8_t *source) {
    std::lock_guard lock(mutex);
    if (incoming.empty()) {
        return 0;
    }
    auto [from, data] = std::move(incoming.front());
    incoming.pop_front();
    std::memcpy(buffer, data.data(), std::min<size_t>(data.size(), capacity));
    std::memcpy(source, from.data(), 16);
    return static_cast<ssize_t>(data.size());
}
const Bipv6SocketOps ops{open, join, bind, close, sendTo, receive};

std::vector<Sent> take() {
    std::lock_guard lock(mutex);
    std::vector<Sent> out;
    out.swap(sent);
    return out;
}
void inject(const Address &from, const Bytes &data) {
    std::lock_guard lock(mutex);
    incoming.emplace_back(from, data);
}
size_t pending() {
    std::lock_guard lock(mutex);
    return incoming.size();
}
}  // namespace fake

// A BVLL message of BACnet/IPv6: type, function, length, then the fields.
Bytes bvll6(uint8_t function, const Bytes &fields) {
    Bytes out{kBvllTypeBipv6, function, static_cast<uint8_t>((fields.size() + 4) >> 8),
              static_cast<uint8_t>(fields.size() + 4)};
    return cat(out, fields);
}

const Bytes kOwnVmac{0x00, 0x01, 0x23};
const Bytes kPeerVmac{0x00, 0x00, 0x07};
const Bytes kWhoIs{0x01, 0x00, 0x10, 0x08};

testapp::Config instance291() {
    testapp::Config c;
    c.rootInstance = 291;
    c.bipv6Address = "2001:db8::10";
    c.bipv6Multicast = "ff02::bac0";
    return c;
}

// The stack started on B/IPv6 over the fake edge.
class Bipv6 : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        bipv6SetSocketOps(&fake::ops);
        testapp::clearLog();
        testapp::resetCounters();
    }
    void TearDown() override {
        stackShutdown();
        bipv6SetSocketOps(nullptr);
    }

    bool start(const testapp::Config &config = instance291()) {
        testapp::configure(config);
        return stackInit(kPortBipv6);
    }

    // One datagram in, then the stack runs until nothing is pending.
    std::vector<Sent> receive(const Address &from, const Bytes &message) {
        fake::take();
        fake::inject(from, message);
        while (fake::pending() != 0) {
            stackTick(0);
            stackProcess();
        }
        harness::pump();
        return fake::take();
    }
};

TEST_F(Bipv6, StartsWithTheVmacOfItsInstanceAndBroadcastsToTheGroup) {
    ASSERT_TRUE(start());
    EXPECT_EQ(datalinkActivePort(), kPortBipv6);
    EXPECT_TRUE(testapp::logContains(
        "B/IPv6 --> listening and waiting on port 47808, protocol UDP, protocol family PF_INET6"));
    uint8_t own[8];
    ASSERT_EQ(datalinkGetMyAddress(kPortBipv6, own), 3u);
    EXPECT_EQ(hex(Bytes(own, own + 3)), "00 01 23");
    EXPECT_EQ(datalinkMaxApdu(kPortBipv6), 1476u);
    EXPECT_EQ(datalinkMaxNpdu(kPortBipv6), 1497u);

    fake::take();
    datalinkSend(kPortBipv6, nullptr, static_cast<uint32_t>(kWhoIs.size()), kWhoIs.data(), false);
    auto sent = fake::take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(v6Text(sent[0].to), "ff02::bac0");
    EXPECT_EQ(sent[0].port, 47808);
    EXPECT_EQ(hex(sent[0].data), "82 02 00 0B 00 01 23 01 00 10 08");
    EXPECT_TRUE(testapp::logContains("6 B/IPv6 --> Tx'd 11 octets to *"));
}

TEST_F(Bipv6, MulticastWhoIsTeachesTheTableAndRepliesGoOutUnicast) {
    ASSERT_TRUE(start());
    auto sent = receive(v6("fe80::7"), bvll6(kBvlc6OriginalBroadcastNpdu, cat(kPeerVmac, kWhoIs)));
    ASSERT_EQ(sent.size(), 1u);  // the I-Am, to the group
    EXPECT_EQ(v6Text(sent[0].to), "ff02::bac0");
    EXPECT_EQ(hex(Bytes(sent[0].data.begin(), sent[0].data.begin() + 7)), "82 02 00 1C 00 01 23");

    uint8_t learned[16];
    ASSERT_TRUE(bipv6LookupVmac(kPeerVmac.data(), learned));
    EXPECT_EQ(v6Text(Address(learned, learned + 16)), "fe80::7");

    // A request from the same VMAC at another address: the first address
    // heard stays, and the reply is a unicast to it.
    sent = receive(v6("fe80::99"),
                   bvll6(kBvlc6OriginalUnicastNpdu,
                         cat(cat(kPeerVmac, kOwnVmac), local(rp(1, analogInput(1), kPropPresentValue)))));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(v6Text(sent[0].to), "fe80::7");
    EXPECT_EQ(sent[0].port, 47808);
    EXPECT_EQ(hex(Bytes(sent[0].data.begin(), sent[0].data.begin() + 10)), "82 01 00 1D 00 01 23 00 00 07");
    EXPECT_EQ(hex(Bytes(sent[0].data.begin() + 12, sent[0].data.end())),
              "30 01 0C 0C 00 00 00 01 19 55 3E 44 3F C0 00 00 3F");
}

TEST_F(Bipv6, ConfirmedRequestToTheGroupIsNotAnswered) {
    ASSERT_TRUE(start());
    Bytes request = local(rp(1, analogInput(1), kPropPresentValue));
    EXPECT_TRUE(receive(v6("fe80::7"), bvll6(kBvlc6OriginalBroadcastNpdu, cat(kPeerVmac, request))).empty());
    EXPECT_EQ(receive(v6("fe80::7"), bvll6(kBvlc6OriginalUnicastNpdu, cat(cat(kPeerVmac, kOwnVmac), request)))
                  .size(),
              1u);
}

TEST_F(Bipv6, AddressResolutionIsAnsweredForTheOwnVmacOnly) {
    ASSERT_TRUE(start());
    const struct {
        const char *name;
        uint8_t function;
        Bytes target;
        bool answered;
    } cases[] = {
        {"own VMAC", kBvlc6AddressResolution, kOwnVmac, true},
        {"another VMAC", kBvlc6AddressResolution, Bytes{0x00, 0x01, 0x24}, false},
        {"forwarded, own VMAC", kBvlc6ForwardedAddressResolution, kOwnVmac, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto sent = receive(v6("2001:db8::7"), bvll6(c.function, cat(kPeerVmac, c.target)));
        if (!c.answered) {
            EXPECT_TRUE(sent.empty());
            continue;
        }
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(v6Text(sent[0].to), "2001:db8::7");
        EXPECT_EQ(hex(sent[0].data), "82 05 00 0A 00 01 23 00 00 07");
    }
}

TEST_F(Bipv6, UnicastToAnUnknownVmacResolvesItFirst) {
    ASSERT_TRUE(start());
    const Bytes unknown{0x00, 0x00, 0x09};
    const Bytes npdu = local(Bytes{0x10, 0x08});
    fake::take();
    bipv6Send(unknown.data(), static_cast<uint32_t>(npdu.size()), npdu.data());
    auto sent = fake::take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(v6Text(sent[0].to), "ff02::bac0");
    EXPECT_EQ(hex(sent[0].data), "82 03 00 0A 00 01 23 00 00 09");

    EXPECT_TRUE(
        receive(v6("2001:db8::9"), bvll6(kBvlc6AddressResolutionAck, cat(unknown, kOwnVmac))).empty());
    bipv6Send(unknown.data(), static_cast<uint32_t>(npdu.size()), npdu.data());
    sent = fake::take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(v6Text(sent[0].to), "2001:db8::9");
    EXPECT_EQ(hex(sent[0].data), "82 01 00 0E 00 01 23 00 00 09 01 04 10 08");

    // A later answer moves the peer.
    receive(v6("2001:db8::99"), bvll6(kBvlc6AddressResolutionAck, cat(unknown, kOwnVmac)));
    bipv6Send(unknown.data(), static_cast<uint32_t>(npdu.size()), npdu.data());
    sent = fake::take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(v6Text(sent[0].to), "2001:db8::99");
}

TEST_F(Bipv6, FullTableLearnsNoMore) {
    ASSERT_TRUE(start());
    for (uint8_t i = 0; i < kVmacTableSize + 1; ++i) {
        receive(v6("2001:db8::1"), bvll6(kBvlc6AddressResolutionAck, {0x00, 0x10, i, 0x00, 0x01, 0x23}));
    }
    EXPECT_EQ(bipv6VmacCount(), kVmacTableSize);
    const Bytes last{0x00, 0x10, static_cast<uint8_t>(kVmacTableSize)};
    uint8_t address[16];
    EXPECT_FALSE(bipv6LookupVmac(last.data(), address));
    fake::take();
    bipv6Send(last.data(), static_cast<uint32_t>(kWhoIs.size()), kWhoIs.data());
    auto sent = fake::take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data[1], kBvlc6AddressResolution);

    // The wildcard instance marks a free entry: it is never learned.
    stackShutdown();
    ASSERT_TRUE(start());
    EXPECT_EQ(bipv6VmacCount(), 0u) << "a restart starts from an empty table";
    receive(v6("2001:db8::1"), bvll6(kBvlc6AddressResolutionAck, {0x3F, 0xFF, 0xFF, 0x00, 0x01, 0x23}));
    EXPECT_EQ(bipv6VmacCount(), 0u);
}

// The wildcard instance marks a free entry of the table: an answer from it
// must not make it resolvable, nor take the slot of the next peer.
TEST_F(Bipv6, WildcardVmacIsNeverLearned) {
    ASSERT_TRUE(start());
    const Bytes wildcard{0x3F, 0xFF, 0xFF};
    receive(v6("2001:db8::3f"), bvll6(kBvlc6AddressResolutionAck, cat(wildcard, kOwnVmac)));
    uint8_t address[16];
    EXPECT_FALSE(bipv6LookupVmac(wildcard.data(), address));
    bipv6Send(wildcard.data(), static_cast<uint32_t>(kWhoIs.size()), kWhoIs.data());
    auto sent = fake::take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(v6Text(sent[0].to), "ff02::bac0");
    EXPECT_EQ(hex(sent[0].data), "82 03 00 0A 00 01 23 3F FF FF");

    receive(v6("2001:db8::7"), bvll6(kBvlc6AddressResolutionAck, cat(kPeerVmac, kOwnVmac)));
    EXPECT_EQ(bipv6VmacCount(), 1u);
    ASSERT_TRUE(bipv6LookupVmac(kPeerVmac.data(), address));
    EXPECT_EQ(v6Text(Address(address, address + 16)), "2001:db8::7");
    EXPECT_FALSE(bipv6LookupVmac(wildcard.data(), address));
}

TEST_F(Bipv6, OwnMulticastIsNotDeliveredBack) {
    ASSERT_TRUE(start());
    auto sent = receive(v6("2001:db8::10"), bvll6(kBvlc6OriginalBroadcastNpdu, cat(kOwnVmac, kWhoIs)));
    EXPECT_TRUE(sent.empty());
    // Sent to a link-local group, it comes back from the link-local address.
    sent = receive(v6("fe80::1"), bvll6(kBvlc6OriginalBroadcastNpdu, cat(kOwnVmac, kWhoIs)));
    EXPECT_TRUE(sent.empty());
    sent = receive(v6("fe80::1"), bvll6(kBvlc6AddressResolution, cat(kOwnVmac, kOwnVmac)));
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(testapp::counters().monitorReceived, 0u);
    EXPECT_EQ(bipv6VmacCount(), 0u);
}

TEST_F(Bipv6, ForwardedNpduIsOnlyLogged) {
    ASSERT_TRUE(start());
    Bytes fields = cat(kPeerVmac, Bytes(18, 0x20));  // original source VMAC and B/IPv6 address
    fields = cat(fields, Bytes{0x01, 0x00, 0x10, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0x00, 0x00});
    Bytes message = bvll6(kBvlc6ForwardedNpdu, fields);
    ASSERT_EQ(message.size(), 40u);
    testapp::clearLog();
    EXPECT_TRUE(receive(v6("fe80::7"), message).empty());
    EXPECT_EQ(testapp::logLines(), std::vector<std::string>{"6 Rec'd Forwarded NPDU: 40 octets"});
    EXPECT_EQ(testapp::counters().monitorReceived, 0u);
    EXPECT_EQ(bipv6VmacCount(), 0u);
}

TEST_F(Bipv6, MalformedDatagramsAreDropped) {
    ASSERT_TRUE(start());
    Bytes request = local(rp(1, analogInput(1), kPropPresentValue));
    Bytes good = bvll6(kBvlc6OriginalUnicastNpdu, cat(cat(kPeerVmac, kOwnVmac), request));
    Bytes saysShorter = good;
    saysShorter[3] = static_cast<uint8_t>(good.size() - 2);
    Bytes saysLonger = good;
    saysLonger[3] = static_cast<uint8_t>(good.size() + 2);
    Bytes wrongType = good;
    wrongType[0] = kBvllTypeBip;
    const std::pair<const char *, Bytes> cases[] = {
        {"length field shorter than received", saysShorter},
        {"length field longer than received", saysLonger},
        {"wrong type", wrongType},
        {"three octets", {0x82, 0x01, 0x00}},
        {"unicast cut inside its VMACs", {0x82, 0x01, 0x00, 0x08, 0x00, 0x00, 0x07, 0x00}},
        {"unicast of its header only", {0x82, 0x01, 0x00, 0x04}},
        {"broadcast cut inside its VMAC", {0x82, 0x02, 0x00, 0x06, 0x00, 0x00}},
        {"address resolution cut short", {0x82, 0x03, 0x00, 0x09, 0x00, 0x00, 0x07, 0x00, 0x01}},
        {"address resolution ACK cut short", {0x82, 0x05, 0x00, 0x07, 0x00, 0x00, 0x07}},
    };
    for (const auto &[name, message] : cases) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(receive(v6("fe80::7"), message).empty());
    }
    EXPECT_EQ(bipv6VmacCount(), 0u);
    EXPECT_EQ(testapp::counters().monitorReceived, 0u);
    EXPECT_EQ(receive(v6("fe80::7"), good).size(), 1u);
}

TEST_F(Bipv6, LargestDatagramIsReceivedAndATruncatedOneDropped) {
    ASSERT_TRUE(start());
    Bytes npdu = local(Bytes{0x00, 0x05, 0x09, 99});
    npdu.resize(kBipv6MaxNpdu, 0);
    auto sent = receive(v6("fe80::7"), bvll6(kBvlc6OriginalUnicastNpdu, cat(cat(kPeerVmac, kOwnVmac), npdu)));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex(Bytes(sent[0].data.begin() + 12, sent[0].data.end())), "60 09 09");

    Bytes huge(3000, 0);
    huge[0] = kBvllTypeBipv6;
    huge[1] = kBvlc6OriginalUnicastNpdu;
    huge[2] = static_cast<uint8_t>(huge.size() >> 8);
    huge[3] = static_cast<uint8_t>(huge.size());
    std::copy(npdu.begin(), npdu.begin() + 6, huge.begin() + 10);
    EXPECT_TRUE(receive(v6("fe80::7"), huge).empty());
}

TEST_F(Bipv6, FailedStartsAreLoggedAndLeaveNoSocket) {
    const struct {
        const char *name;
        const char *address;
        const char *group;
        bool *failure;
        const char *line;
    } cases[] = {
        {"own address", "meter.example", "ff02::bac0", nullptr, "bipv6Init: getaddrinfo return -2"},
        {"multicast address", "2001:db8::10", "", nullptr, "bipv6Init: getaddrinfo (MCAST) return -2"},
        {"socket", "2001:db8::10", "ff02::bac0", &fake::failOpen, "socket: Too many open files"},
        {"join", "2001:db8::10", "ff02::bac0", &fake::failJoin, "IPv6 Add Membership: No such device"},
        {"bind", "2001:db8::10", "ff02::bac0", &fake::failBind, "bind: Address already in use"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        testapp::clearLog();
        if (c.failure != nullptr) {
            *c.failure = true;
        }
        testapp::Config config = instance291();
        config.bipv6Address = c.address;
        config.bipv6Multicast = c.group;
        EXPECT_FALSE(start(config));
        EXPECT_TRUE(testapp::logContains(c.line)) << testapp::logLines().size();
        EXPECT_FALSE(bipv6IsUp());
        EXPECT_EQ(datalinkActivePort(), kPortNone);
        EXPECT_EQ(fake::opened, fake::closed);
        datalinkSend(kPortBipv6, nullptr, static_cast<uint32_t>(kWhoIs.size()), kWhoIs.data(), false);
        EXPECT_TRUE(fake::take().empty());
        stackShutdown();
    }
}

TEST_F(Bipv6, JoinsAndBindsOnTheInterfaceOfTheOwnAddress) {
    uint32_t lo = if_nametoindex("lo");
    if (lo == 0 || bipv6InterfaceIndex("::1") == 0)
        GTEST_SKIP() << "no ::1 on lo";
    const struct {
        const char *address;
        uint32_t interface;
    } cases[] = {
        {"::1", lo}, {"0:0:0:0:0:0:0:1", lo}, {"2001:db8::10", 0},  // carried by no interface here
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.address);
        fake::reset();
        testapp::Config config = instance291();
        config.bipv6Address = c.address;
        ASSERT_TRUE(start(config));
        EXPECT_EQ(fake::joinInterface, c.interface);
        EXPECT_EQ(fake::bindScope, c.interface);
        EXPECT_EQ(v6Text(fake::joinGroup), "ff02::bac0");
        EXPECT_EQ(fake::opened, 1);
        stackShutdown();
        EXPECT_EQ(fake::closed, 1);
    }
}

TEST_F(Bipv6, AfterARestartOntoBipItsPollDoesNothing) {
    ASSERT_TRUE(start());
    stackShutdown();
    fake::take();
    {
        harness::Stack bip(instance291(), kPortBip);
        ASSERT_TRUE(bip.started());
        fake::inject(v6("fe80::7"), bvll6(kBvlc6OriginalBroadcastNpdu, cat(kPeerVmac, kWhoIs)));
        bip.advance(50);
        EXPECT_EQ(fake::pending(), 1u);
        EXPECT_FALSE(bipv6IsUp());
        datalinkSend(kPortBipv6, nullptr, static_cast<uint32_t>(kWhoIs.size()), kWhoIs.data(), false);
        EXPECT_TRUE(fake::take().empty());
    }
}

// Real UDP: the stack on one end of a veth pair (2001:db8::10 on eth0) and a
// client on the other (2001:db8::20), in a network namespace of the test's
// own.
class Bipv6RealUdp : public ::testing::Test {
  protected:
    int client = -1;  // unicast, bound to the client's address
    int group = -1;   // the multicast group, on the client's interface
    uint32_t clientIf = 0;

    void SetUp() override {
        if (meter::under_emulation())
            GTEST_SKIP() << "the emulator does not support IPV6_MULTICAST_IF, which the BACnet/IPv6 port sets";
        if (unshare(CLONE_NEWNET) != 0)
            GTEST_SKIP() << "cannot make a network namespace: " << std::strerror(errno);
        for (const auto &argv : std::vector<std::vector<std::string>>{
                 {"link", "set", "lo", "up"},
                 {"link", "add", "eth0", "type", "veth", "peer", "name", "eth1"},
                 {"addr", "add", "2001:db8::10/64", "dev", "eth0", "nodad"},
                 {"addr", "add", "2001:db8::20/64", "dev", "eth1", "nodad"},
                 {"link", "set", "eth0", "up"},
                 {"link", "set", "eth1", "up"}}) {
            std::vector<std::string> command{"ip"};
            command.insert(command.end(), argv.begin(), argv.end());
            if (run(command) != 0)
                GTEST_SKIP() << "ip " << argv[0] << " " << argv[1] << " failed";
        }
        clientIf = if_nametoindex("eth1");
        // The kernel ends the interfaces' IPv6 set-up from a work queue, late
        // on a loaded machine: until then the group and the other end have
        // no route, and a datagram to them fails.
        const auto t0 = std::chrono::steady_clock::now();
        while (!(routed("ff02::bac0", if_nametoindex("eth0")) && routed("ff02::bac0", clientIf) &&
                 routed("2001:db8::10", 0) && routed("2001:db8::20", 0))) {
            ASSERT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30)) << "no IPv6 routes";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        testapp::configure(instance291());
        bipv6SetSocketOps(nullptr);
        testapp::clearLog();

        int on = 1;
        client = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        setsockopt(client, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(client, IPPROTO_IPV6, IPV6_MULTICAST_IF, &clientIf, sizeof clientIf);
        sockaddr_in6 sin{};
        sin.sin6_family = AF_INET6;
        sin.sin6_port = htons(47808);
        inet_pton(AF_INET6, "2001:db8::20", &sin.sin6_addr);
        ASSERT_EQ(bind(client, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0) << std::strerror(errno);

        group = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        setsockopt(group, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ipv6_mreq request{};
        inet_pton(AF_INET6, "ff02::bac0", &request.ipv6mr_multiaddr);
        request.ipv6mr_interface = clientIf;
        ASSERT_EQ(setsockopt(group, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &request, sizeof request), 0);
        sockaddr_in6 g{};
        g.sin6_family = AF_INET6;
        g.sin6_port = htons(47808);
        g.sin6_addr = request.ipv6mr_multiaddr;
        g.sin6_scope_id = clientIf;
        ASSERT_EQ(bind(group, reinterpret_cast<sockaddr *>(&g), sizeof g), 0) << std::strerror(errno);
    }

    // Whether a datagram to `to` (out of the interface `scope`, for a group)
    // has a route: connecting a UDP socket looks it up and sends nothing.
    static bool routed(const char *to, uint32_t scope) {
        int s = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(47808);
        inet_pton(AF_INET6, to, &a.sin6_addr);
        a.sin6_scope_id = scope;
        const bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(s);
        return ok;
    }

    void TearDown() override {
        stackShutdown();
        if (client >= 0)
            close(client);
        if (group >= 0)
            close(group);
    }

    void sendTo(const char *to, const Bytes &message) {
        sockaddr_in6 dst{};
        dst.sin6_family = AF_INET6;
        dst.sin6_port = htons(47808);
        inet_pton(AF_INET6, to, &dst.sin6_addr);
        if (IN6_IS_ADDR_MULTICAST(&dst.sin6_addr))
            dst.sin6_scope_id = clientIf;
        ASSERT_EQ(
            sendto(client, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&dst), sizeof dst),
            static_cast<ssize_t>(message.size()))
            << std::strerror(errno);
    }

    // Runs the stack until a datagram that begins with `prefix` arrives on
    // the socket.
    Bytes serveAndReceive(int socket, const std::string &prefix = "") {
        for (int i = 0; i < 2000; ++i) {
            stackTick(1);
            stackProcess();
            pollfd p{socket, POLLIN, 0};
            if (poll(&p, 1, 1) == 1) {
                uint8_t buffer[2048];
                ssize_t n = recv(socket, buffer, sizeof buffer, 0);
                if (n > 0 && hex(Bytes(buffer, buffer + n)).starts_with(prefix))
                    return Bytes(buffer, buffer + n);
            }
        }
        return {};
    }
};

TEST_F(Bipv6RealUdp, WhoIsAddressResolutionAndReadPropertyOverUdp) {
    ASSERT_TRUE(stackInit(kPortBipv6)) << testapp::logLines().size();

    sendTo("ff02::bac0", bvll6(kBvlc6OriginalBroadcastNpdu, cat(kPeerVmac, kWhoIs)));
    EXPECT_FALSE(serveAndReceive(group, "82 02 00 1C 00 01 23 01 20 FF FF 00 FF 10 00").empty()) << "no I-Am";
    uint8_t learned[16];
    ASSERT_TRUE(bipv6LookupVmac(kPeerVmac.data(), learned));
    EXPECT_EQ(v6Text(Address(learned, learned + 16)), "2001:db8::20");

    sendTo("ff02::bac0", bvll6(kBvlc6AddressResolution, cat(kPeerVmac, kOwnVmac)));
    EXPECT_EQ(hex(serveAndReceive(client, "82 05")), "82 05 00 0A 00 01 23 00 00 07");

    sendTo("2001:db8::10",
           bvll6(kBvlc6OriginalUnicastNpdu,
                 cat(cat(kPeerVmac, kOwnVmac), local(rp(1, analogInput(1), kPropPresentValue)))));
    Bytes reply = serveAndReceive(client, "82 01");
    ASSERT_GE(reply.size(), 12u);
    EXPECT_EQ(hex(Bytes(reply.begin(), reply.begin() + 10)), "82 01 00 1D 00 01 23 00 00 07");
    EXPECT_EQ(hex(Bytes(reply.begin() + 12, reply.end())),
              "30 01 0C 0C 00 00 00 01 19 55 3E 44 3F C0 00 00 3F");
}

}  // namespace
