#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "bacnet/stack/packet.h"

namespace {

class PoolTest : public ::testing::Test {
  protected:
    void SetUp() override { poolInit(); }
    void TearDown() override { poolInit(); }
};

TEST_F(PoolTest, ClassesServeLargerRequestsWhenSmallerAreTaken) {
    NpduPacket *a = poolAlloc(200);
    NpduPacket *b = poolAlloc(200);
    NpduPacket *c = poolAlloc(200);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(poolPacketCapacity(a), 256u);
    EXPECT_EQ(poolPacketCapacity(b), 256u);
    EXPECT_EQ(poolPacketCapacity(c), 512u);

    poolInit();
    std::vector<NpduPacket *> small;
    for (int i = 0; i < 256; ++i) {
        NpduPacket *p = poolAlloc(100);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(poolPacketCapacity(p), 128u);
        small.push_back(p);
    }
    NpduPacket *next = poolAlloc(100);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(poolPacketCapacity(next), 256u);
    // Each packet's data is writable over its whole capacity without touching
    // its neighbour.
    for (NpduPacket *p : small) {
        std::fill(p->data, p->data + 128, 0xAA);
        EXPECT_EQ(p->poolClass, 0);
    }
}

TEST_F(PoolTest, ExhaustionAndOversizeGiveNull) {
    EXPECT_EQ(poolAlloc(1501), nullptr);
    std::vector<NpduPacket *> big;
    for (int i = 0; i < 60; ++i) {
        NpduPacket *p = poolAlloc(1500);
        ASSERT_NE(p, nullptr);
        big.push_back(p);
    }
    EXPECT_EQ(poolAlloc(1500), nullptr);
    poolFree(big.back());
    EXPECT_EQ(poolAlloc(1500), big.back());
}

TEST_F(PoolTest, InitReturnsEveryPacketOnce) {
    for (int i = 0; i < 100; ++i)
        poolAlloc(static_cast<uint32_t>(i * 15));
    poolInit();
    uint32_t expected[4] = {256, 2, 2, 60};
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(poolFreeCount(c), expected[c]) << "class " << c;
    std::set<NpduPacket *> seen;
    for (int i = 0; i < kPoolPackets; ++i) {
        NpduPacket *p = poolAlloc(1);
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(seen.insert(p).second);
    }
    EXPECT_EQ(poolAlloc(1), nullptr);
}

TEST_F(PoolTest, QueueIsFifoAndEmptiesCleanly) {
    PacketQueue q{};
    NpduPacket *a = poolAlloc(10);
    NpduPacket *b = poolAlloc(10);
    queuePush(&q, a);
    queuePush(&q, b);
    EXPECT_EQ(q.count, 2);
    EXPECT_EQ(queuePop(&q), a);
    EXPECT_EQ(queuePop(&q), b);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(queuePop(&q), nullptr);
    queuePush(&q, b);
    EXPECT_EQ(q.head, b);
    EXPECT_EQ(q.tail, b);
    EXPECT_EQ(b->next, nullptr);
}

TEST(NetOrder, SwapsOnLittleEndianHosts) {
    EXPECT_EQ(netOrder16(0x1234), 0x3412);
    EXPECT_EQ(netOrder16(netOrder16(0xBAC0)), 0xBAC0);
}

}  // namespace
