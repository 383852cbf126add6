#pragma once
// A BACnet/IP client of the meter on its own UDP socket: requests to the
// root device (192.0.2.10, instance 1000) or to a load behind the virtual
// network 100, answers reassembled from their segments, confirmed
// notifications acknowledged, and everything else kept aside for a later
// look. For the end-to-end test and the benchmark over UDP; written with
// the client's own wire code only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "device_wire.h"
#include "e2e_wire.h"

namespace devwire {

// One APDU from the meter with the NPDU header it came with.
struct Arrived {
    e2e::Npdu npdu;
    Bytes apdu;
};

class Client {
  public:
    static constexpr uint16_t kVnet = 100;
    static constexpr uint32_t kRoot = 1000;
    static constexpr const char *kServer = "192.0.2.10";
    static constexpr const char *kBroadcast = "192.0.2.255";

    int sock = -1;
    // Datagrams sent and received, for the capture to wait for.
    size_t datagrams = 0;
    size_t sendFailures = 0;
    // APDUs that arrived while waiting for something else.
    std::vector<Arrived> aside;
    // Answers that came in more than one segment.
    size_t segmentedAnswers = 0;

    static uint32_t addr(const char *text) {
        in_addr a{};
        inet_pton(AF_INET, text, &a);
        return a.s_addr;
    }

    // The NPDU of a request to a device: the root on the local network, a
    // load behind the virtual network.
    static Bytes to(uint32_t device, const Bytes &apdu) {
        return device == kRoot ? e2e::local(apdu) : e2e::toVirtual(kVnet, device, apdu);
    }

    void sendTo(const char *address, uint8_t function, const Bytes &npdu) {
        const Bytes message = e2e::bvll(function, npdu);
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(47808);
        dst.sin_addr.s_addr = addr(address);
        if (sendto(sock, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&dst), sizeof dst) !=
            static_cast<ssize_t>(message.size()))
            ++sendFailures;
        ++datagrams;
    }
    void send(const Bytes &npdu) { sendTo(kServer, kBvlcOriginalUnicastNpdu, npdu); }
    void broadcast(const Bytes &npdu) { sendTo(kBroadcast, kBvlcOriginalBroadcastNpdu, npdu); }

    // An NPDU back to where one came from (a load answers through SNET).
    static Bytes replyNpdu(const e2e::Npdu &from, const Bytes &apdu) {
        if (!from.hasSnet)
            return e2e::local(apdu, false);
        Bytes npdu{0x01, e2e::kHasDestination, static_cast<uint8_t>(from.snet >> 8), static_cast<uint8_t>(from.snet),
                   static_cast<uint8_t>(from.sadr.size())};
        npdu = cat(npdu, from.sadr);
        npdu.push_back(255);
        return cat(npdu, apdu);
    }

    // The next APDU from the meter within timeoutMs. A confirmed request
    // of the meter (a notification) is acknowledged at once.
    std::optional<Arrived> receive(int timeoutMs) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{sock, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            uint8_t buffer[2048];
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            ssize_t n = recvfrom(sock, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (n <= 0 || from.sin_addr.s_addr != addr(kServer))
                continue;
            ++datagrams;
            const Bytes datagram(buffer, buffer + n);
            Arrived a;
            const Bytes npdu = e2e::npduOf(datagram);
            if (!e2e::parseNpdu(npdu, &a.npdu) || a.npdu.networkMessage)
                continue;
            a.apdu.assign(npdu.begin() + static_cast<std::ptrdiff_t>(a.npdu.headerLength), npdu.end());
            if (a.apdu.size() >= 4 && (a.apdu[0] >> 4) == kPduConfirmedRequest && !(a.apdu[0] & 0x08))
                send(replyNpdu(a.npdu, Bytes{kPduSimpleAck << 4, a.apdu[2], a.apdu[3]}));
            return a;
        }
        return std::nullopt;
    }

    // The answer to a confirmed request with its invoke id, a segmented one
    // reassembled (every segment acknowledged, window 1) into one
    // ComplexACK; empty when none came.
    Bytes answer(uint8_t invokeId, int timeoutMs = 8000) {
        Bytes whole;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < until) {
            auto a = receive(100);
            if (!a)
                continue;
            const Bytes &apdu = a->apdu;
            const uint8_t type = apdu.empty() ? 0 : apdu[0] >> 4;
            if (apdu.size() < 2 || type < kPduSimpleAck || type == kPduSegmentAck || apdu[1] != invokeId) {
                aside.push_back(*a);
                continue;
            }
            if (type != kPduComplexAck || !(apdu[0] & 0x08))
                return apdu;
            // Segmented: sequence number apdu[2], window apdu[3], service apdu[4].
            if (whole.empty())
                whole = Bytes{0x30, invokeId, apdu[4]};
            whole.insert(whole.end(), apdu.begin() + 5, apdu.end());
            send(replyNpdu(a->npdu, Bytes{kPduSegmentAck << 4, invokeId, apdu[2], 1}));
            if (!(apdu[0] & 0x04)) {
                segmentedAnswers += apdu[2] > 0 ? 1 : 0;
                return whole;
            }
        }
        return {};
    }

    Bytes call(uint32_t device, const Bytes &apdu, int timeoutMs = 8000) {
        send(to(device, apdu));
        return answer(apdu[2], timeoutMs);
    }

    // The first APDU kept aside or arriving that matches, within timeoutMs.
    std::optional<Arrived> await(const std::function<bool(const Arrived &)> &match, int timeoutMs = 8000) {
        for (auto it = aside.begin(); it != aside.end(); ++it) {
            if (match(*it)) {
                Arrived found = *it;
                aside.erase(it);
                return found;
            }
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < until) {
            auto a = receive(100);
            if (!a)
                continue;
            if (match(*a))
                return a;
            aside.push_back(*a);
        }
        return std::nullopt;
    }

    // The device that sent an unconfirmed APDU: the root, or the load its
    // SADR names.
    static uint32_t sender(const Arrived &a) {
        if (!a.npdu.hasSnet || a.npdu.sadr.size() != 6)
            return kRoot;
        return uint32_t{a.npdu.sadr[3]} << 16 | uint32_t{a.npdu.sadr[4]} << 8 | a.npdu.sadr[5];
    }

    // The devices that answer a global Who-Is, as many as expected or as
    // many as come within the wait.
    std::vector<uint32_t> whoIs(size_t expected, int timeoutMs = 8000) {
        broadcast(Bytes{0x01, e2e::kHasDestination, 0xFF, 0xFF, 0x00, 0xFF, kPduUnconfirmedRequest << 4, kSvcWhoIs});
        std::vector<uint32_t> devices;
        while (devices.size() < expected) {
            auto a = await([](const Arrived &x) { return x.apdu.size() > 2 && x.apdu[0] == 0x10 && x.apdu[1] == kSvcIAm; },
                           timeoutMs);
            if (!a)
                break;
            devices.push_back(sender(*a));
        }
        return devices;
    }

    // The identifiers of a device's object-list, read whole.
    std::vector<uint32_t> objectList(uint32_t device) {
        const Bytes ack = call(device, e2e::rp(1, e2e::deviceObjectId(device), kPropObjectList));
        std::vector<uint32_t> ids;
        const auto open = std::find(ack.begin(), ack.end(), uint8_t{0x3E});
        if (ack.empty() || ack[0] != 0x30 || open == ack.end())
            return ids;
        for (const auto &n : tags(Bytes(open + 1, ack.end() - 1)))
            if (!n.tag.context && n.tag.number == kTagObjectIdentifier)
                ids.push_back(n.number());
        return ids;
    }
};

}  // namespace devwire
