// Two threads send confirmed requests through the transaction table, as the
// notification senders do, without the application's stack lock, while the
// main thread runs the serving loop that receives and completes the answers.
// scripts/test runs it under ThreadSanitizer (scripts/build tsan), which shows
// the stack's internal lock keeping the shared tables race free.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/bipv6.h"
#include "bacnet/stack/datalink.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/stack.h"
#include "bacnet/stack/tsm.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;

namespace {

constexpr int kPerThread = 300;

void sendRequests(std::vector<RequestCompletion> *completions, std::atomic<int> *failures) {
    BACnetAddress peer{};
    peer.port = kPortBip;
    peer.macLength = 6;
    const uint8_t mac[6] = {192, 0, 2, 20, 0xBA, 0xC0};
    std::copy(mac, mac + 6, peer.mac);
    for (auto &completion : *completions) {
        completion.state = 1;
        int id = -1;
        while ((id = tsmAllocInvokeId(kSvcConfirmedEventNotification, &completion)) < 0)
            std::this_thread::yield();
        PduBuffer b;
        const uint8_t apdu[] = {0x00, 0x05, static_cast<uint8_t>(id), 0x02, 0x09, 0x01};
        if (pduInit(&b) != 0 || pduWriteNpduHeader(&b, &peer, true) != 0 ||
            pduAppendBytes(&b, sizeof apdu, apdu) != 0 || tsmStoreAndSend(&peer, &b, id) != 0) {
            ++*failures;
        }
        pduFree(&b);
        // An unconfirmed message as well, straight to the datalink.
        const uint8_t iam[] = {0x01, 0x00, 0x10, 0x00, 0xC4, 0x02, 0x00, 0x04,
                               0xD2, 0x22, 0x05, 0xC4, 0x91, 0x01, 0x21, 0x05};
        datalinkSend(kPortBip, nullptr, sizeof iam, iam, false);
        (void)bindingCountBound();
    }
}

TEST(Concurrency, SendersBesideTheServingLoop) {
    testapp::resetCounters();
    harness::Stack stack;
    std::vector<RequestCompletion> first(kPerThread), second(kPerThread);
    std::atomic<int> failures{0};
    std::thread a(sendRequests, &first, &failures);
    std::thread b(sendRequests, &second, &failures);

    // The serving loop: answers every confirmed request it sees go out.
    const uint32_t client = harness::ip(192, 0, 2, 20);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (testapp::counters().repliesReceived < 2u * kPerThread &&
           std::chrono::steady_clock::now() < deadline) {
        for (const auto &d : harness::takeSent()) {
            Bytes apdu = apduOf(d);
            if (apdu.size() >= 4 && apdu[0] == 0x00 && apdu[3] == 0x02) {
                harness::inject(
                    harness::bvll(kBvlcOriginalUnicastNpdu, Bytes{0x01, 0x00, 0x20, apdu[2], 0x02}), client,
                    harness::port(47808), harness::ip(192, 0, 2, 10));
            }
        }
        stackTick(1);
        stackProcess();
        stackProcess();
    }
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(testapp::counters().repliesReceived, 2u * kPerThread);
    for (const auto *list : {&first, &second}) {
        for (const auto &c : *list) {
            EXPECT_EQ(c.state, 2);
            EXPECT_EQ(c.result, 0u);
        }
    }
}

// B/IPv6 senders on two threads look VMACs up while the main thread learns
// them from Address-Resolution-ACKs: every unicast must go to the address of
// its own VMAC (peer n answers from 2001:db8:0:1::n).
namespace v6 {
std::mutex mutex;
int unicasts = 0;
int misdirected = 0;

int open() {
    return 0;
}
int joinOrBind(int, const uint8_t *, uint32_t) {
    return 0;
}
int bind(int, uint16_t, uint32_t) {
    return 0;
}
void close(int) {}
ssize_t sendTo(int, const uint8_t *data, uint32_t length, const uint8_t *address, uint16_t, uint32_t) {
    std::lock_guard lock(mutex);
    if (length >= 10 && data[1] == kBvlc6OriginalUnicastNpdu) {
        ++unicasts;
        if (std::memcmp(address + 13, data + 7, 3) != 0)
            ++misdirected;
    }
    return length;
}
ssize_t receive(int, uint8_t *, uint32_t, uint8_t *) {
    return 0;
}
const Bipv6SocketOps ops{open, joinOrBind, bind, close, sendTo, receive};
}  // namespace v6

TEST(Concurrency, Bipv6SendersBesideTheLearningLoop) {
    bipv6SetSocketOps(&v6::ops);
    testapp::configure(testapp::Config{});
    ASSERT_TRUE(stackInit(kPortBipv6));
    std::atomic<bool> done{false};
    auto sender = [&done] {
        const uint8_t npdu[] = {0x01, 0x00, 0x10, 0x08};
        while (!done) {
            for (uint8_t n = 1; n <= kVmacTableSize; ++n) {
                const uint8_t vmac[3] = {0x00, 0x00, n};
                datalinkSend(kPortBipv6, vmac, sizeof npdu, npdu, false);
            }
        }
    };
    std::thread a(sender);
    std::thread b(sender);
    for (uint8_t n = 1; n <= kVmacTableSize; ++n) {
        const uint8_t ack[10] = {
            kBvllTypeBipv6, kBvlc6AddressResolutionAck, 0x00, 0x0A, 0x00, 0x00, n, 0x00, 0x04, 0xD2};
        uint8_t source[16] = {0x20, 0x01, 0x0D, 0xB8, 0x00, 0x00, 0x00, 0x01};
        source[15] = n;
        stackTick(1);
        bipv6HandleDatagram(ack, sizeof ack, source);
        stackProcess();
    }
    for (;;) {
        std::lock_guard lock(v6::mutex);
        if (v6::unicasts >= 1000)
            break;
    }
    done = true;
    a.join();
    b.join();
    stackShutdown();
    bipv6SetSocketOps(nullptr);
    EXPECT_EQ(bipv6VmacCount(), kVmacTableSize);
    EXPECT_EQ(v6::misdirected, 0);
}

}  // namespace
