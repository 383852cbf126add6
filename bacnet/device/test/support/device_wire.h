#pragma once
// The device services as a client writes and reads them on the wire:
// Who-Has, SubscribeCOV, GetEventInformation, DeviceCommunicationControl and
// ReinitializeDevice requests; I-Have, COV notifications, GetEventInformation
// answers and active-cov-subscriptions lists read back. Built on the
// end-to-end client's own wire code (e2e_wire.h), nothing of the stack.

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "e2e_wire.h"

namespace devwire {

using e2e::Bytes;
using e2e::cat;

// A context tag holding a character string (character set 0).
inline Bytes ctxText(uint8_t number, const std::string &text) {
    const Bytes content = cat(Bytes{0x00}, Bytes(text.begin(), text.end()));
    return cat(e2e::tagHeader(number, true, static_cast<uint32_t>(content.size())), content);
}

// ---- requests (APDUs) ----

inline Bytes whoHasName(const std::string &name) {
    return cat(Bytes{kPduUnconfirmedRequest << 4, kSvcWhoHas}, ctxText(3, name));
}

inline Bytes whoHasId(uint32_t objectId) {
    return cat(Bytes{kPduUnconfirmedRequest << 4, kSvcWhoHas}, e2e::ctxObjectId(2, objectId));
}

// SubscribeCOV: a cancellation when `confirmed` is not given.
inline Bytes subscribeCov(uint8_t invokeId, uint32_t processId, uint32_t objectId,
                          std::optional<bool> confirmed = std::nullopt,
                          std::optional<uint32_t> lifetime = std::nullopt) {
    Bytes apdu = e2e::confirmedHeader(0, 0x05, invokeId, kSvcSubscribeCov);
    apdu = cat(apdu, e2e::ctxUnsigned(0, processId));
    apdu = cat(apdu, e2e::ctxObjectId(1, objectId));
    if (confirmed) {
        apdu = cat(apdu, Bytes{0x29, static_cast<uint8_t>(*confirmed ? 1 : 0)});
        if (lifetime) {
            apdu = cat(apdu, e2e::ctxUnsigned(3, *lifetime));
        }
    }
    return apdu;
}

// GetEventInformation, maybe with the last object received. maxOctet 0x03
// takes 480 octets; flags 0 asks for no segmented answer.
inline Bytes getEventInformation(uint8_t invokeId, std::optional<uint32_t> last = std::nullopt,
                                 uint8_t maxOctet = 0x05, uint8_t flags = 0) {
    Bytes apdu = e2e::confirmedHeader(flags, maxOctet, invokeId, kSvcGetEventInformation);
    return last ? cat(apdu, e2e::ctxObjectId(0, *last)) : apdu;
}

inline Bytes deviceCommunicationControl(uint8_t invokeId, uint32_t state, std::optional<uint32_t> minutes,
                                        std::optional<std::string> password) {
    Bytes apdu = e2e::confirmedHeader(0, 0x05, invokeId, kSvcDeviceCommunicationControl);
    if (minutes) {
        apdu = cat(apdu, e2e::ctxUnsigned(0, *minutes));
    }
    apdu = cat(apdu, e2e::ctxUnsigned(1, state));
    return password ? cat(apdu, ctxText(2, *password)) : apdu;
}

inline Bytes reinitializeDevice(uint8_t invokeId, uint32_t state, std::optional<std::string> password) {
    Bytes apdu = e2e::confirmedHeader(0, 0x05, invokeId, kSvcReinitializeDevice);
    apdu = cat(apdu, e2e::ctxUnsigned(0, state));
    return password ? cat(apdu, ctxText(1, *password)) : apdu;
}

// A WriteProperty request of one encoded value.
inline Bytes writeProperty(uint8_t invokeId, uint32_t objectId, uint32_t property, const Bytes &value) {
    Bytes apdu = e2e::confirmedHeader(0, 0x05, invokeId, kSvcWriteProperty);
    apdu = cat(apdu, e2e::ctxObjectId(0, objectId));
    apdu = cat(apdu, e2e::ctxUnsigned(1, property));
    return cat(cat(apdu, Bytes{0x3E}), cat(value, Bytes{0x3F}));
}

// Application-tagged REAL and Double.
inline Bytes real(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return Bytes{0x44, static_cast<uint8_t>(u >> 24), static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 8),
                 static_cast<uint8_t>(u)};
}
inline Bytes dbl(double d) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    Bytes out{0x55, 0x08};
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(u >> shift));
    return out;
}

