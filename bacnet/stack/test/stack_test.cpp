#include <gtest/gtest.h>

#include <cerrno>

#include "app_memory_counting.h"
#include "bacnet/app_memory.h"
#include "bacnet/property_value.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/bip.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/stack.h"
#include "bacnet/stack/tsm.h"
#include "mstp/emulator.h"
#include "test_util.h"

using harness::Bytes;
using namespace tu;

namespace {

TEST(StackLifecycle, SocketFailureIsReportedNotFatal) {
    testapp::configure(testapp::Config{});
    harness::installFakeSocket();
    testapp::clearLog();
    harness::failNextOpen();
    EXPECT_FALSE(stackInit(kPortBip));
    EXPECT_TRUE(testapp::logContains("bipInit: socket error opening first bip socket"));
    // No router messages went out and the stack still steps.
    EXPECT_EQ(harness::sentCount(), 0u);
    stackTick(5);
    stackProcess();
    stackShutdown();
    // Descriptor 0 is valid: the fake hands it out first.
    harness::installFakeSocket();
    EXPECT_TRUE(stackInit(kPortBip));
    EXPECT_TRUE(bipIsUp());
    stackShutdown();
    harness::uninstallFakeSocket();
}

TEST(StackLifecycle, PortsThatCannotStartLeaveNoPortActive) {
    testapp::Config config;
    config.bipv6Address = "not an address";
    testapp::configure(config);
    harness::installFakeSocket();
    mstpemu::reset("/dev/ttyO4");
    mstpemu::fail(mstpemu::Failure::kOpen, ENOENT);
    harness::installMstpEmulator();
    uint8_t before = stackActivePort();
    EXPECT_FALSE(stackInit(kPortMstp));
    EXPECT_FALSE(stackInit(kPortBipv6));
    EXPECT_FALSE(stackInit(7));
    EXPECT_EQ(stackActivePort(), before);
    uint8_t npdu[] = {1, 0, 0x10, 0x08};
    datalinkSend(kPortBipv6, nullptr, sizeof npdu, npdu, false);
    EXPECT_EQ(harness::sentCount(), 0u);
    stackShutdown();
    harness::uninstallMstpEmulator();
    harness::uninstallFakeSocket();
}

TEST(StackLifecycle, RestartFreesEveryPacketAndEveryBlock) {
    appmem::reset();
    int64_t before = appmem::outstanding();
    {
        harness::Stack stack;
        // Packets left in the queues, a request waiting in the transaction
        // table, and a value owned by the stack's PropertyValue.
        uint8_t mac[6] = {192, 0, 2, 20, 0xBA, 0xC0};
        Bytes npdu = local(rp(1, analogInput(1), kPropPresentValue));
        for (int i = 0; i < 5; ++i) {
            npduReceive(kPortBip, 6, mac, nullptr, static_cast<uint32_t>(npdu.size()), npdu.data(), false);
        }
        int id = tsmAllocInvokeId(kSvcConfirmedEventNotification, nullptr);
        ASSERT_GE(id, 0);
        PduBuffer b;
        ASSERT_EQ(pduInit(&b), 0);
        BACnetAddress peer{};
        peer.port = kPortBip;
        peer.macLength = 6;
        std::copy(mac, mac + 6, peer.mac);
        ASSERT_EQ(pduWriteNpduHeader(&b, &peer, true), 0);
        const uint8_t apdu[] = {0x00, 0x05, static_cast<uint8_t>(id), 0x02, 0x09, 0x01};
        ASSERT_EQ(pduAppendBytes(&b, sizeof apdu, apdu), 0);
        ASSERT_EQ(tsmStoreAndSend(&peer, &b, id), 0);
        pduFree(&b);
        PropertyValue &held = apduPropertyValue();
        held.datatype = kDtObjectIdList;
        held.count = 2;
        held.ownsValue = 1;
        held.value.block = appCalloc(8);
        ASSERT_NE(held.value.block, nullptr);
        EXPECT_GT(appmem::outstanding(), before);
    }
    EXPECT_EQ(appmem::outstanding(), before);
    harness::Stack again;
    EXPECT_EQ(freePackets(), static_cast<uint32_t>(kPoolPackets));
    for (int id = 0; id < kTransactionEntries; ++id)
        EXPECT_FALSE(tsmIsActive(id));
}

TEST(StackLifecycle, NothingRunsBetweenShutdownAndInit) {
    harness::Stack stack;
    stackShutdown();
    harness::takeSent();
    harness::inject(harness::bvll(kBvlcOriginalUnicastNpdu, local(rp(1, analogInput(1), kPropPresentValue))),
                    harness::ip(192, 0, 2, 20), harness::port(47808), harness::ip(192, 0, 2, 10));
    stackTick(5);
    stackProcess();
    EXPECT_EQ(harness::pendingReceive(), 1u);
    EXPECT_EQ(harness::sentCount(), 0u);
}

TEST(StackTick, OneSecondTasksRunOnTheTwoHundredthFiveMillisecondTick) {
    harness::Stack stack;
    EXPECT_EQ(routerNetworkNumberCountdown(), 9);
    for (int i = 0; i < 199; ++i)
        stackTick(5);
    EXPECT_EQ(routerNetworkNumberCountdown(), 9);
    stackTick(5);
    EXPECT_EQ(routerNetworkNumberCountdown(), 8);
    // 995 ms, then 7: the tasks run and the next second starts at 0.
    for (int i = 0; i < 199; ++i)
        stackTick(5);
    stackTick(7);
    EXPECT_EQ(routerNetworkNumberCountdown(), 7);
    for (int i = 0; i < 199; ++i)
        stackTick(5);
    stackTick(2);
    EXPECT_EQ(routerNetworkNumberCountdown(), 7);
    stackTick(3);
    EXPECT_EQ(routerNetworkNumberCountdown(), 6);
}

TEST(StackTick, LongCyclesAreCountedInFull) {
    harness::Stack stack;
    // A cycle that blocked for 3 s counts three seconds, not 3000 mod 256 ms.
    stackTick(3000);
    EXPECT_EQ(routerNetworkNumberCountdown(), 6);
    communicationEnabled = 0;
    dccTimerMs = 1000;
    stackTick(300);
    EXPECT_EQ(dccTimerMs.load(), 700);
    EXPECT_EQ(communicationEnabled.load(), 0);
    stackTick(700);
    EXPECT_EQ(communicationEnabled.load(), 1);
}

TEST(StackTick, CommunicationControlTimerLiftsTheDisable) {
    harness::Stack stack;
    communicationEnabled = 0;
    dccTimerMs = 60000;
    for (int t = 0; t < 59995; t += 5)
        stackTick(5);
    EXPECT_EQ(communicationEnabled.load(), 0);
    stackTick(5);
    EXPECT_EQ(communicationEnabled.load(), 1);
    EXPECT_EQ(dccTimerMs.load(), 0);
    // A duration of 0 never ends by itself.
    communicationEnabled = 0;
    for (int t = 0; t < 100000; t += 250)
        stackTick(250);
    EXPECT_EQ(communicationEnabled.load(), 0);
    communicationEnabled = 1;
}

TEST(StackTick, TransactionIsSentFourTimesThenTimesOut) {
    testapp::resetCounters();
    harness::Stack stack;
    harness::takeSent();
    RequestCompletion done{1, 0, 0};
    int id = sendStoredRequest(kSvcConfirmedEventNotification, &done);
    ASSERT_GE(id, 0);
    stack.advance(39995);
    EXPECT_EQ(harness::takeSent().size(), 4u);
    EXPECT_EQ(done.state, 1);
    stack.advance(10);
    EXPECT_EQ(done.state, 2);
    EXPECT_EQ(done.status, 255);
    EXPECT_EQ(done.result, kErrCommunicationTimeout);
    EXPECT_EQ(testapp::counters().requestTimeouts, 1u);
    EXPECT_FALSE(tsmIsActive(id));
}

TEST(StackTick, AnIdWaitingForItsRequestDoesNotExpire) {
    // A notification sender on another thread takes an invoke id, then is
    // held up for longer than the APDU time-out before storing its request.
    testapp::resetCounters();
    harness::Stack stack;
    harness::takeSent();
    RequestCompletion done{1, 0, 0};
    int id = tsmAllocInvokeId(kSvcConfirmedEventNotification, &done);
    ASSERT_GE(id, 0);
    stack.advance(60000);
    EXPECT_TRUE(tsmIsActive(id));
    EXPECT_EQ(testapp::counters().requestTimeouts, 0u);
    BACnetAddress peer = clientPeer();
    PduBuffer b;
    const uint8_t apdu[] = {0x00, 0x05, static_cast<uint8_t>(id), kSvcConfirmedEventNotification};
    ASSERT_EQ(pduInit(&b), 0);
    ASSERT_EQ(pduWriteNpduHeader(&b, &peer, true), 0);
    ASSERT_EQ(pduAppendBytes(&b, sizeof apdu, apdu), 0);
    EXPECT_EQ(tsmStoreAndSend(&peer, &b, id), 0);
    pduFree(&b);
    // Timed from the store on, as any other request.
    stack.advance(39995);
    EXPECT_EQ(harness::takeSent().size(), 4u);
    stack.advance(10);
    EXPECT_EQ(done.state, 2);
    EXPECT_EQ(testapp::counters().requestTimeouts, 1u);
}

TEST(Datalink, MaxApduCodes) {
    const std::pair<uint32_t, uint8_t> cases[] = {{0, 0},    {50, 0},   {51, 1},   {128, 1}, {129, 2},
                                                  {206, 2},  {207, 3},  {480, 3},  {481, 4}, {1024, 4},
                                                  {1025, 5}, {1476, 5}, {1477, 0}, {2000, 0}};
    for (auto [length, code] : cases)
        EXPECT_EQ(datalinkMaxApduCode(length), code) << length;
}

}  // namespace
