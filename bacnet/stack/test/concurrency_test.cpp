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
#include <string>
#include <thread>
#include <vector>

#include "bacnet/stack/apdu.h"
#include "app_memory_counting.h"
#include "bacnet/stack/bipv6.h"
#include "bacnet/stack/datalink.h"
#include "bacnet/stack/notify.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/segment.h"
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

// Notification senders on two threads (confirmed and unconfirmed COV
// notifications, some long enough to need segmentation, and event
// notifications to a recipient that must first be bound) while the main
// thread serves a segmented ReadProperty answer and acknowledges whatever the
// stack sends. Every confirmed notification must complete exactly once, and
// a shutdown with transfers still in flight must leave no block behind.
constexpr int kNotifications = 60;
constexpr uint32_t kRecipient = 7;

struct SenderResults {
    int confirmed = 0;  // confirmed notifications that went out (invoke id returned)
    int failures = 0;   // results other than an invoke id, 256, or -1 before the binding
    std::string codes;  // what each failure answered, for the message
};

void sendNotifications(int thread, SenderResults *out) {
    CharStringStore<700> text;
    text.str.length = 700;
    std::memset(text.room, 'a' + thread, 700);
    for (int i = 0; i < kNotifications; ++i) {
        CovPropertyValue value{};
        value.objectId = analogInput(1);
        value.propertyId = kPropDescription;
        value.arrayIndex = 0xFFFFFFFFu;
        value.value.datatype = kDtCharString;
        value.value.value.block = &text.str;
        if (i % 2 == 0) {
            value.propertyId = kPropPresentValue;
            value.value.datatype = kDtReal;
            value.value.value.f = static_cast<float>(i);
        }
        CovSubscriber s{};
        s.subscriber = clientPeer();
        s.subscriber.maxApdu = 480;
        s.subscriber.maxSegments = 0xFFFF;
        s.subscriber.segmentedResponseAccepted = 1;
        s.processId = static_cast<uint32_t>(thread);
        s.monitoredObject = analogInput(1);
        s.issueConfirmed = i % 3 != 0;
        s.values = &value;
        s.valueCount = 1;
        // No free invoke id or segmentation slot yet: the serving loop frees
        // them, so the sender tries again.
        int r;
        while ((r = svcSendCovNotification(-1, &s)) == -11 || r == -13)
            std::this_thread::yield();
        if (r >= 0 && r < 256) {
            ++out->confirmed;
        } else if (r == -21 && !s.issueConfirmed) {
            // A long unconfirmed message is never segmented.
        } else if (r != 256) {
            ++out->failures;
            out->codes += " cov:" + std::to_string(r);
        }
        EventNotificationData d{};
        d.initiatingDevice = 1234;
        d.eventObject = analogInput(1);
        d.eventType = kEventOutOfRange;
        d.toState = 3;
        d.priority = 100;
        d.confirmed = 1;
        EventValues v{};
        v.outOfRange = {80.0f, 1.0f, 75.0f, 0x80};
        // Until the serving loop has answered the Who-Is, the recipient is
        // not bound.
        while ((r = svcSendEventNotification(-1, static_cast<int32_t>(kRecipient), &d, &v, nullptr)) == -1 ||
               r == -11 || r == -13)
            std::this_thread::yield();
        if (r >= 0 && r < 256) {
            ++out->confirmed;
        } else {
            ++out->failures;
            out->codes += " event:" + std::to_string(r);
        }
    }
}

TEST(Concurrency, NotificationSendersBesideASegmentedTransfer) {
    testapp::Config config;
    config.rootObjects = 200;
    testapp::configure(config);
    int64_t blocksBefore = appmem::outstanding();
    {
        testapp::resetCounters();
        harness::Stack stack(config);
        const uint32_t client = harness::ip(192, 0, 2, 20);
        auto inject = [&](const Bytes &apdu) {
            harness::inject(harness::bvll(kBvlcOriginalUnicastNpdu, cat(Bytes{0x01, 0x00}, apdu)), client,
                            harness::port(47808), harness::ip(192, 0, 2, 10));
        };
        // A segmented ReadProperty answer in flight on the main thread.
        Bytes read = rp(200, deviceObjectId(1234), kPropObjectList, kNone, 0x73);
        read[0] |= 0x02;
        inject(read);

        SenderResults first, second;
        std::thread a(sendNotifications, 1, &first);
        std::thread b(sendNotifications, 2, &second);
        std::atomic<bool> sendersDone{false};
        std::thread joiner([&] {
            a.join();
            b.join();
            sendersDone = true;
        });
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        uint64_t completed = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto &d : harness::takeSent()) {
                Bytes apdu = apduOf(d);
                if (apdu.size() < 4)
                    continue;
                uint8_t type = apdu[0] >> 4;
                if (type == kPduConfirmedRequest && (apdu[0] & kApduSegmentedMessage)) {
                    inject(Bytes{0x41, apdu[2], apdu[3], 16});
                    if (!(apdu[0] & kApduMoreFollows))
                        inject(Bytes{0x20, apdu[2], apdu[5]});
                } else if (type == kPduConfirmedRequest) {
                    inject(Bytes{0x20, apdu[2], apdu[3]});
                } else if (type == kPduComplexAck && (apdu[0] & kApduSegmentedMessage)) {
                    inject(Bytes{0x40, apdu[1], apdu[2], 16});
                } else if (apdu[0] == 0x10 && apdu[1] == kSvcWhoIs) {
                    inject(Bytes{0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, kRecipient, 0x22, 0x05, 0xC4, 0x91, 0x00,
                                 0x21, 0x07});
                }
            }
            stackTick(1);
            stackProcess();
            stackProcess();
            completed = testapp::counters().repliesReceived;
            if (sendersDone && completed == static_cast<uint64_t>(first.confirmed + second.confirmed) &&
                harness::sentCount() == 0 && harness::pendingReceive() == 0)
                break;
        }
        joiner.join();
        EXPECT_EQ(first.failures + second.failures, 0) << first.codes << second.codes;
        // Two of three COV notifications and every event notification are confirmed.
        EXPECT_EQ(first.confirmed + second.confirmed, 2 * (kNotifications * 2 / 3 + kNotifications));
        // Each confirmed notification completed once: invoke ids never met.
        EXPECT_EQ(completed, static_cast<uint64_t>(first.confirmed + second.confirmed));
        // Transfers left in flight when the stack shuts down.
        inject(read);
        harness::pump();
        EXPECT_GE(segSlotsInUse(), 1);
    }
    EXPECT_EQ(appmem::outstanding(), blocksBefore);
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
