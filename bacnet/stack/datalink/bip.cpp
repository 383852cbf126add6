#include "bacnet/stack/bip.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "bacnet/enums.h"
#include "bacnet/stack/address.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/datalink.h"
#include "bacnet/stack/npdu.h"

uint32_t bipOwnAddress = 0;
uint32_t bipBroadcastAddress = 0xFFFFFFFFu;

namespace {

// BVLL header octets before an NPDU, and before that of a Forwarded-NPDU.
constexpr uint32_t kBvllHeader = 4;
constexpr uint32_t kForwardedHeader = 10;

std::atomic<int> bipSocket{-1};
std::atomic<uint16_t> bipPort{47808};  // host order
std::atomic<bool> bipUp{false};
uint8_t ownBipAddress[6];

// Foreign-device client. The BBMD address is read by senders on other
// threads, so it is guarded; the rest is touched on the main thread only,
// except the state, which senders read.
std::mutex fdMutex;
uint8_t fdBbmdAddress[6];
uint16_t fdTtl;
uint32_t fdRetryBaseMs = 10000;
std::atomic<uint8_t> fdState{kFdNotRegistered};
int32_t fdTimer;
uint16_t fdAttempts;

uint16_t read16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void logSocketError(const char *format) {
    char line[160];
    std::snprintf(line, sizeof line, format, std::strerror(errno));
    appSyslog(LOG_INFO, line);
}

int udpOpen(uint16_t port) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        logSocketError("ZOR BACnet: Error opening UDP socket %s\n");
        return -1;
    }
    int on = 1;
    if (::setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) < 0) {
        logSocketError("set dstaddr sockopt: %s");
        ::close(s);
        return -1;
    }
    if (::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0) {
        logSocketError("set bcast sockopt: %s");
        ::close(s);
        return -1;
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = port;
    if (::bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0) {
        logSocketError("ZOR BACnet:  Error binding UDP socket %s\n");
        ::close(s);
        return -1;
    }
    return s;
}

void udpClose(int s) {
    ::close(s);
}

void udpSendTo(int s, const uint8_t *data, uint32_t length, uint32_t address, uint16_t port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = address;
    sin.sin_port = port;
    // Errors are not reported: BACnet has its own retries.
    (void)::sendto(s, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
}

ssize_t udpReceive(int s, uint8_t *buffer, uint32_t capacity, uint32_t *sourceAddress, uint16_t *sourcePort,
                   uint32_t *destinationAddress) {
    sockaddr_in from{};
    iovec iov{buffer, capacity};
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    // MSG_TRUNC makes the result the datagram's real length, so that a
    // datagram longer than the buffer is recognised and dropped.
    ssize_t n = ::recvmsg(s, &msg, MSG_TRUNC);
    if (n < 0) {
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    }
    *sourceAddress = from.sin_addr.s_addr;
    *sourcePort = from.sin_port;
    *destinationAddress = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            *destinationAddress = info.ipi_addr.s_addr;
        }
    }
    return n == 0 ? 0 : n;
}

const BipSocketOps udpOps{udpOpen, udpClose, udpSendTo, udpReceive};
std::atomic<const BipSocketOps *> ops{&udpOps};

bool bbmdConfigured(const uint8_t *bbmd) {
    return bbmd[0] | bbmd[1] | bbmd[2] | bbmd[3];
}

void sendTo6(const uint8_t *address6, const uint8_t *data, uint32_t length) {
    int s = bipSocket.load();
    if (s < 0) {
        return;
    }
    uint32_t address;
    uint16_t port;
    std::memcpy(&address, address6, 4);
    std::memcpy(&port, address6 + 4, 2);
    ops.load()->sendTo(s, data, length, address, port);
}

void sendResult(const uint8_t *to, uint16_t code) {
    uint8_t msg[6] = {kBvllTypeBip, kBvlcResult, 0x00, 0x06};
    put16(msg + 4, code);
    bipSendRaw(to, sizeof msg, msg);
}

