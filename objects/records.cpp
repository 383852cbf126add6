#include "objects/records.h"

#include <cstring>

namespace {

void putLe32(uint8_t *at, uint32_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
    at[2] = static_cast<uint8_t>(v >> 16);
    at[3] = static_cast<uint8_t>(v >> 24);
}

void putLe16(uint8_t *at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

DestinationImage destinationImage(const BACnetDestination &d) {
    DestinationImage image{};
    image[0] = static_cast<uint8_t>(d.validDays & 0xFE);
    image[1] = d.transitions;
    image[2] = d.issueConfirmed ? 1 : 0;
    putLe32(&image[4], d.processId);
    image[8] = d.from.hour;
    image[9] = d.from.minute;
    image[10] = d.from.second;
    image[11] = d.from.hundredths;
    image[12] = d.to.hour;
    image[13] = d.to.minute;
    image[14] = d.to.second;
    image[15] = d.to.hundredths;
    image[16] = d.recipient.choice;
    if (d.recipient.choice == kRecipientDevice) {
        putLe32(&image[20], objectIdInstance(d.recipient.device));
    } else {
        const uint16_t length = d.recipient.macLength <= kMaxMac ? d.recipient.macLength : kMaxMac;
        putLe16(&image[20], d.recipient.network);
        putLe16(&image[22], length);
        std::memcpy(&image[24], d.recipient.mac, length);
    }
    return image;
}

bool destinationEqual(const BACnetDestination &a, const BACnetDestination &b) {
    return destinationImage(a) == destinationImage(b);
}

bool destinationLess(const BACnetDestination &a, const BACnetDestination &b) {
    const DestinationImage x = destinationImage(a);
    const DestinationImage y = destinationImage(b);
    return std::memcmp(x.data(), y.data(), x.size()) < 0;
}
