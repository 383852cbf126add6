// Who-Is answered with I-Am for the root device and the virtual devices.

#include <cstring>
#include <vector>

#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/stack.h"
#include "bacnet/stack/tsm.h"
#include "codec/reader.h"

namespace {

struct Limits {
    bool present;
    uint32_t low;
    uint32_t high;
};

bool within(const Limits &limits, int32_t instance) {
    return !limits.present ||
           (static_cast<uint32_t>(instance) >= limits.low && static_cast<uint32_t>(instance) <= limits.high);
}

// Reads the optional limits of a Who-Is: both or none, each a context tag of
// 1..4 octets. False for anything else.
bool readLimits(const uint8_t *apdu, uint32_t length, Limits *limits) {
    *limits = Limits{};
    if (length == 2) {
        return true;
    }
    codec::Reader in{apdu + 2, apdu + length};
    if (codec::ctxParam(in, 0, &limits->low) != 0 || codec::ctxParam(in, 1, &limits->high) != 0) {
        return false;
    }
    if (in.p != in.end || limits->low > kMaxInstance || limits->high > kMaxInstance) {
        return false;
    }
    limits->present = true;
    return true;
}

}  // namespace

void svcSendIAm(uint8_t port, int32_t instance, BACnetAddress *a) {
    const DeviceRecord &root = stackDevice();
    DeviceRecord record;
    bool virtualDevice = static_cast<uint32_t>(instance) != root.instance;
    if (!virtualDevice) {
        a->destinationNetwork = 0;
        a->virtualLength = 0;
        record = root;
    } else {
        int32_t found = instance;
        if (vdevLookup(0, 0, nullptr, &found) < 0) {
            return;
        }
        uint16_t network = 0;
        uint8_t macLength = 0;
        vdevGetAddress(instance, &network, &macLength, a->virtualAddress);
        if (network == 0 || macLength > 8) {
            return;
        }
        a->destinationNetwork = network;
        a->virtualLength = macLength;
        record = root;
        appFillVirtualDeviceRecord(instance, &record);
    }
    a->port = port;
    uint8_t message[64];
    uint8_t *p = npduEncodeHeader(message, a, false);
    if (virtualDevice && a->network != 0) {
        p[-1] = kNpduRoutedHopCount;
    }
    *p++ = apduFirstOctet(kPduUnconfirmedRequest);
    *p++ = kSvcIAm;
    p = tagEncodeObjectId(p, kObjDevice, objectIdInstance(record.instance));
    p = tagEncodeUnsigned(p, datalinkMaxApdu(port) < record.maxApdu ? datalinkMaxApdu(port) : record.maxApdu);
    p = tagEncodeEnumerated(p, record.segmentationSupported);
    p = tagEncodeUnsigned(p, record.vendorId);
    datalinkSend(port, nullptr, static_cast<uint32_t>(p - message), message, false);
}

namespace {

// Calls send for the active port first, then for each other port (which the
// port switch serves only before the first start); first is true for the
// active port.
template <typename Send>
void forEachPort(Send send) {
    uint8_t active = stackActivePort();
    const uint8_t ports[] = {active, kPortMstp, kPortBip, kPortBipv6};
    for (size_t i = 0; i < 4; ++i) {
        if (ports[i] != kPortNone && (i == 0 || ports[i] != active)) {
            send(ports[i], i == 0);
        }
    }
}

}  // namespace

void svcSendIAmToNetwork(int32_t device, uint16_t network) {
    int32_t instance = device < 0 ? static_cast<int32_t>(stackDevice().instance) : device;
    forEachPort([&](uint8_t port, bool) {
        BACnetAddress a{};
        a.network = network;
        svcSendIAm(port, instance, &a);
    });
}

namespace {

// The source of a message of a device: none for the root device, the virtual
// network and the device's 6-octet address for a virtual device. False when
// the virtual device is unknown.
bool sourceOf(int32_t device, BACnetAddress *a) {
    a->destinationNetwork = 0;
    a->virtualLength = 0;
    if (device < 0) {
        return true;
    }
    if (vdevFind(device) < 0) {
        return false;
    }
    uint16_t network = 0;
    uint8_t macLength = 0;
    vdevGetAddress(device, &network, &macLength, a->virtualAddress);
    if (network == 0 || macLength > 8) {
        return false;
    }
    a->destinationNetwork = network;
    a->virtualLength = macLength;
    return true;
}

// Sends an unconfirmed APDU from a device as a broadcast on network (no
// DADR) on the active port, then on each other port (which transmit only
// while every port is served).
void broadcastFrom(int32_t device, uint16_t network, const uint8_t *apdu, uint32_t length) {
    BACnetAddress a{};
    if (!sourceOf(device, &a)) {
        return;
    }
    a.network = network;
    std::vector<uint8_t> message(32 + length);
    forEachPort([&](uint8_t port, bool first) {
        a.port = port;
        uint8_t *p = npduEncodeHeader(message.data(), &a, false);
        if (first && device >= 0 && a.network != 0) {
            p[-1] = kNpduRoutedHopCount;
        }
        std::memcpy(p, apdu, length);
        datalinkSend(port, nullptr, static_cast<uint32_t>(p - message.data()) + length, message.data(), false);
    });
}

}  // namespace

