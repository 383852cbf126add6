// The device records the stack reads (root and virtual devices), the
// Device object's writes and its serial number.

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/tags.h"
#include "device/application.h"
#include "device/object_sets.h"
#include "device/config.h"
#include "meter/json.h"

namespace {

constexpr size_t kTextBlockOctets = sizeof(CharString) + appMaxTextOctets;

struct TextBlock {
    CharString str{};
    char room[appMaxTextOctets]{};
};
static_assert(sizeof(TextBlock) == 264);

// The root device's eight texts. The stack keeps the root record and reads
// its texts at any time, so a virtual device's fill never writes into them:
// its object-name has a block of its own.
TextBlock rootTexts[8];
TextBlock virtualName;

// The datalink texts the record points to.
char mstpTty[80];
char mstpBaud[8];
char ipv6Address[46];
char ipv6Multicast[46];

uint32_t databaseRevision = 0;

// protocol-object-types-supported: the classes each kind of device has.
constexpr size_t kTypesSupportedOctets = 7;
constexpr auto rootTypesSupported = bitsSet<kTypesSupportedOctets, BACnetObjectType>(
    {kObjAnalogInput, kObjDevice, kObjNotificationClass, kObjMultiStateValue, kObjPulseConverter,
     kObjLargeAnalogValue});
constexpr auto virtualTypesSupported = bitsSet<kTypesSupportedOctets, BACnetObjectType>(
    {kObjAnalogInput, kObjBinaryValue, kObjDevice, kObjNotificationClass, kObjLargeAnalogValue});

void setText(TextBlock &block, const std::string &text) {
    block = TextBlock{};
    const std::string cut = appCutText(text);
    std::memcpy(block.room, cut.data(), cut.size());
    block.str.length = static_cast<uint32_t>(cut.size());
}

void copyText(char *out, size_t room, const std::string &text) {
    std::memset(out, 0, room);
    std::memcpy(out, text.data(), std::min(text.size(), room - 1));
}

// inet_addr's all-ones for an unparsable text would register with the
// broadcast address; no BBMD is the safe reading of an empty or bad text.
uint32_t bbmdAddress() {
    const std::string text = communicationConfig.getBbmdAddress();
    in_addr address{};
    if (text.empty()) {
        return 0;
    }
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        programLog(4, "BBMD address \"" + text + "\" is not an IPv4 address; no BBMD registration");
        return 0;
    }
    return address.s_addr;
}

bool isDatalink(DatalinkType type) {
    return communicationConfig.getDatalinkType() == static_cast<uint32_t>(type);
}

const CharString &charStringOf(const PropertyValue *value) {
    return *static_cast<const CharString *>(value->value.block);
}

}  // namespace

std::string appCutText(const std::string &text, size_t max) {
    size_t n = std::min(text.find('\0'), text.size());
    if (n > max) {
        n = max;
        // Back to the first octet of the character that would be split.
        while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) {
            --n;
        }
    }
    return text.substr(0, n);
}

CharString *appNewCharString(const std::string &text) {
    auto *block = static_cast<TextBlock *>(std::calloc(1, kTextBlockOctets));
    if (block == nullptr) {
        return nullptr;
    }
    const std::string cut = appCutText(text);
    std::memcpy(block->room, cut.data(), cut.size());
    block->str.length = static_cast<uint32_t>(cut.size());
    return &block->str;
}

uint32_t appDatabaseRevision() {
    return databaseRevision;
}

void appFillDeviceRecord(DeviceRecord *record) {
    DeviceRecord r{};
    r.instance = communicationConfig.getBaseInstance();
    r.maxApdu = isDatalink(DatalinkType::BacnetMstp) ? 480 : 1476;
    r.apduTimeoutMs = 10000;
    r.apduSegmentTimeoutMs = 30000;
    r.maxSegmentsAccepted = 1;
    r.apduRetries = 3;
    r.segmentationSupported = kSegmentedTransmit;
    r.proposedWindowSize = 1;
    r.databaseRevision = databaseRevision;
    r.vendorId = appVendorId;
    std::memcpy(r.objectTypesSupported, rootTypesSupported.data(), kTypesSupportedOctets);

    setText(rootTexts[0], communicationConfig.getBaseName());
    setText(rootTexts[1], "Krevo Systems, Inc.");
    setText(rootTexts[2], staticConfig.getModel());
    setText(rootTexts[3], staticConfig.getVersion());
    setText(rootTexts[4], "01.14.05");
    setText(rootTexts[5], siteInfo.getLocation());
    setText(rootTexts[6], siteInfo.getPanel());
    setText(rootTexts[7], siteInfo.getType());
    r.objectName = &rootTexts[0].str;
    r.vendorName = &rootTexts[1].str;
    r.modelName = &rootTexts[2].str;
    r.firmwareRevision = &rootTexts[3].str;
    r.applicationSoftwareVersion = &rootTexts[4].str;
    r.location = &rootTexts[5].str;
    r.description = &rootTexts[6].str;
    // The Device object's property list holds no profile-name.
    r.profileName = nullptr;

    const bool ip = isDatalink(DatalinkType::BacnetIp) || isDatalink(DatalinkType::BacnetIpv6);
    r.bipNetwork = ip ? communicationConfig.getPhysicalNetwork() : 0;
    r.bipNetworkLearned = 0;
    r.udpPort = communicationConfig.getUdpPort();
    const uint32_t bbmd = bbmdAddress();
    std::memcpy(r.bbmdAddress, &bbmd, 4);
    r.bbmdTtl = communicationConfig.getBbmdTtl();
    copyText(ipv6Address, sizeof ipv6Address, communicationConfig.getIpv6Address());
    copyText(ipv6Multicast, sizeof ipv6Multicast,
             communicationConfig.getMulticastAddress(communicationConfig.getMulticastScope()));
    copyText(mstpTty, sizeof mstpTty, "/dev/ttyO4");
    copyText(mstpBaud, sizeof mstpBaud, std::to_string(communicationConfig.getBaudRate()));
    r.bipv6Address = ipv6Address;
    r.bipv6Multicast = ipv6Multicast;
    r.mstpTty = mstpTty;
    r.mstpBaud = mstpBaud;
    r.tolerance = 0;
    r.mstpNetwork = isDatalink(DatalinkType::BacnetMstp) ? communicationConfig.getPhysicalNetwork() : 0;
    r.mstpNetworkLearned = 0;
    r.maxMaster = communicationConfig.getMaxMaster();
    r.mstpMac = communicationConfig.getMacAddress();
    r.maxInfoFrames = communicationConfig.getMaxInfoFrames();
    *record = r;
}

