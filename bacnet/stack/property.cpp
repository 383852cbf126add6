// Property access (the core shared by the read and write services),
// ReadProperty and ReadPropertyMultiple.

#include <cstring>

#include "bacnet/app_memory.h"
#include "bacnet/property_encoder.h"
#include "bacnet/property_value.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "bacnet/stack/npdu.h"
#include "bacnet/stack/stack.h"
#include "bacnet/stack/tsm.h"

namespace {

constexpr uint32_t kEnd = 0xFFFFFFFFu;
constexpr uint32_t kPropAll = 8;
constexpr uint32_t kPropOptional = 80;
constexpr uint32_t kPropRequired = 105;
constexpr uint32_t kPropLogBuffer = 131;
constexpr uint32_t kPropPropertyList = 371;
constexpr uint16_t kTypeDevice = 8;

const uint32_t deviceAllProperties[] = {8,  75,  77, 79,  112, 121, 120, 70,  44,  12,  58, 28,
                                        98, 139, 62, 107, 119, 11,  10,  73,  97,  96,  76, 57,
                                        56, 64,  63, 30,  167, 155, 152, 372, 371, kEnd};
const uint32_t deviceRequiredProperties[] = {105, 75,  77, 79, 112, 121, 120, 70,  44, 12,  98,  139,
                                             62,  107, 11, 73, 97,  96,  76,  155, 30, 371, kEnd};
const uint32_t deviceOptionalProperties[] = {80, 58, 28, 119, 10, 57, 56, 64, 63, 167, 152, 372, kEnd};

// The services this device executes: the bits of the 41-bit string.
const uint8_t kServicesSupported[6] = {0x04, 0x0B, 0xC8, 0x20, 0x61, 0x00};

bool isGroup(uint32_t property) {
    return property == kPropAll || property == kPropOptional || property == kPropRequired;
}

bool isLogType(uint16_t type) {
    return type == 20 || type == 25 || type == 27;
}

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

// The entries of the property-list property: ALL less the identifying ones.
int propertyListEntries(uint32_t *out) {
    int n = 0;
    for (const uint32_t *p = deviceAllProperties; *p != kEnd; ++p) {
        uint32_t q = *p;
        if (q == 8 || q == 75 || q == 77 || q == 79 || q == 80 || q == 105 || q == 371) {
            continue;
        }
        if (out != nullptr) {
            out[n] = q;
        }
        ++n;
    }
    return n;
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

// One property of the Device object, answered from the record. kApplication
// means the application answers it.
Produced deviceProperty(int32_t device, uint32_t objectId, uint32_t q, uint32_t index,
                        const DeviceRecord &rec, PropertyValue *v, PackedError *error) {
    LocalDateTime now{};
    switch (q) {
        case 10:
            if (rec.segmentationSupported == 3)
                return Produced::kAbsent;
            setUnsigned(v, kDtUnsigned, rec.apduSegmentTimeoutMs);
            return Produced::kValue;
        case 11:
            setUnsigned(v, kDtUnsigned, stackDevice().apduTimeoutMs);
            return Produced::kValue;
        case 12:
            return stringOrAbsent(v, rec.applicationSoftwareVersion);
        case 24:
            if (!appGetLocalDateTime(&now))
                return Produced::kAbsent;
            setUnsigned(v, kDtBoolean, now.daylightSaving ? 1 : 0);
            return Produced::kValue;
        case 28:
            return stringOrAbsent(v, rec.description);
        case 30: {
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
                out[i].deviceId = (uint32_t{kTypeDevice} << 22) | (bound[i].instance & 0x3FFFFF);
                out[i].network = bound[i].address.network;
                uint8_t ml = bound[i].address.macLength > 8 ? 8 : bound[i].address.macLength;
                out[i].macLength = ml;
                std::memcpy(out[i].mac, bound[i].address.mac, ml);
            }
            appFree(bound);
            setOwnedBlock(v, kDtAddressBinding, static_cast<uint32_t>(n), out);
            return Produced::kValue;
        }
        case 44:
            return stringOrAbsent(v, rec.firmwareRevision);
        case 56:
            if (!appGetLocalDateTime(&now))
                return Produced::kAbsent;
            v->datatype = kDtDate;
            v->count = 0;
            v->value.date = BACnetDate{static_cast<uint8_t>(now.year >= 1900 ? now.year - 1900 : 255),
                                       now.month, now.day, now.weekday};
            return Produced::kValue;
        case 57:
            if (!appGetLocalDateTime(&now))
                return Produced::kAbsent;
            v->datatype = kDtTime;
            v->count = 0;
            v->value.time = BACnetTime{now.hour, now.minute, now.second, now.hundredths};
            return Produced::kValue;
        case 58:
            if (rec.location == nullptr) {
                *error = kErrUnknownProperty;
                return Produced::kError;
            }
            setString(v, rec.location);
            return Produced::kValue;
        case 62:
            setUnsigned(v, kDtUnsigned, rec.maxApdu);
            return Produced::kValue;
        case 63:
            setUnsigned(v, kDtUnsigned, rec.maxInfoFrames);
            return Produced::kValue;
        case 64:
            setUnsigned(v, kDtUnsigned, rec.maxMaster);
            return Produced::kValue;
        case 70:
            return stringOrAbsent(v, rec.modelName);
        case 73:
            setUnsigned(v, kDtUnsigned, rec.apduRetries);
            return Produced::kValue;
        case 75:
            setUnsigned(v, kDtObjectId, objectId);
            return Produced::kValue;
        case 76: {
            int32_t n = appCountObjects(device);
            if (n < 0) {
                n = 0;
            }
            if (index == 0) {
                setUnsigned(v, kDtUnsigned, static_cast<uint32_t>(n));
                return Produced::kValue;
            }
            if (index != kNoArrayIndex) {
                if (index > static_cast<uint32_t>(n)) {
                    *error = kErrInvalidArrayIndex;
                    return Produced::kError;
                }
                int32_t id = -1;
                for (uint32_t k = 0; k < index; ++k) {
                    id = appNextObject(device, id);
                    if (id == -1) {
                        *error = kErrInvalidArrayIndex;
                        return Produced::kError;
                    }
                }
                setUnsigned(v, kDtObjectId, static_cast<uint32_t>(id));
                return Produced::kValue;
            }
            if (n > 0xFFFF) {
                n = 0xFFFF;
            }
            auto *ids = static_cast<uint32_t *>(appCalloc(static_cast<uint32_t>(n > 0 ? n : 1) * 4u));
            if (ids == nullptr) {
                *error = kErrorOutOfMemory;
                return Produced::kError;
            }
            int32_t count = 0;
            int32_t id = -1;
            while (count < n) {
                id = appNextObject(device, id);
                if (id == -1) {
                    break;
                }
                ids[count++] = static_cast<uint32_t>(id);
            }
            setOwnedBlock(v, kDtObjectIdList, static_cast<uint32_t>(count), ids);
            return Produced::kValue;
        }
        case 77:
            return stringOrAbsent(v, rec.objectName);
        case 79:
            setUnsigned(v, kDtEnumerated, kTypeDevice);
            return Produced::kValue;
        case 96:
            setBits(v, rec.objectTypesSupported, 55);
            return Produced::kValue;
        case 97:
            setBits(v, kServicesSupported, 41);
            return Produced::kValue;
        case 98:
            setUnsigned(v, kDtUnsigned, 1);
            return Produced::kValue;
        case 107:
            setUnsigned(v, kDtEnumerated, rec.segmentationSupported);
            return Produced::kValue;
        case 112:
            setUnsigned(v, kDtEnumerated, appGetSystemStatus(device));
            return Produced::kValue;
        case 119:
            if (!appGetLocalDateTime(&now))
                return Produced::kAbsent;
            v->datatype = kDtSigned;
            v->count = 0;
            v->value.i = now.utcOffsetMinutes;
            return Produced::kValue;
        case 120:
            setUnsigned(v, kDtUnsigned, rec.vendorId);
            return Produced::kValue;
        case 121:
            return stringOrAbsent(v, rec.vendorName);
        case 139:
            setUnsigned(v, kDtUnsigned, 14);
            return Produced::kValue;
        case 152: {
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
        case 155:
            setUnsigned(v, kDtUnsigned, rec.databaseRevision);
            return Produced::kValue;
        case 167:
            if (rec.segmentationSupported == 3)
                return Produced::kAbsent;
            setUnsigned(v, kDtUnsigned, rec.maxSegmentsAccepted);
            return Produced::kValue;
        case 168:
            return stringOrAbsent(v, rec.profileName);
        case kPropPropertyList: {
            uint32_t entries[64];
            int n = propertyListEntries(entries);
            if (index == 0) {
                setUnsigned(v, kDtUnsigned, static_cast<uint32_t>(n));
                return Produced::kValue;
            }
            if (index != kNoArrayIndex) {
                if (index > static_cast<uint32_t>(n)) {
                    *error = kErrInvalidArrayIndex;
                    return Produced::kError;
                }
                setUnsigned(v, kDtEnumerated, entries[index - 1]);
                return Produced::kValue;
            }
            auto *block = static_cast<uint32_t *>(appCalloc(static_cast<uint32_t>(n) * 4u));
            if (block == nullptr) {
                *error = kErrorOutOfMemory;
                return Produced::kError;
            }
            std::memcpy(block, entries, static_cast<size_t>(n) * 4u);
            setOwnedBlock(v, kDtEnumerated, static_cast<uint32_t>(n), block);
            return Produced::kValue;
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
    while (*p != kEnd && *p != *k) {
        ++p;
    }
    if (*p == kEnd) {
        *k = kEnd;
        return false;
    }
    for (++p; *p != kEnd; ++p) {
        if (*p == kPropPropertyList || (group == kPropOptional && *p > 511)) {
            continue;
        }
        *k = *p;
        return true;
    }
    *k = kEnd;
    return false;
}

PackedError readDevice(int32_t device, uint32_t objectId, uint32_t p, uint32_t index, const DeviceRecord &rec,
                       PropertyValue *v, uint32_t *k) {
    bool stepping = isGroup(p);
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

PackedError svcAccessProperty(int32_t device, uint32_t *objectId, uint32_t property, uint32_t arrayIndex,
                              uint8_t flags, PropertyValue *value, uint32_t *currentProperty) {
    bool write = (flags & kAccessWrite) != 0;
    if (!write && *objectId == kDeviceWildcard) {
        int32_t instance =
            device < 0 ? static_cast<int32_t>(stackDevice().instance & 0x3FFFFF) : vdevFind(device);
        if (instance < 0) {
            return kErrUnknownObject;
        }
        *objectId = (uint32_t{kTypeDevice} << 22) | static_cast<uint32_t>(instance);
    }
    uint32_t o = *objectId;
    bool objectAccepted = false;
    bool propertyKnown = false;
    bool isArray = false;
    bool accessAllowed = false;
    appValidateProperty(device, o, property, &objectAccepted, &propertyKnown, &isArray, &accessAllowed);
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
    uint16_t type = static_cast<uint16_t>(o >> 22);
    uint32_t instance = o & 0x3FFFFF;
    DeviceRecord rec = stackDevice();
    if (type == kTypeDevice && device >= 0) {
        appFillVirtualDeviceRecord(device, &rec);
    }
    if (type != kTypeDevice) {
        if (write) {
            PackedError e = appWriteProperty(device, o, property, arrayIndex, value);
            if (e != 0) {
                propFreeValue(value);
                return e;
            }
            if (property == 75 || property == 77) {
                ++stackDevice().databaseRevision;
            }
            return 0;
        }
        uint32_t scratch = property;
        uint32_t *k = currentProperty != nullptr ? currentProperty : &scratch;
        PackedError e = appReadProperty(device, o, property, arrayIndex, value, k);
        if (e == 0 && isLogType(type) &&
            (property == kPropLogBuffer || (isGroup(property) && *k == kPropLogBuffer))) {
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
    if ((rec.instance & 0x3FFFFF) != instance) {
        if (device < 0 || vdevFind(device) != static_cast<int32_t>(instance)) {
            return kErrUnknownObject;
        }
        if (write) {
            return kErrWriteAccessDenied;
        }
        return readDevice(device, o, property, arrayIndex, rec, value, currentProperty);
    }
    if (write) {
        if (property >= 169 && property <= 172) {
            return kErrUnknownProperty;
        }
        if (property == kPropPropertyList) {
            return kErrWriteAccessDenied;
        }
        PackedError e = appWriteProperty(device, o, property, arrayIndex, value);
        if (e == 0) {
            stackRefreshDevice();
        }
        return e;
    }
    return readDevice(device, o, property, arrayIndex, rec, value, currentProperty);
}

namespace {

// A context tag of the given number holding a 1..4 octet unsigned value.
bool readContextUnsigned(const uint8_t **p, const uint8_t *end, uint8_t number, uint32_t *value) {
    TagHeader tag;
    if (!tagDecodeHeader(*p, end, &tag) || !tag.context || tag.opening || tag.closing ||
        tag.number != number || tag.length < 1 || tag.length > 4) {
        return false;
    }
    return tagDecodeContextUnsigned(p, end, false, value);
}

bool readContextObjectId(const uint8_t **p, const uint8_t *end, uint8_t number, uint32_t *value) {
    TagHeader tag;
    if (!tagDecodeHeader(*p, end, &tag) || !tag.context || tag.opening || tag.closing ||
        tag.number != number || tag.length != 4) {
        return false;
    }
    const uint8_t *v = *p + tag.headerSize;
    *value = uint32_t{v[0]} << 24 | uint32_t{v[1]} << 16 | uint32_t{v[2]} << 8 | v[3];
    *p = v + 4;
    return true;
}

bool isContextTag(const uint8_t *p, const uint8_t *end, uint8_t number) {
    TagHeader tag;
    return p < end && tagDecodeHeader(p, end, &tag) && tag.context && !tag.opening && !tag.closing &&
           tag.number == number;
}

bool appendContextUnsigned(PduBuffer *b, uint8_t number, uint32_t value) {
    uint8_t tmp[8];
    uint8_t *end = tagEncodeContextInteger(tmp, value, number, false);
    return pduAppendBytes(b, static_cast<uint32_t>(end - tmp), tmp) == 0;
}

bool appendContextObjectId(PduBuffer *b, uint8_t number, uint32_t value) {
    uint8_t tmp[8];
    uint8_t *end = tagEncodeContextObjectId(tmp, static_cast<uint8_t>(number * 16 + 8), value);
    return pduAppendBytes(b, static_cast<uint32_t>(end - tmp), tmp) == 0;
}

bool appendErrorPair(PduBuffer *b, PackedError e) {
    uint8_t tmp[16];
    uint8_t *p = tmp;
    *p++ = 0x5E;
    p = tagEncodeEnumerated(p, errGetClass(e));
    p = tagEncodeEnumerated(p, errGetCode(e));
    *p++ = 0x5F;
    return pduAppendBytes(b, static_cast<uint32_t>(p - tmp), tmp) == 0;
}

// The answer to a failed single read: an Error, or the Abort or Reject the
// failure stands for, or nothing.
void answerFailure(NpduPacket *packet, uint8_t invokeId, uint8_t service, PackedError e) {
    if (e == kNoReply) {
        return;
    }
    uint32_t c = errGetClass(e);
    if (c == kClassAbort || c == kClassReject) {
        apduSendAbortOrReject(packet, invokeId, e);
        return;
    }
    apduSendError(packet, invokeId, service, c, errGetCode(e));
}

bool startAck(PduBuffer *b, const NpduPacket *packet, uint8_t invokeId, uint8_t service) {
    if (pduInit(b) != 0) {
        return false;
    }
    b->control = packet->priority & 3;
    if (pduWriteNpduHeader(b, &packet->address, false) != 0) {
        return false;
    }
    const uint8_t head[] = {0x30, invokeId, service};
    return pduAppendBytes(b, sizeof head, head) == 0;
}

// An ACK larger than this can never be sent whole; building stops there.
constexpr uint32_t kMaxAckBuild = 65536 + 64;

}  // namespace

void svcHandleReadProperty(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                           uint8_t invokeId, PropertyValue *v) {
    v->ownsValue = 0;
    v->value.u = 0;
    v->value.block = nullptr;
    const uint8_t *p = data;
    const uint8_t *end = data + length;
    uint32_t objectId = 0;
    uint32_t property = 0;
    uint32_t index = kNoArrayIndex;
    bool hasIndex = false;
    if (!readContextObjectId(&p, end, 0, &objectId) || !readContextUnsigned(&p, end, 1, &property)) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    if (p < end && (*p >> 4) == 2) {
        if (!readContextUnsigned(&p, end, 2, &index)) {
            apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
            return;
        }
        hasIndex = true;
    }
    if (p != end) {
        apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
        return;
    }
    PackedError e;
    uint16_t type = static_cast<uint16_t>(objectId >> 22);
    if (isGroup(property)) {
        e = kErrReadAccessDenied;
    } else if (property == kPropLogBuffer) {
        if (isLogType(type)) {
            e = kErrReadAccessDenied;
        } else {
            bool objectAccepted = false, propertyKnown = false, isArray = false, accessAllowed = false;
            appValidateProperty(device, objectId, property, &objectAccepted, &propertyKnown, &isArray,
                                &accessAllowed);
            e = objectAccepted ? kErrUnknownProperty : kErrUnknownObject;
        }
    } else {
        e = svcAccessProperty(device, &objectId, property, index, 0, v, nullptr);
    }
    if (e != 0) {
        propFreeValue(v);
        answerFailure(packet, invokeId, 12, e);
        return;
    }
    PduBuffer b;
    bool ok = startAck(&b, packet, invokeId, 12) && appendContextObjectId(&b, 0, objectId) &&
              appendContextUnsigned(&b, 1, property) && (!hasIndex || appendContextUnsigned(&b, 2, index)) &&
              pduAppendByte(&b, 0x3E) == 0 &&
              propEncodeValue(&b, static_cast<uint16_t>(objectId >> 22), property, v) == 0 &&
              pduAppendByte(&b, 0x3F) == 0;
    propFreeValue(v);
    if (!ok) {
        pduFree(&b);
        apduSendReject(packet, invokeId, kRejectOther);
        return;
    }
    apduSendResponse(&packet->address, &b, false);
}

void svcHandleReadPropertyMultiple(int32_t device, NpduPacket *packet, const uint8_t *data, uint32_t length,
                                   uint8_t invokeId, PropertyValue *v) {
    v->ownsValue = 0;
    v->value.block = nullptr;
    PduBuffer b;
    if (!startAck(&b, packet, invokeId, 14)) {
        pduFree(&b);
        apduSendReject(packet, invokeId, kRejectOther);
        return;
    }
    const uint8_t *p = data;
    const uint8_t *end = data + length;
    enum class Outcome { kOk, kMalformed, kNoMemory, kNotAnArray, kAbortOrReject };
    Outcome outcome = Outcome::kOk;
    PackedError special = 0;
    if (p == end) {
        outcome = Outcome::kMalformed;
    }
    while (outcome == Outcome::kOk && p < end) {
        uint32_t objectId = 0;
        if (!readContextObjectId(&p, end, 0, &objectId) || p >= end || *p != 0x1E) {
            outcome = Outcome::kMalformed;
            break;
        }
        ++p;
        bool first = true;
        for (;;) {
            uint32_t property = 0;
            uint32_t index = kNoArrayIndex;
            bool hasIndex = false;
            if (!readContextUnsigned(&p, end, 0, &property)) {
                outcome = Outcome::kMalformed;
                break;
            }
            if (p < end && *p != 0x1F && (*p >> 4) == 1) {
                if (!readContextUnsigned(&p, end, 1, &index)) {
                    outcome = Outcome::kMalformed;
                    break;
                }
                hasIndex = true;
            }
            bool group = isGroup(property);
            if (group && hasIndex) {
                outcome = Outcome::kNotAnArray;
                break;
            }
            uint32_t k = property;
            for (int step = 0; step < 4096; ++step) {
                v->priority = 0;
                v->ownsValue = 0;
                v->value.block = nullptr;
                PackedError e =
                    svcAccessProperty(device, &objectId, property, index, 0, v, group ? &k : nullptr);
                if (first) {
                    first = false;
                    if (!appendContextObjectId(&b, 0, objectId) || pduAppendByte(&b, 0x1E) != 0) {
                        outcome = Outcome::kNoMemory;
                        break;
                    }
                }
                if (group && e == kErrUnknownProperty) {
                    propFreeValue(v);
                    if (k == kEnd) {
                        break;
                    }
                    continue;
                }
                uint32_t c = errGetClass(e);
                if (e == kNoReply || c == kClassAbort || c == kClassReject) {
                    propFreeValue(v);
                    special = e;
                    outcome = Outcome::kAbortOrReject;
                    break;
                }
                uint32_t shown = group ? k : property;
                bool ok =
                    appendContextUnsigned(&b, 2, shown) && (!hasIndex || appendContextUnsigned(&b, 3, index));
                if (ok && e == 0) {
                    ok = pduAppendByte(&b, 0x4E) == 0 &&
                         propEncodeValue(&b, static_cast<uint16_t>(objectId >> 22), shown, v) == 0 &&
                         pduAppendByte(&b, 0x4F) == 0;
                } else if (ok) {
                    ok = appendErrorPair(&b, e);
                }
                propFreeValue(v);
                if (!ok) {
                    outcome = Outcome::kNoMemory;
                    break;
                }
                if (b.length > kMaxAckBuild) {
                    break;
                }
                if (!group || e == kErrUnknownObject) {
                    break;
                }
                if (k == kEnd) {
                    break;
                }
            }
            if (outcome != Outcome::kOk) {
                break;
            }
            if (isContextTag(p, end, 0)) {
                continue;
            }
            if (p >= end || *p != 0x1F) {
                outcome = Outcome::kMalformed;
                break;
            }
            ++p;
            if (pduAppendByte(&b, 0x1F) != 0) {
                outcome = Outcome::kNoMemory;
            }
            break;
        }
        if (b.length > kMaxAckBuild) {
            break;
        }
    }
    propFreeValue(v);
    switch (outcome) {
        case Outcome::kOk:
            apduSendResponse(&packet->address, &b, false);
            return;
        case Outcome::kMalformed:
            pduFree(&b);
            apduSendReject(packet, invokeId, kRejectReasonInvalidTag);
            return;
        case Outcome::kNoMemory:
            pduFree(&b);
            apduSendReject(packet, invokeId, kRejectOther);
            return;
        case Outcome::kNotAnArray:
            pduFree(&b);
            apduSendError(packet, invokeId, 14, errGetClass(kErrNotAnArray), errGetCode(kErrNotAnArray));
            return;
        case Outcome::kAbortOrReject:
            pduFree(&b);
            answerFailure(packet, invokeId, 14, special);
            return;
    }
}
