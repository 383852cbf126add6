#pragma once
// Segmented transfer: long ComplexACKs and long confirmed requests of the
// stack sent in windows of segments, and segmented requests and ComplexACKs
// of peers reassembled. Four slots hold the transfers; they are guarded by
// an internal lock of their own that is never held while calling the
// application or a datalink, so senders on other threads may start a
// transfer while the main thread serves another.

#include <cstdint>

#include "bacnet/pdu_buffer.h"
#include "bacnet/stack/address.h"
#include "bacnet/stack/packet.h"
#include "bacnet/tags.h"

inline constexpr int kSegmentationSlots = 4;

// The outcome of starting a segmented transfer.
enum class SegmentStart {
    kStarted,      // the slot owns the message now
    kDuplicate,    // the same transfer is already running: the message was dropped
    kNoMemory,     // no frame buffer
    kNoSlot,       // every slot is busy
    kTooManySegments,  // more segments than the peer accepts
};

// Starts sending the message in buffer (NPDU header up to its cursor, then
// an unsegmented ComplexACK or confirmed request APDU) to destination in
// segments of maxApdu octets. On kStarted the buffer is emptied (the slot
// owns its storage); on kDuplicate it is freed; otherwise it is left as it
// was for the caller's answer.
SegmentStart segStart(const BACnetAddress *destination, PduBuffer *buffer, uint32_t maxApdu, bool isRequest);

// A received SegmentACK (the APDU of packet).
void apduHandleSegmentAck(NpduPacket *packet);
// A received segment of a request or ComplexACK. Returns 0, or the Abort or
// Reject that the caller answers with apduSendAbortOrReject.
PackedError apduReceiveSegment(int32_t device, NpduPacket *packet);

// Whether a sending transfer with that invoke id to that peer is running.
bool segFindActive(const BACnetAddress *address, uint8_t invokeId);
// Ends the sending transfer of invokeId to the peer at from (a Reject or
// Abort of the peer). Returns whether one ended.
bool segAbortSending(const BACnetAddress *from, uint8_t invokeId);

// Timer step of stackTick: segment timers; a sending slot whose timer ran out
// is due to resend its window (at most apduRetries times), a receiving slot
// is dropped.
void segTick(uint32_t elapsedMs, uint8_t apduRetries);
// Resends the windows that are due (stackProcess).
void segProcess();
// Frees every slot (stackInit, stackShutdown).
void segReset();
// Slots in use (tests and diagnostics).
int segSlotsInUse();

// The sequence tests of the receiving side (sequence numbers wrap modulo 256).
bool apduSeqInWindow(uint8_t sequence, uint8_t windowStart, uint32_t count);
bool apduSeqDuplicate(uint8_t sequence, uint8_t first, uint8_t last, uint8_t window);