void appFillVirtualDeviceRecord(int32_t device, DeviceRecord *record) {
    appFillDeviceRecord(record);
    if (appIsRootDevice(device)) {
        return;
    }
    const Load *load = appFindLoad(device);
    if (load == nullptr) {
        return;
    }
    record->instance = static_cast<uint32_t>(device);
    setText(virtualName, load->getName());
    record->objectName = &virtualName.str;
    std::memcpy(record->objectTypesSupported, virtualTypesSupported.data(), kTypesSupportedOctets);
}

namespace {

// The new device instance reaches the root objects too, so that their
// notifications go out from the device that now holds them.
void moveRootObjects(uint32_t instance) {
    for (const auto &[id, object] : deviceObjectMap) {
        object->setDeviceInstance(instance);
    }
}

uint32_t writeDevice(uint32_t property, const PropertyValue *value, bool *nameChanged) {
    switch (property) {
        case kPropMaxInfoFrames:
            if (value->datatype != kDtUnsigned) {
                return kErrorInvalidDataType;
            }
            if (value->value.u > 100) {
                return kErrorValueOutOfRange;
            }
            communicationConfig.setMaxInfoFrames(value->value.u & 0xFF);
            return 0;
        case kPropMaxMaster:
            if (value->datatype != kDtUnsigned) {
                return kErrorInvalidDataType;
            }
            if (value->value.u > 127 || value->value.u < communicationConfig.getMacAddress()) {
                return kErrorValueOutOfRange;
            }
            communicationConfig.setMaxMaster(value->value.u);
            return 0;
        case kPropObjectIdentifier: {
            if (value->datatype != kDtObjectId) {
                return kErrorInvalidDataType;
            }
            const uint32_t instance = objectIdInstance(value->value.u);
            // A load's instance would put the root in front of that load.
            if (instance == kMaxInstance || appFindLoad(static_cast<int32_t>(instance)) != nullptr) {
                return kErrorValueOutOfRange;
            }
            communicationConfig.setBaseInstance(instance);
            moveRootObjects(instance);
            ++databaseRevision;
            return 0;
        }
        case kPropObjectName: {
            if (value->datatype != kDtCharString || value->value.block == nullptr) {
                return kErrorInvalidDataType;
            }
            const CharString &s = charStringOf(value);
            // Character set 0 promises UTF-8, and the name goes on to TQR as
            // JSON text: a byte that is not UTF-8 would come back from TQR as
            // another character.
            if (s.length > 80 || s.charSet != kCharSetUtf8 ||
                !jsonIsUtf8(std::string_view(s.chars(), s.length))) {
                return kErrorValueOutOfRange;
            }
            const std::string name = appCutText(std::string(s.chars(), s.length));
            if (name.empty()) {
                return kErrorValueOutOfRange;
            }
            siteInfo.setName(name);
            communicationConfig.setBaseName(name);
            ++databaseRevision;
            *nameChanged = true;
            return 0;
        }
        default:
            return kErrWriteAccessDenied;
    }
}

}  // namespace

uint32_t appDeviceWriteProperty(int32_t device, uint8_t mode, uint32_t, uint32_t property, uint32_t,
                                PropertyValue *value) {
    if (mode == 0) {
        return 0;
    }
    if (!appIsRootDevice(device)) {
        return kErrWriteAccessDenied;
    }
    bool nameChanged = false;
    const uint32_t error = writeDevice(property, value, &nameChanged);
    if (error != 0) {
        return error;
    }
    // A failed push keeps the new values in memory only; the answer stays 0.
    int rc = programStoreCommunication();
    if (rc != 0) {
        programLog(3, "Communication configuration not stored by TQR (" + std::to_string(rc) + ")");
    }
    if (nameChanged) {
        rc = programStoreSiteInfo();
        if (rc != 0) {
            programLog(3, "Site information not stored by TQR (" + std::to_string(rc) + ")");
        }
    }
    return 0;
}