void svcSendWhoIsFrom(int32_t device, int32_t low, int32_t high) {
    if (stackInitiationDisabled != 0) {
        return;
    }
    uint8_t apdu[16] = {apduFirstOctet(kPduUnconfirmedRequest), kSvcWhoIs};
    uint8_t *p = apdu + 2;
    if (low >= 0 && high >= 0) {
        p = tagEncodeContextInteger(p, static_cast<uint32_t>(low), 0, false);
        p = tagEncodeContextInteger(p, static_cast<uint32_t>(high), 1, false);
    }
    broadcastFrom(device, kGlobalNetwork, apdu, static_cast<uint32_t>(p - apdu));
}

void svcSendWhoIs(int32_t low, int32_t high) {
    svcSendWhoIsFrom(-1, low, high);
}

void svcHandleWhoIs(NpduPacket *packet) {
    Limits limits;
    if (!readLimits(packet->apdu, packet->length, &limits)) {
        return;
    }
    const BACnetAddress &a = packet->address;
    uint16_t dnet = a.destinationNetwork;
    uint16_t vnet = vdevGetNetwork();
    bool toVirtualNetwork = vnet != 0 && dnet == vnet;
    int32_t root = static_cast<int32_t>(stackDevice().instance);
    if (!toVirtualNetwork && within(limits, root)) {
        svcSendIAmToNetwork(-1, kGlobalNetwork);
    }
    if (dnet == 0) {
        return;
    }
    if (toVirtualNetwork && a.virtualLength != 0) {
        int32_t instance = -1;
        int32_t found = vdevLookup(dnet, a.virtualLength, a.virtualAddress, &instance);
        if (found >= 0 && within(limits, found)) {
            svcSendIAmToNetwork(found, kGlobalNetwork);
        }
        return;
    }
    if (dnet != kGlobalNetwork && !toVirtualNetwork) {
        return;
    }
    for (int32_t v = vdevNext(-1); v >= 0; v = vdevNext(v)) {
        if (within(limits, v)) {
            svcSendIAmToNetwork(v, kGlobalNetwork);
        }
    }
}

namespace {

// The longest object name a Who-Has may ask for.
constexpr uint32_t kWhoHasNameMax = 120;

struct WhoHasRequest {
    Limits limits;
    bool byName;
    uint32_t objectId;
    CharStringStore<kWhoHasNameMax> name;
};

// Reads a Who-Has: optional limits (both, each below 0x400000, in order),
// then an object identifier (context 2) or an object name (context 3) and
// nothing after it. False for anything else, which is ignored.
bool readWhoHas(const uint8_t *apdu, uint32_t length, WhoHasRequest *r) {
    codec::Reader in{apdu + 2, apdu + length};
    r->limits = Limits{};
    if (codec::atCtx(in, 0)) {
        if (codec::ctxParam(in, 0, &r->limits.low) != 0 || codec::ctxParam(in, 1, &r->limits.high) != 0 ||
            r->limits.low > kMaxInstance ||
            r->limits.high > kMaxInstance || r->limits.high < r->limits.low) {
            return false;
        }
        r->limits.present = true;
    }
    if (codec::atCtx(in, 2)) {
        r->byName = false;
        if (codec::ctxOid(in, 2, &r->objectId) != 0) {
            return false;
        }
    } else {
        r->byName = true;
        if (codec::ctxCharString(in, 3, &r->name.str, kWhoHasNameMax) != 0) {
            return false;
        }
    }
    return in.p == in.end;
}

}  // namespace

