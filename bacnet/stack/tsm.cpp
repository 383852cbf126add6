#include "bacnet/stack/tsm.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/stack.h"

namespace {

struct TransactionEntry {
    RequestCompletion *completion;
    int32_t timerMs;
    PduBuffer request;
    BACnetAddress peer;
    uint16_t retries;
    uint8_t active;
    uint8_t serviceChoice;
    uint8_t segmented;  // the request goes out segmented: a retry starts the transfer again
};

// The stack's internal lock: guards the two tables and the next invoke id
// (and, through stackInternalLock, the B/IPv6 VMAC table). Held only around
// table operations, never while calling the application or a datalink, so it
// cannot take part in a lock-order cycle with the application's stack lock.
std::mutex tableMutex;
TransactionEntry transactions[kTransactionEntries];
uint16_t nextInvokeId;
AddressBinding bindings[kBindingEntries];
// Who-Is refresh of the pending bindings: due when the refresh timer runs
// out; none is sent while the hold-off after the previous one runs, and a
// look-up during the hold-off is remembered for its end.
uint32_t bindingRefreshTimerMs;
uint32_t bindingHoldOffTimerMs;
bool bindingRefreshDeferred;

// A message to resend, copied out of the table so that it can be sent
// without holding the lock.
struct Resend {
    int id;
    BACnetAddress peer;
    bool segmented;
    std::vector<uint8_t> octets;
};

struct Expired {
    uint8_t invokeId;
    uint8_t serviceChoice;
};

void releaseEntry(TransactionEntry &e) {
    pduFree(&e.request);
    e = TransactionEntry{};
}

}  // namespace

std::mutex &stackInternalLock() {
    return tableMutex;
}

int tsmAllocInvokeId(uint8_t serviceChoice, RequestCompletion *completion) {
    std::lock_guard lock(tableMutex);
    for (int i = 0; i < kTransactionEntries; ++i) {
        int id = (nextInvokeId + i) % kTransactionEntries;
        TransactionEntry &e = transactions[id];
        if (!e.active) {
            e = TransactionEntry{};
            e.active = 1;
            e.serviceChoice = serviceChoice;
            e.completion = completion;
            // Untimed until its request is stored: a sender thread held up
            // between the two steps must not find its id expired and taken.
            e.timerMs = 0;
            nextInvokeId = static_cast<uint16_t>((id + 1) % kTransactionEntries);
            return id;
        }
    }
    return -1;
}

namespace {

// Stores a copy of buffer in the entry with the given timer. False when the
// copy could not be made or the entry is not active (the entry is released).
bool storeRequest(const BACnetAddress *address, const PduBuffer *buffer, int invokeId, bool segmented,
                  int32_t timerMs) {
    if (invokeId < 0 || invokeId >= kTransactionEntries || buffer == nullptr ||
        buffer->writeBase == nullptr || address == nullptr) {
        tsmFree(invokeId);
        return false;
    }
    PduBuffer copy;
    if (pduInit(&copy) != 0 || pduAppendBytes(&copy, buffer->length, buffer->writeBase) != 0) {
        pduFree(&copy);
        tsmFree(invokeId);
        return false;
    }
    copy.cursor = copy.writeBase + (buffer->cursor - buffer->writeBase);
    std::lock_guard lock(tableMutex);
    TransactionEntry &e = transactions[invokeId];
    if (!e.active) {
        pduFree(&copy);
        return false;
    }
    pduFree(&e.request);
    e.request = copy;
    e.peer = *address;
    e.retries = 0;
    e.segmented = segmented ? 1 : 0;
    e.timerMs = timerMs;
    return true;
}

}  // namespace

int tsmStoreAndSend(const BACnetAddress *address, const PduBuffer *buffer, int invokeId) {
    if (!storeRequest(address, buffer, invokeId, false, static_cast<int32_t>(stackApduTimeoutMs()))) {
        return kSendNoBuffer;
    }
    datalinkSend(address->port, address->macLength == 0 ? nullptr : address->mac, buffer->length,
                 buffer->writeBase, true);
    return 0;
}

int tsmStoreSegmented(const BACnetAddress *address, const PduBuffer *buffer, int invokeId) {
    return storeRequest(address, buffer, invokeId, true, 0) ? 0 : kSendNoBuffer;
}

