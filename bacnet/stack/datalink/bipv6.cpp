#include "bacnet/stack/bipv6.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <mutex>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "bacnet/enums.h"
#include "bacnet/stack/address.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/datalink.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/tsm.h"

namespace {

// BVLL octets in front of the NPDU of each function, and the whole length
// of the address-resolution messages.
constexpr uint32_t kBvllHeader = 4;
constexpr uint32_t kUnicastHeader = 10;
constexpr uint32_t kBroadcastHeader = 7;
constexpr uint32_t kResolutionLength = 10;
// Room for the largest valid datagram (a Forwarded-NPDU: 25 octets of BVLL
// and the largest NPDU) with slack, so that anything longer is recognised.
constexpr uint32_t kReceiveBuffer = 1600;

// A free table entry holds the wildcard instance as its VMAC; no device
// has that instance, so it is never learned.
constexpr uint8_t kFreeVmac[kVmacLength] = {0x3F, 0xFF, 0xFF};

struct VmacEntry {
    uint8_t vmac[kVmacLength];
    uint8_t address[16];
};

// The table is read by senders on the notification threads and written by
// the receive path on the main thread, under the stack's internal lock.
VmacEntry vmacTable[kVmacTableSize];

std::atomic<int> bipv6Socket{-1};
std::atomic<bool> bipv6Up{false};
// Set by bipv6Init before the datalink is up and read-only afterwards.
uint8_t ownVmac[kVmacLength];
uint8_t ownAddress[16];
uint16_t udpPort = 47808;
uint32_t scopeId = 0;
uint8_t groupAddress[16];

void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint16_t read16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void logNumber(const char *format, long value) {
    char line[120];
    std::snprintf(line, sizeof line, format, value);
    appBipv6Log(line);
}

// A failed socket call, as perror writes it, into the log.
void logError(const char *call) {
    char line[160];
    std::snprintf(line, sizeof line, "%s: %s", call, std::strerror(errno));
    appBipv6Log(line);
}

sockaddr_in6 socketAddress(const uint8_t *address, uint16_t port, uint32_t scope) {
    sockaddr_in6 sin{};
    sin.sin6_family = AF_INET6;
    std::memcpy(&sin.sin6_addr, address, 16);
    sin.sin6_port = htons(port);
    sin.sin6_scope_id = scope;
    return sin;
}

int udpOpen() {
    int s = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0) {
        return -1;
    }
    int on = 1;
    if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
        int e = errno;
        ::close(s);
        errno = e;
        return -1;
    }
    // An IPv6 socket sees only IPv6 traffic.
    (void)::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    return s;
}

int udpJoin(int s, const uint8_t *group, uint32_t interfaceIndex) {
    ipv6_mreq request{};
    std::memcpy(&request.ipv6mr_multiaddr, group, 16);
    request.ipv6mr_interface = interfaceIndex;
    if (::setsockopt(s, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &request, sizeof request) < 0) {
        return -1;
    }
    if (interfaceIndex != 0) {
        unsigned int index = interfaceIndex;
        return ::setsockopt(s, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index);
    }
    return 0;
}

int udpBind(int s, uint16_t port, uint32_t scope) {
    sockaddr_in6 sin = socketAddress(in6addr_any.s6_addr, port, scope);
    return ::bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
}

void udpClose(int s) {
    ::close(s);
}