void sendRegister() {
    uint8_t bbmd[6];
    {
        std::lock_guard lock(fdMutex);
        std::memcpy(bbmd, fdBbmdAddress, 6);
    }
    uint8_t msg[6] = {kBvllTypeBip, kBvlcRegisterForeignDevice, 0x00, 0x06};
    put16(msg + 4, fdTtl);
    bipSendRaw(bbmd, sizeof msg, msg);
}

void bvlcHandleResult(uint16_t code) {
    bool configured;
    {
        std::lock_guard lock(fdMutex);
        configured = bbmdConfigured(fdBbmdAddress);
    }
    if (!configured) {
        fdState = kFdNotRegistered;
        fdAttempts = 0;
        return;
    }
    if (code == kBvlcDistributeBroadcastToNetworkNak && fdState == kFdRegistered) {
        // The BBMD refuses our broadcasts: it has lost the registration (a
        // restart, say). Register again at the next second instead of
        // losing every broadcast until the time-to-live runs out.
        fdAttempts = 0;
        fdTimer = 0;
        fdState = kFdDue;
        return;
    }
    if (fdState != kFdWaiting) {
        return;
    }
    if (code == kBvlcSuccessfulCompletion) {
        fdAttempts = 0;
        fdTimer = fdTtl;
        fdState = kFdRegistered;
    } else if (code == kBvlcRegisterForeignDeviceNak) {
        fdAttempts = 0;
        fdTimer = 3;
        fdState = kFdNotRegistered;
    }
}

bool fromBbmd(const uint8_t *source) {
    std::lock_guard lock(fdMutex);
    return bbmdConfigured(fdBbmdAddress) && std::memcmp(source, fdBbmdAddress, 6) == 0;
}

// The negative result a request of a BBMD's own gets from this device, which
// is no BBMD.
struct BbmdRequest {
    uint8_t function;
    uint16_t nak;
};
constexpr BbmdRequest kBbmdRequests[] = {
    {kBvlcWriteBroadcastDistributionTable, kBvlcWriteBroadcastDistributionTableNak},
    {kBvlcReadBroadcastDistributionTable, kBvlcReadBroadcastDistributionTableNak},
    {kBvlcRegisterForeignDevice, kBvlcRegisterForeignDeviceNak},
    {kBvlcReadForeignDeviceTable, kBvlcReadForeignDeviceTableNak},
    {kBvlcDeleteForeignDeviceTableEntry, kBvlcDeleteForeignDeviceTableEntryNak},
    {kBvlcDistributeBroadcastToNetwork, kBvlcDistributeBroadcastToNetworkNak},
};

void bvlcHandleFunction(const uint8_t *message, uint32_t length, const uint8_t *source) {
    uint8_t function = message[1];
    if (function == kBvlcResult) {
        // Only the BBMD's own result may change the registration: anyone
        // else could otherwise fake or cancel it.
        if (length >= 6 && fromBbmd(source)) {
            uint16_t code = read16(message + 4);
            if (code == kBvlcSuccessfulCompletion || code == kBvlcRegisterForeignDeviceNak ||
                code == kBvlcDeleteForeignDeviceTableEntryNak ||
                code == kBvlcDistributeBroadcastToNetworkNak) {
                bvlcHandleResult(code);
            }
        }
        return;
    }
    for (const BbmdRequest &request : kBbmdRequests) {
        if (request.function == function) {
            sendResult(source, request.nak);
            return;
        }
    }
}

void bvlcFdClose() {
    if (fdState == kFdRegistered) {
        uint8_t msg[10] = {kBvllTypeBip, kBvlcDeleteForeignDeviceTableEntry, 0x00, 0x0A};
        std::memcpy(msg + 4, ownBipAddress, 6);
        uint8_t bbmd[6];
        {
            std::lock_guard lock(fdMutex);
            std::memcpy(bbmd, fdBbmdAddress, 6);
        }
        bipSendRaw(bbmd, sizeof msg, msg);
    }
    std::lock_guard lock(fdMutex);
    std::memset(fdBbmdAddress, 0, sizeof fdBbmdAddress);
    // The BBMD has been told to forget us: nothing is registered any more.
    fdState = kFdNotRegistered;
}

