#pragma once
// Shared set-up of the stack's fuzz targets: the stack runs on the fake
// socket with the test application, and every input must leave no packet
// queued and no block of the application's heap behind.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app_memory_counting.h"
#include "bacnet/stack/bip.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/segment.h"
#include "bacnet/stack/stack.h"
#include "harness.h"

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
