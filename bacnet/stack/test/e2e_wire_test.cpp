// The end-to-end client's reader must refuse what is not well formed: a
// lenient reader would pass a server's faulty answer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_wire.h"

using namespace e2e;

namespace {

TEST(E2eWire, RpmAckResultsAreReadThroughNestedAndLongValues) {
    const Bytes ack{0x0C, 0x00, 0x00, 0x00, 0x01, 0x1E,                    // analog input 1, results
                    0x29, 0x55, 0x4E, 0x44, 0x3F, 0xC0, 0x00, 0x00, 0x4F,  // present-value 1.5
                    0x29, 0x4D, 0x4E, 0x75, 0x06, 0x00, 'A', 'B', 'C', 'D', 'E', 0x4F,  // name, length 6
                    0x29, 0x4C, 0x39, 0x00, 0x4E, 0x21, 0x15, 0x4F,        // object-list[0] = 21
                    0x29, 0x1F, 0x4E, 0x0E, 0x21, 0x01, 0x0F, 0x4F,        // a constructed value
                    0x2A, 0x27, 0x0F, 0x5E, 0x91, 0x02, 0x91, 0x20, 0x5F,  // 9999: property, unknown
                    0x1F};
    std::vector<RpmResult> results;
    ASSERT_TRUE(readRpmAck(ack, &results));
    ASSERT_EQ(results.size(), 5u);
    EXPECT_EQ(results[0].objectId, analogInput(1));
    EXPECT_EQ(hex(results[0].value), "44 3F C0 00 00");
    EXPECT_EQ(hex(results[1].value), "75 06 00 41 42 43 44 45");
    EXPECT_TRUE(results[2].hasIndex);
    EXPECT_EQ(results[2].index, 0u);
    EXPECT_EQ(hex(results[3].value), "0E 21 01 0F");
    EXPECT_EQ(results[4].property, kUnknownProperty);
    EXPECT_FALSE(results[4].ok);
    EXPECT_EQ(results[4].errorClass, 2u);
    EXPECT_EQ(results[4].errorCode, 32u);
}

TEST(E2eWire, MalformedRpmAcksAreRefused) {
    const std::vector<std::pair<const char *, Bytes>> cases{
        {"cut short", {0x0C, 0x00, 0x00, 0x00, 0x01, 0x1E, 0x29, 0x55, 0x4E, 0x21, 0x01, 0x4F}},
        {"closing tag of another", {0x0C, 0x00, 0x00, 0x00, 0x01, 0x1E, 0x29, 0x55, 0x4E, 0x0E, 0x21, 0x01, 0x1F,
                                    0x4F, 0x1F}},
        {"length past the end", {0x0C, 0x00, 0x00, 0x00, 0x01, 0x1E, 0x29, 0x4D, 0x4E, 0x75, 0x09, 0x00, 0x41,
                                 0x4F, 0x1F}},
        {"object identifier of 3 octets", {0x0B, 0x00, 0x00, 0x01, 0x1E, 0x1F}},
        {"error not enumerated", {0x0C, 0x00, 0x00, 0x00, 0x01, 0x1E, 0x29, 0x55, 0x5E, 0x21, 0x02, 0x21, 0x20,
                                  0x5F, 0x1F}},
        {"result without a value", {0x0C, 0x00, 0x00, 0x00, 0x01, 0x1E, 0x29, 0x55, 0x1F}},
    };
    for (const auto &[name, data] : cases) {
        std::vector<RpmResult> results;
        EXPECT_FALSE(readRpmAck(data, &results)) << name;
    }
}

TEST(E2eWire, NpduHeadersAreReadOrRefused) {
    Npdu h;
    ASSERT_TRUE(parseNpdu({0x01, 0x28, 0xFF, 0xFF, 0x00, 0x00, 0x64, 0x06, 0, 0, 0, 0, 0, 0x2A, 0xFE, 0x10, 0x00},
                          &h));
    EXPECT_EQ(h.dnet, 0xFFFF);
    EXPECT_TRUE(h.dadr.empty());
    EXPECT_EQ(h.snet, 100);
    EXPECT_EQ(hex(h.sadr), "00 00 00 00 00 2A");
    EXPECT_EQ(h.hopCount, 0xFE);
    EXPECT_EQ(h.headerLength, 15u);

    const std::vector<std::pair<const char *, Bytes>> refused{
        {"version 2", {0x02, 0x00, 0x10, 0x08}},
        {"source without an address", {0x01, 0x08, 0x00, 0x64, 0x00, 0x10, 0x08}},
        {"destination address cut short", {0x01, 0x20, 0x00, 0x64, 0x06, 0x00, 0x00}},
        {"no hop count", {0x01, 0x20, 0xFF, 0xFF, 0x00}},
        {"reserved control bit", {0x01, 0x40, 0x10, 0x08}},
    };
    for (const auto &[name, npdu] : refused)
        EXPECT_FALSE(parseNpdu(npdu, &h)) << name;

    // A network layer message carries no APDU; a B/IP length that does not
    // match the datagram leaves no NPDU.
    EXPECT_TRUE(apduOf(bvll(0x0A, {0x01, 0x80, 0x12, 0x00, 0x64})).empty());
    Bytes datagram = bvll(0x0A, local({0x10, 0x08}));
    EXPECT_EQ(hex(apduOf(datagram)), "10 08");
    datagram.push_back(0x00);
    EXPECT_TRUE(npduOf(datagram).empty());
}

}  // namespace
