#pragma once
// Shared set-up of the stack's fuzz targets: the stack runs on the fake
// socket with the test application, and every input must leave no packet
// queued and no block of the application's heap behind.

#include <cstdint>
#include <cstdlib>

#include "app_memory_counting.h"
#include "bacnet/stack/bip.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/stack.h"
#include "harness.h"

namespace fuzz {

inline void startOnce() {
    static bool started = [] {
        testapp::Config config;
        config.rootObjects = 30;
        testapp::configure(config);
        harness::installFakeSocket();
        bipOwnAddress = harness::ip(192, 0, 2, 10);
        bipBroadcastAddress = harness::ip(192, 0, 2, 255);
        return stackInit(1);
    }();
    if (!started)
        std::abort();
}

// Runs the network and application layers until every queue is empty, then
// checks that nothing is left behind.
inline void drain(int64_t blocksBefore) {
    for (int i = 0; i < 64; ++i) {
        bool queued = apduQueue.count != 0;
        for (const auto &q : npduQueues)
            queued = queued || q.count != 0;
        if (!queued)
            break;
        stackProcess();
    }
    harness::takeSent();
    uint32_t free = 0;
    for (int c = 0; c < kPoolClasses; ++c)
        free += poolFreeCount(c);
    if (free != static_cast<uint32_t>(kPoolPackets) || appmem::outstanding() != blocksBefore)
        std::abort();
}

}  // namespace fuzz
