#include "bacnet/datatype_table.h"

#include <array>
#include <initializer_list>

#include "bacnet/enums.h"
#include "bacnet/property_value.h"

namespace {

// Identifiers below this one have a row or a case here.
constexpr uint32_t kProperties = kPropEgressActive + 1;
// Object types below this one may have a present value.
constexpr uint16_t kObjectTypes = kObjColorTemperature + 1;

struct Entry {
    uint8_t code = kDtUnknown;
    bool list = false;
};

// A datatype and the identifiers that have it: properties, or object types.
template <typename Id>
struct Row {
    uint8_t code;
    bool list;
    std::initializer_list<Id> ids;
};

// Properties whose datatype does not depend on the object type.
constexpr Row<BACnetPropertyIdentifier> kRows[] = {
    {kDtBoolean,
     false,
     {kPropAllWritesSuccessful,
      kPropArchive,
      kPropDaylightSavingsStatus,
      kPropInProcess,
      kPropIssueConfirmedNotifications,
      kPropOutOfService,
      kPropReadOnly,
      kPropEnable,
      kPropStopWhenFull,
      kPropAlignIntervals,
      kPropTrigger,
      kPropExtendedTimeEnable,
      kPropLockout,
      kPropMusterPoint,
      kPropOccupancyCountAdjust,
      kPropOccupancyCountEnable,
      kPropOccupancyLowerLimitEnforced,
      kPropOccupancyUpperLimitEnforced,
      kPropTraceFlag,
      kPropDoNotHide,
      kPropIsUtc,
      kPropEventDetectionEnable,
      kPropEventAlgorithmInhibit,
      kPropReliabilityEvaluationInhibit,
      kPropLocalForwardingOnly,
      kPropAllowGroupDelayInhibit,
      kPropBlinkWarnEnable,
      kPropEgressActive}},
    {kDtBoolean, true, {kPropAutoSlaveDiscovery, kPropSlaveProxyEnable}},
    {kDtUnsigned,
     false,
     {kPropApduSegmentTimeout,
      kPropApduTimeout,
      kPropChangeOfStateCount,
      kPropNotificationClass,
      kPropElapsedActiveTime,
      kPropFileSize,
      kPropMaxApduLengthAccepted,
      kPropMaxInfoFrames,
      kPropMaxMaster,
      kPropMinimumOffTime,
      kPropMinimumOnTime,
      kPropNumberOfApduRetries,
      kPropNumberOfStates,
      kPropPriorityForWriting,
      kPropProcessIdentifier,
      kPropProtocolVersion,
      kPropTimeDelay,
      kPropUpdateInterval,
      kPropVendorIdentifier,
      kPropAttemptedSamples,
      kPropBufferSize,
      kPropCovResubscriptionInterval,
      kPropLogInterval,
      kPropNotificationThreshold,
      kPropProtocolRevision,
      kPropRecordsSinceNotification,
      kPropRecordCount,
      kPropTotalRecordCount,
      kPropValidSamples,
      kPropWindowInterval,
      kPropWindowSamples,
      kPropBackupFailureTimeout,
      kPropDatabaseRevision,
      kPropSetting,
      kPropMaxSegmentsAccepted,
      kPropLastNotifyRecord,
      kPropCount,
      kPropCountBeforeChange,
      kPropCovPeriod,
      kPropLimitMonitoringInterval,
      kPropPulseRate,
      kPropValueBeforeChange,
      kPropValueSet,
      kPropIntervalOffset,
      kPropTimeSynchronizationInterval,
      kPropDutyWindow,
      kPropShedDuration,
      kPropDoorExtendedPulseTime,
      kPropDoorOpenTooLongTime,
      kPropDoorPulseTime,
      kPropDoorUnlockDelayTime,
      kPropAbsenteeLimit,
      kPropAccompanimentTime,
      kPropActiveAuthenticationPolicy,
      kPropFailedAttempts,
      kPropFailedAttemptsTime,
      kPropLockoutRelinquishTime,
      kPropMaxFailedAttempts,
      kPropNumberOfAuthenticationPolicies,
      kPropOccupancyCount,
      kPropOccupancyLowerLimit,
      kPropOccupancyUpperLimit,
      kPropPassbackTimeout,
      kPropTransactionNotificationClass,
      kPropAccessEventTag,
      kPropGlobalIdentifier,
      kPropVerificationTime,
      kPropDistributionKeyRevision,
      kPropPacketReorderTime,
      kPropSecurityPduTimeout,
      kPropSecurityTimeWindow,
      kPropUpdateKeySetTimeout,
      kPropBackupPreparationTime,
      kPropRestoreCompletionTime,
      kPropRestorePreparationTime,
      kPropRequestedUpdateInterval,
      kPropCovuPeriod,
      kPropTimeDelayNormal,
      kPropChannelNumber,
      kPropLastPriority,
      kPropDefaultFadeTime,
      kPropEgressTime,
      kPropLightingCommandDefaultPriority}},
    {kDtUnsigned,
     true,
     {kPropShedLevels, kPropSupportedFormatClasses, kPropSupportedSecurityAlgorithms, kPropControlGroups,
      kPropExecutionDelay}},
    {kDtSigned, false, {kPropUtcOffset, kPropDaysRemaining, kPropUsesRemaining}},
    {kDtReal,
     false,
     {kPropBias,
      kPropControlledVariableValue,
      kPropDerivativeConstant,
      kPropErrorLimit,
      kPropIntegralConstant,
      kPropMaximumOutput,
      kPropMinimumOutput,
      kPropProportionalConstant,
      kPropSetpoint,
      kPropAverageValue,
      kPropClientCovIncrement,
      kPropMaximumValue,
      kPropMinimumValue,
      kPropVarianceValue,
      kPropDirectReading,
      kPropScaleFactor,
      kPropFullDutyBaseline,
      kPropDefaultRampRate,
      kPropDefaultStepIncrement,
      kPropInstantaneousPower,
      kPropMaxActualValue,
      kPropMinActualValue,
      kPropPower}},
    {kDtCharString,
     false,
     {kPropActiveText,
      kPropApplicationSoftwareVersion,
      kPropDescription,
      kPropDescriptionOfHalt,
      kPropDeviceType,
      kPropFileType,
      kPropFirmwareRevision,
      kPropInactiveText,
      kPropInstanceOf,
      kPropLocation,
      kPropModelName,
      kPropObjectName,
      kPropProgramLocation,
      kPropVendorName,
      kPropProfileName,
      kPropNodeSubtype,
      kPropStateDescription,
      kPropUserExternalIdentifier,
      kPropUserInformationReference,
      kPropUserName,
      kPropSerialNumber}},
    {kDtCharString,
     true,
     {kPropActionText, kPropStateText, kPropSubordinateAnnotations, kPropShedLevelDescriptions,
      kPropAuthenticationPolicyNames, kPropBitText, kPropGroupMemberNames, kPropEventMessageTexts,
      kPropEventMessageTextsConfig}},
    {kDtBitString,
     false,
     {kPropAckedTransitions, kPropAckRequired, kPropEventEnable, kPropLimitEnable,
      kPropProtocolObjectTypesSupported, kPropProtocolServicesSupported, kPropStatusFlags, kPropBitMask,
      kPropMemberStatusFlags}},
    {kDtEnumerated,
     false,
     {kPropAlarmValue,
      kPropControlledVariableUnits,
      kPropDerivativeConstantUnits,
      kPropEventState,
      kPropEventType,
      kPropFileAccessMethod,
      kPropIntegralConstantUnits,
      kPropNotifyType,
      kPropObjectType,
      kPropOutputUnits,
      kPropPolarity,
      kPropProgramChange,
      kPropProgramState,
      kPropProportionalConstantUnits,
      kPropReasonForHalt,
      kPropReliability,
      kPropSegmentationSupported,
      kPropSystemStatus,
      kPropUnits,
      kPropMaintenanceRequired,
      kPropMode,
      kPropOperationExpected,
      kPropSilenced,
      kPropTrackingValue,
      kPropLastRestartReason,
      kPropLoggingType,
      kPropNodeType,
      kPropDoorAlarmState,
      kPropDoorStatus,
      kPropLockStatus,
      kPropSecuredStatus,
      kPropAccessEvent,
      kPropAuthenticationStatus,
      kPropAuthorizationMode,
      kPropCredentialDisable,
      kPropCredentialStatus,
      kPropLastAccessEvent,
      kPropOccupancyState,
      kPropPassbackMode,
      kPropThreatAuthority,
      kPropThreatLevel,
      kPropUserType,
      kPropBaseDeviceSecurityPolicy,
      kPropBackupAndRestoreState,
      kPropFaultType,
      kPropWriteStatus,
      kPropInProgress,
      kPropTransition}},
    {kDtEnumerated,
     true,
     {kPropVtClassesSupported, kPropLifeSafetyAlarmValues, kPropAcceptedModes, kPropMaskedAlarmValues,
      kPropAccessAlarmEvents, kPropAccessTransactionEvents, kPropFailedAttemptEvents, kPropReasonForDisable,
      kPropAuthorizationExemptions, kPropPropertyList}},
    {kDtDate, false, {kPropLocalDate}},
    {kDtTime, false, {kPropLocalTime}},
    {kDtObjectId, false, {kPropObjectIdentifier, kPropLoggingObject}},
    {kDtAny, false, {kPropScheduleDefault}},
    {kDtObjectIdList, true, {kPropObjectList, kPropConfigurationFiles, kPropStructuredObjectList}},
    {kDtAddressBinding, false, {kPropLastKeyServer}},
    {kDtAddressBinding,
     true,
     {kPropDeviceAddressBinding, kPropManualSlaveAddressBinding, kPropSlaveAddressBinding}},
    {kDtRecipient, false, {kPropRecipient}},
    {kDtRecipient,
     true,
     {kPropTimeSynchronizationRecipients, kPropRestartNotificationRecipients,
      kPropUtcTimeSynchronizationRecipients, kPropCovuRecipients}},
    {kDtCalendarEntry, true, {kPropDateList}},
    {kDtObjectPropertyReference,
     false,
     {kPropControlledVariableReference, kPropManipulatedVariableReference, kPropInputReference,
      kPropEventAlgorithmInhibitRef}},
    {kDtVTSession, true, {kPropActiveVtSessions}},
    {kDtDestination, true, {kPropRecipientList}},
    {kDtSessionKey, true, {kPropListOfSessionKeys}},
    {kDtReadAccessSpecification, true, {kPropListOfGroupMembers}},
    {kDtDailySchedule, true, {kPropWeeklySchedule}},
    {kDtSpecialEvent, true, {kPropExceptionSchedule}},
    {kDtDeviceObjectReference,
     false,
     {kPropAccessEventCredential, kPropAccompaniment, kPropBelongsTo, kPropLastAccessPoint,
      kPropLastCredentialAdded, kPropLastCredentialRemoved, kPropZoneFrom, kPropZoneTo}},
    {kDtDeviceObjectReference,
     true,
     {kPropMemberOf, kPropZoneMembers, kPropSubordinateList, kPropDoorMembers, kPropAccessDoors,
      kPropCredentials, kPropCredentialsInZone, kPropEntryPoints, kPropExitPoints, kPropMembers}},
    {kDtDeviceObjectPropertyReference, true, {kPropListOfObjectPropertyReferences, kPropGroupMembers}},
    {kDtDateRange, false, {kPropEffectivePeriod}},
    {kDtDateTime,
     false,
     {kPropChangeOfStateTime, kPropModificationDate, kPropTimeOfActiveTimeReset, kPropTimeOfStateCountReset,
      kPropCurrentNotifyTime, kPropPreviousNotifyTime, kPropStartTime, kPropStopTime,
      kPropMaximumValueTimestamp, kPropMinimumValueTimestamp, kPropCountChangeTime, kPropValueChangeTime,
      kPropActivationTime, kPropExpirationTime, kPropLastCredentialAddedTime, kPropLastCredentialRemovedTime,
      kPropLastUseTime}},
    {kDtTimeStamp, false, {kPropLastRestoreTime, kPropTimeOfDeviceRestart, kPropAccessEventTime}},
    {kDtTimeStamp, true, {kPropEventTimeStamps}},
    {kDtSetpointReference, true, {kPropSetpointReference}},
    {kDtEventParameter, false, {kPropEventParameters}},
    {kDtCOVSubscription, true, {kPropActiveCovSubscriptions}},
    {kDtAccumulatorRecord, false, {kPropLoggingRecord}},
    {kDtScale, false, {kPropScale}},
    {kDtPrescale, false, {kPropPrescale}},
    {kDtShedLevel, false, {kPropActualShedLevel, kPropExpectedShedLevel, kPropRequestedShedLevel}},
    {kDtAuthenticationPolicy, true, {kPropAuthenticationPolicyList}},
    {kDtAccessRule, true, {kPropNegativeAccessRules, kPropPositiveAccessRules}},
    {kDtAssignedAccessRights, true, {kPropAssignedAccessRights}},
    {kDtAuthenticationFactor, false, {kPropAccessEventAuthenticationFactor}},
    {kDtAuthenticationFactorFormat, true, {kPropSupportedFormats}},
    {kDtCredentialAuthenticationFactor, true, {kPropAuthenticationFactors}},
    {kDtNetworkSecurityPolicy, true, {kPropNetworkAccessSecurityPolicies}},
    {kDtSecurityKeySet, true, {kPropKeySets}},
    {kDtFaultParameter, false, {kPropFaultParameters}},
    {kDtProcessIdSelection, false, {kPropProcessIdentifierFilter}},
    {kDtEventNotificationSubscription, true, {kPropSubscribedRecipients}},
    {kDtPortPermission, true, {kPropPortFilter}},
    {kDtLightingCommand, false, {kPropLightingCommand}},
};

// The present value of each object type that has one. A commanded object's
// relinquish default is of the same datatype.
constexpr Row<BACnetObjectType> kPresentValueRows[] = {
    {kDtReal,
     false,
     {kObjAnalogInput, kObjAnalogOutput, kObjAnalogValue, kObjLoop, kObjPulseConverter, kObjLightingOutput}},
    {kDtEnumerated,
     false,
     {kObjBinaryInput, kObjBinaryOutput, kObjBinaryValue, kObjLifeSafetyPoint, kObjLifeSafetyZone,
      kObjLoadControl, kObjAccessDoor}},
    {kDtBoolean, false, {kObjCalendar}},
    {kDtUnsigned,
     false,
     {kObjCommand, kObjMultiStateInput, kObjMultiStateOutput, kObjMultiStateValue, kObjAccumulator,
      kObjPositiveIntegerValue}},
    {kDtReadAccessResult, true, {kObjGroup}},
    {kDtAny, false, {kObjSchedule}},
    {kDtPropertyAccessResult, true, {kObjGlobalGroup}},
    {kDtAuthenticationFactor, false, {kObjCredentialDataInput}},
    {kDtBitString, false, {kObjBitstringValue}},
    {kDtCharString, false, {kObjCharacterstringValue}},
    {kDtDate, false, {kObjDatePatternValue, kObjDateValue}},
    {kDtDateTime, false, {kObjDatetimePatternValue, kObjDatetimeValue}},
    {kDtSigned, false, {kObjIntegerValue}},
    {kDtDouble, false, {kObjLargeAnalogValue}},
    {kDtOctetString, false, {kObjOctetstringValue}},
    {kDtTime, false, {kObjTimePatternValue, kObjTimeValue}},
    {kDtObjectId, false, {kObjAlertEnrollment}},
    {kDtChannelValue, false, {kObjChannel}},
};

// The entry of every identifier below N, from the rows.
template <size_t N, typename Id, size_t R>
std::array<Entry, N> spread(const Row<Id> (&rows)[R]) {
    std::array<Entry, N> table{};
    for (const Row<Id> &row : rows) {
        for (Id id : row.ids) {
            table[id] = Entry{row.code, row.list};
        }
    }
    return table;
}

const std::array<Entry, kProperties> &table() {
    static const std::array<Entry, kProperties> t = spread<kProperties>(kRows);
    return t;
}

const Entry &presentValue(uint16_t type) {
    static const std::array<Entry, kObjectTypes> byType = spread<kObjectTypes>(kPresentValueRows);
    static const Entry none{};
    return type < kObjectTypes ? byType[type] : none;
}

int result(uint8_t *flag, int code, bool list) {
    *flag = list ? 1 : 0;
    return code;
}

bool in(uint16_t type, std::initializer_list<uint16_t> types) {
    for (uint16_t t : types) {
        if (t == type) {
            return true;
        }
    }
    return false;
}

// The value objects from bit-string value to time value, whose priority
// array holds values of any primitive datatype.
bool isValueObject(uint16_t type) {
    return type >= kObjBitstringValue && type <= kObjTimeValue;
}

// The object types whose present value is commanded through a priority array.
bool isCommanded(uint16_t type) {
    return in(type, {kObjAnalogOutput, kObjAnalogValue, kObjBinaryOutput, kObjBinaryValue,
                     kObjMultiStateOutput, kObjMultiStateValue, kObjAccessDoor, kObjLightingOutput}) ||
           isValueObject(type);
}

}  // namespace

