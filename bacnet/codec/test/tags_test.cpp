// Primitive values against octets worked out by hand from the BACnet
// encoding rules (tag octet: number in bits 7..4, class in bit 3, length in
// bits 2..0; big-endian content).

#include "bacnet/tags.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(const uint8_t *p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X ", p[i]);
        s += b;
    }
    return s;
}
std::string hex(const Bytes &v) { return hex(v.data(), v.size()); }

template <typename F>
Bytes encoded(F f) {
    uint8_t buf[80000];
    uint8_t *end = f(buf);
    if (end == nullptr) {
        return {};
    }
    return Bytes(buf, end);
}

Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes fill(size_t n, uint8_t o) { return Bytes(n, o); }

struct IntCase {
    uint32_t value;
    Bytes octets;
};

TEST(Tags, UnsignedBoundaries) {
    const IntCase cases[] = {
        {0, {0x21, 0x00}},
        {5, {0x21, 0x05}},
        {0x7F, {0x21, 0x7F}},
        {0x80, {0x21, 0x80}},
        {0xFF, {0x21, 0xFF}},
        {0x100, {0x22, 0x01, 0x00}},
        {0xFFFF, {0x22, 0xFF, 0xFF}},
        {0x10000, {0x23, 0x01, 0x00, 0x00}},
        {0xFFFFFF, {0x23, 0xFF, 0xFF, 0xFF}},
        {0x1000000, {0x24, 0x01, 0x00, 0x00, 0x00}},
        {0xFFFFFFFF, {0x24, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const IntCase &c : cases) {
        EXPECT_EQ(hex(encoded([&](uint8_t *p) { return tagEncodeUnsigned(p, c.value); })), hex(c.octets))
            << "value " << c.value;
        const uint8_t *cur = c.octets.data();
        uint32_t v = 1;
        ASSERT_TRUE(tagDecodeUnsigned(&cur, c.octets.data() + c.octets.size(), &v)) << hex(c.octets);
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(cur, c.octets.data() + c.octets.size());
    }
}

TEST(Tags, SignedBoundaries) {
    struct Case {
        int32_t value;
        Bytes octets;
    };
    const Case cases[] = {
        {0, {0x31, 0x00}},
        {-1, {0x31, 0xFF}},
        {127, {0x31, 0x7F}},
        {128, {0x32, 0x00, 0x80}},
        {200, {0x32, 0x00, 0xC8}},
        {-128, {0x31, 0x80}},
        {-129, {0x32, 0xFF, 0x7F}},
        {32767, {0x32, 0x7F, 0xFF}},
        {32768, {0x33, 0x00, 0x80, 0x00}},
        {-32768, {0x32, 0x80, 0x00}},
        {-32769, {0x33, 0xFF, 0x7F, 0xFF}},
        {8388607, {0x33, 0x7F, 0xFF, 0xFF}},
        {8388608, {0x34, 0x00, 0x80, 0x00, 0x00}},
        {-8388608, {0x33, 0x80, 0x00, 0x00}},
        {-8388609, {0x34, 0xFF, 0x7F, 0xFF, 0xFF}},
        {INT_MAX, {0x34, 0x7F, 0xFF, 0xFF, 0xFF}},
        {INT_MIN, {0x34, 0x80, 0x00, 0x00, 0x00}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(hex(encoded([&](uint8_t *p) { return tagEncodeSigned(p, c.value); })), hex(c.octets))
            << "value " << c.value;
        const uint8_t *cur = c.octets.data();
        int32_t v = 1;
        ASSERT_TRUE(tagDecodeSigned(&cur, c.octets.data() + c.octets.size(), &v)) << hex(c.octets);
        EXPECT_EQ(v, c.value);
    }
}

TEST(Tags, ContextIntegersAndTagNumbers) {
    struct Case {
        uint32_t value;
        uint8_t tag;
        bool isSigned;
        Bytes octets;
    };
    const Case cases[] = {
        {300, 1, false, {0x1A, 0x01, 0x2C}},
        {3, 20, false, {0xF9, 0x14, 0x03}},
        {5, 14, false, {0xE9, 0x05}},
        {5, 15, false, {0xF9, 0x0F, 0x05}},
        {0, 254, false, {0xF9, 0xFE, 0x00}},
        {static_cast<uint32_t>(-2), 5, true, {0x59, 0xFE}},
        {200, 5, true, {0x5A, 0x00, 0xC8}},
        {0x10000, 9, false, {0x9B, 0x01, 0x00, 0x00}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(hex(encoded([&](uint8_t *p) { return tagEncodeContextInteger(p, c.value, c.tag, c.isSigned); })),
                  hex(c.octets))
            << "tag " << int(c.tag);
        const uint8_t *cur = c.octets.data();
        uint32_t v = 0;
        ASSERT_TRUE(tagDecodeContextUnsigned(&cur, c.octets.data() + c.octets.size(), c.isSigned, &v));
        EXPECT_EQ(v, c.value);
        TagHeader h;
        ASSERT_TRUE(tagDecodeHeader(c.octets.data(), c.octets.data() + c.octets.size(), &h));
        EXPECT_EQ(h.number, c.tag);
        EXPECT_TRUE(h.context);
    }
    EXPECT_EQ(hex(encoded([](uint8_t *p) { return tagEncodeEnumerated(p, 0x10000); })), "93 01 00 00 ");
    // 0x31 0xFF: -1 signed, 255 unsigned.
    const Bytes ff = {0x31, 0xFF};
    const uint8_t *cur = ff.data();
    uint32_t u = 0;
    ASSERT_TRUE(tagDecodeInteger(&cur, ff.data() + 2, false, &u));
    EXPECT_EQ(u, 255u);
    cur = ff.data();
    ASSERT_TRUE(tagDecodeInteger(&cur, ff.data() + 2, true, &u));
    EXPECT_EQ(static_cast<int32_t>(u), -1);
    // A length of 0 reads as 0.
    const Bytes zero = {0x20};
    cur = zero.data();
    ASSERT_TRUE(tagDecodeUnsigned(&cur, zero.data() + 1, &u));
    EXPECT_EQ(u, 0u);
    // Opening and closing tags 14 and 15.
    TagHeader h;
    const Bytes open15 = {0xFE, 0x0F};
    ASSERT_TRUE(tagDecodeHeader(open15.data(), open15.data() + 2, &h));
    EXPECT_TRUE(h.opening);
    EXPECT_EQ(h.number, 15);
    const Bytes close14 = {0xEF};
    ASSERT_TRUE(tagDecodeHeader(close14.data(), close14.data() + 1, &h));
    EXPECT_TRUE(h.closing);
    EXPECT_EQ(h.number, 14);
}

uint32_t floatBits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}
uint64_t doubleBits(double d) {
    uint64_t b;
    std::memcpy(&b, &d, 8);
    return b;
}

TEST(Tags, RealAndDoubleSpecialValues) {
    struct RCase {
        float value;
        Bytes octets;
    };
    const RCase reals[] = {
        {1.0f, {0x44, 0x3F, 0x80, 0x00, 0x00}},
        {20.0f, {0x44, 0x41, 0xA0, 0x00, 0x00}},
        {-0.0f, {0x44, 0x80, 0x00, 0x00, 0x00}},
        {INFINITY, {0x44, 0x7F, 0x80, 0x00, 0x00}},
        {-INFINITY, {0x44, 0xFF, 0x80, 0x00, 0x00}},
        {NAN, {0x44, 0x7F, 0xC0, 0x00, 0x00}},
    };
    for (const RCase &c : reals) {
        EXPECT_EQ(hex(encoded([&](uint8_t *p) { return tagEncodeReal(p, c.value); })), hex(c.octets));
        const uint8_t *cur = c.octets.data();
        float f = 0;
        ASSERT_TRUE(tagDecodeReal(&cur, c.octets.data() + c.octets.size(), &f));
        EXPECT_EQ(floatBits(f), floatBits(c.value)) << hex(c.octets);
    }
    struct DCase {
        double value;
        Bytes octets;
    };
    const DCase doubles[] = {
        {1.0, {0x55, 0x08, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}},
        {-0.0, {0x55, 0x08, 0x80, 0, 0, 0, 0, 0, 0, 0}},
        {INFINITY, {0x55, 0x08, 0x7F, 0xF0, 0, 0, 0, 0, 0, 0}},
        {-INFINITY, {0x55, 0x08, 0xFF, 0xF0, 0, 0, 0, 0, 0, 0}},
        {std::nan(""), {0x55, 0x08, 0x7F, 0xF8, 0, 0, 0, 0, 0, 0}},
    };
    for (const DCase &c : doubles) {
        EXPECT_EQ(hex(encoded([&](uint8_t *p) { return tagEncodeDouble(p, c.value); })), hex(c.octets));
        const uint8_t *cur = c.octets.data();
        double d = 0;
        ASSERT_TRUE(tagDecodeDouble(&cur, c.octets.data() + c.octets.size(), &d));
        EXPECT_EQ(doubleBits(d), doubleBits(c.value)) << hex(c.octets);
    }
}

TEST(Tags, OctetStringLengthBoundaries) {
    struct Case {
        uint32_t n;
        Bytes head;
    };
    const Case cases[] = {
        {0, {0x60}},
        {4, {0x64}},
        {5, {0x65, 0x05}},
        {253, {0x65, 0xFD}},
        {254, {0x65, 0xFE, 0x00, 0xFE}},
        {65535, {0x65, 0xFE, 0xFF, 0xFF}},
    };
    for (const Case &c : cases) {
        Bytes data(c.n);
        for (uint32_t i = 0; i < c.n; ++i) {
            data[i] = static_cast<uint8_t>(i);
        }
        const Bytes want = cat(c.head, data);
        const Bytes got = encoded([&](uint8_t *p) { return tagEncodeOctetString(p, data.data(), c.n); });
        EXPECT_EQ(got, want) << "length " << c.n;
        const uint8_t *cur = want.data();
        std::vector<uint8_t> out(c.n + 1);
        uint32_t len = 0;
        ASSERT_TRUE(tagDecodeOctetString(&cur, want.data() + want.size(), out.data(), c.n, &len));
        EXPECT_EQ(len, c.n);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
    }
    // 65536 octets are not supported.
    Bytes big(65536);
    uint8_t buf[16];
    EXPECT_EQ(tagEncodeTagAndLength(buf, 0x60, 65536), nullptr);
}

CharStringStore<400> makeString(uint8_t charSet, uint16_t codePage, const std::string &text) {
    CharStringStore<400> s;
    s.str.length = static_cast<uint32_t>(text.size());
    s.str.charSet = charSet;
    s.str.codePage = codePage;
    std::memcpy(s.room, text.data(), text.size());
    return s;
}

TEST(Tags, CharacterStrings) {
    struct Case {
        uint8_t charSet;
        uint16_t codePage;
        std::string text;
        Bytes head;
    };
    const Case cases[] = {
        {0, 0, "", {0x71, 0x00}},
        {0, 0, "ABC", {0x74, 0x00}},
        {0, 0, "ABCD", {0x75, 0x05, 0x00}},
        {1, 0x03A4, "AB", {0x75, 0x05, 0x01, 0x03, 0xA4}},
        {1, 0x0352, "", {0x73, 0x01, 0x03, 0x52}},
        {0, 0, std::string(252, 'x'), {0x75, 0xFD, 0x00}},
        {0, 0, std::string(253, 'y'), {0x75, 0xFE, 0x00, 0xFE, 0x00}},
        {0, 0, std::string(300, 'z'), {0x75, 0xFE, 0x01, 0x2D, 0x00}},
    };
    for (const Case &c : cases) {
        auto s = makeString(c.charSet, c.codePage, c.text);
        const Bytes want = cat(c.head, Bytes(c.text.begin(), c.text.end()));
        EXPECT_EQ(hex(encoded([&](uint8_t *p) { return tagEncodeCharString(p, &s.str); })), hex(want))
            << "length " << c.text.size();
        CharStringStore<400> back;
        const uint8_t *cur = want.data();
        ASSERT_TRUE(tagDecodeCharString(&cur, want.data() + want.size(), &back.str, 400));
        EXPECT_EQ(cur, want.data() + want.size());
        EXPECT_EQ(back.str.length, c.text.size());
        EXPECT_EQ(back.str.charSet, c.charSet);
        EXPECT_EQ(back.str.codePage, c.codePage);
        EXPECT_EQ(std::string(back.room, back.str.length), c.text);
        uint32_t n = 0;
        ASSERT_TRUE(tagCharStringLength(want.data(), want.data() + want.size(), &n));
        EXPECT_EQ(n, c.text.size());
    }
    // A 30-character string read with room for 20 keeps 20 and reports 30.
    auto s30 = makeString(0, 0, std::string(30, 'q'));
    const Bytes enc = encoded([&](uint8_t *p) { return tagEncodeCharString(p, &s30.str); });
    CharStringStore<20> small;
    const uint8_t *cur = enc.data();
    ASSERT_TRUE(tagDecodeCharString(&cur, enc.data() + enc.size(), &small.str, 20));
    EXPECT_EQ(small.str.length, 30u);
    EXPECT_EQ(cur, enc.data() + enc.size());
}

TEST(Tags, BitStrings) {
    struct Case {
        uint32_t bits;
        Bytes data;
        uint8_t tagBase;
        Bytes octets;
    };
    const Case cases[] = {
        {0, {}, 0x80, {0x81, 0x00}},
        {4, {0xA0}, 0x80, {0x82, 0x04, 0xA0}},  // status flags: in-alarm, overridden
        {10, {0xFF, 0xC0}, 0x80, {0x83, 0x06, 0xFF, 0xC0}},
        {56, fill(7, 0x5A), 0x80, cat({0x85, 0x08, 0x00}, fill(7, 0x5A))},
        {64, fill(8, 0xA5), 0x80, cat({0x85, 0x09, 0x00}, fill(8, 0xA5))},
        {4, {0x10}, 0x28, {0x2A, 0x04, 0x10}},  // context tag 2
    };
    for (const Case &c : cases) {
        EXPECT_EQ(hex(encoded([&](uint8_t *p) { return tagEncodeBitString(p, c.data.data(), c.tagBase, c.bits); })),
                  hex(c.octets))
            << c.bits << " bits";
        uint8_t out[16] = {};
        uint16_t bits = 0;
        const uint8_t *cur = c.octets.data();
        ASSERT_TRUE(tagDecodeBitString(&cur, c.octets.data() + c.octets.size(), out, sizeof out, &bits));
        EXPECT_EQ(bits, c.bits);
        EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), out));
    }
}

