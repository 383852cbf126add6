#pragma once
// BACnet/IPv6 (port 2): one IPv6 UDP socket that has joined the multicast
// group, the BVLL of type 0x82 and the table of peers' virtual MAC addresses
// (VMACs) learned from traffic and address resolution.

#include <cstdint>
#include <sys/types.h>

#include "bacnet/stack/device_record.h"

// The socket edge of the datalink; tests replace it with a fake. Addresses
// are 16 octets in network order, ports in host order. Each call that can
// fail returns -1 with errno set; the datalink logs the failure.
struct Bipv6SocketOps {
    // A non-blocking IPv6 UDP socket whose port may be shared.
    int (*open)();
    // Joins the group on the interface and sends the socket's multicasts
    // through that interface (0: the system chooses).
    int (*join)(int socket, const uint8_t *group, uint32_t interfaceIndex);
    // Binds to the unspecified address on port with the scope id.
    int (*bind)(int socket, uint16_t port, uint32_t scopeId);
    void (*close)(int socket);
    ssize_t (*sendTo)(int socket, const uint8_t *data, uint32_t length, const uint8_t *address, uint16_t port,
                      uint32_t scopeId);
    // Receives one datagram into buffer. Returns its full length (which may
    // exceed capacity when it was truncated), 0 when none is waiting, -1 on
    // error.
    ssize_t (*receive)(int socket, uint8_t *buffer, uint32_t capacity, uint8_t *sourceAddress);
};

// Replaces the socket edge (null restores the UDP one). Not while the
// datalink is up.
void bipv6SetSocketOps(const Bipv6SocketOps *ops);

inline constexpr uint32_t kBipv6MaxApdu = 1476;
inline constexpr uint32_t kBipv6MaxNpdu = 1497;
inline constexpr uint8_t kVmacLength = 3;
inline constexpr uint32_t kVmacTableSize = 32;

bool bipv6Init(const DeviceRecord *record);
void bipv6Close();
// Sends an NPDU to the peer of vmac (3 octets), or to the multicast group
// when vmac is null. A peer whose address is not known yet is asked for by
// Address-Resolution and this NPDU is not sent.
void bipv6Send(const uint8_t *vmac, uint32_t length, const uint8_t *npdu);
void bipv6Poll();
// One datagram from the socket, if one is waiting.
void bipv6Receive();
inline uint32_t bipv6GetMaxApdu() {
    return kBipv6MaxApdu;
}
inline uint32_t bipv6GetMaxNpdu() {
    return kBipv6MaxNpdu;
}
bool bipv6IsUp();
// The index of the interface that carries the address (text, numeric), 0
// when none does.
uint32_t bipv6InterfaceIndex(const char *addressText);
// The own VMAC; returns its length.
uint8_t bipv6GetVmac(uint8_t *out);

// Handles one received datagram from source (16 octets) as the receive path
// does after reading it. The entry of tests and fuzz targets.
void bipv6HandleDatagram(const uint8_t *message, uint32_t length, const uint8_t *source);

// The learned IPv6 address of a VMAC; false when the table does not hold it.
bool bipv6LookupVmac(const uint8_t *vmac, uint8_t *address);
// The number of VMACs in the table.
uint32_t bipv6VmacCount();
