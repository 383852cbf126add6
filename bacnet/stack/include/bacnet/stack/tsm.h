#pragma once
// The transaction table (confirmed requests the stack sent, waiting for their
// answer) and the device address binding table.
//
// Both tables are shared between the main thread (stackTick, stackProcess)
// and the notification senders on other threads, which do not hold the
// application's stack lock. They are guarded by the stack's own internal
// lock, which is only ever held for the table operation itself: never while
// calling the application or a datalink.

#include <cstdint>
#include <mutex>

#include "bacnet/pdu_buffer.h"
#include "bacnet/stack/address.h"

// The stack's internal lock, for the other tables that senders on other
// threads share with the main thread (the B/IPv6 VMAC table). The same rule
// holds: only around the table operation itself.
std::mutex &stackInternalLock();

// A caller's record of the outcome of one confirmed request.
struct RequestCompletion {
    uint8_t state;    // 1 waiting (set by the caller), 2 done
    uint8_t status;   // 255 once the request ended (ACK, Error, Reject, Abort, timeout)
    uint32_t result;  // PackedError of the outcome
};

inline constexpr int kTransactionEntries = 256;

// The invoke id (0..255) of a newly reserved entry, or -1 when all are in use.
int tsmAllocInvokeId(uint8_t serviceChoice, RequestCompletion *completion);
// Stores a copy of the request in the entry, starts its timer and sends it.
// The buffer stays the caller's. Returns 0, or -2 when the copy could not be
// allocated (the entry is then released).
int tsmStoreAndSend(const BACnetAddress *address, const PduBuffer *buffer, int invokeId);
void tsmFree(int invokeId);
void tsmRestartTimer(int invokeId);
// Whether the entry is in use (tests and diagnostics).
bool tsmIsActive(int invokeId);

// Completes the entry of invokeId with an answer. For a SimpleACK, ComplexACK
// and Error the service choice must match the stored one (matchChoice); Reject
// and Abort match by invoke id alone. Calls appConfirmedReplyReceived
// (except for a ComplexACK) outside the internal lock. Returns whether an
// active entry was completed.
bool tsmComplete(int32_t device, int invokeId, int serviceChoice, bool matchChoice, uint32_t error,
                 bool notifyApplication);

// Timer step of stackTick: resends requests whose timer ran out and reports
// those out of retries to the application.
void tsmTick(uint32_t elapsedMs, uint8_t apduRetries);

// Every entry inactive; stored requests freed.
void tsmReset();

struct AddressBinding {
    uint32_t instance;      // 0xFFFFFFFF marks a free entry
    BACnetAddress address;  // macLength 255 marks a pending entry
    uint16_t vendorId;
};

inline constexpr int kBindingEntries = 256;

// Every binding entry free.
void bindingReset();
// Enters a bound device (used by the I-Am handler and by tests). Returns the
// index, or -1 when the table is full.
int bindingStore(uint32_t instance, const BACnetAddress *address, uint16_t vendorId);
// Gives the first entry of instance (pending or bound) a new address and
// vendor. Returns the index, or -1 when the instance is not in the table.
int bindingUpdate(uint32_t instance, const BACnetAddress *address, uint16_t vendorId);
// Copies the bound entries, in table order, into out (at most max). Returns
// how many were copied.
int bindingCopyBound(AddressBinding *out, int max);
int bindingCountBound();
