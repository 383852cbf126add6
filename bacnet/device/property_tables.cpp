// What each device supports: the property lists of every object type, the
// object types of the root and the virtual devices, the properties that
// are lists; the checks the stack's access core asks first, and the
// dispatch of reads and writes to the class handlers.

#include "bacnet/datatype_table.h"
#include "bacnet/enums.h"
#include "bacnet/stack/apdu.h"
#include "bacnet/stack/app.h"
#include "device/application.h"
#include "device/object_sets.h"
#include "device/config.h"

namespace {

constexpr uint32_t E = 0xFFFFFFFF;

const uint32_t aiAll[] = {8,  75, 77, 79, 85, 81, 111, 36, 117, 22, 113, 356, 17, 69,
                          65, 45, 59, 25, 52, 35, 0,   72, 130, 351, 353, 354, 371, E};
const uint32_t aiRequired[] = {105, 75, 77, 79, 85, 111, 36, 81, 117, 371, E};
const uint32_t aiOptional[] = {80, 22, 113, 356, 17, 69, 65, 45, 59, 25, 52, 35, 0, 72, 130, 351, 353, 354, E};

const uint32_t bvAll[] = {8, 75, 77, 79, 85, 111, 36, 81, 46, 4, 371, E};
const uint32_t bvRequired[] = {105, 75, 77, 79, 85, 111, 36, 81, 371, E};
const uint32_t bvOptional[] = {80, 46, 4, E};

const uint32_t msvAll[] = {8, 75, 77, 79, 85, 81, 111, 36, 74, 110, 371, E};
const uint32_t msvRequired[] = {105, 75, 77, 79, 85, 111, 36, 81, 74, 371, E};
const uint32_t msvOptional[] = {80, 110, E};

const uint32_t ncAll[] = {8, 75, 77, 79, 17, 86, 1, 102, 371, E};
const uint32_t ncRequired[] = {105, 75, 77, 79, 17, 86, 1, 102, 371, E};
const uint32_t ncOptional[] = {80, E};

const uint32_t pcAll[] = {8,  75, 77,  79, 85, 181, 111, 36, 81, 117, 188, 176, 177, 189, 179, 178, 22,
                          180, 17, 113, 356, 45, 59, 25, 52, 35, 0, 72, 130, 351, 353, 354, 371, E};
const uint32_t pcRequired[] = {105, 75, 77, 79, 85, 111, 36, 81, 117, 188, 176, 177, 189, 179, 178, 371, E};
const uint32_t pcOptional[] = {80, 22, 180, 17, 113, 356, 45, 59, 25, 52, 35, 0, 72, 130, 351, 353, 354, E};

const uint32_t lavAll[] = {8,  75, 77, 79, 85, 81, 111, 36,  117, 22,  113, 356, 17,
                           45, 59, 25, 52, 35, 0,  72,  130, 351, 353, 354, 371, E};
const uint32_t lavRequired[] = {105, 75, 77, 79, 85, 111, 36, 117, 371, E};
const uint32_t lavOptional[] = {80, 22, 113, 356, 17, 45, 59, 25, 52, 35, 0, 72, 130, 351, 353, 354, E};

const uint32_t deviceAll[] = {8,  75, 77, 79, 112, 121, 120, 70,  44,  12,  58,  28,  98,  139, 62,  107, 119,
                              11, 10, 73, 97, 96,  76,  57,  56, 64, 63, 30, 167, 155, 152, 372, 371, E};

struct TypeLists {
    uint16_t type;
    const uint32_t *all;
    const uint32_t *required;
    const uint32_t *optional;
};

const TypeLists typeLists[] = {
    {kObjAnalogInput, aiAll, aiRequired, aiOptional},
    {kObjBinaryValue, bvAll, bvRequired, bvOptional},
    {kObjMultiStateValue, msvAll, msvRequired, msvOptional},
    {kObjNotificationClass, ncAll, ncRequired, ncOptional},
    {kObjPulseConverter, pcAll, pcRequired, pcOptional},
    {kObjLargeAnalogValue, lavAll, lavRequired, lavOptional},
    {kObjDevice, deviceAll, nullptr, nullptr},
};

bool typeIn(const uint16_t *types, uint16_t type) {
    for (const uint16_t *t = types; *t != 0xFFFF; ++t) {
        if (*t == type) {
            return true;
        }
    }
    return false;
}

bool isListProperty(uint32_t property) {
    for (const uint32_t *p = listProperties; *p != E; ++p) {
        if (*p == property) {
            return true;
        }
    }
    return false;
}

AppPropertyHandler handlerOf(uint16_t type) {
    switch (type) {
        case kObjAnalogInput:
            return appAnalogInputProperty;
        case kObjBinaryValue:
            return appBinaryValueProperty;
        case kObjNotificationClass:
            return appNotificationClassProperty;
        case kObjMultiStateValue:
            return appMultiStateValueProperty;
        case kObjPulseConverter:
            return appPulseConverterProperty;
        case kObjLargeAnalogValue:
            return appLargeAnalogValueProperty;
        default:
            return nullptr;
    }
}

}  // namespace