ssize_t udpSendTo(int s, const uint8_t *data, uint32_t length, const uint8_t *address, uint16_t port,
                  uint32_t scope) {
    sockaddr_in6 sin = socketAddress(address, port, scope);
    return ::sendto(s, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
}

ssize_t udpReceive(int s, uint8_t *buffer, uint32_t capacity, uint8_t *source) {
    sockaddr_in6 from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC makes the result the datagram's real length, so that a
    // datagram longer than the buffer is recognised and dropped.
    ssize_t n = ::recvfrom(s, buffer, capacity, MSG_TRUNC, reinterpret_cast<sockaddr *>(&from), &fromLength);
    if (n < 0) {
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    }
    if (from.sin6_family != AF_INET6) {
        return 0;
    }
    std::memcpy(source, &from.sin6_addr, 16);
    return n;
}

const Bipv6SocketOps udpOps{udpOpen, udpJoin, udpBind, udpClose, udpSendTo, udpReceive};
std::atomic<const Bipv6SocketOps *> ops{&udpOps};

bool sameVmac(const uint8_t *a, const uint8_t *b) {
    return std::memcmp(a, b, kVmacLength) == 0;
}

void clearTable() {
    std::lock_guard lock(stackInternalLock());
    for (VmacEntry &e : vmacTable) {
        std::memcpy(e.vmac, kFreeVmac, kVmacLength);
        std::memset(e.address, 0, sizeof e.address);
    }
}

// Stores vmac at address: a known VMAC is overwritten when `replace` is set
// and kept otherwise; a new one takes the first free entry, if any.
void learn(const uint8_t *vmac, const uint8_t *address, bool replace) {
    if (sameVmac(vmac, kFreeVmac)) {
        return;
    }
    std::lock_guard lock(stackInternalLock());
    VmacEntry *slot = nullptr;
    for (VmacEntry &e : vmacTable) {
        if (sameVmac(e.vmac, vmac)) {
            if (replace) {
                std::memcpy(e.address, address, 16);
            }
            return;
        }
        if (slot == nullptr && sameVmac(e.vmac, kFreeVmac)) {
            slot = &e;
        }
    }
    if (slot != nullptr) {
        std::memcpy(slot->vmac, vmac, kVmacLength);
        std::memcpy(slot->address, address, 16);
    }
}

void sendTo(const uint8_t *address, const uint8_t *message, uint32_t length) {
    int s = bipv6Socket.load();
    if (s < 0) {
        return;
    }
    ssize_t n = ops.load()->sendTo(s, message, length, address, udpPort, scopeId);
    if (n < 0) {
        std::perror("sendto");
    }
}

void header(uint8_t *message, uint8_t function, uint32_t length) {
    message[0] = kBvllTypeBipv6;
    message[1] = function;
    put16(message + 2, length);
}

void sendAddressResolution(const uint8_t *target) {
    uint8_t message[kResolutionLength];
    header(message, kBvlc6AddressResolution, sizeof message);
    std::memcpy(message + 4, ownVmac, kVmacLength);
    std::memcpy(message + 7, target, kVmacLength);
    sendTo(groupAddress, message, sizeof message);
}

void answerAddressResolution(const uint8_t *requester, const uint8_t *address) {
    uint8_t message[kResolutionLength];
    header(message, kBvlc6AddressResolutionAck, sizeof message);
    std::memcpy(message + 4, ownVmac, kVmacLength);
    std::memcpy(message + 7, requester, kVmacLength);
    sendTo(address, message, sizeof message);
}

// The first IPv6 address of a numeric address text, with its scope id when
// the text names one ("fe80::1%eth0").
bool resolve(const char *text, const std::string &service, sockaddr_in6 *out, int *code) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_PASSIVE | AI_CANONNAME | AI_NUMERICHOST;
    addrinfo *list = nullptr;
    *code = ::getaddrinfo(text != nullptr ? text : "", service.c_str(), &hints, &list);
    if (*code != 0) {
        return false;
    }
    bool found = false;
    for (addrinfo *a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET6 && a->ai_addrlen >= sizeof(sockaddr_in6)) {
            std::memcpy(out, a->ai_addr, sizeof *out);
            found = true;
            break;
        }
    }
    ::freeaddrinfo(list);
    if (!found) {
        *code = EAI_FAMILY;
    }
    return found;
}

}  // namespace

void bipv6SetSocketOps(const Bipv6SocketOps *replacement) {
    ops = replacement != nullptr ? replacement : &udpOps;
}

uint32_t bipv6InterfaceIndex(const char *addressText) {
    if (addressText == nullptr) {
        return 0;
    }
    // Compared as addresses, not as texts, so that any spelling of the
    // address ("2001:DB8::0010") finds its interface.
    std::string text = addressText;
    text = text.substr(0, text.find('%'));
    in6_addr wanted{};
    if (::inet_pton(AF_INET6, text.c_str(), &wanted) != 1) {
        return 0;
    }
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return 0;
    }
    uint32_t index = 0;
    for (ifaddrs *i = list; i != nullptr && index == 0; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET6) {
            continue;
        }
        const auto *sin = reinterpret_cast<const sockaddr_in6 *>(i->ifa_addr);
        if (std::memcmp(&sin->sin6_addr, &wanted, sizeof wanted) == 0) {
            index = ::if_nametoindex(i->ifa_name);
        }
    }
    ::freeifaddrs(list);
    return index;
}

