// Fuzzes the MS/TP receive path from the frame the line discipline hands
// over: the datalink's read, the network and application layers.

#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::startMstpOnce();
    // The module hands over at most 501 octets of NPDU.
    if (size < 2 || size > 2 + 501)
        return 0;
    int64_t before = appmem::outstanding();
    fuzz::feedMstpFrame(data, size);
    fuzz::drain(before);
    return 0;
}
