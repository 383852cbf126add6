// Segmented transfer in both directions.

#include "bacnet/stack/segment.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "bacnet/app_memory.h"
#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/datalink.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/stack.h"
#include "bacnet/stack/tsm.h"

namespace {

enum SlotState : uint8_t {
    kFree = 0,
    kReceiving = 1,
    kSending = 2,
    kResendDue = 3,
};

// Header octets of a segmented ComplexACK and of a segmented request.
constexpr uint32_t kSegmentedAckHeader = 5;
constexpr uint32_t kSegmentedRequestHeader = 6;
// Header octets of the unsegmented forms they replace.
constexpr uint32_t kAckHeader = 3;
constexpr uint32_t kRequestHeader = 4;

struct SegmentationSlot {
    // Sending: the message as the sender built it (the PduBuffer's
    // allocation), its data after the unsegmented APDU header, and the frame
    // in which each segment is built (NPDU header, segmented APDU header,
    // data). Receiving: the reassembled APDU so far.
    uint8_t *message;
    const uint8_t *data;
    uint32_t dataLength;
    uint8_t *frame;
    uint32_t npduHeaderLength;
    uint32_t apduHeaderLength;  // of the segmented header in frame
    uint32_t totalLength;       // receiving: octets reassembled so far
    uint32_t offset;            // data octets sent up to the next segment
    uint32_t windowOffset;      // data octets before the current window
    int32_t timerMs;
    BACnetAddress peer;
    uint16_t maxApdu;
    uint16_t segmentDataLength;
    uint8_t state;
    uint8_t expectingReply;
    uint8_t isRequest;
    uint8_t invokeId;
    uint8_t sequence;     // sending: next to send; receiving: last received
    uint8_t windowStart;  // sending: first of the window; receiving: last acknowledged
    uint8_t windowSize;
    uint8_t retries;
    uint8_t duplicates;
    uint8_t serviceChoice;
};

std::mutex slotMutex;
SegmentationSlot slots[kSegmentationSlots];

// A frame to send once the lock is released.
struct Frame {
    uint8_t port;
    uint8_t macLength;
    uint8_t mac[8];
    bool expectingReply;
    std::vector<uint8_t> octets;
};

void sendFrames(const std::vector<Frame> &frames) {
    for (const Frame &f : frames) {
        datalinkSend(f.port, f.macLength == 0 ? nullptr : f.mac, static_cast<uint32_t>(f.octets.size()),
                     f.octets.data(), f.expectingReply);
    }
}

void releaseSlot(SegmentationSlot &s) {
    appFree(s.message);
    appFree(s.frame);
    s = SegmentationSlot{};
}

bool samePeer(const SegmentationSlot &s, const BACnetAddress &a) {
    return s.peer.network == a.network && s.peer.macLength == a.macLength && a.macLength <= 8 &&
           std::memcmp(s.peer.mac, a.mac, a.macLength) == 0;
}

bool findActiveLocked(const BACnetAddress *a, uint8_t invokeId) {
    for (const SegmentationSlot &s : slots) {
        if ((s.state == kSending || s.state == kResendDue) && s.invokeId == invokeId &&
            addressSamePeer(s.peer, *a)) {
            return true;
        }
    }
    return false;
}

uint32_t segmentCount(uint32_t dataLength, uint32_t perSegment) {
    return dataLength == 0 ? 1 : (dataLength + perSegment - 1) / perSegment;
}

// Builds the frames of the slot's current window into out.
void buildWindow(SegmentationSlot &s, std::vector<Frame> *out) {
    s.sequence = s.windowStart;
    s.offset = s.windowOffset;
    // Until the peer has told its window size, one segment at a time.
    uint32_t window = s.windowStart == 0 && s.windowOffset == 0 ? 1 : s.windowSize;
    uint8_t *header = s.frame + s.npduHeaderLength;
    uint8_t *frameData = header + s.apduHeaderLength;
    uint32_t sequenceOctet = s.isRequest ? 3 : 2;
    for (uint32_t k = 0; k < window && s.offset < s.dataLength; ++k) {
        uint32_t left = s.dataLength - s.offset;
        bool last = left <= s.segmentDataLength;
        uint32_t chunk = last ? left : s.segmentDataLength;
        header[sequenceOctet] = static_cast<uint8_t>(s.windowStart + k);
        if (last) {
            header[0] = static_cast<uint8_t>(header[0] & ~kApduMoreFollows);
        } else {
            header[0] = static_cast<uint8_t>(header[0] | kApduMoreFollows);
        }
        std::memcpy(frameData, s.data + s.offset, chunk);
        Frame f{s.peer.port, s.peer.macLength, {}, s.expectingReply != 0, {}};
        std::memcpy(f.mac, s.peer.mac, sizeof f.mac);
        f.octets.assign(s.frame, frameData + chunk);
        out->push_back(std::move(f));
        ++s.sequence;
        s.offset += chunk;
    }
    s.timerMs = static_cast<int32_t>(stackSegmentTimeoutMs());
}

}  // namespace