bool bipv6Init(const DeviceRecord *record) {
    bipv6Close();
    udpPort = record->udpPort != 0 ? record->udpPort : 47808;
    std::string service = std::to_string(udpPort);
    ownVmac[0] = static_cast<uint8_t>(record->instance >> 16);
    ownVmac[1] = static_cast<uint8_t>(record->instance >> 8);
    ownVmac[2] = static_cast<uint8_t>(record->instance);

    sockaddr_in6 own{};
    int code = 0;
    if (!resolve(record->bipv6Address, service, &own, &code)) {
        logNumber("bipv6Init: getaddrinfo return %ld", code);
        return false;
    }
    std::memcpy(ownAddress, &own.sin6_addr, 16);
    scopeId = own.sin6_scope_id != 0 ? own.sin6_scope_id : bipv6InterfaceIndex(record->bipv6Address);

    sockaddr_in6 group{};
    if (!resolve(record->bipv6Multicast, service, &group, &code)) {
        logNumber("bipv6Init: getaddrinfo (MCAST) return %ld", code);
        return false;
    }
    std::memcpy(groupAddress, &group.sin6_addr, 16);

    // One socket, the one that is used; a start whose socket cannot join
    // the group or bind its port has failed, since nothing would be heard.
    const Bipv6SocketOps *edge = ops.load();
    int s = edge->open();
    if (s < 0) {
        logError("socket");
        return false;
    }
    if (edge->join(s, groupAddress, scopeId) < 0) {
        logError("IPv6 Add Membership");
        edge->close(s);
        return false;
    }
    if (edge->bind(s, udpPort, scopeId) < 0) {
        logError("bind");
        edge->close(s);
        return false;
    }
    char line[160];
    std::snprintf(line, sizeof line,
                  "B/IPv6 --> listening and waiting on port %s, protocol %s, protocol family %s\r\n",
                  service.c_str(), "UDP", "PF_INET6");
    appBipv6Log(line);

    clearTable();
    bipv6Socket = s;
    bipv6Up = true;
    return true;
}

void bipv6Close() {
    bipv6Up = false;
    int s = bipv6Socket.exchange(-1);
    if (s >= 0) {
        ops.load()->close(s);
    }
}

bool bipv6IsUp() {
    return bipv6Up;
}

uint8_t bipv6GetVmac(uint8_t *out) {
    std::memcpy(out, ownVmac, kVmacLength);
    return kVmacLength;
}

bool bipv6LookupVmac(const uint8_t *vmac, uint8_t *address) {
    if (sameVmac(vmac, kFreeVmac)) {
        return false;
    }
    std::lock_guard lock(stackInternalLock());
    for (const VmacEntry &e : vmacTable) {
        if (sameVmac(e.vmac, vmac)) {
            std::memcpy(address, e.address, 16);
            return true;
        }
    }
    return false;
}

uint32_t bipv6VmacCount() {
    std::lock_guard lock(stackInternalLock());
    uint32_t n = 0;
    for (const VmacEntry &e : vmacTable) {
        n += sameVmac(e.vmac, kFreeVmac) ? 0 : 1;
    }
    return n;
}

void bipv6Send(const uint8_t *vmac, uint32_t length, const uint8_t *npdu) {
    if (!bipv6Up || npdu == nullptr || length > kBipv6MaxNpdu) {
        return;
    }
    uint8_t message[kUnicastHeader + kBipv6MaxNpdu];
    if (vmac == nullptr) {
        header(message, kBvlc6OriginalBroadcastNpdu, length + kBroadcastHeader);
        std::memcpy(message + 4, ownVmac, kVmacLength);
        std::memcpy(message + kBroadcastHeader, npdu, length);
        int s = bipv6Socket.load();
        if (s < 0) {
            return;
        }
        ssize_t n = ops.load()->sendTo(s, message, length + kBroadcastHeader, groupAddress, udpPort, scopeId);
        if (n < 0) {
            std::perror("sendto");
            return;
        }
        logNumber("B/IPv6 --> Tx'd %ld octets to *", static_cast<long>(n));
        return;
    }
    uint8_t address[16];
    if (!bipv6LookupVmac(vmac, address)) {
        sendAddressResolution(vmac);
        return;
    }
    header(message, kBvlc6OriginalUnicastNpdu, length + kUnicastHeader);
    std::memcpy(message + 4, ownVmac, kVmacLength);
    std::memcpy(message + 7, vmac, kVmacLength);
    std::memcpy(message + kUnicastHeader, npdu, length);
    sendTo(address, message, length + kUnicastHeader);
}