TEST(Tags, DatesAndTimes) {
    struct DCase {
        uint16_t year;
        uint8_t month, day, weekday;
        Bytes octets;
    };
    const DCase dates[] = {
        {2024, 3, 15, 5, {0xA4, 0x7C, 0x03, 0x0F, 0x05}},
        {124, 3, 15, 5, {0xA4, 0x7C, 0x03, 0x0F, 0x05}},  // already offset
        {2155, 1, 1, 1, {0xA4, 0xFF, 0x01, 0x01, 0x01}},
        {2300, 1, 1, 1, {0xA4, 0xFF, 0x01, 0x01, 0x01}},
        {2024, 0, 0, 0, {0xA4, 0x7C, 0xFF, 0xFF, 0xFF}},      // unspecified
        {2024, 13, 32, 7, {0xA4, 0x7C, 0x0D, 0x20, 0x07}},    // odd months, last day
        {2024, 14, 33, 7, {0xA4, 0x7C, 0x0E, 0x21, 0x07}},    // even months, odd days
        {2024, 15, 35, 8, {0xA4, 0x7C, 0xFF, 0xFF, 0xFF}},    // out of range
        {255, 255, 255, 255, {0xA4, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const DCase &c : dates) {
        EXPECT_EQ(hex(encoded([&](uint8_t *p) { return tagEncodeDate(p, c.year, c.month, c.day, c.weekday); })),
                  hex(c.octets))
            << c.year << "-" << int(c.month) << "-" << int(c.day);
    }
    const Bytes d = {0xA4, 0x7C, 0x03, 0x0F, 0x05};
    const uint8_t *cur = d.data();
    uint16_t y;
    uint8_t m, day, wd;
    ASSERT_TRUE(tagDecodeDate(&cur, d.data() + 5, &y, &m, &day, &wd));
    EXPECT_EQ(y, 2024);
    EXPECT_EQ(m, 3);
    EXPECT_EQ(day, 15);
    EXPECT_EQ(wd, 5);
    const Bytes unspecified = {0xA4, 0xFF, 0xFF, 0xFF, 0xFF};
    cur = unspecified.data();
    ASSERT_TRUE(tagDecodeDate(&cur, unspecified.data() + 5, &y, &m, &day, &wd));
    EXPECT_EQ(y, 2155);

    struct TCase {
        uint8_t h, m, s, hs;
        Bytes octets;
    };
    const TCase times[] = {
        {23, 59, 59, 99, {0xB4, 0x17, 0x3B, 0x3B, 0x63}},
        {0, 0, 0, 0, {0xB4, 0x00, 0x00, 0x00, 0x00}},
        {24, 60, 60, 100, {0xB4, 0xFF, 0xFF, 0xFF, 0xFF}},
        {255, 255, 255, 255, {0xB4, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const TCase &c : times) {
        EXPECT_EQ(hex(encoded([&](uint8_t *p) { return tagEncodeTime(p, c.h, c.m, c.s, c.hs); })), hex(c.octets));
        const uint8_t *tc = c.octets.data();
        uint8_t a, b, e, f;
        ASSERT_TRUE(tagDecodeTime(&tc, c.octets.data() + 5, &a, &b, &e, &f));
        EXPECT_EQ(a, c.octets[1]);
        EXPECT_EQ(f, c.octets[4]);
    }
}

TEST(Tags, ObjectIdentifiers) {
    struct Case {
        uint16_t type;
        uint32_t instance;
        Bytes octets;
    };
    const Case cases[] = {
        {kObjAnalogInput, 5, {0xC4, 0x00, 0x00, 0x00, 0x05}},
        {kObjDevice, 123, {0xC4, 0x02, 0x00, 0x00, 0x7B}},
        {1023, kMaxInstance, {0xC4, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(hex(encoded([&](uint8_t *p) { return tagEncodeObjectId(p, c.type, c.instance); })), hex(c.octets));
        const uint8_t *cur = c.octets.data();
        uint16_t t = 0;
        uint32_t i = 0;
        ASSERT_TRUE(tagDecodeObjectId(&cur, c.octets.data() + 5, &t, &i));
        EXPECT_EQ(t, c.type);
        EXPECT_EQ(i, c.instance);
    }
    EXPECT_EQ(hex(encoded([](uint8_t *p) { return tagEncodeContextObjectId(p, 0x08, 0x0200007B); })),
              "0C 02 00 00 7B ");
}

// Malformed encodings are refused and the cursor stays put.
TEST(Tags, MalformedEncodingsAreRefused) {
    struct Case {
        const char *what;
        Bytes octets;
        bool (*decode)(const uint8_t **, const uint8_t *);
    };
    static uint8_t sink[70000];
    const Case cases[] = {
        {"character string of length 0", {0x70},
         [](const uint8_t **c, const uint8_t *e) {
             return tagDecodeCharString(c, e, reinterpret_cast<CharString *>(sink), 100);
         }},
        {"character set 1 shorter than 3", {0x72, 0x01, 0x03},
         [](const uint8_t **c, const uint8_t *e) {
             return tagDecodeCharString(c, e, reinterpret_cast<CharString *>(sink), 100);
         }},
        {"bit string of length 0", {0x80},
         [](const uint8_t **c, const uint8_t *e) {
             uint16_t b;
             return tagDecodeBitString(c, e, sink, sizeof sink, &b);
         }},
        {"bit string with 8 unused bits", {0x82, 0x08, 0xFF},
         [](const uint8_t **c, const uint8_t *e) {
             uint16_t b;
             return tagDecodeBitString(c, e, sink, sizeof sink, &b);
         }},
        {"bit string with unused bits but no data", {0x81, 0x03},
         [](const uint8_t **c, const uint8_t *e) {
             uint16_t b;
             return tagDecodeBitString(c, e, sink, sizeof sink, &b);
         }},
        {"octet string longer than what remains", {0x65, 0x0A, 0x01, 0x02},
         [](const uint8_t **c, const uint8_t *e) {
             uint32_t n;
             return tagDecodeOctetString(c, e, sink, sizeof sink, &n);
         }},
        {"unsigned of 5 octets", {0x25, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01},
         [](const uint8_t **c, const uint8_t *e) {
             uint32_t v;
             return tagDecodeUnsigned(c, e, &v);
         }},
        {"length octet 255", {0x65, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x00},
         [](const uint8_t **c, const uint8_t *e) {
             uint32_t n;
             return tagDecodeOctetString(c, e, sink, sizeof sink, &n);
         }},
        {"extended tag number 255", {0xF9, 0xFF, 0x00},
         [](const uint8_t **c, const uint8_t *e) {
             uint32_t v;
             return tagDecodeUnsigned(c, e, &v);
         }},
        {"16-bit length cut short", {0x65, 0xFE, 0x01},
         [](const uint8_t **c, const uint8_t *e) {
             uint32_t n;
             return tagDecodeOctetString(c, e, sink, sizeof sink, &n);
         }},
        {"real with 3 octets", {0x43, 0x00, 0x00, 0x00},
         [](const uint8_t **c, const uint8_t *e) {
             float f;
             return tagDecodeReal(c, e, &f);
         }},
        {"double with 4 octets", {0x54, 0x00, 0x00, 0x00, 0x00},
         [](const uint8_t **c, const uint8_t *e) {
             double d;
             return tagDecodeDouble(c, e, &d);
         }},
        {"opening tag read as an integer", {0x0E},
         [](const uint8_t **c, const uint8_t *e) {
             uint32_t v;
             return tagDecodeUnsigned(c, e, &v);
         }},
        {"bit string with more data than the caller holds", cat({0x85, 0x09, 0x00}, fill(8, 1)),
         [](const uint8_t **c, const uint8_t *e) {
             uint16_t b;
             return tagDecodeBitString(c, e, sink, 7, &b);
         }},
    };
    for (const Case &c : cases) {
        const uint8_t *cur = c.octets.data();
        EXPECT_FALSE(c.decode(&cur, c.octets.data() + c.octets.size())) << c.what;
        EXPECT_EQ(cur, c.octets.data()) << c.what;
    }
}

// Every prefix of a valid encoding is refused without reading past its end:
// the prefix is copied to a heap block of exactly its size, so the sanitizer
// build catches any read beyond it.
TEST(Tags, EveryPrefixIsRefused) {
    auto s = makeString(1, 0x0352, "meter");
    const Bytes encodings[] = {
        {0x24, 0xFF, 0xFF, 0xFF, 0xFF},
        {0x34, 0x80, 0x00, 0x00, 0x00},
        {0xF9, 0x14, 0x03},
        {0x44, 0x41, 0xA0, 0x00, 0x00},
        {0x55, 0x08, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0},
        cat({0x65, 0xFE, 0x00, 0xFE}, fill(254, 7)),
        encoded([&](uint8_t *p) { return tagEncodeCharString(p, &s.str); }),
        {0x83, 0x06, 0xFF, 0xC0},
        {0xA4, 0x7C, 0x03, 0x0F, 0x05},
        {0xB4, 0x17, 0x3B, 0x3B, 0x63},
        {0xC4, 0x02, 0x00, 0x00, 0x7B},
    };
    for (const Bytes &enc : encodings) {
        for (size_t n = 0; n < enc.size(); ++n) {
            std::unique_ptr<uint8_t[]> copy(new uint8_t[n == 0 ? 1 : n]);
            std::memcpy(copy.get(), enc.data(), n);
            const uint8_t *begin = copy.get();
            const uint8_t *end = begin + n;
            const uint8_t *cur = begin;
            uint32_t u;
            int32_t i;
            float f;
            double d;
            uint16_t b16;
            uint8_t o[300];
            CharStringStore<300> cs;
            const std::string what = hex(enc) + " cut to " + std::to_string(n);
            switch (enc[0] >> 4) {
                case kTagUnsigned:
                case kTagNumberExtended:  // context tag 20, unsigned
                    EXPECT_FALSE(tagDecodeUnsigned(&cur, end, &u)) << what;
                    break;
                case kTagSigned:
                    EXPECT_FALSE(tagDecodeSigned(&cur, end, &i)) << what;
                    break;
                case kTagReal:
                    EXPECT_FALSE(tagDecodeReal(&cur, end, &f)) << what;
                    break;
                case kTagDouble:
                    EXPECT_FALSE(tagDecodeDouble(&cur, end, &d)) << what;
                    break;
                case kTagOctetString:
                    EXPECT_FALSE(tagDecodeOctetString(&cur, end, o, sizeof o, &u)) << what;
                    break;
                case kTagCharacterString:
                    EXPECT_FALSE(tagDecodeCharString(&cur, end, &cs.str, 300)) << what;
                    EXPECT_FALSE(tagCharStringLength(begin, end, &u)) << what;
                    break;
                case kTagBitString:
                    EXPECT_FALSE(tagDecodeBitString(&cur, end, o, sizeof o, &b16)) << what;
                    break;
                case kTagDate:
                    EXPECT_FALSE(tagDecodeDate(&cur, end, &b16, o, o + 1, o + 2)) << what;
                    break;
                case kTagTime:
                    EXPECT_FALSE(tagDecodeTime(&cur, end, o, o + 1, o + 2, o + 3)) << what;
                    break;
                case kTagObjectIdentifier:
                    EXPECT_FALSE(tagDecodeObjectId(&cur, end, &b16, &u)) << what;
                    break;
            }
            EXPECT_EQ(cur, begin) << what;
            EXPECT_FALSE(tagValueLength(begin, end, &u)) << what;
        }
    }
}

TEST(Tags, OctetUtilities) {
    const uint8_t a[] = {1, 2, 3};
    const uint8_t b[] = {1, 2, 4};
    EXPECT_EQ(bytesCompare(a, b, 3), -1);
    EXPECT_EQ(bytesCompare(b, a, 3), 1);
    EXPECT_EQ(bytesCompare(a, b, 2), 0);
    EXPECT_EQ(bytesSwap16(0xBAC0), 0xC0BA);
    uint8_t d[3] = {};
    EXPECT_EQ(bytesCopy(d, a, 3), d);
    EXPECT_EQ(bytesCompare(d, a, 3), 0);
}

}  // namespace
