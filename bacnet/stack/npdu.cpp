#include "bacnet/stack/npdu.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>

#include "bacnet/enums.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/stack.h"

namespace {

constexpr uint8_t kMaxHeader = 2 + 3 + 8 + 3 + 8 + 1;

// The router answers What-Is-Network-Number and announces a configured
// network number this many seconds after the question or its start, unless
// another device answered first.
constexpr uint16_t kNetworkNumberDelay = 9;
constexpr uint16_t kCountdownIdle = 255;
// The flag of a Network-Number-Is: the number was learned, or configured.
constexpr uint8_t kNetworkNumberLearned = 0;
constexpr uint8_t kNetworkNumberConfigured = 1;
// The network field of the Reject-Message-To-Network for an unknown message
// type.
constexpr uint16_t kRejectedNetwork = 203;

uint16_t routerPort = kPortNone;
uint16_t networkNumberCountdown = kCountdownIdle;

uint16_t read16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// The header for a message to a, after octet 0 and the start bits of the
// control octet. Returns the length written; hopWithSnet is the hop count to
// use when an SNET is written.
uint32_t writeHeader(uint8_t *out, uint8_t control, const BACnetAddress *a, bool expectingReply,
                     uint8_t hopWithSnet) {
    uint32_t n = 0;
    out[n++] = kNpduVersion;
    uint32_t controlAt = n++;
    if (expectingReply) {
        control |= kNpduExpectingReply;
    }
    bool dnet = false;
    if (a->network != 0) {
        dnet = true;
        control |= kNpduDnetPresent;
        out[n++] = static_cast<uint8_t>(a->network >> 8);
        out[n++] = static_cast<uint8_t>(a->network);
        uint8_t dlen = a->remoteLength > 8 ? 8 : a->remoteLength;
        out[n++] = dlen;
        std::memcpy(out + n, a->remoteAddress, dlen);
        n += dlen;
    }
    bool snet = false;
    uint16_t vnet = vdevGetNetwork();
    if (a->port == stackActivePort() && a->destinationNetwork != 0 && a->destinationNetwork == vnet) {
        snet = true;
        control |= kNpduSnetPresent;
        out[n++] = static_cast<uint8_t>(vnet >> 8);
        out[n++] = static_cast<uint8_t>(vnet);
        uint8_t slen = a->virtualLength > 8 ? 8 : a->virtualLength;
        out[n++] = slen;
        std::memcpy(out + n, a->virtualAddress, slen);
        n += slen;
    }
    if (dnet) {
        out[n++] = snet ? hopWithSnet : kNpduHopCount;
    }
    out[controlAt] = control;
    return n;
}

void logLine(int priority, const char *text) {
    appSyslog(priority, text);
}

// Broadcasts a network-layer message on a port.
void sendNetworkMessage(uint8_t port, const uint8_t *npdu, uint32_t length) {
    datalinkSend(port, nullptr, length, npdu, false);
}

void sendIAmRouter(uint16_t vnet) {
    const uint8_t msg[] = {kNpduVersion, kNpduNetworkMessage, kNetIAmRouterToNetwork,
                           static_cast<uint8_t>(vnet >> 8), static_cast<uint8_t>(vnet)};
    sendNetworkMessage(stackActivePort(), msg, sizeof msg);
}

void sendRejectMessage(const NpduPacket *packet, uint8_t reason, uint16_t network) {
    uint8_t msg[32];
    uint32_t n = 0;
    const BACnetAddress &a = packet->address;
    msg[n++] = kNpduVersion;
    if (a.network != 0) {
        msg[n++] = kNpduNetworkMessage | kNpduDnetPresent;
        msg[n++] = static_cast<uint8_t>(a.network >> 8);
        msg[n++] = static_cast<uint8_t>(a.network);
        uint8_t dlen = a.remoteLength > 8 ? 8 : a.remoteLength;
        msg[n++] = dlen;
        std::memcpy(msg + n, a.remoteAddress, dlen);
        n += dlen;
        msg[n++] = kNpduHopCount;
    } else {
        msg[n++] = kNpduNetworkMessage;
    }
    msg[n++] = kNetRejectMessageToNetwork;
    msg[n++] = reason;
    if (network != 0) {
        msg[n++] = static_cast<uint8_t>(network >> 8);
        msg[n++] = static_cast<uint8_t>(network);
    }
    datalinkSend(a.port, a.macLength == 0 ? nullptr : a.mac, n, msg, false);
}

// Whether a list of 2-octet networks names the virtual network.
bool listNames(const uint8_t *p, uint32_t length, uint16_t vnet) {
    for (uint32_t i = 0; i + 2 <= length; i += 2) {
        if (read16(p + i) == vnet) {
            return true;
        }
    }
    return false;
}

void handleNetworkNumberIs(const NpduPacket *packet, const NpduHeader &header) {
    // The message is local only: one that came through a router (SNET) or was
    // addressed to a remote network says nothing about this network's number.
    if (header.hasDnet || header.hasSnet) {
        return;
    }
    uint32_t at = header.headerLength;
    if (packet->length < at + 4) {
        return;
    }
    uint16_t network = read16(packet->data + at + 1);
    uint8_t flag = packet->data[at + 3];
    networkNumberCountdown = kCountdownIdle;
    char line[128];
    uint16_t vnet = vdevGetNetwork();
    if (vnet != 0 && network == vnet) {
        std::snprintf(line, sizeof line, "Detected a duplicate of VNET %d, please correct.", network);
        logLine(LOG_ERR, line);
        return;
    }
    if (flag != kNetworkNumberConfigured) {
        return;
    }
    DeviceRecord &rec = stackDevice();
    uint16_t *number = nullptr;
    uint8_t *learned = nullptr;
    const char *name = nullptr;
    if (packet->address.port == kPortBip) {
        number = &rec.bipNetwork;
        learned = &rec.bipNetworkLearned;
        name = "B/IP";
    } else if (packet->address.port == kPortMstp) {
        number = &rec.mstpNetwork;
        learned = &rec.mstpNetworkLearned;
        name = "MS/TP";
    } else {
        return;
    }
    if (*number == 0 || *learned == 0) {
        *number = network;
        *learned = 1;
        std::snprintf(line, sizeof line, "Configuring %s network to %d", name, network);
        logLine(LOG_INFO, line);
    } else if (network != *number) {
        std::snprintf(line, sizeof line, "%s network is configured as %d, ignoring new # %d", name, *number,
                      network);
        logLine(LOG_ERR, line);
    }
}

}  // namespace

