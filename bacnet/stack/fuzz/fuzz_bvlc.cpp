// Fuzzes the B/IP receive path from the datagram on: BVLL checks, the
// foreign-device client, the network layer and router, the APDU layer and
// the property services. The first octet chooses the sender and whether the
// datagram was a broadcast.

#include <cstddef>
#include <cstdint>

#include "bacnet/stack/bip.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::startOnce();
    if (size < 1 || size > 2000)
        return 0;
    int64_t before = appmem::outstanding();
    // Sender 192.0.2.1 is not the BBMD of this set-up; 192.0.2.10 is the
    // stack's own address.
    uint8_t source[6] = {192, 0, 2, static_cast<uint8_t>(data[0] & 0x0F), 0xBA, 0xC0};
    bipHandleDatagram(data + 1, static_cast<uint32_t>(size - 1), source, (data[0] & 0x80) != 0);
    fuzz::drain(before);
    return 0;
}
