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
    uint8_t state;    // kCompletionWaiting (set by the caller), kCompletionDone
    uint8_t status;   // kCompletionEnded once the request ended (ACK, Error, Reject, Abort, timeout)
    uint32_t result;  // PackedError of the outcome
};
inline constexpr uint8_t kCompletionWaiting = 1;
inline constexpr uint8_t kCompletionDone = 2;
inline constexpr uint8_t kCompletionEnded = 255;

inline constexpr int kTransactionEntries = 256;

// The invoke id (0..255) of a newly reserved entry, or -1 when all are in use.
int tsmAllocInvokeId(uint8_t serviceChoice, RequestCompletion *completion);
// Stores a copy of the request in the entry, starts its timer and sends it.
// The buffer stays the caller's. Returns 0, or -2 when the copy could not be
// allocated (the entry is then released).
int tsmStoreAndSend(const BACnetAddress *address, const PduBuffer *buffer, int invokeId);
// For a request that goes out segmented: stores a copy of the whole message
// (before segmentation rewrites its header) so that a retry can send it
// again, and stops the entry's timer until the last segment has been
// acknowledged (tsmRestartTimer). Returns 0, or -2 (the entry is released).
int tsmStoreSegmented(const BACnetAddress *address, const PduBuffer *buffer, int invokeId);
// The segmented transfer of a request ran out of retries: the request ends
// as a timeout.
void tsmTransferFailed(int invokeId);
// Whether a message of length octets (NPDU header and APDU) to a peer that
// accepts peerMaxApdu (0: unknown) is too long to go out as one request.
bool tsmNeedsSegmentation(uint8_t port, uint32_t peerMaxApdu, uint32_t length);
void tsmFree(int invokeId);
void tsmRestartTimer(int invokeId);
// Whether the entry is in use (tests and diagnostics).
bool tsmIsActive(int invokeId);

// Completes the entry of invokeId with an answer from the peer at from (null:
// any peer). The answer must come from the peer the request went to; for a
// SimpleACK, ComplexACK and Error the service choice must also match the
// stored one (matchChoice). Calls appConfirmedReplyReceived (except for a
// ComplexACK) outside the internal lock. Returns whether an active entry was
// completed.
bool tsmComplete(int32_t device, const BACnetAddress *from, int invokeId, int serviceChoice, bool matchChoice,
                 uint32_t error, bool notifyApplication);
// Whether the entry of invokeId is active and waits for an answer from the
// peer at from with that service choice (-1: any).
bool tsmWaitsFor(const BACnetAddress *from, int invokeId, int serviceChoice);
// Whether two addresses name the same peer: the same port and, behind a
// router, the same network and remote address, else the same MAC.
bool addressSamePeer(const BACnetAddress &a, const BACnetAddress &b);

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

// The index given by bindingFind for a device that is not bound (yet).
inline constexpr uint16_t kBindingNotBound = 257;
// The time after a Who-Is refresh before the next one may be sent.
inline constexpr uint32_t kBindingHoldOffMs = 15000;

// The binding of a device instance (cut to its 22 bits): its index 0..255
// when bound, kBindingNotBound otherwise. An unknown instance is entered as
// pending; a pending instance is asked for with Who-Is by the next stackTick,
// or once the hold-off after the previous refresh has passed.
uint16_t bindingFind(uint32_t instance);
// The address of the bound entry at index; false when it is not bound.
bool bindingAddress(uint16_t index, BACnetAddress *out);
// Sends Who-Is for the pending entries: adjacent instances grouped into one
// range, every other one on its own. Returns true.
bool bindingRefresh();
// Timer step of stackTick for the refresh and its hold-off.
void bindingTick(uint32_t elapsedMs);
// Refresh and hold-off timers (tests).
uint32_t bindingHoldOffMs();
