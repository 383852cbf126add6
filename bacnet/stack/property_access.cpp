// The core of every property read and write, and the Device object's
// properties that the stack answers from its DeviceRecord.

#include <cstring>

#include "bacnet/app_memory.h"
#include "bacnet/enums.h"
#include "bacnet/property_value.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/stack.h"
#include "bacnet/stack/tsm.h"
#include "property_access.h"

// The Device object's properties in the order of ALL: the one list that the
// groups, property-list and the device application's property check read.
const uint32_t deviceAllProperties[] = {
    kPropAll, kPropObjectIdentifier, kPropObjectName, kPropObjectType, kPropSystemStatus, kPropVendorName,
    kPropVendorIdentifier, kPropModelName, kPropFirmwareRevision, kPropApplicationSoftwareVersion,
    kPropLocation, kPropDescription, kPropProtocolVersion, kPropProtocolRevision, kPropMaxApduLengthAccepted,
    kPropSegmentationSupported, kPropUtcOffset, kPropApduTimeout, kPropApduSegmentTimeout,
    kPropNumberOfApduRetries, kPropProtocolServicesSupported, kPropProtocolObjectTypesSupported,
    kPropObjectList, kPropLocalTime, kPropLocalDate, kPropMaxMaster, kPropMaxInfoFrames,
    kPropDeviceAddressBinding, kPropMaxSegmentsAccepted, kPropDatabaseRevision, kPropActiveCovSubscriptions,
    kPropSerialNumber, kPropPropertyList, kGroupEnd};

namespace {

// The values of protocol-version and protocol-revision.
constexpr uint32_t kProtocolVersion = 1;
constexpr uint32_t kProtocolRevision = 14;

// REQUIRED keeps an order of its own (database-revision before
// device-address-binding), so it is a list of its own, as is OPTIONAL.
const uint32_t deviceRequiredProperties[] = {
    kPropRequired, kPropObjectIdentifier, kPropObjectName, kPropObjectType, kPropSystemStatus,
    kPropVendorName, kPropVendorIdentifier, kPropModelName, kPropFirmwareRevision,
    kPropApplicationSoftwareVersion, kPropProtocolVersion, kPropProtocolRevision, kPropMaxApduLengthAccepted,
    kPropSegmentationSupported, kPropApduTimeout, kPropNumberOfApduRetries, kPropProtocolServicesSupported,
    kPropProtocolObjectTypesSupported, kPropObjectList, kPropDatabaseRevision, kPropDeviceAddressBinding,
    kPropPropertyList, kGroupEnd};
const uint32_t deviceOptionalProperties[] = {
    kPropOptional, kPropLocation, kPropDescription, kPropUtcOffset, kPropApduSegmentTimeout, kPropLocalTime,
    kPropLocalDate, kPropMaxMaster, kPropMaxInfoFrames, kPropMaxSegmentsAccepted, kPropActiveCovSubscriptions,
    kPropSerialNumber, kGroupEnd};

// The services this device executes, as the bits of
// protocol-services-supported; the string's bits run up to write-group.
constexpr uint16_t kServicesSupportedBits = kSupportsWriteGroup + 1;
constexpr auto kServicesSupported = bitsSet<(kServicesSupportedBits + 7) / 8, BACnetServicesSupported>({
    kSupportsSubscribeCov,
    kSupportsReadProperty,
    kSupportsReadPropertyMultiple,
    kSupportsWriteProperty,
    kSupportsWritePropertyMultiple,
    kSupportsDeviceCommunicationControl,
    kSupportsReinitializeDevice,
    kSupportsIAm,
    kSupportsWhoHas,
    kSupportsWhoIs,
    kSupportsGetEventInformation,
});

const uint32_t *groupList(uint32_t group) {
    switch (group) {
        case kPropAll:
            return deviceAllProperties;
        case kPropOptional:
            return deviceOptionalProperties;
        default:
            return deviceRequiredProperties;
    }
}

// The entries of the property-list property: ALL less the identifying ones
// and the group identifiers.
int propertyListEntries(uint32_t *out) {
    int n = 0;
    for (const uint32_t *p = deviceAllProperties; *p != kGroupEnd; ++p) {
        uint32_t q = *p;
        if (q == kPropAll || q == kPropObjectIdentifier || q == kPropObjectName || q == kPropObjectType ||
            q == kPropOptional || q == kPropRequired || q == kPropPropertyList) {
            continue;
        }
        if (out != nullptr) {
            out[n] = q;
        }
        ++n;
    }
    return n;
}

// The properties of the slave-proxy function, which this device does not have.
bool isSlaveProxyProperty(uint32_t property) {
    return property == kPropAutoSlaveDiscovery || property == kPropManualSlaveAddressBinding ||
           property == kPropSlaveAddressBinding || property == kPropSlaveProxyEnable;
}

void setUnsigned(PropertyValue *v, uint8_t datatype, uint32_t value) {
    v->datatype = datatype;
    v->count = 0;
    v->value.u = value;
}

void setString(PropertyValue *v, const CharString *s) {
    v->datatype = kDtCharString;
    v->count = 0;
    v->ownsValue = 0;
    v->value.block = const_cast<CharString *>(s);
}

void setBits(PropertyValue *v, const uint8_t *octets, uint16_t bits) {
    v->datatype = kDtBitString;
    v->count = 0;
    v->length = bits;
    std::memset(v->value.octets, 0, sizeof v->value.octets);
    std::memcpy(v->value.octets, octets, (bits + 7u) / 8u);
}

enum class Produced { kValue, kAbsent, kError, kApplication };

// A string of the record, absent when the record has none.
Produced stringOrAbsent(PropertyValue *v, const CharString *s) {
    if (s == nullptr) {
        return Produced::kAbsent;
    }
    setString(v, s);
    return Produced::kValue;
}

// Hands an allocated block of count elements to the value, which then owns it.
void setOwnedBlock(PropertyValue *v, uint8_t datatype, uint32_t count, void *block) {
    v->datatype = datatype;
    v->count = static_cast<uint16_t>(count);
    v->ownsValue = 1;
    v->value.block = block;
}

}  // namespace

