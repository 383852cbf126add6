#pragma once
// Drives the stack in virtual time over a fake UDP socket: tests inject
// datagrams, call stackTick/stackProcess themselves and read what was sent.

#include <cstdint>
#include <deque>
#include <vector>

#include "test_app.h"

namespace harness {

using Bytes = std::vector<uint8_t>;

// IPv4 address a.b.c.d in network byte order.
uint32_t ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
// Port in network byte order.
uint16_t port(uint16_t hostOrder);

struct Datagram {
    uint32_t address;  // network order
    uint16_t port;     // network order
    Bytes data;
};

// The fake socket: installed by Stack, or by hand.
void installFakeSocket();
void uninstallFakeSocket();
void failNextOpen();
void inject(const Bytes &datagram, uint32_t sourceAddress, uint16_t sourcePort, uint32_t destinationAddress);
size_t pendingReceive();
std::vector<Datagram> takeSent();
size_t sentCount();

// The emulated MS/TP line discipline (platform/mstp) behind the MS/TP
// datalink's tty edge; uninstall restores the system calls.
void installMstpEmulator();
void uninstallMstpEmulator();

// A BVLL message of a function around an NPDU.
Bytes bvll(uint8_t function, const Bytes &payload);

// The own address of the stack under test and a client's.
inline constexpr uint8_t kOwn[4] = {192, 0, 2, 10};
inline constexpr uint8_t kBroadcast[4] = {192, 0, 2, 255};
inline constexpr uint8_t kClient[4] = {192, 0, 2, 20};

// Starts the stack on B/IP over the fake socket with a test application
// configuration; shuts it down at the end.
class Stack {
  public:
    explicit Stack(const testapp::Config &config = testapp::Config{}, uint8_t port = 1);
    ~Stack();
    Stack(const Stack &) = delete;
    Stack &operator=(const Stack &) = delete;

    bool started() const { return started_; }
    // A datagram from the client (unicast) or broadcast, then ticks and
    // process steps until every queue is empty. Returns what was sent.
    std::vector<Datagram> request(const Bytes &npdu, bool broadcast = false);
    // Sends a whole BVLL message from an address.
    std::vector<Datagram> datagram(const Bytes &message, uint32_t from, uint16_t fromPort,
                                   bool broadcast = false);
    // Advances virtual time by ms in steps of step ms (processing each step).
    void advance(uint32_t ms, uint32_t step = 5);

  private:
    bool started_ = false;
};

// Runs tick(0)/process until nothing is pending.
void pump();

}  // namespace harness
