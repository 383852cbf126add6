#pragma once
// Shared set-up of the stack's fuzz targets: the stack runs on the fake
// socket with the test application, and every input must leave no packet
// queued and no block of the application's heap behind.

#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "app_memory_counting.h"
#include "bacnet/stack/bip.h"
#include "bacnet/stack/bipv6.h"
#include "bacnet/stack/mstp.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/segment.h"
#include "bacnet/stack/stack.h"
#include "harness.h"
#include "mstp/emulator.h"

namespace fuzz {

// The test application's configuration of the fuzz targets.
inline testapp::Config config() {
    testapp::Config config;
    config.rootObjects = 30;
    return config;
}

// Starts the stack on the fake socket with a configuration.
inline bool start(const testapp::Config &config) {
    testapp::configure(config);
    harness::installFakeSocket();
    bipOwnAddress = harness::ip(192, 0, 2, 10);
    bipBroadcastAddress = harness::ip(192, 0, 2, 255);
    return stackInit(1);
}

inline void startOnce() {
    static bool started = start(config());
    if (!started)
        std::abort();
}

// The B/IPv6 target's socket edge: opens, joins and binds, keeps what is
// sent and receives nothing.
namespace bipv6fake {
inline int open() {
    return 0;
}
inline int join(int, const uint8_t *, uint32_t) {
    return 0;
}
inline int bind(int, uint16_t, uint32_t) {
    return 0;
}
inline void close(int) {}
// What was sent since the last input: the destination address and the
// datagram.
inline std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> sent;
inline ssize_t sendTo(int, const uint8_t *data, uint32_t length, const uint8_t *address, uint16_t, uint32_t) {
    sent.emplace_back(std::vector<uint8_t>(address, address + 16), std::vector<uint8_t>(data, data + length));
    return length;
}
inline ssize_t receive(int, uint8_t *, uint32_t, uint8_t *) {
    return 0;
}
inline const Bipv6SocketOps ops{open, join, bind, close, sendTo, receive};
}  // namespace bipv6fake

// The stack on B/IPv6 (own address 2001:db8::10, instance 1234).
inline bool startBipv6() {
    testapp::configure(config());
    bipv6SetSocketOps(&bipv6fake::ops);
    bool started = stackInit(kPortBipv6);
    bipv6fake::sent.clear();
    return started;
}

inline void startBipv6Once() {
    static bool started = startBipv6();
    if (!started)
        std::abort();
}

// One input of the B/IPv6 target: the first octet is the last of the
// sender's address 2001:db8::N.
inline void feedBipv6(const uint8_t *data, size_t size) {
    bipv6fake::sent.clear();
    uint8_t source[16] = {0x20, 0x01, 0x0D, 0xB8};
    source[15] = data[0];
    bipv6HandleDatagram(data + 1, static_cast<uint32_t>(size - 1), source);
}

// The stack on MS/TP over the emulated line discipline, MAC 5.
inline bool startMstp() {
    testapp::Config c = config();
    c.mstpMac = 5;
    testapp::configure(c);
    mstpemu::reset("/dev/ttyO4");
    harness::installMstpEmulator();
    bool started = stackInit(kPortMstp);
    mstpemu::forgetBus();
    return started;
}

inline void startMstpOnce() {
    static bool started = startMstp();
    if (!started)
        std::abort();
}

// One input of the MS/TP target: a frame from the peer station of the first
// octet, to this station (second octet even) or broadcast (odd), of the
// frame type 5 or 6 (bit 1 of the second octet), whose NPDU is the rest.
// The datalink reads it from the emulator in the next tick.
inline void feedMstpFrame(const uint8_t *data, size_t size) {
    mstpemu::Frame frame;
    frame.source = data[0] == 5 ? 6 : data[0];
    frame.destination = (data[1] & 1) ? 0xFF : 5;
    frame.type = (data[1] & 2) ? 5 : 6;
    frame.data.assign(data + 2, data + size);
    mstpemu::forgetBus();
    mstpemu::send(frame);
    stackTick(0);
}

// One input of the B/IP target: the first octet chooses the sender and
// whether the datagram was a broadcast. Sender 192.0.2.1 is not the BBMD of
// this set-up; 192.0.2.10 is the stack's own address.
inline void feedDatagram(const uint8_t *data, size_t size) {
    uint8_t source[6] = {192, 0, 2, static_cast<uint8_t>(data[0] & 0x0F), 0xBA, 0xC0};
    bipHandleDatagram(data + 1, static_cast<uint32_t>(size - 1), source, (data[0] & 0x80) != 0);
}

// One input of the NPDU target: the first octet chooses the MAC length and
// whether the NPDU arrived as a broadcast.
inline void feedNpdu(const uint8_t *data, size_t size) {
    const uint8_t mac[8] = {192, 0, 2, 20, 0xBA, 0xC0, 0, 0};
    uint8_t macLength = (data[0] & 0x40) ? 6 : static_cast<uint8_t>(data[0] & 0x0F);
    npduReceive(kPortBip, macLength, mac, nullptr, static_cast<uint32_t>(size - 1), data + 1,
                (data[0] & 0x80) != 0);
}

// Runs the network and application layers until every queue is empty, then
// checks that nothing is left behind. Returns what the stack sent.
inline std::vector<harness::Datagram> drain(int64_t blocksBefore) {
    for (int i = 0; i < 64; ++i) {
        bool queued = apduQueue.count != 0;
        for (const auto &q : npduQueues)
            queued = queued || q.count != 0;
        if (!queued)
            break;
        stackProcess();
    }
    std::vector<harness::Datagram> sent = harness::takeSent();
    // What one input may leave behind on purpose: transfers in the
    // segmentation slots and a DeviceCommunicationControl state.
    segReset();
    communicationEnabled = 1;
    stackInitiationDisabled = 0;
    dccTimerMs = 0;
    uint32_t free = 0;
    for (int c = 0; c < kPoolClasses; ++c)
        free += poolFreeCount(c);
    if (free != static_cast<uint32_t>(kPoolPackets) || appmem::outstanding() != blocksBefore)
        std::abort();
    return sent;
}

}  // namespace fuzz
