#pragma once
// The network layer: received NPDUs into the pool and the priority queues,
// their addressing into the packet's BACnetAddress, the virtual-network
// router, and the NPDU header of every message the stack sends.

#include <cstdint>

#include "bacnet/pdu_buffer.h"
#include "bacnet/stack/address.h"
#include "bacnet/stack/packet.h"

// The protocol version, the NPDU's first octet.
inline constexpr uint8_t kNpduVersion = 1;
// The hop count of a message with a DNET; a complete message of a virtual
// device (an I-Am, an acknowledgement built in a PduBuffer) to a remote
// network counts the hop through the virtual network's router.
inline constexpr uint8_t kNpduHopCount = 255;
inline constexpr uint8_t kNpduRoutedHopCount = 254;
// The DNET of a global broadcast.
inline constexpr uint16_t kGlobalNetwork = 0xFFFF;

// NPDU control bits.
inline constexpr uint8_t kNpduNetworkMessage = 0x80;
inline constexpr uint8_t kNpduDnetPresent = 0x20;
inline constexpr uint8_t kNpduSnetPresent = 0x08;
inline constexpr uint8_t kNpduExpectingReply = 0x04;

// The addressing of one NPDU, read with every length checked against the
// octets received.
struct NpduHeader {
    uint8_t control;
    bool hasDnet;
    uint16_t dnet;
    uint8_t dlen;
    const uint8_t *dadr;
    bool hasSnet;
    uint16_t snet;
    uint8_t slen;
    const uint8_t *sadr;
    uint8_t hopCount;
    uint32_t headerLength;  // octets up to the message type or the APDU
};

// Reads the header of an NPDU of length octets. False for an NPDU that is too
// short for the fields its control octet announces, whose version is not 1, or
// whose DLEN or SLEN exceeds 8.
bool npduParseHeader(const uint8_t *npdu, uint32_t length, NpduHeader *header);

// The one entry of every datalink: queues a received NPDU (or drops it).
void npduReceive(uint8_t port, uint8_t macLength, const uint8_t *mac, const uint8_t *ownAddress,
                 uint32_t length, const uint8_t *npdu, bool receivedAsBroadcast);
// One network-layer step.
void npduProcess();
// Locates the APDU of a packet, whose addressing is already in its address,
// by its header; returns whether it goes to the application.
bool npduLocateApdu(NpduPacket *packet, const NpduHeader &header);

// Appends the NPDU header for a message to address at the end of the buffer
// and sets its cursor after it. Returns 0, or 1 when the buffer could not grow.
int pduWriteNpduHeader(PduBuffer *buffer, const BACnetAddress *address, bool expectingReply);
// Writes the header at the start of a plain buffer (room for 21 octets);
// returns the position after it.
uint8_t *npduEncodeHeader(uint8_t *out, const BACnetAddress *address, bool expectingReply);
// Writes the header of a reply into the received packet in place of the
// request's, sets apdu after it and length to the header length. The packet's
// data must hold the header and the short reply that follows.
void npduEncodeReply(NpduPacket *packet, uint8_t extraControl);

// Router to the virtual network.
void routerStart();
void routerTick();
void routerHandleNetworkMessage(NpduPacket *packet, const NpduHeader &header);
// Router state, for tests.
uint16_t routerNetworkNumberCountdown();
void routerReset();