// A recipient-list of one destination: a device, every day, all day,
// process 7, unconfirmed, every transition.
inline Bytes recipientList(uint32_t device) {
    Bytes d{0x82, 0x01, 0xFE,                // valid days: all seven
            0xB4, 0x00, 0x00, 0x00, 0x00,    // from 00:00:00.00
            0xB4, 0x17, 0x3B, 0x3B, 0x63};   // to 23:59:59.99
    d = cat(d, e2e::ctxObjectId(0, e2e::deviceObjectId(device)));  // recipient: a device
    return cat(d, Bytes{0x21, 0x07, 0x10, 0x82, 0x05, 0xE0});
}

// ---- reading ----

// One tag of a value with how deep it sits among opening tags.
struct Node {
    int depth = 0;
    e2e::Tag tag;
    Bytes content;
    uint32_t number() const {
        uint32_t v = 0;
        for (uint8_t o : content)
            v = v << 8 | o;
        return v;
    }
};

// Every tag of a run of octets; empty when it does not parse or the
// opening and closing tags do not pair.
inline std::vector<Node> tags(const Bytes &data) {
    std::vector<Node> out;
    const uint8_t *p = data.data();
    const uint8_t *const end = p + data.size();
    int depth = 0;
    while (p < end) {
        Node n;
        if (!e2e::readTag(p, end, &n.tag))
            return {};
        if (n.tag.closing && --depth < 0)
            return {};
        n.depth = depth;
        if (!n.tag.context && n.tag.number == kTagBoolean)
            n.content = Bytes{static_cast<uint8_t>(p[0] & 0x07)};
        else
            n.content.assign(p + n.tag.headerSize, p + n.tag.headerSize + n.tag.length);
        if (n.tag.opening)
            ++depth;
        p += n.tag.headerSize + n.tag.length;
        out.push_back(n);
    }
    return depth == 0 ? out : std::vector<Node>{};
}

struct IHave {
    uint32_t device = 0;
    uint32_t objectId = 0;
    std::string name;
};

// An I-Have APDU, or nothing for any other APDU.
inline std::optional<IHave> readIHave(const Bytes &apdu) {
    if (apdu.size() < 2 || apdu[0] != (kPduUnconfirmedRequest << 4) || apdu[1] != kSvcIHave)
        return std::nullopt;
    const auto t = tags(Bytes(apdu.begin() + 2, apdu.end()));
    if (t.size() != 3 || t[0].tag.number != kTagObjectIdentifier || t[1].tag.number != kTagObjectIdentifier ||
        t[2].tag.number != kTagCharacterString || t[2].content.empty() || t[2].content[0] != 0)
        return std::nullopt;
    return IHave{t[0].number(), t[1].number(), std::string(t[2].content.begin() + 1, t[2].content.end())};
}

struct EventSummaryRead {
    uint32_t objectId = 0;
    uint32_t eventState = 0;
    std::vector<uint32_t> priorities;
};

struct EventInformation {
    std::vector<EventSummaryRead> summaries;
    bool moreEvents = false;
};

// The service data of a GetEventInformation-ACK (after the service choice).
inline std::optional<EventInformation> readEventInformation(const Bytes &data) {
    const auto t = tags(data);
    if (t.size() < 3 || !t.front().tag.opening || t.front().tag.number != 0)
        return std::nullopt;
    EventInformation out;
    for (size_t i = 1; i < t.size(); ++i) {
        const Node &n = t[i];
        if (n.depth == 1 && n.tag.context && n.tag.number == 0 && !n.tag.opening && !n.tag.closing)
            out.summaries.push_back({n.number(), 0, {}});
        else if (n.depth == 1 && n.tag.context && n.tag.number == 1 && !out.summaries.empty())
            out.summaries.back().eventState = n.number();
        else if (n.depth == 2 && !n.tag.context && n.tag.number == kTagUnsigned && !out.summaries.empty())
            out.summaries.back().priorities.push_back(n.number());
        else if (n.depth == 0 && n.tag.context && n.tag.number == 1 && !n.tag.opening && !n.tag.closing)
            out.moreEvents = n.number() != 0;
    }
    return out;
}

