#pragma once
// The properties the value decoder fuzz target decodes into: the first octet
// of an input picks one. The codec's golden record replays the corpus with
// the same choice.

#include <cstddef>
#include <cstdint>

#include "bacnet/enums.h"

namespace value_fuzz {

struct Target {
    uint16_t type;
    uint32_t property;
    int32_t index;
};

// A proprietary property: any identifier from kFirstProprietaryProperty on.
inline constexpr uint32_t kProprietaryProperty = 600;

// One entry per datatype the table gives, plus index forms and a
// proprietary property. An input's first octet picks its entry by position.
inline constexpr Target kTargets[] = {
    {kObjAnalogInput, kPropOutOfService, -1},
    {kObjAnalogInput, kPropAutoSlaveDiscovery, -1},
    {kObjDevice, kPropMaxApduLengthAccepted, -1},
    {kObjNotificationClass, kPropPriority, -1},
    {kObjMultiStateValue, kPropPriorityArray, -1},
    {kObjMultiStateValue, kPropPriorityArray, 0},
    {kObjMultiStateValue, kPropPriorityArray, 5},
    {kObjIntegerValue, kPropPresentValue, -1},
    {kObjAnalogValue, kPropPresentValue, -1},
    {kObjAnalogOutput, kPropPriorityArray, -1},
    {kObjAnalogOutput, kPropPriorityArray, 16},
    {kObjLargeAnalogValue, kPropPresentValue, -1},
    {kObjOctetstringValue, kPropPresentValue, -1},
    {kObjAnalogInput, kPropObjectName, -1},
    {kObjMultiStateValue, kPropStateText, -1},
    {kObjMultiStateValue, kPropStateText, 2},
    {kObjAnalogInput, kPropStatusFlags, -1},
    {kObjBitstringValue, kPropPresentValue, -1},
    {kObjBinaryInput, kPropPresentValue, -1},
    {kObjBinaryOutput, kPropPriorityArray, -1},
    {kObjDateValue, kPropPresentValue, -1},
    {kObjTimeValue, kPropPresentValue, -1},
    {kObjDevice, kPropObjectIdentifier, -1},
    {kObjSchedule, kPropPresentValue, -1},
    {kObjIntegerValue, kPropPriorityArray, -1},
    {kObjDatetimeValue, kPropPriorityArray, -1},
    {kObjCharacterstringValue, kPropAlarmValues, -1},
    {kObjDevice, kPropObjectList, -1},
    {kObjDevice, kPropDeviceAddressBinding, -1},
    {kObjAnalogInput, kPropRecipient, -1},
    {kObjDevice, kPropTimeSynchronizationRecipients, -1},
    {kObjCalendar, kPropDateList, -1},
    {kObjAnalogInput, kPropControlledVariableReference, -1},
    {kObjDevice, kPropActiveVtSessions, -1},
    {kObjNotificationClass, kPropRecipientList, -1},
    {kObjDevice, kPropListOfSessionKeys, -1},
    {kObjGroup, kPropListOfGroupMembers, -1},
    {kObjSchedule, kPropWeeklySchedule, -1},
    {kObjSchedule, kPropWeeklySchedule, 3},
    {kObjSchedule, kPropExceptionSchedule, -1},
    {kObjAnalogInput, kPropAccessEventCredential, -1},
    {kObjAnalogInput, kPropMemberOf, -1},
    {kObjSchedule, kPropListOfObjectPropertyReferences, -1},
    {kObjTrendLog, kPropLogDeviceObjectProperty, -1},
    {kObjSchedule, kPropEffectivePeriod, -1},
    {kObjAnalogInput, kPropChangeOfStateTime, -1},
    {kObjAnalogInput, kPropEventTimeStamps, -1},
    {kObjAnalogInput, kPropEventTimeStamps, 2},
    {kObjAnalogInput, kPropLastRestoreTime, -1},
    {kObjLoop, kPropSetpointReference, -1},
    {kObjCommand, kPropAction, -1},
    {kObjEventEnrollment, kPropEventParameters, -1},
    {kObjGroup, kPropPresentValue, -1},
    {kObjDevice, kPropActiveCovSubscriptions, -1},
    {kObjTrendLog, kPropLogBuffer, -1},
    {kObjAccumulator, kPropLoggingRecord, -1},
    {kObjPulseConverter, kPropScale, -1},
    {kObjAccumulator, kPropPrescale, -1},
    {kObjLoadControl, kPropActualShedLevel, -1},
    {kObjEventLog, kPropLogBuffer, -1},
    {kObjTrendLogMultiple, kPropLogBuffer, -1},
    {kObjAccessCredential, kPropAuthenticationPolicyList, -1},
    {kObjAccessUser, kPropNegativeAccessRules, -1},
    {kObjAccessCredential, kPropAssignedAccessRights, -1},
    {kObjCredentialDataInput, kPropPresentValue, -1},
    {kObjCredentialDataInput, kPropSupportedFormats, -1},
    {kObjAccessCredential, kPropAuthenticationFactors, -1},
    {kObjGlobalGroup, kPropPresentValue, -1},
    {kObjNetworkPort, kPropNetworkAccessSecurityPolicies, -1},
    {kObjNetworkPort, kPropKeySets, -1},
    {kObjAnalogInput, kPropFaultParameters, -1},
    {kObjNotificationClass, kPropProcessIdentifierFilter, -1},
    {kObjNotificationClass, kPropSubscribedRecipients, -1},
    {kObjNetworkPort, kPropPortFilter, -1},
    {kObjLightingOutput, kPropLightingCommand, -1},
    {kObjChannel, kPropPresentValue, -1},
    {kObjAnalogInput, kProprietaryProperty, -1},
};
inline constexpr size_t kTargetCount = sizeof kTargets / sizeof kTargets[0];

}  // namespace value_fuzz