bool apduSeqInWindow(uint8_t sequence, uint8_t windowStart, uint32_t count) {
    return static_cast<uint8_t>(sequence - windowStart) < count;
}

bool apduSeqDuplicate(uint8_t sequence, uint8_t first, uint8_t last, uint8_t window) {
    uint8_t span = static_cast<uint8_t>(last - first);
    return span <= window && static_cast<uint8_t>(sequence - first) <= span;
}

SegmentStart segStart(const BACnetAddress *a, PduBuffer *buffer, uint32_t maxApdu, bool isRequest) {
    uint32_t h = static_cast<uint32_t>(buffer->cursor - buffer->writeBase);
    uint32_t plainHeader = isRequest ? kRequestHeader : kAckHeader;
    uint32_t segHeader = isRequest ? kSegmentedRequestHeader : kSegmentedAckHeader;
    const uint8_t *apdu = buffer->cursor;
    uint8_t invokeId = isRequest ? apdu[2] : apdu[1];
    if (maxApdu <= segHeader || buffer->length < h + plainHeader) {
        return SegmentStart::kTooManySegments;
    }
    uint32_t d = maxApdu - segHeader;
    uint32_t dataLength = buffer->length - h - plainHeader;
    uint32_t needed = segmentCount(dataLength, d);
    uint32_t accepted = a->maxSegments == 0 ? 1 : a->maxSegments;
    if (a->maxSegments != 0xFFFF && needed > accepted) {
        return SegmentStart::kTooManySegments;
    }
    // The frame holds the NPDU header exactly as written, whatever its length.
    auto *frame = static_cast<uint8_t *>(appCalloc(h + maxApdu));
    if (frame == nullptr) {
        return SegmentStart::kNoMemory;
    }
    std::vector<Frame> frames;
    {
        std::lock_guard lock(slotMutex);
        if (findActiveLocked(a, invokeId)) {
            appFree(frame);
            pduFree(buffer);
            return SegmentStart::kDuplicate;
        }
        SegmentationSlot *slot = nullptr;
        for (SegmentationSlot &s : slots) {
            if (s.state == kFree) {
                slot = &s;
                break;
            }
        }
        if (slot == nullptr) {
            appFree(frame);
            return SegmentStart::kNoSlot;
        }
        SegmentationSlot &s = *slot;
        s = SegmentationSlot{};
        s.message = buffer->start;
        s.data = buffer->cursor + plainHeader;
        s.dataLength = dataLength;
        s.frame = frame;
        s.npduHeaderLength = h;
        s.apduHeaderLength = segHeader;
        s.peer = *a;
        s.maxApdu = static_cast<uint16_t>(maxApdu);
        s.segmentDataLength = static_cast<uint16_t>(d);
        s.isRequest = isRequest ? 1 : 0;
        s.invokeId = invokeId;
        s.serviceChoice = isRequest ? apdu[3] : apdu[2];
        uint8_t window = stackProposedWindowSize();
        s.windowSize = window == 0 ? 1 : window;
        // Every segment asks for an acknowledgement, a ComplexACK's too.
        s.expectingReply = 1;
        std::memcpy(frame, buffer->writeBase, h);
        if (h > 1) {
            frame[1] |= kNpduExpectingReply;
        }
        uint8_t *header = frame + h;
        if (isRequest) {
            uint8_t receives = stackSegmentationSupported();
            header[0] = static_cast<uint8_t>(
                apduFirstOctet(kPduConfirmedRequest) | kApduSegmentedMessage | kApduMoreFollows |
                ((receives == kSegmentedBoth || receives == kSegmentedReceive) ? kApduSegmentedResponseAccepted
                                                                                : 0));
            header[1] = apdu[1];
            header[2] = invokeId;
            header[3] = 0;
            header[4] = s.windowSize;
            header[5] = s.serviceChoice;
        } else {
            header[0] = static_cast<uint8_t>(apduFirstOctet(kPduComplexAck) | kApduSegmentedMessage |
                                             kApduMoreFollows);
            header[1] = invokeId;
            header[2] = 0;
            header[3] = s.windowSize;
            header[4] = s.serviceChoice;
        }
        s.state = kSending;
        buildWindow(s, &frames);
        pduClear(buffer);
    }
    sendFrames(frames);
    return SegmentStart::kStarted;
}

