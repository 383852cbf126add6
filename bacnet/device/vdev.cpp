// The virtual devices: one per load of loadMapping, on the virtual network,
// at the 6-octet MAC 00 00 00 and the instance in 24 bits.

#include <cstring>

#include "bacnet/enums.h"
#include "bacnet/stack/app.h"
#include "device/application.h"
#include "device/object_sets.h"
#include "device/config.h"

uint16_t vdevGetNetwork() {
    return communicationConfig.getNetwork();
}

int32_t vdevLookup(uint16_t network, uint8_t macLength, const uint8_t *mac, int32_t *instance) {
    const int32_t known = instance != nullptr ? *instance : -1;
    if (known == static_cast<int32_t>(kMaxInstance)) {
        return -1;
    }
    if (known != -1) {
        return loadMapping.count(known) != 0 ? known : -1;
    }
    if (network != vdevGetNetwork()) {
        return -1;
    }
    if (macLength == 0) {
        return loadMapping.empty() ? -1 : loadMapping.begin()->first;
    }
    if (macLength == 6 && mac != nullptr) {
        int32_t found = mac[3] << 16 | mac[4] << 8 | mac[5];
        return loadMapping.count(found) != 0 ? found : -1;
    }
    return -1;
}

int32_t vdevFind(int32_t device) {
    if (static_cast<uint32_t>(device) == communicationConfig.getBaseInstance()) {
        return -1;
    }
    return loadMapping.count(device) != 0 ? device : -1;
}

void vdevGetAddress(int32_t device, uint16_t *network, uint8_t *macLength, uint8_t *mac) {
    if (!loadMapping.empty() && device != static_cast<int32_t>(kMaxInstance) && loadMapping.count(device) != 0) {
        *network = vdevGetNetwork();
        *macLength = 6;
        std::memset(mac, 0, 8);
        mac[3] = static_cast<uint8_t>(device >> 16);
        mac[4] = static_cast<uint8_t>(device >> 8);
        mac[5] = static_cast<uint8_t>(device);
        return;
    }
    *network = 0;
    *macLength = 0;
}

int32_t vdevNext(int32_t device) {
    // The next higher instance, also for one that is no virtual device.
    auto it = device == -1 ? loadMapping.begin() : loadMapping.upper_bound(device);
    return it == loadMapping.end() ? -1 : it->first;
}
