#include "fake_link.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "bacnet/enums.h"
#include "bacnet/stack/bip.h"
#include "bacnet/stack/mstp.h"
#include "mstp/emulator.h"
#include "bacnet/stack/packet.h"
#include "bacnet/stack/stack.h"

namespace harness {
namespace {

struct Incoming {
    Datagram datagram;
    uint32_t destination;
};

std::mutex fakeMutex;
std::deque<Incoming> incoming;
std::vector<Datagram> sent;
bool openFails = false;
int nextSocket = 0;

int fakeOpen(uint16_t) {
    std::lock_guard lock(fakeMutex);
    if (openFails) {
        openFails = false;
        return -1;
    }
    // Descriptor 0 is handed out first on purpose: it is a valid descriptor.
    return nextSocket++ % 4;
}

void fakeClose(int) {}

void fakeSendTo(int, const uint8_t *data, uint32_t length, uint32_t address, uint16_t p) {
    std::lock_guard lock(fakeMutex);
    sent.push_back(Datagram{address, p, Bytes(data, data + length)});
}

ssize_t fakeReceive(int, uint8_t *buffer, uint32_t capacity, uint32_t *sourceAddress, uint16_t *sourcePort,
                    uint32_t *destinationAddress) {
    std::lock_guard lock(fakeMutex);
    if (incoming.empty()) {
        return 0;
    }
    Incoming in = std::move(incoming.front());
    incoming.pop_front();
    size_t n = in.datagram.data.size();
    std::memcpy(buffer, in.datagram.data.data(), n < capacity ? n : capacity);
    *sourceAddress = in.datagram.address;
    *sourcePort = in.datagram.port;
    *destinationAddress = in.destination;
    return static_cast<ssize_t>(n);
}

const BipSocketOps fakeOps{fakeOpen, fakeClose, fakeSendTo, fakeReceive};

const MstpTtyOps emulatedTty{mstpemu::open, mstpemu::close, mstpemu::ioctl,
                             mstpemu::read, mstpemu::write, mstpemu::pause};

}  // namespace

uint32_t ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    uint8_t o[4] = {a, b, c, d};
    uint32_t v;
    std::memcpy(&v, o, 4);
    return v;
}

uint16_t port(uint16_t hostOrder) {
    return htons(hostOrder);
}

void installFakeSocket() {
    {
        std::lock_guard lock(fakeMutex);
        incoming.clear();
        sent.clear();
        openFails = false;
        nextSocket = 0;
    }
    bipSetSocketOps(&fakeOps);
}

void uninstallFakeSocket() {
    bipSetSocketOps(nullptr);
}

void installMstpEmulator() {
    mstpSetTtyOps(&emulatedTty);
}

void uninstallMstpEmulator() {
    mstpSetTtyOps(nullptr);
}

void failNextOpen() {
    std::lock_guard lock(fakeMutex);
    openFails = true;
}

void inject(const Bytes &datagram, uint32_t sourceAddress, uint16_t sourcePort, uint32_t destinationAddress) {
    std::lock_guard lock(fakeMutex);
    incoming.push_back(Incoming{Datagram{sourceAddress, sourcePort, datagram}, destinationAddress});
}

size_t pendingReceive() {
    std::lock_guard lock(fakeMutex);
    return incoming.size();
}

std::vector<Datagram> takeSent() {
    std::lock_guard lock(fakeMutex);
    std::vector<Datagram> out;
    out.swap(sent);
    return out;
}

size_t sentCount() {
    std::lock_guard lock(fakeMutex);
    return sent.size();
}

Bytes bvll(uint8_t function, const Bytes &payload) {
    Bytes out(payload.size() + 4);
    out[0] = kBvllTypeBip;
    out[1] = function;
    out[2] = static_cast<uint8_t>((payload.size() + 4) >> 8);
    out[3] = static_cast<uint8_t>(payload.size() + 4);
    std::copy(payload.begin(), payload.end(), out.begin() + 4);
    return out;
}

void pump() {
    for (int guard = 0; guard < 10000; ++guard) {
        bool queued = apduQueue.count != 0;
        for (const auto &q : npduQueues) {
            queued = queued || q.count != 0;
        }
        if (pendingReceive() == 0 && !queued) {
            return;
        }
        stackTick(0);
        stackProcess();
    }
}

FakeLink::FakeLink(uint8_t p) {
    installFakeSocket();
    bipOwnAddress = ip(kOwn[0], kOwn[1], kOwn[2], kOwn[3]);
    bipBroadcastAddress = ip(kBroadcast[0], kBroadcast[1], kBroadcast[2], kBroadcast[3]);
    started_ = stackInit(p);
}

FakeLink::~FakeLink() {
    stackShutdown();
    takeSent();
    uninstallFakeSocket();
}

std::vector<Datagram> FakeLink::datagram(const Bytes &message, uint32_t from, uint16_t fromPort,
                                      bool broadcast) {
    takeSent();
    inject(message, from, fromPort, broadcast ? bipBroadcastAddress : bipOwnAddress);
    pump();
    return takeSent();
}

std::vector<Datagram> FakeLink::request(const Bytes &npdu, bool broadcast) {
    return datagram(bvll(broadcast ? kBvlcOriginalBroadcastNpdu : kBvlcOriginalUnicastNpdu, npdu),
                    ip(kClient[0], kClient[1], kClient[2], kClient[3]), port(47808), broadcast);
}

void FakeLink::advance(uint32_t ms, uint32_t step) {
    for (uint32_t t = 0; t < ms; t += step) {
        stackTick(step);
        stackProcess();
    }
}

}  // namespace harness