bool npduParseHeader(const uint8_t *npdu, uint32_t length, NpduHeader *h) {
    *h = NpduHeader{};
    if (length < 2 || npdu[0] != kNpduVersion) {
        return false;
    }
    h->control = npdu[1];
    uint32_t n = 2;
    if (h->control & kNpduDnetPresent) {
        if (length < n + 3) {
            return false;
        }
        h->hasDnet = true;
        h->dnet = read16(npdu + n);
        h->dlen = npdu[n + 2];
        n += 3;
        if (h->dlen > 8 || length < n + h->dlen) {
            return false;
        }
        h->dadr = npdu + n;
        n += h->dlen;
    }
    if (h->control & kNpduSnetPresent) {
        if (length < n + 3) {
            return false;
        }
        h->hasSnet = true;
        h->snet = read16(npdu + n);
        h->slen = npdu[n + 2];
        n += 3;
        // An SNET names a real source: a zero SLEN or the global network is
        // not a valid source address.
        if (h->slen == 0 || h->slen > 8 || h->snet == 0 || h->snet == kGlobalNetwork ||
            length < n + h->slen) {
            return false;
        }
        h->sadr = npdu + n;
        n += h->slen;
    }
    if (h->hasDnet) {
        if (length < n + 1) {
            return false;
        }
        h->hopCount = npdu[n++];
    }
    h->headerLength = n;
    return true;
}