void svcHandleWhoHas(const BACnetAddress *a, const uint8_t *apdu, uint32_t length) {
    WhoHasRequest r;
    if (!readWhoHas(apdu, length, &r)) {
        return;
    }
    uint16_t dnet = a->destinationNetwork;
    uint16_t vnet = vdevGetNetwork();
    bool toVirtualNetwork = vnet != 0 && dnet == vnet;
    int32_t root = static_cast<int32_t>(stackDevice().instance);
    auto ask = [&](int32_t device, int32_t instance) {
        if (within(r.limits, instance)) {
            appWhoHas(device, dnet, r.byName, r.byName ? &r.name.str : nullptr, r.objectId);
        }
    };
    ask(-1, root);
    if (dnet == 0) {
        return;
    }
    if (toVirtualNetwork && a->virtualLength != 0) {
        int32_t instance = -1;
        int32_t found = vdevLookup(dnet, a->virtualLength, a->virtualAddress, &instance);
        if (found >= 0) {
            ask(found, found);
        }
        return;
    }
    if (dnet != kGlobalNetwork && !toVirtualNetwork) {
        return;
    }
    for (int32_t v = vdevNext(-1); v >= 0; v = vdevNext(v)) {
        ask(v, v);
    }
}

void svcSendIHave(int32_t device, uint16_t network, uint32_t objectId, const CharString *name) {
    if (stackInitiationDisabled != 0 || name == nullptr) {
        return;
    }
    int32_t instance = device < 0 ? static_cast<int32_t>(stackRootInstance()) : vdevFind(device);
    if (instance < 0) {
        return;
    }
    uint32_t room = tagCharStringValueLength(name) + name->length + 48;
    std::vector<uint8_t> apdu(room);
    uint8_t *p = apdu.data();
    *p++ = apduFirstOctet(kPduUnconfirmedRequest);
    *p++ = kSvcIHave;
    p = tagEncodeObjectId(p, kObjDevice, objectIdInstance(static_cast<uint32_t>(instance)));
    p = tagEncodeObjectId(p, objectIdType(objectId), objectIdInstance(objectId));
    p = tagEncodeCharString(p, name);
    if (p == nullptr) {
        return;
    }
    broadcastFrom(device, network, apdu.data(), static_cast<uint32_t>(p - apdu.data()));
}

namespace {

// An application-tagged value of the given tag number, 1..4 octets.
bool readApplicationUnsigned(const uint8_t **p, const uint8_t *end, uint8_t number, uint32_t *value) {
    TagHeader tag;
    if (!tagDecodeHeader(*p, end, &tag) || tag.context || tag.number != number || tag.length < 1 ||
        tag.length > 4) {
        return false;
    }
    return tagDecodeUnsigned(p, end, value);
}

}  // namespace

bool svcDecodeIAm(const uint8_t *apdu, uint32_t length, IAmFields *out) {
    if (length < 2 || apdu[0] != apduFirstOctet(kPduUnconfirmedRequest) || apdu[1] != kSvcIAm) {
        return false;
    }
    const uint8_t *p = apdu + 2;
    const uint8_t *end = apdu + length;
    TagHeader tag;
    if (!tagDecodeHeader(p, end, &tag) || tag.context || tag.number != kTagObjectIdentifier ||
        tag.length != 4) {
        return false;
    }
    uint16_t type = 0;
    if (!tagDecodeObjectId(&p, end, &type, &out->instance) || type != kObjDevice) {
        return false;
    }
    return readApplicationUnsigned(&p, end, kTagUnsigned, &out->maxApdu) &&
           readApplicationUnsigned(&p, end, kTagEnumerated, &out->segmentation) &&
           readApplicationUnsigned(&p, end, kTagUnsigned, &out->vendorId) && p == end;
}

void svcHandleIAm(const BACnetAddress *from, const uint8_t *apdu, uint32_t length) {
    IAmFields iam;
    if (!svcDecodeIAm(apdu, length, &iam)) {
        return;
    }
    BACnetAddress a{};
    a.network = from->network;
    a.port = from->port;
    a.macLength = from->macLength > 8 ? 8 : from->macLength;
    std::memcpy(a.mac, from->mac, a.macLength);
    a.remoteLength = from->remoteLength > 8 ? 8 : from->remoteLength;
    std::memcpy(a.remoteAddress, from->remoteAddress, a.remoteLength);
    a.virtualLength = from->virtualLength > 8 ? 8 : from->virtualLength;
    std::memcpy(a.virtualAddress, from->virtualAddress, a.virtualLength);
    a.maxApdu = static_cast<uint16_t>(iam.maxApdu > 0xFFFF ? 0xFFFF : iam.maxApdu);
    bool receivesSegments = iam.segmentation == kSegmentedBoth || iam.segmentation == kSegmentedReceive;
    a.segmentedResponseAccepted = receivesSegments ? 1 : 0;
    a.maxSegments = receivesSegments ? 0xFFFF : 0;
    uint16_t vendor = static_cast<uint16_t>(iam.vendorId > 0xFFFF ? 0xFFFF : iam.vendorId);
    bindingUpdate(iam.instance, &a, vendor);
    appDeviceBound(iam.instance, &a, vendor);
}