const uint16_t rootObjectTypes[] = {8, 19, 46, 0, 5, 24, 15, 0xFFFF};
const uint16_t virtualObjectTypes[] = {8, 0, 46, 5, 20, 15, 0xFFFF};
const uint32_t listProperties[] = {102, 131, 23,  122, 5,   116, 30,  152, 202, 206, 53,  175,
                                   166, 7,   39,  286, 159, 165, 54,  234, 272, 245, 266, 268,
                                   269, 265, 303, 364, 336, 350, 362, 170, 171, 54,  E};

const uint32_t *appPropertyList(uint16_t objectType, uint32_t group) {
    for (const TypeLists &t : typeLists) {
        if (t.type == objectType) {
            switch (group) {
                case kPropAll:
                    return t.all;
                case kPropRequired:
                    return t.required;
                case kPropOptional:
                    return t.optional;
                default:
                    return nullptr;
            }
        }
    }
    return nullptr;
}

bool appPropertyInList(const uint32_t *list, uint32_t property) {
    if (property == kPropAll || property == kPropOptional || property == kPropRequired) {
        return true;
    }
    for (const uint32_t *p = list; p != nullptr && *p != E; ++p) {
        if (*p == property) {
            return true;
        }
    }
    return false;
}

uint32_t appCheckProperty(int32_t device, uint32_t objectId, uint32_t property) {
    const uint16_t type = objectIdType(objectId);
    if (!typeIn(appIsRootDevice(device) ? rootObjectTypes : virtualObjectTypes, type)) {
        return kErrUnknownObject;
    }
    const uint32_t *all = appPropertyList(type, kPropAll);
    if (all == nullptr) {
        return kErrUnknownObject;
    }
    return appPropertyInList(all, property) ? 0 : kErrUnknownProperty;
}

int appValidateProperty(int32_t device, uint32_t objectId, uint32_t property, bool *objectAccepted,
                        bool *propertyKnown, bool *isArray, bool *accessAllowed) {
    *objectAccepted = false;
    *propertyKnown = false;
    *isArray = false;
    *accessAllowed = false;
    bool result = false;
    const uint32_t r = appCheckProperty(device, objectId, property);
    if (r == 0) {
        *objectAccepted = true;
        *propertyKnown = true;
        result = true;
    } else if (r == kErrUnknownProperty) {
        *objectAccepted = true;
        result = true;
    } else if (r == kErrUnknownObject) {
        // The check was made and refused the object: result stays false.
        *objectAccepted = false;
    }
    if (*objectAccepted && result && *propertyKnown) {
        uint8_t arrayOrList = 0;
        const int datatype = propGetDatatype(objectIdType(objectId), property, &arrayOrList);
        *isArray = datatype != kDtUnknown && !isListProperty(property) && arrayOrList != 0;
        *accessAllowed = true;
    }
    return result ? 1 : 0;
}

uint32_t appReadProperty(int32_t device, uint32_t objectId, uint32_t property, uint32_t arrayIndex,
                         PropertyValue *value, uint32_t *cursor) {
    const uint16_t type = objectIdType(objectId);
    if (type == kObjDevice) {
        if (property != kPropSerialNumber) {
            return kErrUnknownProperty;
        }
        CharString *serial = appNewCharString(staticConfig.getSerial());
        if (serial == nullptr) {
            return kErrorOutOfMemory;
        }
        value->datatype = kDtCharString;
        value->count = 0;
        value->ownsValue = 1;
        value->value.block = serial;
        return 0;
    }
    AppPropertyHandler handler = handlerOf(type);
    if (handler == nullptr) {
        return kErrUnknownObject;
    }
    return handler(device, 0, objectId, property, arrayIndex, value, cursor);
}

uint32_t appWriteProperty(int32_t device, uint32_t objectId, uint32_t property, uint32_t arrayIndex,
                          PropertyValue *value) {
    const uint16_t type = objectIdType(objectId);
    if (type == kObjDevice) {
        return appDeviceWriteProperty(device, 1, objectId, property, arrayIndex, value);
    }
    AppPropertyHandler handler = handlerOf(type);
    if (handler == nullptr) {
        return kErrUnknownObject;
    }
    return handler(device, 1, objectId, property, arrayIndex, value, nullptr);
}