void bvlcFdTimer() {
    bool configured;
    {
        std::lock_guard lock(fdMutex);
        configured = bbmdConfigured(fdBbmdAddress);
    }
    if (!configured) {
        fdState = kFdNotRegistered;
        fdAttempts = 0;
        return;
    }
    --fdTimer;
    if (fdTimer < 1) {
        fdState = kFdDue;
    }
    if (fdState == kFdDue) {
        fdTimer = static_cast<int32_t>(fdRetryBaseMs / 1000);
        if (fdTimer < 3) {
            fdTimer = 3;
        }
        if (++fdAttempts > 10) {
            fdAttempts = 0;
            fdTimer = 60;
        }
        sendRegister();
        fdState = kFdWaiting;
    }
}

}  // namespace

void bipSetSocketOps(const BipSocketOps *replacement) {
    ops = replacement != nullptr ? replacement : &udpOps;
}

bool bipInit(const DeviceRecord *record) {
    bipPort = record->udpPort != 0 ? record->udpPort : 47808;
    int s = ops.load()->open(htons(bipPort));
    // Descriptor 0 is a valid descriptor; only a negative one is a failure.
    if (s < 0) {
        appBipLog("bipInit: socket error opening first bip socket\n");
        return false;
    }
    bipSocket = s;
    bipUp = true;
    std::memcpy(ownBipAddress, &bipOwnAddress, 4);
    put16(ownBipAddress + 4, bipPort);
    return true;
}

void bipStartForeignDevice(const DeviceRecord *record) {
    if (!bbmdConfigured(record->bbmdAddress)) {
        return;
    }
    {
        std::lock_guard lock(fdMutex);
        std::memcpy(fdBbmdAddress, record->bbmdAddress, 4);
        put16(fdBbmdAddress + 4, bipPort);
    }
    fdTtl = record->bbmdTtl;
    fdRetryBaseMs = record->apduTimeoutMs;
    // Register again at every start: whatever was registered before a
    // restart was deleted when the datalink closed.
    fdState = kFdNotRegistered;
    fdTimer = 0;
    fdAttempts = 0;
}

bool bipStart(const DeviceRecord *record) {
    if (!bipInit(record)) {
        return false;
    }
    bipStartForeignDevice(record);
    return true;
}

void bipClose() {
    if (bipUp) {
        bvlcFdClose();
    }
    int s = bipSocket.exchange(-1);
    if (s >= 0) {
        ops.load()->close(s);
    }
    bipUp = false;
}

bool bipIsUp() {
    return bipUp;
}

void bipSend(const uint8_t *mac, uint32_t length, const uint8_t *npdu) {
    if (length > kBipMaxNpdu || npdu == nullptr) {
        return;
    }
    uint8_t message[kBvllHeader + kBipMaxNpdu];
    message[0] = kBvllTypeBip;
    put16(message + 2, static_cast<uint16_t>(length + kBvllHeader));
    std::memcpy(message + kBvllHeader, npdu, length);
    if (mac != nullptr) {
        message[1] = kBvlcOriginalUnicastNpdu;
        sendTo6(mac, message, length + kBvllHeader);
        return;
    }
    if (fdState == kFdRegistered) {
        uint8_t bbmd[6];
        {
            std::lock_guard lock(fdMutex);
            std::memcpy(bbmd, fdBbmdAddress, 6);
        }
        message[1] = kBvlcDistributeBroadcastToNetwork;
        sendTo6(bbmd, message, length + kBvllHeader);
        return;
    }
    message[1] = kBvlcOriginalBroadcastNpdu;
    uint8_t broadcast[6];
    bipGetAddress(broadcast, true);
    sendTo6(broadcast, message, length + kBvllHeader);
}