void npduReceive(uint8_t port, uint8_t macLength, const uint8_t *mac, const uint8_t *ownAddress,
                 uint32_t length, const uint8_t *npdu, bool receivedAsBroadcast) {
    (void)ownAddress;
    if (npdu == nullptr || length <= 1 || length > datalinkMaxNpdu(port) || macLength > 8 ||
        npdu[0] != kNpduVersion) {
        return;
    }
    if (macLength > 0 && mac == nullptr) {
        return;
    }
    NpduPacket *packet = poolAlloc(length);
    if (packet == nullptr) {
        return;
    }
    packet->address = BACnetAddress{};
    packet->address.port = port;
    packet->address.macLength = macLength;
    if (macLength > 0) {
        std::memcpy(packet->address.mac, mac, macLength);
    }
    packet->apdu = nullptr;
    packet->length = static_cast<uint16_t>(length);
    packet->reserved = 0;
    packet->priority = npdu[1] & 3;
    packet->receivedAsBroadcast = receivedAsBroadcast ? 1 : 0;
    std::memcpy(packet->data, npdu, length);
    BACnetAddress own{};
    own.port = port;
    own.macLength = datalinkGetMyAddress(port, own.mac);
    if (own.macLength > 8) {
        own.macLength = 0;
    }
    appMonitorPdu(port, length, npdu, &own, &packet->address, 1);
    queuePush(&npduQueues[packet->priority], packet);
}

bool npduLocateApdu(NpduPacket *packet, const NpduHeader &h) {
    uint16_t vnet = vdevGetNetwork();
    if (h.hasDnet && h.dnet != 0 && vnet != 0 && h.dnet == vnet && h.dlen != 0) {
        int32_t instance = -1;
        if (vdevLookup(h.dnet, h.dlen, h.dadr, &instance) < 0) {
            return false;
        }
    }
    if (h.headerLength >= packet->length) {
        return false;
    }
    packet->apdu = packet->data + h.headerLength;
    packet->length = static_cast<uint16_t>(packet->length - h.headerLength);
    uint8_t type = packet->apdu[0] >> 4;
    if (type == kPduUnconfirmedRequest) {
        return true;
    }
    if (packet->receivedAsBroadcast) {
        return false;
    }
    if (h.hasDnet && h.dlen == 0) {
        return false;
    }
    return true;
}

void npduProcess() {
    uint16_t vnet = vdevGetNetwork();
    for (int priority = 3; priority >= 0; --priority) {
        NpduPacket *packet = queuePop(&npduQueues[priority]);
        if (packet == nullptr) {
            continue;
        }
        NpduHeader h;
        if (!npduParseHeader(packet->data, packet->length, &h) || (h.hasDnet && h.dnet == 0)) {
            poolFree(packet);
            continue;
        }
        BACnetAddress &a = packet->address;
        if (h.hasDnet) {
            a.destinationNetwork = h.dnet;
            a.virtualLength = h.dlen;
            std::memcpy(a.virtualAddress, h.dadr, h.dlen);
        }
        if (h.hasSnet) {
            a.network = h.snet;
            a.remoteLength = h.slen;
            std::memcpy(a.remoteAddress, h.sadr, h.slen);
        }
        if (h.control & kNpduNetworkMessage) {
            if ((!h.hasDnet || h.dnet == kGlobalNetwork) && h.headerLength < packet->length) {
                routerHandleNetworkMessage(packet, h);
            }
            poolFree(packet);
            continue;
        }
        bool toVirtual = h.hasDnet && vnet != 0 && h.dnet == vnet;
        if (h.hasDnet && h.dnet != kGlobalNetwork && !toVirtual) {
            poolFree(packet);
            continue;
        }
        if (!npduLocateApdu(packet, h)) {
            poolFree(packet);
            continue;
        }
        queuePush(&apduQueue, packet);
        if (toVirtual) {
            return;
        }
    }
}

int pduWriteNpduHeader(PduBuffer *buffer, const BACnetAddress *address, bool expectingReply) {
    uint8_t header[kMaxHeader];
    uint32_t n = writeHeader(header, buffer->control, address, expectingReply, kNpduRoutedHopCount);
    if (pduAppendBytes(buffer, n, header) != 0) {
        return 1;
    }
    buffer->cursor = buffer->writeBase + buffer->length;
    return 0;
}

