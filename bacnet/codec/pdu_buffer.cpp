#include "bacnet/pdu_buffer.h"

#include "bacnet/app_memory.h"

#include <cstring>

namespace {

// Octets in front of writeBase that the message never uses.
constexpr uint32_t kHeadroom = 2;

// Grows the allocation until `extra` more octets fit behind the message.
// Returns false (after freeing the buffer) when memory is exhausted.
bool pduReserve(PduBuffer *buffer, uint32_t extra) {
    uint64_t needed = uint64_t{kHeadroom} + buffer->length + extra;
    if (needed <= buffer->capacity) {
        return true;
    }
    uint64_t capacity = buffer->capacity;
    while (capacity < needed) {
        capacity += kPduBufferStep;
    }
    if (capacity > UINT32_MAX) {
        pduFree(buffer);
        return false;
    }
    auto *grown = static_cast<uint8_t *>(appCalloc(static_cast<uint32_t>(capacity)));
    if (grown == nullptr) {
        pduFree(buffer);
        return false;
    }
    std::memcpy(grown, buffer->start, buffer->capacity);
    if (buffer->cursor != nullptr) {
        buffer->cursor = grown + (buffer->cursor - buffer->start);
    }
    appFree(buffer->start);
    buffer->start = grown;
    buffer->writeBase = grown + kHeadroom;
    buffer->capacity = static_cast<uint32_t>(capacity);
    return true;
}

}  // namespace

void pduClear(PduBuffer *buffer) {
    buffer->start = nullptr;
    buffer->writeBase = nullptr;
    buffer->cursor = nullptr;
    buffer->capacity = 0;
    buffer->length = 0;
}

void pduFree(PduBuffer *buffer) {
    if (buffer == nullptr) {
        return;
    }
    buffer->capacity = 0;
    buffer->length = 0;
    if (buffer->start != nullptr) {
        appFree(buffer->start);
        buffer->start = nullptr;
        buffer->writeBase = nullptr;
    }
    buffer->cursor = nullptr;
}

int pduInit(PduBuffer *buffer) {
    pduFree(buffer);
    auto *block = static_cast<uint8_t *>(appCalloc(kPduBufferStep));
    if (block == nullptr) {
        return 1;
    }
    buffer->start = block;
    buffer->writeBase = block + kHeadroom;
    buffer->capacity = kPduBufferStep;
    buffer->length = 0;
    buffer->control = 0;
    return 0;
}

int pduAppendByte(PduBuffer *buffer, uint8_t octet) {
    if (buffer == nullptr || buffer->start == nullptr) {
        return 1;
    }
    if (!pduReserve(buffer, 1)) {
        return 1;
    }
    buffer->writeBase[buffer->length++] = octet;
    return 0;
}

int pduAppendBytes(PduBuffer *buffer, uint32_t count, const uint8_t *octets) {
    if (buffer == nullptr || octets == nullptr || buffer->start == nullptr) {
        return 1;
    }
    if (count == 0) {
        return 0;
    }
    if (!pduReserve(buffer, count)) {
        return 1;
    }
    std::memcpy(buffer->writeBase + buffer->length, octets, count);
    buffer->length += count;
    return 0;
}
