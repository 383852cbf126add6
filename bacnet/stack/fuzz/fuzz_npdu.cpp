// Fuzzes the NPDU entry of the network layer, through the router, the APDU
// layer and the property services. The first octet chooses the MAC length
// and whether the NPDU arrived as a broadcast.

#include <cstddef>
#include <cstdint>

#include "bacnet/stack/npdu.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::startOnce();
    if (size < 1 || size > 2000)
        return 0;
    int64_t before = appmem::outstanding();
    const uint8_t mac[8] = {192, 0, 2, 20, 0xBA, 0xC0, 0, 0};
    uint8_t macLength = (data[0] & 0x40) ? 6 : static_cast<uint8_t>(data[0] & 0x0F);
    npduReceive(kPortBip, macLength, mac, nullptr, static_cast<uint32_t>(size - 1), data + 1,
                (data[0] & 0x80) != 0);
    fuzz::drain(before);
    return 0;
}