bool segFindActive(const BACnetAddress *a, uint8_t invokeId) {
    std::lock_guard lock(slotMutex);
    return findActiveLocked(a, invokeId);
}

bool segAbortSending(const BACnetAddress *from, uint8_t invokeId) {
    std::lock_guard lock(slotMutex);
    for (SegmentationSlot &s : slots) {
        if ((s.state == kSending || s.state == kResendDue) && s.invokeId == invokeId && samePeer(s, *from)) {
            releaseSlot(s);
            return true;
        }
    }
    return false;
}

void apduHandleSegmentAck(NpduPacket *packet) {
    const uint8_t *apdu = packet->apdu;
    bool fromServer = (apdu[0] & kApduServer) != 0;
    uint8_t invokeId = apdu[1];
    uint8_t ackSequence = apdu[2];
    uint8_t window = apdu[3];
    std::vector<Frame> frames;
    bool found = false;
    bool requestDone = false;
    {
        std::lock_guard lock(slotMutex);
        for (SegmentationSlot &s : slots) {
            if ((s.state != kSending && s.state != kResendDue) || s.invokeId != invokeId ||
                !samePeer(s, packet->address)) {
                continue;
            }
            // A server acknowledges the segments of a request, a client those
            // of a ComplexACK.
            if (fromServer != (s.isRequest != 0)) {
                continue;
            }
            found = true;
            uint32_t sentInWindow = static_cast<uint8_t>(s.sequence - s.windowStart);
            if (ackSequence == static_cast<uint8_t>(s.windowStart - 1)) {
                // The previous window acknowledged again: the peer waits.
                s.timerMs = static_cast<int32_t>(stackSegmentTimeoutMs());
                break;
            }
            // Only a segment of the window just sent can be acknowledged;
            // anything else would move past the message.
            if (!apduSeqInWindow(ackSequence, s.windowStart, sentInWindow)) {
                break;
            }
            uint32_t n = static_cast<uint8_t>(ackSequence - s.windowStart) + 1u;
            uint32_t acknowledged = s.windowOffset + n * s.segmentDataLength;
            if (acknowledged >= s.dataLength) {
                requestDone = s.isRequest != 0;
                releaseSlot(s);
                break;
            }
            s.windowStart = static_cast<uint8_t>(ackSequence + 1);
            s.windowOffset = acknowledged;
            s.windowSize = window == 0 ? 1 : (window > 127 ? 127 : window);
            s.state = kSending;
            buildWindow(s, &frames);
            break;
        }
    }
    sendFrames(frames);
    if (requestDone) {
        tsmRestartTimer(invokeId);
    }
    if (!found && fromServer) {
        apduSendAbort(packet, invokeId, kAbortReasonInvalidApduInThisState);
    }
}

namespace {

// Finishes a reassembled message (outside the lock): a request is served,
// a ComplexACK completes its transaction.
void deliver(int32_t device, NpduPacket *packet, uint8_t *message, uint32_t length, bool isRequest) {
    if (isRequest) {
        NpduPacket *copy = poolAlloc(64);
        if (copy == nullptr) {
            apduSendAbort(packet, message[2], kAbortReasonBufferOverflow);
        } else {
            copy->address = packet->address;
            copy->priority = packet->priority;
            copy->apdu = message;
            copy->length = static_cast<uint16_t>(length);
            apduHandleConfirmed(device, copy);
            poolFree(copy);
        }
    } else {
        tsmComplete(device, &packet->address, message[1], message[2], true, 0, false);
    }
    appFree(message);
}

}  // namespace

