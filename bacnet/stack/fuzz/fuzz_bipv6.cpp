// Fuzzes the B/IPv6 receive path from the datagram on: BVLL checks, the VMAC
// table and address resolution, then the network and application layers.
// The first octet chooses the sender: 2001:db8::N, where 0x10 is the stack's
// own address.

#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::startBipv6Once();
    if (size < 1 || size > 2000)
        return 0;
    int64_t before = appmem::outstanding();
    fuzz::feedBipv6(data, size);
    fuzz::drain(before);
    return 0;
}