void tsmTransferFailed(int invokeId) {
    if (invokeId < 0 || invokeId >= kTransactionEntries) {
        return;
    }
    uint8_t choice;
    {
        std::lock_guard lock(tableMutex);
        TransactionEntry &e = transactions[invokeId];
        if (!e.active || !e.segmented) {
            return;
        }
        choice = e.serviceChoice;
        if (e.completion != nullptr && e.completion->state == kCompletionWaiting) {
            e.completion->status = kCompletionEnded;
            e.completion->result = kErrCommunicationTimeout;
            e.completion->state = kCompletionDone;
        }
        releaseEntry(e);
    }
    appConfirmedRequestTimeout(static_cast<uint8_t>(invokeId), choice, kErrCommunicationTimeout);
}

bool tsmNeedsSegmentation(uint8_t port, uint32_t peerMaxApdu, uint32_t length) {
    uint32_t maxNpdu = datalinkMaxNpdu(port);
    uint32_t limit = (peerMaxApdu != 0 && peerMaxApdu <= maxNpdu) ? peerMaxApdu : maxNpdu;
    return length > limit;
}

bool addressSamePeer(const BACnetAddress &a, const BACnetAddress &b) {
    if (a.port != b.port || a.network != b.network) {
        return false;
    }
    if (a.network != 0) {
        return a.remoteLength == b.remoteLength && a.remoteLength <= 8 &&
               std::memcmp(a.remoteAddress, b.remoteAddress, a.remoteLength) == 0;
    }
    return a.macLength == b.macLength && a.macLength <= 8 && std::memcmp(a.mac, b.mac, a.macLength) == 0;
}

void tsmFree(int invokeId) {
    if (invokeId < 0 || invokeId >= kTransactionEntries) {
        return;
    }
    std::lock_guard lock(tableMutex);
    releaseEntry(transactions[invokeId]);
}

void tsmRestartTimer(int invokeId) {
    if (invokeId < 0 || invokeId >= kTransactionEntries) {
        return;
    }
    uint32_t timeout = stackApduTimeoutMs();
    std::lock_guard lock(tableMutex);
    transactions[invokeId].timerMs = static_cast<int32_t>(timeout);
}

bool tsmIsActive(int invokeId) {
    if (invokeId < 0 || invokeId >= kTransactionEntries) {
        return false;
    }
    std::lock_guard lock(tableMutex);
    return transactions[invokeId].active != 0;
}

bool tsmWaitsFor(const BACnetAddress *from, int invokeId, int serviceChoice) {
    if (invokeId < 0 || invokeId >= kTransactionEntries) {
        return false;
    }
    std::lock_guard lock(tableMutex);
    const TransactionEntry &e = transactions[invokeId];
    return e.active && (serviceChoice < 0 || e.serviceChoice == serviceChoice) &&
           (from == nullptr || addressSamePeer(e.peer, *from));
}

bool tsmComplete(int32_t device, const BACnetAddress *from, int invokeId, int serviceChoice, bool matchChoice,
                 uint32_t error, bool notifyApplication) {
    if (invokeId < 0 || invokeId >= kTransactionEntries) {
        return false;
    }
    uint8_t storedChoice;
    {
        std::lock_guard lock(tableMutex);
        TransactionEntry &e = transactions[invokeId];
        if (!e.active || (matchChoice && e.serviceChoice != serviceChoice) ||
            (from != nullptr && !addressSamePeer(e.peer, *from))) {
            return false;
        }
        storedChoice = e.serviceChoice;
        if (e.completion != nullptr) {
            e.completion->status = kCompletionEnded;
            e.completion->result = error;
            e.completion->state = kCompletionDone;
        }
        releaseEntry(e);
    }
    if (notifyApplication) {
        appConfirmedReplyReceived(device, static_cast<uint8_t>(invokeId), storedChoice, error);
    }
    return true;
}

