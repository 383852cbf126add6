// The frame every property handler shares: the object lookup on the root or
// a virtual device, the lock, the walk through all, required and optional,
// property-list, the encodings common to several classes, and the save of
// an object after a successful write.

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "device/application.h"
#include "device/object_sets.h"
#include "handler_frame.h"

namespace {

using handler::Access;
using handler::kNotOwnRow;
using handler::readPacked;
using handler::readText;
using handler::setBits;
using handler::setOwned;
using handler::setScalar;

// The longest time delay the objects can count: they count milliseconds
// in 32 bits.
constexpr uint32_t kMaxTimeDelaySeconds = 0xFFFFFFFFu / 1000u;

enum class Devices { Both, RootOnly, VirtualOnly };

struct HandlerClass {
    uint16_t type;
    Devices devices;
    bool takesLock;
    // The properties of the class's table that use a common encoding.
    std::vector<uint32_t> common;
    uint32_t (*rows)(Access &a);
    void (*outOfServiceChanged)(BACnetObject &object);
};

// Read-only in every class that lists them.
const uint32_t readOnlyCommon[] = {kPropObjectIdentifier, kPropObjectName,      kPropObjectType,
                                   kPropEventState,       kPropStatusFlags,     kPropNotificationClass,
                                   kPropNotifyType,       kPropEventTimeStamps, kPropEventMessageTexts,
                                   kPropPropertyList};

bool isReadOnlyCommon(uint32_t property) {
    for (uint32_t p : readOnlyCommon) {
        if (p == property) {
            return true;
        }
    }
    return false;
}

// The properties every class with event reporting shares: the read-only
// ones, then those the frame writes.
const std::vector<uint32_t> analogCommon = {
    kPropObjectIdentifier,     kPropObjectName,        kPropObjectType,           kPropEventState,
    kPropStatusFlags,          kPropNotificationClass, kPropNotifyType,           kPropEventTimeStamps,
    kPropEventMessageTexts,    kPropPropertyList,      kPropOutOfService,         kPropTimeDelay,
    kPropTimeDelayNormal,      kPropLimitEnable,       kPropEventEnable,          kPropAckedTransitions,
    kPropEventDetectionEnable, kPropEventAlgorithmInhibit};

const std::vector<uint32_t> kValueCommon = {kPropObjectIdentifier, kPropObjectName,   kPropObjectType,
                                            kPropEventState,       kPropStatusFlags, kPropPropertyList,
                                            kPropOutOfService};

// Each class: its type, the devices that serve it, the lock, the common
// properties, its own rows, and what an out-of-service change does beside
// the flag.
const HandlerClass analogInputClass{
    kObjAnalogInput, Devices::Both, true, analogCommon, handler::analogInputRows, handler::analogOutOfServiceChanged};
const HandlerClass largeAnalogValueClass{kObjLargeAnalogValue, Devices::Both, true, analogCommon,
                                         handler::largeAnalogValueRows, handler::analogOutOfServiceChanged};
const HandlerClass pulseConverterClass{kObjPulseConverter, Devices::RootOnly, false, analogCommon,
                                       handler::pulseConverterRows, handler::pulseOutOfServiceChanged};
const HandlerClass notificationClassClass{
    kObjNotificationClass, Devices::Both, true, {kPropObjectIdentifier, kPropObjectName, kPropObjectType, kPropPropertyList}, handler::notificationClassRows, nullptr};
const HandlerClass multiStateValueClass{kObjMultiStateValue, Devices::Both, true, kValueCommon,
                                        handler::multiStateValueRows, handler::multiStateOutOfServiceChanged};
const HandlerClass binaryValueClass{kObjBinaryValue, Devices::VirtualOnly, true, kValueCommon,
                                    handler::binaryValueRows, handler::binaryOutOfServiceChanged};

bool contains(const std::vector<uint32_t> &list, uint32_t property) {
    for (uint32_t p : list) {
        if (p == property) {
            return true;
        }
    }
    return false;
}

// The first data octet of a bit-string value, inline or in its block.
uint8_t firstBitOctet(const PropertyValue *v) {
    const uint32_t octets = (uint32_t{v->length} + 7) / 8;
    if (octets <= 7 && !v->ownsValue) {
        return v->value.octets[0];
    }
    return v->value.block != nullptr ? *static_cast<const uint8_t *>(v->value.block) : 0;
}

std::vector<uint32_t> propertyListOf(uint16_t type) {
    std::vector<uint32_t> out;
    for (const uint32_t *p = appPropertyList(type, kPropAll); p != nullptr && *p != kGroupEnd; ++p) {
        if (*p != kPropAll && *p != kPropObjectIdentifier && *p != kPropObjectName && *p != kPropObjectType &&
            *p != kPropOptional && *p != kPropRequired && *p != kPropPropertyList) {
            out.push_back(*p);
        }
    }
    return out;
}

uint32_t readPropertyList(uint16_t type, uint32_t index, PropertyValue *v) {
    const std::vector<uint32_t> list = propertyListOf(type);
    if (index == 0) {
        setScalar(v, kDtUnsigned, static_cast<uint32_t>(list.size()));
        return 0;
    }
    if (index == kNoArrayIndex) {
        auto *block = static_cast<uint32_t *>(std::calloc(list.empty() ? 1 : list.size(), 4));
        if (block == nullptr) {
            return kErrorOutOfMemory;
        }
        std::memcpy(block, list.data(), list.size() * 4);
        setOwned(v, kDtEnumerated, static_cast<uint16_t>(list.size()), block);
        return 0;
    }
    if (index > list.size()) {
        return kErrInvalidArrayIndex;
    }
    setScalar(v, kDtEnumerated, list[index - 1]);
    return 0;
}

uint32_t readTimeStamps(const BACnetObject &object, uint32_t index, PropertyValue *v) {
    if (index == 0) {
        setScalar(v, kDtUnsigned, 3);
        return 0;
    }
    if (index != kNoArrayIndex && (index < 1 || index > 3)) {
        return kErrInvalidArrayIndex;
    }
    const uint8_t first = index == kNoArrayIndex ? 0 : static_cast<uint8_t>(index - 1);
    const uint8_t count = index == kNoArrayIndex ? 3 : 1;
    auto *block = static_cast<BACnetTimeStamp *>(std::calloc(count, sizeof(BACnetTimeStamp)));
    if (block == nullptr) {
        return kErrorOutOfMemory;
    }
    for (uint8_t i = 0; i < count; ++i) {
        block[i] = object.getEventTimeStamp(static_cast<uint8_t>(first + i));
    }
    setOwned(v, kDtTimeStamp, count, block);
    return 0;
}

uint32_t readMessageTexts(const BACnetObject &object, uint32_t index, PropertyValue *v) {
    if (index == 0) {
        setScalar(v, kDtUnsigned, 3);
        return 0;
    }
    if (index == kNoArrayIndex) {
        return readPacked(v, {object.getEventMessageText(0), object.getEventMessageText(1),
                              object.getEventMessageText(2)});
    }
    if (index < 1 || index > 3) {
        return kErrInvalidArrayIndex;
    }
    uint32_t e = readText(v, object.getEventMessageText(static_cast<uint8_t>(index - 1)));
    v->count = 1;
    return e;
}

uint32_t readCommon(const BACnetObject &object, uint32_t property, uint32_t index, PropertyValue *v) {
    switch (property) {
        case kPropObjectIdentifier:
            setScalar(v, kDtObjectId, object.getObjectIdentifier());
            return 0;
        case kPropObjectName:
            return readText(v, object.getObjectName());
        case kPropObjectType:
            setScalar(v, kDtEnumerated, object.getObjectType());
            return 0;
        case kPropEventState:
            setScalar(v, kDtEnumerated, object.getEventState());
            return 0;
        case kPropStatusFlags:
            setBits(v, object.getStatusFlags(), 4);
            return 0;
        case kPropNotificationClass:
            setScalar(v, kDtUnsigned, object.getNotificationClass());
            return 0;
        case kPropNotifyType:
            setScalar(v, kDtEnumerated, object.getNotifyType());
            return 0;
        case kPropAckedTransitions:
            setBits(v, object.getAckedTransitions(), 3);
            return 0;
        case kPropEventEnable:
            setBits(v, object.getEventEnable(), 3);
            return 0;
        case kPropLimitEnable:
            setBits(v, object.getLimitEnable(), 2);
            return 0;
        case kPropEventTimeStamps:
            return readTimeStamps(object, index, v);
        case kPropEventMessageTexts:
            return readMessageTexts(object, index, v);
        case kPropOutOfService:
            setScalar(v, kDtBoolean, object.isOutOfService() ? 1 : 0);
            return 0;
        case kPropEventDetectionEnable:
            setScalar(v, kDtBoolean, object.getEventDetectionEnable() ? 1 : 0);
            return 0;
        case kPropEventAlgorithmInhibit:
            setScalar(v, kDtBoolean, object.getEventAlgorithmInhibit() ? 1 : 0);
            return 0;
        case kPropTimeDelay:
            setScalar(v, kDtUnsigned, object.getTimeDelay());
            return 0;
        case kPropTimeDelayNormal:
            setScalar(v, kDtUnsigned, object.getTimeDelayNormal());
            return 0;
        case kPropPropertyList:
            return readPropertyList(object.getObjectType(), index, v);
        default:
            return kErrUnknownProperty;
    }
}

uint32_t writeTransitions(BACnetObject &object, uint32_t property, const PropertyValue *v) {
    if (v->datatype != kDtBitString) {
        return kErrorInvalidDataType;
    }
    if (v->length < 1 || v->length > 3) {
        return kErrorValueOutOfRange;
    }
    const uint8_t bits = firstBitOctet(v);
    const bool toOffnormal = (bits & 0x80) != 0;
    const bool toFault = (bits & 0x40) != 0;
    const bool toNormal = (bits & 0x20) != 0;
    if (property == kPropEventEnable) {
        toOffnormal ? object.enableToOffnormalEvent() : object.disableToOffnormalEvent();
        if (v->length >= 2) {
            toFault ? object.enableToFaultEvent() : object.disableToFaultEvent();
        }
        if (v->length == 3) {
            toNormal ? object.enableToNormalEvent() : object.disableToNormalEvent();
        }
    } else {
        toOffnormal ? object.setAckedToOffnormal() : object.clearAckedToOffnormal();
        if (v->length >= 2) {
            toFault ? object.setAckedToFault() : object.clearAckedToFault();
        }
        if (v->length == 3) {
            toNormal ? object.setAckedToNormal() : object.clearAckedToNormal();
        }
    }
    return 0;
}

uint32_t writeLimitEnable(BACnetObject &object, const PropertyValue *v) {
    if (v->datatype != kDtBitString) {
        return kErrorInvalidDataType;
    }
    if (v->length < 1 || v->length > 2) {
        return kErrorValueOutOfRange;
    }
    const uint8_t bits = firstBitOctet(v);
    (bits & 0x80) != 0 ? object.enableLowLimit() : object.disableLowLimit();
    if (v->length == 2) {
        (bits & 0x40) != 0 ? object.enableHighLimit() : object.disableHighLimit();
    }
    return 0;
}

uint32_t writeCommon(BACnetObject &object, uint32_t property, const PropertyValue *v,
                     void (*outOfServiceChanged)(BACnetObject &)) {
    if (isReadOnlyCommon(property)) {
        return kErrWriteAccessDenied;
    }
    switch (property) {
        case kPropAckedTransitions:
        case kPropEventEnable:
            return writeTransitions(object, property, v);
        case kPropLimitEnable:
            return writeLimitEnable(object, v);
        case kPropOutOfService:
        case kPropEventDetectionEnable:
        case kPropEventAlgorithmInhibit: {
            if (v->datatype != kDtBoolean) {
                return kErrorInvalidDataType;
            }
            const bool on = v->value.u != 0;
            if (property == kPropOutOfService) {
                const bool was = object.isOutOfService();
                object.setOutOfService(on);
                if (was != on && outOfServiceChanged != nullptr) {
                    outOfServiceChanged(object);
                }
            } else if (property == kPropEventDetectionEnable) {
                object.setEventDetectionEnable(on);
            } else {
                object.setEventAlgorithmInhibit(on);
            }
            return 0;
        }
        case kPropTimeDelay:
        case kPropTimeDelayNormal:
            if (v->datatype != kDtUnsigned) {
                return kErrorInvalidDataType;
            }
            // A longer delay would wrap to a short one in the objects' count.
            if (v->value.u > kMaxTimeDelaySeconds) {
                return kErrorValueOutOfRange;
            }
            property == kPropTimeDelay ? object.setTimeDelay(v->value.u) : object.setTimeDelayNormal(v->value.u);
            return 0;
        default:
            return kErrUnknownProperty;
    }
}

// The object the request names on its device, or null.
BACnetObject *findObject(const HandlerClass &c, int32_t device, uint32_t objectId, Load **load) {
    *load = nullptr;
    if (appIsRootDevice(device)) {
        if (c.devices == Devices::VirtualOnly) {
            return nullptr;
        }
        return objectMapFindId(deviceObjectMap, objectId);
    }
    if (c.devices == Devices::RootOnly) {
        return nullptr;
    }
    *load = appFindLoad(device);
    return *load != nullptr ? objectMapFindId((*load)->getObjectMap(), objectId) : nullptr;
}

// A written object is kept in its state file. A root object goes into
// every voltage input's directory: start-up reads them all, the last one
// winning, so a copy left in only one of them would be undone by another.
void saveWritten(Load *load, uint32_t objectId) {
    if (load != nullptr) {
        load->saveObject(objectId);
        return;
    }
    for (const auto &[position, input] : inputMapping) {
        input->saveObject(objectId);
    }
}

uint32_t runHandler(const HandlerClass &c, int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                    uint32_t index, PropertyValue *v, uint32_t *cursor) {
    std::optional<std::lock_guard<std::mutex>> lock;
    if (c.takesLock) {
        lock.emplace(appPropertyMutex);
    }
    Load *load = nullptr;
    BACnetObject *object = findObject(c, device, objectId, &load);
    if (object == nullptr || object->getObjectType() != c.type) {
        return kErrUnknownObject;
    }
    for (int guard = 0; guard < 64; ++guard) {
        if (mode == 0) {
            v->count = 0;
        }
        if (property == kPropAll || property == kPropRequired || property == kPropOptional) {
            if (cursor == nullptr) {
                return kErrUnknownProperty;
            }
            const uint32_t *p = appPropertyList(c.type, property);
            while (p != nullptr && *p != kGroupEnd && *p != *cursor) {
                ++p;
            }
            // The cursor moves on to the entry that follows, the end marker
            // past the last one, which ends the caller's walk.
            *cursor = p == nullptr || *p == kGroupEnd ? kGroupEnd : p[1];
            if (*cursor == kGroupEnd) {
                return kErrUnknownProperty;
            }
            property = *cursor;
            index = kNoArrayIndex;
            continue;
        }
        Access access{*object, mode, property, index, v};
        uint32_t e = c.rows(access);
        if (e == kNotOwnRow) {
            if (!contains(c.common, property)) {
                return kErrUnknownProperty;
            }
            e = mode == 0 ? readCommon(*object, property, index, v)
                          : writeCommon(*object, property, v, c.outOfServiceChanged);
        }
        if (e == 0 && mode == 1 && access.save) {
            saveWritten(load, objectId);
        }
        return e;
    }
    return kErrUnknownProperty;
}

}  // namespace

