// Fuzzes the B/IP receive path from the datagram on: BVLL checks, the
// foreign-device client, the network layer and router, the APDU layer and
// the property services. The first octet chooses the sender and whether the
// datagram was a broadcast.

#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::startOnce();
    if (size < 1 || size > 2000)
        return 0;
    int64_t before = appmem::outstanding();
    fuzz::feedDatagram(data, size);
    fuzz::drain(before);
    return 0;
}