void tsmTick(uint32_t elapsedMs, uint8_t apduRetries) {
    std::vector<Resend> resends;
    std::vector<Expired> expired;
    uint32_t timeout = stackApduTimeoutMs();
    {
        std::lock_guard lock(tableMutex);
        for (int id = 0; id < kTransactionEntries; ++id) {
            TransactionEntry &e = transactions[id];
            if (!e.active || e.timerMs == 0) {
                continue;
            }
            int64_t left = int64_t{e.timerMs} - elapsedMs;
            if (left > 0) {
                e.timerMs = static_cast<int32_t>(left);
                continue;
            }
            e.timerMs = 0;
            if (e.retries < apduRetries && e.request.writeBase != nullptr) {
                ++e.retries;
                e.timerMs = static_cast<int32_t>(timeout);
                Resend r{id, e.peer, e.segmented != 0, {}};
                r.octets.assign(e.request.writeBase, e.request.writeBase + e.request.length);
                if (e.segmented) {
                    // The transfer restarts; its last SegmentACK restarts the timer.
                    e.timerMs = 0;
                    r.octets.push_back(static_cast<uint8_t>(e.request.cursor - e.request.writeBase));
                }
                resends.push_back(std::move(r));
            } else {
                expired.push_back({static_cast<uint8_t>(id), e.serviceChoice});
                if (e.completion != nullptr && e.completion->state == kCompletionWaiting) {
                    e.completion->status = kCompletionEnded;
                    e.completion->result = kErrCommunicationTimeout;
                    e.completion->state = kCompletionDone;
                }
                releaseEntry(e);
            }
        }
    }
    for (Resend &r : resends) {
        if (!r.segmented) {
            datalinkSend(r.peer.port, r.peer.macLength == 0 ? nullptr : r.peer.mac,
                         static_cast<uint32_t>(r.octets.size()), r.octets.data(), true);
            continue;
        }
        uint8_t headerLength = r.octets.back();
        r.octets.pop_back();
        PduBuffer b;
        if (pduInit(&b) != 0 ||
            pduAppendBytes(&b, static_cast<uint32_t>(r.octets.size()), r.octets.data()) != 0) {
            pduFree(&b);
            tsmRestartTimer(r.id);  // try again at the next expiry
            continue;
        }
        b.cursor = b.writeBase + headerLength;
        if (apduSendResponse(&r.peer, &b, true) < 0) {
            tsmRestartTimer(r.id);
        }
    }
    for (const Expired &x : expired) {
        appConfirmedRequestTimeout(x.invokeId, x.serviceChoice, kErrCommunicationTimeout);
    }
}

void tsmReset() {
    std::lock_guard lock(tableMutex);
    nextInvokeId = 0;
    for (auto &e : transactions) {
        releaseEntry(e);
    }
}

void bindingReset() {
    std::lock_guard lock(tableMutex);
    bindingRefreshTimerMs = 0;
    bindingHoldOffTimerMs = 0;
    bindingRefreshDeferred = false;
    for (auto &b : bindings) {
        b = AddressBinding{};
        b.instance = 0xFFFFFFFFu;
    }
}

int bindingStore(uint32_t instance, const BACnetAddress *address, uint16_t vendorId) {
    std::lock_guard lock(tableMutex);
    instance = objectIdInstance(instance);
    for (int i = 0; i < kBindingEntries; ++i) {
        AddressBinding &b = bindings[i];
        if (b.instance == instance || b.instance == 0xFFFFFFFFu) {
            b.instance = instance;
            b.address = *address;
            b.vendorId = vendorId;
            return i;
        }
    }
    return -1;
}

int bindingUpdate(uint32_t instance, const BACnetAddress *address, uint16_t vendorId) {
    std::lock_guard lock(tableMutex);
    instance = objectIdInstance(instance);
    for (int i = 0; i < kBindingEntries; ++i) {
        AddressBinding &b = bindings[i];
        if (b.instance == instance) {
            b.address = *address;
            b.vendorId = vendorId;
            return i;
        }
    }
    return -1;
}

int bindingCopyBound(AddressBinding *out, int max) {
    std::lock_guard lock(tableMutex);
    int n = 0;
    for (const AddressBinding &b : bindings) {
        if (n >= max) {
            break;
        }
        if (b.instance != 0xFFFFFFFFu && b.address.macLength != 255) {
            out[n++] = b;
        }
    }
    return n;
}

int bindingCountBound() {
    std::lock_guard lock(tableMutex);
    int n = 0;
    for (const AddressBinding &b : bindings) {
        if (b.instance != 0xFFFFFFFFu && b.address.macLength != 255) {
            ++n;
        }
    }
    return n;
}

namespace {

bool isPending(const AddressBinding &b) {
    return b.instance != 0xFFFFFFFFu && b.address.macLength == 255;
}

// Asks for a refresh: at the next tick, or at the end of the hold-off.
void wantRefresh() {
    if (bindingHoldOffTimerMs == 0) {
        bindingRefreshTimerMs = 1;
    } else {
        bindingRefreshDeferred = true;
    }
}

}  // namespace

