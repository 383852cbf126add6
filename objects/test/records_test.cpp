// Recipient images: equality and order come from the 32-octet image.

#include "objects/records.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

BACnetDestination deviceRecipient(uint32_t instance) {
    BACnetDestination d;
    std::memset(&d, 0xA5, sizeof d);  // padding and unused octets must not count
    d.validDays = 0xFE;
    d.transitions = 0xE0;
    d.issueConfirmed = 1;
    d.processId = 0x01020304;
    d.from = {0, 0, 0, 0};
    d.to = {23, 59, 59, 99};
    d.recipient.choice = kRecipientDevice;
    d.recipient.device = objectIdMake(kObjDevice, instance);
    return d;
}

BACnetDestination addressRecipient(uint16_t network, std::initializer_list<uint8_t> mac) {
    BACnetDestination d = deviceRecipient(0);
    d.recipient.choice = kRecipientAddress;
    d.recipient.network = network;
    d.recipient.macLength = static_cast<uint16_t>(mac.size());
    std::copy(mac.begin(), mac.end(), d.recipient.mac);
    return d;
}

TEST(DestinationImage, LaysOutEveryOctet) {
    const DestinationImage device = destinationImage(deviceRecipient(0x12345));
    const DestinationImage expected = {0xFE, 0xE0, 1, 0, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 23, 59, 59, 99,
                                       0, 0, 0, 0, 0x45, 0x23, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(device, expected);

    const DestinationImage mstp = destinationImage(addressRecipient(5, {0x21}));
    EXPECT_EQ(mstp[16], 1);
    EXPECT_EQ(mstp[20], 5);
    EXPECT_EQ(mstp[22], 1);
    EXPECT_EQ(mstp[24], 0x21);
    for (int i = 25; i < 32; ++i) {
        EXPECT_EQ(mstp[i], 0) << "octet " << i << " past the MAC length";
    }
}

TEST(DestinationImage, EqualityAndOrder) {
    BACnetDestination a = addressRecipient(0, {192, 168, 1, 2, 0xBA, 0xC0});
    BACnetDestination b = addressRecipient(0, {192, 168, 1, 2, 0xBA, 0xC0});
    b.recipient.mac[7] = 0x77;  // beyond the MAC length: ignored
    EXPECT_TRUE(destinationEqual(a, b));
    EXPECT_FALSE(destinationLess(a, b));
    EXPECT_FALSE(destinationLess(b, a));

    const BACnetDestination low = deviceRecipient(1);
    const BACnetDestination high = deviceRecipient(2);
    EXPECT_FALSE(destinationEqual(low, high));
    EXPECT_TRUE(destinationLess(low, high));
    EXPECT_FALSE(destinationLess(high, low));
    // Octet 16 (kind) decides before the address octets.
    EXPECT_TRUE(destinationLess(deviceRecipient(0x3FFFFF), a));
}

TEST(ObjectId, Helpers) {
    EXPECT_EQ(objectIdMake(kObjLargeAnalogValue, 1), 192937985u);
    EXPECT_EQ(objectIdType(192937985u), kObjLargeAnalogValue);
    EXPECT_EQ(objectIdInstance(192937985u), 1u);
}

}  // namespace