void bipv6HandleDatagram(const uint8_t *message, uint32_t length, const uint8_t *source) {
    if (message == nullptr || length < kBvllHeader || message[0] != kBvllTypeBipv6) {
        return;
    }
    // The group's own traffic comes back by multicast loop-back.
    if (std::memcmp(source, ownAddress, 16) == 0) {
        return;
    }
    // The length field must describe the datagram: anything else is cut
    // short or padded, and its fields cannot be trusted.
    if (read16(message + 2) != length) {
        return;
    }
    // The loop-back may also come from another address of the interface (a
    // link-local group is sent from the link-local address): the own VMAC
    // as source gives it away.
    const uint8_t *sourceVmac = message + 4;
    if (length >= kBvllHeader + kVmacLength && sameVmac(sourceVmac, ownVmac)) {
        return;
    }
    switch (message[1]) {
        case kBvlc6OriginalUnicastNpdu:
            if (length < kUnicastHeader) {
                return;
            }
            learn(sourceVmac, source, false);
            npduReceive(kPortBipv6, kVmacLength, sourceVmac, ownVmac, length - kUnicastHeader,
                        message + kUnicastHeader, false);
            break;
        case kBvlc6OriginalBroadcastNpdu:
            if (length < kBroadcastHeader) {
                return;
            }
            learn(sourceVmac, source, false);
            // Sent to the group: a broadcast, so that confirmed requests
            // sent to everyone are not answered.
            npduReceive(kPortBipv6, kVmacLength, sourceVmac, ownVmac, length - kBroadcastHeader,
                        message + kBroadcastHeader, true);
            break;
        case kBvlc6AddressResolution:
            if (length == kResolutionLength && sameVmac(message + 7, ownVmac)) {
                answerAddressResolution(sourceVmac, source);
            }
            break;
        case kBvlc6AddressResolutionAck:
            if (length == kResolutionLength) {
                learn(sourceVmac, source, true);
            }
            break;
        case kBvlc6ForwardedNpdu:
            logNumber("Rec'd Forwarded NPDU: %ld octets", static_cast<long>(length));
            break;
        case kBvlc6ForwardedAddressResolution:
        default:
            break;
    }
}

void bipv6Receive() {
    int s = bipv6Socket.load();
    if (s < 0) {
        return;
    }
    uint8_t buffer[kReceiveBuffer];
    uint8_t source[16];
    ssize_t n = ops.load()->receive(s, buffer, sizeof buffer, source);
    if (n <= 0 || static_cast<size_t>(n) > sizeof buffer) {
        return;
    }
    bipv6HandleDatagram(buffer, static_cast<uint32_t>(n), source);
}

void bipv6Poll() {
    if (bipv6Up) {
        bipv6Receive();
    }
}

namespace {

bool start(DeviceRecord *record) {
    return bipv6Init(record);
}
void send(const uint8_t *mac, uint32_t length, const uint8_t *npdu, bool) {
    bipv6Send(mac, length, npdu);
}
void poll(uint32_t) {
    bipv6Poll();
}
uint32_t maxApdu() {
    return bipv6GetMaxApdu();
}
uint32_t maxNpdu() {
    return bipv6GetMaxNpdu();
}
uint8_t broadcastVmac(uint8_t *out) {
    std::memset(out, 0, kVmacLength);
    return kVmacLength;
}

}  // namespace

const DatalinkOps bipv6Datalink{kPortBipv6, kVmacLength, start,   bipv6Close,   send,         poll,
                                nullptr,    maxApdu,     maxNpdu, bipv6GetVmac, broadcastVmac};
