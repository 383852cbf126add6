// Fuzzes segment sequences against active segmentation slots: each input
// first starts a segmented answer (a sending slot) and the first segment of
// a segmented request (a receiving slot), then feeds a sequence of APDUs
// from the input to the same peer: segments, SegmentACKs, Aborts, anything.
// Input: records of one length octet and that many APDU octets; a length of
// 0 lets the segment timer run out once.

#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"

namespace {

void feedApdu(const uint8_t *apdu, size_t length) {
    uint8_t npdu[260] = {0x01, 0x04};
    for (size_t i = 0; i < length; ++i)
        npdu[2 + i] = apdu[i];
    const uint8_t mac[6] = {192, 0, 2, 20, 0xBA, 0xC0};
    npduReceive(kPortBip, 6, mac, nullptr, static_cast<uint32_t>(length + 2), npdu, false);
    stackProcess();
    stackProcess();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool started = [] {
        testapp::Config config = fuzz::config();
        config.rootObjects = 200;
        config.segmentationSupported = kSegmentedBoth;
        config.maxSegmentsAccepted = 8;
        config.proposedWindowSize = 4;
        return fuzz::start(config);
    }();
    if (!started)
        std::abort();
    if (size > 4000)
        return 0;
    int64_t before = appmem::outstanding();
    // A segmented ReadProperty answer of the object-list (invoke id 1) and a
    // segmented request in progress (invoke id 2).
    const uint8_t read[] = {0x02, 0x33, 0x01, 0x0C, 0x0C, 0x02, 0x00, 0x04, 0xD2, 0x19, 0x4C};
    feedApdu(read, sizeof read);
    const uint8_t first[] = {0x0C, 0x05, 0x02, 0x00, 0x04, 0x0C, 0x0C, 0x00};
    feedApdu(first, sizeof first);
    size_t at = 0;
    while (at < size) {
        size_t n = data[at++];
        if (n == 0) {
            stackTick(30000);
            stackProcess();
            continue;
        }
        if (n > size - at)
            n = size - at;
        feedApdu(data + at, n);
        at += n;
    }
    fuzz::drain(before);
    return 0;
}
