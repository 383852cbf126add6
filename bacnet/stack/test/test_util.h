#pragma once
// Builders of requests and readers of replies for the stack's tests.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "bacnet/enums.h"
#include "bacnet/stack/notify.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/tsm.h"
#include "bacnet/tags.h"
#include "harness.h"

namespace tu {

using harness::Bytes;

// Runs a program (no shell) and waits for it; its standard output goes to
// outputFile (or /dev/null), its standard error to /dev/null. Returns its
// exit status, or -1.
inline int run(const std::vector<std::string> &argv, const std::string &outputFile = "") {
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int out =
            open(outputFile.empty() ? "/dev/null" : outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_WRONLY);
        if (out >= 0)
            dup2(out, STDOUT_FILENO);
        if (null >= 0)
            dup2(null, STDERR_FILENO);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The whole text of a file, and its lines.
inline std::string fileText(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
inline std::vector<std::string> fileLines(const std::string &path) {
    std::vector<std::string> lines;
    std::istringstream in(fileText(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

inline Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A context tag holding an unsigned value in minimal length.
inline Bytes ctxUnsigned(uint8_t tag, uint32_t v) {
    Bytes out;
    Bytes value;
    if (v > 0xFFFFFF)
        value.push_back(static_cast<uint8_t>(v >> 24));
    if (v > 0xFFFF)
        value.push_back(static_cast<uint8_t>(v >> 16));
    if (v > 0xFF)
        value.push_back(static_cast<uint8_t>(v >> 8));
    value.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(tag << 4 | 0x08 | value.size()));
    return cat(out, value);
}

inline Bytes ctxObjectId(uint8_t tag, uint32_t id) {
    return Bytes{static_cast<uint8_t>(tag << 4 | 0x0C), static_cast<uint8_t>(id >> 24),
                 static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
}

inline constexpr uint32_t kNone = 0xFFFFFFFFu;

inline uint32_t deviceObjectId(uint32_t instance) {
    return objectIdMake(kObjDevice, instance);
}

// An analog input of the test application.
inline uint32_t analogInput(uint32_t instance) {
    return objectIdMake(kObjAnalogInput, instance);
}

// A property identifier that no object of the test application has.
inline constexpr uint32_t kUnknownProperty = 9999;

// ReadProperty request APDU.
inline Bytes rp(uint8_t invokeId, uint32_t objectId, uint32_t property, uint32_t index = kNone,
                uint8_t maxOctet = 0x05) {
    Bytes apdu{apduFirstOctet(kPduConfirmedRequest), maxOctet, invokeId, kSvcReadProperty};
    apdu = cat(apdu, ctxObjectId(0, objectId));
    apdu = cat(apdu, ctxUnsigned(1, property));
    if (index != kNone)
        apdu = cat(apdu, ctxUnsigned(2, index));
    return apdu;
}

struct Ref {
    uint32_t property;
    uint32_t index = kNone;
};

struct AccessSpec {
    uint32_t objectId;
    std::vector<Ref> refs;
};

// ReadPropertyMultiple request APDU.
inline Bytes rpm(uint8_t invokeId, const std::vector<AccessSpec> &specs, uint8_t flags = 0x00,
                 uint8_t maxOctet = 0x05) {
    Bytes apdu{flags, maxOctet, invokeId, kSvcReadPropertyMultiple};
    for (const AccessSpec &s : specs) {
        apdu = cat(apdu, ctxObjectId(0, s.objectId));
        apdu.push_back(0x1E);
        for (const Ref &r : s.refs) {
            apdu = cat(apdu, ctxUnsigned(0, r.property));
            if (r.index != kNone)
                apdu = cat(apdu, ctxUnsigned(1, r.index));
        }
        apdu.push_back(0x1F);
    }
    return apdu;
}

// An NPDU to the root device from a local client, expecting a reply.
inline Bytes local(const Bytes &apdu, bool expectingReply = true) {
    return cat(Bytes{0x01, static_cast<uint8_t>(expectingReply ? 0x04 : 0x00)}, apdu);
}

// An NPDU to a virtual device by DNET/DADR.
inline Bytes toVirtual(uint16_t vnet, uint32_t instance, const Bytes &apdu) {
    Bytes npdu{0x01,
               0x24,
               static_cast<uint8_t>(vnet >> 8),
               static_cast<uint8_t>(vnet),
               6,
               0,
               0,
               0,
               static_cast<uint8_t>(instance >> 16),
               static_cast<uint8_t>(instance >> 8),
               static_cast<uint8_t>(instance),
               0xFF};
    return cat(npdu, apdu);
}

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

inline std::string hex(const Bytes &b) {
    static const char *digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < b.size(); ++i) {
        if (i)
            s += ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

// One result of a ReadPropertyMultiple-ACK.
struct RpmResult {
    uint32_t objectId = 0;
    uint32_t property = 0;
    bool hasIndex = false;
    uint32_t index = 0;
    bool ok = false;
    uint32_t errorClass = 0;
    uint32_t errorCode = 0;
    Bytes value;  // the octets between the opening and closing tag
};

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

// Compares what the stack sent with its record in test/golden/NAME of the
// sources, so that a rework of the stack shows any octet it changed. With
// BACNET_RECORD set in the environment the record is written instead.
inline void expectAsRecorded(const std::string &text, const std::string &name) {
    const char *root = std::getenv("METER_SOURCE_DIR");
    ASSERT_NE(root, nullptr) << "METER_SOURCE_DIR is not set";
    const std::string path = std::string(root) + "/bacnet/stack/test/golden/" + name;
    if (std::getenv("BACNET_RECORD") != nullptr) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        EXPECT_TRUE(out.good()) << "cannot write " << path;
        return;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in.good()) << "cannot open " << path;
    const std::string recorded{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(text, recorded) << "differs from " << path;
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