namespace handler {

void setScalar(PropertyValue *v, uint8_t datatype, uint32_t u) {
    v->datatype = datatype;
    v->count = 0;
    v->ownsValue = 0;
    v->value.u = u;
}

void setReal(PropertyValue *v, double x) {
    v->datatype = kDtReal;
    v->count = 0;
    v->ownsValue = 0;
    v->value.f = static_cast<float>(x);
}

void setDouble(PropertyValue *v, double x) {
    v->datatype = kDtDouble;
    v->count = 0;
    v->ownsValue = 0;
    v->value.d = x;
}

void setBits(PropertyValue *v, uint8_t octet, uint16_t bits) {
    v->datatype = kDtBitString;
    v->count = 0;
    v->ownsValue = 0;
    v->length = bits;
    std::memset(v->value.octets, 0, sizeof v->value.octets);
    v->value.octets[0] = octet;
}

void setOwned(PropertyValue *v, uint8_t datatype, uint16_t count, void *block) {
    v->datatype = datatype;
    v->count = count;
    v->ownsValue = 1;
    v->value.block = block;
}

uint32_t readText(PropertyValue *v, const std::string &text) {
    CharString *s = appNewCharString(text);
    if (s == nullptr) {
        return kErrorOutOfMemory;
    }
    setOwned(v, kDtCharString, 0, s);
    return 0;
}

uint32_t readPacked(PropertyValue *v, const std::vector<std::string> &texts) {
    size_t size = 0;
    std::vector<std::string> cut;
    for (const std::string &t : texts) {
        cut.push_back(appCutText(t));
        size += sizeof(CharString) + cut.back().size();
    }
    auto *block = static_cast<uint8_t *>(std::calloc(size > 0 ? size : 1, 1));
    if (block == nullptr) {
        return kErrorOutOfMemory;
    }
    uint8_t *p = block;
    for (const std::string &t : cut) {
        CharString header{};
        header.length = static_cast<uint32_t>(t.size());
        std::memcpy(p, &header, sizeof header);
        std::memcpy(p + sizeof header, t.data(), t.size());
        p += sizeof header + t.size();
    }
    setOwned(v, kDtCharString, static_cast<uint16_t>(texts.size()), block);
    return 0;
}

bool unsignedElements(const PropertyValue *v, std::vector<uint32_t> *out) {
    out->clear();
    if (v->datatype == kDtEmptyList) {
        return true;
    }
    if (v->datatype != kDtUnsigned) {
        return false;
    }
    if (v->count == 0 && !v->ownsValue) {
        out->push_back(v->value.u);
        return true;
    }
    const auto *elements = static_cast<const uint32_t *>(v->value.block);
    for (uint16_t i = 0; elements != nullptr && i < v->count; ++i) {
        out->push_back(elements[i]);
    }
    return true;
}

}  // namespace handler

uint32_t appAnalogInputProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor) {
    return runHandler(analogInputClass, device, mode, objectId, property, arrayIndex, value, cursor);
}

uint32_t appBinaryValueProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor) {
    return runHandler(binaryValueClass, device, mode, objectId, property, arrayIndex, value, cursor);
}

uint32_t appNotificationClassProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                      uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor) {
    return runHandler(notificationClassClass, device, mode, objectId, property, arrayIndex, value, cursor);
}

uint32_t appMultiStateValueProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                    uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor) {
    return runHandler(multiStateValueClass, device, mode, objectId, property, arrayIndex, value, cursor);
}

uint32_t appPulseConverterProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                   uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor) {
    return runHandler(pulseConverterClass, device, mode, objectId, property, arrayIndex, value, cursor);
}

uint32_t appLargeAnalogValueProperty(int32_t device, uint8_t mode, uint32_t objectId, uint32_t property,
                                     uint32_t arrayIndex, PropertyValue *value, uint32_t *cursor) {
    return runHandler(largeAnalogValueClass, device, mode, objectId, property, arrayIndex, value, cursor);
}