uint8_t *npduEncodeHeader(uint8_t *out, const BACnetAddress *address, bool expectingReply) {
    return out + writeHeader(out, 0, address, expectingReply, kNpduHopCount);
}

void npduEncodeReply(NpduPacket *packet, uint8_t extraControl) {
    uint8_t header[kMaxHeader];
    uint32_t n = writeHeader(header, static_cast<uint8_t>((packet->priority & 3) | extraControl),
                             &packet->address, false, kNpduHopCount);
    std::memcpy(packet->data, header, n);
    packet->apdu = packet->data + n;
    packet->length = static_cast<uint16_t>(n);
}

void routerStart() {
    uint16_t vnet = vdevGetNetwork();
    if (vnet != 0) {
        sendIAmRouter(vnet);
    }
    routerPort = stackActivePort();
    DeviceRecord &rec = stackDevice();
    rec.bipNetworkLearned = 0;
    rec.mstpNetworkLearned = 0;
    const uint8_t what[] = {kNpduVersion, kNpduNetworkMessage, kNetWhatIsNetworkNumber};
    sendNetworkMessage(stackActivePort(), what, sizeof what);
    networkNumberCountdown = kNetworkNumberDelay;
}

void routerTick() {
    if (networkNumberCountdown == 0 || networkNumberCountdown == kCountdownIdle) {
        return;
    }
    if (--networkNumberCountdown != 0) {
        return;
    }
    networkNumberCountdown = kCountdownIdle;
    DeviceRecord &rec = stackDevice();
    uint16_t number = 0;
    uint8_t learned = 0;
    if (routerPort == kPortMstp) {
        number = rec.mstpNetwork;
        learned = rec.mstpNetworkLearned;
    } else if (routerPort == kPortBip) {
        number = rec.bipNetwork;
        learned = rec.bipNetworkLearned;
    } else {
        return;
    }
    if (number == 0 || learned != 0) {
        return;
    }
    // The announcement has always carried the flag 0, although the number
    // is a configured one; peers that read it are left as they are.
    const uint8_t msg[] = {kNpduVersion,
                           kNpduNetworkMessage,
                           kNetNetworkNumberIs,
                           static_cast<uint8_t>(number >> 8),
                           static_cast<uint8_t>(number),
                           kNetworkNumberLearned};
    sendNetworkMessage(static_cast<uint8_t>(routerPort), msg, sizeof msg);
}

void routerHandleNetworkMessage(NpduPacket *packet, const NpduHeader &header) {
    uint32_t at = header.headerLength;
    if (at >= packet->length) {
        return;
    }
    uint8_t type = packet->data[at];
    const uint8_t *list = packet->data + at + 1;
    uint32_t listLength = packet->length - at - 1;
    uint16_t vnet = vdevGetNetwork();
    switch (type) {
        case kNetWhoIsRouterToNetwork:
            if (vnet != 0 && (listLength < 2 || listNames(list, listLength, vnet))) {
                sendIAmRouter(vnet);
            }
            break;
        case kNetIAmRouterToNetwork:
            if (vnet != 0 && listNames(list, listLength, vnet)) {
                char line[96];
                std::snprintf(line, sizeof line, "Detected a duplicate route to %d, please correct.", vnet);
                logLine(LOG_ERR, line);
            }
            break;
        case kNetWhatIsNetworkNumber:
            // Asked through a router or of all networks, the question is not
            // about the network this port is on: only a local one is answered.
            if (!header.hasDnet && !header.hasSnet && networkNumberCountdown == kCountdownIdle) {
                networkNumberCountdown = kNetworkNumberDelay;
                routerPort = packet->address.port;
            }
            break;
        case kNetNetworkNumberIs:
            handleNetworkNumberIs(packet, header);
            break;
        default:
            if (type > kNetNetworkNumberIs) {
                sendRejectMessage(packet, kNetRejectUnknownMessageType, kRejectedNetwork);
            }
            break;
    }
}

uint16_t routerNetworkNumberCountdown() {
    return networkNumberCountdown;
}

void routerReset() {
    routerPort = stackActivePort();
    networkNumberCountdown = kCountdownIdle;
}
