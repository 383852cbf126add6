#pragma once
// Received packets: a fixed arena of pooled NpduPacket records in four size
// classes, and the FIFO queues that carry them from the datalinks to the
// network layer (one per network priority) and on to the application layer.
// The receive path never touches the heap.

#include <cstdint>

#include "bacnet/stack/address.h"

struct NpduPacket {
    NpduPacket *next;             // link in a free list or a queue
    uint8_t *apdu;                // start of the APDU inside data, set by the network layer
    BACnetAddress address;        // the peer
    uint16_t length;              // NPDU length as received; APDU length once located
    uint8_t reserved;             // always 0
    uint8_t poolClass;            // size class 0..3
    uint8_t priority;             // network priority (control & 3)
    uint8_t receivedAsBroadcast;  // 1 when the datagram was a broadcast
    uint8_t data[];               // the NPDU; poolPacketCapacity() octets
};

// Size classes: data octets and packets per class.
inline constexpr int kPoolClasses = 4;
inline constexpr uint16_t kPoolClassSize[kPoolClasses] = {128, 256, 512, 1500};
inline constexpr uint16_t kPoolClassCount[kPoolClasses] = {256, 2, 2, 60};
inline constexpr int kPoolPackets = 256 + 2 + 2 + 60;

// Empties the free lists and rebuilds them over a zeroed arena, so every
// packet is free afterwards. The arena is allocated once and kept.
void poolInit();
// A packet whose data holds at least length octets, or null when no class can
// serve it. Lengths above the largest class are never served.
NpduPacket *poolAlloc(uint32_t length);
void poolFree(NpduPacket *packet);
uint32_t poolPacketCapacity(const NpduPacket *packet);
// Free packets of one class (tests and diagnostics).
uint32_t poolFreeCount(int poolClass);

struct PacketQueue {
    NpduPacket *head;
    NpduPacket *tail;
    uint16_t count;
};

void queuePush(PacketQueue *queue, NpduPacket *packet);
NpduPacket *queuePop(PacketQueue *queue);
// Drops every packet of the queue without returning it to the pool (the next
// poolInit reclaims them).
void queueClear(PacketQueue *queue);

// One queue per network priority (3 highest), and the application queue.
extern PacketQueue npduQueues[4];
extern PacketQueue apduQueue;

// Converts a 16-bit value between host and network (big-endian) order.
uint16_t netOrder16(uint16_t value);
