#pragma once
// BACnet/IP (port 1): one IPv4 UDP socket, the BVLL of type 0x81, and the
// foreign-device registration with a BBMD.

#include <atomic>
#include <cstdint>
#include <sys/types.h>

#include "bacnet/stack/device_record.h"

// The own IPv4 address and the broadcast address of the interface, in network
// byte order, written by the application's interface query before the stack
// starts. The broadcast address is 255.255.255.255 until then.
extern uint32_t bipOwnAddress;
extern uint32_t bipBroadcastAddress;

// The socket edge of the datalink; tests replace it with a fake. Addresses and
// ports are in network byte order.
struct BipSocketOps {
    // An IPv4 UDP socket bound to all addresses on port, non-blocking, with
    // packet information and broadcast enabled; a negative value on failure
    // (the failure has been logged).
    int (*open)(uint16_t port);
    void (*close)(int socket);
    void (*sendTo)(int socket, const uint8_t *data, uint32_t length, uint32_t address, uint16_t port);
    // Receives one datagram into buffer. Returns its full length (which may
    // exceed capacity when it was truncated), 0 when none is waiting, -1 on
    // error. source and destination are the IP header's addresses.
    ssize_t (*receive)(int socket, uint8_t *buffer, uint32_t capacity, uint32_t *sourceAddress,
                       uint16_t *sourcePort, uint32_t *destinationAddress);
};

// Replaces the socket edge (null restores the UDP one).
void bipSetSocketOps(const BipSocketOps *ops);

// Room for the largest valid datagram: a Forwarded-NPDU (10 octets of BVLL)
// carrying the largest NPDU, with slack to detect anything longer.
inline constexpr uint32_t kBipMaxNpdu = 1497;
inline constexpr uint32_t kBipReceiveBuffer = 1600;

bool bipStart(const DeviceRecord *record);
bool bipInit(const DeviceRecord *record);
void bipStartForeignDevice(const DeviceRecord *record);
void bipClose();
void bipSend(const uint8_t *mac, uint32_t length, const uint8_t *npdu);
void bipSendRaw(const uint8_t *address, uint32_t length, const uint8_t *message);
void bipPoll();
void bipTick();
uint8_t bipGetAddress(uint8_t *out, bool broadcast);
inline uint32_t bipMaxApdu() {
    return 1476;
}
inline uint32_t bipMaxNpdu() {
    return kBipMaxNpdu;
}
bool bipIsUp();

// Handles one received datagram from source (6 octets: IPv4 address and
// port, network order) as the receive path does after reading it. The entry
// of tests and fuzz targets.
void bipHandleDatagram(const uint8_t *message, uint32_t length, const uint8_t *source, bool broadcast);

// Foreign-device registration state.
enum FdState : uint8_t { kFdDue = 0, kFdWaiting = 1, kFdRegistered = 2, kFdNotRegistered = 3 };
uint8_t bipFdState();
int32_t bipFdTimer();
uint16_t bipFdAttempts();
