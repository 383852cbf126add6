#include "nerisko/cb.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Ring {
    explicit Ring(uint32_t n) : storage(n) {
        c.cb = &cb;
        cb_init_static(&c, storage.data(), n);
    }
    std::vector<float> storage;
    cb_t cb{};
    cbi_t c{};
};

TEST(RingStep, WrapsWithinTheRing) {
    struct Case {
        uint32_t size;
        uint32_t from;  // head offset before
        uint32_t n;
        uint32_t to;  // head offset after
    } const cases[] = {
        {60000, 59990, 64, 54},                // across the end
        {60000, 59990, 10, 0},                 // exactly onto the end
        {60000, 0, 0, 0},                      // no step
        {60000, 0, 59999, 59999},              // the longest step without a wrap
        {60000, 5, 0xFFFFFFF0u, 60000 - 11},   // a count that went below zero steps back
        {60000, 100, 0xFFFFFFFFu, 99},
        {64, 10, 2 * 64 + 3, 13},              // even a step past a whole ring stays inside
        {1, 0, 7, 0},
    };
    for (const Case &c : cases) {
        Ring r(c.size);
        r.c.head = r.cb.base + c.from;
        cb_added_items(&r.c, c.n);
        EXPECT_EQ(r.c.head - r.cb.base, c.to) << "size " << c.size << " from " << c.from << " n " << c.n;
    }
}

TEST(RingCount, CountsUpToTheHeadAcrossTheEnd) {
    struct Case {
        uint32_t head;
        uint32_t position;
        uint32_t available;
    } const cases[] = {
        {10, 10, 0},       // position at head: empty
        {9, 10, 999},      // head one behind: size - 1, the most a ring holds
        {500, 100, 400},
        {54, 990, 64},     // across the end
        {0, 1, 999},
    };
    for (const Case &c : cases) {
        Ring r(1000);
        r.c.head = r.cb.base + c.head;
        EXPECT_EQ(cb_items_available(&r.c, r.cb.base + c.position), c.available)
            << "head " << c.head << " position " << c.position;
    }
}

// A reader that falls a whole ring behind sees nothing: the ring holds at
// most size - 1 unread samples.
TEST(RingCount, AFullRingLooksEmptyAfterOneMoreSample) {
    Ring r(256);
    float *reader = r.c.head;
    for (uint32_t k = 0; k < 255; ++k) {
        cb_added_items(&r.c, 1);
    }
    EXPECT_EQ(cb_items_available(&r.c, reader), 255u);
    cb_added_items(&r.c, 1);
    EXPECT_EQ(cb_items_available(&r.c, reader), 0u);
}

TEST(RingLife, AllocatedAndStaticStorage) {
    cb_t cb{};
    cbi_t c{&cb, nullptr};
    EXPECT_FALSE(cb_init(&c, 0));
    ASSERT_TRUE(cb_init(&c, 60000));
    EXPECT_EQ(cb.size, 60000u);
    EXPECT_EQ(c.head, cb.base);
    EXPECT_EQ(cb.base[59999], 0.0f);
    cb_free(&c);
    EXPECT_EQ(cb.base, nullptr);
    EXPECT_EQ(cb.size, 0u);
    cb_free(&c);  // a second free does nothing

    // Freeing a ring over a caller's buffer must leave the buffer alone
    // (the sanitizer build reports an invalid free otherwise).
    float storage[16] = {1.0f};
    EXPECT_TRUE(cb_init_static(&c, storage, 16));
    cb_free(&c);
    EXPECT_EQ(cb.base, nullptr);
    EXPECT_EQ(storage[0], 1.0f);
}

}  // namespace
