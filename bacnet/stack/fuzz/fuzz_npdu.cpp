// Fuzzes the NPDU entry of the network layer, through the router, the APDU
// layer and the property services. The first octet chooses the MAC length
// and whether the NPDU arrived as a broadcast.

#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::startOnce();
    if (size < 1 || size > 2000)
        return 0;
    int64_t before = appmem::outstanding();
    fuzz::feedNpdu(data, size);
    fuzz::drain(before);
    return 0;
}