PackedError apduReceiveSegment(int32_t device, NpduPacket *packet) {
    const uint8_t *apdu = packet->apdu;
    uint32_t length = packet->length;
    bool isRequest = (apdu[0] >> 4) == kPduConfirmedRequest;
    uint32_t headerLength = isRequest ? kSegmentedRequestHeader : kSegmentedAckHeader;
    uint32_t base = isRequest ? 2 : 1;
    uint8_t invokeId = apdu[base];
    uint8_t sequence = apdu[base + 1];
    uint8_t window = apdu[base + 2];
    uint8_t service = apdu[base + 3];
    bool moreFollows = (apdu[0] & kApduMoreFollows) != 0;
    const uint8_t *data = apdu + headerLength;
    uint32_t dataLength = length - headerLength;

    DeviceRecord record = stackDevice();
    if (device >= 0) {
        appFillVirtualDeviceRecord(device, &record);
    }
    uint32_t maxSegments = record.maxSegmentsAccepted;

    struct Ack {
        bool send = false;
        uint8_t sequence = 0;
        uint8_t window = 0;
        bool negative = false;
    } ack;
    uint8_t *complete = nullptr;
    uint32_t completeLength = 0;
    bool restartTransaction = false;
    PackedError result = 0;
    {
        std::lock_guard lock(slotMutex);
        SegmentationSlot *slot = nullptr;
        SegmentationSlot *free = nullptr;
        for (SegmentationSlot &s : slots) {
            if (s.state == kReceiving && s.invokeId == invokeId && samePeer(s, packet->address) &&
                s.isRequest == (isRequest ? 1 : 0)) {
                slot = &s;
                break;
            }
            if (s.state == kFree && free == nullptr) {
                free = &s;
            }
        }
        if (slot == nullptr) {
            if (free == nullptr) {
                return errMake(kClassAbort, kAbortReasonBufferOverflow);
            }
            if (sequence != 0) {
                return errMake(kClassAbort, kAbortReasonInvalidApduInThisState);
            }
            if (window == 0 || window > 127) {
                return errMake(kClassReject, kRejectReasonParameterOutOfRange);
            }
            uint8_t proposed = record.proposedWindowSize == 0 ? 1 : record.proposedWindowSize;
            // The unsegmented header (without sequence and window), then the data.
            uint32_t plain = isRequest ? kRequestHeader : kAckHeader;
            auto *message = static_cast<uint8_t *>(appCalloc(plain + dataLength));
            if (message == nullptr) {
                return errMake(kClassAbort, kAbortReasonBufferOverflow);
            }
            SegmentationSlot &s = *free;
            s = SegmentationSlot{};
            s.peer.network = packet->address.network;
            s.peer.port = packet->address.port;
            s.peer.macLength = packet->address.macLength > 8 ? 8 : packet->address.macLength;
            std::memcpy(s.peer.mac, packet->address.mac, s.peer.macLength);
            s.invokeId = invokeId;
            s.isRequest = isRequest ? 1 : 0;
            s.windowSize = window < proposed ? window : proposed;
            message[0] = static_cast<uint8_t>(apdu[0] & ~(kApduSegmentedMessage | kApduMoreFollows));
            if (isRequest) {
                message[1] = apdu[1];
                message[2] = invokeId;
                message[3] = service;
            } else {
                message[1] = invokeId;
                message[2] = service;
            }
            std::memcpy(message + plain, data, dataLength);
            s.message = message;
            s.totalLength = plain + dataLength;
            s.serviceChoice = service;
            s.timerMs = static_cast<int32_t>(4 * stackSegmentTimeoutMs());
            s.state = kReceiving;
            ack = {true, 0, s.windowSize, false};
            if (!moreFollows) {
                // A single segment is a whole message.
                complete = s.message;
                completeLength = s.totalLength;
                s.message = nullptr;
                releaseSlot(s);
            }
        } else {
            SegmentationSlot &s = *slot;
            if (sequence == static_cast<uint8_t>(s.sequence + 1)) {
                // Segment number sequence is the (sequence + 1)-th: refused
                // once that is more than the device accepts.
                uint64_t grown = uint64_t{s.totalLength} + dataLength;
                if (sequence >= maxSegments || grown > 0xFFFF) {
                    releaseSlot(s);
                    return errMake(kClassAbort, kAbortReasonBufferOverflow);
                }
                auto *bigger = static_cast<uint8_t *>(appCalloc(static_cast<uint32_t>(grown)));
                if (bigger == nullptr) {
                    releaseSlot(s);
                    return errMake(kClassAbort, kAbortReasonBufferOverflow);
                }
                std::memcpy(bigger, s.message, s.totalLength);
                std::memcpy(bigger + s.totalLength, data, dataLength);
                appFree(s.message);
                s.message = bigger;
                s.totalLength = static_cast<uint32_t>(grown);
                s.sequence = sequence;
                s.duplicates = 0;
                if (!moreFollows) {
                    ack = {true, s.sequence, s.windowSize, false};
                    complete = s.message;
                    completeLength = s.totalLength;
                    s.message = nullptr;
                    releaseSlot(s);
                } else {
                    s.timerMs = static_cast<int32_t>(4 * stackSegmentTimeoutMs());
                    if (sequence == static_cast<uint8_t>(s.windowStart + s.windowSize)) {
                        s.windowStart = s.sequence;
                        ack = {true, s.sequence, s.windowSize, false};
                        restartTransaction = !isRequest;
                    }
                }
            } else {
                uint8_t first = static_cast<uint8_t>(s.windowStart + 1);
                bool duplicate = apduSeqDuplicate(sequence, first, s.sequence, s.windowSize);
                if (duplicate && s.duplicates < s.windowSize) {
                    ++s.duplicates;
                    s.timerMs = static_cast<int32_t>(stackSegmentTimeoutMs());
                } else {
                    s.duplicates = 0;
                    s.timerMs = static_cast<int32_t>(4 * stackSegmentTimeoutMs());
                    s.windowStart = s.sequence;
                    ack = {true, s.sequence, s.windowSize, true};
                    restartTransaction = !isRequest;
                }
            }
        }
    }
    if (ack.send) {
        apduSendSegmentAck(packet, invokeId, ack.sequence, ack.window, ack.negative, isRequest);
    }
    if (restartTransaction) {
        tsmRestartTimer(invokeId);
    }
    if (complete != nullptr) {
        deliver(device, packet, complete, completeLength, isRequest);
    }
    return result;
}