struct CovNotification {
    bool confirmed = false;
    uint32_t processId = 0;
    uint32_t device = 0;
    uint32_t objectId = 0;
    uint32_t timeRemaining = 0;
    std::vector<uint32_t> properties;
    Bytes presentValue;  // the encoded value reported for present-value
};

// A confirmed or unconfirmed COVNotification APDU, or nothing.
inline std::optional<CovNotification> readCovNotification(const Bytes &apdu) {
    CovNotification out;
    size_t start = 0;
    if (apdu.size() >= 4 && (apdu[0] >> 4) == kPduConfirmedRequest && apdu[3] == kSvcConfirmedCovNotification &&
        !(apdu[0] & 0x08)) {
        out.confirmed = true;
        start = 4;
    } else if (apdu.size() >= 2 && apdu[0] == (kPduUnconfirmedRequest << 4) &&
               apdu[1] == kSvcUnconfirmedCovNotification) {
        start = 2;
    } else {
        return std::nullopt;
    }
    const auto t = tags(Bytes(apdu.begin() + static_cast<std::ptrdiff_t>(start), apdu.end()));
    if (t.size() < 5)
        return std::nullopt;
    out.processId = t[0].number();
    out.device = t[1].number();
    out.objectId = t[2].number();
    out.timeRemaining = t[3].number();
    for (const Node &n : t) {
        if (n.depth == 1 && n.tag.context && n.tag.number == 0 && !n.tag.opening && !n.tag.closing)
            out.properties.push_back(n.number());
        else if (n.depth == 2 && !n.tag.opening && !n.tag.closing && !out.properties.empty() &&
                 out.properties.back() == kPropPresentValue && out.presentValue.empty())
            out.presentValue = n.content;
    }
    return out;
}

struct CovSubscriptionRead {
    uint16_t network = 0;
    Bytes mac;
    uint32_t processId = 0;
    uint32_t objectId = 0;
    uint32_t property = 0;
    bool confirmed = false;
    uint32_t timeRemaining = 0;
};

// The value of active-cov-subscriptions (between the opening and closing
// tag of the property value).
inline std::optional<std::vector<CovSubscriptionRead>> readCovSubscriptions(const Bytes &value) {
    const auto t = tags(value);
    if (t.empty() && !value.empty())
        return std::nullopt;
    std::vector<CovSubscriptionRead> out;
    int field = -1;  // the outer field being read: 0 recipient, 1 reference
    for (const Node &n : t) {
        const bool primitive = !n.tag.opening && !n.tag.closing;
        if (n.depth == 0 && n.tag.opening) {
            field = n.tag.number;
            if (field == 0)
                out.emplace_back();
            continue;
        }
        if (out.empty() || !primitive)
            continue;
        CovSubscriptionRead &s = out.back();
        if (n.depth == 0 && n.tag.context && n.tag.number == 2)
            s.confirmed = n.number() != 0;
        else if (n.depth == 0 && n.tag.context && n.tag.number == 3)
            s.timeRemaining = n.number();
        else if (field == 0 && n.depth == 1 && n.tag.context && n.tag.number == 1)
            s.processId = n.number();
        else if (field == 0 && n.depth == 3 && n.tag.number == kTagUnsigned)
            s.network = static_cast<uint16_t>(n.number());
        else if (field == 0 && n.depth == 3 && n.tag.number == kTagOctetString)
            s.mac = n.content;
        else if (field == 1 && n.depth == 1 && n.tag.number == 0)
            s.objectId = n.number();
        else if (field == 1 && n.depth == 1 && n.tag.number == 1)
            s.property = n.number();
    }
    return out;
}

}  // namespace devwire