PackedError svcReadCountedArray(const CountedArray &array, uint32_t arrayIndex, PropertyValue *v) {
    if (arrayIndex == 0) {
        setUnsigned(v, kDtUnsigned, array.length);
        return 0;
    }
    if (arrayIndex != kNoArrayIndex) {
        uint32_t element = 0;
        if (arrayIndex > array.length || !array.element(array.context, arrayIndex, &element)) {
            return kErrInvalidArrayIndex;
        }
        setUnsigned(v, array.elementDatatype, element);
        return 0;
    }
    uint32_t n = array.length > 0xFFFF ? 0xFFFF : array.length;
    auto *block = static_cast<uint32_t *>(appCalloc((n > 0 ? n : 1) * 4u));
    if (block == nullptr) {
        return kErrorOutOfMemory;
    }
    setOwnedBlock(v, array.arrayDatatype, array.elements(array.context, block, n), block);
    return 0;
}

namespace {

// The Device object's arrays whose element 0 is their length.
bool objectListElement(const void *context, uint32_t index, uint32_t *out) {
    int32_t device = *static_cast<const int32_t *>(context);
    int32_t id = -1;
    for (uint32_t k = 0; k < index; ++k) {
        id = appNextObject(device, id);
        if (id == -1) {
            return false;
        }
    }
    *out = static_cast<uint32_t>(id);
    return true;
}

uint32_t objectListElements(const void *context, uint32_t *out, uint32_t max) {
    int32_t device = *static_cast<const int32_t *>(context);
    uint32_t count = 0;
    int32_t id = -1;
    while (count < max) {
        id = appNextObject(device, id);
        if (id == -1) {
            break;
        }
        out[count++] = static_cast<uint32_t>(id);
    }
    return count;
}

bool propertyListElement(const void *context, uint32_t index, uint32_t *out) {
    *out = static_cast<const uint32_t *>(context)[index - 1];
    return true;
}

uint32_t propertyListElements(const void *context, uint32_t *out, uint32_t max) {
    std::memcpy(out, context, static_cast<size_t>(max) * 4u);
    return max;
}

// A counted array's outcome as the Device object's.
Produced produced(PackedError e, PackedError *error) {
    if (e != 0) {
        *error = e;
        return Produced::kError;
    }
    return Produced::kValue;
}

// One property of the Device object, answered from the record. kApplication
// means the application answers it.
Produced deviceProperty(int32_t device, uint32_t objectId, uint32_t q, uint32_t index,
                        const DeviceRecord &rec, PropertyValue *v, PackedError *error) {
    LocalDateTime now{};
    switch (q) {
        case kPropApduSegmentTimeout:
            if (rec.segmentationSupported == kNoSegmentation)
                return Produced::kAbsent;
            setUnsigned(v, kDtUnsigned, rec.apduSegmentTimeoutMs);
            return Produced::kValue;
        case kPropApduTimeout:
            setUnsigned(v, kDtUnsigned, stackDevice().apduTimeoutMs);
            return Produced::kValue;
        case kPropApplicationSoftwareVersion:
            return stringOrAbsent(v, rec.applicationSoftwareVersion);
        case kPropDaylightSavingsStatus:
            if (!appGetLocalDateTime(&now))
                return Produced::kAbsent;
            setUnsigned(v, kDtBoolean, now.daylightSaving ? 1 : 0);
            return Produced::kValue;
        case kPropDescription:
            return stringOrAbsent(v, rec.description);
        case kPropDeviceAddressBinding: {
            if (index != kNoArrayIndex) {
                *error = kErrNotAnArray;
                return Produced::kError;
            }
            int n = bindingCountBound();
            if (n == 0) {
                v->datatype = kDtEmptyList;
                v->count = 0;
                return Produced::kValue;
            }
            auto *bound =
                static_cast<AddressBinding *>(appCalloc(static_cast<uint32_t>(n * sizeof(AddressBinding))));
            auto *out = static_cast<BACnetAddressBinding *>(
                appCalloc(static_cast<uint32_t>(n * sizeof(BACnetAddressBinding))));
            if (bound == nullptr || out == nullptr) {
                appFree(bound);
                appFree(out);
                *error = kErrorOutOfMemory;
                return Produced::kError;
            }
            n = bindingCopyBound(bound, n);
            for (int i = 0; i < n; ++i) {
                out[i].deviceId = objectIdMake(kObjDevice, bound[i].instance);
                out[i].network = bound[i].address.network;
                uint8_t ml = bound[i].address.macLength > 8 ? 8 : bound[i].address.macLength;
                out[i].macLength = ml;
                std::memcpy(out[i].mac, bound[i].address.mac, ml);
            }
            appFree(bound);
            setOwnedBlock(v, kDtAddressBinding, static_cast<uint32_t>(n), out);
            return Produced::kValue;
        }
        case kPropFirmwareRevision:
            return stringOrAbsent(v, rec.firmwareRevision);
        case kPropLocalDate:
            if (!appGetLocalDateTime(&now))
                return Produced::kAbsent;
            v->datatype = kDtDate;
            v->count = 0;
            v->value.date = BACnetDate{static_cast<uint8_t>(now.year >= 1900 ? now.year - 1900 : 255),
                                       now.month, now.day, now.weekday};
            return Produced::kValue;
        case kPropLocalTime:
            if (!appGetLocalDateTime(&now))
                return Produced::kAbsent;
            v->datatype = kDtTime;
            v->count = 0;
            v->value.time = BACnetTime{now.hour, now.minute, now.second, now.hundredths};
            return Produced::kValue;
        case kPropLocation:
            if (rec.location == nullptr) {
                *error = kErrUnknownProperty;
                return Produced::kError;
            }
            setString(v, rec.location);
            return Produced::kValue;
        case kPropMaxApduLengthAccepted:
            setUnsigned(v, kDtUnsigned, rec.maxApdu);
            return Produced::kValue;
        case kPropMaxInfoFrames:
            setUnsigned(v, kDtUnsigned, rec.maxInfoFrames);
            return Produced::kValue;
        case kPropMaxMaster:
            setUnsigned(v, kDtUnsigned, rec.maxMaster);
            return Produced::kValue;
        case kPropModelName:
            return stringOrAbsent(v, rec.modelName);
        case kPropNumberOfApduRetries:
            setUnsigned(v, kDtUnsigned, rec.apduRetries);
            return Produced::kValue;
        case kPropObjectIdentifier:
            setUnsigned(v, kDtObjectId, objectId);
            return Produced::kValue;
        case kPropObjectList: {
            int32_t n = appCountObjects(device);
            CountedArray list{static_cast<uint32_t>(n < 0 ? 0 : n),
                              kDtObjectId,
                              kDtObjectIdList,
                              &device,
                              objectListElement,
                              objectListElements};
            return produced(svcReadCountedArray(list, index, v), error);
        }
        case kPropObjectName:
            return stringOrAbsent(v, rec.objectName);
        case kPropObjectType:
            setUnsigned(v, kDtEnumerated, kObjDevice);
            return Produced::kValue;
        case kPropProtocolObjectTypesSupported:
            setBits(v, rec.objectTypesSupported, 55);
            return Produced::kValue;
        case kPropProtocolServicesSupported:
            setBits(v, kServicesSupported.data(), kServicesSupportedBits);
            return Produced::kValue;
        case kPropProtocolVersion:
            setUnsigned(v, kDtUnsigned, kProtocolVersion);
            return Produced::kValue;
        case kPropSegmentationSupported:
            setUnsigned(v, kDtEnumerated, rec.segmentationSupported);
            return Produced::kValue;
        case kPropSystemStatus:
            setUnsigned(v, kDtEnumerated, appGetSystemStatus(device));
            return Produced::kValue;
        case kPropUtcOffset:
            if (!appGetLocalDateTime(&now))
                return Produced::kAbsent;
            v->datatype = kDtSigned;
            v->count = 0;
            v->value.i = now.utcOffsetMinutes;
            return Produced::kValue;
        case kPropVendorIdentifier:
            setUnsigned(v, kDtUnsigned, rec.vendorId);
            return Produced::kValue;
        case kPropVendorName:
            return stringOrAbsent(v, rec.vendorName);
        case kPropProtocolRevision:
            setUnsigned(v, kDtUnsigned, kProtocolRevision);
            return Produced::kValue;
        case kPropActiveCovSubscriptions: {
            if (index != kNoArrayIndex) {
                *error = kErrNotAnArray;
                return Produced::kError;
            }
            int32_t n = appCountCovSubscriptions(device);
            if (n < 0)
                return Produced::kAbsent;
            if (n == 0) {
                v->datatype = kDtEmptyList;
                v->count = 0;
                return Produced::kValue;
            }
            if (n > 0xFFFF) {
                n = 0xFFFF;
            }
            void *block =
                appCalloc(static_cast<uint32_t>(n) * static_cast<uint32_t>(sizeof(BACnetCOVSubscription)));
            if (block == nullptr) {
                *error = kErrorOutOfMemory;
                return Produced::kError;
            }
            setOwnedBlock(v, kDtCOVSubscription, static_cast<uint32_t>(n), block);
            PackedError e = appGetCovSubscription(device, v);
            if (e != 0) {
                *error = e;
                return Produced::kError;
            }
            return Produced::kValue;
        }
        case kPropDatabaseRevision:
            setUnsigned(v, kDtUnsigned, rec.databaseRevision);
            return Produced::kValue;
        case kPropMaxSegmentsAccepted:
            if (rec.segmentationSupported == kNoSegmentation)
                return Produced::kAbsent;
            setUnsigned(v, kDtUnsigned, rec.maxSegmentsAccepted);
            return Produced::kValue;
        case kPropProfileName:
            return stringOrAbsent(v, rec.profileName);
        case kPropPropertyList: {
            uint32_t entries[64];
            int n = propertyListEntries(entries);
            CountedArray list{static_cast<uint32_t>(n), kDtEnumerated,       kDtEnumerated, entries,
                              propertyListElement,      propertyListElements};
            return produced(svcReadCountedArray(list, index, v), error);
        }
        default:
            return Produced::kApplication;
    }
}

// Moves the group cursor k to the next entry of the group's list. Returns
// false at the end of the group (or when k is not in the list).
bool stepGroup(uint32_t group, uint32_t *k) {
    const uint32_t *list = groupList(group);
    const uint32_t *p = list;
    while (*p != kGroupEnd && *p != *k) {
        ++p;
    }
    if (*p == kGroupEnd) {
        *k = kGroupEnd;
        return false;
    }
    for (++p; *p != kGroupEnd; ++p) {
        if (*p == kPropPropertyList || (group == kPropOptional && *p >= kFirstProprietaryProperty)) {
            continue;
        }
        *k = *p;
        return true;
    }
    *k = kGroupEnd;
    return false;
}

PackedError readDevice(int32_t device, uint32_t objectId, uint32_t p, uint32_t index, const DeviceRecord &rec,
                       PropertyValue *v, uint32_t *k) {
    bool stepping = propIsGroup(p);
    uint32_t q = p;
    if (stepping) {
        // The cursor holds the group identifier at first, then the property
        // produced last; each call moves on to the next one.
        if (k == nullptr || !stepGroup(p, k)) {
            return kErrUnknownProperty;
        }
        q = *k;
    }
    for (int guard = 0; guard < 64; ++guard) {
        propFreeValue(v);
        v->count = 0;
        v->ownsValue = 0;
        PackedError e = appCheckProperty(device, objectId, q);
        if (e != 0) {
            return stepping ? kErrUnknownProperty : e;
        }
        PackedError error = 0;
        switch (deviceProperty(device, objectId, q, stepping ? kNoArrayIndex : index, rec, v, &error)) {
            case Produced::kValue:
                return 0;
            case Produced::kError:
                if (error != 0) {
                    propFreeValue(v);
                }
                return error;
            case Produced::kApplication: {
                uint32_t cursor = q;
                PackedError r =
                    appReadProperty(device, objectId, q, stepping ? kNoArrayIndex : index, v, &cursor);
                if (r != 0) {
                    propFreeValue(v);
                    if (stepping && r == kErrUnknownProperty && (p == kPropAll || p == kPropOptional)) {
                        break;  // passed over: on to the next property of the group
                    }
                }
                return r;
            }
            case Produced::kAbsent:
                if (!(p == kPropAll || p == kPropOptional)) {
                    return kErrUnknownProperty;
                }
                break;
        }
        if (!stepGroup(p, k)) {
            return kErrUnknownProperty;
        }
        q = *k;
    }
    return kErrUnknownProperty;
}

}  // namespace

