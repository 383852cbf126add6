#pragma once
// The end-to-end client's own view of the BACnet wire: BVLL and NPDU headers,
// tags, the requests it sends and the ReadPropertyMultiple-ACK it reads. It
// uses nothing of the stack or the codec but their protocol constants, so a
// fault they share cannot hide itself from the end-to-end tests.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bacnet/enums.h"

namespace e2e {

using Bytes = std::vector<uint8_t>;

inline Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Octets as upper-case hex pairs separated by blanks.
inline std::string hex(const Bytes &b) {
    std::string s;
    for (uint8_t octet : b) {
        if (!s.empty())
            s += ' ';
        s += "0123456789ABCDEF"[octet >> 4];
        s += "0123456789ABCDEF"[octet & 0x0F];
    }
    return s;
}

// ---- Writing ----------------------------------------------------------------

// A tag's initial octets: number (extended from 15 on), class and length
// (extended from 5 on).
inline Bytes tagHeader(uint8_t number, bool context, uint32_t length) {
    Bytes out;
    uint8_t first = static_cast<uint8_t>((number < 15 ? number : 15) << 4 | (context ? 0x08 : 0x00));
    if (length < 5) {
        out.push_back(static_cast<uint8_t>(first | length));
    } else {
        out.push_back(static_cast<uint8_t>(first | 5));
    }
    if (number >= 15)
        out.push_back(number);
    if (length >= 5) {
        if (length < 254) {
            out.push_back(static_cast<uint8_t>(length));
        } else if (length <= 0xFFFF) {
            out.insert(out.end(), {254, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
        } else {
            out.insert(out.end(), {255, static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                                   static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
        }
    }
    return out;
}

inline Bytes openingTag(uint8_t number) {
    return Bytes{static_cast<uint8_t>(number << 4 | 0x0E)};
}
inline Bytes closingTag(uint8_t number) {
    return Bytes{static_cast<uint8_t>(number << 4 | 0x0F)};
}

// A context tag holding an unsigned value in as few octets as it needs.
inline Bytes ctxUnsigned(uint8_t number, uint32_t value) {
    Bytes content;
    for (int shift = 24; shift > 0; shift -= 8) {
        if (!content.empty() || (value >> shift) != 0)
            content.push_back(static_cast<uint8_t>(value >> shift));
    }
    content.push_back(static_cast<uint8_t>(value));
    return cat(tagHeader(number, true, static_cast<uint32_t>(content.size())), content);
}

inline Bytes ctxObjectId(uint8_t number, uint32_t objectId) {
    return cat(tagHeader(number, true, 4), Bytes{static_cast<uint8_t>(objectId >> 24), static_cast<uint8_t>(objectId >> 16),
                                              static_cast<uint8_t>(objectId >> 8), static_cast<uint8_t>(objectId)});
}

// An object identifier: type in the upper 10 bits, instance in the lower 22.
inline constexpr uint32_t objectId(uint32_t type, uint32_t instance) {
    return (type & 0x3FF) << 22 | (instance & 0x3FFFFF);
}
inline constexpr uint32_t deviceObjectId(uint32_t instance) {
    return objectId(kObjDevice, instance);
}
// An analog input of bacnet-testd.
inline constexpr uint32_t analogInput(uint32_t instance) {
    return objectId(kObjAnalogInput, instance);
}
// The device instance that stands for any device in a request.
inline constexpr uint32_t kAnyDevice = objectId(kObjDevice, 0x3FFFFF);

inline constexpr uint32_t kNone = 0xFFFFFFFFu;

// A property identifier that no object of bacnet-testd has.
inline constexpr uint32_t kUnknownProperty = 9999;

// The header of a confirmed request APDU (segmented responses accepted when
// `flags` says so).
inline Bytes confirmedHeader(uint8_t flags, uint8_t maxOctet, uint8_t invokeId, uint8_t service) {
    return Bytes{static_cast<uint8_t>(kPduConfirmedRequest << 4 | flags), maxOctet, invokeId, service};
}

// ReadProperty request APDU.
inline Bytes rp(uint8_t invokeId, uint32_t object, uint32_t property, uint32_t index = kNone,
                uint8_t maxOctet = 0x05) {
    Bytes apdu = confirmedHeader(0, maxOctet, invokeId, kSvcReadProperty);
    apdu = cat(apdu, ctxObjectId(0, object));
    apdu = cat(apdu, ctxUnsigned(1, property));
    return index == kNone ? apdu : cat(apdu, ctxUnsigned(2, index));
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
    Bytes apdu = confirmedHeader(flags, maxOctet, invokeId, kSvcReadPropertyMultiple);
    for (const AccessSpec &access : specs) {
        apdu = cat(apdu, ctxObjectId(0, access.objectId));
        apdu = cat(apdu, openingTag(1));
        for (const Ref &ref : access.refs) {
            apdu = cat(apdu, ctxUnsigned(0, ref.property));
            if (ref.index != kNone)
                apdu = cat(apdu, ctxUnsigned(1, ref.index));
        }
        apdu = cat(apdu, closingTag(1));
    }
    return apdu;
}

// NPDU control octet bits.
inline constexpr uint8_t kNetworkMessage = 0x80;
inline constexpr uint8_t kHasDestination = 0x20;
inline constexpr uint8_t kHasSource = 0x08;
inline constexpr uint8_t kExpectingReply = 0x04;

// An NPDU to the device on the local network.
inline Bytes local(const Bytes &apdu, bool expectingReply = true) {
    return cat(Bytes{0x01, expectingReply ? kExpectingReply : uint8_t{0}}, apdu);
}

// An NPDU to a virtual device behind network `vnet`, its MAC address the
// six-octet form of its instance, expecting a reply, hop count 255.
inline Bytes toVirtual(uint16_t vnet, uint32_t instance, const Bytes &apdu) {
    Bytes npdu{0x01, static_cast<uint8_t>(kHasDestination | kExpectingReply), static_cast<uint8_t>(vnet >> 8),
               static_cast<uint8_t>(vnet), 6};
    const Bytes mac{0, 0, 0, static_cast<uint8_t>(instance >> 16), static_cast<uint8_t>(instance >> 8),
                    static_cast<uint8_t>(instance)};
    npdu = cat(npdu, mac);
    npdu.push_back(255);
    return cat(npdu, apdu);
}

// A B/IP (Annex J) message of a function around an NPDU.
inline Bytes bvll(uint8_t function, const Bytes &npdu) {
    const size_t length = npdu.size() + 4;
    return cat(Bytes{kBvllTypeBip, function, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)},
               npdu);
}

// A B/IPv6 (Annex U) message of a function around its fields.
inline Bytes bvll6(uint8_t function, const Bytes &fields) {
    const size_t length = fields.size() + 4;
    return cat(Bytes{kBvllTypeBipv6, function, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)},
               fields);
}

// ---- Reading ----------------------------------------------------------------

// The NPDU of a B/IP datagram: empty unless it is a well-formed
// Original-Unicast-NPDU, Original-Broadcast-NPDU or Forwarded-NPDU whose
// length field matches the datagram.
inline Bytes npduOf(const Bytes &datagram) {
    if (datagram.size() < 4 || datagram[0] != kBvllTypeBip)
        return {};
    if ((size_t{datagram[2]} << 8 | datagram[3]) != datagram.size())
        return {};
    size_t header = 0;
    switch (datagram[1]) {
    case 0x0A:  // Original-Unicast-NPDU
    case 0x0B:  // Original-Broadcast-NPDU
        header = 4;
        break;
    case 0x04:  // Forwarded-NPDU: the original source's address and port
        header = 10;
        break;
    default:
        return {};
    }
    if (datagram.size() < header)
        return {};
    return Bytes(datagram.begin() + static_cast<std::ptrdiff_t>(header), datagram.end());
}

// What an NPDU's header says.
struct Npdu {
    uint8_t control = 0;
    bool hasDnet = false;
    uint16_t dnet = 0;
    Bytes dadr;
    bool hasSnet = false;
    uint16_t snet = 0;
    Bytes sadr;
    uint8_t hopCount = 0;
    bool networkMessage = false;
    uint8_t messageType = 0;
    size_t headerLength = 0;  // up to the APDU or the network message's data
};

// Reads an NPDU's header; false when it is cut short or not well formed
// (version other than 1, reserved control bits set, a source with no
// address or on the global broadcast network).
inline bool parseNpdu(const Bytes &npdu, Npdu *out) {
    Npdu h;
    size_t at = 0;
    auto take = [&](size_t n) { return at <= npdu.size() && npdu.size() - at >= n; };
    auto u16 = [&] {
        uint16_t v = static_cast<uint16_t>(npdu[at] << 8 | npdu[at + 1]);
        at += 2;
        return v;
    };
    if (!take(2) || npdu[0] != 0x01)
        return false;
    h.control = npdu[1];
    at = 2;
    if (h.control & 0x50)
        return false;
    h.networkMessage = (h.control & kNetworkMessage) != 0;
    h.hasDnet = (h.control & kHasDestination) != 0;
    h.hasSnet = (h.control & kHasSource) != 0;
    // A network number, a length and a MAC address of that length.
    auto address = [&](uint16_t *net, Bytes *mac) {
        if (!take(3))
            return false;
        *net = u16();
        const size_t length = npdu[at++];
        if (!take(length))
            return false;
        mac->assign(npdu.begin() + static_cast<std::ptrdiff_t>(at),
                    npdu.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
        return true;
    };
    if (h.hasDnet && !address(&h.dnet, &h.dadr))
        return false;
    if (h.hasSnet && (!address(&h.snet, &h.sadr) || h.snet == 0xFFFF || h.sadr.empty()))
        return false;
    if (h.hasDnet) {
        if (!take(1))
            return false;
        h.hopCount = npdu[at++];
    }
    if (h.networkMessage) {
        if (!take(1))
            return false;
        h.messageType = npdu[at++];
        if (h.messageType >= 0x80) {  // proprietary: a vendor identifier follows
            if (!take(2))
                return false;
            at += 2;
        }
    }
    h.headerLength = at;
    *out = h;
    return true;
}

// The APDU of a B/IP datagram; empty when the datagram carries none (a
// network layer message) or does not parse.
inline Bytes apduOf(const Bytes &datagram) {
    Bytes npdu = npduOf(datagram);
    Npdu h;
    if (!parseNpdu(npdu, &h) || h.networkMessage)
        return {};
    return Bytes(npdu.begin() + static_cast<std::ptrdiff_t>(h.headerLength), npdu.end());
}

// A tag as it stands on the wire.
struct Tag {
    uint8_t number = 0;
    bool context = false;
    bool opening = false;
    bool closing = false;
    uint32_t length = 0;  // content octets (0 for a Boolean, whose value is in the tag)
    size_t headerSize = 0;
};

// Reads the tag at p; false when it runs past end or is not well formed.
inline bool readTag(const uint8_t *p, const uint8_t *end, Tag *out) {
    if (p >= end)
        return false;
    const size_t room = static_cast<size_t>(end - p);
    Tag t;
    size_t at = 1;
    t.number = p[0] >> 4;
    t.context = (p[0] & 0x08) != 0;
    const uint8_t lvt = p[0] & 0x07;
    if (t.number == 15) {
        if (room < 2)
            return false;
        t.number = p[at++];
    }
    if (t.context && (lvt == 6 || lvt == 7)) {
        t.opening = lvt == 6;
        t.closing = lvt == 7;
    } else if (!t.context && t.number == kTagBoolean) {
        if (lvt > 1)
            return false;
    } else if (lvt < 5) {
        t.length = lvt;
    } else if (lvt == 5) {
        if (room < at + 1)
            return false;
        const uint8_t first = p[at++];
        size_t extra = first == 254 ? 2 : first == 255 ? 4 : 0;
        if (room < at + extra)
            return false;
        if (extra == 0) {
            t.length = first;
        } else {
            for (size_t i = 0; i < extra; ++i)
                t.length = t.length << 8 | p[at++];
        }
    } else {
        return false;  // 6 and 7 open and close context tags only
    }
    t.headerSize = at;
    if (room - at < t.length)
        return false;
    *out = t;
    return true;
}

// The unsigned (or enumerated, or object identifier) value of the tag at p.
inline uint32_t tagUnsigned(const uint8_t *p, const Tag &t) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < t.length; ++i)
        v = v << 8 | p[t.headerSize + i];
    return v;
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

// Reads the service data of a ReadPropertyMultiple-ACK (what follows its
// service choice): per object an identifier [0] and results [1], each a
// property [2], maybe an index [3], and a value [4] or an error [5].
// False when it is not well formed.
inline bool readRpmAck(const Bytes &data, std::vector<RpmResult> *out) {
    const uint8_t *p = data.data();
    const uint8_t *const end = p + data.size();
    Tag t;
    auto isContext = [&](uint8_t number) { return t.context && !t.opening && !t.closing && t.number == number; };
    while (p < end) {
        if (!readTag(p, end, &t) || !isContext(0) || t.length != 4)
            return false;
        const uint32_t object = tagUnsigned(p, t);
        p += t.headerSize + t.length;
        if (!readTag(p, end, &t) || !t.opening || t.number != 1)
            return false;
        p += t.headerSize;
        for (;;) {
            if (!readTag(p, end, &t))
                return false;
            if (t.closing && t.number == 1) {
                p += t.headerSize;
                break;
            }
            RpmResult r;
            r.objectId = object;
            if (!isContext(2) || t.length < 1 || t.length > 4)
                return false;
            r.property = tagUnsigned(p, t);
            p += t.headerSize + t.length;
            if (!readTag(p, end, &t))
                return false;
            if (isContext(3)) {
                r.hasIndex = true;
                r.index = tagUnsigned(p, t);
                p += t.headerSize + t.length;
                if (!readTag(p, end, &t))
                    return false;
            }
            if (!t.opening || (t.number != 4 && t.number != 5))
                return false;
            r.ok = t.number == 4;
            const uint8_t outer = t.number;
            p += t.headerSize;
            const uint8_t *const start = p;
            // Up to the closing tag that matches, through constructed values.
            std::vector<uint8_t> open;
            for (;;) {
                if (!readTag(p, end, &t))
                    return false;
                if (t.closing) {
                    if (open.empty()) {
                        if (t.number != outer)
                            return false;
                        break;
                    }
                    if (open.back() != t.number)
                        return false;
                    open.pop_back();
                } else if (t.opening) {
                    open.push_back(t.number);
                }
                p += t.headerSize + t.length;
            }
            r.value.assign(start, p);
            p += t.headerSize;
            if (!r.ok) {
                // Error class, then error code, both enumerated.
                const uint8_t *q = start;
                const uint8_t *const qend = start + r.value.size();
                for (uint32_t *field : {&r.errorClass, &r.errorCode}) {
                    if (!readTag(q, qend, &t) || t.context || t.number != kTagEnumerated)
                        return false;
                    *field = tagUnsigned(q, t);
                    q += t.headerSize + t.length;
                }
            }
            out->push_back(r);
        }
    }
    return true;
}

}  // namespace e2e