uint16_t bindingFind(uint32_t instance) {
    instance = objectIdInstance(instance);
    std::lock_guard lock(tableMutex);
    int firstFree = -1;
    for (int i = 0; i < kBindingEntries; ++i) {
        AddressBinding &b = bindings[i];
        if (b.instance == instance) {
            if (b.address.macLength == 255) {
                // A device that did not answer is asked again, at the pace
                // the hold-off allows, while someone still looks for it.
                wantRefresh();
                return kBindingNotBound;
            }
            return static_cast<uint16_t>(i);
        }
        if (b.instance == 0xFFFFFFFFu && firstFree < 0) {
            firstFree = i;
        }
    }
    if (firstFree >= 0) {
        AddressBinding &b = bindings[firstFree];
        b = AddressBinding{};
        b.instance = instance;
        b.address.macLength = 255;
        wantRefresh();
    }
    return kBindingNotBound;
}

bool bindingAddress(uint16_t index, BACnetAddress *out) {
    if (index >= kBindingEntries) {
        return false;
    }
    std::lock_guard lock(tableMutex);
    const AddressBinding &b = bindings[index];
    if (b.instance == 0xFFFFFFFFu || b.address.macLength == 255) {
        return false;
    }
    *out = b.address;
    return true;
}

bool bindingRefresh() {
    struct Range {
        uint32_t low;
        uint32_t high;
    };
    std::vector<Range> singles;
    bool groupOpen = false;
    Range group{};
    {
        std::lock_guard lock(tableMutex);
        int used = 0;
        while (used < kBindingEntries && bindings[used].instance != 0xFFFFFFFFu) {
            ++used;
        }
        for (int i = 0; i < used; ++i) {
            const AddressBinding &b = bindings[i];
            if (!isPending(b)) {
                continue;
            }
            uint32_t n = b.instance;
            if (groupOpen) {
                if (n >= group.low && n <= group.high) {
                    continue;
                }
                if (n + 1 == group.low) {
                    group.low = n;
                    continue;
                }
                if (n == group.high + 1) {
                    group.high = n;
                    continue;
                }
            } else {
                const AddressBinding *neighbour =
                    i + 1 < used ? &bindings[i + 1] : (i > 0 ? &bindings[i - 1] : nullptr);
                if (neighbour != nullptr &&
                    (neighbour->instance == n + 1 || neighbour->instance + 1 == n)) {
                    groupOpen = true;
                    group.low = n < neighbour->instance ? n : neighbour->instance;
                    group.high = n < neighbour->instance ? neighbour->instance : n;
                    continue;
                }
            }
            singles.push_back({n, n});
        }
    }
    for (const Range &r : singles) {
        svcSendWhoIs(static_cast<int32_t>(r.low), static_cast<int32_t>(r.high));
    }
    if (groupOpen) {
        svcSendWhoIs(static_cast<int32_t>(group.low), static_cast<int32_t>(group.high));
    }
    return true;
}

void bindingTick(uint32_t elapsedMs) {
    bool refresh = false;
    {
        std::lock_guard lock(tableMutex);
        if (bindingHoldOffTimerMs > 0) {
            bindingHoldOffTimerMs = elapsedMs >= bindingHoldOffTimerMs ? 0 : bindingHoldOffTimerMs - elapsedMs;
            if (bindingHoldOffTimerMs == 0 && bindingRefreshDeferred) {
                bindingRefreshDeferred = false;
                bindingRefreshTimerMs = 1;
            }
        }
        if (bindingRefreshTimerMs > 0) {
            // 1 means "at the next tick", however little time it reports.
            if (bindingRefreshTimerMs == 1 || elapsedMs >= bindingRefreshTimerMs) {
                bindingRefreshTimerMs = 0;
                refresh = true;
            } else {
                bindingRefreshTimerMs -= elapsedMs;
            }
        }
    }
    if (refresh && bindingRefresh()) {
        std::lock_guard lock(tableMutex);
        bindingHoldOffTimerMs = kBindingHoldOffMs;
    }
}

uint32_t bindingHoldOffMs() {
    std::lock_guard lock(tableMutex);
    return bindingHoldOffTimerMs;
}