int propGetDatatype(uint16_t t, uint32_t property, uint8_t *isArrayOrList) {
    uint8_t ignored = 0;
    uint8_t *flag = isArrayOrList != nullptr ? isArrayOrList : &ignored;
    *flag = 0;
    if (property >= kProperties) {
        return kDtUnknown;
    }
    switch (property) {
        case kPropAction:
            if (t == kObjCommand)
                return result(flag, kDtActionList, true);
            if (t == kObjLoop)
                return result(flag, kDtEnumerated, false);
            return kDtUnknown;
        case kPropAlarmValues:
        case kPropFaultValues:
            if (in(t, {kObjMultiStateInput, kObjMultiStateValue}))
                return result(flag, kDtUnsigned, true);
            if (in(t, {kObjLifeSafetyPoint, kObjLifeSafetyZone, kObjAccessDoor, kObjAccessZone}))
                return result(flag, kDtEnumerated, true);
            if (property == kPropAlarmValues && t == kObjBitstringValue)
                return result(flag, kDtBitString, true);
            if (t == kObjCharacterstringValue)
                return result(flag, kDtCharString, true);
            return kDtUnknown;
        case kPropFeedbackValue:
            if (t == kObjBinaryOutput)
                return result(flag, kDtEnumerated, false);
            if (t == kObjMultiStateOutput)
                return result(flag, kDtUnsigned, false);
            return kDtUnknown;
        case kPropCovIncrement:
        case kPropDeadband:
            if (in(t, {kObjIntegerValue, kObjPositiveIntegerValue}))
                return result(flag, kDtUnsigned, false);
            if (t == kObjLargeAnalogValue)
                return result(flag, kDtDouble, false);
            return result(flag, kDtReal, false);
        case kPropHighLimit:
        case kPropLowLimit:
        case kPropMaxPresValue:
            if (in(t, {kObjAccumulator, kObjPositiveIntegerValue}))
                return result(flag, kDtUnsigned, false);
            if (t == kObjIntegerValue)
                return result(flag, kDtSigned, false);
            if (t == kObjLargeAnalogValue)
                return result(flag, kDtDouble, false);
            return result(flag, kDtReal, false);
        case kPropMinPresValue:
        case kPropResolution:
            if (t == kObjIntegerValue)
                return result(flag, kDtSigned, false);
            if (t == kObjLargeAnalogValue)
                return result(flag, kDtDouble, false);
            if (t == kObjPositiveIntegerValue)
                return result(flag, kDtUnsigned, false);
            return result(flag, kDtReal, false);
        case kPropObjectPropertyReference:
        case kPropLogDeviceObjectProperty:
            return result(flag, kDtDeviceObjectPropertyReference, t == kObjTrendLogMultiple);
        case kPropPresentValue: {
            const Entry &e = presentValue(t);
            return result(flag, e.code, e.list);
        }
        case kPropPriority:
            return result(flag, kDtUnsigned, t == kObjNotificationClass);
        case kPropPriorityArray:
            *flag = 1;
            if (!isCommanded(t))
                return kDtUnknown;
            if (isValueObject(t))
                return kDtAny;
            return presentValue(t).code;
        case kPropRelinquishDefault:
            if (!isCommanded(t))
                return kDtUnknown;
            return result(flag, presentValue(t).code, false);
        case kPropLogBuffer:
            *flag = 1;
            if (t == kObjTrendLog)
                return kDtLogRecord;
            if (t == kObjEventLog)
                return kDtEventLogRecord;
            if (t == kObjTrendLogMultiple)
                return kDtLogMultipleRecord;
            return kDtUnknown;
        case kPropAdjustValue:
            return result(flag, t == kObjAccessZone ? kDtSigned : kDtReal, false);
        case kPropUpdateTime:
            return result(flag, t == kObjCredentialDataInput ? kDtTimeStamp : kDtDateTime, false);
        default: {
            const Entry &e = table()[property];
            *flag = e.list ? 1 : 0;
            return e.code;
        }
    }
}