void bipSendRaw(const uint8_t *address, uint32_t length, const uint8_t *message) {
    uint8_t to[6];
    if (address != nullptr) {
        std::memcpy(to, address, 6);
    } else {
        std::memcpy(to, &bipBroadcastAddress, 4);
        put16(to + 4, bipPort);
    }
    sendTo6(to, message, length);
    BACnetAddress destination{};
    destination.port = kPortBip;
    destination.macLength = 6;
    std::memcpy(destination.mac, to, 6);
    BACnetAddress source{};
    source.port = kPortBip;
    source.macLength = 6;
    std::memcpy(source.mac, ownBipAddress, 6);
    appMonitorPdu(kPortBip, length, message, &destination, &source, 0);
}

void bipHandleDatagram(const uint8_t *message, uint32_t length, const uint8_t *source, bool broadcast) {
    if (length < kBvllHeader || message[0] != kBvllTypeBip) {
        return;
    }
    uint16_t bvllLength = read16(message + 2);
    if (bvllLength < kBvllHeader || bvllLength != length) {
        return;
    }
    bvlcHandleFunction(message, length, source);
    switch (message[1]) {
        case kBvlcForwardedNpdu:
            // The originating device's address, then the NPDU.
            if (length < kForwardedHeader || std::memcmp(message + kBvllHeader, ownBipAddress, 6) == 0) {
                return;
            }
            npduReceive(kPortBip, 6, message + kBvllHeader, ownBipAddress, length - kForwardedHeader,
                        message + kForwardedHeader, broadcast);
            break;
        case kBvlcDistributeBroadcastToNetwork:
        case kBvlcOriginalUnicastNpdu:
        case kBvlcOriginalBroadcastNpdu:
            npduReceive(kPortBip, 6, source, ownBipAddress, length - kBvllHeader, message + kBvllHeader,
                        broadcast);
            break;
        default:
            break;
    }
}

void bipPoll() {
    int s = bipSocket.load();
    if (s < 0) {
        return;
    }
    uint8_t buffer[kBipReceiveBuffer];
    uint32_t sourceAddress = 0;
    uint32_t destinationAddress = 0;
    uint16_t sourcePort = 0;
    ssize_t n =
        ops.load()->receive(s, buffer, sizeof buffer, &sourceAddress, &sourcePort, &destinationAddress);
    if (n <= 0 || static_cast<size_t>(n) > sizeof buffer) {
        return;
    }
    if (sourceAddress == bipOwnAddress && sourcePort == htons(bipPort)) {
        return;
    }
    bool broadcast = destinationAddress == bipBroadcastAddress || destinationAddress == 0xFFFFFFFFu;
    uint8_t source[6];
    std::memcpy(source, &sourceAddress, 4);
    std::memcpy(source + 4, &sourcePort, 2);
    bipHandleDatagram(buffer, static_cast<uint32_t>(n), source, broadcast);
}

void bipTick() {
    bvlcFdTimer();
}

uint8_t bipGetAddress(uint8_t *out, bool broadcast) {
    if (broadcast) {
        std::memcpy(out, &bipBroadcastAddress, 4);
        put16(out + 4, bipPort);
    } else {
        std::memcpy(out, ownBipAddress, 6);
    }
    return 6;
}

uint8_t bipFdState() {
    return fdState;
}
int32_t bipFdTimer() {
    return fdTimer;
}
uint16_t bipFdAttempts() {
    return fdAttempts;
}

namespace {

bool start(DeviceRecord *record) {
    return bipStart(record);
}
void send(const uint8_t *mac, uint32_t length, const uint8_t *npdu, bool) {
    bipSend(mac, length, npdu);
}
void poll(uint32_t) {
    bipPoll();
}
uint8_t ownAddress(uint8_t *out) {
    return bipGetAddress(out, false);
}
uint8_t broadcastAddress(uint8_t *out) {
    return bipGetAddress(out, true);
}

}  // namespace

const DatalinkOps bipDatalink{kPortBip,   6,          start,      bipClose,        send, poll, bipTick,
                              bipMaxApdu, bipMaxNpdu, ownAddress, broadcastAddress};
