#pragma once
// The stack's datalink edges replaced for tests, without any application:
// a fake UDP socket under BACnet/IP (tests inject datagrams and read what
// was sent), the emulated MS/TP line discipline, and the pump that runs the
// stack's steps until every queue is empty. Whatever application the test
// binary links (the stack's test application or the device application)
// answers the stack.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

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

// Runs tick(0)/process until nothing is pending.
void pump();

// Installs the fake socket, sets the own and broadcast address and starts
// the stack on a port (1 B/IP); shuts it down and uninstalls at the end.
// The application must be configured before.
class FakeLink {
  public:
    explicit FakeLink(uint8_t port = 1);
    ~FakeLink();
    FakeLink(const FakeLink &) = delete;
    FakeLink &operator=(const FakeLink &) = delete;

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

}  // namespace harness
