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

// The end of an object-type list.
constexpr uint16_t kTypesEnd = 0xFFFF;

const uint32_t aiAll[] = {kPropAll, kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                          kPropPresentValue, kPropOutOfService, kPropStatusFlags, kPropEventState, kPropUnits,
                          kPropCovIncrement, kPropTimeDelay, kPropTimeDelayNormal, kPropNotificationClass,
                          kPropMinPresValue, kPropMaxPresValue, kPropHighLimit, kPropLowLimit, kPropDeadband,
                          kPropLimitEnable, kPropEventEnable, kPropAckedTransitions, kPropNotifyType,
                          kPropEventTimeStamps, kPropEventMessageTexts, kPropEventDetectionEnable,
                          kPropEventAlgorithmInhibit, kPropPropertyList, kGroupEnd};
const uint32_t aiRequired[] = {kPropRequired, kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                               kPropPresentValue, kPropStatusFlags, kPropEventState, kPropOutOfService,
                               kPropUnits, kPropPropertyList, kGroupEnd};
const uint32_t aiOptional[] = {kPropOptional, kPropCovIncrement, kPropTimeDelay, kPropTimeDelayNormal,
                               kPropNotificationClass, kPropMinPresValue, kPropMaxPresValue, kPropHighLimit,
                               kPropLowLimit, kPropDeadband, kPropLimitEnable, kPropEventEnable,
                               kPropAckedTransitions, kPropNotifyType, kPropEventTimeStamps,
                               kPropEventMessageTexts, kPropEventDetectionEnable, kPropEventAlgorithmInhibit,
                               kGroupEnd};

const uint32_t bvAll[] = {kPropAll, kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                          kPropPresentValue, kPropStatusFlags, kPropEventState, kPropOutOfService,
                          kPropInactiveText, kPropActiveText, kPropPropertyList, kGroupEnd};
const uint32_t bvRequired[] = {kPropRequired, kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                               kPropPresentValue, kPropStatusFlags, kPropEventState, kPropOutOfService,
                               kPropPropertyList, kGroupEnd};
const uint32_t bvOptional[] = {kPropOptional, kPropInactiveText, kPropActiveText, kGroupEnd};

const uint32_t msvAll[] = {kPropAll, kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                           kPropPresentValue, kPropOutOfService, kPropStatusFlags, kPropEventState,
                           kPropNumberOfStates, kPropStateText, kPropPropertyList, kGroupEnd};
const uint32_t msvRequired[] = {kPropRequired, kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                                kPropPresentValue, kPropStatusFlags, kPropEventState, kPropOutOfService,
                                kPropNumberOfStates, kPropPropertyList, kGroupEnd};
const uint32_t msvOptional[] = {kPropOptional, kPropStateText, kGroupEnd};

const uint32_t ncAll[] = {kPropAll, kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                          kPropNotificationClass, kPropPriority, kPropAckRequired, kPropRecipientList,
                          kPropPropertyList, kGroupEnd};
const uint32_t ncRequired[] = {kPropRequired, kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                               kPropNotificationClass, kPropPriority, kPropAckRequired, kPropRecipientList,
                               kPropPropertyList, kGroupEnd};
const uint32_t ncOptional[] = {kPropOptional, kGroupEnd};

const uint32_t pcAll[] = {kPropAll, kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                          kPropPresentValue, kPropInputReference, kPropStatusFlags, kPropEventState,
                          kPropOutOfService, kPropUnits, kPropScaleFactor, kPropAdjustValue, kPropCount,
                          kPropUpdateTime, kPropCountChangeTime, kPropCountBeforeChange, kPropCovIncrement,
                          kPropCovPeriod, kPropNotificationClass, kPropTimeDelay, kPropTimeDelayNormal,
                          kPropHighLimit, kPropLowLimit, kPropDeadband, kPropLimitEnable, kPropEventEnable,
                          kPropAckedTransitions, kPropNotifyType, kPropEventTimeStamps,
                          kPropEventMessageTexts, kPropEventDetectionEnable, kPropEventAlgorithmInhibit,
                          kPropPropertyList, kGroupEnd};
const uint32_t pcRequired[] = {kPropRequired, kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                               kPropPresentValue, kPropStatusFlags, kPropEventState, kPropOutOfService,
                               kPropUnits, kPropScaleFactor, kPropAdjustValue, kPropCount, kPropUpdateTime,
                               kPropCountChangeTime, kPropCountBeforeChange, kPropPropertyList, kGroupEnd};
const uint32_t pcOptional[] = {kPropOptional, kPropCovIncrement, kPropCovPeriod, kPropNotificationClass,
                               kPropTimeDelay, kPropTimeDelayNormal, kPropHighLimit, kPropLowLimit,
                               kPropDeadband, kPropLimitEnable, kPropEventEnable, kPropAckedTransitions,
                               kPropNotifyType, kPropEventTimeStamps, kPropEventMessageTexts,
                               kPropEventDetectionEnable, kPropEventAlgorithmInhibit, kGroupEnd};

const uint32_t lavAll[] = {kPropAll, kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                           kPropPresentValue, kPropOutOfService, kPropStatusFlags, kPropEventState,
                           kPropUnits, kPropCovIncrement, kPropTimeDelay, kPropTimeDelayNormal,
                           kPropNotificationClass, kPropHighLimit, kPropLowLimit, kPropDeadband,
                           kPropLimitEnable, kPropEventEnable, kPropAckedTransitions, kPropNotifyType,
                           kPropEventTimeStamps, kPropEventMessageTexts, kPropEventDetectionEnable,
                           kPropEventAlgorithmInhibit, kPropPropertyList, kGroupEnd};
