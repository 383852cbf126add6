#pragma once
// The buffer in which a service builds one outgoing NPDU and APDU.
//
// The buffer grows in steps of 512 octets from appCalloc. Appending never
// writes past the allocation: when growing fails, the whole buffer is freed
// and the append reports 1, so a message that could not be completed is
// never sent half-built. Appending to a buffer that holds nothing (never
// initialised, or freed by an earlier failure) also reports 1.

#include <cstdint>

struct PduBuffer {
    uint8_t *start = nullptr;      // the allocation (zero-filled), null when empty
    uint8_t *writeBase = nullptr;  // start + 2: the first octet of the message
    uint8_t *cursor = nullptr;     // a write position for the buffer's users; follows a move
    uint32_t capacity = 0;         // octets allocated: 512, 1024, ...
    uint32_t length = 0;           // octets written from writeBase on
    uint8_t control = 0;           // NPDU control bits (priority) the header writer starts from
};

// Growth step and first allocation.
inline constexpr uint32_t kPduBufferStep = 512;

// Forgets the allocation without releasing it (its memory has already gone).
void pduClear(PduBuffer *buffer);

// Releases the allocation, if any, and empties the buffer. Null is ignored.
void pduFree(PduBuffer *buffer);

// Frees what the buffer held, then allocates 512 zeroed octets. Returns 0 on
// success, 1 when memory is exhausted (the buffer is then empty).
int pduInit(PduBuffer *buffer);

// Appends one octet, growing the allocation by 512 when the message reaches
// its end. Returns 0, or 1 when the buffer is empty or cannot grow (it is then
// freed).
int pduAppendByte(PduBuffer *buffer, uint8_t octet);

// Appends count octets. Returns 0, or 1 for null octets, an empty buffer or a
// failed growth (the buffer is then freed).
int pduAppendBytes(PduBuffer *buffer, uint32_t count, const uint8_t *octets);