void segTick(uint32_t elapsedMs, uint8_t apduRetries) {
    std::vector<uint8_t> failedRequests;
    {
        std::lock_guard lock(slotMutex);
        for (SegmentationSlot &s : slots) {
            if (s.state == kFree || s.state == kResendDue || s.timerMs <= 0) {
                continue;
            }
            int64_t left = int64_t{s.timerMs} - elapsedMs;
            if (left > 0) {
                s.timerMs = static_cast<int32_t>(left);
                continue;
            }
            s.timerMs = 0;
            if (s.state == kReceiving) {
                releaseSlot(s);
                continue;
            }
            if (s.retries < apduRetries) {
                ++s.retries;
                s.state = kResendDue;
                continue;
            }
            if (s.isRequest) {
                failedRequests.push_back(s.invokeId);
            }
            releaseSlot(s);
        }
    }
    for (uint8_t id : failedRequests) {
        tsmTransferFailed(id);
    }
}

void segProcess() {
    std::vector<Frame> frames;
    {
        std::lock_guard lock(slotMutex);
        for (SegmentationSlot &s : slots) {
            if (s.state == kResendDue) {
                s.state = kSending;
                buildWindow(s, &frames);
            }
        }
    }
    sendFrames(frames);
}

void segReset() {
    std::lock_guard lock(slotMutex);
    for (SegmentationSlot &s : slots) {
        releaseSlot(s);
    }
}

int segSlotsInUse() {
    std::lock_guard lock(slotMutex);
    int n = 0;
    for (const SegmentationSlot &s : slots) {
        n += s.state != kFree;
    }
    return n;
}
