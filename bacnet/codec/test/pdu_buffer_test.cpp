#include "bacnet/pdu_buffer.h"

#include "app_memory_counting.h"
#include "bacnet/app_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

class PduBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        appmem::reset();
        base_ = appmem::outstanding();
    }
    void TearDown() override {
        pduFree(&buf_);
        appmem::reset();
        EXPECT_EQ(appmem::outstanding(), base_);
    }
    PduBuffer buf_;
    int64_t base_ = 0;
};

TEST_F(PduBufferTest, InitGivesAnEmpty512OctetBuffer) {
    buf_.control = 0x03;
    ASSERT_EQ(pduInit(&buf_), 0);
    EXPECT_EQ(buf_.capacity, 512u);
    EXPECT_EQ(buf_.length, 0u);
    EXPECT_EQ(buf_.control, 0);
    EXPECT_EQ(buf_.writeBase, buf_.start + 2);
    EXPECT_EQ(appmem::outstanding(), base_ + 1);
    // A second init releases the first allocation.
    ASSERT_EQ(pduInit(&buf_), 0);
    EXPECT_EQ(appmem::outstanding(), base_ + 1);
}

TEST_F(PduBufferTest, GrowsAtThe511thOctetKeepingContentsAndCursor) {
    ASSERT_EQ(pduInit(&buf_), 0);
    for (uint32_t i = 0; i < 510; ++i) {
        ASSERT_EQ(pduAppendByte(&buf_, static_cast<uint8_t>(i)), 0);
    }
    EXPECT_EQ(buf_.capacity, 512u);
    buf_.cursor = buf_.start + 100;
    ASSERT_EQ(pduAppendByte(&buf_, 0xAB), 0);
    EXPECT_EQ(buf_.capacity, 1024u);
    EXPECT_EQ(buf_.length, 511u);
    EXPECT_EQ(buf_.cursor, buf_.start + 100);
    EXPECT_EQ(buf_.writeBase, buf_.start + 2);
    for (uint32_t i = 0; i < 510; ++i) {
        ASSERT_EQ(buf_.writeBase[i], static_cast<uint8_t>(i)) << "octet " << i;
    }
    EXPECT_EQ(buf_.writeBase[510], 0xAB);
    EXPECT_EQ(appmem::outstanding(), base_ + 1);
}

TEST_F(PduBufferTest, AppendBytesGrowsLikeSingleAppends) {
    // Runs of octets must end in the same allocation as octet-by-octet appends.
    for (uint32_t n : {0u, 1u, 509u, 510u, 511u, 1021u, 1022u, 3000u}) {
        std::vector<uint8_t> data(n + 1);  // never empty: null octets are refused
        for (uint32_t i = 0; i < n; ++i) {
            data[i] = static_cast<uint8_t>(i * 7);
        }
        PduBuffer one;
        ASSERT_EQ(pduInit(&one), 0);
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t o = data[i];
            ASSERT_EQ(pduAppendByte(&one, o), 0);
        }
        ASSERT_EQ(pduInit(&buf_), 0);
        ASSERT_EQ(pduAppendBytes(&buf_, n, data.data()), 0);
        EXPECT_EQ(buf_.capacity, one.capacity) << "n=" << n;
        EXPECT_EQ(buf_.length, n);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + n, buf_.writeBase)) << "n=" << n;
        pduFree(&one);
    }
}

TEST_F(PduBufferTest, FailedGrowthFreesTheBufferAndLaterAppendsFail) {
    ASSERT_EQ(pduInit(&buf_), 0);
    std::vector<uint8_t> data(600, 0x55);
    appmem::failAfter(0);
    EXPECT_EQ(pduAppendBytes(&buf_, 600, data.data()), 1);
    EXPECT_EQ(buf_.start, nullptr);
    EXPECT_EQ(buf_.writeBase, nullptr);
    EXPECT_EQ(buf_.capacity, 0u);
    EXPECT_EQ(buf_.length, 0u);
    EXPECT_EQ(appmem::outstanding(), base_);
    // A message that lost its head must not be continued into a fresh buffer.
    EXPECT_EQ(pduAppendByte(&buf_, 1), 1);
    EXPECT_EQ(pduAppendBytes(&buf_, 1, data.data()), 1);
    EXPECT_EQ(buf_.start, nullptr);
}

TEST_F(PduBufferTest, RefusesNullOctetsAndUninitialisedBuffers) {
    uint8_t o = 1;
    EXPECT_EQ(pduAppendByte(&buf_, 1), 1);
    EXPECT_EQ(pduAppendBytes(&buf_, 1, &o), 1);
    ASSERT_EQ(pduInit(&buf_), 0);
    EXPECT_EQ(pduAppendBytes(&buf_, 1, nullptr), 1);
    EXPECT_EQ(buf_.length, 0u);
}

TEST_F(PduBufferTest, InitFailureLeavesTheBufferEmpty) {
    appmem::failAfter(0);
    EXPECT_EQ(pduInit(&buf_), 1);
    EXPECT_EQ(buf_.start, nullptr);
    EXPECT_EQ(buf_.capacity, 0u);
}

TEST_F(PduBufferTest, ClearForgetsWithoutReleasing) {
    ASSERT_EQ(pduInit(&buf_), 0);
    uint8_t *block = buf_.start;
    pduClear(&buf_);
    EXPECT_EQ(buf_.start, nullptr);
    EXPECT_EQ(buf_.capacity, 0u);
    EXPECT_EQ(appmem::outstanding(), base_ + 1);
    appFree(block);
}

}  // namespace
