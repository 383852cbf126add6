#include "bacnet/stack/packet.h"

#include <bit>
#include <cstddef>
#include <cstring>
#include <mutex>

PacketQueue npduQueues[4];
PacketQueue apduQueue;

namespace {

std::mutex poolMutex;
std::mutex queueMutex;
NpduPacket *freeLists[kPoolClasses];
uint8_t *arena;
size_t arenaSize;

constexpr size_t headerSize() {
    // Keep every packet aligned for its pointer fields.
    return (sizeof(NpduPacket) + alignof(NpduPacket) - 1) & ~(alignof(NpduPacket) - 1);
}

constexpr size_t slotSize(int poolClass) {
    size_t n = headerSize() + kPoolClassSize[poolClass];
    return (n + alignof(NpduPacket) - 1) & ~(alignof(NpduPacket) - 1);
}

constexpr size_t totalArenaSize() {
    size_t n = 0;
    for (int c = 0; c < kPoolClasses; ++c)
        n += slotSize(c) * kPoolClassCount[c];
    return n;
}

}  // namespace

void poolInit() {
    std::lock_guard lock(poolMutex);
    for (auto &list : freeLists)
        list = nullptr;
    if (arena == nullptr) {
        // The arena is a process-lifetime allocation made once; it does not go
        // through appCalloc so that restarts leave no block of the application's
        // allocator behind.
        arenaSize = totalArenaSize();
        arena = static_cast<uint8_t *>(::operator new(arenaSize, std::align_val_t(alignof(NpduPacket))));
    }
    std::memset(arena, 0, arenaSize);
    uint8_t *p = arena;
    for (int c = 0; c < kPoolClasses; ++c) {
        for (int i = 0; i < kPoolClassCount[c]; ++i) {
            auto *packet = reinterpret_cast<NpduPacket *>(p);
            packet->poolClass = static_cast<uint8_t>(c);
            packet->next = freeLists[c];
            freeLists[c] = packet;
            p += slotSize(c);
        }
    }
}

NpduPacket *poolAlloc(uint32_t length) {
    if (length > kPoolClassSize[kPoolClasses - 1])
        return nullptr;
    std::lock_guard lock(poolMutex);
    for (int c = 0; c < kPoolClasses; ++c) {
        if (kPoolClassSize[c] >= length && freeLists[c] != nullptr) {
            NpduPacket *packet = freeLists[c];
            freeLists[c] = packet->next;
            packet->next = nullptr;
            return packet;
        }
    }
    return nullptr;
}

void poolFree(NpduPacket *packet) {
    if (packet == nullptr)
        return;
    std::lock_guard lock(poolMutex);
    int c = packet->poolClass & 7;
    if (c >= kPoolClasses)
        return;
    packet->next = freeLists[c];
    freeLists[c] = packet;
}

uint32_t poolPacketCapacity(const NpduPacket *packet) {
    int c = packet->poolClass & 7;
    return c < kPoolClasses ? kPoolClassSize[c] : 0;
}

uint32_t poolFreeCount(int poolClass) {
    if (poolClass < 0 || poolClass >= kPoolClasses)
        return 0;
    std::lock_guard lock(poolMutex);
    uint32_t n = 0;
    for (NpduPacket *p = freeLists[poolClass]; p != nullptr; p = p->next)
        ++n;
    return n;
}

void queuePush(PacketQueue *queue, NpduPacket *packet) {
    std::lock_guard lock(queueMutex);
    packet->next = nullptr;
    if (queue->tail != nullptr) {
        queue->tail->next = packet;
    } else {
        queue->head = packet;
    }
    queue->tail = packet;
    ++queue->count;
}

NpduPacket *queuePop(PacketQueue *queue) {
    std::lock_guard lock(queueMutex);
    NpduPacket *packet = queue->head;
    if (packet == nullptr)
        return nullptr;
    queue->head = packet->next;
    packet->next = nullptr;
    if (--queue->count == 0 || queue->head == nullptr) {
        queue->head = nullptr;
        queue->tail = nullptr;
        queue->count = 0;
    }
    return packet;
}

void queueClear(PacketQueue *queue) {
    std::lock_guard lock(queueMutex);
    queue->head = nullptr;
    queue->tail = nullptr;
    queue->count = 0;
}

uint16_t netOrder16(uint16_t value) {
    if constexpr (std::endian::native == std::endian::big)
        return value;
    return static_cast<uint16_t>((value >> 8) | (value << 8));
}
