#pragma once
// Builders of requests and readers of replies for the stack's tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bacnet/enums.h"
#include "bacnet/stack/notify.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/tsm.h"
#include "bacnet/tags.h"
#include "e2e_wire.h"
#include "harness.h"
#include "test_process.h"

namespace tu {

using harness::Bytes;

// The requests and the octet helpers are the end-to-end client's: written
// from the wire format, apart from the stack.
using e2e::AccessSpec;
using e2e::analogInput;
using e2e::cat;
using e2e::ctxObjectId;
using e2e::ctxUnsigned;
using e2e::deviceObjectId;
using e2e::hex;
using e2e::kNone;
using e2e::kUnknownProperty;
using e2e::local;
using e2e::Ref;
using e2e::rp;
using e2e::rpm;
using e2e::toVirtual;

// The NPDU of a B/IP datagram (Original-Unicast or -Broadcast).
inline Bytes npduOf(const harness::Datagram &d) {
    if (d.data.size() < 4)
        return {};
    return Bytes(d.data.begin() + 4, d.data.end());
}

// The APDU of a datagram, or empty when its NPDU does not parse.
inline Bytes apduOf(const harness::Datagram &d) {
    Bytes npdu = npduOf(d);
    NpduHeader h;
    if (!npduParseHeader(npdu.data(), static_cast<uint32_t>(npdu.size()), &h))
        return {};
    return Bytes(npdu.begin() + h.headerLength, npdu.end());
}

using e2e::RpmResult;

// Reads the unsigned value of the tag at p (whose header is h).
inline uint32_t tagUnsigned(const uint8_t *p, const TagHeader &h) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < h.length; ++i)
        v = v << 8 | p[h.headerSize + i];
    return v;
}

// Parses the service data of a ReadPropertyMultiple-ACK (after 30 id 0E).
// Returns false when the encoding is not well formed.
inline bool parseRpmAck(const Bytes &data, std::vector<RpmResult> *out) {
    const uint8_t *p = data.data();
    const uint8_t *end = p + data.size();
    TagHeader h;
    while (p < end) {
        if (!tagDecodeHeader(p, end, &h) || !h.context || h.number != 0 || h.length != 4)
            return false;
        uint32_t objectId = tagUnsigned(p, h);
        p += h.headerSize + h.length;
        if (p >= end || *p != 0x1E)
            return false;
        ++p;
        while (p < end && *p != 0x1F) {
            RpmResult r;
            r.objectId = objectId;
            if (!tagDecodeHeader(p, end, &h) || !h.context || h.number != 2)
                return false;
            r.property = tagUnsigned(p, h);
            p += h.headerSize + h.length;
            if (!tagDecodeHeader(p, end, &h))
                return false;
            if (h.context && h.number == 3 && !h.opening) {
                r.hasIndex = true;
                r.index = tagUnsigned(p, h);
                p += h.headerSize + h.length;
            }
            if (p >= end || (*p != 0x4E && *p != 0x5E))
                return false;
            bool ok = *p == 0x4E;
            uint8_t closing = ok ? 0x4F : 0x5F;
            ++p;
            const uint8_t *start = p;
            int depth = 0;
            while (p < end && !(depth == 0 && *p == closing)) {
                if (!tagDecodeHeader(p, end, &h))
                    return false;
                if (h.opening) {
                    ++depth;
                } else if (h.closing) {
                    --depth;
                }
                p += h.headerSize + h.length;
            }
            if (p >= end)
                return false;
            r.ok = ok;
            r.value.assign(start, p);
            if (!ok) {
                const uint8_t *q = start;
                const uint8_t *qend = p;
                if (!tagDecodeHeader(q, qend, &h))
                    return false;
                r.errorClass = tagUnsigned(q, h);
                q += h.headerSize + h.length;
                if (!tagDecodeHeader(q, qend, &h))
                    return false;
                r.errorCode = tagUnsigned(q, h);
            }
            ++p;
            out->push_back(r);
        }
        if (p >= end)
            return false;
        ++p;
    }
    return true;
}

// Packets free in the pool, over all its classes.
inline uint32_t freePackets() {
    uint32_t n = 0;
    for (int c = 0; c < kPoolClasses; ++c)
        n += poolFreeCount(c);
    return n;
}

// The one reply to a request, as its APDU ("" when there was none).
inline std::string answer(harness::Stack &stack, const Bytes &npdu) {
    auto r = stack.request(npdu);
    if (r.empty())
        return "";
    EXPECT_EQ(r.size(), 1u);
    return hex(apduOf(r[0]));
}

// The address of the tests' client (harness::kClient, port 47808).
inline BACnetAddress clientPeer() {
    BACnetAddress peer{};
    peer.port = kPortBip;
    peer.macLength = 6;
    const uint8_t mac[6] = {harness::kClient[0], harness::kClient[1], harness::kClient[2], harness::kClient[3],
                            0xBA, 0xC0};
    std::copy(mac, mac + 6, peer.mac);
    return peer;
}

// An EventNotification of device 100 about analog input 1 (notification
// class 1, to-state high-limit, or normal for an acknowledgement).
inline EventNotificationData sampleEvent(uint16_t type, uint8_t notifyType, uint8_t priority) {
    EventNotificationData d{};
    d.processId = 1;
    d.initiatingDevice = 100;
    d.eventObject = analogInput(1);
    d.notificationClass = 1;
    d.timeStamp = BACnetTimeStamp{kTimeStampDateTime, 0, {12, 30, 15, 0}, {126, 12, 10, 4}};
    d.eventType = type;
    d.fromState = 0;
    d.toState = notifyType == kNotifyAckNotification ? 0 : 3;
    d.notifyType = notifyType;
    d.priority = priority;
    d.ackRequired = 1;
    return d;
}

// Sends a confirmed request of the stack (service data none) to the client
// through the transaction table. Returns its invoke id, or -1.
inline int sendStoredRequest(uint8_t service, RequestCompletion *done) {
    int id = tsmAllocInvokeId(service, done);
    if (id < 0)
        return -1;
    BACnetAddress peer = clientPeer();
    PduBuffer b;
    const uint8_t apdu[] = {0x00, 0x05, static_cast<uint8_t>(id), service};
    bool ok = pduInit(&b) == 0 && pduWriteNpduHeader(&b, &peer, true) == 0 &&
              pduAppendBytes(&b, sizeof apdu, apdu) == 0 && tsmStoreAndSend(&peer, &b, id) == 0;
    pduFree(&b);
    return ok ? id : -1;
}

}  // namespace tu
