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
};

// The stack's internal lock: guards the two tables and the next invoke id
// (and, through stackInternalLock, the B/IPv6 VMAC table). Held only around
// table operations, never while calling the application or a datalink, so it
// cannot take part in a lock-order cycle with the application's stack lock.
std::mutex tableMutex;
TransactionEntry transactions[kTransactionEntries];
uint16_t nextInvokeId;
AddressBinding bindings[kBindingEntries];

// A message to resend, copied out of the table so that it can be sent
// without holding the lock.
struct Resend {
    uint8_t port;
    uint8_t macLength;
    uint8_t mac[8];
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
            nextInvokeId = static_cast<uint16_t>((id + 1) % kTransactionEntries);
            return id;
        }
    }
    return -1;
}

int tsmStoreAndSend(const BACnetAddress *address, const PduBuffer *buffer, int invokeId) {
    if (invokeId < 0 || invokeId >= kTransactionEntries || buffer == nullptr ||
        buffer->writeBase == nullptr) {
        return -2;
    }
    PduBuffer copy;
    if (pduInit(&copy) != 0 || pduAppendBytes(&copy, buffer->length, buffer->writeBase) != 0) {
        pduFree(&copy);
        tsmFree(invokeId);
        return -2;
    }
    uint32_t timeout = stackApduTimeoutMs();
    {
        std::lock_guard lock(tableMutex);
        TransactionEntry &e = transactions[invokeId];
        if (!e.active) {
            pduFree(&copy);
            return -2;
        }
        pduFree(&e.request);
        e.request = copy;
        e.peer = *address;
        e.retries = 0;
        e.timerMs = static_cast<int32_t>(timeout);
    }
    datalinkSend(address->port, address->macLength == 0 ? nullptr : address->mac, buffer->length,
                 buffer->writeBase, true);
    return 0;
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

bool tsmComplete(int32_t device, int invokeId, int serviceChoice, bool matchChoice, uint32_t error,
                 bool notifyApplication) {
    if (invokeId < 0 || invokeId >= kTransactionEntries) {
        return false;
    }
    uint8_t storedChoice;
    {
        std::lock_guard lock(tableMutex);
        TransactionEntry &e = transactions[invokeId];
        if (!e.active || (matchChoice && e.serviceChoice != serviceChoice)) {
            return false;
        }
        storedChoice = e.serviceChoice;
        if (e.completion != nullptr) {
            e.completion->status = 255;
            e.completion->result = error;
            e.completion->state = 2;
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
                Resend r{e.peer.port, e.peer.macLength, {}, {}};
                std::memcpy(r.mac, e.peer.mac, sizeof r.mac);
                r.octets.assign(e.request.writeBase, e.request.writeBase + e.request.length);
                resends.push_back(std::move(r));
            } else {
                expired.push_back({static_cast<uint8_t>(id), e.serviceChoice});
                if (e.completion != nullptr && e.completion->state == 1) {
                    e.completion->status = 255;
                    e.completion->result = kErrCommunicationTimeout;
                    e.completion->state = 2;
                }
                releaseEntry(e);
            }
        }
    }
    for (const Resend &r : resends) {
        datalinkSend(r.port, r.macLength == 0 ? nullptr : r.mac, static_cast<uint32_t>(r.octets.size()),
                     r.octets.data(), true);
    }
    for (const Expired &x : expired) {
        appConfirmedRequestTimeout(x.invokeId, x.serviceChoice, kErrCommunicationTimeout);
    }
}

void tsmReset() {
    std::lock_guard lock(tableMutex);
    for (auto &e : transactions) {
        releaseEntry(e);
    }
}

void bindingReset() {
    std::lock_guard lock(tableMutex);
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