const uint32_t lavRequired[] = {kPropRequired, kPropObjectIdentifier, kPropObjectName, kPropObjectType,
                                kPropPresentValue, kPropStatusFlags, kPropEventState, kPropUnits,
                                kPropPropertyList, kGroupEnd};
const uint32_t lavOptional[] = {kPropOptional, kPropCovIncrement, kPropTimeDelay, kPropTimeDelayNormal,
                                kPropNotificationClass, kPropHighLimit, kPropLowLimit, kPropDeadband,
                                kPropLimitEnable, kPropEventEnable, kPropAckedTransitions, kPropNotifyType,
                                kPropEventTimeStamps, kPropEventMessageTexts, kPropEventDetectionEnable,
                                kPropEventAlgorithmInhibit, kGroupEnd};

// One row for each object type: its lists (headed by their group and ended
// by kGroupEnd; the Device object has an all-list only) and the handler of
// its reads and writes (none for the Device object, which the stack and
// appDeviceWriteProperty serve).
struct ObjectClass {
    uint16_t type;
    const uint32_t *all;
    const uint32_t *required;
    const uint32_t *optional;
    AppPropertyHandler handler;
};

const ObjectClass objectClasses[] = {
    {kObjAnalogInput, aiAll, aiRequired, aiOptional, appAnalogInputProperty},
    {kObjBinaryValue, bvAll, bvRequired, bvOptional, appBinaryValueProperty},
    {kObjMultiStateValue, msvAll, msvRequired, msvOptional, appMultiStateValueProperty},
    {kObjNotificationClass, ncAll, ncRequired, ncOptional, appNotificationClassProperty},
    {kObjPulseConverter, pcAll, pcRequired, pcOptional, appPulseConverterProperty},
    {kObjLargeAnalogValue, lavAll, lavRequired, lavOptional, appLargeAnalogValueProperty},
    {kObjDevice, deviceAllProperties, nullptr, nullptr, nullptr},
};

const ObjectClass *classOf(uint16_t type) {
    for (const ObjectClass &c : objectClasses) {
        if (c.type == type) {
            return &c;
        }
    }
    return nullptr;
}

bool typeIn(const uint16_t *types, uint16_t type) {
    for (const uint16_t *t = types; *t != kTypesEnd; ++t) {
        if (*t == type) {
            return true;
        }
    }
    return false;
}

bool isListProperty(uint32_t property) {
    for (const uint32_t *p = listProperties; *p != kGroupEnd; ++p) {
        if (*p == property) {
            return true;
        }
    }
    return false;
}

AppPropertyHandler handlerOf(uint16_t type) {
    const ObjectClass *c = classOf(type);
    return c != nullptr ? c->handler : nullptr;
}

}  // namespace

const uint16_t rootObjectTypes[] = {kObjDevice, kObjMultiStateValue, kObjLargeAnalogValue, kObjAnalogInput, kObjBinaryValue, kObjPulseConverter, kObjNotificationClass, kTypesEnd};
const uint16_t virtualObjectTypes[] = {kObjDevice, kObjAnalogInput, kObjLargeAnalogValue, kObjBinaryValue, kObjTrendLog, kObjNotificationClass, kTypesEnd};
const uint32_t listProperties[] = {kPropRecipientList, kPropLogBuffer, kPropDateList, kPropVtClassesSupported,
                                   kPropActiveVtSessions, kPropTimeSynchronizationRecipients,
                                   kPropDeviceAddressBinding, kPropActiveCovSubscriptions,
                                   kPropRestartNotificationRecipients, kPropUtcTimeSynchronizationRecipients,
                                   kPropListOfGroupMembers, kPropAcceptedModes, kPropLifeSafetyAlarmValues,
                                   kPropAlarmValues, kPropFaultValues, kPropMembers, kPropMemberOf,
                                   kPropZoneMembers, kPropListOfObjectPropertyReferences,
                                   kPropMaskedAlarmValues, kPropFailedAttemptEvents, kPropAccessAlarmEvents,
                                   kPropCredentialsInZone, kPropEntryPoints, kPropExitPoints,
                                   kPropCredentials, kPropReasonForDisable, kPropAuthorizationExemptions,
                                   kPropSupportedSecurityAlgorithms, kPropCovuRecipients,
                                   kPropSubscribedRecipients, kPropManualSlaveAddressBinding,
                                   kPropSlaveAddressBinding, kPropListOfObjectPropertyReferences, kGroupEnd};

const uint32_t *appPropertyList(uint16_t objectType, uint32_t group) {
    const ObjectClass *c = classOf(objectType);
    if (c == nullptr) {
        return nullptr;
    }
    switch (group) {
        case kPropAll:
            return c->all;
        case kPropRequired:
            return c->required;
        case kPropOptional:
            return c->optional;
        default:
            return nullptr;
    }
}

bool appPropertyInList(const uint32_t *list, uint32_t property) {
    if (property == kPropAll || property == kPropOptional || property == kPropRequired) {
        return true;
    }
    for (const uint32_t *p = list; p != nullptr && *p != kGroupEnd; ++p) {
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
    // The check's error decides every flag: an unknown object refuses the
    // access, an unknown property lets the core name it.
    const PackedError e = appCheckProperty(device, objectId, property);
    *objectAccepted = e == 0 || e == kErrUnknownProperty;
    *propertyKnown = e == 0;
    *accessAllowed = e == 0;
    *isArray = false;
    if (e == 0) {
        uint8_t arrayOrList = 0;
        const int datatype = propGetDatatype(objectIdType(objectId), property, &arrayOrList);
        *isArray = datatype != kDtUnknown && !isListProperty(property) && arrayOrList != 0;
    }
    return *objectAccepted ? 1 : 0;
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