PackedError svcValidateAccess(int32_t device, uint32_t objectId, uint32_t property, uint32_t arrayIndex,
                              uint8_t flags) {
    bool write = (flags & kAccessWrite) != 0;
    bool objectAccepted = false;
    bool propertyKnown = false;
    bool isArray = false;
    bool accessAllowed = false;
    appValidateProperty(device, objectId, property, &objectAccepted, &propertyKnown, &isArray, &accessAllowed);
    if (!objectAccepted) {
        return kErrUnknownObject;
    }
    if (!propertyKnown) {
        return kErrUnknownProperty;
    }
    if (isArray) {
        if (write && (flags & kAccessIndexGiven) && arrayIndex == kNoArrayIndex) {
            return kErrInvalidArrayIndex;
        }
    } else if (write ? (flags & kAccessIndexGiven) != 0 : arrayIndex != kNoArrayIndex) {
        return kErrNotAnArray;
    }
    if (!accessAllowed) {
        return kErrWriteAccessDenied;
    }
    return 0;
}

PackedError svcAccessProperty(int32_t device, uint32_t *objectId, uint32_t property, uint32_t arrayIndex,
                              uint8_t flags, PropertyValue *value, uint32_t *currentProperty) {
    bool write = (flags & kAccessWrite) != 0;
    if (!write && *objectId == kDeviceWildcard) {
        int32_t instance =
            device < 0 ? static_cast<int32_t>(objectIdInstance(stackDevice().instance)) : vdevFind(device);
        if (instance < 0) {
            return kErrUnknownObject;
        }
        *objectId = objectIdMake(kObjDevice, static_cast<uint32_t>(instance));
    }
    uint32_t o = *objectId;
    if (PackedError e = svcValidateAccess(device, o, property, arrayIndex, flags); e != 0) {
        return e;
    }
    uint16_t type = objectIdType(o);
    uint32_t instance = objectIdInstance(o);
    DeviceRecord rec = stackDevice();
    if (type == kObjDevice && device >= 0) {
        appFillVirtualDeviceRecord(device, &rec);
    }
    if (type != kObjDevice) {
        if (write) {
            PackedError e = appWriteProperty(device, o, property, arrayIndex, value);
            if (e != 0) {
                propFreeValue(value);
                return e;
            }
            if (property == kPropObjectIdentifier || property == kPropObjectName) {
                ++stackDevice().databaseRevision;
            }
            return 0;
        }
        uint32_t scratch = property;
        uint32_t *k = currentProperty != nullptr ? currentProperty : &scratch;
        PackedError e = appReadProperty(device, o, property, arrayIndex, value, k);
        if (e == 0 && propIsLogType(type) &&
            (property == kPropLogBuffer || (propIsGroup(property) && *k == kPropLogBuffer))) {
            e = kErrReadAccessDenied;
        }
        if (e == 0 && (property == kPropAll || property == kPropRequired) && *k == kPropPropertyList) {
            propFreeValue(value);
            e = appReadProperty(device, o, property, arrayIndex, value, k);
        }
        if (e != 0) {
            propFreeValue(value);
        }
        return e;
    }
    if (objectIdInstance(rec.instance) != instance) {
        if (device < 0 || vdevFind(device) != static_cast<int32_t>(instance)) {
            return kErrUnknownObject;
        }
        if (write) {
            return kErrWriteAccessDenied;
        }
        return readDevice(device, o, property, arrayIndex, rec, value, currentProperty);
    }
    if (write) {
        if (isSlaveProxyProperty(property)) {
            return kErrUnknownProperty;
        }
        if (property == kPropPropertyList) {
            return kErrWriteAccessDenied;
        }
        // The application counts the database revision of its Device
        // object's identifier and name and hands it over with the record.
        PackedError e = appWriteProperty(device, o, property, arrayIndex, value);
        if (e == 0) {
            stackRefreshDevice();
        }
        return e;
    }
    return readDevice(device, o, property, arrayIndex, rec, value, currentProperty);
}
