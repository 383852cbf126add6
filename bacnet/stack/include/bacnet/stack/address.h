#pragma once
// The stack's record of a peer. It travels in every received packet, in the
// transaction and binding tables and in COV subscriber records, and the object
// model compares two of them field by field, so its layout is fixed.

#include <cstddef>
#include <cstdint>

// Port numbers of the datalinks; a BACnetAddress carries one.
enum DatalinkPort : uint8_t {
    kPortMstp = 0,
    kPortBip = 1,
    kPortBipv6 = 2,
    kPortNone = 3,
};

struct BACnetAddress {
    uint16_t network;             // SNET of a received message (DNET of the reply); 0 local
    uint16_t destinationNetwork;  // DNET a received message was sent to (SNET of the reply)
    uint16_t maxApdu;             // peer's max APDU, from its confirmed request
    uint16_t maxSegments;         // peer's max segments accepted
    uint8_t port;                 // DatalinkPort the peer was heard on
    uint8_t macLength;            // 0..8; 0 = broadcast; 255 = pending binding
    uint8_t mac[8];               // datalink address of the peer or its router
    uint8_t remoteLength;         // SLEN of a received message (DLEN of the reply)
    uint8_t remoteAddress[8];     // SADR of a received message
    uint8_t virtualLength;        // DLEN of a message to a virtual device (SLEN of the reply)
    uint8_t virtualAddress[8];    // DADR of that message
    uint8_t segmentedResponseAccepted;
    uint8_t reserved[3];  // zero; pads the record to 40 octets
};

static_assert(sizeof(BACnetAddress) == 40);
static_assert(offsetof(BACnetAddress, port) == 8);
static_assert(offsetof(BACnetAddress, mac) == 10);
static_assert(offsetof(BACnetAddress, remoteLength) == 18);
static_assert(offsetof(BACnetAddress, virtualLength) == 27);
static_assert(offsetof(BACnetAddress, segmentedResponseAccepted) == 36);
