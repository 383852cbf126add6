#include "bacnet/datatype_table.h"

#include <array>
#include <initializer_list>

#include "bacnet/enums.h"
#include "bacnet/property_value.h"

namespace {

// Identifiers below this one have a row or a case here.
constexpr uint32_t kProperties = kPropEgressActive + 1;

struct Entry {
    uint8_t code = kDtUnknown;
    bool list = false;
};

struct Row {
    uint8_t code;
    bool list;
    std::initializer_list<BACnetPropertyIdentifier> ids;
};

// Properties whose datatype does not depend on the object type.
constexpr Row kRows[] = {
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

std::array<Entry, kProperties> buildTable() {
    std::array<Entry, kProperties> table{};
    for (const Row &row : kRows) {
        for (BACnetPropertyIdentifier id : row.ids) {
            table[id] = Entry{row.code, row.list};
        }
    }
    return table;
}

const std::array<Entry, kProperties> &table() {
    static const std::array<Entry, kProperties> t = buildTable();
    return t;
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
        case kPropPresentValue:
            if (in(t, {kObjAnalogInput, kObjAnalogOutput, kObjAnalogValue, kObjLoop, kObjPulseConverter,
                       kObjLightingOutput}))
                return result(flag, kDtReal, false);
            if (in(t, {kObjBinaryInput, kObjBinaryOutput, kObjBinaryValue, kObjLifeSafetyPoint,
                       kObjLifeSafetyZone, kObjLoadControl, kObjAccessDoor}))
                return result(flag, kDtEnumerated, false);
            if (t == kObjCalendar)
                return result(flag, kDtBoolean, false);
            if (in(t, {kObjCommand, kObjMultiStateInput, kObjMultiStateOutput, kObjMultiStateValue,
                       kObjAccumulator, kObjPositiveIntegerValue}))
                return result(flag, kDtUnsigned, false);
            if (t == kObjGroup)
                return result(flag, kDtReadAccessResult, true);
            if (t == kObjSchedule)
                return result(flag, kDtAny, false);
            if (t == kObjGlobalGroup)
                return result(flag, kDtPropertyAccessResult, true);
            if (t == kObjCredentialDataInput)
                return result(flag, kDtAuthenticationFactor, false);
            if (t == kObjBitstringValue)
                return result(flag, kDtBitString, false);
            if (t == kObjCharacterstringValue)
                return result(flag, kDtCharString, false);
            if (in(t, {kObjDatePatternValue, kObjDateValue}))
                return result(flag, kDtDate, false);
            if (in(t, {kObjDatetimePatternValue, kObjDatetimeValue}))
                return result(flag, kDtDateTime, false);
            if (t == kObjIntegerValue)
                return result(flag, kDtSigned, false);
            if (t == kObjLargeAnalogValue)
                return result(flag, kDtDouble, false);
            if (t == kObjOctetstringValue)
                return result(flag, kDtOctetString, false);
            if (in(t, {kObjTimePatternValue, kObjTimeValue}))
                return result(flag, kDtTime, false);
            if (t == kObjAlertEnrollment)
                return result(flag, kDtObjectId, false);
            if (t == kObjChannel)
                return result(flag, kDtChannelValue, false);
            return kDtUnknown;
        case kPropPriority:
            return result(flag, kDtUnsigned, t == kObjNotificationClass);
        case kPropPriorityArray:
            *flag = 1;
            if (in(t, {kObjAnalogOutput, kObjAnalogValue, kObjLightingOutput}))
                return kDtReal;
            if (in(t, {kObjBinaryOutput, kObjBinaryValue, kObjAccessDoor}))
                return kDtEnumerated;
            if (in(t, {kObjMultiStateOutput, kObjMultiStateValue}))
                return kDtUnsigned;
            if (t >= kObjBitstringValue && t <= kObjTimeValue)
                return kDtAny;
            return kDtUnknown;
        case kPropRelinquishDefault:
            if (in(t, {kObjAnalogOutput, kObjAnalogValue, kObjLightingOutput}))
                return result(flag, kDtReal, false);
            if (in(t, {kObjBinaryOutput, kObjBinaryValue, kObjAccessDoor}))
                return result(flag, kDtEnumerated, false);
            if (in(t, {kObjMultiStateOutput, kObjMultiStateValue, kObjPositiveIntegerValue}))
                return result(flag, kDtUnsigned, false);
            if (t == kObjBitstringValue)
                return result(flag, kDtBitString, false);
            if (t == kObjCharacterstringValue)
                return result(flag, kDtCharString, false);
            if (in(t, {kObjDatePatternValue, kObjDateValue}))
                return result(flag, kDtDate, false);
            if (in(t, {kObjDatetimePatternValue, kObjDatetimeValue}))
                return result(flag, kDtDateTime, false);
            if (t == kObjIntegerValue)
                return result(flag, kDtSigned, false);
            if (t == kObjLargeAnalogValue)
                return result(flag, kDtDouble, false);
            if (t == kObjOctetstringValue)
                return result(flag, kDtOctetString, false);
            if (in(t, {kObjTimePatternValue, kObjTimeValue}))
                return result(flag, kDtTime, false);
            return kDtUnknown;
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
